#include "service/feed.h"

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/runtime.h"
#include "fixtures.h"
#include "service/listing.h"

namespace {

list_item *make_item(const char *id, const char *published, uint32_t kind = ITEM_VIDEO) {
    auto *item = new list_item;
    item->kind = kind;
    if (id) item->id = id;
    if (published) item->published_text = published;
    return item;
}

std::vector<std::string> ids(ItemList &list) {
    std::vector<std::string> out;
    for (list_item *item : list) out.push_back(item->id.value_or("<absent>"));
    return out;
}

} // namespace

// Each subscription becomes its channel's uploads playlist, once, after the favourites there
// are; the import stops at the first line that does not match.
TEST(import_subscriptions, uploads_playlists_once_up_to_the_first_bad_line) {
    const std::string kept = "UUsXVk37bltHxD1rDPwtNM8Q";
    struct Case {
        std::string csv;
        std::vector<std::string> ids; // added after the favourite there was
    } cases[] = {
        {"Channel Id,Channel Url,Channel Title\r\n"
         "UCsXVk37bltHxD1rDPwtNM8Q,http://www.youtube.com/channel/UCsXVk37bltHxD1rDPwtNM8Q,Kurzgesagt\r\n"
         "UCz75RVbH8q2jdBJ4SnwuZZQ,http://www.youtube.com/channel/UCz75RVbH8q2jdBJ4SnwuZZQ,Blender Studio\r\n"
         "UCSMOQeBJ2RAnuFungnQOxLg,http://u,Blender, the Free 3D Suite, Official\n"
         "UCz75RVbH8q2jdBJ4SnwuZZQ,http://again,Blender Studio again\n",
         {"UUz75RVbH8q2jdBJ4SnwuZZQ", "UUSMOQeBJ2RAnuFungnQOxLg"}},
        {"UCaaaa,u,First\nUCbbbb,,Second\nUCcccc,u,Third\n", {"UUaaaa"}}, // an empty second field
        {"channel id,url,title\n", {}},
        {"", {}},
        {"no commas at all\n", {}},
        {"UCx,url,\n", {}}, // empty title
        {std::string(64, 'U') + ",u,T\n", {}}, // an id of more than 63 bytes
        {std::string(63, 'U') + ",u,T\n", {std::string(63, 'U')}},
        {"X,u,T\n", {"X"}}, // a one-byte id has no second character to change
        {std::string("UCn,u,N\n\0UCm,u,M\n", 18), {"UUn"}}, // NUL ends the text
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.csv.substr(0, 30));
        ItemList favourites;
        favourites.append(make_item(kept.c_str(), "", ITEM_PLAYLIST), ITEM_TAG);
        EXPECT_EQ(import_subscriptions_text(favourites, c.csv), int(c.ids.size()));
        std::vector<std::string> expected{kept};
        expected.insert(expected.end(), c.ids.begin(), c.ids.end());
        EXPECT_EQ(ids(favourites), expected);
        if (c.ids.size() == 2) {
            list_item *last = favourites.last()->data;
            EXPECT_EQ(last->title.value(), "Blender, the Free 3D Suite, Official");
            EXPECT_EQ(last->kind, ITEM_PLAYLIST);
            EXPECT_FALSE(last->thumb_url);
        }
    }
    ItemList favourites;
    EXPECT_EQ(import_subscriptions(favourites, "/nonexistent/subscriptions.csv"), 0);
    std::string path = std::string(SOLVANE_BINARY_DIR) + "/service_test_subscriptions.csv";
    write_file(path, "Channel Id,Channel Url,Channel Title\nUCq,u,Q\n");
    EXPECT_EQ(import_subscriptions(favourites, path), 1);
    EXPECT_EQ(ids(favourites), std::vector<std::string>{"UUq"});
    std::remove(path.c_str());
}

