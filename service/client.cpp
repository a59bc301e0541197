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

// The POST of request `code` for `value`, with the client's headers; absent when the code or the
// value makes no request.
std::optional<DownloadRequest> innertube_download(const ServiceClient &client, int32_t code,
                                                  std::string_view value) {
    std::optional<std::string> body = innertube_body(code, value);
    std::optional<std::string> url = service_url(value, code);
    if (!body || !url) return std::nullopt;
    DownloadRequest request;
    request.method = DL_POST_1_0;
    request.body = std::move(body);
    request.url = std::move(url);
    request.extra_headers = innertube_headers(code, client.settings.client_code, client.visitor_data);
    request.user_agent = user_agent_for(code);
    request.verbose = client.settings.debug_url ? 1 : 0;
    return request;
}

bool innertube_request(ServiceClient &client, int32_t code, std::string_view value,
                       DownloadDone completion, DownloadPriority priority) {
    std::optional<DownloadRequest> request = innertube_download(client, code, value);
    if (!request) return false;
    request->context = &client;
    request->on_done = completion;
    request->priority = priority;
    return queue(client, *request);
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

namespace {

int64_t wall_now(const ServiceClient &client) {
    return client.now ? client.now() : int64_t(std::time(nullptr));
}

// Shows a step's text only for a chain someone waits on; a background chain stays quiet.
void chain_status(ResolvedVideo &chain, const char *text) {
    if (chain.play_when_done) show_status(*chain.client, text);
}

// A new chain at the front of the list. Beyond RESOLVED_KEPT kept results, the oldest ones no
// play waits on are let go: removed at once when idle, else when their download completes.
ResolvedVideo &chain_new(ServiceClient &client, const std::string &id, ResolveStep step) {
    for (ResolvedVideo &old : client.resolved)
        if (old.kept && old.id == id) old.kept = false;
    client.resolved.push_front(ResolvedVideo{});
    ResolvedVideo &chain = client.resolved.front();
    chain.client = &client;
    chain.id = id;
    chain.step = step;
    size_t kept = 0;
    for (auto it = client.resolved.begin(); it != client.resolved.end();) {
        if (it->kept && !it->play_when_done && ++kept > RESOLVED_KEPT) it->kept = false;
        if (!it->kept && !it->waiting && !it->play_when_done && &*it != &chain)
            it = client.resolved.erase(it);
        else
            ++it;
    }
    return chain;
}

// Called first by every completion of a chain: the download is over. False when the chain was
// let go meanwhile (it is removed and its completion does nothing more).
bool chain_arrived(ResolvedVideo &chain) {
    chain.waiting = false;
    if (chain.kept || chain.play_when_done) return true;
    ServiceClient &client = *chain.client;
    for (auto it = client.resolved.begin(); it != client.resolved.end(); ++it)
        if (&*it == &chain) {
            client.resolved.erase(it);
            break;
        }
    return false;
}

void chain_streams(ResolvedVideo &chain);
ResolvedVideo &chain_for_current(ServiceClient &client, bool play);

// A chain that a play joined in the background falls back to the play-time chain once (the
// video is still the current one); any other failure a play waits on goes to the status line.
// The chain may be gone when this returns.
void chain_failed(ResolvedVideo &chain, const std::string &text) {
    ServiceClient &client = *chain.client;
    const bool waited_on = chain.play_when_done;
    const bool rerun = waited_on && chain.joined && client.current_video.id == chain.id;
    chain.step = RESOLVE_FAILED;
    chain.kept = false;
    chain.play_when_done = false;
    if (rerun) {
        ResolvedVideo &fresh = chain_for_current(client, true);
        fresh.retried = true;
        chain_streams(fresh);
    } else if (waited_on) {
        show_status(client, text.c_str());
    }
}

bool chain_request(ResolvedVideo &chain, int32_t code, DownloadDone completion) {
    std::optional<DownloadRequest> request = innertube_download(*chain.client, code, chain.id);
    if (!request) return false;
    request->context = &chain;
    request->on_done = completion;
    chain.waiting = queue(*chain.client, *request);
    return chain.waiting;
}

// A GET handed straight to the API pool (manifests and SponsorBlock segments). When the pool is
// full the request goes to the front of the request queue instead, so it still runs as soon as
// a slot frees.
bool chain_fetch(ResolvedVideo &chain, std::string url, DownloadDone completion) {
    ServiceClient &client = *chain.client;
    if (!client.pools) return false;
    DownloadRequest request;
    request.method = DL_GET_1_0;
    request.verbose = 0;
    request.url = std::move(url);
    request.context = &chain;
    request.on_done = completion;
    chain.waiting = dlpool_add(client.pools->api_pool, request) ||
                    request_queue_push(client.pools->request_queue, request);
    return chain.waiting;
}

// Loads the chain's result: its details become the current video (shown again when they are
// another video's), then the launch and the history entry.
void chain_launch(ResolvedVideo &chain, bool instantly) {
    ServiceClient &client = *chain.client;
    // The chain stays in place while the hooks run (they may start other chains).
    chain.play_when_done = true;
    if (client.current_video.id != chain.video.id) {
        client.current_video = list_item_copy(chain.video);
        client.current_video.views_text = chain.video.views_text;
        if (client.hooks.video_info_loaded) client.hooks.video_info_loaded(client.hooks.context);
    }
    client.streams = chain.streams;
    client.launched_id = chain.id;
    client.launched_instantly = instantly;
    const char *segments = chain.segments ? chain.segments->c_str() : nullptr;
    if (client.hooks.launch)
        client.hooks.launch(client.hooks.context, client.settings.hls_quality_names, segments);
    if (client.current_video.id && client.hooks.add_history)
        client.hooks.add_history(client.hooks.context, client.current_video);
    chain.play_when_done = false;
}

void chain_resolved(ResolvedVideo &chain) {
    ServiceClient &client = *chain.client;
    chain.step = RESOLVE_DONE;
    int64_t now = wall_now(client);
    chain.valid_until = now + RESOLVED_MAX_AGE_S;
    if (int64_t expire = streams_expire(chain.streams))
        chain.valid_until = std::min(chain.valid_until, expire - RESOLVED_EXPIRE_MARGIN_S);
    if (chain.play_when_done) {
        chain_launch(chain, false);
    } else if (client.current_video.id == chain.id) {
        show_status(client, "ready to play");
        log_info("ready to play", chain.id.c_str());
    }
    if (!client.settings.instant_play) chain.kept = false;
    if (!chain.kept) chain_arrived(chain);
}

// The last step: the SponsorBlock segments when enabled and the video has a duration.
void chain_segments(ResolvedVideo &chain) {
    ServiceClient &client = *chain.client;
    const ServiceSettings &s = client.settings;
    if (s.sponsorblock && chain.video.duration != 0) {
        chain.step = RESOLVE_SEGMENTS;
        chain_status(chain, "loading sponsorblock segments...");
        if (chain_fetch(chain, sponsorblock_url(s, chain.id), sponsorblock_done)) return;
        // A request that can be neither started nor queued: play without segments rather than
        // not at all.
    }
    chain_resolved(chain);
}

void chain_streams(ResolvedVideo &chain) {
    ServiceClient &client = *chain.client;
    chain.step = RESOLVE_STREAMS;
    if (chain.play_when_done)
        std::fprintf(stderr, "refresh video info id %s\n", chain.id.c_str());
    chain_status(chain, "loading video url...");
    if (!chain_request(chain, client.settings.client_code, video_streams_done))
        chain_failed(chain, "loading video url failed (not sent)");
}

void chain_info_done(int32_t status_class, ResponseBuffer *response, void *context,
                     const HttpStatus *status) {
    auto &chain = *static_cast<ResolvedVideo *>(context);
    if (!chain_arrived(chain)) return;
    if (status_class != HTTP_CLASS_SUCCESS || !response) {
        chain_failed(chain, failure_text("loading video info", status));
        return;
    }
    const ServiceSettings &s = chain.client->settings;
    parse_player(chain.video, chain.streams, response_text(*response), REQUEST_PLAYER_WEB,
                 s.video_format.c_str(), s.sub_format.c_str(), s.sub_language.c_str(),
                 s.allow_hdr, s.all_codecs);
    chain_streams(chain);
}

// A chain from the stream request on, for the current video (its details are here).
ResolvedVideo &chain_for_current(ServiceClient &client, bool play) {
    const std::string id = client.current_video.id.value_or("");
    ResolvedVideo &chain = chain_new(client, id, RESOLVE_STREAMS);
    chain.video = list_item_copy(client.current_video);
    chain.video.views_text = client.current_video.views_text;
    chain.streams = client.streams;
    chain.play_when_done = play;
    if (!client.settings.instant_play) chain.kept = false;
    return chain;
}

const char *step_status(ResolveStep step) {
    switch (step) {
    case RESOLVE_INFO: return "loading videoinfo...";
    case RESOLVE_STREAMS: return "loading video url...";
    case RESOLVE_MANIFEST: return "loading hls manifest...";
    case RESOLVE_SEGMENTS: return "loading sponsorblock segments...";
    case RESOLVE_DONE:
    case RESOLVE_FAILED: return "done";
    }
    return "done";
}

} // namespace

int64_t streams_expire(const stream_choice &streams) {
    int64_t earliest = 0;
    for (const Text *url : {&streams.video_url, &streams.audio_url, &streams.hls_url}) {
        if (!*url) continue;
        for (const char *key : {"expire=", "/expire/"}) {
            size_t at = (*url)->find(key);
            if (at == std::string::npos) continue;
            if (key[0] == 'e' && at > 0 && (**url)[at - 1] != '?' && (**url)[at - 1] != '&')
                continue;
            int64_t value = 0;
            const std::string &u = **url;
            for (size_t i = at + std::strlen(key); i < u.size() && u[i] >= '0' && u[i] <= '9' &&
                                                   value < (int64_t(1) << 40);
                 ++i)
                value = value * 10 + (u[i] - '0');
            if (value > 0 && (earliest == 0 || value < earliest)) earliest = value;
        }
    }
    return earliest;
}

bool resolved_fresh(const ServiceClient &client, const ResolvedVideo &result) {
    return result.step == RESOLVE_DONE && wall_now(client) < result.valid_until;
}

void resolved_forget(ServiceClient &client) {
    for (auto it = client.resolved.begin(); it != client.resolved.end();) {
        it->kept = false;
        if (!it->waiting && !it->play_when_done) it = client.resolved.erase(it);
        else ++it;
    }
}

ResolvedVideo *resolved_find(ServiceClient &client, const std::string &id) {
    for (ResolvedVideo &r : client.resolved)
        if (r.kept && r.id == id && r.step != RESOLVE_FAILED) return &r;
    return nullptr;
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
    } else if (client.current_video.id) {
        video_resolve(client, *client.current_video.id);
    }
}

