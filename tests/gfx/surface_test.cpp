// The drawing primitives, pixel by pixel on small surfaces.
#include "gfx_test.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <random>

namespace {

// The blend channel by channel, against the paired-channel arithmetic.
uint32_t blend_reference(uint32_t dst, uint32_t src) {
    uint32_t a = src >> 24, out = 0;
    for (int c = 0; c < 3; ++c) {
        uint32_t d = (dst >> (8 * c)) & 255, s = (src >> (8 * c)) & 255;
        out |= ((d * (256 - a) + s * (a + 1)) >> 8) << (8 * c);
    }
    return out | ((((dst >> 24) * (256 - a)) >> 8) + a) << 24;
}

// The pixels of x0..x1, y0..y1 inclusive (the border alone when `outline`), as touched() lists them.
std::vector<std::string> rect_pixels(int x0, int y0, int x1, int y1, bool outline = false) {
    std::vector<std::string> out;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            if (!outline || y == y0 || y == y1 || x == x0 || x == x1)
                out.push_back(std::to_string(x) + "," + std::to_string(y));
    return out;
}

} // namespace

TEST(blend, single_pixels_and_whole_rows_match_the_per_channel_formula) {
    std::mt19937 random(7);
    for (uint32_t a = 0; a < 256; ++a)
        for (int k = 0; k <= 64; ++k) { // the last: every channel at its top, where carries cross
            uint32_t top = k == 64, dst = top ? ~0u : uint32_t(random());
            uint32_t src = (top ? 0xFFFFFFu : random() & 0xFFFFFFu) | a << 24;
            ASSERT_EQ(pixel_blend(dst, src), blend_reference(dst, src)) << dst << " " << src;
        }
    // Rows of odd lengths with alphas 0, 255 and between, in runs and mixed, both channel orders;
    // opaque copies keep translucent pixels as they are.
    for (int w : {1, 3, 4, 5, 37}) {
        SCOPED_TRACE(w);
        SurfacePtr src = painted(w, 4, [&](int, int y) {
            return (random() & 0xFFFFFFu) | uint32_t(y == 0 ? 0 : y == 1 ? 255 : random() & 255) << 24;
        });
        SurfacePtr dst = painted(w, 4, [&](int, int) { return uint32_t(random()); });
        SurfacePtr plain = make(w, 4), swapped = make(w, 4), copied = make(w, 4);
        surface_copy(dst.get(), nullptr, plain.get(), nullptr);
        surface_copy(dst.get(), nullptr, swapped.get(), nullptr);
        surface_blit(src.get(), nullptr, plain.get(), nullptr, 0);
        surface_draw(src.get(), nullptr, swapped.get(), nullptr, DRAW_RGBA);
        surface_blit_rgba(src.get(), nullptr, copied.get(), nullptr, DRAW_OPAQUE);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < w; ++x) {
                uint32_t s = pixel(src.get(), x, y), d = pixel(dst.get(), x, y);
                uint32_t t = (s & 0xFF00FF00u) | ((s >> 16) & 255) | ((s & 255) << 16);
                ASSERT_EQ(pixel(plain.get(), x, y), blend_reference(d, s)) << x << "," << y;
                ASSERT_EQ(pixel(swapped.get(), x, y), blend_reference(d, t)) << x << "," << y;
                ASSERT_EQ(pixel(copied.get(), x, y), t) << x << "," << y;
            }
    }
}

