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

// At most this many rows are read from one response. Real pages hold far fewer (a playlist page
// up to 102, a search page with its shelves about 60); the bound only stops a hostile response.
constexpr int LISTING_ENTRY_LIMIT = 500;

// Texts taken from a response are cut to these many bytes, at the start of a UTF-8 character:
// titles, names, counts, identifiers and tokens, and the longer descriptions.
constexpr size_t LISTING_TEXT_LIMIT = 4096;
constexpr size_t LISTING_DESCRIPTION_LIMIT = 65536;

// The published_age result meaning "no age".
constexpr int64_t AGE_NONE = 2147483647;

// Reads the NUL-terminated response `text` of list kind `kind` (LIST_PLAYLIST, LIST_RECOMMENDED,
// LIST_SEARCH, LIST_FEED). `info` is cleared and refilled; the first `max` rows are appended to
// `list` (when it is not nullptr), followed by one ITEM_MORE row when the response holds a
// continuation token. Returns the number of rows created, not counting the ITEM_MORE row.
// Rows inside search shelves and Shorts grids are read at the shelf's place; a video already read
// from the response is not added again; shorts carry ITEM_FLAG_SHORT.
int parse_listing(ItemList *list, list_info &info, const char *text, uint32_t kind, int max);

// False when `text` cannot be a response of kind `kind`: for the JSON kinds, text that is not one
// complete JSON document (cut off, malformed brackets, nested deeper than JSON_DEPTH_LIMIT). The
// caller then keeps its list and says the answer could not be read instead of showing no rows.
bool listing_readable(const char *text, uint32_t kind);

// Seconds since a publication time given as text: an ISO date and time ("2026-01-20T15:00:00",
// read as local time; anything after the seconds is ignored) or a relative text such as
// "3 days ago" or "Streamed 2 weeks ago". AGE_NONE for an absent text or one without a
// positive number followed by a unit word.
int64_t published_age(const char *text);
int64_t published_age(const Text &text);

// Decodes &gt; &lt; &amp; &#039; &quot; in `length` bytes of XML text; every other byte,
// including an ampersand that starts no known reference, is copied.
std::string xml_unescape(const char *bytes, long length);
