#include "service/player.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <tuple>
#include <string_view>
#include <vector>

#include "base/json.h"
#include "base/runtime.h"
#include "service/innertube.h"

namespace {

using Family = std::span<const uint32_t>;

// Fallback families, best first; selection walks a family from the wanted number downwards.
constexpr uint32_t FAMILY_MUXED[] = {11086, 11080, 11726, 22, 10480, 18, 10240};
constexpr uint32_t FAMILY_H264[] = {299, 137, 298, 136, 135, 134, 133};
constexpr uint32_t FAMILY_VP9[] = {315, 313, 308, 271, 303, 248, 302, 247, 244, 243, 242};
constexpr uint32_t FAMILY_AV1[] = {401, 401, 400, 400, 399, 399, 398, 398, 397, 396, 395};
constexpr uint32_t FAMILY_AUDIO[] = {251, 140, 250, 249, 139};
constexpr uint32_t FAMILY_ALL[] = {315, 313, 401, 401,   308,   271, 400, 400, 303,   248, 399, 399,
                                   299, 137, 11086, 11080, 302, 247, 398, 398, 298, 136, 11726, 22,
                                   244, 397, 135, 10480, 243, 396, 134, 18, 242, 395, 133, 10240};

Family family_of(uint32_t format) {
    switch (format) {
    case 18: case 22: case 10240: case 10480: case 11080: case 11086: case 11726:
        return FAMILY_MUXED;
    case 133: case 134: case 135: case 136: case 137: case 298: case 299:
        return FAMILY_H264;
    case 242: case 243: case 244: case 247: case 248: case 271: case 302: case 303: case 308:
    case 313: case 315:
        return FAMILY_VP9;
    case 395: case 396: case 397: case 398: case 399: case 400: case 401:
        return FAMILY_AV1;
    case 139: case 140: case 249: case 250: case 251:
        return FAMILY_AUDIO;
    default:
        return {};
    }
}

// Position of the last occurrence of `format` in the family, or 0 when it is not a member.
size_t family_start(Family family, uint32_t format) {
    size_t start = 0;
    for (size_t i = 0; i < family.size(); ++i)
        if (family[i] == format) start = i;
    return start;
}

// The family to walk for a wanted number, or an empty one (with the message) when it has none.
Family wanted_family(uint32_t wanted, bool all_codecs) {
    if (all_codecs) return FAMILY_ALL;
    Family family = family_of(wanted);
    if (family.empty()) std::fprintf(stderr, "ytapi: format %d does not exist!\n", int(wanted));
    return family;
}

struct NameNumber {
    const char *name;
    uint32_t number;
};

constexpr NameNumber FORMAT_NAMES[] = {
    {"2160p60", 315},     {"2160p60_vp9", 315}, {"2160p60_av1", 401}, {"2160p", 313},
    {"2160p_vp9", 313},   {"2160p_av1", 401},   {"1440p60", 308},     {"1440p60_vp9", 308},
    {"1440p60_av1", 400}, {"1440p", 271},       {"1440p_vp9", 271},   {"1440p_av1", 400},
    {"1080p60", 299},     {"1080p60_vp9", 303}, {"1080p60_av1", 399}, {"1080p", 137},
    {"1080p_vp9", 248},   {"1080p_av1", 399},   {"720p60", 298},      {"720p60_vp9", 302},
    {"720p60_av1", 398},  {"720p", 136},        {"720p_vp9", 247},    {"720p_av1", 398},
    {"480p", 135},        {"480p_vp9", 244},    {"480p_av1", 397},    {"360p", 134},
    {"360p_vp9", 243},    {"360p_av1", 396},    {"240p", 133},        {"240p_vp9", 242},
    {"240p_av1", 395},    {"1080_60", 11086},   {"1080", 11080},      {"720_60", 11726},
    {"720", 22},          {"480", 10480},       {"360", 18},          {"240", 10240},
};

constexpr struct {
    const char *setting;
    const char *hls_name;
} HLS_NAMES[] = {
    {"1080p60", "1080_60"}, {"1080_60", "1080_60"}, {"1080p", "1080"}, {"1080", "1080"},
    {"720p60", "720_60"},   {"720_60", "720_60"},   {"720p", "720"},   {"720", "720"},
    {"480p", "480"},        {"480", "480"},         {"360p", "360"},   {"360", "360"},
    {"240p", "240"},        {"240", "240"},
};

constexpr struct {
    uint32_t format, stream;
} HLS_STREAMS[] = {
    {10240, 92}, {10480, 94}, {11080, 96}, {11086, 301}, {11726, 300}, {18, 93},   {22, 95},
    {133, 229},  {134, 230},  {135, 231},  {136, 232},   {137, 270},   {139, 233}, {249, 233},
    {250, 233},  {140, 234},  {251, 234},  {242, 604},   {243, 605},   {244, 606}, {247, 609},
    {248, 614},  {271, 620},  {298, 311},  {299, 312},   {302, 612},   {303, 617}, {308, 623},
    {313, 625},  {315, 628},  {331, 632},  {332, 633},   {333, 634},   {334, 635}, {335, 636},
    {336, 639},  {337, 642},
};

constexpr const char *SUB_FORMAT_NAMES[] = {"srt", "vtt", "srv2", "srv3", "json3"};

uint32_t sub_format_number(const char *name) {
    if (name)
        for (uint32_t i = 0; i < 5; ++i)
            if (std::strcmp(name, SUB_FORMAT_NAMES[i]) == 0) return SUB_SRT + i;
    return SUB_VTT;
}

// One entry of formats or adaptiveFormats with its itag read once.
struct FormatEntry {
    long itag;
    const char *pos;
};

std::vector<FormatEntry> format_entries(const char *array) {
    std::vector<FormatEntry> entries;
    for (const char *f = json_first(array); f; f = json_next(f)) {
        const char *itag = json_get(f, ".itag");
        long number = (*itag >= '0' && *itag <= '9') ? std::strtol(itag, nullptr, 10) : -1;
        entries.push_back({number, f});
    }
    return entries;
}

bool contains(std::string_view text, std::string_view what) {
    return text.find(what) != std::string_view::npos;
}

// Whether the text holds "/itag/" followed by exactly the number `stream`.
bool has_itag(std::string_view text, uint32_t stream) {
    if (stream == 0) return false;
    char digits[16];
    int n = std::snprintf(digits, sizeof digits, "%u", stream);
    for (size_t at = text.find("/itag/"); at != std::string_view::npos;
         at = text.find("/itag/", at + 1)) {
        std::string_view rest = text.substr(at + 6);
        if (rest.substr(0, size_t(n)) == std::string_view(digits, size_t(n)) &&
            (rest.size() == size_t(n) || !(rest[size_t(n)] >= '0' && rest[size_t(n)] <= '9')))
            return true;
    }
    return false;
}

// Picture height and frame rate of a format number or of an HLS stream number (0 when unknown).
struct Picture {
    uint32_t height;
    uint32_t rate;
};

constexpr struct {
    uint32_t number;
    Picture picture;
} FORMAT_PICTURES[] = {
    {315, {2160, 60}}, {313, {2160, 30}}, {401, {2160, 60}},  {308, {1440, 60}},
    {271, {1440, 30}}, {400, {1440, 60}}, {299, {1080, 60}},  {137, {1080, 30}},
    {303, {1080, 60}}, {248, {1080, 30}}, {399, {1080, 60}},  {298, {720, 60}},
    {136, {720, 30}},  {302, {720, 60}},  {247, {720, 30}},   {398, {720, 60}},
    {135, {480, 30}},  {244, {480, 30}},  {397, {480, 30}},   {134, {360, 30}},
    {243, {360, 30}},  {396, {360, 30}},  {133, {240, 30}},   {242, {240, 30}},
    {395, {240, 30}},  {11086, {1080, 60}}, {11080, {1080, 30}}, {11726, {720, 60}},
    {22, {720, 30}},   {10480, {480, 30}}, {18, {360, 30}},   {10240, {240, 30}},
};

// The HLS stream numbers of live masters, and every other one through its format number.
Picture stream_picture(uint32_t stream) {
    constexpr struct {
        uint32_t stream;
        Picture picture;
    } live[] = {{91, {144, 30}}, {92, {240, 30}}, {93, {360, 30}}, {94, {480, 30}},
                {95, {720, 30}}, {96, {1080, 30}}, {300, {720, 60}}, {301, {1080, 60}},
                {616, {1080, 30}}};
    for (const auto &row : live)
        if (row.stream == stream) return row.picture;
    for (const auto &row : HLS_STREAMS)
        if (row.stream == stream)
            for (const auto &picture : FORMAT_PICTURES)
                if (picture.number == row.format) return picture.picture;
    return {0, 0};
}

Picture format_picture(uint32_t format) {
    for (const auto &row : FORMAT_PICTURES)
        if (row.number == format) return row.picture;
    return {0, 0};
}

// The unsigned number after `name` ("RESOLUTION=") in an attribute list, and after it the
// second number of "WxH" when `second` is set; 0 when absent.
uint64_t attribute_number(std::string_view attributes, std::string_view name, bool second) {
    for (size_t at = attributes.find(name); at != std::string_view::npos;
         at = attributes.find(name, at + 1)) {
        if (at != 0 && attributes[at - 1] != ',' && attributes[at - 1] != ':') continue;
        std::string_view rest = attributes.substr(at + name.size());
        if (second) {
            size_t x = rest.find_first_not_of("0123456789");
            if (x == std::string_view::npos || rest[x] != 'x') return 0;
            rest.remove_prefix(x + 1);
        }
        uint64_t value = 0;
        for (size_t i = 0; i < rest.size() && rest[i] >= '0' && rest[i] <= '9' && i < 12; ++i)
            value = value * 10 + uint64_t(rest[i] - '0');
        return value;
    }
    return 0;
}

// The first number after "/itag/" in a URI, or 0.
uint32_t uri_itag(std::string_view uri) {
    size_t at = uri.find("/itag/");
    if (at == std::string_view::npos) return 0;
    uint32_t value = 0;
    for (size_t i = at + 6; i < uri.size() && uri[i] >= '0' && uri[i] <= '9' && i < at + 12; ++i)
        value = value * 10 + uint32_t(uri[i] - '0');
    return value;
}

// When the wanted quality is not in a master (live masters offer only their own stream numbers),
// the variant nearest to it: the best at or below the wanted height (then a frame rate not
// above the wanted one, then the highest bandwidth), or, only when every variant is above it,
// the lowest above. Heights come from RESOLUTION, else from the stream number in the URI; a
// variant of unknown height counts as the lowest. Auto-dubbed variants are passed over.
void pick_hls_nearest(stream_choice &choice, const std::vector<std::string_view> &lines,
                      Picture wanted) {
    static constexpr std::string_view stream_prefix = "#EXT-X-STREAM-INF:";
    struct Variant {
        std::string_view uri;
        uint64_t height, rate, bandwidth;
    };
    std::optional<Variant> below, above;
    for (size_t l = 0; l + 1 < lines.size(); ++l) {
        if (lines[l].substr(0, stream_prefix.size()) != stream_prefix) continue;
        std::string_view attributes = lines[l].substr(stream_prefix.size());
        std::string_view uri = lines[l + 1];
        if (uri.empty() || uri[0] == '#' || contains(uri, "dubbed-auto:lang")) continue;
        Picture from_itag = stream_picture(uri_itag(uri));
        Variant v{uri, attribute_number(attributes, "RESOLUTION=", true),
                  attribute_number(attributes, "FRAME-RATE=", false),
                  attribute_number(attributes, "BANDWIDTH=", false)};
        if (v.height == 0) v.height = from_itag.height;
        if (v.rate == 0) v.rate = from_itag.rate;
        if (wanted.height == 0 || v.height <= wanted.height) {
            auto rank = [&](const Variant &x) {
                return std::tuple(x.height, wanted.rate == 0 || x.rate <= wanted.rate, x.bandwidth);
            };
            if (!below || rank(v) > rank(*below)) below = v;
        } else {
            auto rank = [](const Variant &x) { return std::tuple(x.height, ~x.bandwidth); };
            if (!above || rank(v) < rank(*above)) above = v;
        }
    }
    if (below) choice.video_url = std::string(below->uri);
    else if (above) choice.video_url = std::string(above->uri);
}

bool audio_track_qualifies(const char *format) {
    const char *track = json_get(format, ".audioTrack");
    if (json_true(json_get(track, ".isAutoDubbed"))) return false;
    return *json_get(track, ".audioIsDefault") != 'f';
}

// Steps of the video search with HDR on or off. Returns true when a stream was taken.
bool search_video(stream_choice &choice, const std::vector<FormatEntry> &adaptive,
                  const std::vector<FormatEntry> &muxed, Family family, size_t start, bool hdr) {
    for (size_t i = start; i < family.size(); ++i) {
        uint32_t member = hdr ? hdr_counterpart(family[i]) : family[i];
        for (const FormatEntry &f : adaptive) {
            if (f.itag != long(member)) continue;
            Text url = stream_url(f.pos);
            if (url && !contains(*url, "source=yt_otf")) {
                choice.video_url = std::move(url);
                return true;
            }
        }
    }
    for (size_t i = start; i < family.size(); ++i) {
        uint32_t member = hdr ? hdr_counterpart(family[i]) : family[i];
        for (const FormatEntry &f : muxed) {
            if (f.itag != long(member)) continue;
            choice.video_url = stream_url(f.pos);
            return true;
        }
    }
    return false;
}

// Audio-only formats in order of preference after the wanted one: the audio family (Opus and
// AAC stereo), then higher-rate and surround streams, then the low-rate ones.
constexpr uint32_t AUDIO_FALLBACK[] = {251, 140, 250, 249, 139, 774, 141, 256,
                                       258, 327, 380, 328, 338, 600, 599};

bool audio_only(const char *format) {
    const char *mime = json_get(format, ".mimeType");
    return json_type(mime) == JSON_STRING && json_text(mime).rfind("audio/", 0) == 0;
}

void choose_audio(stream_choice &choice, const std::vector<FormatEntry> &adaptive,
                  const std::vector<FormatEntry> &muxed, int32_t client_code) {
    long wanted = 251;
    if (client_code == REQUEST_PLAYER_IOS) wanted = 140;
    const std::vector<FormatEntry> *lists[] = {&adaptive, &adaptive, &muxed, &muxed};
    for (int pass = 0; pass < 4; ++pass) {
        bool need_default_track = pass % 2 == 0;
        for (const FormatEntry &f : *lists[pass]) {
            if (f.itag != wanted) continue;
            if (need_default_track && !audio_track_qualifies(f.pos)) continue;
            choice.audio_url = stream_url(f.pos);
            if (choice.audio_url) return;
            pass = 4; // the wanted format without an address: look further
            break;
        }
    }
    // Without the wanted format (TV clients, live streams, some Android answers), the best
    // audio-only stream present: by the order of preference, the default track first; then any
    // other audio-only stream.
    for (bool need_default_track : {true, false}) {
        for (uint32_t itag : AUDIO_FALLBACK) {
            for (const FormatEntry &f : adaptive) {
                if (f.itag != long(itag)) continue;
                if (need_default_track && !audio_track_qualifies(f.pos)) continue;
                if (Text url = stream_url(f.pos)) {
                    choice.audio_url = std::move(url);
                    return;
                }
            }
        }
    }
    for (bool need_default_track : {true, false}) {
        for (const FormatEntry &f : adaptive) {
            if (!audio_only(f.pos)) continue;
            if (need_default_track && !audio_track_qualifies(f.pos)) continue;
            if (Text url = stream_url(f.pos)) {
                choice.audio_url = std::move(url);
                return;
            }
        }
    }
}

// A caption base URL cut at its first "&fmt=".
std::string caption_base(const char *track) {
    std::string base = json_text(json_get(track, ".baseUrl"));
    size_t fmt = base.find("&fmt=");
    if (fmt != std::string::npos) base.resize(fmt);
    return base;
}

void choose_captions(stream_choice &choice, const char *root) {
    const char *tracks = json_get(root, ".captions.playerCaptionsTracklistRenderer.captionTracks");
    const char *format = sub_format_name(choice.sub_format);
    const char *language = choice.sub_language;
    if (language) {
        for (const char *t = json_first(tracks); t; t = json_next(t)) {
            Text code = json_strdup(json_get(t, ".languageCode"));
            if (!code) continue;
            size_t minus = code->find('-');
            if (minus != std::string::npos) code->resize(minus);
            if (*code == language) {
                choice.sub_url = caption_base(t) + "&fmt=" + format;
                return;
            }
        }
    }
    if (language && *language) {
        if (const char *first = json_first(tracks))
            choice.sub_url = caption_base(first) + "&tlang=" + language + "&fmt=" + format;
    }
}

// Leading decimal digits of a text as a number; 0 when absent or not starting with a digit.
uint64_t leading_number(const Text &text) {
    if (!text || text->empty() || !((*text)[0] >= '0' && (*text)[0] <= '9')) return 0;
    return std::strtoull(text->c_str(), nullptr, 10);
}

Text decoded(const char *pos, const char *path) {
    const char *p = json_get(pos, path);
    if (json_type(p) != JSON_STRING || !json_skip(p)) return std::nullopt;
    return json_text(p);
}

void fill_video(list_item &video, const char *root) {
    const char *micro = json_get(root, ".microformat.playerMicroformatRenderer");
    Text id = json_strdup(json_get(root, ".videoDetails.videoId"));
    Text views = json_strdup(json_get(micro, ".viewCount"));
    Text length = json_strdup(json_get(micro, ".lengthSeconds"));
    video = list_item{};
    video.kind = ITEM_VIDEO;
    video.thumb_url = std::string("https://") + THUMBNAIL_HOST + "/vi/" + id.value_or("") +
                      "/mqdefault.jpg";
    video.id = id.value_or("unknown");
    video.title = decoded(micro, ".title.simpleText").value_or("unknown");
    video.channel_name = decoded(micro, ".ownerChannelName").value_or("unknown");
    video.channel_id = json_strdup(json_get(micro, ".externalChannelId")).value_or("unknown");
    video.description = decoded(micro, ".description.simpleText").value_or("unknown");
    video.views_text = views.value_or("unknown");
    video.published_text = json_strdup(json_get(micro, ".uploadDate")).value_or("unknown");
    video.label = "unknown";
    video.view_count = leading_number(views);
    uint64_t seconds = leading_number(length);
    video.duration = seconds > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(seconds);
}

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

std::string lower(std::string_view text) {
    std::string out(text);
    for (char &c : out) c = ascii_lower(c);
    return out;
}

bool host_character(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

// Whether `host` (lower case, without port) is a suffix host or one of its subdomains.
bool host_has_allowed_suffix(std::string_view host) {
    for (std::string_view suffix : MEDIA_HOST_SUFFIXES) {
        if (host == suffix) return true;
        if (host.size() > suffix.size() && host.substr(host.size() - suffix.size()) == suffix &&
            host[host.size() - suffix.size() - 1] == '.')
            return true;
    }
    return false;
}

// Whether SOLVANE_RESOLVE names `host_port` ("host" or "host:port", lower case) as a routed
// host or as the "ADDRESS:PORT" a host is routed to.
bool host_routed_for_tests(std::string_view host_port) {
    const char *env = std::getenv("SOLVANE_RESOLVE");
    if (!env) return false;
    std::string_view rest(env);
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string entry = lower(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        // HOST:443:ADDRESS:PORT
        size_t first = entry.find(':');
        if (first == std::string::npos || entry.compare(first, 5, ":443:") != 0) continue;
        std::string_view routed = std::string_view(entry).substr(0, first);
        std::string_view target = std::string_view(entry).substr(first + 5);
        if (!routed.empty() && (host_port == routed || host_port == std::string(routed) + ":443"))
            return true;
        if (!target.empty() && host_port == target) return true;
    }
    return false;
}

} // namespace

MediaUrlCheck media_url_check(std::string_view url) {
    MediaUrlCheck check;
    size_t colon = url.find(':');
    size_t scheme_end = colon;
    // A scheme is letters, digits, "+", "-" and "." before the first colon; anything else (a
    // path such as "/etc/passwd" or "video.mp4") has none.
    for (size_t i = 0; colon != std::string_view::npos && i < colon; ++i) {
        char c = ascii_lower(url[i]);
        if (!((c >= 'a' && c <= 'z') || (i > 0 && ((c >= '0' && c <= '9') || c == '+' ||
                                                   c == '-' || c == '.'))))
            scheme_end = std::string_view::npos;
    }
    if (colon == 0) scheme_end = std::string_view::npos;
    if (scheme_end != std::string_view::npos) check.scheme = lower(url.substr(0, scheme_end));
    if (scheme_end != std::string_view::npos && url.substr(scheme_end + 1, 2) == "//") {
        std::string_view rest = url.substr(scheme_end + 3);
        check.host = std::string(rest.substr(0, rest.find_first_of("/?#")));
    }
    if (check.scheme != "https" || check.host.empty()) return check;
    for (char c : url)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return check;
    std::string host_port = lower(check.host);
    if (host_routed_for_tests(host_port)) {
        check.allowed = true;
        return check;
    }
    std::string_view host = host_port;
    size_t port = host.find(':');
    if (port != std::string_view::npos) {
        if (host.substr(port + 1) != "443") return check;
        host = host.substr(0, port);
    }
    for (char c : host)
        if (!host_character(c)) return check;
    check.allowed = host_has_allowed_suffix(host);
    return check;
}

std::optional<std::string> media_url_refuse(const char *what, std::string_view url) {
    MediaUrlCheck check = media_url_check(url);
    if (check.allowed) return std::nullopt;
    std::string detail = "scheme " + (check.scheme.empty() ? "none" : check.scheme) +
                         ", host " + (check.host.empty() ? "none" : check.host);
    log_warning((std::string("refused ") + what + " URL").c_str(), detail.c_str());
    return "play failed: " + std::string(what) + " URL refused (" + detail + ")";
}

bool video_id_valid(std::string_view id) {
    if (id.size() != 11) return false;
    for (char c : id)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_'))
            return false;
    return true;
}

std::string duration_text(uint32_t seconds) {
    char text[32];
    if (seconds < 3600)
        std::snprintf(text, sizeof text, "%d:%02d", int(seconds / 60), int(seconds % 60));
    else
        std::snprintf(text, sizeof text, "%d:%02d:%02d", int(seconds / 3600),
                      int(seconds / 60 % 60), int(seconds % 60));
    return text;
}

bool video_presentable(const list_item &video) {
    return video.title && video.channel_name && video.id && *video.id != "(null)";
}

uint32_t format_number(const char *name) {
    if (name)
        for (const NameNumber &row : FORMAT_NAMES)
            if (std::strcmp(name, row.name) == 0) return row.number;
    return 299;
}

const char *hls_quality_name(const char *name) {
    if (name)
        for (const auto &row : HLS_NAMES)
            if (std::strcmp(name, row.setting) == 0) return row.hls_name;
    return "1080_60";
}

const char *sub_format_name(uint32_t format) {
    if (format >= SUB_SRT && format <= SUB_JSON3) return SUB_FORMAT_NAMES[format - SUB_SRT];
    return "vtt";
}

uint32_t hls_stream_number(uint32_t format) {
    for (const auto &row : HLS_STREAMS)
        if (row.format == format) return row.stream;
    return 0;
}

uint32_t hdr_counterpart(uint32_t format) {
    switch (format) {
    case 242: return 331;
    case 243: return 332;
    case 244: return 333;
    case 247: case 302: return 334;
    case 248: case 303: return 335;
    case 271: case 308: return 336;
    case 313: case 315: return 337;
    default:
        if (format >= 395 && format <= 401) return format + 300;
        return format;
    }
}

bool format_is_muxed(uint32_t format) { return family_of(format).data() == FAMILY_MUXED; }

Text stream_url(const char *format) {
    if (const char *url = json_find(format, "url")) return json_text(url);
    std::string cipher = json_text(json_get(format, ".signatureCipher"));
    std::string text;
    text.reserve(cipher.size());
    for (size_t i = 0; i < cipher.size(); ++i) {
        char c = cipher[i];
        if (c == '+') {
            text += ' ';
        } else if (c == '%' && i + 2 < cipher.size() && std::isxdigit((unsigned char)cipher[i + 1]) &&
                   std::isxdigit((unsigned char)cipher[i + 2])) {
            text += char(std::strtol(cipher.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            text += c;
        }
    }
    size_t https = text.find("https://");
    if (https == std::string::npos) return std::nullopt;
    std::string signature;
    if (text.size() > 2) {
        size_t amp = text.find('&', 2);
        signature = text.substr(2, amp == std::string::npos ? std::string::npos : amp - 2);
    }
    return text.substr(https) + "&sig=" + signature;
}

void parse_player(list_item &video, stream_choice &choice, const char *text, int32_t client_code,
                  const char *video_format, const char *sub_format, const char *sub_language,
                  bool allow_hdr, bool all_codecs) {
    Text previous_sub = std::move(choice.sub_url);
    choice = stream_choice{};
    uint32_t format = format_number(video_format);
    choice.wanted = (format & WANTED_FORMAT_MASK) | WANTED_ALWAYS |
                    (all_codecs ? WANTED_ALL_CODECS : 0) | (allow_hdr ? WANTED_ALLOW_HDR : 0);
    choice.audio_itag = 251;
    choice.sub_format = sub_format_number(sub_format);
    choice.sub_language = sub_language;

    const bool web = client_code == REQUEST_PLAYER_WEB;
    const char *root = text ? std::strchr(text, '{') : nullptr;
    if (!root) {
        if (web) {
            video = list_item{};
            video.kind = ITEM_VIDEO;
            for (Text *t : {&video.id, &video.title, &video.channel_name, &video.channel_id,
                            &video.thumb_url, &video.description, &video.views_text,
                            &video.published_text, &video.length_text, &video.label})
                *t = "unknown";
        } else {
            choice.sub_url = std::move(previous_sub);
        }
        return;
    }

    choose_captions(choice, root);
    const char *streaming = json_get(root, ".streamingData");
    const char *hls = json_get(streaming, ".hlsManifestUrl");
    if (json_type(hls) == JSON_STRING) choice.hls_url = json_text(hls);

    uint32_t wanted = choice.wanted & WANTED_FORMAT_MASK;
    if (client_code == REQUEST_PLAYER_IOS) {
        if (wanted == 18) wanted = 134;
        if (wanted == 22) wanted = 136;
    }
    Family family = wanted_family(wanted, all_codecs);
    if (!family.empty()) {
        size_t start = family_start(family, wanted);
        std::vector<FormatEntry> adaptive = format_entries(json_get(streaming, ".adaptiveFormats"));
        std::vector<FormatEntry> muxed = format_entries(json_get(streaming, ".formats"));
        if (!search_video(choice, adaptive, muxed, family, start, allow_hdr) && allow_hdr)
            search_video(choice, adaptive, muxed, family, start, false);
        choose_audio(choice, adaptive, muxed, client_code);
    }

    if (!web && !choice.sub_url) choice.sub_url = std::move(previous_sub);
    if (web) fill_video(video, root);
}

void pick_hls(stream_choice &choice, const char *quality_name, const char *manifest,
              bool allow_hdr, bool all_codecs) {
    uint32_t wanted = format_number(quality_name);
    Family family = wanted_family(wanted, all_codecs);
    choice.video_url.reset();
    choice.audio_url.reset();
    if (family.empty() || !manifest) return;
    size_t start = family_start(family, wanted);

    std::vector<std::string_view> lines;
    for (std::string_view rest(manifest); !rest.empty();) {
        size_t nl = rest.find('\n');
        std::string_view line = rest.substr(0, nl);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        if (nl == std::string_view::npos) break;
        rest.remove_prefix(nl + 1);
    }

    static constexpr std::string_view media_prefix = "#EXT-X-MEDIA:URI=\"";
    const uint32_t audio_stream = hls_stream_number(251);
    for (std::string_view line : lines) {
        if (line.substr(0, media_prefix.size()) != media_prefix) continue;
        std::string_view after = line.substr(media_prefix.size());
        size_t quote = after.find('"');
        std::string_view uri = after.substr(0, quote);
        std::string_view attributes =
            quote == std::string_view::npos ? std::string_view() : after.substr(quote + 1);
        if (!has_itag(uri, audio_stream) || contains(uri, "dubbed-auto:lang")) continue;
        bool original = contains(uri, "original:lang");
        if (contains(attributes, ",DEFAULT=NO") && !contains(attributes, ",LANGUAGE=\"en\"") &&
            !original)
            continue;
        choice.audio_url = std::string(uri);
        if (original) break;
    }

    static constexpr std::string_view stream_prefix = "#EXT-X-STREAM-INF:";
    for (bool hdr : {allow_hdr, false}) {
        for (size_t i = start; i < family.size() && !choice.video_url; ++i) {
            uint32_t member = hdr ? hdr_counterpart(family[i]) : family[i];
            uint32_t stream = hls_stream_number(member);
            uint32_t alternative = member == 248 ? 616 : 0;
            for (size_t l = 0; l + 1 < lines.size(); ++l) {
                if (lines[l].substr(0, stream_prefix.size()) != stream_prefix) continue;
                std::string_view uri = lines[l + 1];
                // A tag line is never the variant's URI.
                if (uri.empty() || uri[0] == '#') continue;
                if (!(has_itag(uri, stream) || has_itag(uri, alternative)) ||
                    contains(uri, "dubbed-auto:lang"))
                    continue;
                choice.video_url = std::string(uri);
                if (contains(uri, "original:lang")) break;
            }
        }
        if (choice.video_url || !allow_hdr) break;
    }
    if (!choice.video_url) pick_hls_nearest(choice, lines, format_picture(wanted));
}
