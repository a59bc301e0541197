#include "browser/browser.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/runtime.h"
#include "browser/actions.h"
#include "browser/lists.h"
#include "gfx/text.h"
#include "plugin/app_state.h"
#include "service/client.h"
#include "service/feed.h"
#include "service/listing.h"
#include "service/player.h"
#include "toolkit/events.h"
#include "toolkit/input.h"
#include "toolkit/interface.h"

namespace {

AppState &app(void *argument) { return *static_cast<AppState *>(argument); }

// The application record behind a completion of the service client.
AppState &app_of_client(void *client) {
    return app(static_cast<ServiceClient *>(client)->hooks.context);
}

const char *const TYPE_LABELS[4] = {"All", "Video", "Channel", "Playlist"};
const char *const LIVE_LABELS[2] = {"No", "Yes"};
const char *const SORT_LABELS[2] = {"Relevance", "Views"};

constexpr const char *ID_CHARACTERS =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

void redraw(Widget *widget) {
    if (widget) widget_redraw_publish(widget);
}

// ---- List geometry ----------------------------------------------------------------------------

struct ListGeometry {
    double content = 0; // all rows, pixels
    double view = 0;    // visible rows, pixels
    double span() const { return std::max(0.0, content - view); }
};

ListGeometry list_geometry(AppState &state) {
    ListGeometry g;
    Widget *table = state.browser.widgets.list_table;
    auto *d = widget_data<TableData>(table);
    if (!d) return g;
    widget_box(table, false);
    g.content = double(d->row_count) * d->row_height;
    g.view = table->outer_box.h - (d->show_header ? d->header_height : 0);
    return g;
}

// Sets the table and its bar to `position` percent and redraws the list split.
void list_set_position(AppState &state, double position) {
    BrowserWidgets &w = state.browser.widgets;
    widget_set_value(w.list_table, position);
    widget_set_value(w.list_scroll, position);
    redraw(w.list_split ? w.list_split : w.list_table);
}

double list_offset(AppState &state) {
    ListGeometry g = list_geometry(state);
    return std::max(0.0, g.span() * widget_get_value(state.browser.widgets.list_table) / 100);
}

void list_set_row_count(AppState &state) {
    if (auto *d = widget_data<TableData>(state.browser.widgets.list_table))
        d->row_count = int32_t(state.browser.results.size());
}

void queue_avatar(AppState &state) {
    const Text &url = state.browser.info.owner_thumb_url;
    if (!url || url->empty() || thumbnail_cache_find(state.browser.thumbnails, *url)) return;
    DownloadRequest request;
    request.method = DL_GET_1_1;
    request.verbose = state.switches.debug_url ? 1 : 0;
    request.tag = IMAGE_AVATAR;
    request.url = *url;
    request.context = &state;
    request.on_done_request = image_completion;
    request_queue_append(state.pools.image_queue, request);
}

// A new list replaces the thumbnails still waiting for the old one, but keeps the details view's
// frames: a restored video's frames are queued at start-up beside the restored list, whose page
// may arrive before the image pool (one request a pass) has taken them.
void image_queue_drop_thumbnails(AppState &state) {
    RequestQueue &queue = state.pools.image_queue;
    for (RequestQueue::Node *node = queue.first(); node;) {
        RequestQueue::Node *next = queue.after(node);
        if (node->data->tag != IMAGE_FRAME) queue.remove(node);
        node = next;
    }
}

// ---- Completions ------------------------------------------------------------------------------

template <uint32_t Mode, bool Append>
void listing_done(int32_t status_class, ResponseBuffer *response, void *client,
                  const HttpStatus *status) {
    list_completion(app_of_client(client), status_class, response, Mode, Append, status);
}

DownloadDone listing_completion(uint32_t mode, bool append) {
    switch (mode) {
    case LIST_PLAYLIST:
        return append ? listing_done<LIST_PLAYLIST, true> : listing_done<LIST_PLAYLIST, false>;
    case LIST_RECOMMENDED:
        return append ? listing_done<LIST_RECOMMENDED, true>
                      : listing_done<LIST_RECOMMENDED, false>;
    case LIST_SEARCH:
        return append ? listing_done<LIST_SEARCH, true> : listing_done<LIST_SEARCH, false>;
    default:
        return nullptr;
    }
}

// ---- Service client hooks ---------------------------------------------------------------------

void hook_status(void *context, const char *text) { status_set(app(context), text); }

void hook_thumbnail(void *context, const list_item &video) { thumbnail_queue(app(context), video); }

void hook_video_info_loaded(void *context) {
    AppState &state = app(context);
    state.current_video_id = state.client.current_video.id;
    state.browser.details_offset = 0;
    details_rebuild(state);
    redraw(state.browser.widgets.video_view);
}

// The browser's record of the list file at `path` (the configuration names the paths; a new
// path starts undamaged).
ListFile &list_file(ListFile &file, const std::string &path) {
    if (file.path != path) {
        file.path = path;
        file.damaged = false;
    }
    return file;
}

void hook_add_history(void *context, const list_item &video) {
    AppState &state = app(context);
    bool save = state.switches.save_history && state.browser.lists_loaded;
    std::string failure = history_record(state.browser.history, video, save,
                                         list_file(state.browser.history_file, state.history_file));
    if (!failure.empty()) status_set(state, failure.c_str());
}

// ---- Actions used by the screens --------------------------------------------------------------

void open_video(AppState &state, const std::string &id) {
    video_info_request(state.client, id, false);
    frames_queue(state, id);
}

// Replaces the search field's whole text by "prefix:value" and runs it as a query.
void run_prefixed(AppState &state, const char *prefix, const std::string &value) {
    std::string text = std::string(prefix) + ":" + value;
    Widget *input = state.browser.widgets.search_input;
    if (auto *d = widget_data<InputData>(input)) {
        d->anchor = 0;
        d->cursor = int32_t(d->text.size());
        text_insert(text.c_str(), input);
        redraw(input);
        const char *now = widget_get_text(input);
        query_process(state, now ? now : "");
        return;
    }
    query_process(state, text);
}

// ---- Widget callbacks -------------------------------------------------------------------------

// The buttons that stand for actions run them through the action table, so a button and its
// key do the same thing.
template <const char *Name> void on_action(Widget *, void *argument) {
    action_run(app(argument), Name);
}
constexpr char PLAY_VIDEO[] = "play_video";
constexpr char VIEW_RECOMMENDED[] = "view_recommended_videos";
constexpr char VIEW_USER_VIDEOS[] = "view_user_videos";
constexpr char ADD_FAVORITES[] = "add_favorites";
constexpr char SHOW_FAVORITES[] = "show_favorites";
constexpr char SHOW_FEED[] = "show_feed";
constexpr char CLEAR_CACHE[] = "clear_thumbnail_cache";

void on_go(Widget *, void *argument) { search_run(app(argument)); }
void on_search_key(void *argument, const KeyBindingRecord &) { search_run(app(argument)); }
// DOWN or TAB in the search field, once results are shown, goes into the list at its first row.
void on_search_into_list(void *argument, const KeyBindingRecord &) {
    AppState &state = app(argument);
    Browser &b = state.browser;
    auto *table = widget_data<TableData>(b.widgets.list_table);
    if (!table || b.results.empty()) return;
    action_run(state, "focus_playlist");
    table->selected = b.results.first();
    table_scroll_to_selection(b.widgets.list_table);
    list_set_position(state, widget_get_value(b.widgets.list_table));
}

// The search options in force, shown at the right end of the search field until they are back
// at "All", "No" and "Relevance".
void search_filter_show(AppState &state) {
    Browser &b = state.browser;
    auto *input = widget_data<InputData>(b.widgets.search_input);
    if (!input) return;
    static const char *const TYPE_NAMES[4] = {"", "videos", "channels", "playlists"};
    // The middle dot needs a font that has it; the built-in one has not.
    Font *font = input->element.font;
    const char *separator = font && font_glyph_index(font, 0xB7) > 0 ? " \u00b7 " : ", ";
    std::string hint;
    auto add = [&](const char *part) {
        if (!hint.empty()) hint += separator;
        hint += part;
    };
    if (b.search_type > 0 && b.search_type < 4) add(TYPE_NAMES[b.search_type]);
    if (b.search_live) add("live");
    if (b.search_sort) add("by views");
    input->hint = hint;
    redraw(b.widgets.search_input);
}
void on_video_format(Widget *widget, void *argument) {
    AppState &state = app(argument);
    const char *text = widget_get_text(widget);
    state.video_format = text ? text : "";
    state.client.settings.video_format = state.video_format;
    resolved_forget(state.client); // resolved with the old format
    std::fprintf(stderr, "video format set to: %s\n", state.video_format.c_str());
}

void set_label(Widget *label, const char *text) {
    if (!label) return;
    widget_set_text(label, text);
    redraw(label);
}
void on_search_type(Widget *, void *argument) {
    Browser &b = app(argument).browser;
    b.search_type = (b.search_type + 1) % 4;
    set_label(b.widgets.search_type_label, TYPE_LABELS[b.search_type]);
    search_filter_show(app(argument));
}
void on_search_live(Widget *, void *argument) {
    Browser &b = app(argument).browser;
    b.search_live = !b.search_live;
    set_label(b.widgets.search_live_label, LIVE_LABELS[b.search_live]);
    search_filter_show(app(argument));
}
void on_search_sort(Widget *, void *argument) {
    Browser &b = app(argument).browser;
    b.search_sort = !b.search_sort;
    set_label(b.widgets.search_sort_label, SORT_LABELS[b.search_sort]);
    search_filter_show(app(argument));
}
void on_search_settings(Widget *, void *argument) { search_settings_toggle(app(argument)); }

void on_list_click(Widget *table, void *argument) {
    AppState &state = app(argument);
    redraw(table);
    if (state.switches.single_click_select && !state.switches.touch_scroll)
        open_selected_row(state);
}
void on_list_double_click(Widget *, void *argument) {
    AppState &state = app(argument);
    if (!state.switches.single_click_select && !state.switches.touch_scroll)
        open_selected_row(state);
}
void on_list_press(Widget *, void *argument) {
    AppState &state = app(argument);
    if (!state.switches.touch_scroll) return;
    const PointerState &p = toolkit_pointer();
    scroll_animator_touch_press(state.browser.animator, p.x, p.y);
}
void list_wheel(AppState &state, double direction) {
    scroll_animator_wheel(state.browser.animator, direction * 8000 * state.scale,
                          state.switches.smooth_scroll);
}
void on_list_wheel_up(Widget *, void *argument) { list_wheel(app(argument), -1); }
void on_list_wheel_down(Widget *, void *argument) { list_wheel(app(argument), 1); }
void on_list_key(void *argument, const KeyBindingRecord &pressed) {
    AppState &state = app(argument);
    switch (pressed.key) {
    case KEY_UP:
        list_move(state, MOVE_UP);
        break;
    case KEY_DOWN:
        list_move(state, MOVE_DOWN);
        break;
    case KEY_PAGE_UP:
        list_move(state, MOVE_PAGE_UP);
        break;
    case KEY_PAGE_DOWN:
        list_move(state, MOVE_PAGE_DOWN);
        break;
    case KEY_ENTER:
        open_selected_row(state);
        break;
    default:
        break;
    }
}
void on_list_bar(Widget *scroll, void *argument) {
    AppState &state = app(argument);
    widget_set_value(state.browser.widgets.list_table, widget_get_value(scroll));
    redraw(state.browser.widgets.list_split ? state.browser.widgets.list_split
                                            : state.browser.widgets.list_table);
    infinite_scroll_check(state);
}

void on_details_up(Widget *, void *argument) {
    AppState &state = app(argument);
    details_scroll(state, 80 * state.scale);
}
void on_details_down(Widget *, void *argument) {
    AppState &state = app(argument);
    details_scroll(state, -80 * state.scale);
}
void on_details_key(void *argument, const KeyBindingRecord &pressed) {
    if (pressed.key == KEY_UP)
        on_details_up(nullptr, argument);
    else if (pressed.key == KEY_DOWN)
        on_details_down(nullptr, argument);
}

void bind(Widget *widget, uint32_t event, WidgetCallbackFn function, AppState &state) {
    if (widget) widget->callbacks[event] = {function, &state};
}

bool animator_scroll(void *owner, double amount) { return list_scroll_by(app(owner), amount); }
void animator_select(void *owner) { open_selected_row(app(owner)); }

} // namespace

