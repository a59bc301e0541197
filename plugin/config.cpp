#include "plugin/config.h"

#include "base/host.h"
#include "base/json.h"
#include "base/runtime.h"
#include "browser/actions.h"

#include <algorithm>
#include <cctype>
#include <cmath>
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

// ---- Syntax check ------------------------------------------------------------------------------

// A recursive descent over the text that only says where the first error is. Nesting is bounded
// so that a hostile file cannot exhaust the stack.
struct SyntaxCursor {
    const char *at;
    const char *what = nullptr;
    int depth = 0;
};

constexpr int SYNTAX_DEPTH_LIMIT = 64;

void skip_space(SyntaxCursor &c) {
    while (*c.at == ' ' || *c.at == '\t' || *c.at == '\n' || *c.at == '\r')
        ++c.at;
}

bool fail(SyntaxCursor &c, const char *what) {
    c.what = what;
    return false;
}

bool check_value(SyntaxCursor &c);

bool check_string(SyntaxCursor &c) {
    ++c.at; // the opening quote
    for (;;) {
        unsigned char ch = static_cast<unsigned char>(*c.at);
        if (ch == '\0') return fail(c, "the text ends inside a string");
        if (ch == '"') {
            ++c.at;
            return true;
        }
        if (ch < 0x20) return fail(c, "a control character inside a string (a line break?)");
        if (ch == '\\') {
            ++c.at;
            char e = *c.at;
            if (e == 'u') {
                for (int i = 1; i <= 4; ++i) {
                    if (!std::isxdigit(static_cast<unsigned char>(c.at[i]))) {
                        c.at += i;
                        return fail(c, "\\u needs four hexadecimal digits");
                    }
                }
                c.at += 5;
                continue;
            }
            if (!e || !std::strchr("\"\\/bfnrt", e)) return fail(c, "an unknown escape after \\");
        }
        ++c.at;
    }
}

bool check_primitive(SyntaxCursor &c) {
    const char *start = c.at;
    while (std::isalnum(static_cast<unsigned char>(*c.at)) || *c.at == '-' || *c.at == '+' ||
           *c.at == '.')
        ++c.at;
    std::string token(start, c.at);
    if (token == "true" || token == "false" || token == "null") return true;
    if (token.empty() || !(token[0] == '-' || std::isdigit(static_cast<unsigned char>(token[0])))) {
        c.at = start;
        return fail(c, "a value was expected (texts need double quotes)");
    }
    char *end = nullptr;
    std::strtod(token.c_str(), &end);
    if (*end) {
        char *integer_end = nullptr;
        std::strtol(token.c_str(), &integer_end, 0);
        end = std::max(end, integer_end);
    }
    if (*end) {
        c.at = start + (end - token.c_str());
        return fail(c, "not a number");
    }
    return true;
}

// An object (close '}') or an array (close ']'); members of objects are "name": value.
bool check_container(SyntaxCursor &c, char close) {
    if (++c.depth > SYNTAX_DEPTH_LIMIT) return fail(c, "nested too deeply");
    ++c.at;
    skip_space(c);
    if (*c.at == close) {
        ++c.at;
        --c.depth;
        return true;
    }
    for (;;) {
        if (close == '}') {
            if (*c.at != '"') return fail(c, "a name in double quotes was expected");
            if (!check_string(c)) return false;
            skip_space(c);
            if (*c.at != ':') return fail(c, "':' was expected after the name");
            ++c.at;
        }
        if (!check_value(c)) return false;
        skip_space(c);
        if (*c.at == ',') {
            ++c.at;
            skip_space(c);
            if (*c.at == close) break; // a trailing comma is accepted
            continue;
        }
        if (*c.at == close) break;
        return fail(c, close == '}' ? "',' or '}' was expected" : "',' or ']' was expected");
    }
    ++c.at;
    --c.depth;
    return true;
}

