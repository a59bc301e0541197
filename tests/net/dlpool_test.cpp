// Download pools against the loopback HTTPS server through the real TLS stack.
#include "net/dlpool.h"

#include "base/defer.h"
#include "base/host.h"
#include "base/runtime.h"
#include "tests/support/fake_mpv.h"
#include "tests/server/loopback_server.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Outcome {
    int calls = 0;
    int32_t status_class = 99, code = 0;
    bool had_data = false;
    std::string body, words; // words: the status entry's detail, "" when it has none
    int progress_calls = 0;
    int32_t progress_received = 0, progress_total = 0;
    bool progress_monotonic = true;
    std::vector<std::string> *order = nullptr; // urls in completion order
};

DownloadRequest get(const std::string &path, Outcome *outcome = nullptr,
                    const char *host = LOOPBACK_HOST) {
    DownloadRequest request;
    request.method = DL_GET_1_1;
    request.url = loopback_url(path, host);
    request.context = request.progress_context = outcome;
    request.on_done = [](int32_t status_class, ResponseBuffer *response, void *context,
                         const HttpStatus *status) {
        auto *outcome = static_cast<Outcome *>(context);
        ++outcome->calls;
        outcome->status_class = status_class;
        outcome->code = status->code;
        outcome->had_data = response->data != nullptr;
        if (response->data) outcome->body.assign(response->data.get(), response->position);
        outcome->words = status->detail ? status->detail : "";
    };
    request.on_done_request = [](int32_t, ResponseBuffer *, void *context, DownloadSlot *slot) {
        auto *outcome = static_cast<Outcome *>(context);
        if (outcome->order) outcome->order->push_back(slot->request.url.value_or(""));
    };
    request.on_progress = [](int32_t received, int32_t total, void *context) {
        auto *outcome = static_cast<Outcome *>(context);
        if (received < outcome->progress_received) outcome->progress_monotonic = false;
        ++outcome->progress_calls;
        outcome->progress_received = received;
        outcome->progress_total = total;
    };
    return request;
}

// Steps the pool as the pump does until `done` holds (bounded, so a fault never hangs).
bool step_until(dlpool &pool, const std::function<bool()> &done, int limit_ms = 20000) {
    for (int waited = 0; !done(); waited += dlpool_step(pool) ? 1 : (host_wait(10), 10))
        if (waited > limit_ms) return false;
    return true;
}

Outcome fetch(dlpool &pool, DownloadRequest request) {
    Outcome outcome;
    request.context = request.progress_context = &outcome;
    EXPECT_TRUE(dlpool_add(pool, request));
    EXPECT_TRUE(step_until(pool, [&] { return outcome.calls > 0; })) << *request.url;
    return outcome;
}

int server_stat(dlpool &pool, const char *name) {
    Outcome stats = fetch(pool, get("/test/stats"));
    return static_cast<int>(json_long(json_get(stats.body.c_str(), (std::string(".") + name).c_str()), -1));
}

template <class F> std::string stderr_of(F f) {
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
}

std::string pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

class Loopback : public ::testing::Test {
protected:
    void SetUp() override {
        const LoopbackServer &server = loopback_server();
        ASSERT_TRUE(server.running) << "loopback server did not start: " << server.error;
        fakehost::reset();
        host_set(fakehost::handle());
        dlpool_init(api, API_POOL_SLOTS, CONNECTIONS_CLOSE, nullptr, nullptr);
        dlpool_init(kept, 1, CONNECTIONS_KEEP, nullptr, nullptr);
        download_pools_init(pools);
    }
    void TearDown() override {
        clock_override(nullptr);
        host_set(nullptr);
    }

    dlpool api, kept;
    DownloadPools pools;
};

} // namespace

