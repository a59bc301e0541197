// Text layout and drawing with the built-in pixel font, UTF-8 decoding, font loading, fallback
// fonts from the installed fonts (fonts-dejavu-core, fonts-noto-cjk, fonts-symbola) and ellipsis cuts.
#include "gfx/text.h"
#include "gfx/utf8.h"
#include "gfx_test.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

namespace {

Font *builtin() {
    static std::unique_ptr<Font> font = font_load_builtin();
    return font.get();
}
// The built-in font with fallback fonts from fontconfig.
Font *with_fallback() {
    static std::unique_ptr<Font> font = font_load_builtin();
    [[maybe_unused]] static bool enabled = (font_fallback_enable(font.get(), {}, "."), true);
    return font.get();
}

Paint paint_at(double x, double y, uint32_t color = 0xFFFFFFFFu) {
    Paint p;
    p.color = color, p.x = x, p.y = y;
    return p;
}

int32_t draw(Surface *s, const char *text, uint32_t flags, double width = 1000, double x = 0,
             double y = 0) {
    Paint p = paint_at(x, y);
    return text_draw(s, &p, builtin(), text, flags, 12, width);
}

// The surface in 6 x 12 cells: '.' blank, 'A' an "A" as drawn alone, '?' other.
std::vector<std::string> cells(const Surface *s) {
    static SurfacePtr a = make(6, 12);
    static const auto glyph = (draw(a.get(), "A", 0), picture(a.get(), 0, 0, 6, 12));
    const std::vector<std::string> blank(12, "......");
    std::vector<std::string> rows;
    for (int y = 0; y + 12 <= s->height; y += 12) {
        rows.emplace_back();
        for (int x = 0; x + 6 <= s->width; x += 6) {
            auto cell = picture(s, x, y, 6, 12);
            rows.back() += cell == blank ? '.' : cell == glyph ? 'A' : '?';
        }
    }
    return rows;
}

} // namespace

TEST(text, measure_advances_six_pixels_at_twelve) {
    const int32_t WORD = TEXT_MEASURE_ASCII_WORD;
    const std::tuple<const char *, int32_t, int32_t> cases[] = { // text, limit, width
        {"ab", 1000, 12}, {"", 1000, 0}, {"abcd", 0, 0}, {"ab\ncd", 1000, 12},
        {"a\xE2\x82\xAC" "b", 1000, 18}, // a code point the font lacks still advances one cell
        {"abcd", 2, 12},                 // the limit is a byte index: later code points do not count
        {"\xC3\xA9" "b", 1, 6},
        // One word: stops at the next word, a newline or around an ideograph (a word alone).
        {"cd  xy", WORD, 24}, {"c\xC3\xA9x", WORD, 18}, {"\xE6\x97\xA5\xE6\x9C\xAC", WORD, 6},
        {"ab\xE6\x97\xA5", WORD, 12}, {"cd\nxy", WORD, 12},
    };
    Paint p = paint_at(0, 0);
    for (auto [text, limit, expected] : cases)
        EXPECT_EQ(text_measure(p, builtin(), text, limit, 12), expected) << text;
    p.dpi = 144; // twice the dpi doubles the advances; the stored pen stays in points
    EXPECT_EQ(text_measure(p, builtin(), "ab", 1000, 12), 24);
    text_draw(nullptr, &p, builtin(), "abc", TEXT_NO_DRAW | TEXT_STORE_PEN, 12, 100);
    EXPECT_EQ(p.x, 18);
    EXPECT_EQ(text_measure(p, builtin(), nullptr, 10, 12), -1);
    EXPECT_EQ(text_measure(p, nullptr, "ab", 10, 12), -1);
    EXPECT_EQ(text_draw(nullptr, &p, builtin(), nullptr, TEXT_NO_DRAW, 12, 100), -1);
    EXPECT_EQ(text_draw(nullptr, &p, nullptr, "ab", TEXT_NO_DRAW, 12, 100), -1);
}

