#include "plugin/interface.h"

#include "base/runtime.h"
#include "browser/actions.h"
#include "gfx/icons.h"
#include "gfx/image.h"
#include "toolkit/events.h"
#include "toolkit/input.h"
#include "toolkit/interface.h"

#include <cstdio>

namespace {

void relayout(int32_t width, int32_t height, void *argument) {
    AppState &state = *static_cast<AppState *>(argument);
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

void interface_start(AppState &state) {
    std::string bundle = layout_bundle_text(state.layout_bundle_path);
    state.root = interface_build(bundle, state.scale, state.theme, state.icons);
    if (!state.root && state.layout_bundle_path) {
        std::string detail = *state.layout_bundle_path +
                             " has no buildable root widget; using the built-in layout";
        log_error("layout_bundle_path", detail.c_str());
        state.root = interface_build(layout_bundle_builtin(), state.scale, state.theme, state.icons);
    }
    if (!state.root) {
        log_warning("layout", "the layout bundle has no buildable root widget");
        return;
    }
    // The list panel is at least two thumbnails wide.
    Widget *root = state.root.get();
    std::vector<Widget *> top = widget_children(root);
    if (root->kind == WIDGET_SPLIT && !top.empty() && top[0] && top[0]->kind == WIDGET_SPLIT) {
        double size = std::max(state.list_width * state.scale, 2.0 * state.thumb_width * state.scale);
        split_set_size(top[0], size);
    }
    toolkit_set_relayout_hook(relayout, &state);
    if (Surface *surface = toolkit_root_surface())
        interface_resize(root, surface->width, surface->height);
    browser_start(state);
    actions_register(state);
    // Every key goes to the focused widget and up to the root; added last, so it is met first.
    shortcut_add(KEY_ANY, 0, key_dispatch, nullptr);
}
