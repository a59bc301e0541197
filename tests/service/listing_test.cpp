#include "service/listing.h"

#include <cstring>
#include <ctime>
#include <memory>
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

void parse_text(Parsed &p, const char *text, uint32_t kind, int max = 100) {
    p.count = parse_listing(&p.list, p.info, text, kind, max);
    for (list_item *item : p.list) p.rows.push_back(item);
}

void parse_fixture(Parsed &p, const std::string &name, uint32_t kind) {
    parse_text(p, fixture(name).c_str(), kind);
}

std::string video_renderer(int n, bool with_length = true) {
    return R"({"videoRenderer":{"videoId":"vid)" + std::to_string(n) + R"(","title":{"runs":[{"text":"T)" +
           std::to_string(n) + R"("}]})" +
           (with_length ? R"(,"lengthText":{"simpleText":"1:00"})" : "") + "}}";
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

// Expected texts of a record; nullptr: the text must be absent.
template <class Record> using Fields = std::vector<std::pair<Text Record::*, const char *>>;

template <class Record> void expect_fields(const Record &record, const Fields<Record> &fields) {
    for (const auto &[member, value] : fields) {
        if (value) {
            EXPECT_EQ((record.*member).value_or("<absent>"), value);
        } else {
            EXPECT_FALSE(record.*member) << *(record.*member);
        }
    }
}

} // namespace

// --- Recorded responses -------------------------------------------------------------------------

