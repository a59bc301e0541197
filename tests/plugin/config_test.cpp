#include "plugin/config.h"
#include "plugin/interface.h"
#include "plugin/main_loop.h"
#include "support/fake_mpv.h"

#include "base/defer.h"
#include "base/host.h"
#include "toolkit/input.h"

#include <gtest/gtest.h>

#include <memory>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The application record holds the download pools, so it lives on the heap here.
std::unique_ptr<AppState> configured(const char *json, std::string *printed = nullptr) {
    auto s = std::make_unique<AppState>();
    set_paths(*s, "/cfg");
    testing::internal::CaptureStderr();
    config_apply(*s, json);
    std::string out = testing::internal::GetCapturedStderr();
    if (printed) *printed = out;
    return s;
}

// Log lines without their "[seconds] " prefix.
std::string untimed(const std::string &text) {
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, end - start);
        if (line[0] == '[' && line.find("] ") != std::string::npos)
            line = line.substr(line.find("] ") + 2);
        out += line;
        start = end;
    }
    return out;
}

fs::path temp_dir() {
    char tmpl[] = "/tmp/solvane-cfg-XXXXXX";
    return fs::path(mkdtemp(tmpl));
}

} // namespace

TEST(config, defaults_without_keys) {
    std::string printed;
    auto s = configured("{}", &printed);
    EXPECT_EQ(printed, "using default extractor (vos_hls)\n");
    EXPECT_DOUBLE_EQ(s->scale, 1.0);
    EXPECT_EQ(s->font_size, 14);
    EXPECT_EQ(s->thumb_width, 128);
    EXPECT_EQ(s->thumb_height, 72);
    EXPECT_EQ(s->list_width, 360);
    EXPECT_EQ(s->gui_width, 960);
    EXPECT_EQ(s->gui_height, 720);
    EXPECT_EQ(s->player_path, "mpv");
    EXPECT_EQ(s->video_format, "1080p60");
    EXPECT_EQ(s->feed_videos_per_channel, 15);
    EXPECT_TRUE(s->switches.feed_use_rss);
    EXPECT_FALSE(s->switches.save_state);
    EXPECT_FALSE(s->font_path.has_value());
}

TEST(config, scale_is_clamped_and_sizes_follow) {
    struct Case {
        const char *json;
        double scale;
        int width;
    } cases[] = {{R"({"scale":0.5})", 1.0, 960},  {R"({"scale":7})", 4.0, 3840},
                 {R"({"scale":"2"})", 1.0, 960},   {R"({"scale":1.5})", 1.5, 1440},
                 {R"({"scale":true})", 1.0, 960}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.json);
        auto s = configured(c.json);
        EXPECT_DOUBLE_EQ(s->scale, c.scale);
        EXPECT_EQ(s->gui_width, c.width);
    }
}

TEST(config, switches_and_texts) {
    std::string printed;
    auto s = configured(R"({"save_state":true,
        "feed_use_rss":false,"player_path":"/usr/bin/mpv","video_format":"720p",
        "sub_language":"de","sponsorblock_params":"&category=sponsor","theme":"dark",
        "max_feed_age":"1 week"})",
                        &printed);
    EXPECT_TRUE(s->switches.save_state);
    EXPECT_FALSE(s->switches.feed_use_rss);
    EXPECT_EQ(s->player_path, "/usr/bin/mpv");
    EXPECT_EQ(s->theme_name, std::optional<std::string>("dark"));
    EXPECT_EQ(s->sponsorblock_params, "&category=sponsor");
    EXPECT_EQ(s->max_feed_age, "1 week");
    EXPECT_EQ(printed, "player path: /usr/bin/mpv\nvideo format: 720p\nsub language: de\n"
                       "using default extractor (vos_hls)\n");
}

