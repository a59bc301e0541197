// Playback wiring: the service client's launch step plays through the playback launch, and the
// one-second autoplay timer queues the next video of the list near the end of the current one.
#pragma once

#include "plugin/app_state.h"

// Sets the client's launch hook and starts the autoplay timer (kept in the state).
void launch_start(AppState &state);
// A file ended. When it was the plug-in's last load and failed to open, a result resolved before
// Play is resolved afresh and played once more (true: a fresh try is on its way); otherwise the
// failure goes to the status line.
struct mpv_event_end_file;
bool launch_end_file(AppState &state, const mpv_event_end_file &end);
