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
const bool routed = [] {
    setenv("SOLVANE_RESOLVE",
           "www.youtube.com:443:127.0.0.1:9,i.ytimg.com:443:127.0.0.1:9,"
           "sponsor.ajay.app:443:127.0.0.1:9",
           1);
    return true;
}();

class MainLoop : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/solvane-loop-XXXXXX";
        dir = mkdtemp(tmpl);
        fakehost::reset();
        fakehost::set_expand_path(dir.string());
        defer_queue_destroy();
    }
    void TearDown() override {
        clock_override(nullptr);
        toolkit_globals_destroy();
        defer_queue_destroy();
        host_set(nullptr);
    }
    void start(AppState &state, const char *config = nullptr) {
        if (config) std::ofstream(dir / "solvane.json") << config;
        testing::internal::CaptureStderr(); // start-up log lines are not checked here
        app_start(state, fakehost::handle());
        testing::internal::GetCapturedStderr();
    }
    static Event message(std::vector<std::string> args) {
        Event e{};
        e.id = MPV_EVENT_CLIENT_MESSAGE;
        e.args = std::move(args);
        return e;
    }
    static Event simple(mpv_event_id id) {
        Event e{};
        e.id = id;
        return e;
    }
    static size_t count(const Command &c) {
        const auto &all = fakehost::commands();
        return static_cast<size_t>(std::count(all.begin(), all.end(), c));
    }
    fs::path dir;
};

// A clock the tests move by hand.
uint32_t fake_now = 0;
uint32_t fake_clock() { return fake_now; }

size_t overlay_adds() {
    const auto &c = fakehost::commands();
    return static_cast<size_t>(std::count_if(c.begin(), c.end(), [](const Command &x) {
        return !x.empty() && x[0] == "name=overlay-add";
    }));
}

// Whether the overlay buffer holds exactly what is drawn on the root surface.
bool overlay_matches_root(const AppState &s) {
    const Surface *root = toolkit_root_surface();
    const HostWindow &w = s.window;
    for (int32_t y = 0; y < root->height; ++y)
        if (std::memcmp(w.buffer.data() + size_t(y) * w.buffer_stride,
                        root->pixels + size_t(y) * root->stride, size_t(root->width) * 4) != 0)
            return false;
    return true;
}

// An uncompressed 32-bit BMP of one colour, as the image host could send it.
std::string bmp(int32_t width, int32_t height, uint32_t bgra) {
    std::string out = "BM";
    auto put = [&out](uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) out.push_back(char((value >> (8 * i)) & 0xFF));
    };
    uint32_t pixels = uint32_t(width * height * 4);
    const std::pair<uint32_t, int> header[] = {
        {54 + pixels, 4}, {0, 4}, {54, 4}, {40, 4}, {uint32_t(width), 4}, {uint32_t(height), 4},
        {1, 2}, {32, 2}, {0, 4}, {pixels, 4}, {2835, 4}, {2835, 4}, {0, 4}, {0, 4}};
    for (auto [value, bytes] : header) put(value, bytes);
    for (int32_t i = 0; i < width * height; ++i) put(bgra | 0xFF000000u, 4);
    return out;
}

ResponseBuffer response(const std::string &body) {
    ResponseBuffer r;
    r.data.reset(static_cast<char *>(std::malloc(body.size() + 1)));
    std::memcpy(r.data.get(), body.data(), body.size());
    r.position = r.size = body.size();
    r.capacity = body.size() + 1;
    return r;
}

const Command SHOW = {"enable-section", "solfb-section", "exclusive+allow-hide-cursor"};
const Command HIDE = {"disable-section", "solfb-section"};
const Command REMOVE = {"overlay-remove", "45"};

} // namespace

