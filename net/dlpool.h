// Download pools: many HTTPS downloads side by side on the plug-in's one thread.
//
// A pool is a fixed array of slots; dlpool_step gives every slot one turn (connect, handshake,
// send, read) without blocking beyond name resolution. Callers describe a download in a
// DownloadRequest and either hand it to a pool (dlpool_add) or put it on a request queue that
// the pool's feeder drains one request per step. Results come back through callbacks, called
// from inside dlpool_step on the same thread.
//
// Every download that was accepted (by dlpool_add or by a queue whose feeder later starts it)
// ends in exactly one call of its callbacks: a success, an HTTP error, or a failure of
// resolution, connection, TLS, size or time, whose status entry carries words for the status
// line (HttpStatus::detail).
//
// Requests the user just asked for (DL_PRIORITY_USER) go ahead of bulk work in the queues, and
// a pool can keep slots free of bulk work for them (dlpool::user_slots).
//
// Ownership: the pool and the queues copy the request's url, extra headers and body; the user
// agent is only referenced and must outlive the download. The response handed to the callbacks
// belongs to the slot: its data is freed after the callbacks return unless a callback moved it
// out (`ResponseData mine = std::move(response->data);`).
#pragma once

#include "base/list.h"
#include "net/http.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum DownloadMethod : uint32_t {
    DL_GET_1_0 = 0,
    DL_GET_1_1 = 1,
    DL_POST_1_0 = 2,
    DL_POST_1_1 = 3,
};

struct DownloadSlot;

// Who waits for a download: the user (search, open, play, next page) or nobody in particular
// (feeds, thumbnails, refreshes).
enum DownloadPriority : uint8_t { DL_PRIORITY_USER = 0, DL_PRIORITY_BULK = 1 };

// (class, response, context, status entry of the final result)
using DownloadDone = void (*)(int32_t status_class, ResponseBuffer *response, void *context,
                              const HttpStatus *status);
// (bytes received, expected total, progress context); the total is 0x7FFFFFFF when unknown.
using DownloadProgress = void (*)(int32_t received, int32_t total, void *context);
// (class, response, context, slot); slot->request holds the download's tag and url.
using DownloadDoneRequest = void (*)(int32_t status_class, ResponseBuffer *response,
                                     void *context, DownloadSlot *slot);

struct DownloadRequest {
    uint32_t method = DL_GET_1_1;
    // 1: print this download's failure messages.
    uint8_t verbose = 0;
    // Null: the default user agent. Referenced, not copied.
    const char *user_agent = nullptr;
    // Header lines, each ending in "\r\n".
    std::optional<std::string> extra_headers;
    // POST body; its size is sent as Content-Length.
    std::optional<std::string> body;
    uint32_t tag = 0;
    // Only https:// is served. A slot whose url is absent is free.
    std::optional<std::string> url;
    void *context = nullptr;
    DownloadDone on_done = nullptr;
    void *progress_context = nullptr;
    DownloadProgress on_progress = nullptr;
    DownloadDoneRequest on_done_request = nullptr;
    uint8_t priority = DL_PRIORITY_USER;
};

enum SlotConnectionState : int32_t {
    SLOT_IDLE = 0,
    SLOT_HANDSHAKING = 104,
    SLOT_READING = 119,
};

struct DownloadSlot {
    DownloadRequest request;
    HttpConnection connection;
    int32_t connection_state = SLOT_IDLE;
    uint8_t awaiting = 0;   // a request was sent and its response is not complete
    uint8_t keep_alive = 0; // copied from the pool when the download is added
    uint8_t connected = 0;  // a socket and TLS session are open
    uint8_t idle = 0;       // a finished download's connection is kept for the next one
    // Consecutive silent resends after a kept connection closed under this download.
    int32_t resends = 0;
    // clock_ms() when the download was added, and the pool's deadline (0: none) and body limit
    // copied then.
    uint32_t started_ms = 0;
    uint32_t deadline_ms = 0;
    uint64_t body_limit = HTTP_BODY_LIMIT;
    // The status entry handed to the callbacks of a failure, with its words.
    HttpStatus failure{};
    std::string failure_words;
};

constexpr int32_t DLPOOL_MAX_SLOTS = 10;
// A download whose fresh connections keep closing before any response gives up after this
// many silent resends.
constexpr int32_t DLPOOL_RESEND_LIMIT = 3;

struct dlpool;
// Returns whether it added a download.
using DownloadFeeder = bool (*)(dlpool *pool, void *feeder_context);

