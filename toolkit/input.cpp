// Process-wide toolkit state (root surface, dirty rectangle, pointer state, key and region lists,
// hooks), the backend record, pointer regions and their dispatch, the widget event handlers,
// key routing through the global list and the focus chain, and text insertion.
#include <algorithm>
#include <cmath>
#include <memory>

#include "base/runtime.h"
#include "toolkit/events.h"
#include "toolkit/input.h"
#include "toolkit/internal.h"

namespace {

void default_text_hook(const char *utf8, void *) { text_insert(utf8, nullptr); }

struct ToolkitGlobals {
    SurfacePtr root;
    Rect dirty{};
    bool publish_pending = false;
    bool background_drawing = false;
    bool publish_background = false; // every pending change was drawn in the background
    bool window = false;
    PointerState pointer;
    List<KeyBindingRecord> shortcuts;
    List<PointerRegion> regions;
    RelayoutHook relayout = nullptr;
    void *relayout_argument = nullptr;
    TextHook text_hook = default_text_hook;
    void *text_argument = nullptr;
    CaretPosition caret;
};

std::unique_ptr<ToolkitGlobals> globals_storage;

// The state exists lazily so widgets can be built (and register regions) before the window.
ToolkitGlobals &G() {
    if (!globals_storage) globals_storage = std::make_unique<ToolkitGlobals>();
    return *globals_storage;
}

void backend_get_pointer(int32_t *x, int32_t *y) {
    *x = G().pointer.x;
    *y = G().pointer.y;
}

constexpr uint32_t RECORD_TAG = 1;

} // namespace

ToolkitBackend &toolkit_backend() {
    static ToolkitBackend backend = {
        .add_region = pointer_region_add,
        .remove_region = pointer_region_remove,
        .get_pointer = backend_get_pointer,
        .blit_to_screen = screen_blit,
        .invalidate_screen_rect = screen_invalidate,
        .fill_screen_rect = screen_fill,
        .blur_screen_rect = screen_blur,
    };
    return backend;
}

// ---- Life cycle, root surface, hooks --------------------------------------------------------

void toolkit_globals_create() {
    globals_storage = std::make_unique<ToolkitGlobals>();
    globals_storage->window = true;
    globals_storage->pointer.buttons_up = 1;
}

void toolkit_globals_destroy() { globals_storage.reset(); }

bool toolkit_globals_exist() { return globals_storage && globals_storage->window; }

Surface *toolkit_root_surface() { return G().root.get(); }
void toolkit_set_root_surface(SurfacePtr surface) { G().root = std::move(surface); }
Rect toolkit_dirty_rect() { return G().dirty; }

namespace {
void mark_publish_pending(ToolkitGlobals &g) {
    g.publish_background = g.background_drawing && (!g.publish_pending || g.publish_background);
    g.publish_pending = true;
}
} // namespace

void toolkit_dirty_add(const Rect &rect) {
    ToolkitGlobals &g = G();
    Rect r = rect;
    if (g.root) r = rect_intersect(r, {0, 0, g.root->width, g.root->height});
    if (rect_empty(r)) return;
    g.dirty = rect_union(g.dirty, r);
    mark_publish_pending(g);
}

void toolkit_dirty_all() {
    ToolkitGlobals &g = G();
    if (g.root) g.dirty = {0, 0, g.root->width, g.root->height};
    mark_publish_pending(g);
}

void toolkit_dirty_clear() { G().dirty = {}; }
bool toolkit_publish_pending() { return G().publish_pending; }
void toolkit_set_publish_pending(bool pending) {
    G().publish_pending = pending;
    G().publish_background = false;
}
void toolkit_set_background_drawing(bool on) { G().background_drawing = on; }
bool toolkit_publish_background() { return G().publish_pending && G().publish_background; }

void toolkit_set_relayout_hook(RelayoutHook hook, void *argument) {
    G().relayout = hook;
    G().relayout_argument = argument;
}
void toolkit_relayout(int32_t width, int32_t height) {
    if (G().relayout) G().relayout(width, height, G().relayout_argument);
}
void toolkit_set_text_hook(TextHook hook, void *argument) {
    G().text_hook = hook ? hook : default_text_hook;
    G().text_argument = hook ? argument : nullptr;
}

