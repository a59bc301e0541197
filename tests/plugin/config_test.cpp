#include "plugin/config.h"
#include "plugin/interface.h"
#include "plugin/main_loop.h"
#include "support/fake_mpv.h"

#include "base/defer.h"
#include "base/host.h"
#include "toolkit/input.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Log lines without their "[seconds] " prefix.
std::string untimed(const std::string &text) {
    return std::regex_replace(text, std::regex(R"((^|\n)\[\d+\] )"), "$1");
}

// The application record holds the download pools, so it lives on the heap here.
std::unique_ptr<AppState> configured(const std::string &json, std::string *printed = nullptr) {
    auto s = std::make_unique<AppState>();
    set_paths(*s, "/cfg");
    testing::internal::CaptureStderr();
    config_apply(*s, json.c_str());
    std::string out = testing::internal::GetCapturedStderr();
    if (printed) *printed = untimed(out);
    return s;
}

} // namespace

TEST(config, settings_are_read_clamped_and_joined_to_the_directory) {
    std::string printed;
    auto s = configured(R"({"save_state":true, "feed_use_rss":false,"player_path":"/usr/bin/mpv",
        "video_format":"720p","sub_language":"de","sponsorblock_params":"&category=sponsor",
        "theme":"dark","max_feed_age":"1 week","save_path":"C:/videos","font":"fonts/a.ttf",
        "mascot":"/abs/m.png","layout_bundle_path":"layout.json"})",
                        &printed);
    EXPECT_TRUE(s->switches.save_state);
    EXPECT_FALSE(s->switches.feed_use_rss);
    EXPECT_EQ(s->player_path, "/usr/bin/mpv");
    EXPECT_EQ(s->theme_name, std::optional<std::string>("dark"));
    EXPECT_EQ(s->sponsorblock_params, "&category=sponsor");
    EXPECT_EQ(s->max_feed_age, "1 week");
    EXPECT_EQ(printed, "player path: /usr/bin/mpv\nvideo format: 720p\nsub language: de\n"
                       "using default extractor (vos_hls)\n");
    EXPECT_EQ(s->save_path, "C:/videos");
    EXPECT_EQ(s->font_path, std::optional<std::string>("/cfg/fonts/a.ttf"));
    EXPECT_EQ(s->mascot_path, std::optional<std::string>("/abs/m.png"));
    EXPECT_EQ(s->layout_bundle_path, std::optional<std::string>("/cfg/layout.json"));
    EXPECT_EQ(configured(R"({"save_path":"videos"})")->save_path, "/cfg/videos");

    struct Case {
        const char *json;
        double scale;
        int width;
    } cases[] = {{"{}", 1.0, 960},   {R"({"scale":0.5})", 1.0, 960}, {R"({"scale":7})", 4.0, 3840},
                 {R"({"scale":"2"})", 1.0, 960}, {R"({"scale":1.5})", 1.5, 1440},
                 {R"({"scale":true})", 1.0, 960}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.json);
        auto t = configured(c.json);
        EXPECT_DOUBLE_EQ(t->scale, c.scale);
        EXPECT_EQ(t->gui_width, c.width);
    }
}

TEST(config, extractor_table) {
    struct Case {
        const char *value;
        int code;
        bool hls, names, ytdl;
        const char *line;
    } cases[] = {
        {"\"android\"", 9, false, false, false, "using android extractor\n"},
        {"\"ios_hls\"", 15, true, false, false, "using ios hls extractor\n"},
        {"\"vos\"", 18, false, false, false, "using vos extractor\n"},
        {"\"web_hls\"", 5, true, true, false, "using web hls extractor\n"},
        {"\"web_hls_embedded\"", 8, true, true, false, "using web hls embedded extractor\n"},
        {"\"android_vr\"", 17, false, true, false, "using android_vr extractor\n"},
        {"\"ytdl\"", 15, false, false, true, "using ytdl fallback\n"},
        {"\"foo\"", 15, false, false, false, ""},
        {"42", 18, true, false, false,
         "WARNING: configuration: extractor: 42 is not a text in double quotes; using the "
         "default extractor\nusing default extractor (vos_hls)\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        std::string printed;
        auto s = configured(std::string("{\"extractor\":") + c.value + "}", &printed);
        EXPECT_EQ(s->client_code, c.code);
        EXPECT_EQ(s->use_hls, c.hls);
        EXPECT_EQ(s->hls_quality_names, c.names);
        EXPECT_EQ(s->ytdl_fallback, c.ytdl);
        EXPECT_EQ(printed, c.line);
    }
}

TEST(config, key_bindings_name_keys_and_modifiers) {
    auto s = configured(R"({"key_bindings":[
        {"key":"F5","mod":"CTRL+SHIFT","action":"show_feed"},
        {"key":"ENTER","action":"play_video"},
        {"key":"\\","mod":"ALT+SUPER","action":"show_history"},]})");
    ASSERT_EQ(s->key_bindings.size(), 3u);
    EXPECT_EQ(s->key_bindings[0].action, "show_feed");
    std::vector<std::pair<int, int>> keys;
    for (const auto &b : s->key_bindings) keys.emplace_back(b.key, b.modifiers);
    EXPECT_EQ(keys, (std::vector<std::pair<int, int>>{{294, 5}, {257, 0}, {92, 10}}));
    EXPECT_EQ(config_key_code(" "), 32);
    EXPECT_EQ(config_key_code("F12"), 301);
    EXPECT_EQ(config_key_code("PAGEDOWN"), 267);
    EXPECT_EQ(config_key_code("z"), -1);
    EXPECT_EQ(config_key_code("escape"), -1);
}

