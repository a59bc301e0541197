// The layout bundle builder and layout: the default bundle at two scales, splits, boxes, anchors,
// views, minimum sizes, the child limit, layer input groups, walks, and malformed bundles.
#include "toolkit_support.h"

#include <vector>

using tk::box_is;

namespace {

class layout : public ::testing::Test {
protected:
    void SetUp() override { tk::reset(960, 720); }
};

WidgetPtr default_layout(double scale, double w, double h) {
    std::string text = layout_bundle_text(std::nullopt);
    WidgetPtr root = layout_build(text.c_str(), scale);
    if (root) {
        page_show(widget_find(root.get(), "video_info_split"));
        widget_set_geometry(root.get(), 0, 0, w, h);
    }
    return root;
}

WidgetBox box_of(Widget *root, const char *name) {
    Widget *w = widget_find(root, name);
    EXPECT_NE(w, nullptr) << name;
    return w ? widget_box(w, false) : WidgetBox{};
}

} // namespace

TEST_F(layout, default_bundle_at_960_by_720) {
    WidgetPtr root = default_layout(1, 960, 720);
    ASSERT_TRUE(root);
    Widget *r = root.get();
    EXPECT_TRUE(box_is(box_of(r, "root"), 0, 0, 960, 720));
    EXPECT_TRUE(box_is(box_of(r, "status_label"), 0, 700, 960, 20));
    // Search bar: two 26-point buttons and the stretching split share 360 - 2 * 5 padding.
    EXPECT_TRUE(box_is(box_of(r, "showfav_button"), 5, 5, 26, 24));
    EXPECT_TRUE(box_is(box_of(r, "searchbar_content"), 36, 5, 288, 24));
    EXPECT_TRUE(box_is(box_of(r, "search_input"), 36, 5, 264, 24));
    EXPECT_TRUE(box_is(box_of(r, "search_settings_button"), 300, 5, 24, 24));
    EXPECT_TRUE(box_is(box_of(r, "go_button"), 329, 5, 26, 24));
    // The closed search options (size 0) keep one point; the list takes the rest.
    EXPECT_TRUE(box_is(box_of(r, "search_settings_split"), 0, 34, 360, 608));
    EXPECT_TRUE(box_is(box_of(r, "video_list_table"), 0, 34, 348, 608));
    EXPECT_TRUE(box_is(box_of(r, "video_list_scroll"), 348, 34, 12, 608));
    EXPECT_TRUE(box_is(box_of(r, "playlist_avatar"), 0, 642, 58, 58));
    EXPECT_TRUE(box_is(box_of(r, "playlist_info_label"), 63, 647, 292, 16.5));
    EXPECT_TRUE(box_is(box_of(r, "addfav_button"), 63, 668.5, 143.5, 26.5));
    EXPECT_TRUE(box_is(box_of(r, "feed_button"), 211.5, 668.5, 143.5, 26.5));
    EXPECT_TRUE(box_is(box_of(r, "video_view"), 360, 34, 600, 666));
    double third = (600.0 - 15 + 5 - 10) / 3;
    EXPECT_TRUE(box_is(box_of(r, "play_button"), 365, 5, third, 24));
    EXPECT_TRUE(box_is(box_of(r, "download_button"), 370 + third, 5, third, 24));
    EXPECT_TRUE(box_is(box_of(r, "user_uploads_button"), 375 + 2 * third, 5, third, 24));
    // Pixel rectangles round the edges.
    Widget *download = widget_find(r, "download_button");
    EXPECT_EQ(download->outer_rect.x, 563);       // 563.33
    EXPECT_EQ(download->outer_rect.w, 757 - 563); // right edge 756.67
}

TEST_F(layout, default_bundle_at_scale_2_doubles_every_box) {
    WidgetPtr one = default_layout(1, 960, 720);
    WidgetPtr two = default_layout(2, 1920, 1440);
    ASSERT_TRUE(one && two);
    for (const char *name : {"status_label", "search_input", "go_button", "video_list_table",
                             "playlist_info_label", "feed_button", "video_view", "play_button"}) {
        SCOPED_TRACE(name);
        WidgetBox a = box_of(one.get(), name), b = box_of(two.get(), name);
        EXPECT_TRUE(box_is(b, 2 * a.x, 2 * a.y, 2 * a.w, 2 * a.h));
    }
    EXPECT_DOUBLE_EQ(widget_find(two.get(), "search_input")->padding, 10);
    auto *table = widget_data<TableData>(widget_find(two.get(), "video_list_table"));
    EXPECT_DOUBLE_EQ(table->row_height, 144);
    EXPECT_EQ(table->columns, 1);
    EXPECT_EQ(table->show_header, 0);
}

