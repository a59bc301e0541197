// parse_player over arbitrary bytes, for the WEB client (which fills the video record) and a
// stream client, with the settings taken from the first byte; and the check of the addresses
// handed to the player over the same bytes as a URL: an allowed one is an https address of a
// service host.
#include "fuzz/service_fuzz.h"
#include "service/player.h"

#include <cctype>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzText text(data, size);
    static const char *formats[] = {"1080p60", "720", "1080p_vp9", "2160p60_av1", "360", "x"};
    uint8_t knobs = size ? data[0] : 0;
    const char *format = formats[knobs % 6];
    bool hdr = knobs & 8, all = knobs & 16;
    list_item video;
    stream_choice choice;
    parse_player(video, choice, text.c_str(), 5, format, "vtt", "en", hdr, all);
    if (video.kind != ITEM_VIDEO || !video.id) __builtin_trap();
    parse_player(video, choice, text.c_str(), (knobs & 32) ? 15 : 18, format, "srt",
                 (knobs & 64) ? "fr" : nullptr, hdr, all);
    std::string_view url(text.c_str(), text.size);
    MediaUrlCheck check = media_url_check(url);
    if (check.allowed) {
        std::string head(url.substr(0, 8));
        for (char &c : head) c = char(std::tolower(static_cast<unsigned char>(c)));
        if (head != "https://" || check.host.find('@') != std::string::npos ||
            url.find('\n') != std::string_view::npos)
            __builtin_trap();
    }
    return 0;
}