// ---- Start-up ---------------------------------------------------------------------------------

void browser_start(AppState &state) {
    Browser &b = state.browser;
    Widget *root = state.root.get();
    BrowserWidgets &w = b.widgets;
    auto find = [root](const char *name) { return root ? widget_find(root, name) : nullptr; };
    w.list_split = find("video_list_split");
    w.list_scroll = find("video_list_scroll");
    w.list_table = find("video_list_table");
    w.addfav_button = find("addfav_button");
    w.feed_button = find("feed_button");
    w.playlist_label = find("playlist_info_label");
    w.playlist_avatar = find("playlist_avatar");
    w.showfav_button = find("showfav_button");
    w.go_button = find("go_button");
    w.search_input = find("search_input");
    w.play_button = find("play_button");
    w.download_button = find("download_button");
    w.user_uploads_button = find("user_uploads_button");
    w.video_view = find("video_view");
    w.status_label = find("status_label");
    w.video_info_split = find("video_info_split");
    w.settings_split = find("settings_split");
    w.clear_cache_button = find("clear_cache_button");
    w.video_format_input = find("video_format_input");
    w.search_type_label = find("search_type_label");
    w.search_type_button = find("search_type_button");
    w.search_live_label = find("search_live_label");
    w.search_live_button = find("search_live_button");
    w.search_sort_label = find("search_sort_label");
    w.search_sort_button = find("search_sort_button");
    w.search_settings_button = find("search_settings_button");
    w.search_settings_split = find("search_settings_split");

    // The service client reads its settings from the configuration and reports to the screens.
    ServiceClient &c = state.client;
    c.pools = &state.pools;
    ServiceSettings &s = c.settings;
    s.client_code = state.client_code;
    s.use_hls = state.use_hls;
    s.hls_quality_names = state.hls_quality_names;
    s.ytdl_fallback = state.ytdl_fallback;
    s.debug_url = state.switches.debug_url;
    s.sponsorblock = state.switches.sponsorblock;
    s.allow_hdr = state.switches.allow_hdr;
    s.all_codecs = state.switches.all_codecs;
    s.video_format = state.video_format;
    s.sub_format = state.sub_format;
    s.sub_language = state.sub_language;
    s.sponsorblock_server = state.sponsorblock_server;
    s.sponsorblock_params = state.sponsorblock_params;
    s.instant_play = state.switches.instant_play;
    c.hooks.context = &state;
    c.hooks.status = hook_status;
    c.hooks.thumbnail = hook_thumbnail;
    c.hooks.video_info_loaded = hook_video_info_loaded;
    c.hooks.add_history = hook_add_history;

    if (!b.lists_loaded) {
        favorites_load(b.favorites, list_file(b.favorites_file, state.favorites_file));
        // Subscriptions exported from the service become the uploads playlists among them.
        if (!state.subscriptions_file.empty())
            import_subscriptions(b.favorites, state.subscriptions_file);
        history_load(b.history, list_file(b.history_file, state.history_file));
        b.lists_loaded = !state.favorites_file.empty() && !state.history_file.empty();
        for (const ListFile *file : {&b.favorites_file, &b.history_file})
            if (file->damaged) status_set(state, list_file_damaged_text(*file).c_str());
    }

    if (b.listinfo_path.empty())
        b.listinfo_path =
            (state.config_dir.empty() ? std::string(".") : state.config_dir) + "/listinfo.json";

    b.animator.scroll_by = animator_scroll;
    b.animator.select = animator_select;
    b.animator.owner = &state;

    if (auto *d = widget_data<TableData>(w.list_table)) {
        table_set_rows(w.list_table, table_rows_of(b.results), int32_t(b.results.size()));
        d->row_height = std::round(state.thumb_height * state.scale);
        d->cell_callback = row_draw;
        d->cell_argument = &state;
        bind(w.list_table, EVENT_CLICK, on_list_click, state);
        bind(w.list_table, EVENT_DOUBLE_CLICK, on_list_double_click, state);
        bind(w.list_table, EVENT_PRESS, on_list_press, state);
        bind(w.list_table, EVENT_WHEEL_UP, on_list_wheel_up, state);
        bind(w.list_table, EVENT_WHEEL_DOWN, on_list_wheel_down, state);
        for (uint32_t key : {KEY_UP, KEY_DOWN, KEY_PAGE_UP, KEY_PAGE_DOWN, KEY_ENTER})
            widget_bind_key(w.list_table, key, 0, on_list_key, &state);
    }
    // Moving the bar moves the list.
    bind(w.list_scroll, EVENT_DRAG, on_list_bar, state);
    if (auto *canvas = widget_data<CanvasData>(w.video_view)) {
        canvas->image = state.preview.get();
        bind(w.video_view, EVENT_WHEEL_UP, on_details_up, state);
        bind(w.video_view, EVENT_WHEEL_DOWN, on_details_down, state);
        widget_bind_key(w.video_view, KEY_UP, 0, on_details_key, &state);
        widget_bind_key(w.video_view, KEY_DOWN, 0, on_details_key, &state);
    }
    if (auto *canvas = widget_data<CanvasData>(w.playlist_avatar))
        canvas->image = state.playlist_avatar.get();
    if (w.search_input) {
        widget_bind_key(w.search_input, KEY_ENTER, 0, on_search_key, &state);
        widget_bind_key(w.search_input, KEY_KP_ENTER, 0, on_search_key, &state);
        widget_bind_key(w.search_input, KEY_DOWN, 0, on_search_into_list, &state);
        widget_bind_key(w.search_input, KEY_TAB, 0, on_search_into_list, &state);
    }
    bind(w.play_button, EVENT_CLICK, on_action<PLAY_VIDEO>, state);
    bind(w.download_button, EVENT_CLICK, on_action<VIEW_RECOMMENDED>, state);
    bind(w.user_uploads_button, EVENT_CLICK, on_action<VIEW_USER_VIDEOS>, state);
    bind(w.go_button, EVENT_CLICK, on_go, state);
    bind(w.addfav_button, EVENT_CLICK, on_action<ADD_FAVORITES>, state);
    bind(w.showfav_button, EVENT_CLICK, on_action<SHOW_FAVORITES>, state);
    bind(w.feed_button, EVENT_CLICK, on_action<SHOW_FEED>, state);
    bind(w.clear_cache_button, EVENT_CLICK, on_action<CLEAR_CACHE>, state);
    bind(w.video_format_input, EVENT_CLICK, on_video_format, state);
    bind(w.search_type_button, EVENT_CLICK, on_search_type, state);
    bind(w.search_live_button, EVENT_CLICK, on_search_live, state);
    bind(w.search_sort_button, EVENT_CLICK, on_search_sort, state);
    bind(w.search_settings_button, EVENT_CLICK, on_search_settings, state);

    avatar_draw(state);
    if (Surface *surface = toolkit_root_surface())
        browser_relayout(state, surface->width, surface->height);
}

