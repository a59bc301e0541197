// TrueType text through stb_truetype: font loading, the glyph cache, coloured glyph images and
// the line layout of text_measure and text_draw.
#include "gfx/text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stb_truetype.h>

#include "assets/assets.h"
#include "base/runtime.h"
#include "gfx/utf8.h"

struct FontInfo {
    stbtt_fontinfo stb;
};

void FontInfoDeleter::operator()(FontInfo *info) const { delete info; }

namespace {

// Zero bytes kept after the font file, so a table that claims a few bytes more than the file
// holds reads zeros rather than foreign memory.
constexpr size_t FONT_PADDING = 1024;

uint32_t read_u32(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The table directory at `offset` must lie inside the file and every table it lists must too;
// the rasteriser trusts both.
bool font_directory_sound(const uint8_t *data, size_t length, size_t offset) {
    if (offset > length || length - offset < 12) return false;
    size_t tables = size_t(data[offset + 4]) << 8 | data[offset + 5];
    if ((length - offset - 12) / 16 < tables) return false;
    for (size_t i = 0; i < tables; ++i) {
        const uint8_t *record = data + offset + 12 + 16 * i;
        uint64_t start = read_u32(record + 8), size = read_u32(record + 12);
        if (start + size > length) return false;
    }
    return true;
}

void font_set_pixel_height(Font *font, int32_t pixel_height) {
    font->pixel_height = pixel_height;
    font->scale = stbtt_ScaleForPixelHeight(&font->info->stb, float(pixel_height));
}

int32_t font_baseline(const Font *font) { return int32_t(std::lround(font->ascent * font->scale)); }

// Sets a fallback face up for the primary font's call in progress: its capitals as tall as the
// primary's (when both fonts have an "H"; else the same pixel height), so letters of the two
// fonts side by side look one size, and an ideograph, about as tall as an em, stays inside the
// line. Its glyph cache keys on the primary's pixel height, which fixes that scale.
void face_prepare(Font *face, const Font *primary) {
    if (face == primary) return;
    font_set_pixel_height(face, primary->pixel_height);
    if (face->cap_height > 0 && primary->cap_height > 0)
        face->scale = primary->scale * float(primary->cap_height) / float(face->cap_height);
}

// The glyph drawing the code point at the primary font's call in progress, from the font or a
// fallback. `*box` tells whether it is the missing-glyph box; a code point that draws nothing
// (an invisible format character no font has) gives an empty glyph without advance.
Glyph glyph_for(Font *font, uint32_t code_point, uint32_t color, GlyphMode mode, bool *box) {
    GlyphSource source = font_fallback_find(font, code_point);
    *box = source.font == font && source.glyph == 0;
    if (!source.font) return Glyph{};
    face_prepare(source.font, font);
    Glyph glyph = glyph_get(source.font, source.glyph, color, mode);
    // On the primary font's baseline, whatever the face's own ascent.
    if (source.font != font) glyph.top += font_baseline(font) - font_baseline(source.font);
    return glyph;
}

int32_t advance_for(Font *font, uint32_t code_point) {
    GlyphSource source = font_fallback_find(font, code_point);
    if (!source.font) return 0;
    face_prepare(source.font, font);
    int advance = 0, bearing = 0;
    stbtt_GetGlyphHMetrics(&source.font->info->stb, source.glyph, &advance, &bearing);
    return int32_t(std::lround(advance * source.font->scale));
}

GlyphEntry *glyph_cache_find(Font *font, int32_t glyph, int32_t pixel_height) {
    int32_t number = glyph >> 6;
    for (GlyphBucket *bucket : font->glyph_cache) {
        if (bucket->number != number) continue;
        for (GlyphEntry *entry : bucket->entries)
            if (entry->glyph == glyph && entry->pixel_height == pixel_height) return entry;
        return nullptr;
    }
    return nullptr;
}

void glyph_cache_add(Font *font, GlyphEntry *entry) {
    int32_t number = entry->glyph >> 6;
    GlyphBucket *found = nullptr;
    for (GlyphBucket *bucket : font->glyph_cache) {
        if (bucket->number == number) {
            found = bucket;
            break;
        }
    }
    if (!found) {
        found = new GlyphBucket{number, {}};
        font->glyph_cache.append(found, 1);
    }
    found->entries.push(entry, 1);
}

// Makes the scratch surface at least width x height pixels.
void scratch_reserve(Font *font, int32_t width, int32_t height) {
    Surface *old = font->scratch.get();
    if (old && old->width >= width && old->height >= height) return;
    int32_t w = std::max(width, old ? old->width : 0);
    int32_t h = std::max(height, old ? old->height : 0);
    font->scratch.reset(surface_new(w, h));
}

// The glyph's coverage in `color` with straight alpha ((alpha + 1) * coverage) >> 8 into the
// scratch surface's top-left corner.
void glyph_colour(Font *font, const GlyphEntry &entry, uint32_t color) {
    scratch_reserve(font, entry.width, entry.height);
    Surface *scratch = font->scratch.get();
    const uint32_t rgb = color & 0x00FFFFFFu;
    const uint32_t alpha = (color >> 24) + 1;
    for (int32_t y = 0; y < entry.height; ++y) {
        const uint8_t *coverage = entry.coverage.get() + size_t(y) * size_t(entry.width);
        uint8_t *row = scratch->pixels + size_t(y) * scratch->stride;
        for (int32_t x = 0; x < entry.width; ++x) {
            uint32_t pixel = rgb | ((alpha * coverage[x]) >> 8) << 24;
            std::memcpy(row + size_t(x) * 4, &pixel, 4);
        }
    }
}

} // namespace

namespace {

// Parses face `index` of the font's bytes (its data or its mapping: the file's `length` bytes
// followed by FONT_PADDING zero bytes).
std::unique_ptr<Font> font_parse_face(std::unique_ptr<Font> font, size_t length, int index) {
    const unsigned char *bytes = font->mapped ? font->mapped.get() : font->data.data();

    int offset = length >= 12 ? stbtt_GetFontOffsetForIndex(bytes, index) : -1;
    if (offset < 0 || !font_directory_sound(bytes, length, size_t(offset))) return nullptr;
    font->info.reset(new FontInfo{});
    if (!stbtt_InitFont(&font->info->stb, bytes, offset)) return nullptr;

    int ascent = 0, descent = 0, line_gap = 0;
    stbtt_GetFontVMetrics(&font->info->stb, &ascent, &descent, &line_gap);
    if (ascent - descent <= 0) return nullptr; // no pixel height can be derived from it
    font->ascent = ascent;
    font->descent = descent;
    font->line_gap = line_gap;
    font->scratch.reset(surface_new(0, 0));
    for (int cp = 0; cp < 128; ++cp)
        font->ascii_glyphs[cp] = stbtt_FindGlyphIndex(&font->info->stb, cp);
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    if (font->ascii_glyphs[int('H')] &&
        stbtt_GetGlyphBox(&font->info->stb, font->ascii_glyphs[int('H')], &x0, &y0, &x1, &y1))
        font->cap_height = std::max(y1, 0);
    return font;
}

} // namespace

void FontMapping::operator()(uint8_t *base) const {
    if (base) munmap(base, length);
}

std::unique_ptr<Font> font_parse(const uint8_t *bytes, size_t length) {
    if (!bytes || length >= FILE_SIZE_LIMIT) return nullptr;
    auto font = std::make_unique<Font>();
    font->data.resize(length + FONT_PADDING);
    if (length) std::memcpy(font->data.data(), bytes, length);
    return font_parse_face(std::move(font), length, 0);
}

std::unique_ptr<Font> font_load_face(const std::string &path, int32_t index) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info {};
    size_t length = 0;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
        uint64_t(info.st_size) < FILE_SIZE_LIMIT)
        length = size_t(info.st_size);
    // Zero pages reserved for the file and its padding, then the file mapped over their start.
    void *base = MAP_FAILED;
    if (length) base = mmap(nullptr, length + FONT_PADDING, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS,
                            -1, 0);
    bool mapped = base != MAP_FAILED &&
                  mmap(base, length, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, 0) != MAP_FAILED;
    close(fd);
    if (base != MAP_FAILED && !mapped) munmap(base, length + FONT_PADDING);
    if (!mapped) return nullptr;
    auto font = std::make_unique<Font>();
    font->mapped = std::unique_ptr<uint8_t, FontMapping>(static_cast<uint8_t *>(base),
                                                         FontMapping{length + FONT_PADDING});
    return font_parse_face(std::move(font), length, index);
}

