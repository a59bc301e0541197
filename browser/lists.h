// The browser's local lists: favourites ("favlist.json", playlists in the order they were added)
// and history ("history.json", played videos, most recent first); their file texts, loading,
// saving, the operations that change them, the watched marks they give to result lists, and the
// raw dump of listing responses ("listinfo.json").
//
// The lists own their entries (tag ITEM_TAG). Operations that hand entries to another list make
// copies, so clearing a result list never touches the stored entries. Nothing here keeps a
// pointer to its arguments.
//
// Files are replaced whole and atomically: the text goes to a temporary file beside the target,
// which is flushed to disk and then renamed over it, so an interrupted or failed write leaves the
// previous file as it was. Every string value is written as valid JSON. Favourites entries carry
// `"escaped": true` to say so; entries without it (files of earlier versions, whose values were
// written unescaped) are read raw. History titles have '"' and '\' replaced by spaces, as
// they always had, so its values are read decoded either way.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "service/items.h"

inline constexpr const char *FAVORITES_FILE_NAME = "favlist.json";
inline constexpr const char *HISTORY_FILE_NAME = "history.json";
inline constexpr const char *LISTING_DUMP_FILE = "listinfo.json";

// "https://<thumbnail host>/vi/<id>/mqdefault.jpg".
std::string list_thumbnail_url(std::string_view video_id);

// ---- File texts ----

// Appends the entries of a favourites (playlist) or history (video) file text, NUL-terminated,
// in file order. A text that does not start with '[' adds nothing; reading stops at the first
// element that is not an object (the closing null), at a malformed element, or when no ','
// follows an element. Objects of another "type" are skipped. Returns the number added.
size_t favorites_parse(ItemList &favorites, const char *text);
size_t history_parse(ItemList &history, const char *text);

// The file texts: one line per entry of the list's kind, framed by "[\n" and "  null\n]\n".
std::string favorites_text(ItemList &favorites);
std::string history_text(ItemList &history);

// ---- Files ----

// Reads a list file into the list. A missing or unreadable file adds nothing; a path that is
// not a regular file, or one too large to read, adds nothing and is reported as a warning.
size_t favorites_load(ItemList &favorites, const std::string &path);
size_t history_load(ItemList &history, const std::string &path);

// Rewrites the whole file from the list atomically (file_replace); false when it could not be
// written, the old file then being intact.
bool favorites_save(ItemList &favorites, const std::string &path);
bool history_save(ItemList &history, const std::string &path);

// ---- Operations ----

// The favourite entry of a shown playlist: its texts ("unknown" when missing), the owner as the
// channel, "%s Videos" of the count ("0" when missing), the first video id as the label and
// thumbnail. A channel's uploads playlist (an id starting "UU") is titled with the channel's
// name, not its own title ("Videos"), so followed channels can be told apart.
list_item favorite_from_info(const list_info &shown);

// The favourite with this id, or nullptr.
list_item *favorites_find(ItemList &favorites, std::string_view id);

// Adds the shown playlist at the end of the favourites unless one with its id is already there,
// then rewrites the file either way. Does nothing and returns false when the shown list has no id.
bool favorites_add(ItemList &favorites, const list_info &shown, const std::string &path);

// After the first page of a playlist has been shown (with `update_favorites` on): replaces the
// favourite with the shown playlist's id, in place, by a fresh entry, then rewrites the file,
// also when none matched. Does nothing for lists other than playlists or without an id.
void favorites_refresh(ItemList &favorites, const list_info &shown, const std::string &path);

// Removes the favourite with this id and rewrites the file; false when there was none.
bool favorites_remove(ItemList &favorites, std::string_view id, const std::string &path);

// Records a played video: every history entry with its id is removed, and a copy (empty views
// and published texts, duration text from `duration`, kind video) goes to the front. The file is
// rewritten when `save` is on; the list changes either way. Nothing happens without an id.
void history_record(ItemList &history, const list_item &video, bool save, const std::string &path);

// Sets ITEM_FLAG_WATCHED on every result whose id is the id of a history entry.
void mark_watched(ItemList &results, ItemList &history);

// Appends a copy of every entry of `source` to `results` (tag ITEM_TAG), in stored order, and
// returns how many were appended. This is what showing favourites or history puts in the list.
size_t list_copy_entries(ItemList &source, ItemList &results);

// Writes a listing response body, whole, to `path` ("listinfo.json" in the current directory).
// A dump that cannot be written is reported as a warning and skipped; it is a debugging aid and
// must never stop browsing.
bool listing_dump(std::string_view body, const char *path = LISTING_DUMP_FILE);
