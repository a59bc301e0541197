// Themes: colour arrays, premultiplication, built-in themes, the custom file, and every widget.
#include "toolkit_support.h"

#include <filesystem>
#include <fstream>

namespace {

ThemeRecords load(const char *json) {
    ThemeRecords r;
    theme_load(json, r);
    return r;
}

const ThemeRecords DEFAULTS = theme_defaults();

} // namespace

TEST(theme, colour_arrays_and_malformed_files) {
    const uint32_t kept = 0xDEFAu; // marks "the default stays"
    const uint32_t base_from_1 = rgba(1, 156, 136, 255);
    // Document, record, then its line and fill colours.
    const std::tuple<const char *, ThemeKey, uint32_t, uint32_t> cases[] = {
        // Base detection (010 is octal) and the low byte of every number.
        {"{\"base\": [010, 255, 256, -1, 1, 2, 3, 4]}", THEME_BASE, rgba(8, 255, 0, 255),
         rgba(1, 2, 3, 4)},
        {" \n\t{\"text_hover\": [\r\n 1 ,\n 2 ]}", THEME_TEXT_HOVER, rgba(1, 2, 0, 255), kept},
        // Strings, arrays, objects and literals store zero.
        {"{\"base\": [ \"9\" ,\n[9], {\"a\": 9},\ttrue, null, 6, 7, 8]}", THEME_BASE, 0,
         rgba(0, 6, 7, 8)},
        // A hexadecimal number stores its value and ends the array.
        {"{\"elem_hover\": [0x10, 20, 30, 40, 50, 60, 70, 80]}", THEME_ELEM_HOVER,
         (DEFAULTS[THEME_ELEM_HOVER].color & ~0xFFu) | 0x10, kept},
        // A missing comma or a cut text ends the array; other shapes change nothing.
        {"{\"base\": [1 2 3]}", THEME_BASE, base_from_1, kept},
        {"{\"base\": [7,", THEME_BASE, rgba(7, 156, 136, 255), kept},
        {nullptr, THEME_BASE, kept, kept},
    };
    for (auto [json, key, line, fill] : cases) {
        SCOPED_TRACE(json ? json : "(null)");
        ThemeRecords r = load(json);
        EXPECT_EQ(r[key].color, line == kept ? DEFAULTS[key].color : line);
        EXPECT_EQ(r[key].fill_color, fill == kept ? DEFAULTS[key].fill_color : fill);
    }
    // Fills of the first fourteen records are premultiplied; lines never are.
    ThemeRecords r = load("{\"base\": [1, 2, 3, 4, 200, 100, 50, 128], "
                          "\"scrollbar_selected\": [0, 0, 0, 0, 200, 100, 50, 128]}");
    theme_premultiply(r);
    EXPECT_EQ(r[THEME_BASE].fill_color, rgba(100, 50, 25, 128));
    EXPECT_EQ(r[THEME_BASE].color, rgba(1, 2, 3, 4));
    EXPECT_EQ(r[THEME_SCROLLBAR_SELECTED].fill_color, rgba(200, 100, 50, 128));
}

TEST(theme, builtin_and_custom_themes_reach_every_widget) {
    tk::reset();
    WidgetPtr root = tk::build(
        "{'type': 'box', 'children': [{'type': 'label', 'name': 'label'}, {'type': 'input', "
        "'name': 'input'}, {'type': 'scroll', 'name': 'scroll'}, {'type': 'page', 'children': "
        "[{'type': 'canvas', 'name': 'canvas'}]}]}",
        100, 100);
    // Every widget, including those of a page that shows nothing, takes the new records.
    auto expect_applied = [&](const ThemeRecords &records) {
        for (std::string name : {"label", "input", "scroll", "canvas"}) {
            SCOPED_TRACE(name);
            Widget *w = widget_find(root.get(), name.c_str());
            EXPECT_EQ(w->base_paint.fill_color, records[THEME_BASE].fill_color);
            if (TextElement *e = widget_text_element(w)) {
                ThemeKey hover = name == "scroll" ? THEME_SCROLLBAR_HOVER : THEME_ELEM_HOVER;
                EXPECT_EQ(e->paints[PAINT_ELEM_HOVER].fill_color, records[hover].fill_color);
            }
        }
    };
    // A built-in theme's base is forced to alpha 175 and premultiplied: 240 * 175 / 255.
    ThemeRecords current = theme_defaults();
    ASSERT_TRUE(set_theme(current, root.get(), "light"));
    EXPECT_EQ(current[THEME_BASE].fill_color, rgba(164, 164, 164, 175));
    expect_applied(current);

    // A custom file is premultiplied without forcing the alpha.
    std::string dir = std::string(SOLVANE_BINARY_DIR) + "/toolkit_theme_test";
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/custom.json") << "{\"base\": [1, 2, 3, 4, 100, 100, 100, 51]}";
    ThemeRecords custom = theme_defaults();
    theme_load_custom(path_resolve("custom.json", dir), custom, current, root.get());
    EXPECT_EQ(custom[THEME_BASE].fill_color, rgba(20, 20, 20, 51));
    EXPECT_EQ(current[THEME_BASE].fill_color, custom[THEME_BASE].fill_color);
    expect_applied(custom);
}