void browser_restore(AppState &state) {
    if (!state.restore_pending) return;
    if (state.current_query) {
        std::string query = *state.current_query;
        if (Widget *input = state.browser.widgets.search_input) {
            widget_set_text(input, query.c_str());
            redraw(input);
        }
        query_process(state, query);
    }
    if (state.restored_video_id) open_video(state, *state.restored_video_id);
}

void browser_relayout(AppState &state, int32_t width, int32_t height) {
    if (!state.root) return;
    interface_resize(state.root.get(), width, height);
    details_rebuild(state);
    redraw(state.browser.widgets.video_view);
}

// ---- Queries ----------------------------------------------------------------------------------

void query_clean(std::string &query) {
    for (char &c : query)
        if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
}

Text query_video_id(std::string_view query) {
    for (std::string_view marker : {"?v=", "&v=", "youtu.be/"}) {
        size_t at = query.find(marker);
        if (at == std::string_view::npos) continue;
        std::string_view rest = query.substr(at + marker.size());
        size_t end = rest.find_first_not_of(ID_CHARACTERS);
        return std::string(rest.substr(0, end));
    }
    return std::nullopt;
}

QueryPlan query_plan(std::string_view query) {
    QueryPlan plan;
    // A watch address whose id is empty ("watch?v=" alone) is searched as text.
    if (Text id = query_video_id(query); id && !id->empty()) {
        plan.action = QUERY_VIDEO;
        plan.argument = *id;
        return plan;
    }
    size_t colon = query.find(':');
    if (colon != std::string_view::npos) {
        std::string_view prefix = query.substr(0, colon);
        std::string argument(query.substr(colon + 1));
        if (prefix == "channel") {
            if (argument.size() >= 2) argument[1] = 'U';
            return {QUERY_PLAYLIST, argument};
        }
        if (prefix == "playlist") return {QUERY_PLAYLIST, argument};
        if (prefix == "recommend") return {QUERY_RECOMMEND, argument};
        if (prefix == "video" || prefix == "v") return {QUERY_VIDEO, argument};
    }
    plan.action = QUERY_SEARCH;
    plan.argument = std::string(query);
    return plan;
}

