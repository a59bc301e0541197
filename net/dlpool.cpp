#include "net/dlpool.h"

#include "base/defer.h"
#include "base/host.h"
#include "base/runtime.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <poll.h>
#include <unistd.h>

namespace {

int32_t used_slots(const dlpool &pool) {
    return std::clamp<int32_t>(pool.slot_count, 0, DLPOOL_MAX_SLOTS);
}

bool slot_free(const DownloadSlot &slot) { return !slot.request.url.has_value(); }

bool has_line_break(const char *text) {
    if (!text) return false;
    for (; *text; ++text) {
        if (*text == '\n' || *text == '\r') return true;
    }
    return false;
}

const char *slot_url(const DownloadSlot &slot) {
    return slot.request.url ? slot.request.url->c_str() : "";
}

// Frees the request copies. The body buffer stays with the connection for the next response
// when the callbacks left it there and it is small enough (http_reset_response decides).
void free_slot(DownloadSlot &slot) {
    slot.request = DownloadRequest{};
    if (slot.connection.response.capacity > HTTP_RETAIN_LIMIT) {
        slot.connection.response = ResponseBuffer{};
    }
    if (!slot.connection.response.data) slot.connection.response.capacity = 0;
    slot.connection.response.position = 0;
    slot.connection.response.size = 0;
    slot.connection_state = SLOT_IDLE;
    slot.awaiting = 0;
    slot.resends = 0;
    slot.failure_words.clear();
}

void drop_connection(DownloadSlot &slot) {
    http_close(slot.connection);
    slot.connected = 0;
    slot.awaiting = 0;
    slot.idle = 0;
}

// The status line's words for a download that failed with `result`, or "" when the HTTP status
// or the internal code says enough.
std::string failure_words(const DownloadSlot &slot, int32_t result) {
    std::string host = url_parse(slot.request.url.value_or("")).host;
    char text[400];
    switch (result) {
    case HTTP_UNREACHABLE:
        std::snprintf(text, sizeof text, "cannot reach %s (no network?)", host.c_str());
        break;
    case HTTP_CERT_REFUSED:
        std::snprintf(text, sizeof text, "certificate of %s refused", host.c_str());
        break;
    case HTTP_TLS_OUTDATED:
        std::snprintf(text, sizeof text, "%s offers only outdated TLS", host.c_str());
        break;
    case HTTP_TLS_FAILED:
        std::snprintf(text, sizeof text, "secure connection to %s failed", host.c_str());
        break;
    case HTTP_TIMED_OUT:
        std::snprintf(text, sizeof text, "no answer from %s for %u s", host.c_str(),
                      HTTP_STALL_LIMIT_MS / 1000);
        break;
    case HTTP_DEADLINE_PASSED:
        std::snprintf(text, sizeof text, "%s did not answer completely within %u s",
                      host.c_str(), slot.deadline_ms / 1000);
        break;
    case HTTP_TOO_LARGE:
        std::snprintf(text, sizeof text, "answer from %s too large (over %llu MB)",
                      host.c_str(), static_cast<unsigned long long>(slot.body_limit >> 20));
        break;
    case HTTP_URL_INVALID:
        std::snprintf(text, sizeof text, "cannot load %.200s: not an https address",
                      slot_url(slot));
        break;
    default:
        return "";
    }
    return text;
}

// Runs the callbacks of a finished download and frees its slot.
void complete(DownloadSlot &slot) {
    int32_t result = slot.connection.result;
    const HttpStatus *status = &http_status_lookup(result);
    slot.failure_words = failure_words(slot, result);
    if (!slot.failure_words.empty()) {
        slot.failure = *status;
        slot.failure.detail = slot.failure_words.c_str();
        status = &slot.failure;
    }
    ResponseBuffer *response = &slot.connection.response;
    if (slot.request.on_done) {
        slot.request.on_done(status->status_class, response, slot.request.context, status);
    }
    if (slot.request.on_done_request) {
        slot.request.on_done_request(status->status_class, response, slot.request.context, &slot);
    }
    free_slot(slot);
}

// Ends a download with a failure that leaves its connection unusable.
void fail(DownloadSlot &slot, int32_t result) {
    drop_connection(slot);
    slot.connection.response.data.reset();
    slot.connection.response.capacity = 0;
    slot.connection.result = result;
    slot.connection.read_state = READ_DONE;
    complete(slot);
}

bool stalled(const DownloadSlot &slot) {
    return clock_ms() - http_last_activity(slot.connection) > HTTP_STALL_LIMIT_MS;
}

// Ends a download that moved no byte for too long.
void time_out(DownloadSlot &slot) {
    std::fprintf(stderr, "dlpool: getting %s made no progress for %u s, giving up\n",
                 slot_url(slot), HTTP_STALL_LIMIT_MS / 1000);
    fail(slot, HTTP_TIMED_OUT);
}

bool past_deadline(const DownloadSlot &slot) {
    return slot.deadline_ms != 0 && clock_ms() - slot.started_ms > slot.deadline_ms;
}

// A new connection waits at most this long after its download was added for another slot's
// full handshake to the same host.
constexpr uint32_t HANDSHAKE_FOLLOW_MS = 1000;

// Whether the slot's new connection holds its hello back because another slot of the pool runs
// a full handshake to the same host and no session is kept for it yet: once that one is done,
// this one resumes its session instead of paying for a key exchange and a certificate check of
// its own. Its TCP connect goes on meanwhile, so on a real network the wait costs about one
// round trip, once per host.
bool follows_handshake(const dlpool &pool, const DownloadSlot &slot) {
    const HttpConnection &connection = slot.connection;
    if (slot.connection_state != SLOT_HANDSHAKING || http_handshake_begun(connection) ||
        http_session_kept(connection) || clock_ms() - slot.started_ms > HANDSHAKE_FOLLOW_MS) {
        return false;
    }
    for (int32_t i = 0; i < used_slots(pool); ++i) {
        const DownloadSlot &other = pool.slots[i];
        if (&other != &slot && other.connection_state == SLOT_HANDSHAKING &&
            http_handshake_begun(other.connection) && other.connection.host == connection.host) {
            return true;
        }
    }
    return false;
}

enum class Phase { START, HANDSHAKE, SEND, READ };

// One slot's turn. Returns whether the slot moved data.
bool slot_turn(const dlpool &pool, DownloadSlot &slot) {
    HttpConnection &connection = slot.connection;
    const DownloadRequest &request = slot.request;

    if (!slot_free(slot) && past_deadline(slot)) {
        std::fprintf(stderr, "dlpool: getting %s did not finish within %u s, giving up\n",
                     slot_url(slot), slot.deadline_ms / 1000);
        fail(slot, HTTP_DEADLINE_PASSED);
        return true;
    }
    if (slot.awaiting) {
        if (!http_readable(connection)) {
            if (stalled(slot)) time_out(slot);
            return false;
        }
    } else if (slot.keep_alive && slot.idle && http_readable(connection)) {
        // A kept connection that became readable was closed by the server (or it sent
        // something unasked): it cannot carry another request.
        drop_connection(slot);
    }

    Phase phase;
    switch (slot.connection_state) {
    case SLOT_IDLE:
        if (slot_free(slot)) return false;
        slot.idle = 0;
        phase = Phase::START;
        break;
    case SLOT_HANDSHAKING:
        phase = Phase::HANDSHAKE;
        break;
    case SLOT_READING:
        phase = Phase::READ;
        break;
    default:
        slot.connection_state = SLOT_IDLE;
        return false;
    }

    bool moved = false;
    for (;;) {
        switch (phase) {
        case Phase::START: {
            http_reset_response(connection);
            connection.body_limit = slot.body_limit;
            http_touch(connection);
            ParsedUrl url = url_parse(*request.url);
            if (slot.keep_alive && slot.connected && connection.tls && url.scheme == URL_HTTPS &&
                connection.host == url.host) {
                phase = Phase::SEND;
                continue;
            }
            // A connection kept for another host cannot carry this request.
            drop_connection(slot);
            int ret = http_connect(connection, request.url->c_str());
            if (ret != 0) {
                if (request.verbose) {
                    std::fprintf(stderr, "dlpool: init download %s failed, give up\n",
                                 slot_url(slot));
                }
                fail(slot, ret);
                return true;
            }
            slot.connected = 1;
            slot.connection_state = SLOT_HANDSHAKING;
            phase = Phase::HANDSHAKE;
            continue;
        }

        case Phase::HANDSHAKE: {
            if (follows_handshake(pool, slot)) return moved;
            HttpStep step = http_handshake_step(connection, url_parse(*request.url).host.c_str(),
                                                request.verbose);
            if (step == HTTP_STEP_WAITING) {
                if (stalled(slot)) time_out(slot);
                return moved;
            }
            if (connection.result != 0) {
                connection.read_state = READ_DONE;
                break; // completes as a failure below
            }
            phase = Phase::SEND;
            continue;
        }

        case Phase::SEND: {
            bool version_1_1 = (request.method & 1) != 0;
            const char *version = version_1_1 ? "1.1" : "1.0";
            std::string headers = request.extra_headers.value_or("");
            // An HTTP/1.0 server closes the connection after its answer unless asked not to.
            if (slot.keep_alive && !version_1_1) headers.insert(0, "Connection: keep-alive\r\n");
            int ret;
            if (request.method >= DL_POST_1_0) {
                std::string_view body = request.body ? std::string_view(*request.body) : "";
                ret = http_send_post(connection, request.url->c_str(), version, headers.c_str(),
                                     request.user_agent, body);
            } else {
                ret = http_send_get(connection, request.url->c_str(), version, headers.c_str(),
                                    request.user_agent);
            }
            moved = true;
            if (ret != 0) {
                connection.result = HTTP_READ_ERROR;
                connection.read_state = READ_DONE;
                slot.connection_state = SLOT_HANDSHAKING; // not sent: never resent silently
                break;
            }
            slot.connected = 1;
            slot.awaiting = 1;
            slot.connection_state = SLOT_READING;
            phase = Phase::READ;
            continue;
        }

        case Phase::READ: {
            int32_t before = connection.received;
            size_t head_before = connection.head.size();
            HttpStep step = http_read_step(connection);
            if (connection.received != before || connection.head.size() != head_before) {
                moved = true;
            }
            if (request.on_progress && connection.received > 0) {
                int32_t total = connection.length_known
                                    ? connection.remaining + connection.received
                                    : HTTP_REMAINING_UNKNOWN;
                request.on_progress(connection.received, total, request.progress_context);
            }
            if (step == HTTP_STEP_WAITING) {
                if (!moved && stalled(slot)) time_out(slot);
                return moved;
            }
            break;
        }
        }

        // The download is over: connection.result holds its final result.
        slot.awaiting = 0;
        int32_t result = connection.result;
        if (http_status_class(result) == HTTP_CLASS_SUCCESS) {
            if (slot.keep_alive && connection.reusable && connection.tls) {
                slot.idle = 1;
            } else {
                drop_connection(slot);
            }
        } else {
            bool sent = slot.connection_state == SLOT_READING;
            if (request.verbose) {
                int32_t code = connection.status_code;
                std::fprintf(stderr, "dlpool: getting %s failed, error %x (%d %s)\n",
                             slot_url(slot), static_cast<unsigned>(-connection.last_read), code,
                             http_status_lookup(code).text);
            }
            connection.response.data.reset();
            connection.response.capacity = 0;
            drop_connection(slot);
            // A server that closed the connection before answering (typically a kept
            // connection it had dropped) gets the request again on a new connection.
            bool closed_unanswered = sent && http_io_ended(connection.last_read) &&
                                     connection.head.empty() && connection.received == 0;
            if (slot.keep_alive && closed_unanswered) {
                if (slot.resends < DLPOOL_RESEND_LIMIT) {
                    ++slot.resends;
                    slot.connection_state = SLOT_IDLE;
                    phase = Phase::START;
                    continue;
                }
                std::fprintf(stderr,
                             "dlpool: getting %s failed: the server closed %d connections in a "
                             "row without answering, giving up\n",
                             slot_url(slot), DLPOOL_RESEND_LIMIT + 1);
            }
        }
        complete(slot);
        return true;
    }
}

// The request's callbacks for a download that never got a slot.
void fail_unstarted(const DownloadRequest &request, int32_t result) {
    auto slot = std::make_unique<DownloadSlot>();
    slot->request = request;
    if (!slot->request.url) slot->request.url = "";
    slot->connection.result = result;
    slot->connection.read_state = READ_DONE;
    complete(*slot);
}

} // namespace

