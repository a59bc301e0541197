#include "service/client.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/runtime.h"

namespace {

void show_status(ServiceClient &client, const char *text) {
    if (client.hooks.status) client.hooks.status(client.hooks.context, text);
}

bool queue(ServiceClient &client, const DownloadRequest &request) {
    if (!client.pools) return false;
    return request_queue_append(client.pools->request_queue, request);
}

// A GET handed straight to the API pool (manifests and SponsorBlock segments). When the pool is
// full the request goes to the front of the request queue instead, so the user's play request
// still runs as soon as a slot frees.
bool fetch_direct(ServiceClient &client, std::string url, DownloadDone completion) {
    if (!client.pools) return false;
    DownloadRequest request;
    request.method = DL_GET_1_0;
    request.verbose = 0;
    request.url = std::move(url);
    request.context = &client;
    request.on_done = completion;
    if (dlpool_add(client.pools->api_pool, request)) return true;
    return request_queue_push(client.pools->request_queue, request);
}

} // namespace

std::string failure_text(const char *what, const HttpStatus *status) {
    if (status && status->detail) return status->detail;
    std::string text = std::string(what) + " failed";
    if (status && status->code >= 100) {
        auto detail = str_printf(" (%d %s)", status->code, status->text ? status->text : "");
        if (detail) text += *detail;
    } else {
        text += " (no response)";
    }
    return text;
}

const char *response_text(ResponseBuffer &response) {
    if (!response.data) return "";
    if (response.position >= response.capacity) {
        uint64_t capacity = response.capacity ? response.capacity * 2 : 64;
        while (capacity <= response.position) capacity *= 2;
        char *grown = static_cast<char *>(sol_realloc_memory(response.data.release(), capacity));
        response.data.reset(grown);
        response.capacity = capacity;
    }
    response.data[response.position] = '\0';
    return response.data.get();
}

bool innertube_request(ServiceClient &client, int32_t code, std::string_view value,
                       DownloadDone completion, DownloadPriority priority) {
    std::optional<std::string> body = innertube_body(code, value);
    std::optional<std::string> url = service_url(value, code);
    if (!body || !url) return false;
    DownloadRequest request;
    request.method = DL_POST_1_0;
    request.body = std::move(body);
    request.url = std::move(url);
    request.extra_headers = innertube_headers(code, client.settings.client_code, client.visitor_data);
    request.user_agent = user_agent_for(code);
    request.verbose = client.settings.debug_url ? 1 : 0;
    request.context = &client;
    request.on_done = completion;
    request.priority = priority;
    return queue(client, request);
}

bool innertube_search(ServiceClient &client, std::string_view query, int type, int live, int sort,
                      DownloadDone completion) {
    DownloadRequest request;
    request.method = DL_POST_1_0;
    request.body = innertube_search_body(query, type, live, sort);
    request.url = innertube_search_url();
    request.extra_headers = std::string(JSON_CONTENT_TYPE);
    request.user_agent = user_agent_for(REQUEST_SEARCH_CONTINUATION);
    request.verbose = client.settings.debug_url ? 1 : 0;
    request.context = &client;
    request.on_done = completion;
    return queue(client, request);
}

bool visitor_data_refresh(ServiceClient &client) {
    DownloadRequest request;
    request.method = DL_GET_1_0;
    request.url = service_url(VISITOR_VIDEO_ID, REQUEST_EMBED_PAGE);
    request.user_agent = user_agent_for(client.settings.client_code);
    request.verbose = client.settings.debug_url ? 1 : 0;
    request.context = &client;
    request.on_done = visitor_data_done;
    return queue(client, request);
}

