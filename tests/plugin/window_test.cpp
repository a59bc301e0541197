#include "plugin/main_loop.h"
#include "plugin/window.h"
#include "support/fake_mpv.h"

#include "base/defer.h"
#include "base/host.h"
#include "toolkit/events.h"
#include "toolkit/input.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using fakehost::Command;

namespace {

mpv_node int_map(std::vector<std::pair<const char *, int64_t>> entries, std::vector<mpv_node> &values,
                 std::vector<char *> &keys, mpv_node_list &list) {
    values.clear();
    keys.clear();
    for (auto &[k, v] : entries) {
        mpv_node n{};
        n.format = MPV_FORMAT_INT64;
        n.u.int64 = v;
        values.push_back(n);
        keys.push_back(const_cast<char *>(k));
    }
    list = mpv_node_list{static_cast<int>(values.size()), values.data(), keys.data()};
    mpv_node node{};
    node.format = MPV_FORMAT_NODE_MAP;
    node.u.list = &list;
    return node;
}

class Window : public ::testing::Test {
protected:
    void SetUp() override {
        fakehost::reset();
        host_set(fakehost::handle());
        state.gui_width = 40;
        state.gui_height = 30;
        testing::internal::CaptureStderr(); // start-up log lines are not checked here
        window_setup(state);
        testing::internal::GetCapturedStderr();
    }
    void TearDown() override {
        toolkit_globals_destroy();
        defer_queue_destroy();
        host_set(nullptr);
    }
    void resize(int64_t w, int64_t h) {
        std::vector<mpv_node> values;
        std::vector<char *> keys;
        mpv_node_list list;
        mpv_node node = int_map({{"w", w}, {"h", h}, {"mt", 0}}, values, keys, list);
        window_resize(state, &node);
    }
    size_t overlay_adds() const {
        const auto &c = fakehost::commands();
        return static_cast<size_t>(std::count_if(c.begin(), c.end(), [](const Command &x) {
            return !x.empty() && x[0] == "name=overlay-add";
        }));
    }
    AppState state;
};

} // namespace

TEST_F(Window, setup_publishes_hidden) {
    EXPECT_EQ(fakehost::commands().back(), (Command{"overlay-remove", "45"}));
    EXPECT_EQ(state.window.buffer_width, 40);
    EXPECT_EQ(state.window.buffer_stride, 160);
    ASSERT_NE(toolkit_root_surface(), nullptr);
    EXPECT_EQ(toolkit_root_surface()->width, 40);
}

TEST_F(Window, resize_replaces_buffer_and_root_once) {
    state.window.visible = true;
    resize(64, 48);
    EXPECT_EQ(state.window.buffer_width, 64);
    EXPECT_EQ(state.window.buffer_height, 48);
    EXPECT_EQ(state.window.buffer.size(), 64u * 48u * 4u);
    EXPECT_EQ(toolkit_root_surface()->width, 64);
    ASSERT_EQ(overlay_adds(), 1u);
    const Command &add = fakehost::commands().back();
    ASSERT_EQ(add.size(), 10u);
    EXPECT_EQ(add[1], "id=45");
    EXPECT_EQ(add[4].rfind("file=&", 0), 0u);
    EXPECT_EQ(add[6], "fmt=bgra");
    EXPECT_EQ(add[7], "w=64");
    EXPECT_EQ(add[8], "h=48");
    EXPECT_EQ(add[9], "stride=256");
    const uint8_t *before = state.window.buffer.data();
    resize(64, 48); // the same size: nothing reallocated or sent
    EXPECT_EQ(state.window.buffer.data(), before);
    EXPECT_EQ(overlay_adds(), 1u);
    resize(0, 48);      // ignored
    resize(99999, 48);  // no display is that large
    EXPECT_EQ(state.window.buffer_width, 64);
}

TEST_F(Window, publish_copies_only_the_dirty_rectangle) {
    state.window.visible = true;
    Surface *root = toolkit_root_surface();
    std::memset(root->pixels, 0x11, static_cast<size_t>(root->stride) * root->height);
    toolkit_dirty_add(Rect{2, 3, 4, 5});
    overlay_publish(state);
    const HostWindow &w = state.window;
    for (int y = 0; y < w.buffer_height; ++y)
        for (int x = 0; x < w.buffer_width; ++x) {
            bool inside = x >= 2 && x < 6 && y >= 3 && y < 8;
            ASSERT_EQ(w.buffer[static_cast<size_t>(y) * w.buffer_stride + x * 4], inside ? 0x11 : 0)
                << x << "," << y;
        }
    Rect d = toolkit_dirty_rect();
    EXPECT_EQ(d.w, 0);
    EXPECT_EQ(d.h, 0);
}