bool check_value(SyntaxCursor &c) {
    skip_space(c);
    switch (*c.at) {
    case '{':
        return check_container(c, '}');
    case '[':
        return check_container(c, ']');
    case '"':
        return check_string(c);
    case '\0':
        return fail(c, "the text ends where a value was expected");
    default:
        return check_primitive(c);
    }
}

// ---- Kinds and warnings ------------------------------------------------------------------------

// The value as written, on one line and at most 40 bytes, for messages.
std::string shown_value(const char *value) {
    const char *end = json_skip(value);
    size_t length = end ? size_t(end - value) : std::strlen(value);
    std::string out;
    for (size_t i = 0; i < length && out.size() < 40; ++i)
        out += (value[i] == '\n' || value[i] == '\r' || value[i] == '\t') ? ' ' : value[i];
    if (out.size() < length) out += "...";
    return out;
}

void warn_setting(const char *key, const std::string &detail) {
    std::string text = std::string(key) + ": " + detail;
    log_warning("configuration", text.c_str());
}

bool is_number(const char *v) {
    return v && json_type(v) == JSON_PRIMITIVE && (*v == '-' || std::isdigit((unsigned char)*v));
}
bool is_switch(const char *v) {
    return v && (std::strncmp(v, "true", 4) == 0 || std::strncmp(v, "false", 5) == 0);
}
bool is_text(const char *v) { return v && json_type(v) == JSON_STRING && json_skip(v); }

// The member `key` when it is of the wanted kind; otherwise nullptr, after a WARNING saying what
// is used instead when the key is present.
const char *number_member(const char *c, const char *key, const char *instead) {
    const char *v = member(c, key);
    if (!v || is_number(v)) return v;
    warn_setting(key, shown_value(v) + " is not a number; using " + instead);
    return nullptr;
}
const char *text_member(const char *c, const char *key, const char *instead) {
    const char *v = member(c, key);
    if (!v || is_text(v)) return v;
    warn_setting(key, shown_value(v) + " is not a text in double quotes; using " + instead);
    return nullptr;
}

// An integer setting clamped to [low, high] with a WARNING when it was outside.
void read_ranged(const char *c, const char *key, int32_t low, int32_t high, int32_t &out) {
    std::string instead = std::to_string(out);
    const char *v = number_member(c, key, instead.c_str());
    if (!v) return;
    long n = json_long(v, out);
    if (n < low || n > high) {
        long used = std::clamp<long>(n, low, high);
        warn_setting(key, shown_value(v) + " is out of range (" + std::to_string(low) + " to " +
                              std::to_string(high) + "); using " + std::to_string(used));
        n = used;
    }
    out = static_cast<int32_t>(n);
}

void read_text(const char *config, const char *name, std::string &out) {
    std::string instead = "\"" + out + "\"";
    if (const char *v = text_member(config, name, instead.c_str())) {
        if (auto t = json_strdup(v)) out = std::move(*t);
    }
}

// Switches: an absent key gives `absent`; a value other than true or false gives the same, with
// a WARNING.
void read_switch(const char *config, const char *name, bool &out, bool absent = false) {
    const char *v = member(config, name);
    out = absent;
    if (!v) return;
    if (!is_switch(v)) {
        warn_setting(name, shown_value(v) + " is not true or false; using " +
                               (absent ? "true" : "false"));
        return;
    }
    out = json_true(v);
}

void read_path(const AppState &state, const char *config, const char *name,
               std::optional<std::string> &out, const char *instead) {
    const char *v = text_member(config, name, instead);
    if (!v) return;
    out = resolve_path(state, json_strdup(v).value_or("."));
}

