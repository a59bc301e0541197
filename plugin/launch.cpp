#include "plugin/launch.h"

#include "base/runtime.h"
#include "browser/browser.h"
#include "plugin/playback.h"
#include "service/client.h"

#include <cstdio>

#include <mpv/client.h>

namespace {

AppState &app_of(void *context) { return *static_cast<AppState *>(context); }

void launch(void *context, bool hls_quality_names, const char *segments) {
    AppState &s = app_of(context);
    // Shown now, the interface hides for the video and comes back when playing ends (an autoplay
    // chain started while hidden keeps what its first video decided).
    bool shown = s.window.visible;
    PlaybackFlags flags{s.autoplay_queued, s.browser_playback, &s.launched_entry};
    std::optional<std::string> refused =
        play_current(playback_settings(s), flags, s.client.current_video, s.client.streams,
                     segments, hls_quality_names);
    if (refused) {
        status_set(s, refused->c_str());
        return;
    }
    if (shown) s.show_when_playback_ends = true;
    // With autoplay, the video after this one is made ready while this one plays.
    if (s.switches.autoplay_next && s.client.current_video.id) {
        if (Text next = autoplay_next_id(s.browser.results, *s.client.current_video.id))
            video_resolve(s.client, *next);
    }
}

// Autoplay asks for the next video as if it had been chosen, and plays it once its details
// have arrived.
void request_video(const char *id, void *argument) {
    AppState &s = *static_cast<AppState *>(argument);
    if (video_play_resolved(s.client, id)) return;
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

bool launch_end_file(AppState &state, const mpv_event_end_file &end) {
    if (end.reason != MPV_END_FILE_REASON_ERROR || state.launched_entry < 0 ||
        end.playlist_entry_id != state.launched_entry)
        return false;
    state.launched_entry = -1;
    const std::string id = state.client.launched_id;
    // A result resolved before Play may have gone stale (a 403 from the media server): the
    // chain runs afresh once; a second failure is reported.
    if (video_open_failed(state.client, id)) return true;
    std::string text = "play failed: the player could not open the video (error " +
                       std::to_string(end.error) + ")";
    log_warning("the player could not open the video", id.c_str());
    status_set(state, text.c_str());
    return false;
}

void launch_start(AppState &state) {
    state.client.hooks.launch = launch;
    state.autoplay_timer = Timer{};
    state.autoplay_timer.interval = 1000;
    state.autoplay_timer.callback = autoplay_tick;
    state.autoplay_timer.callback_argument = &state;
    timer_start(&state.autoplay_timer);
}
