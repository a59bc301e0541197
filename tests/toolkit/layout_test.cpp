// The interface as start-up builds it at two scales, splits, boxes, unbuildable children, pages,
// and malformed bundles.
#include "toolkit_support.h"

#include "gfx/icons.h"
#include "toolkit/interface.h"

#include <vector>

using tk::box_is;

namespace {

class layout : public ::testing::Test {
protected:
    void SetUp() override { tk::reset(960, 720); }
};

WidgetBox box_of(Widget *root, const char *name) {
    Widget *w = widget_find(root, name);
    EXPECT_NE(w, nullptr) << name;
    return w ? widget_box(w, false) : WidgetBox{};
}

// A split of two boxes "a" and "b" with `props`.
WidgetPtr split(const std::string &props, double w, double h, double scale = 1) {
    return tk::build("{'type': 'split', " + props +
                         ", 'children': [{'type': 'box', 'name': 'a'}, {'type': 'box', 'name': "
                         "'b'}]}",
                     w, h, scale);
}

} // namespace

TEST(interface, default_bundle_with_theme_icons_page_and_focus_at_two_scales) {
    for (int scale : {1, 2}) {
        SCOPED_TRACE(scale);
        tk::reset(960 * scale, 720 * scale);
        std::array<SurfacePtr, ICON_COUNT> icons = icons_load(scale);
        ThemeRecords theme = theme_defaults();
        ASSERT_TRUE(set_theme(theme, nullptr, "mirra"));
        WidgetPtr root = interface_build(layout_bundle_text(std::nullopt), scale, theme, icons);
        ASSERT_TRUE(root);
        toolkit_dirty_clear();
        interface_resize(root.get(), 960 * scale, 720 * scale);
        Widget *r = root.get();
        EXPECT_EQ(toolkit_backend().focus, widget_find(r, "search_input"));
        EXPECT_EQ(widget_data<ButtonData>(widget_find(r, "go_button"))->icon, icons[ICON_GO].get());
        EXPECT_EQ(widget_data<ButtonData>(widget_find(r, "search_sort_button"))->icon, nullptr);
        EXPECT_FALSE(widget_find(r, "settings_split")->enabled); // another sidebar page shows
        EXPECT_EQ(toolkit_dirty_rect().w, 960 * scale); // the whole frame is marked for publishing
        double third = (600.0 - 15 + 5 - 10) / 3;
        const std::tuple<const char *, double, double, double, double> boxes[] = {
            {"status_label", 0, 700, 960, 20},
            // Search bar: two 26-point buttons and the stretching split share 360 - 2 * 5.
            {"showfav_button", 5, 5, 26, 24},
            {"search_input", 36, 5, 264, 24},
            {"go_button", 329, 5, 26, 24},
            // The closed search options (size 0) keep one point; the list takes the rest.
            {"video_list_table", 0, 34, 348, 608},
            {"video_view", 360, 34, 600, 666},
            {"download_button", 370 + third, 5, third, 24},
        };
        for (auto [name, x, y, w, h] : boxes)
            EXPECT_TRUE(box_is(box_of(r, name), x * scale, y * scale, w * scale, h * scale))
                << name;
        EXPECT_DOUBLE_EQ(widget_data<TableData>(widget_find(r, "video_list_table"))->row_height,
                         72 * scale);
        if (scale != 1) continue;
        // The empty details canvas shows the translucent, premultiplied base; the empty list
        // the element fill; the empty search field's caret sits after its padding.
        EXPECT_EQ(tk::root_pixel(600, 300), tk::on_screen(theme[THEME_BASE].fill_color));
        EXPECT_EQ(tk::root_pixel(100, 300), tk::on_screen(theme[THEME_ELEM_NORMAL].fill_color));
        EXPECT_EQ(toolkit_caret_position().x, 36 + 5);
    }
}

TEST_F(layout, split_methods_gaps_and_run_time_sizes) {
    // Properties, scale, then y and height of the first and of the second child.
    const std::tuple<const char *, double, double, double, double, double> cases[] = {
        {"'resize_method': 'ratio', 'split_ratio': 50, 'split_gap': 0", 2, 0, 100, 100, 100},
        {"'resize_method': 'firstfixed', 'split_size': 40, 'split_gap': 5", 1, 0, 37.5, 42.5, 157.5},
        {"'resize_method': 'secondfixed', 'split_size': 20, 'split_gap': 5", 1, 0, 177.5, 182.5, 17.5},
        {"'split_size': 30", 1, 0, 55, 65, 135}, // ratio (percent) and gap 10 by default
    };
    for (auto [props, scale, a_y, a_h, b_y, b_h] : cases) {
        SCOPED_TRACE(props);
        WidgetPtr root = split(std::string("'orientation': 'vertical', ") + props, 100, 200, scale);
        EXPECT_TRUE(box_is(box_of(root.get(), "a"), 0, a_y, 100, a_h));
        EXPECT_TRUE(box_is(box_of(root.get(), "b"), 0, b_y, 100, b_h));
    }
    // Horizontal splits work along the width.
    WidgetPtr h = split("'resize_method': 'firstfixed', 'split_size': 30, 'split_gap': 4, "
                        "'padding': 2",
                        100, 50);
    EXPECT_TRUE(box_is(box_of(h.get(), "b"), 34, 2, 64, 46));
    // The size set at run time (the search options open); a ratio stays within 100 %.
    split_set_size(h.get(), 80);
    EXPECT_TRUE(box_is(box_of(h.get(), "a"), 2, 2, 78, 46));
    WidgetPtr ratio = split("'split_ratio': 50, 'split_gap': 0", 100, 50);
    toolkit_dirty_clear();
    split_set_size(ratio.get(), 150);
    EXPECT_TRUE(box_is(box_of(ratio.get(), "a"), 0, 0, 100, 50));
    EXPECT_EQ(toolkit_dirty_rect().w, 100);
}