// Failures reach the callback once without data; successes with the body, progress rising.
TEST_F(Loopback, response_shapes_their_results_and_progress) {
    const size_t big = 50 << 20;
    struct Case {
        std::string path;
        int32_t code, status_class;
        std::string body;
        int32_t total = -2;     // the progress total, checked when not -2
        int progress_calls = 1; // at least
    } cases[] = {
        {"/test/bytes?size=" + std::to_string(big), 200, 0, pattern(big), int32_t(big), 10},
        // Long pauses between the pieces, so the client sees them apart even on a busy machine.
        {"/test/respond?size=200000&split=40000&pause=150", 200, 0, pattern(200000), 200000, 2},
        {"/test/respond?size=3000&split=7", 200, 0, pattern(3000), 3000},
        {"/test/respond?size=1000&length=none", 200, 0, pattern(1000), HTTP_REMAINING_UNKNOWN},
        // A lower-case length on a connection the server keeps open must still end the body.
        {"/test/respond?size=5000&length=none&h=content-length:%205000&close=0", 200, 0, pattern(5000)},
        {"/test/respond?status=404&body=missing", 404, 3, "", 7},
        {"/test/respond?status=302&body=&h=Location:%20/x", 302, 2, "", -2, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        Outcome outcome = fetch(api, get(c.path));
        EXPECT_EQ(outcome.calls, 1);
        EXPECT_EQ(outcome.code, c.code);
        EXPECT_EQ(outcome.status_class, c.status_class);
        EXPECT_EQ(outcome.had_data, c.status_class == 0);
        EXPECT_TRUE(outcome.body == c.body) << outcome.body.substr(0, 200);
        EXPECT_TRUE(outcome.progress_monotonic);
        EXPECT_GE(outcome.progress_calls, c.progress_calls);
        EXPECT_TRUE(c.total == -2 || outcome.progress_total == c.total) << outcome.progress_total;
        EXPECT_TRUE(c.total == -2 || c.total == HTTP_REMAINING_UNKNOWN || outcome.progress_received == c.total)
            << outcome.progress_received;
    }
}

TEST_F(Loopback, api_pool_keeps_connections_per_host_and_resumes_sessions) {
    dlpool &pool = pools.api_pool;
    http_forget_sessions();
    auto stat = [&](const char *name) { return server_stat(pool, name); };
    auto slot_of = [&](const std::string &host) -> DownloadSlot * {
        for (DownloadSlot &slot : pool.slots)
            if (slot.connected && slot.connection.host == host) return &slot;
        return nullptr;
    };

    // A fresh connection: full handshake, one write per client flight, no Nagle.
    int connections = stat("connections"), resumed = stat("resumed");
    DownloadSlot *slot = slot_of(LOOPBACK_HOST);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(http_handshake_writes(slot->connection), 2u);
    int nodelay = 0;
    socklen_t size = sizeof nodelay;
    ASSERT_EQ(getsockopt(http_socket(slot->connection), IPPROTO_TCP, TCP_NODELAY, &nodelay, &size), 0);
    EXPECT_NE(nodelay, 0);

    // Further requests to the host, HTTP/1.0 ones too, reuse it; the bytes on the wire.
    DownloadRequest request = get("/test/echo?q=1");
    request.method = DL_GET_1_0;
    EXPECT_EQ(fetch(pool, request).body,
              std::string("GET /test/echo?q=1 HTTP/1.0\r\nHost: solvane.test\r\nAccept: */*\r\nUser-Agent: ") +
                  HTTP_DEFAULT_USER_AGENT + "\r\nConnection: keep-alive\r\n\r\n");
    request = get("/test/echo");
    request.method = DL_POST_1_1;
    request.user_agent = "solvane-test/1";
    request.extra_headers = "Content-Type: application/json\r\nX-Goog-Visitor-Id: abc\r\n";
    request.body = "{\"context\":{\"client\":{}}}";
    EXPECT_EQ(fetch(pool, request).body,
              "POST /test/echo HTTP/1.1\r\nHost: solvane.test\r\nAccept: */*\r\n"
              "User-Agent: solvane-test/1\r\nContent-Length: 25\r\n"
              "Content-Type: application/json\r\nX-Goog-Visitor-Id: abc\r\n\r\n"
              "{\"context\":{\"client\":{}}}");
    EXPECT_EQ(stat("connections"), connections);
    // Another host (TLS 1.2 with ECDHE only) gets its own connection; the first one stays kept.
    EXPECT_EQ(fetch(pool, get("/test/echo", nullptr, LOOPBACK_TLS12_HOST)).code, 200);
    EXPECT_NE(slot_of(LOOPBACK_TLS12_HOST), nullptr);
    EXPECT_EQ(slot_of(LOOPBACK_HOST), slot);
    EXPECT_EQ(stat("connections"), connections + 1);

    // Closed by the server after an answer: the next connection resumes the session.
    EXPECT_EQ(fetch(pool, get("/test/respond?body=x&close=1")).code, 200);
    EXPECT_EQ(stat("connections"), connections + 2);
    EXPECT_EQ(stat("resumed"), resumed + 1);
    ASSERT_NE(slot_of(LOOPBACK_HOST), nullptr);
    EXPECT_EQ(http_handshake_writes(slot_of(LOOPBACK_HOST)->connection), 1u);

    // Four connections opened at once with no session kept: one full handshake, and the other
    // three wait for it and resume its session.
    http_forget_sessions();
    connections = stat("connections"), resumed = stat("resumed");
    Outcome outcomes[IMAGE_POOL_SLOTS];
    for (Outcome &outcome : outcomes) ASSERT_TRUE(dlpool_add(pools.image_pool, get("/test/echo", &outcome)));
    ASSERT_TRUE(step_until(pools.image_pool, [&] {
        return std::all_of(std::begin(outcomes), std::end(outcomes), [](const Outcome &o) { return o.code == 200; });
    }));
    EXPECT_EQ(stat("connections"), connections + IMAGE_POOL_SLOTS);
    EXPECT_EQ(stat("resumed"), resumed + IMAGE_POOL_SLOTS - 1);
}

TEST_F(Loopback, kept_connection_closed_under_a_request_is_resent_a_bounded_number_of_times) {
    int requests = server_stat(api, "requests");
    // The server answers this one, keeps the connection, and drops the next request on it.
    EXPECT_EQ(fetch(kept, get("/test/drop-next")).code, 200);
    ASSERT_EQ(kept.slots[0].idle, 1);
    Outcome outcome = fetch(kept, get("/test/echo"));
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.body.rfind("GET /test/echo HTTP/1.1\r\n", 0), 0u);
    // drop-next, the dropped echo, the resent echo, this look-up.
    EXPECT_EQ(server_stat(api, "requests"), requests + 4);

    // A server that closes every connection is given up on.
    requests = server_stat(api, "requests");
    std::string log = stderr_of([&] { outcome = fetch(kept, get("/test/drop")); });
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.code, HTTP_READ_ERROR);
    EXPECT_EQ(outcome.status_class, HTTP_CLASS_INTERNAL);
    EXPECT_NE(log.find("without answering, giving up"), std::string::npos) << log;
    EXPECT_EQ(server_stat(api, "requests"), requests + 1 + DLPOOL_RESEND_LIMIT + 1);
}

