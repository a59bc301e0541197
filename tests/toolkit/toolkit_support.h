// Toolkit test helpers: a clean state with a root surface, widgets from JSON, reading pixels
// (with the colours and pixel access of the gfx tests).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/defer.h"
#include "base/host.h"
#include "base/runtime.h"
#include "support/fake_mpv.h"
#include "gfx/gfx_test.h"
#include "gfx/text.h"
#include "toolkit/events.h"
#include "toolkit/input.h"
#include "toolkit/theme.h"
#include "toolkit/widget.h"

namespace tk {

inline Font *font() {
    static std::unique_ptr<Font> f = font_load_builtin();
    return f.get();
}

// A settable clock for double clicks and animations.
inline uint32_t &fake_now() {
    static uint32_t now = 100000;
    return now;
}
inline uint32_t fake_clock() { return fake_now(); }

// Fresh globals, a zeroed root surface of w x h, the built-in font at 12 points as default.
inline void reset(int32_t w = 200, int32_t h = 100, bool with_font = true) {
    fakehost::reset();
    host_set(fakehost::handle());
    toolkit_globals_create();
    toolkit_set_root_surface(SurfacePtr(surface_new(w, h)));
    ToolkitBackend &b = toolkit_backend();
    b.focus = nullptr;
    b.current = nullptr;
    b.default_font = with_font ? font() : nullptr;
    b.default_size = 12;
    fake_now() = 100000;
    clock_override(fake_clock);
    defer_queue_destroy();
    defer_queue_create();
}

// Builds a tree from JSON (single quotes become double quotes), themed with the defaults and
// laid out at (0, 0, w, h).
inline WidgetPtr build(std::string json, double w, double h, double scale = 1) {
    for (char &c : json)
        if (c == '\'') c = '"';
    WidgetPtr root = layout_build(json.c_str(), scale);
    if (!root) return root;
    theme_apply_tree(root.get(), theme_defaults());
    widget_set_geometry(root.get(), 0, 0, w, h);
    return root;
}

struct CellCall {
    uint32_t flags;
    void *item;
    CellRect cell;
};

// A table built from `json` whose cells are recorded instead of drawn, holding `n` rows.
struct Table {
    WidgetPtr widget;
    TableData *data;
    List<TableCells> list;
    std::vector<ListNode<TableCells> *> nodes;
    std::vector<CellCall> calls;
    Table(const char *json, double w, double h, int n) {
        widget = build(json, w, h);
        data = widget_data<TableData>(widget.get());
        data->cell_callback = [](Widget *, uint32_t flags, void *item, int32_t,
                                 const CellRect &cell, void *calls) {
            static_cast<std::vector<CellCall> *>(calls)->push_back({flags, item, cell});
        };
        data->cell_argument = &calls;
        for (int i = 0; i < n; ++i)
            nodes.push_back(list.append(new TableCells, 1));
        table_set_rows(widget.get(), table_rows_of(list), n);
    }
};

inline uint32_t root_pixel(int x, int y) { return pixel(toolkit_root_surface(), x, y); }
// A Paint colour (R, G, B, A) as it lands on the root surface (B, G, R, A).
inline uint32_t on_screen(uint32_t rgba) {
    return (rgba & 0xFF00FF00u) | ((rgba >> 16) & 0xFF) | ((rgba & 0xFF) << 16);
}

inline ::testing::AssertionResult box_is(const WidgetBox &b, double x, double y, double w,
                                         double h) {
    if (std::abs(b.x - x) + std::abs(b.y - y) + std::abs(b.w - w) + std::abs(b.h - h) < 1e-6)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "box (" << b.x << ", " << b.y << ", " << b.w << ", " << b.h << ")";
}

} // namespace tk