TEST_F(layout, boxes_share_the_free_space) {
    WidgetPtr root = tk::build(
        "{'type': 'box', 'box_gap': 4, 'padding': 3, 'children': ["
        "{'type': 'box', 'name': 'fixed', 'sticky_mode': 'none', 'geometry': [0, 0, 30, 10]},"
        "{'type': 'box', 'name': 'small'},"
        "{'type': 'box', 'name': 'large', 'geometry': [0, 0, 24, 5]},"
        "{'type': 'box', 'name': 'tall', 'sticky_mode': 'vertical', 'geometry': [0, 0, 10, 5]}]}",
        200, 50);
    // fixed = 30 + 10 + 4 * 4 = 56; free = 200 - 56 + 4 - 6 = 142, shared 8 : 24.
    EXPECT_TRUE(box_is(box_of(root.get(), "fixed"), 3, 3, 30, 10));
    EXPECT_TRUE(box_is(box_of(root.get(), "small"), 37, 3, 35.5, 44));
    EXPECT_TRUE(box_is(box_of(root.get(), "large"), 76.5, 3, 106.5, 44));
    EXPECT_TRUE(box_is(box_of(root.get(), "tall"), 187, 3, 10, 44));
}

TEST_F(layout, unbuildable_children_and_pages) {
    // An unbuildable child ends a box but not a split.
    WidgetPtr box = tk::build("{'type': 'box', 'children': [{'type': 'label', 'name': 'a'}, "
                    "{'type': 'nothing'}, {'type': 'label', 'name': 'c'}]}",
                    100, 10);
    EXPECT_EQ(widget_find(box.get(), "c"), nullptr);
    WidgetPtr split = tk::build("{'type': 'split', 'children': [{'name': 'x'}, "
                                "{'type': 'label', 'name': 'b'}, {'type': 'label', 'name': 'c'}]}",
                                100, 10);
    ASSERT_NE(widget_data<SplitData>(split.get())->second, nullptr);
    EXPECT_EQ(*widget_data<SplitData>(split.get())->second->name, "b");

    WidgetPtr root = tk::build("{'type': 'page', 'children': [{'type': 'button', 'name': 'a'}, "
                               "{'type': 'button', 'name': 'b'}]}",
                               50, 50);
    Widget *a = widget_find(root.get(), "a"), *b = widget_find(root.get(), "b");
    page_show(a);
    EXPECT_TRUE(a->enabled);
    EXPECT_FALSE(b->enabled);
    EXPECT_EQ(widget_find(root.get(), "b"), b); // look-ups reach hidden pages too
}

TEST(layout_malformed, bad_types_huge_numbers_and_deep_nesting) {
    tk::reset(100, 100);
    for (const char *text : {"{}", "{\"type\": 3}", "{\"type\": \"widget\"}", "[1, 2]", "",
                             "{\"type\": \"lab\"}", "{\"type\": \"bo"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(layout_build(text, 1), nullptr);
    }
    WidgetPtr w = tk::build("{'type': 'box', 'children': [{'type': 'label', 'name': 'l', "
                            "'sticky_mode': 'none', 'geometry': [-0.0, 0, 1e12, 9e9]}]}",
                            100, 100, 4);
    Widget *l = widget_find(w.get(), "l");
    EXPECT_DOUBLE_EQ(l->w, 4e6);
    widget_refresh(w.get()); // draws what is visible without a gigantic surface
    ASSERT_NE(l->surface, nullptr);
    EXPECT_LE(int64_t(l->surface->width) * l->surface->height, int64_t(32) << 20);
    std::string deep;
    for (int i = 0; i < 5000; ++i) deep += "{\"type\": \"box\", \"children\": [";
    deep += "{\"type\": \"label\", \"name\": \"bottom\"}";
    for (int i = 0; i < 5000; ++i) deep += "]}";
    WidgetPtr root = layout_build(deep.c_str(), 1);
    ASSERT_TRUE(root);
    EXPECT_EQ(widget_find(root.get(), "bottom"), nullptr);
}
