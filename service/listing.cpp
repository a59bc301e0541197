#include "service/listing.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "base/json.h"
#include "service/innertube.h"

namespace {

// One row as read from a renderer, before it becomes a list_item. Texts are absent when the
// response lacks them.
struct ParsedEntry {
    uint32_t kind = ITEM_VIDEO;
    Text id, title, views, published, length, extra, channel_name, channel_id;
};

// The fixed table of one response's rows.
struct EntryTable {
    std::array<ParsedEntry, LISTING_ENTRY_LIMIT> entries;
    int count = 0;
    bool full() const { return count >= LISTING_ENTRY_LIMIT; }
    void add(ParsedEntry &&entry) {
        if (!full()) entries[count++] = std::move(entry);
    }
};

// Raw string content (escapes kept) at a path, absent when it is no string.
Text raw(const char *pos, const char *path) { return json_strdup(json_get(pos, path)); }

// Decoded string content at a path, absent when it is no string.
Text decoded(const char *pos, const char *path) {
    const char *p = json_get(pos, path);
    if (json_type(p) != JSON_STRING || !json_skip(p)) return std::nullopt;
    return json_text(p);
}

std::string unescape_whole(const Text &raw_text) {
    if (!raw_text) return std::string();
    return json_unescape(raw_text->data(), static_cast<long>(raw_text->size()));
}

// The title every renderer shares: ".title.simpleText", else ".title.runs.0.text", decoded.
std::string renderer_title(const char *r) {
    Text t = raw(r, ".title.simpleText");
    if (!t) t = raw(r, ".title.runs.0.text");
    return unescape_whole(t);
}

// A view count that does not say "view" gets the word appended.
void add_views_word(Text &views) {
    if (views && views->find("view") == std::string::npos) *views += " views";
}

void read_byline(const char *r, ParsedEntry &e) {
    const char *run = json_get(r, ".shortBylineText.runs.0");
    e.channel_name = decoded(run, ".text");
    e.channel_id = raw(run, ".navigationEndpoint.browseEndpoint.browseId");
}

// videoRenderer and compactVideoRenderer.
void read_video(const char *r, EntryTable &table) {
    ParsedEntry e;
    e.kind = ITEM_VIDEO;
    e.id = raw(r, ".videoId");
    e.title = renderer_title(r);
    e.views = raw(r, ".shortViewCountText.simpleText");
    e.published = raw(r, ".publishedTimeText.simpleText");
    e.length = raw(r, ".lengthText.simpleText");
    e.extra = decoded(r, ".title.accessibility.accessibilityData.label");
    read_byline(r, e);
    table.add(std::move(e));
}

// playlistRenderer and compactPlaylistRenderer.
void read_playlist(const char *r, EntryTable &table) {
    ParsedEntry e;
    e.kind = ITEM_PLAYLIST;
    e.id = raw(r, ".playlistId");
    e.title = renderer_title(r);
    e.published = raw(r, ".publishedTimeText.simpleText");
    e.length = raw(r, ".videoCountText.runs.0.text");
    e.extra = raw(r, ".navigationEndpoint.watchEndpoint.videoId");
    read_byline(r, e);
    table.add(std::move(e));
}

void read_channel(const char *r, EntryTable &table) {
    ParsedEntry e;
    e.kind = ITEM_CHANNEL;
    e.id = raw(r, ".channelId");
    e.title = renderer_title(r);
    e.published = raw(r, ".videoCountText.simpleText");
    e.length = raw(r, ".subscriberCountText.simpleText");
    e.extra = raw(r, ".thumbnail.thumbnails.0.url");
    read_byline(r, e);
    table.add(std::move(e));
}

void read_playlist_video(const char *r, EntryTable &table) {
    ParsedEntry e;
    e.kind = ITEM_VIDEO;
    e.id = raw(r, ".videoId");
    e.title = renderer_title(r);
    const char *info = json_get(r, ".videoInfo.runs");
    e.views = raw(info, ".0.text");
    add_views_word(e.views);
    e.published = raw(info, ".2.text");
    e.length = raw(r, ".lengthText.simpleText");
    e.extra = decoded(r, ".title.accessibility.accessibilityData.label");
    read_byline(r, e);
    table.add(std::move(e));
}

// lockupViewModel: videos, and playlists whose id begins with "PL" (generated mixes and other
// content types are skipped).
void read_lockup(const char *r, EntryTable &table) {
    Text type = raw(r, ".contentType");
    if (!type) return;
    bool video = *type == "LOCKUP_CONTENT_TYPE_VIDEO";
    bool playlist = *type == "LOCKUP_CONTENT_TYPE_PLAYLIST";
    if (!video && !playlist) return;
    ParsedEntry e;
    e.id = raw(r, ".contentId");
    if (playlist && (!e.id || e.id->compare(0, 2, "PL") != 0)) return;

    const char *meta = json_get(r, ".metadata.lockupMetadataViewModel");
    const char *rows = json_get(meta, ".metadata.contentMetadataViewModel.metadataRows");
    e.title = unescape_whole(raw(meta, ".title.content"));
    e.channel_name = decoded(rows, ".0.metadataParts.0.text.content");
    e.channel_id = raw(meta, ".image.decoratedAvatarViewModel.rendererContext.commandContext.onTap."
                             "innertubeCommand.browseEndpoint.browseId");
    e.published = raw(rows, ".1.metadataParts.1.text.content");
    if (video) {
        e.kind = ITEM_VIDEO;
        e.views = raw(rows, ".1.metadataParts.0.text.content");
        add_views_word(e.views);
        e.length = raw(r, ".contentImage.thumbnailViewModel.overlays.0."
                          "thumbnailBottomOverlayViewModel.badges.0.thumbnailBadgeViewModel.text");
        e.extra = decoded(r, ".rendererContext.accessibilityContext.label");
    } else {
        e.kind = ITEM_PLAYLIST;
        e.length = raw(r, ".contentImage.collectionThumbnailViewModel.primaryThumbnail."
                          "thumbnailViewModel.overlays.0.thumbnailOverlayBadgeViewModel."
                          "thumbnailBadges.0.thumbnailBadgeViewModel.text");
        if (e.length) {
            size_t space = e.length->find(' ');
            if (space != std::string::npos) e.length->resize(space);
        }
        e.extra = raw(r, ".rendererContext.commandContext.onTap.innertubeCommand.watchEndpoint."
                         "videoId");
    }
    table.add(std::move(e));
}

// Continuation rule A: the token of a continuationItemRenderer value, directly or through the
// first command of a command executor that carries one.
Text continuation_rule_a(const char *value) {
    const char *endpoint = json_get(value, ".continuationEndpoint");
    if (json_find(endpoint, "continuationCommand")) return raw(endpoint, ".continuationCommand.token");
    for (const char *c = json_first(json_get(endpoint, ".commandExecutorCommand.commands")); c;
         c = json_next(c)) {
        if (json_find(c, "continuationCommand")) return raw(c, ".continuationCommand.token");
    }
    return std::nullopt;
}

// Continuation rule B: the token of a continuationItemViewModel value.
Text continuation_rule_b(const char *value) {
    return raw(value, ".continuationCommand.innertubeCommand.continuationCommand.token");
}

void take_token(list_info &info, Text token) {
    if (token) info.continuation = std::move(token);
}

// Checks an element for a continuation element of either rule. Returns true when it is one
// (the walk over the rows then ends).
bool read_continuation(const char *element, list_info &info) {
    if (const char *c = json_find(element, "continuationItemRenderer")) {
        take_token(info, continuation_rule_a(c));
        return true;
    }
    if (const char *c = json_find(element, "continuationItemViewModel")) {
        take_token(info, continuation_rule_b(c));
        return true;
    }
    return false;
}

void read_search(const char *text, const char *root, EntryTable &table, list_info &info) {
    const char *outer;
    if (json_find(text, "contents"))
        outer = json_get(root, ".contents.twoColumnSearchResultsRenderer.primaryContents."
                               "sectionListRenderer.contents");
    else
        outer = json_get(text, ".onResponseReceivedCommands.0.appendContinuationItemsAction."
                               "continuationItems");
    for (const char *e = json_first(outer); e; e = json_next(e)) {
        if (const char *c = json_find(e, "continuationItemRenderer"))
            take_token(info, continuation_rule_a(c));
        // A full table still lets the walk go on: the continuation element comes last.
        if (table.full()) continue;
        const char *section = json_find(e, "itemSectionRenderer");
        if (!section) continue;
        for (const char *x = json_first(json_get(section, ".contents")); x && !table.full();
             x = json_next(x)) {
            if (const char *r = json_find(x, "videoRenderer")) read_video(r, table);
            else if (const char *r = json_find(x, "playlistRenderer")) read_playlist(r, table);
            else if (const char *r = json_find(x, "channelRenderer")) read_channel(r, table);
            else if (const char *r = json_find(x, "lockupViewModel")) read_lockup(r, table);
        }
    }
    info.kind = LIST_SEARCH;
    info.title = "Search Results";
    info.owner_name = "Search Results";
}

void read_playlist_browse(const char *text, const char *root, EntryTable &table,
                          list_info &info) {
    const char *rows;
    if (json_find(text, "onResponseReceivedActions")) {
        rows = json_get(text, ".onResponseReceivedActions.0.appendContinuationItemsAction."
                              "continuationItems");
    } else {
        const char *container =
            json_get(root, ".contents.twoColumnBrowseResultsRenderer.tabs.0.tabRenderer.content."
                           "sectionListRenderer.contents.0.itemSectionRenderer.contents.0."
                           "playlistVideoListRenderer");
        if (json_type(container) != JSON_OBJECT)
            container = json_get(root, ".contents.twoColumnBrowseResultsRenderer.tabs.0."
                                       "tabRenderer.content.sectionListRenderer.contents.0."
                                       "itemSectionRenderer");
        rows = json_get(container, ".contents");
    }
    for (const char *e = json_first(rows); e; e = json_next(e)) {
        // Once the table is full only the continuation element is still looked for, so that a
        // page of exactly 100 rows keeps its next page.
        if (!table.full()) {
            if (const char *r = json_find(e, "playlistVideoRenderer")) {
                read_playlist_video(r, table);
                continue;
            }
            if (const char *r = json_find(e, "lockupViewModel")) {
                read_lockup(r, table);
                continue;
            }
        }
        if (read_continuation(e, info)) break;
    }

    const char *micro = json_get(root, ".microformat.microformatDataRenderer");
    info.title = json_text(json_get(micro, ".title"));
    info.description = raw(micro, ".description");
    const char *items = json_get(root, ".sidebar.playlistSidebarRenderer.items");
    const char *primary = json_get(items, ".0.playlistSidebarPrimaryInfoRenderer");
    info.count_text = raw(primary, ".stats.0.runs.0.text");
    const char *watch = json_get(primary, ".navigationEndpoint.watchEndpoint");
    info.id = raw(watch, ".playlistId");
    info.first_video_id = raw(watch, ".videoId");
    const char *owner =
        json_get(items, ".1.playlistSidebarSecondaryInfoRenderer.videoOwner.videoOwnerRenderer");
    info.owner_name = json_text(json_get(owner, ".title.runs.0.text"));
    info.owner_id = raw(owner, ".navigationEndpoint.browseEndpoint.browseId");
    info.owner_thumb_url = raw(owner, ".thumbnail.thumbnails.1.url");
    info.kind = LIST_PLAYLIST;
}

void read_recommended(const char *text, const char *root, EntryTable &table, list_info &info) {
    const char *rows = nullptr;
    if (json_find(text, "currentVideoEndpoint"))
        rows = json_get(root, ".contents.twoColumnWatchNextResults.secondaryResults."
                              "secondaryResults.results");
    else if (json_find(text, "onResponseReceivedEndpoints"))
        rows = json_get(text, ".onResponseReceivedEndpoints.0.appendContinuationItemsAction."
                              "continuationItems");
    for (const char *e = rows ? json_first(rows) : nullptr; e; e = json_next(e)) {
        if (!table.full()) {
            if (const char *r = json_find(e, "compactVideoRenderer")) {
                read_video(r, table);
                continue;
            }
            if (const char *r = json_find(e, "compactPlaylistRenderer")) {
                read_playlist(r, table);
                continue;
            }
            if (const char *r = json_find(e, "lockupViewModel")) {
                read_lockup(r, table);
                continue;
            }
        }
        if (read_continuation(e, info)) break;
    }
    info.kind = LIST_RECOMMENDED;
    info.title = "Recommended Videos";
    info.owner_name = "Recommended Videos";
}

// --- RSS feeds ------------------------------------------------------------------------------

// The value of the first `tag` at or after `from`: the text after the tag's closing angle
// bracket up to the next opening one, decoded. "null" when the tag is missing or empty.
std::string rss_value(const char *from, const char *tag) {
    const char *p = std::strstr(from, tag);
    if (!p) return "null";
    const char *gt = std::strchr(p, '>');
    if (!gt) return "null";
    const char *start = gt + 1;
    const char *end = std::strchr(start, '<');
    if (!end) end = start + std::strlen(start);
    if (end == start) return "null";
    return xml_unescape(start, static_cast<long>(end - start));
}

void read_rss(const char *text, EntryTable &table, list_info &info) {
    info.title = rss_value(text, "<title>");
    info.description = info.title;
    info.id = rss_value(text, "<yt:playlistId>");
    info.owner_name = rss_value(text, "<name>");
    info.owner_id = rss_value(text, "<yt:channelId>");
    info.kind = LIST_FEED;

    static const char views_tag[] = "<media:statistics views=";
    for (const char *entry = std::strstr(text, "<entry>"); entry && !table.full();
         entry = std::strstr(entry + 7, "<entry>")) {
        ParsedEntry e;
        e.kind = ITEM_VIDEO;
        e.id = rss_value(entry, "<yt:videoId>");
        e.title = rss_value(entry, "<media:title>");
        std::string published = rss_value(entry, "<published>");
        size_t plus = published.find('+');
        if (plus != std::string::npos) published.resize(plus);
        e.published = std::move(published);
        e.length = std::string();
        e.extra = rss_value(entry, "<media:description>");
        e.channel_name = rss_value(entry, "<name>");
        e.channel_id = rss_value(entry, "<yt:channelId>");
        Text views;
        if (const char *v = std::strstr(entry, views_tag)) views = json_strdup(v + sizeof views_tag - 1);
        e.views = views.value_or("0") + " views";
        table.add(std::move(e));
    }
    info.count_text = std::to_string(table.count);
    if (table.count > 0) info.first_video_id = table.entries[0].id;
}

std::string thumbnail_url(const std::string &video_id) {
    return std::string("https://") + THUMBNAIL_HOST + "/vi/" + video_id + "/mqdefault.jpg";
}

list_item entry_to_item(ParsedEntry &e) {
    list_item item;
    item.kind = e.kind;
    item.id = e.id.value_or("unknown");
    item.title = e.title.value_or("unknown");
    item.channel_name = e.channel_name.value_or("unknown");
    item.channel_id = e.channel_id.value_or("unknown");
    item.description = "unknown";
    item.views_text = e.views.value_or("");
    item.published_text = e.published.value_or("");
    item.label = e.extra.value_or("unknown");
    switch (e.kind) {
    case ITEM_PLAYLIST:
        // A playlist without a count or first video keeps those texts absent.
        if (e.length) item.length_text = *e.length + " Videos";
        if (e.extra) item.thumb_url = thumbnail_url(*e.extra);
        break;
    case ITEM_CHANNEL:
        item.length_text = "Channel";
        // Channel avatars come without a scheme ("//yt3..."); one that has a scheme is kept.
        if (e.extra)
            item.thumb_url = e.extra->compare(0, 2, "//") == 0 ? "https:" + *e.extra : *e.extra;
        break;
    default:
        item.length_text = e.length.value_or("LIVE");
        if (e.id) item.thumb_url = thumbnail_url(*e.id);
        break;
    }
    return item;
}

} // namespace

