#include "service/listing.h"

#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fixtures.h"

namespace {

struct Parsed {
    ItemList list;
    list_info info;
    int count = 0;
    std::vector<list_item *> rows;
};

void parse_text(Parsed &p, const char *text, uint32_t kind, int max = LISTING_ENTRY_LIMIT) {
    p.count = parse_listing(&p.list, p.info, text, kind, max);
    for (list_item *item : p.list) p.rows.push_back(item);
}

std::string search_page(const std::string &rows) {
    return R"({"contents":{"twoColumnSearchResultsRenderer":{"primaryContents":{"sectionListRenderer":{"contents":[)" +
           rows + "]}}}}}";
}
std::string section(const std::string &rows) { return R"({"itemSectionRenderer":{"contents":[)" + rows + "]}}"; }

// Checks "member=value|..." ("~member": absent) against a row and the page info ("info.*").
void expect_texts(const list_item *row, const list_info &info, const std::string &spec) {
    std::map<std::string, const Text *> texts{
        {"info.title", &info.title}, {"info.id", &info.id}, {"info.first", &info.first_video_id},
        {"info.count", &info.count_text}, {"info.owner", &info.owner_name}, {"info.owner_id", &info.owner_id}};
    if (row)
        texts.insert({{"id", &row->id}, {"title", &row->title}, {"views", &row->views_text},
                      {"published", &row->published_text}, {"length", &row->length_text},
                      {"channel", &row->channel_name}, {"channel_id", &row->channel_id},
                      {"thumb", &row->thumb_url}, {"label", &row->label}, {"description", &row->description}});
    for (size_t at = 0, end; at < spec.size(); at = end + 1) {
        end = std::min(spec.find('|', at), spec.size());
        std::string part = spec.substr(at, end - at);
        size_t eq = part.find('=');
        std::string name = part[0] == '~' ? part.substr(1) : part.substr(0, eq);
        SCOPED_TRACE(name);
        auto found = texts.find(name);
        ASSERT_NE(found, texts.end());
        if (part[0] == '~') {
            EXPECT_FALSE(*found->second) << **found->second;
        } else {
            EXPECT_EQ(found->second->value_or("<absent>"), part.substr(eq + 1));
        }
    }
}

} // namespace

