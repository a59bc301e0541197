// The widget tree: kinds, creation, the layout bundle builder, properties, tree walks and the
// layout of boxes in points and rectangles in pixels.
#include "toolkit/widget.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "assets/assets.h"
#include "base/json.h"
#include "base/runtime.h"
#include "gfx/icons.h"
#include "gfx/image.h"
#include "toolkit/events.h"
#include "toolkit/internal.h"

namespace {

template <class T>
void make(WidgetData &data) {
    data.emplace<T>();
}
void make_table(WidgetData &data) {
    data.emplace<TableData>().cell_callback = table_default_cell;
}
void make_check(WidgetData &data) {
    CheckData &check = data.emplace<CheckData>();
    auto marks = check_marks_load();
    check.marks[0] = std::move(marks[0]);
    check.marks[1] = std::move(marks[1]);
}
constexpr auto make_split = make<SplitData>;
constexpr auto make_box = make<BoxData>;
constexpr auto make_view = make<ViewData>;
constexpr auto make_page = make<PageData>;
constexpr auto make_layer = make<LayerData>;
constexpr auto make_label = make<LabelData>;
constexpr auto make_button = make<ButtonData>;
constexpr auto make_input = make<InputData>;
constexpr auto make_progress = make<ProgressData>;
constexpr auto make_scroll = make<ScrollData>;
constexpr auto make_canvas = make<CanvasData>;

// Kinds in the order their "type" names are tried (each compared over the name's own length).
const KindOps KINDS[] = {
    {"split", WIDGET_SPLIT, 0, false, make_split, nullptr, nullptr, nullptr, nullptr},
    {"view", WIDGET_VIEW, 0, false, make_view, nullptr, nullptr, nullptr, &VIEW_VALUE_OPS},
    {"label", WIDGET_LABEL, 5, false, make_label, draw_label, &LABEL_TEXT_OPS, nullptr, nullptr},
    {"button", WIDGET_BUTTON, 5, true, make_button, draw_button, &BUTTON_TEXT_OPS, nullptr,
     nullptr},
    {"input", WIDGET_INPUT, 5, true, make_input, draw_input, &INPUT_TEXT_OPS, &INPUT_HANDLER,
     nullptr},
    {"table", WIDGET_TABLE, 5, true, make_table, draw_table, nullptr, &TABLE_HANDLER,
     &TABLE_VALUE_OPS},
    {"check", WIDGET_CHECK, 5, true, make_check, draw_check, &CHECK_TEXT_OPS, &CHECK_HANDLER,
     nullptr},
    {"progress", WIDGET_PROGRESS, 0, false, make_progress, draw_progress, &PROGRESS_TEXT_OPS,
     nullptr, &PROGRESS_VALUE_OPS},
    {"scroll", WIDGET_SCROLL, 0, true, make_scroll, draw_scroll, nullptr, &SCROLL_HANDLER,
     &SCROLL_VALUE_OPS},
    {"canvas", WIDGET_CANVAS, 0, true, make_canvas, nullptr, nullptr, nullptr, nullptr},
    {"page", WIDGET_PAGE, 0, false, make_page, nullptr, nullptr, nullptr, nullptr},
    {"layer", WIDGET_LAYER, 0, false, make_layer, nullptr, nullptr, nullptr, nullptr},
    {"box", WIDGET_BOX, 0, false, make_box, nullptr, nullptr, nullptr, nullptr},
};

bool starts_with(const char *value, const char *keyword) {
    return std::strncmp(value, keyword, std::strlen(keyword)) == 0;
}

// Index of the first keyword the value begins with, or -1.
template <size_t N>
int keyword_index(const char *value, const char *const (&words)[N]) {
    for (size_t i = 0; i < N; ++i)
        if (starts_with(value, words[i])) return int(i);
    return -1;
}

void draw_slot(Widget *, void *argument) { widget_draw(static_cast<Widget *>(argument)); }

bool box_child_stretches(const Widget *child, uint32_t orientation) {
    if (child->sticky > STICKY_HV) report_fatal("assertion failed", "0");
    return child->sticky == STICKY_HV ||
           (orientation == ORIENT_VERTICAL && child->sticky == STICKY_VERTICAL) ||
           (orientation == ORIENT_HORIZONTAL && child->sticky == STICKY_HORIZONTAL);
}

WidgetBox box_intersect(const WidgetBox &a, const WidgetBox &b) {
    double x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
    double x1 = std::min(a.x + a.w, b.x + b.w), y1 = std::min(a.y + a.h, b.y + b.h);
    return {x0, y0, std::max(0.0, x1 - x0), std::max(0.0, y1 - y0)};
}

// The slot a parent gives a child: its outer box less the padding, narrowed by the parent's kind.
WidgetBox child_slot(Widget *widget, Widget *parent) {
    WidgetBox outer = widget_box(parent, false);
    double p = parent->padding;
    WidgetBox slot{outer.x + p, outer.y + p, outer.w - 2 * p, outer.h - 2 * p};
    if (auto *split = widget_data<SplitData>(parent)) {
        bool first = split->first.get() == widget;
        double g = split->gap, s = split->size;
        bool vertical = split->orientation == ORIENT_VERTICAL;
        if (split->orientation > ORIENT_VERTICAL) return slot;
        double &start = vertical ? slot.y : slot.x;
        double &length = vertical ? slot.h : slot.w;
        double along = length;
        switch (split->method) {
        case RESIZE_RATIO:
            s = s * along / 100;
            [[fallthrough]];
        case RESIZE_FIRST_FIXED:
            if (first) {
                length = s - g / 2;
            } else {
                start += s + g / 2;
                length = along - s - g / 2;
            }
            break;
        case RESIZE_SECOND_FIXED:
            if (first) {
                length = along - s - g / 2;
            } else {
                start += along - s + g / 2;
                length = s - g / 2;
            }
            break;
        default:
            report_fatal("assertion failed", "0");
        }
    } else if (auto *box = widget_data<BoxData>(parent)) {
        bool vertical = box->orientation == ORIENT_VERTICAL;
        double g = box->gap;
        double fixed = 0, stretch = 0;
        int n = 0;
        for (Widget *child : box->children) {
            double size = vertical ? child->h : child->w;
            if (box_child_stretches(child, box->orientation))
                stretch += size;
            else
                fixed += size;
            ++n;
        }
        fixed += n * g;
        double box_length = vertical ? outer.h : outer.w;
        double free_space = std::max(0.0, box_length - fixed + g - 2 * p);
        auto length_of = [&](Widget *child) {
            double size = vertical ? child->h : child->w;
            if (!box_child_stretches(child, box->orientation)) return size;
            return stretch > 0 ? size * free_space / stretch : 0.0;
        };
        double advance = 0;
        for (Widget *child : box->children) {
            if (child == widget) break;
            advance += length_of(child) + g;
        }
        if (vertical) {
            slot.y += advance;
            slot.h = length_of(widget);
        } else {
            slot.x += advance;
            slot.w = length_of(widget);
        }
    } else if (auto *view = widget_data<ViewData>(parent)) {
        if (widget->w > slot.w) slot.x -= (widget->w - slot.w) * view->scroll_x / 100;
        if (widget->h > slot.h) slot.y -= (widget->h - slot.h) * view->scroll_y / 100;
    }
    return slot;
}

// Outer and visible boxes, computed from the parent's (cached or computed) boxes.
void compute_boxes(Widget *widget, WidgetBox *outer, WidgetBox *visible) {
    Widget *parent = widget->parent;
    if (!parent) {
        *outer = {widget->x, widget->y, std::max(widget->w, 1.0), std::max(widget->h, 1.0)};
        *visible = *outer;
        return;
    }
    WidgetBox slot = child_slot(widget, parent);
    double width = widget->w, height = widget->h;
    switch (widget->sticky) {
    case STICKY_NONE: break;
    case STICKY_VERTICAL: height = slot.h; break;
    case STICKY_HORIZONTAL: width = slot.w; break;
    case STICKY_HV:
        width = slot.w;
        height = slot.h;
        break;
    default: report_fatal("assertion failed", "0");
    }
    double ax = slot.x, ay = slot.y;
    uint32_t column = widget->anchor % 3, row = widget->anchor / 3;
    if (column == 1) ax += (slot.w - width) / 2;
    if (column == 2) ax += slot.w - width;
    if (row == 1) ay += (slot.h - height) / 2;
    if (row == 2) ay += slot.h - height;
    *outer = {ax + widget->x, ay + widget->y, std::max(width, 1.0), std::max(height, 1.0)};

    WidgetBox parent_visible = widget_box(parent, true);
    WidgetBox clip;
    if (parent->kind == WIDGET_VIEW)
        clip = {std::max(slot.x, parent_visible.x), std::max(slot.y, parent_visible.y), slot.w,
                slot.h};
    else
        clip = box_intersect(slot, parent_visible);
    *visible = box_intersect(*outer, clip);
}

Rect box_to_pixels(const WidgetBox &box, int32_t dpi) {
    Rect r;
    r.x = points_to_pixels(box.x, dpi);
    r.y = points_to_pixels(box.y, dpi);
    r.w = points_to_pixels(box.x + box.w, dpi) - r.x;
    r.h = points_to_pixels(box.y + box.h, dpi) - r.y;
    return r;
}

void relayout_walker(Widget *widget, void *) { widget_relayout(widget); }

// Children of a container in list order (for walks and lookups), every page child included.
void collect_children(Widget *widget, std::vector<Widget *> &out) {
    if (auto *split = widget_data<SplitData>(widget)) {
        if (split->first) out.push_back(split->first.get());
        if (split->second) out.push_back(split->second.get());
    } else if (auto *box = widget_data<BoxData>(widget)) {
        for (Widget *c : box->children) out.push_back(c);
    } else if (auto *view = widget_data<ViewData>(widget)) {
        if (view->child) out.push_back(view->child.get());
    } else if (auto *page = widget_data<PageData>(widget)) {
        for (Widget *c : page->children) out.push_back(c);
    } else if (auto *layer = widget_data<LayerData>(widget)) {
        for (Widget *c : layer->children) out.push_back(c);
    }
}

void group_walker(Widget *widget, void *group) {
    widget_set_group(widget, uint32_t(reinterpret_cast<uintptr_t>(group)));
}

// Frees every built child the container did not take.
void free_unattached(Widget *container, Widget *const *children, int count) {
    for (int i = 0; i < count; ++i)
        if (children[i] && children[i]->parent != container) delete children[i];
}

constexpr int MAX_CHILDREN = 9;

} // namespace