TEST(state_file, queries_survive_the_round_trip_and_the_window_position_is_bounded) {
    for (const char *q : {"plain", "say \"hi\"", "back\\slash", "ends with \\", "tab\there",
                          "caf\xC3\xA9", "{\"json\": [1]}"}) {
        SCOPED_TRACE(q);
        AppState s, r;
        s.switches.save_state = r.switches.save_state = true;
        s.current_query = q;
        s.restored_video_id = "old"; // kept until a video replaces it
        state_apply(r, state_text(s).c_str());
        EXPECT_TRUE(r.restore_pending);
        EXPECT_EQ(r.current_query, std::optional<std::string>(q));
        EXPECT_EQ(r.restored_video_id, std::optional<std::string>("old"));
    }
    AppState empty;
    empty.switches.save_state = true;
    EXPECT_EQ(state_text(empty), "{\n  \"reserved\": 0\n}\n");
    AppState both;
    both.switches.save_state = true;
    both.restored_video_id = "old";
    both.current_video_id = "new";
    EXPECT_NE(state_text(both).find("\"video_id\": \"new\""), std::string::npos);

    struct Case {
        const char *json;
        bool save;
        int x, y, width, height;
    } cases[] = {
        {R"({"window_position": [10, 20, 50, 300]})", true, 10, 20, 100, 300},
        {R"({"window_position": ["a", 5, -4, 99999999999]})", true, 0, 5, 100, 16384},
        {R"({"window_position": [10, 20, 500, 300], "query": "x"})", false, 0, 0, 960, 720},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.json);
        AppState s;
        s.switches.save_window_position = c.save;
        state_apply(s, c.json);
        EXPECT_EQ(s.restored_position, c.save);
        EXPECT_FALSE(s.restore_pending);
        EXPECT_FALSE(s.current_query);
        EXPECT_EQ((std::vector<int>{s.gui_x, s.gui_y, s.gui_width, s.gui_height}),
                  (std::vector<int>{c.x, c.y, c.width, c.height}));
    }

    // A directory that does not exist: nothing written, nothing reported, no crash.
    fakehost::reset();
    fakehost::set_expand_path("/nonexistent/solvane");
    host_set(fakehost::handle());
    write_state_file(empty);
    EXPECT_FALSE(fs::exists("/nonexistent"));
    host_set(nullptr);
}

TEST(config_malformed, syntax_errors_name_line_and_column) {
    struct Case {
        const char *text;
        bool ok;
        int line, column;
    } cases[] = {
        {"{\"a\": 0x10, \"b\": [1, 2,],}", true, 0, 0}, // hex numbers and trailing commas
        {"{\"a\": 1\n \"b\": 2}", false, 2, 2},         // a missing comma
        {"{\"a\": \"open", false, 1, 12},               // the text ends inside a string
        {"{\"a\": yes}", false, 1, 7},                  // a text without quotes
        {"{\"a\": 1} x", false, 1, 10},                 // text after the object
        {"[1]", false, 1, 1},                           // not an object
        {"", false, 1, 1},
        {"{\"a\": \"line\nbreak\"}", false, 1, 12}, // a raw line break inside a string
        {"{\"a\": 1.2.3}", false, 1, 10},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        ConfigSyntaxError e;
        EXPECT_EQ(config_syntax_check(c.text, e), c.ok);
        if (c.ok) continue;
        EXPECT_EQ(e.line, c.line);
        EXPECT_EQ(e.column, c.column);
        EXPECT_NE(e.what, nullptr);
    }
    ConfigSyntaxError e;
    EXPECT_FALSE(config_syntax_check(("{\"a\": " + std::string(100, '[')).c_str(), e));
    EXPECT_STREQ(e.what, "nested too deeply");
}

