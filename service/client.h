// The network-facing half of the service client: InnerTube requests queued on the download
// pool's request queue, the visitor-data refresh, the feed requests, and the chain of downloads
// that loads a video for playing (video info, stream request, HLS manifest, SponsorBlock
// segments), each step started by the completion of the one before.
//
// A ServiceClient lives as long as the application and is the context of every completion sent
// from here. It borrows the download pools; it owns the visitor data, the current video record,
// its stream choice and the SponsorBlock response slot. What the chain needs from the screens
// and from playback (the status line, the details view, thumbnails, the launch, the history) is
// reached through ServiceHooks; a hook left null is skipped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "net/dlpool.h"
#include "service/innertube.h"
#include "service/items.h"
#include "service/player.h"

// The settings the service client reads (filled from the configuration at start-up).
struct ServiceSettings {
    int32_t client_code = REQUEST_PLAYER_IOS; // from `extractor`
    bool use_hls = false;
    bool hls_quality_names = false;
    bool ytdl_fallback = false;
    bool debug_url = false;
    bool sponsorblock = false;
    bool allow_hdr = false;
    bool all_codecs = false;
    std::string video_format = "1080p60";
    std::string sub_format = "vtt";
    std::string sub_language = "en";
    std::string sponsorblock_server = SPONSORBLOCK_DEFAULT_SERVER;
    std::string sponsorblock_params;
};

struct ServiceHooks {
    void *context = nullptr;
    // Shows a text in the status line.
    void (*status)(void *context, const char *text) = nullptr;
    // Queues the thumbnail of the current video.
    void (*thumbnail)(void *context, const list_item &video) = nullptr;
    // The current video record was refilled from a video-info response.
    void (*video_info_loaded)(void *context) = nullptr;
    // Starts playback of the current video (`segments` is the SponsorBlock response or null).
    void (*launch)(void *context, bool hls_quality_names, const char *segments) = nullptr;
    // Records the current video in the history.
    void (*add_history)(void *context, const list_item &video) = nullptr;
};

struct ServiceClient {
    ServiceSettings settings;
    ServiceHooks hooks;
    DownloadPools *pools = nullptr; // borrowed
    Text visitor_data;              // absent until the first refresh has completed
    list_item current_video;
    stream_choice streams;
    // Set while a video-info request was sent in order to play the video.
    bool play_after_info = false;
    // The SponsorBlock response, present only while the launch runs.
    Text sponsorblock_segments;
};

// Appends a terminating NUL to the response bytes (growing the buffer by doubling when it is
// full) and returns the text; "" when the response holds no data.
const char *response_text(ResponseBuffer &response);

// The status line after a failed download of `what` ("searching", "loading video url"):
// "searching failed (404 Not Found)"; the pool's words when it says what failed ("cannot reach
// www.youtube.com (no network?)", "certificate of HOST refused", "no answer from HOST for
// 30 s"); else "... failed (no response)". The chain of that request ends there.
std::string failure_text(const char *what, const HttpStatus *status);

// Queues a POST of the InnerTube request `code` for `value` on the request queue, with the
// code's body, URL, header lines and user agent and `completion` as on_done (context: the
// client). False when the code has no body or the queue refused it.
bool innertube_request(ServiceClient &client, int32_t code, std::string_view value,
                       DownloadDone completion,
                       DownloadPriority priority = DL_PRIORITY_USER);
// Queues the search request of a new query (double quotes and backslashes already replaced).
bool innertube_search(ServiceClient &client, std::string_view query, int type, int live, int sort,
                      DownloadDone completion);

// Queues the GET of the embed page whose completion stores the visitor data.
bool visitor_data_refresh(ServiceClient &client);
// The completion of visitor_data_refresh.
void visitor_data_done(int32_t status_class, ResponseBuffer *response, void *client,
                       const HttpStatus *status);

// Queues one request per favourite that has an id: the playlist's RSS feed (GET) when `rss` is
// set, else a playlist browse (code 101). Returns the number queued.
int feed_request_all(ServiceClient &client, ItemList &favourites, bool rss, DownloadDone completion);
// Requests waiting in the queue with this completion.
uint32_t requests_waiting(const RequestQueue &queue, DownloadDone completion);
// Downloads with this completion running in the pool, leaving out the one whose response is
// `finishing` (a completion runs while its own slot is still taken).
uint32_t downloads_running(const dlpool &pool, DownloadDone completion,
                           const ResponseBuffer *finishing);

// Step 1 of the loading chain: requests the player response of `video_id` with the WEB
// profile. With `play` set the chain goes on to playing once the info has arrived.
bool video_info_request(ServiceClient &client, const std::string &video_id, bool play);
void video_info_done(int32_t status_class, ResponseBuffer *response, void *client,
                     const HttpStatus *status);
// Step 2: plays the current video (its info already loaded): straight to the launch with the
// ytdl fallback, else a player request with the configured client.
void video_play(ServiceClient &client);
void video_streams_done(int32_t status_class, ResponseBuffer *response, void *client,
                        const HttpStatus *status);
void hls_manifest_done(int32_t status_class, ResponseBuffer *response, void *client,
                       const HttpStatus *status);

// The URL of the SponsorBlock segments of a video.
std::string sponsorblock_url(const ServiceSettings &settings, const std::string &video_id);
// The last step: the SponsorBlock request when enabled and the video has a duration (else the
// launch at once), and the video's entry in the history.
void sponsorblock_and_launch(ServiceClient &client);
void sponsorblock_done(int32_t status_class, ResponseBuffer *response, void *client,
                       const HttpStatus *status);

// Puts a copy of `video` at the front of `history` (an entry with the same id is removed first):
// views_text empty, published_text empty, length_text the duration as "%d:%02d" or
// "%d:%02d:%02d".
void history_add(ItemList &history, const list_item &video);