void video_play(ServiceClient &client) {
    if (client.settings.ytdl_fallback) {
        sponsorblock_and_launch(client);
        return;
    }
    const std::string id = client.current_video.id.value_or("");
    if (client.settings.instant_play) {
        if (video_play_resolved(client, id)) return;
        if (ResolvedVideo *running = resolved_find(client, id);
            running && running->step != RESOLVE_DONE) {
            // Join the chain in flight rather than start a second one.
            running->play_when_done = true;
            running->joined = true;
            show_status(client, step_status(running->step));
            return;
        }
    }
    chain_streams(chain_for_current(client, true));
}

bool video_play_resolved(ServiceClient &client, const std::string &id) {
    if (!client.settings.instant_play) return false;
    ResolvedVideo *result = resolved_find(client, id);
    if (!result || !resolved_fresh(client, *result)) return false;
    show_status(client, "done");
    chain_launch(*result, true);
    return true;
}

bool video_resolve(ServiceClient &client, const std::string &id) {
    const ServiceSettings &s = client.settings;
    if (!s.instant_play || s.ytdl_fallback || id.empty()) return false;
    if (ResolvedVideo *r = resolved_find(client, id); r && (r->step != RESOLVE_DONE ||
                                                            resolved_fresh(client, *r)))
        return false;
    if (client.current_video.id == id) {
        chain_streams(chain_for_current(client, false));
        return true;
    }
    ResolvedVideo &chain = chain_new(client, id, RESOLVE_INFO);
    if (!chain_request(chain, REQUEST_PLAYER_WEB, chain_info_done)) chain_failed(chain, "");
    return true;
}