void dlpool_init(dlpool &pool, int32_t slot_count, KeepAlive keep_alive, DownloadFeeder feeder,
                 void *feeder_context) {
    for (DownloadSlot &slot : pool.slots) {
        drop_connection(slot);
        free_slot(slot);
        slot.connection.response = ResponseBuffer{};
        slot.keep_alive = 0;
    }
    pool.slot_count = slot_count;
    pool.keep_alive = keep_alive;
    pool.feeder = feeder;
    pool.feeder_context = feeder_context;
    pool.deadline_ms = 0;
    pool.body_limit = HTTP_BODY_LIMIT;
    pool.user_slots = 0;
}

bool dlpool_add(dlpool &pool, const DownloadRequest &request) {
    // Prefer a slot whose kept connection leads to the same host, then one without a
    // connection, so kept connections are not closed for nothing.
    ParsedUrl url = url_parse(request.url.value_or(""));
    std::string host = url.scheme == URL_HTTPS ? url.host : std::string();
    DownloadSlot *same_host = nullptr, *unconnected = nullptr, *any = nullptr;
    for (int32_t i = 0; i < used_slots(pool); ++i) {
        DownloadSlot &slot = pool.slots[i];
        if (!slot_free(slot)) continue;
        if (!any) any = &slot;
        if (!slot.connected && !unconnected) unconnected = &slot;
        if (slot.connected && slot.idle && !host.empty() && slot.connection.host == host &&
            !same_host) {
            same_host = &slot;
        }
    }
    DownloadSlot *free = same_host ? same_host : unconnected ? unconnected : any;
    if (!free) {
        if (request.verbose == 1) std::fprintf(stderr, "dlpool: pool is full\n");
        return false;
    }
    if (!request.url || has_line_break(request.url->c_str()) ||
        request.url->find('\0') != std::string::npos || has_line_break(request.user_agent)) {
        std::fprintf(stderr, "dlpool: invalid parameter\n");
        return false;
    }
    free->request = request;
    free->keep_alive = pool.keep_alive;
    free->connection_state = SLOT_IDLE;
    free->resends = 0;
    free->started_ms = clock_ms();
    free->deadline_ms = pool.deadline_ms;
    free->body_limit = pool.body_limit;
    return true;
}

