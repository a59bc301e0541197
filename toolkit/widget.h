// The widget tree: widget records, the kinds and their data, the layout bundle builder, layout
// (boxes in points, rectangles in pixels) and compositing onto the root surface.
//
// Every widget is one heap record owned by its parent container (the root by whoever built it:
// layout_build hands it to the caller as a WidgetPtr). Destroying a widget destroys its subtree,
// its surface, its key bindings and removes its pointer regions. Texts are owned copies.
//
// Everything is in points; a point becomes pixels by round(v / 72 * dpi), dpi being the first
// field of the widget's base paint (72 from the builder, so points are pixels). Layout is lazy:
// widget_box caches both boxes until widget_relayout recomputes them; every geometry change goes
// through widget_set_geometry or a top-down walk with widget_relayout.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/list.h"
#include "gfx/surface.h"
#include "gfx/text.h"
#include "toolkit/input.h"

struct Widget;

enum WidgetKind : uint32_t {
    WIDGET_SPLIT = 0,
    WIDGET_BOX = 2,
    WIDGET_VIEW = 3,
    WIDGET_LABEL = 4,
    WIDGET_BUTTON = 5,
    WIDGET_INPUT = 6,
    WIDGET_TABLE = 7,
    WIDGET_CHECK = 8,
    WIDGET_PROGRESS = 9,
    WIDGET_SCROLL = 10,
    WIDGET_CANVAS = 11,
    WIDGET_PAGE = 12,
    WIDGET_LAYER = 13,
};

// Event codes: delivered to the kind's handler, then to the widget's callback of that number.
enum WidgetEvent : uint32_t {
    EVENT_CLICK = 0,
    EVENT_PRESS = 1,
    EVENT_RELEASE = 2,
    EVENT_ENTER = 3,
    EVENT_LEAVE = 4,
    EVENT_RESIZE = 5,
    EVENT_KEY = 6,
    EVENT_UNUSED = 7,
    EVENT_DRAG = 8,
    EVENT_MOTION = 9,
    EVENT_FOCUS_IN = 10,
    EVENT_FOCUS_OUT = 11,
    EVENT_DOUBLE_CLICK = 12,
    EVENT_WHEEL_UP = 13,
    EVENT_WHEEL_DOWN = 14,
    EVENT_DRAW = 15,
    EVENT_TEXT_CHANGED = 16,
    EVENT_COUNT = 17,
};

enum StickyMode : uint32_t { STICKY_NONE = 0, STICKY_VERTICAL = 1, STICKY_HORIZONTAL = 2, STICKY_HV = 3 };
enum Orientation : uint32_t { ORIENT_HORIZONTAL = 0, ORIENT_VERTICAL = 1 };
enum ResizeMethod : uint32_t { RESIZE_RATIO = 0, RESIZE_FIRST_FIXED = 1, RESIZE_SECOND_FIXED = 2 };
enum BlendMode : uint32_t {
    BLEND_NONE = 0,
    BLEND_ALPHA = 2,
    BLEND_BLUR = 14,
    BLEND_LARGE_BLUR = 30,
    BLEND_HUGE_BLUR = 46,
};
enum TextAlign : uint32_t { ALIGN_LEFT = 0, ALIGN_RIGHT = 1, ALIGN_CENTER = 2 };
enum WrapMode : uint32_t { WRAP_SINGLE = 0, WRAP_MULTI = 1, WRAP_WRAPPED = 2, WRAP_WORD = 3 };
enum ElementState : uint32_t { STATE_NORMAL = 0, STATE_HOVER = 1, STATE_PRESSED = 2 };
enum ScrollStyle : uint32_t { SCROLL_SCROLLBAR = 0, SCROLL_SLIDER = 1 };

// Index of the paints of a TextElement: five text pairs, then five elem pairs.
enum PaintSlot : uint32_t {
    PAINT_TEXT_NORMAL = 0,
    PAINT_TEXT_HOVER = 1,
    PAINT_TEXT_PRESSED = 2,
    PAINT_TEXT_DISABLED = 3,
    PAINT_TEXT_SELECTED = 4,
    PAINT_ELEM_NORMAL = 5,
    PAINT_ELEM_HOVER = 6,
    PAINT_ELEM_PRESSED = 7,
    PAINT_ELEM_DISABLED = 8,
    PAINT_ELEM_SELECTED = 9,
};

struct TextElement {
    Font *font = nullptr; // borrowed: the backend's default font
    double size = 10;
    std::array<Paint, 10> paints{};
    uint32_t state = STATE_NORMAL;
};