const KindOps *kind_ops(uint32_t kind) {
    for (const KindOps &k : KINDS)
        if (k.kind == kind) return &k;
    return nullptr;
}

bool widget_is_container(const Widget *widget) {
    switch (widget->kind) {
    case WIDGET_SPLIT:
    case WIDGET_BOX:
    case WIDGET_VIEW:
    case WIDGET_PAGE:
    case WIDGET_LAYER: return true;
    default: return false;
    }
}

TextElement *widget_text_element(Widget *widget) {
    if (!widget) return nullptr;
    return std::visit(
        [](auto &data) -> TextElement * {
            if constexpr (requires { data.element; })
                return &data.element;
            else
                return nullptr;
        },
        widget->data);
}

Widget::~Widget() {
    // Its own regions, and a capture it installed (whose argument is the widget).
    if (id) pointer_region_remove_all(id);
    pointer_region_remove_argument(this);
    if (backend) {
        if (backend->focus == this) backend->focus = nullptr;
        if (backend->current == this) backend->current = nullptr;
    }
}

WidgetPtr widget_create(uint32_t kind) {
    const KindOps *ops = kind_ops(kind);
    if (!ops) return nullptr;
    ToolkitBackend &backend = toolkit_backend();
    auto widget = std::make_unique<Widget>();
    widget->kind = kind;
    widget->backend = &backend;
    widget->id = backend.next_id & WIDGET_ID_MASK;
    backend.next_id++;
    widget->callbacks[EVENT_DRAW] = {draw_slot, widget.get()};
    ops->make_data(widget->data);
    widget->padding = ops->padding;
    widget->text_ops = ops->text_ops;
    widget->event_handler = ops->event_handler;
    widget->value_ops = ops->value_ops;
    if (ops->events_by_default) widget_enable_events(widget.get());
    if (kind == WIDGET_INPUT) {
        input_bind_editing_keys(widget.get());
        // The caret and selection disappear when another widget takes the focus.
        widget->callbacks[EVENT_FOCUS_OUT] = {[](Widget *w, void *) { widget_redraw_publish(w); },
                                              nullptr};
    }
    if (TextElement *element = widget_text_element(widget.get())) {
        if (backend.default_font) {
            element->font = backend.default_font;
            element->size = backend.default_size;
        }
    }
    return widget;
}