void query_process(AppState &state, std::string_view text) {
    std::string query(text);
    query_clean(query);
    state.current_query = query;
    std::fprintf(stderr, "process %s\n", query.c_str());
    QueryPlan plan = query_plan(query);
    Browser &b = state.browser;
    switch (plan.action) {
    case QUERY_VIDEO:
        open_video(state, plan.argument);
        break;
    case QUERY_PLAYLIST:
        status_set(state, "loading playlist...");
        innertube_request(state.client, REQUEST_BROWSE_PLAYLIST, plan.argument,
                          listing_completion(LIST_PLAYLIST, false));
        break;
    case QUERY_RECOMMEND:
        status_set(state, "loading recommended videos...");
        innertube_request(state.client, REQUEST_NEXT, plan.argument,
                          listing_completion(LIST_RECOMMENDED, false));
        break;
    case QUERY_SEARCH:
        status_set(state, "searching...");
        innertube_search(state.client, plan.argument, b.search_type, b.search_live, b.search_sort,
                         listing_completion(LIST_SEARCH, false));
        break;
    }
}

void search_run(AppState &state) {
    const char *text = widget_get_text(state.browser.widgets.search_input);
    query_process(state, text ? text : "");
}

// ---- Lists ------------------------------------------------------------------------------------

void list_completion(AppState &state, int32_t status_class, ResponseBuffer *response, uint32_t mode,
                     bool append, const HttpStatus *status) {
    Browser &b = state.browser;
    if (status_class != HTTP_CLASS_SUCCESS || !response) {
        // The rows stay as they were; the status line says why nothing changed instead of
        // "searching..." for ever.
        status_set(state, failure_text("loading the list", status).c_str());
        return;
    }
    if (append && b.local_list != LOCAL_NONE) return;
    const char *text = response_text(*response);
    listing_dump(std::string_view(text, response->position), b.listinfo_path.c_str());
    // An answer that is not a whole JSON document leaves the rows as they were.
    if (!listing_readable(text, mode)) {
        status_set(state, "the service's answer could not be read");
        return;
    }
    status_set(state, "done");

    auto *table = widget_data<TableData>(b.widgets.list_table);
    double offset = append ? list_offset(state) : 0;
    if (!append) {
        b.local_list = LOCAL_NONE;
        b.results.clear();
        if (table) table->selected = nullptr;
    } else {
        if (table && table->selected &&
            static_cast<ListNode<list_item> *>(table->selected)->data->kind == ITEM_MORE)
            table->selected = nullptr;
        for (auto *node = b.results.first(); node;) {
            auto *next = b.results.after(node);
            if (node->data->kind == ITEM_MORE) b.results.remove(node);
            node = next;
        }
    }

    int parsed = parse_listing(&b.results, b.info, text, mode, LISTING_ENTRY_LIMIT);
    mark_watched(b.results, b.history);

    list_set_row_count(state);
    double position = 0;
    if (append) {
        double span = list_geometry(state).span();
        position = span > 0 ? std::clamp(offset / span * 100, 0.0, 100.0) : 0;
    }
    list_set_position(state, position);

    set_label(b.widgets.playlist_label, b.info.owner_name ? b.info.owner_name->c_str() : "");

    image_queue_drop_thumbnails(state);
    queue_avatar(state);
    avatar_draw(state);
    redraw(b.widgets.playlist_avatar);
    for (list_item *item : b.results)
        thumbnail_queue(state, *item);

    if (parsed > 0) state.appending_guard = false;
    state.window.frame_flags |= FRAME_NOW;

    // A favourite of the playlist just opened takes its fresh title, count and first video.
    if (!append && mode == LIST_PLAYLIST && state.switches.update_favorites && b.lists_loaded) {
        std::string failure = favorites_refresh(b.favorites, b.info,
                                                list_file(b.favorites_file, state.favorites_file));
        if (!failure.empty()) status_set(state, failure.c_str());
    }
}

