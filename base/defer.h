// The deferred-call queue: the cooperative task queue the main loop runs one call per pass.
// Tasks that must keep running (timers, the download pump) re-queue themselves at the end of
// each run. The queue is process-wide and exists from window set-up on; before that,
// defer_call does nothing.
#pragma once

#include <cstdint>

struct DeferredCall {
    void (*function)(void *argument);
    void *argument;
};

// Queued calls carry this list tag.
constexpr uint32_t DEFER_TAG = 10;

void defer_queue_create();
// Drops the queue and every call in it (used by tests; the plug-in keeps its queue for life).
void defer_queue_destroy();
bool defer_queue_exists();
// Appends the call at the tail. No-op while no queue exists.
void defer_call(void (*function)(void *), void *argument);
// Takes the call at the head and runs it. Returns false when the queue was empty or absent.
bool defer_run_one();
// Number of queued calls (0 without a queue).
int defer_pending();
// Calls `visit` with every queued call, head first. `visit` must not change the queue.
void defer_each(void (*visit)(const DeferredCall &call, void *context), void *context);