TEST_F(layout, split_methods_and_gaps) {
    struct Case {
        const char *props;
        double scale;
        double first[2], second[2]; // y, h
    } cases[] = {
        {"'resize_method': 'ratio', 'split_ratio': 50, 'split_gap': 0", 2, {0, 100}, {100, 100}},
        {"'resize_method': 'ratio', 'split_ratio': 25, 'split_gap': 10", 1, {0, 45}, {55, 145}},
        {"'resize_method': 'firstfixed', 'split_size': 34, 'split_gap': 0", 2, {0, 68}, {68, 132}},
        {"'resize_method': 'firstfixed', 'split_size': 40, 'split_gap': 5", 1, {0, 37.5}, {42.5, 157.5}},
        {"'resize_method': 'secondfixed', 'split_size': 20, 'split_gap': 5", 1, {0, 177.5}, {182.5, 17.5}},
        {"'split_size': 30", 1, {0, 55}, {65, 135}}, // ratio (percent) and gap 10 by default
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.props);
        WidgetPtr root = tk::build(std::string("{'type': 'split', 'orientation': 'vertical', ") +
                                       c.props + ", 'children': [{'type': 'box', 'name': 'a'}, "
                                                 "{'type': 'box', 'name': 'b'}]}",
                                   100, 200, c.scale);
        ASSERT_TRUE(root);
        EXPECT_TRUE(box_is(box_of(root.get(), "a"), 0, c.first[0], 100, c.first[1]));
        EXPECT_TRUE(box_is(box_of(root.get(), "b"), 0, c.second[0], 100, c.second[1]));
    }
    // Horizontal splits work along the width.
    WidgetPtr h = tk::build("{'type': 'split', 'resize_method': 'firstfixed', 'split_size': 30, "
                            "'split_gap': 4, 'padding': 2, 'children': [{'type': 'box', 'name': "
                            "'a'}, {'type': 'box', 'name': 'b'}]}",
                            100, 50);
    EXPECT_TRUE(box_is(box_of(h.get(), "a"), 2, 2, 28, 46));
    EXPECT_TRUE(box_is(box_of(h.get(), "b"), 34, 2, 64, 46));
}

TEST_F(layout, split_size_changes_at_run_time) {
    WidgetPtr root = tk::build("{'type': 'split', 'orientation': 'vertical', 'resize_method': "
                               "'firstfixed', 'split_size': 0, 'split_gap': 0, 'children': "
                               "[{'type': 'label', 'name': 'options'}, {'type': 'split', "
                               "'name': 'list', 'split_ratio': 50, 'split_gap': 0, 'children': "
                               "[{'type': 'label', 'name': 'left'}]}]}",
                               100, 200);
    split_set_size(root.get(), 80); // the search options open
    EXPECT_TRUE(box_is(box_of(root.get(), "options"), 0, 0, 100, 80));
    EXPECT_TRUE(box_is(box_of(root.get(), "list"), 0, 80, 100, 120));
    EXPECT_EQ(widget_find(root.get(), "left")->outer_rect.y, 80);
    toolkit_dirty_clear();
    split_set_size(widget_find(root.get(), "list"), 150); // a ratio stays within 100 %
    EXPECT_TRUE(box_is(box_of(root.get(), "left"), 0, 80, 100, 120));
    EXPECT_EQ(toolkit_dirty_rect().h, 120);
}

TEST_F(layout, box_stretching_shares_the_free_space_by_size) {
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

    // A vertical box stretches vertical-sticky children; horizontal ones keep their height.
    WidgetPtr v = tk::build("{'type': 'box', 'orientation': 'vertical', 'children': ["
                            "{'type': 'box', 'name': 'a', 'sticky_mode': 'horizontal', "
                            "'geometry': [0, 0, 5, 20]},"
                            "{'type': 'box', 'name': 'b', 'sticky_mode': 'vertical'}]}",
                            40, 100);
    EXPECT_TRUE(box_is(box_of(v.get(), "a"), 0, 0, 40, 20));
    EXPECT_TRUE(box_is(box_of(v.get(), "b"), 0, 20, 8, 80));
}