bool widget_set_property(Widget *widget, const char *property, const PropertyValue &value) {
    using T = PropertyValue::Type;
    auto text = [&]() -> const char * { return value.type == T::TEXT ? value.text : nullptr; };
    auto number = [&](double *out) {
        if (value.type != T::NUMBER) return false;
        *out = value.number;
        return true;
    };
    auto keyword = [&](uint32_t *field, const auto &words, const uint32_t *codes) {
        const char *t = text();
        if (!t) return false;
        int i = keyword_index(t, words);
        if (i >= 0) *field = codes ? codes[i] : uint32_t(i);
        return true;
    };
    auto boolean = [&](auto *field) {
        static const char *const words[] = {"false", "true"};
        uint32_t v = 2;
        if (!keyword(&v, words, nullptr)) return false;
        if (v < 2) *field = static_cast<std::remove_pointer_t<decltype(field)>>(v);
        return true;
    };
    double n = 0;
    auto *split = widget_data<SplitData>(widget);
    auto *box = widget_data<BoxData>(widget);
    auto *scroll = widget_data<ScrollData>(widget);
    auto *label = widget_data<LabelData>(widget);
    auto *table = widget_data<TableData>(widget);
    auto *progress = widget_data<ProgressData>(widget);
    const std::string_view name = property;

    if (name == "name") {
        if (!text()) return false;
        widget->name = std::string(text());
    } else if (name == "children") {
        if (value.type != T::CHILDREN) return false;
        widget_set_children(widget, value.children);
    } else if (name == "sticky_mode") {
        static const char *const words[] = {"none", "vertical", "horizontal", "hv"};
        return keyword(&widget->sticky, words, nullptr);
    } else if (name == "padding") {
        if (!number(&n)) return false;
        widget->padding = n;
    } else if (name == "has_border") {
        return boolean(&widget->has_border);
    } else if (name == "geometry") {
        if (value.type != T::GEOMETRY) return false;
        widget_set_geometry(widget, value.geometry[0], value.geometry[1], value.geometry[2],
                            value.geometry[3]);
    } else if (name == "text") {
        if (!text()) return false;
        if (widget->text_ops && widget->text_ops->set_text &&
            (label || widget_data<ButtonData>(widget) || widget_data<InputData>(widget) ||
             widget_data<CheckData>(widget)))
            widget->text_ops->set_text(widget, text());
    } else if (name == "orientation") {
        static const char *const words[] = {"horizontal", "vertical"};
        uint32_t *field = split    ? &split->orientation
                          : box    ? &box->orientation
                          : scroll ? &scroll->orientation
                                   : nullptr;
        uint32_t ignored = 0;
        return keyword(field ? field : &ignored, words, nullptr);
    } else if (name == "resize_method") {
        static const char *const words[] = {"ratio", "firstfixed", "secondfixed"};
        uint32_t ignored = 0;
        return keyword(split ? &split->method : &ignored, words, nullptr);
    } else if (name == "split_size" || name == "split_ratio") {
        if (!number(&n)) return false;
        if (split) split->size = n;
    } else if (name == "split_gap") {
        if (!number(&n)) return false;
        if (split) split->gap = n;
    } else if (name == "box_gap") {
        if (!number(&n)) return false;
        if (box) box->gap = n;
    } else if (name == "text_align") {
        static const char *const words[] = {"left", "right", "center"};
        uint32_t ignored = 0;
        return keyword(label ? &label->alignment : &ignored, words, nullptr);
    } else if (name == "wrap_mode") {
        static const char *const words[] = {"single", "multi", "wrapped", "word"};
        uint32_t ignored = 0;
        return keyword(label ? &label->wrap : &ignored, words, nullptr);
    } else if (name == "has_text") {
        uint8_t ignored = 0;
        return boolean(progress ? &progress->show_text : &ignored);
    } else if (name == "grip_percentage") {
        if (!number(&n)) return false;
        if (scroll) scroll->grip = n;
    } else if (name == "columns") {
        if (!number(&n)) return false;
        if (table) {
            int32_t columns = std::isfinite(n) ? int32_t(std::clamp(n, 0.0, 64.0)) : 0;
            table_set_columns(widget, columns, nullptr, nullptr);
        }
    } else if (name == "show_header") {
        uint8_t ignored = 0;
        return boolean(table ? &table->show_header : &ignored);
    } else if (name == "header_height") {
        if (!number(&n)) return false;
        if (table) table->header_height = n;
    } else if (name == "entry_height") {
        if (!number(&n)) return false;
        if (table) table->row_height = n;
    } else if (name == "scrollbar_style") {
        static const char *const words[] = {"scrollbar", "slider"};
        uint32_t ignored = 0;
        return keyword(scroll ? &scroll->style : &ignored, words, nullptr);
    } else if (name == "anchor_mode") {
        static const char *const words[] = {"topleft",    "topright", "left",
                                            "middle",     "right",    "bottomleft",
                                            "bottomright", "top",     "bottom"};
        static const uint32_t codes[] = {0, 2, 3, 4, 5, 6, 8, 1, 7};
        return keyword(&widget->anchor, words, codes);
    } else if (name == "blend_mode") {
        static const char *const words[] = {"none", "alpha", "blur", "largeblur", "hugeblur"};
        static const uint32_t codes[] = {BLEND_NONE, BLEND_ALPHA, BLEND_BLUR, BLEND_LARGE_BLUR,
                                         BLEND_HUGE_BLUR};
        return keyword(&widget->blend, words, codes);
    } else if (name == "enable_event") {
        uint32_t on = 2;
        if (!boolean(&on)) return false;
        if (on == 1) widget_enable_events(widget);
        if (on == 0) widget_disable_events(widget);
    } else {
        return false;
    }
    return true;
}