// What text_draw returns for each flag combination, and where it leaves a stored pen.
TEST(text, results_and_pen_of_each_flag_combination) {
    const uint32_t NO = TEXT_NO_DRAW, W = TEXT_RETURN_WIDTH, I = TEXT_RETURN_INDEX,
                   WRAP = TEXT_WRAP, WORDS = TEXT_WRAP | TEXT_WRAP_WORDS, ONE = TEXT_ONE_CHAR,
                   PEN = TEXT_NO_DRAW | TEXT_STORE_PEN;
    // The pen (pen_x, pen_y) is checked with TEXT_STORE_PEN; x0 is where it starts.
    struct Case { const char *why, *text; uint32_t flags; double width; int32_t expected;
                  double pen_x = 0, pen_y = 0, x0 = 0; } cases[] = {
        {"index before the glyph past the width", "ab", NO | I, 11, 1}, {"exact fit", "ab", NO | W, 12, 12},
        {"toolkit's line width (5)", "hello world", 5, 40, 36},
        {"toolkit's line length (9) in bytes", "h\xC3\xA9llo", 9, 20, 4},
        {"one clipped line stops at a newline", "ab\ncd", NO | I, 1000, 2},
        {"empty lines count", "\n\n", NO | WRAP, 24, 3}, {"zero width is one line", "abc", NO | WRAP, 0, 1},
        {"glyph wider than the width", "abc", NO | WRAP | I, 5, 0},
        {"a word that fits stays", "ab cd", NO | WORDS, 30, 1},
        {"a word's trailing space counts toward it", "a b c d", NO | WORDS, 24, 2},
        {"a word longer than a line breaks by characters", "a abcdefgh", NO | WORDS, 24, 3},
        {"first character's width", "abc", ONE | W | NO, 1000, 6},
        {"first character's bytes", "\xC3\xA9x", ONE | I | NO, 1000, 2},
        {"a newline is the one character when wrapping", "\nx", ONE | NO | WRAP, 1000, 2},
        {"a returning mode stops at it", "\nx", ONE | I | NO | WRAP, 1000, 0},
        {"absent destination measures only", "abc", W, 1000, 18},
        {"pen: breaks at the width", "abcdefg", PEN | WRAP, 12, 4, 6, 36},
        {"pen: glyph wider than the width stops the run", "abc", PEN | WRAP, 5, 1, 3, 0, 3},
        {"pen: words move whole", "ab cd", PEN | WORDS, 24, 2, 12, 12},
        {"pen: characters do not", "ab cd", PEN | WRAP, 24, 2, 6, 12},
        {"pen: a non-ASCII word moves whole too", "ab c\xC3\xA9", PEN | WORDS, 24, 2, 12, 12},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        Paint p = paint_at(c.x0, 0);
        EXPECT_EQ(text_draw(nullptr, &p, builtin(), c.text, c.flags, 12, c.width), c.expected);
        bool stored = c.flags & TEXT_STORE_PEN; // else the pen stays
        EXPECT_EQ(std::pair(p.x, p.y), stored ? std::pair(c.pen_x, c.pen_y) : std::pair(c.x0, 0.0));
    }
}

