// The two records in which the service client hands results to the rest of the program: one
// list_item per row of every list (and the record of the current video), and one list_info per
// list being shown.
//
// Every text is owned by the record that holds it. A text is either absent (std::nullopt) or
// present, possibly empty; the two are kept apart because the screens and the list files treat
// them differently (an absent length is drawn as nothing, an empty one as an empty cell).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/list.h"

using Text = std::optional<std::string>;

enum ItemKind : uint32_t {
    ITEM_VIDEO = 0,
    ITEM_PLAYLIST = 1,
    ITEM_CHANNEL = 2,
    ITEM_MORE = 3, // the trailing row that loads the next page; carries no texts
};

enum ListKind : uint32_t {
    LIST_PLAYLIST = 0,
    LIST_RECOMMENDED = 1,
    LIST_SEARCH = 2,
    LIST_FEED = 3,
};

// Bit 0 of list_item::flags: the video is already in the history.
constexpr uint32_t ITEM_FLAG_WATCHED = 1;
// Bit 1 of list_item::flags: the row is a short (a vertical video from a Shorts shelf or grid).
constexpr uint32_t ITEM_FLAG_SHORT = 2;

// List tag of rows created by the service client (owned by their list).
constexpr uint32_t ITEM_TAG = 1;

struct list_item {
    uint32_t kind = ITEM_VIDEO;
    Text id;             // video id, playlist id or channel id
    Text title;          // decoded title
    Text channel_name;   // owner channel name
    Text channel_id;     // owner channel id
    Text thumb_url;      // thumbnail URL
    Text description;    // only the current video has one; list rows hold "unknown"
    Text views_text;     // view count as shown
    Text published_text; // publication age or date as shown
    Text length_text;    // duration, "LIVE", "%s Videos" or "Channel"
    Text label;          // videos: accessibility label; playlists: first video id; channels: avatar
    // View count of the current video (0 in lists). 64 bits: the most watched videos of the
    // service have passed four billion views.
    uint64_t view_count = 0;
    uint32_t duration = 0; // length in seconds of the current video (0 in lists)
    uint32_t flags = 0;    // ITEM_FLAG_WATCHED, ITEM_FLAG_SHORT
};

using ItemList = List<list_item>;

// Frees every text and clears every number.
void list_item_clear(list_item &item);
// Duplicates every text and number, except that views_text becomes empty and flags start at 0
// (the form in which a video enters the history).
list_item list_item_copy(const list_item &item);

struct list_info {
    Text id;              // playlist id (playlists, feeds)
    Text first_video_id;  // id of the first video, for the list's thumbnail
    Text title;           // "Search Results", "Recommended Videos", playlist or feed title
    Text description;     // playlist description or feed title
    Text count_text;      // video count as text
    Text owner_name;      // owner channel name (search and recommended: the title again)
    Text owner_id;        // owner channel id
    Text owner_thumb_url; // owner avatar URL
    Text continuation;    // token of the next page; absent when there is none
    uint32_t kind = LIST_PLAYLIST;
};

// Frees every text and clears every field (kind included).
void list_info_clear(list_info &info);
