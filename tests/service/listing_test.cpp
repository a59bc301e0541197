#include "service/listing.h"

#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fixtures.h"

namespace {

// The rows of a list as a vector, for indexing.
std::vector<list_item *> rows_of(ItemList &list) {
    std::vector<list_item *> rows;
    for (list_item *item : list) rows.push_back(item);
    return rows;
}

struct Parsed {
    ItemList list;
    list_info info;
    int count = 0;
    std::vector<list_item *> rows;
};

void parse_fixture(Parsed &p, const std::string &name, uint32_t kind, int max = 100) {
    std::string text = fixture(name);
    p.count = parse_listing(&p.list, p.info, text.c_str(), kind, max);
    p.rows = rows_of(p.list);
}

std::string video_renderer(int n, bool with_length = true) {
    std::string id = "vid" + std::to_string(n);
    return R"({"videoRenderer":{"videoId":")" + id + R"(","title":{"runs":[{"text":"T)" +
           std::to_string(n) + R"("}]})" +
           (with_length ? R"(,"lengthText":{"simpleText":"1:00"})" : "") + "}}";
}

std::string playlist_video_renderer(int n) {
    return R"({"playlistVideoRenderer":{"videoId":"p)" + std::to_string(n) +
           R"(","videoInfo":{"runs":[{"text":"12"},{"text":" - "},{"text":"1 day ago"}]}}})";
}

std::string search_page(const std::vector<std::vector<std::string>> &sections, const char *token) {
    std::string outer;
    for (const auto &section : sections) {
        std::string contents;
        for (const auto &row : section) contents += (contents.empty() ? "" : ",") + row;
        outer += (outer.empty() ? "" : ",") + std::string(R"({"itemSectionRenderer":{"contents":[)") +
                 contents + "]}}";
    }
    if (token)
        outer += std::string(R"(,{"continuationItemRenderer":{"continuationEndpoint":{"continuationCommand":{"token":")") +
                 token + "\"}}}}";
    return R"({"contents":{"twoColumnSearchResultsRenderer":{"primaryContents":{"sectionListRenderer":{"contents":[)" +
           outer + "]}}}}}";
}

} // namespace

// --- Search -------------------------------------------------------------------------------------

