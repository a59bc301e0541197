// Widget drawing: each leaf kind's draw operation onto its own surface, the compositor that blurs
// and blits visible parts onto the root surface, the table with its cell callback, the blur, and
// the kinds' text and value operations.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "base/runtime.h"
#include "gfx/utf8.h"
#include "toolkit/events.h"
#include "toolkit/internal.h"
#include "toolkit/widget.h"

// ---- Rectangles -----------------------------------------------------------------------------

Rect rect_union(const Rect &a, const Rect &b) {
    if (rect_empty(a)) return rect_empty(b) ? Rect{} : b;
    if (rect_empty(b)) return a;
    int32_t x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
    int32_t x1 = std::max(a.x + a.w, b.x + b.w), y1 = std::max(a.y + a.h, b.y + b.h);
    return {x0, y0, x1 - x0, y1 - y0};
}

Rect rect_intersect(const Rect &a, const Rect &b) {
    int32_t x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
    int32_t x1 = std::min(a.x + a.w, b.x + b.w), y1 = std::min(a.y + a.h, b.y + b.h);
    return {x0, y0, x1 - x0, y1 - y0};
}

namespace {

int32_t px(double points, const Widget *widget) {
    return points_to_pixels(points, widget->base_paint.dpi);
}

bool blurred(const Widget *widget) { return (widget->blend & 6) == 6; }

// A leaf's surface never exceeds these sides (and this many pixels): a hostile bundle cannot make
// a widget allocate more than 128 MB; what lies beyond is not drawn.
constexpr int32_t SURFACE_SIDE_LIMIT = 8192;
constexpr int64_t SURFACE_PIXEL_LIMIT = 32 << 20;

// The widget's own surface at its outer pixel size (recreated when the size changed).
Surface *own_surface(Widget *widget) {
    int32_t w = std::min(widget->outer_rect.w, SURFACE_SIDE_LIMIT);
    int32_t h = std::min(widget->outer_rect.h, SURFACE_SIDE_LIMIT);
    if (int64_t(w) * h > SURFACE_PIXEL_LIMIT) h = int32_t(SURFACE_PIXEL_LIMIT / w);
    if (!widget->surface || widget->surface->width != w || widget->surface->height != h)
        widget->surface.reset(surface_new(w, h));
    return widget->surface.get();
}

// Fills the box (points, relative to the widget) with the paint's fill colour.
void fill_box(Widget *widget, const Paint &paint, double x, double y, double w, double h) {
    int32_t x0 = px(x, widget), y0 = px(y, widget);
    int32_t x1 = px(x + w, widget) - 1, y1 = px(y + h, widget) - 1;
    surface_fill_rect(widget->surface.get(), paint, x0, y0, x1, y1);
}
void fill_all(Widget *widget, const Paint &paint) {
    Surface *s = widget->surface.get();
    surface_fill_rect(s, paint, 0, 0, s->width - 1, s->height - 1);
}
// Four lines along the box (points) in the paint's line colour.
void outline_box(Widget *widget, const Paint &paint, double x, double y, double w, double h) {
    Surface *s = widget->surface.get();
    int32_t x0 = px(x, widget), y0 = px(y, widget);
    int32_t x1 = px(x + w, widget) - 1, y1 = px(y + h, widget) - 1;
    surface_draw_line(s, paint, x0, y0, x1, y0);
    surface_draw_line(s, paint, x1, y0, x1, y1);
    surface_draw_line(s, paint, x1, y1, x0, y1);
    surface_draw_line(s, paint, x0, y1, x0, y0);
}
void border(Widget *widget, const Paint &paint) {
    if (!widget->has_border) return;
    outline_box(widget, paint, 0, 0, widget->outer_box.w, widget->outer_box.h);
}

// Draws text from the pen (points) with a copy of the paint; returns text_draw's result.
int32_t draw_text(Widget *widget, const TextElement &element, const Paint &paint, double x,
                  double y, const char *text, uint32_t flags, double width) {
    Paint pen = paint;
    pen.dpi = widget->base_paint.dpi;
    pen.x = x;
    pen.y = y;
    return text_draw(widget->surface.get(), &pen, element.font, text, flags, element.size, width);
}
int32_t measure_text(Widget *widget, const TextElement &element, const char *text, double width) {
    Paint pen = element.paints[PAINT_TEXT_NORMAL];
    pen.dpi = widget->base_paint.dpi;
    pen.x = pen.y = 0;
    int32_t t = text_draw(nullptr, &pen, element.font, text, TEXT_NO_DRAW | TEXT_RETURN_WIDTH,
                          element.size, width);
    return std::max(t, 0);
}

// The text as one line of `width` points: unchanged when it fits, else cut after a whole word
// (within the word when the first one is too wide) and ended with an ellipsis.
std::string fit_line(Widget *widget, const TextElement &element, const char *text, double width) {
    Paint pen = element.paints[PAINT_TEXT_NORMAL];
    pen.dpi = widget->base_paint.dpi;
    return text_fit(pen, element.font, text, element.size, width, 1);
}

const Paint &elem(const TextElement &e, uint32_t state) {
    return e.paints[PAINT_ELEM_NORMAL + std::min(state, 4u)];
}
const Paint &textp(const TextElement &e, uint32_t state) {
    return e.paints[PAINT_TEXT_NORMAL + std::min(state, 4u)];
}

} // namespace

