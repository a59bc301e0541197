// pick_hls over arbitrary master playlists: a chosen variant is a URI line, never a tag line or
// an empty one.
#include "fuzz/service_fuzz.h"
#include "service/player.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzText text(data, size);
    static const char *names[] = {"1080_60", "720", "1080p60", "1080p_vp9", "480p_av1", "240"};
    uint8_t knobs = size ? data[0] : 0;
    stream_choice choice;
    pick_hls(choice, names[knobs % 6], text.c_str(), knobs & 8, knobs & 16);
    if (choice.video_url && (choice.video_url->empty() || (*choice.video_url)[0] == '#'))
        __builtin_trap();
    return 0;
}