TEST(config, relative_paths_join_the_directory) {
    auto s = configured(R"({"save_path":"C:/videos","font":"fonts/a.ttf",
        "mascot":"/abs/m.png","layout_bundle_path":"layout.json"})");
    EXPECT_EQ(s->save_path, "C:/videos");
    EXPECT_EQ(s->font_path, std::optional<std::string>("/cfg/fonts/a.ttf"));
    EXPECT_EQ(s->mascot_path, std::optional<std::string>("/abs/m.png"));
    EXPECT_EQ(s->layout_bundle_path, std::optional<std::string>("/cfg/layout.json"));
    auto t = configured(R"({"save_path":"videos"})");
    EXPECT_EQ(t->save_path, "/cfg/videos");
}

TEST(config, extractor_table) {
    struct Case {
        const char *value;
        int code;
        bool hls, names, ytdl;
        const char *line;
    } cases[] = {
        {"\"android\"", 9, false, false, false, "using android extractor\n"},
        {"\"ios\"", 15, false, false, false, "using ios extractor\n"},
        {"\"ios_hls\"", 15, true, false, false, "using ios hls extractor\n"},
        {"\"vos\"", 18, false, false, false, "using vos extractor\n"},
        {"\"vos_hls\"", 18, true, false, false, "using vos hls extractor\n"},
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
        std::string json = std::string("{\"extractor\":") + c.value + "}";
        std::string printed;
        auto s = configured(json.c_str(), &printed);
        EXPECT_EQ(s->client_code, c.code);
        EXPECT_EQ(s->use_hls, c.hls);
        EXPECT_EQ(s->hls_quality_names, c.names);
        EXPECT_EQ(s->ytdl_fallback, c.ytdl);
        EXPECT_EQ(untimed(printed), c.line);
    }
}

TEST(config, key_bindings_shapes) {
    auto s = configured(R"({"key_bindings":[
        {"key":"F5","mod":"CTRL+SHIFT","action":"show_feed"},
        {"key":"ENTER","action":"play_video"},
        {"key":"\\","mod":"ALT","action":"show_history"},]})");
    ASSERT_EQ(s->key_bindings.size(), 3u);
    EXPECT_EQ(s->key_bindings[0].key, 294); // F5
    EXPECT_EQ(s->key_bindings[0].modifiers, 5);
    EXPECT_EQ(s->key_bindings[0].action, "show_feed");
    EXPECT_EQ(s->key_bindings[1].key, 257);
    EXPECT_EQ(s->key_bindings[1].modifiers, 0);
    EXPECT_EQ(s->key_bindings[2].key, 92);
    EXPECT_EQ(s->key_bindings[2].modifiers, 2);
}

TEST(config, key_names_and_modifiers) {
    EXPECT_EQ(config_key_code(" "), 32);
    EXPECT_EQ(config_key_code("`"), 96);
    EXPECT_EQ(config_key_code("F12"), 301);
    EXPECT_EQ(config_key_code("PAGEDOWN"), 267);
    EXPECT_EQ(config_key_code("z"), -1);
    EXPECT_EQ(config_key_code("escape"), -1);
    EXPECT_EQ(config_modifiers("CTRL+ALT+SHIFT+SUPER"), 15);
    EXPECT_EQ(config_modifiers("ctrl"), 0);
}

TEST(state_file, window_position_read) {
    AppState s;
    s.switches.save_window_position = true;
    state_apply(s, R"({"window_position": [10, 20, 50, 300]})");
    EXPECT_TRUE(s.restored_position);
    EXPECT_EQ(s.gui_x, 10);
    EXPECT_EQ(s.gui_y, 20);
    EXPECT_EQ(s.gui_width, 100);
    EXPECT_EQ(s.gui_height, 300);
    EXPECT_FALSE(s.restore_pending);

    AppState t;
    t.switches.save_window_position = true;
    state_apply(t, R"({"window_position": ["a", 5, -4, 99999999999]})");
    EXPECT_EQ(t.gui_x, 0);
    EXPECT_EQ(t.gui_width, 100);
    EXPECT_EQ(t.gui_height, 16384); // bounded, not a multi-gigabyte window

    AppState off;
    state_apply(off, R"({"window_position": [10, 20, 500, 300], "query": "x"})");
    EXPECT_FALSE(off.restored_position);
    EXPECT_FALSE(off.restore_pending);
    EXPECT_FALSE(off.current_query.has_value());
}

