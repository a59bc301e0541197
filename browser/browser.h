// The browser's screens: the named widgets of the layout bound to the application, queries turned
// into service requests, the result list with its rows, thumbnails and scrolling, the playlist
// header, the details view of the current video, and the image downloads they show.
//
// The Browser record is a member of the application record (plugin/app_state.h) and lives as
// long as it. Every function here takes the application record; widgets are borrowed from the
// tree the application owns (a name the layout lacks leaves its pointer null and every use of it
// is skipped). The result list, the shown list_info and the thumbnail cache are owned here; the
// current video lives in the service client (service/client.h).
//
// Everything runs on the plug-in thread, from widget callbacks and from download completions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "browser/lists.h"
#include "gfx/image.h"
#include "net/dlpool.h"
#include "service/items.h"
#include "toolkit/scroll_animator.h"
#include "toolkit/widget.h"

struct AppState;

// What the result list shows besides a service list.
enum LocalList : int32_t {
    LOCAL_NONE = 0, // a service response
    LOCAL_FAVORITES = 1,
    LOCAL_HISTORY = 2,
    LOCAL_FEED = 3,
};

// The widgets looked up by name after the layout is built.
struct BrowserWidgets {
    Widget *list_split = nullptr;      // "video_list_split"
    Widget *list_scroll = nullptr;     // "video_list_scroll"
    Widget *list_table = nullptr;      // "video_list_table"
    Widget *addfav_button = nullptr;   // "addfav_button"
    Widget *feed_button = nullptr;     // "feed_button"
    Widget *playlist_label = nullptr;  // "playlist_info_label"
    Widget *playlist_avatar = nullptr; // "playlist_avatar"
    Widget *showfav_button = nullptr;  // "showfav_button"
    Widget *go_button = nullptr;       // "go_button"
    Widget *search_input = nullptr;    // "search_input"
    Widget *play_button = nullptr;     // "play_button"
    Widget *download_button = nullptr; // "download_button"
    Widget *user_uploads_button = nullptr;
    Widget *video_view = nullptr;   // "video_view"
    Widget *status_label = nullptr; // "status_label"
    Widget *video_info_split = nullptr;
    Widget *settings_split = nullptr;
    Widget *clear_cache_button = nullptr;
    Widget *video_format_input = nullptr;
    Widget *search_type_label = nullptr;
    Widget *search_type_button = nullptr;
    Widget *search_live_label = nullptr;
    Widget *search_live_button = nullptr;
    Widget *search_sort_label = nullptr;
    Widget *search_sort_button = nullptr;
    Widget *search_settings_button = nullptr;
    Widget *search_settings_split = nullptr;
};

struct Browser {
    BrowserWidgets widgets;
    // Search options: type 0..3 ("All", "Video", "Channel", "Playlist"), live 0..1, sort 0..1.
    int32_t search_type = 0;
    int32_t search_live = 0;
    int32_t search_sort = 0;
    bool search_settings_open = false;
    // The rows of the result list (the table's row count is kept equal to its size) and the
    // shown list's info; info.kind is the list mode.
    ItemList results;
    list_info info;
    int32_t local_list = LOCAL_NONE;
    // Feeds of the feed screen that failed since it was opened, and the words of the last
    // failure: the status line then does not end in a bare "done" over the feeds that were lost.
    uint32_t feed_failures = 0;
    std::string feed_failure;
    // Local lists shown in place of a service response; the list files are read and written
    // elsewhere, the screens only show them and mark watched rows from the history.
    ItemList favorites;
    ItemList history;
    // Set once the list files were read: a list that was never read is never written back, so
    // the files on disk cannot be replaced by an empty list.
    bool lists_loaded = false;
    // The favourites and history files as reading them found them; a damaged one is never
    // rewritten.
    ListFile favorites_file{"favourites"};
    ListFile history_file{"history"};
    // Downloaded thumbnails, frames and owner pictures, keyed by url.
    ThumbnailCache thumbnails;
    // Vertical offset of the details view in pixels (0 or negative).
    double details_offset = 0;
    ScrollAnimator animator;
    // Where each listing response is dumped ("listinfo.json" in the configuration directory).
    std::string listinfo_path;
};

// ---- Start-up --------------------------------------------------------------------------------

// Looks the widgets up in the built tree, sets the list's row drawing, row height and scroll
// link, and makes every binding of the screens (buttons, search field, list, details view).
// Also fills the service client's settings and hooks from the application record, and reads the
// favourites and history files once (the watched marks and the local lists need them).
void browser_start(AppState &state);
// Start-up restore: a restored query is put into the search field and run; a restored video id
// has its player response requested.
void browser_restore(AppState &state);
// Re-reads the window size, lays the root out, rebuilds the details view and redraws (the
// window's resize binding and the theme changes).
void browser_relayout(AppState &state, int32_t width, int32_t height);

// ---- Queries ---------------------------------------------------------------------------------

