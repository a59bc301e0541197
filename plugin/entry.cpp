#include "plugin/entry.h"

#include "base/runtime.h"
#include "plugin/main_loop.h"

#include <exception>
#include <new>

int solvane_main(mpv_handle *handle) {
    // No exception may cross into the player: an allocation failure takes the fatal path like
    // every other unrecoverable condition.
    try {
        AppState state;
        app_start(state, handle);
        main_loop_run(state);
    } catch (const std::bad_alloc &) {
        report_alloc_failure();
    } catch (const std::exception &e) {
        report_fatal("unexpected error", e.what());
    }
    return 0;
}