// Where drawn glyphs land: each cell of the result is blank or holds an "A" exactly as drawn alone.
TEST(text, drawn_lines_follow_the_flags) {
    const uint32_t WRAP = TEXT_WRAP, WORDS = TEXT_WRAP | TEXT_WRAP_WORDS;
    struct Case { const char *why, *text; uint32_t flags; double width; int32_t result;
                  std::vector<std::string> cells; } cases[] = {
        {"wrapped: a newline starts a line and is not drawn", "A\nA", WRAP, 24, 2,
         {"A...", "A..."}},
        {"flags 0: the newline is skipped", "A\nA", 0, 24, 1, {"AA..", "...."}},
        {"without wrap flags glyphs run past the width", "AAAA", 0, 6, 1, {"AAAA.", "....."}},
        {"wrapped by characters", "AAA", WRAP, 12, 2, {"AA", "A."}},
        {"wrapped by words: the second starts at x 0", "AA AA", WORDS, 24, 2, {"AA..", "AA.."}},
        {"an invalid byte ends the text", "AA\xFF" "AA", 0, 1000, 1, {"AA...", "....."}},
        {"spaces draw nothing: space, U+00A0, U+2000, U+2005, U+200A",
         " \xC2\xA0\xE2\x80\x80\xE2\x80\x85\xE2\x80\x8A", TEXT_RETURN_WIDTH, 1000, 30,
         {".....", "....."}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        SurfacePtr s = make(int(c.cells[0].size()) * 6, int(c.cells.size()) * 12);
        EXPECT_EQ(draw(s.get(), c.text, c.flags, c.width), c.result);
        EXPECT_EQ(cells(s.get()), c.cells);
    }
    // One character at a time, continuing from the stored pen (the toolkit's flags 48 and 52).
    SurfacePtr s = make(18, 12);
    Paint p = paint_at(0, 0);
    const char *text = "AAA";
    for (int i = 0; i < 3; ++i) {
        uint32_t flags = TEXT_ONE_CHAR | TEXT_STORE_PEN | (i == 1 ? 0u : uint32_t(TEXT_RETURN_WIDTH));
        EXPECT_EQ(text_draw(s.get(), &p, builtin(), text + i, flags, 12, 100), i == 1 ? 1 : 6);
    }
    EXPECT_EQ(p.x, 18);
    EXPECT_EQ(cells(s.get()), std::vector<std::string>{"AAA"});
}

TEST(text, crisp_and_clipped_at_every_surface_edge) {
    // Drawn on a small surface: the pixels of "AgW" drawn whole on a large one, shifted.
    SurfacePtr whole = make(40, 30);
    draw(whole.get(), "AgW", 0, 1000, 10, 9);
    // "Ag" is crisp: lit pixels fully covered, a neighbour catching at most a sliver of rounding.
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 10 + 12; ++x) {
            uint32_t a = pixel(whole.get(), x, y) >> 24;
            EXPECT_TRUE(a <= 4 || a == 255) << x << "," << y << " alpha " << a;
        }
    for (auto [px, py] : {std::pair{-4, 0}, {0, -7}, {5, 3}, {-10, -10}, {-17, 1}, {8, -11}, {100, 100}}) {
        SCOPED_TRACE(testing::Message() << "pen " << px << "," << py);
        SurfacePtr small = make(9, 8);
        draw(small.get(), "AgW", 0, 1000, px, py);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 9; ++x) {
                int wx = x - px + 10, wy = y - py + 9;
                uint32_t want = wx >= 0 && wy >= 0 && wx < 40 && wy < 30 ? pixel(whole.get(), wx, wy) : 0;
                ASSERT_EQ(pixel(small.get(), x, y), want) << x << "," << y;
            }
    }
    EXPECT_EQ(draw(make(0, 0).get(), "AgW", TEXT_RETURN_WIDTH), 18);
    // Degenerate sizes lay out at least a line and draw nothing.
    SurfacePtr s = make(16, 16);
    for (double size : {0.0, -12.0, 1e-9, std::nan("")}) {
        SCOPED_TRACE(size);
        Paint p = paint_at(4, 4);
        EXPECT_GE(text_draw(s.get(), &p, builtin(), "Ag W", TEXT_WRAP | TEXT_WRAP_WORDS, size, 8), 1);
        EXPECT_LE(text_measure(p, builtin(), "Ag W", 100, size), 0);
    }
    EXPECT_TRUE(touched(s.get(), 0).empty());
}

// Cached glyphs are drawn in each paint's colour, unscaled, its alpha straight.
TEST(text, glyph_cache_keeps_colours_apart) {
    SurfacePtr s = make(18, 12);
    Paint paints[] = {paint_at(0, 0, rgba(255, 0, 0, 255)), paint_at(6, 0, rgba(0, 0, 255, 255)),
                      paint_at(12, 0, 0x80336699u)};
    for (Paint &p : paints) text_draw(s.get(), &p, builtin(), "I", 0, 12, 100);
    int lit = 0;
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 6; ++x) {
            if (pixel(s.get(), x, y) >> 24 != 255) continue; // blank, or a sliver beside the glyph
            ++lit;
            EXPECT_EQ(pixel(s.get(), x, y), paints[0].color);
            EXPECT_EQ(pixel(s.get(), x + 6, y), paints[1].color);
            EXPECT_EQ(pixel(s.get(), x + 12, y), pixel_blend(0, paints[2].color));
        }
    EXPECT_GT(lit, 0);
}

