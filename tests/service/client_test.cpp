#include "service/client.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/json.h"
#include "fixtures.h"

namespace {

const std::string WEB = "player/player_web_2023-12_K4DyBUG242c_signatureCipher.json";
const std::string IOS = "player/player_ios_2024-11_M4gD1WSo5mA.json";

// A client on real pools whose requests are answered by hand.
struct Harness {
    DownloadPools pools;
    ServiceClient client;
    std::vector<std::string> statuses, thumbnails;
    std::vector<std::string> launches; // the segments of each launch, "<none>" without
    int info_loaded = 0;
    ItemList history;
    Harness() {
        download_pools_init(pools);
        client.pools = &pools;
        client.hooks.context = this;
        client.hooks.status = [](void *h, const char *t) { static_cast<Harness *>(h)->statuses.push_back(t); };
        client.hooks.thumbnail = [](void *h, const list_item &v) {
            static_cast<Harness *>(h)->thumbnails.push_back(v.thumb_url.value_or(""));
        };
        client.hooks.video_info_loaded = [](void *h) { ++static_cast<Harness *>(h)->info_loaded; };
        client.hooks.launch = [](void *h, bool, const char *segments) {
            static_cast<Harness *>(h)->launches.push_back(segments ? segments : "<none>");
        };
        client.hooks.add_history = [](void *h, const list_item &v) {
            history_add(static_cast<Harness *>(h)->history, v);
        };
    }
    std::vector<DownloadRequest *> queued() {
        std::vector<DownloadRequest *> out;
        for (DownloadRequest *r : pools.request_queue) out.push_back(r);
        return out;
    }
    // The download handed straight to the API pool, or nullptr.
    DownloadRequest *direct() {
        for (DownloadSlot &slot : pools.api_pool.slots)
            if (slot.request.url) return &slot.request;
        return nullptr;
    }
    // Requests not answered yet: the queue's, then the API pool's.
    std::vector<DownloadRequest *> pending() {
        std::vector<DownloadRequest *> out;
        for (DownloadRequest *r : pools.request_queue)
            if (r->on_done) out.push_back(r);
        for (DownloadSlot &slot : pools.api_pool.slots)
            if (slot.request.url && slot.request.on_done) out.push_back(&slot.request);
        return out;
    }
    // Completes `r` with `body`, or as failed with HTTP status `code`.
    void answer(DownloadRequest *r, const std::string &body, int code = 200) {
        ASSERT_NE(r, nullptr);
        DownloadDone done = r->on_done;
        void *context = r->context;
        r->on_done = nullptr;
        for (DownloadSlot &slot : pools.api_pool.slots)
            if (&slot.request == r) slot.request.url.reset();
        ResponseBuffer b = response_of(body);
        if (code == 200) done(HTTP_CLASS_SUCCESS, &b, context, nullptr);
        else done(HTTP_CLASS_ERROR, &b, context, &http_status_lookup(code));
    }
};

} // namespace