TEST(listing_search, first_page_of_a_recorded_search) {
    Parsed p;
    parse_fixture(p, "search/search_web_2026-01_all_test_first.json", LIST_SEARCH);
    // 20 videoRenderer rows; the Shorts shelves and shelfRenderer rows are not read.
    EXPECT_EQ(p.count, 20);
    ASSERT_EQ(p.rows.size(), 21u);
    EXPECT_EQ(p.info.kind, LIST_SEARCH);
    EXPECT_EQ(p.info.title.value(), "Search Results");
    EXPECT_EQ(p.info.owner_name.value(), "Search Results");
    EXPECT_FALSE(p.info.id);
    EXPECT_EQ(p.info.continuation.value(),
              "EqEDEgR0ZXN0GpgDU0JTQ0FRczJSMFJDVFdKTlZUQmxkNElCQzNkaFRIQjBSa1owYkZwWmdnRUxZMmQxVTJvMWJIWk9kRy1DQVF0M1VubEVPREZ2UWxWVFRZSUJDMVZGVVZOcllYRnlUVnBCZ2dFTGVXaFRPVXh1Ukc5dlgzZUNBUXMyUm5OWmF6bEhTWFl5V1lJQkMzZE5la2xJZFZkb1gwa3dnZ0VMTlRoUFltMUxkbGRyUTAyQ0FRdGtkRkZzWTFGek56SjVXWUlCQzFsa2VFWkxlWEo0UjJaSmdnRUxZamRRVDBOR1lrcFFaM09DQVFzeU1tbDZlR2h0TXpFMVk0SUJDMFZZUm01aFJ6RnRkakU0Z2dFTFkybDJXVjh4TVhGMGREQ0NBUXRmUVdkclQyWlVOVWRCTklJQkMycEplV0k0YWxNeWRtcGpnZ0VMZEhCYVlrRlNSMHhsV0ctQ0FRdE5jWFpyZGpKck9GaG1iNElCQzFvNFMxbGhZbWRyVFdKM3NnRUdDZ1FJR0JBQzZnRUVDQUlRRlBBQkFRJTNEJTNEGIHg6BgiC3NlYXJjaC1mZWVk");

    const list_item &first = *p.rows[0];
    EXPECT_EQ(first.kind, ITEM_VIDEO);
    EXPECT_EQ(first.id.value(), "6GDBMbMU0ew");
    EXPECT_EQ(first.title.value(), "FIRST FOOTAGE of the 2026 F1 Cars at Barcelona Shakedown Test!");
    EXPECT_EQ(first.channel_name.value(), "BackMarkers F1 Show");
    EXPECT_EQ(first.channel_id.value(), "UC6agiNZlMdGE9yqtQT9n8aw");
    EXPECT_EQ(first.views_text.value(), "1.8k views");
    EXPECT_EQ(first.published_text.value(), "2 hours ago");
    EXPECT_EQ(first.length_text.value(), "2:16");
    EXPECT_EQ(first.label.value(),
              "FIRST FOOTAGE of the 2026 F1 Cars at Barcelona Shakedown Test! 2 minutes, 16 seconds");
    EXPECT_EQ(first.thumb_url.value(), "https://i.ytimg.com/vi/6GDBMbMU0ew/mqdefault.jpg");
    EXPECT_EQ(first.description.value(), "unknown");
    EXPECT_EQ(first.view_count, 0u);
    EXPECT_EQ(first.duration, 0u);
    EXPECT_EQ(first.flags, 0u);
    EXPECT_EQ(p.rows[19]->id.value(), "Z8KYabgkMbw");
    EXPECT_EQ(p.rows[19]->title.value(), "Blind Test TOUT GENRE | 140 extraits");

    const list_item &more = *p.rows[20];
    EXPECT_EQ(more.kind, ITEM_MORE);
    EXPECT_FALSE(more.id);
    EXPECT_FALSE(more.title);
    EXPECT_FALSE(more.thumb_url);
}

TEST(listing_search, continuation_page_is_read_from_the_commands) {
    Parsed p;
    parse_fixture(p, "search/search_web_2026-01_all_test_continuation.json", LIST_SEARCH);
    EXPECT_EQ(p.count, 25); // 24 videos and one channel
    ASSERT_EQ(p.rows.size(), 26u);
    EXPECT_EQ(p.info.title.value(), "Search Results");
    EXPECT_EQ(p.info.continuation.value().substr(0, 24), "Eq8DEgR0ZXN0GqYDU0NpQ0FR");
    EXPECT_EQ(p.info.continuation->substr(p.info.continuation->size() - 18), "c2VhcmNoLWZlZWQ%3D");
    EXPECT_EQ(p.rows[0]->id.value(), "aRyI5VtJcSQ");
    EXPECT_EQ(p.rows[0]->title.value(),
              "Pouvez-vous deviner la r\xC3\xA9ponse\xC2\xA0? Quiz de math\xC3\xA9matiques amusant pour "
              "enfants | QuizEarth");

    const list_item &channel = *p.rows[13];
    EXPECT_EQ(channel.kind, ITEM_CHANNEL);
    EXPECT_EQ(channel.id.value(), "UCZRcA_nO3Kt-SOml2mY8D9g");
    EXPECT_EQ(channel.title.value(), "test");
    EXPECT_EQ(channel.channel_name.value(), "test");
    EXPECT_EQ(channel.length_text.value(), "Channel");
    // The channel reader takes the video count text as published text (here the service put the
    // subscriber count there and the handle into subscriberCountText).
    EXPECT_EQ(channel.published_text.value(), "234k subscribers");
    EXPECT_EQ(channel.views_text.value(), "");
    EXPECT_EQ(channel.label.value(),
              "//yt3.ggpht.com/fl5TdgnN-uKN16BRuzAFH_DwYxO9l6CFumiP5RNQiGBiEOZu5oSr5VEnM77EATS5ZkP_4TikKw=s88-c-k-c0x00ffffff-no-rj-mo");
    EXPECT_EQ(channel.thumb_url.value(),
              "https://yt3.ggpht.com/fl5TdgnN-uKN16BRuzAFH_DwYxO9l6CFumiP5RNQiGBiEOZu5oSr5VEnM77EATS5ZkP_4TikKw=s88-c-k-c0x00ffffff-no-rj-mo");
}