// ---- Leaf kinds -----------------------------------------------------------------------------

void draw_label(Widget *widget) {
    auto *d = widget_data<LabelData>(widget);
    const TextElement &e = d->element;
    const Paint &base = e.paints[PAINT_ELEM_NORMAL];
    fill_all(widget, base);
    border(widget, base);
    if (!d->text) return;
    double p = widget->padding, W = widget->outer_box.w, H = widget->outer_box.h, S = e.size;
    const Paint &ink = e.paints[PAINT_TEXT_NORMAL];
    const char *text = d->text->c_str();
    switch (d->wrap) {
    case WRAP_WORD:
        draw_text(widget, e, ink, p, p, text, TEXT_WRAP | TEXT_WRAP_WORDS, W - 2 * p);
        break;
    case WRAP_WRAPPED: draw_text(widget, e, ink, p, p, text, TEXT_WRAP, W - 2 * p); break;
    default: {
        std::string line = fit_line(widget, e, text, W - 2 * p);
        double t = measure_text(widget, e, line.c_str(), W - 2 * p);
        double x = d->alignment == ALIGN_RIGHT    ? W - p - t
                   : d->alignment == ALIGN_CENTER ? (W - t) / 2
                                                  : p;
        draw_text(widget, e, ink, x, (H - S) / 2, line.c_str(), TEXT_RETURN_WIDTH, W - 2 * p);
    }
    }
}

void draw_button(Widget *widget) {
    auto *d = widget_data<ButtonData>(widget);
    const TextElement &e = d->element;
    uint32_t s = e.state;
    fill_all(widget, elem(e, s));
    border(widget, elem(e, s));
    double p = widget->padding, W = widget->outer_box.w, H = widget->outer_box.h, S = e.size;
    const char *label = d->text ? d->text->c_str() : "";
    double y = (H - S) / 2;
    if (!d->icon) {
        std::string line = fit_line(widget, e, label, W - 2 * p);
        const char *text = line.c_str();
        double t = measure_text(widget, e, text, W - 2 * p);
        draw_text(widget, e, textp(e, s), (W - t) / 2, y, text, TEXT_RETURN_WIDTH, W - 2 * p);
        return;
    }
    double dpi = widget->base_paint.dpi > 0 ? widget->base_paint.dpi : 72;
    double iw = d->icon->width * 72.0 / dpi, ih = d->icon->height * 72.0 / dpi;
    double room = W - 2 * p - iw - p;
    std::string line = *label ? fit_line(widget, e, label, room) : std::string();
    const char *text = line.c_str();
    double t = *text ? measure_text(widget, e, text, room) : 0;
    double group = iw + t + (t > 0 ? p : 0);
    double ix = (W - group) / 2, iy = (H - ih) / 2;
    Rect dest{px(ix, widget), px(iy, widget), d->icon->width, d->icon->height};
    surface_blit(d->icon, nullptr, widget->surface.get(), &dest, 0);
    if (*text) draw_text(widget, e, textp(e, s), ix + iw + p, y, text, TEXT_RETURN_WIDTH, room);
}