// ---- Kind data ------------------------------------------------------------------------------

using WidgetPtr = std::unique_ptr<Widget>;

struct SplitData {
    WidgetPtr first;
    WidgetPtr second;
    uint32_t orientation = ORIENT_HORIZONTAL;
    uint32_t method = RESIZE_RATIO;
    double size = 50;
    double gap = 10;
};
struct BoxData {
    List<Widget> children;
    uint32_t orientation = ORIENT_HORIZONTAL;
    double gap = 0;
};
struct ViewData {
    WidgetPtr child;
    double scroll_x = 0; // percent
    double scroll_y = 0;
};
struct PageData {
    List<Widget> children;
    Widget *active = nullptr;
};
struct LayerData {
    List<Widget> children;
    Rect dirty{}; // empty when w or h is 0
};
struct LabelData {
    std::optional<std::string> text;
    TextElement element;
    uint32_t alignment = ALIGN_LEFT;
    uint32_t wrap = WRAP_SINGLE;
};
struct ButtonData {
    std::optional<std::string> text;
    Surface *icon = nullptr; // borrowed: set by the application
    TextElement element;
};
struct InputData {
    std::string text;
    int32_t anchor = 0; // byte offsets; the selection lies between them
    int32_t cursor = 0;
    TextElement element;
    double offset = 0; // horizontal text offset in points, 0 or negative
    // A dimmed note drawn at the right end of the field (the search options in force); the text
    // keeps the rest of the field. Not drawn when it would take more than two thirds of it.
    std::string hint;
};

// The rows a table shows: the application's list, reached through type-erased accessors so the
// toolkit does not depend on the item type. Nodes are borrowed; the list outlives the table's use.
struct TableRowSource {
    void *list = nullptr;
    void *(*first)(void *list) = nullptr;           // first node, nullptr when empty
    void *(*next)(void *list, void *node) = nullptr; // following node, nullptr at the end
    void *(*item)(void *node) = nullptr;            // the item the cell callback receives
};
template <class T>
TableRowSource table_rows_of(List<T> &list) {
    TableRowSource s;
    s.list = &list;
    s.first = [](void *l) -> void * { return static_cast<List<T> *>(l)->first(); };
    s.next = [](void *l, void *n) -> void * {
        return static_cast<List<T> *>(l)->after(static_cast<ListNode<T> *>(n));
    };
    s.item = [](void *n) -> void * { return static_cast<ListNode<T> *>(n)->data; };
    return s;
}

// Cell rectangle in points, relative to the table's top-left.
struct CellRect {
    double x = 0;
    double y = 0;
    double w = 0;
    double h = 0;
};
// Cell flags besides the column's own flags.
constexpr uint32_t CELL_SELECTED = 0x10000;
constexpr uint32_t CELL_ODD = 0x20000;
constexpr uint32_t CELL_EVEN = 0x40000;
// Column flag: the cell holds a Surface instead of a text.
constexpr uint32_t COLUMN_IMAGE = 1;

using CellCallback = void (*)(Widget *table, uint32_t flags, void *item, int32_t column,
                              const CellRect &cell, void *argument);

// The row item of the default cell callback: one entry per column, a NUL-terminated UTF-8 text
// or a Surface* (COLUMN_IMAGE); nullptr draws nothing.
struct TableCells {
    std::vector<const void *> cells;
};

struct TableData {
    TextElement element;
    int32_t columns = 0;
    int32_t row_count = 0;
    std::vector<uint32_t> column_flags;
    void *header_item = nullptr;
    std::vector<double> column_widths; // positive: percent; negative: fixed points
    TableRowSource rows;
    void *selected = nullptr; // a node of `rows`
    uint8_t show_header = 1;
    double header_height = 20;
    double row_height = 20;
    double scroll = 0; // percent
    CellCallback cell_callback = nullptr;
    void *cell_argument = nullptr;
};
struct CheckData {
    std::optional<std::string> text;
    uint8_t checked = 0;
    std::array<SurfacePtr, 2> marks; // unchecked, checked
    TextElement element;
    Surface *check_image = nullptr; // borrowed, optional
};
struct ProgressData {
    uint8_t show_text = 0;
    TextElement element;
    double value = 0;
};
struct ScrollData {
    TextElement element;
    double grip = 20;    // percent of the track
    double position = 0; // percent
    uint32_t orientation = ORIENT_VERTICAL;
    int32_t press_x = 0;
    int32_t press_y = 0;
    double press_position = 0;
    uint32_t style = SCROLL_SCROLLBAR;
};
struct CanvasData {
    Surface *image = nullptr; // borrowed: the application's
    double offset_x = 0;
    double offset_y = 0;
};

