// The network-facing half of the service client: InnerTube requests queued on the download
// pool's request queue, the visitor-data refresh, the feed requests, and the chain of downloads
// that loads a video for playing (video info, stream request, HLS manifest, SponsorBlock
// segments), each step started by the completion of the one before.
//
// With instant play, the chain also runs in the background for a video opened in the details
// view, and its result is kept for that video id (the most recent few, while fresh), so Play
// loads it with no request.
//
// A ServiceClient lives as long as the application and is the context of the completions of
// its own requests; a chain's completions have the chain's record as context. It borrows the
// download pools; it owns the visitor data, the current video record, its stream choice and the chains
// (each with its SponsorBlock response). What the chain needs from the screens
// and from playback (the status line, the details view, thumbnails, the launch, the history) is
// reached through ServiceHooks; a hook left null is skipped.
#pragma once

#include <cstdint>
#include <ctime>
#include <list>
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
    // Resolve an opened video's streams in the background, so Play loads it at once.
    bool instant_play = true;
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

struct ServiceClient;

// Where the chain of one video stands.
enum ResolveStep : uint8_t {
    RESOLVE_INFO,     // waiting for the details (a chain that starts without them)
    RESOLVE_STREAMS,  // waiting for the player response of the configured client
    RESOLVE_MANIFEST, // waiting for the HLS master playlist
    RESOLVE_SEGMENTS, // waiting for the SponsorBlock segments
    RESOLVE_DONE,     // everything a load needs is here
    RESOLVE_FAILED,   // a download failed or an address was refused
};

// The chain of downloads that makes one video playable, and its result: the details, the stream
// choice and the SponsorBlock response. A chain runs at play time, or in the background when a
// video is opened (instant play); then its result is kept for that video id while it is fresh.
// The record is the context of its downloads' completions: it stays in place (a std::list node)
// until its last completion has run, even when it is no longer kept.
struct ResolvedVideo {
    ServiceClient *client = nullptr;
    std::string id;
    list_item video;
    stream_choice streams;
    Text segments; // the SponsorBlock response, absent when none was fetched
    ResolveStep step = RESOLVE_STREAMS;
    bool play_when_done = false; // a play started or joined the chain
    bool joined = false;         // a play joined it while it ran in the background
    bool retried = false;        // run afresh after a failed open; a second failure is reported
    bool waiting = false;        // a download of the chain has not completed yet
    bool kept = true;            // among the kept results (false: only runs to its end)
    int64_t valid_until = 0;     // wall-clock seconds; 0 until resolved
};

// Results kept for instant play: the most recent ones, at most this many.
constexpr size_t RESOLVED_KEPT = 3;
// A result is used at most this long after it was resolved...
constexpr int64_t RESOLVED_MAX_AGE_S = 30 * 60;
// ...and only while its stream URLs stay valid for this long.
constexpr int64_t RESOLVED_EXPIRE_MARGIN_S = 10 * 60;

struct ServiceClient {
    ServiceSettings settings;
    ServiceHooks hooks;
    DownloadPools *pools = nullptr; // borrowed
    Text visitor_data;              // absent until the first refresh has completed
    list_item current_video;
    stream_choice streams;
    // Set while a video-info request was sent in order to play the video.
    bool play_after_info = false;
    // Every chain, most recent first: the kept results and the chains still running.
    std::list<ResolvedVideo> resolved;
    // The id of the video the last launch loaded, and whether that came from a result resolved
    // before Play was pressed (a failed open then runs the chain afresh once).
    std::string launched_id;
    bool launched_instantly = false;
    // Wall-clock seconds (time() when null); tests set their own.
    int64_t (*now)() = nullptr;
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
// profile. With `play` set the chain goes on to playing once the info has arrived; without it
// (a video opened in the details view) and with `instant_play`, the rest of the chain runs in
// the background once the info has arrived (video_resolve).
bool video_info_request(ServiceClient &client, const std::string &video_id, bool play);
void video_info_done(int32_t status_class, ResponseBuffer *response, void *client,
                     const HttpStatus *status);
// Step 2: plays the current video (its info already loaded): straight to the launch with the
// ytdl fallback; with `instant_play`, at once from a fresh result, or by joining its chain in
// flight; else a player request with the configured client, and the chain on from there.
void video_play(ServiceClient &client);
// Plays `id` at once when a fresh result is kept for it (the current video becomes its
// details). False when there is none.
bool video_play_resolved(ServiceClient &client, const std::string &id);
// Starts the background chain of `id` unless a fresh result or a running chain exists: from the
// stream request when `id` is the current video (its details are here), else from its details.
// Nothing with the ytdl fallback or without `instant_play`. True when a chain was started.
bool video_resolve(ServiceClient &client, const std::string &id);
// The launch of `id` failed to open in the player: when it came from a result resolved before
// Play and was not retried yet, that result is dropped and the chain runs afresh (true); else
// false (the caller reports the failure).
bool video_open_failed(ServiceClient &client, const std::string &id);
// Lets every kept result go (a setting they were resolved with changed); running chains end
// without being kept.
void resolved_forget(ServiceClient &client);
// The kept result of `id` (finished or running), or null.
ResolvedVideo *resolved_find(ServiceClient &client, const std::string &id);
// Whether a finished result may still be played: resolved less than RESOLVED_MAX_AGE_S ago
// and RESOLVED_EXPIRE_MARGIN_S before the earliest `expire` of its stream URLs.
bool resolved_fresh(const ServiceClient &client, const ResolvedVideo &result);
// The earliest `expire` ("expire=N" or "/expire/N/") of the chosen stream URLs, or 0.
int64_t streams_expire(const stream_choice &streams);

// Completions of the chain's downloads; the context is the chain's ResolvedVideo.
void video_streams_done(int32_t status_class, ResponseBuffer *response, void *chain,
                        const HttpStatus *status);
void hls_manifest_done(int32_t status_class, ResponseBuffer *response, void *chain,
                       const HttpStatus *status);

// The URL of the SponsorBlock segments of a video.
std::string sponsorblock_url(const ServiceSettings &settings, const std::string &video_id);
// The last step for the current video (the ytdl fallback): the SponsorBlock request when
// enabled and the video has a duration (else the launch at once), and the video's entry in the
// history.
void sponsorblock_and_launch(ServiceClient &client);
void sponsorblock_done(int32_t status_class, ResponseBuffer *response, void *chain,
                       const HttpStatus *status);

// Puts a copy of `video` at the front of `history` (an entry with the same id is removed first):
// views_text empty, published_text empty, length_text the duration as "%d:%02d" or
// "%d:%02d:%02d".
void history_add(ItemList &history, const list_item &video);
