// Building the interface at start-up: the widget tree from the layout bundle at the interface
// scale, the theme, the icons on their buttons, the sidebar page and the search field's focus;
// and laying it out for a new window size.
//
// The icons are borrowed: the caller keeps them alive as long as the tree.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "assets/assets.h"
#include "toolkit/theme.h"
#include "toolkit/widget.h"

// Builds the tree from `bundle` (NUL-terminated JSON), applies `theme` to every widget, gives
// each button of the layout its icon (gfx/icons.h icon_for_button), shows "video_info_split" in
// its page and focuses "search_input". Widgets the bundle lacks are skipped. nullptr when the
// bundle's root cannot be built.
WidgetPtr interface_build(const std::string &bundle, double scale, const ThemeRecords &theme,
                          const std::array<SurfacePtr, ICON_COUNT> &icons);

// Sets the root's geometry to the window size (points equal pixels) and refreshes it: the whole
// root surface is repainted and marked for publishing.
void interface_resize(Widget *root, int32_t width, int32_t height);
