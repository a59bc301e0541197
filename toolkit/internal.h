// Shared between the toolkit's own source files: the per-kind operation table.
#pragma once

#include "toolkit/widget.h"

// Everything the toolkit knows about one kind.
struct KindOps {
    const char *type_name;
    uint32_t kind;
    double padding;          // default padding in points (before the scale)
    bool events_by_default;  // pointer regions registered when built
    void (*make_data)(WidgetData &data);
    void (*draw)(Widget *widget); // the kind's draw operation; nullptr for containers
    const TextOps *text_ops;
    const EventHandler *event_handler;
    const ValueOps *value_ops;
};

// The table entry of `kind`, or nullptr.
const KindOps *kind_ops(uint32_t kind);

// Draw operations and operation tables (draw.cpp).
void draw_label(Widget *widget);
void draw_button(Widget *widget);
void draw_input(Widget *widget);
void draw_table(Widget *widget);
void draw_check(Widget *widget);
void draw_progress(Widget *widget);
void draw_scroll(Widget *widget);
extern const TextOps LABEL_TEXT_OPS;
extern const TextOps BUTTON_TEXT_OPS;
extern const TextOps INPUT_TEXT_OPS;
extern const TextOps CHECK_TEXT_OPS;
extern const TextOps PROGRESS_TEXT_OPS;
extern const ValueOps PROGRESS_VALUE_OPS;
extern const ValueOps TABLE_VALUE_OPS;
extern const ValueOps SCROLL_VALUE_OPS;
extern const ValueOps VIEW_VALUE_OPS;

// Grows a layer's dirty rectangle over every blurred widget it touches.
void layer_grow_dirty_for_blur(Widget *layer);
// Union of two rectangles; an empty one (w or h not positive) is ignored.
Rect rect_union(const Rect &a, const Rect &b);
Rect rect_intersect(const Rect &a, const Rect &b);
inline bool rect_empty(const Rect &r) { return r.w <= 0 || r.h <= 0; }

// Table layout shared by drawing and the press handler.
struct TableLayout {
    double header = 0;  // header height shown
    double view = 0;    // view height
    double offset = 0;  // content offset
    int64_t first = 0;  // first row index
    double sub = 0;     // sub-row offset
};
TableLayout table_layout(Widget *table);

// Records where the focused input drew its caret (root-surface pixels).
void toolkit_set_caret(int32_t x, int32_t y);

// The backend's screen operations on the root surface (input.cpp).
void screen_blit(const Surface *surface, const Rect &source, const Rect &dest, bool opaque);
void screen_invalidate(const Rect &rect);
void screen_fill(const Paint &paint, const Rect &rect);
void screen_blur(const Rect &rect, int32_t radius);
