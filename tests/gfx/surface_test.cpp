// Exact-pixel checks of the drawing primitives on small surfaces.
#include "gfx/surface.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

namespace {

constexpr uint32_t rgba(uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
    return r | (g << 8) | (b << 16) | (a << 24);
}
constexpr uint32_t grey(uint32_t v) { return v * 0x01010101u; }

uint32_t pixel(const Surface *s, int x, int y) {
    uint32_t v;
    std::memcpy(&v, s->pixels + size_t(y) * s->stride + size_t(x) * 4, 4);
    return v;
}
void set_pixel(Surface *s, int x, int y, uint32_t v) {
    std::memcpy(s->pixels + size_t(y) * s->stride + size_t(x) * 4, &v, 4);
}
SurfacePtr make(int w, int h) { return SurfacePtr(surface_new(w, h)); }

// Every pixel distinct and opaque: red = x + 1, green = y + 1.
SurfacePtr pattern(int w, int h) {
    SurfacePtr s = make(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) set_pixel(s.get(), x, y, rgba(x + 1, y + 1, 0x55, 255));
    return s;
}
SurfacePtr filled(int w, int h, uint32_t v) {
    SurfacePtr s = make(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) set_pixel(s.get(), x, y, v);
    return s;
}

// The blend written channel by channel, to check the paired-channel arithmetic against.
uint32_t blend_reference(uint32_t dst, uint32_t src) {
    uint32_t a = src >> 24, out = 0;
    for (int c = 0; c < 3; ++c) {
        uint32_t d = (dst >> (8 * c)) & 255, s = (src >> (8 * c)) & 255;
        out |= ((d * (256 - a) + s * (a + 1)) >> 8) << (8 * c);
    }
    return out | ((((dst >> 24) * (256 - a)) >> 8) + a) << 24;
}

// Lists the pixels that differ from `background`, as "x,y" texts.
std::vector<std::string> touched(const Surface *s, uint32_t background) {
    std::vector<std::string> out;
    for (int y = 0; y < s->height; ++y)
        for (int x = 0; x < s->width; ++x)
            if (pixel(s, x, y) != background)
                out.push_back(std::to_string(x) + "," + std::to_string(y));
    return out;
}

// The pixels of the rectangle x0..x1, y0..y1 inclusive (only its border when `outline`), in
// the order touched() lists them.
std::vector<std::string> rect_pixels(int x0, int y0, int x1, int y1, bool outline = false) {
    std::vector<std::string> out;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            if (!outline || y == y0 || y == y1 || x == x0 || x == x1)
                out.push_back(std::to_string(x) + "," + std::to_string(y));
    return out;
}

} // namespace

TEST(surface, new_surface_is_transparent_with_spare_bytes) {
    SurfacePtr s = make(3, 2);
    EXPECT_EQ(s->stride, 12u);
    for (size_t i = 0; i < 12 * 2 + 32; ++i) ASSERT_EQ(s->pixels[i], 0) << i;
    SurfacePtr empty = make(-4, 0);
    EXPECT_EQ(empty->width, 0);
    EXPECT_EQ(empty->height, 0);
    ASSERT_NE(empty->pixels, nullptr);
}

TEST(blend, paired_channels_match_the_per_channel_formula) {
    std::mt19937 random(7);
    for (uint32_t a = 0; a < 256; ++a) {
        for (int k = 0; k < 64; ++k) {
            uint32_t dst = random();
            uint32_t src = (random() & 0x00FFFFFFu) | (a << 24);
            ASSERT_EQ(pixel_blend(dst, src), blend_reference(dst, src)) << dst << " " << src;
        }
        // The extremes of every channel at once, where a carry would cross between channels.
        ASSERT_EQ(pixel_blend(0xFFFFFFFFu, 0x00FFFFFFu | (a << 24)),
                  blend_reference(0xFFFFFFFFu, 0x00FFFFFFu | (a << 24)));
    }
}

