// The browser's keyboard commands: a fixed table of named actions with default keys, re-bound
// by the configuration's key_bindings and registered on the root widget, so an action fires
// wherever the focus is unless a focused widget binds the same key first.
#pragma once

#include <cstdint>

struct AppState;

struct ActionRow {
    const char *name;
    uint32_t key;       // toolkit key code; 0 is unbound
    uint16_t modifiers; // CTRL 1, ALT 2, SHIFT 4, SUPER 8
    void (*handler)(AppState &state);
};

constexpr int ACTION_COUNT = 24;

// The table with its default keys, in table order (a fresh copy each call).
void actions_defaults(ActionRow (&rows)[ACTION_COUNT]);
// Applies the configuration's re-bindings in order: each names an action; the first row with
// that name gets the new key and modifiers. Unknown names change nothing.
void actions_rebind(ActionRow (&rows)[ACTION_COUNT], const AppState &state);
// Re-binds from the configuration and binds every row (unbound ones too) on the root widget,
// in table order, so that of two rows with the same key the later one wins.
void actions_register(AppState &state);
// Runs the action called `name`; false when there is none.
bool action_run(AppState &state, const char *name);
