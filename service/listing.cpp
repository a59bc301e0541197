#include "service/listing.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <ctime>
#include <utility>
#include <vector>

#include "base/json.h"
#include "service/innertube.h"

namespace {

// One row as read from a renderer, before it becomes a list_item. Texts are absent when the
// response lacks them.
struct ParsedEntry {
    uint32_t kind = ITEM_VIDEO;
    uint32_t flags = 0;
    Text id, title, views, published, length, extra, channel_name, channel_id;
};

// The rows of one response, in page order. A row whose kind and id were already read (a video
// in a shelf that the main results also list, a short in two Shorts shelves) is not added again.
struct EntryTable {
    std::vector<ParsedEntry> entries;
    bool full() const { return entries.size() >= static_cast<size_t>(LISTING_ENTRY_LIMIT); }
    void add(ParsedEntry &&entry) {
        if (full()) return;
        if (entry.id) {
            for (const ParsedEntry &e : entries)
                if (e.kind == entry.kind && e.id == entry.id) return;
        }
        entries.push_back(std::move(entry));
    }
};

// Raw string content (escapes kept) at a path, absent when it is no string.
Text raw(const char *pos, const char *path, size_t limit = LISTING_TEXT_LIMIT) {
    return json_strdup(json_get(pos, path), limit);
}

// Decoded string content at a path, absent when it is no string.
Text decoded(const char *pos, const char *path, size_t limit = LISTING_TEXT_LIMIT) {
    const char *p = json_get(pos, path);
    if (json_type(p) != JSON_STRING) return std::nullopt;
    const char *end = json_skip(p);
    if (!end) return std::nullopt;
    return json_unescape(p + 1, static_cast<long>(end - p - 2), limit);
}

std::string unescape_whole(const Text &raw_text) {
    if (!raw_text) return std::string();
    return json_unescape(raw_text->data(), static_cast<long>(raw_text->size()), LISTING_TEXT_LIMIT);
}

// The title every renderer shares: ".title.simpleText", else ".title.runs.0.text", decoded.
std::string renderer_title(const char *r) {
    Text t = raw(r, ".title.simpleText");
    if (!t) t = raw(r, ".title.runs.0.text");
    return unescape_whole(t);
}

// A text given as "simpleText" or as "runs" whose texts are joined.
Text simple_or_runs(const char *value) {
    if (Text t = raw(value, ".simpleText")) return t;
    const char *first = json_first(json_get(value, ".runs"));
    if (!first) return std::nullopt;
    std::string joined;
    for (const char *run = first; run && joined.size() < LISTING_TEXT_LIMIT; run = json_next(run))
        if (Text t = raw(run, ".text")) joined += *t;
    if (joined.size() > LISTING_TEXT_LIMIT) joined.resize(LISTING_TEXT_LIMIT);
    return joined;
}

// " views" is added to a bare count ("12", "1.2K"); a text that has its own word ("2K watching",
// "No views", "12 views") is kept as it is.
void add_views_word(Text &views) {
    if (!views || views->find("view") != std::string::npos) return;
    for (size_t i = 0; i + 1 < views->size(); ++i) {
        unsigned char next = static_cast<unsigned char>((*views)[i + 1]);
        bool letter = (next | 0x20) >= 'a' && (next | 0x20) <= 'z';
        if ((*views)[i] == ' ' && (letter || next >= 0x80)) return;
    }
    *views += " views";
}

// The first collaborator of a dialog listing a video's channels (a video made by several).
Text first_collaborator(const char *show_dialog) {
    return raw(show_dialog, ".panelLoadingStrategy.inlineContent.dialogViewModel.customContent."
                            "listViewModel.listItems.0.listItemViewModel.rendererContext."
                            "commandContext.onTap.innertubeCommand.browseEndpoint.browseId");
}

// The channel of a row from its "shortBylineText" member.
void read_byline(const char *byline, ParsedEntry &e) {
    const char *run = json_get(byline, ".runs.0");
    e.channel_name = decoded(run, ".text");
    const char *endpoint = json_get(run, ".navigationEndpoint");
    e.channel_id = raw(endpoint, ".browseEndpoint.browseId");
    if (!e.channel_id) e.channel_id = first_collaborator(json_get(endpoint, ".showDialogCommand"));
}

// The values of the named members of an object, found in one pass over it: the first member of
// each name, JSON_NOT_FOUND for a name the object lacks. Reading a renderer's fields this way
// passes over each of its members once, where a lookup per field would pass over the members
// before that field again each time.
// Gives the position after the object (nullptr when it is not known).
template <size_t N>
const char *members_of(const char *object, const std::string_view (&names)[N],
                       const char *(&values)[N]) {
    for (const char *&v : values) v = JSON_NOT_FOUND;
    JsonMember m;
    for (bool more = json_member_first(object, m); more; more = json_member_next(m)) {
        for (size_t i = 0; i < N; ++i) {
            if (values[i] == JSON_NOT_FOUND && m.name == names[i]) {
                values[i] = m.value;
                break;
            }
        }
    }
    return m.end;
}

// The title every renderer shares, from its "title" member (one pass over it), and the
// accessibility label that goes with it.
std::string title_of(const char *title, Text *label = nullptr) {
    static const std::string_view names[] = {"simpleText", "runs", "accessibility"};
    const char *v[std::size(names)];
    members_of(title, names, v);
    Text t = json_strdup(v[0], LISTING_TEXT_LIMIT);
    if (!t) t = raw(v[1], ".0.text");
    if (label) *label = decoded(v[2], ".accessibilityData.label");
    return unescape_whole(t);
}

// The readers of row renderers give the position after the renderer when they passed over all
// of it, else nullptr.

// videoRenderer, compactVideoRenderer and gridVideoRenderer.
const char *read_video(const char *r, EntryTable &table) {
    static const std::string_view names[] = {"videoId",          "title",
                                             "shortViewCountText", "publishedTimeText",
                                             "lengthText",       "thumbnailOverlays",
                                             "shortBylineText"};
    const char *v[std::size(names)];
    const char *end = members_of(r, names, v);
    ParsedEntry e;
    e.kind = ITEM_VIDEO;
    e.id = json_strdup(v[0], LISTING_TEXT_LIMIT);
    e.title = title_of(v[1], &e.extra);
    // Live streams give "2K watching" as runs.
    e.views = simple_or_runs(v[2]);
    e.published = raw(v[3], ".simpleText");
    e.length = raw(v[4], ".simpleText");
    // Grid videos carry their length only on the thumbnail.
    if (!e.length) e.length = raw(v[5], ".0.thumbnailOverlayTimeStatusRenderer.text.simpleText");
    read_byline(v[6], e);
    table.add(std::move(e));
    return end;
}

// playlistRenderer and compactPlaylistRenderer.
const char *read_playlist(const char *r, EntryTable &table) {
    ParsedEntry e;
    e.kind = ITEM_PLAYLIST;
    e.id = raw(r, ".playlistId");
    e.title = renderer_title(r);
    e.published = raw(r, ".publishedTimeText.simpleText");
    e.length = raw(r, ".videoCountText.runs.0.text");
    e.extra = raw(r, ".navigationEndpoint.watchEndpoint.videoId");
    read_byline(json_get(r, ".shortBylineText"), e);
    table.add(std::move(e));
    return nullptr;
}

// A channel row shows its subscriber count where videos show their views. Older pages give it
// in subscriberCountText and the number of videos in videoCountText; newer ones give the count
// in videoCountText and the handle in subscriberCountText.
const char *read_channel(const char *r, EntryTable &table) {
    ParsedEntry e;
    e.kind = ITEM_CHANNEL;
    e.id = raw(r, ".channelId");
    e.title = renderer_title(r);
    Text videos = raw(r, ".videoCountText.simpleText");
    Text subscribers = raw(r, ".subscriberCountText.simpleText");
    auto says = [](const Text &t, const char *word) {
        return t && t->find(word) != std::string::npos;
    };
    if (says(videos, "subscriber")) std::swap(videos, subscribers);
    if (says(subscribers, "subscriber")) e.views = std::move(subscribers);
    if (!says(videos, "@")) e.published = std::move(videos);
    e.length = raw(r, ".subscriberCountText.simpleText");
    e.extra = raw(r, ".thumbnail.thumbnails.0.url");
    read_byline(json_get(r, ".shortBylineText"), e);
    table.add(std::move(e));
    return nullptr;
}

const char *read_playlist_video(const char *r, EntryTable &table) {
    static const std::string_view names[] = {"videoId", "title", "videoInfo", "lengthText",
                                             "shortBylineText"};
    const char *v[std::size(names)];
    const char *end = members_of(r, names, v);
    ParsedEntry e;
    e.kind = ITEM_VIDEO;
    e.id = json_strdup(v[0], LISTING_TEXT_LIMIT);
    e.title = title_of(v[1], &e.extra);
    const char *info = json_get(v[2], ".runs");
    e.views = raw(info, ".0.text");
    add_views_word(e.views);
    e.published = raw(info, ".2.text");
    e.length = raw(v[3], ".simpleText");
    read_byline(v[4], e);
    table.add(std::move(e));
    return end;
}

// The first metadata part of a lockup whose text begins with `prefix` ("Updated yesterday").
Text lockup_part_starting(const char *rows, const char *prefix) {
    size_t n = std::strlen(prefix);
    for (const char *row = json_first(rows); row; row = json_next(row)) {
        for (const char *part = json_first(json_get(row, ".metadataParts")); part;
             part = json_next(part)) {
            Text t = raw(part, ".text.content");
            if (t && t->compare(0, n, prefix) == 0) return t;
        }
    }
    return std::nullopt;
}

// lockupViewModel: videos, and playlists and podcasts whose id begins with "PL" (generated
// mixes and other content types are skipped).
const char *read_lockup(const char *r, EntryTable &table) {
    Text type = raw(r, ".contentType");
    if (!type) return nullptr;
    bool video = *type == "LOCKUP_CONTENT_TYPE_VIDEO";
    bool playlist = *type == "LOCKUP_CONTENT_TYPE_PLAYLIST" || *type == "LOCKUP_CONTENT_TYPE_PODCAST";
    if (!video && !playlist) return nullptr;
    ParsedEntry e;
    e.id = raw(r, ".contentId");
    if (playlist && (!e.id || e.id->compare(0, 2, "PL") != 0)) return nullptr;

    const char *meta = json_get(r, ".metadata.lockupMetadataViewModel");
    const char *rows = json_get(meta, ".metadata.contentMetadataViewModel.metadataRows");
    e.title = unescape_whole(raw(meta, ".title.content"));
    const char *owner = json_get(rows, ".0.metadataParts.0.text");
    e.channel_name = decoded(owner, ".content");
    const char *image = json_get(meta, ".image");
    e.channel_id = raw(image, ".decoratedAvatarViewModel.rendererContext.commandContext.onTap."
                              "innertubeCommand.browseEndpoint.browseId");
    if (!e.channel_id)
        e.channel_id = raw(owner, ".commandRuns.0.onTap.innertubeCommand.browseEndpoint.browseId");
    if (!e.channel_id)
        e.channel_id = first_collaborator(json_get(image, ".avatarStackViewModel.rendererContext."
                                                          "commandContext.onTap.innertubeCommand."
                                                          "showDialogCommand"));
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
        if (!e.published) e.published = lockup_part_starting(rows, "Updated");
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
    return nullptr;
}

// shortsLockupViewModel: a short in a Shorts shelf or grid. The service gives no channel here.
const char *read_short(const char *r, EntryTable &table) {
    ParsedEntry e;
    e.kind = ITEM_VIDEO;
    e.flags = ITEM_FLAG_SHORT;
    e.id = raw(r, ".onTap.innertubeCommand.reelWatchEndpoint.videoId");
    if (!e.id) e.id = raw(r, ".onTap.innertubeCommand.watchEndpoint.videoId");
    const char *overlay = json_get(r, ".overlayMetadata");
    e.title = decoded(overlay, ".primaryText.content").value_or("");
    e.views = raw(overlay, ".secondaryText.content");
    e.extra = decoded(r, ".accessibilityText");
    e.length = std::string("SHORT");
    table.add(std::move(e));
    return nullptr;
}

// What one element of a row array turned out to be.
enum RowKind { ROW_OTHER, ROW_READ, ROW_CONTINUATION };

// Shelves, grids and wrappers hold rows one or two levels down; anything nested deeper is not a
// shape the service sends and is not followed.
constexpr int ROW_NESTING_LIMIT = 4;

RowKind read_row(const char *element, EntryTable &table, list_info &info, int nesting,
                 const char **end = nullptr);

// Reads every element of a shelf's array as a row at the shelf's place.
void read_rows_of(const char *array, EntryTable &table, list_info &info, int nesting) {
    if (nesting >= ROW_NESTING_LIMIT) return;
    for (const char *x = json_first(array); x && !table.full(); x = json_next(x))
        read_row(x, table, info, nesting + 1);
}

// Continuation rule A: the token of a continuationItemRenderer value, directly or through the
// first command of a command executor that carries one.
Text continuation_rule_a(const char *value) {
    const char *endpoint = json_get(value, ".continuationEndpoint");
    if (json_find(endpoint, "continuationCommand"))
        return raw(endpoint, ".continuationCommand.token", LISTING_DESCRIPTION_LIMIT);
    for (const char *c = json_first(json_get(endpoint, ".commandExecutorCommand.commands")); c;
         c = json_next(c)) {
        if (json_find(c, "continuationCommand"))
            return raw(c, ".continuationCommand.token", LISTING_DESCRIPTION_LIMIT);
    }
    return std::nullopt;
}

// Continuation rule B: the token of a continuationItemViewModel value.
Text continuation_rule_b(const char *value) {
    return raw(value, ".continuationCommand.innertubeCommand.continuationCommand.token",
               LISTING_DESCRIPTION_LIMIT);
}

void take_token(list_info &info, Text token) {
    if (token) info.continuation = std::move(token);
}

// Reads one element of a row array by the name of its first member that is a known renderer.
// Elements hold one renderer each, so each element's value is passed over once. A continuation
// element gives its token to `info` and reports ROW_CONTINUATION.
RowKind read_row(const char *element, EntryTable &table, list_info &info, int nesting,
                 const char **end) {
    using Reader = const char *(*)(const char *, EntryTable &);
    static const struct {
        std::string_view name;
        Reader reader;
    } readers[] = {
        {"videoRenderer", read_video},
        {"playlistVideoRenderer", read_playlist_video},
        {"lockupViewModel", read_lockup},
        {"compactVideoRenderer", read_video},
        {"shortsLockupViewModel", read_short},
        {"playlistRenderer", read_playlist},
        {"channelRenderer", read_channel},
        {"compactPlaylistRenderer", read_playlist},
        {"gridVideoRenderer", read_video},
    };
    RowKind kind = ROW_OTHER;
    JsonMember m;
    // After the first known member the walk goes on only to find where the element ends.
    for (bool more = json_member_first(element, m); more; more = json_member_next(m)) {
        if (kind != ROW_OTHER) continue;
        for (const auto &r : readers) {
            if (m.name == r.name) {
                if (!table.full()) m.value_end = r.reader(m.value, table);
                kind = ROW_READ;
                break;
            }
        }
        if (kind != ROW_OTHER) continue;
        if (m.name == "continuationItemRenderer") {
            take_token(info, continuation_rule_a(m.value));
            kind = ROW_CONTINUATION;
        } else if (m.name == "continuationItemViewModel") {
            take_token(info, continuation_rule_b(m.value));
            kind = ROW_CONTINUATION;
        } else if (m.name == "richItemRenderer") {
            if (nesting < ROW_NESTING_LIMIT)
                read_row(json_get(m.value, ".content"), table, info, nesting + 1);
            kind = ROW_READ;
        } else if (m.name == "shelfRenderer") {
            const char *content = json_get(m.value, ".content");
            const char *items = json_get(content, ".verticalListRenderer.items");
            if (items == JSON_NOT_FOUND) items = json_get(content, ".horizontalListRenderer.items");
            read_rows_of(items, table, info, nesting);
            kind = ROW_READ;
        } else if (m.name == "gridShelfViewModel") {
            read_rows_of(json_get(m.value, ".contents"), table, info, nesting);
            kind = ROW_READ;
        } else if (m.name == "reelShelfRenderer") {
            read_rows_of(json_get(m.value, ".items"), table, info, nesting);
            kind = ROW_READ;
        }
    }
    if (end) *end = m.end;
    return kind;
}

// Walks a row array. A continuation element ends the walk when `continuation_ends` is set. Once
// the table is full only continuation elements are still looked for, so that a full page keeps
// its next page. When the walk reaches the closing bracket, `*array_end` (when given) becomes the
// position after it.
void read_row_array(const char *array, EntryTable &table, list_info &info, bool continuation_ends,
                    const char **array_end = nullptr) {
    for (const char *e = json_first(array); e;) {
        const char *end = nullptr;
        RowKind kind = read_row(e, table, info, 0, &end);
        if (kind == ROW_CONTINUATION && continuation_ends) break;
        e = end ? json_next_after(end, array_end) : json_next(e);
    }
}

// The row arrays of a continuation response: every appended and every reloaded batch in the
// action array `actions` (a reload delivers a whole page, first pages included). Actions whose
// target mentions `skip_target` (the comments of a watch page) are not rows of the list.
template <class Walk>
void for_each_batch(const char *actions, const char *skip_target, Walk walk) {
    for (const char *a = json_first(actions); a; a = json_next(a)) {
        JsonMember m;
        for (bool more = json_member_first(a, m); more; more = json_member_next(m)) {
            if (m.name != "appendContinuationItemsAction" &&
                m.name != "reloadContinuationItemsCommand")
                continue;
            if (skip_target) {
                Text target = raw(m.value, ".targetId");
                if (target && target->find(skip_target) != std::string::npos) break;
            }
            walk(json_get(m.value, ".continuationItems"));
            break;
        }
    }
}

// The top-level members a playlist page is read from, found in one pass over the response (its
// header and sidebar come after the rows, which one lookup per member would cross each time). `tests` come
// from the text as received (whether a member is there decides the shape of the response);
// `paths` from the text's first opening brace (where the rows are looked up). They are the same
// unless the text starts with something other than whitespace and a brace.
enum TopMember {
    TOP_CONTENTS,
    TOP_ACTIONS, // onResponseReceivedActions (continuations and reloads)
    TOP_MICROFORMAT,
    TOP_SIDEBAR,
    TOP_HEADER,
    TOP_COUNT
};

struct TopLevel {
    const char *tests[TOP_COUNT];
    const char *paths[TOP_COUNT];
    bool has(TopMember m) const { return tests[m] != JSON_NOT_FOUND; }
};

void read_top_level(const char *text, const char *root, TopLevel &top) {
    static const std::string_view names[TOP_COUNT] = {"contents", "onResponseReceivedActions",
                                                      "microformat", "sidebar", "header"};
    members_of(text, names, top.tests);
    const char *start = text;
    while (*start == ' ' || *start == '\t' || *start == '\n' || *start == '\r') ++start;
    if (root == start)
        std::copy(std::begin(top.tests), std::end(top.tests), std::begin(top.paths));
    else if (root)
        members_of(root, names, top.paths);
    else
        std::fill(std::begin(top.paths), std::end(top.paths), JSON_NOT_FOUND);
}

void read_search(const char *text, const char *root, EntryTable &table, list_info &info) {
    auto walk_outer = [&](const char *outer) {
        for (const char *e = json_first(outer); e;) {
            // Both checks on every element: a continuation and a section of rows.
            JsonMember m;
            bool section_read = false, token_read = false;
            for (bool more = json_member_first(e, m); more; more = json_member_next(m)) {
                if (m.name == "continuationItemRenderer" && !token_read) {
                    token_read = true;
                    take_token(info, continuation_rule_a(m.value));
                } else if (m.name == "itemSectionRenderer" && !section_read) {
                    section_read = true;
                    // The section's rows are its first "contents"; once they are read the walk
                    // goes on from their end to the end of the section.
                    JsonMember sm;
                    bool rows_read = false;
                    for (bool inner = json_member_first(m.value, sm); inner;
                         inner = json_member_next(sm)) {
                        if (sm.name != "contents" || rows_read) continue;
                        rows_read = true;
                        const char *rows_end = nullptr;
                        read_row_array(sm.value, table, info, false, &rows_end);
                        sm.value_end = rows_end;
                    }
                    m.value_end = sm.end;
                }
            }
            e = m.end ? json_next_after(m.end) : json_next(e);
        }
    };
    // The members are looked up one by one: "contents" comes early in a first page, and a pass
    // over every member would cross the whole page once more.
    if (json_find(text, "contents"))
        walk_outer(json_get(root, ".contents.twoColumnSearchResultsRenderer.primaryContents."
                                  "sectionListRenderer.contents"));
    else
        for_each_batch(json_get(text, ".onResponseReceivedCommands"), nullptr, walk_outer);
    info.kind = LIST_SEARCH;
    info.title = "Search Results";
    info.owner_name = "Search Results";
}

// The playlist's title, owner and owner id: from the microformat and the header, and where they
// say nothing, from the sidebar's primary and secondary boxes, wherever they stand in its list.
void read_playlist_info(const TopLevel &top, list_info &info) {
    const char *micro = json_get(top.paths[TOP_MICROFORMAT], ".microformatDataRenderer");
    info.title = json_text(json_get(micro, ".title"), LISTING_TEXT_LIMIT);
    info.description = raw(micro, ".description", LISTING_DESCRIPTION_LIMIT);
    if (info.title->empty()) {
        const char *header = top.paths[TOP_HEADER];
        Text title = decoded(header, ".pageHeaderRenderer.pageTitle");
        if (!title) title = decoded(header, ".playlistHeaderRenderer.title.simpleText");
        if (title) info.title = std::move(title);
    }
    const char *primary = JSON_NOT_FOUND;
    const char *owner = JSON_NOT_FOUND;
    for (const char *item = json_first(json_get(top.paths[TOP_SIDEBAR], ".playlistSidebarRenderer.items"));
         item; item = json_next(item)) {
        JsonMember m;
        if (!json_member_first(item, m)) continue;
        if (m.name == "playlistSidebarPrimaryInfoRenderer" && primary == JSON_NOT_FOUND)
            primary = m.value;
        else if (m.name == "playlistSidebarSecondaryInfoRenderer" && owner == JSON_NOT_FOUND)
            owner = json_get(m.value, ".videoOwner.videoOwnerRenderer");
    }
    info.count_text = raw(primary, ".stats.0.runs.0.text");
    const char *watch = json_get(primary, ".navigationEndpoint.watchEndpoint");
    info.id = raw(watch, ".playlistId");
    info.first_video_id = raw(watch, ".videoId");
    if (info.title->empty()) {
        if (Text title = decoded(primary, ".title.runs.0.text")) info.title = std::move(title);
    }
    const char *owner_run = json_get(owner, ".title.runs.0");
    info.owner_name = json_text(json_get(owner_run, ".text"), LISTING_TEXT_LIMIT);
    info.owner_id = raw(owner, ".navigationEndpoint.browseEndpoint.browseId");
    if (!info.owner_id) info.owner_id = raw(owner_run, ".navigationEndpoint.browseEndpoint.browseId");
    info.owner_thumb_url = raw(owner, ".thumbnail.thumbnails.1.url");
}

void read_playlist_browse(const TopLevel &top, EntryTable &table, list_info &info) {
    if (top.has(TOP_ACTIONS)) {
        for_each_batch(top.tests[TOP_ACTIONS], nullptr,
                       [&](const char *rows) { read_row_array(rows, table, info, true); });
    } else {
        const char *tabs = json_get(top.paths[TOP_CONTENTS], ".twoColumnBrowseResultsRenderer.tabs");
        const char *section = json_get(tabs, ".0.tabRenderer.content.sectionListRenderer."
                                             "contents.0.itemSectionRenderer");
        const char *container = json_get(section, ".contents.0.playlistVideoListRenderer");
        if (json_type(container) != JSON_OBJECT) container = section;
        const char *rows = json_get(container, ".contents");
        if (rows == JSON_NOT_FOUND) {
            // A channel's Videos or Shorts tab: a grid in whichever tab holds one.
            for (const char *tab = json_first(tabs); tab; tab = json_next(tab)) {
                rows = json_get(tab, ".tabRenderer.content.richGridRenderer.contents");
                if (rows != JSON_NOT_FOUND) break;
            }
        }
        read_row_array(rows, table, info, true);
    }
    read_playlist_info(top, info);
    info.kind = LIST_PLAYLIST;
}

void read_recommended(const char *text, const char *root, EntryTable &table, list_info &info) {
    if (json_find(text, "currentVideoEndpoint"))
        read_row_array(json_get(root, ".contents.twoColumnWatchNextResults.secondaryResults."
                                      "secondaryResults.results"),
                       table, info, true);
    else if (const char *actions = json_find(text, "onResponseReceivedEndpoints"))
        for_each_batch(actions, "comment",
                       [&](const char *rows) { read_row_array(rows, table, info, true); });
    info.kind = LIST_RECOMMENDED;
    info.title = "Recommended Videos";
    info.owner_name = "Recommended Videos";
}

// --- RSS feeds ------------------------------------------------------------------------------

// The value of the first `tag` at or after `from`: the text after the tag's closing angle
// bracket up to the next opening one, decoded and cut to `limit` bytes. "null" when the tag is
// missing or empty.
std::string rss_value(const char *from, const char *tag, size_t limit = LISTING_TEXT_LIMIT) {
    const char *p = std::strstr(from, tag);
    if (!p) return "null";
    const char *gt = std::strchr(p, '>');
    if (!gt) return "null";
    const char *start = gt + 1;
    const char *end = std::strchr(start, '<');
    if (!end) end = start + std::strlen(start);
    if (end == start) return "null";
    // Decoding never lengthens a text, so the bytes past the limit need not be read.
    size_t length = std::min(static_cast<size_t>(end - start), limit + 1);
    std::string value = xml_unescape(start, static_cast<long>(length));
    if (value.size() > limit) {
        size_t cut = limit;
        while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) --cut;
        value.resize(cut);
    }
    return value;
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
        e.extra = rss_value(entry, "<media:description>", LISTING_DESCRIPTION_LIMIT);
        e.channel_name = rss_value(entry, "<name>");
        e.channel_id = rss_value(entry, "<yt:channelId>");
        Text views;
        if (const char *v = std::strstr(entry, views_tag)) views = json_strdup(v + sizeof views_tag - 1);
        e.views = views.value_or("0") + " views";
        table.add(std::move(e));
    }
    info.count_text = std::to_string(table.entries.size());
    if (!table.entries.empty()) info.first_video_id = table.entries[0].id;
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
    item.flags = e.flags;
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
    EntryTable table;
    const char *root = std::strchr(text, '{');
    switch (kind) {
    case LIST_PLAYLIST: {
        TopLevel top;
        read_top_level(text, root, top);
        read_playlist_browse(top, table, info);
        break;
    }
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
    int count = static_cast<int>(table.entries.size());
    int created = count < max ? count : (max > 0 ? max : 0);
    if (list) {
        for (int i = 0; i < created; ++i)
            list->append(new list_item(entry_to_item(table.entries[i])), ITEM_TAG);
        if (info.continuation) list->append(new list_item{.kind = ITEM_MORE}, ITEM_TAG);
    }
    return created;
}

bool listing_readable(const char *text, uint32_t kind) {
    if (kind == LIST_FEED) return text != nullptr;
    return json_document_complete(text);
}

namespace {

// Seconds local standard time is ahead of UTC: what mktime subtracts from a calendar time given
// with no daylight-saving flag. Asked of the C library once an hour, not per date: mktime reads
// the time-zone file's status on every call, and a feed sorts hundreds of dates per response.
int64_t local_standard_offset(int64_t now) {
    static int64_t hour = -1;
    static int64_t offset = 0;
    if (now / 3600 != hour) {
        hour = now / 3600;
        std::tm tm{};
        time_t t = static_cast<time_t>(now);
        localtime_r(&t, &tm);
        tm.tm_isdst = 0;
        // Each call on its own copy: both normalise the record they are given.
        std::tm as_utc = tm, as_local = tm;
        offset = static_cast<int64_t>(timegm(&as_utc)) - static_cast<int64_t>(std::mktime(&as_local));
    }
    return offset;
}

} // namespace

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
        int64_t now = static_cast<int64_t>(std::time(nullptr));
        return now - (static_cast<int64_t>(timegm(&tm)) - local_standard_offset(now));
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
