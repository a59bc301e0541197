// The host bridge: the input sections the plug-in defines in mpv, the overlay buffer the host
// shows, and the hand-over of keys, text, buttons, pointer moves and size changes to the
// toolkit's input routing. The main loop calls in here for every host event and once per frame.
#pragma once

#include "plugin/app_state.h"

#include <mpv/client.h>

#include <string>

constexpr const char *SECTION_MAIN = "solfb-section";
constexpr const char *SECTION_TOGGLE = "solfb-toggle-section";
constexpr const char *OVERLAY_ID = "45";

// The key lines of "solfb-section": every key the interface takes, bound to the plug-in's
// script bindings. `host_keys` is the host's list of named keys ("input-key-list", names
// separated by commas); named keys it lacks are left out, so an older host does not warn about
// them at every start. Without a list every key is bound. Single characters are always bound.
std::string section_text(const std::string &host_keys = {});

// Window and input set-up: observes the OSD size and pointer, defines both input sections,
// enables the toggle section (F12), creates the overlay buffer, the root surface, the toolkit's
// lists and the task queue at the GUI size. Fatal ("window init failed", "error") when the GUI
// size is not positive.
void window_setup(AppState &state);
// Enables the exclusive section, so every key reaches the plug-in, and asks for a full redraw.
void window_show(AppState &state);
// Releases the keys to mpv again and removes the overlay.
void window_hide(AppState &state);

// A "key-binding" client message (binding name, state, key name, key text).
void window_key_binding(AppState &state, const char *binding, const char *key_state,
                        const char *key_name, const char *key_text);
// The "osd-dimensions" property: a new overlay buffer and a new layout when the size changed.
void window_resize(AppState &state, const mpv_node *dimensions);
// The "mouse-pos" property: stores the pointer; while visible, the frame step dispatches it.
void window_pointer(AppState &state, const mpv_node *position);
// Copies the dirty part of the root surface into the overlay buffer and announces it to the
// host (or removes the overlay while hidden); clears the dirty rectangle. Rows the buffer
// already holds are not copied, and when no row differed from what the host shows nothing is
// sent.
void overlay_publish(AppState &state);

// The host copies and renders the whole overlay on every "overlay-add": changes drawn within one
// frame interval are published together.
constexpr uint32_t FRAME_INTERVAL_MS = 16;
// Changes drawn by arriving downloads (thumbnails, the feeds of a feed) while more downloads are
// in flight are published at most this often: mpv copies and renders the whole overlay on every
// publish, and a list filling in twenty times a second looks no different from sixty.
constexpr uint32_t BACKGROUND_INTERVAL_MS = 50;
// The per-pass frame step: full republish, pointer motion, per-pass guards, and the publish of
// what was drawn once it is due (a full republish after showing at once). Changes held back stay
// pending, and the loop is asked to wake when they are due.
void window_frame_step(AppState &state);
