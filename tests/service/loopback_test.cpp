// The service client over real TLS to the loopback server answering with recorded responses.
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/json.h"
#include "base/runtime.h"
#include "fixtures.h"
#include "service/client.h"
#include "tests/server/loopback_server.h"

namespace {

// Steps the API pool until `done` holds or ten seconds pass.
template <class Done> bool pump(DownloadPools &pools, Done done) {
    for (uint32_t start = clock_ms(); !done();) {
        if (clock_ms() - start > 10000) return false;
        if (!dlpool_step(pools.api_pool)) usleep(1000);
    }
    return true;
}

struct Recorder {
    int launches = 0, responses = 0;
    bool hls_names = false;
    std::string segments, body;
    std::vector<std::string> statuses;
};

// Keeps a response's body; the context is the client, as the client's requests have it.
DownloadDone record_body = [](int32_t status_class, ResponseBuffer *response, void *client,
                              const HttpStatus *) {
    auto *rec = static_cast<Recorder *>(static_cast<ServiceClient *>(client)->hooks.context);
    if (status_class == HTTP_CLASS_SUCCESS) rec->body = response_text(*response);
    ++rec->responses;
};

class ServiceLoopback : public ::testing::Test {
protected:
    void SetUp() override {
        const LoopbackServer &server = loopback_server("tests/service/innertube_server.py");
        ASSERT_TRUE(server.running) << server.error;
        download_pools_init(pools);
        client.pools = &pools;
        client.hooks.context = &rec;
    }
    // A GET of `url` through the request queue; the body, or "" when it failed.
    std::string get(const std::string &url) {
        DownloadRequest request;
        request.url = url;
        request.context = &client;
        request.on_done = record_body;
        int before = rec.responses;
        request_queue_append(pools.request_queue, request);
        EXPECT_TRUE(pump(pools, [&] { return rec.responses > before; }));
        return rec.body;
    }
    DownloadPools pools;
    ServiceClient client;
    Recorder rec;
};

} // namespace

TEST_F(ServiceLoopback, visitor_data_then_the_whole_loading_chain) {
    client.settings.client_code = REQUEST_PLAYER_VISIONOS;
    client.settings.use_hls = true;
    client.settings.hls_quality_names = true;
    client.settings.video_format = "720p";
    client.settings.sponsorblock = true;
    client.hooks.status = [](void *c, const char *t) { static_cast<Recorder *>(c)->statuses.push_back(t); };
    client.hooks.launch = [](void *c, bool names, const char *segments) {
        auto &rec = *static_cast<Recorder *>(c);
        ++rec.launches;
        rec.hls_names = names;
        rec.segments = segments ? segments : "<none>";
    };

    ASSERT_TRUE(visitor_data_refresh(client));
    ASSERT_TRUE(pump(pools, [&] { return client.visitor_data.has_value(); }));
    EXPECT_EQ(client.visitor_data.value(), "CgtaY3FJcE40cmZjMCj5iuL-BQ%3D%3D");

    ASSERT_TRUE(video_info_request(client, "K4DyBUG242c", true));
    ASSERT_TRUE(pump(pools, [&] { return rec.launches > 0; }));
    // Info from the WEB response, streams from the VISIONOS response's HLS manifest ("720p" as
    // the HLS name "720": stream 95), segments from SponsorBlock.
    EXPECT_EQ(client.current_video.title.value(),
              "Cartoon - On & On (feat. Daniel Levi) | Electronic Pop | NCS - Copyright Free Music");
    EXPECT_EQ(client.current_video.duration, 208u);
    EXPECT_NE(client.streams.video_url.value_or("").find("/itag/95/"), std::string::npos);
    EXPECT_TRUE(rec.hls_names);
    EXPECT_EQ(rec.segments, fixture("sponsorblock/skipSegments_videoID_music_offtopic.json"));
    EXPECT_EQ(rec.statuses.front(), "loading videoinfo id 'K4DyBUG242c'...");
    EXPECT_EQ(rec.statuses.back(), "done");

    // What the server saw: method, path, user agent, visitor header, content type, body.
    std::string log = get("https://www.youtube.com/test/service-log");
    std::vector<std::string> seen;
    for (const char *e = json_first(log.c_str()); e; e = json_next(e)) {
        std::string entry;
        for (const char *member : {".method", ".path", ".user_agent", ".visitor", ".content_type"})
            entry += (json_present(json_get(e, member)) ? json_text(json_get(e, member)) : "-") + " ";
        seen.push_back(entry + json_text(json_get(e, ".body")));
    }
    const std::string json = "application/json ";
    EXPECT_EQ(seen, (std::vector<std::string>{
        std::string("GET /embed/aqz-KE-bpKQ ") + USER_AGENT_IOS + " - - ",
        // The WEB info request goes without the visitor header (WEB is not the client); the
        // stream request of the configured client carries it.
        std::string("POST /youtubei/v1/player ") + USER_AGENT_WEB + " - " + json + *innertube_body(5, "K4DyBUG242c"),
        std::string("POST /youtubei/v1/player ") + USER_AGENT_IOS + " CgtaY3FJcE40cmZjMCj5iuL-BQ%3D%3D " +
            json + *innertube_body(18, "K4DyBUG242c"),
        // The manifest: a plain GET with the default user agent and no service headers.
        "GET " + client.streams.hls_url.value_or("?").substr(32) + " " + HTTP_DEFAULT_USER_AGENT + " - - ",
        std::string("GET /api/skipSegments?videoID=K4DyBUG242c ") + HTTP_DEFAULT_USER_AGENT + " - - ",
    })) << log;
}