TEST_F(layout, anchors_place_fixed_size_widgets_in_the_slot) {
    struct Case {
        const char *anchor;
        double x, y;
    } cases[] = {
        {"topleft", 0, 0},    {"top", 40, 0},      {"topright", 80, 0},
        {"left", 0, 45},      {"middle", 40, 45},  {"right", 80, 45},
        {"bottomleft", 0, 90}, {"bottom", 40, 90}, {"bottomright", 80, 90},
        {"topmost", 40, 0},   {"nowhere", 0, 0},   {"bottomless", 40, 90},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.anchor);
        WidgetPtr root = tk::build(std::string("{'type': 'view', 'children': [{'type': 'box', "
                                               "'name': 'w', 'sticky_mode': 'none', "
                                               "'geometry': [0, 0, 20, 10], 'anchor_mode': '") +
                                       c.anchor + "'}]}",
                                   100, 100);
        EXPECT_TRUE(box_is(box_of(root.get(), "w"), c.x, c.y, 20, 10));
    }
    // The geometry's x and y offset the anchored position.
    WidgetPtr root = tk::build("{'type': 'view', 'children': [{'type': 'box', 'name': 'w', "
                               "'sticky_mode': 'none', 'geometry': [3, -2, 20, 10], "
                               "'anchor_mode': 'bottomright'}]}",
                               100, 100);
    EXPECT_TRUE(box_is(box_of(root.get(), "w"), 83, 88, 20, 10));
}

TEST_F(layout, view_scrolls_its_larger_child_and_clips_it) {
    WidgetPtr root = tk::build("{'type': 'split', 'resize_method': 'firstfixed', 'split_size': "
                               "10, 'split_gap': 0, 'children': [{'type': 'box'}, {'type': "
                               "'view', 'name': 'view', 'children': [{'type': 'box', 'name': "
                               "'content', 'sticky_mode': 'none', 'geometry': [0, 0, 200, 300]}]}]}",
                               110, 100);
    Widget *view = widget_find(root.get(), "view");
    Widget *content = widget_find(root.get(), "content");
    auto *data = widget_data<ViewData>(view);
    EXPECT_TRUE(box_is(widget_box(content, false), 10, 0, 200, 300));
    EXPECT_TRUE(box_is(widget_box(content, true), 10, 0, 100, 100));
    data->scroll_x = 50;
    widget_set_value(view, 100);
    EXPECT_DOUBLE_EQ(widget_get_value(view), 100); // the get lays the subtree out again
    EXPECT_TRUE(box_is(widget_box(content, false), 10 - 50, -200, 200, 300));
    EXPECT_TRUE(box_is(widget_box(content, true), 10, 0, 100, 100));
    EXPECT_EQ(content->inner_rect.x, 10);
    EXPECT_EQ(content->inner_rect.w, 100);
}

TEST_F(layout, widgets_are_never_smaller_than_one_point) {
    WidgetPtr root = tk::build(
        "{'type': 'split', 'orientation': 'vertical', 'resize_method': 'firstfixed', "
        "'split_size': 0, 'split_gap': 0, 'children': [{'type': 'label', 'name': 'a'}, "
        "{'type': 'box', 'name': 'b', 'children': [{'type': 'box', 'name': 'c', "
        "'sticky_mode': 'none', 'geometry': [0, 0, -5, 0]}]}]}",
        50, 40);
    EXPECT_TRUE(box_is(box_of(root.get(), "a"), 0, 0, 50, 1));
    EXPECT_TRUE(box_is(box_of(root.get(), "c"), 0, 0, 1, 1));
    // The visible box of a collapsed widget is clipped to nothing, not negative.
    Widget *a = widget_find(root.get(), "a");
    EXPECT_EQ(a->inner_rect.h, 0);
}

TEST_F(layout, children_beyond_nine_are_not_attached) {
    std::string children;
    for (int i = 0; i < 12; ++i) children += std::string(i ? "," : "") + "{'type': 'label'}";
    WidgetPtr box = tk::build("{'type': 'box', 'children': [" + children + "]}", 100, 10);
    EXPECT_EQ(widget_data<BoxData>(box.get())->children.size(), 9u);
    WidgetPtr page = tk::build("{'type': 'page', 'children': [" + children + "]}", 100, 10);
    EXPECT_EQ(widget_data<PageData>(page.get())->children.size(), 9u);
}

