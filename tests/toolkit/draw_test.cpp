// Drawing: pixels of leaves in their states, text placement and ellipses, table rows, the input's
// caret, blending and the dirty rectangle.
#include "toolkit_support.h"

#include <functional>
#include <vector>

using tk::on_screen;
using tk::root_pixel;

namespace {

constexpr uint32_t BLACK = 0xFF000000u;

class draw : public ::testing::Test {
protected:
    void SetUp() override { tk::reset(200, 100); }
    const ThemeRecords theme = theme_defaults();
    uint32_t fill(ThemeKey key) const { return on_screen(theme[key].fill_color); }
    uint32_t line(ThemeKey key) const { return on_screen(theme[key].color); }
};

// Bounds of the root pixels equal to `colour` inside the rectangle (exclusive ends).
struct Extent {
    int x0 = -1, y0 = -1, x1 = -1, y1 = -1;
    int count = 0;
};
Extent extent_of(uint32_t colour, int x0, int y0, int x1, int y1) {
    Extent e;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            if (root_pixel(x, y) == colour) {
                if (e.count++ == 0) e = {x, y, x + 1, y + 1, 1};
                e.x0 = std::min(e.x0, x), e.y0 = std::min(e.y0, y);
                e.x1 = std::max(e.x1, x + 1), e.y1 = std::max(e.y1, y + 1);
            }
    return e;
}

// The extent lies within [x0, x1) x [y0, y1) and is not empty.
::testing::AssertionResult within(const Extent &e, int x0, int y0, int x1, int y1) {
    if (e.count > 0 && e.x0 >= x0 && e.y0 >= y0 && e.x1 <= x1 && e.y1 <= y1)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << e.count << " pixels in (" << e.x0 << ", " << e.y0
                                         << ") to (" << e.x1 << ", " << e.y1 << ")";
}

std::vector<int> rect(const Rect &r) { return {r.x, r.y, r.w, r.h}; }

struct CellCall {
    uint32_t flags;
    void *item;
    CellRect cell;
};

// A table built from `json` whose cells are recorded instead of drawn, holding `n` rows.
struct Table {
    WidgetPtr widget;
    TableData *data;
    List<TableCells> list;
    std::vector<ListNode<TableCells> *> nodes;
    std::vector<CellCall> calls;
    Table(const char *json, double w, double h, int n) {
        widget = tk::build(json, w, h);
        data = widget_data<TableData>(widget.get());
        data->cell_callback = [](Widget *, uint32_t flags, void *item, int32_t,
                                 const CellRect &cell, void *calls) {
            static_cast<std::vector<CellCall> *>(calls)->push_back({flags, item, cell});
        };
        data->cell_argument = &calls;
        for (int i = 0; i < n; ++i) nodes.push_back(list.append(new TableCells, 1));
        table_set_rows(widget.get(), table_rows_of(list), n);
    }
};

} // namespace

TEST_F(draw, leaves_in_their_states) {
    struct Probe {
        int x, y;
        uint32_t colour;
    };
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
        for (const Probe &p : c.probes)
            EXPECT_EQ(root_pixel(p.x, p.y), p.colour) << p.x << ", " << p.y;
    }
}

TEST_F(draw, text_is_placed_and_cut_with_an_ellipsis) {
    struct Case {
        const char *align;
        int pen;
    } aligns[] = {{"left", 5}, {"right", 40 - 5 - 12}, {"center", (40 - 12) / 2}};
    for (const Case &c : aligns) {
        SCOPED_TRACE(c.align);
        tk::reset(200, 100);
        WidgetPtr w = tk::build(std::string("{'type': 'label', 'text': 'Hi', 'text_align': '") +
                                    c.align + "'}",
                                40, 20);
        widget_refresh(w.get());
        EXPECT_TRUE(within(extent_of(BLACK, 0, 0, 40, 20), c.pen, 4, c.pen + 12, 16));
    }

    // A cut text draws as the shortened text would.
    struct Cut {
        const char *why, *widget, *text;
        double width;
        const char *shown;
    } cuts[] = {
        {"button: whole words", "'type': 'button'", "Switch Mode", 66, "Switch..."},
        {"button: a word wider than the button", "'type': 'button'", "Subscriptions", 50,
         "Sub..."},
        {"centred label", "'type': 'label', 'text_align': 'center'", "Relevance first", 84,
         "Relevance..."},
    };
    for (const Cut &c : cuts) {
        SCOPED_TRACE(c.why);
        auto pixels = [&](const char *text) {
            tk::reset(200, 100);
            WidgetPtr w = tk::build(std::string("{") + c.widget + ", 'padding': 5, 'text': '" +
                                        text + "'}",
                                    c.width, 20);
            widget_refresh(w.get());
            std::vector<uint32_t> out;
            for (int y = 0; y < 20; ++y)
                for (int x = 0; x < int(c.width); ++x) out.push_back(root_pixel(x, y));
            return out;
        };
        std::vector<uint32_t> drawn = pixels(c.text);
        EXPECT_EQ(drawn, pixels(c.shown));
        EXPECT_NE(drawn, pixels(""));
    }
}

TEST_F(draw, table_rows_header_and_scroll_offset) {
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
    EXPECT_EQ(c[0].flags, CELL_EVEN);
    EXPECT_EQ(c[1].flags, COLUMN_IMAGE | CELL_EVEN);
    EXPECT_DOUBLE_EQ(c[1].cell.x, 60);
    EXPECT_EQ(c[2].flags, CELL_ODD | CELL_SELECTED);
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
}

TEST_F(draw, table_scrolls_to_the_selection) {
    Table t("{'type': 'table', 'columns': 1, 'show_header': 'false', 'entry_height': 20}", 100,
            60, 10);
    const auto &nodes = t.nodes;
    // Content 200, view 60: the span is 140. The view moves only when the row is outside it.
    int foreign = 0;
    struct Case {
        void *selected;
        double value;
    } cases[] = {
        {nodes[5], 60.0 / 140 * 100}, // top 100, below the view: to the bottom (offset 60)
        {nodes[4], 60.0 / 140 * 100}, // top 80, inside [60, 120): unchanged
        {nodes[1], 20.0 / 140 * 100}, // above: to the top
        {nodes[9], 100},
        {&foreign, 100}, // not in the list: no change
    };
    for (const Case &c : cases) {
        t.data->selected = c.selected;
        table_scroll_to_selection(t.widget.get());
        EXPECT_NEAR(widget_get_value(t.widget.get()), c.value, 1e-9);
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
    ASSERT_TRUE(caret.valid);
    EXPECT_EQ(caret.x, 55);
    EXPECT_EQ(caret.y, 4);
    EXPECT_EQ(root_pixel(55, 10), BLACK);
    EXPECT_EQ(extent_of(BLACK, 0, 0, 5, 20).count, 0); // no glyphs in the padding
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