// Each recorded page kind: rows counted once each, the continuation, the texts of one row.
TEST(listing_recorded, rows_continuations_and_texts) {
    struct Case {
        const char *name;
        uint32_t kind;
        int count;
        const char *continuation; // its start; nullptr: none, and no "Load More" row
        int row;                  // the row whose fields are checked, -1 for none
        uint32_t row_kind;
        std::string fields, info; // texts of the row and of the page (see expect_texts)
        const char *first = nullptr, *last = nullptr; // ids of the first and last rows
        int shorts = 0;
    } cases[] = {
        // Two Shorts grids (ten each, five in both) between the videos, two shelves of videos.
        {"search/search_web_2026-01_all_test_first.json", LIST_SEARCH, 45, "EqEDEgR0ZXN0GpgD", 0,
         ITEM_VIDEO, "title=FIRST FOOTAGE of the 2026 F1 Cars at Barcelona Shakedown Test!|"
         "channel=BackMarkers F1 Show|channel_id=UC6agiNZlMdGE9yqtQT9n8aw|length=2:16|views=1.8k views|"
         "published=2 hours ago|description=unknown", "info.title=Search Results|~info.id", "6GDBMbMU0ew",
         "Z8KYabgkMbw", 15},
        // 24 videos, a channel and 20 shorts.
        {"search/search_web_2026-01_all_test_continuation.json", LIST_SEARCH, 45,
         "Eq8DEgR0ZXN0GqYDU0NpQ0FR", -1, 0, {}, {}, "aRyI5VtJcSQ", "Mv70uh16iUY", 20},
        // Channels show their subscriber count as their views; the handle is no date; avatars
        // ("//yt3...") get the https scheme.
        {"search/search_web_2026-01_channels_bbc_first.json", LIST_SEARCH, 20, "EvAFEgNiYmMa6AVF", 0,
         ITEM_CHANNEL, "id=UC16niRr50-MSBwiO3YDb3RA|views=19.1m subscribers|published=|length=Channel|"
         "thumb=https://yt3.ggpht.com/v4JamQ9B-PUiJHjmZQs9UwTaoLQW8vijJMMpV5QvA2wHQ6iwWM8Q1s6O4jgTl0dtDigVWAi7SA"
         "=s88-c-k-c0x00ffffff-no-rj-mo", {},
         "UC16niRr50-MSBwiO3YDb3RA", "UC8zQiuT0m1TELequJ5sp5zw"},
        // 19 playlists and a podcast with a PL id; "Updated yesterday" is the published text.
        {"search/search_web_2026-01_playlists_test_first.json", LIST_SEARCH, 20, "Eu0HEgR0ZXN0", 0,
         ITEM_PLAYLIST, "id=PLAD454F0807B6CB80|title=Tests du grenier|channel=Joueur Du Grenier|"
         "published=Updated yesterday|length=102 Videos|label=Zw6s3g1VpUc|"
         "thumb=https://i.ytimg.com/vi/Zw6s3g1VpUc/mqdefault.jpg", {}, "PLAD454F0807B6CB80",
         "PLIi5X8tybGdCmQNWQXg-o3trOHN_vh5c0"},
        // The title escape \u200b is decoded to its three UTF-8 bytes.
        {"browse/browse_playlist_web_2024-11_VLPLoumn_first.json", LIST_PLAYLIST, 100,
         "4qmFsgKeAhIkVkxQTG91bW41QklzVURl", 58, ITEM_VIDEO, "title=DAWN, \u200bALMA - Angels (Lyric Video)",
         "info.id=PLoumn5BIsUDeGF1vy5Nylf_RJKn5aL_nr|info.first=kPa7bsKwL-c|info.title=TOP 150 Songs 2024 - "
         "List of Best Music 2024 (Today's Hits Playlist)|info.count=150|info.owner_id=UC-7fxYMkY5sTDKmmsC3p5iA|"
         "info.owner=Redlist - Chart Playlists", "kPa7bsKwL-c", "FsGdznlfE2U"},
        // 101 rows before the continuation: none is dropped.
        {"browse/browse_playlist_web_2024-11_VLPLWwAyp_huge_continuation.json", LIST_PLAYLIST, 101,
         "4qmFsgKaAhIkVkxQTFd3", 12, ITEM_VIDEO,
         "id=0qanF-91aJo|title=BLACK SABBATH - \"Paranoid\" (Official Video)", {}, "htgr3pvBr-I",
         "VdphvuyaV_I"},
        // First pages delivered as a reload command.
        {"browse/browse_playlist_web_2026-01_VLPLWwAyp_huge_first_via_continuation.json", LIST_PLAYLIST,
         100, "4qmFsgKBARIkVkxQ", -1, 0, {},
         "info.owner=Tomas Nilsson TOMPA571|info.owner_id=UCHSPWoY1J5fbDVbcnyeqwdw", "8SbUC-UaAxE",
         "n_GFN3a0yj0"},
        // Shorts uploads as playlist rows; collaborations name the first collaborator.
        {"browse/browse_uploads_web_2026-01_VLUUSH_shorts_first_via_continuation.json", LIST_PLAYLIST, 100,
         "4qmFsgJxEhxWTFVV", -1, 0, {}, "info.title=Short videos", "6Z5r6oxXn_M", "moDAOY2yH3c"},
        {"next/next_web_2024-11_M4gD1WSo5mA_first.json", LIST_RECOMMENDED, 20,
         "CBQSExILTTRnRDFXU281bUHAAQHI", 0, ITEM_PLAYLIST,
         "id=PLvkPI8QIE9MKnF4CH0XqvKgSaHUE0K9-4|length=15 Videos", "info.owner=Recommended Videos",
         "PLvkPI8QIE9MKnF4CH0XqvKgSaHUE0K9-4", "M3oWYHYoBvk"},
        // 17 videos, a Shorts shelf of ten, one PL playlist; two RD mixes are skipped.
        {"next/next_web_2026-01_FAqYW76GLPA_mix_playlist_first.json", LIST_RECOMMENDED, 28,
         "CBQSHBILRkFxWVc3", -1, 0, {}, {}, "nuv1oOgzLKQ", "xmP3FwFNiBY", 10},
        {"next/next_web_2026-06_M4gD1WSo5mA_first.json", LIST_RECOMMENDED, 20, "CBQSExILTTRnRDFX", 0,
         ITEM_VIDEO, "id=2GGE_ToREPw|"
         "title=William Fisher, CopyrightX: Lecture 3.3, The Subject Matter of Copyright: Music|"
         "channel=The Berkman Klein Center for Internet & Society|channel_id=UCuLGmD72gJDBwmLw06X58SA|"
         "views=21k views|published=11 years ago|length=24:06", {}, "2GGE_ToREPw", "CCKPAkphTgA"},
        // A collaboration: the first collaborator of the avatar stack's dialog.
        {"next/next_web_2026-06_M4gD1WSo5mA_first.json", LIST_RECOMMENDED, 20, "CBQSExILTTRnRDFX", 6,
         ITEM_VIDEO, "id=F3fCktnkBbc|channel_id=UCLv7Gzc3VTO6ggFlXY0sOyw", {}},
        // RSS feeds: entities decoded, absent description "null", no "Load More" row.
        {"feeds/feed_playlist_PLav47HAVZMjnTFVZL_trimmed.xml", LIST_FEED, 4, nullptr, 0, ITEM_VIDEO,
         "title=WING IT! - Blender Open Movie|views=1183672 views|published=2023-09-12T15:11:22|length=|"
         "label=Gekürzt für den Test.|channel=Blender Studio",
         "info.id=PLav47HAVZMjnTFVZL-aImCQIC0uLZtNCz|info.title=Blender Open Movies|"
         "info.owner=Blender Studio|info.count=4|info.first=u9lj-c29dxI"},
        // A channel feed has no playlist id.
        {"feeds/feed_channel_user_Kurzgesagt_2026-01.xml", LIST_FEED, 15, nullptr, 0, ITEM_VIDEO,
         "id=zg40FHOAqC0|title=Jupiter Made Earth Possible|views=1086938 views|"
         "channel_id=UCsXVk37bltHxD1rDPwtNM8Q|published=2026-01-22T15:01:42",
         "info.count=15|info.id=null|info.owner_id=sXVk37bltHxD1rDPwtNM8Q|"
         "info.title=Kurzgesagt – In a Nutshell"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " row " + std::to_string(c.row));
        const std::string text = fixture(c.name);
        Parsed p;
        parse_text(p, text.c_str(), c.kind);
        EXPECT_EQ(p.count, c.count);
        ASSERT_EQ(p.rows.size(), size_t(c.count) + (c.continuation ? 1 : 0));
        EXPECT_EQ(p.info.continuation.value_or("<absent>").rfind(c.continuation ? c.continuation : "<absent>", 0), 0u);
        EXPECT_EQ(p.rows.back()->kind == ITEM_MORE, c.continuation != nullptr);
        if (c.first) {
            EXPECT_EQ(p.rows.front()->id.value_or(""), c.first);
            EXPECT_EQ(p.rows[c.count - 1]->id.value_or(""), c.last);
        }
        // Each row once, every id one the page names, the channel known except for shorts
        // (the service gives none for them).
        std::set<std::pair<uint32_t, std::string>> seen;
        int shorts = 0;
        for (int i = 0; i < c.count; ++i) {
            const list_item &row = *p.rows[i];
            SCOPED_TRACE("row " + std::to_string(i) + " " + row.id.value_or("<absent>"));
            EXPECT_TRUE(seen.insert({row.kind, row.id.value_or("")}).second);
            EXPECT_NE(text.find(row.id.value_or("<absent>")), std::string::npos);
            if (row.flags & ITEM_FLAG_SHORT) ++shorts;
            else EXPECT_NE(row.channel_id.value_or("unknown"), "unknown");
        }
        if (c.first) {
            EXPECT_EQ(shorts, c.shorts);
        }
        if (c.row >= 0) {
            EXPECT_EQ(p.rows[c.row]->kind, c.row_kind);
            expect_texts(p.rows[c.row], p.info, c.fields);
        }
        expect_texts(nullptr, p.info, c.info);
    }
}