void draw_input(Widget *widget) {
    auto *d = widget_data<InputData>(widget);
    const TextElement &e = d->element;
    const Paint &normal = e.paints[PAINT_TEXT_NORMAL];
    const Paint &selected = e.paints[PAINT_TEXT_SELECTED];
    fill_all(widget, normal);
    double p = widget->padding, W = widget->outer_box.w, H = widget->outer_box.h, S = e.size;
    double y = (H - S) / 2;
    const std::string &text = d->text;
    int32_t length = int32_t(text.size());
    d->cursor = std::clamp(d->cursor, 0, length);
    d->anchor = std::clamp(d->anchor, 0, length);

    double hint = 0; // the hint's width; 0 when it is not drawn
    if (e.font && !d->hint.empty()) {
        Paint m = normal;
        m.dpi = widget->base_paint.dpi;
        hint = std::max(
            0, text_measure(m, e.font, d->hint.c_str(), int32_t(d->hint.size()) + 1, e.size));
        if (hint + p > (W - 2 * p) * 2 / 3) hint = 0;
    }
    double reserved = hint > 0 ? hint + p : 0;
    if (e.font) {
        Paint m = normal;
        m.dpi = widget->base_paint.dpi;
        double c = std::max(0, text_measure(m, e.font, text.c_str(), d->cursor, e.size));
        double t = std::max(0, text_measure(m, e.font, text.c_str(), length + 1, e.size));
        double a = W - 2 * p - reserved, o = d->offset;
        if (c + o < 0) o = -c;
        if (c + o > a) o = a - c;
        if (t + o < a) {
            o = a - t;
            if (o > 0) o = 0;
        }
        d->offset = o;
    }

    double x = p + d->offset;
    double caret = -1;
    int32_t i = 0;
    while (i < length) {
        uint32_t cp;
        int32_t n = utf8_decode(text.c_str() + i, &cp);
        if (n == 0) break;
        if (widget->focused && i == d->cursor) caret = x;
        bool in_selection = widget->focused && ((i < d->anchor) != (i < d->cursor));
        const char *at = text.c_str() + i;
        double w;
        if (in_selection) {
            w = std::max(0, draw_text(widget, e, selected, x, y, at,
                                      TEXT_ONE_CHAR | TEXT_RETURN_WIDTH | TEXT_NO_DRAW, 1e9));
            fill_box(widget, selected, x, y, w, S + 1);
            draw_text(widget, e, selected, x, y, at, TEXT_ONE_CHAR | TEXT_STORE_PEN, 1e9);
        } else {
            w = std::max(0, draw_text(widget, e, normal, x, y, at,
                                      TEXT_ONE_CHAR | TEXT_STORE_PEN | TEXT_RETURN_WIDTH, 1e9));
        }
        x += w;
        i += n;
    }
    if (widget->focused) {
        if (caret < 0) caret = x;
        int32_t cx = px(caret, widget);
        surface_draw_line(widget->surface.get(), normal, cx, px(y, widget), cx, px(y + S, widget));
        toolkit_set_caret(widget->outer_rect.x + cx, widget->outer_rect.y + px(y, widget));
    }
    if (p > 1) {
        fill_box(widget, normal, 0, 0, p, H + 1); // [0, p - 1] and [W - p + 2, W + 2]
        fill_box(widget, normal, W - p + 2, 0, p + 1, H + 1);
    }
    if (hint > 0) {
        fill_box(widget, normal, W - p - reserved, 0, reserved + p + 2, H + 1);
        draw_text(widget, e, e.paints[PAINT_TEXT_DISABLED], W - p - hint, y, d->hint.c_str(),
                  TEXT_RETURN_WIDTH, hint + 1);
    }
    if (widget->has_border) {
        Paint line = normal;
        line.color = e.paints[PAINT_ELEM_HOVER].color;
        border(widget, line);
    }
}

void draw_check(Widget *widget) {
    auto *d = widget_data<CheckData>(widget);
    const TextElement &e = d->element;
    uint32_t s = e.state;
    const Paint &face = elem(e, s);
    fill_all(widget, face);
    double p = widget->padding, W = widget->outer_box.w, H = widget->outer_box.h, S = e.size;
    double bx = p, by = (H - S) / 2;
    fill_box(widget, face, bx, by, S, S);
    outline_box(widget, face, bx, by, S, S);
    if (d->checked) {
        double side = S / 2.5;
        Paint mark = face;
        mark.fill_color = textp(e, s).color;
        fill_box(widget, mark, bx + (S - side) / 2, by + (S - side) / 2, side, side);
    }
    if (d->text) {
        double room = W - 2 * p - S - p;
        std::string line = fit_line(widget, e, d->text->c_str(), room);
        draw_text(widget, e, textp(e, s), p + S + p, (H - S) / 2, line.c_str(), TEXT_RETURN_WIDTH,
                  room);
    }
}

