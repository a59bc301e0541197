#include "browser/browser.h"
#include "browser/feed_screen.h"
#include "plugin/main_loop.h"
#include "plugin/window.h"
#include "support/fake_mpv.h"

#include "base/defer.h"
#include "base/host.h"
#include "base/runtime.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using fakehost::Command;
using fakehost::Event;

namespace {

// Every service host goes to a closed loopback port: no test reaches the network.
const bool routed = setenv("SOLVANE_RESOLVE",
                           "www.youtube.com:443:127.0.0.1:9,i.ytimg.com:443:127.0.0.1:9,"
                           "sponsor.ajay.app:443:127.0.0.1:9", 1) == 0;

Event message(std::vector<std::string> args) { return {MPV_EVENT_CLIENT_MESSAGE, std::move(args)}; }
Event simple(mpv_event_id id) { return {id}; }
Event flag(const char *name, int value) { return {MPV_EVENT_PROPERTY_CHANGE, {}, name, value}; }
Event end_file(mpv_end_file_reason reason) { return {MPV_EVENT_END_FILE, {}, "", 0, 0, reason}; }
size_t count(const Command &c) {
    const auto &all = fakehost::commands();
    return size_t(std::count(all.begin(), all.end(), c));
}
size_t overlay_adds() {
    const auto &c = fakehost::commands();
    return size_t(std::count_if(c.begin(), c.end(), [](const Command &x) {
        return !x.empty() && x[0] == "name=overlay-add";
    }));
}
const Command SHOW = {"enable-section", "solfb-section", "exclusive+allow-hide-cursor"};
const Command REMOVE = {"overlay-remove", "45"};

class MainLoop : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/solvane-loop-XXXXXX";
        dir = mkdtemp(tmpl);
        reset();
    }
    void TearDown() override {
        reset();
        host_set(nullptr);
        fs::remove_all(dir);
    }
    // The queued pump points into the application record: drop the queue before the record.
    void reset() {
        toolkit_globals_destroy();
        defer_queue_destroy();
        fakehost::reset();
        fakehost::set_expand_path(dir.string());
    }
    // Starts the plug-in on `config`; returns its log.
    std::string start(AppState &state, const std::string &config = "") {
        if (!config.empty()) std::ofstream(dir / "solvane.json") << config;
        testing::internal::CaptureStderr();
        app_start(state, fakehost::handle());
        return testing::internal::GetCapturedStderr();
    }
    // A property change as the host sends it ("w=64,h=48" for "osd-dimensions").
    static void change(AppState &s, void (*to)(AppState &, const mpv_node *), const char *map) {
        mpv_node node = fakehost::int_map(map);
        to(s, &node);
        mpv_free_node_contents(&node);
    }
    fs::path dir;
};

} // namespace

// F12 switches the interface; at shutdown the pass in progress
// still drains what follows, the next pass leaves the loop.
TEST_F(MainLoop, toggle_show_hide_and_shutdown) {
    AppState s;
    start(s);
    fakehost::push_event(message({"key-binding", "solfb-keys", "d-", "ENTER"})); // no key
    fakehost::push_event(message({"solfb-toggle"}));
    ASSERT_TRUE(main_loop_pass(s));
    EXPECT_TRUE(s.window.visible);
    EXPECT_EQ(count(SHOW), 1u);
    fakehost::push_event(message({"solfb-toggle"}));
    main_loop_pass(s);
    EXPECT_FALSE(s.window.visible);
    EXPECT_EQ(count(REMOVE), 2u); // one at set-up, one on hide

    Event hook = simple(MPV_EVENT_HOOK);
    hook.hook_id = 77;
    for (const Event &e : {simple(MPV_EVENT_SHUTDOWN), message({"solfb-show"}), hook})
        fakehost::push_event(e);
    EXPECT_TRUE(main_loop_pass(s));
    EXPECT_TRUE(s.window.visible);
    EXPECT_EQ(fakehost::continued_hooks(), std::vector<uint64_t>{77});
    EXPECT_FALSE(main_loop_pass(s));
}

