// A plug-in checking that mpv copies the overlay pixels during "overlay-add", so a buffer may
// change or be freed right after the call: on "probe-draw" it announces a red buffer, paints it
// green without announcing it and frees it; the test expects red on the screen.
#include <mpv/client.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Announces `buf` (w x h, BGRA) as overlay 45 at the top left.
void overlay_add(mpv_handle *h, const std::vector<uint32_t> &buf, int w, int hgt) {
    char address[32];
    std::snprintf(address, sizeof address, "&%lu", reinterpret_cast<unsigned long>(buf.data()));
    const std::string width = std::to_string(w), height = std::to_string(hgt),
                      stride = std::to_string(w * 4);
    const char *args[] = {"overlay-add", "45", "0", "0", address, "0", "bgra",
                          width.c_str(), height.c_str(), stride.c_str(), nullptr};
    mpv_command(h, args);
}

} // namespace

extern "C" __attribute__((visibility("default"))) int mpv_open_cplugin(mpv_handle *h) {
    const int w = 200, hgt = 100;
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