TEST(blit, rectangles_clip_to_both_surfaces) {
    // The pixels drawn as (dest x, dest y, source x, source y); nothing else changes.
    struct Case { const char *name; int sw, sh, dw, dh; std::optional<Rect> from, to;
                  std::vector<std::array<int, 4>> drawn; } cases[] = {
        {"source rect left of the source shifts right", 3, 1, 10, 1, Rect{-2, 0, 4, 1},
         Rect{5, 0, 5, 1}, {{7, 0, 0, 0}, {8, 0, 1, 0}}},
        {"source rect above and past the source", 3, 3, 6, 6, Rect{1, -1, 5, 5}, Rect{0, 0, 6, 6},
         {{0, 1, 1, 0}, {1, 1, 2, 0}, {0, 2, 1, 1}, {1, 2, 2, 1}, {0, 3, 1, 2}, {1, 3, 2, 2}}},
        {"destination rect is a clip window", 4, 4, 8, 8, {}, Rect{2, 3, 2, 1},
         {{2, 3, 0, 0}, {3, 3, 1, 0}}},
        {"partly outside the destination", 4, 4, 4, 4, {}, Rect{-2, 3, 4, 4},
         {{0, 3, 2, 0}, {1, 3, 3, 0}}},
        {"source rect right of the source", 4, 4, 8, 8, Rect{4, 0, 2, 2}, {}, {}},
        {"zero height", 4, 4, 8, 8, {}, Rect{1, 1, 4, 0}, {}},
        {"negative width", 4, 4, 8, 8, {}, Rect{1, 1, -3, 4}, {}},
        {"right of the destination", 4, 4, 8, 8, {}, Rect{8, 0, 4, 4}, {}},
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
    surface_fill_rect(s.get(), paint, 4, 0, 9, 9); // entirely outside
    EXPECT_EQ(touched(s.get(), grey(255)), (std::vector<std::string>{"3,0", "1,1", "3,1"}));
}

TEST(line, rasterises_with_the_minor_accumulator) {
    const std::pair<std::array<int, 4>, std::vector<std::string>> cases[] = {
        {{0, 0, 3, 1}, {"0,0", "1,0", "2,1", "3,1"}},
        {{3, 1, 0, 0}, {"0,0", "1,0", "2,1", "3,1"}}, // walked from the smaller end
        {{0, 0, 1, 3}, {"0,0", "0,1", "1,2", "1,3"}},
        {{2, 0, 2, 3}, {"2,0", "2,1", "2,2", "2,3"}},
        {{0, 3, 3, 0}, {"3,0", "2,1", "1,2", "0,3"}}, // equal differences: x is major
        {{1, 1, 1, 1}, {}},                           // one point draws nothing
        {{-2, 0, 5, 0}, {"0,0", "1,0", "2,0", "3,0"}}, // off-surface pixels skipped
    };
    Paint paint;
    paint.color = rgba(255, 0, 0, 255);
    for (const auto &[p, pixels] : cases) {
        SCOPED_TRACE(testing::Message() << p[0] << "," << p[1] << " - " << p[2] << "," << p[3]);
        SurfacePtr s = make(4, 4);
        surface_draw_line(s.get(), paint, p[0], p[1], p[2], p[3]);
        EXPECT_EQ(touched(s.get(), 0), pixels);
    }
    // Lines blend their colour.
    paint.color = rgba(200, 0, 0, 128);
    SurfacePtr s = filled(3, 1, rgba(0, 0, 100, 255));
    surface_draw_line(s.get(), paint, 0, 0, 2, 0);
    EXPECT_EQ(pixel(s.get(), 1, 0), rgba(100, 0, 50, 255));
}

TEST(line, clipped_walks_match_the_whole_walk) {
    // A steep line hanging off the surface: the pixels of the whole line, shifted.
    Paint paint;
    paint.color = grey(255);
    SurfacePtr big = make(60, 60), small = make(10, 10);
    surface_draw_line(big.get(), paint, 3, 5, 50, 57);
    surface_draw_line(small.get(), paint, 3 - 25, 5 - 25, 50 - 25, 57 - 25);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x)
            EXPECT_EQ(pixel(small.get(), x, y), pixel(big.get(), x + 25, y + 25)) << x << "," << y;
    EXPECT_FALSE(touched(small.get(), 0).empty());
    // Lines of four billion pixels draw their visible part and finish.
    SurfacePtr line = make(8, 4);
    surface_draw_line(line.get(), paint, -2000000000, 1, 2000000000, 1);
    surface_draw_line(line.get(), paint, 3, -2000000000, 3, 2000000000);
    EXPECT_EQ(picture(line.get(), 0, 0, 8, 4),
              (std::vector<std::string>{"...#....", "########", "...#....", "...#...."}));
    // An outline converts points with the dpi; halves round away from zero.
    paint.dpi = 144;
    SurfacePtr outline = make(8, 8);
    surface_draw_rect_outline(outline.get(), paint, 0.5, 0.5, 2.5, 2); // pixels 1,1 .. 5,4
    EXPECT_EQ(touched(outline.get(), 0), rect_pixels(1, 1, 5, 4, true));
    EXPECT_EQ(std::tuple(points_to_pixels(10, 96), points_to_pixels(1.5, 72), points_to_pixels(-1.5, 72)),
              std::tuple(13, 2, -2));
}

