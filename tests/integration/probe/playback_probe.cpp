// A plug-in that runs the playback launch in a real mpv (test_host_contract.py): "probe-ping"
// answers "probe-pong"; "probe-play BASE" plays the EDL of BASE "video.mp4" and "audio.m4a" with
// a title that needs escaping and answers "probe-played".
#include <mpv/client.h>

#include <cstring>
#include <string>

#include "base/host.h"
#include "plugin/playback.h"

namespace {

void message(const char *name, const char *argument = nullptr) {
    const char *args[] = {"script-message", name, argument, nullptr};
    mpv_command(host(), args);
}

void play(const std::string &base) {
    PlaybackSettings settings;
    settings.use_edl = true;
    bool queued = false, playing = false;
    list_item video;
    video.id = "a";
    video.title = "Probe: \"quoted\", a=b; #1";
    video.duration = 20;
    stream_choice streams;
    streams.video_url = base + "video.mp4";
    streams.audio_url = base + "audio.m4a";
    std::optional<std::string> refused =
        play_current(settings, PlaybackFlags{queued, playing}, video, streams, nullptr, false);
    message(refused ? "probe-refused" : "probe-played");
}

} // namespace

extern "C" __attribute__((visibility("default"))) int mpv_open_cplugin(mpv_handle *handle) {
    host_set(handle);
    for (;;) {
        mpv_event *e = mpv_wait_event(handle, -1);
        if (e->event_id == MPV_EVENT_SHUTDOWN) return 0;
        if (e->event_id != MPV_EVENT_CLIENT_MESSAGE) continue;
        auto *m = static_cast<mpv_event_client_message *>(e->data);
        if (m->num_args == 1 && std::strcmp(m->args[0], "probe-ping") == 0)
            message("probe-pong");
        else if (m->num_args == 2 && std::strcmp(m->args[0], "probe-play") == 0)
            play(m->args[1]);
    }
}
