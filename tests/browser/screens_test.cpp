// Queries, the list completion, next pages, list moves, scrolling, opening rows, the local lists
// at start-up, and the buttons.
#include "browser_support.h"

#include "service/innertube.h"


using bt::text_of;
using bt::World;

namespace {

const char *const BROWSE = "https://www.youtube.com/youtubei/v1/browse";
const char *const NEXT = "https://www.youtube.com/youtubei/v1/next";
const char *const PLAYER = "https://www.youtube.com/youtubei/v1/player";
const char *const PLAYLIST_PAGE = "browse/browse_playlist_web_2024-11_VLPLoumn_first.json";
const char *const CONTINUATION = "search/search_web_2026-01_all_test_continuation.json";

bool last_body_has(World &w, const std::string &needle) {
    return w.last_body().find(needle) != std::string::npos;
}

// The list's scroll position in pixels.
double offset(World &w) { return list_scroll_span(w.state) * widget_get_value(w.table()) / 100; }

} // namespace

TEST(query, plans) {
    struct Case {
        const char *query;
        QueryAction action;
        const char *argument;
    } cases[] = {
        {"https://www.youtube.com/watch?v=M4gD1WSo5mA&list=PL1&t=10", QUERY_VIDEO, "M4gD1WSo5mA"},
        {"https://youtu.be/aqz-KE-bpKQ?t=3", QUERY_VIDEO, "aqz-KE-bpKQ"},
        {"channel:UCabc", QUERY_PLAYLIST, "UUabc"},
        {"channel:U", QUERY_PLAYLIST, "U"},
        {"playlist:PL123", QUERY_PLAYLIST, "PL123"},
        {"recommend:M4gD1WSo5mA", QUERY_RECOMMEND, "M4gD1WSo5mA"},
        {"video:M4gD1WSo5mA", QUERY_VIDEO, "M4gD1WSo5mA"},
        {"v:M4gD1WSo5mA", QUERY_VIDEO, "M4gD1WSo5mA"},
        {"title: the sequel", QUERY_SEARCH, "title: the sequel"},
        // A watch address without an id is searched as text rather than opened as video "".
        {"watch?v=&x", QUERY_SEARCH, "watch?v=&x"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.query);
        QueryPlan plan = query_plan(c.query);
        EXPECT_EQ(plan.action, c.action);
        EXPECT_EQ(plan.argument, c.argument);
    }
}

TEST(list_completion, pages_fill_rows_append_at_the_same_offset_and_failures_keep_them) {
    World w;
    w.first_search_page();
    Browser &b = w.browser();
    size_t rows = b.results.size();
    EXPECT_GE(w.images().size(), rows - 2); // a thumbnail request per row
    // The body is dumped into the configuration directory; a dump that cannot be written is only
    // a warning.
    b.listinfo_path = w.dir + "/missing/dir/listinfo.json";
    w.first_search_page();
    EXPECT_EQ(w.status(), "done");
    // Failures and unreadable answers change no row and say why.
    ResponseBuffer r = bt::response("{}");
    list_completion(w.state, HTTP_CLASS_ERROR, &r, LIST_SEARCH, false, &http_status_lookup(404));
    EXPECT_EQ(w.status(), "loading the list failed (404 Not Found)");
    w.complete("{}", LIST_SEARCH, true, HTTP_CLASS_INTERNAL);
    EXPECT_EQ(w.status(), "loading the list failed (no response)");
    w.complete("<html>Service unavailable</html>", LIST_SEARCH, false);
    EXPECT_EQ(w.status(), "the service's answer could not be read");
    EXPECT_EQ(b.results.size(), rows);

    // About to load more: the "Load More" row selected, scrolled to the bottom.
    w.rows()->selected = b.results.last();
    double span = list_scroll_span(w.state);
    widget_set_value(w.table(), 100);
    w.complete(bt::fixture(CONTINUATION), LIST_SEARCH, true);
    EXPECT_EQ(w.rows()->selected, nullptr);
    EXPECT_EQ(w.rows()->row_count, int32_t(b.results.size()));
    ASSERT_GT(list_scroll_span(w.state), span);
    EXPECT_NEAR(offset(w), span, 0.01);
    w.first_search_page(); // a new first page goes back to the top
    EXPECT_EQ(widget_get_value(w.table()), 0);
}