TEST(listing_recorded, rows_continuations_and_texts) {
    struct Case {
        const char *name;
        uint32_t kind;
        int count;
        const char *continuation; // its start; nullptr: none, and no "Load More" row
        int row;                  // the row whose fields are checked
        uint32_t row_kind;
        Fields<list_item> fields;
        Fields<list_info> info;
    } cases[] = {
        // 20 lockups: 19 playlists and one podcast, which is skipped.
        {"search/search_web_2026-01_playlists_test_first.json", LIST_SEARCH, 19, "Eu0HEgR0ZXN0", 0,
         ITEM_PLAYLIST,
         {{&list_item::id, "PLAD454F0807B6CB80"}, {&list_item::title, "Tests du grenier"},
          {&list_item::channel_name, "Joueur Du Grenier"},
          {&list_item::length_text, "102 Videos"}, // badge "102 videos" cut at its space
          {&list_item::label, "Zw6s3g1VpUc"},
          {&list_item::thumb_url, "https://i.ytimg.com/vi/Zw6s3g1VpUc/mqdefault.jpg"}},
         {}},
        {"search/search_web_2024-11_playlists_test_continuation.json", LIST_SEARCH, 20, "Er8HEgR0ZXN0",
         0, ITEM_PLAYLIST,
         {{&list_item::id, "PL65MVQhz00kZwC30G7Bm5h3QFuOryf3yq"},
          {&list_item::title, "FUNNIEST KID TEST ANSWERS!"}, {&list_item::length_text, "59 Videos"},
          {&list_item::label, "mGQMv93Fank"}, {&list_item::channel_id, "UCe56RtxwepRSyZ-b--SedOw"}},
         {}},
        {"search/search_web_2026-01_all_UCO6AK_lastpage_continuation.json", LIST_SEARCH, 0, nullptr,
         -1, 0, {}, {{&list_info::title, "Search Results"}}},
        {"browse/browse_playlist_web_2024-11_VLPLoumn_continuation_last.json", LIST_PLAYLIST, 50,
         nullptr, 0, ITEM_VIDEO, {{&list_item::id, "tNxUxm3-658"}}, {}},
        {"browse/browse_playlist_web_2024-11_VLPLWwAyp_huge_continuation.json", LIST_PLAYLIST, 100,
         "4qmFsgKaAhIkVkxQTFd3", 12, ITEM_VIDEO,
         {{&list_item::id, "0qanF-91aJo"},
          {&list_item::title, "BLACK SABBATH - \"Paranoid\" (Official Video)"}},
         {}},
        {"browse/browse_uploads_web_2024-11_VLUULF_continuation.json", LIST_PLAYLIST, 47, nullptr, 46,
         ITEM_VIDEO,
         {{&list_item::id, "lB6iEwTYSP8"}, {&list_item::title, "Laphroaig Whisky: Welcome To Islay"},
          {&list_item::views_text, "60K views"}, {&list_item::published_text, "11 years ago"}},
         {{&list_info::id, "UULFbfnHqxXs_K3kvaH-WlNlig"}}},
        // A first page delivered as reloadContinuationItemsCommand is not a shape the reader
        // knows; the header is still read.
        {"browse/browse_playlist_web_2026-01_VLPLWwAyp_huge_first_via_continuation.json",
         LIST_PLAYLIST, 0, nullptr, -1, 0, {}, {{&list_info::owner_name, "Tomas Nilsson TOMPA571"}}},
        {"browse/browse_playlist_web_2026-01_VLPLoumn_fields_header_sidebar.json", LIST_PLAYLIST, 0,
         nullptr, -1, 0, {},
         {{&list_info::title, "TOP 150 Songs 2026 - List of Best Music 2026 (Today's Hits Playlist)"},
          {&list_info::first_video_id, "u2ah9tWTkmk"}}},
        // Decoded fields are empty, raw ones absent.
        {"browse/browse_playlist_web_2026-01_invalid_alerts.json", LIST_PLAYLIST, 0, nullptr, -1, 0,
         {}, {{&list_info::title, ""}, {&list_info::id, nullptr}}},
        {"next/next_web_2024-11_M4gD1WSo5mA_first.json", LIST_RECOMMENDED, 20,
         "CBQSExILTTRnRDFXU281bUHAAQHI", 0, ITEM_PLAYLIST,
         {{&list_item::id, "PLvkPI8QIE9MKnF4CH0XqvKgSaHUE0K9-4"}, {&list_item::length_text, "15 Videos"}},
         {{&list_info::owner_name, "Recommended Videos"}}},
        {"next/next_web_2024-11_M4gD1WSo5mA_first.json", LIST_RECOMMENDED, 20, "CBQS", 1, ITEM_VIDEO,
         {{&list_item::id, "AnTwZVviXyY"},
          {&list_item::title, "Introduction to System Dynamics: Overview"},
          {&list_item::views_text, "367K views"}, {&list_item::published_text, "10 years ago"},
          {&list_item::length_text, "16:36"}, {&list_item::channel_name, "MIT OpenCourseWare"}},
         {}},
        {"next/next_web_2024-11_jfKfPfyJRdk_live_first.json", LIST_RECOMMENDED, 20, "CBQSExILamZLZlBm",
         0, ITEM_VIDEO,
         {{&list_item::id, "4xDzrJKXOOY"}, {&list_item::length_text, "LIVE"}, {&list_item::views_text, ""}},
         {}},
        {"next/next_web_2026-06_M4gD1WSo5mA_first.json", LIST_RECOMMENDED, 20, "CBQSExILTTRnRDFX", 0,
         ITEM_VIDEO,
         {{&list_item::id, "2GGE_ToREPw"},
          {&list_item::title,
           "William Fisher, CopyrightX: Lecture 3.3, The Subject Matter of Copyright: Music"},
          {&list_item::channel_name, "The Berkman Klein Center for Internet & Society"},
          {&list_item::channel_id, "UCuLGmD72gJDBwmLw06X58SA"}, {&list_item::views_text, "21k views"},
          {&list_item::published_text, "11 years ago"}, {&list_item::length_text, "24:06"}},
         {}},
        {"next/next_web_2026-01_comments_continuation.json", LIST_RECOMMENDED, 0, nullptr, -1, 0, {},
         {{&list_info::title, "Recommended Videos"}}},
        // RSS feeds: entities decoded, absent description "null", no "Load More" row.
        {"feeds/feed_playlist_PLav47HAVZMjnTFVZL_trimmed.xml", LIST_FEED, 4, nullptr, 0, ITEM_VIDEO,
         {{&list_item::title, "WING IT! - Blender Open Movie"}, {&list_item::views_text, "1183672 views"},
          {&list_item::published_text, "2023-09-12T15:11:22"}, {&list_item::length_text, ""},
          {&list_item::label, "Gek\xC3\xBCrzt f\xC3\xBCr den Test."}, {&list_item::channel_name, "Blender Studio"}},
         {{&list_info::id, "PLav47HAVZMjnTFVZL-aImCQIC0uLZtNCz"}, {&list_info::title, "Blender Open Movies"},
          {&list_info::owner_name, "Blender Studio"}, {&list_info::count_text, "4"},
          {&list_info::first_video_id, "u9lj-c29dxI"}}},
        {"feeds/feed_playlist_PLav47HAVZMjnTFVZL_trimmed.xml", LIST_FEED, 4, nullptr, 2, ITEM_VIDEO,
         {{&list_item::channel_name, "Blender"}, {&list_item::channel_id, "UCSMOQeBJ2RAnuFungnQOxLg"}}, {}},
        {"feeds/feed_playlist_PLav47HAVZMjnTFVZL_trimmed.xml", LIST_FEED, 4, nullptr, 3, ITEM_VIDEO,
         {{&list_item::title, "\"Caminandes 2: Gran Dillama\" - Blender Animated Short"}}, {}},
        // A channel feed has no playlist id.
        {"feeds/feed_channel_user_Kurzgesagt_2026-01.xml", LIST_FEED, 15, nullptr, 0, ITEM_VIDEO,
         {{&list_item::id, "zg40FHOAqC0"}, {&list_item::title, "Jupiter Made Earth Possible"},
          {&list_item::views_text, "1086938 views"}, {&list_item::channel_id, "UCsXVk37bltHxD1rDPwtNM8Q"},
          {&list_item::published_text, "2026-01-22T15:01:42"}},
         {{&list_info::count_text, "15"}, {&list_info::id, "null"},
          {&list_info::owner_id, "sXVk37bltHxD1rDPwtNM8Q"},
          {&list_info::title, "Kurzgesagt \xE2\x80\x93 In a Nutshell"}}},
        {"feeds/feed_channel_notfound_2026-01_404.html", LIST_FEED, 0, nullptr, -1, 0, {},
         {{&list_info::count_text, "0"}, {&list_info::first_video_id, nullptr}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " row " + std::to_string(c.row));
        Parsed p;
        parse_fixture(p, c.name, c.kind);
        EXPECT_EQ(p.count, c.count);
        EXPECT_EQ(p.info.kind, c.kind);
        ASSERT_EQ(p.rows.size(), size_t(c.count) + (c.continuation ? 1 : 0));
        if (c.continuation) {
            EXPECT_EQ(p.info.continuation.value_or("").rfind(c.continuation, 0), 0u);
            EXPECT_EQ(p.rows.back()->kind, ITEM_MORE);
        } else {
            EXPECT_FALSE(p.info.continuation);
        }
        if (c.row >= 0) {
            EXPECT_EQ(p.rows[c.row]->kind, c.row_kind);
            expect_fields(*p.rows[c.row], c.fields);
        }
        expect_fields(p.info, c.info);
    }
}

TEST(listing_search, first_page_of_a_recorded_search) {
    Parsed p;
    parse_fixture(p, "search/search_web_2026-01_all_test_first.json", LIST_SEARCH);
    // 20 videoRenderer rows; the Shorts shelves and shelfRenderer rows are not read.
    EXPECT_EQ(p.count, 20);
    ASSERT_EQ(p.rows.size(), 21u);
    expect_fields(p.info, {{&list_info::title, "Search Results"}, {&list_info::id, nullptr}});
    EXPECT_EQ(p.info.continuation.value(),
              "EqEDEgR0ZXN0GpgDU0JTQ0FRczJSMFJDVFdKTlZUQmxkNElCQzNkaFRIQjBSa1owYkZwWmdnRUxZMmQxVTJvMWJIWk9kRy1DQVF0M1VubEVPREZ2UWxWVFRZSUJDMVZGVVZOcllYRnlUVnBCZ2dFTGVXaFRPVXh1Ukc5dlgzZUNBUXMyUm5OWmF6bEhTWFl5V1lJQkMzZE5la2xJZFZkb1gwa3dnZ0VMTlRoUFltMUxkbGRyUTAyQ0FRdGtkRkZzWTFGek56SjVXWUlCQzFsa2VFWkxlWEo0UjJaSmdnRUxZamRRVDBOR1lrcFFaM09DQVFzeU1tbDZlR2h0TXpFMVk0SUJDMFZZUm01aFJ6RnRkakU0Z2dFTFkybDJXVjh4TVhGMGREQ0NBUXRmUVdkclQyWlVOVWRCTklJQkMycEplV0k0YWxNeWRtcGpnZ0VMZEhCYVlrRlNSMHhsV0ctQ0FRdE5jWFpyZGpKck9GaG1iNElCQzFvNFMxbGhZbWRyVFdKM3NnRUdDZ1FJR0JBQzZnRUVDQUlRRlBBQkFRJTNEJTNEGIHg6BgiC3NlYXJjaC1mZWVk");
    EXPECT_EQ(p.rows[0]->kind, ITEM_VIDEO);
    const std::string title = "FIRST FOOTAGE of the 2026 F1 Cars at Barcelona Shakedown Test!";
    const std::string label = title + " 2 minutes, 16 seconds";
    expect_fields(*p.rows[0],
                  {{&list_item::id, "6GDBMbMU0ew"}, {&list_item::title, title.c_str()},
                   {&list_item::channel_name, "BackMarkers F1 Show"}, {&list_item::label, label.c_str()},
                   {&list_item::channel_id, "UC6agiNZlMdGE9yqtQT9n8aw"}, {&list_item::length_text, "2:16"},
                   {&list_item::views_text, "1.8k views"}, {&list_item::published_text, "2 hours ago"},
                   {&list_item::thumb_url, "https://i.ytimg.com/vi/6GDBMbMU0ew/mqdefault.jpg"},
                   {&list_item::description, "unknown"}});
    EXPECT_EQ(p.rows[19]->title.value(), "Blind Test TOUT GENRE | 140 extraits");
    // The "Load More" row carries no texts.
    expect_fields(*p.rows[20], {{&list_item::id, nullptr}, {&list_item::title, nullptr},
                                {&list_item::thumb_url, nullptr}});
}

TEST(listing_search, continuation_page_with_a_channel_row) {
    Parsed p;
    parse_fixture(p, "search/search_web_2026-01_all_test_continuation.json", LIST_SEARCH);
    EXPECT_EQ(p.count, 25); // 24 videos and one channel
    ASSERT_EQ(p.rows.size(), 26u);
    EXPECT_EQ(p.info.continuation.value().substr(0, 24), "Eq8DEgR0ZXN0GqYDU0NpQ0FR");
    EXPECT_EQ(p.info.continuation->substr(p.info.continuation->size() - 18), "c2VhcmNoLWZlZWQ%3D");
    EXPECT_EQ(p.rows[0]->title.value(),
              "Pouvez-vous deviner la r\xC3\xA9ponse\xC2\xA0? Quiz de math\xC3\xA9matiques amusant pour "
              "enfants | QuizEarth");
    const std::string avatar = "//yt3.ggpht.com/fl5TdgnN-uKN16BRuzAFH_DwYxO9l6CFumiP5RNQiGBiEOZu5oSr5VEnM77EATS5ZkP_4TikKw=s88-c-k-c0x00ffffff-no-rj-mo";
    const std::string avatar_url = "https:" + avatar;
    EXPECT_EQ(p.rows[13]->kind, ITEM_CHANNEL);
    // The channel reader takes the video count text as published text (here the service put the
    // subscriber count there and the handle into subscriberCountText).
    expect_fields(*p.rows[13], {{&list_item::id, "UCZRcA_nO3Kt-SOml2mY8D9g"}, {&list_item::title, "test"},
                                {&list_item::channel_name, "test"}, {&list_item::length_text, "Channel"},
                                {&list_item::published_text, "234k subscribers"}, {&list_item::views_text, ""},
                                {&list_item::label, avatar.c_str()}, {&list_item::thumb_url, avatar_url.c_str()}});
}

TEST(listing_search, rows_are_limited_but_not_the_more_row_and_sections_are_joined) {
    std::vector<std::string> a, b;
    for (int i = 0; i < 75; ++i) a.push_back(video_renderer(i, i != 3));
    for (int i = 75; i < 150; ++i) b.push_back(video_renderer(i));
    std::string text = search_page({a, b}, "NEXT");
    Parsed p;
    parse_text(p, text.c_str(), LIST_SEARCH, 100);
    EXPECT_EQ(p.count, 100);
    ASSERT_EQ(p.rows.size(), 101u);
    EXPECT_EQ(p.rows[99]->id.value(), "vid99");
    EXPECT_EQ(p.rows[100]->kind, ITEM_MORE);
    EXPECT_EQ(p.info.continuation.value(), "NEXT");
    EXPECT_EQ(p.rows[3]->length_text.value(), "LIVE"); // no lengthText: a live stream
    EXPECT_EQ(p.rows[2]->length_text.value(), "1:00");

    Parsed five;
    parse_text(five, text.c_str(), LIST_SEARCH, 5);
    EXPECT_EQ(five.count, 5);
    ASSERT_EQ(five.rows.size(), 6u);
    EXPECT_EQ(five.rows[5]->kind, ITEM_MORE);
    // Without a list the rows are counted but not kept.
    list_info info;
    EXPECT_EQ(parse_listing(nullptr, info, text.c_str(), LIST_SEARCH, 7), 7);
    EXPECT_EQ(parse_listing(nullptr, info, text.c_str(), LIST_SEARCH, 0), 0);
    EXPECT_EQ(parse_listing(nullptr, info, text.c_str(), LIST_SEARCH, -1), 0);
}

TEST(listing_playlist, first_page_of_exactly_100_rows_keeps_its_continuation) {
    Parsed p;
    parse_fixture(p, "browse/browse_playlist_web_2024-11_VLPLoumn_first.json", LIST_PLAYLIST);
    EXPECT_EQ(p.count, 100);
    ASSERT_EQ(p.rows.size(), 101u);
    EXPECT_EQ(p.rows[100]->kind, ITEM_MORE);
    EXPECT_EQ(p.info.continuation.value(),
              "4qmFsgKeAhIkVkxQTG91bW41QklzVURlR0Yxdnk1TnlsZl9SSktuNWFMX25yGtABQ0FGNmpRRlFWRHBEUjFGcFJVUk9RazVxV1hwU1ZWVTBUa1ZKTWs1cVdYcFBWVVZ2UVZWcFNuTlpXSEY1T0dsS1FURkJRbGRyVVdsUk1teExWVlpTU0U5VVJtbFdlbEY0VlZkMGMyVnNXbFpWYlhoVFRVWnNORnBITlhKTlZsSjFZa2hPWVdKRWJGUlZNblF3WkZVMVdGSnJNVmxOYWxZMVVsZGtlbE5ZWnpKTVdGb3hWVlpzVW1OVmRFeGhhMnh1U1dmQ0JnSUlBQSUzRCUzRJoCIlBMb3VtbjVCSXNVRGVHRjF2eTVOeWxmX1JKS241YUxfbnI%3D");
    expect_fields(p.info,
                  {{&list_info::id, "PLoumn5BIsUDeGF1vy5Nylf_RJKn5aL_nr"},
                   {&list_info::first_video_id, "kPa7bsKwL-c"},
                   {&list_info::title, "TOP 150 Songs 2024 - List of Best Music 2024 (Today's Hits Playlist)"},
                   {&list_info::count_text, "150"}, {&list_info::owner_id, "UC-7fxYMkY5sTDKmmsC3p5iA"},
                   {&list_info::owner_name, "Redlist - Chart Playlists"},
                   {&list_info::owner_thumb_url, "https://yt3.ggpht.com/ytc/AIdro_nPnYkUI34QAY1MftLokmIMo4WT00owAeiw03FKkREF_Q=s88-c-k-c0x00ffffff-no-rj"}});
    expect_fields(*p.rows[0],
                  {{&list_item::title, "Lady Gaga, Bruno Mars - Die With A Smile (Official Music Video)"},
                   {&list_item::views_text, "277M views"}, {&list_item::published_text, "2 months ago"},
                   {&list_item::length_text, "4:13"}, {&list_item::channel_name, "Lady Gaga"},
                   {&list_item::channel_id, "UCNL1ZadSjHpjm4q9j2sVtOA"}});
    // The title escape \u200b is decoded to its three UTF-8 bytes.
    EXPECT_EQ(p.rows[58]->title.value(), "DAWN, \xE2\x80\x8B" "ALMA - Angels (Lyric Video)");
    EXPECT_EQ(p.rows[99]->id.value(), "FsGdznlfE2U");
}

TEST(listing_playlist, views_word_and_the_mended_table_limit) {
    std::string rows;
    for (int i = 0; i < 100; ++i)
        rows += R"({"playlistVideoRenderer":{"videoId":"p)" + std::to_string(i) +
                R"(","videoInfo":{"runs":[{"text":"12"},{"text":" - "},{"text":"1 day ago"}]}}},)";
    rows += R"({"continuationItemViewModel":{"continuationCommand":{"innertubeCommand":{"continuationCommand":{"token":"VM"}}}}})";
    std::string text = R"({"onResponseReceivedActions":[{"appendContinuationItemsAction":{"continuationItems":[)" +
                       rows + "]}}]}";
    Parsed p;
    parse_text(p, text.c_str(), LIST_PLAYLIST, 100);
    EXPECT_EQ(p.count, 100);
    EXPECT_EQ(p.info.continuation.value(), "VM");
    ASSERT_EQ(p.rows.size(), 101u);
    expect_fields(*p.rows[0], {{&list_item::views_text, "12 views"}, {&list_item::published_text, "1 day ago"},
                               {&list_item::length_text, "LIVE"}, {&list_item::channel_name, "unknown"}});
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
}