bool dlpool_step(dlpool &pool) {
    int32_t used = used_slots(pool);
    if (pool.feeder) {
        for (int32_t i = 0; i < used; ++i) {
            if (slot_free(pool.slots[i])) {
                pool.feeder(&pool, pool.feeder_context);
                break;
            }
        }
    }
    bool moved = false;
    for (int32_t i = 0; i < used; ++i) {
        if (slot_turn(pool, pool.slots[i])) moved = true;
    }
    return moved;
}

int32_t dlpool_busy(const dlpool &pool) {
    int32_t busy = 0;
    for (int32_t i = 0; i < used_slots(pool); ++i) {
        if (!slot_free(pool.slots[i])) ++busy;
    }
    return busy;
}

void dlpool_wait_descriptors(const dlpool &pool, std::vector<int> &descriptors) {
    for (int32_t i = 0; i < used_slots(pool); ++i) {
        const DownloadSlot &slot = pool.slots[i];
        if (slot_free(slot)) continue;
        // A connection holding its hello back waits for the other slot's socket.
        if (slot.awaiting ||
            (slot.connection_state == SLOT_HANDSHAKING && !follows_handshake(pool, slot))) {
            int fd = http_socket(slot.connection);
            if (fd >= 0) descriptors.push_back(fd);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Queues

namespace {

bool already_queued(RequestQueue &queue, const DownloadRequest &request) {
    if (request.method == DL_POST_1_0 || request.method == DL_POST_1_1) return false;
    for (DownloadRequest *queued : queue) {
        if (queued->url == request.url) return true;
    }
    return false;
}

RequestQueue::Node *first_bulk(RequestQueue &queue) {
    for (RequestQueue::Node *node = queue.first(); node; node = queue.after(node)) {
        if (node->data->priority == DL_PRIORITY_BULK) return node;
    }
    return nullptr;
}

// Links `request` in before the first bulk request, or at the end when there is none.
void insert_before_bulk(RequestQueue &queue, DownloadRequest *request) {
    if (RequestQueue::Node *bulk = first_bulk(queue)) {
        queue.insert_before(bulk, request, REQUEST_QUEUE_TAG);
    } else {
        queue.append(request, REQUEST_QUEUE_TAG);
    }
}

int32_t bulk_busy(const dlpool &pool) {
    int32_t busy = 0;
    for (int32_t i = 0; i < used_slots(pool); ++i) {
        const DownloadSlot &slot = pool.slots[i];
        if (!slot_free(slot) && slot.request.priority == DL_PRIORITY_BULK) ++busy;
    }
    return busy;
}

} // namespace

bool request_queue_append(RequestQueue &queue, const DownloadRequest &request) {
    if (already_queued(queue, request)) return false;
    if (request.priority == DL_PRIORITY_BULK) {
        queue.append(new DownloadRequest(request), REQUEST_QUEUE_TAG);
    } else {
        insert_before_bulk(queue, new DownloadRequest(request));
    }
    return true;
}

bool request_queue_push(RequestQueue &queue, const DownloadRequest &request) {
    if (already_queued(queue, request)) return false;
    if (request.priority == DL_PRIORITY_BULK) {
        insert_before_bulk(queue, new DownloadRequest(request));
    } else {
        queue.push(new DownloadRequest(request), REQUEST_QUEUE_TAG);
    }
    return true;
}

bool request_queue_feed(dlpool *pool, void *queue_argument) {
    auto *queue = static_cast<RequestQueue *>(queue_argument);
    RequestQueue::Node *head = queue->first();
    if (!head) return false;
    // User requests are queued ahead of bulk work, so a bulk head means no user waits; it still
    // leaves the user slots free for the next one who does.
    if (head->data->priority == DL_PRIORITY_BULK &&
        bulk_busy(*pool) >= used_slots(*pool) - std::max(pool->user_slots, 0)) {
        return false;
    }
    std::unique_ptr<DownloadRequest> request(queue->take(head));
    if (!dlpool_add(*pool, *request)) fail_unstarted(*request, HTTP_URL_INVALID);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Pump

void download_pools_init(DownloadPools &pools) {
    dlpool_init(pools.api_pool, API_POOL_SLOTS, CONNECTIONS_KEEP, request_queue_feed,
                &pools.request_queue);
    pools.api_pool.deadline_ms = API_DEADLINE_MS;
    pools.api_pool.body_limit = API_BODY_LIMIT;
    pools.api_pool.user_slots = 1;
    dlpool_init(pools.image_pool, IMAGE_POOL_SLOTS, CONNECTIONS_KEEP, request_queue_feed,
                &pools.image_queue);
    pools.image_pool.deadline_ms = IMAGE_DEADLINE_MS;
    pools.image_pool.body_limit = IMAGE_BODY_LIMIT;
}

namespace {

// Sleeps up to `ms` milliseconds, waking early when the host has events or a socket becomes
// readable: a fast server is then read at its own pace instead of 10 ms at a time.
void pump_wait(int ms, const std::vector<int> &sockets) {
    if (sockets.empty()) {
        host_wait(ms);
        return;
    }
    std::vector<pollfd> watch;
    for (int fd : sockets) watch.push_back({fd, POLLIN, 0});
    int wakeup = host() ? mpv_get_wakeup_pipe(host()) : -1;
    if (wakeup >= 0) watch.push_back({wakeup, POLLIN, 0});
    if (poll(watch.data(), watch.size(), ms) > 0 && wakeup >= 0 && watch.back().revents) {
        // The pipe only signals; empty it as host_wait does.
        char buffer[256];
        ssize_t ignored = read(wakeup, buffer, sizeof buffer);
        (void)ignored;
    }
}

} // namespace

int32_t pump_wait_ms(const DownloadPools &pools) {
    bool quiet = dlpool_busy(pools.api_pool) == 0 && dlpool_busy(pools.image_pool) == 0 &&
                 pools.request_queue.empty() && pools.image_queue.empty();
    // Queued timers and held frames may be due sooner than either wait.
    return idle_wait_ms(quiet ? std::max(pools.quiet_wait_ms, PUMP_WAIT_MS) : PUMP_WAIT_MS);
}

void download_pump(void *argument) {
    auto *pools = static_cast<DownloadPools *>(argument);
    bool api_moved = dlpool_step(pools->api_pool);
    bool image_moved = dlpool_step(pools->image_pool);
    if (!api_moved && !image_moved) {
        std::vector<int> sockets;
        dlpool_wait_descriptors(pools->api_pool, sockets);
        dlpool_wait_descriptors(pools->image_pool, sockets);
        pump_wait(pump_wait_ms(*pools), sockets);
    }
    defer_call(download_pump, pools);
}
