// The service client against the loopback HTTPS server (tests/service/innertube_server.py):
// real requests over TLS to the service's host names (redirected with SOLVANE_RESOLVE), answered
// with recorded responses, through the download pool and the completions of the loading chain.
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/json.h"
#include "base/runtime.h"
#include "fixtures.h"
#include "service/client.h"
#include "service/listing.h"
#include "tests/server/loopback_server.h"

namespace {

struct ServiceServer {
    pid_t pid = -1;
    int stdin_fd = -1;
    std::string error;
    bool running = false;

    ~ServiceServer() { loopback_detail::stop_child(pid, stdin_fd); }

    void start() {
        std::string line = loopback_detail::spawn(
            std::string(SOLVANE_SOURCE_DIR) + "/tests/service/innertube_server.py", pid, stdin_fd,
            error);
        if (line.empty()) return;
        long port = json_long(json_get(line.c_str(), ".ports.tls"), 0);
        std::string ca = json_text(json_get(line.c_str(), ".ca"));
        if (!port || ca.empty()) {
            error = "service test server did not start: " + line;
            return;
        }
        std::string resolve;
        for (const char *host : {"www.youtube.com", "manifest.googlevideo.com", "sponsor.ajay.app"})
            resolve += std::string(resolve.empty() ? "" : ",") + host + ":443:127.0.0.1:" +
                       std::to_string(port);
        setenv("SOLVANE_RESOLVE", resolve.c_str(), 1);
        setenv("SSL_CERT_FILE", ca.c_str(), 1);
        running = true;
    }
};

ServiceServer &server() {
    static ServiceServer s;
    if (!s.running && s.error.empty()) s.start();
    return s;
}

struct Launches {
    int count = 0;
    bool hls_names = false;
    std::string segments;
    std::vector<std::string> statuses;
};

// Steps the API pool until `done` holds or ten seconds pass.
template <class Done>
bool pump(DownloadPools &pools, Done done) {
    uint32_t start = clock_ms();
    while (!done()) {
        if (clock_ms() - start > 10000) return false;
        if (!dlpool_step(pools.api_pool)) usleep(1000);
    }
    return true;
}

// The server's log of the service requests, fetched through the pool as well.
std::string service_log(ServiceClient &client) {
    static std::string body;
    static bool fetched;
    body.clear();
    fetched = false;
    DownloadRequest request;
    request.method = DL_GET_1_1;
    request.url = "https://www.youtube.com/test/service-log";
    request.on_done = [](int32_t status_class, ResponseBuffer *response, void *, const HttpStatus *) {
        if (status_class == HTTP_CLASS_SUCCESS && response) body = response_text(*response);
        fetched = true;
    };
    request_queue_append(client.pools->request_queue, request);
    pump(*client.pools, [] { return fetched; });
    return body;
}

} // namespace

