// The host side of the interface window: the input sections the plug-in defines in mpv, and
// showing and hiding the interface (the exclusive key section and the overlay).
#pragma once

#include "plugin/app_state.h"

#include <string>

constexpr const char *SECTION_MAIN = "solfb-section";
constexpr const char *SECTION_TOGGLE = "solfb-toggle-section";
constexpr int OVERLAY_ID = 45;

// The key lines of "solfb-section": every key the interface takes, bound to the plug-in's
// script bindings.
std::string section_text();

// Defines both input sections, enables the toggle section (F12) and marks the window created.
// Fatal ("window init failed", "error") when the GUI size is not positive.
void window_setup(AppState &state);
// Enables the exclusive section, so every key reaches the plug-in.
void window_show(AppState &state);
// Releases the keys to mpv again and removes the overlay.
void window_hide(AppState &state);
