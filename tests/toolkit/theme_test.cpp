// Themes: the colour-array parsing rules, the built-in themes, premultiplication, the custom
// theme file, and where each record lands in every kind of widget.
#include "toolkit_support.h"

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

const ThemeRecords DEFAULTS = theme_defaults();

} // namespace

TEST(theme, array_parsing_rules) {
    const uint32_t kept = 0xDEFAu; // marks "the default stays"
    struct Case {
        const char *json;
        ThemeKey key;
        uint32_t line, fill;
    } cases[] = {
        // Base detection (010 is octal) and the low byte of every number.
        {"{\"base\": [010, 255, 256, -1, 1, 2, 3, 4]}", THEME_BASE, rgba(8, 255, 0, 255),
         rgba(1, 2, 3, 4)},
        // Leading whitespace and elements spread over lines.
        {" \n\t{\"text_hover\": [\r\n 1 ,\n 2 ]}", THEME_TEXT_HOVER, rgba(1, 2, 0, 255), kept},
        // Strings, arrays, objects and literals store zero.
        {"{\"base\": [ \"9\" ,\n[9], {\"a\": 9},\ttrue, null, 6, 7, 8]}", THEME_BASE, 0,
         rgba(0, 6, 7, 8)},
        {"{\"text_normal\": [1, 2, 3], \"scrollbar_hover\": []}", THEME_TEXT_NORMAL,
         rgba(1, 2, 3, 255), kept},
        {"{\"text_normal\": [1, 2, 3], \"scrollbar_hover\": []}", THEME_SCROLLBAR_HOVER, kept, kept},
        // A hexadecimal number stores its value and ends the array.
        {"{\"elem_hover\": [0x10, 20, 30, 40, 50, 60, 70, 80]}", THEME_ELEM_HOVER,
         (DEFAULTS[THEME_ELEM_HOVER].color & ~0xFFu) | 0x10, kept},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.json);
        ThemeRecords r = load(c.json);
        EXPECT_EQ(r[c.key].color, c.line == kept ? DEFAULTS[c.key].color : c.line);
        EXPECT_EQ(r[c.key].fill_color, c.fill == kept ? DEFAULTS[c.key].fill_color : c.fill);
        EXPECT_EQ(r[c.key].dpi, 72);
    }
    // Records not named keep their defaults.
    ThemeRecords r = load("{\"text_normal\": [1, 2, 3]}");
    for (int i = 0; i < THEME_RECORD_COUNT; ++i) {
        SCOPED_TRACE(THEME_KEYS[i]);
        if (i == THEME_TEXT_NORMAL) continue;
        EXPECT_EQ(r[size_t(i)].color, DEFAULTS[size_t(i)].color);
        EXPECT_EQ(r[size_t(i)].fill_color, DEFAULTS[size_t(i)].fill_color);
    }
}

TEST(theme_malformed, bad_values_leave_the_defaults) {
    const uint32_t base = DEFAULTS[THEME_BASE].color;
    struct Case {
        const char *json;
        uint32_t base_line;
    } cases[] = {
        {"{\"base\": \"red\"}", base},
        {"{\"base\": 5}", base},
        {"{\"base\": [1 2 3]}", rgba(1, 156, 136, 255)}, // a missing comma ends the array
        {"{\"base\": [1, +2, 3]}", rgba(1, 156, 136, 255)},
        {"{\"base\": [1, \"unterminated", rgba(1, 156, 136, 255)},
        {"{\"base\": [7,", rgba(7, 156, 136, 255)},
        {"[1, 2]", base},
        {"", base},
        {nullptr, base},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.json ? c.json : "(null)");
        EXPECT_EQ(load(c.json)[THEME_BASE].color, c.base_line);
    }
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
    ASSERT_TRUE(set_theme(current, nullptr, "light"));
    EXPECT_EQ(current[THEME_TEXT_SELECTED].fill_color, rgba(0, 120, 215, 255));
    EXPECT_EQ(current[THEME_BASE].fill_color, rgba(164, 164, 164, 175)); // 240 * 175 / 255
    EXPECT_EQ(current[THEME_ELEM_DISABLED].color, DEFAULTS[THEME_ELEM_DISABLED].color);
    ASSERT_TRUE(set_theme(current, nullptr, "dark"));
    EXPECT_EQ(current[THEME_TEXT_NORMAL].color, rgba(255, 255, 255, 255));
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
    for (std::string name : {"label", "button", "input", "table", "check", "progress", "scroll",
                             "canvas"}) {
        SCOPED_TRACE(name);
        Widget *w = widget_find(root.get(), name.c_str());
        EXPECT_EQ(w->base_paint.fill_color, dark[THEME_BASE].fill_color);
        TextElement *e = widget_text_element(w);
        if (!e) continue;
        EXPECT_EQ(e->paints[PAINT_TEXT_NORMAL].color, dark[THEME_TEXT_NORMAL].color);
        EXPECT_EQ(e->paints[PAINT_TEXT_SELECTED].fill_color, dark[THEME_TEXT_SELECTED].fill_color);
        EXPECT_EQ(e->paints[PAINT_ELEM_DISABLED].fill_color, dark[THEME_ELEM_DISABLED].fill_color);
        bool scroll = name == "scroll";
        ThemeKey normal = scroll ? THEME_SCROLLBAR_NORMAL : THEME_ELEM_NORMAL;
        if (name == "label" || name == "check") normal = THEME_BASE;
        EXPECT_EQ(e->paints[PAINT_ELEM_NORMAL].fill_color, dark[normal].fill_color);
        EXPECT_EQ(e->paints[PAINT_ELEM_HOVER].fill_color,
                  dark[scroll ? THEME_SCROLLBAR_HOVER : THEME_ELEM_HOVER].fill_color);
        EXPECT_EQ(e->paints[PAINT_ELEM_SELECTED].fill_color,
                  dark[scroll ? THEME_SCROLLBAR_SELECTED : THEME_ELEM_SELECTED].fill_color);
    }
    widget_refresh(root.get()); // the dark base reaches the screen
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

TEST(theme_malformed, unreadable_custom_file_changes_nothing) {
    ThemeRecords custom = theme_defaults(), current = theme_defaults();
    current[THEME_BASE].fill_color = rgba(1, 2, 3, 4);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(theme_load_custom("/nonexistent/solvane/theme.json", custom, current, nullptr));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(current[THEME_BASE].fill_color, rgba(1, 2, 3, 4));
    EXPECT_EQ(custom[THEME_BASE].fill_color, theme_defaults()[THEME_BASE].fill_color);
}
