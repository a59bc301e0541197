// The interface's start-up: font, theme, images and the widget tree built from the layout
// bundle, laid out to the window and re-laid out whenever the window size changes.
#pragma once

#include "plugin/app_state.h"

// Loads what the configuration names for the interface: the font (the built-in "sol6x12"
// without a `font` setting), the custom theme file and the built-in theme, the mascot, the icons
// at the interface scale and the small icon. A named font, theme, layout or mascot file that
// cannot be read or used gets an ERROR line naming the setting and the path, and the built-in
// one (or none, for the mascot) is used: the player goes on.
void interface_load_resources(AppState &state);
// Builds the widget tree at the configured scale with the active theme, lays it out to the
// interface size and installs the relayout hook and the global key routing.
void interface_start(AppState &state);
