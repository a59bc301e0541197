// The service parsers on the largest recorded responses they read rows from, against RapidJSON
// parsing the whole document into a tree and then extracting the same fields (every text of
// every row, the continuation token, the chosen streams), and for the listings against
// simdjson's on-demand parser reading the same fields in one pass without a tree. All run in the
// same process; simdjson is used here only.
//
//   search:      search/search_web_2026-01_all_test_first.json (625 kB, 45 rows: results,
//                shelves and Shorts grids)
//   browse:      browse/browse_playlist_web_2024-11_VLPLoumn_first.json (554 kB, 100 rows)
//   next:        next/next_web_2026-01_FAqYW76GLPA_mix_playlist_first.json (725 kB, 28 rows)
//   player:      player/player_web_2024-10_2isYuQZMbdU_multiaudio_trimmed.json (232 kB)
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <simdjson.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "base/runtime.h"
#include "service/listing.h"
#include "service/player.h"

namespace {

// Each fixture is read once; the map keeps every text at a stable address.
const std::string &text_of(const char *name) {
    static std::map<std::string, std::string> cache;
    auto it = cache.find(name);
    if (it == cache.end())
        it = cache.emplace(name, read_file(std::string(SOLVANE_FIXTURES) + "/" + name)).first;
    return it->second;
}

constexpr const char *SEARCH = "search/search_web_2026-01_all_test_first.json";
constexpr const char *BROWSE = "browse/browse_playlist_web_2024-11_VLPLoumn_first.json";
constexpr const char *NEXT = "next/next_web_2026-01_FAqYW76GLPA_mix_playlist_first.json";
constexpr const char *PLAYER = "player/player_web_2024-10_2isYuQZMbdU_multiaudio_trimmed.json";

using rapidjson::Value;

// Dotted path lookup in a RapidJSON tree ("a.0.b"); nullptr when any step is missing.
const Value *at(const Value *v, const char *path) {
    std::string seg;
    const char *p = path;
    while (v && *p) {
        const char *dot = p;
        while (*dot && *dot != '.') ++dot;
        seg.assign(p, dot);
        if (!seg.empty() && seg[0] >= '0' && seg[0] <= '9') {
            unsigned long i = std::strtoul(seg.c_str(), nullptr, 10);
            v = (v->IsArray() && i < v->Size()) ? &(*v)[rapidjson::SizeType(i)] : nullptr;
        } else if (!seg.empty()) {
            if (!v->IsObject()) return nullptr;
            auto m = v->FindMember(seg.c_str());
            v = m == v->MemberEnd() ? nullptr : &m->value;
        }
        p = *dot ? dot + 1 : dot;
    }
    return v;
}

Text str(const Value *v, const char *path) {
    const Value *s = at(v, path);
    if (!s || !s->IsString()) return std::nullopt;
    return std::string(s->GetString(), s->GetStringLength());
}

struct Row {
    Text id, title, views, published, length, extra, channel_name, channel_id;
};

Row video_row(const Value *r) {
    Row row;
    row.id = str(r, "videoId");
    row.title = str(r, "title.simpleText");
    if (!row.title) row.title = str(r, "title.runs.0.text");
    row.views = str(r, "shortViewCountText.simpleText");
    row.published = str(r, "publishedTimeText.simpleText");
    row.length = str(r, "lengthText.simpleText");
    row.extra = str(r, "title.accessibility.accessibilityData.label");
    row.channel_name = str(r, "shortBylineText.runs.0.text");
    row.channel_id = str(r, "shortBylineText.runs.0.navigationEndpoint.browseEndpoint.browseId");
    return row;
}

Row playlist_video_row(const Value *r) {
    Row row = video_row(r);
    row.views = str(r, "videoInfo.runs.0.text");
    row.published = str(r, "videoInfo.runs.2.text");
    return row;
}

bool lockup_row(const Value *r, Row &row) {
    Text type = str(r, "contentType");
    if (!type) return false;
    const Value *meta = at(r, "metadata.lockupMetadataViewModel");
    const Value *rows = at(meta, "metadata.contentMetadataViewModel.metadataRows");
    row.id = str(r, "contentId");
    row.title = str(meta, "title.content");
    row.channel_name = str(rows, "0.metadataParts.0.text.content");
    row.channel_id = str(meta, "image.decoratedAvatarViewModel.rendererContext.commandContext.onTap."
                               "innertubeCommand.browseEndpoint.browseId");
    row.published = str(rows, "1.metadataParts.1.text.content");
    if (*type == "LOCKUP_CONTENT_TYPE_VIDEO") {
        row.views = str(rows, "1.metadataParts.0.text.content");
        row.length = str(r, "contentImage.thumbnailViewModel.overlays.0."
                            "thumbnailBottomOverlayViewModel.badges.0.thumbnailBadgeViewModel.text");
        row.extra = str(r, "rendererContext.accessibilityContext.label");
        return true;
    }
    if (*type == "LOCKUP_CONTENT_TYPE_PLAYLIST" && row.id && row.id->compare(0, 2, "PL") == 0) {
        row.length = str(r, "contentImage.collectionThumbnailViewModel.primaryThumbnail."
                            "thumbnailViewModel.overlays.0.thumbnailOverlayBadgeViewModel."
                            "thumbnailBadges.0.thumbnailBadgeViewModel.text");
        row.extra = str(r, "rendererContext.commandContext.onTap.innertubeCommand.watchEndpoint."
                           "videoId");
        return true;
    }
    return false;
}

Text token_a(const Value *c) { return str(c, "continuationEndpoint.continuationCommand.token"); }

// A short of a Shorts shelf or grid.
Row short_row(const Value *r) {
    Row row;
    row.id = str(r, "onTap.innertubeCommand.reelWatchEndpoint.videoId");
    row.title = str(r, "overlayMetadata.primaryText.content");
    row.views = str(r, "overlayMetadata.secondaryText.content");
    row.extra = str(r, "accessibilityText");
    return row;
}

// Rows in page order, each video once.
void add_row(std::vector<Row> &rows, Row &&row) {
    for (const Row &r : rows)
        if (r.id == row.id) return;
    rows.push_back(std::move(row));
}

void rapid_search_item(const Value &x, std::vector<Row> &rows) {
    if (const Value *v = at(&x, "videoRenderer")) {
        add_row(rows, video_row(v));
    } else if (const Value *items = at(&x, "shelfRenderer.content.verticalListRenderer.items")) {
        for (const Value &i : items->GetArray())
            if (const Value *v = at(&i, "videoRenderer")) add_row(rows, video_row(v));
    } else if (const Value *grid = at(&x, "gridShelfViewModel.contents")) {
        for (const Value &i : grid->GetArray())
            if (const Value *v = at(&i, "shortsLockupViewModel")) add_row(rows, short_row(v));
    }
}

size_t rapid_search(const std::string &text, Text &token) {
    rapidjson::Document d;
    d.Parse(text.c_str());
    std::vector<Row> rows;
    const Value *outer = at(&d, "contents.twoColumnSearchResultsRenderer.primaryContents."
                                "sectionListRenderer.contents");
    for (const Value &e : outer->GetArray()) {
        if (const Value *c = at(&e, "continuationItemRenderer")) token = token_a(c);
        const Value *items = at(&e, "itemSectionRenderer.contents");
        if (!items || !items->IsArray()) continue;
        for (const Value &x : items->GetArray()) rapid_search_item(x, rows);
    }
    return rows.size();
}

size_t rapid_browse(const std::string &text, Text &token) {
    rapidjson::Document d;
    d.Parse(text.c_str());
    std::vector<Row> rows;
    const Value *items = at(&d, "contents.twoColumnBrowseResultsRenderer.tabs.0.tabRenderer.content."
                                "sectionListRenderer.contents.0.itemSectionRenderer.contents.0."
                                "playlistVideoListRenderer.contents");
    for (const Value &e : items->GetArray()) {
        if (const Value *v = at(&e, "playlistVideoRenderer")) rows.push_back(playlist_video_row(v));
        else if (const Value *c = at(&e, "continuationItemRenderer")) token = token_a(c);
    }
    // The header fields the playlist reader takes.
    const Value *sidebar = at(&d, "sidebar.playlistSidebarRenderer.items");
    Text header[] = {str(&d, "microformat.microformatDataRenderer.title"),
                     str(&d, "microformat.microformatDataRenderer.description"),
                     str(sidebar, "0.playlistSidebarPrimaryInfoRenderer.stats.0.runs.0.text"),
                     str(sidebar, "1.playlistSidebarSecondaryInfoRenderer.videoOwner."
                                  "videoOwnerRenderer.title.runs.0.text")};
    benchmark::DoNotOptimize(header);
    return rows.size();
}

size_t rapid_next(const std::string &text, Text &token) {
    rapidjson::Document d;
    d.Parse(text.c_str());
    std::vector<Row> rows;
    const Value *results =
        at(&d, "contents.twoColumnWatchNextResults.secondaryResults.secondaryResults.results");
    for (const Value &e : results->GetArray()) {
        Row row;
        if (const Value *v = at(&e, "compactVideoRenderer")) add_row(rows, video_row(v));
        else if (const Value *l = at(&e, "lockupViewModel")) {
            if (lockup_row(l, row)) add_row(rows, std::move(row));
        } else if (const Value *shelf = at(&e, "reelShelfRenderer.items")) {
            for (const Value &i : shelf->GetArray())
                if (const Value *v = at(&i, "shortsLockupViewModel")) add_row(rows, short_row(v));
        } else if (const Value *c = at(&e, "continuationItemRenderer")) {
            token = token_a(c);
            break;
        }
    }
    return rows.size();
}

// The same choice as parse_player with the default settings (1080p60, WEB client): video
// details, the first English caption, the first H.264 stream from 299 down, the default 251.
size_t rapid_player(const std::string &text, Text &video_url) {
    rapidjson::Document d;
    d.Parse(text.c_str());
    const Value *micro = at(&d, "microformat.playerMicroformatRenderer");
    Text details[] = {str(&d, "videoDetails.videoId"), str(micro, "title.simpleText"),
                      str(micro, "viewCount"), str(micro, "uploadDate"), str(micro, "lengthSeconds"),
                      str(micro, "ownerChannelName"), str(micro, "externalChannelId"),
                      str(micro, "description.simpleText")};
    benchmark::DoNotOptimize(details);
    Text caption;
    if (const Value *tracks = at(&d, "captions.playerCaptionsTracklistRenderer.captionTracks"))
        for (const Value &t : tracks->GetArray()) {
            Text code = str(&t, "languageCode");
            if (code && code->substr(0, code->find('-')) == "en") {
                caption = str(&t, "baseUrl");
                break;
            }
        }
    const Value *adaptive = at(&d, "streamingData.adaptiveFormats");
    static const int family[] = {299, 137, 298, 136, 135, 134, 133};
    for (int itag : family) {
        for (const Value &f : adaptive->GetArray())
            if (f["itag"].GetInt() == itag && f.HasMember("url")) {
                video_url = str(&f, "url");
                break;
            }
        if (video_url) break;
    }
    Text audio;
    for (const Value &f : adaptive->GetArray()) {
        const Value *def = at(&f, "audioTrack.audioIsDefault");
        if (f["itag"].GetInt() == 251 && !(def && def->IsFalse())) {
            audio = str(&f, "url");
            break;
        }
    }
    benchmark::DoNotOptimize(caption);
    benchmark::DoNotOptimize(audio);
    return video_url ? 1 : 0;
}

// --- simdjson on-demand ------------------------------------------------------------------

namespace od = simdjson::ondemand;

// Follows a dotted path ("a.0.b") from `v`; false when a step is missing. Names are looked up
// with find_field_unordered, so fields of one object may be read in any order.
bool sj_at(od::value v, std::string_view path, od::value &out) {
    while (!path.empty()) {
        size_t dot = path.find('.');
        std::string_view seg = path.substr(0, dot);
        path = dot == std::string_view::npos ? std::string_view() : path.substr(dot + 1);
        if (seg[0] >= '0' && seg[0] <= '9') {
            od::array a;
            if (v.get_array().get(a)) return false;
            size_t index = size_t(std::strtoul(std::string(seg).c_str(), nullptr, 10));
            bool found = false;
            for (auto e : a) {
                if (index-- == 0) {
                    if (e.get(v)) return false;
                    found = true;
                    break;
                }
            }
            if (!found) return false;
        } else {
            od::object o;
            if (v.get_object().get(o)) return false;
            if (o.find_field_unordered(seg).get(v)) return false;
        }
    }
    out = v;
    return true;
}

Text sj_str(od::object &o, std::string_view path) {
    size_t dot = path.find('.');
    od::value v;
    if (o.find_field_unordered(path.substr(0, dot)).get(v)) return std::nullopt;
    if (dot != std::string_view::npos && !sj_at(v, path.substr(dot + 1), v)) return std::nullopt;
    std::string_view s;
    if (v.get_string().get(s)) return std::nullopt;
    return std::string(s);
}

Row sj_video_row(od::object r) {
    Row row;
    row.id = sj_str(r, "videoId");
    row.title = sj_str(r, "title.simpleText");
    if (!row.title) row.title = sj_str(r, "title.runs.0.text");
    row.views = sj_str(r, "shortViewCountText.simpleText");
    row.published = sj_str(r, "publishedTimeText.simpleText");
    row.length = sj_str(r, "lengthText.simpleText");
    row.extra = sj_str(r, "title.accessibility.accessibilityData.label");
    row.channel_name = sj_str(r, "shortBylineText.runs.0.text");
    row.channel_id = sj_str(r, "shortBylineText.runs.0.navigationEndpoint.browseEndpoint.browseId");
    return row;
}

Row sj_short_row(od::object r) {
    Row row;
    row.id = sj_str(r, "onTap.innertubeCommand.reelWatchEndpoint.videoId");
    row.title = sj_str(r, "overlayMetadata.primaryText.content");
    row.views = sj_str(r, "overlayMetadata.secondaryText.content");
    row.extra = sj_str(r, "accessibilityText");
    return row;
}

Text sj_token_a(od::object c) { return sj_str(c, "continuationEndpoint.continuationCommand.token"); }

// The first field of an object element (row arrays hold one renderer per element).
bool sj_first_field(od::value element, std::string_view &key, od::value &value) {
    od::object o;
    if (element.get_object().get(o)) return false;
    for (auto field : o) {
        if (field.unescaped_key().get(key) || field.value().get(value)) return false;
        return true;
    }
    return false;
}

void sj_rows_of(od::value items, const char *renderer, Row (*reader)(od::object),
                std::vector<Row> &rows) {
    od::array a;
    if (items.get_array().get(a)) return;
    for (auto e : a) {
        std::string_view key;
        od::value v;
        od::object o;
        if (sj_first_field(e.value_unsafe(), key, v) && key == renderer && !v.get_object().get(o))
            add_row(rows, reader(o));
    }
}

size_t sj_search(const simdjson::padded_string &text, Text &token) {
    static od::parser parser;
    od::document doc = parser.iterate(text);
    od::value outer;
    std::vector<Row> rows;
    od::value contents;
    if (doc["contents"].get(contents) ||
        !sj_at(contents, "twoColumnSearchResultsRenderer.primaryContents.sectionListRenderer."
                         "contents", outer))
        return 0;
    for (auto e : outer.get_array()) {
        std::string_view key;
        od::value v;
        if (!sj_first_field(e.value_unsafe(), key, v)) continue;
        od::object o;
        if (key == "continuationItemRenderer") {
            if (!v.get_object().get(o)) token = sj_token_a(o);
            continue;
        }
        if (key != "itemSectionRenderer") continue;
        od::value items;
        if (!sj_at(v, "contents", items)) continue;
        for (auto x : items.get_array()) {
            od::value r;
            if (!sj_first_field(x.value_unsafe(), key, r)) continue;
            if (key == "videoRenderer") {
                if (!r.get_object().get(o)) add_row(rows, sj_video_row(o));
            } else if (key == "shelfRenderer") {
                od::value list;
                if (sj_at(r, "content.verticalListRenderer.items", list))
                    sj_rows_of(list, "videoRenderer", sj_video_row, rows);
            } else if (key == "gridShelfViewModel") {
                od::value grid;
                if (sj_at(r, "contents", grid))
                    sj_rows_of(grid, "shortsLockupViewModel", sj_short_row, rows);
            }
        }
    }
    return rows.size();
}

Row sj_playlist_video_row(od::object r) {
    Row row;
    row.id = sj_str(r, "videoId");
    row.title = sj_str(r, "title.simpleText");
    if (!row.title) row.title = sj_str(r, "title.runs.0.text");
    row.views = sj_str(r, "videoInfo.runs.0.text");
    row.published = sj_str(r, "videoInfo.runs.2.text");
    row.length = sj_str(r, "lengthText.simpleText");
    row.extra = sj_str(r, "title.accessibility.accessibilityData.label");
    row.channel_name = sj_str(r, "shortBylineText.runs.0.text");
    row.channel_id = sj_str(r, "shortBylineText.runs.0.navigationEndpoint.browseEndpoint.browseId");
    return row;
}

size_t sj_browse(const simdjson::padded_string &text, Text &token) {
    static od::parser parser;
    od::document doc = parser.iterate(text);
    std::vector<Row> rows;
    od::value contents, items;
    if (doc["contents"].get(contents) ||
        !sj_at(contents, "twoColumnBrowseResultsRenderer.tabs.0.tabRenderer.content."
                         "sectionListRenderer.contents.0.itemSectionRenderer.contents.0."
                         "playlistVideoListRenderer.contents", items))
        return 0;
    for (auto e : items.get_array()) {
        std::string_view key;
        od::value v;
        od::object o;
        if (!sj_first_field(e.value_unsafe(), key, v) || v.get_object().get(o)) continue;
        if (key == "playlistVideoRenderer") add_row(rows, sj_playlist_video_row(o));
        else if (key == "continuationItemRenderer") token = sj_token_a(o);
    }
    // The header fields the playlist reader takes.
    od::value micro, sidebar;
    Text header[4];
    if (!doc["microformat"].get(micro)) {
        od::object m;
        if (sj_at(micro, "microformatDataRenderer", micro) && !micro.get_object().get(m)) {
            header[0] = sj_str(m, "title");
            header[1] = sj_str(m, "description");
        }
    }
    if (!doc["sidebar"].get(sidebar)) {
        od::value list;
        if (sj_at(sidebar, "playlistSidebarRenderer.items", list)) {
            od::array a;
            if (!list.get_array().get(a)) {
                int i = 0;
                for (auto item : a) {
                    od::object o;
                    if (item.get_object().get(o)) continue;
                    if (i == 0) header[2] = sj_str(o, "playlistSidebarPrimaryInfoRenderer.stats.0.runs.0.text");
                    if (i == 1)
                        header[3] = sj_str(o, "playlistSidebarSecondaryInfoRenderer.videoOwner."
                                              "videoOwnerRenderer.title.runs.0.text");
                    ++i;
                }
            }
        }
    }
    benchmark::DoNotOptimize(header);
    return rows.size();
}

const simdjson::padded_string &padded_of(const char *name) {
    static std::map<std::string, simdjson::padded_string> cache;
    auto it = cache.find(name);
    if (it == cache.end()) it = cache.emplace(name, simdjson::padded_string(text_of(name))).first;
    return it->second;
}

void ondemand(benchmark::State &state, const char *name,
              size_t (*reader)(const simdjson::padded_string &, Text &)) {
    const simdjson::padded_string &text = padded_of(name);
    for (auto _ : state) {
        Text token;
        benchmark::DoNotOptimize(reader(text, token));
        benchmark::DoNotOptimize(token);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void listing(benchmark::State &state, const char *name, uint32_t kind) {
    const std::string &text = text_of(name);
    for (auto _ : state) {
        ItemList list;
        list_info info;
        benchmark::DoNotOptimize(parse_listing(&list, info, text.c_str(), kind, LISTING_ENTRY_LIMIT));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void rapid(benchmark::State &state, const char *name, size_t (*reader)(const std::string &, Text &)) {
    const std::string &text = text_of(name);
    for (auto _ : state) {
        Text token;
        benchmark::DoNotOptimize(reader(text, token));
        benchmark::DoNotOptimize(token);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void player(benchmark::State &state) {
    const std::string &text = text_of(PLAYER);
    for (auto _ : state) {
        list_item video;
        stream_choice choice;
        parse_player(video, choice, text.c_str(), 5, "1080p60", "vtt", "en", false, false);
        benchmark::DoNotOptimize(choice.video_url);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

// Both readers must agree before their times mean anything.
bool readers_agree() {
    ItemList list;
    list_info info;
    Text token;
    size_t n = size_t(parse_listing(&list, info, text_of(SEARCH).c_str(), LIST_SEARCH, LISTING_ENTRY_LIMIT));
    if (n != rapid_search(text_of(SEARCH), token) || info.continuation != token) return false;
    Text sj_token;
    if (n != sj_search(padded_of(SEARCH), sj_token) || info.continuation != sj_token) return false;
    n = size_t(parse_listing(&list, info, text_of(BROWSE).c_str(), LIST_PLAYLIST, LISTING_ENTRY_LIMIT));
    if (n != rapid_browse(text_of(BROWSE), token) || info.continuation != token) return false;
    sj_token.reset();
    if (n != sj_browse(padded_of(BROWSE), sj_token) || info.continuation != sj_token) return false;
    if (size_t(parse_listing(&list, info, text_of(NEXT).c_str(), LIST_RECOMMENDED, 100)) !=
            rapid_next(text_of(NEXT), token) || info.continuation != token)
        return false;
    list_item video;
    stream_choice choice;
    parse_player(video, choice, text_of(PLAYER).c_str(), 5, "1080p60", "vtt", "en", false, false);
    Text url;
    rapid_player(text_of(PLAYER), url);
    return choice.video_url == url;
}

} // namespace

BENCHMARK_CAPTURE(listing, search, SEARCH, LIST_SEARCH)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(rapid, search, SEARCH, rapid_search)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ondemand, search, SEARCH, sj_search)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(listing, browse, BROWSE, LIST_PLAYLIST)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(rapid, browse, BROWSE, rapid_browse)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ondemand, browse, BROWSE, sj_browse)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(listing, next, NEXT, LIST_RECOMMENDED)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(rapid, next, NEXT, rapid_next)->Unit(benchmark::kMicrosecond);
BENCHMARK(player)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(rapid, player, PLAYER, rapid_player)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv) {
    if (!readers_agree()) {
        std::fprintf(stderr, "service_parse_bench: the two readers disagree\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
