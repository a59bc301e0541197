// Listing responses to list items: search, playlist browse and recommended-video responses of
// the InnerTube API (first pages and continuations), and the service's RSS feeds, read into a
// list_info and a run of list_item rows. Also the publication-age computation the feed sorts by
// and the decoding of XML character references.
//
// The response text is only navigated (base/json.h); every row and info text is a copy, so the
// text may be freed as soon as parse_listing returns.
#pragma once

#include <cstdint>
#include <string>

#include "service/items.h"

// At most this many rows are read from one response.
constexpr int LISTING_ENTRY_LIMIT = 100;

// The published_age result meaning "no age".
constexpr int64_t AGE_NONE = 2147483647;

// Reads the NUL-terminated response `text` of list kind `kind` (LIST_PLAYLIST, LIST_RECOMMENDED,
// LIST_SEARCH, LIST_FEED). `info` is cleared and refilled; the first `max` rows are appended to
// `list` (when it is not nullptr), followed by one ITEM_MORE row when the response holds a
// continuation token. Returns the number of rows created, not counting the ITEM_MORE row.
int parse_listing(ItemList *list, list_info &info, const char *text, uint32_t kind, int max);

// Seconds since a publication time given as text: an ISO date and time ("2026-01-20T15:00:00",
// read as local time; anything after the seconds is ignored) or a relative text such as
// "3 days ago" or "Streamed 2 weeks ago". AGE_NONE for an absent text or one without a
// positive number followed by a unit word.
int64_t published_age(const char *text);
int64_t published_age(const Text &text);

// Decodes &gt; &lt; &amp; &#039; &quot; in `length` bytes of XML text; every other byte,
// including an ampersand that starts no known reference, is copied.
std::string xml_unescape(const char *bytes, long length);
