#include "plugin/config.h"

#include "base/host.h"
#include "base/json.h"
#include "base/runtime.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct KeyName {
    const char *name;
    int32_t code;
};

// Key names accepted by "key_bindings" with their toolkit codes.
constexpr KeyName KEY_NAMES[] = {
    {" ", 32},         {"'", 39},         {",", 44},          {"-", 45},
    {".", 46},         {"/", 47},         {"0", 48},          {"1", 49},
    {"2", 50},         {"3", 51},         {"4", 52},          {"5", 53},
    {"6", 54},         {"7", 55},         {"8", 56},          {"9", 57},
    {";", 59},         {"=", 61},         {"A", 65},          {"B", 66},
    {"C", 67},         {"D", 68},         {"E", 69},          {"F", 70},
    {"G", 71},         {"H", 72},         {"I", 73},          {"J", 74},
    {"K", 75},         {"L", 76},         {"M", 77},          {"N", 78},
    {"O", 79},         {"P", 80},         {"Q", 81},          {"R", 82},
    {"S", 83},         {"T", 84},         {"U", 85},          {"V", 86},
    {"W", 87},         {"X", 88},         {"Y", 89},          {"Z", 90},
    {"[", 91},         {"\\", 92},        {"]", 93},          {"`", 96},
    {"ESCAPE", 256},   {"ENTER", 257},    {"TAB", 258},       {"BACKSPACE", 259},
    {"INSERT", 260},   {"DELETE", 261},   {"RIGHT", 262},     {"LEFT", 263},
    {"DOWN", 264},     {"UP", 265},       {"PAGEUP", 266},    {"PAGEDOWN", 267},
    {"HOME", 268},     {"END", 269},      {"F1", 290},        {"F2", 291},
    {"F3", 292},       {"F4", 293},       {"F5", 294},        {"F6", 295},
    {"F7", 296},       {"F8", 297},       {"F9", 298},        {"F10", 299},
    {"F11", 300},      {"F12", 301},
};
static_assert(std::size(KEY_NAMES) == 74);

struct Extractor {
    const char *value;
    int32_t client_code;
    bool use_hls;
    bool hls_quality_names;
    bool ytdl_fallback;
    const char *line;
};

constexpr Extractor EXTRACTORS[] = {
    {"android", 9, false, false, false, "using android extractor"},
    {"ios", 15, false, false, false, "using ios extractor"},
    {"ios_hls", 15, true, false, false, "using ios hls extractor"},
    {"vos", 18, false, false, false, "using vos extractor"},
    {"vos_hls", 18, true, false, false, "using vos hls extractor"},
    {"web_hls", 5, true, true, false, "using web hls extractor"},
    {"web_hls_embedded", 8, true, true, false, "using web hls embedded extractor"},
    {"android_vr", 17, false, true, false, "using android_vr extractor"},
    {"ytdl", 15, false, false, true, "using ytdl fallback"},
};

const char *member(const char *text, const char *name) { return json_find(text, name); }

// Number keys: a value starting with '-' or a digit is converted, anything else gives 0.
long number_value(const char *value) { return json_long(value, 0); }

std::optional<std::string> text_value(const char *value) { return json_strdup(value); }

void read_text(const char *config, const char *name, std::string &out) {
    if (auto v = text_value(member(config, name))) out = std::move(*v);
}

void read_switch(const char *config, const char *name, bool &out) {
    const char *v = member(config, name);
    if (v) out = json_true(v);
    else out = false;
}

void read_path(const AppState &state, const char *config, const char *name,
               std::optional<std::string> &out) {
    const char *v = member(config, name);
    if (!v) return;
    out = resolve_path(state, text_value(v).value_or("."));
}

void apply_extractor(AppState &state, const char *value) {
    auto text = json_type(value) == JSON_STRING ? json_strdup(value) : std::nullopt;
    if (!text) {
        state.client_code = 18;
        state.use_hls = true;
        state.hls_quality_names = false;
        state.ytdl_fallback = false;
        std::fprintf(stderr, "%s\n", "using default extractor (vos_hls)");
        return;
    }
    state.client_code = 15;
    state.use_hls = state.hls_quality_names = state.ytdl_fallback = false;
    for (const Extractor &e : EXTRACTORS) {
        if (*text == e.value) {
            state.client_code = e.client_code;
            state.use_hls = e.use_hls;
            state.hls_quality_names = e.hls_quality_names;
            state.ytdl_fallback = e.ytdl_fallback;
            std::fprintf(stderr, "%s\n", e.line);
            return;
        }
    }
}

