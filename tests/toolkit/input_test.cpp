// Input: region dispatch, enter and leave, clicks, the wheel latch, capture, key routing, text
// editing, the clipboard, and the table and scroll bar handlers.
#include "toolkit_support.h"

#include <list>
#include <vector>

namespace {

// Records "name:event" for every event callback of the widgets it watches.
struct Recorder {
    using Slot = std::pair<Recorder *, std::string>;
    std::vector<std::string> log;
    std::list<Slot> slots; // stable addresses for the callbacks
    void watch(Widget *w, std::initializer_list<uint32_t> events) {
        for (uint32_t e : events) {
            auto &slot = slots.emplace_back(this, *w->name + ":" + std::to_string(e));
            w->callbacks[e] = {[](Widget *, void *s) {
                                   auto *slot = static_cast<Slot *>(s);
                                   slot->first->log.push_back(slot->second);
                               },
                               &slot};
        }
    }
    std::vector<std::string> take() { return std::exchange(log, {}); }
};

using Log = std::vector<std::string>;

void press(int x, int y) {
    toolkit_pointer_motion(x, y);
    toolkit_button(1, 0x40);
}
void release(int x, int y) {
    toolkit_pointer_motion(x, y);
    toolkit_button(1, 0);
}

class input : public ::testing::Test {
protected:
    void SetUp() override {
        tk::reset(200, 100);
        root = tk::build("{'type': 'box', 'children': ["
                         "{'type': 'button', 'name': 'a', 'sticky_mode': 'none', "
                         "'geometry': [0, 0, 50, 20]},"
                         "{'type': 'button', 'name': 'b', 'sticky_mode': 'none', "
                         "'geometry': [0, 0, 50, 20]},"
                         "{'type': 'input', 'name': 'field', 'sticky_mode': 'none', "
                         "'geometry': [0, 0, 90, 20]}]}",
                         200, 100);
        a = widget_find(root.get(), "a");
        b = widget_find(root.get(), "b");
        field = widget_find(root.get(), "field");
        widget_refresh(root.get());
        shortcut_add(KEY_ANY, 0, key_dispatch, nullptr);
    }
    WidgetPtr root;
    Widget *a = nullptr, *b = nullptr, *field = nullptr;
    Recorder rec;
    InputData &data() { return *widget_data<InputData>(field); }
};

} // namespace

TEST(dispatch, greatest_id_above_the_minimum_wins_and_newest_breaks_ties) {
    tk::reset();
    Rect area{0, 0, 10, 10};
    std::vector<int> served;
    auto fn = [](void *arg, uint32_t, int32_t, int32_t) {
        auto *p = static_cast<std::pair<std::vector<int> *, int> *>(arg);
        p->first->push_back(p->second);
    };
    std::pair<std::vector<int> *, int> r1{&served, 1}, r2{&served, 2}, r3{&served, 3};
    pointer_region_add(5, BUTTON_LEFT, POINTER_PRESS, &area, fn, &r1);
    pointer_region_add(9, BUTTON_ANY, POINTER_PRESS, &area, fn, &r2);
    pointer_region_add(9, BUTTON_LEFT, POINTER_PRESS, &area, fn, &r3); // same id, newer
    EXPECT_EQ(pointer_dispatch(BUTTON_LEFT, POINTER_PRESS, 5, 5, 0), 9u);
    EXPECT_EQ(served, (std::vector<int>{3}));
    EXPECT_EQ(pointer_dispatch(BUTTON_RIGHT, POINTER_PRESS, 5, 5, 0), 9u);
    EXPECT_EQ(served.back(), 2);
    EXPECT_EQ(pointer_dispatch(BUTTON_LEFT, POINTER_PRESS, 5, 5, 9), 9u); // nothing above 9
    EXPECT_EQ(served.size(), 2u);
    EXPECT_EQ(pointer_dispatch(BUTTON_LEFT, POINTER_PRESS, 10, 5, 0), 0u); // right edge outside
    // The capture rectangle counts as inside everywhere.
    pointer_region_add(CAPTURE_ID, BUTTON_LEFT, POINTER_PRESS, &toolkit_pointer().capture_rect, fn,
                       &r2);
    EXPECT_EQ(pointer_dispatch(BUTTON_LEFT, POINTER_PRESS, 500, -3, 0), CAPTURE_ID);
}

