// TrueType text: loading the one interface font, the glyph cache, coloured glyph images and the
// line layout (measuring, clipping, character and word wrapping, cutting with an ellipsis) of
// every text on screen.
//
// A Font is created once (font_load, font_load_builtin or font_load_file) and lives as long as
// the interface; it owns the font file's bytes, the rasteriser's tables, every cached coverage
// bitmap and one scratch surface for coloured glyph images. Glyph outlines are rasterised once
// per (glyph, pixel height) and kept; colouring is redone for each drawn glyph into the scratch
// surface, so drawing allocates nothing once the scratch is large enough. Measuring never
// rasterises.
//
// A code point the font has no glyph for is drawn from its fallback fonts (gfx/fallback.h),
// when it has any, on the font's baseline with capitals of the same height; glyph images of a
// fallback font are cached in that font, per (glyph, pixel height). A code point no font has
// draws the font's glyph 0, a box, and is counted in Font::boxes_drawn.
//
// Sizes and widths are in points and become pixels with the Paint's dpi:
// H = round(size / 72 * dpi). A line is H pixels high; glyphs sit on whole pixels and carry no
// kerning. Texts are NUL-terminated UTF-8, decoded by utf8_decode (gfx/utf8.h): a byte sequence
// that is not UTF-8 ends the text there.
//
// A Font is shared mutable state (the scale and pixel height of the call in progress, the
// scratch image): calls on one font must not interleave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/list.h"
#include "gfx/fallback.h"
#include "gfx/surface.h"

// text_draw flags.
enum TextFlags : uint32_t {
    TEXT_NO_DRAW = 1,      // measure only: no glyph image is built or drawn
    TEXT_WRAP = 2,         // a newline or a glyph that would pass the width starts a new line
    TEXT_RETURN_WIDTH = 4, // stop at a newline or a glyph that would pass the width; return
                           // the pen advance of the line
    TEXT_RETURN_INDEX = 8, // stop likewise; return the byte index reached (wins over WIDTH)
    TEXT_STORE_PEN = 16,   // write the final pen position back into the paint (points)
    TEXT_ONE_CHAR = 32,    // process only the first code point
    TEXT_WRAP_WORDS = 64,  // before each word, break the line if the whole word would not fit
};

// text_measure's limit value that measures one word instead of stopping at a byte index.
constexpr int32_t TEXT_MEASURE_ASCII_WORD = 0x80000;

// The rasteriser's font tables (stb_truetype), kept out of this header.
struct FontInfo;
struct FontInfoDeleter {
    void operator()(FontInfo *info) const;
};
// A font file mapped into memory (fallback fonts): unmapped with its length.
struct FontMapping {
    size_t length = 0;
    void operator()(uint8_t *base) const;
};
// Fallback fonts of the interface font (gfx/fallback.h), kept out of this header.
struct FontFallbackDeleter {
    void operator()(FontFallback *fallback) const;
};

// One rasterised glyph at one pixel height: the 8-bit coverage bitmap (width x height bytes) and
// the bitmap box's offsets from the glyph origin on the baseline.
struct GlyphEntry {
    std::unique_ptr<uint8_t[]> coverage;
    int32_t width = 0;
    int32_t height = 0;
    int32_t left = 0;
    int32_t top = 0;
    int32_t pixel_height = 0;
    int32_t glyph = 0;
};

// 64 consecutive glyph indices: number = glyph index >> 6. Newest entries first.
struct GlyphBucket {
    int32_t number = 0;
    List<GlyphEntry> entries;
};

struct Font {
    std::unique_ptr<FontInfo, FontInfoDeleter> info;
    std::vector<uint8_t> data;     // the whole font file, referenced by `info`
    std::unique_ptr<uint8_t, FontMapping> mapped; // or the file mapped (fallback fonts)
    List<GlyphBucket> glyph_cache; // buckets in creation order; entries are never evicted
    SurfacePtr scratch;            // coloured image of the last glyph_get; starts 0 x 0
    float scale = 1.0f;            // font units to pixels for the call in progress
    int32_t ascent = 0;            // horizontal header, font units
    int32_t descent = 0;
    int32_t line_gap = 0;
    int32_t cap_height = 0;        // top of "H" in font units; 0 without one
    int32_t pixel_height = 1;       // pixel height of the call in progress
    int32_t ascii_glyphs[128] = {}; // character map lookups of U+0000..U+007F, made once
    // Fonts that draw what this one lacks; absent: a missing code point draws glyph 0.
    std::unique_ptr<FontFallback, FontFallbackDeleter> fallback;
    int64_t boxes_drawn = 0; // glyph-0 boxes text_draw has drawn for code points no font has
};