TEST(listing_shapes, grids_shelves_reloads_continuations_and_the_sidebar_header) {
    const std::string video = R"({"videoRenderer":{"videoId":"v1","title":{"runs":[{"text":"One"}]},
        "shortBylineText":{"runs":[{"text":"Chan","navigationEndpoint":{"browseEndpoint":{"browseId":"UCa"}}}]}}})";
    const std::string short_lockup = R"({"shortsLockupViewModel":{"onTap":{"innertubeCommand":{"reelWatchEndpoint":{"videoId":"s1"}}},
        "overlayMetadata":{"primaryText":{"content":"Short one"},"secondaryText":{"content":"5k views"}}}})";
    const std::string lockup = R"({"lockupViewModel":{"contentType":"LOCKUP_CONTENT_TYPE_VIDEO","contentId":"l1",
        "metadata":{"lockupMetadataViewModel":{"title":{"content":"Lock"},"metadata":{"contentMetadataViewModel":{"metadataRows":[
        {"metadataParts":[{"text":{"content":"Owner","commandRuns":[{"onTap":{"innertubeCommand":{"browseEndpoint":{"browseId":"UCo"}}}}]}}]},
        {"metadataParts":[{"text":{"content":"7"}},{"text":{"content":"1 day ago"}}]}]}}}}}})";
    const std::string collab_byline = R"({"playlistVideoRenderer":{"videoId":"c1","videoInfo":{"runs":[{"text":"2K watching"}]},
        "shortBylineText":{"runs":[{"text":"A and B","navigationEndpoint":{"showDialogCommand":{"panelLoadingStrategy":{"inlineContent":{"dialogViewModel":{"customContent":{"listViewModel":{"listItems":[
        {"listItemViewModel":{"rendererContext":{"commandContext":{"onTap":{"innertubeCommand":{"browseEndpoint":{"browseId":"UCfirst"}}}}}}},
        {"listItemViewModel":{"rendererContext":{"commandContext":{"onTap":{"innertubeCommand":{"browseEndpoint":{"browseId":"UCsecond"}}}}}}}]}}}}}}}}]}}})";
    const std::string more = R"({"continuationItemRenderer":{"continuationEndpoint":{"continuationCommand":{"token":"NEXT"}}}})";
    auto rich = [](const std::string &row) { return R"({"richItemRenderer":{"content":)" + row + "}}"; };
    auto appended = [](const std::string &items, const char *key = "onResponseReceivedEndpoints") {
        return "{\"" + std::string(key) + R"(":[{"appendContinuationItemsAction":{"continuationItems":[)" + items + "]}}]}";
    };
    auto timed = [](const char *id, const char *length = R"(,"lengthText":{"simpleText":"1:00"})") {
        return std::string(R"({"videoRenderer":{"videoId":")") + id + "\"" + length + "}}";
    };
    auto executor = [&](const char *commands) {
        return appended(std::string(R"({"continuationItemRenderer":{"continuationEndpoint":{"commandExecutorCommand":{"commands":[)") +
                        commands + "]}}}}");
    };
    struct Case {
        const char *what;
        uint32_t kind;
        std::string text;
        std::vector<const char *> ids; // the rows in order
        const char *continuation;
        std::string last_row, info; // texts of the last row and of the page
        int max = LISTING_ENTRY_LIMIT;
    } cases[] = {
        // Rows of both sections up to the limit, the "Load More" row not counted; no length: live.
        {"sections joined and limited", LIST_SEARCH,
         search_page(section(timed("r0") + "," + timed("r1") + "," + timed("r2")) + "," +
                     section(timed("r3") + "," + timed("r4", "") + "," + timed("r5")) + "," + more),
         {"r0", "r1", "r2", "r3", "r4"}, "NEXT", "length=LIVE", {}, 5},
        {"a channel's grid in its second tab", LIST_PLAYLIST,
         R"({"contents":{"twoColumnBrowseResultsRenderer":{"tabs":[{"tabRenderer":{"title":"Home"}},{"tabRenderer":{"content":{"richGridRenderer":{"contents":[)" + rich(short_lockup) + "," + rich(video) + "," + rich(lockup) + "," + more + "]}}}}]}}}",
         {"s1", "v1", "l1"}, "NEXT", "channel_id=UCo|views=7 views|published=1 day ago", {}},
        {"a lockup in a search page", LIST_SEARCH, search_page(section(lockup)), {"l1"}, nullptr,
         "title=Lock|channel=Owner", {}},
        {"horizontal and Shorts shelves; a video seen twice is one row", LIST_SEARCH,
         search_page(section(R"({"reelShelfRenderer":{"items":[)" + short_lockup + "]}}," + video + "," + R"({"gridShelfViewModel":{"contents":[)" + short_lockup + "]}}," + video + "," + R"({"shelfRenderer":{"content":{"horizontalListRenderer":{"items":[{"gridVideoRenderer":{"videoId":"g1","title":{"simpleText":"Grid"}, "thumbnailOverlays":[{"thumbnailOverlayTimeStatusRenderer":{"text":{"simpleText":"3:21"}}}]}}]}}}})")),
         {"s1", "v1", "g1"}, nullptr, "title=Grid|length=3:21", {}},
        {"a search page reloaded; a collaboration byline; a live count kept", LIST_SEARCH,
         R"({"onResponseReceivedCommands":[{"reloadContinuationItemsCommand":{"continuationItems":[)" + section(collab_byline) + "," + more + "]}}]}",
         {"c1"}, "NEXT", "channel_id=UCfirst|views=2K watching", {}},
        {"a playlist row's views word; a view-model continuation", LIST_PLAYLIST,
         appended(R"({"playlistVideoRenderer":{"videoId":"p1","videoInfo":{"runs":[{"text":"12"},{"text":" - "},{"text":"1 day ago"}]}}}, {"continuationItemViewModel":{"continuationCommand":{"innertubeCommand":{"continuationCommand":{"token":"VM"}}}}})",
         "onResponseReceivedActions"), {"p1"}, "VM",
         "views=12 views|published=1 day ago|length=LIVE|channel=unknown", {}},
        {"a command executor's first continuation", LIST_RECOMMENDED,
         executor(R"({"showReloadUiCommand":{}},{"continuationCommand":{"token":"EXEC"}},{"continuationCommand":{"token":"LATER"}})"),
         {}, "EXEC", {}, "info.title=Recommended Videos"},
        {"a command executor without one", LIST_RECOMMENDED, executor(R"({"showReloadUiCommand":{}})"), {},
         nullptr, {}, {}},
        {"a token that is not a string ends the walk", LIST_RECOMMENDED,
         appended(R"({"continuationItemViewModel":{"continuationCommand":{"innertubeCommand":{"continuationCommand":{"token":42}}}}}, {"compactVideoRenderer":{"videoId":"after"}})"),
         {}, nullptr, {}, {}},
        {"header from the sidebar, boxes in either order", LIST_PLAYLIST,
         R"({"sidebar":{"playlistSidebarRenderer":{"items":[ {"playlistSidebarSecondaryInfoRenderer":{"videoOwner":{"videoOwnerRenderer":{"title":{"runs":[{"text":"Own &amp; Co","navigationEndpoint":{"browseEndpoint":{"browseId":"UCown"}}}]}}}}}, {"playlistSidebarPrimaryInfoRenderer":{"title":{"runs":[{"text":"Side title"}]}}}]}}})",
         {}, nullptr, {}, "info.title=Side title|info.owner=Own &amp; Co|info.owner_id=UCown"},
        // Members of the wrong types give defaults, not failures.
        {"wrong types", LIST_SEARCH,
         search_page(section(R"({"videoRenderer":{"videoId":5,"title":{"runs":7}}})")), {"unknown"},
         nullptr, "title=|~thumb", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Parsed p;
        parse_text(p, c.text.c_str(), c.kind, c.max);
        ASSERT_EQ(p.count, int(c.ids.size()));
        ASSERT_EQ(p.rows.size(), c.ids.size() + (c.continuation ? 1 : 0));
        for (size_t i = 0; i < c.ids.size(); ++i) {
            EXPECT_EQ(p.rows[i]->id.value_or(""), c.ids[i]);
            EXPECT_EQ((p.rows[i]->flags & ITEM_FLAG_SHORT) != 0, c.ids[i][0] == 's');
        }
        EXPECT_EQ(p.info.continuation.value_or("<absent>"), c.continuation ? c.continuation : "<absent>");
        if (!c.ids.empty()) expect_texts(p.rows[c.ids.size() - 1], p.info, c.last_row);
        expect_texts(nullptr, p.info, c.info);
    }
}