void draw_progress(Widget *widget) {
    auto *d = widget_data<ProgressData>(widget);
    const TextElement &e = d->element;
    double p = widget->padding, W = widget->outer_box.w, H = widget->outer_box.h, S = e.size;
    fill_all(widget, e.paints[PAINT_TEXT_NORMAL]);
    double v = std::clamp(d->value, 0.0, 100.0);
    if (v > 0) fill_box(widget, e.paints[PAINT_ELEM_SELECTED], 0, 0, W * v / 100, H);
    border(widget, e.paints[PAINT_ELEM_NORMAL]);
    if (d->show_text) {
        auto text = str_printf("%.1lf%%", d->value);
        if (!text) return;
        double t = measure_text(widget, e, text->c_str(), W - 2 * p);
        draw_text(widget, e, e.paints[PAINT_TEXT_NORMAL], (W - t) / 2, (H - S) / 2,
                  text->c_str(), TEXT_RETURN_WIDTH, W - 2 * p);
    }
}

void draw_scroll(Widget *widget) {
    auto *d = widget_data<ScrollData>(widget);
    const TextElement &e = d->element;
    uint32_t s = e.state;
    fill_all(widget, widget->base_paint);
    bool vertical = d->orientation == ORIENT_VERTICAL;
    double W = widget->outer_box.w, H = widget->outer_box.h;
    double along = vertical ? H : W, across = vertical ? W : H;
    double v = d->position;
    // A box given along and across the axis.
    auto fill_axis = [&](const Paint &paint, double a0, double length, double c0, double width) {
        if (vertical)
            fill_box(widget, paint, c0, a0, width, length);
        else
            fill_box(widget, paint, a0, c0, length, width);
    };
    auto outline_axis = [&](const Paint &paint, double a0, double length) {
        if (!widget->has_border) return;
        if (vertical)
            outline_box(widget, paint, 0, a0, across, length);
        else
            outline_box(widget, paint, a0, 0, length, across);
    };
    if (d->style == SCROLL_SLIDER) {
        double t0 = across * 4 / 9, t1 = across * 5 / 9;
        double knob_at = along * v / 100;
        fill_axis(e.paints[PAINT_ELEM_SELECTED], 0, knob_at, t0, t1 - t0);
        fill_axis(e.paints[PAINT_ELEM_NORMAL], knob_at, along - knob_at, t0, t1 - t0);
        double knob = across / 2, start = (along - knob) * v / 100;
        fill_axis(elem(e, s), start, knob, 0, across);
        outline_axis(elem(e, s), start, knob);
    } else {
        border(widget, widget->base_paint);
        double G = along * d->grip / 100, start = (along - G) * v / 100;
        fill_axis(elem(e, s), start, G, 0, across);
        outline_axis(elem(e, s), start, G);
    }
}

// ---- Table ----------------------------------------------------------------------------------

TableLayout table_layout(Widget *table) {
    auto *d = widget_data<TableData>(table);
    TableLayout l;
    l.header = d->show_header ? d->header_height : 0;
    l.view = table->outer_box.h - l.header;
    double R = d->row_height;
    if (R <= 0) return l;
    l.offset = std::max(0.0, (d->row_count * R - l.view) * d->scroll / 100);
    l.first = int64_t(std::floor(l.offset / R));
    l.sub = l.offset - double(l.first) * R;
    return l;
}

namespace {

struct Column {
    double x;
    double w;
};

std::vector<Column> table_columns(Widget *table) {
    auto *d = widget_data<TableData>(table);
    double W = table->outer_box.w;
    double fixed = 0;
    for (double width : d->column_widths)
        if (width < 0) fixed += width;
    double rest = std::max(100.0, W + fixed);
    std::vector<Column> out;
    double before = 0;
    for (double width : d->column_widths) {
        double share = width > 0 ? width : -width / rest * 100;
        out.push_back({rest * before / 100, rest * share / 100});
        before += share;
    }
    return out;
}

} // namespace