TEST(state_file, round_trip_keeps_every_query) {
    const char *queries[] = {"plain", "say \"hi\"", "back\\slash", "ends with \\", "tab\there",
                             "caf\xC3\xA9", "{\"json\": [1]}"};
    for (const char *q : queries) {
        SCOPED_TRACE(q);
        AppState s;
        s.switches.save_state = true;
        s.current_query = q;
        s.current_video_id = "dQw4w9WgXcQ";
        std::string text = state_text(s);
        AppState r;
        r.switches.save_state = true;
        state_apply(r, text.c_str());
        EXPECT_TRUE(r.restore_pending);
        EXPECT_EQ(r.current_query, std::optional<std::string>(q));
        EXPECT_EQ(r.restored_video_id, std::optional<std::string>("dQw4w9WgXcQ"));
    }
}

TEST(state_file, exact_text) {
    AppState s;
    s.switches.save_state = true;
    EXPECT_EQ(state_text(s), "{\n  \"reserved\": 0\n}\n");
    s.current_query = "cats";
    s.current_video_id = "abc";
    EXPECT_EQ(state_text(s),
              "{\n  \"query\": \"cats\",\n  \"video_id\": \"abc\",\n  \"reserved\": 0\n}\n");
}

TEST(state_file, written_to_the_expanded_directory) {
    fs::path dir = temp_dir();
    fakehost::reset();
    fakehost::set_expand_path(dir.string());
    host_set(fakehost::handle());
    AppState s;
    s.switches.save_state = true;
    s.current_query = "q";
    write_state_file(s);
    std::ifstream in(dir / "solvane_state.json");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, state_text(s));

    AppState r;
    r.switches.save_state = true;
    state_load(r);
    EXPECT_EQ(r.current_query, std::optional<std::string>("q"));

    // A directory that does not exist: nothing written, nothing reported, no crash.
    fakehost::set_expand_path((dir / "missing").string());
    write_state_file(s);
    EXPECT_FALSE(fs::exists(dir / "missing"));
    host_set(nullptr);
}

TEST(config_file, missing_file_runs_on_defaults) {
    fs::path dir = temp_dir();
    AppState s;
    set_paths(s, dir.string());
    testing::internal::CaptureStderr();
    config_load(s);
    std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_NE(printed.find("INFO: configuration: no " + dir.string() + "/solvane.json"),
              std::string::npos);
    EXPECT_NE(printed.find("using default extractor (vos_hls)\n"), std::string::npos);
    EXPECT_EQ(s.client_code, 18);

    std::ofstream(dir / "solvane.json") << R"({"extractor":"android","scale":2})";
    AppState t;
    set_paths(t, dir.string());
    testing::internal::CaptureStderr();
    config_load(t);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "using android extractor\n");
    EXPECT_EQ(t.client_code, 9);
    EXPECT_EQ(t.gui_width, 1920);
}

TEST(state_file, restored_video_survives_until_replaced) {
    AppState s;
    s.switches.save_state = true;
    s.restored_video_id = "old";
    EXPECT_NE(state_text(s).find("\"video_id\": \"old\""), std::string::npos);
    s.current_video_id = "new";
    EXPECT_NE(state_text(s).find("\"video_id\": \"new\""), std::string::npos);
}

// ---- Malformed configuration ---------------------------------------------------------------

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
    std::string deep(100, '[');
    deep = "{\"a\": " + deep;
    ConfigSyntaxError e;
    EXPECT_FALSE(config_syntax_check(deep.c_str(), e));
    EXPECT_STREQ(e.what, "nested too deeply");
}