TEST_F(Window, publish_while_hidden_copies_nothing) {
    Surface *root = toolkit_root_surface();
    std::memset(root->pixels, 0x22, static_cast<size_t>(root->stride) * root->height);
    toolkit_dirty_all();
    overlay_publish(state);
    EXPECT_EQ(fakehost::commands().back(), (Command{"overlay-remove", "45"}));
    EXPECT_TRUE(std::all_of(state.window.buffer.begin(), state.window.buffer.end(),
                            [](uint8_t b) { return b == 0; }));
}

TEST_F(Window, pointer_moves_only_while_visible_and_coalesce) {
    std::vector<mpv_node> values;
    std::vector<char *> keys;
    mpv_node_list list;
    mpv_node pos = int_map({{"x", 5}, {"y", 6}}, values, keys, list);
    window_pointer(state, &pos);
    EXPECT_EQ(state.window.pointer_x, 5);
    EXPECT_EQ(state.window.frame_flags & FRAME_POINTER, 0u);
    state.window.visible = true;
    window_pointer(state, &pos);
    mpv_node later = int_map({{"x", 7}}, values, keys, list); // a missing y counts 0
    window_pointer(state, &later);
    EXPECT_EQ(state.window.frame_flags & FRAME_POINTER, FRAME_POINTER);
    EXPECT_EQ(state.window.pending_x, 7);
    EXPECT_EQ(state.window.pending_y, 0);
    window_frame_step(state);
    EXPECT_EQ(state.window.frame_flags, 0u);
}

// Two neighbouring buttons; the pointer moves from the left one onto the right one and clicks
// at once. Whether mpv reported the move before the click, or reports it only after (the click
// message is queued first), the press lands on the right button.
TEST_F(Window, a_press_lands_where_the_pointer_is_at_the_press) {
    static const Rect left{0, 0, 20, 30}, right{20, 0, 20, 30};
    static std::vector<int> pressed;
    auto on_press = [](void *argument, uint32_t, int32_t, int32_t) {
        pressed.push_back(*static_cast<int *>(argument));
    };
    static int left_id = 1, right_id = 2;
    pointer_region_add(0x100, BUTTON_LEFT, POINTER_PRESS, &left, on_press, &left_id);
    pointer_region_add(0x101, BUTTON_LEFT, POINTER_PRESS, &right, on_press, &right_id);
    state.window.visible = true;
    std::vector<mpv_node> values;
    std::vector<char *> keys;
    mpv_node_list list;
    struct Case {
        const char *order;
        bool move_reported; // the "mouse-pos" change came before the click
        bool host_knows;    // mouse-pos can be read
    } cases[] = {{"move reported, then click", true, false},
                 {"click before the move is reported", false, true},
                 {"both", true, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.order);
        pressed.clear();
        mpv_node start = int_map({{"x", 5}, {"y", 5}}, values, keys, list);
        window_pointer(state, &start);
        window_frame_step(state); // the pointer rests on the left button
        fakehost::reset();
        if (c.host_knows) {
            fakehost::set_property("mouse-pos", "x=30,y=5");
        }
        if (c.move_reported) {
            mpv_node moved = int_map({{"x", 30}, {"y", 5}}, values, keys, list);
            window_pointer(state, &moved);
        }
        window_key_binding(state, "solfb-keys", "p-", "MBTN_LEFT", "");
        window_frame_step(state);
        EXPECT_EQ(pressed, std::vector<int>{2});
    }
}

TEST_F(Window, show_republishes_whole_surface_on_next_frame) {
    window_show(state);
    state.window.visible = true;
    size_t before = overlay_adds();
    window_frame_step(state);
    EXPECT_EQ(overlay_adds(), before + 1);
    window_frame_step(state); // nothing changed: nothing sent
    EXPECT_EQ(overlay_adds(), before + 1);
}
