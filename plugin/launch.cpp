#include "plugin/launch.h"

#include "base/runtime.h"
#include "browser/browser.h"
#include "plugin/playback.h"
#include "service/client.h"

#include <cstdio>

namespace {

AppState &app_of(void *context) { return *static_cast<AppState *>(context); }

void launch(void *context, bool hls_quality_names, const char *segments) {
    AppState &s = app_of(context);
    // Shown now, the interface hides for the video and comes back when playing ends (an autoplay
    // chain started while hidden keeps what its first video decided).
    bool shown = s.window.visible;
    std::optional<std::string> refused =
        play_current(playback_settings(s), PlaybackFlags{s.autoplay_queued, s.browser_playback},
                     s.client.current_video, s.client.streams, segments, hls_quality_names);
    if (refused) {
        status_set(s, refused->c_str());
        return;
    }
    if (shown) s.show_when_playback_ends = true;
}

// Autoplay asks for the next video as if it had been chosen, and plays it once its details
// have arrived.
void request_video(const char *id, void *argument) {
    AppState &s = *static_cast<AppState *>(argument);
    auto text = str_printf("loading videoinfo id '%s'...", id);
    status_set(s, text ? text->c_str() : "");
    video_info_request(s.client, id, true);
}

void autoplay_tick(void *argument) {
    AppState &s = *static_cast<AppState *>(argument);
    autoplay_check(playback_settings(s), PlaybackFlags{s.autoplay_queued, s.browser_playback},
                   s.current_video_id, s.browser.results, AutoplayRequest{request_video, &s});
}

} // namespace

void launch_start(AppState &state) {
    state.client.hooks.launch = launch;
    state.autoplay_timer = Timer{};
    state.autoplay_timer.interval = 1000;
    state.autoplay_timer.callback = autoplay_tick;
    state.autoplay_timer.callback_argument = &state;
    timer_start(&state.autoplay_timer);
}