TEST(blend, whole_rows_match_the_per_channel_formula) {
    // Rows of odd lengths with alphas 0, 255 and between, in runs and mixed, both channel orders.
    std::mt19937 random(11);
    for (int w : {1, 3, 4, 5, 37}) {
        SCOPED_TRACE(w);
        SurfacePtr src = make(w, 4), dst = make(w, 4);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < w; ++x) {
                uint32_t a = y == 0 ? 0 : y == 1 ? 255 : random() & 255;
                set_pixel(src.get(), x, y, (random() & 0x00FFFFFFu) | (a << 24));
                set_pixel(dst.get(), x, y, random());
            }
        SurfacePtr plain = make(w, 4), swapped = make(w, 4);
        surface_copy(dst.get(), nullptr, plain.get(), nullptr);
        surface_copy(dst.get(), nullptr, swapped.get(), nullptr);
        surface_blit(src.get(), nullptr, plain.get(), nullptr, 0);
        surface_blit_rgba(src.get(), nullptr, swapped.get(), nullptr, 0);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < w; ++x) {
                uint32_t s = pixel(src.get(), x, y), d = pixel(dst.get(), x, y);
                uint32_t t = (s & 0xFF00FF00u) | ((s >> 16) & 255) | ((s & 255) << 16);
                ASSERT_EQ(pixel(plain.get(), x, y), blend_reference(d, s)) << x << "," << y;
                ASSERT_EQ(pixel(swapped.get(), x, y), blend_reference(d, t)) << x << "," << y;
            }
    }
}

TEST(blit, opaque_copies_translucent_pixels_unchanged) {
    SurfacePtr src = filled(2, 2, rgba(200, 100, 50, 128));
    SurfacePtr dst = filled(2, 2, grey(9));
    surface_copy(src.get(), nullptr, dst.get(), nullptr);
    EXPECT_TRUE(touched(dst.get(), rgba(200, 100, 50, 128)).empty());
}