TEST_F(MainLoop, start_up_defines_the_sections_in_order) {
    AppState s;
    start(s);
    EXPECT_EQ(s.config_dir, dir.string());
    EXPECT_EQ(s.config_file, dir.string() + "/solvane.json");
    EXPECT_EQ(s.history_file, dir.string() + "/history.json");
    const auto &c = fakehost::commands();
    ASSERT_GE(c.size(), 7u);
    EXPECT_EQ(c[0], (Command{"expand-path", "~~/solvane"}));
    EXPECT_EQ(c[1], (Command{"observe", "osd-dimensions"}));
    EXPECT_EQ(c[2], (Command{"observe", "mouse-pos"}));
    EXPECT_EQ(c[3][0], "define-section");
    EXPECT_EQ(c[3][1], "solfb-section");
    EXPECT_EQ(c[4], (Command{"define-section", "solfb-toggle-section", "F12 script-message solfb-toggle\n"}));
    EXPECT_EQ(c[5], (Command{"enable-section", "solfb-toggle-section", "allow-hide-cursor+allow-vo-dragging"}));
    EXPECT_EQ(c[6], REMOVE); // the first publish while hidden
    EXPECT_TRUE(s.window.created);
    EXPECT_FALSE(s.window.visible);
}

TEST(window, section_text_lines) {
    std::string t = section_text();
    ASSERT_EQ(t[0], '\n');
    EXPECT_NE(t.back(), '\n');
    size_t lines = std::count(t.begin(), t.end(), '\n');
    EXPECT_EQ(lines, 273u); // one leading newline, then 273 lines joined by 272
    EXPECT_EQ(t.rfind("\nMOUSE_MOVE ignore\nMBTN_LEFT_DBL ignore\nANY_UNICODE script-binding solfb-textinput\nBS script-binding solfb-keys\n", 0), 0u);
    EXPECT_NE(t.find("\nESC script-message solfb-toggle\n"), std::string::npos);
    EXPECT_NE(t.find("\nF12 script-message solfb-toggle\n"), std::string::npos);
    EXPECT_NE(t.find("\nCtrl+ESC script-binding solfb-keys\n"), std::string::npos);
    EXPECT_NE(t.find("\nz script-binding solfb-keys\n"), std::string::npos);
    EXPECT_TRUE(t.ends_with("\nCtrl+/ script-binding solfb-keys"));

    // A host that lacks some named keys gets no lines for them (and no warnings at start-up);
    // single characters are always bound.
    std::string older = section_text("ENTER,ESC,F12,KP_ADD,MBTN_LEFT");
    EXPECT_NE(older.find("\nKP_ADD script-binding solfb-keys\n"), std::string::npos);
    EXPECT_NE(older.find("\nCtrl+ESC script-binding solfb-keys\n"), std::string::npos);
    EXPECT_EQ(older.find("KP_DIVIDE"), std::string::npos);
    EXPECT_EQ(older.find("\nBS "), std::string::npos);
    EXPECT_NE(older.find("\nz script-binding solfb-keys\n"), std::string::npos);
    EXPECT_NE(older.find("\nCtrl+\\ script-binding solfb-keys\n"), std::string::npos);
    EXPECT_EQ(std::count(older.begin(), older.end(), '\n'), 3 + 2 * (5 + 10 + 26 + 26 + 11));
}

TEST_F(MainLoop, toggle_show_hide) {
    AppState s;
    start(s);
    fakehost::push_event(message({"solfb-toggle"}));
    ASSERT_TRUE(main_loop_pass(s));
    EXPECT_TRUE(s.window.visible);
    EXPECT_EQ(count(SHOW), 1u);
    fakehost::push_event(message({"solfb-toggle"}));
    main_loop_pass(s);
    EXPECT_FALSE(s.window.visible);
    EXPECT_EQ(count(HIDE), 1u);
    EXPECT_EQ(count(REMOVE), 2u); // one at set-up, one on hide
    fakehost::push_event(message({"solfb-show"}));
    fakehost::push_event(message({"solfb-hide"}));
    fakehost::push_event(message({"solfb-show"}));
    main_loop_pass(s);
    EXPECT_TRUE(s.window.visible);
    EXPECT_EQ(count(SHOW), 3u);
}