void visitor_data_done(int32_t status_class, ResponseBuffer *response, void *context,
                       const HttpStatus *) {
    auto &client = *static_cast<ServiceClient *>(context);
    Text visitor;
    if (status_class == HTTP_CLASS_SUCCESS && response)
        visitor = visitor_data_extract(response_text(*response));
    if (!visitor) {
        std::fprintf(stderr, "failed to get visitor info, videos may not play properly!\n");
        return;
    }
    client.visitor_data = std::move(visitor);
    if (client.settings.debug_url)
        std::fprintf(stderr, "visitor info updated: %s\n", client.visitor_data->c_str());
}

int feed_request_all(ServiceClient &client, ItemList &favourites, bool rss,
                     DownloadDone completion) {
    int queued = 0;
    for (list_item *item : favourites) {
        if (!item->id) continue;
        if (rss) {
            DownloadRequest request;
            request.method = DL_GET_1_0;
            request.url = service_url(*item->id, REQUEST_FEED_RSS);
            request.user_agent = USER_AGENT_IOS;
            request.verbose = client.settings.debug_url ? 1 : 0;
            request.context = &client;
            request.on_done = completion;
            request.priority = DL_PRIORITY_BULK;
            queued += queue(client, request);
        } else {
            queued += innertube_request(client, REQUEST_BROWSE_PLAYLIST, *item->id, completion,
                                        DL_PRIORITY_BULK);
        }
    }
    return queued;
}

uint32_t requests_waiting(const RequestQueue &queue, DownloadDone completion) {
    uint32_t waiting = 0;
    for (DownloadRequest *request : const_cast<RequestQueue &>(queue))
        if (request->on_done == completion) ++waiting;
    return waiting;
}

uint32_t downloads_running(const dlpool &pool, DownloadDone completion,
                           const ResponseBuffer *finishing) {
    uint32_t running = 0;
    for (int32_t i = 0; i < std::min(pool.slot_count, DLPOOL_MAX_SLOTS); ++i) {
        const DownloadSlot &slot = pool.slots[i];
        if (slot.request.url && slot.request.on_done == completion &&
            &slot.connection.response != finishing)
            ++running;
    }
    return running;
}

bool video_info_request(ServiceClient &client, const std::string &video_id, bool play) {
    client.play_after_info = play;
    std::string status = "loading videoinfo id '" + video_id + "'...";
    show_status(client, status.c_str());
    if (client.hooks.thumbnail) {
        list_item preview;
        preview.kind = ITEM_VIDEO;
        preview.id = video_id;
        preview.thumb_url = std::string("https://") + THUMBNAIL_HOST + "/vi/" + video_id +
                            "/mqdefault.jpg";
        client.hooks.thumbnail(client.hooks.context, preview);
    }
    return innertube_request(client, REQUEST_PLAYER_WEB, video_id, video_info_done);
}

void video_info_done(int32_t status_class, ResponseBuffer *response, void *context,
                     const HttpStatus *status) {
    auto &client = *static_cast<ServiceClient *>(context);
    if (status_class != HTTP_CLASS_SUCCESS || !response) {
        client.play_after_info = false;
        show_status(client, failure_text("loading video info", status).c_str());
        return;
    }
    show_status(client, "done");
    const ServiceSettings &s = client.settings;
    list_item_clear(client.current_video);
    parse_player(client.current_video, client.streams, response_text(*response),
                 REQUEST_PLAYER_WEB, s.video_format.c_str(), s.sub_format.c_str(),
                 s.sub_language.c_str(), s.allow_hdr, s.all_codecs);
    if (client.hooks.video_info_loaded) client.hooks.video_info_loaded(client.hooks.context);
    if (client.play_after_info) {
        client.play_after_info = false;
        video_play(client);
    }
}

void video_play(ServiceClient &client) {
    if (client.settings.ytdl_fallback) {
        sponsorblock_and_launch(client);
        return;
    }
    const std::string id = client.current_video.id.value_or("");
    std::fprintf(stderr, "refresh video info id %s\n", id.c_str());
    show_status(client, "loading video url...");
    innertube_request(client, client.settings.client_code, id, video_streams_done);
}