void widget_set_children(Widget *container, Widget *const *children) {
    if (!children) return;
    auto attach = [container](Widget *child) { child->parent = container; };
    if (auto *split = widget_data<SplitData>(container)) {
        Widget *first = children[0];
        Widget *second = children[1];
        split->first.reset(first);
        split->second.reset(second);
        if (first) attach(first);
        if (second) attach(second);
    } else if (auto *view = widget_data<ViewData>(container)) {
        view->child.reset(children[0]);
        if (children[0]) attach(children[0]);
    } else if (auto *box = widget_data<BoxData>(container)) {
        for (int i = 0; children[i]; ++i) {
            box->children.append(children[i], 1);
            attach(children[i]);
        }
    } else if (auto *page = widget_data<PageData>(container)) {
        for (int i = 0; children[i]; ++i) {
            page->children.push(children[i], 1);
            attach(children[i]);
        }
    } else if (auto *layer = widget_data<LayerData>(container)) {
        for (int i = 0; children[i]; ++i) {
            layer->children.append(children[i], 1);
            attach(children[i]);
            uintptr_t index = 0;
            for (Widget *child : layer->children)
                widget_walk(child, group_walker, reinterpret_cast<void *>(index++), 0);
        }
    }
}

void widget_set_geometry(Widget *widget, double x, double y, double w, double h) {
    widget->x = x;
    widget->y = y;
    widget->w = w;
    widget->h = h;
    if (Widget *layer = widget_layer(widget)) {
        auto *data = widget_data<LayerData>(layer);
        Rect old = rect_union(widget->outer_rect, widget->inner_rect);
        data->dirty = rect_union(data->dirty, old);
        layer_grow_dirty_for_blur(layer);
    }
    widget_walk(widget, relayout_walker, nullptr, WALK_ACTIVE_PAGE);
}