TEST(blit, rectangles_clip_to_both_surfaces) {
    // Each case: the pixels drawn as (dest x, dest y, source x, source y); nothing else changes.
    struct Case {
        const char *name;
        int sw, sh, dw, dh;
        std::optional<Rect> from, to;
        std::vector<std::array<int, 4>> drawn;
    } cases[] = {
        {"source rect left of the source shifts right", 3, 1, 10, 1, Rect{-2, 0, 4, 1},
         Rect{5, 0, 5, 1}, {{7, 0, 0, 0}, {8, 0, 1, 0}}},
        {"source rect above and past the source", 3, 3, 6, 6, Rect{1, -1, 5, 5}, Rect{0, 0, 6, 6},
         {{0, 1, 1, 0}, {1, 1, 2, 0}, {0, 2, 1, 1}, {1, 2, 2, 1}, {0, 3, 1, 2}, {1, 3, 2, 2}}},
        {"destination rect is a clip window", 4, 4, 8, 8, {}, Rect{2, 3, 2, 1},
         {{2, 3, 0, 0}, {3, 3, 1, 0}}},
        {"partly outside the destination", 4, 4, 4, 4, {}, Rect{-2, 3, 4, 4},
         {{0, 3, 2, 0}, {1, 3, 3, 0}}},
        {"source rect right of the source", 4, 4, 8, 8, Rect{4, 0, 2, 2}, {}, {}},
        {"zero width", 4, 4, 8, 8, {}, Rect{1, 1, 0, 4}, {}},
        {"zero height", 4, 4, 8, 8, {}, Rect{1, 1, 4, 0}, {}},
        {"negative width", 4, 4, 8, 8, {}, Rect{1, 1, -3, 4}, {}},
        {"right of the destination", 4, 4, 8, 8, {}, Rect{8, 0, 4, 4}, {}},
        {"above the destination", 4, 4, 8, 8, {}, Rect{0, -4, 4, 4}, {}},
        {"far up left", 4, 4, 8, 8, {}, Rect{-10, -10, 5, 5}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SurfacePtr src = pattern(c.sw, c.sh), dst = make(c.dw, c.dh);
        surface_blit(src.get(), c.from ? &*c.from : nullptr, dst.get(), c.to ? &*c.to : nullptr,
                     DRAW_OPAQUE);
        std::vector<std::string> expected;
        for (const auto &d : c.drawn) {
            expected.push_back(std::to_string(d[0]) + "," + std::to_string(d[1]));
            EXPECT_EQ(pixel(dst.get(), d[0], d[1]), pixel(src.get(), d[2], d[3]));
        }
        EXPECT_EQ(touched(dst.get(), 0), expected);
    }
}

TEST(blit, rgba_exchanges_bytes_0_and_2) {
    SurfacePtr src = filled(1, 1, rgba(10, 20, 30, 255));
    SurfacePtr dst = make(2, 1);
    surface_blit_rgba(src.get(), nullptr, dst.get(), nullptr, DRAW_OPAQUE);
    EXPECT_EQ(pixel(dst.get(), 0, 0), rgba(30, 20, 10, 255));
    EXPECT_EQ(pixel(dst.get(), 1, 0), 0u);

    SurfacePtr half = filled(1, 1, rgba(200, 0, 0, 128));
    SurfacePtr onto = filled(1, 1, rgba(0, 0, 100, 255));
    surface_draw(half.get(), nullptr, onto.get(), nullptr, DRAW_RGBA);
    // Source red lands in byte 2: (100 * 128 + 200 * 129) >> 8 = 150; alpha stays 255.
    EXPECT_EQ(pixel(onto.get(), 0, 0), rgba(0, 0, 150, 255));
}

TEST(fill, inclusive_clipped_and_unblended) {
    Paint paint;
    paint.fill_color = rgba(1, 2, 3, 40);
    SurfacePtr s = filled(4, 3, grey(255));
    surface_fill_rect(s.get(), paint, 2, 0, 1, 2); // x1 = x0 - 1
    EXPECT_TRUE(touched(s.get(), grey(255)).empty());
    surface_fill_rect(s.get(), paint, 1, 1, 1, 1);
    EXPECT_EQ(touched(s.get(), grey(255)), (std::vector<std::string>{"1,1"}));
    EXPECT_EQ(pixel(s.get(), 1, 1), paint.fill_color);
    surface_fill_rect(s.get(), paint, 3, -5, 10, 1);
    EXPECT_EQ(touched(s.get(), grey(255)), (std::vector<std::string>{"3,0", "1,1", "3,1"}));
    surface_fill_rect(s.get(), paint, 4, 0, 9, 9); // entirely outside
    EXPECT_EQ(touched(s.get(), grey(255)).size(), 3u);
}

TEST(line, rasterises_with_the_minor_accumulator) {
    struct Case {
        int x0, y0, x1, y1;
        std::vector<std::string> pixels;
    };
    const Case cases[] = {
        {0, 0, 3, 1, {"0,0", "1,0", "2,1", "3,1"}},
        {3, 1, 0, 0, {"0,0", "1,0", "2,1", "3,1"}}, // walked from the smaller end
        {0, 0, 1, 3, {"0,0", "0,1", "1,2", "1,3"}},
        {2, 0, 2, 3, {"2,0", "2,1", "2,2", "2,3"}},
        {0, 3, 3, 0, {"3,0", "2,1", "1,2", "0,3"}}, // equal differences: x is major
        {1, 1, 1, 1, {}},                           // one point draws nothing
        {-2, 0, 5, 0, {"0,0", "1,0", "2,0", "3,0"}}, // off-surface pixels skipped
    };
    Paint paint;
    paint.color = rgba(255, 0, 0, 255);
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.x0 << "," << c.y0 << " - " << c.x1 << "," << c.y1);
        SurfacePtr s = make(4, 4);
        surface_draw_line(s.get(), paint, c.x0, c.y0, c.x1, c.y1);
        EXPECT_EQ(touched(s.get(), 0), c.pixels);
    }
}