// A new user's typing errors: each is explained in one line that names what is used instead.
TEST(config_malformed, mistakes_are_explained_and_defaults_used) {
    struct Case {
        std::string config;
        std::vector<std::string> lines; // expected in the log, in order, without the time
        int font_size = 14;
        double scale = 1;
        int thumb_height = 72;
        int list_width = 360;
        size_t bindings = 0;
    } cases[] = {
        {"{\"font_size\": 20,\n \"scale\": 2 \"x\": 1}",
         {"ERROR: configuration: /cfg/solvane.json: line 2, column 13: ',' or '}' was expected; "
          "using the built-in defaults for every setting"}},
        {R"({"font_size": "16", "thumb_size": 100000, "playlist_width": 5, "scale": 9,
            "save_state": "yes", "font": 12})",
         {"WARNING: configuration: scale: 9 is out of range (1 to 4); using 4",
          "font_size: \"16\" is not a number; using 14",
          "thumb_size: 100000 is out of range (18 to 360); using 360",
          "playlist_width: 5 is out of range (120 to 2000); using 120",
          "font: 12 is not a text in double quotes; using the built-in font",
          "save_state: \"yes\" is not true or false; using false"},
         14, 4, 360, 120},
        {R"({"font_size": 400})", {"font_size: 400 is out of range (6 to 72); using 72"}, 72},
        {R"({"key_bindings": [{"key": "f5", "action": "show_feed"},
            {"key": "F5", "mod": "Ctrl", "action": "show_feed"},
            {"key": "F5", "mod": "CTRL", "action": "show_feeds"},
            {"key": "F4", "action": "show_history"}, 7]})",
         {"WARNING: configuration: key_bindings entry 1 {\"key\": \"f5\", \"action\": "
          "\"show_feed\"}: unknown key \"f5\" (keys are A-Z, 0-9, F1-F12, ENTER, ...); the "
          "entry is ignored",
          "unknown modifier \"Ctrl\" (modifiers are CTRL, ALT, SHIFT, SUPER); the entry is "
          "ignored",
          "key_bindings entry 3 {\"key\": \"F5\", \"mod\": \"CTRL\", \"action\": \"...: "
          "unknown action \"show_feeds\"; the entry is ignored",
          "key_bindings entry 5 7: not an object {\"key\": ..., \"mod\": ..., \"action\": "
          "...}; the entry is ignored"},
         14, 1, 72, 360, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.config);
        std::string printed;
        auto s = configured(c.config, &printed);
        const std::string &log = printed;
        size_t at = 0;
        for (const std::string &line : c.lines) {
            at = log.find(line + "\n", at);
            EXPECT_NE(at, std::string::npos) << line << "\nin\n" << log;
        }
        EXPECT_EQ(s->font_size, c.font_size);
        EXPECT_DOUBLE_EQ(s->scale, c.scale);
        EXPECT_EQ(s->thumb_height, c.thumb_height);
        EXPECT_EQ(s->list_width, c.list_width);
        EXPECT_EQ(s->key_bindings.size(), c.bindings);
    }
}

// Files the configuration names that cannot be used: the plug-in starts on its built-in font,
// theme and layout, says why, and shows its interface.
TEST(config_malformed, unusable_files_are_explained_and_the_interface_shows) {
    char tmpl[] = "/tmp/solvane-cfg-XXXXXX";
    const std::string d = mkdtemp(tmpl);
    std::ofstream(d + "/notafont.ttf") << "hello, not a font";
    std::ofstream(d + "/solvane.json")
        << R"({"font": "notafont.ttf", "theme_path": "missing-theme.json", "mascot": "missing.png",
              "layout_bundle_path": ")" + d + "\"}";
    setenv("SOLVANE_RESOLVE", "www.youtube.com:443:127.0.0.1:9,i.ytimg.com:443:127.0.0.1:9", 1);
    fakehost::reset();
    fakehost::set_expand_path(d);
    auto state = std::make_unique<AppState>();
    testing::internal::CaptureStderr();
    app_start(*state, fakehost::handle());
    const std::string log = untimed(testing::internal::GetCapturedStderr());
    for (const std::string &line : {
             "ERROR: font: cannot use " + d + "/notafont.ttf (not a TrueType font); using the "
             "built-in font",
             "ERROR: theme_path: cannot read " + d + "/missing-theme.json (file does not exist); "
             "using the default theme",
             "ERROR: mascot: cannot read " + d + "/missing.png (file does not exist); showing no "
             "mascot",
             "ERROR: layout_bundle_path: cannot read " + d + " (not a regular file); using the "
             "built-in layout"})
        EXPECT_NE(log.find(line + "\n"), std::string::npos) << line << "\nin\n" << log;
    ASSERT_TRUE(state->root && state->font);
    fakehost::push_event({MPV_EVENT_CLIENT_MESSAGE, {"solfb-show"}});
    main_loop_pass(*state);
    const auto &sent = fakehost::commands();
    EXPECT_TRUE(std::any_of(sent.begin(), sent.end(), [](const fakehost::Command &x) {
        return !x.empty() && x[0] == "name=overlay-add";
    }));
    toolkit_globals_destroy();
    defer_queue_destroy();
    host_set(nullptr);
    fs::remove_all(d);
}

// At a large scale in a small window the interface shrinks to what the window holds.
TEST(interface, scale_fits_the_window) {
    struct Case {
        int32_t width, height;
        double setting, scale;
    } cases[] = {{1280, 720, 4, 2},      {3840, 2160, 4, 4},    {1280, 720, 1, 1},
                 {640, 360, 2, 1},       {500, 300, 2, 1},      {1600, 900, 4, 2.5},
                 {1920, 1080, 1.5, 1.5}, {1919, 1080, 4, 2.75}, {0, 0, 3, 3}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " at " << c.setting);
        EXPECT_DOUBLE_EQ(interface_fit_scale(c.width, c.height, c.setting), c.scale);
    }
}