// Each download ends once, saying what failed in words; the URL is logged only when verbose.
TEST_F(Loopback, each_connection_ends_once_with_what_failed_in_words) {
    struct Case {
        std::string url;
        int32_t code;
        std::string words, log; // what the status line says; the log ("": nothing)
        uint8_t verbose = 0;
    } cases[] = {
        {loopback_url("/test/echo", LOOPBACK_TLS10_HOST), HTTP_TLS_OUTDATED,
         "tls10.solvane.test offers only outdated TLS", "tls10.solvane.test offers only outdated TLS"},
        {loopback_url("/test/echo", LOOPBACK_STATIC_RSA_HOST), HTTP_TLS_OUTDATED,
         "static-rsa.solvane.test offers only outdated TLS", "outdated TLS"},
        {"https://nosuchhost.invalid/youtubei/v1/search", HTTP_UNREACHABLE,
         "cannot reach nosuchhost.invalid (no network?)",
         "resolving nosuchhost.invalid failed with code 52"},
        {loopback_url("/", LOOPBACK_REFUSED_HOST), HTTP_UNREACHABLE,
         "cannot reach refused.solvane.test (no network?)",
         "connection to refused.solvane.test failed with code 42"},
        {loopback_url("/test/echo", LOOPBACK_OTHER_HOST), HTTP_CERT_REFUSED,
         "certificate of other.solvane.test refused", "certificate of other.solvane.test refused: "},
        {loopback_url("/", LOOPBACK_GARBAGE_HOST), HTTP_TLS_FAILED,
         "secure connection to garbage.solvane.test failed", ""},
        {"http://solvane.test/test/echo", HTTP_URL_INVALID,
         "cannot load http://solvane.test/test/echo: not an https address",
         "dlpool: init download http://solvane.test/test/echo failed, give up", 1},
        // A body over the API limit, announced or not.
        {loopback_url("/test/respond?body=x&length=1073741824&close=1"), HTTP_TOO_LARGE,
         "answer from solvane.test too large (over 32 MB)", ""},
        {loopback_url("/test/respond?size=34000000&length=none"), HTTP_TOO_LARGE,
         "answer from solvane.test too large (over 32 MB)", ""},
        {loopback_url("/test/respond?status=404&body=missing"), 404, "",
         "dlpool: getting https://solvane.test/test/respond?status=404&body=missing failed, "
         "error *(404 Not Found)\n", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.url);
        Outcome outcome;
        DownloadRequest request = get("/", &outcome);
        request.url = c.url;
        request.verbose = c.verbose;
        std::string log = stderr_of([&] {
            ASSERT_TRUE(dlpool_add(pools.api_pool, request));
            ASSERT_TRUE(step_until(pools.api_pool, [&] { return outcome.calls > 0; }));
            for (int i = 0; i < 5; ++i) dlpool_step(pools.api_pool);
        });
        EXPECT_EQ(outcome.calls, 1);
        EXPECT_EQ(outcome.code, c.code);
        EXPECT_EQ(outcome.words, c.words);
        EXPECT_TRUE(c.code >= 0 || outcome.status_class == HTTP_CLASS_INTERNAL);
        EXPECT_EQ(outcome.had_data, c.code == 200);
        size_t star = c.log.find('*'); // the log holds the parts around it
        EXPECT_TRUE(c.log.empty() ? log.empty() : log.find(c.log.substr(0, star)) != std::string::npos &&
                        (star == std::string::npos || log.find(c.log.substr(star + 1)) != std::string::npos))
            << log;
        EXPECT_EQ(dlpool_busy(pools.api_pool), 0);
    }

    // A session kept under one trust store is not resumed under another: trusting the other CA
    // makes its host acceptable and refuses the first one again.
    std::string ca = loopback_server().ca;
    setenv("SSL_CERT_FILE", loopback_server().other_ca.c_str(), 1);
    EXPECT_EQ(fetch(api, get("/test/echo", nullptr, LOOPBACK_OTHER_HOST)).code, 200);
    EXPECT_EQ(fetch(api, get("/test/echo")).code, HTTP_CERT_REFUSED);
    setenv("SSL_CERT_FILE", ca.c_str(), 1);
    EXPECT_EQ(fetch(api, get("/test/echo")).code, 200);
}