CaretPosition toolkit_caret_position() { return G().caret; }
void toolkit_set_caret(int32_t x, int32_t y) { G().caret = {x, y, true}; }

PointerState &toolkit_pointer() { return G().pointer; }

// ---- Screen operations ----------------------------------------------------------------------

void screen_blit(const Surface *surface, const Rect &source, const Rect &dest, bool opaque) {
    Surface *root = G().root.get();
    if (!root || !surface) return;
    surface_blit_rgba(surface, &source, root, &dest, opaque ? uint32_t(DRAW_OPAQUE) : 0u);
    toolkit_dirty_add(dest);
}
void screen_invalidate(const Rect &rect) { toolkit_dirty_add(rect); }
void screen_fill(const Paint &paint, const Rect &rect) {
    if (Surface *root = G().root.get())
        surface_fill_rect(root, paint, rect.x, rect.y, rect.x + rect.w - 1, rect.y + rect.h - 1);
}
void screen_blur(const Rect &rect, int32_t radius) { surface_blur_rect(G().root.get(), rect, radius); }

// ---- Pointer regions ------------------------------------------------------------------------

void pointer_region_add(uint32_t id, uint8_t button, uint32_t action, const Rect *area,
                        PointerFunction function, void *argument) {
    pointer_region_remove(id, button, action);
    G().regions.push(new PointerRegion{id, button, action, area, function, argument, 1},
                     RECORD_TAG);
}

namespace {
template <class Match>
void remove_regions(Match match) {
    List<PointerRegion> &list = G().regions;
    for (auto *node = list.first(); node;) {
        auto *next = list.after(node);
        if (match(*node->data)) list.remove(node);
        node = next;
    }
}
} // namespace

void pointer_region_remove(uint32_t id, uint8_t button, uint32_t action) {
    remove_regions([&](const PointerRegion &r) {
        return r.id == id && r.button == button && r.action == action;
    });
}

void pointer_region_remove_all(uint32_t id) {
    if (!globals_storage) return;
    remove_regions([&](const PointerRegion &r) { return r.id == id; });
}

void pointer_region_remove_argument(const void *argument) {
    if (!globals_storage) return;
    remove_regions([&](const PointerRegion &r) { return r.argument == argument; });
}

void pointer_region_rename(uint32_t old_id, uint32_t new_id) {
    for (PointerRegion *r : G().regions)
        if (r->id == old_id) r->id = new_id;
}

int pointer_region_count() { return int(G().regions.size()); }

void pointer_region_enable(uint32_t id) {
    for (PointerRegion *r : G().regions)
        if (r->id == id) r->enabled = 1;
}
void pointer_region_disable(uint32_t id) {
    for (PointerRegion *r : G().regions)
        if (r->id == id) r->enabled = 0;
}

namespace {
bool point_in(const Rect &r, int32_t x, int32_t y) {
    return r.x <= x && x < r.x + r.w && r.y <= y && y < r.y + r.h;
}
} // namespace

uint32_t pointer_dispatch(uint8_t button, uint32_t action, int32_t x, int32_t y,
                          uint32_t minimum) {
    ToolkitGlobals &g = G();
    const PointerRegion *best = nullptr;
    for (PointerRegion *r : g.regions) {
        if (!r->enabled || !r->area) continue;
        bool captured = r->area == &g.pointer.capture_rect;
        bool inside = captured || point_in(*r->area, x, y);
        bool was_inside = captured || point_in(*r->area, g.pointer.previous_x, g.pointer.previous_y);
        bool qualifies;
        if (r->action == POINTER_ENTER && action == POINTER_ENTER)
            qualifies = inside && !was_inside;
        else if (r->action == POINTER_LEAVE && action == POINTER_LEAVE)
            qualifies = !inside && was_inside;
        else
            qualifies = r->action == action && (r->button == BUTTON_ANY || r->button == button) &&
                        inside;
        if (qualifies && r->id > (best ? best->id : minimum)) best = r;
    }
    if (!best) return minimum;
    // The function may change the region list; call it with copies.
    uint32_t id = best->id;
    PointerFunction function = best->function;
    void *argument = best->argument;
    if (function) function(argument, action, x, y);
    return id;
}