ListFile &browser_favorites_file(AppState &state) {
    return list_file(state.browser.favorites_file, state.favorites_file);
}

std::string browser_add_favorite(AppState &state) {
    Browser &b = state.browser;
    std::string failure = favorites_add(b.favorites, b.info, browser_favorites_file(state));
    if (!failure.empty()) status_set(state, failure.c_str());
    return failure;
}

void browser_show_local(AppState &state, int32_t which, ItemList &entries, const char *label,
                        bool thumbnails) {
    Browser &b = state.browser;
    b.local_list = which;
    b.results.clear();
    if (auto *table = widget_data<TableData>(b.widgets.list_table)) table->selected = nullptr;
    list_info_clear(b.info);
    set_label(b.widgets.playlist_label, label);
    list_copy_entries(entries, b.results);
    list_set_row_count(state);
    list_set_position(state, 0);
    image_queue_drop_thumbnails(state);
    avatar_draw(state);
    redraw(b.widgets.playlist_avatar);
    if (!thumbnails) return;
    for (list_item *item : b.results)
        thumbnail_queue(state, *item);
}

void next_page(AppState &state) {
    const list_info &info = state.browser.info;
    if (!info.continuation) return;
    int32_t code;
    switch (info.kind) {
    case LIST_SEARCH:
        code = REQUEST_SEARCH_CONTINUATION;
        break;
    case LIST_RECOMMENDED:
        code = REQUEST_NEXT_CONTINUATION;
        break;
    case LIST_PLAYLIST:
        code = REQUEST_BROWSE_CONTINUATION;
        break;
    default:
        return;
    }
    innertube_request(state.client, code, *info.continuation, listing_completion(info.kind, true));
}

