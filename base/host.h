// The process-wide host handle: the mpv client handle the entry was called with. Every host
// call of every subsystem goes through it. Set once at start-up, before anything else runs.
#pragma once

#include <mpv/client.h>

mpv_handle *host();
void host_set(mpv_handle *handle);

// Waits up to `ms` milliseconds for the host to have events (its wakeup pipe becomes readable),
// then drains the pipe. Returns at once when events are already pending, so a sleeping loop
// never holds back a key press. Falls back to a plain sleep when the host offers no pipe.
void host_wait(int ms);
