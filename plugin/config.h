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

// Reads the settings from the configuration text (NUL-terminated JSON) in key order, printing
// the lines the keys print. Missing keys keep their defaults.
void config_apply(AppState &state, const char *text);
// Reads the configuration file into the state; a missing file leaves the defaults in place
// and says so in an INFO line.
void config_load(AppState &state);
// Applies a state-file text to the state for the enabled switches.
void state_apply(AppState &state, const char *text);
// Reads the state file when save_window_position or save_state is on and it can be opened.
void state_load(AppState &state);
// The state-file text for the current query and video.
std::string state_text(const AppState &state);
// Writes the state file into the configuration directory; a file that cannot be opened is
// skipped silently.
void write_state_file(const AppState &state);
