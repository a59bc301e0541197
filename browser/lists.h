// The browser's local lists: favourites ("favlist.json", playlists in the order they were added)
// and history ("history.json", played videos, most recent first); their file texts, loading,
// saving, the operations that change them, the watched marks they give to result lists, and the
// raw dump of listing responses ("listinfo.json").
//
// The lists own their entries (tag ITEM_TAG). Operations that hand entries to another list make
// copies, so clearing a result list never touches the stored entries. Nothing here keeps a
// pointer to its arguments.
//
// Files are replaced whole and atomically: the text goes to a temporary file beside the target
// (beside the file a symbolic link leads to, so the link stays), which is flushed to disk and
// then renamed over it, so an interrupted or failed write leaves the previous file as it was.
// A file that did not read completely is never rewritten: it holds entries the list lacks. Every string value is written as valid JSON. Favourites entries carry
// `"escaped": true` to say so; entries without it (files of earlier versions, whose values were
// written unescaped) are read raw. History titles have '"' and '\' replaced by spaces, as
// they always had, so its values are read decoded either way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "service/items.h"

inline constexpr const char *FAVORITES_FILE_NAME = "favlist.json";
inline constexpr const char *HISTORY_FILE_NAME = "history.json";
inline constexpr const char *LISTING_DUMP_FILE = "listinfo.json";

// "https://<thumbnail host>/vi/<id>/mqdefault.jpg".
std::string list_thumbnail_url(std::string_view video_id);

// List files larger than this are not read, and so kept as they are.
constexpr uint64_t LIST_FILE_SIZE_LIMIT = uint64_t(64) << 20;

// One list file: where it is and what reading it found.
struct ListFile {
    const char *name = "favourites"; // "favourites" or "history", as messages name it
    std::string path;
    // It did not read completely (a syntax error, over the size limit, not a regular file): it
    // is kept as it is and never rewritten, and changes to its list are not saved.
    bool damaged = false;
};

// "<name> file damaged: <path> kept, changes not saved".
std::string list_file_damaged_text(const ListFile &file);

// ---- File texts ----

// How far reading a list file's text went.
struct ListRead {
    size_t stopped_at = 0; // offset of the byte where reading stopped (the end when complete)
    bool complete = false; // the whole text is a list of entries closed by "null ]" or "]"
};

// Appends the entries of a favourites (playlist) or history (video) file text, NUL-terminated,
// in file order. A text that does not start with '[' adds nothing; reading stops at the first
// element that is not an object (the closing null), at a malformed element, or when no ','
// follows an element. Objects of another "type" are skipped. Returns the number added; `read`,
// when given, says where reading stopped and whether that was the proper end. A text of blanks
// only is complete and empty. Each entry must be a well-formed object, except a favourites entry
// without "escaped": true (earlier versions wrote its values unescaped, bare quotes included),
// which only needs its braces to match.
size_t favorites_parse(ItemList &favorites, const char *text, ListRead *read = nullptr);
size_t history_parse(ItemList &history, const char *text, ListRead *read = nullptr);

// The file texts: one line per entry of the list's kind, framed by "[\n" and "  null\n]\n".
std::string favorites_text(ItemList &favorites);
std::string history_text(ItemList &history);

// ---- Files ----

// Reads `file.path` into the list and sets `file.damaged`. A missing file adds nothing. A file
// that does not read completely (a syntax error, a path that is not a regular file, a file over
// LIST_FILE_SIZE_LIMIT or one that cannot be read) is damaged: the entries before the damage
// are added, and a WARNING names the byte where reading stopped. Temporary files left beside
// the file by an interrupted rewrite are removed first (file_replace_cleanup).
size_t favorites_load(ItemList &favorites, ListFile &file);
size_t history_load(ItemList &history, ListFile &file);

// Rewrites the whole file from the list atomically (file_replace). Returns "" when written;
// otherwise the status line's text, the file being left as it was: list_file_damaged_text for a
// damaged file (not touched), "could not save <name>: <reason>" when the write failed.
std::string favorites_save(ItemList &favorites, ListFile &file);
std::string history_save(ItemList &history, ListFile &file);

// ---- Operations ----

// The favourite entry of a shown playlist: its texts ("unknown" when missing), the owner as the
// channel, "%s Videos" of the count ("0" when missing), the first video id as the label and
// thumbnail. A channel's uploads playlist (an id starting "UU") is titled with the channel's
// name, not its own title ("Videos"), so followed channels can be told apart.
list_item favorite_from_info(const list_info &shown);

// The favourite with this id, or nullptr.
list_item *favorites_find(ItemList &favorites, std::string_view id);

// Adds the shown playlist at the end of the favourites unless one with its id is already there,
// then rewrites the file either way. Does nothing when the shown list has no id. Returns what
// favorites_save returns; when the file was not written, a new entry is taken out again, so the
// list never shows a favourite the file lacks.
std::string favorites_add(ItemList &favorites, const list_info &shown, ListFile &file);

// After the first page of a playlist has been shown (with `update_favorites` on): replaces the
// favourite with the shown playlist's id, in place, by a fresh entry, then rewrites the file,
// also when none matched (a damaged file then stays untouched, without a word). Does nothing for
// lists other than playlists or without an id. Returns what favorites_save returns; when the
// file was not written the old entry is put back.
std::string favorites_refresh(ItemList &favorites, const list_info &shown, ListFile &file);

// Removes the favourite with this id and rewrites the file; false when there was none or the file
// was not written. `failure` gets what favorites_save returns (empty when written or when there
// was nothing to remove); when the file was not written the favourite is put back.
bool favorites_remove(ItemList &favorites, std::string_view id, ListFile &file,
                      std::string &failure);

// Records a played video: every history entry with its id is removed, and a copy (empty views
// and published texts, duration text from `duration`, kind video) goes to the front. The file is
// rewritten when `save` is on; the list changes either way, as it gives the watched marks.
// Nothing happens without an id. Returns what history_save returns ("" when not saving).
std::string history_record(ItemList &history, const list_item &video, bool save, ListFile &file);

// Sets ITEM_FLAG_WATCHED on every result whose id is the id of a history entry.
void mark_watched(ItemList &results, ItemList &history);

// Appends a copy of every entry of `source` to `results` (tag ITEM_TAG), in stored order, and
// returns how many were appended. This is what showing favourites or history puts in the list.
size_t list_copy_entries(ItemList &source, ItemList &results);

// Writes a listing response body, whole, to `path` ("listinfo.json" in the current directory).
// A dump that cannot be written is reported as a warning and skipped; it is a debugging aid and
// must never stop browsing. A dump that could not be written completely (a full disk) is
// removed, so no file holds a cut response.
bool listing_dump(std::string_view body, const char *path = LISTING_DUMP_FILE);
