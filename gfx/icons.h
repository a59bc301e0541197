// The built-in images decoded for use: the button icons (scaled once for the interface scale),
// the check widget's two marks and the small 16 x 16 icon, plus which button takes which icon.
//
// Every function returns new surfaces owned by the caller (R, G, B, A, straight alpha).
#pragma once

#include <array>
#include <string_view>

#include "assets/assets.h"
#include "gfx/surface.h"

// The 11 button icons in asset order (assets/assets.h), each decoded with image_decode and
// passed through icon_apply_scale: with `scale` above 1.1 a 20 x 20 icon becomes
// trunc(20 * scale) square, otherwise it keeps its stored size.
std::array<SurfacePtr, ICON_COUNT> icons_load(double scale);

// The check widget's marks: [0] unchecked, [1] checked; 16 x 16, never scaled.
std::array<SurfacePtr, CHECK_MARK_COUNT> check_marks_load();

// The plug-in's small 16 x 16 icon.
SurfacePtr small_icon_load();

// Which icon a button of the default layout shows, by widget name.
struct IconBinding {
    const char *button;
    AssetIcon icon;
};
extern const std::array<IconBinding, 13> ICON_BINDINGS;

// The icon of the button called `name`, or -1 when it has none.
int icon_for_button(std::string_view name);