TEST(line, blends_its_colour) {
    Paint paint;
    paint.color = rgba(200, 0, 0, 128);
    SurfacePtr s = filled(3, 1, rgba(0, 0, 100, 255));
    surface_draw_line(s.get(), paint, 0, 0, 2, 0);
    EXPECT_EQ(pixel(s.get(), 1, 0), rgba(100, 0, 50, 255));
}

TEST(line, outline_converts_points_with_the_dpi) {
    Paint paint;
    paint.dpi = 144;
    paint.color = grey(255);
    SurfacePtr s = make(8, 8);
    surface_draw_rect_outline(s.get(), paint, 0.5, 0.5, 2.5, 2); // pixels 1,1 .. 5,4
    EXPECT_EQ(touched(s.get(), 0), rect_pixels(1, 1, 5, 4, true));
}

TEST(scale, degenerate_sizes_give_one_pixel) {
    SurfacePtr src = pattern(5, 4);
    for (auto [w, h] : {std::pair{0, 0}, {1, 1}, {-3, 1}, {1, 0}}) {
        SurfacePtr out(surface_scale(src.get(), w, h));
        EXPECT_EQ(out->width, 1);
        EXPECT_EQ(out->height, 1);
        EXPECT_EQ(out->stride, 4u);
    }
    SurfacePtr empty = make(0, 0);
    SurfacePtr out(surface_scale(empty.get(), 3, 2));
    EXPECT_EQ(out->width, 3);
    EXPECT_TRUE(touched(out.get(), 0).empty());
}

TEST(surface, same_size_paths_reproduce_the_source) {
    // Scaling, bilinear drawing and a nine-patch at the source size must copy it exactly.
    SurfacePtr src = pattern(7, 5);
    set_pixel(src.get(), 3, 2, rgba(1, 2, 3, 4));
    SurfacePtr scaled(surface_scale(src.get(), 7, 5));
    ASSERT_NE(scaled->pixels, src->pixels);
    SurfacePtr bilinear = make(7, 5), nine = filled(7, 5, grey(3));
    surface_draw(src.get(), nullptr, bilinear.get(), nullptr, DRAW_BILINEAR | DRAW_OPAQUE);
    surface_draw_nine_patch(src.get(), Rect{2, 1, 3, 2}, nine.get(), nullptr,
                            DRAW_NEAREST | DRAW_OPAQUE);
    for (const Surface *out : {scaled.get(), bilinear.get(), nine.get()})
        EXPECT_EQ(std::memcmp(out->pixels, src->pixels, 7 * 4 * 5), 0);
}

TEST(scale, catmull_rom_to_enlarge_hermite_to_shrink_on_each_axis) {
    // 2 -> 4: weights -1536, 14848, 56832 on the first pixel and -4608 on the second at output
    // 0, the overshoot clamped. 4 -> 2: four taps weighted 5120, 27648, 27648, 5120 in result
    // coordinates, the edge pixel repeated. -1 marks a value not checked.
    struct Case {
        std::vector<uint32_t> in;
        std::vector<int> out;
    } cases[] = {
        {{100, 200}, {93, 120, 180, 207}},
        {{200, 100}, {207, 180, 120, 93}},
        {{0, 255}, {0, -1, -1, 255}}, // -18 and 273 clamped
        {{0, 100, 200, 40}, {58, 112}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.in[0] << "," << c.in[1] << " to " << c.out.size());
        int n = int(c.in.size()), m = int(c.out.size());
        SurfacePtr row = make(n, 1), column = make(1, n);
        for (int i = 0; i < n; ++i) {
            set_pixel(row.get(), i, 0, grey(c.in[size_t(i)]));
            set_pixel(column.get(), 0, i, grey(c.in[size_t(i)]));
        }
        SurfacePtr wide(surface_scale(row.get(), m, 1)), tall(surface_scale(column.get(), 1, m));
        for (int i = 0; i < m; ++i) {
            if (c.out[size_t(i)] < 0) continue;
            EXPECT_EQ(pixel(wide.get(), i, 0), grey(uint32_t(c.out[size_t(i)]))) << i;
            EXPECT_EQ(pixel(tall.get(), 0, i), grey(uint32_t(c.out[size_t(i)]))) << i;
        }
    }
}