TEST_F(input, press_release_click_and_release_elsewhere) {
    rec.watch(a, {EVENT_PRESS, EVENT_RELEASE, EVENT_CLICK, EVENT_FOCUS_IN, EVENT_FOCUS_OUT});
    rec.watch(b, {EVENT_PRESS, EVENT_RELEASE, EVENT_CLICK, EVENT_FOCUS_IN});
    press(10, 10);
    EXPECT_EQ(rec.take(), (Log{"a:10", "a:1"}));
    EXPECT_EQ(toolkit_backend().focus, a);
    EXPECT_EQ(widget_text_element(a)->state, uint32_t(STATE_PRESSED));
    release(11, 10);
    EXPECT_EQ(rec.take(), (Log{"a:0", "a:2"}));
    EXPECT_EQ(widget_text_element(a)->state, uint32_t(STATE_HOVER));

    toolkit_frame_guards_clear();
    tk::fake_now() += 1000;
    press(10, 10);
    rec.take();
    release(60, 10); // leaving a clears its pressed flag: no click anywhere
    EXPECT_EQ(rec.take(), (Log{"b:2"}));
}

TEST_F(input, double_click_within_250_ms_once) {
    rec.watch(a, {EVENT_DOUBLE_CLICK});
    const uint32_t gaps[] = {0, 249, 10, 250}; // a double click, a third click, one too late
    const size_t doubles[] = {0, 1, 0, 0};
    for (int i = 0; i < 4; ++i) {
        tk::fake_now() += gaps[i];
        press(10, 10);
        release(10, 10);
        EXPECT_EQ(rec.take().size(), doubles[i]) << i;
    }
}

TEST_F(input, capture_takes_drags_and_the_release_anywhere) {
    data().text = "hello world";
    data().anchor = data().cursor = 0;
    // The field starts at x 100 with padding 5: text from 105, six points a character.
    press(105 + 6 * 2 + 1, 10);
    EXPECT_EQ(data().cursor, 2);
    rec.watch(b, {EVENT_ENTER, EVENT_DRAG});
    toolkit_pointer_motion(105 + 6 * 7 + 1, 10);
    EXPECT_EQ(std::pair(data().anchor, data().cursor), std::pair(2, 7));
    toolkit_pointer_motion(60, 10); // over b while captured: b gets no enter, no drag
    EXPECT_TRUE(rec.take().empty());
    EXPECT_EQ(data().cursor, 0);
    release(60, 10);
    // Destroying the widget during its capture removes the capture.
    tk::fake_now() += 1000;
    press(110, 10);
    int regions = pointer_region_count();
    root.reset();
    EXPECT_EQ(pointer_region_count(), regions - 3 * 8 - 2);
    toolkit_pointer_motion(150, 10); // a drag with nothing captured
    toolkit_button(1, 0);
    EXPECT_EQ(toolkit_backend().focus, nullptr);
}

