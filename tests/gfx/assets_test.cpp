// The assets built into the plug-in: the pixel font's tables, the two compressed JSON texts read
// with the JSON navigator, and the icons and marks at their sizes.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include <stb_truetype.h>

#include "assets/assets.h"
#include "base/json.h"
#include "gfx/icons.h"
#include "gfx/image.h"
#include "gfx/surface.h"
#include "gfx/text.h"

namespace {

std::string inflate(const AssetBlob &blob) { return asset_inflate(blob.data, blob.size); }

uint8_t alpha_at(const Surface *s, int x, int y) {
    return s->pixels[size_t(y) * s->stride + size_t(x) * 4 + 3];
}

// Counts the widgets of a layout subtree, collecting names and checking every node.
void walk_layout(const char *widget, std::multiset<std::string> &names, int &count) {
    ++count;
    static const std::set<std::string> kinds = {"split",  "box",   "view",  "label",    "button",
                                                "input",  "table", "check", "progress", "scroll",
                                                "canvas", "page",  "layer"};
    const char *type = json_find(widget, "type");
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(kinds.count(json_text(type)), 1u) << json_text(type);
    if (const char *name = json_find(widget, "name")) names.insert(json_text(name));
    if (const char *children = json_find(widget, "children")) {
        int n = 0;
        for (const char *child = json_first(children); child; child = json_next(child)) {
            ++n;
            walk_layout(child, names, count);
        }
        EXPECT_GE(n, 1);
        EXPECT_LE(n, 9); // the builder attaches at most nine
    }
}

std::vector<int> byte_array(const char *theme, const char *key) {
    std::vector<int> out;
    const char *array = json_find(theme, key);
    if (!array) return out;
    for (const char *e = json_first(array); e; e = json_next(e))
        out.push_back(int(json_long(e, -1)));
    return out;
}

} // namespace

TEST(assets, builtin_font_tables) {
    // Metrics are checked through the font reader in text_test; here the tables themselves.
    stbtt_fontinfo info;
    ASSERT_EQ(stbtt_InitFont(&info, asset_font_sol6x12.data, 0), 1);
    EXPECT_EQ(info.numGlyphs, 110);
    for (int glyph = 0; glyph < info.numGlyphs; ++glyph) {
        int advance, bearing;
        stbtt_GetGlyphHMetrics(&info, glyph, &advance, &bearing);
        EXPECT_EQ(advance, 510) << "glyph " << glyph;
    }
    // The map covers U+0020..U+007E, U+00A0 and U+2000..U+200A, and nothing else nearby.
    for (int cp = 0; cp < 0x2100; ++cp) {
        bool covered = (cp >= 0x20 && cp <= 0x7E) || cp == 0xA0 || (cp >= 0x2000 && cp <= 0x200A);
        EXPECT_EQ(stbtt_FindGlyphIndex(&info, cp) != 0, covered) << std::hex << cp;
    }
}

TEST(assets, default_layout_inflates_to_the_widget_tree) {
    std::string text = inflate(asset_layout_json);
    ASSERT_GT(text.size(), 1000u);
    EXPECT_LT(text.size(), 16384u);
    const char *root = text.c_str();
    while (*root == ' ' || *root == '\n')
        ++root;
    const char *end = json_skip(root);
    ASSERT_NE(end, nullptr) << "malformed layout";
    EXPECT_EQ(std::string(json_get(root, ".type"), 7), "\"split\"");
    EXPECT_EQ(json_text(json_get(root, ".name")), "root");
    EXPECT_EQ(json_text(json_get(root, ".children.1.name")), "status_label");
    EXPECT_EQ(json_text(json_get(root, ".children.1.text")), "ready");
    EXPECT_EQ(json_long(json_get(root, ".children.0.split_size"), 0), 360);

    std::multiset<std::string> names;
    int count = 0;
    walk_layout(root, names, count);
    EXPECT_EQ(count, 47);
    const char *expected[] = {
        "root", "showfav_button", "searchbar_content", "search_input", "search_settings_button",
        "go_button", "sidebar_page", "video_info_split", "search_settings_split",
        "search_sort_label", "search_sort_button", "search_type_label", "search_type_button",
        "search_live_label", "search_live_button", "video_list_split", "video_list_table",
        "video_list_scroll", "playlist_avatar", "playlist_info_label", "addfav_button",
        "feed_button", "settings_split", "revert_setting_button", "settings_header_label",
        "save_setting_button", "video_view_split", "play_button", "download_button",
        "user_uploads_button", "video_view", "status_label",
    };
    for (const char *name : expected)
        EXPECT_EQ(names.count(name), 1u) << name;
    EXPECT_EQ(names.size(), std::size(expected));

    // Spot checks of properties the screens depend on.
    const char *table = json_get(root, ".children.0.children.0.children.1.children.0.children.0."
                                       "children.1.children.0");
    EXPECT_EQ(json_text(json_find(table, "name")), "video_list_table");
    EXPECT_EQ(json_text(json_find(table, "show_header")), "false");
    EXPECT_EQ(json_long(json_find(table, "entry_height"), 0), 72);
}