void draw_table(Widget *widget) {
    auto *d = widget_data<TableData>(widget);
    const TextElement &e = d->element;
    double W = widget->outer_box.w, H = widget->outer_box.h, R = d->row_height;
    TableLayout l = table_layout(widget);
    std::vector<Column> columns = table_columns(widget);
    double bottom = l.header - l.sub;
    if (R > 0 && d->rows.first) {
        int64_t k = int64_t(std::floor(l.view / R + 2));
        void *node = d->rows.first(d->rows.list);
        for (int64_t i = 0; i < l.first && node; ++i) node = d->rows.next(d->rows.list, node);
        for (int64_t i = 0; i < k && node; ++i, node = d->rows.next(d->rows.list, node)) {
            double y = double(i) * R + l.header - l.sub;
            bool selected = node == d->selected;
            bool odd = (l.first + i) % 2 != 0;
            const Paint &band = selected ? e.paints[PAINT_TEXT_SELECTED]
                                : odd    ? e.paints[PAINT_TEXT_NORMAL]
                                         : e.paints[PAINT_TEXT_PRESSED];
            fill_box(widget, band, 0, y, W, R);
            for (size_t c = 0; c < columns.size(); ++c) {
                uint32_t flags = (c < d->column_flags.size() ? d->column_flags[c] : 0) |
                                 (odd ? CELL_ODD : CELL_EVEN) | (selected ? CELL_SELECTED : 0);
                if (d->cell_callback)
                    d->cell_callback(widget, flags, d->rows.item(node), int32_t(c),
                                     {columns[c].x, y, columns[c].w, R}, d->cell_argument);
            }
            bottom = y + R;
        }
    }
    fill_box(widget, e.paints[PAINT_ELEM_NORMAL], 0, bottom, W, H + 1 - bottom);
    if (d->show_header) {
        double hh = l.header;
        const Paint &head = e.paints[PAINT_ELEM_NORMAL];
        fill_box(widget, head, 0, 0, W, hh + 1);
        if (widget->has_border) outline_box(widget, head, 0, 0, W, hh);
        for (size_t c = 0; c < columns.size(); ++c) {
            int32_t x = px(columns[c].x, widget);
            surface_draw_line(widget->surface.get(), head, x, 0, x, px(hh, widget));
            if (d->cell_callback)
                d->cell_callback(widget, c < d->column_flags.size() ? d->column_flags[c] : 0,
                                 d->header_item, int32_t(c), {columns[c].x, 0, columns[c].w, hh},
                                 d->cell_argument);
        }
    }
    border(widget, widget->base_paint);
}

void table_default_cell(Widget *table, uint32_t flags, void *item, int32_t column,
                        const CellRect &cell, void *) {
    auto *d = widget_data<TableData>(table);
    auto *cells = static_cast<const TableCells *>(item);
    if (!d || !cells || column < 0 || size_t(column) >= cells->cells.size()) return;
    const void *entry = cells->cells[size_t(column)];
    if (!entry) return;
    const TextElement &e = d->element;
    if (!(flags & COLUMN_IMAGE)) {
        double p = table->padding;
        const Paint &ink = e.paints[(flags & CELL_SELECTED) ? PAINT_TEXT_SELECTED
                                                            : PAINT_TEXT_NORMAL];
        std::string line = fit_line(table, e, static_cast<const char *>(entry), cell.w - 2 * p);
        draw_text(table, e, ink, cell.x + p, cell.y + (d->row_height - e.size) / 2, line.c_str(),
                  TEXT_RETURN_WIDTH, cell.w - 2 * p);
        return;
    }
    auto *image = static_cast<const Surface *>(entry);
    double dpi = table->base_paint.dpi > 0 ? table->base_paint.dpi : 72;
    double iw = image->width * 72.0 / dpi, ih = image->height * 72.0 / dpi;
    Rect dest{px(cell.x + (cell.w - iw) / 2, table), px(cell.y + (d->row_height - ih) / 2, table),
              image->width, image->height};
    surface_blit(image, nullptr, table->surface.get(), &dest, 0);
}

void table_set_rows(Widget *table, const TableRowSource &rows, int32_t row_count) {
    auto *d = widget_data<TableData>(table);
    if (!d) return;
    d->rows = rows;
    d->row_count = row_count;
    d->selected = nullptr;
}

void table_set_columns(Widget *table, int32_t columns, const double *widths,
                       const uint32_t *flags) {
    auto *d = widget_data<TableData>(table);
    if (!d) return;
    d->columns = std::max(columns, 0);
    d->column_widths.assign(size_t(d->columns), d->columns ? 100.0 / d->columns : 0);
    d->column_flags.assign(size_t(d->columns), 0);
    for (int32_t i = 0; i < d->columns; ++i) {
        if (widths) d->column_widths[size_t(i)] = widths[i];
        if (flags) d->column_flags[size_t(i)] = flags[i];
    }
}

