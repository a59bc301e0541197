// Input routing inside the toolkit: pointer regions and their dispatch, pointer capture, widget
// events and their enabling, keyboard focus, per-widget key bindings and the focus-chain key
// routing, and text insertion into input fields.
//
// The region list and the pointer state are the process-wide ones of toolkit/input.h. A region
// borrows its area rectangle (a widget's inner pixel rectangle, or the capture rectangle); a
// widget's regions are removed when the widget is destroyed.
#pragma once

#include <cstdint>

#include "toolkit/input.h"
#include "toolkit/widget.h"

enum PointerButton : uint8_t {
    BUTTON_LEFT = 1,
    BUTTON_MIDDLE = 2,
    BUTTON_RIGHT = 3,
    WHEEL_UP_BUTTON = 238,
    WHEEL_DOWN_BUTTON = 239,
    BUTTON_ANY = 254,
};

enum PointerAction : uint32_t {
    POINTER_PRESS = 0,
    POINTER_RELEASE = 1,
    POINTER_MOVE = 2,
    POINTER_DRAG = 3,
    POINTER_ENTER = 4,
    POINTER_LEAVE = 5,
};

// Id of the capture regions: above every widget.
constexpr uint32_t CAPTURE_ID = 0x32000000;

struct PointerRegion {
    uint32_t id = 0;
    uint8_t button = 0;
    uint32_t action = 0;
    const Rect *area = nullptr; // borrowed
    PointerFunction function = nullptr;
    void *argument = nullptr;
    uint8_t enabled = 1;
};

struct PointerState {
    int32_t x = 0;
    int32_t y = 0;
    int32_t previous_x = 0;
    int32_t previous_y = 0;
    uint8_t buttons_up = 1;
    uint8_t last_button = 0;
    uint8_t wheel_latch = 0;
    Rect capture_rect{0, 0, 0x7fffffff, 0x7fffffff};
};
PointerState &toolkit_pointer();

// Registers a region at the head of the list (newest first), replacing any with the same id,
// button and action.
void pointer_region_add(uint32_t id, uint8_t button, uint32_t action, const Rect *area,
                        PointerFunction function, void *argument);
void pointer_region_remove(uint32_t id, uint8_t button, uint32_t action);
// Removes every region of `id`.
void pointer_region_remove_all(uint32_t id);
// Removes every region whose function argument is `argument` (a widget being destroyed).
void pointer_region_remove_argument(const void *argument);
// Moves every region of `old_id` to `new_id`.
void pointer_region_rename(uint32_t old_id, uint32_t new_id);
int pointer_region_count();

// Serves the qualifying region with the greatest id above `minimum`; returns its id, or
// `minimum` when none qualifies.
uint32_t pointer_dispatch(uint8_t button, uint32_t action, int32_t x, int32_t y, uint32_t minimum);

// Installs the capture regions: (left, drag) -> on_drag and (any, release) -> on_release, both
// with the widget as argument.
void pointer_capture(Widget *widget, PointerFunction on_drag, PointerFunction on_release);
// Removes the capture regions. Safe from inside a region function: pointer_dispatch has chosen
// and copied the region it serves before calling it.
void pointer_release_capture();

// The eight regions of an event-enabled widget over its inner pixel rectangle.
void widget_enable_events(Widget *widget);
void widget_disable_events(Widget *widget);
// Walk callbacks: set the enabled flag and the regions; disabling resets the element state and
// frees the surface.
void widget_enable(Widget *widget, void *unused = nullptr);
void widget_disable(Widget *widget, void *unused = nullptr);

// Moves the keyboard focus to `widget` (nullptr: none), with focus-out and focus-in events.
void widget_focus(Widget *widget);

void widget_bind_key(Widget *widget, uint32_t key, uint32_t modifiers, KeyFunction function,
                     void *argument);
// The focus-chain routing, registered by the application as the global wildcard binding.
void key_dispatch(void *argument, const KeyBindingRecord &pressed);

// Replaces the selection of the input `widget` (nullptr: the focused widget) with `text`.
void text_insert(const char *text, Widget *widget);
// The input editing bindings every input gets when built.
void input_bind_editing_keys(Widget *input);
// Byte index of the character before/after `index` (UTF-8 stepping), and word stepping.
int32_t utf8_step_back(const std::string &text, int32_t index);
int32_t utf8_step_forward(const std::string &text, int32_t index);
bool is_word_byte(uint8_t byte);

// Kind event handlers (the event handler slots of their kinds).
extern const EventHandler INPUT_HANDLER;
extern const EventHandler CHECK_HANDLER;
extern const EventHandler TABLE_HANDLER;
extern const EventHandler SCROLL_HANDLER;