void apply_key_bindings(AppState &state, const char *value) {
    if (json_type(value) != JSON_ARRAY) return;
    for (const char *e = json_first(value); e; e = json_next(e)) {
        // The key name is decoded, so the backslash key can be written as "\\" in JSON.
        const char *key = json_get(e, ".key");
        auto mod = json_strdup(json_get(e, ".mod"));
        auto action = json_strdup(json_get(e, ".action"));
        if (json_type(key) != JSON_STRING || !action) continue;
        int32_t code = config_key_code(json_text(key).c_str());
        if (code < 0) continue;
        state.key_bindings.push_back(
            {code, mod ? config_modifiers(mod->c_str()) : 0, std::move(*action)});
    }
}

// Appends `text` as the content of a JSON string, escaping what would end or break it.
void append_escaped(std::string &out, const std::string &text) {
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
}

// Window size read from the state file: at least 100, and no larger than any real display,
// so that a mistyped number cannot make start-up allocate gigabytes.
int32_t window_extent(const char *value) {
    long v = json_type(value) == JSON_PRIMITIVE ? json_long(value, 100) : 100;
    return static_cast<int32_t>(std::clamp(v, 100L, 16384L));
}

} // namespace

std::string find_config_dir() {
    mpv_node arg_nodes[2];
    arg_nodes[0].format = MPV_FORMAT_STRING;
    arg_nodes[0].u.string = const_cast<char *>("expand-path");
    arg_nodes[1].format = MPV_FORMAT_STRING;
    arg_nodes[1].u.string = const_cast<char *>("~~/solvane");
    mpv_node_list list{2, arg_nodes, nullptr};
    mpv_node args{};
    args.format = MPV_FORMAT_NODE_ARRAY;
    args.u.list = &list;
    mpv_node result{};
    if (host() && mpv_command_node(host(), &args, &result) >= 0) {
        std::optional<std::string> dir;
        if (result.format == MPV_FORMAT_STRING && result.u.string) dir = result.u.string;
        mpv_free_node_contents(&result);
        if (dir) return *dir;
    }
    return config_dir();
}

void set_paths(AppState &state, const std::string &dir) {
    state.config_dir = dir;
    state.config_file = dir + "/solvane.json";
    state.favorites_file = dir + "/favlist.json";
    state.subscriptions_file = dir + "/subscriptions.csv";
    state.history_file = dir + "/history.json";
}

std::string resolve_path(const AppState &state, const std::string &value) {
    return path_resolve(value, state.config_dir);
}

int32_t config_key_code(const char *name) {
    for (const KeyName &k : KEY_NAMES)
        if (std::strcmp(k.name, name) == 0) return k.code;
    return -1;
}

int32_t config_modifiers(const char *text) {
    int32_t m = 0;
    if (std::strstr(text, "CTRL")) m += 1;
    if (std::strstr(text, "ALT")) m += 2;
    if (std::strstr(text, "SHIFT")) m += 4;
    if (std::strstr(text, "SUPER")) m += 8;
    return m;
}