TEST(listing_search, playlist_lockups_keep_PL_ids_only) {
    Parsed p;
    parse_fixture(p, "search/search_web_2026-01_playlists_test_first.json", LIST_SEARCH);
    // 20 lockups: 19 playlists and one podcast, which is skipped.
    EXPECT_EQ(p.count, 19);
    ASSERT_EQ(p.rows.size(), 20u);
    const list_item &first = *p.rows[0];
    EXPECT_EQ(first.kind, ITEM_PLAYLIST);
    EXPECT_EQ(first.id.value(), "PLAD454F0807B6CB80");
    EXPECT_EQ(first.title.value(), "Tests du grenier");
    EXPECT_EQ(first.channel_name.value(), "Joueur Du Grenier");
    EXPECT_EQ(first.length_text.value(), "102 Videos"); // badge "102 videos" cut at its space
    EXPECT_EQ(first.label.value(), "Zw6s3g1VpUc");
    EXPECT_EQ(first.thumb_url.value(), "https://i.ytimg.com/vi/Zw6s3g1VpUc/mqdefault.jpg");
    for (list_item *row : p.rows) {
        if (row->kind != ITEM_MORE) {
            EXPECT_NE(row->id.value(), "PLIi5X8tybGdCmQNWQXg-o3trOHN_vh5c0");
        }
    }
}

TEST(listing_search, old_playlist_renderers_and_the_last_page) {
    Parsed p;
    parse_fixture(p, "search/search_web_2024-11_playlists_test_continuation.json", LIST_SEARCH);
    EXPECT_EQ(p.count, 20);
    EXPECT_EQ(p.rows[0]->id.value(), "PL65MVQhz00kZwC30G7Bm5h3QFuOryf3yq");
    EXPECT_EQ(p.rows[0]->title.value(), "FUNNIEST KID TEST ANSWERS!");
    EXPECT_EQ(p.rows[0]->length_text.value(), "59 Videos");
    EXPECT_EQ(p.rows[0]->label.value(), "mGQMv93Fank");
    EXPECT_EQ(p.rows[0]->channel_id.value(), "UCe56RtxwepRSyZ-b--SedOw");
    EXPECT_EQ(p.rows.back()->kind, ITEM_MORE);

    Parsed last;
    parse_fixture(last, "search/search_web_2026-01_all_UCO6AK_lastpage_continuation.json",
                  LIST_SEARCH);
    EXPECT_EQ(last.count, 0);
    EXPECT_TRUE(last.rows.empty());
    EXPECT_FALSE(last.info.continuation);
    EXPECT_EQ(last.info.title.value(), "Search Results");
}

TEST(listing_search, table_holds_100_rows_across_sections_and_keeps_the_token) {
    std::vector<std::string> a, b;
    for (int i = 0; i < 75; ++i) a.push_back(video_renderer(i));
    for (int i = 75; i < 150; ++i) b.push_back(video_renderer(i));
    std::string text = search_page({a, b}, "NEXT");
    ItemList list;
    list_info info;
    EXPECT_EQ(parse_listing(&list, info, text.c_str(), LIST_SEARCH, 100), 100);
    auto rows = rows_of(list);
    ASSERT_EQ(rows.size(), 101u);
    EXPECT_EQ(rows[99]->id.value(), "vid99");
    EXPECT_EQ(rows[100]->kind, ITEM_MORE);
    EXPECT_EQ(info.continuation.value(), "NEXT");
}