TEST(listing_continuation, command_executor_takes_the_first_token_and_numbers_end_the_walk) {
    auto response = [](const char *item) {
        return std::string(R"({"onResponseReceivedEndpoints":[{"appendContinuationItemsAction":{"continuationItems":[)") +
               item + "]}}]}";
    };
    auto executor = [&](const char *commands) {
        return response((std::string(R"({"continuationItemRenderer":{"continuationEndpoint":{"commandExecutorCommand":{"commands":[)") +
                         commands + "]}}}}").c_str());
    };
    Parsed p;
    parse_text(p, executor(R"({"showReloadUiCommand":{}},{"continuationCommand":{"token":"EXEC"}},
                              {"continuationCommand":{"token":"LATER"}})").c_str(), LIST_RECOMMENDED);
    EXPECT_EQ(p.info.continuation.value(), "EXEC");
    EXPECT_EQ(p.info.title.value(), "Recommended Videos");

    Parsed none;
    parse_text(none, executor(R"({"showReloadUiCommand":{}})").c_str(), LIST_RECOMMENDED);
    EXPECT_EQ(none.count, 0);
    EXPECT_FALSE(none.info.continuation);
    EXPECT_TRUE(none.rows.empty());

    // A token that is not a string ends the walk: the row after it is not read.
    Parsed number;
    parse_text(number, response(R"({"continuationItemViewModel":{"continuationCommand":{"innertubeCommand":{"continuationCommand":{"token":42}}}}},
        {"compactVideoRenderer":{"videoId":"after"}})").c_str(), LIST_RECOMMENDED);
    EXPECT_EQ(number.count, 0);
    EXPECT_FALSE(number.info.continuation);
}

// --- Malformed input ----------------------------------------------------------------------------

TEST(listing_malformed, truncated_responses_never_read_past_the_end) {
    const std::pair<const char *, uint32_t> recorded[] = {
        {"search/search_web_2026-01_all_test_first.json", LIST_SEARCH},
        {"browse/browse_playlist_web_2024-11_VLPLoumn_first.json", LIST_PLAYLIST},
        {"next/next_web_2026-06_M4gD1WSo5mA_first.json", LIST_RECOMMENDED}};
    for (const auto &[name, kind] : recorded) {
        std::string whole = fixture(name);
        list_info whole_info;
        int full = parse_listing(nullptr, whole_info, whole.c_str(), kind, 100);
        for (size_t cut : {size_t(0), size_t(1), whole.size() / 7, whole.size() / 3,
                           whole.size() / 2, whole.size() - 2}) {
            SCOPED_TRACE(std::string(name) + " cut at " + std::to_string(cut));
            // A heap copy of exactly the cut length, so a read past the end shows under ASan.
            std::unique_ptr<char[]> text(new char[cut + 1]);
            std::memcpy(text.get(), whole.data(), cut);
            text[cut] = '\0';
            ItemList list;
            list_info info;
            int count = parse_listing(&list, info, text.get(), kind, 100);
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
    expect_fields(*list.first()->data, {{&list_item::id, "unknown"}, {&list_item::title, ""},
                                        {&list_item::thumb_url, nullptr}});
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
    std::time_t hour_ago = std::time(nullptr) - 3600;
    std::tm parts{};
    localtime_r(&hour_ago, &parts);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S+00:00", &parts);
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