TEST(scale, flat_colour_stays_flat_and_source_is_untouched) {
    SurfacePtr src = filled(37, 23, rgba(10, 128, 250, 255));
    for (auto [w, h] : {std::pair{100, 60}, {5, 3}, {37, 90}, {200, 2}}) {
        SCOPED_TRACE(testing::Message() << w << "x" << h);
        SurfacePtr out(surface_scale(src.get(), w, h));
        ASSERT_EQ(out->width, w);
        ASSERT_EQ(out->height, h);
        EXPECT_TRUE(touched(out.get(), rgba(10, 128, 250, 255)).empty());
    }
    EXPECT_TRUE(touched(src.get(), rgba(10, 128, 250, 255)).empty());
}

TEST(nearest, samples_the_centre_of_each_step) {
    SurfacePtr src = pattern(4, 2);
    SurfacePtr dst = make(2, 4);
    surface_draw(src.get(), nullptr, dst.get(), nullptr, DRAW_NEAREST | DRAW_OPAQUE);
    // Columns: step 2.0 samples source columns 1 and 3; rows: step 0.5 samples 0, 0, 1, 1.
    EXPECT_EQ(pixel(dst.get(), 0, 0), pixel(src.get(), 1, 0));
    EXPECT_EQ(pixel(dst.get(), 1, 1), pixel(src.get(), 3, 0));
    EXPECT_EQ(pixel(dst.get(), 0, 2), pixel(src.get(), 1, 1));
    EXPECT_EQ(pixel(dst.get(), 1, 3), pixel(src.get(), 3, 1));
}

TEST(nearest, offscreen_part_is_consistent) {
    SurfacePtr src = pattern(4, 4), dst = make(8, 8);
    // A stretch hanging off the left and top shows the same pixels as the unclipped one.
    SurfacePtr big = make(16, 16);
    Rect whole_to{4, 4, 8, 8};
    surface_draw(src.get(), nullptr, big.get(), &whole_to, DRAW_NEAREST | DRAW_OPAQUE);
    Rect hanging{-4, -4, 8, 8};
    surface_draw(src.get(), nullptr, dst.get(), &hanging, DRAW_NEAREST | DRAW_OPAQUE);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(pixel(dst.get(), x, y), pixel(big.get(), x + 8, y + 8));
    EXPECT_EQ(touched(dst.get(), 0).size(), 16u);
}

TEST(bilinear, interpolates_inside_and_clamps_edges) {
    SurfacePtr src = make(2, 2), dst = make(4, 4);
    const uint32_t corners[4] = {0, 100, 200, 40};
    for (int i = 0; i < 4; ++i) set_pixel(src.get(), i % 2, i / 2, grey(corners[i]));
    surface_draw(src.get(), nullptr, dst.get(), nullptr, DRAW_BILINEAR | DRAW_OPAQUE);
    // Output positions -0.25, 0.25, 0.75, 1.25 on both axes: the outer rows and columns take
    // the edge row or column alone.
    const uint32_t expected[4][4] = {
        {0, 25, 75, 100}, {50, 59, 76, 85}, {150, 126, 79, 55}, {200, 160, 80, 40}};
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
            SCOPED_TRACE(testing::Message() << x << "," << y);
            EXPECT_EQ(pixel(dst.get(), x, y), grey(expected[y][x]));
        }
}