// Parses TrueType (or OpenType-CFF) bytes, font index 0, and copies them into a new Font.
// Returns nullptr when the rasteriser cannot use them (no Unicode character map, a required
// table missing); nothing is logged.
std::unique_ptr<Font> font_parse(const uint8_t *bytes, size_t length);
// font_parse, fatal on failure: ("error opening font", "loading font failed").
std::unique_ptr<Font> font_load(const uint8_t *bytes, size_t length);
// The built-in pixel font "sol6x12".
std::unique_ptr<Font> font_load_builtin();

// The file named by the "font" setting: used unchanged when it starts with "/" or its second
// character is ":", else appended to `config_dir` with a "/" between them.
std::string font_path(std::string_view setting, std::string_view config_dir);
// Reads a font file whole into a zero-filled buffer of file size + 1024 bytes and loads it.
// Fatal when the file cannot be read (the messages of read_file_as with "error opening font")
// or not used ("error opening font", "loading font failed").
std::unique_ptr<Font> font_load_file(const std::string &path);

// Maps a font file into memory (pages are read when the rasteriser first touches them, so a
// 20 MB collection costs what its character map and drawn glyphs take) and parses face `index`
// of it (a collection holds several). Returns nullptr, logging nothing, when the file cannot be
// read or used.
std::unique_ptr<Font> font_load_face(const std::string &path, int32_t index);

// Metrics of one glyph at the font's current scale, in whole pixels: `left` and `top` place the
// image's top-left corner relative to the pen (x on the glyph origin, y on the top of the line).
// `image` (unless measure-only) is the font's scratch surface, holding the glyph in the colour
// with straight alpha in its top-left width x height pixels; it stays valid until the next
// glyph_get on the same font.
struct Glyph {
    int32_t left = 0;
    int32_t top = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t advance = 0;
    Surface *image = nullptr;
};

enum GlyphMode : uint32_t { GLYPH_DRAW = 0, GLYPH_MEASURE = 1 };

// Looks the glyph up in the cache at the font's pixel height; drawing rasterises and caches it
// when missing, measuring only takes the bitmap box.
Glyph glyph_get(Font *font, int32_t glyph, uint32_t color, GlyphMode mode);

// The font's glyph index for a code point; 0 (the missing-glyph box) when the font lacks it.
int32_t font_glyph_index(const Font *font, uint32_t code_point);
// Whether the glyph has no outline (a space, or an image-only glyph of a colour font).
bool font_glyph_empty(const Font *font, int32_t glyph);

// Sum of the advances of the text's code points at `size` points (each from the font or its
// fallback fonts), stopping at a newline, at the end of the text and before the first code
// point starting at or after the byte index `limit`.
// With limit TEXT_MEASURE_ASCII_WORD it measures one word instead: it stops before the first
// non-space code point that follows a space, and around an ideograph (code_point_breaks_alone:
// one is a word of its own). Letters beyond ASCII belong to their word like any other.
// -1 when text or font is absent. Leaves the font's pixel height at the measured size.
int32_t text_measure(const Paint &paint, Font *font, const char *text, int32_t limit, double size);

// Lays out the text from the paint's pen position (points) within `width` points and, unless
// TEXT_NO_DRAW, blends each glyph in the paint's color into `dest` (clipped to it; an absent
// destination draws nothing). Returns -1 when text or font is absent; otherwise the byte index
// reached with TEXT_RETURN_INDEX, the pen advance of the line with TEXT_RETURN_WIDTH, else the
// number of lines (at least 1). TEXT_STORE_PEN writes the final pen position back into `paint`.
int32_t text_draw(Surface *dest, Paint *paint, Font *font, const char *text, uint32_t flags,
                  double size, double width);

// The text that shows `text` in at most `max_lines` lines of `width` points at `size` points,
// to be drawn with TEXT_WRAP: the lines joined by newlines (the spaces at the breaks dropped),
// breaking between words (and between ideographs, which need no spaces), within a word only
// when it alone is wider than the line. When the text needs more lines, the last line shown
// ends in an ellipsis, cut after the last whole word that leaves room for it (or mid-word when
// even the first word does not fit). A text that fits is returned unchanged but for its breaks.
// Empty when text or font is absent or max_lines < 1. Leaves the font's pixel height at `size`.
std::string text_fit(const Paint &paint, Font *font, const char *text, double size, double width,
                     int32_t max_lines);

// The ellipsis the font can draw: "…" (U+2026, through a fallback font if need be), else "...".
const char *text_ellipsis(Font *font);
