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

Event message(std::vector<std::string> args) { return {MPV_EVENT_CLIENT_MESSAGE, std::move(args)}; }
Event simple(mpv_event_id id) { return {id}; }
Event flag(const char *name, int value) {
    Event e{MPV_EVENT_PROPERTY_CHANGE};
    e.property = name;
    e.flag = value;
    return e;
}
Event end_file(mpv_end_file_reason reason) {
    Event e{MPV_EVENT_END_FILE};
    e.end_reason = reason;
    return e;
}
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
    void start(AppState &state, const char *config = nullptr) {
        if (config) std::ofstream(dir / "solvane.json") << config;
        testing::internal::CaptureStderr(); // start-up log lines are not checked here
        app_start(state, fakehost::handle());
        testing::internal::GetCapturedStderr();
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

} // namespace

// Start-up defines both sections (F12 toggles) and publishes hidden; F12 and the show and hide
// messages switch the interface, and a key message of the wrong shape switches nothing.
TEST_F(MainLoop, start_up_then_toggle_show_and_hide) {
    AppState s;
    start(s);
    EXPECT_EQ(s.history_file, dir.string() + "/history.json");
    const auto &c = fakehost::commands();
    ASSERT_GE(c.size(), 7u);
    EXPECT_EQ(c[0], (Command{"expand-path", "~~/solvane"}));
    EXPECT_EQ((std::vector<Command>{c.begin() + 1, c.begin() + 3}),
              (std::vector<Command>{{"observe", "osd-dimensions"}, {"observe", "mouse-pos"}}));
    EXPECT_EQ((Command{c[3].begin(), c[3].begin() + 2}),
              (Command{"define-section", "solfb-section"}));
    EXPECT_EQ((std::vector<Command>{c.begin() + 4, c.begin() + 7}),
              (std::vector<Command>{
                  {"define-section", "solfb-toggle-section", "F12 script-message solfb-toggle\n"},
                  {"enable-section", "solfb-toggle-section", "allow-hide-cursor+allow-vo-dragging"},
                  REMOVE}));
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
    for (const char *m : {"solfb-show", "solfb-hide", "solfb-show"})
        fakehost::push_event(message({m}));
    main_loop_pass(s);
    EXPECT_TRUE(s.window.visible);
    EXPECT_EQ(count(SHOW), 3u);
}

TEST(window, section_binds_the_keys_the_host_has) {
    std::string all = section_text();
    EXPECT_EQ(all.rfind("\nMOUSE_MOVE ignore\nMBTN_LEFT_DBL ignore\nANY_UNICODE script-binding "
                        "solfb-textinput\nBS script-binding solfb-keys\n", 0), 0u);
    for (const char *line : {"\nESC script-message solfb-toggle\n",
                             "\nF12 script-message solfb-toggle\n",
                             "\nCtrl+ESC script-binding solfb-keys\n", "\nKP_DIVIDE script-binding"})
        EXPECT_NE(all.find(line), std::string::npos) << line;
    EXPECT_TRUE(all.ends_with("\nCtrl+/ script-binding solfb-keys"));

    // A host that lacks some named keys gets no lines for them (and no warnings at start-up);
    // single characters are always bound.
    std::string older = section_text("ENTER,ESC,F12,KP_ADD,MBTN_LEFT");
    for (const char *line : {"\nKP_ADD script-binding solfb-keys\n", "\nz script-binding solfb-keys\n",
                             "\nCtrl+\\ script-binding solfb-keys\n"})
        EXPECT_NE(older.find(line), std::string::npos) << line;
    EXPECT_EQ(older.find("KP_DIVIDE"), std::string::npos);
    EXPECT_EQ(older.find("\nBS "), std::string::npos);
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

// At shutdown the pass in progress finishes its drain (a hook is still continued), the state file
// is written only with save_state, and the next start restores what it holds.
TEST_F(MainLoop, shutdown_finishes_the_drain_and_saves_the_state) {
    for (bool save : {false, true}) {
        SCOPED_TRACE(save);
        AppState s;
        start(s, save ? R"({"save_state": true})" : R"({"save_state": false})");
        s.current_query = "q";
        s.current_video_id = "xyz";
        Event hook = simple(MPV_EVENT_HOOK);
        hook.hook_id = 77;
        fakehost::push_event(simple(MPV_EVENT_SHUTDOWN));
        fakehost::push_event(message({"solfb-show"}));
        fakehost::push_event(hook);
        main_loop_run(s);
        EXPECT_TRUE(s.window.visible);
        EXPECT_EQ(fakehost::continued_hooks(), std::vector<uint64_t>{77});
        EXPECT_EQ(fs::exists(dir / "solvane_state.json"), save);
        reset();
    }
    EXPECT_EQ(read(dir / "solvane_state.json"),
              "{\n  \"query\": \"q\",\n  \"video_id\": \"xyz\",\n  \"reserved\": 0\n}\n");
    AppState s;
    start(s);
    EXPECT_TRUE(s.restore_pending);
    EXPECT_EQ(s.current_query, std::optional<std::string>("q"));
    EXPECT_EQ(s.restored_video_id, std::optional<std::string>("xyz"));
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
    std::vector<int> seen;
    for (int i = 0; i < 2 * resident + 2; ++i) {
        main_loop_pass(s);
        seen.push_back(runs);
    }
    EXPECT_EQ(seen, (std::vector<int>{0, 0, 1, 2, 2, 2}));
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
