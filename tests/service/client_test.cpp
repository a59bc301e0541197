#include "service/client.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/json.h"
#include "fixtures.h"

namespace {

// Records what the chain asks of the screens and of playback.
struct Recorder {
    std::vector<std::string> statuses;
    std::vector<std::string> thumbnails;
    int info_loaded = 0;
    struct Launch {
        bool hls_names;
        std::string segments; // "<none>" without segments
    };
    std::vector<Launch> launches;
    ItemList history;
};

struct Harness {
    DownloadPools pools;
    ServiceClient client;
    Recorder rec;
    Harness() {
        download_pools_init(pools);
        client.pools = &pools;
        client.hooks.context = &rec;
        client.hooks.status = [](void *c, const char *t) {
            static_cast<Recorder *>(c)->statuses.push_back(t);
        };
        client.hooks.thumbnail = [](void *c, const list_item &v) {
            static_cast<Recorder *>(c)->thumbnails.push_back(v.thumb_url.value_or(""));
        };
        client.hooks.video_info_loaded = [](void *c) { ++static_cast<Recorder *>(c)->info_loaded; };
        client.hooks.launch = [](void *c, bool names, const char *segments) {
            static_cast<Recorder *>(c)->launches.push_back({names, segments ? segments : "<none>"});
        };
        client.hooks.add_history = [](void *c, const list_item &v) {
            history_add(static_cast<Recorder *>(c)->history, v);
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
};

// A response buffer holding exactly the bytes, full to capacity, as the pool leaves it.
ResponseBuffer response_of(const std::string &bytes) {
    ResponseBuffer r;
    r.data.reset(static_cast<char *>(std::malloc(bytes.size() ? bytes.size() : 1)));
    std::memcpy(r.data.get(), bytes.data(), bytes.size());
    r.position = r.size = r.capacity = bytes.size();
    return r;
}

} // namespace

TEST(service_client, response_text_terminates_by_growing_the_buffer) {
    ResponseBuffer r = response_of("{\"a\":1}");
    EXPECT_STREQ(response_text(r), "{\"a\":1}");
    EXPECT_EQ(r.capacity, 14u);
    ResponseBuffer empty;
    EXPECT_STREQ(response_text(empty), "");
}

TEST(service_client, requests_carry_body_url_headers_and_agent) {
    Harness h;
    h.client.settings.client_code = 9;
    h.client.settings.debug_url = true;
    ASSERT_TRUE(innertube_request(h.client, 9, "K4DyBUG242c", video_streams_done));
    ASSERT_TRUE(innertube_request(h.client, 101, "PL123", video_info_done));
    EXPECT_FALSE(innertube_request(h.client, 107, "PL123", video_info_done));
    auto q = h.queued();
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[0]->method, uint32_t(DL_POST_1_0));
    EXPECT_EQ(q[0]->url.value(), "https://www.youtube.com/youtubei/v1/player");
    EXPECT_EQ(q[0]->body.value(), innertube_body(9, "K4DyBUG242c").value());
    EXPECT_STREQ(q[0]->user_agent, "com.google.android.youtube/20.10.38 (Linux; U; Android 11)");
    EXPECT_EQ(q[0]->extra_headers.value(), "content-type: application/json\r\n");
    EXPECT_EQ(q[0]->verbose, 1);
    EXPECT_EQ(q[0]->context, &h.client);
    EXPECT_EQ(q[0]->on_done, &video_streams_done);
    EXPECT_EQ(json_text(json_get(q[1]->body->c_str(), ".browseId")), "VLPL123");
    EXPECT_STREQ(q[1]->user_agent, USER_AGENT_IOS);
    EXPECT_EQ(requests_waiting(h.pools.request_queue, video_info_done), 1u);

