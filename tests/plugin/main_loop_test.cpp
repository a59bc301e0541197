#include "plugin/main_loop.h"
#include "plugin/window.h"
#include "support/fake_mpv.h"

#include "base/defer.h"
#include "base/host.h"
#include "base/runtime.h"
#include "browser/browser.h"
#include "toolkit/input.h"

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

// Start-up queues requests to the service: send every host to a closed loopback port, so no
// test reaches the network.
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
std::string read(const fs::path &path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const Command SHOW = {"enable-section", "solfb-section", "exclusive+allow-hide-cursor"};
const Command HIDE = {"disable-section", "solfb-section"};
const Command REMOVE = {"overlay-remove", "45"};

class MainLoop : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/solvane-loop-XXXXXX";
        dir = mkdtemp(tmpl);
        reset();
    }
    void TearDown() override {
        clock_override(nullptr);
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
    // Property changes as the host sends them: "w=64,h=48" for "osd-dimensions", "x=5,y=6"
    // for "mouse-pos".
    static void change(AppState &s, void (*to)(AppState &, const mpv_node *), const char *map) {
        mpv_node node = fakehost::int_map(map);
        to(s, &node);
        mpv_free_node_contents(&node);
    }
    fs::path dir;
};

// A clock the tests move by hand.
uint32_t fake_now = 0;
uint32_t fake_clock() { return fake_now; }

// Whether the overlay buffer holds exactly what is drawn on the root surface.
bool overlay_matches_root(const AppState &s) {
    const Surface *root = toolkit_root_surface();
    for (int32_t y = 0; y < root->height; ++y)
        if (std::memcmp(s.window.buffer.data() + size_t(y) * s.window.buffer_stride,
                        root->pixels + size_t(y) * root->stride, size_t(root->width) * 4) != 0)
            return false;
    return true;
}

ResponseBuffer response(const std::string &body) {
    ResponseBuffer r;
    r.data.reset(static_cast<char *>(std::malloc(body.size() + 1)));
    std::memcpy(r.data.get(), body.data(), body.size());
    r.position = r.size = body.size();
    r.capacity = body.size() + 1;
    return r;
}

} // namespace

// F12 and the show and hide messages switch the interface; a key message of the wrong shape
// switches nothing. At shutdown the pass in progress finishes its drain (a show and a hook after
// it are still handled); the next pass leaves the loop.
TEST_F(MainLoop, toggle_show_hide_and_shutdown) {
    AppState s;
    start(s);
    EXPECT_FALSE(s.window.visible);
    fakehost::push_event(message({"key-binding", "solfb-keys", "d-", "ENTER"})); // no key
    fakehost::push_event(message({"solfb-toggle"}));
    ASSERT_TRUE(main_loop_pass(s));
    EXPECT_TRUE(s.window.visible);
    EXPECT_EQ(count(SHOW), 1u);
    fakehost::push_event(message({"solfb-toggle"}));
    main_loop_pass(s);
    EXPECT_FALSE(s.window.visible);
    EXPECT_EQ(count(HIDE), 1u);
    EXPECT_EQ(count(REMOVE), 2u); // one at set-up, one on hide
    for (const char *m : {"solfb-show", "solfb-hide", "solfb-show", "solfb-hide"})
        fakehost::push_event(message({m}));
    main_loop_pass(s);
    EXPECT_FALSE(s.window.visible);
    EXPECT_EQ(count(SHOW), 3u);

    Event hook = simple(MPV_EVENT_HOOK);
    hook.hook_id = 77;
    for (const Event &e : {simple(MPV_EVENT_SHUTDOWN), message({"solfb-show"}), hook})
        fakehost::push_event(e);
    EXPECT_TRUE(main_loop_pass(s));
    EXPECT_TRUE(s.window.visible);
    EXPECT_EQ(fakehost::continued_hooks(), std::vector<uint64_t>{77});
    EXPECT_FALSE(main_loop_pass(s));
}

// A host that lacks some named keys gets no lines for them (and no warnings at start-up);
// single characters are always bound.
TEST(window, section_binds_only_the_keys_the_host_has) {
    std::string older = section_text("ENTER,ESC,F12,KP_ADD,MBTN_LEFT");
    for (const char *line : {"\nKP_ADD script-binding solfb-keys\n", "\nz script-binding solfb-keys\n",
                             "\nCtrl+\\ script-binding solfb-keys\n"})
        EXPECT_NE(older.find(line), std::string::npos) << line;
    EXPECT_EQ(older.find("KP_DIVIDE"), std::string::npos);
    EXPECT_EQ(older.find("\nBS "), std::string::npos);
    EXPECT_NE(section_text().find("\nKP_DIVIDE script-binding solfb-keys\n"), std::string::npos);
}

// Files the configuration names that cannot be used: the plug-in starts on its built-in font,
// theme and layout, says why, and shows its interface.
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

// A video started from the shown browser hides it; when the player has nothing more to play the
// browser shows again (show_after_playback), but not after a file that another follows.
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

// The download pump and the autoplay timer are queued at start-up and re-queue themselves: new
// tasks take their turn after them, one call per pass. The allocator's free memory is handed
// back once when the downloads drain (the visitor-data request fails on its closed port), not on
// every pass.
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