using WidgetData = std::variant<std::monostate, SplitData, BoxData, ViewData, PageData, LayerData,
                                LabelData, ButtonData, InputData, TableData, CheckData,
                                ProgressData, ScrollData, CanvasData>;

// ---- Operation tables -----------------------------------------------------------------------

struct TextOps {
    void (*set_show)(Widget *widget, bool show);
    void (*set_text)(Widget *widget, const char *text); // copies; nullptr clears
    const char *(*get_text)(Widget *widget);           // borrowed; nullptr when none
    void (*set_alignment)(Widget *widget, uint32_t alignment);
    void (*set_wrap)(Widget *widget, uint32_t wrap);
};
struct EventHandler {
    void (*handle)(Widget *widget, uint32_t event);
};
struct ValueOps {
    void (*set_value)(Widget *widget, double value);
    double (*get_value)(Widget *widget);
};

// A callback slot: function and argument.
using WidgetCallbackFn = void (*)(Widget *widget, void *argument);
struct WidgetCallback {
    WidgetCallbackFn function = nullptr;
    void *argument = nullptr;
};

struct PointerRegion;
using PointerFunction = void (*)(void *argument, uint32_t action, int32_t x, int32_t y);

// The toolkit's one backend record, shared by every widget.
struct ToolkitBackend {
    uint32_t next_id = 1;
    Widget *focus = nullptr;
    Widget *current = nullptr;
    Font *default_font = nullptr;
    double default_size = 12;
    void (*add_region)(uint32_t id, uint8_t button, uint32_t action, const Rect *area,
                       PointerFunction function, void *argument);
    void (*remove_region)(uint32_t id, uint8_t button, uint32_t action);
    void (*get_pointer)(int32_t *x, int32_t *y);
    void (*blit_to_screen)(const Surface *surface, const Rect &source, const Rect &dest,
                           bool opaque);
    void (*invalidate_screen_rect)(const Rect &rect);
    void (*fill_screen_rect)(const Paint &paint, const Rect &rect);
    void (*blur_screen_rect)(const Rect &rect, int32_t radius);
};
ToolkitBackend &toolkit_backend();

struct WidgetBox {
    double x = 0;
    double y = 0;
    double w = 0;
    double h = 0;
};

constexpr uint32_t WIDGET_ID_MASK = 0x7FFFFF; // low 23 bits: serial; high 9 bits: input group
constexpr uint32_t WIDGET_GROUP_SHIFT = 23;

struct Widget {
    Widget *parent = nullptr;
    ToolkitBackend *backend = nullptr;
    uint32_t kind = WIDGET_BOX;
    std::optional<std::string> name;
    SurfacePtr surface;
    Paint base_paint{72, 0xff889c8e, 0xff9cb4a3, 0, 0};
    double x = 0, y = 0, w = 8, h = 8;
    double padding = 0;
    WidgetBox outer_box;
    WidgetBox inner_box;
    uint8_t layout_valid = 0;
    uint32_t sticky = STICKY_HV;
    uint32_t has_border = 1;
    uint32_t anchor = 0;
    uint32_t blend = BLEND_NONE;
    uint8_t enabled = 1;
    uint8_t focused = 0;
    uint8_t pressed = 0;
    const TextOps *text_ops = nullptr;
    const EventHandler *event_handler = nullptr;
    const ValueOps *value_ops = nullptr;
    std::array<WidgetCallback, EVENT_COUNT> callbacks{};
    List<KeyBindingRecord> key_bindings;
    uint32_t id = 0;
    uint32_t press_time = 0;
    uint32_t double_click_ms = 250;
    Rect outer_rect{};
    Rect inner_rect{};
    WidgetData data;

    Widget() = default;
    Widget(const Widget &) = delete;
    Widget &operator=(const Widget &) = delete;
    // Removes the widget's pointer regions and clears the backend's references to it.
    ~Widget();
};

// Kind data accessors: nullptr when the widget is of another kind.
template <class T>
T *widget_data(Widget *widget) {
    return widget ? std::get_if<T>(&widget->data) : nullptr;
}
// The TextElement of text-bearing kinds, or nullptr.
TextElement *widget_text_element(Widget *widget);
bool widget_is_container(const Widget *widget);

// ---- Building -------------------------------------------------------------------------------

