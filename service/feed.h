// Feeds and subscriptions: the import of "subscriptions.csv" into the favourites, and the steps
// that turn the rows of the feed's responses into the feed list (drop the "Load More" rows and
// rows older than the age limit, sort newest first, mark watched videos).
//
// The functions work on lists the caller owns; rows removed from a list are freed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "service/items.h"

// Appends a playlist item per new subscription of the CSV file at `path` (channel id, channel
// URL, title per line; a header line whose id begins with "Channel Id" is skipped). A channel id
// becomes the id of its uploads playlist (second character U). Ids already among the favourites
// are skipped. A missing or unreadable file adds nothing. Returns the number of items added.
int import_subscriptions(ItemList &favourites, const std::string &path);
// The same over CSV text already in memory (NUL bytes end it).
int import_subscriptions_text(ItemList &favourites, std::string_view text);

// Removes every ITEM_MORE row.
void feed_remove_more(ItemList &list);
// Removes every row whose published_age is greater than the published_age of `max_age` (a text
// such as "1 month"). Rows without an age go too, unless `max_age` itself has none.
void feed_filter_age(ItemList &list, const Text &max_age);
// Sorts the rows by published_age, smallest (newest) first; rows of equal age keep their order.
void feed_sort(ItemList &list);
// Sets ITEM_FLAG_WATCHED on every row whose id is the id of an item of `history`.
void feed_mark_watched(ItemList &list, ItemList &history);

// Reads one feed response into `list` (appended to the rows of earlier responses) and `info`
// with parse_listing (kind LIST_FEED for RSS, else LIST_PLAYLIST; at most `max` rows), then
// removes the "Load More" rows, filters by `max_age`, sorts and marks watched rows. Returns the
// number of rows parse_listing created.
int feed_read_response(ItemList &list, list_info &info, const char *text, bool rss, int max,
                       const Text &max_age, ItemList &history);