TEST(scale, sizes_flat_colour_the_untouched_source_and_resampled_rects) {
    SurfacePtr src = pattern(5, 4);
    for (auto [w, h] : {std::pair{0, 0}, {1, 1}, {-3, 1}, {1, 0}}) {
        SurfacePtr out(surface_scale(src.get(), w, h)); // degenerate sizes give one pixel
        EXPECT_EQ(std::tuple(out->width, out->height, out->stride), std::tuple(1, 1, 4u));
    }
    SurfacePtr flat = filled(37, 23, rgba(10, 128, 250, 255));
    for (auto [w, h] : {std::pair{100, 60}, {5, 3}, {37, 90}, {200, 2}}) {
        SCOPED_TRACE(testing::Message() << w << "x" << h);
        SurfacePtr scaled(surface_scale(flat.get(), w, h));
        ASSERT_EQ(std::pair(scaled->width, scaled->height), std::pair(w, h));
        EXPECT_TRUE(touched(scaled.get(), rgba(10, 128, 250, 255)).empty());
    }
    EXPECT_TRUE(touched(flat.get(), rgba(10, 128, 250, 255)).empty());
    // Resampling scales the source rect into the destination rect; the white corner is outside.
    set_pixel(flat.get(), 0, 0, grey(255));
    Rect from{1, 1, 30, 20}, to{2, 2, 5, 4};
    SurfacePtr dst = make(8, 8);
    surface_draw(flat.get(), &from, dst.get(), &to, DRAW_RESAMPLE | DRAW_OPAQUE);
    EXPECT_EQ(touched(dst.get(), 0), rect_pixels(2, 2, 6, 5));
    EXPECT_EQ(pixel(dst.get(), 2, 2), rgba(10, 128, 250, 255));
}

TEST(surface, same_size_paths_reproduce_the_source) {
    // Scaling, bilinear drawing and a nine-patch at the source size copy it exactly.
    SurfacePtr src = pattern(7, 5);
    set_pixel(src.get(), 3, 2, rgba(1, 2, 3, 4));
    SurfacePtr scaled(surface_scale(src.get(), 7, 5));
    SurfacePtr bilinear = make(7, 5), nine = filled(7, 5, grey(3));
    surface_draw(src.get(), nullptr, bilinear.get(), nullptr, DRAW_BILINEAR | DRAW_OPAQUE);
    surface_draw_nine_patch(src.get(), Rect{2, 1, 3, 2}, nine.get(), nullptr,
                            DRAW_NEAREST | DRAW_OPAQUE);
    for (const Surface *out : {scaled.get(), bilinear.get(), nine.get()})
        EXPECT_EQ(std::memcmp(out->pixels, src->pixels, 7 * 4 * 5), 0);
}

TEST(nearest, samples_the_centre_of_each_step_also_off_screen) {
    SurfacePtr src = pattern(4, 2), dst = make(2, 4);
    surface_draw(src.get(), nullptr, dst.get(), nullptr, DRAW_NEAREST | DRAW_OPAQUE);
    // Columns: step 2.0 samples source columns 1 and 3; rows: step 0.5 samples 0, 0, 1, 1.
    for (auto [x, y, sx, sy] : {std::array{0, 0, 1, 0}, {1, 1, 3, 0}, {0, 2, 1, 1}, {1, 3, 3, 1}})
        EXPECT_EQ(pixel(dst.get(), x, y), pixel(src.get(), sx, sy));
}