// Unusable files named by the configuration: built-in ones are used, the log says why.
TEST_F(MainLoop, unusable_files_are_explained_and_the_interface_shows) {
    const std::string d = dir.string();
    std::ofstream(dir / "notafont.ttf") << "hello, not a font";
    AppState s;
    const std::string log = start(s, R"({"font": "notafont.ttf", "theme_path": "missing.json",
        "mascot": "missing.png", "layout_bundle_path": ")" + d + "\"}");
    for (const std::string &line : {
             "ERROR: font: cannot use " + d + "/notafont.ttf (not a TrueType font); using the "
             "built-in font\n",
             "ERROR: theme_path: cannot read " + d + "/missing.json (file does not exist); "
             "using the default theme\n",
             "ERROR: mascot: cannot read " + d + "/missing.png (file does not exist); showing no "
             "mascot\n",
             "ERROR: layout_bundle_path: cannot read " + d + " (not a regular file); using the "
             "built-in layout\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\nin\n" << log;
    ASSERT_TRUE(s.root && s.font);
    fakehost::push_event(message({"solfb-show"}));
    main_loop_pass(s);
    EXPECT_EQ(overlay_adds(), 1u);
}

// The browser shows again when the player has nothing more to play (show_after_playback).
TEST_F(MainLoop, the_interface_shows_again_when_playing_ends) {
    struct Case {
        const char *what, *config;
        bool shown_at_launch;
        std::vector<Event> ending;
        bool shown_after;
    } cases[] = {
        {"idle", "{}", true, {flag("idle-active", 0), flag("idle-active", 1)}, true},
        {"held at the end (keep-open)", "{}", true, {flag("eof-reached", 1)}, true},
        {"failed to play", "{}", true, {end_file(MPV_END_FILE_REASON_ERROR)}, true},
        {"one file ended, the next plays", "{}", true,
         {end_file(MPV_END_FILE_REASON_EOF), flag("eof-reached", 0)}, false},
        {"switched off", "{\"show_after_playback\": false}", true, {flag("idle-active", 1)}, false},
        {"hidden when it started", "{}", false, {flag("idle-active", 1)}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        reset();
        auto s = std::make_unique<AppState>();
        start(*s, c.config);
        if (c.shown_at_launch) fakehost::push_event(message({"solfb-show"}));
        main_loop_pass(*s);
        s->client.current_video.id = "jNQXAC9IVRw"; // no streams: the watch page for ytdl
        s->client.hooks.launch(s->client.hooks.context, false, nullptr);
        fakehost::push_event(message({"solfb-hide"})); // what the launch sends
        main_loop_pass(*s);
        ASSERT_FALSE(s->window.visible);
        for (const Event &e : c.ending) fakehost::push_event(e);
        main_loop_pass(*s);
        EXPECT_EQ(s->window.visible, c.shown_after);
        reset();
    }
}

// The pump and the autoplay timer re-queue themselves; one deferred call runs per pass; memory
// is trimmed once when the downloads drain, not on every pass.
TEST_F(MainLoop, one_deferred_call_per_pass_and_memory_trimmed_once) {
    AppState s;
    start(s);
    ASSERT_FALSE(s.pools.request_queue.empty());
    s.pools.quiet_wait_ms = 0; // idle passes at the 10 ms pace keep the test short
    ASSERT_EQ(defer_pending(), 2);
    int runs = 0;
    auto task = [](void *a) { ++*static_cast<int *>(a); };
    defer_call(task, &runs);
    defer_call(task, &runs);
    std::vector<int> seen;
    for (int i = 0; i < 6; ++i) {
        main_loop_pass(s);
        seen.push_back(runs);
    }
    EXPECT_EQ(seen, (std::vector<int>{0, 0, 1, 2, 2, 2}));
    EXPECT_EQ(defer_pending(), 2);
    for (int pass = 0; pass < 50 && s.memory_trims == 0; ++pass) main_loop_pass(s);
    EXPECT_FALSE(s.downloads_busy);
    for (int pass = 0; pass < 10; ++pass) main_loop_pass(s);
    EXPECT_EQ(s.memory_trims, 1u);
}

// Hidden, a publish removes the overlay; shown, only the dirty rectangle is copied. A new size
// replaces the buffer once; a repeated, zero or absurd size changes nothing.
TEST_F(MainLoop, publish_copies_the_dirty_rectangle_while_shown_and_resizes_once) {
    AppState s;
    start(s);
    Surface *root = toolkit_root_surface();
    std::memset(root->pixels, 0x22, size_t(root->stride) * root->height);
    toolkit_dirty_all();
    overlay_publish(s);
    EXPECT_EQ(fakehost::commands().back(), REMOVE);
    const auto &buffer = s.window.buffer;
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0; }));

    s.window.visible = true;
    std::memset(root->pixels, 0x11, size_t(root->stride) * root->height);
    toolkit_dirty_add(Rect{2, 3, 4, 5});
    overlay_publish(s);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x) {
            bool inside = x >= 2 && x < 6 && y >= 3 && y < 8;
            ASSERT_EQ(buffer[size_t(y) * s.window.buffer_stride + x * 4], inside ? 0x11 : 0)
                << x << "," << y;
        }
    EXPECT_EQ(toolkit_dirty_rect().w, 0);

    window_show(s);
    window_frame_step(s);
    window_frame_step(s); // nothing changed: nothing sent
    EXPECT_EQ(overlay_adds(), 2u);
    // The buffer holds what the root shows.
    EXPECT_EQ(std::memcmp(s.window.buffer.data(), root->pixels, s.window.buffer.size()), 0);

    change(s, window_resize, "w=640,h=480,mt=0");
    EXPECT_EQ(toolkit_root_surface()->width, 640);
    ASSERT_EQ(overlay_adds(), 3u);
    EXPECT_EQ(fakehost::commands().back().back(), "stride=2560");
    const uint8_t *before = s.window.buffer.data();
    change(s, window_resize, "w=640,h=480");   // the same size: nothing new or sent
    change(s, window_resize, "w=0,h=480");     // ignored
    change(s, window_resize, "w=99999,h=480"); // no display is that large
    EXPECT_EQ(s.window.buffer.data(), before);
    EXPECT_EQ(s.window.buffer.size(), 640u * 480u * 4u);
    EXPECT_EQ(overlay_adds(), 3u);
}


