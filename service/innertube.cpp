#include "service/innertube.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/json.h"
#include "base/runtime.h"

namespace {

constexpr const char *EMBEDDED_CONTEXT =
    ",\"thirdParty\":{\"embedUrl\":\"https://www.example.com/\"}"
    ",\"playbackContext\":{\"contentPlaybackContext\":{\"signatureTimestamp\":20522}}";

struct ProfileRow {
    int32_t code;
    ClientProfile profile;
};

constexpr ProfileRow PROFILES[] = {
    {REQUEST_PLAYER_WEB, {"WEB", WEB_CLIENT_VERSION, "", PLAYBACK_CONTEXT, PLAYBACK_CONTEXT}},
    {REQUEST_PLAYER_WEB_EMBEDDED,
     {"WEB_EMBEDDED_PLAYER", WEB_CLIENT_VERSION, "", EMBEDDED_CONTEXT, PLAYBACK_CONTEXT}},
    {REQUEST_PLAYER_ANDROID,
     {"ANDROID", "21.26.364",
      ",\"osName\":\"Android\",\"osVersion\":\"11\",\"androidSdkVersion\":30", "", ""}},
    {REQUEST_PLAYER_IOS,
     {"IOS", "19.45.4", ",\"deviceModel\":\"iPhone16,2\",\"deviceMake\":\"Apple\"", "", ""}},
    {REQUEST_PLAYER_ANDROID_VR,
     {"ANDROID_VR", "1.62.27",
      ",\"deviceMake\":\"Oculus\",\"deviceModel\":\"Quest 3\",\"androidSdkVersion\":32, "
      "\"osVersion\":\"12L\"",
      "", ""}},
    {REQUEST_PLAYER_VISIONOS, {"VISIONOS", "0.1", "", "", ""}},
};

// The WEB client used by every listing request.
constexpr ClientProfile LISTING_PROFILE = {"WEB", WEB_CLIENT_VERSION, "", PLAYBACK_CONTEXT,
                                           PLAYBACK_CONTEXT};

bool is_listing_code(int32_t code) {
    return code == REQUEST_BROWSE_PLAYLIST || code == REQUEST_BROWSE_CONTINUATION ||
           code == REQUEST_NEXT || code == REQUEST_NEXT_CONTINUATION ||
           code == REQUEST_SEARCH_CONTINUATION;
}

std::string https_url(const char *path) { return std::string("https://") + SERVICE_HOST + path; }

} // namespace

const ClientProfile *client_profile(int32_t code) {
    for (const ProfileRow &row : PROFILES)
        if (row.code == code) return &row.profile;
    if (is_listing_code(code)) return &LISTING_PROFILE;
    return nullptr;
}

const char *request_body_member(int32_t code) {
    switch (code) {
    case REQUEST_PLAYER_WEB:
    case REQUEST_PLAYER_WEB_EMBEDDED:
    case REQUEST_PLAYER_ANDROID:
    case REQUEST_PLAYER_IOS:
    case REQUEST_PLAYER_ANDROID_VR:
    case REQUEST_PLAYER_VISIONOS:
    case REQUEST_NEXT:
        return "videoId";
    case REQUEST_BROWSE_PLAYLIST:
        return "browseId";
    case REQUEST_BROWSE_CONTINUATION:
    case REQUEST_NEXT_CONTINUATION:
    case REQUEST_SEARCH_CONTINUATION:
        return "continuation";
    default:
        return nullptr;
    }
}

std::optional<std::string> service_url(std::string_view value, int32_t code) {
    switch (code) {
    case REQUEST_PLAYER_WEB:
    case REQUEST_PLAYER_WEB_EMBEDDED:
    case REQUEST_PLAYER_ANDROID:
    case REQUEST_PLAYER_IOS:
    case REQUEST_PLAYER_ANDROID_VR:
    case REQUEST_PLAYER_VISIONOS:
        return https_url("/youtubei/v1/player");
    case REQUEST_BROWSE_PLAYLIST:
    case REQUEST_BROWSE_CONTINUATION:
        return https_url("/youtubei/v1/browse");
    case REQUEST_NEXT:
    case REQUEST_NEXT_CONTINUATION:
        return https_url("/youtubei/v1/next");
    case REQUEST_SEARCH_CONTINUATION:
        return https_url("/youtubei/v1/search");
    case REQUEST_FEED_RSS:
        return https_url("/feeds/videos.xml?playlist_id=") + std::string(value);
    case REQUEST_EMBED_PAGE:
        return https_url("/embed/") + std::string(value);
    default:
        return std::nullopt;
    }
}

std::optional<std::string> innertube_body(int32_t code, std::string_view value) {
    const ClientProfile *profile = client_profile(code);
    const char *member = request_body_member(code);
    if (!profile || !member) return std::nullopt;
    const char *prefix = code == REQUEST_BROWSE_PLAYLIST ? "VL" : "";
    std::string v(value);
    return str_printf("{\"context\":{\"client\":{\"hl\":\"en\",\"gl\":\"US\",\"clientName\":\"%s\","
                      "\"clientVersion\":\"%s\"%s}%s},\"%s\":\"%s%s\"%s}",
                      profile->name, profile->version, profile->client_members,
                      profile->context_members, member, prefix, v.c_str(), profile->trailing);
}

