// A minimal plug-in that checks one property of the host the interface relies on: mpv copies
// the overlay pixels during "overlay-add", so a buffer may change or be freed right after the
// call. On "probe-draw" it announces a red buffer, then paints the same buffer green without
// announcing it again, and frees it at once; the test reads the screen and expects red.
#include <mpv/client.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

void overlay_add(mpv_handle *h, const std::vector<uint32_t> &buf, int w, int hgt) {
    char address[32];
    std::snprintf(address, sizeof address, "&%lu", reinterpret_cast<unsigned long>(buf.data()));
    const char *keys[] = {"name", "id", "x", "y", "file", "offset", "fmt", "w", "h", "stride"};
    const char *texts[] = {"overlay-add", "45", nullptr, nullptr, address, nullptr, "bgra"};
    const int64_t numbers[] = {0, 0, 0, 0, 0, 0, 0, w, hgt, w * 4};
    mpv_node v[10]{};
    for (int i = 0; i < 10; ++i) {
        v[i].format = i < 7 && texts[i] ? MPV_FORMAT_STRING : MPV_FORMAT_INT64;
        if (v[i].format == MPV_FORMAT_STRING) v[i].u.string = const_cast<char *>(texts[i]);
        else v[i].u.int64 = numbers[i];
    }
    mpv_node_list list{10, v, const_cast<char **>(keys)};
    mpv_node args{};
    args.format = MPV_FORMAT_NODE_MAP;
    args.u.list = &list;
    mpv_command_node(h, &args, nullptr);
}

} // namespace

extern "C" __attribute__((visibility("default"))) int mpv_open_cplugin(mpv_handle *h) {
    const int w = 200, hgt = 100;
    const char *ready[] = {"script-message", "probe-ready", nullptr};
    mpv_command(h, ready);
    for (;;) {
        mpv_event *e = mpv_wait_event(h, -1);
        if (e->event_id == MPV_EVENT_SHUTDOWN) return 0;
        if (e->event_id != MPV_EVENT_CLIENT_MESSAGE) continue;
        auto *m = static_cast<mpv_event_client_message *>(e->data);
        if (m->num_args < 1 || std::strcmp(m->args[0], "probe-draw") != 0) continue;
        {
            std::vector<uint32_t> buf(static_cast<size_t>(w) * hgt, 0xFFFF0000u); // red, BGRA
            overlay_add(h, buf, w, hgt);
            std::fill(buf.begin(), buf.end(), 0xFF00FF00u); // green, never announced
        } // freed here
        const char *done[] = {"script-message", "probe-drawn", nullptr};
        mpv_command(h, done);
    }
}
