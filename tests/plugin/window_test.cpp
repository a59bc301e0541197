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

// A node map of integers, as the host sends "osd-dimensions" and "mouse-pos".
struct IntMap {
    std::vector<mpv_node> values;
    std::vector<char *> keys;
    mpv_node_list list{};
    mpv_node node{};
    IntMap(std::initializer_list<std::pair<const char *, int64_t>> entries) {
        for (auto &[k, v] : entries) {
            values.push_back(mpv_node{{.int64 = v}, MPV_FORMAT_INT64});
            keys.push_back(const_cast<char *>(k));
        }
        list = mpv_node_list{int(values.size()), values.data(), keys.data()};
        node.format = MPV_FORMAT_NODE_MAP;
        node.u.list = &list;
    }
    const mpv_node *get() { return &node; }
};

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
    void pointer(int64_t x, int64_t y) { window_pointer(state, IntMap{{"x", x}, {"y", y}}.get()); }
    size_t overlay_adds() const {
        const auto &c = fakehost::commands();
        return size_t(std::count_if(c.begin(), c.end(), [](const Command &x) {
            return !x.empty() && x[0] == "name=overlay-add";
        }));
    }
    AppState state;
};

} // namespace

TEST_F(Window, resize_replaces_the_buffer_once_and_announces_it) {
    state.window.visible = true;
    window_resize(state, IntMap{{"w", 64}, {"h", 48}, {"mt", 0}}.get());
    EXPECT_EQ(state.window.buffer.size(), 64u * 48u * 4u);
    EXPECT_EQ(toolkit_root_surface()->width, 64);
    ASSERT_EQ(overlay_adds(), 1u);
    const Command &add = fakehost::commands().back();
    ASSERT_EQ(add.size(), 10u);
    EXPECT_EQ(add[1], "id=45");
    EXPECT_EQ(add[4].rfind("file=&", 0), 0u);
    EXPECT_EQ((Command{add.begin() + 6, add.end()}),
              (Command{"fmt=bgra", "w=64", "h=48", "stride=256"}));
    const uint8_t *before = state.window.buffer.data();
    window_resize(state, IntMap{{"w", 64}, {"h", 48}}.get()); // same size: nothing new or sent
    window_resize(state, IntMap{{"w", 0}, {"h", 48}}.get());     // ignored
    window_resize(state, IntMap{{"w", 99999}, {"h", 48}}.get()); // no display is that large
    EXPECT_EQ(state.window.buffer.data(), before);
    EXPECT_EQ(state.window.buffer_width, 64);
    EXPECT_EQ(overlay_adds(), 1u);
}

// Hidden, a publish copies nothing and removes the overlay; shown, only the dirty rectangle is
// copied, and showing republishes the whole surface once.
TEST_F(Window, publish_copies_the_dirty_rectangle_while_shown) {
    Surface *root = toolkit_root_surface();
    std::memset(root->pixels, 0x22, size_t(root->stride) * root->height);
    toolkit_dirty_all();
    overlay_publish(state);
    EXPECT_EQ(fakehost::commands().back(), (Command{"overlay-remove", "45"}));
    const auto &buffer = state.window.buffer;
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0; }));

    state.window.visible = true;
    std::memset(root->pixels, 0x11, size_t(root->stride) * root->height);
    toolkit_dirty_add(Rect{2, 3, 4, 5});
    overlay_publish(state);
    for (int y = 0; y < state.window.buffer_height; ++y)
        for (int x = 0; x < state.window.buffer_width; ++x) {
            bool inside = x >= 2 && x < 6 && y >= 3 && y < 8;
            ASSERT_EQ(buffer[size_t(y) * state.window.buffer_stride + x * 4], inside ? 0x11 : 0)
                << x << "," << y;
        }
    EXPECT_EQ(toolkit_dirty_rect().w, 0);

    window_show(state);
    size_t before = overlay_adds();
    window_frame_step(state);
    window_frame_step(state); // nothing changed: nothing sent
    EXPECT_EQ(overlay_adds(), before + 1);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0x11; }));
}

TEST_F(Window, pointer_moves_only_while_visible_and_coalesce) {
    pointer(5, 6);
    EXPECT_EQ(state.window.pointer_x, 5);
    EXPECT_EQ(state.window.frame_flags & FRAME_POINTER, 0u);
    state.window.visible = true;
    pointer(5, 6);
    window_pointer(state, IntMap{{"x", 7}}.get()); // a missing y counts 0
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
    auto on_press = [](void *id, uint32_t, int32_t, int32_t) {
        pressed.push_back(*static_cast<int *>(id));
    };
    static int left_id = 1, right_id = 2;
    pointer_region_add(0x100, BUTTON_LEFT, POINTER_PRESS, &left, on_press, &left_id);
    pointer_region_add(0x101, BUTTON_LEFT, POINTER_PRESS, &right, on_press, &right_id);
    state.window.visible = true;
    for (auto [move_reported, host_knows] : {std::pair{true, false}, {false, true}, {true, true}}) {
        SCOPED_TRACE(testing::Message() << move_reported << host_knows);
        pressed.clear();
        pointer(5, 5);
        window_frame_step(state); // the pointer rests on the left button
        fakehost::reset();
        if (host_knows) fakehost::set_property("mouse-pos", "x=30,y=5");
        if (move_reported) pointer(30, 5);
        window_key_binding(state, "solfb-keys", "p-", "MBTN_LEFT", "");
        window_frame_step(state);
        EXPECT_EQ(pressed, std::vector<int>{2});
    }
}