TEST(next_page, by_list_mode_by_infinite_scroll_and_never_for_local_lists) {
    World w;
    w.complete(bt::fixture(PLAYLIST_PAGE), LIST_PLAYLIST, false);
    ASSERT_TRUE(w.browser().info.continuation);
    w.rows()->selected = w.browser().results.last(); // the "Load More" row opens the next page
    open_selected_row(w.state);
    EXPECT_EQ(w.last_url(), BROWSE);
    EXPECT_TRUE(last_body_has(w, "\"continuation\":\"" + *w.browser().info.continuation));
    w.complete(bt::fixture("next/next_web_2026-06_M4gD1WSo5mA_first.json"), LIST_RECOMMENDED,
               false);
    next_page(w.state);
    EXPECT_EQ(w.last_url(), NEXT);

    // Infinite scrolling: at the end, one next-page request; the guard holds further ones back.
    w.state.switches.infinite_scroll = true;
    w.first_search_page();
    size_t sent = w.requests().size();
    list_scroll_by(w.state, 1e9);
    list_scroll_by(w.state, 8000);
    ASSERT_EQ(w.requests().size(), sent + 1);
    EXPECT_TRUE(last_body_has(w, "\"continuation\""));

    // A local list shown (a copy of the favourites) takes no appended page and no next page.
    list_item *fav = w.add_favourite("PL1");
    browser_show_local(w.state, LOCAL_FAVORITES, w.browser().favorites, "Favorites");
    ASSERT_EQ(w.browser().results.size(), 1u);
    EXPECT_NE(w.browser().results.first()->data, fav);
    w.complete(bt::fixture(CONTINUATION), LIST_SEARCH, true);
    EXPECT_EQ(w.browser().results.size(), 1u);
    sent = w.requests().size();
    next_page(w.state);
    EXPECT_EQ(w.requests().size(), sent);
}