std::unique_ptr<Font> font_load(const uint8_t *bytes, size_t length) {
    std::unique_ptr<Font> font = font_parse(bytes, length);
    if (!font) report_fatal("error opening font", "loading font failed");
    return font;
}

std::unique_ptr<Font> font_load_builtin() {
    return font_load(asset_font_sol6x12.data, asset_font_sol6x12.size);
}

std::string font_path(std::string_view setting, std::string_view config_dir) {
    if ((!setting.empty() && setting[0] == '/') || (setting.size() > 1 && setting[1] == ':'))
        return std::string(setting);
    std::string path(config_dir);
    path += '/';
    path += setting;
    return path;
}

std::unique_ptr<Font> font_load_file(const std::string &path) {
    std::string bytes = read_file_as(path, "error opening font");
    return font_load(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
}

int32_t font_glyph_index(const Font *font, uint32_t code_point) {
    if (code_point < 128) return font->ascii_glyphs[code_point];
    return stbtt_FindGlyphIndex(&font->info->stb, int(code_point));
}

bool font_glyph_empty(const Font *font, int32_t glyph) {
    return stbtt_IsGlyphEmpty(&font->info->stb, glyph) != 0;
}

Glyph glyph_get(Font *font, int32_t glyph, uint32_t color, GlyphMode mode) {
    const stbtt_fontinfo *info = &font->info->stb;
    Glyph out;
    const GlyphEntry *entry = glyph_cache_find(font, glyph, font->pixel_height);
    int32_t box_left = 0, box_top = 0;
    if (entry) {
        out.width = entry->width;
        out.height = entry->height;
        box_top = entry->top;
    } else {
        int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
        stbtt_GetGlyphBitmapBox(info, glyph, font->scale, font->scale, &x0, &y0, &x1, &y1);
        out.width = std::max(x1 - x0, 0);
        out.height = std::max(y1 - y0, 0);
        box_left = x0;
        box_top = y0;
        if (mode == GLYPH_DRAW) {
            auto *added = new GlyphEntry{nullptr, out.width,          out.height, box_left,
                                         box_top, font->pixel_height, glyph};
            size_t area = size_t(out.width) * size_t(out.height);
            if (area) {
                added->coverage.reset(new uint8_t[area]());
                stbtt_MakeGlyphBitmap(info, added->coverage.get(), out.width, out.height, out.width,
                                      font->scale, font->scale, glyph);
            } else {
                out.width = out.height = added->width = added->height = 0;
            }
            glyph_cache_add(font, added);
            entry = added;
        }
    }

    int advance = 0, bearing = 0;
    stbtt_GetGlyphHMetrics(info, glyph, &advance, &bearing);
    out.left = int32_t(std::floor(bearing * font->scale));
    out.top = box_top + int32_t(std::lround(font->ascent * font->scale));
    out.advance = int32_t(std::lround(advance * font->scale));

    if (mode == GLYPH_DRAW) {
        glyph_colour(font, *entry, color);
        out.image = font->scratch.get();
    }
    return out;
}

int32_t text_measure(const Paint &paint, Font *font, const char *text, int32_t limit, double size) {
    if (!text || !font) return -1;
    const float saved_scale = font->scale;
    font_set_pixel_height(font, points_to_pixels(size, paint.dpi));
    const bool word = limit == TEXT_MEASURE_ASCII_WORD;

    int32_t total = 0;
    bool after_space = false, after_alone = false;
    for (size_t pos = 0;;) {
        uint32_t code_point = 0;
        int32_t length = utf8_decode(text + pos, &code_point);
        if (!length) break;
        if (word) {
            // A word ends before a space's follower and around an ideograph (a word alone).
            bool alone = code_point_breaks_alone(code_point);
            if (after_space && code_point != ' ') break;
            if (pos > 0 && (alone || after_alone)) break;
            after_alone = alone;
        } else if (int64_t(pos) >= limit) {
            break;
        }
        if (code_point == '\n') break;
        total += advance_for(font, code_point);
        after_space = code_point == ' ';
        pos += size_t(length);
    }
    font->scale = saved_scale;
    return total;
}

int32_t text_draw(Surface *dest, Paint *paint, Font *font, const char *text, uint32_t flags,
                  double size, double width) {
    if (!text || !font || !paint) return -1;
    const int32_t dpi = paint->dpi;
    const int32_t line_height = points_to_pixels(size, dpi);
    const float saved_scale = font->scale;
    font_set_pixel_height(font, line_height);

    int32_t px = points_to_pixels(paint->x, dpi);
    int32_t py = points_to_pixels(paint->y, dpi);
    const int32_t px0 = px;
    const int32_t width_limit = points_to_pixels(width, dpi);
    int32_t lines = 1;

    const bool drawing = !(flags & TEXT_NO_DRAW) && dest;
    const bool stops_at_limit = flags & (TEXT_RETURN_WIDTH | TEXT_RETURN_INDEX);
    const bool breaks_lines = flags & (TEXT_WRAP | TEXT_RETURN_WIDTH | TEXT_RETURN_INDEX);
    bool after_space = false, after_alone = false;
    size_t pos = 0;
    for (;;) {
        uint32_t code_point = 0;
        int32_t length = utf8_decode(text + pos, &code_point);
        if (!length) break;
        const bool newline = code_point == '\n';
        bool box = false;
        Glyph glyph = glyph_for(font, code_point, paint->color,
                                drawing && !newline ? GLYPH_DRAW : GLYPH_MEASURE, &box);

        if (flags & TEXT_WRAP_WORDS) {
            const bool space = code_point == ' ';
            const bool alone = code_point_breaks_alone(code_point);
            // A word starts after a space, and at and after an ideograph (a word of its own).
            // At the start of a line a break would only leave an empty line.
            if (!space && (after_space || alone || after_alone) && px > px0) {
                // The word measure leaves the glyph image alone: it never rasterises.
                int32_t word =
                    text_measure(*paint, font, text + pos, TEXT_MEASURE_ASCII_WORD, size);
                if (word + (px - px0) > width_limit) {
                    px = px0;
                    py += line_height;
                    ++lines;
                }
            }
            after_space = space;
            after_alone = alone;
        }

        const bool fits = !newline && px - px0 + glyph.advance <= width_limit;
        if (!fits) {
            if (breaks_lines) {
                // A glyph wider than the whole line stops the run instead of breaking forever.
                if (stops_at_limit || (!newline && px == px0)) break;
                if (flags & TEXT_WRAP) {
                    px = px0;
                    py += line_height;
                    ++lines;
                }
            }
            if (newline) {
                pos += size_t(length);
                if (flags & TEXT_ONE_CHAR) break;
                continue;
            }
        }

        if (drawing && glyph.width > 0 && glyph.height > 0) {
            Rect source{0, 0, glyph.width, glyph.height};
            Rect window{px + glyph.left, py + glyph.top, glyph.width, glyph.height};
            surface_blit(glyph.image, &source, dest, &window, 0);
            if (box && !newline) ++font->boxes_drawn;
        }
        px += glyph.advance;
        pos += size_t(length);
        if (flags & TEXT_ONE_CHAR) break;
    }

    font->scale = saved_scale;
    if ((flags & TEXT_STORE_PEN) && dpi > 0) {
        paint->x = px * 72.0 / dpi;
        paint->y = py * 72.0 / dpi;
    }
    if (flags & TEXT_RETURN_INDEX) return int32_t(pos);
    if (flags & TEXT_RETURN_WIDTH) return px - px0;
    return lines;
}

const char *text_ellipsis(Font *font) {
    if (!font) return "...";
    GlyphSource source = font_fallback_find(font, 0x2026);
    return source.font && source.glyph ? "\xE2\x80\xA6" : "...";
}

std::string text_fit(const Paint &paint, Font *font, const char *text, double size, double width,
                     int32_t max_lines) {
    if (!text || !font || max_lines < 1) return {};
    const float saved_scale = font->scale;
    font_set_pixel_height(font, points_to_pixels(size, paint.dpi));
    const int32_t limit = points_to_pixels(width, paint.dpi);

    // The code points up to the end of the text (or the first byte that is not UTF-8).
    struct Unit {
        size_t at;
        uint32_t code_point;
        int32_t advance;
    };
    std::vector<Unit> units;
    size_t end = 0;
    for (;;) {
        uint32_t code_point = 0;
        int32_t length = utf8_decode(text + end, &code_point);
        if (!length) break;
        units.push_back({end, code_point, code_point == '\n' ? 0 : advance_for(font, code_point)});
        end += size_t(length);
    }
    const size_t n = units.size();
    auto byte_at = [&](size_t i) { return i < n ? units[i].at : end; };
    auto is_space = [&](size_t i) { return units[i].code_point == ' '; };
    // A line may end before unit i (i > start): before a space, or next to an ideograph.
    auto break_before = [&](size_t i) {
        return is_space(i) || code_point_breaks_alone(units[i].code_point) ||
               code_point_breaks_alone(units[i - 1].code_point);
    };
    auto rest_blank = [&](size_t i) {
        for (; i < n; ++i)
            if (!is_space(i) && units[i].code_point != '\n') return false;
        return true;
    };
    auto append = [&](std::string &out, size_t from, size_t to) {
        while (to > from && is_space(to - 1)) --to; // no spaces before a break or an ellipsis
        out.append(text + byte_at(from), byte_at(to) - byte_at(from));
    };

    std::string out;
    size_t i = 0;
    for (int32_t line = 1; i < n; ++line) {
        if (line > 1)
            while (i < n && is_space(i)) ++i; // a line never starts with the spaces of a break
        const size_t start = i;
        size_t j = start, word_end = 0;
        int32_t used = 0;
        while (j < n && units[j].code_point != '\n' && used + units[j].advance <= limit) {
            if (j > start && break_before(j)) word_end = j;
            used += units[j].advance;
            ++j;
        }
        size_t line_end, next;
        if (j == n || units[j].code_point == '\n') {
            line_end = j;
            next = j < n ? j + 1 : j;
        } else if (word_end > start && !is_space(j) && !(j > start && break_before(j))) {
            line_end = next = word_end; // the word at j does not fit: it goes to the next line
        } else {
            line_end = next = std::max(j, start + 1); // a break at j, or a word wider than a line
        }
        const bool more = !rest_blank(next);
        if (line < max_lines || !more) {
            append(out, start, line_end);
            if (!more) break;
            out += '\n';
            i = next;
            continue;
        }
        // The last line shown: as much as leaves room for the ellipsis, whole words if it can.
        const char *ellipsis = text_ellipsis(font);
        int32_t room = limit - text_measure(paint, font, ellipsis, INT32_MAX, size);
        size_t cut = start, cut_word = start;
        used = 0;
        for (size_t k = start; k < n && units[k].code_point != '\n'; ++k) {
            if (k > start && break_before(k)) cut_word = k;
            if (used + units[k].advance > room) break;
            used += units[k].advance;
            cut = k + 1;
        }
        // A word ending right at the cut ends whole too.
        if (cut < n && cut > start && (units[cut].code_point == '\n' || break_before(cut)))
            cut_word = cut;
        if (room >= 0) {
            append(out, start, cut_word > start ? cut_word : cut);
            out += ellipsis;
        }
        break;
    }
    font->scale = saved_scale;
    return out;
}