TEST_F(input, key_routing_global_list_then_focus_chain) {
    // Each binding notes "name:key/modifiers" into `calls`.
    std::vector<std::string> calls;
    std::pair<std::vector<std::string> *, const char *> root_left{&calls, "root-left"},
        root_q{&calls, "root-q"}, global_f6{&calls, "global-f6"};
    auto note = [](void *arg, const KeyBindingRecord &k) {
        auto *t = static_cast<std::pair<std::vector<std::string> *, const char *> *>(arg);
        t->first->push_back(std::string(t->second) + ":" + std::to_string(k.key) + "/" +
                            std::to_string(k.modifiers));
    };
    widget_bind_key(root.get(), KEY_LEFT, 0, note, &root_left);
    widget_bind_key(root.get(), 'Q', MOD_CTRL, note, &root_q);
    toolkit_key(KEY_LEFT, 0); // nothing focused: keys reach no widget
    EXPECT_TRUE(calls.empty());
    widget_focus(field);
    data().text = "ab";
    data().anchor = data().cursor = 2;
    toolkit_key(KEY_LEFT, 0); // the focused input binds LEFT first
    EXPECT_EQ(data().cursor, 1);
    EXPECT_TRUE(calls.empty());
    toolkit_key('Q', MOD_CTRL); // not bound by the input: goes up to the root
    EXPECT_EQ(calls, (std::vector<std::string>{"root-q:81/1"}));
    toolkit_key('Q', MOD_SHIFT); // bound by nobody: dropped
    EXPECT_EQ(calls.size(), 1u);
    // A global shortcut added later is met before the wildcard.
    shortcut_add(KEY_F6, 0, note, &global_f6);
    toolkit_key(KEY_F6, 0);
    EXPECT_EQ(calls.back(), "global-f6:295/0");
    toolkit_key(KEY_F6, MOD_CTRL); // the shortcut is for F6 alone, not Ctrl+F6
    EXPECT_EQ(calls.size(), 2u);
    widget_disable(field); // a disabled widget in the chain stops the routing
    toolkit_key('Q', MOD_CTRL);
    EXPECT_EQ(calls.size(), 2u);
}