TEST(listing_search, max_limits_rows_but_not_the_more_row) {
    std::vector<std::string> a;
    for (int i = 0; i < 20; ++i) a.push_back(video_renderer(i, i != 3));
    std::string text = search_page({a}, "T");
    ItemList list;
    list_info info;
    EXPECT_EQ(parse_listing(&list, info, text.c_str(), LIST_SEARCH, 5), 5);
    auto rows = rows_of(list);
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[3]->length_text.value(), "LIVE"); // no lengthText: a live stream
    EXPECT_EQ(rows[2]->length_text.value(), "1:00");
    EXPECT_EQ(rows[5]->kind, ITEM_MORE);
    // Without a list the rows are counted but not kept.
    EXPECT_EQ(parse_listing(nullptr, info, text.c_str(), LIST_SEARCH, 7), 7);
    EXPECT_EQ(parse_listing(nullptr, info, text.c_str(), LIST_SEARCH, 0), 0);
    EXPECT_EQ(parse_listing(nullptr, info, text.c_str(), LIST_SEARCH, -1), 0);
}

// --- Playlist browse --------------------------------------------------------------------------

TEST(listing_playlist, first_page_of_exactly_100_rows_keeps_its_continuation) {
    Parsed p;
    parse_fixture(p, "browse/browse_playlist_web_2024-11_VLPLoumn_first.json", LIST_PLAYLIST);
    EXPECT_EQ(p.count, 100);
    ASSERT_EQ(p.rows.size(), 101u);
    EXPECT_EQ(p.rows[100]->kind, ITEM_MORE);
    EXPECT_EQ(p.info.continuation.value(),
              "4qmFsgKeAhIkVkxQTG91bW41QklzVURlR0Yxdnk1TnlsZl9SSktuNWFMX25yGtABQ0FGNmpRRlFWRHBEUjFGcFJVUk9RazVxV1hwU1ZWVTBUa1ZKTWs1cVdYcFBWVVZ2UVZWcFNuTlpXSEY1T0dsS1FURkJRbGRyVVdsUk1teExWVlpTU0U5VVJtbFdlbEY0VlZkMGMyVnNXbFpWYlhoVFRVWnNORnBITlhKTlZsSjFZa2hPWVdKRWJGUlZNblF3WkZVMVdGSnJNVmxOYWxZMVVsZGtlbE5ZWnpKTVdGb3hWVlpzVW1OVmRFeGhhMnh1U1dmQ0JnSUlBQSUzRCUzRJoCIlBMb3VtbjVCSXNVRGVHRjF2eTVOeWxmX1JKS241YUxfbnI%3D");
    EXPECT_EQ(p.info.kind, LIST_PLAYLIST);
    EXPECT_EQ(p.info.id.value(), "PLoumn5BIsUDeGF1vy5Nylf_RJKn5aL_nr");
    EXPECT_EQ(p.info.first_video_id.value(), "kPa7bsKwL-c");
    EXPECT_EQ(p.info.title.value(),
              "TOP 150 Songs 2024 - List of Best Music 2024 (Today's Hits Playlist)");
    EXPECT_EQ(p.info.count_text.value(), "150");
    EXPECT_EQ(p.info.owner_name.value(), "Redlist - Chart Playlists");
    EXPECT_EQ(p.info.owner_id.value(), "UC-7fxYMkY5sTDKmmsC3p5iA");
    EXPECT_EQ(p.info.owner_thumb_url.value(),
              "https://yt3.ggpht.com/ytc/AIdro_nPnYkUI34QAY1MftLokmIMo4WT00owAeiw03FKkREF_Q=s88-c-k-c0x00ffffff-no-rj");

    const list_item &first = *p.rows[0];
    EXPECT_EQ(first.id.value(), "kPa7bsKwL-c");
    EXPECT_EQ(first.title.value(), "Lady Gaga, Bruno Mars - Die With A Smile (Official Music Video)");
    EXPECT_EQ(first.views_text.value(), "277M views");
    EXPECT_EQ(first.published_text.value(), "2 months ago");
    EXPECT_EQ(first.length_text.value(), "4:13");
    EXPECT_EQ(first.channel_name.value(), "Lady Gaga");
    EXPECT_EQ(first.channel_id.value(), "UCNL1ZadSjHpjm4q9j2sVtOA");
    // The title escape \u200b is decoded to its three UTF-8 bytes.
    EXPECT_EQ(p.rows[58]->id.value(), "n5N1STkgxvg");
    EXPECT_EQ(p.rows[58]->title.value(), "DAWN, \xE2\x80\x8B" "ALMA - Angels (Lyric Video)");
    EXPECT_EQ(p.rows[58]->views_text.value(), "869K views");
    EXPECT_EQ(p.rows[99]->id.value(), "FsGdznlfE2U");
}