TEST_F(Loopback, full_pool_and_invalid_parameters_drop_requests) {
    dlpool small;
    dlpool_init(small, 2, CONNECTIONS_CLOSE, nullptr, nullptr);
    Outcome outcome;
    ASSERT_TRUE(dlpool_add(small, get("/a", &outcome, LOOPBACK_SILENT_HOST)));
    ASSERT_TRUE(dlpool_add(small, get("/b", &outcome, LOOPBACK_SILENT_HOST)));
    DownloadRequest third = get("/c", &outcome);
    EXPECT_EQ(stderr_of([&] { EXPECT_FALSE(dlpool_add(small, third)); }), "");
    third.verbose = 1;
    EXPECT_EQ(stderr_of([&] { EXPECT_FALSE(dlpool_add(small, third)); }), "dlpool: pool is full\n");

    // Line breaks in the url or user agent would inject header lines.
    DownloadRequest bad_url = get("/x\nInjected: 1", &outcome), bad_agent = get("/x", &outcome),
                    no_url = get("/x", &outcome);
    bad_agent.user_agent = "agent\r\nInjected: 1";
    no_url.url.reset();
    for (const DownloadRequest *bad : {&bad_url, &bad_agent, &no_url})
        EXPECT_EQ(stderr_of([&] { EXPECT_FALSE(dlpool_add(api, *bad)); }),
                  "dlpool: invalid parameter\n");
    EXPECT_EQ(dlpool_busy(api), 0);
    EXPECT_EQ(outcome.calls, 0);
}

