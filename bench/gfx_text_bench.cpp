// Text drawing with the built-in font at the default size (14 points at 72 dpi) against a
// renderer without a glyph cache: stb_truetype's own stbtt_MakeCodepointBitmap for every glyph,
// its coverage blended into the same surface with the same blend. Two texts: one clipped line of
// 80 characters (TEXT_RETURN_WIDTH) and a 1,000-character paragraph with word wrapping
// (TEXT_WRAP | TEXT_WRAP_WORDS).
#include "assets/assets.h"
#include "gfx/surface.h"
#include "gfx/text.h"

#include <benchmark/benchmark.h>
#include <stb_truetype.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr double SIZE = 14;
constexpr int SURFACE_W = 640, SURFACE_H = 480;
constexpr double WIDTH = 600;

std::string paragraph(size_t length) {
    static const char *words[] = {"the",  "player",     "draws",  "every",   "label",
                                  "and",  "row",        "of",     "results", "with",
                                  "one",  "pixel",      "font",   "while",   "videos",
                                  "play", "underneath", "search", "playlist"};
    std::string out;
    uint32_t x = 7;
    while (out.size() < length) {
        x = x * 1664525u + 1013904223u;
        out += words[(x >> 16) % std::size(words)];
        out += ' ';
    }
    out.resize(length);
    return out;
}

Font *font() {
    static std::unique_ptr<Font> f = font_load_builtin();
    return f.get();
}

void run_text_draw(benchmark::State &state, const std::string &text, uint32_t flags) {
    SurfacePtr surface(surface_new(SURFACE_W, SURFACE_H));
    for (auto _ : state) {
        Paint paint;
        paint.color = 0xFF202020u;
        paint.x = 5;
        paint.y = 5;
        benchmark::DoNotOptimize(
            text_draw(surface.get(), &paint, font(), text.c_str(), flags, SIZE, WIDTH));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

// The reference: rasterise each glyph with stb_truetype as it comes, blend its coverage, break
// lines by characters.
void run_stb_per_glyph(benchmark::State &state, const std::string &text) {
    stbtt_fontinfo info;
    if (!stbtt_InitFont(&info, asset_font_sol6x12.data, 0)) std::abort();
    const int pixels = int(std::lround(SIZE));
    const float scale = stbtt_ScaleForPixelHeight(&info, float(pixels));
    int ascent, descent, gap;
    stbtt_GetFontVMetrics(&info, &ascent, &descent, &gap);
    const int baseline = int(std::lround(ascent * scale));
    SurfacePtr surface(surface_new(SURFACE_W, SURFACE_H));
    std::vector<uint8_t> coverage(64 * 64);
    const uint32_t color = 0xFF202020u;
    for (auto _ : state) {
        int pen_x = 5, pen_y = 5;
        for (unsigned char c : text) {
            int advance, bearing;
            stbtt_GetCodepointHMetrics(&info, c, &advance, &bearing);
            int step = int(std::lround(advance * scale));
            if (pen_x - 5 + step > int(WIDTH)) {
                pen_x = 5;
                pen_y += pixels;
            }
            int x0, y0, x1, y1;
            stbtt_GetCodepointBitmapBox(&info, c, scale, scale, &x0, &y0, &x1, &y1);
            int w = x1 - x0, h = y1 - y0;
            if (w > 0 && h > 0) {
                stbtt_MakeCodepointBitmap(&info, coverage.data(), w, h, w, scale, scale, c);
                for (int y = 0; y < h; ++y) {
                    int dy = pen_y + baseline + y0 + y;
                    if (dy < 0 || dy >= SURFACE_H) continue;
                    for (int x = 0; x < w; ++x) {
                        int dx = pen_x + x0 + x;
                        if (dx < 0 || dx >= SURFACE_W) continue;
                        uint32_t src = (color & 0xFFFFFF) |
                                       (((color >> 24) + 1) * coverage[size_t(y) * w + x] >> 8)
                                           << 24;
                        uint8_t *p =
                            surface->pixels + size_t(dy) * surface->stride + size_t(dx) * 4;
                        uint32_t dst;
                        std::memcpy(&dst, p, 4);
                        dst = pixel_blend(dst, src);
                        std::memcpy(p, &dst, 4);
                    }
                }
            }
            pen_x += step;
        }
        benchmark::DoNotOptimize(surface->pixels);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

const std::string LINE = paragraph(80);
const std::string PARAGRAPH = paragraph(1000);

void text_draw_line(benchmark::State &state) { run_text_draw(state, LINE, TEXT_RETURN_WIDTH); }
void reference_stb_line(benchmark::State &state) { run_stb_per_glyph(state, LINE); }
void text_draw_paragraph_words(benchmark::State &state) {
    run_text_draw(state, PARAGRAPH, TEXT_WRAP | TEXT_WRAP_WORDS);
}
void reference_stb_paragraph(benchmark::State &state) { run_stb_per_glyph(state, PARAGRAPH); }

} // namespace

BENCHMARK(reference_stb_line);
BENCHMARK(text_draw_line);
BENCHMARK(reference_stb_paragraph);
BENCHMARK(text_draw_paragraph_words);
BENCHMARK_MAIN();