std::vector<Widget *> widget_children(Widget *widget) {
    std::vector<Widget *> out;
    collect_children(widget, out);
    return out;
}

void widget_walk(Widget *widget, WalkFunction function, void *argument, uint32_t flags) {
    if (!widget) return;
    if (!(flags & WALK_POST_ORDER)) function(widget, argument);
    auto *page = widget_data<PageData>(widget);
    if (page && (flags & WALK_ACTIVE_PAGE) && page->active) {
        widget_walk(page->active, function, argument, flags);
    } else {
        std::vector<Widget *> children;
        collect_children(widget, children);
        for (Widget *child : children) widget_walk(child, function, argument, flags);
    }
    if (flags & WALK_POST_ORDER) function(widget, argument);
}

Widget *widget_find(Widget *root, const char *name) {
    if (!root || !name) return nullptr;
    if (root->name && *root->name == name) return root;
    std::vector<Widget *> children;
    collect_children(root, children);
    for (Widget *child : children)
        if (Widget *found = widget_find(child, name)) return found;
    return nullptr;
}

WidgetBox widget_box(Widget *widget, bool inner) {
    if (widget->layout_valid) return inner ? widget->inner_box : widget->outer_box;
    WidgetBox outer, visible;
    compute_boxes(widget, &outer, &visible);
    return inner ? visible : outer;
}