// What reaches the host: changes drawn within one frame interval go out in one "overlay-add";
// thumbnails arriving while others download wait for each other; a redraw that changes no pixel
// sends nothing; a change after a quiet spell goes out at once.
TEST_F(MainLoop, publishes_once_per_frame_and_only_what_changed) {
    fake_now = 5000;
    clock_override(fake_clock);
    AppState s;
    start(s);
    fakehost::push_event(message({"solfb-show"}));
    main_loop_pass(s);
    ASSERT_EQ(overlay_adds(), 1u); // showing goes out at once

    // The rows of a search page, drawn 5 ms after the last publish, wait for the frame's end.
    fake_now += 5;
    std::string page =
        read(std::string(SOLVANE_FIXTURES) + "/search/search_web_2026-01_all_test_first.json");
    ASSERT_FALSE(page.empty());
    ResponseBuffer listing = response(page);
    list_completion(s, 0, &listing, LIST_SEARCH, false);
    window_frame_step(s);
    EXPECT_EQ(overlay_adds(), 1u);
    fake_now += FRAME_INTERVAL_MS - 5;
    window_frame_step(s);
    EXPECT_EQ(overlay_adds(), 2u);
    EXPECT_TRUE(overlay_matches_root(s));

    // The page's thumbnails (one per row, shelves included) arrive within one frame, long after
    // the last publish: while others are still to come nothing goes out; the last one publishes
    // them all.
    ASSERT_GE(s.pools.image_queue.size(), 20u);
    const std::string icon = read(std::string(SOLVANE_SOURCE_DIR) + "/assets/icons/icon_play.png");
    fake_now += 500;
    for (int i = 0; !s.pools.image_queue.empty(); ++i) {
        SCOPED_TRACE(i);
        DownloadSlot slot; // what the pool took from the queue
        std::unique_ptr<DownloadRequest> taken(s.pools.image_queue.take(s.pools.image_queue.first()));
        slot.request.url = *taken->url;
        slot.request.tag = IMAGE_THUMB;
        ResponseBuffer r = response(icon);
        image_completion(0, &r, &s, &slot);
        window_frame_step(s);
        EXPECT_EQ(overlay_adds(), s.pools.image_queue.empty() ? 3u : 2u);
        if (i + 1 < int(FRAME_INTERVAL_MS)) fake_now += 1;
    }
    EXPECT_TRUE(overlay_matches_root(s));

    // The list drawn again, the same pixels: nothing is sent.
    fake_now += 100;
    widget_redraw_publish(s.browser.widgets.list_table);
    ASSERT_TRUE(toolkit_publish_pending());
    window_frame_step(s);
    EXPECT_EQ(overlay_adds(), 3u);
    EXPECT_FALSE(toolkit_publish_pending());

    // A visible change after a quiet spell is not held back.
    status_set(s, "changed");
    window_frame_step(s);
    EXPECT_EQ(overlay_adds(), 4u);
}

// A new size replaces the buffer and the root surface once and announces them; a repeated size,
// a zero width or one no display has changes nothing.
TEST_F(MainLoop, resize_replaces_the_buffer_once) {
    AppState s;
    start(s);
    s.window.visible = true;
    change(s, window_resize, "w=640,h=480,mt=0");
    EXPECT_EQ(s.window.buffer.size(), 640u * 480u * 4u);
    EXPECT_EQ(toolkit_root_surface()->width, 640);
    ASSERT_EQ(overlay_adds(), 1u);
    EXPECT_EQ(fakehost::commands().back().back(), "stride=2560");
    const uint8_t *before = s.window.buffer.data();
    change(s, window_resize, "w=640,h=480");   // the same size: nothing new or sent
    change(s, window_resize, "w=0,h=480");     // ignored
    change(s, window_resize, "w=99999,h=480"); // no display is that large
    EXPECT_EQ(s.window.buffer.data(), before);
    EXPECT_EQ(s.window.buffer_width, 640);
    EXPECT_EQ(overlay_adds(), 1u);
}

// Hidden, a publish copies nothing and removes the overlay; shown, only the dirty rectangle is
// copied, and showing republishes the whole surface once.
TEST_F(MainLoop, publish_copies_the_dirty_rectangle_while_shown) {
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
    size_t before = overlay_adds();
    window_frame_step(s);
    window_frame_step(s); // nothing changed: nothing sent
    EXPECT_EQ(overlay_adds(), before + 1);
    EXPECT_TRUE(overlay_matches_root(s));
}

TEST_F(MainLoop, pointer_moves_only_while_visible_and_coalesce) {
    AppState s;
    start(s);
    change(s, window_pointer, "x=5,y=6");
    EXPECT_EQ(s.window.pointer_x, 5);
    EXPECT_EQ(s.window.frame_flags & FRAME_POINTER, 0u);
    s.window.visible = true;
    change(s, window_pointer, "x=5,y=6");
    change(s, window_pointer, "x=7"); // a missing y counts 0
    EXPECT_EQ(s.window.frame_flags & FRAME_POINTER, FRAME_POINTER);
    EXPECT_EQ(s.window.pending_x, 7);
    EXPECT_EQ(s.window.pending_y, 0);
    window_frame_step(s);
    EXPECT_EQ(s.window.frame_flags, 0u);
}