// (The recorded feeds are read in the listing tests.)
TEST(rss, entry_limit_missing_tags_and_views) {
    std::string text = "<feed><title>T &amp; U</title>";
    for (int i = 0; i < 120; ++i)
        text += "<entry><yt:videoId>v" + std::to_string(i) + "</yt:videoId><media:title>Tom &amp; "
                "Jerry &#039;live&#039;</media:title><published>2026-01-01T00:00:00+00:00</published>"
                "<media:description></media:description><media:statistics views=\"" +
                std::to_string(i) + "\"/></entry>";
    ItemList list;
    list_info info;
    EXPECT_EQ(parse_listing(&list, info, text.c_str(), LIST_FEED, 15), 15);
    EXPECT_EQ(info.count_text.value(), "120"); // every entry is counted, not only those kept
    EXPECT_EQ(info.title.value(), "T & U");
    EXPECT_EQ(info.owner_name.value(), "null");
    ASSERT_EQ(list.size(), 15u);
    EXPECT_EQ(list.last()->data->id.value(), "v14");
    EXPECT_EQ(list.last()->data->views_text.value(), "14 views");
    EXPECT_EQ(list.first()->data->title.value(), "Tom & Jerry 'live'");
    EXPECT_EQ(list.first()->data->label.value(), "null"); // empty description

    ItemList bare;
    const char *no_views = "<entry><yt:videoId>a</yt:videoId></entry><entry><yt:videoId>b";
    EXPECT_EQ(parse_listing(&bare, info, no_views, LIST_FEED, 15), 2);
    EXPECT_EQ(bare.first()->data->views_text.value(), "0 views");
    EXPECT_EQ(bare.first()->data->title.value(), "null");
    // The value of the second entry's tag runs to the end of the text.
    EXPECT_EQ(bare.last()->data->id.value(), "b");
}

TEST(feed, age_filter_drops_more_rows_and_the_sort_is_stable_newest_first) {
    ItemList list;
    for (auto [id, published] : {std::pair{"two_weeks", "2 weeks ago"}, {"six_days", "6 days ago"},
                                 {"no_age", "just now"}, {"absent", nullptr}})
        list.append(make_item(id, published), ITEM_TAG);
    list.append(make_item(nullptr, nullptr, ITEM_MORE), ITEM_TAG);
    feed_remove_more(list);
    EXPECT_EQ(list.size(), 4u);
    feed_filter_age(list, std::string("1 week"));
    EXPECT_EQ(ids(list), std::vector<std::string>{"six_days"});
    feed_filter_age(list, std::string("forever")); // a limit without an age keeps everything
    feed_filter_age(list, std::nullopt);
    EXPECT_EQ(list.size(), 1u);

    ItemList sorted;
    for (auto [id, published] : {std::pair{"a", "3 days ago"}, {"b", "1 hour ago"}, {"c", "3 days ago"},
                                 {"d", "never"}, {"e", "72 hours ago"}}) // e: the same age as 3 days
        sorted.append(make_item(id, published), ITEM_TAG);
    sorted.append(make_item("f", "5 minutes ago"), LIST_TAG_BORROWED);
    feed_sort(sorted);
    EXPECT_EQ(ids(sorted), (std::vector<std::string>{"f", "b", "a", "c", "e", "d"}));
    EXPECT_EQ(sorted.first()->tag, LIST_TAG_BORROWED); // nodes keep their tags
    delete sorted.take(sorted.first());
}

TEST(feed, two_playlists_limited_sorted_and_marked) {
    auto feed_text = [](const char *prefix, int base_days) {
        std::string text = "<feed><title>F</title>";
        for (int i = 0; i < 15; ++i) {
            std::time_t t = std::time(nullptr) - (base_days + 2 * i) * 86400;
            std::tm parts{};
            localtime_r(&t, &parts);
            char stamp[40];
            std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S+00:00", &parts);
            text += std::string("<entry><yt:videoId>") + prefix + std::to_string(i) +
                    "</yt:videoId><published>" + stamp + "</published></entry>";
        }
        return text;
    };
    ItemList history;
    history.append(make_item("b1", ""), ITEM_TAG);
    ItemList list;
    list_info info;
    std::string a = feed_text("a", 1), b = feed_text("b", 2);
    EXPECT_EQ(feed_read_response(list, info, a.c_str(), true, 3, std::string("1 month"), history), 3);
    EXPECT_EQ(feed_read_response(list, info, b.c_str(), true, 3, std::string("1 month"), history), 3);
    EXPECT_EQ(ids(list), (std::vector<std::string>{"a0", "b0", "a1", "b1", "a2", "b2"}));
    for (list_item *row : list)
        EXPECT_EQ(row->flags, *row->id == "b1" ? ITEM_FLAG_WATCHED : 0u) << *row->id;

    // Playlist browse responses go through the same steps; their "Load More" row is dropped.
    std::string browse = fixture("browse/browse_uploads_web_2024-11_VLUULF_first.json");
    ItemList uploads;
    EXPECT_EQ(feed_read_response(uploads, info, browse.c_str(), false, 15, std::string("100 years"), history),
              15);
    EXPECT_EQ(uploads.size(), 15u); // no "Load More" row
    EXPECT_EQ(uploads.first()->data->id.value(), "6TAyRVI-QEY"); // "6 days ago", the newest
}