void pointer_capture(Widget *widget, PointerFunction on_drag, PointerFunction on_release) {
    const Rect *area = &G().pointer.capture_rect;
    pointer_region_add(CAPTURE_ID, BUTTON_LEFT, POINTER_DRAG, area, on_drag, widget);
    pointer_region_add(CAPTURE_ID, BUTTON_ANY, POINTER_RELEASE, area, on_release, widget);
}

void pointer_release_capture() {
    pointer_region_remove(CAPTURE_ID, BUTTON_LEFT, POINTER_DRAG);
    pointer_region_remove(CAPTURE_ID, BUTTON_ANY, POINTER_RELEASE);
}

// ---- Host entry points ----------------------------------------------------------------------

void toolkit_set_pointer(int32_t x, int32_t y) {
    G().pointer.x = x;
    G().pointer.y = y;
}

namespace {
void motion_dispatch() {
    PointerState &p = G().pointer;
    uint32_t act = p.buttons_up ? uint32_t(POINTER_MOVE) : uint32_t(POINTER_DRAG);
    uint32_t served = pointer_dispatch(p.last_button, act, p.x, p.y, 0);
    uint32_t group = served & ~WIDGET_ID_MASK;
    pointer_dispatch(p.last_button, POINTER_ENTER, p.x, p.y, group);
    pointer_dispatch(p.last_button, POINTER_LEAVE, p.x, p.y, group);
    p.previous_x = p.x;
    p.previous_y = p.y;
}
} // namespace

void toolkit_pointer_motion(int32_t x, int32_t y) {
    toolkit_set_pointer(x, y);
    motion_dispatch();
}

void toolkit_button(int32_t host_button, uint32_t host_flags) {
    PointerState &p = G().pointer;
    motion_dispatch();
    uint8_t code;
    switch (host_button) {
    case 1: code = BUTTON_LEFT; break;
    case 2: code = BUTTON_RIGHT; break;
    case 3: code = BUTTON_MIDDLE; break;
    case 4: code = WHEEL_UP_BUTTON; break;
    case 5: code = WHEEL_DOWN_BUTTON; break;
    default: return;
    }
    bool wheel = code == WHEEL_UP_BUTTON || code == WHEEL_DOWN_BUTTON;
    if (wheel) {
        if (p.wheel_latch) return;
        p.wheel_latch = 1;
    }
    if (host_flags & 0x40) {
        if (!p.buttons_up) return;
        if (!wheel) p.buttons_up = 0;
        p.last_button = code;
        pointer_dispatch(code, POINTER_PRESS, p.x, p.y, 0);
    } else {
        if (p.buttons_up) return;
        p.buttons_up = 1;
        p.last_button = code;
        pointer_dispatch(code, POINTER_RELEASE, p.x, p.y, 0);
    }
}

void toolkit_frame_guards_clear() { G().pointer.wheel_latch = 0; }

void shortcut_add(uint32_t key, uint32_t modifiers, KeyFunction function, void *argument) {
    G().shortcuts.push(new KeyBindingRecord{key, uint16_t(modifiers), function, argument},
                       RECORD_TAG);
}

void toolkit_key(uint32_t code, uint32_t modifiers) {
    for (KeyBindingRecord *r : G().shortcuts) {
        if (r->key == code && r->modifiers == modifiers) {
            KeyBindingRecord record = *r; // the function may add shortcuts
            if (record.function) record.function(record.argument, record);
            return;
        }
        if (r->key == KEY_ANY) {
            KeyBindingRecord pressed{code, uint16_t(modifiers), r->function, r->argument};
            if (pressed.function) pressed.function(pressed.argument, pressed);
            return;
        }
    }
}

