// Playback wiring: the service client's launch step plays through the playback launch, and the
// one-second autoplay timer queues the next video of the list near the end of the current one.
#pragma once

#include "plugin/app_state.h"

// Sets the client's launch hook and starts the autoplay timer (kept in the state).
void launch_start(AppState &state);