struct dlpool {
    DownloadSlot slots[DLPOOL_MAX_SLOTS];
    uint8_t keep_alive = 0;
    int32_t slot_count = 0; // slots in use: the first min(slot_count, DLPOOL_MAX_SLOTS)
    void *feeder_context = nullptr;
    DownloadFeeder feeder = nullptr;
    // A download not finished this many ms after it was added fails with HTTP_DEADLINE_PASSED,
    // however slowly its bytes keep coming (0: no deadline; the silence rule still applies).
    uint32_t deadline_ms = 0;
    // Larger response bodies fail with HTTP_TOO_LARGE.
    uint64_t body_limit = HTTP_BODY_LIMIT;
    // Slots the queue feeder never gives to bulk work, so a user request finds one free.
    int32_t user_slots = 0;
};

enum KeepAlive : uint8_t { CONNECTIONS_CLOSE = 0, CONNECTIONS_KEEP = 1 };

// Resets the pool (closing any connection it holds) and sets its size, reuse and feeder.
void dlpool_init(dlpool &pool, int32_t slot_count, KeepAlive keep_alive, DownloadFeeder feeder,
                 void *feeder_context);

// Starts the download in a free slot: one whose kept connection leads to the request's host,
// else one without a connection, else the first free one. False when the pool is full
// ("dlpool: pool is full" when verbose) or the url or user agent holds a line break or the url
// is absent ("dlpool: invalid parameter"); the request is dropped then and no callback runs.
// Otherwise the callbacks run exactly once, from a later dlpool_step.
bool dlpool_add(dlpool &pool, const DownloadRequest &request);

// Calls the feeder once when a slot is free, then gives every slot a turn. True when any slot
// moved data (sent a request, read response bytes or finished a download).
bool dlpool_step(dlpool &pool);

// Slots holding a download.
int32_t dlpool_busy(const dlpool &pool);

// Adds the sockets of the pool's slots that wait for the server (handshake or response).
void dlpool_wait_descriptors(const dlpool &pool, std::vector<int> &descriptors);

// Request queues: rings of owned request copies, served head first.
using RequestQueue = List<DownloadRequest>;
constexpr uint32_t REQUEST_QUEUE_TAG = 1;

// Queues a copy to be served after everything queued of its priority; user requests go ahead of
// every bulk request. A GET whose url is already queued is not queued again (POSTs always are).
// Returns whether it was queued.
bool request_queue_append(RequestQueue &queue, const DownloadRequest &request);
// Queues a copy to be served next among its priority (newest push first): a user request at the
// head, a bulk request after the user requests. Same de-duplication.
bool request_queue_push(RequestQueue &queue, const DownloadRequest &request);

// Feeder bound to a queue (feeder_context = RequestQueue*): takes the head request and adds it,
// unless it is bulk work and only the pool's user slots are free. A queued request the pool
// refuses (a line break in its url) gets its callbacks with HTTP_URL_INVALID.
bool request_queue_feed(dlpool *pool, void *queue);

// The pump's wait when nothing moved while downloads are in flight or queued.
constexpr int32_t PUMP_WAIT_MS = 10;

// The application's two pools and queues.
struct DownloadPools {
    dlpool api_pool;       // 5 slots (one kept for the user), connections kept, 60 s, 32 MB
    dlpool image_pool;     // 4 slots, connections kept, 30 s, 8 MB
    RequestQueue request_queue;
    RequestQueue image_queue;
    // How long the pump waits for host events when no download is in flight or queued. The
    // application lengthens it, so an idle player is not woken a hundred times a second; every
    // host event (a key, a message) still ends the wait, and queued timers and held frames
    // shorten it to their deadlines.
    int32_t quiet_wait_ms = PUMP_WAIT_MS;
};

// Five API slots, one of them kept free of bulk work: a feed downloads over four connections,
// and a search typed meanwhile still finds a slot at once.
constexpr int32_t API_POOL_SLOTS = 5;
constexpr int32_t IMAGE_POOL_SLOTS = 4;
constexpr uint32_t API_DEADLINE_MS = 60000;
constexpr uint32_t IMAGE_DEADLINE_MS = 30000;
constexpr uint64_t API_BODY_LIMIT = 32u << 20;
// Thumbnails, frames and avatars are tens of kilobytes; this leaves room for any image the
// decoder would accept at all.
constexpr uint64_t IMAGE_BODY_LIMIT = 8u << 20;

void download_pools_init(DownloadPools &pools);

// Deferred task (argument: DownloadPools*): steps the API pool, then the image pool; when
// neither moved data it waits up to pump_wait_ms for host events or for a waiting socket to
// become readable (host_wait when no socket waits); then it queues itself again.
void download_pump(void *pools);

// The pump's wait after a pass that moved nothing: PUMP_WAIT_MS while a download is in flight
// or queued, else the pools' quiet wait; shorter when a queued timer or a requested wake-up
// (idle_wait_ms) is due sooner.
int32_t pump_wait_ms(const DownloadPools &pools);