TEST(open_row, channels_query_their_uploads_and_videos_fetch_frames_first) {
    World w;
    w.complete(bt::fixture("search/search_web_2026-01_channels_bbc_first.json"), LIST_SEARCH,
               false);
    ItemList &rows = w.browser().results;
    auto *node = rows.first();
    while (node && node->data->kind != ITEM_CHANNEL) node = rows.after(node);
    ASSERT_TRUE(node && node->data->id && node->data->id->rfind("UC", 0) == 0);
    std::string channel = *node->data->id;
    w.rows()->selected = node;
    open_selected_row(w.state);
    EXPECT_EQ(text_of(w.browser().widgets.search_input), "channel:" + channel);
    EXPECT_TRUE(last_body_has(w, "\"browseId\":\"VLUU" + channel.substr(2) + "\""));

    w.first_search_page();
    w.rows()->selected = w.browser().results.first();
    std::string id = *w.browser().results.first()->data->id;
    open_selected_row(w.state);
    EXPECT_EQ(w.last_url(), PLAYER);
    EXPECT_TRUE(last_body_has(w, "\"videoId\":\"" + id + "\""));
    // The frames go ahead of every thumbnail, in order.
    auto images = w.images();
    ASSERT_GE(images.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(images[size_t(i)]->url, frame_url(id, i + 1));
}

TEST(list_move, steps_pages_and_ends) {
    World w;
    w.first_search_page();
    ItemList &rows = w.browser().results;
    list_move(w.state, MOVE_UP);
    list_move(w.state, MOVE_UP);
    EXPECT_EQ(w.rows()->selected, rows.first());
    list_move(w.state, MOVE_DOWN);
    EXPECT_EQ(w.rows()->selected, rows.after(rows.first()));
    // A page is floor(view / row height) rows.
    int page = int(w.table()->outer_box.h / w.rows()->row_height);
    list_move(w.state, MOVE_PAGE_DOWN);
    auto *expected = rows.after(rows.first());
    for (int i = 0; i < page; ++i) expected = rows.after(expected);
    EXPECT_EQ(w.rows()->selected, expected);
    EXPECT_GT(widget_get_value(w.table()), 0); // scrolled into view
    for (int i = 0; i < 50; ++i) list_move(w.state, MOVE_PAGE_DOWN);
    EXPECT_EQ(w.rows()->selected, rows.last());
    widget_focus(w.table()); // the table's own keys reach the moves
    toolkit_key(KEY_UP, 0);
    EXPECT_EQ(w.rows()->selected, rows.before(rows.last()));
    toolkit_key(KEY_DOWN, 0);
    EXPECT_EQ(w.rows()->selected, rows.last());
}

TEST(list_scroll, with_touch_a_tap_opens_a_row_and_a_drag_moves_the_list) {
    World w;
    w.state.switches.touch_scroll = true;
    w.first_search_page();
    ScrollAnimator &a = w.browser().animator;
    size_t sent = w.requests().size();
    w.rows()->selected = w.browser().results.first();
    // A tap on a row opens it; a click does not (with touch scrolling the tap decides).
    widget_event(w.table(), EVENT_CLICK);
    EXPECT_EQ(w.requests().size(), sent);
    scroll_animator_touch_press(a, 100, 300);
    scroll_animator_touch_release(a);
    ASSERT_EQ(w.requests().size(), sent + 1);
    EXPECT_EQ(w.last_url(), PLAYER);
    // Dragged up by 50 pixels past the 9-pixel slop, the list follows the finger.
    scroll_animator_touch_press(a, 100, 300);
    scroll_animator_touch_move(a, 100, 280);
    scroll_animator_touch_move(a, 100, 230);
    EXPECT_NEAR(offset(w), 50, 1e-6);
}

TEST(local_lists, read_at_start_with_subscriptions_mark_rows_and_are_written_only_once_read) {
    World w;
    // Before the files were read, a played video stays in memory only.
    w.state.switches.save_history = true;
    w.state.history_file = w.dir + "/history.json";
    w.state.favorites_file = w.dir + "/favlist.json";
    list_item played;
    played.id = "K4DyBUG242c";
    w.state.client.hooks.add_history(w.state.client.hooks.context, played);
    EXPECT_EQ(w.browser().history.size(), 1u);
    EXPECT_NE(access(w.state.history_file.c_str(), F_OK), 0);

    write_file(w.state.history_file, "[\n  {\"type\": \"video\", \"id\": \"waLptFFtlZY\", "
                                     "\"duration\": 75},\n  null\n]\n");
    write_file(w.state.favorites_file,
               "[\n  {\"type\": \"playlist\", \"id\": \"PLoumn5BIsUDeGF1vy5Nylf_RJKn5aL_nr\", "
               "\"title\": \"Old title\"},\n  null\n]\n");
    // Exported subscriptions join the favourites as the channels' uploads playlists.
    w.state.subscriptions_file = w.dir + "/subscriptions.csv";
    write_file(w.state.subscriptions_file,
               "Channel Id,Channel Url,Channel Title\r\nUCsXVk37bltHxD1rDPwtNM8Q,"
               "http://www.youtube.com/channel/UCsXVk37bltHxD1rDPwtNM8Q,Kurzgesagt\r\n");
    w.browser().history.clear();
    browser_start(w.state);
    ASSERT_EQ(w.browser().history.size(), 1u);
    ASSERT_EQ(w.browser().favorites.size(), 2u);
    EXPECT_EQ(w.browser().favorites.last()->data->id, "UUsXVk37bltHxD1rDPwtNM8Q");
    w.first_search_page(); // the one row of that video is marked watched
    for (list_item *item : w.browser().results)
        EXPECT_EQ((item->flags & ITEM_FLAG_WATCHED) != 0, item->id == "waLptFFtlZY");
    w.state.client.hooks.add_history(w.state.client.hooks.context, played);
    std::string saved = read_file(w.state.history_file);
    ASSERT_NE(saved.find("waLptFFtlZY"), std::string::npos);
    EXPECT_LT(saved.find("K4DyBUG242c"), saved.find("waLptFFtlZY")); // newest first

    // A first page of a favourite playlist refreshes it, when asked.
    std::string playlist = bt::fixture(PLAYLIST_PAGE);
    w.complete(playlist, LIST_PLAYLIST, false);
    EXPECT_EQ(w.browser().favorites.first()->data->title, "Old title");
    w.state.switches.update_favorites = true;
    w.complete(playlist, LIST_PLAYLIST, false);
    EXPECT_NE(w.browser().favorites.first()->data->title, "Old title");
    EXPECT_EQ(read_file(w.state.favorites_file).find("Old title"), std::string::npos);
}

TEST(buttons, run_their_actions) {
    World w;
    BrowserWidgets &ui = w.browser().widgets;
    w.set_search_text("say \"hi\" \\o/\tnow"); // quotes, backslashes and controls: spaces
    w.click(ui.go_button);
    EXPECT_TRUE(last_body_has(w, "\"query\":\"say  hi   o/ now\"")) << w.last_body();
    w.state.favorites_file = w.dir + "/favlist.json";
    w.complete(bt::fixture(PLAYLIST_PAGE), LIST_PLAYLIST, false);
    w.click(ui.addfav_button);
    ASSERT_EQ(w.browser().favorites.size(), 1u);
    w.click(ui.showfav_button);
    EXPECT_EQ(w.browser().local_list, LOCAL_FAVORITES);
    EXPECT_EQ(w.browser().results.first()->data->id, w.browser().favorites.first()->data->id);
    w.state.client.current_video.id = "M4gD1WSo5mA";
    w.click(ui.play_button); // the configured client is asked for the streams
    EXPECT_TRUE(last_body_has(w, "\"clientName\":\"IOS\""));
    w.click(ui.download_button);
    EXPECT_EQ(text_of(ui.search_input), "recommend:M4gD1WSo5mA");
    EXPECT_EQ(w.last_url(), NEXT);
}