TEST(listing_malformed, truncated_and_odd_input) {
    for (const char *name : {"search/search_web_2026-01_all_test_first.json",
                             "next/next_web_2026-06_M4gD1WSo5mA_first.json"}) {
        std::string whole = fixture(name);
        uint32_t kind = name[0] == 's' ? LIST_SEARCH : LIST_RECOMMENDED;
        list_info whole_info;
        int full = parse_listing(nullptr, whole_info, whole.c_str(), kind, 100);
        // Without a list the rows are counted but not kept.
        EXPECT_EQ(parse_listing(nullptr, whole_info, whole.c_str(), kind, 7), 7);
        EXPECT_EQ(parse_listing(nullptr, whole_info, whole.c_str(), kind, -1), 0);
        for (size_t cut : {size_t(1), whole.size() / 3, whole.size() - 2}) {
            SCOPED_TRACE(std::string(name) + " cut at " + std::to_string(cut));
            ItemList list;
            list_info info;
            int count = parse_listing(&list, info, cut_copy(whole, cut).get(), kind, 100);
            EXPECT_LE(count, full);
            EXPECT_GE(count, 0);
        }
    }
    ItemList list;
    list_info info;
    info.continuation = "stale";
    info.title = "stale";
    EXPECT_EQ(parse_listing(&list, info, nullptr, LIST_SEARCH, 100), 0);
    EXPECT_FALSE(info.continuation);
    EXPECT_EQ(info.title.value(), "Search Results");
    EXPECT_EQ(parse_listing(&list, info, "", LIST_PLAYLIST, 100), 0);
    EXPECT_EQ(parse_listing(&list, info, "[1,2,3]", LIST_RECOMMENDED, 100), 0);
    EXPECT_EQ(parse_listing(&list, info, R"({"contents":"x"})", 7, 100), 0);
    EXPECT_FALSE(info.title); // an unknown kind only clears the info
    // Texts are cut: a title of a megabyte keeps its first LISTING_TEXT_LIMIT bytes.
    std::string long_title(1 << 20, 'x');
    std::string text = search_page(section(R"({"videoRenderer":{"videoId":"v","title":{"runs":[{"text":")" +
                                           long_title + R"("}]}}})"));
    EXPECT_EQ(parse_listing(&list, info, text.c_str(), LIST_SEARCH, 100), 1);
    EXPECT_EQ(list.first()->data->title.value(), long_title.substr(0, LISTING_TEXT_LIMIT));
}