bool video_open_failed(ServiceClient &client, const std::string &id) {
    if (!client.launched_instantly || client.launched_id != id) return false;
    client.launched_instantly = false;
    ResolvedVideo *old = resolved_find(client, id);
    if (!old) return false;
    // Taken before the new chain lets the old result go.
    list_item video = list_item_copy(old->video);
    video.views_text = old->video.views_text;
    stream_choice streams = old->streams;
    ResolvedVideo &chain = chain_new(client, id, RESOLVE_STREAMS);
    chain.video = std::move(video);
    chain.streams = std::move(streams);
    chain.play_when_done = true;
    chain.retried = true;
    chain_streams(chain);
    return true;
}

void video_streams_done(int32_t status_class, ResponseBuffer *response, void *context,
                        const HttpStatus *status) {
    auto &chain = *static_cast<ResolvedVideo *>(context);
    if (!chain_arrived(chain)) return;
    ServiceClient &client = *chain.client;
    if (status_class != HTTP_CLASS_SUCCESS || !response) {
        chain_failed(chain, failure_text("loading video url", status));
        return;
    }
    chain_status(chain, "done");
    const ServiceSettings &s = client.settings;
    parse_player(chain.video, chain.streams, response_text(*response), s.client_code,
                 s.video_format.c_str(), s.sub_format.c_str(), s.sub_language.c_str(),
                 s.allow_hdr, s.all_codecs);
    if (!s.use_hls && chain.video.duration != 0) {
        chain_segments(chain);
        return;
    }
    if (chain.streams.hls_url) {
        // The manifest is fetched only from the service's own hosts.
        if (std::optional<std::string> refused =
                media_url_refuse("manifest", *chain.streams.hls_url)) {
            chain_failed(chain, *refused);
            return;
        }
        chain.step = RESOLVE_MANIFEST;
        chain_status(chain, "loading hls manifest...");
        if (!chain_fetch(chain, *chain.streams.hls_url, hls_manifest_done))
            chain_failed(chain, "loading hls manifest failed (not sent)");
        return;
    }
    chain_segments(chain);
}

