// The plug-in's life: start-up, the cooperative main loop and shutdown, all on the thread the
// host called the entry on.
#pragma once

#include <mpv/client.h>

// Runs the whole plug-in; returns 0 when the host shuts it down. No exception leaves it.
int solvane_main(mpv_handle *handle);