int parse_listing(ItemList *list, list_info &info, const char *text, uint32_t kind, int max) {
    list_info_clear(info);
    if (!text) text = "";
    const char *root = std::strchr(text, '{');
    EntryTable table;
    switch (kind) {
    case LIST_PLAYLIST:
        read_playlist_browse(text, root, table, info);
        break;
    case LIST_RECOMMENDED:
        read_recommended(text, root, table, info);
        break;
    case LIST_SEARCH:
        read_search(text, root, table, info);
        break;
    case LIST_FEED:
        read_rss(text, table, info);
        break;
    default:
        return 0;
    }
    int created = table.count < max ? table.count : (max > 0 ? max : 0);
    if (list) {
        for (int i = 0; i < created; ++i)
            list->append(new list_item(entry_to_item(table.entries[i])), ITEM_TAG);
        if (info.continuation) list->append(new list_item{.kind = ITEM_MORE}, ITEM_TAG);
    }
    return created;
}

int64_t published_age(const char *text) {
    if (!text) return AGE_NONE;
    int year, month, day, hour, minute, second;
    if (std::sscanf(text, "%d-%d-%dT%d:%d:%d", &year, &month, &day, &hour, &minute, &second) ==
        6) {
        std::tm tm{};
        tm.tm_year = year - 1900;
        tm.tm_mon = month - 1;
        tm.tm_mday = day;
        tm.tm_hour = hour;
        tm.tm_min = minute;
        tm.tm_sec = second;
        tm.tm_isdst = 0;
        return static_cast<int64_t>(std::time(nullptr)) - static_cast<int64_t>(std::mktime(&tm));
    }
    const char *p = text;
    while (*p && !(*p >= '0' && *p <= '9')) ++p;
    if (!*p) return AGE_NONE;
    // The whole part of the number (a fraction is truncated away); bounded so that the product
    // below cannot overflow.
    int64_t number = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        number = number * 10 + (*p - '0');
        if (number > 1000000000) number = 1000000000;
    }
    if (number == 0) return AGE_NONE;
    static const struct {
        const char *word;
        int64_t seconds;
    } units[] = {{"second", 1},    {"minute", 60},       {"hour", 3600},     {"day", 86400},
                 {"week", 604800}, {"month", 2592000}, {"year", 31536000}};
    for (const auto &unit : units)
        if (std::strstr(p, unit.word)) return number * unit.seconds;
    return AGE_NONE;
}

int64_t published_age(const Text &text) { return published_age(text ? text->c_str() : nullptr); }

std::string xml_unescape(const char *bytes, long length) {
    std::string out;
    if (!bytes || length < 1) return out;
    out.reserve(64);
    static const struct {
        const char *reference;
        size_t size;
        char byte;
    } refs[] = {{"&gt;", 4, '>'}, {"&lt;", 4, '<'}, {"&amp;", 5, '&'}, {"&#039;", 6, '\''},
                {"&quot;", 6, '"'}};
    const char *p = bytes;
    const char *end = bytes + length;
    while (p < end) {
        if (*p == '&') {
            bool replaced = false;
            for (const auto &ref : refs) {
                if (static_cast<size_t>(end - p) >= ref.size &&
                    std::memcmp(p, ref.reference, ref.size) == 0) {
                    out += ref.byte;
                    p += ref.size;
                    replaced = true;
                    break;
                }
            }
            if (replaced) continue;
        }
        out += *p++;
    }
    return out;
}