TEST(published_age, relative_and_iso_texts) {
    struct Case {
        const char *text;
        int64_t age;
    } cases[] = {
        {"3 days ago", 259200},      {"1 year ago", 31536000},    {"just now", AGE_NONE},
        {"5 seconds ago", 5},        {"10 minutes ago", 600},     {"1 hour ago", 3600},
        {"2 months ago", 2 * 2592000}, {"1.9 hours ago", 3600},   {"0 days ago", AGE_NONE},
        {"0.5 hours ago", AGE_NONE}, {"7 fortnights", AGE_NONE},  {"", AGE_NONE},
        {"Streamed 2 weeks ago", 2 * 604800}, {"Premiered 11 years ago", 11 * 31536000LL},
        {"99999999999999999999 years", 1000000000LL * 31536000LL}, {nullptr, AGE_NONE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text ? c.text : "null");
        EXPECT_EQ(published_age(c.text), c.age);
    }
    // ISO times are local time.
    std::time_t hour_ago = std::time(nullptr) - 3600;
    std::tm parts{};
    localtime_r(&hour_ago, &parts);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S+00:00", &parts);
    EXPECT_GE(published_age(text), 3600);
    EXPECT_LE(published_age(text), 3602);
}

TEST(xml_unescape, references) {
    std::string t = "Tom &amp; Jerry &#039;live&#039; &lt;b&gt; &quot;q&quot; &amp &#39; &unknown; &";
    EXPECT_EQ(xml_unescape(t.data(), long(t.size())), "Tom & Jerry 'live' <b> \"q\" &amp &#39; &unknown; &");
    // A reference cut by the length is copied as it stands.
    EXPECT_EQ(xml_unescape("a&amp;", 4), "a&am");
    EXPECT_EQ(xml_unescape("a&amp;", 0), "");
    std::string big = std::string(300, 'x') + "&gt;";
    EXPECT_EQ(xml_unescape(big.data(), long(big.size())), std::string(300, 'x') + ">");
}
