#include "plugin/interface.h"

#include "base/runtime.h"
#include "browser/actions.h"
#include "gfx/icons.h"
#include "gfx/image.h"
#include "toolkit/events.h"
#include "toolkit/input.h"
#include "toolkit/interface.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// Builds the tree at the state's scale with the active theme, gives the list panel its width
// and wires the screens and actions to it. The old tree, if any, goes once the new one is in.
bool build_tree(AppState &state) {
    std::string bundle = layout_bundle_text(state.layout_bundle_path);
    WidgetPtr root = interface_build(bundle, state.scale, state.theme, state.icons);
    if (!root && state.layout_bundle_path) {
        std::string detail =
            *state.layout_bundle_path + " has no buildable root widget; using the built-in layout";
        log_error("layout_bundle_path", detail.c_str());
        root = interface_build(layout_bundle_builtin(), state.scale, state.theme, state.icons);
    }
    if (!root) {
        log_warning("layout", "the layout bundle has no buildable root widget");
        return false;
    }
    // The list panel is at least two thumbnails wide.
    std::vector<Widget *> top = widget_children(root.get());
    if (root->kind == WIDGET_SPLIT && !top.empty() && top[0] && top[0]->kind == WIDGET_SPLIT) {
        double size =
            std::max(state.list_width * state.scale, 2.0 * state.thumb_width * state.scale);
        split_set_size(top[0], size);
    }
    state.root = std::move(root);
    browser_start(state);
    actions_register(state);
    return true;
}

// What the screens show, carried from one tree to the next when the scale changes.
struct ScreenState {
    std::string query;
    std::string status;
    std::string owner;
    bool list_focused = false;
    void *selected = nullptr;
    double position = 0;
};

std::string text_of(Widget *widget) {
    const char *text = widget ? widget_get_text(widget) : nullptr;
    return text ? text : "";
}

ScreenState screen_save(AppState &state) {
    BrowserWidgets &w = state.browser.widgets;
    ScreenState out;
    out.query = text_of(w.search_input);
    out.status = text_of(w.status_label);
    out.owner = text_of(w.playlist_label);
    out.list_focused = w.list_table && toolkit_backend().focus == w.list_table;
    if (auto *table = widget_data<TableData>(w.list_table)) out.selected = table->selected;
    out.position = widget_get_value(w.list_table);
    return out;
}

void screen_restore(AppState &state, const ScreenState &saved) {
    BrowserWidgets &w = state.browser.widgets;
    if (w.search_input) widget_set_text(w.search_input, saved.query.c_str());
    if (w.status_label) widget_set_text(w.status_label, saved.status.c_str());
    if (w.playlist_label) widget_set_text(w.playlist_label, saved.owner.c_str());
    Browser &b = state.browser;
    static const char *const TYPES[4] = {"All", "Video", "Channel", "Playlist"};
    if (w.search_type_label) widget_set_text(w.search_type_label, TYPES[b.search_type & 3]);
    if (w.search_live_label) widget_set_text(w.search_live_label, b.search_live ? "Yes" : "No");
    if (w.search_sort_label)
        widget_set_text(w.search_sort_label, b.search_sort ? "Views" : "Relevance");
    if (b.search_settings_open && w.search_settings_split)
        split_set_size(w.search_settings_split, 92 * state.scale);
    if (auto *table = widget_data<TableData>(w.list_table)) table->selected = saved.selected;
    widget_set_value(w.list_table, saved.position);
    widget_set_value(w.list_scroll, saved.position);
    if (saved.list_focused && w.list_table) widget_focus(w.list_table);
}

// Rebuilds the interface at another scale: icons, font size, owner picture, the tree and what
// its screens showed. Downloaded images are stored at the scale's sizes, so they are fetched
// again.
void interface_rescale(AppState &state, double scale) {
    ScreenState saved = screen_save(state);
    state.scale = scale;
    state.icons = icons_load(scale);
    int32_t avatar = static_cast<int32_t>(scale * 48 + scale * 10);
    state.playlist_avatar.reset(surface_new(avatar, avatar));
    toolkit_backend().default_size = scale * state.font_size;
    WidgetPtr old = std::move(state.root);
    if (!build_tree(state)) {
        state.root = std::move(old);
        return;
    }
    old.reset();
    screen_restore(state, saved);
    browser_clear_thumbnails(state);
    for (list_item *item : state.browser.results)
        thumbnail_queue(state, *item);
    if (state.current_video_id) frames_queue(state, *state.current_video_id);
    std::fprintf(stderr, "interface scale %g for a %s window\n", scale,
                 scale < state.scale_setting ? "smaller" : "larger");
}