TEST_F(Loopback, queues_deduplicate_and_serve_pushed_requests_first) {
    RequestQueue queue;
    std::vector<std::string> order;
    Outcome outcome;
    outcome.order = &order;
    auto request = [&](const std::string &path) { return get("/test/echo?" + path, &outcome); };
    // A page of thumbnails appended, one of them twice.
    EXPECT_TRUE(request_queue_append(queue, request("thumb=1")));
    EXPECT_TRUE(request_queue_append(queue, request("thumb=2")));
    EXPECT_FALSE(request_queue_append(queue, request("thumb=1")));
    // Storyboard frames pushed afterwards go first, newest first.
    for (const char *frame : {"frame=1", "frame=2", "frame=3"})
        EXPECT_TRUE(request_queue_push(queue, request(frame)));
    EXPECT_FALSE(request_queue_push(queue, request("thumb=2")));
    // The same POST twice is queued twice.
    DownloadRequest post = request("post");
    post.method = DL_POST_1_1;
    post.body = "{}";
    EXPECT_TRUE(request_queue_append(queue, post));
    EXPECT_TRUE(request_queue_append(queue, post));

    // One slot makes the service order visible as the completion order.
    dlpool one;
    dlpool_init(one, 1, CONNECTIONS_KEEP, request_queue_feed, &queue);
    ASSERT_TRUE(step_until(one, [&] { return order.size() == 7; }));
    std::vector<std::string> expected;
    for (const char *q : {"frame=3", "frame=2", "frame=1", "thumb=1", "thumb=2", "post", "post"})
        expected.push_back(loopback_url(std::string("/test/echo?") + q));
    EXPECT_EQ(order, expected);
    EXPECT_TRUE(queue.empty());
}

// On a fake clock: silence fails after 30 s, trickles at the pool's deadline (images 30 s, API 60 s).
TEST_F(Loopback, silent_and_trickling_servers_fail_in_time_while_other_slots_work) {
    static uint32_t fake_now;
    fake_now = 1000000;
    clock_override([] { return fake_now; });
    dlpool &api_pool = pools.api_pool, &image_pool = pools.image_pool;
    Outcome silent, hung, api_trickle, image_trickle;
    const std::string trickle = "/test/respond?size=2000&split=1&pause=20";
    ASSERT_TRUE(dlpool_add(api_pool, get("/", &silent, LOOPBACK_SILENT_HOST)));
    ASSERT_TRUE(dlpool_add(api_pool, get("/test/hang", &hung)));
    ASSERT_TRUE(dlpool_add(api_pool, get(trickle, &api_trickle)));
    ASSERT_TRUE(dlpool_add(image_pool, get(trickle, &image_trickle)));
    for (const char *path : {"/test/respond?size=20000", "/test/echo", "/test/echo"})
        EXPECT_EQ(fetch(api_pool, get(path)).code, 200);
    EXPECT_EQ(dlpool_busy(api_pool), 3);

    // Moves the clock on in hops shorter than the silence limit, the trickles moving meanwhile.
    auto advance = [&](uint32_t ms) {
        for (uint32_t hop; ms; ms -= hop) {
            fake_now += hop = std::min<uint32_t>(ms, HTTP_STALL_LIMIT_MS - 5000);
            for (auto [pool, o] : {std::pair{&api_pool, &api_trickle}, {&image_pool, &image_trickle}}) {
                int32_t received = o->progress_received;
                ASSERT_TRUE(step_until(*pool, [&] { return o->calls || o->progress_received > received; }));
            }
        }
    };
    advance(HTTP_STALL_LIMIT_MS - 1000);
    EXPECT_EQ(silent.calls + hung.calls + image_trickle.calls, 0);
    std::string log = stderr_of([&] { advance(2000); });
    EXPECT_EQ(silent.calls + hung.calls + image_trickle.calls, 3);
    EXPECT_EQ(silent.code, HTTP_TIMED_OUT);
    EXPECT_EQ(silent.words, "no answer from silent.solvane.test for 30 s");
    EXPECT_EQ(hung.words, "no answer from solvane.test for 30 s");
    EXPECT_EQ(image_trickle.code, HTTP_DEADLINE_PASSED);
    EXPECT_EQ(image_trickle.words, "solvane.test did not answer completely within 30 s");
    EXPECT_FALSE(silent.had_data || image_trickle.had_data);
    EXPECT_NE(log.find("dlpool: getting https://silent.solvane.test/ made no progress for 30 s"),
              std::string::npos) << log;
    EXPECT_NE(log.find("did not finish within 30 s"), std::string::npos) << log;

    advance(API_DEADLINE_MS - HTTP_STALL_LIMIT_MS - 2000);
    EXPECT_EQ(api_trickle.calls, 0);
    advance(2000);
    EXPECT_EQ(api_trickle.code, HTTP_DEADLINE_PASSED);
    EXPECT_EQ(api_trickle.words, "solvane.test did not answer completely within 60 s");
    EXPECT_EQ(dlpool_busy(api_pool), 0);
}