TEST(listing_playlist, continuations) {
    Parsed last;
    parse_fixture(last, "browse/browse_playlist_web_2024-11_VLPLoumn_continuation_last.json",
                  LIST_PLAYLIST);
    EXPECT_EQ(last.count, 50);
    EXPECT_EQ(last.rows.size(), 50u); // the last page has no continuation element
    EXPECT_FALSE(last.info.continuation);
    EXPECT_EQ(last.rows[0]->id.value(), "tNxUxm3-658");

    Parsed huge;
    parse_fixture(huge, "browse/browse_playlist_web_2024-11_VLPLWwAyp_huge_continuation.json",
                  LIST_PLAYLIST);
    EXPECT_EQ(huge.count, 100);
    ASSERT_EQ(huge.rows.size(), 101u);
    EXPECT_EQ(huge.rows[100]->kind, ITEM_MORE);
    EXPECT_EQ(huge.info.continuation.value().substr(0, 20), "4qmFsgKaAhIkVkxQTFd3");
    EXPECT_EQ(huge.rows[12]->id.value(), "0qanF-91aJo");
    EXPECT_EQ(huge.rows[12]->title.value(), "BLACK SABBATH - \"Paranoid\" (Official Video)");

    Parsed uploads;
    parse_fixture(uploads, "browse/browse_uploads_web_2024-11_VLUULF_continuation.json",
                  LIST_PLAYLIST);
    EXPECT_EQ(uploads.count, 47);
    EXPECT_EQ(uploads.rows[46]->id.value(), "lB6iEwTYSP8");
    EXPECT_EQ(uploads.rows[46]->title.value(), "Laphroaig Whisky: Welcome To Islay");
    EXPECT_EQ(uploads.rows[46]->views_text.value(), "60K views");
    EXPECT_EQ(uploads.rows[46]->published_text.value(), "11 years ago");
    EXPECT_EQ(uploads.info.id.value(), "UULFbfnHqxXs_K3kvaH-WlNlig");
}

TEST(listing_playlist, shapes_without_rows_still_fill_the_header) {
    // A first page delivered as reloadContinuationItemsCommand is not a shape the reader knows.
    Parsed reload;
    parse_fixture(reload,
                  "browse/browse_playlist_web_2026-01_VLPLWwAyp_huge_first_via_continuation.json",
                  LIST_PLAYLIST);
    EXPECT_EQ(reload.count, 0);
    EXPECT_TRUE(reload.rows.empty());
    EXPECT_EQ(reload.info.owner_name.value(), "Tomas Nilsson TOMPA571");

    Parsed header;
    parse_fixture(header, "browse/browse_playlist_web_2026-01_VLPLoumn_fields_header_sidebar.json",
                  LIST_PLAYLIST);
    EXPECT_EQ(header.count, 0);
    EXPECT_EQ(header.info.title.value(),
              "TOP 150 Songs 2026 - List of Best Music 2026 (Today's Hits Playlist)");
    EXPECT_EQ(header.info.first_video_id.value(), "u2ah9tWTkmk");

    Parsed invalid;
    parse_fixture(invalid, "browse/browse_playlist_web_2026-01_invalid_alerts.json", LIST_PLAYLIST);
    EXPECT_EQ(invalid.count, 0);
    EXPECT_EQ(invalid.info.title.value(), ""); // decoded fields are empty, raw ones absent
    EXPECT_FALSE(invalid.info.id);
    EXPECT_FALSE(invalid.info.continuation);
}