void toolkit_text(uint32_t cp) {
    if (cp < 32 || cp > 0x10FFFF) return;
    char bytes[5] = {};
    if (cp < 0x80) {
        bytes[0] = char(cp);
    } else if (cp < 0x800) {
        bytes[0] = char(0xC0 | (cp >> 6));
        bytes[1] = char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        bytes[0] = char(0xE0 | (cp >> 12));
        bytes[1] = char(0x80 | ((cp >> 6) & 0x3F));
        bytes[2] = char(0x80 | (cp & 0x3F));
    } else {
        bytes[0] = char(0xF0 | (cp >> 18));
        bytes[1] = char(0x80 | ((cp >> 12) & 0x3F));
        bytes[2] = char(0x80 | ((cp >> 6) & 0x3F));
        bytes[3] = char(0x80 | (cp & 0x3F));
    }
    G().text_hook(bytes, G().text_argument);
}

// ---- Widget events --------------------------------------------------------------------------

namespace {

void set_state(Widget *widget, uint32_t state) {
    if (TextElement *e = widget_text_element(widget)) e->state = state;
}

void on_press(void *argument, uint32_t, int32_t, int32_t) {
    auto *w = static_cast<Widget *>(argument);
    if (!w->enabled) return;
    set_state(w, STATE_PRESSED);
    w->pressed = 1;
    if (w->backend->focus != w) widget_focus(w);
    widget_event(w, EVENT_PRESS);
    uint32_t t = clock_ms();
    if (uint32_t(t - w->press_time) < w->double_click_ms) {
        widget_event(w, EVENT_DOUBLE_CLICK);
        t = 0;
    }
    w->press_time = t;
    widget_redraw_publish(w);
}

void on_release(void *argument, uint32_t, int32_t, int32_t) {
    auto *w = static_cast<Widget *>(argument);
    if (!w->enabled) return;
    set_state(w, STATE_HOVER);
    if (w->pressed) widget_event(w, EVENT_CLICK);
    w->pressed = 0;
    widget_event(w, EVENT_RELEASE);
    widget_redraw_publish(w);
}

void on_motion(void *argument, uint32_t, int32_t, int32_t) {
    auto *w = static_cast<Widget *>(argument);
    if (!w->enabled) return;
    set_state(w, STATE_HOVER);
    widget_event(w, EVENT_MOTION);
}

void on_drag(void *argument, uint32_t, int32_t, int32_t) {
    auto *w = static_cast<Widget *>(argument);
    if (!w->enabled || w->kind == WIDGET_SCROLL) return;
    set_state(w, STATE_PRESSED);
    widget_event(w, EVENT_DRAG);
}

void on_enter(void *argument, uint32_t, int32_t, int32_t) {
    auto *w = static_cast<Widget *>(argument);
    if (!w->enabled) return;
    set_state(w, STATE_HOVER);
    widget_event(w, EVENT_ENTER);
    widget_redraw_publish(w);
}

void on_leave(void *argument, uint32_t, int32_t, int32_t) {
    auto *w = static_cast<Widget *>(argument);
    if (!w->enabled) return;
    set_state(w, STATE_NORMAL);
    w->pressed = 0;
    widget_event(w, EVENT_LEAVE);
    widget_redraw_publish(w);
}

void on_wheel_up(void *argument, uint32_t, int32_t, int32_t) {
    auto *w = static_cast<Widget *>(argument);
    if (w->enabled) widget_event(w, EVENT_WHEEL_UP);
}
void on_wheel_down(void *argument, uint32_t, int32_t, int32_t) {
    auto *w = static_cast<Widget *>(argument);
    if (w->enabled) widget_event(w, EVENT_WHEEL_DOWN);
}

struct RegionSpec {
    uint8_t button;
    uint32_t action;
    PointerFunction function;
};
const RegionSpec EVENT_REGIONS[] = {
    {BUTTON_LEFT, POINTER_PRESS, on_press},          {BUTTON_LEFT, POINTER_RELEASE, on_release},
    {BUTTON_ANY, POINTER_MOVE, on_motion},           {BUTTON_LEFT, POINTER_DRAG, on_drag},
    {BUTTON_ANY, POINTER_ENTER, on_enter},           {BUTTON_ANY, POINTER_LEAVE, on_leave},
    {WHEEL_UP_BUTTON, POINTER_PRESS, on_wheel_up},   {WHEEL_DOWN_BUTTON, POINTER_PRESS, on_wheel_down},
};

} // namespace

void widget_enable_events(Widget *widget) {
    for (const RegionSpec &s : EVENT_REGIONS)
        widget->backend->add_region(widget->id, s.button, s.action, &widget->inner_rect,
                                    s.function, widget);
}