// Builds the widget object at `text` (a position in NUL-terminated JSON) and its subtree at the
// interface scale. nullptr when "type" is missing or names no kind.
WidgetPtr layout_build(const char *text, double scale);
// The layout bundle text: the file at `path`, or the built-in bundle without a path. A file that
// cannot be read gives the built-in bundle after an ERROR line naming the `layout_bundle_path`
// setting, the path and the reason.
std::string layout_bundle_text(const std::optional<std::string> &path);
// The built-in layout bundle text.
std::string layout_bundle_builtin();

// A fresh widget of `kind` with its default data (what layout_build makes before properties).
WidgetPtr widget_create(uint32_t kind);

// The value of widget_set_property: a number, a text, a geometry or a child array.
struct PropertyValue {
    enum Type { NUMBER, TEXT, GEOMETRY, CHILDREN } type = NUMBER;
    double number = 0;
    const char *text = nullptr;
    std::array<double, 4> geometry{};
    Widget **children = nullptr; // ended by nullptr; ownership passes to the container
};
// Applies one layout property by name; unknown names, kinds that do not use the property and
// values of the wrong type change nothing. Returns false when the value was rejected.
bool widget_set_property(Widget *widget, const char *property, const PropertyValue &value);
// Attaches `children` (ended by nullptr; ownership passes to the container) as the kind wants.
// A split reads slots 0 and 1 whatever they hold (either may be nullptr), so its array has at
// least two slots; children it replaces are destroyed. Children left unattached (a kind without
// children, a split's further entries) stay the caller's: their parent is not the container.
void widget_set_children(Widget *container, Widget *const *children);
void widget_set_geometry(Widget *widget, double x, double y, double w, double h);

// ---- Tree -----------------------------------------------------------------------------------

enum WalkFlags : uint32_t { WALK_POST_ORDER = 1, WALK_ACTIVE_PAGE = 2 };
using WalkFunction = void (*)(Widget *widget, void *argument);
void widget_walk(Widget *widget, WalkFunction function, void *argument, uint32_t flags);
// Depth-first (parent first, every page child), first exact name match.
Widget *widget_find(Widget *root, const char *name);
// The children of a container in drawing order (split: first, second; page: every child).
std::vector<Widget *> widget_children(Widget *widget);

WidgetBox widget_box(Widget *widget, bool inner);
void widget_relayout(Widget *widget, void *unused = nullptr);
void widget_set_group(Widget *widget, uint32_t group);
void page_show(Widget *child);
// Changes a split's size at run time (clamped to 0..100 for the ratio method), lays the split's
// subtree out again and refreshes it.
void split_set_size(Widget *split, double size);
// The layer above the widget nearest the root, or nullptr.
Widget *widget_layer(Widget *widget);

// Delivers an event: sets the backend's current widget, then the kind's handler, then the slot.
void widget_event(Widget *widget, uint32_t event);

// ---- Drawing --------------------------------------------------------------------------------

void widget_render(Widget *widget);
void widget_redraw(Widget *widget);
void widget_refresh(Widget *widget);
void widget_redraw_publish(Widget *widget);
// Runs the kind's draw operation (the event 15 slot) on the widget's own surface.
void widget_draw(Widget *widget);
// The visible damaged rectangle, absolute and relative to the outer origin; false when empty.
bool widget_visible_rect(Widget *widget, Rect *absolute, Rect *relative);

// Table helpers.
void table_set_rows(Widget *table, const TableRowSource &rows, int32_t row_count);
void table_set_columns(Widget *table, int32_t columns, const double *widths,
                       const uint32_t *flags);
// Keeps the selected row inside the view by changing the scroll position.
void table_scroll_to_selection(Widget *table);
// The default cell callback (row items are TableCells).
void table_default_cell(Widget *table, uint32_t flags, void *item, int32_t column,
                        const CellRect &cell, void *argument);

// A scroll bar's change callback linking it to a target's value (argument: ScrollLink*).
struct ScrollLink {
    Widget *scroll = nullptr;
    Widget *target = nullptr;
};
void scroll_follow(Widget *scroll, void *link);

// The blur of the screen compositor, on any B, G, R, A or R, G, B, A surface.
void surface_blur_rect(Surface *surface, const Rect &rect, int32_t radius);

// Text helpers used by the application.
void widget_set_text(Widget *widget, const char *text);
const char *widget_get_text(Widget *widget);
void widget_set_value(Widget *widget, double value);
double widget_get_value(Widget *widget);