TEST(assets, default_themes_inflate_with_three_themes) {
    std::string text = inflate(asset_themes_json);
    EXPECT_LT(text.size(), 16384u);
    const char *doc = text.c_str();
    const char *mirra = json_find(doc, "mirra");
    const char *light = json_find(doc, "light");
    const char *dark = json_find(doc, "dark");
    ASSERT_NE(mirra, nullptr);
    ASSERT_NE(light, nullptr);
    ASSERT_NE(dark, nullptr);
    EXPECT_EQ(json_first(mirra), nullptr);
    EXPECT_EQ(json_type(mirra), JSON_OBJECT);

    const char *keys[] = {"base", "text_normal", "text_hover", "text_pressed", "text_selected",
                          "elem_normal", "elem_hover", "elem_pressed", "elem_selected",
                          "scrollbar_normal", "scrollbar_hover", "scrollbar_pressed",
                          "scrollbar_selected"};
    for (const char *theme : {light, dark}) {
        for (const char *key : keys) {
            SCOPED_TRACE(key);
            std::vector<int> bytes = byte_array(theme, key);
            ASSERT_EQ(bytes.size(), 8u);
            for (int b : bytes)
                EXPECT_TRUE(b >= 0 && b <= 255);
        }
        EXPECT_EQ(json_find(theme, "elem_disabled"), nullptr);
        EXPECT_EQ(json_find(theme, "text_disabled"), nullptr);
    }
    EXPECT_EQ(byte_array(light, "base"),
              (std::vector<int>{160, 160, 160, 255, 240, 240, 240, 255}));
    EXPECT_EQ(byte_array(light, "scrollbar_selected"),
              (std::vector<int>{50, 117, 167, 255, 0, 120, 215, 255}));
    EXPECT_EQ(byte_array(dark, "base"), (std::vector<int>{77, 79, 92, 255, 38, 41, 57, 255}));
    EXPECT_EQ(byte_array(dark, "scrollbar_hover"),
              (std::vector<int>{98, 99, 106, 255, 105, 107, 118, 255}));
}

TEST(assets, icons_decode_at_their_sizes) {
    for (double scale : {1.0, 1.1}) {
        SCOPED_TRACE(scale);
        auto icons = icons_load(scale);
        for (int i = 0; i < ICON_COUNT; ++i) {
            SCOPED_TRACE(i);
            ASSERT_NE(icons[i], nullptr);
            int size = i == ICON_SEARCH_SETTINGS ? 16 : 20;
            EXPECT_EQ(icons[i]->width, size);
            EXPECT_EQ(icons[i]->height, size);
            // Something opaque in the middle region, and a transparent corner pixel somewhere.
            int opaque = 0, clear = 0;
            for (int y = 0; y < size; ++y)
                for (int x = 0; x < size; ++x) {
                    opaque += alpha_at(icons[i].get(), x, y) == 255;
                    clear += alpha_at(icons[i].get(), x, y) == 0;
                }
            EXPECT_GT(opaque, size * size / 8);
            EXPECT_GT(clear, 0);
        }
    }
    // Loading applies the scale rule (icon_apply_scale is checked on its own in image_test).
    EXPECT_EQ(icons_load(2.0)[ICON_PLAY]->width, 40);
    EXPECT_EQ(icons_load(1.5)[ICON_SEARCH_SETTINGS]->height, 24);

    auto marks = check_marks_load();
    for (const SurfacePtr &mark : marks) {
        EXPECT_EQ(mark->width, 16);
        EXPECT_EQ(mark->height, 16);
    }
    EXPECT_NE(std::memcmp(marks[0]->pixels, marks[1]->pixels, 16 * 16 * 4), 0);
    SurfacePtr small = small_icon_load();
    EXPECT_EQ(small->width, 16);
    EXPECT_EQ(small->height, 16);
}

TEST(assets, buttons_find_their_icons) {
    EXPECT_EQ(icon_for_button("play_button"), ICON_PLAY);
    EXPECT_EQ(icon_for_button("search_settings_button"), ICON_SEARCH_SETTINGS);
    EXPECT_EQ(icon_for_button("player_path_button"), ICON_PATH);
    EXPECT_EQ(icon_for_button("mascot_path_button"), ICON_PATH);
    EXPECT_EQ(icon_for_button("font_path_button"), ICON_PATH);
    EXPECT_EQ(icon_for_button("feed_button"), ICON_FEED);
    EXPECT_EQ(icon_for_button("status_label"), -1);
    EXPECT_EQ(icon_for_button("play_butto"), -1);
    std::set<int> used;
    for (const IconBinding &b : ICON_BINDINGS)
        used.insert(b.icon);
    EXPECT_EQ(used.size(), size_t(ICON_COUNT)); // every icon has a button
}
