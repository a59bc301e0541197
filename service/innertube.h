// Requests to the service's internal web API (InnerTube) and its web pages: request codes, the
// client profiles presented to the player endpoint, request bodies, search filter tokens,
// header lines, user agents, the URL table, the visitor data taken from the embed page, and the
// `extractor` setting that picks the client profile used for playing.
//
// Everything here builds texts and hands them to the caller; nothing keeps a pointer to its
// arguments. Values are inserted into the bodies verbatim: video and playlist ids and
// continuation tokens come from the service as raw JSON string content, and search queries are
// cleaned of double quotes and backslashes by the caller.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "service/items.h"

// What a request is. The player codes double as the client profile stored from `extractor`.
enum RequestCode : int32_t {
    REQUEST_PLAYER_WEB = 5,
    REQUEST_PLAYER_WEB_EMBEDDED = 8,
    REQUEST_PLAYER_ANDROID = 9,
    REQUEST_PLAYER_IOS = 15,
    REQUEST_PLAYER_ANDROID_VR = 17,
    REQUEST_PLAYER_VISIONOS = 18,
    REQUEST_BROWSE_PLAYLIST = 101,     // browseId "VL" + playlist id
    REQUEST_BROWSE_CONTINUATION = 102, // continuation of a playlist
    REQUEST_NEXT = 103,                // recommended videos of a video id
    REQUEST_NEXT_CONTINUATION = 104,   // continuation of recommended videos
    REQUEST_SEARCH_CONTINUATION = 106, // continuation of a search
    REQUEST_FEED_RSS = 107,            // GET of a playlist's RSS feed
    REQUEST_EMBED_PAGE = 999,          // GET of a video's embed page (visitor data)
};

// The service's web host, its thumbnail host and the default SponsorBlock server.
inline constexpr const char *SERVICE_HOST = "www.youtube.com";
inline constexpr const char *THUMBNAIL_HOST = "i.ytimg.com";
inline constexpr const char *SPONSORBLOCK_DEFAULT_SERVER = "sponsor.ajay.app";
// Video whose embed page supplies the visitor data.
inline constexpr const char *VISITOR_VIDEO_ID = "aqz-KE-bpKQ";

inline constexpr const char *WEB_CLIENT_VERSION = "2.20260708.00.00";
// Text that carries the signature timestamp; its leading comma belongs to it.
inline constexpr const char *PLAYBACK_CONTEXT =
    ",\"playbackContext\":{\"contentPlaybackContext\":{\"signatureTimestamp\":20522}}";

inline constexpr const char *USER_AGENT_ANDROID =
    "com.google.android.youtube/20.10.38 (Linux; U; Android 11)";
inline constexpr const char *USER_AGENT_WEB =
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
    "Version/15.5 Safari/605.1.15";
inline constexpr const char *USER_AGENT_IOS =
    "com.google.ios.youtube/19.45.4 (iPhone16,2; U; CPU iOS 17_5_1 like Mac OS X;)";

inline constexpr const char *JSON_CONTENT_TYPE = "content-type: application/json\r\n";

// One identity presented in a request body: five texts inserted into the body template.
struct ClientProfile {
    const char *name;
    const char *version;
    const char *client_members;  // extra members of the `client` object
    const char *context_members; // extra members of the `context` object
    const char *trailing;        // trailing members of the body
};

// The profile of a player code (5, 8, 9, 15, 17, 18) or a listing code (101 to 104, 106);
// nullptr for every other code.
const ClientProfile *client_profile(int32_t code);

// The member of the body that carries the value ("videoId", "browseId", "continuation"), or
// nullptr for codes without a body.
const char *request_body_member(int32_t code);

// New URL on the service's web host for a request code; for 107 and 999 `value` fills the
// path's placeholder. Absent for codes without a URL.
std::optional<std::string> service_url(std::string_view value, int32_t code);

// The JSON body of a player or listing request; absent for codes without a body.
std::optional<std::string> innertube_body(int32_t code, std::string_view value);

// Search option values: `type` 0 any, 1 videos, 2 channels, 3 playlists (clamped to 0..3);
// `live` and `sort` are switches (any value above 0 is on).
std::string innertube_search_body(std::string_view query, int type, int live, int sort);
// URL of the search endpoint.
std::string innertube_search_url();

// User agent of a request code (the embed page takes the configured client code instead).
const char *user_agent_for(int32_t code);

// Header lines of an InnerTube request: the content type, and the visitor header when visitor
// data is present and `code` is the configured client code.
std::string innertube_headers(int32_t code, int32_t client_code, const Text &visitor_data);

// The visitor data of an embed page: the raw JSON string content after the first of the
// patterns ","visitorData":", ","VISITOR_DATA":", ","visitor_data":". Absent when none is found.
Text visitor_data_extract(const char *page);

// The client code and playback flags chosen by the `extractor` setting.
struct ExtractorChoice {
    int32_t client_code = REQUEST_PLAYER_IOS;
    bool use_hls = false;           // play the HLS manifest of the player response
    bool hls_quality_names = false; // choose HLS streams by the HLS quality name
    bool ytdl_fallback = false;     // let the host's ytdl hook play the watch URL
    const char *message = nullptr;  // the line printed for the choice, nullptr for none
};

// `value` is the setting's JSON value, or nullptr when the key is absent. A value that is not
// a text picks the default (VISIONOS with HLS); an unrecognised text keeps the start values
// (IOS, no flags) and prints nothing.
ExtractorChoice extractor_choice(const char *value);
// Prints the choice's line (with its newline) to standard error when it has one.
void extractor_announce(const ExtractorChoice &choice);