void table_scroll_to_selection(Widget *table) {
    auto *d = widget_data<TableData>(table);
    if (!d || !d->selected || !d->rows.first) return;
    int64_t j = 0;
    void *node = d->rows.first(d->rows.list);
    while (node && node != d->selected) {
        node = d->rows.next(d->rows.list, node);
        ++j;
    }
    if (!node) return;
    TableLayout l = table_layout(table);
    double R = d->row_height, V = l.view, n = d->row_count;
    double span = n * R - V;
    double O = std::max(0.0, span * widget_get_value(table) / 100);
    double row_top = double(j) * R;
    if (O > row_top)
        O = row_top;
    else if (O < row_top - V + R)
        O = std::max(0.0, row_top - V + R);
    else
        return;
    double scroll = span > 0 ? std::clamp(O / span * 100, 0.0, 100.0) : 0;
    widget_set_value(table, scroll);
}

// ---- Compositing ----------------------------------------------------------------------------

bool widget_visible_rect(Widget *widget, Rect *absolute, Rect *relative) {
    Rect r = rect_intersect(widget->outer_rect, widget->inner_rect);
    if (rect_empty(r)) return false;
    if (Widget *layer = widget_layer(widget)) {
        r = rect_intersect(r, widget_data<LayerData>(layer)->dirty);
        if (rect_empty(r)) return false;
    }
    if (absolute) *absolute = r;
    if (relative) *relative = {r.x - widget->outer_rect.x, r.y - widget->outer_rect.y, r.w, r.h};
    return true;
}

void layer_grow_dirty_for_blur(Widget *layer) {
    auto *data = widget_data<LayerData>(layer);
    if (!data || rect_empty(data->dirty)) return;
    widget_walk(
        layer,
        [](Widget *w, void *arg) {
            if (!blurred(w)) return;
            Rect &dirty = *static_cast<Rect *>(arg);
            Rect visible = rect_intersect(w->outer_rect, w->inner_rect);
            if (rect_empty(visible) || rect_empty(rect_intersect(visible, dirty))) return;
            dirty = rect_union(dirty, visible);
        },
        &data->dirty, 0);
}

void widget_draw(Widget *widget) {
    const KindOps *ops = kind_ops(widget->kind);
    if (!ops || !ops->draw || !widget->enabled) return;
    if (widget->outer_rect.w <= 0 || widget->outer_rect.h <= 0) return;
    own_surface(widget);
    ops->draw(widget);
    // The widget with the keyboard focus is outlined, one pixel in the theme's selected colour.
    if (widget->focused) {
        if (const TextElement *e = widget_text_element(widget)) {
            Paint line = e->paints[PAINT_ELEM_SELECTED];
            line.color = line.fill_color;
            Surface *s = widget->surface.get();
            surface_draw_line(s, line, 0, 0, s->width - 1, 0);
            surface_draw_line(s, line, s->width - 1, 0, s->width - 1, s->height - 1);
            surface_draw_line(s, line, s->width - 1, s->height - 1, 0, s->height - 1);
            surface_draw_line(s, line, 0, s->height - 1, 0, 0);
        }
    }
}

void widget_render(Widget *widget) {
    Rect absolute, relative;
    if (!widget || !widget_visible_rect(widget, &absolute, &relative)) return;
    if (widget_is_container(widget)) {
        if (auto *page = widget_data<PageData>(widget)) {
            if (page->active) widget_render(page->active);
            return;
        }
        if (auto *layer = widget_data<LayerData>(widget)) {
            // Rendering the layer itself (a refresh from above it) repaints what of it is
            // damaged: its children are limited to the layer's dirty rectangle, so that
            // rectangle must cover the area being rendered.
            if (!widget_layer(widget)) {
                layer->dirty = rect_union(layer->dirty, absolute);
                layer_grow_dirty_for_blur(widget);
            }
            for (Widget *child : layer->children) widget_render(child);
            if (!widget_layer(widget)) layer->dirty = {};
            return;
        }
        for (Widget *child : widget_children(widget)) widget_render(child);
        return;
    }
    if (!widget->enabled) return;
    widget_event(widget, EVENT_DRAW);
    ToolkitBackend &backend = *widget->backend;
    if (blurred(widget)) {
        int32_t radius = (widget->blend & 32) ? 31 : (widget->blend & 16) ? 7 : 3;
        backend.blur_screen_rect(absolute, radius);
        if (widget->blend & 8) backend.blur_screen_rect(absolute, radius);
    }
    bool opaque = !(widget->blend & 2);
    if (auto *canvas = widget_data<CanvasData>(widget)) {
        if (!canvas->image) return;
        Rect source = relative;
        source.x += px(canvas->offset_x, widget);
        source.y += px(canvas->offset_y, widget);
        backend.blit_to_screen(canvas->image, source, absolute, opaque);
        return;
    }
    if (widget->surface) backend.blit_to_screen(widget->surface.get(), relative, absolute, opaque);
}