TEST(service_loopback, visitor_data_then_the_whole_loading_chain) {
    const ServiceServer &s = server();
    ASSERT_TRUE(s.running) << s.error;
    DownloadPools pools;
    download_pools_init(pools);
    ServiceClient client;
    client.pools = &pools;
    client.settings.client_code = REQUEST_PLAYER_VISIONOS;
    client.settings.use_hls = true;
    client.settings.hls_quality_names = true;
    client.settings.video_format = "720p";
    client.settings.sponsorblock = true;
    Launches launches;
    client.hooks.context = &launches;
    client.hooks.status = [](void *c, const char *t) {
        static_cast<Launches *>(c)->statuses.push_back(t);
    };
    client.hooks.launch = [](void *c, bool names, const char *segments) {
        auto &l = *static_cast<Launches *>(c);
        ++l.count;
        l.hls_names = names;
        l.segments = segments ? segments : "<none>";
    };

    ASSERT_TRUE(visitor_data_refresh(client));
    ASSERT_TRUE(pump(pools, [&] { return client.visitor_data.has_value(); }));
    EXPECT_EQ(client.visitor_data.value(), "CgtaY3FJcE40cmZjMCj5iuL-BQ%3D%3D");

    ASSERT_TRUE(video_info_request(client, "K4DyBUG242c", true));
    ASSERT_TRUE(pump(pools, [&] { return launches.count > 0; }));
    // Info from the WEB response, streams from the VISIONOS response's HLS manifest ("720p" as
    // the HLS name "720": stream 95), segments from SponsorBlock.
    EXPECT_EQ(client.current_video.title.value(),
              "Cartoon - On & On (feat. Daniel Levi) | Electronic Pop | NCS - Copyright Free Music");
    EXPECT_EQ(client.current_video.duration, 208u);
    EXPECT_NE(client.streams.video_url.value_or("").find("/itag/95/"), std::string::npos);
    EXPECT_TRUE(launches.hls_names);
    EXPECT_EQ(launches.segments, fixture("sponsorblock/skipSegments_videoID_music_offtopic.json"));
    EXPECT_EQ(launches.statuses.front(), "loading videoinfo id 'K4DyBUG242c'...");
    EXPECT_EQ(launches.statuses.back(), "done");

    std::string log = service_log(client);
    const char *entries = log.c_str();
    std::vector<const char *> e;
    for (const char *x = json_first(entries); x; x = json_next(x)) e.push_back(x);
    ASSERT_EQ(e.size(), 5u) << log;
    EXPECT_EQ(json_text(json_get(e[0], ".path")), "/embed/aqz-KE-bpKQ");
    EXPECT_EQ(json_text(json_get(e[0], ".user_agent")), USER_AGENT_IOS);
    // The WEB info request: Safari user agent, no visitor header (WEB is not the client).
    EXPECT_EQ(json_text(json_get(e[1], ".method")), "POST");
    EXPECT_EQ(json_text(json_get(e[1], ".path")), "/youtubei/v1/player");
    EXPECT_EQ(json_text(json_get(e[1], ".user_agent")), USER_AGENT_WEB);
    EXPECT_FALSE(json_present(json_get(e[1], ".visitor")));
    EXPECT_EQ(json_text(json_get(e[1], ".content_type")), "application/json");
    EXPECT_EQ(json_text(json_get(e[1], ".body")), innertube_body(5, "K4DyBUG242c").value());
    // The stream request of the configured client carries the visitor data.
    EXPECT_EQ(json_text(json_get(e[2], ".body")), innertube_body(18, "K4DyBUG242c").value());
    EXPECT_EQ(json_text(json_get(e[2], ".visitor")), "CgtaY3FJcE40cmZjMCj5iuL-BQ%3D%3D");
    // The manifest is fetched as a plain GET with the default user agent and no service headers.
    EXPECT_EQ(json_text(json_get(e[3], ".path")).rfind("/api/manifest/hls_variant/", 0), 0u);
    EXPECT_EQ(json_text(json_get(e[3], ".method")), "GET");
    EXPECT_EQ(json_text(json_get(e[3], ".user_agent")), HTTP_DEFAULT_USER_AGENT);
    EXPECT_FALSE(json_present(json_get(e[3], ".content_type")));
    EXPECT_EQ(json_text(json_get(e[4], ".path")), "/api/skipSegments?videoID=K4DyBUG242c");
}

TEST(service_loopback, search_and_feed_responses_become_rows) {
    const ServiceServer &s = server();
    ASSERT_TRUE(s.running) << s.error;
    DownloadPools pools;
    download_pools_init(pools);
    ServiceClient client;
    client.pools = &pools;

    struct Result {
        int responses = 0;
        ItemList rows;
        list_info info;
    };
    static Result result;
    auto search_done = [](int32_t status_class, ResponseBuffer *response, void *,
                          const HttpStatus *) {
        if (status_class == HTTP_CLASS_SUCCESS && response)
            parse_listing(&result.rows, result.info, response_text(*response), LIST_SEARCH,
                          LISTING_ENTRY_LIMIT);
        ++result.responses;
    };
    ASSERT_TRUE(innertube_search(client, "test", 0, 0, 0, search_done));
    ASSERT_TRUE(pump(pools, [] { return result.responses == 1; }));
    // 30 videos, 15 shorts (the two Shorts shelves share five) and the "Load More" row.
    EXPECT_EQ(result.rows.size(), 46u);
    EXPECT_EQ(result.rows.first()->data->id.value(), "6GDBMbMU0ew");
    result.rows.clear();

    ItemList favourites;
    auto *playlist = new list_item;
    playlist->id = "PLav47HAVZMjnTFVZL-aImCQIC0uLZtNCz";
    favourites.append(playlist, ITEM_TAG);
    auto feed_done = [](int32_t status_class, ResponseBuffer *response, void *, const HttpStatus *) {
        if (status_class == HTTP_CLASS_SUCCESS && response)
            parse_listing(&result.rows, result.info, response_text(*response), LIST_FEED, 15);
        ++result.responses;
    };
    EXPECT_EQ(feed_request_all(client, favourites, true, feed_done), 1);
    ASSERT_TRUE(pump(pools, [] { return result.responses == 2; }));
    EXPECT_EQ(result.rows.size(), 4u);
    EXPECT_EQ(result.info.id.value(), "PLav47HAVZMjnTFVZL-aImCQIC0uLZtNCz");
    result.rows.clear();
}