TEST_F(layout, unbuildable_child_ends_a_box_but_not_a_split) {
    WidgetPtr box = tk::build("{'type': 'box', 'children': [{'type': 'label', 'name': 'a'}, "
                              "{'type': 'nothing'}, {'type': 'label', 'name': 'c'}]}",
                              100, 10);
    EXPECT_EQ(widget_data<BoxData>(box.get())->children.size(), 1u);
    EXPECT_EQ(widget_find(box.get(), "c"), nullptr);
    WidgetPtr split = tk::build("{'type': 'split', 'children': [{'name': 'x'}, "
                                "{'type': 'label', 'name': 'b'}, {'type': 'label', 'name': 'c'}]}",
                                100, 10);
    auto *data = widget_data<SplitData>(split.get());
    EXPECT_EQ(data->first, nullptr);
    ASSERT_NE(data->second, nullptr);
    EXPECT_EQ(*data->second->name, "b");
}

TEST_F(layout, page_lists_children_in_reverse_and_shows_one) {
    WidgetPtr root = tk::build("{'type': 'page', 'children': [{'type': 'button', 'name': 'a'}, "
                               "{'type': 'button', 'name': 'b'}]}",
                               50, 50);
    auto *page = widget_data<PageData>(root.get());
    EXPECT_EQ(*page->children.first()->data->name, "b");
    Widget *a = widget_find(root.get(), "a"), *b = widget_find(root.get(), "b");
    page_show(a);
    EXPECT_EQ(page->active, a);
    EXPECT_TRUE(a->enabled);
    EXPECT_FALSE(b->enabled);
    auto walk = [&](uint32_t how) {
        std::vector<std::string> seen;
        widget_walk(
            root.get(),
            [](Widget *w, void *seen) {
                static_cast<std::vector<std::string> *>(seen)->push_back(w->name ? *w->name : "-");
            },
            &seen, how);
        return seen;
    };
    EXPECT_EQ(walk(WALK_ACTIVE_PAGE), (std::vector<std::string>{"-", "a"})); // the shown child
    EXPECT_EQ(walk(WALK_POST_ORDER), (std::vector<std::string>{"b", "a", "-"}));
    EXPECT_EQ(widget_find(root.get(), "b"), b); // look-ups reach hidden pages too
}

TEST_F(layout, layer_children_take_their_index_as_input_group) {
    // A button made before the layer, attached as its second child, still wins over the first
    // child's later-made button: the group in the high bits decides before the serial.
    WidgetPtr early = widget_create(WIDGET_BUTTON);
    Widget *e = early.get();
    WidgetPtr root = tk::build("{'type': 'layer', 'children': [{'type': 'box', 'children': "
                               "[{'type': 'button', 'name': 'late'}]}]}",
                               100, 100);
    Widget *children[] = {early.release(), nullptr};
    widget_set_children(root.get(), children);
    widget_set_geometry(root.get(), 0, 0, 100, 100);
    Widget *late = widget_find(root.get(), "late");
    EXPECT_LT(e->id & WIDGET_ID_MASK, late->id & WIDGET_ID_MASK);
    EXPECT_EQ(late->id >> WIDGET_GROUP_SHIFT, 0u);
    EXPECT_EQ(e->id >> WIDGET_GROUP_SHIFT, 1u);
    int presses[2] = {0, 0};
    auto count = [](Widget *, void *n) { ++*static_cast<int *>(n); };
    late->callbacks[EVENT_PRESS] = {count, &presses[0]};
    e->callbacks[EVENT_PRESS] = {count, &presses[1]};
    toolkit_set_pointer(50, 50);
    toolkit_button(1, 0x40);
    EXPECT_EQ(presses[0], 0);
    EXPECT_EQ(presses[1], 1);
}

