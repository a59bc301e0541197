#include "plugin/config.h"
#include "support/fake_mpv.h"

#include "base/host.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

namespace fs = std::filesystem;

namespace {

// The application record holds the download pools, so it lives on the heap here.
std::unique_ptr<AppState> configured(const std::string &json, std::string *printed = nullptr) {
    auto s = std::make_unique<AppState>();
    set_paths(*s, "/cfg");
    testing::internal::CaptureStderr();
    config_apply(*s, json.c_str());
    std::string out = testing::internal::GetCapturedStderr();
    if (printed) *printed = out;
    return s;
}

} // namespace

// Relative paths are taken inside the configuration folder; the scale is clamped.
TEST(config, paths_scale_and_key_bindings) {
    auto s = configured(R"({"player_path":"/usr/bin/mpv", "video_format":"720p",
        "sub_language":"de", "save_path":"C:/videos", "font":"fonts/a.ttf", "mascot":"/abs/m.png",
        "layout_bundle_path":"layout.json", "key_bindings":[
        {"key":"F5","mod":"CTRL+SHIFT","action":"show_feed"}, {"key":"ENTER","action":"play_video"},
        {"key":"\\","mod":"ALT+SUPER","action":"show_history"},]})");
    EXPECT_EQ(s->save_path, "C:/videos");
    EXPECT_EQ(s->font_path, std::optional<std::string>("/cfg/fonts/a.ttf"));
    EXPECT_EQ(s->mascot_path, std::optional<std::string>("/abs/m.png"));
    EXPECT_EQ(s->layout_bundle_path, std::optional<std::string>("/cfg/layout.json"));
    EXPECT_EQ(configured(R"({"save_path":"videos"})")->save_path, "/cfg/videos");
    std::vector<std::tuple<int, int, std::string>> keys;
    for (const auto &b : s->key_bindings) keys.emplace_back(b.key, b.modifiers, b.action);
    EXPECT_EQ(keys, (std::vector<std::tuple<int, int, std::string>>{
                        {294, 5, "show_feed"}, {257, 0, "play_video"}, {92, 10, "show_history"}}));

    struct Case { const char *json; double scale; int width; } cases[] = {
        {"{}", 1.0, 960}, {R"({"scale":0.5})", 1.0, 960}, {R"({"scale":7})", 4.0, 3840},
        {R"({"scale":"2"})", 1.0, 960}, {R"({"scale":1.5})", 1.5, 1440},
        {R"({"scale":true})", 1.0, 960}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.json);
        auto t = configured(c.json);
        EXPECT_DOUBLE_EQ(t->scale, c.scale);
        EXPECT_EQ(t->gui_width, c.width);
    }
}

TEST(state_file, queries_survive_the_round_trip) {
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
        s.current_video_id = "new";
        EXPECT_NE(state_text(s).find("\"video_id\": \"new\""), std::string::npos);
    }

    // A directory that does not exist: nothing written, nothing reported, no crash.
    fakehost::reset();
    fakehost::set_expand_path("/nonexistent/solvane");
    host_set(fakehost::handle());
    AppState s;
    s.switches.save_state = true;
    write_state_file(s);
    EXPECT_FALSE(fs::exists("/nonexistent"));
    host_set(nullptr);
}

// Each typing error is explained in one line naming what is used instead; a syntax error names
// its line and column and leaves every setting at its default.
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
        {"{\"font_size\": 16, \"a\": 0x10, \"b\": [1, 2,],}", {}, 16}, // hex, trailing commas
        {"{\"font_size\": 16,\n \"a\": \"open", {"line 2, column 12: "}},
        {"{\"font_size\": 16, \"a\": yes}", {"line 1, column 24: "}}, // a text without quotes
        {"{\"font_size\": 16} x", {"line 1, column 19: "}},            // text after the object
        {"[1]", {"line 1, column 1: "}},
        {"", {"line 1, column 1: "}},
        {"{\"font_size\": 16, \"a\": \"line\nbreak\"}", {"line 1, column 29: "}},
        {"{\"font_size\": 1.2.3}", {"line 1, column 18: "}},
        {"{\"a\": " + std::string(100, '['), {"nested too deeply; "}},
        {R"({"font_size": "16", "thumb_size": 100000, "playlist_width": 5, "scale": 9,
            "save_state": "yes", "font": 12})",
         {"WARNING: configuration: scale: 9 is out of range (1 to 4); using 4",
          "font_size: \"16\" is not a number; using 14",
          "thumb_size: 100000 is out of range (18 to 360); using 360",
          "playlist_width: 5 is out of range (120 to 2000); using 120",
          "font: 12 is not a text in double quotes; using the built-in font",
          "save_state: \"yes\" is not true or false; using false"},
         14, 4, 360, 120},
        {R"({"extractor": 42})", {"extractor: 42 is not a text in double quotes; using the "
                                  "default extractor\nusing default extractor (vos_hls)"}},
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
        std::string log;
        auto s = configured(c.config, &log);
        size_t at = 0;
        for (const std::string &line : c.lines) {
            at = log.find(line, at);
            EXPECT_NE(at, std::string::npos) << line << "\nin\n" << log;
        }
        if (c.lines.empty()) {
            EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
        }
        EXPECT_EQ(s->font_size, c.font_size);
        EXPECT_DOUBLE_EQ(s->scale, c.scale);
        EXPECT_EQ(s->thumb_height, c.thumb_height);
        EXPECT_EQ(s->list_width, c.list_width);
        EXPECT_EQ(s->key_bindings.size(), c.bindings);
    }
}
