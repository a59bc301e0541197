// Drawing: pixels of leaves in their states, text placement and ellipses, table rows, the input's
// caret, blending and the dirty rectangle.
#include "toolkit_support.h"

#include <functional>
#include <vector>

using tk::on_screen;
using tk::root_pixel;
using tk::Table;

namespace {

constexpr uint32_t BLACK = 0xFF000000u;

class draw : public ::testing::Test {
protected:
    void SetUp() override { tk::reset(200, 100); }
    const ThemeRecords theme = theme_defaults();
    uint32_t fill(ThemeKey key) const { return on_screen(theme[key].fill_color); }
    uint32_t line(ThemeKey key) const { return on_screen(theme[key].color); }
};

// The smallest rectangle around the root pixels equal to `colour` among the first w x h.
Rect bounds_of(uint32_t colour, int w, int h) {
    int x0 = w, y0 = h, x1 = -1, y1 = -1;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (root_pixel(x, y) == colour) {
                x0 = std::min(x0, x);
                y0 = std::min(y0, y);
                x1 = std::max(x1, x);
                y1 = std::max(y1, y);
            }
    return {x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

std::vector<int> rect(const Rect &r) { return {r.x, r.y, r.w, r.h}; }

} // namespace

TEST_F(draw, leaves_in_their_states) {
    using Probe = std::tuple<int, int, uint32_t>; // x, y, colour
    auto state = [](uint32_t s) { return [s](Widget *w) { widget_text_element(w)->state = s; }; };
    auto none = [](Widget *) {};
    struct Case {
        const char *name, *json;
        double w, h;
        std::function<void(Widget *)> set;
        std::vector<Probe> probes;
    } cases[] = {
        {"label", "{'type': 'label'}", 40, 20, none,
         {{0, 0, line(THEME_BASE)}, {39, 19, line(THEME_BASE)}, {1, 1, fill(THEME_BASE)},
          {40, 10, 0}}},
        {"hovered button", "{'type': 'button'}", 40, 20, state(STATE_HOVER),
         {{2, 2, fill(THEME_ELEM_HOVER)}, {0, 5, line(THEME_ELEM_HOVER)}}},
        {"focused input: selection (11, 4) to (23, 17), selected outline",
         "{'type': 'input', 'text': 'abcdef'}", 60, 20,
         [](Widget *w) {
             widget_data<InputData>(w)->anchor = 1;
             widget_data<InputData>(w)->cursor = 3;
             widget_focus(w);
         },
         {{11, 4, fill(THEME_TEXT_SELECTED)}, {22, 16, fill(THEME_TEXT_SELECTED)},
          {11, 3, fill(THEME_ELEM_NORMAL)}, {22, 17, fill(THEME_ELEM_NORMAL)},
          {0, 10, fill(THEME_ELEM_SELECTED)}, {59, 10, fill(THEME_ELEM_SELECTED)},
          {30, 0, fill(THEME_ELEM_SELECTED)}, {30, 19, fill(THEME_ELEM_SELECTED)}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        tk::reset(200, 100);
        WidgetPtr w = tk::build(c.json, c.w, c.h);
        c.set(w.get());
        widget_refresh(w.get());
        for (auto [x, y, colour] : c.probes)
            EXPECT_EQ(root_pixel(x, y), colour) << x << ", " << y;
    }
}

TEST_F(draw, text_is_placed_and_cut_with_an_ellipsis) {
    // "Hi" takes two 6-point cells, its ink 10 x 7, in a 40-point label with padding 5.
    const std::pair<const char *, int> aligns[] = {
        {"left", 5}, {"right", 40 - 5 - 12}, {"center", (40 - 12) / 2}};
    for (auto [align, pen] : aligns) {
        SCOPED_TRACE(align);
        tk::reset(200, 100);
        WidgetPtr w = tk::build(
            std::string("{'type': 'label', 'text': 'Hi', 'text_align': '") + align + "'}", 40, 20);
        widget_refresh(w.get());
        EXPECT_EQ(rect(bounds_of(BLACK, 40, 20)), (std::vector<int>{pen, 7, 10, 7}));
    }

    // A cut text draws as the shortened text would.
    // Why, widget, text, width, text shown.
    const std::tuple<const char *, const char *, const char *, int, const char *> cuts[] = {
        {"button: whole words", "'type': 'button'", "Switch Mode", 66, "Switch..."},
        {"button: a word wider than the button", "'type': 'button'", "Subscriptions", 50, "Sub..."},
        {"centred label", "'type': 'label', 'text_align': 'center'", "Relevance first", 84,
         "Relevance..."},
    };
    for (auto [why, widget, text, width, shown] : cuts) {
        SCOPED_TRACE(why);
        auto pixels = [&](const char *text) {
            tk::reset(200, 100);
            WidgetPtr w = tk::build(
                std::string("{") + widget + ", 'padding': 5, 'text': '" + text + "'}", width, 20);
            widget_refresh(w.get());
            std::vector<uint32_t> out;
            for (int y = 0; y < 20; ++y)
                for (int x = 0; x < width; ++x) out.push_back(root_pixel(x, y));
            return out;
        };
        std::vector<uint32_t> drawn = pixels(text);
        EXPECT_EQ(drawn, pixels(shown));
        EXPECT_NE(drawn, pixels(""));
    }
}

TEST_F(draw, table_rows_header_scroll_offset_and_selection) {
    Table t("{'type': 'table', 'has_border': 'false', 'header_height': 10, 'entry_height': 20}",
            100, 60, 5);
    const double widths[] = {60, -20};
    const uint32_t flags[] = {0, COLUMN_IMAGE};
    table_set_columns(t.widget.get(), 2, widths, flags);
    int header_item = 0;
    t.data->header_item = &header_item;
    t.data->selected = t.nodes[1];
    widget_refresh(t.widget.get());
    // View 50, four rows drawn from y 10, then the header's two cells.
    const auto &c = t.calls;
    ASSERT_EQ(c.size(), 4u * 2 + 2);
    EXPECT_EQ(c[0].item, t.list.first()->data);
    EXPECT_EQ(std::tuple(c[0].flags, c[1].flags, c[2].flags),
              std::tuple(CELL_EVEN, COLUMN_IMAGE | CELL_EVEN, CELL_ODD | CELL_SELECTED));
    EXPECT_DOUBLE_EQ(c[1].cell.x, 60);
    EXPECT_EQ(c[8].item, &header_item);
    // Bands: even rows in the pressed fill, the selected row in the selected fill.
    EXPECT_EQ(root_pixel(50, 15), fill(THEME_TEXT_PRESSED));
    EXPECT_EQ(root_pixel(50, 35), fill(THEME_TEXT_SELECTED));
    EXPECT_EQ(root_pixel(50, 5), fill(THEME_ELEM_NORMAL)); // header
    EXPECT_EQ(root_pixel(60, 5), line(THEME_ELEM_NORMAL)); // column line
    // Scrolled to the end: offset 50, first row 2, 10 points into it; three rows remain.
    t.calls.clear();
    widget_set_value(t.widget.get(), 100);
    widget_refresh(t.widget.get());
    ASSERT_EQ(c.size(), 3u * 2 + 2);
    EXPECT_EQ(c[0].item, t.nodes[2]->data);
    EXPECT_DOUBLE_EQ(c[0].cell.y, 0);
    EXPECT_EQ(root_pixel(50, 45), fill(THEME_TEXT_PRESSED)); // row 4 (even)
    // A selection moves the view only when outside it: above to the top, below to the bottom.
    int foreign = 0;
    const std::pair<void *, double> selections[] = {
        {t.nodes[1], 40}, {t.nodes[2], 40}, {t.nodes[4], 100}, {&foreign, 100}};
    for (auto [selected, value] : selections) {
        t.data->selected = selected;
        table_scroll_to_selection(t.widget.get());
        EXPECT_NEAR(widget_get_value(t.widget.get()), value, 1e-9);
    }
}

TEST_F(draw, input_scrolls_to_keep_the_caret_visible) {
    WidgetPtr w = tk::build("{'type': 'input', 'text': 'abcdefghijklmnopqrst'}", 60, 20);
    widget_focus(w.get());
    auto *d = widget_data<InputData>(w.get());
    EXPECT_EQ(d->cursor, 20);
    widget_refresh(w.get());
    // 120 points of text in 50: scrolled so the caret sits at the right edge.
    EXPECT_DOUBLE_EQ(d->offset, -70);
    CaretPosition caret = toolkit_caret_position();
    EXPECT_EQ(std::tuple(caret.valid, caret.x, caret.y), std::tuple(true, 55, 4));
    EXPECT_EQ(root_pixel(55, 10), BLACK);
    EXPECT_GE(bounds_of(BLACK, 60, 20).x, 5); // no glyphs in the padding
    // Deleting at the end while scrolled leaves no empty space on the right.
    shortcut_add(KEY_ANY, 0, key_dispatch, nullptr);
    for (int i = 0; i < 5; ++i) toolkit_key(KEY_BACKSPACE, 0);
    EXPECT_EQ(d->text, "abcdefghijklmno");
    EXPECT_DOUBLE_EQ(d->offset, -40);
}

TEST_F(draw, refresh_clears_to_base_and_marks_a_clipped_dirty_rectangle) {
    WidgetPtr root = tk::build("{'type': 'box', 'children': [{'type': 'button', 'name': 'b', "
                               "'sticky_mode': 'none', 'geometry': [10, 10, 20, 10]}]}",
                               100, 50);
    toolkit_dirty_clear();
    toolkit_set_publish_pending(false);
    widget_refresh(root.get());
    EXPECT_EQ(root_pixel(60, 40), fill(THEME_BASE));
    EXPECT_EQ(root_pixel(15, 15), fill(THEME_ELEM_NORMAL));
    EXPECT_EQ(rect(toolkit_dirty_rect()), (std::vector<int>{0, 0, 100, 50}));
    EXPECT_TRUE(toolkit_publish_pending());
    toolkit_dirty_clear();
    Widget *b = widget_find(root.get(), "b");
    widget_redraw_publish(b);
    EXPECT_EQ(rect(toolkit_dirty_rect()), (std::vector<int>{10, 10, 20, 10}));
    // Partly outside the root surface: the dirty rectangle is clipped.
    WidgetPtr w = tk::build("{'type': 'label'}", 50, 50);
    widget_set_geometry(w.get(), 180, 80, 50, 50);
    toolkit_dirty_clear();
    widget_refresh(w.get());
    EXPECT_EQ(rect(toolkit_dirty_rect()), (std::vector<int>{180, 80, 20, 20}));
}