std::string innertube_search_body(std::string_view query, int type, int live, int sort) {
    type = std::clamp(type, 0, 3);
    char sort_letter = sort > 0 ? 'I' : 'A';
    char filter = 0, value = 0;
    if (live > 0) {
        filter = 'k';
        value = 'B';
    } else if (type > 0) {
        filter = 'h';
        value = "BCD"[type - 1];
    }
    std::string q(query);
    std::optional<std::string> body;
    if (filter)
        body = str_printf("{\"context\":{\"client\":{\"hl\":\"en\",\"gl\":\"US\",\"clientName\":"
                          "\"WEB\",\"clientVersion\":\"%s\"}},\"query\":\"%s\",\"params\":"
                          "\"CA%cSA%cA%c\"}",
                          WEB_CLIENT_VERSION, q.c_str(), sort_letter, filter, value);
    else
        body = str_printf("{\"context\":{\"client\":{\"hl\":\"en\",\"gl\":\"US\",\"clientName\":"
                          "\"WEB\",\"clientVersion\":\"%s\"}},\"query\":\"%s\",\"params\":"
                          "\"CA%c%%3D\"}",
                          WEB_CLIENT_VERSION, q.c_str(), sort_letter);
    return body.value_or(std::string());
}

std::string innertube_search_url() { return https_url("/youtubei/v1/search"); }

const char *user_agent_for(int32_t code) {
    switch (code) {
    case REQUEST_PLAYER_ANDROID:
    case REQUEST_PLAYER_ANDROID_VR:
        return USER_AGENT_ANDROID;
    case REQUEST_PLAYER_WEB:
    case REQUEST_PLAYER_WEB_EMBEDDED:
        return USER_AGENT_WEB;
    default:
        return USER_AGENT_IOS;
    }
}

std::string innertube_headers(int32_t code, int32_t client_code, const Text &visitor_data) {
    std::string headers = JSON_CONTENT_TYPE;
    if (visitor_data && code == client_code) {
        headers += "X-Goog-Visitor-Id: ";
        headers += *visitor_data;
        headers += "\r\n";
    }
    return headers;
}

Text visitor_data_extract(const char *page) {
    if (!page) return std::nullopt;
    static const char *const patterns[] = {"\",\"visitorData\":\"", "\",\"VISITOR_DATA\":\"",
                                           "\",\"visitor_data\":\""};
    const char *match = nullptr;
    for (const char *pattern : patterns) {
        match = std::strstr(page, pattern);
        if (match) break;
    }
    if (!match) return std::nullopt;
    const char *sep = std::strstr(match, "\":\"");
    if (!sep) return std::nullopt;
    return json_strdup(sep + 2);
}

ExtractorChoice extractor_choice(const char *value) {
    ExtractorChoice c;
    if (json_type(value) != JSON_STRING) {
        c.client_code = REQUEST_PLAYER_VISIONOS;
        c.use_hls = true;
        c.message = "using default extractor (vos_hls)";
        return c;
    }
    std::string name = json_text(value);
    struct Row {
        const char *name;
        int32_t code;
        bool use_hls, hls_names, ytdl;
        const char *message;
    };
    static const Row rows[] = {
        {"android", REQUEST_PLAYER_ANDROID, false, false, false, "using android extractor"},
        {"ios", REQUEST_PLAYER_IOS, false, false, false, "using ios extractor"},
        {"ios_hls", REQUEST_PLAYER_IOS, true, false, false, "using ios hls extractor"},
        {"vos", REQUEST_PLAYER_VISIONOS, false, false, false, "using vos extractor"},
        {"vos_hls", REQUEST_PLAYER_VISIONOS, true, false, false, "using vos hls extractor"},
        {"web_hls", REQUEST_PLAYER_WEB, true, true, false, "using web hls extractor"},
        {"web_hls_embedded", REQUEST_PLAYER_WEB_EMBEDDED, true, true, false,
         "using web hls embedded extractor"},
        {"android_vr", REQUEST_PLAYER_ANDROID_VR, false, true, false,
         "using android_vr extractor"},
        {"ytdl", REQUEST_PLAYER_IOS, false, false, true, "using ytdl fallback"},
    };
    for (const Row &row : rows) {
        if (name == row.name) {
            c.client_code = row.code;
            c.use_hls = row.use_hls;
            c.hls_quality_names = row.hls_names;
            c.ytdl_fallback = row.ytdl;
            c.message = row.message;
            break;
        }
    }
    return c;
}

void extractor_announce(const ExtractorChoice &choice) {
    if (choice.message) std::fprintf(stderr, "%s\n", choice.message);
}
