// Start-up, the main loop and the dispatch of host events.
//
// One pass of the loop runs one deferred call, drains the host's events with a zero time-out
// and, when nothing happened, waits on the host's wakeup pipe for at most the idle sleep.
#pragma once

#include "plugin/app_state.h"

#include <mpv/client.h>

// Application start-up after the paths are set: configuration, state file, window set-up.
void app_init(AppState &state);
// Entry start-up: stores the handle, finds the directory, runs app_init, registers the exit
// callback.
void app_start(AppState &state, mpv_handle *handle);
// Handles one host event.
void dispatch_event(AppState &state, const mpv_event &event);
// One pass of the main loop; false once the loop must end.
bool main_loop_pass(AppState &state);
// Runs passes until the host shuts down, then writes the state file when save_state is on.
void main_loop_run(AppState &state);