TEST_F(input, typed_characters_and_the_clipboard_through_the_host) {
    rec.watch(field, {EVENT_TEXT_CHANGED});
    widget_focus(field);
    for (uint32_t cp : {uint32_t('a'), 0xE9u, 0x20ACu, 0x1F600u, 9u, 0x110000u}) toolkit_text(cp);
    EXPECT_EQ(std::pair(data().text, data().cursor),
              std::pair(std::string("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), 10));
    EXPECT_EQ(rec.take().size(), 4u);

    const std::string euro = "\xE2\x82\xAC";
    data().text = "a" + euro + "b";
    data().anchor = 1;
    data().cursor = 4;
    toolkit_key('C', MOD_CTRL);
    EXPECT_EQ(fakehost::properties().at("clipboard/text"), euro);
    toolkit_key('X', MOD_CTRL);
    EXPECT_EQ(std::pair(data().text, data().cursor), std::pair(std::string("ab"), 1));
    fakehost::set_property("clipboard/text", "Z" + euro);
    toolkit_key('V', MOD_CTRL);
    EXPECT_EQ(std::pair(data().text, data().cursor), std::pair("aZ" + euro + "b", 5));
}

TEST_F(input, editing_commands_on_multibyte_text) {
    widget_focus(field);
    const std::string e_acute = "\xC3\xA9", euro = "\xE2\x82\xAC", smile = "\xF0\x9F\x98\x80";
    struct Case {
        const char *name;
        std::string text;
        int anchor, cursor;
        uint32_t key, modifiers;
        std::string after;
        int new_anchor, new_cursor;
    } cases[] = {
        {"BS after a 3-byte char", "a" + euro, 4, 4, KEY_BACKSPACE, 0, "a", 1, 1},
        {"DEL before a 4-byte char", smile + "b", 0, 0, KEY_DELETE, 0, "b", 0, 0},
        {"Ctrl+BS word and spaces", "go caf" + e_acute + "  ", 10, 10, KEY_BACKSPACE, MOD_CTRL,
         "go ", 3, 3},
        {"LEFT over 2 bytes", "x" + e_acute, 3, 3, KEY_LEFT, 0, "x" + e_acute, 1, 1},
        {"RIGHT over 4 bytes", smile + "x", 0, 0, KEY_RIGHT, 0, smile + "x", 4, 4},
        {"Shift+LEFT keeps the anchor", euro + euro, 6, 6, KEY_LEFT, MOD_SHIFT, euro + euro, 6, 3},
        {"Ctrl+LEFT", "one tw" + e_acute + " ", 10, 10, KEY_LEFT, MOD_CTRL, "one tw" + e_acute + " ",
         4, 4},
        {"Ctrl+RIGHT", " caf" + e_acute + " x", 0, 0, KEY_RIGHT, MOD_CTRL,
         " caf" + e_acute + " x", 6, 6},
        {"HOME", euro + "a", 3, 4, KEY_HOME, 0, euro + "a", 0, 0},
        {"END", euro + "a", 0, 0, KEY_END, 0, euro + "a", 4, 4},
        {"Ctrl+A", smile, 2, 2, 'A', MOD_CTRL, smile, 0, 4},
    };
    rec.watch(field, {EVENT_TEXT_CHANGED});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        data().text = c.text;
        data().anchor = c.anchor;
        data().cursor = c.cursor;
        rec.take();
        toolkit_key(c.key, c.modifiers);
        EXPECT_EQ(std::tuple(data().text, data().anchor, data().cursor),
                  std::tuple(c.after, c.new_anchor, c.new_cursor));
        bool edits = c.key == KEY_BACKSPACE || c.key == KEY_DELETE;
        EXPECT_EQ(rec.take().size(), edits ? 1u : 0u);
    }
}

TEST(input_table, press_selects_the_row_under_the_pointer) {
    tk::reset(200, 200);
    tk::Table t("{'type': 'table', 'columns': 1, 'header_height': 10, 'entry_height': 20}", 100, 60,
                5);
    // Scroll value, pointer y, row selected; at 100 the view starts 10 points into row 2.
    const std::tuple<double, int, size_t> cases[] = {
        {0, 15, 0}, {0, 55, 2}, {100, 12, 2}, {100, 59, 4}};
    for (auto [value, y, row] : cases) {
        SCOPED_TRACE(y);
        widget_set_value(t.widget.get(), value);
        tk::fake_now() += 1000;
        press(50, y);
        EXPECT_EQ(t.data->selected, t.nodes[row]);
        release(50, y);
    }
    List<TableCells> one; // past the end selects nothing
    one.append(new TableCells, 1);
    table_set_rows(t.widget.get(), table_rows_of(one), 1);
    widget_set_value(t.widget.get(), 0);
    tk::fake_now() += 1000;
    press(50, 50);
    EXPECT_EQ(t.data->selected, nullptr);
}

TEST(input_handlers, scroll_grip_drags_and_clamps) {
    tk::reset(200, 200);
    WidgetPtr root = tk::build("{'type': 'split', 'resize_method': 'secondfixed', "
                               "'split_size': 10, 'split_gap': 0, 'children': [{'type': "
                               "'table', 'name': 'table'}, {'type': 'scroll', 'name': 'bar'}]}",
                               110, 100);
    Widget *bar = widget_find(root.get(), "bar"), *table = widget_find(root.get(), "table");
    ScrollLink link{bar, table};
    bar->callbacks[EVENT_DRAG] = {scroll_follow, &link};
    // Grip 20 % of 100: [0, 20). Press at 10, drag down by 40 of the 80-pixel track: 50 %.
    tk::fake_now() += 1000;
    press(105, 10);
    toolkit_pointer_motion(105, 50);
    EXPECT_DOUBLE_EQ(widget_get_value(bar), 50);
    EXPECT_DOUBLE_EQ(widget_get_value(table), 50);
    toolkit_pointer_motion(105, 500); // far beyond: clamped
    EXPECT_DOUBLE_EQ(widget_get_value(bar), 100);
    toolkit_button(1, 0); // released away from the bar
    EXPECT_EQ(widget_text_element(bar)->state, uint32_t(STATE_NORMAL));
    toolkit_pointer_motion(105, 30);
    EXPECT_DOUBLE_EQ(widget_get_value(bar), 100);
    release(105, 10);
}
