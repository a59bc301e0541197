// Themes: the colour-array parsing rules, the built-in themes, premultiplication, the custom
// theme file, and where each record lands in every kind of widget.
#include "toolkit_support.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

uint32_t rgba(uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
    return r | g << 8 | b << 16 | a << 24;
}

ThemeRecords load(const char *json) {
    ThemeRecords r;
    theme_load(json, r);
    return r;
}

} // namespace

TEST(theme, numbers_are_read_with_base_detection_and_low_bytes) {
    ThemeRecords r = load("{\"base\": [010, 255, 256, -1, 1, 2, 3, 4]}");
    EXPECT_EQ(r[THEME_BASE].color, rgba(8, 255, 0, 255));
    EXPECT_EQ(r[THEME_BASE].fill_color, rgba(1, 2, 3, 4));
    EXPECT_EQ(r[THEME_BASE].dpi, 72);
    // A custom theme file may start with whitespace; elements may be spread over lines.
    r = load(" \n\t{\"text_hover\": [\r\n 1 ,\n 2 ]}");
    EXPECT_EQ(r[THEME_TEXT_HOVER].color, rgba(1, 2, 0, 255));
}

TEST(theme, hexadecimal_stores_its_value_and_ends_the_array) {
    ThemeRecords defaults = theme_defaults();
    ThemeRecords r = load("{\"elem_hover\": [0x10, 20, 30, 40, 50, 60, 70, 80]}");
    EXPECT_EQ(r[THEME_ELEM_HOVER].color & 0xFF, 0x10u);
    EXPECT_EQ(r[THEME_ELEM_HOVER].color & ~0xFFu, defaults[THEME_ELEM_HOVER].color & ~0xFFu);
    EXPECT_EQ(r[THEME_ELEM_HOVER].fill_color, defaults[THEME_ELEM_HOVER].fill_color);
}

TEST(theme, short_arrays_and_missing_keys_keep_the_defaults) {
    ThemeRecords defaults = theme_defaults();
    ThemeRecords r = load("{\"text_normal\": [1, 2, 3], \"scrollbar_hover\": []}");
    EXPECT_EQ(r[THEME_TEXT_NORMAL].color, rgba(1, 2, 3, 255));
    EXPECT_EQ(r[THEME_TEXT_NORMAL].fill_color, defaults[THEME_TEXT_NORMAL].fill_color);
    EXPECT_EQ(r[THEME_SCROLLBAR_HOVER].color, defaults[THEME_SCROLLBAR_HOVER].color);
    for (int i = 0; i < THEME_RECORD_COUNT; ++i) {
        if (i == THEME_TEXT_NORMAL) continue;
        SCOPED_TRACE(THEME_KEYS[i]);
        EXPECT_EQ(r[size_t(i)].color, defaults[size_t(i)].color);
        EXPECT_EQ(r[size_t(i)].fill_color, defaults[size_t(i)].fill_color);
    }
}

TEST(theme, strings_arrays_objects_and_literals_store_zero) {
    ThemeRecords r = load("{\"base\": [ \"9\" ,\n[9], {\"a\": 9},\ttrue, null, 6, 7, 8]}");
    EXPECT_EQ(r[THEME_BASE].color, rgba(0, 0, 0, 0));
    EXPECT_EQ(r[THEME_BASE].fill_color, rgba(0, 6, 7, 8));
}

TEST(theme_malformed, bad_values_leave_the_defaults) {
    ThemeRecords defaults = theme_defaults();
    struct Case {
        const char *json;
        uint32_t base_line;
    } cases[] = {
        {"{\"base\": \"red\"}", defaults[THEME_BASE].color},
        {"{\"base\": 5}", defaults[THEME_BASE].color},
        {"{\"base\": [1 2 3]}", rgba(1, 156, 136, 255)}, // a missing comma ends the array
        {"{\"base\": [1, +2, 3]}", rgba(1, 156, 136, 255)},
        {"{\"base\": [1, \"unterminated", rgba(1, 156, 136, 255)},
        {"{\"base\": [7,", rgba(7, 156, 136, 255)},
        {"[1, 2]", defaults[THEME_BASE].color},
        {"", defaults[THEME_BASE].color},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(load(c.json)[THEME_BASE].color, c.base_line);
    }
    ThemeRecords r;
    theme_load(nullptr, r);
    EXPECT_EQ(r[THEME_BASE].color, defaults[THEME_BASE].color);
}

TEST(theme, premultiplies_fills_of_the_first_fourteen_records) {
    ThemeRecords r = load("{\"base\": [1, 2, 3, 4, 200, 100, 50, 128], "
                          "\"elem_normal\": [9, 9, 9, 9, 255, 255, 255, 0], "
                          "\"scrollbar_selected\": [0, 0, 0, 0, 200, 100, 50, 128]}");
    theme_premultiply(r);
    EXPECT_EQ(r[THEME_BASE].fill_color, rgba(100, 50, 25, 128));
    EXPECT_EQ(r[THEME_BASE].color, rgba(1, 2, 3, 4)); // lines are not premultiplied
    EXPECT_EQ(r[THEME_ELEM_NORMAL].fill_color, rgba(0, 0, 0, 0));
    EXPECT_EQ(r[THEME_SCROLLBAR_SELECTED].fill_color, rgba(200, 100, 50, 128));
}

