// Configuration ("solvane.json"), the configuration directory and the state file
// ("solvane_state.json"): how they are found, read into the application record, and written.
#pragma once

#include "plugin/app_state.h"

#include <optional>
#include <string>

// The configuration directory: the host's expansion of "~~/solvane", else config_dir().
std::string find_config_dir();
// Sets the directory and the four file paths joined with "%s/%s".
void set_paths(AppState &state, const std::string &dir);

// Resolves a path setting: absolute ("/…" or "X:…") is kept, anything else is joined to the
// configuration directory.
std::string resolve_path(const AppState &state, const std::string &value);

// Toolkit key code of a configuration key name, or -1.
int32_t config_key_code(const char *name);
// Modifier mask of a "mod" text: the sum of CTRL 1, ALT 2, SHIFT 4, SUPER 8 found in it.
int32_t config_modifiers(const char *text);

// Where and why a configuration text is not JSON: line and column count from 1 (the column in
// bytes); `what` is a constant text.
struct ConfigSyntaxError {
    int32_t line = 0;
    int32_t column = 0;
    const char *what = nullptr;
};
// Checks that the text is one JSON object and nothing else. Besides strict JSON it accepts what
// the settings have always accepted: numbers with a "0x" prefix and a comma before a closing
// bracket. False with the first error's place filled in. Never reads past the terminating NUL.
bool config_syntax_check(const char *text, ConfigSyntaxError &error);

// The sane ranges of the number settings, clamped to with a WARNING.
constexpr int32_t FONT_SIZE_MIN = 6, FONT_SIZE_MAX = 72;
constexpr int32_t THUMB_SIZE_MIN = 18, THUMB_SIZE_MAX = 360;
constexpr int32_t PLAYLIST_WIDTH_MIN = 120, PLAYLIST_WIDTH_MAX = 2000;
constexpr double SCALE_MIN = 1.0, SCALE_MAX = 4.0;

// Reads the settings from the configuration text (NUL-terminated JSON) in key order, printing
// the lines the keys print. Missing keys keep their defaults. A text that is not a JSON object
// is used for nothing: an ERROR line names the line and column, and every setting keeps its
// default. A value of the wrong kind or outside its range, and a key_bindings entry naming an
// unknown key, modifier or action, get a WARNING line naming the key, the value and what is
// used instead.
void config_apply(AppState &state, const char *text);
// Reads the configuration file into the state; a missing file leaves the defaults in place
// and says so in an INFO line, one that cannot be read does the same with an ERROR line.
void config_load(AppState &state);
// Applies a state-file text to the state for the enabled switches.
void state_apply(AppState &state, const char *text);
// Reads the state file when save_window_position or save_state is on and it can be opened;
// one that cannot be read (a folder) restores nothing, with an ERROR line.
void state_load(AppState &state);
// The state-file text for the current query and video.
std::string state_text(const AppState &state);
// Writes the state file into the configuration directory; a file that cannot be opened is
// skipped silently.
void write_state_file(const AppState &state);
