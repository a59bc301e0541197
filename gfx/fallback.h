// Fallback fonts: where the interface font has no glyph for a code point, an installed font that
// has one draws it. The fonts are the `fallback_fonts` setting's files, then its family names
// (each in the order given), then every outline font fontconfig knows, in fontconfig's order for
// the interface's language (the "sans-serif" sort with the language taken from the environment).
// Colour-bitmap fonts (emoji images without outlines) are left out: the rasteriser draws
// outlines only.
//
// A FontFallback belongs to the interface's primary Font (Font::fallback) and lives as long as
// it. Nothing is read before the first code point the primary font lacks: fontconfig is set up
// then, once, and each font file is read whole the first time one of its glyphs is needed, once
// (a CJK collection is about 20 MB). The answer for each code point, a miss too, is remembered,
// so a code point costs at most one search. The loaded fonts are Fonts of their own, each with
// its glyph cache, so glyph images are cached per (font, glyph, pixel height).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct Font;
struct FontFallback;

// The font and glyph index that draw one code point. `font` is the primary font with glyph 0
// (the box) when no font has the code point.
struct GlyphSource {
    Font *font = nullptr;
    int32_t glyph = 0;
};

// Gives `font` fallback fonts: each entry of `settings` is a font file (an entry holding a "/"
// or ending in ".ttf", ".otf" or ".ttc"; relative paths are taken in `config_dir`) or a family
// name; the files are tried first, then the families, before fontconfig's list. `use_system` false leaves fontconfig
// out (only the named fonts are used). Replaces any earlier fallback of the font and forgets
// every answer it cached. Reads no file.
void font_fallback_enable(Font *font, const std::vector<std::string> &settings,
                          std::string_view config_dir, bool use_system = true);

// The font and glyph that draw `code_point` with `font`: the font itself when it has the glyph
// or no fallback, else the first fallback font that has it (a glyph with an outline), else the
// primary font's glyph 0. The first search for a code point may set up fontconfig and read a
// font file; every later one is a table look-up.
GlyphSource font_fallback_find(Font *font, uint32_t code_point);

// The file (and, for a collection, the face index as "file#N") of a fallback font loaded by
// font_fallback_find, for diagnostics. Empty for the primary font or an unknown font.
std::string font_fallback_name(const Font *primary, const Font *face);

// Whether `code_point` is a format or selector character that draws nothing (variation
// selectors, zero-width joiners and spaces, direction marks, tags): when no font has it, it is
// skipped instead of drawn as a box.
bool code_point_invisible(uint32_t code_point);

// Whether a line may break before `code_point` even without a space: Han ideographs, kana and
// the other scripts written without spaces between words.
bool code_point_breaks_alone(uint32_t code_point);