void widget_relayout(Widget *widget, void *) {
    widget->layout_valid = 0;
    WidgetBox outer, visible;
    compute_boxes(widget, &outer, &visible);
    int32_t dpi = widget->base_paint.dpi;
    Rect old = widget->outer_rect;
    widget->outer_box = outer;
    widget->inner_box = visible;
    widget->outer_rect = box_to_pixels(outer, dpi);
    widget->inner_rect = box_to_pixels(visible, dpi);
    widget->layout_valid = 1;
    if ((old.w != widget->outer_rect.w || old.h != widget->outer_rect.h) && widget->enabled)
        widget_event(widget, EVENT_RESIZE);
}

void widget_set_group(Widget *widget, uint32_t group) {
    uint32_t old_id = widget->id;
    widget->id = (old_id & WIDGET_ID_MASK) | (group << WIDGET_GROUP_SHIFT);
    if (old_id != widget->id) pointer_region_rename(old_id, widget->id);
}

Widget *widget_layer(Widget *widget) {
    Widget *found = nullptr;
    for (Widget *p = widget ? widget->parent : nullptr; p; p = p->parent)
        if (p->kind == WIDGET_LAYER) found = p;
    return found;
}

void page_show(Widget *child) {
    if (!child) return;
    if (auto *page = widget_data<PageData>(child->parent)) {
        for (Widget *c : page->children) widget_walk(c, widget_disable, nullptr, WALK_ACTIVE_PAGE);
        page->active = child;
        widget_walk(child, widget_enable, nullptr, WALK_ACTIVE_PAGE);
    }
    widget_set_geometry(child, 0, 0, 100, 100);
    widget_refresh(child);
}

void split_set_size(Widget *split, double size) {
    auto *data = widget_data<SplitData>(split);
    if (!data) return;
    data->size = data->method == RESIZE_RATIO ? std::clamp(size, 0.0, 100.0) : size;
    widget_walk(split, relayout_walker, nullptr, WALK_ACTIVE_PAGE);
    widget_refresh(split);
}

void widget_event(Widget *widget, uint32_t event) {
    if (!widget || event >= EVENT_COUNT) return;
    widget->backend->current = widget;
    if (widget->event_handler && widget->event_handler->handle)
        widget->event_handler->handle(widget, event);
    WidgetCallback &slot = widget->callbacks[event];
    if (slot.function) {
        widget->backend->current = widget;
        slot.function(widget, slot.argument);
    }
}

// ---- Layout bundle --------------------------------------------------------------------------