TEST(listing_playlist, views_word_and_the_mended_table_limit) {
    std::string rows;
    for (int i = 0; i < 100; ++i) rows += playlist_video_renderer(i) + ",";
    rows += R"({"continuationItemViewModel":{"continuationCommand":{"innertubeCommand":{"continuationCommand":{"token":"VM"}}}}})";
    std::string text = R"({"onResponseReceivedActions":[{"appendContinuationItemsAction":{"continuationItems":[)" +
                       rows + "]}}]}";
    ItemList list;
    list_info info;
    EXPECT_EQ(parse_listing(&list, info, text.c_str(), LIST_PLAYLIST, 100), 100);
    EXPECT_EQ(info.continuation.value(), "VM");
    auto r = rows_of(list);
    ASSERT_EQ(r.size(), 101u);
    EXPECT_EQ(r[0]->views_text.value(), "12 views");
    EXPECT_EQ(r[0]->published_text.value(), "1 day ago");
    EXPECT_EQ(r[0]->length_text.value(), "LIVE");
    EXPECT_EQ(r[0]->channel_name.value(), "unknown");
}

// --- Continuation rules -----------------------------------------------------------------------

TEST(listing_continuation, rule_a_direct_and_through_a_command_executor) {
    const char *executor =
        R"({"onResponseReceivedEndpoints":[{"appendContinuationItemsAction":{"continuationItems":[
        {"continuationItemRenderer":{"continuationEndpoint":{"commandExecutorCommand":{"commands":[
          {"showReloadUiCommand":{}},{"continuationCommand":{"token":"EXEC"}},
          {"continuationCommand":{"token":"LATER"}}]}}}}]}}]})";
    ItemList list;
    list_info info;
    parse_listing(&list, info, executor, LIST_RECOMMENDED, 100);
    EXPECT_EQ(info.continuation.value(), "EXEC");
    EXPECT_EQ(info.title.value(), "Recommended Videos");

    const char *none =
        R"({"onResponseReceivedEndpoints":[{"appendContinuationItemsAction":{"continuationItems":[
        {"continuationItemRenderer":{"continuationEndpoint":{"commandExecutorCommand":{"commands":[
          {"showReloadUiCommand":{}}]}}}}]}}]})";
    ItemList empty;
    EXPECT_EQ(parse_listing(&empty, info, none, LIST_RECOMMENDED, 100), 0);
    EXPECT_FALSE(info.continuation);
    EXPECT_TRUE(empty.empty());
}

TEST(listing_continuation, rule_b_takes_strings_only_and_ends_the_walk) {
    const char *number =
        R"({"onResponseReceivedEndpoints":[{"appendContinuationItemsAction":{"continuationItems":[
        {"continuationItemViewModel":{"continuationCommand":{"innertubeCommand":{"continuationCommand":{"token":42}}}}},
        {"compactVideoRenderer":{"videoId":"after"}}]}}]})";
    ItemList list;
    list_info info;
    EXPECT_EQ(parse_listing(&list, info, number, LIST_RECOMMENDED, 100), 0);
    EXPECT_FALSE(info.continuation);
}

// --- Recommended videos -----------------------------------------------------------------------