// Replaces every double quote, backslash and control character by a space, so the query can stand
// inside a JSON string as it is (a tab or a newline there makes the request body invalid).
void query_clean(std::string &query);
// The video id of a watch address or short link ("?v=", "&v=", "youtu.be/"): the text after the
// first match up to the first character outside [A-Za-z0-9_-]. Absent when none matches.
Text query_video_id(std::string_view query);

// What a query asks for.
enum QueryAction {
    QUERY_VIDEO,     // open the video `argument`
    QUERY_PLAYLIST,  // browse the playlist `argument` (code 101)
    QUERY_RECOMMEND, // recommendations of the video `argument` (code 103)
    QUERY_SEARCH,    // search for the whole text
};
struct QueryPlan {
    QueryAction action = QUERY_SEARCH;
    std::string argument; // id, or the cleaned search text
};
// Decides what a (cleaned) query asks for: watch addresses first, then the "channel:" (second
// character of a longer argument becomes 'U'), "playlist:", "recommend:", "video:" and "v:"
// prefixes; anything else is searched whole.
QueryPlan query_plan(std::string_view query);

// Makes a copy of `text` the current query, cleans it, prints "process %s" and runs it.
void query_process(AppState &state, std::string_view text);
// Runs the search field's text as a query.
void search_run(AppState &state);

// ---- Lists -----------------------------------------------------------------------------------

// The list completion of a listing response (first page or appended page) of list mode `mode`.
// A failed download changes no row and names the failure on the status line.
void list_completion(AppState &state, int32_t status_class, ResponseBuffer *response, uint32_t mode,
                     bool append, const HttpStatus *status = nullptr);
// Shows a local list (favourites, history, feed) in place of a service list: sets the local-list
// state to `which`, replaces the rows by copies of `entries`, clears the shown list_info, shows
// `label` in the playlist header, scrolls to the top and queues the thumbnails (with
// `thumbnails` false the queued ones are dropped and none are queued: a list still filling).
void browser_show_local(AppState &state, int32_t which, ItemList &entries, const char *label,
                        bool thumbnails = true);

// The action `add_favorites`: adds the shown playlist to the favourites and rewrites the file.
// When the file could not be written the entry is not added, the status line says why, and the
// reason is returned (empty on success).
std::string browser_add_favorite(AppState &state);
// The favourites file's record, at the path the configuration names.
ListFile &browser_favorites_file(AppState &state);
// Appends the next page of the shown list (action next_page and the "Load More" row); nothing
// without a continuation or for modes without a next page.
void next_page(AppState &state);
// Opens the selected row of the result list.
void open_selected_row(AppState &state);
// Scrolls the result list by `amount` hundredths of a pixel (positive: down); true when it hit
// an end. Updates table and bar, redraws and runs the infinite-scroll check.
bool list_scroll_by(AppState &state, double amount);
// Starts the next page when infinite scrolling is on, the guard is clear and the list end is
// within five rows.
void infinite_scroll_check(AppState &state);
// Content height minus view height of the list table, in pixels (0 when it fits).
double list_scroll_span(AppState &state);

// The table's list moves: UP, DOWN (one row) and PAGEUP, PAGEDOWN (one page of rows).
enum ListMove { MOVE_UP, MOVE_DOWN, MOVE_PAGE_UP, MOVE_PAGE_DOWN };
void list_move(AppState &state, ListMove move);

// Opens or closes the search options panel.
void search_settings_toggle(AppState &state);

// Shows a text in the status label and redraws it.
void status_set(AppState &state, const char *text);

// ---- Drawing ---------------------------------------------------------------------------------

// The table's cell callback: draws one row of the result list (argument: AppState*).
void row_draw(Widget *table, uint32_t flags, void *item, int32_t column, const CellRect &cell,
              void *argument);
// Rebuilds the details view of the current video into the application's preview surface.
void details_rebuild(AppState &state);
// Scrolls the details by `pixels` (positive: towards the top of the text) and redraws.
void details_scroll(AppState &state, double pixels);

// ---- Images ----------------------------------------------------------------------------------

// Queues the thumbnail of a row on the image queue (nothing for "Load More", rows without a
// thumbnail url, or one already cached or queued).
void thumbnail_queue(AppState &state, const list_item &item);
// Queues the three storyboard frames of a video ahead of pending thumbnails.
void frames_queue(AppState &state, const std::string &video_id);
// The url of storyboard frame `index` (1..3) of a video.
std::string frame_url(const std::string &video_id, int index);
// The on_done_request of every image download: decodes, resizes by kind, caches and redraws.
void image_completion(int32_t status_class, ResponseBuffer *response, void *context,
                      DownloadSlot *slot);
// Redraws the owner-picture canvas.
void avatar_draw(AppState &state);
// Empties the thumbnail cache (action clear_thumbnail_cache).
void browser_clear_thumbnails(AppState &state);