TEST(bilinear, into_a_rect_of_the_destination_and_blended) {
    SurfacePtr src = filled(3, 3, rgba(200, 0, 0, 128));
    SurfacePtr dst = filled(6, 6, rgba(0, 0, 100, 255));
    Rect to{1, 2, 4, 3};
    surface_draw(src.get(), nullptr, dst.get(), &to, DRAW_BILINEAR);
    EXPECT_EQ(touched(dst.get(), rgba(0, 0, 100, 255)), rect_pixels(1, 2, 4, 4));
    EXPECT_EQ(pixel(dst.get(), 2, 3), rgba(100, 0, 50, 255));
}

TEST(tile, full_tiles_then_strips_then_corner) {
    // 25 x 15: two full tiles, two 10 x 5 below, one 5 x 10 right, one 5 x 5 corner; then
    // remainders that differ between the axes, and a rectangle hanging off the surface.
    const Rect cases[] = {{3, 2, 25, 15}, {1, 1, 27, 13}, {0, 0, 7, 4}, {-13, -4, 40, 30}};
    SurfacePtr src = pattern(12, 12);
    Rect from{1, 1, 10, 10};
    for (const Rect &to : cases) {
        SCOPED_TRACE(testing::Message() << to.x << "," << to.y << " " << to.w << "x" << to.h);
        SurfacePtr dst = make(32, 20);
        surface_draw(src.get(), &from, dst.get(), &to, DRAW_TILE);
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < 32; ++x) {
                bool inside = x >= to.x && x < to.x + to.w && y >= to.y && y < to.y + to.h;
                uint32_t want =
                    inside ? pixel(src.get(), 1 + (x - to.x) % 10, 1 + (y - to.y) % 10) : 0;
                ASSERT_EQ(pixel(dst.get(), x, y), want) << x << "," << y;
            }
    }
}

TEST(nine_patch, stretches_edges_and_keeps_corners) {
    // 5 x 5 source, centre 1 pixel at (2, 2): borders of 2 on every side.
    SurfacePtr src = pattern(5, 5);
    SurfacePtr dst = make(12, 10);
    Rect to{1, 1, 9, 8};
    surface_draw_nine_patch(src.get(), Rect{2, 2, 1, 1}, dst.get(), &to, DRAW_NEAREST | DRAW_NO_CENTER);
    auto source_of = [&](int x, int y) -> int {
        // Map a destination pixel to the source pixel expected there, -1 for untouched.
        int lx = x - 1, ly = y - 1;
        if (lx < 0 || ly < 0 || lx >= 9 || ly >= 8) return -1;
        int sx = lx < 2 ? lx : lx >= 7 ? lx - 4 : 2;
        int sy = ly < 2 ? ly : ly >= 6 ? ly - 3 : 2;
        if (sx == 2 && sy == 2) return -1; // the centre is left out
        return sy * 5 + sx;
    };
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 12; ++x) {
            int s = source_of(x, y);
            uint32_t want = s < 0 ? 0 : pixel(src.get(), s % 5, s / 5);
            ASSERT_EQ(pixel(dst.get(), x, y), want) << x << "," << y;
        }
}

TEST(resample, scales_the_source_rect_into_the_destination_rect) {
    SurfacePtr src = filled(4, 4, rgba(9, 9, 9, 255));
    set_pixel(src.get(), 0, 0, grey(255));
    Rect from{1, 1, 3, 3}; // the flat part
    Rect to{2, 2, 5, 4};
    SurfacePtr dst = make(8, 8);
    surface_draw(src.get(), &from, dst.get(), &to, DRAW_RESAMPLE | DRAW_OPAQUE);
    EXPECT_EQ(touched(dst.get(), 0), rect_pixels(2, 2, 6, 5));
    EXPECT_EQ(pixel(dst.get(), 2, 2), rgba(9, 9, 9, 255));
}