// Changes drawn within one frame interval go out in one publish, those of arriving downloads at
// most once per background interval; the last feed of a feed goes out at once.
TEST_F(MainLoop, changes_within_a_frame_interval_are_published_together) {
    static uint32_t now = 5000;
    clock_override([] { return now; });
    AppState s;
    start(s);
    s.window.visible = true;
    window_show(s);
    window_frame_step(s); // showing goes out at once
    size_t shown = overlay_adds();
    for (int i = 0; i < 20; ++i) {
        status_set(s, std::to_string(i).c_str());
        window_frame_step(s);
    }
    EXPECT_EQ(overlay_adds(), shown);
    now += FRAME_INTERVAL_MS;
    window_frame_step(s);
    EXPECT_EQ(overlay_adds(), shown + 1);
    // While more feeds are coming, what one changes (here its failure, counted on the status line)
    // waits for the background interval.
    s.browser.local_list = LOCAL_FEED;
    DownloadRequest more;
    more.url = "https://www.youtube.com/feeds/videos.xml?channel_id=UC";
    more.on_done = feed_done;
    request_queue_push(s.pools.request_queue, more); // at the head, ahead of start-up's requests
    const HttpStatus *failure = &http_status_lookup(HTTP_UNREACHABLE);
    now += FRAME_INTERVAL_MS;
    feed_done(HTTP_CLASS_INTERNAL, nullptr, &s.client, failure);
    EXPECT_STREQ(widget_get_text(s.browser.widgets.status_label), "loading feed... (1 items left, 1 failed)");
    window_frame_step(s);
    now += FRAME_INTERVAL_MS;
    window_frame_step(s);
    EXPECT_EQ(overlay_adds(), shown + 1);
    now += BACKGROUND_INTERVAL_MS - 2 * FRAME_INTERVAL_MS;
    window_frame_step(s);
    EXPECT_EQ(overlay_adds(), shown + 2);
    // The last one goes out at once.
    delete s.pools.request_queue.take(s.pools.request_queue.first());
    feed_done(HTTP_CLASS_INTERNAL, nullptr, &s.client, failure);
    EXPECT_STREQ(widget_get_text(s.browser.widgets.status_label),
                 "done; feeds failed: 2 (last: loading the feed failed (no response))");
    window_frame_step(s);
    EXPECT_EQ(overlay_adds(), shown + 3);
    clock_override(nullptr);
}