void widget_disable_events(Widget *widget) {
    for (const RegionSpec &s : EVENT_REGIONS)
        widget->backend->remove_region(widget->id, s.button, s.action);
}

void widget_enable(Widget *widget, void *) {
    widget->enabled = 1;
    pointer_region_enable(widget->id);
}

void widget_disable(Widget *widget, void *) {
    widget->enabled = 0;
    pointer_region_disable(widget->id);
    set_state(widget, STATE_NORMAL);
    widget->surface.reset();
}

void widget_focus(Widget *widget) {
    ToolkitBackend &backend = toolkit_backend();
    Widget *old = backend.focus;
    if (old == widget) return;
    backend.focus = widget;
    if (widget) {
        widget->focused = 1;
        widget_event(widget, EVENT_FOCUS_IN);
    }
    if (old) {
        old->focused = 0;
        widget_event(old, EVENT_FOCUS_OUT);
        // Its focus outline goes (an input redraws itself on focus-out already).
        if (old->kind != WIDGET_INPUT) widget_redraw_publish(old);
    }
}

// ---- Keys -----------------------------------------------------------------------------------

void widget_bind_key(Widget *widget, uint32_t key, uint32_t modifiers, KeyFunction function,
                     void *argument) {
    widget->key_bindings.push(new KeyBindingRecord{key, uint16_t(modifiers), function, argument},
                              RECORD_TAG);
}

void key_dispatch(void *, const KeyBindingRecord &pressed) {
    for (Widget *w = toolkit_backend().focus; w; w = w->parent) {
        if (!w->enabled) return;
        for (KeyBindingRecord *r : w->key_bindings) {
            if (r->key == KEY_ANY || (r->key == pressed.key && r->modifiers == pressed.modifiers)) {
                KeyBindingRecord call{pressed.key, pressed.modifiers, r->function, r->argument};
                if (call.function) call.function(call.argument, call);
                widget_event(w, EVENT_KEY);
                return;
            }
        }
    }
}

// ---- Text input and editing -----------------------------------------------------------------

bool is_word_byte(uint8_t b) {
    return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
           b == '_' || b >= 128;
}

int32_t utf8_step_back(const std::string &text, int32_t index) {
    if (index <= 0) return 0;
    int32_t i = std::min(index, int32_t(text.size())) - 1;
    while (i > 0 && (uint8_t(text[size_t(i)]) & 0xC0) == 0x80) --i;
    return i;
}