void open_selected_row(AppState &state) {
    auto *table = widget_data<TableData>(state.browser.widgets.list_table);
    if (!table || !table->selected) return;
    const list_item &item = *static_cast<ListNode<list_item> *>(table->selected)->data;
    switch (item.kind) {
    case ITEM_VIDEO: {
        if (!item.id) return;
        std::fprintf(stderr, "select: title %s, id %s\n", item.title.value_or("").c_str(),
                     item.id->c_str());
        open_video(state, *item.id);
        break;
    }
    case ITEM_PLAYLIST:
        if (item.id) run_prefixed(state, "playlist", *item.id);
        break;
    case ITEM_CHANNEL:
        if (item.id) run_prefixed(state, "channel", *item.id);
        break;
    case ITEM_MORE:
        next_page(state);
        break;
    default:
        break;
    }
}

double list_scroll_span(AppState &state) { return list_geometry(state).span(); }

bool list_scroll_by(AppState &state, double amount) {
    Widget *table = state.browser.widgets.list_table;
    if (!widget_data<TableData>(table)) return true;
    ListGeometry g = list_geometry(state);
    double span = g.span();
    if (span <= 0) {
        list_set_position(state, 0);
        return true;
    }
    double offset = list_offset(state) + amount / 100;
    bool end = offset <= 0 || offset >= span;
    list_set_position(state, std::clamp(offset / span * 100, 0.0, 100.0));
    infinite_scroll_check(state);
    return end;
}

