// TrueType text through stb_truetype: font loading, the glyph cache, coloured glyph images and
// the line layout of text_measure and text_draw.
#include "gfx/text.h"

#include <algorithm>
#include <cmath>
#include <cstring>

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

int32_t glyph_advance(const Font *font, int32_t glyph) {
    int advance = 0, bearing = 0;
    stbtt_GetGlyphHMetrics(&font->info->stb, glyph, &advance, &bearing);
    return int32_t(std::lround(advance * font->scale));
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

std::unique_ptr<Font> font_parse(const uint8_t *bytes, size_t length) {
    if (!bytes || length >= FILE_SIZE_LIMIT) return nullptr;
    auto font = std::make_unique<Font>();
    font->data.resize(length + FONT_PADDING);
    if (length) std::memcpy(font->data.data(), bytes, length);
    const unsigned char *data = font->data.data();

    int offset = length >= 12 ? stbtt_GetFontOffsetForIndex(data, 0) : -1;
    if (offset < 0 || !font_directory_sound(data, length, size_t(offset))) return nullptr;
    font->info.reset(new FontInfo{});
    if (!stbtt_InitFont(&font->info->stb, data, offset)) return nullptr;

    int ascent = 0, descent = 0, line_gap = 0;
    stbtt_GetFontVMetrics(&font->info->stb, &ascent, &descent, &line_gap);
    if (ascent - descent <= 0) return nullptr; // no pixel height can be derived from it
    font->ascent = ascent;
    font->descent = descent;
    font->line_gap = line_gap;
    font->scratch.reset(surface_new(0, 0));
    for (int cp = 0; cp < 128; ++cp)
        font->ascii_glyphs[cp] = stbtt_FindGlyphIndex(&font->info->stb, cp);
    return font;
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
    bool after_space = false;
    for (size_t pos = 0;;) {
        uint32_t code_point = 0;
        int32_t length = utf8_decode(text + pos, &code_point);
        if (!length) break;
        int32_t advance = glyph_advance(font, font_glyph_index(font, code_point));
        if (word) {
            if (code_point > 127) break;
            if (after_space && code_point != ' ') break;
        } else if (int64_t(pos) >= limit) {
            break;
        }
        if (code_point == '\n') break;
        total += advance;
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
    bool after_space = false;
    size_t pos = 0;
    for (;;) {
        uint32_t code_point = 0;
        int32_t length = utf8_decode(text + pos, &code_point);
        if (!length) break;
        const bool newline = code_point == '\n';
        Glyph glyph = glyph_get(font, font_glyph_index(font, code_point), paint->color,
                                drawing && !newline ? GLYPH_DRAW : GLYPH_MEASURE);

        if (flags & TEXT_WRAP_WORDS) {
            const bool space = code_point == ' ';
            if (after_space && !space) {
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