void relayout(int32_t width, int32_t height, void *argument) {
    AppState &state = *static_cast<AppState *>(argument);
    double fit = interface_fit_scale(width, height, state.scale_setting);
    if (state.root && fit != state.scale) interface_rescale(state, fit);
    // A list panel wider than three fifths of the window (huge thumbnails) would leave the
    // details view and its buttons no room: it narrows to fit.
    if (Widget *root = state.root.get(); root && root->kind == WIDGET_SPLIT) {
        std::vector<Widget *> top = widget_children(root);
        auto *panel = !top.empty() && top[0] && top[0]->kind == WIDGET_SPLIT
                          ? widget_data<SplitData>(top[0])
                          : nullptr;
        if (panel && panel->method != RESIZE_RATIO && panel->size > width * 0.6)
            split_set_size(top[0], std::floor(width * 0.6));
    }
    browser_relayout(state, width, height);
}

// Alpha of every pixel scaled by (a * factor) >> 8.
void scale_alpha(Surface *s, uint32_t factor) {
    if (!s) return;
    size_t n = static_cast<size_t>(s->stride) * static_cast<size_t>(s->height);
    for (size_t i = 3; i < n; i += 4) s->pixels[i] = static_cast<uint8_t>((s->pixels[i] * factor) >> 8);
}

// The `font` file as a font, or nullptr after an ERROR line saying why it cannot be used.
std::unique_ptr<Font> font_from_setting(const std::string &path) {
    std::string reason;
    std::optional<std::string> bytes = file_read_optional(path, reason);
    std::unique_ptr<Font> font;
    if (bytes) {
        font = font_parse(reinterpret_cast<const uint8_t *>(bytes->data()), bytes->size());
        if (!font) reason = "not a TrueType font";
    }
    if (!font) {
        std::string detail = "cannot use " + path + " (" + reason + "); using the built-in font";
        log_error("font", detail.c_str());
    }
    return font;
}

// The `mascot` picture, or nullptr after an ERROR line when its file cannot be read. A file that
// is read but does not decode gives the image loader's WARNING and a blank picture.
Surface *mascot_from_setting(const AppState &state, const std::string &path) {
    std::string reason;
    if (!file_read_optional(path, reason)) {
        std::string detail = "cannot read " + path + " (" + reason + "); showing no mascot";
        log_error("mascot", detail.c_str());
        return nullptr;
    }
    return mascot_load(path, state.config_dir);
}

} // namespace

void interface_load_resources(AppState &state) {
    if (state.font_path) state.font = font_from_setting(*state.font_path);
    if (!state.font) state.font = font_load_builtin();
    // What the font lacks comes from installed fonts, looked up the first time it is drawn.
    font_fallback_enable(state.font.get(), state.fallback_fonts, state.config_dir);

    // Both themes start as the defaults; a theme file replaces them, a theme name then picks a
    // built-in theme over it.
    state.theme = theme_defaults();
    state.custom_theme = theme_defaults();
    if (state.theme_path) theme_load_custom(*state.theme_path, state.custom_theme, state.theme, nullptr);
    if (state.theme_name && !set_theme(state.theme, nullptr, *state.theme_name)) {
        std::string detail = "no built-in theme \"" + *state.theme_name + "\"";
        log_warning("theme", detail.c_str());
    }

    if (state.mascot_path) state.mascot.reset(mascot_from_setting(state, *state.mascot_path));
    state.icons = icons_load(state.scale);
    state.small_icon = small_icon_load();
    scale_alpha(state.small_icon.get(), 129);
    state.preview.reset(surface_new(1, 1));
    int32_t avatar = static_cast<int32_t>(state.scale * 48 + state.scale * 10);
    state.playlist_avatar.reset(surface_new(avatar, avatar));

    ToolkitBackend &backend = toolkit_backend();
    backend.default_font = state.font.get();
    backend.default_size = state.scale * state.font_size;
}

double interface_fit_scale(int32_t width, int32_t height, double setting) {
    if (width <= 0 || height <= 0) return setting;
    double room = std::min(double(width) / FIT_WIDTH, double(height) / FIT_HEIGHT);
    // In quarter steps, so that dragging a window edge does not rebuild at every pixel.
    double fit = std::floor(room * 4) / 4;
    return std::clamp(fit, 1.0, std::max(1.0, setting));
}

void interface_start(AppState &state) {
    if (!build_tree(state)) return;
    toolkit_set_relayout_hook(relayout, &state);
    if (Surface *surface = toolkit_root_surface())
        interface_resize(state.root.get(), surface->width, surface->height);
    // Every key goes to the focused widget and up to the root; added last, so it is met first.
    shortcut_add(KEY_ANY, 0, key_dispatch, nullptr);
}