int32_t utf8_step_forward(const std::string &text, int32_t index) {
    int32_t length = int32_t(text.size());
    if (index >= length) return length;
    uint8_t lead = uint8_t(text[size_t(index)]);
    int32_t n = (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 1;
    return std::min(index + n, length);
}

namespace {

int32_t word_back(const std::string &t, int32_t i) {
    while (i > 0 && !is_word_byte(uint8_t(t[size_t(i - 1)]))) --i;
    while (i > 0 && is_word_byte(uint8_t(t[size_t(i - 1)]))) --i;
    return i;
}
int32_t word_forward(const std::string &t, int32_t i) {
    int32_t n = int32_t(t.size());
    while (i < n && !is_word_byte(uint8_t(t[size_t(i)]))) ++i;
    while (i < n && is_word_byte(uint8_t(t[size_t(i)]))) ++i;
    return i;
}

InputData *input_of(Widget *widget) {
    auto *d = widget_data<InputData>(widget);
    if (!d) return nullptr;
    int32_t n = int32_t(d->text.size());
    d->anchor = std::clamp(d->anchor, 0, n);
    d->cursor = std::clamp(d->cursor, 0, n);
    return d;
}

void delete_selection(Widget *w) { text_insert("", w); }

// Editing commands: argument is the input widget.
enum EditCommand : uint32_t {
    EDIT_DELETE,
    EDIT_BACKSPACE,
    EDIT_BACKSPACE_WORD,
    EDIT_LEFT,
    EDIT_RIGHT,
    EDIT_SELECT_LEFT,
    EDIT_SELECT_RIGHT,
    EDIT_WORD_LEFT,
    EDIT_WORD_RIGHT,
    EDIT_SELECT_WORD_LEFT,
    EDIT_SELECT_WORD_RIGHT,
    EDIT_HOME,
    EDIT_END,
    EDIT_SELECT_ALL,
    EDIT_COPY,
    EDIT_CUT,
    EDIT_PASTE,
};

void copy_selection(const InputData &d) {
    int32_t a = std::min(d.anchor, d.cursor), b = std::max(d.anchor, d.cursor);
    std::string selected = d.text.substr(size_t(a), size_t(b - a));
    clipboard_set(selected.c_str(), toolkit_globals_exist());
}

void edit(Widget *w, EditCommand command) {
    InputData *d = input_of(w);
    if (!d) return;
    const std::string &t = d->text;
    int32_t n = int32_t(t.size());
    switch (command) {
    case EDIT_DELETE:
        if (d->anchor == d->cursor) d->anchor = utf8_step_forward(t, d->cursor);
        delete_selection(w);
        return;
    case EDIT_BACKSPACE:
        if (d->anchor == d->cursor) d->anchor = utf8_step_back(t, d->cursor);
        delete_selection(w);
        return;
    case EDIT_BACKSPACE_WORD:
        if (d->anchor == d->cursor) d->anchor = word_back(t, d->cursor);
        delete_selection(w);
        return;
    case EDIT_LEFT: d->anchor = d->cursor = utf8_step_back(t, d->cursor); break;
    case EDIT_RIGHT: d->anchor = d->cursor = utf8_step_forward(t, d->cursor); break;
    case EDIT_SELECT_LEFT: d->cursor = utf8_step_back(t, d->cursor); break;
    case EDIT_SELECT_RIGHT: d->cursor = utf8_step_forward(t, d->cursor); break;
    case EDIT_WORD_LEFT: d->anchor = d->cursor = word_back(t, d->cursor); break;
    case EDIT_WORD_RIGHT: d->anchor = d->cursor = word_forward(t, d->cursor); break;
    case EDIT_SELECT_WORD_LEFT: d->cursor = word_back(t, d->cursor); break;
    case EDIT_SELECT_WORD_RIGHT: d->cursor = word_forward(t, d->cursor); break;
    case EDIT_HOME: d->anchor = d->cursor = 0; break;
    case EDIT_END: d->anchor = d->cursor = n; break;
    case EDIT_SELECT_ALL:
        d->anchor = 0;
        d->cursor = n;
        break;
    case EDIT_COPY: copy_selection(*d); break;
    case EDIT_CUT:
        copy_selection(*d);
        delete_selection(w);
        return;
    case EDIT_PASTE: {
        std::optional<std::string> probe = clipboard_get(true);
        if (probe && !probe->empty()) {
            std::optional<std::string> text = clipboard_get(true);
            if (text) {
                text_insert(text->c_str(), w);
                return;
            }
        }
        break;
    }
    }
    widget_redraw_publish(w);
}

struct EditBinding {
    uint32_t key;
    uint32_t modifiers;
    EditCommand command;
};
const EditBinding EDIT_BINDINGS[] = {
    {KEY_DELETE, 0, EDIT_DELETE},
    {KEY_BACKSPACE, 0, EDIT_BACKSPACE},
    {KEY_BACKSPACE, MOD_CTRL, EDIT_BACKSPACE_WORD},
    {KEY_LEFT, 0, EDIT_LEFT},
    {KEY_RIGHT, 0, EDIT_RIGHT},
    {KEY_LEFT, MOD_SHIFT, EDIT_SELECT_LEFT},
    {KEY_RIGHT, MOD_SHIFT, EDIT_SELECT_RIGHT},
    {KEY_LEFT, MOD_CTRL, EDIT_WORD_LEFT},
    {KEY_RIGHT, MOD_CTRL, EDIT_WORD_RIGHT},
    {KEY_LEFT, MOD_CTRL | MOD_SHIFT, EDIT_SELECT_WORD_LEFT},
    {KEY_RIGHT, MOD_CTRL | MOD_SHIFT, EDIT_SELECT_WORD_RIGHT},
    {KEY_HOME, 0, EDIT_HOME},
    {KEY_END, 0, EDIT_END},
    {'A', MOD_CTRL, EDIT_SELECT_ALL},
    {'C', MOD_CTRL, EDIT_COPY},
    {'X', MOD_CTRL, EDIT_CUT},
    {'V', MOD_CTRL, EDIT_PASTE},
};

// The key function of an editing binding: the record's key and modifiers pick the command.
void edit_key(void *argument, const KeyBindingRecord &pressed) {
    for (const EditBinding &b : EDIT_BINDINGS)
        if (b.key == pressed.key && b.modifiers == pressed.modifiers) {
            edit(static_cast<Widget *>(argument), b.command);
            return;
        }
}

} // namespace

void input_bind_editing_keys(Widget *input) {
    for (const EditBinding &b : EDIT_BINDINGS) widget_bind_key(input, b.key, b.modifiers, edit_key, input);
}

void text_insert(const char *text, Widget *widget) {
    if (!widget) widget = toolkit_backend().focus;
    InputData *d = input_of(widget);
    if (!d || !text) return;
    int32_t a = std::min(d->anchor, d->cursor), b = std::max(d->anchor, d->cursor);
    std::string inserted(text);
    d->text = d->text.substr(0, size_t(a)) + inserted + d->text.substr(size_t(b));
    d->anchor = d->cursor = a + int32_t(inserted.size());
    widget_redraw_publish(widget);
    widget_event(widget, EVENT_TEXT_CHANGED);
}

// ---- Kind handlers --------------------------------------------------------------------------

namespace {

double to_points(int32_t pixels, const Widget *w) {
    int32_t dpi = w->base_paint.dpi > 0 ? w->base_paint.dpi : 72;
    return pixels * 72.0 / dpi;
}

// Byte index of the input's text under the pointer.
int32_t input_index_at_pointer(Widget *w) {
    InputData *d = input_of(w);
    double x = to_points(toolkit_pointer().x, w) - w->outer_box.x - d->offset - w->padding;
    if (x <= 0 || !d->element.font) return 0;
    Paint pen = d->element.paints[PAINT_TEXT_NORMAL];
    pen.dpi = w->base_paint.dpi;
    pen.x = pen.y = 0;
    int32_t i = text_draw(nullptr, &pen, d->element.font, d->text.c_str(),
                          TEXT_NO_DRAW | TEXT_RETURN_INDEX, d->element.size, x);
    return std::clamp(i, 0, int32_t(d->text.size()));
}

void input_drag(void *argument, uint32_t, int32_t, int32_t) {
    auto *w = static_cast<Widget *>(argument);
    InputData *d = input_of(w);
    if (!d || !w->enabled) return;
    double pointer = to_points(toolkit_pointer().x, w);
    double left = w->outer_box.x, right = w->outer_box.x + w->outer_box.w;
    if (pointer < left) {
        d->offset = std::min(0.0, d->offset + (left - pointer));
    } else if (pointer > right) {
        double t = 0;
        if (d->element.font) {
            Paint m = d->element.paints[PAINT_TEXT_NORMAL];
            m.dpi = w->base_paint.dpi;
            t = std::max(0, text_measure(m, d->element.font, d->text.c_str(),
                                         int32_t(d->text.size()) + 1, d->element.size));
        }
        double lowest = std::min(0.0, w->outer_box.w - 2 * w->padding - t);
        d->offset = std::clamp(d->offset - (pointer - right), lowest, 0.0);
    }
    d->cursor = input_index_at_pointer(w);
    widget_redraw_publish(w);
}

void end_capture(void *, uint32_t, int32_t, int32_t) { pointer_release_capture(); }

void input_handle(Widget *w, uint32_t event) {
    InputData *d = input_of(w);
    if (!d) return;
    if (event == EVENT_PRESS) {
        d->anchor = d->cursor = input_index_at_pointer(w);
        pointer_capture(w, input_drag, end_capture);
    } else if (event == EVENT_DOUBLE_CLICK) {
        const std::string &t = d->text;
        int32_t start = d->cursor, end = d->cursor, n = int32_t(t.size());
        while (start > 0 && is_word_byte(uint8_t(t[size_t(start - 1)]))) --start;
        while (end < n && is_word_byte(uint8_t(t[size_t(end)]))) ++end;
        d->anchor = start;
        d->cursor = end;
        pointer_release_capture();
    }
}

void check_handle(Widget *w, uint32_t event) {
    if (event != EVENT_CLICK) return;
    if (auto *d = widget_data<CheckData>(w)) d->checked = !d->checked;
}

void table_handle(Widget *w, uint32_t event) {
    auto *d = widget_data<TableData>(w);
    if (event != EVENT_PRESS || !d || d->row_height <= 0) return;
    TableLayout l = table_layout(w);
    double y = to_points(toolkit_pointer().y, w) - w->outer_box.y;
    double index = std::floor((y + l.sub - l.header) / d->row_height) + double(l.first);
    d->selected = nullptr;
    if (index < 0 || !d->rows.first) return;
    void *node = d->rows.first(d->rows.list);
    for (int64_t i = 0; i < int64_t(index) && node; ++i) node = d->rows.next(d->rows.list, node);
    d->selected = node;
}

// The scroll's geometry along its axis, in pixels.
struct ScrollAxis {
    double along, grip, track, start, pointer;
};
ScrollAxis scroll_axis(Widget *w) {
    auto *d = widget_data<ScrollData>(w);
    bool vertical = d->orientation == ORIENT_VERTICAL;
    const PointerState &p = toolkit_pointer();
    ScrollAxis a;
    a.along = vertical ? w->outer_rect.h : w->outer_rect.w;
    double across = vertical ? w->outer_rect.w : w->outer_rect.h;
    a.grip = d->style == SCROLL_SLIDER ? across / 2 : a.along * d->grip / 100;
    a.track = a.along - a.grip;
    a.start = a.track * d->position / 100;
    a.pointer = vertical ? p.y - w->outer_rect.y : p.x - w->outer_rect.x;
    return a;
}

void grip_drag(void *argument, uint32_t, int32_t, int32_t) {
    auto *w = static_cast<Widget *>(argument);
    auto *d = widget_data<ScrollData>(w);
    if (!d) return;
    d->element.state = STATE_PRESSED;
    ScrollAxis a = scroll_axis(w);
    const PointerState &p = toolkit_pointer();
    double moved = d->orientation == ORIENT_VERTICAL ? p.y - d->press_y : p.x - d->press_x;
    if (a.track > 0) d->position = std::clamp(moved / a.track * 100 + d->press_position, 0.0, 100.0);
    widget_redraw_publish(w);
    widget_event(w, EVENT_DRAG);
}

void grip_release(void *argument, uint32_t, int32_t, int32_t) {
    auto *w = static_cast<Widget *>(argument);
    if (auto *d = widget_data<ScrollData>(w)) d->element.state = STATE_NORMAL;
    widget_redraw_publish(w);
    pointer_release_capture();
}

void scroll_remember_and_capture(Widget *w) {
    auto *d = widget_data<ScrollData>(w);
    d->press_x = toolkit_pointer().x;
    d->press_y = toolkit_pointer().y;
    d->press_position = d->position;
    pointer_capture(w, grip_drag, grip_release);
}

void scroll_handle(Widget *w, uint32_t event) {
    auto *d = widget_data<ScrollData>(w);
    if (event != EVENT_PRESS || !d) return;
    ScrollAxis a = scroll_axis(w);
    if (a.pointer >= a.start && a.pointer < a.start + a.grip) {
        scroll_remember_and_capture(w);
        grip_drag(w, POINTER_DRAG, 0, 0);
    } else if (d->style == SCROLL_SCROLLBAR) {
        d->element.state = STATE_HOVER;
    } else {
        d->element.state = STATE_PRESSED;
        if (a.track > 0)
            d->position = std::clamp((a.pointer - a.grip / 2) / a.track * 100, 0.0, 100.0);
        widget_redraw_publish(w);
        widget_event(w, EVENT_DRAG);
        scroll_remember_and_capture(w);
    }
}

} // namespace

const EventHandler INPUT_HANDLER = {input_handle};
const EventHandler CHECK_HANDLER = {check_handle};
const EventHandler TABLE_HANDLER = {table_handle};
const EventHandler SCROLL_HANDLER = {scroll_handle};