// A video started from the shown browser hides it; when the player has nothing more to play the
// browser shows again (show_after_playback), but not after a file that another follows.
TEST_F(MainLoop, the_interface_shows_again_when_playing_ends) {
    auto flag = [](const char *name, int value) {
        Event e{};
        e.id = MPV_EVENT_PROPERTY_CHANGE;
        e.property = name;
        e.flag = value;
        return e;
    };
    auto end_file = [](mpv_end_file_reason reason) {
        Event e{};
        e.id = MPV_EVENT_END_FILE;
        e.end_reason = reason;
        return e;
    };
    struct Case {
        const char *what;
        const char *config;
        bool shown_at_launch;
        std::vector<Event> ending;
        bool shown_after;
    } cases[] = {
        {"idle", "{}", true, {flag("idle-active", 0), flag("idle-active", 1)}, true},
        {"held at the end (keep-open)", "{}", true, {flag("eof-reached", 1)}, true},
        {"failed to play", "{}", true, {end_file(MPV_END_FILE_REASON_ERROR)}, true},
        {"one file ended, the next plays",
         "{}",
         true,
         {end_file(MPV_END_FILE_REASON_EOF), flag("eof-reached", 0)},
         false},
        {"switched off", "{\"show_after_playback\": false}", true, {flag("idle-active", 1)}, false},
        {"hidden when it started", "{}", false, {flag("idle-active", 1)}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fakehost::reset();
        fakehost::set_expand_path(dir.string());
        defer_queue_destroy();
        auto s = std::make_unique<AppState>();
        start(*s, c.config);
        if (c.shown_at_launch) fakehost::push_event(message({"solfb-show"}));
        main_loop_pass(*s);
        s->client.current_video.id = "jNQXAC9IVRw"; // no streams: the watch page for ytdl
        s->client.hooks.launch(s->client.hooks.context, false, nullptr);
        fakehost::push_event(message({"solfb-hide"})); // what the launch sends
        main_loop_pass(*s);
        ASSERT_FALSE(s->window.visible);
        for (const Event &e : c.ending)
            fakehost::push_event(e);
        main_loop_pass(*s);
        EXPECT_EQ(s->window.visible, c.shown_after);
        toolkit_globals_destroy();
    }
}

TEST_F(MainLoop, short_key_binding_message_is_matched_by_name) {
    AppState s;
    start(s);
    // Four arguments: not a key, but not one of the names either.
    fakehost::push_event(message({"key-binding", "solfb-keys", "d-", "ENTER"}));
    main_loop_pass(s);
    EXPECT_FALSE(s.window.visible);
    EXPECT_EQ(count(SHOW), 0u);
}

TEST_F(MainLoop, shutdown_with_other_events_finishes_the_drain) {
    AppState s;
    start(s);
    Event hook = simple(MPV_EVENT_HOOK);
    hook.hook_id = 77;
    fakehost::push_event(simple(MPV_EVENT_SHUTDOWN));
    fakehost::push_event(message({"solfb-show"}));
    fakehost::push_event(hook);
    EXPECT_TRUE(main_loop_pass(s)); // the pass in progress finishes its drain
    EXPECT_TRUE(s.window.quit);
    EXPECT_TRUE(s.window.visible);
    EXPECT_EQ(fakehost::continued_hooks(), std::vector<uint64_t>{77});
    EXPECT_FALSE(main_loop_pass(s)); // the next pass leaves the loop
}

TEST_F(MainLoop, one_deferred_call_per_pass_in_queue_order) {
    AppState s;
    start(s);
    // The download pump and the autoplay timer are queued at start-up and re-queue themselves:
    // new tasks take their turn after them, one call per pass.
    const int resident = defer_pending();
    ASSERT_EQ(resident, 2);
    int runs = 0;
    auto task = [](void *a) { ++*static_cast<int *>(a); };
    defer_call(task, &runs);
    defer_call(task, &runs);
    for (int i = 0; i < resident; ++i) main_loop_pass(s);
    EXPECT_EQ(runs, 0);
    main_loop_pass(s); // the first task
    EXPECT_EQ(runs, 1);
    main_loop_pass(s); // the second task
    EXPECT_EQ(runs, 2);
    for (int i = 0; i < resident; ++i) main_loop_pass(s); // the resident tasks again
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(defer_pending(), resident);
}

// The allocator's free memory is handed back once when the downloads drain, not on every pass.
TEST_F(MainLoop, memory_trimmed_once_when_downloads_drain) {
    AppState s;
    start(s); // queues the visitor-data request; its host is routed to a closed port
    ASSERT_FALSE(s.pools.request_queue.empty());
    s.pools.quiet_wait_ms = 0; // idle passes at the 10 ms pace keep the test short
    for (int pass = 0; pass < 50 && s.memory_trims == 0; ++pass) main_loop_pass(s);
    EXPECT_FALSE(s.downloads_busy);
    EXPECT_EQ(s.memory_trims, 1u);
    for (int pass = 0; pass < 10; ++pass) main_loop_pass(s);
    EXPECT_EQ(s.memory_trims, 1u);
}

TEST_F(MainLoop, state_file_written_at_shutdown_only_with_save_state) {
    {
        AppState s;
        start(s, R"({"save_state": false})");
        s.current_query = "q";
        fakehost::push_event(simple(MPV_EVENT_SHUTDOWN));
        main_loop_run(s);
        EXPECT_FALSE(fs::exists(dir / "solvane_state.json"));
        // The queued pump points into this record: drop the queue before the record goes.
        defer_queue_destroy();
        toolkit_globals_destroy();
    }
    {
        AppState s;
        start(s, R"({"save_state": true})");
        s.current_query = "q";
        fakehost::push_event(simple(MPV_EVENT_SHUTDOWN));
        main_loop_run(s);
        std::ifstream in(dir / "solvane_state.json");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(text, "{\n  \"query\": \"q\",\n  \"reserved\": 0\n}\n");
    }
}

TEST_F(MainLoop, saved_state_is_restored_at_start) {
    std::ofstream(dir / "solvane_state.json") << "{\n  \"query\": \"cats\",\n  \"video_id\": \"xyz\",\n  \"reserved\": 0\n}\n";
    AppState s;
    start(s, R"({"save_state": true})");
    EXPECT_TRUE(s.restore_pending);
    EXPECT_EQ(s.current_query, std::optional<std::string>("cats"));
    EXPECT_EQ(s.restored_video_id, std::optional<std::string>("xyz"));
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
    std::ifstream file(std::string(SOLVANE_FIXTURES) + "/search/search_web_2026-01_all_test_first.json");
    std::string page((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
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
    std::vector<std::string> urls;
    for (DownloadRequest *r : s.pools.image_queue) urls.push_back(*r->url);
    ASSERT_GE(urls.size(), 20u);
    auto arrive = [&](const std::string &url, uint32_t colour) {
        delete s.pools.image_queue.take(s.pools.image_queue.first()); // the pool took it
        DownloadSlot slot;
        slot.request.url = url;
        slot.request.tag = IMAGE_THUMB;
        ResponseBuffer r = response(bmp(32, 18, colour));
        image_completion(0, &r, &s, &slot);
    };
    fake_now += 500;
    for (size_t i = 0; i < urls.size(); ++i) {
        SCOPED_TRACE(i);
        arrive(urls[i], 0x102030u * uint32_t(i + 1));
        window_frame_step(s);
        EXPECT_EQ(overlay_adds(), i + 1 < urls.size() ? 2u : 3u);
        if (i + 1 < FRAME_INTERVAL_MS) fake_now += 1;
    }
    EXPECT_TRUE(overlay_matches_root(s));

    // One image arriving while more are queued waits one frame interval for company.
    fake_now += 500;
    frames_queue(s, "abcdefghijk");
    ASSERT_EQ(s.pools.image_queue.size(), 3u);
    arrive(urls[0], 0xFFFFFFu);
    window_frame_step(s);
    fake_now += FRAME_INTERVAL_MS - 1;
    window_frame_step(s);
    EXPECT_EQ(overlay_adds(), 3u);
    fake_now += 1;
    window_frame_step(s);
    EXPECT_EQ(overlay_adds(), 4u);
    EXPECT_TRUE(overlay_matches_root(s));

    // The list drawn again, the same pixels: nothing is sent.
    fake_now += 100;
    widget_redraw_publish(s.browser.widgets.list_table);
    ASSERT_TRUE(toolkit_publish_pending());
    window_frame_step(s);
    EXPECT_EQ(overlay_adds(), 4u);
    EXPECT_FALSE(toolkit_publish_pending());

    // A visible change after a quiet spell is not held back.
    status_set(s, "changed");
    window_frame_step(s);
    EXPECT_EQ(overlay_adds(), 5u);
}
