// Themes: the fifteen colour pairs every widget paints with, read from the built-in themes
// document ("mirra", "light", "dark") or a custom theme file, and copied into the widgets.
//
// Colours are R, G, B, A bytes in memory (Paint colours, gfx/surface.h). Theme records are plain
// values; the application keeps two sets (current and custom).
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "gfx/surface.h"

struct Widget;

enum ThemeKey : int {
    THEME_BASE = 0,
    THEME_ELEM_NORMAL,
    THEME_TEXT_NORMAL,
    THEME_ELEM_HOVER,
    THEME_TEXT_HOVER,
    THEME_ELEM_PRESSED,
    THEME_TEXT_PRESSED,
    THEME_ELEM_DISABLED,
    THEME_TEXT_DISABLED,
    THEME_ELEM_SELECTED,
    THEME_TEXT_SELECTED,
    THEME_SCROLLBAR_NORMAL,
    THEME_SCROLLBAR_HOVER,
    THEME_SCROLLBAR_PRESSED,
    THEME_SCROLLBAR_SELECTED,
    THEME_RECORD_COUNT,
};

using ThemeRecords = std::array<Paint, THEME_RECORD_COUNT>;

// The JSON key of each record, in record order.
extern const char *const THEME_KEYS[THEME_RECORD_COUNT];

// The built-in default records (dpi 72, pen 0).
ThemeRecords theme_defaults();

// Records := defaults, then overwritten from the theme object at `position` (a position in
// NUL-terminated JSON; nullptr or a non-object leaves the defaults).
void theme_load(const char *position, ThemeRecords &records);

// Fill colours of the first fourteen records ("scrollbar_selected" excluded) become
// byte * alpha / 255 in bytes 0, 1 and 2.
void theme_premultiply(ThemeRecords &records);

// Copies the records into one widget (a widget_walk callback: argument is a ThemeRecords*).
void theme_apply(Widget *widget, void *records);
// Walks the whole tree (every page child) with theme_apply.
void theme_apply_tree(Widget *root, const ThemeRecords &records);

// Selects a built-in theme: `current` := the named theme with the base fill's alpha 175 and the
// fills premultiplied, then applied to the tree under `root` (which may be nullptr). Returns false,
// changing nothing, when the themes document has no such member.
bool set_theme(ThemeRecords &current, Widget *root, std::string_view name);

// Loads the custom theme file, premultiplies the fills (the base alpha is not forced), applies it
// to the tree under `root` (may be nullptr) and copies it to `current`. A file that cannot be
// read changes nothing: an ERROR line names the `theme_path` setting, the path and the reason,
// and the result is false.
bool theme_load_custom(const std::string &path, ThemeRecords &custom, ThemeRecords &current,
                       Widget *root);
