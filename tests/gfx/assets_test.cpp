// The assets built into the plug-in: the compressed JSON texts, the icons and marks at their sizes.
#include "assets/assets.h"
#include "base/json.h"
#include "gfx/icons.h"
#include "gfx/image.h"
#include "gfx_test.h"

#include <gtest/gtest.h>

#include <set>

namespace {

// Every widget of a layout subtree has a type and one to nine children.
void walk_layout(const char *widget) {
    EXPECT_NE(json_text(json_find(widget, "type")), "");
    if (const char *children = json_find(widget, "children")) {
        int n = 0;
        for (const char *child = json_first(children); child; child = json_next(child), ++n)
            walk_layout(child);
        EXPECT_TRUE(n >= 1 && n <= 9) << n; // the builder attaches at most nine
    }
}

} // namespace

TEST(assets, default_layout_and_themes_inflate_to_complete_documents) {
    std::string layout = asset_inflate(asset_layout_json.data, asset_layout_json.size);
    ASSERT_TRUE(json_document_complete(layout.c_str()));
    const char *root = layout.c_str();
    EXPECT_EQ(json_text(json_get(root, ".name")), "root");
    walk_layout(root);

    std::string themes = asset_inflate(asset_themes_json.data, asset_themes_json.size);
    ASSERT_TRUE(json_document_complete(themes.c_str()));
    for (const char *name : {"light", "dark", "mirra"})
        EXPECT_EQ(json_type(json_find(themes.c_str(), name)), JSON_OBJECT) << name;
}

TEST(assets, icons_decode_at_their_sizes) {
    for (double scale : {1.0, 1.1}) {
        auto icons = icons_load(scale);
        for (int i = 0; i < ICON_COUNT; ++i) {
            SCOPED_TRACE(testing::Message() << "icon " << i << " at " << scale);
            int size = i == ICON_SEARCH_SETTINGS ? 16 : 20;
            ASSERT_EQ(std::pair(icons[i]->width, icons[i]->height), std::pair(size, size));
            int opaque = 0, clear = 0; // mostly opaque somewhere, transparent somewhere else
            for (int at = 0; at < size * size; ++at) {
                uint32_t alpha = pixel(icons[i].get(), at % size, at / size) >> 24;
                opaque += alpha == 255, clear += alpha == 0;
            }
            EXPECT_GT(opaque, size * size / 8);
            EXPECT_GT(clear, 0);
        }
    }
    // Scaled only above 1.1, to trunc(size * scale).
    EXPECT_EQ(icons_load(2.0)[ICON_PLAY]->width, 40);
    EXPECT_EQ(icons_load(1.5)[ICON_SEARCH_SETTINGS]->height, 24);
    EXPECT_EQ(small_icon_load()->width, 16);
    // Every icon is shown by some button.
    std::set<int> used;
    for (const IconBinding &b : ICON_BINDINGS) used.insert(b.icon);
    EXPECT_EQ(used.size(), size_t(ICON_COUNT));
}