void hls_manifest_done(int32_t status_class, ResponseBuffer *response, void *context,
                       const HttpStatus *status) {
    auto &chain = *static_cast<ResolvedVideo *>(context);
    if (!chain_arrived(chain)) return;
    if (status_class != HTTP_CLASS_SUCCESS || !response) {
        chain_failed(chain, failure_text("loading hls manifest", status));
        return;
    }
    chain_status(chain, "done");
    const ServiceSettings &s = chain.client->settings;
    const char *quality = s.hls_quality_names ? hls_quality_name(s.video_format.c_str())
                                              : s.video_format.c_str();
    pick_hls(chain.streams, quality, response_text(*response), s.allow_hdr, s.all_codecs);
    chain_segments(chain);
}

std::string sponsorblock_url(const ServiceSettings &settings, const std::string &video_id) {
    return "https://" + settings.sponsorblock_server + "/api/skipSegments?videoID=" + video_id +
           settings.sponsorblock_params;
}

void sponsorblock_and_launch(ServiceClient &client) {
    ResolvedVideo &chain = chain_for_current(client, true);
    chain.kept = false;
    chain_segments(chain);
}

void sponsorblock_done(int32_t status_class, ResponseBuffer *response, void *context,
                       const HttpStatus *) {
    auto &chain = *static_cast<ResolvedVideo *>(context);
    if (!chain_arrived(chain)) return;
    chain_status(chain, "done");
    if (status_class == HTTP_CLASS_SUCCESS && response)
        chain.segments = std::string(response_text(*response));
    chain_resolved(chain);
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