// An invalid sequence ends the text at its start; utf8_decode gives length and code point.
TEST(text_malformed, utf8_decoding_and_invalid_sequences) {
    const std::pair<const char *, int32_t> cases[] = { // text, index reached
        {"ab\x80" "cd", 2}, {"ab\xC3", 2}, {"ab\xE2\x82", 2}, {"ab\xF0\x9F\x98", 2}, // lead, cuts
        {"ab\xC3" "A", 2}, {"ab\xF4\x90\x80\x80", 2}, {"\x80", 0}, // no continuation; above U+10FFFF
        // Overlong forms and surrogates are accepted, and U+10FFFF itself.
        {"a\xC0\xAF" "b", 4}, {"a\xED\xA0\x80" "b", 5}, {"a\xF4\x8F\xBF\xBF" "b", 6},
    };
    for (auto [text, index] : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(text)));
        EXPECT_EQ(draw(nullptr, text, TEXT_NO_DRAW | TEXT_RETURN_INDEX), index);
        EXPECT_EQ(text_measure(paint_at(0, 0), builtin(), text, 1000, 12),
                  draw(nullptr, text, TEXT_NO_DRAW | TEXT_RETURN_WIDTH));
    }
    const std::tuple<const char *, int32_t, uint32_t> decoded[] = { // text, length, code point
        {"\x7F", 1, 0x7F}, {"\xC3\xA9", 2, 0xE9}, {"\xE2\x82\xAC", 3, 0x20AC},
        {"\xF0\x9F\x98\x80", 4, 0x1F600}, {"", 0, 7}, {"\xE2\x28\xA1", 0, 7},
        {"\xFC\x80\x80\x80\x80\x80", 0, 7},
    };
    for (auto [text, length, code_point] : decoded) {
        uint32_t cp = 7;
        EXPECT_EQ(utf8_decode(text, &cp), length) << text;
        EXPECT_EQ(cp, code_point) << text;
    }
}