void infinite_scroll_check(AppState &state) {
    if (!state.switches.infinite_scroll || state.appending_guard) return;
    ListGeometry g = list_geometry(state);
    double span = g.span();
    double row = std::round(state.thumb_height * state.scale);
    double offset = list_offset(state);
    // A list that fits in the view is at its end already.
    if (span > 0 && (offset + 5 * row) / span * 100 < 100) return;
    if (!state.browser.info.continuation) return;
    state.appending_guard = true;
    next_page(state);
}

void list_move(AppState &state, ListMove move) {
    Browser &b = state.browser;
    Widget *widget = b.widgets.list_table;
    auto *table = widget_data<TableData>(widget);
    if (!table || b.results.empty()) return;
    int steps = 1;
    if (move == MOVE_PAGE_UP || move == MOVE_PAGE_DOWN) {
        ListGeometry g = list_geometry(state);
        steps = table->row_height > 0 ? int(std::floor(g.view / table->row_height)) : 0;
        if (steps < 1) return;
    }
    bool up = move == MOVE_UP || move == MOVE_PAGE_UP;
    for (int i = 0; i < steps; ++i) {
        auto *node = static_cast<ListNode<list_item> *>(table->selected);
        if (!node) {
            table->selected = b.results.first();
            continue;
        }
        auto *to = up ? b.results.before(node) : b.results.after(node);
        if (to) table->selected = to;
    }
    table_scroll_to_selection(widget);
    list_set_position(state, widget_get_value(widget));
    infinite_scroll_check(state);
}