void config_apply(AppState &state, const char *c) {
    const char *v;
    if ((v = member(c, "scale"))) state.scale = json_double(v, 1.0);
    state.scale = std::clamp(state.scale, 1.0, 4.0);
    if ((v = member(c, "font_size"))) state.font_size = static_cast<int32_t>(number_value(v));
    if ((v = member(c, "thumb_size"))) {
        state.thumb_height = static_cast<int32_t>(number_value(v));
        state.thumb_width = static_cast<int32_t>(state.thumb_height / 9.0 * 16.0);
    }
    if ((v = member(c, "playlist_width"))) state.list_width = static_cast<int32_t>(number_value(v));
    if ((v = member(c, "save_path"))) state.save_path = resolve_path(state, text_value(v).value_or("."));
    if ((v = member(c, "player_path"))) {
        read_text(c, "player_path", state.player_path);
        std::fprintf(stderr, "player path: %s\n", state.player_path.c_str());
    }
    read_path(state, c, "layout_bundle_path", state.layout_bundle_path);
    if (member(c, "video_format")) {
        read_text(c, "video_format", state.video_format);
        std::fprintf(stderr, "video format: %s\n", state.video_format.c_str());
    }
    if (member(c, "sub_format")) {
        read_text(c, "sub_format", state.sub_format);
        std::fprintf(stderr, "sub format: %s\n", state.sub_format.c_str());
    }
    if (member(c, "sub_language")) {
        read_text(c, "sub_language", state.sub_language);
        std::fprintf(stderr, "sub language: %s\n", state.sub_language.c_str());
    }
    read_path(state, c, "font", state.font_path);
    read_path(state, c, "mascot", state.mascot_path);
    read_path(state, c, "theme_path", state.theme_path);
    if ((v = member(c, "theme"))) state.theme_name = text_value(v);
    if ((v = member(c, "key_bindings"))) apply_key_bindings(state, v);
    apply_extractor(state, member(c, "extractor"));

    Switches &s = state.switches;
    read_switch(c, "single_click_select", s.single_click_select);
    read_switch(c, "show_extra_metadata", s.show_extra_metadata);
    read_switch(c, "smooth_scroll", s.smooth_scroll);
    read_switch(c, "touch_scroll", s.touch_scroll);
    read_switch(c, "infinite_scroll", s.infinite_scroll);
    state.gui_width = static_cast<int32_t>(state.scale * 960);
    state.gui_height = static_cast<int32_t>(state.scale * 720);
    read_switch(c, "save_window_position", s.save_window_position);
    read_switch(c, "save_state", s.save_state);
    read_switch(c, "debug_url", s.debug_url);
    read_switch(c, "use_edl", s.use_edl);
    read_switch(c, "use_full_manifest", s.use_full_manifest);
    read_switch(c, "generate_chapters", s.generate_chapters);
    read_switch(c, "sponsorblock", s.sponsorblock);
    read_text(c, "sponsorblock_server", state.sponsorblock_server);
    read_text(c, "sponsorblock_params", state.sponsorblock_params);
    read_switch(c, "allow_hdr", s.allow_hdr);
    read_switch(c, "update_favorites", s.update_favorites);
    read_switch(c, "save_history", s.save_history);
    read_switch(c, "autoplay_next", s.autoplay_next);
    read_switch(c, "show_autoplay_notification", s.show_autoplay_notification);
    read_switch(c, "dim_watched_videos", s.dim_watched_videos);
    read_switch(c, "playlist_use_rss", s.playlist_use_rss);
    if ((v = member(c, "feed_use_rss"))) s.feed_use_rss = json_true(v);
    else s.feed_use_rss = true;
    read_text(c, "max_feed_age", state.max_feed_age);
    if ((v = member(c, "max_feed_videos_per_channel")))
        state.feed_videos_per_channel = static_cast<int32_t>(number_value(v));
    read_switch(c, "all_codecs", s.all_codecs);
    if ((v = member(c, "instant_play"))) s.instant_play = json_true(v);
    else s.instant_play = true;
}

void config_load(AppState &state) {
    // A missing configuration file is normal for a new user: run on the built-in defaults.
    std::unique_ptr<FILE, int (*)(FILE *)> probe(std::fopen(state.config_file.c_str(), "rb"),
                                                 std::fclose);
    if (!probe) {
        std::string detail = "no " + state.config_file + ", using the built-in defaults";
        log_info("configuration", detail.c_str());
        config_apply(state, "{}");
        return;
    }
    probe.reset();
    std::string text = read_file(state.config_file);
    config_apply(state, text.c_str());
}

void state_apply(AppState &state, const char *text) {
    if (state.switches.save_window_position && json_find(text, "window_position")) {
        state.restored_position = true;
        state.gui_x = static_cast<int32_t>(json_long(json_get(text, ".window_position.0"), 0));
        state.gui_y = static_cast<int32_t>(json_long(json_get(text, ".window_position.1"), 0));
        state.gui_width = window_extent(json_get(text, ".window_position.2"));
        state.gui_height = window_extent(json_get(text, ".window_position.3"));
    }
    if (state.switches.save_state) {
        state.restore_pending = true;
        // Texts are stored JSON-escaped; decode them back to what the user typed.
        auto text_of = [&](const char *path) -> std::optional<std::string> {
            const char *v = json_get(text, path);
            if (json_type(v) != JSON_STRING || !json_skip(v)) return std::nullopt;
            return json_text(v);
        };
        state.current_query = text_of(".query");
        state.restored_video_id = text_of(".video_id");
    }
}

void state_load(AppState &state) {
    if (!state.switches.save_window_position && !state.switches.save_state) return;
    std::string path = find_config_dir() + "/solvane_state.json";
    std::unique_ptr<FILE, int (*)(FILE *)> probe(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!probe) return;
    probe.reset();
    std::string text = read_file(path);
    state_apply(state, text.c_str());
}

std::string state_text(const AppState &state) {
    std::string out = "{\n";
    if (state.switches.save_state && state.current_query) {
        out += "  \"query\": \"";
        append_escaped(out, *state.current_query);
        out += "\",\n";
    }
    // A restored video that has not been opened again yet is still the user's video.
    const std::optional<std::string> &video =
        state.current_video_id ? state.current_video_id : state.restored_video_id;
    if (state.switches.save_state && video) {
        out += "  \"video_id\": \"";
        append_escaped(out, *video);
        out += "\",\n";
    }
    out += "  \"reserved\": 0\n";
    out += "}\n";
    return out;
}

void write_state_file(const AppState &state) {
    // Replaced atomically: a failed write leaves the previous state in place.
    file_replace(find_config_dir() + "/solvane_state.json", state_text(state));
}