// Each broken file of a new user: the plug-in starts, logs the line that explains what is
// wrong and what it uses instead, and shows its interface.
TEST(config_malformed, broken_files_are_explained_and_the_interface_shows) {
    fs::path dir = temp_dir();
    std::ofstream(dir / "notafont.ttf") << "hello, not a font";
    setenv("SOLVANE_RESOLVE", "www.youtube.com:443:127.0.0.1:9,i.ytimg.com:443:127.0.0.1:9", 1);
    const std::string d = dir.string();
    struct Case {
        std::string config;
        std::vector<std::string> lines; // expected in the log, without the time
        int font_size = 14;
        double scale = 1;
        int thumb_height = 72;
        int list_width = 360;
        size_t bindings = 0;
    } cases[] = {
        {"{\"font_size\": 20,\n \"scale\": 2 \"x\": 1}",
         {"ERROR: configuration: " + d +
          "/solvane.json: line 2, column 13: ',' or '}' was "
          "expected; using the built-in defaults for every setting"}},
        {R"({"font_size": "16", "thumb_size": 100000, "playlist_width": 5, "scale": 9,
            "save_state": "yes", "font": 12})",
         {"WARNING: configuration: scale: 9 is out of range (1 to 4); using 4",
          "WARNING: configuration: font_size: \"16\" is not a number; using 14",
          "WARNING: configuration: thumb_size: 100000 is out of range (18 to 360); using 360",
          "WARNING: configuration: playlist_width: 5 is out of range (120 to 2000); using 120",
          "WARNING: configuration: font: 12 is not a text in double quotes; using the "
          "built-in font",
          "WARNING: configuration: save_state: \"yes\" is not true or false; using false"},
         14,
         4,
         360,
         120},
        {R"({"font": "/nonexistent/font.ttf", "font_size": 400})",
         {"WARNING: configuration: font_size: 400 is out of range (6 to 72); using 72",
          "ERROR: font: cannot use /nonexistent/font.ttf (file does not exist); using the "
          "built-in font"},
         72},
        {R"({"font": "notafont.ttf"})",
         {"ERROR: font: cannot use " + d +
          "/notafont.ttf (not a TrueType font); using the "
          "built-in font"}},
        {R"({"theme_path": "missing-theme.json", "mascot": "missing.png",
            "layout_bundle_path": "/nonexistent/layout.json"})",
         {"ERROR: theme_path: cannot read " + d +
              "/missing-theme.json (file does not exist); "
              "using the default theme",
          "ERROR: mascot: cannot read " + d +
              "/missing.png (file does not exist); showing no "
              "mascot",
          "ERROR: layout_bundle_path: cannot read /nonexistent/layout.json (file does not "
          "exist); using the built-in layout"}},
        {"{\"layout_bundle_path\": \"" + d + "\"}",
         {"ERROR: layout_bundle_path: cannot read " + d +
          " (not a regular file); using the "
          "built-in layout"}},
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
         14,
         1,
         72,
         360,
         1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.config);
        fakehost::reset();
        fakehost::set_expand_path(d);
        defer_queue_destroy();
        std::ofstream(dir / "solvane.json", std::ios::trunc) << c.config;
        auto state = std::make_unique<AppState>();
        testing::internal::CaptureStderr();
        app_start(*state, fakehost::handle());
        std::string log = untimed(testing::internal::GetCapturedStderr());
        size_t at = 0; // in this order
        for (const std::string &line : c.lines) {
            at = log.find(line + "\n", at);
            EXPECT_NE(at, std::string::npos) << line << "\nin\n" << log;
        }
        EXPECT_EQ(state->font_size, c.font_size);
        EXPECT_DOUBLE_EQ(state->scale, c.scale);
        EXPECT_EQ(state->thumb_height, c.thumb_height);
        EXPECT_EQ(state->list_width, c.list_width);
        EXPECT_EQ(state->key_bindings.size(), c.bindings);
        // Still running: the interface was built and a show publishes it.
        ASSERT_TRUE(state->root && state->font);
        fakehost::push_event({MPV_EVENT_CLIENT_MESSAGE, {"solfb-show"}});
        main_loop_pass(*state);
        const auto &sent = fakehost::commands();
        EXPECT_TRUE(std::any_of(sent.begin(), sent.end(), [](const fakehost::Command &x) {
            return !x.empty() && x[0] == "name=overlay-add";
        }));
        toolkit_globals_destroy();
        defer_queue_destroy();
    }
    host_set(nullptr);
    fs::remove_all(dir);
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
