// Start-up assembly of the interface tree.
#include "toolkit/interface.h"

#include "gfx/icons.h"
#include "toolkit/events.h"

namespace {

struct IconWalk {
    const std::array<SurfacePtr, ICON_COUNT> *icons;
};

void attach_icon(Widget *widget, void *argument) {
    auto *button = widget_data<ButtonData>(widget);
    if (!button || !widget->name) return;
    int icon = icon_for_button(*widget->name);
    const auto &icons = *static_cast<IconWalk *>(argument)->icons;
    if (icon >= 0 && icon < ICON_COUNT) button->icon = icons[size_t(icon)].get();
}

} // namespace

WidgetPtr interface_build(const std::string &bundle, double scale, const ThemeRecords &theme,
                          const std::array<SurfacePtr, ICON_COUNT> &icons) {
    WidgetPtr root = layout_build(bundle.c_str(), scale);
    if (!root) return root;
    theme_apply_tree(root.get(), theme);
    IconWalk walk{&icons};
    widget_walk(root.get(), attach_icon, &walk, 0);
    if (Widget *info = widget_find(root.get(), "video_info_split")) page_show(info);
    if (Widget *search = widget_find(root.get(), "search_input")) widget_focus(search);
    return root;
}

void interface_resize(Widget *root, int32_t width, int32_t height) {
    if (!root) return;
    widget_set_geometry(root, 0, 0, width, height);
    widget_refresh(root);
}