namespace {

// The properties in the order they are applied, whatever their order in the object.
const char *const PROPERTY_ORDER[] = {
    "name",          "children",      "sticky_mode",    "padding",         "has_border",
    "geometry",      "text",          "orientation",    "resize_method",   "split_size",
    "split_ratio",   "split_gap",     "box_gap",        "text_align",      "wrap_mode",
    "has_text",      "grip_percentage", "columns",      "show_header",     "header_height",
    "entry_height",  "scrollbar_style", "anchor_mode",  "blend_mode",      "enable_event",
};

// Numbers of a bundle are bounded so that no box, once scaled and converted to pixels, can
// overflow the 32-bit pixel rectangles.
constexpr double NUMBER_LIMIT = 1e6;
// Deeper nesting is not built (it would only exhaust the stack).
constexpr int DEPTH_LIMIT = 64;

double read_number(const char *pos) {
    // true, false and null read as 0; numbers as decimal.
    if (*pos == '-' || (*pos >= '0' && *pos <= '9')) {
        double v = std::strtod(pos, nullptr);
        return std::isfinite(v) ? std::clamp(v, -NUMBER_LIMIT, NUMBER_LIMIT) : 0;
    }
    return 0;
}

WidgetPtr build_at(const char *text, double scale, int depth);

} // namespace

WidgetPtr layout_build(const char *text, double scale) {
    if (!std::isfinite(scale)) return nullptr;
    return build_at(text, std::clamp(scale, 0.0, 16.0), 0);
}

namespace {

WidgetPtr build_at(const char *text, double scale, int depth) {
    if (!text || depth >= DEPTH_LIMIT) return nullptr;
    const char *type = json_find(text, "type");
    if (!type || json_type(type) != JSON_STRING) return nullptr;
    std::string type_name = json_text(type);
    const KindOps *ops = nullptr;
    for (const KindOps &k : KINDS)
        if (starts_with(type_name.c_str(), k.type_name)) {
            ops = &k;
            break;
        }
    if (!ops) return nullptr;
    WidgetPtr widget = widget_create(ops->kind);
    widget_walk(widget.get(), relayout_walker, nullptr, WALK_ACTIVE_PAGE);
    widget->padding *= scale;

    for (const char *property : PROPERTY_ORDER) {
        const char *value = json_find(text, property);
        if (!value) continue;
        PropertyValue pv;
        bool unscaled = !std::strcmp(property, "split_ratio") || !std::strcmp(property, "columns");
        switch (json_type(value)) {
        case JSON_STRING: {
            std::string decoded = json_text(value);
            pv.type = PropertyValue::TEXT;
            pv.text = decoded.c_str();
            widget_set_property(widget.get(), property, pv);
            break;
        }
        case JSON_PRIMITIVE:
            pv.type = PropertyValue::NUMBER;
            pv.number = read_number(value) * (unscaled ? 1.0 : scale);
            widget_set_property(widget.get(), property, pv);
            break;
        case JSON_ARRAY:
            if (!std::strcmp(property, "children")) {
                Widget *children[MAX_CHILDREN + 1] = {};
                int count = 0;
                for (const char *e = json_first(value); e && count < MAX_CHILDREN;
                     e = json_next(e))
                    children[count++] = build_at(e, scale, depth + 1).release();
                pv.type = PropertyValue::CHILDREN;
                pv.children = children;
                widget_set_property(widget.get(), property, pv);
                free_unattached(widget.get(), children, count);
            } else if (!std::strcmp(property, "geometry")) {
                pv.type = PropertyValue::GEOMETRY;
                int i = 0;
                for (const char *e = json_first(value); e && i < 4; e = json_next(e), ++i)
                    pv.geometry[i] = json_type(e) == JSON_PRIMITIVE ? read_number(e) * scale : 0;
                widget_set_property(widget.get(), property, pv);
            }
            break;
        case JSON_OBJECT:
        case JSON_INVALID: break;
        }
    }
    return widget;
}

} // namespace

std::string layout_bundle_builtin() {
    return asset_inflate(asset_layout_json.data, asset_layout_json.size);
}

std::string layout_bundle_text(const std::optional<std::string> &path) {
    if (!path) return layout_bundle_builtin();
    std::string reason;
    if (std::optional<std::string> text = file_read_optional(*path, reason)) return *text;
    std::string detail = "cannot read " + *path + " (" + reason + "); using the built-in layout";
    log_error("layout_bundle_path", detail.c_str());
    return layout_bundle_builtin();
}