void widget_redraw(Widget *widget) {
    if (!widget) return;
    Widget *layer = widget_layer(widget);
    if (!layer) {
        widget_render(widget);
        return;
    }
    auto *data = widget_data<LayerData>(layer);
    Rect visible = rect_intersect(widget->outer_rect, widget->inner_rect);
    data->dirty = rect_union(data->dirty, visible);
    layer_grow_dirty_for_blur(layer);
    for (Widget *child : data->children) widget_render(child);
    data->dirty = {};
}

void widget_refresh(Widget *widget) {
    if (!widget) return;
    ToolkitBackend &backend = *widget->backend;
    if (widget_is_container(widget) && widget->enabled) {
        Rect area = widget->outer_rect;
        if (Widget *layer = widget_layer(widget)) {
            auto *data = widget_data<LayerData>(layer);
            data->dirty = rect_union(data->dirty, widget->outer_rect);
            layer_grow_dirty_for_blur(layer);
            area = data->dirty;
        }
        Paint screen = widget->base_paint;
        uint32_t c = screen.fill_color;
        screen.fill_color = (c & 0xFF00FF00u) | ((c >> 16) & 0xFF) | ((c & 0xFF) << 16);
        backend.fill_screen_rect(screen, area);
    }
    widget_redraw(widget);
    backend.invalidate_screen_rect(widget->outer_rect);
}

void widget_redraw_publish(Widget *widget) {
    if (!widget || !widget->enabled) return;
    widget_redraw(widget);
    widget->backend->invalidate_screen_rect(widget->outer_rect);
}

// ---- Blur -----------------------------------------------------------------------------------

void surface_blur_rect(Surface *surface, const Rect &rect, int32_t radius) {
    if (!surface) return;
    int32_t r, shift;
    if (radius < 3) r = 1, shift = 2;
    else if (radius < 7) r = 3, shift = 3;
    else if (radius < 15) r = 7, shift = 4;
    else if (radius < 31) r = 15, shift = 5;
    else if (radius < 63) r = 31, shift = 6;
    else r = 63, shift = 7;
    Rect c = rect_intersect(rect, {0, 0, surface->width, surface->height});
    if (rect_empty(c)) return;
    const uint32_t round = 1u << (shift - 1);
    const uint32_t rounding = round | (round << 16);
    std::vector<uint32_t> line(size_t(std::max(c.w, c.h)));
    // One pass along `count` pixels starting at `first`, `step` pixels apart.
    auto pass = [&](uint32_t *first, int32_t count, ptrdiff_t step) {
        if (count <= r) return;
        for (int32_t i = 0; i < count; ++i) std::memcpy(&line[size_t(i)], first + i * step, 4);
        auto at = [&](int32_t i) { return line[size_t(std::clamp(i, 0, count - 1))]; };
        uint32_t rb = 0, ga = 0; // two channels per accumulator, 16 bits apart
        for (int32_t j = -r; j <= r; ++j) {
            uint32_t v = at(j);
            rb += v & 0x00FF00FFu;
            ga += (v >> 8) & 0x00FF00FFu;
        }
        for (int32_t i = 0; i < count; ++i) {
            uint32_t out = (((rb + rounding) >> shift) & 0x00FF00FFu) |
                           ((((ga + rounding) >> shift) & 0x00FF00FFu) << 8);
            std::memcpy(first + i * step, &out, 4);
            uint32_t add = at(i + r + 1), sub = at(i - r);
            rb += (add & 0x00FF00FFu) - (sub & 0x00FF00FFu);
            ga += ((add >> 8) & 0x00FF00FFu) - ((sub >> 8) & 0x00FF00FFu);
        }
    };
    auto *pixels = reinterpret_cast<uint32_t *>(surface->pixels);
    ptrdiff_t row = surface->stride / 4;
    for (int32_t x = c.x; x < c.x + c.w; ++x) pass(pixels + c.y * row + x, c.h, row);
    for (int32_t y = c.y; y < c.y + c.h; ++y) pass(pixels + y * row + c.x, c.w, 1);
}