TEST_F(Loopback, user_requests_pass_bulk_work_and_always_find_an_api_slot) {
    // A feed of 200 favourites whose server never answers.
    std::vector<Outcome> feed(200);
    for (size_t i = 0; i < feed.size(); ++i) {
        DownloadRequest request = get("/feed?n=" + std::to_string(i), &feed[i], LOOPBACK_SILENT_HOST);
        request.priority = DL_PRIORITY_BULK;
        ASSERT_TRUE(request_queue_append(pools.request_queue, request));
    }
    for (int i = 0; i < 10; ++i) dlpool_step(pools.api_pool);
    EXPECT_EQ(dlpool_busy(pools.api_pool), API_POOL_SLOTS - 1);
    EXPECT_EQ(pools.request_queue.size(), feed.size() - (API_POOL_SLOTS - 1));

    // A search typed now is queued ahead of the feed and started at the next step (on loopback
    // it may even finish in that step); no bulk request is started.
    Outcome search;
    DownloadRequest request = get("/test/echo?search", &search);
    request.method = DL_POST_1_0;
    request.body = "{\"query\":\"x\"}";
    ASSERT_TRUE(request_queue_append(pools.request_queue, request));
    EXPECT_EQ(pools.request_queue.first()->data->body, request.body);
    dlpool_step(pools.api_pool);
    EXPECT_EQ(pools.request_queue.size(), feed.size() - (API_POOL_SLOTS - 1));
    EXPECT_TRUE(search.calls == 1 || dlpool_busy(pools.api_pool) == API_POOL_SLOTS);
    ASSERT_TRUE(step_until(pools.api_pool, [&] { return search.calls > 0; }));
    EXPECT_EQ(search.code, 200);
    // The slot it leaves stays free for the next user request.
    for (int i = 0; i < 10; ++i) dlpool_step(pools.api_pool);
    EXPECT_EQ(dlpool_busy(pools.api_pool), API_POOL_SLOTS - 1);
    for (const Outcome &waiting : feed) EXPECT_EQ(waiting.calls, 0);
}

// The pump serves both pools, keeps itself queued once, and waits long only when idle.
TEST_F(Loopback, pump_feeds_both_pools_from_their_queues) {
    pools.quiet_wait_ms = 250;
    EXPECT_EQ(pump_wait_ms(pools), 250);
    std::vector<Outcome> api(6), images(6);
    for (size_t i = 0; i < api.size(); ++i) {
        request_queue_append(pools.request_queue, get("/test/echo?api=" + std::to_string(i), &api[i]));
        request_queue_push(pools.image_queue,
                           get("/test/respond?size=3000&img=" + std::to_string(i), &images[i]));
    }
    EXPECT_EQ(pump_wait_ms(pools), PUMP_WAIT_MS);
    defer_queue_create();
    download_pump(&pools);
    auto all_done = [&] {
        for (size_t i = 0; i < api.size(); ++i)
            if (!api[i].calls || !images[i].calls) return false;
        return true;
    };
    uint32_t start = clock_ms();
    while (!all_done() && clock_ms() - start < 20000) {
        ASSERT_EQ(defer_pending(), 1); // the pump keeps itself queued, once
        EXPECT_TRUE(all_done() || pump_wait_ms(pools) == PUMP_WAIT_MS);
        defer_run_one();
    }
    defer_queue_destroy();
    ASSERT_TRUE(all_done());
    for (size_t i = 0; i < api.size(); ++i) {
        EXPECT_EQ(api[i].code, 200);
        EXPECT_EQ(images[i].body, pattern(3000));
    }
    // A quiet wait below the pacing never makes the loop spin faster.
    pools.quiet_wait_ms = 0;
    EXPECT_EQ(pump_wait_ms(pools), PUMP_WAIT_MS);
}