TEST(theme, builtin_mirra_light_and_dark) {
    tk::reset();
    ThemeRecords current = theme_defaults();
    ASSERT_TRUE(set_theme(current, nullptr, "mirra"));
    EXPECT_EQ(current[THEME_BASE].fill_color, rgba(111, 123, 107, 175));
    EXPECT_EQ(current[THEME_BASE].color, rgba(142, 156, 136, 255));
    EXPECT_EQ(current[THEME_TEXT_SELECTED].fill_color, rgba(121, 148, 111, 255));

    ASSERT_TRUE(set_theme(current, nullptr, "light"));
    EXPECT_EQ(current[THEME_TEXT_SELECTED].fill_color, rgba(0, 120, 215, 255));
    EXPECT_EQ(current[THEME_BASE].fill_color, rgba(164, 164, 164, 175)); // 240 * 175 / 255
    ThemeRecords defaults = theme_defaults();
    EXPECT_EQ(current[THEME_ELEM_DISABLED].color, defaults[THEME_ELEM_DISABLED].color);
    EXPECT_EQ(current[THEME_TEXT_DISABLED].fill_color, defaults[THEME_TEXT_DISABLED].fill_color);

    ASSERT_TRUE(set_theme(current, nullptr, "dark"));
    EXPECT_EQ(current[THEME_TEXT_NORMAL].color, rgba(255, 255, 255, 255));
    EXPECT_EQ(current[THEME_SCROLLBAR_HOVER].fill_color, rgba(105, 107, 118, 255));

    ThemeRecords before = current;
    EXPECT_FALSE(set_theme(current, nullptr, "sepia"));
    EXPECT_EQ(current[THEME_BASE].fill_color, before[THEME_BASE].fill_color);
}

TEST(theme, apply_reaches_every_kind) {
    tk::reset();
    WidgetPtr root = tk::build(
        "{'type': 'box', 'children': [{'type': 'label', 'name': 'label'}, {'type': 'button', "
        "'name': 'button'}, {'type': 'input', 'name': 'input'}, {'type': 'table', 'name': "
        "'table'}, {'type': 'check', 'name': 'check'}, {'type': 'progress', 'name': 'progress'}, "
        "{'type': 'scroll', 'name': 'scroll'}, {'type': 'page', 'children': [{'type': 'canvas', "
        "'name': 'canvas'}]}]}",
        100, 100);
    ThemeRecords dark = theme_defaults();
    ASSERT_TRUE(set_theme(dark, root.get(), "dark"));
    // Every widget, including those of a page that shows nothing, takes the base pair.
    for (const char *name : {"label", "button", "input", "table", "check", "progress", "scroll",
                             "canvas"}) {
        SCOPED_TRACE(name);
        Widget *w = widget_find(root.get(), name);
        EXPECT_EQ(w->base_paint.fill_color, dark[THEME_BASE].fill_color);
        TextElement *e = widget_text_element(w);
        if (!e) continue;
        EXPECT_EQ(e->paints[PAINT_TEXT_NORMAL].color, dark[THEME_TEXT_NORMAL].color);
        EXPECT_EQ(e->paints[PAINT_TEXT_SELECTED].fill_color, dark[THEME_TEXT_SELECTED].fill_color);
        EXPECT_EQ(e->paints[PAINT_ELEM_DISABLED].fill_color, dark[THEME_ELEM_DISABLED].fill_color);
        ThemeKey normal = THEME_ELEM_NORMAL, hover = THEME_ELEM_HOVER,
                 selected = THEME_ELEM_SELECTED;
        if (std::string(name) == "label" || std::string(name) == "check") normal = THEME_BASE;
        if (std::string(name) == "scroll") {
            normal = THEME_SCROLLBAR_NORMAL;
            hover = THEME_SCROLLBAR_HOVER;
            selected = THEME_SCROLLBAR_SELECTED;
        }
        EXPECT_EQ(e->paints[PAINT_ELEM_NORMAL].fill_color, dark[normal].fill_color);
        EXPECT_EQ(e->paints[PAINT_ELEM_HOVER].fill_color, dark[hover].fill_color);
        EXPECT_EQ(e->paints[PAINT_ELEM_SELECTED].fill_color, dark[selected].fill_color);
    }
    // The dark base reaches the screen when the root is refreshed.
    widget_refresh(root.get());
    EXPECT_EQ(tk::root_pixel(99, 99), tk::on_screen(dark[THEME_BASE].fill_color));
}

TEST(theme, custom_file_is_premultiplied_without_forcing_alpha) {
    tk::reset();

    std::string dir = std::string(SOLVANE_BINARY_DIR) + "/toolkit_theme_test";
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/custom.json") << "{\"base\": [1, 2, 3, 4, 100, 100, 100, 51]}";
    WidgetPtr label = tk::build("{'type': 'label'}", 10, 10);
    ThemeRecords custom = theme_defaults(), current = theme_defaults();
    theme_load_custom(path_resolve("custom.json", dir), custom, current, label.get());
    EXPECT_EQ(custom[THEME_BASE].fill_color, rgba(20, 20, 20, 51));
    EXPECT_EQ(current[THEME_BASE].fill_color, custom[THEME_BASE].fill_color);
    EXPECT_EQ(label->base_paint.fill_color, custom[THEME_BASE].fill_color);
}

TEST(theme_malformed, unreadable_custom_file_is_fatal) {
    ThemeRecords custom, current;
    EXPECT_EXIT(theme_load_custom("/nonexistent/solvane/theme.json", custom, current, nullptr),
                ::testing::ExitedWithCode(1), "error opening file");
}