    ASSERT_TRUE(innertube_search(h.client, "a b", 2, 0, 0, video_info_done));
    DownloadRequest *search = h.queued().back();
    EXPECT_EQ(search->url.value(), "https://www.youtube.com/youtubei/v1/search");
    EXPECT_NE(search->body->find("\"params\":\"CAASAhAC\""), std::string::npos);
    EXPECT_EQ(search->extra_headers.value(), "content-type: application/json\r\n");
    EXPECT_STREQ(search->user_agent, USER_AGENT_IOS);
}

TEST(service_client, visitor_data_refresh_and_header) {
    Harness h;
    h.client.settings.client_code = 18;
    ASSERT_TRUE(visitor_data_refresh(h.client));
    DownloadRequest *get = h.queued().at(0);
    EXPECT_EQ(get->method, uint32_t(DL_GET_1_0));
    EXPECT_EQ(get->url.value(), "https://www.youtube.com/embed/aqz-KE-bpKQ");
    EXPECT_STREQ(get->user_agent, USER_AGENT_IOS);
    EXPECT_FALSE(get->body);

    // A failed download keeps the old value (none).
    visitor_data_done(HTTP_CLASS_ERROR, nullptr, &h.client, nullptr);
    EXPECT_FALSE(h.client.visitor_data);
    ResponseBuffer page = response_of(fixture("embed/embed_2020-12_aqz-KE-bpKQ.html"));
    visitor_data_done(HTTP_CLASS_SUCCESS, &page, &h.client, nullptr);
    EXPECT_EQ(h.client.visitor_data.value(), "CgtaY3FJcE40cmZjMCj5iuL-BQ%3D%3D");
    // A page without visitor data keeps it too.
    ResponseBuffer other = response_of("<html></html>");
    visitor_data_done(HTTP_CLASS_SUCCESS, &other, &h.client, nullptr);
    EXPECT_EQ(h.client.visitor_data.value(), "CgtaY3FJcE40cmZjMCj5iuL-BQ%3D%3D");

    innertube_request(h.client, 18, "v", video_streams_done);
    innertube_request(h.client, 5, "v", video_info_done);
    innertube_request(h.client, 103, "v", video_info_done);
    auto q = h.queued();
    ASSERT_EQ(q.size(), 4u);
    EXPECT_EQ(q[1]->extra_headers.value(),
              "content-type: application/json\r\nX-Goog-Visitor-Id: CgtaY3FJcE40cmZjMCj5iuL-BQ%3D%3D\r\n");
    EXPECT_EQ(q[2]->extra_headers.value(), "content-type: application/json\r\n");
    EXPECT_EQ(q[3]->extra_headers.value(), "content-type: application/json\r\n");
}

TEST(service_client, loading_chain_with_separate_streams) {
    Harness h;
    h.client.settings.client_code = 15;
    ASSERT_TRUE(video_info_request(h.client, "M4gD1WSo5mA", true));
    EXPECT_EQ(h.rec.statuses.at(0), "loading videoinfo id 'M4gD1WSo5mA'...");
    EXPECT_EQ(h.rec.thumbnails.at(0), "https://i.ytimg.com/vi/M4gD1WSo5mA/mqdefault.jpg");
    DownloadRequest *info = h.queued().at(0);
    EXPECT_STREQ(info->user_agent, USER_AGENT_WEB);
    EXPECT_EQ(json_text(json_get(info->body->c_str(), ".context.client.clientName")), "WEB");

    // The WEB info response fills the record, then the stream request goes with the IOS profile.
    ResponseBuffer web = response_of(fixture("player/player_web_2023-12_K4DyBUG242c_signatureCipher.json"));
    video_info_done(HTTP_CLASS_SUCCESS, &web, &h.client, nullptr);
    EXPECT_EQ(h.rec.info_loaded, 1);
    EXPECT_EQ(h.client.current_video.duration, 208u);
    EXPECT_EQ(h.rec.statuses.back(), "loading video url...");
    DownloadRequest *streams = h.queued().at(1);
    EXPECT_EQ(streams->on_done, &video_streams_done);
    EXPECT_EQ(json_text(json_get(streams->body->c_str(), ".context.client.clientName")), "IOS");
    EXPECT_EQ(json_text(json_get(streams->body->c_str(), ".videoId")), "K4DyBUG242c");
    EXPECT_STREQ(streams->user_agent, USER_AGENT_IOS);

    // Without HLS and with a duration the launch follows at once; the video enters the history.
    ResponseBuffer ios = response_of(fixture("player/player_ios_2024-11_M4gD1WSo5mA.json"));
    video_streams_done(HTTP_CLASS_SUCCESS, &ios, &h.client, nullptr);
    ASSERT_EQ(h.rec.launches.size(), 1u);
    EXPECT_EQ(h.rec.launches[0].segments, "<none>");
    EXPECT_NE(h.client.streams.audio_url->find("itag=140"), std::string::npos);
    EXPECT_EQ(h.direct(), nullptr);
    ASSERT_EQ(h.rec.history.size(), 1u);
    EXPECT_EQ(h.rec.history.first()->data->length_text.value(), "3:28");
}

TEST(service_client, loading_chain_through_the_hls_manifest) {
    Harness h;
    h.client.settings.client_code = 18;
    h.client.settings.use_hls = true;
    h.client.settings.hls_quality_names = true;
    h.client.settings.video_format = "720p";
    ResponseBuffer vos = response_of(fixture("player/player_visionos_2026-06_M4gD1WSo5mA.json"));
    video_streams_done(HTTP_CLASS_SUCCESS, &vos, &h.client, nullptr);
    EXPECT_EQ(h.rec.statuses.back(), "loading hls manifest...");
    DownloadRequest *manifest = h.direct();
    ASSERT_NE(manifest, nullptr);
    EXPECT_EQ(manifest->url, h.client.streams.hls_url);
    EXPECT_EQ(manifest->method, uint32_t(DL_GET_1_0));
    EXPECT_EQ(manifest->user_agent, nullptr);
    EXPECT_FALSE(manifest->extra_headers);
    EXPECT_TRUE(h.rec.launches.empty());

    // "720p" is chosen by its HLS name "720", the muxed 22 (stream 95).
    ResponseBuffer master = response_of(fixture("hls/hls_live_master_2020-12_5qap5aO4i9A.m3u8"));
    hls_manifest_done(HTTP_CLASS_SUCCESS, &master, &h.client, nullptr);
    EXPECT_NE(h.client.streams.video_url->find("/itag/95/"), std::string::npos);
    ASSERT_EQ(h.rec.launches.size(), 1u);
    EXPECT_TRUE(h.rec.launches[0].hls_names);

    // A failed manifest download ends the chain.
    hls_manifest_done(HTTP_CLASS_ERROR, nullptr, &h.client, nullptr);
    EXPECT_EQ(h.rec.launches.size(), 1u);
}

TEST(service_client, a_failed_step_ends_the_chain_and_says_why) {
    Harness h;
    ASSERT_TRUE(video_info_request(h.client, "M4gD1WSo5mA", true));
    ResponseBuffer empty = response_of("");
    video_info_done(HTTP_CLASS_ERROR, &empty, &h.client, &http_status_lookup(403));
    EXPECT_EQ(h.rec.statuses.back(), "loading video info failed (403 Forbidden)");
    EXPECT_EQ(h.rec.info_loaded, 0);
    EXPECT_EQ(h.queued().size(), 1u); // no stream request follows

    // The next info alone (no play asked for) does not play because of the failed request.
    ResponseBuffer web = response_of(fixture("player/player_web_2023-12_K4DyBUG242c_signatureCipher.json"));
    video_info_done(HTTP_CLASS_SUCCESS, &web, &h.client, nullptr);
    EXPECT_EQ(h.rec.statuses.back(), "done");
    EXPECT_EQ(h.queued().size(), 1u);

    video_streams_done(HTTP_CLASS_INTERNAL, nullptr, &h.client, &http_status_lookup(-10));
    EXPECT_EQ(h.rec.statuses.back(), "loading video url failed (no response)");
    hls_manifest_done(HTTP_CLASS_ERROR, nullptr, &h.client, &http_status_lookup(404));
    EXPECT_EQ(h.rec.statuses.back(), "loading hls manifest failed (404 Not Found)");
    EXPECT_TRUE(h.rec.launches.empty());
    EXPECT_TRUE(h.rec.history.empty());
}

TEST(service_client, ytdl_fallback_sends_no_stream_request) {
    Harness h;
    h.client.settings.ytdl_fallback = true;
    h.client.current_video.id = "M4gD1WSo5mA";
    video_play(h.client);
    EXPECT_TRUE(h.queued().empty());
    EXPECT_EQ(h.rec.launches.size(), 1u);
}

TEST(service_client, sponsorblock_segments) {
    Harness h;
    h.client.settings.sponsorblock = true;
    h.client.settings.sponsorblock_params = "&category=sponsor";
    h.client.current_video.id = "fy9jO8JHaPo";
    h.client.current_video.duration = 1399;
    sponsorblock_and_launch(h.client);
    DownloadRequest *get = h.direct();
    ASSERT_NE(get, nullptr);
    EXPECT_EQ(get->url.value(),
              "https://sponsor.ajay.app/api/skipSegments?videoID=fy9jO8JHaPo&category=sponsor");
    EXPECT_EQ(h.rec.statuses.back(), "loading sponsorblock segments...");
    EXPECT_TRUE(h.rec.launches.empty());
    std::string body = fixture("sponsorblock/skipSegments_videoID_music_offtopic.json");
    ResponseBuffer segments = response_of(body);
    sponsorblock_done(HTTP_CLASS_SUCCESS, &segments, &h.client, nullptr);
    ASSERT_EQ(h.rec.launches.size(), 1u);
    EXPECT_EQ(h.rec.launches[0].segments, body);
    EXPECT_FALSE(h.client.sponsorblock_segments);
    sponsorblock_done(HTTP_CLASS_ERROR, nullptr, &h.client, nullptr);
    EXPECT_EQ(h.rec.launches.back().segments, "<none>");

    // A live stream (no duration) makes no request.
    Harness live;
    live.client.settings.sponsorblock = true;
    live.client.current_video.id = "jfKfPfyJRdk";
    sponsorblock_and_launch(live.client);
    EXPECT_EQ(live.direct(), nullptr);
    EXPECT_EQ(live.rec.launches.size(), 1u);
}

TEST(service_client, full_pool_queues_the_play_request) {
    Harness h;
    h.client.settings.sponsorblock = true;
    h.client.current_video.id = "fy9jO8JHaPo";
    h.client.current_video.duration = 1399;
    // Fill every slot of the API pool.
    for (int i = 0; i < API_POOL_SLOTS; ++i) {
        DownloadRequest busy;
        busy.method = DL_GET_1_0;
        busy.url = "https://www.youtube.com/busy" + std::to_string(i);
        ASSERT_TRUE(dlpool_add(h.pools.api_pool, busy));
    }
    DownloadRequest waiting;
    waiting.method = DL_GET_1_0;
    waiting.url = "https://www.youtube.com/waiting";
    ASSERT_TRUE(request_queue_append(h.pools.request_queue, waiting));
    sponsorblock_and_launch(h.client);
    // Not launched without segments and not dropped: served next when a slot frees.
    EXPECT_TRUE(h.rec.launches.empty());
    auto queued = h.queued();
    ASSERT_EQ(queued.size(), 2u);
    EXPECT_EQ(queued[0]->url.value(), "https://sponsor.ajay.app/api/skipSegments?videoID=fy9jO8JHaPo");
    EXPECT_EQ(queued[0]->on_done, sponsorblock_done);
}

TEST(service_client, history_lists_a_video_once_at_the_front) {
    ItemList history;
    list_item a, b;
    a.id = "a";
    a.views_text = "12 views";
    a.duration = 3725;
    a.flags = 1;
    b.id = "b";
    b.duration = 59;
    history_add(history, a);
    history_add(history, b);
    history_add(history, a);
    ASSERT_EQ(history.size(), 2u);
    list_item *front = history.first()->data;
    EXPECT_EQ(front->id.value(), "a");
    EXPECT_EQ(front->length_text.value(), "1:02:05");
    EXPECT_EQ(front->views_text.value(), "");
    EXPECT_EQ(front->published_text.value(), "");
    EXPECT_EQ(front->flags, 0u);
    EXPECT_EQ(history.last()->data->length_text.value(), "0:59");
}

TEST(service_client, feed_requests_per_favourite) {
    Harness h;
    ItemList favourites;
    for (const char *id : {"PLav47HAVZMjnTFVZL-aImCQIC0uLZtNCz", "UUsXVk37bltHxD1rDPwtNM8Q"}) {
        auto *item = new list_item;
        item->id = id;
        favourites.append(item, ITEM_TAG);
    }
    favourites.append(new list_item, ITEM_TAG); // no id: no request
    EXPECT_EQ(feed_request_all(h.client, favourites, true, video_info_done), 2);
    auto q = h.queued();
    EXPECT_EQ(q[0]->url.value(),
              "https://www.youtube.com/feeds/videos.xml?playlist_id=PLav47HAVZMjnTFVZL-aImCQIC0uLZtNCz");
    EXPECT_EQ(q[0]->method, uint32_t(DL_GET_1_0));
    EXPECT_STREQ(q[0]->user_agent, USER_AGENT_IOS);
    EXPECT_EQ(feed_request_all(h.client, favourites, false, video_info_done), 2);
    EXPECT_EQ(json_text(json_get(h.queued().back()->body->c_str(), ".browseId")),
              "VLUUsXVk37bltHxD1rDPwtNM8Q");
    EXPECT_EQ(requests_waiting(h.pools.request_queue, video_info_done), 4u);
}