void apply_extractor(AppState &state, const char *value) {
    if (value && !is_text(value))
        warn_setting("extractor", shown_value(value) + " is not a text in double quotes; using "
                                                       "the default extractor");
    auto text = is_text(value) ? json_strdup(value) : std::nullopt;
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

bool action_known(const std::string &name) {
    ActionRow rows[ACTION_COUNT];
    actions_defaults(rows);
    for (const ActionRow &row : rows)
        if (name == row.name) return true;
    return false;
}

// The first word of a "mod" text that is not a modifier name, or absent. Words are separated
// by '+', ',', '|' or spaces.
std::optional<std::string> unknown_modifier(const std::string &mod) {
    size_t start = 0;
    while (start < mod.size()) {
        size_t end = mod.find_first_of("+,| ", start);
        if (end == std::string::npos) end = mod.size();
        std::string word = mod.substr(start, end - start);
        start = end + 1;
        if (word.empty()) continue;
        if (word != "CTRL" && word != "ALT" && word != "SHIFT" && word != "SUPER") return word;
    }
    return std::nullopt;
}

void apply_key_bindings(AppState &state, const char *value) {
    if (json_type(value) != JSON_ARRAY) {
        warn_setting("key_bindings",
                     shown_value(value) + " is not a list [...]; no key is re-bound");
        return;
    }
    int number = 0;
    for (const char *e = json_first(value); e; e = json_next(e)) {
        ++number;
        auto ignore = [&](const std::string &why) {
            std::string detail = "key_bindings entry " + std::to_string(number) + " " +
                                 shown_value(e) + ": " + why + "; the entry is ignored";
            log_warning("configuration", detail.c_str());
        };
        if (json_type(e) != JSON_OBJECT) {
            ignore("not an object {\"key\": ..., \"mod\": ..., \"action\": ...}");
            continue;
        }
        // The key name is decoded, so the backslash key can be written as "\\" in JSON.
        const char *key = json_find(e, "key");
        const char *mod = json_find(e, "mod");
        const char *action = json_find(e, "action");
        if (!is_text(key)) {
            ignore("no \"key\" text");
            continue;
        }
        std::string key_name = json_text(key);
        int32_t code = config_key_code(key_name.c_str());
        if (code < 0) {
            ignore("unknown key \"" + key_name + "\" (keys are A-Z, 0-9, F1-F12, ENTER, ...)");
            continue;
        }
        std::string mod_text;
        if (mod && !is_text(mod)) {
            ignore("\"mod\" is not a text");
            continue;
        }
        if (mod) mod_text = json_strdup(mod).value_or("");
        if (auto word = unknown_modifier(mod_text)) {
            ignore("unknown modifier \"" + *word + "\" (modifiers are CTRL, ALT, SHIFT, SUPER)");
            continue;
        }
        if (!is_text(action)) {
            ignore("no \"action\" text");
            continue;
        }
        std::string action_name = json_strdup(action).value_or("");
        if (!action_known(action_name)) {
            ignore("unknown action \"" + action_name + "\"");
            continue;
        }
        state.key_bindings.push_back({code, config_modifiers(mod_text.c_str()), action_name});
    }
}

// `fallback_fonts`: font files and family names tried before fontconfig's own order; one text
// or a list of texts (entries of other types are skipped).
void read_fallback_fonts(AppState &state, const char *value) {
    state.fallback_fonts.clear();
    if (json_type(value) == JSON_STRING) {
        state.fallback_fonts.push_back(json_text(value));
        return;
    }
    if (json_type(value) != JSON_ARRAY) return;
    for (const char *e = json_first(value); e; e = json_next(e))
        if (json_type(e) == JSON_STRING) state.fallback_fonts.push_back(json_text(e));
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

bool config_syntax_check(const char *text, ConfigSyntaxError &error) {
    SyntaxCursor c{text};
    skip_space(c);
    bool ok;
    if (*c.at != '{') {
        ok = fail(c, *c.at ? "the settings must be one object {...}" : "the file is empty");
    } else {
        ok = check_value(c);
        if (ok) {
            skip_space(c);
            if (*c.at) ok = fail(c, "text after the end of the object");
        }
    }
    if (ok) return true;
    error = {1, 1, c.what};
    for (const char *p = text; p < c.at; ++p) {
        if (*p == '\n') {
            ++error.line;
            error.column = 1;
        } else {
            ++error.column;
        }
    }
    return false;
}

void config_apply(AppState &state, const char *c) {
    ConfigSyntaxError syntax;
    if (!config_syntax_check(c, syntax)) {
        auto detail = str_printf("%s%sline %d, column %d: %s; using the built-in defaults for "
                                 "every setting",
                                 state.config_file.c_str(), state.config_file.empty() ? "" : ": ",
                                 syntax.line, syntax.column, syntax.what);
        log_error("configuration", detail ? detail->c_str() : "syntax error");
        c = "{}";
    }
    const char *v;
    if ((v = number_member(c, "scale", "1"))) {
        double scale = json_double(v, 1.0);
        if (!(scale >= SCALE_MIN && scale <= SCALE_MAX)) {
            double used = std::isnan(scale) ? SCALE_MIN : std::clamp(scale, SCALE_MIN, SCALE_MAX);
            auto detail =
                str_printf("%s is out of range (1 to 4); using %g", shown_value(v).c_str(), used);
            warn_setting("scale", detail ? *detail : "out of range");
            scale = used;
        }
        state.scale = scale;
    }
    state.scale = std::clamp(state.scale, SCALE_MIN, SCALE_MAX);
    state.scale_setting = state.scale;
    read_ranged(c, "font_size", FONT_SIZE_MIN, FONT_SIZE_MAX, state.font_size);
    if (member(c, "thumb_size")) {
        read_ranged(c, "thumb_size", THUMB_SIZE_MIN, THUMB_SIZE_MAX, state.thumb_height);
        state.thumb_width = static_cast<int32_t>(state.thumb_height / 9.0 * 16.0);
    }
    read_ranged(c, "playlist_width", PLAYLIST_WIDTH_MIN, PLAYLIST_WIDTH_MAX, state.list_width);
    if ((v = text_member(c, "save_path", "\".\"")))
        state.save_path = resolve_path(state, json_strdup(v).value_or("."));
    if (member(c, "player_path")) {
        read_text(c, "player_path", state.player_path);
        std::fprintf(stderr, "player path: %s\n", state.player_path.c_str());
    }
    read_path(state, c, "layout_bundle_path", state.layout_bundle_path, "the built-in layout");
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
    read_path(state, c, "font", state.font_path, "the built-in font");
    if ((v = member(c, "fallback_fonts"))) read_fallback_fonts(state, v);
    read_path(state, c, "mascot", state.mascot_path, "no mascot");
    read_path(state, c, "theme_path", state.theme_path, "no theme file");
    if ((v = text_member(c, "theme", "the default theme"))) state.theme_name = json_strdup(v);
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
    read_switch(c, "feed_use_rss", s.feed_use_rss, true);
    read_switch(c, "show_after_playback", s.show_after_playback, true);
    read_text(c, "max_feed_age", state.max_feed_age);
    if ((v = number_member(c, "max_feed_videos_per_channel", "15")))
        state.feed_videos_per_channel = static_cast<int32_t>(json_long(v, 15));
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
    // One that is there but cannot be read (a folder, no permission) is the user's to fix: the
    // player goes on with the defaults.
    std::string reason;
    std::optional<std::string> text = file_read_optional(state.config_file, reason);
    if (!text) {
        std::string detail = "cannot read " + state.config_file + " (" + reason +
                             "); using the built-in defaults for every setting";
        log_error("configuration", detail.c_str());
        config_apply(state, "{}");
        return;
    }
    config_apply(state, text->c_str());
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
    file_replace_cleanup(path); // what an interrupted rewrite of the state left
    std::unique_ptr<FILE, int (*)(FILE *)> probe(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!probe) return;
    probe.reset();
    std::string reason;
    std::optional<std::string> text = file_read_optional(path, reason);
    if (!text) {
        std::string detail = "cannot read " + path + " (" + reason + "); nothing is restored";
        log_error("state file", detail.c_str());
        return;
    }
    state_apply(state, text->c_str());
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