TEST(listing_recommended, compact_renderers_and_a_playlist_lockup) {
    Parsed p;
    parse_fixture(p, "next/next_web_2024-11_M4gD1WSo5mA_first.json", LIST_RECOMMENDED);
    EXPECT_EQ(p.count, 20);
    ASSERT_EQ(p.rows.size(), 21u);
    EXPECT_EQ(p.info.kind, LIST_RECOMMENDED);
    EXPECT_EQ(p.info.owner_name.value(), "Recommended Videos");
    EXPECT_EQ(p.info.continuation.value().substr(0, 28), "CBQSExILTTRnRDFXU281bUHAAQHI");
    EXPECT_EQ(p.rows[0]->kind, ITEM_PLAYLIST);
    EXPECT_EQ(p.rows[0]->id.value(), "PLvkPI8QIE9MKnF4CH0XqvKgSaHUE0K9-4");
    EXPECT_EQ(p.rows[0]->length_text.value(), "15 Videos");
    EXPECT_EQ(p.rows[1]->id.value(), "AnTwZVviXyY");
    EXPECT_EQ(p.rows[1]->title.value(), "Introduction to System Dynamics: Overview");
    EXPECT_EQ(p.rows[1]->views_text.value(), "367K views");
    EXPECT_EQ(p.rows[1]->published_text.value(), "10 years ago");
    EXPECT_EQ(p.rows[1]->length_text.value(), "16:36");
    EXPECT_EQ(p.rows[1]->channel_name.value(), "MIT OpenCourseWare");
    EXPECT_EQ(p.rows[20]->kind, ITEM_MORE);
}

TEST(listing_recommended, live_rows_have_the_LIVE_length) {
    Parsed p;
    parse_fixture(p, "next/next_web_2024-11_jfKfPfyJRdk_live_first.json", LIST_RECOMMENDED);
    EXPECT_EQ(p.count, 20);
    EXPECT_EQ(p.rows[0]->id.value(), "4xDzrJKXOOY");
    EXPECT_EQ(p.rows[0]->length_text.value(), "LIVE");
    EXPECT_EQ(p.rows[0]->views_text.value(), "");
}

TEST(listing_recommended, video_lockups) {
    Parsed p;
    parse_fixture(p, "next/next_web_2026-06_M4gD1WSo5mA_first.json", LIST_RECOMMENDED);
    EXPECT_EQ(p.count, 20);
    const list_item &first = *p.rows[0];
    EXPECT_EQ(first.kind, ITEM_VIDEO);
    EXPECT_EQ(first.id.value(), "2GGE_ToREPw");
    EXPECT_EQ(first.title.value(),
              "William Fisher, CopyrightX: Lecture 3.3, The Subject Matter of Copyright: Music");
    EXPECT_EQ(first.channel_name.value(), "The Berkman Klein Center for Internet & Society");
    EXPECT_EQ(first.channel_id.value(), "UCuLGmD72gJDBwmLw06X58SA");
    EXPECT_EQ(first.views_text.value(), "21k views");
    EXPECT_EQ(first.published_text.value(), "11 years ago");
    EXPECT_EQ(first.length_text.value(), "24:06");
}

TEST(listing_recommended, mix_lockups_skip_generated_playlists) {
    Parsed p;
    parse_fixture(p, "next/next_web_2026-01_FAqYW76GLPA_mix_playlist_first.json", LIST_RECOMMENDED);
    // 17 videos and 3 playlists, of which two are RD mixes.
    EXPECT_EQ(p.count, 18);
    int playlists = 0;
    for (list_item *row : p.rows) {
        if (row->kind == ITEM_MORE) continue;
        EXPECT_NE(row->id->substr(0, 2), "RD");
        if (row->kind == ITEM_PLAYLIST) {
            ++playlists;
            EXPECT_EQ(row->id.value(), "PLHSLaG-jIk9Krjc9QZ3bva27A3o9Gf2gd");
        }
    }
    EXPECT_EQ(playlists, 1);
    EXPECT_EQ(p.rows[0]->id.value(), "nuv1oOgzLKQ");
}

TEST(listing_recommended, comment_continuations_have_no_rows) {
    Parsed p;
    parse_fixture(p, "next/next_web_2026-01_comments_continuation.json", LIST_RECOMMENDED);
    EXPECT_EQ(p.count, 0);
    EXPECT_TRUE(p.rows.empty());
    EXPECT_EQ(p.info.title.value(), "Recommended Videos");
}

// --- Malformed input ----------------------------------------------------------------------------

