// Wheel gliding, touch dragging and inertia for the result list.
#include "toolkit/scroll_animator.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "toolkit/events.h"

namespace {

uint32_t glide_tick(uint32_t elapsed, void *argument) {
    auto &a = *static_cast<ScrollAnimator *>(argument);
    double r = a.pending;
    if (std::fabs(r) < 0.001) return 0;
    double step = std::max(std::min(double(elapsed), 50.0) * std::fabs(r) / 80, 50.0);
    double move = step >= std::fabs(r) ? r : std::copysign(step, r);
    a.last_step = move;
    if (a.scroll_by && a.scroll_by(a.owner, move)) {
        a.pending = 0;
        return 0;
    }
    a.pending -= move;
    return 10;
}

uint32_t inertia_tick(uint32_t elapsed, void *argument) {
    auto &a = *static_cast<ScrollAnimator *>(argument);
    double v = a.inertia_velocity;
    if (std::fabs(v) < 25) return 0;
    if (a.scroll_by && a.scroll_by(a.owner, -v / 10 * elapsed)) {
        a.inertia_velocity = 0;
        return 0;
    }
    a.inertia_velocity = v * std::exp(-double(elapsed) / 400);
    return 10;
}

void start_timer(ScrollAnimator &a, uint32_t (*tick)(uint32_t, void *)) {
    if (a.timer.active) return;
    a.timer.interval = 10;
    a.timer.tick = tick;
    a.timer.tick_argument = &a;
    a.timer.callback = nullptr;
    timer_start(&a.timer);
}

void capture_move(void *argument, uint32_t, int32_t x, int32_t y) {
    scroll_animator_touch_move(*static_cast<ScrollAnimator *>(argument), x, y);
}
void capture_release(void *argument, uint32_t, int32_t, int32_t) {
    scroll_animator_touch_release(*static_cast<ScrollAnimator *>(argument));
}

} // namespace

void scroll_animator_wheel(ScrollAnimator &a, double amount, bool smooth) {
    if (!smooth) {
        if (a.scroll_by) a.scroll_by(a.owner, amount);
        return;
    }
    a.pending += amount;
    start_timer(a, glide_tick);
}

void scroll_animator_touch_press(ScrollAnimator &a, int32_t x, int32_t y) {
    a.tap = a.timer.active && a.timer.tick == inertia_tick;
    a.press_x = x;
    a.press_y = y;
    a.last_y = y;
    a.last_time = clock_ms();
    a.dragging = false;
    a.previous_velocity = a.inertia_velocity;
    a.velocity = 0;
    a.inertia_velocity = 0;
    const Rect *area = &toolkit_pointer().capture_rect;
    pointer_region_add(CAPTURE_ID, BUTTON_LEFT, POINTER_DRAG, area, capture_move, &a);
    pointer_region_add(CAPTURE_ID, BUTTON_ANY, POINTER_RELEASE, area, capture_release, &a);
}

void scroll_animator_touch_move(ScrollAnimator &a, int32_t x, int32_t y) {
    if (!a.dragging) {
        if (std::abs(x - a.press_x) < 9 && std::abs(y - a.press_y) < 9) return;
        a.dragging = true;
        a.last_y = y;
        a.last_time = clock_ms();
        return;
    }
    uint32_t now = clock_ms();
    if (a.scroll_by) a.scroll_by(a.owner, double(y - a.last_y) * -100);
    double dt = std::max(1.0, double(uint32_t(now - a.last_time)));
    double v = double(y - a.last_y) * 1000 / dt;
    if (dt < 50) v = (v * dt + (50 - dt) * a.velocity) / 50;
    a.velocity = v;
    a.last_y = y;
    a.last_time = now;
}

void scroll_animator_touch_release(ScrollAnimator &a) {
    pointer_release_capture();
    if (!a.dragging && !a.tap && a.select) a.select(a.owner);
    a.tap = false;
    uint32_t since = clock_ms() - a.last_time;
    if (since < 100 && std::fabs(a.velocity) > 100) {
        if (a.velocity * a.previous_velocity >= 0) a.velocity += 2 * a.previous_velocity;
    } else {
        a.velocity = 0;
    }
    a.inertia_velocity = a.velocity;
    start_timer(a, inertia_tick);
}

void scroll_animator_stop(ScrollAnimator &a) {
    a.pending = 0;
    a.inertia_velocity = 0;
    a.velocity = 0;
}