TEST(bilinear, interpolates_inside_clamps_edges_and_blends_into_a_rect) {
    SurfacePtr src = painted(2, 2, [](int x, int y) { return grey(y ? (x ? 40 : 200) : (x ? 100 : 0)); });
    SurfacePtr dst = make(4, 4);
    surface_draw(src.get(), nullptr, dst.get(), nullptr, DRAW_BILINEAR | DRAW_OPAQUE);
    // Output positions -0.25, 0.25, 0.75, 1.25 on both axes: the outer ones take the edge alone.
    const uint32_t expected[4][4] = {
        {0, 25, 75, 100}, {50, 59, 76, 85}, {150, 126, 79, 55}, {200, 160, 80, 40}};
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(pixel(dst.get(), x, y), grey(expected[y][x])) << x << "," << y;
    SurfacePtr onto = filled(6, 6, rgba(0, 0, 100, 255));
    Rect to{1, 2, 4, 3};
    surface_draw(filled(3, 3, rgba(200, 0, 0, 128)).get(), nullptr, onto.get(), &to, DRAW_BILINEAR);
    EXPECT_EQ(touched(onto.get(), rgba(0, 0, 100, 255)), rect_pixels(1, 2, 4, 4));
    EXPECT_EQ(pixel(onto.get(), 2, 3), rgba(100, 0, 50, 255));
}

TEST(tile, full_tiles_then_strips_then_corner) {
    // 25 x 15: full tiles, strips below and right, a corner; other remainders; off the surface.
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
                uint32_t want = inside ? pixel(src.get(), 1 + (x - to.x) % 10, 1 + (y - to.y) % 10) : 0;
                ASSERT_EQ(pixel(dst.get(), x, y), want) << x << "," << y;
            }
    }
}

TEST(nine_patch, stretches_edges_and_keeps_corners) {
    // 5 x 5 source, centre 1 pixel at (2, 2): borders of 2 on every side.
    SurfacePtr src = pattern(5, 5), dst = make(12, 10);
    Rect to{1, 1, 9, 8};
    surface_draw_nine_patch(src.get(), Rect{2, 2, 1, 1}, dst.get(), &to, DRAW_NEAREST | DRAW_NO_CENTER);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 12; ++x) {
            int lx = x - 1, ly = y - 1;
            int sx = lx < 2 ? lx : lx >= 7 ? lx - 4 : 2, sy = ly < 2 ? ly : ly >= 6 ? ly - 3 : 2;
            bool drawn = lx >= 0 && ly >= 0 && lx < 9 && ly < 8 && !(sx == 2 && sy == 2);
            ASSERT_EQ(pixel(dst.get(), x, y), drawn ? pixel(src.get(), sx, sy) : 0) << x << "," << y;
        }
}

TEST(surface_malformed, missing_huge_and_inverted_rectangles_stay_inside_and_finish) {
    // Tiling and resampling need both rectangles; a zero size draws nothing in any mode.
    const Rect r{0, 0, 8, 8}, zero_w{0, 0, 0, 5}, zero_src{1, 1, 0, 2};
    const std::tuple<uint32_t, const Rect *, const Rect *> nothing[] = {
        {DRAW_NEAREST, nullptr, &zero_w}, {DRAW_NEAREST, &zero_src, nullptr},
        {DRAW_TILE, nullptr, &r},         {DRAW_TILE, &r, nullptr},
        {DRAW_TILE, &zero_src, &r},       {DRAW_RESAMPLE, &r, nullptr}};
    SurfacePtr src = pattern(4, 4);
    for (auto [flags, from, to] : nothing) {
        SurfacePtr dst = make(8, 8);
        surface_draw(src.get(), from, dst.get(), to, flags);
        EXPECT_TRUE(touched(dst.get(), 0).empty()) << flags;
    }
    SurfacePtr dst = make(16, 12);
    Rect one{0, 0, 1, 1}, huge{-2000000000, -2000000000, 2147483647, 2147483647};
    surface_draw(src.get(), &one, dst.get(), &huge, DRAW_TILE);
    EXPECT_TRUE(touched(dst.get(), pixel(src.get(), 0, 0)).empty());
    // Odd centres in every mode write nothing outside the surfaces (the sanitizers check).
    for (const Rect &centre : {Rect{-3, -3, 10, 10}, Rect{2, 2, -5, 3}, Rect{3, 1, 0, 0}, Rect{9, 9, 2, 2}})
        for (uint32_t flags : {0u, 8u, 9u, 65u, 136u, 16u, 4u}) {
            SurfacePtr out = make(16, 12);
            Rect to{-5, 3, 30, 30};
            surface_draw_nine_patch(src.get(), centre, out.get(), &to, flags);
            surface_draw(src.get(), &centre, out.get(), &to, flags);
        }
}
