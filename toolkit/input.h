// The toolkit's process-wide input and screen state, and the entry points the host bridge calls.
//
// The host bridge (plugin/) turns the host's key, text, button and pointer events into the calls
// below; the toolkit routes them to widgets (pointer regions, the global key list, the focus
// chain, the focused input). The toolkit also owns the root surface every widget is composited
// onto (B, G, R, A bytes, the host's "bgra"), its dirty rectangle and the publish-pending flag;
// the host bridge copies the dirty part into its overlay buffer and clears it.
//
// Lifetime: everything here is created by toolkit_globals_create (window set-up) and lives until
// toolkit_globals_destroy (tests; the plug-in keeps it for life). Before creation the entry points
// do nothing. Everything runs on the plug-in thread.
#pragma once

#include <cstdint>

#include "gfx/surface.h"

struct Widget;

// Toolkit modifier bits.
enum KeyModifier : uint32_t {
    MOD_CTRL = 1,
    MOD_ALT = 2,
    MOD_SHIFT = 4,
    MOD_SUPER = 8,
};

// Named key codes used by the toolkit's own bindings (printable keys are their upper-case ASCII).
enum KeyCode : uint32_t {
    KEY_ESCAPE = 256,
    KEY_ENTER = 257,
    KEY_TAB = 258,
    KEY_BACKSPACE = 259,
    KEY_INSERT = 260,
    KEY_DELETE = 261,
    KEY_RIGHT = 262,
    KEY_LEFT = 263,
    KEY_DOWN = 264,
    KEY_UP = 265,
    KEY_PAGE_UP = 266,
    KEY_PAGE_DOWN = 267,
    KEY_HOME = 268,
    KEY_END = 269,
    KEY_F6 = 295,
    KEY_F7 = 296,
    KEY_KP_ENTER = 335,
};

// A key-binding record whose key matches every key.
constexpr uint32_t KEY_ANY = 0xdeadbeef;

// One key binding. The function receives its argument and the key as pressed: for an exact
// binding this is the record itself; for a wildcard it is a copy holding the pressed key and
// modifiers.
struct KeyBindingRecord;
using KeyFunction = void (*)(void *argument, const KeyBindingRecord &pressed);
struct KeyBindingRecord {
    uint32_t key = 0;
    uint16_t modifiers = 0;
    KeyFunction function = nullptr;
    void *argument = nullptr;
};

// ---- Life cycle -----------------------------------------------------------------------------

// Creates the empty global key list and pointer-region list, sets the buttons-up flag and marks
// the host window present (the clipboard needs it). Calling it again resets everything.
void toolkit_globals_create();
// Drops the lists, the root surface and the hooks (tests).
void toolkit_globals_destroy();
bool toolkit_globals_exist();

// ---- Root surface, dirty rectangle, publish-pending ----------------------------------------

// The root surface (B, G, R, A), or nullptr before one is set. Borrowed.
Surface *toolkit_root_surface();
// Replaces the root surface (the old one is freed). Does not touch the dirty rectangle.
void toolkit_set_root_surface(SurfacePtr surface);
// The rectangle changed since the last publish; all zero when nothing was recorded.
Rect toolkit_dirty_rect();
// Grows the dirty rectangle by `rect` (clipped to the root surface; empty rects are ignored)
// and sets publish-pending.
void toolkit_dirty_add(const Rect &rect);
// Marks the whole root surface dirty and sets publish-pending.
void toolkit_dirty_all();
// Clears the dirty rectangle (publish-pending is left alone).
void toolkit_dirty_clear();
bool toolkit_publish_pending();
void toolkit_set_publish_pending(bool pending);
// Background drawing: changes drawn while it is on (images arriving one by one while more are on
// the way) need not reach the screen on their own; the host bridge may hold them back for a
// frame interval to publish them together. Any change drawn while it is off makes the pending
// publish an ordinary one again.
void toolkit_set_background_drawing(bool on);
// True while a publish is pending and every change in it was drawn in the background.
bool toolkit_publish_background();

// ---- Hooks ----------------------------------------------------------------------------------

// Called by the host bridge after the root surface was resized, so the application lays the
// tree out for the new size.
using RelayoutHook = void (*)(int32_t width, int32_t height, void *argument);
void toolkit_set_relayout_hook(RelayoutHook hook, void *argument);
// Runs the relayout hook (nothing when none is installed).
void toolkit_relayout(int32_t width, int32_t height);

// Receives each typed character as UTF-8 (1 to 4 bytes, NUL-terminated). The default hook (also
// restored by passing nullptr) inserts it into the focused input.
using TextHook = void (*)(const char *utf8, void *argument);
void toolkit_set_text_hook(TextHook hook, void *argument);

// Where the focused input last drew its caret, in root-surface pixels; valid is false until an
// input with the focus was drawn.
struct CaretPosition {
    int32_t x = 0;
    int32_t y = 0;
    bool valid = false;
};
CaretPosition toolkit_caret_position();

// ---- Entry points of the host bridge --------------------------------------------------------

// A key went down (key-ups are not passed): code in toolkit codes, modifiers in the toolkit
// layout (MOD_*). Runs the first matching record of the global list (newest first).
void toolkit_key(uint32_t code, uint32_t modifiers);
// A typed character: code points below 32 are dropped, the rest encoded as UTF-8 and handed to
// the text hook.
void toolkit_text(uint32_t code_point);
// A host button change: host button 1 left, 2 right, 3 middle, 4 wheel up, 5 wheel down;
// host_flags bit 0x40 means pressed. Dispatches pending pointer motion first.
void toolkit_button(int32_t host_button, uint32_t host_flags);
// Stores the pointer position (root-surface pixels) without dispatching.
void toolkit_set_pointer(int32_t x, int32_t y);
// Stores the pointer position and dispatches motion, enter and leave once (the frame step).
void toolkit_pointer_motion(int32_t x, int32_t y);
// Clears the per-pass guards (the wheel latch): called by the main loop once per pass.
void toolkit_frame_guards_clear();

// ---- Global key bindings and pointer regions ------------------------------------------------

// Inserts a record at the head of the global key list (newest first). KEY_ANY matches every key.
void shortcut_add(uint32_t key, uint32_t modifiers, KeyFunction function, void *argument);
// Set or clear the enabled flag of every pointer region registered under `id`.
void pointer_region_enable(uint32_t id);
void pointer_region_disable(uint32_t id);
