// Kinetic scrolling of a list: wheel steps that glide, touch dragging with a flick that keeps
// moving and slows down. The list's owner supplies a scroll-by-amount callback (amounts are the
// list's scroll units, hundredths of a pixel; it reports whether the list hit an end) and a
// select callback for taps.
//
// The animator is owned by the application and must outlive its running timer (the deferred
// queue holds a pointer to it while it glides).
#pragma once

#include <cstdint>

#include "base/runtime.h"

struct Widget;

struct ScrollAnimator {
    double pending = 0;   // wheel amount still to glide
    double last_step = 0;
    Timer timer{};
    int32_t press_x = 0;
    int32_t press_y = 0;
    bool dragging = false;
    bool tap = false;
    double velocity = 0;          // pixels per second while dragging
    double previous_velocity = 0; // inertia velocity when the press came
    double inertia_velocity = 0;
    uint32_t last_time = 0;
    int32_t last_y = 0;
    // Scrolls the list by `amount`; returns true when it hit an end.
    bool (*scroll_by)(void *owner, double amount) = nullptr;
    void (*select)(void *owner) = nullptr;
    void *owner = nullptr;
};

// One wheel step of `amount`: scrolls at once unless `smooth`, else adds to the glide.
void scroll_animator_wheel(ScrollAnimator &animator, double amount, bool smooth);
// A press at (x, y) pixels starts touch dragging (captures the pointer until the release).
void scroll_animator_touch_press(ScrollAnimator &animator, int32_t x, int32_t y);
// Pointer moves and the release while captured (also called by the capture regions).
void scroll_animator_touch_move(ScrollAnimator &animator, int32_t x, int32_t y);
void scroll_animator_touch_release(ScrollAnimator &animator);
// Stops any glide or inertia.
void scroll_animator_stop(ScrollAnimator &animator);
