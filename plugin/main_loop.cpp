#include "plugin/main_loop.h"

#include "base/defer.h"
#include "base/host.h"
#include "base/runtime.h"
#include "plugin/config.h"
#include "plugin/interface.h"
#include "plugin/launch.h"
#include "plugin/window.h"

#include <cstring>
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

void exit_callback(uint8_t status, void *argument) {
    AppState &state = *static_cast<AppState *>(argument);
    if (status == 0 && state.switches.save_state) write_state_file(state);
}

// When nothing downloads, animates or waits to be published, shown or hidden, the loop only
// serves host events (which wake it at once) and its timers (whose deadlines end the wait):
// waking a hundred times a second would cost an idle player about a per cent of a core for
// nothing.
constexpr int32_t QUIET_WAIT_MS = 250;

void set_visible(AppState &state, bool visible) {
    state.window.visible = visible;
    if (visible) window_show(state);
    else window_hide(state);
}

// The player has nothing more to play (idle, or held at the end of the last file by keep-open,
// or the file failed): a browser that was shown when its video started comes back.
void playback_ended(AppState &state) {
    if (!state.show_when_playback_ends) return;
    state.show_when_playback_ends = false;
    if (state.switches.show_after_playback && !state.window.visible) set_visible(state, true);
}

bool flag_set(const mpv_node *node) {
    return node && node->format == MPV_FORMAT_FLAG && node->u.flag;
}

void client_message(AppState &state, const mpv_event_client_message &m) {
    if (m.num_args < 1) return;
    const char *name = m.args[0];
    if (std::strcmp(name, "key-binding") == 0 && m.num_args >= 5) {
        window_key_binding(state, m.args[1], m.args[2], m.args[3], m.args[4]);
        return;
    }
    if (std::strcmp(name, "solfb-toggle") == 0) {
        set_visible(state, !state.window.visible);
    } else if (std::strcmp(name, "solfb-show") == 0) {
        set_visible(state, true);
    } else if (std::strcmp(name, "solfb-hide") == 0) {
        set_visible(state, false);
    }
}

// Whether a download is in flight or queued in either pool.
bool downloads_busy(const AppState &state) {
    const DownloadPools &p = state.pools;
    return dlpool_busy(p.api_pool) > 0 || dlpool_busy(p.image_pool) > 0 ||
           !p.request_queue.empty() || !p.image_queue.empty();
}

// Each decoded image and each response leaves short-lived buffers of a few hundred kilobytes
// between long-lived ones; the allocator keeps the freed space for later instead of returning
// it, so browsing would leave the player holding tens of megabytes it no longer uses. Once the
// downloads have drained, give the free pages back (once per drain, not on every pass).
void memory_trim_when_drained(AppState &state) {
    bool busy = downloads_busy(state);
    if (state.downloads_busy && !busy) {
#ifdef __GLIBC__
        malloc_trim(0);
#endif
        ++state.memory_trims;
    }
    state.downloads_busy = busy;
}

} // namespace

void app_init(AppState &state) {
    config_load(state);
    state_load(state);
    interface_load_resources(state);
    window_setup(state);
    download_pools_init(state.pools);
    state.pools.quiet_wait_ms = QUIET_WAIT_MS;
    // Queued rather than run now: its first step then finds the requests start-up queues, and
    // start-up does not wait on an empty pool.
    defer_call(download_pump, &state.pools); // keeps itself queued from then on
    state.idle_sleep_ms = 0;
    interface_start(state);
    browser_restore(state);
    visitor_data_refresh(state.client);
}

void app_start(AppState &state, mpv_handle *handle) {
    host_set(handle);
    set_paths(state, find_config_dir());
    app_init(state);
    set_exit_callback(exit_callback, &state);
    launch_start(state);
    mpv_observe_property(host(), 0, "idle-active", MPV_FORMAT_NODE);
    mpv_observe_property(host(), 0, "eof-reached", MPV_FORMAT_NODE);
}

void dispatch_event(AppState &state, const mpv_event &event) {
    switch (event.event_id) {
    case MPV_EVENT_SHUTDOWN:
        state.window.quit = true;
        break;
    case MPV_EVENT_CLIENT_MESSAGE:
        client_message(state, *static_cast<const mpv_event_client_message *>(event.data));
        break;
    case MPV_EVENT_PROPERTY_CHANGE: {
        const auto &p = *static_cast<const mpv_event_property *>(event.data);
        const mpv_node *node =
            p.format == MPV_FORMAT_NODE ? static_cast<const mpv_node *>(p.data) : nullptr;
        if (std::strcmp(p.name, "osd-dimensions") == 0) window_resize(state, node);
        else if (std::strcmp(p.name, "mouse-pos") == 0) window_pointer(state, node);
        else if ((std::strcmp(p.name, "idle-active") == 0 ||
                  std::strcmp(p.name, "eof-reached") == 0) &&
                 flag_set(node))
            playback_ended(state);
        break;
    }
    case MPV_EVENT_END_FILE: {
        if (!event.data) break;
        const auto &end = *static_cast<const mpv_event_end_file *>(event.data);
        // A load that failed may be tried afresh; only a final failure ends the playback.
        if (!launch_end_file(state, end) && end.reason == MPV_END_FILE_REASON_ERROR)
            playback_ended(state);
        break;
    }
    case MPV_EVENT_HOOK:
        mpv_hook_continue(host(), static_cast<const mpv_event_hook *>(event.data)->id);
        break;
    default:
        break;
    }
}

bool main_loop_pass(AppState &state) {
    // Downloads queued and finished within this pass count as a drain too.
    if (downloads_busy(state)) state.downloads_busy = true;
    defer_run_one();
    if (!state.window.created || state.window.quit) return false;
    bool dispatched = false;
    for (;;) {
        mpv_event *event = mpv_wait_event(host(), 0);
        if (event->event_id == MPV_EVENT_NONE) break;
        dispatched = true;
        dispatch_event(state, *event);
    }
    window_frame_step(state);
    memory_trim_when_drained(state);
    // The wait ends early when the host signals an event.
    if (!dispatched && state.idle_sleep_ms > 0) host_wait(state.idle_sleep_ms);
    return true;
}

void main_loop_run(AppState &state) {
    while (main_loop_pass(state)) {
    }
    if (state.switches.save_state) write_state_file(state);
}