TEST_F(layout, properties_of_other_kinds_and_wrong_types_change_nothing) {
    WidgetPtr w = tk::build("{'type': 'label', 'name': 7, 'text': 5, 'padding': 'x', "
                            "'geometry': ['a', 3, [1], {'b': 1}], 'columns': 3, "
                            "'orientation': 'vertical', 'box_gap': 9, 'has_border': 'maybe', "
                            "'sticky_mode': {}, 'text_align': 'centered', 'wrap_mode': 'word'}",
                            100, 20);
    ASSERT_TRUE(w);
    EXPECT_FALSE(w->name);
    auto *label = widget_data<LabelData>(w.get());
    EXPECT_FALSE(label->text);
    EXPECT_DOUBLE_EQ(w->padding, 5);
    EXPECT_EQ(w->has_border, 1u);
    EXPECT_EQ(w->sticky, uint32_t(STICKY_HV));
    EXPECT_EQ(label->alignment, uint32_t(ALIGN_CENTER));
    EXPECT_EQ(label->wrap, uint32_t(WRAP_WORD));
    // Geometry elements that are not numbers count 0 (the root's box is its own geometry
    // until the test sets it).
    WidgetPtr g = layout_build("{\"type\": \"box\", \"geometry\": [\"a\", 3, [1]]}", 2);
    EXPECT_DOUBLE_EQ(g->x, 0);
    EXPECT_DOUBLE_EQ(g->y, 6);
    EXPECT_DOUBLE_EQ(g->w, 0);
    EXPECT_DOUBLE_EQ(g->h, 0);
}

TEST_F(layout, keywords_and_scaled_numbers) {
    WidgetPtr w = tk::build("{'type': 'scroll', 'orientation': 'horizontalish', "
                            "'grip_percentage': 10, 'scrollbar_style': 'slider', "
                            "'blend_mode': 'largeblur', 'has_border': 'false', 'padding': 2}",
                            100, 20, 3);
    auto *s = widget_data<ScrollData>(w.get());
    EXPECT_EQ(s->orientation, uint32_t(ORIENT_HORIZONTAL)); // matched over the keyword's length
    EXPECT_DOUBLE_EQ(s->grip, 30);
    EXPECT_EQ(s->style, uint32_t(SCROLL_SLIDER));
    EXPECT_EQ(w->blend, uint32_t(BLEND_LARGE_BLUR));
    EXPECT_EQ(w->has_border, 0u);
    WidgetPtr t = tk::build("{'type': 'table', 'columns': 2.9, 'header_height': 7, "
                            "'entry_height': 9, 'show_header': 'false'}",
                            100, 20, 2);
    auto *table = widget_data<TableData>(t.get());
    EXPECT_EQ(table->columns, 2);
    EXPECT_DOUBLE_EQ(table->header_height, 14);
    EXPECT_DOUBLE_EQ(t->padding, 10); // the default 5, scaled
}

TEST_F(layout, enable_event_registers_and_removes_regions) {
    int before = pointer_region_count();
    WidgetPtr label = tk::build("{'type': 'label', 'enable_event': 'true'}", 10, 10);
    EXPECT_EQ(pointer_region_count(), before + 8);
    WidgetPtr button = tk::build("{'type': 'button', 'enable_event': 'false'}", 10, 10);
    EXPECT_EQ(pointer_region_count(), before + 8);
    WidgetPtr input = tk::build("{'type': 'input'}", 10, 10);
    EXPECT_EQ(pointer_region_count(), before + 16);
    input.reset();
    label.reset();
    EXPECT_EQ(pointer_region_count(), before);
}

TEST(layout_malformed, missing_or_unknown_type_builds_nothing) {
    tk::reset();
    for (const char *text : {"{}", "{\"type\": 3}", "{\"type\": \"widget\"}", "[1, 2]", "",
                             "{\"type\": \"lab\"}", "{\"type\": [\"box\"]}", "{\"type\": \"bo"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(layout_build(text, 1), nullptr);
    }
    // A type is matched over the kind name's length.
    WidgetPtr w = layout_build("{\"type\": \"boxes\"}", 1);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->kind, uint32_t(WIDGET_BOX));
    // Children given to a kind that takes none are freed once (a fuzzer found a double free).
    WidgetPtr leaf = layout_build("{\"type\": \"label\", \"children\": [{\"type\": "
                                  "\"label\", \"name\": \"c\"}, {\"type\": \"box\"}]}",
                                  1);
    ASSERT_TRUE(leaf);
    EXPECT_EQ(widget_find(leaf.get(), "c"), nullptr);
    // A truncated child array still builds what is complete.
    WidgetPtr t = layout_build("{\"type\": \"box\", \"children\": [{\"type\": \"label\"}, {\"ty", 1);
    ASSERT_TRUE(t);
}

TEST(layout_malformed, huge_numbers_and_deep_nesting_are_bounded) {
    tk::reset(100, 100);
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