TEST(font, loading_from_files_and_bytes) {
    std::unique_ptr<Font> font = font_load_file(SOLVANE_SOURCE_DIR "/assets/sol6x12.ttf");
    ASSERT_NE(font, nullptr);
    EXPECT_EQ(text_measure(paint_at(0, 0), font.get(), "abc", 100, 12), 18);
    EXPECT_EQ(font->scale, 1.0f); // restored after measuring
    for (auto [setting, path] : {std::pair{"/usr/f.ttf", "/usr/f.ttf"}, {"C:\\f.ttf", "C:\\f.ttf"},
                                 {"fonts/f.ttf", "/cfg/fonts/f.ttf"}})
        EXPECT_EQ(font_path(setting, "/cfg"), path);
    std::ifstream in(SOLVANE_SOURCE_DIR "/assets/sol6x12.ttf", std::ios::binary);
    std::string ttf((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto parse = [](const std::string &bytes) {
        return font_parse(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    };
    EXPECT_NE(parse(ttf), nullptr);
    std::string many = ttf; // a table directory claiming more tables than the file holds
    many[4] = '\x7F';
    // Not a font, or cut inside the table directory or the tables it lists.
    for (std::string bad : {std::string(), std::string(64, '\0'), many, ttf.substr(0, 12),
                            ttf.substr(0, 200), ttf.substr(0, ttf.size() / 2)}) {
        SCOPED_TRACE(bad.size());
        EXPECT_EQ(parse(bad), nullptr);
    }
    for (auto [path, record] : {std::pair{"/nonexistent/font.ttf", "error opening font: file does not exist"},
                                {SOLVANE_SOURCE_DIR "/assets/layout.json", "error opening font: loading font failed"}})
        EXPECT_EXIT(font_load_file(path), testing::ExitedWithCode(1), std::string("FATAL ERROR: ") + record);
}

// Fallback fonts draw every script without boxes; measuring and character stepping agree.
TEST(text_fallback, scripts_draw_without_boxes_and_measure_what_they_draw) {
    const std::pair<const char *, int64_t> cases[] = { // text, boxes
        {"Día ¿qué? Größe Ελληνικά Когда うみねこ 한국어 中文， O’Brien “q” — … 😀 ★ ❤️ cafe\u0301", 0},
        // An unassigned code point, and an emoji only a colour-image font has.
        {"a\xCD\xB8 a🦜", 2},
    };
    Font *font = with_fallback();
    SurfacePtr s = make(600, 16);
    for (auto [text, boxes] : cases) {
        SCOPED_TRACE(text);
        Paint p = paint_at(0, 0);
        int64_t before = font->boxes_drawn;
        int32_t drawn = text_draw(s.get(), &p, font, text, TEXT_RETURN_WIDTH, 12, 10000);
        EXPECT_EQ(font->boxes_drawn - before, boxes);
        EXPECT_EQ(text_measure(p, font, text, 1 << 20, 12), drawn);
        int32_t stepped = 0;
        uint32_t code_point;
        for (size_t at = 0, n; (n = size_t(utf8_decode(text + at, &code_point))); at += n)
            stepped += text_draw(nullptr, &p, font, text + at,
                                 TEXT_ONE_CHAR | TEXT_RETURN_WIDTH | TEXT_NO_DRAW, 12, 10000);
        EXPECT_EQ(stepped, drawn);
    }
    // "H" from the pixel font and the Cyrillic capital En from a fallback share the baseline and
    // the capital height.
    SurfacePtr h = make(24, 16);
    Paint p = paint_at(0, 0);
    text_draw(h.get(), &p, font, "HН", 0, 12, 100);
    auto rows = [&](int x0, int x1) {
        int top = -1, bottom = -1;
        for (int y = 0; y < 16; ++y)
            for (int x = x0; x < x1; ++x)
                if (pixel(h.get(), x, y) >> 24 > 127) bottom = y, top = top < 0 ? y : top;
        return std::pair(top, bottom);
    };
    auto [h_top, h_bottom] = rows(0, 6);
    auto [en_top, en_bottom] = rows(6, 24);
    ASSERT_GE(h_top, 0);
    EXPECT_EQ(en_bottom, h_bottom);
    EXPECT_LE(std::abs(en_top - h_top), 1);
}

TEST(text, fit_cuts_lines_with_an_ellipsis) {
    const std::tuple<const char *, double, int32_t, const char *> cases[] = { // text, width, lines
        {"ab cd", 60, 3, "ab cd"},
        {"aaaa bbbb cccc dddd eeee ffff gggg", 60, 3, "aaaa bbbb\ncccc dddd\neeee..."}, // whole words
        {"aaaa   bbbb", 30, 2, "aaaa\nbbbb"}, // the breaks drop their spaces
        {"abcdefghijkl", 30, 1, "ab..."},
        {"abcdefghijkl mn", 30, 2, "abcde\nfg..."}, // a too-wide first word breaks by characters
        {"ab\ncd", 60, 1, "ab..."}, {"ab\ncd", 60, 2, "ab\ncd"},
        {"ab\n \n", 60, 1, "ab"},  // trailing blank lines need no ellipsis
        {"日本語日本", 24, 1, "日..."}, // ideographs break between themselves
        {"abcdef", 12, 1, ""}, {"abc", 60, 0, ""}, // no room for the ellipsis; no lines
    };
    Paint p = paint_at(0, 0);
    for (auto [text, width, lines, expected] : cases) {
        SCOPED_TRACE(text);
        std::string fitted = text_fit(p, builtin(), text, 12, width, lines);
        EXPECT_EQ(fitted, expected);
        // Drawn wrapped it takes no more lines than allowed, none wider than the width.
        EXPECT_LE(fitted.empty() ? 0 : text_draw(nullptr, &p, builtin(), fitted.c_str(),
                                                 TEXT_NO_DRAW | TEXT_WRAP, 12, width), lines);
    }
    // With fallback fonts the ellipsis is the one character.
    std::string fitted = text_fit(p, with_fallback(), "abcdefghijkl", 12, 30, 1);
    EXPECT_TRUE(fitted.starts_with("ab") && fitted.ends_with("…")) << fitted;
    EXPECT_LE(text_measure(p, with_fallback(), fitted.c_str(), 1 << 20, 12), 30);
}
