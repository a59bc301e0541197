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

// The window size one unit of scale needs: at `scale` s the interface is laid out for at least
// s * FIT_WIDTH by s * FIT_HEIGHT pixels.
constexpr int32_t FIT_WIDTH = 640;
constexpr int32_t FIT_HEIGHT = 360;
// The scale the interface is built at in a window of this size: the `scale` setting, or less
// (in quarter steps, not below 1) when the window is too small for it, so the main buttons and
// the details view stay on the window instead of being cut off.
double interface_fit_scale(int32_t width, int32_t height, double setting);