void search_settings_toggle(AppState &state) {
    Browser &b = state.browser;
    b.search_settings_open = !b.search_settings_open;
    if (!b.widgets.search_settings_split) return;
    split_set_size(b.widgets.search_settings_split, b.search_settings_open ? 92 * state.scale : 0);
    redraw(b.widgets.search_settings_split);
}

void status_set(AppState &state, const char *text) {
    // What the interface says is in the log too, for a terminal or a bug report.
    log_info("status", text ? text : "");
    set_label(state.browser.widgets.status_label, text);
}

// ---- Images -----------------------------------------------------------------------------------

void thumbnail_queue(AppState &state, const list_item &item) {
    if (item.kind == ITEM_MORE || !item.thumb_url || item.thumb_url->empty()) return;
    if (thumbnail_cache_find(state.browser.thumbnails, *item.thumb_url)) return;
    DownloadRequest request;
    request.method = DL_GET_1_1;
    request.verbose = state.switches.debug_url ? 1 : 0;
    request.tag = item.kind == ITEM_CHANNEL ? IMAGE_SQUARE_THUMB : IMAGE_THUMB;
    request.url = *item.thumb_url;
    request.context = &state;
    request.on_done_request = image_completion;
    request_queue_append(state.pools.image_queue, request);
}

std::string frame_url(const std::string &video_id, int index) {
    return std::string("https://") + THUMBNAIL_HOST + "/vi/" + video_id + "/mq" +
           std::to_string(index) + ".jpg";
}

void frames_queue(AppState &state, const std::string &video_id) {
    // Pushed to the head last to first, so the first frame is fetched first.
    for (int i = 3; i >= 1; --i) {
        std::string url = frame_url(video_id, i);
        if (thumbnail_cache_find(state.browser.thumbnails, url)) continue;
        DownloadRequest request;
        request.method = DL_GET_1_1;
        request.verbose = state.switches.debug_url ? 1 : 0;
        request.tag = IMAGE_FRAME;
        request.url = std::move(url);
        request.context = &state;
        request.on_done_request = image_completion;
        request_queue_push(state.pools.image_queue, request);
    }
}

void image_completion(int32_t status_class, ResponseBuffer *response, void *context,
                      DownloadSlot *slot) {
    if (status_class != HTTP_CLASS_SUCCESS || !response || !slot || !slot->request.url) return;
    AppState &state = app(context);
    Browser &b = state.browser;
    const auto *bytes = reinterpret_cast<const uint8_t *>(response->data.get());
    auto kind = static_cast<ImageKind>(slot->request.tag);
    ImageSize size = image_stored_size(kind, state.scale, state.thumb_height);
    SurfacePtr image(image_decode_scaled(bytes, bytes ? size_t(response->position) : 0, size));
    thumbnail_cache_add(b.thumbnails, *slot->request.url, std::move(image));
    // One image of many: its redraw is published with the others, not each on its own.
    toolkit_set_background_drawing(true);
    switch (kind) {
    case IMAGE_THUMB:
    case IMAGE_SQUARE_THUMB:
        redraw(b.widgets.list_split ? b.widgets.list_split : b.widgets.list_table);
        break;
    case IMAGE_AVATAR:
        avatar_draw(state);
        redraw(b.widgets.playlist_avatar);
        break;
    case IMAGE_FRAME:
        details_rebuild(state);
        redraw(b.widgets.video_view);
        break;
    }
    toolkit_set_background_drawing(false);
    response->data.reset();
}

void avatar_draw(AppState &state) {
    Surface *canvas = state.playlist_avatar.get();
    if (!canvas) return;
    Paint fill = state.theme[THEME_BASE];
    surface_fill_rect(canvas, fill, 0, 0, canvas->width - 1, canvas->height - 1);
    const Text &url = state.browser.info.owner_thumb_url;
    if (!url) return;
    Surface *image = thumbnail_cache_find(state.browser.thumbnails, *url);
    if (!image) return;
    int32_t at = int32_t(5 * state.scale), side = int32_t(48 * state.scale);
    Rect dest{at, at, side, side};
    surface_draw(image, nullptr, canvas, &dest, DRAW_BILINEAR | DRAW_OPAQUE);
}

void browser_clear_thumbnails(AppState &state) { thumbnail_cache_clear(state.browser.thumbnails); }