TEST(surface_draw, missing_or_empty_rectangles_draw_nothing) {
    // Tiling and resampling need both rectangles; a zero size draws nothing in any mode.
    const Rect r{0, 0, 8, 8}, zero_w{0, 0, 0, 5}, zero_src{1, 1, 0, 2};
    struct Case {
        uint32_t flags;
        const Rect *from, *to;
    } cases[] = {{DRAW_NEAREST, nullptr, &zero_w}, {DRAW_NEAREST, &zero_src, nullptr},
                 {DRAW_TILE, nullptr, &r},         {DRAW_TILE, &r, nullptr},
                 {DRAW_TILE, &zero_src, &r},       {DRAW_RESAMPLE, &r, nullptr}};
    SurfacePtr src = pattern(4, 4);
    for (const Case &c : cases) {
        SCOPED_TRACE(&c - cases);
        SurfacePtr dst = make(8, 8);
        surface_draw(src.get(), c.from, dst.get(), c.to, c.flags);
        EXPECT_TRUE(touched(dst.get(), 0).empty());
    }
}

TEST(points, round_with_the_dpi) {
    EXPECT_EQ(points_to_pixels(10, 72), 10);
    EXPECT_EQ(points_to_pixels(10, 96), 13);    // 13.33
    EXPECT_EQ(points_to_pixels(1.5, 72), 2);    // halves round away from zero
    EXPECT_EQ(points_to_pixels(-1.5, 72), -2);
}

TEST(surface_malformed, huge_and_inverted_rectangles_stay_inside_and_finish) {
    SurfacePtr src = pattern(4, 4);
    SurfacePtr dst = make(16, 12);
    Rect from{0, 0, 1, 1};
    Rect huge{-2000000000, -2000000000, 2147483647, 2147483647};
    surface_draw(src.get(), &from, dst.get(), &huge, DRAW_TILE);
    EXPECT_TRUE(touched(dst.get(), pixel(src.get(), 0, 0)).empty());

    const Rect odd[] = {{-3, -3, 10, 10}, {2, 2, -5, 3}, {3, 1, 0, 0}, {9, 9, 2, 2}};
    for (const Rect &centre : odd) {
        SCOPED_TRACE(testing::Message() << centre.x << "," << centre.y << " " << centre.w << "x"
                                        << centre.h);
        for (uint32_t flags : {0u, 8u, 9u, 65u, 136u, 16u, 4u}) {
            SurfacePtr out = make(16, 12);
            Rect to{-5, 3, 30, 30};
            surface_draw_nine_patch(src.get(), centre, out.get(), &to, flags);
            surface_draw(src.get(), &centre, out.get(), &to, flags);
        }
    }

    Paint paint;
    paint.color = grey(255);
    SurfacePtr line = make(8, 4);
    surface_draw_line(line.get(), paint, -2000000000, 1, 2000000000, 1);
    surface_draw_line(line.get(), paint, 3, -2000000000, 3, 2000000000);
    std::vector<std::string> expected = {"3,0"};
    for (const std::string &p : rect_pixels(0, 1, 7, 1)) expected.push_back(p);
    expected.insert(expected.end(), {"3,2", "3,3"});
    EXPECT_EQ(touched(line.get(), 0), expected);
}

TEST(line, clipped_walk_matches_the_whole_walk) {
    // A steep line hanging off the surface sets exactly the pixels of the same line drawn on a
    // surface large enough to hold it, shifted.
    Paint paint;
    paint.color = grey(255);
    SurfacePtr big = make(60, 60), small = make(10, 10);
    surface_draw_line(big.get(), paint, 3, 5, 50, 57);
    surface_draw_line(small.get(), paint, 3 - 25, 5 - 25, 50 - 25, 57 - 25);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x)
            EXPECT_EQ(pixel(small.get(), x, y), pixel(big.get(), x + 25, y + 25)) << x << "," << y;
    EXPECT_FALSE(touched(small.get(), 0).empty());
}