void video_streams_done(int32_t status_class, ResponseBuffer *response, void *context,
                        const HttpStatus *status) {
    auto &client = *static_cast<ServiceClient *>(context);
    if (status_class != HTTP_CLASS_SUCCESS || !response) {
        show_status(client, failure_text("loading video url", status).c_str());
        return;
    }
    show_status(client, "done");
    const ServiceSettings &s = client.settings;
    parse_player(client.current_video, client.streams, response_text(*response), s.client_code,
                 s.video_format.c_str(), s.sub_format.c_str(), s.sub_language.c_str(),
                 s.allow_hdr, s.all_codecs);
    if (!s.use_hls && client.current_video.duration != 0) {
        sponsorblock_and_launch(client);
        return;
    }
    if (client.streams.hls_url) {
        // The manifest is fetched only from the service's own hosts.
        if (std::optional<std::string> refused =
                media_url_refuse("manifest", *client.streams.hls_url)) {
            show_status(client, refused->c_str());
            return;
        }
        show_status(client, "loading hls manifest...");
        fetch_direct(client, *client.streams.hls_url, hls_manifest_done);
        return;
    }
    sponsorblock_and_launch(client);
}

void hls_manifest_done(int32_t status_class, ResponseBuffer *response, void *context,
                       const HttpStatus *status) {
    auto &client = *static_cast<ServiceClient *>(context);
    if (status_class != HTTP_CLASS_SUCCESS || !response) {
        show_status(client, failure_text("loading hls manifest", status).c_str());
        return;
    }
    show_status(client, "done");
    const ServiceSettings &s = client.settings;
    const char *quality = s.hls_quality_names ? hls_quality_name(s.video_format.c_str())
                                              : s.video_format.c_str();
    pick_hls(client.streams, quality, response_text(*response), s.allow_hdr, s.all_codecs);
    sponsorblock_and_launch(client);
}

std::string sponsorblock_url(const ServiceSettings &settings, const std::string &video_id) {
    return "https://" + settings.sponsorblock_server + "/api/skipSegments?videoID=" + video_id +
           settings.sponsorblock_params;
}

void sponsorblock_and_launch(ServiceClient &client) {
    const ServiceSettings &s = client.settings;
    if (s.sponsorblock && client.current_video.duration != 0) {
        show_status(client, "loading sponsorblock segments...");
        // A request that can be neither started nor queued: play without segments rather than
        // not at all.
        if (!fetch_direct(client, sponsorblock_url(s, client.current_video.id.value_or("")),
                          sponsorblock_done) &&
            client.hooks.launch)
            client.hooks.launch(client.hooks.context, s.hls_quality_names, nullptr);
    } else if (client.hooks.launch) {
        client.hooks.launch(client.hooks.context, s.hls_quality_names, nullptr);
    }
    if (client.current_video.id && client.hooks.add_history)
        client.hooks.add_history(client.hooks.context, client.current_video);
}

void sponsorblock_done(int32_t status_class, ResponseBuffer *response, void *context,
                       const HttpStatus *) {
    auto &client = *static_cast<ServiceClient *>(context);
    show_status(client, "done");
    bool hls_names = client.settings.hls_quality_names;
    if (status_class == HTTP_CLASS_SUCCESS && response) {
        client.sponsorblock_segments = std::string(response_text(*response));
        if (client.hooks.launch)
            client.hooks.launch(client.hooks.context, hls_names,
                                client.sponsorblock_segments->c_str());
        client.sponsorblock_segments.reset();
        return;
    }
    if (client.hooks.launch) client.hooks.launch(client.hooks.context, hls_names, nullptr);
}

void history_add(ItemList &history, const list_item &video) {
    for (auto *node = history.first(); node;) {
        auto *next = history.after(node);
        if (node->data->id == video.id) history.remove(node);
        node = next;
    }
    auto *copy = new list_item(list_item_copy(video));
    copy->length_text = duration_text(video.duration);
    copy->published_text = std::string();
    history.push(copy, ITEM_TAG);
}