TEST(service_client, requests_queued_for_player_listing_search_and_feeds) {
    Harness h;
    h.client.settings.client_code = 9;
    ASSERT_TRUE(innertube_request(h.client, 9, "K4DyBUG242c", video_streams_done));
    ASSERT_TRUE(innertube_request(h.client, 101, "PL123", video_info_done));
    EXPECT_FALSE(innertube_request(h.client, 107, "PL123", video_info_done));
    ASSERT_TRUE(innertube_search(h.client, "a b", 2, 0, 0, video_info_done));
    // (The loopback and innertube tests check what the requests carry.)
    auto q = h.queued();
    ASSERT_EQ(q.size(), 3u);
    EXPECT_STREQ(q[1]->user_agent, USER_AGENT_IOS);
    EXPECT_NE(q[2]->body->find("\"params\":\"CAASAhAC\""), std::string::npos);
    EXPECT_EQ(requests_waiting(h.pools.request_queue, video_info_done), 2u);

    // Feeds: an RSS GET per favourite with an id, or a browse request of its playlist.
    ItemList favourites;
    for (const char *id : {"PLav47HAVZMjnTFVZL-aImCQIC0uLZtNCz", "UUsXVk37bltHxD1rDPwtNM8Q", ""}) {
        favourites.append(new list_item, ITEM_TAG);
        if (*id) favourites.last()->data->id = id;
    }
    EXPECT_EQ(feed_request_all(h.client, favourites, true, video_info_done), 2);
    EXPECT_EQ(h.queued()[3]->url.value(),
              "https://www.youtube.com/feeds/videos.xml?playlist_id=PLav47HAVZMjnTFVZL-aImCQIC0uLZtNCz");
    EXPECT_EQ(h.queued()[3]->method, uint32_t(DL_GET_1_0));
    EXPECT_EQ(feed_request_all(h.client, favourites, false, video_info_done), 2);
    EXPECT_EQ(json_text(json_get(h.queued().back()->body->c_str(), ".browseId")), "VLUUsXVk37bltHxD1rDPwtNM8Q");

    // Visitor data: a failed download or a page without it keeps the value there was.
    h.client.visitor_data = "kept";
    visitor_data_done(HTTP_CLASS_ERROR, nullptr, &h.client, nullptr);
    ResponseBuffer other = response_of("<html></html>");
    visitor_data_done(HTTP_CLASS_SUCCESS, &other, &h.client, nullptr);
    EXPECT_EQ(h.client.visitor_data.value(), "kept");
}