// ---- Text and value operations --------------------------------------------------------------

namespace {

template <class T>
void set_owned_text(Widget *widget, const char *text) {
    auto *d = widget_data<T>(widget);
    if (!d) return;
    if (text)
        d->text = std::string(text);
    else
        d->text.reset();
}
template <class T>
const char *get_owned_text(Widget *widget) {
    auto *d = widget_data<T>(widget);
    return d && d->text ? d->text->c_str() : nullptr;
}

void input_set_text(Widget *widget, const char *text) {
    auto *d = widget_data<InputData>(widget);
    if (!d) return;
    d->text = text ? text : "";
    d->anchor = d->cursor = int32_t(d->text.size());
}
const char *input_get_text(Widget *widget) {
    auto *d = widget_data<InputData>(widget);
    return d ? d->text.c_str() : nullptr;
}

} // namespace

const TextOps LABEL_TEXT_OPS = {
    .set_show = [](Widget *, bool) {},
    .set_text = set_owned_text<LabelData>,
    .get_text = get_owned_text<LabelData>,
    .set_alignment = [](Widget *w, uint32_t a) { widget_data<LabelData>(w)->alignment = a; },
    .set_wrap = [](Widget *w, uint32_t m) { widget_data<LabelData>(w)->wrap = m; },
};
const TextOps BUTTON_TEXT_OPS = {
    .set_text = set_owned_text<ButtonData>,
    .get_text = get_owned_text<ButtonData>,
};
const TextOps INPUT_TEXT_OPS = {.set_text = input_set_text, .get_text = input_get_text};
const TextOps CHECK_TEXT_OPS = {
    .set_text = set_owned_text<CheckData>,
    .get_text = get_owned_text<CheckData>,
};
const TextOps PROGRESS_TEXT_OPS = {
    .set_show = [](Widget *w, bool show) { widget_data<ProgressData>(w)->show_text = show; },
};
const ValueOps PROGRESS_VALUE_OPS = {
    .set_value = [](Widget *w, double v) { widget_data<ProgressData>(w)->value = v; },
    .get_value = [](Widget *w) { return widget_data<ProgressData>(w)->value; },
};
const ValueOps TABLE_VALUE_OPS = {
    .set_value = [](Widget *w, double v) { widget_data<TableData>(w)->scroll = v; },
    .get_value = [](Widget *w) { return widget_data<TableData>(w)->scroll; },
};
const ValueOps SCROLL_VALUE_OPS = {
    .set_value = [](Widget *w, double v) { widget_data<ScrollData>(w)->position = v; },
    .get_value = [](Widget *w) { return widget_data<ScrollData>(w)->position; },
};
const ValueOps VIEW_VALUE_OPS = {
    .set_value = [](Widget *w, double v) { widget_data<ViewData>(w)->scroll_y = v; },
    .get_value =
        [](Widget *w) {
            widget_walk(w, [](Widget *x, void *) { widget_relayout(x); }, nullptr,
                        WALK_ACTIVE_PAGE);
            return widget_data<ViewData>(w)->scroll_y;
        },
};

void widget_set_text(Widget *widget, const char *text) {
    if (widget && widget->text_ops && widget->text_ops->set_text)
        widget->text_ops->set_text(widget, text);
}
const char *widget_get_text(Widget *widget) {
    if (widget && widget->text_ops && widget->text_ops->get_text)
        return widget->text_ops->get_text(widget);
    return nullptr;
}
void widget_set_value(Widget *widget, double value) {
    if (widget && widget->value_ops && widget->value_ops->set_value)
        widget->value_ops->set_value(widget, value);
}
double widget_get_value(Widget *widget) {
    if (widget && widget->value_ops && widget->value_ops->get_value)
        return widget->value_ops->get_value(widget);
    return 0;
}

void scroll_follow(Widget *scroll, void *argument) {
    auto *link = static_cast<ScrollLink *>(argument);
    if (!link || !link->target) return;
    Widget *source = link->scroll ? link->scroll : scroll;
    double v = widget_get_value(source);
    if (v >= 0 && v <= 100) widget_set_value(link->target, v);
    widget_refresh(link->target);
}
