#include "base/defer.h"

#include "base/list.h"

#include <memory>

namespace {
std::unique_ptr<List<DeferredCall>> queue;
}

void defer_queue_create() {
    if (!queue) queue = std::make_unique<List<DeferredCall>>();
}

void defer_queue_destroy() { queue.reset(); }

bool defer_queue_exists() { return queue != nullptr; }

void defer_call(void (*function)(void *), void *argument) {
    if (!queue) return;
    queue->append(new DeferredCall{function, argument}, DEFER_TAG);
}

bool defer_run_one() {
    if (!queue || queue->empty()) return false;
    std::unique_ptr<DeferredCall> call(queue->take(queue->first()));
    call->function(call->argument);
    return true;
}

int defer_pending() { return queue ? static_cast<int>(queue->size()) : 0; }

void defer_each(void (*visit)(const DeferredCall &call, void *context), void *context) {
    if (!queue) return;
    for (DeferredCall *call : *queue) visit(*call, context);
}