TEST(listing_malformed, truncated_responses_never_read_past_the_end) {
    const char *names[] = {"search/search_web_2026-01_all_test_first.json",
                           "browse/browse_playlist_web_2024-11_VLPLoumn_first.json",
                           "next/next_web_2026-06_M4gD1WSo5mA_first.json"};
    const uint32_t kinds[] = {LIST_SEARCH, LIST_PLAYLIST, LIST_RECOMMENDED};
    for (int n = 0; n < 3; ++n) {
        std::string whole = fixture(names[n]);
        list_info whole_info;
        int full = parse_listing(nullptr, whole_info, whole.c_str(), kinds[n], 100);
        for (size_t cut : {size_t(0), size_t(1), whole.size() / 7, whole.size() / 3,
                           whole.size() / 2, whole.size() - 2}) {
            SCOPED_TRACE(std::string(names[n]) + " cut at " + std::to_string(cut));
            // A heap copy of exactly the cut length, so a read past the end shows under ASan.
            std::unique_ptr<char[]> text(new char[cut + 1]);
            std::memcpy(text.get(), whole.data(), cut);
            text[cut] = '\0';
            ItemList list;
            list_info info;
            int count = parse_listing(&list, info, text.get(), kinds[n], 100);
            EXPECT_LE(count, full);
            EXPECT_GE(count, 0);
        }
    }
}

TEST(listing_malformed, odd_input) {
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
    // Renderers with members of the wrong types give defaults, not failures.
    std::string text = search_page({{R"({"videoRenderer":{"videoId":5,"title":{"runs":7}}})"}}, nullptr);
    EXPECT_EQ(parse_listing(&list, info, text.c_str(), LIST_SEARCH, 100), 1);
    list_item *row = list.first()->data;
    EXPECT_EQ(row->id.value(), "unknown");
    EXPECT_EQ(row->title.value(), "");
    EXPECT_FALSE(row->thumb_url);
    EXPECT_TRUE(list.empty() == false);
}

// --- Publication age ----------------------------------------------------------------------------

TEST(published_age, relative_texts) {
    struct Case {
        const char *text;
        int64_t age;
    } cases[] = {
        {"3 days ago", 259200},          {"1 year ago", 31536000},
        {"just now", AGE_NONE},          {"Streamed 2 weeks ago", 2 * 604800},
        {"5 seconds ago", 5},            {"10 minutes ago", 600},
        {"1 hour ago", 3600},            {"2 months ago", 2 * 2592000},
        {"1.9 hours ago", 3600},         {"0 days ago", AGE_NONE},
        {"0.5 hours ago", AGE_NONE},     {"7 fortnights", AGE_NONE},
        {"", AGE_NONE},                  {"Premiered 11 years ago", 11 * 31536000LL},
        {"99999999999999999999 years", 1000000000LL * 31536000LL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(published_age(c.text), c.age);
    }
    EXPECT_EQ(published_age(static_cast<const char *>(nullptr)), AGE_NONE);
    EXPECT_EQ(published_age(Text()), AGE_NONE);
}

TEST(published_age, iso_times_are_local_time) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    local.tm_isdst = 0;
    local.tm_hour -= 1;
    std::time_t hour_ago = std::mktime(&local);
    std::tm parts{};
    localtime_r(&hour_ago, &parts);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d+00:00", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    int64_t age = published_age(text);
    EXPECT_GE(age, 3600);
    EXPECT_LE(age, 3602);
}

TEST(xml_unescape, references) {
    std::string t = "Tom &amp; Jerry &#039;live&#039;";
    EXPECT_EQ(xml_unescape(t.data(), long(t.size())), "Tom & Jerry 'live'");
    t = "&lt;b&gt; &quot;q&quot; &amp &#39; &unknown; &";
    EXPECT_EQ(xml_unescape(t.data(), long(t.size())), "<b> \"q\" &amp &#39; &unknown; &");
    // A reference cut by the length is copied as it stands.
    t = "a&amp;";
    EXPECT_EQ(xml_unescape(t.data(), 4), "a&am");
    EXPECT_EQ(xml_unescape(t.data(), 0), "");
    std::string big(300, 'x');
    big += "&gt;";
    EXPECT_EQ(xml_unescape(big.data(), long(big.size())), std::string(300, 'x') + ">");
}