TEST(service_client, a_failed_step_ends_the_chain_and_says_why) {
    Harness h;
    h.client.settings.instant_play = false;
    ASSERT_TRUE(video_info_request(h.client, "M4gD1WSo5mA", true));
    h.answer(h.queued().at(0), "", 403);
    EXPECT_EQ(h.statuses.back(), "loading video info failed (403 Forbidden)");
    EXPECT_EQ(h.info_loaded, 0);
    EXPECT_TRUE(h.pending().empty()); // no stream request follows

    // The next info alone (no play asked for) does not play because of the failed request.
    ResponseBuffer web = response_of(fixture(WEB));
    video_info_done(HTTP_CLASS_SUCCESS, &web, &h.client, nullptr);
    EXPECT_EQ(h.statuses.back(), "done");
    EXPECT_TRUE(h.pending().empty());

    video_play(h.client);
    h.answer(h.pending().back(), "", 404);
    EXPECT_EQ(h.statuses.back(), "loading video url failed (404 Not Found)");

    // A manifest outside the service's hosts is not fetched.
    h.client.settings.use_hls = true;
    video_play(h.client);
    h.answer(h.pending().back(), R"({"streamingData":{"hlsManifestUrl":"file:///etc/passwd"}})");
    EXPECT_EQ(h.statuses.back(), "play failed: manifest URL refused (scheme file, host none)");
    EXPECT_EQ(h.direct(), nullptr);

    video_play(h.client);
    h.answer(h.pending().back(), fixture("player/player_visionos_2026-06_M4gD1WSo5mA.json"));
    EXPECT_EQ(h.statuses.back(), "loading hls manifest...");
    h.answer(h.direct(), "", 404);
    EXPECT_EQ(h.statuses.back(), "loading hls manifest failed (404 Not Found)");
    EXPECT_TRUE(h.launches.empty());
    EXPECT_TRUE(h.history.empty());
}

TEST(service_client, sponsorblock_segments_before_the_launch) {
    Harness h;
    h.client.settings.sponsorblock = true;
    h.client.settings.sponsorblock_params = "&category=sponsor";
    h.client.current_video.id = "fy9jO8JHaPo";
    h.client.current_video.duration = 1399;
    sponsorblock_and_launch(h.client);
    DownloadRequest *get = h.direct();
    ASSERT_NE(get, nullptr);
    EXPECT_EQ(get->url.value(), "https://sponsor.ajay.app/api/skipSegments?videoID=fy9jO8JHaPo&category=sponsor");
    EXPECT_TRUE(h.launches.empty());
    h.answer(get, "", 503); // a failed look-up still plays, without segments
    EXPECT_EQ(h.launches, std::vector<std::string>{"<none>"});

    // With every slot of the API pool busy the look-up is queued first, not dropped.
    DownloadRequest busy;
    for (int i = 0; i < API_POOL_SLOTS; ++i) {
        busy.url = "https://www.youtube.com/busy" + std::to_string(i);
        ASSERT_TRUE(dlpool_add(h.pools.api_pool, busy));
    }
    ASSERT_TRUE(request_queue_append(h.pools.request_queue, busy)); // already waiting
    sponsorblock_and_launch(h.client);
    EXPECT_EQ(h.launches.size(), 1u);
    ASSERT_EQ(h.queued().size(), 2u);
    EXPECT_EQ(h.queued()[0]->on_done, sponsorblock_done);

    // A live stream (no duration) makes no request.
    Harness live;
    live.client.settings.sponsorblock = true;
    live.client.current_video.id = "jfKfPfyJRdk";
    sponsorblock_and_launch(live.client);
    EXPECT_EQ(live.direct(), nullptr);
    EXPECT_EQ(live.launches.size(), 1u);

    // With the ytdl fallback, play sends no stream request either.
    Harness ytdl;
    ytdl.client.settings.ytdl_fallback = true;
    ytdl.client.current_video.id = "M4gD1WSo5mA";
    video_play(ytdl.client);
    EXPECT_TRUE(ytdl.queued().empty());
    EXPECT_EQ(ytdl.launches.size(), 1u);
}

// Instant play: resolved on open, played with no request until the streams expire.
TEST(service_client, instant_play_resolves_on_open_and_plays_with_no_request) {
    Harness h;
    h.client.settings.client_code = REQUEST_PLAYER_IOS;
    h.client.settings.sponsorblock = true;
    // The IOS response's stream URLs expire at 1731283070 (and 1731286670).
    static int64_t now = 1731282000;
    h.client.now = [] { return now; };
    const std::string web = fixture(WEB), ios = fixture(IOS);
    const std::string segments = fixture("sponsorblock/skipSegments_videoID_music_offtopic.json");
    auto info_of = [&](const std::string &id) {
        std::string text = web;
        for (size_t at = text.find("K4DyBUG242c"); at != std::string::npos;
             at = text.find("K4DyBUG242c", at))
            text.replace(at, 11, id);
        return text;
    };
    auto open = [&](const std::string &id) {
        ASSERT_TRUE(video_info_request(h.client, id, false));
        h.answer(h.pending().back(), info_of(id));
    };
    auto stream_request_of = [&](const std::string &id) {
        DownloadRequest *r = h.pending().empty() ? nullptr : h.pending().back();
        bool ok = r && r->on_done == video_streams_done && r->body == innertube_body(15, id);
        return ok ? r : nullptr;
    };
    // Answers the stream request of `id` with `body`, then the segments look-up.
    auto resolve = [&](const std::string &id, const std::string &body) {
        h.answer(stream_request_of(id), body);
        h.answer(h.direct(), segments);
    };

    // Open: after the details, the stream request and SponsorBlock run in the background.
    open("AAAAAAAAAAA");
    EXPECT_EQ(h.thumbnails.at(0), "https://i.ytimg.com/vi/AAAAAAAAAAA/mqdefault.jpg");
    EXPECT_EQ(h.info_loaded, 1);
    EXPECT_EQ(h.statuses.back(), "done"); // the background chain stays quiet
    resolve("AAAAAAAAAAA", ios);
    EXPECT_EQ(h.statuses.back(), "ready to play");
    EXPECT_TRUE(h.launches.empty());

    // Play: at once, with no request, with the segments fetched before.
    video_play(h.client);
    EXPECT_TRUE(h.pending().empty());
    ASSERT_EQ(h.launches.size(), 1u);
    EXPECT_EQ(h.launches[0], segments);
    EXPECT_NE(h.client.streams.audio_url->find("itag=140"), std::string::npos);
    EXPECT_EQ(h.history.first()->data->id, "AAAAAAAAAAA");
    EXPECT_EQ(h.history.first()->data->length_text.value(), "3:28");

    // The player could not open it: the chain runs afresh once, and plays when it is done.
    EXPECT_TRUE(video_open_failed(h.client, "AAAAAAAAAAA"));
    resolve("AAAAAAAAAAA", ios);
    EXPECT_EQ(h.launches.size(), 2u);
    EXPECT_FALSE(video_open_failed(h.client, "AAAAAAAAAAA")); // the second failure is reported

    // Play while the chain runs: the play joins it; one launch when it is done.
    open("BBBBBBBBBBB");
    video_play(h.client);
    EXPECT_EQ(h.pending().size(), 1u);
    EXPECT_EQ(h.statuses.back(), "loading video url...");
    resolve("BBBBBBBBBBB", ios);
    ASSERT_EQ(h.launches.size(), 3u);
    EXPECT_EQ(h.client.launched_id, "BBBBBBBBBBB");
    EXPECT_FALSE(h.client.launched_instantly);

    // 8 minutes on, the streams expire within the 10-minute margin: resolved again.
    now += 8 * 60;
    video_play(h.client);
    resolve("BBBBBBBBBBB", ios);
    EXPECT_EQ(h.launches.size(), 4u);

    // Streams without `expire` stay usable for 30 minutes after they were resolved.
    const std::string lasting = R"({"streamingData":{"adaptiveFormats":[
        {"itag":137,"url":"https://rr1---sn-a.googlevideo.com/videoplayback?itag=137"},
        {"itag":140,"url":"https://rr1---sn-a.googlevideo.com/videoplayback?itag=140"}]}})";
    open("CCCCCCCCCCC");
    resolve("CCCCCCCCCCC", lasting);
    now += 29 * 60;
    video_play(h.client);
    EXPECT_TRUE(h.pending().empty());
    EXPECT_EQ(h.launches.size(), 5u);
    now += 2 * 60;
    video_play(h.client);
    resolve("CCCCCCCCCCC", lasting);
    EXPECT_EQ(h.launches.size(), 6u);

    // A background chain that fails says nothing; Play then runs the chain as without it.
    open("DDDDDDDDDDD");
    h.answer(stream_request_of("DDDDDDDDDDD"), "", 403);
    EXPECT_EQ(h.statuses.back(), "done");
    video_play(h.client);
    resolve("DDDDDDDDDDD", lasting);
    EXPECT_EQ(h.launches.size(), 7u);
    EXPECT_EQ(h.client.launched_id, "DDDDDDDDDDD");

    // Three results are kept: the most recent ones.
    for (const char *id : {"EEEEEEEEEEE", "FFFFFFFFFFF"}) open(id), resolve(id, lasting);
    EXPECT_EQ(resolved_find(h.client, "CCCCCCCCCCC"), nullptr);
    for (const char *id : {"DDDDDDDDDDD", "EEEEEEEEEEE", "FFFFFFFFFFF"}) {
        ResolvedVideo *kept = resolved_find(h.client, id);
        EXPECT_TRUE(kept && resolved_fresh(h.client, *kept)) << id;
    }
    EXPECT_TRUE(video_play_resolved(h.client, "DDDDDDDDDDD"));
    EXPECT_EQ(h.client.current_video.id, "DDDDDDDDDDD"); // the details of the played video
    EXPECT_EQ(h.launches.size(), 8u);
    EXPECT_TRUE(h.pending().empty());

    // A play that joined a background chain which then fails runs the chain afresh once.
    open("HHHHHHHHHHH");
    DownloadRequest *streams = stream_request_of("HHHHHHHHHHH");
    video_play(h.client);
    h.answer(streams, "", 403);
    EXPECT_EQ(h.statuses.back(), "loading video url...");
    resolve("HHHHHHHHHHH", lasting);
    EXPECT_EQ(h.launches.size(), 9u);
    EXPECT_EQ(h.client.launched_id, "HHHHHHHHHHH");

    // Switched off: opening a video requests nothing more than its details.
    h.client.settings.instant_play = false;
    open("GGGGGGGGGGG");
    EXPECT_TRUE(h.pending().empty());
    EXPECT_FALSE(video_play_resolved(h.client, "FFFFFFFFFFF"));
}
