// The actions behind the keys: toggles, rebinding, focus moves, the status line and the feed.
#include "browser/actions.h"
#include "browser/feed_screen.h"
#include "browser/lists.h"
#include "browser_support.h"

#include <cstring>
#include <functional>

namespace {

double list_panel_size(bt::World &w) {
    std::vector<Widget *> top = widget_children(w.state.root.get());
    return widget_data<SplitData>(top[0])->size;
}

} // namespace

TEST(actions, autoplay_toggle_play_and_a_later_row_winning_its_key) {
    bt::World w;
    w.state.switches.autoplay_next = true;
    actions_register(w.state);
    for (bool on : {false, true}) {
        toolkit_key('P', MOD_CTRL | MOD_SHIFT);
        EXPECT_EQ(w.state.switches.autoplay_next, on);
        EXPECT_EQ(w.status(), on ? "autoplay enabled" : "autoplay disabled");
    }
    // Playing replaces the queue even after an autoplay whose requests failed.
    w.state.autoplay_queued = true;
    toolkit_key('P', MOD_CTRL); // no current video: nothing happens
    EXPECT_TRUE(w.state.autoplay_queued);
    w.state.client.current_video.id = "K4DyBUG242c";
    toolkit_key('P', MOD_CTRL);
    EXPECT_FALSE(w.state.autoplay_queued);
    ASSERT_EQ(w.requests().size(), 1u);
    EXPECT_NE(w.last_body().find("K4DyBUG242c"), std::string::npos);
    // Rebound by name to the same keys, the later row (set_dark_theme) is met first; a binding
    // naming no action changes nothing.
    w.state.key_bindings = {{'P', MOD_CTRL | MOD_SHIFT, "set_dark_theme"}, {'X', 0, "nothing"}};
    actions_register(w.state);
    toolkit_key('P', MOD_CTRL | MOD_SHIFT);
    EXPECT_TRUE(w.state.switches.autoplay_next);
    ThemeRecords dark{};
    ASSERT_TRUE(set_theme(dark, nullptr, "dark"));
    EXPECT_EQ(w.state.theme[THEME_BASE].fill_color, dark[THEME_BASE].fill_color);
}

// Every action says on the status line what it did, or why it did nothing.
TEST(actions, say_what_they_did) {
    bt::World w;
    w.state.window.created = true;
    w.state.favorites_file = w.dir + "/favlist.json";
    std::string saved_path = std::getenv("PATH") ? std::getenv("PATH") : "";
    auto video = [&] {
        w.state.client.current_video.id = "dQw4w9WgXcQ";
        w.state.client.current_video.title = "A \"title\"";
    };
    auto shown = [&](const char *id, const char *title) { // the list its first page leaves
        return [&w, id, title] {
            w.state.browser.info.id = id;
            w.state.browser.info.title = title;
            w.state.browser.info.owner_name = "Kurzgesagt";
        };
    };
    auto channel = shown("UUsXVk37bltHxD1rDPwtNM8Q", "Videos"); // a channel's uploads
    auto no_clipboard = [&] {
        video();
        fakehost::fail_property("clipboard/text");
        setenv("PATH", "", 1);
    };
    struct Case {
        std::function<void()> setup;
        const char *action;
        std::string status;
    } cases[] = {
        {[] {}, "copy_video_url", "no video selected"},
        {[] {}, "add_favorites", "no playlist or channel shown"},
        {video, "copy_video_url",
         "copied the address: https://www.youtube.com/watch?v=dQw4w9WgXcQ"},
        {video, "copy_video_description", "the video has no description"},
        {no_clipboard, "copy_video_title",
         "cannot copy the title: no clipboard (install wl-copy, xclip or xsel)"},
        {channel, "add_favorites", "following Kurzgesagt"},
        {shown("PLoumn", "Science"), "add_favorites", "added Science to the favourites"},
        {channel, "remove_favorites", "unfollowing Kurzgesagt"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.action) + " -> " + c.status);
        c.setup();
        ASSERT_TRUE(action_run(w.state, c.action));
        EXPECT_EQ(w.status(), c.status);
        setenv("PATH", saved_path.c_str(), 1);
    }
    EXPECT_EQ(fakehost::properties().count("clipboard/text"), 1u);
    EXPECT_FALSE(action_run(w.state, "no_such_action"));
}

TEST(actions, focus_moves_and_list_size) {
    bt::World w;
    actions_register(w.state);
    toolkit_key(KEY_F7, 0);
    EXPECT_EQ(toolkit_backend().focus, w.table());
    // The search field binds Ctrl+LEFT/RIGHT for word moves; with the list focused the root's
    // actions get them: the list panel never gets narrower than two thumbnails.
    for (int i = 0; i < 100; ++i) toolkit_key(KEY_LEFT, MOD_CTRL);
    EXPECT_DOUBLE_EQ(list_panel_size(w), 2 * w.state.thumb_width * w.state.scale);
    // TAB in the search field (F6) leads into the list at its first row.
    w.first_search_page();
    toolkit_key(KEY_F6, 0);
    toolkit_key(KEY_TAB, 0);
    EXPECT_EQ(toolkit_backend().focus, w.table());
    EXPECT_EQ(w.rows()->selected, w.state.browser.results.first());
}

TEST(feed, keeps_the_limit_marks_watched_and_drops_late_answers) {
    bt::World w;
    w.state.switches.feed_use_rss = true;
    w.state.feed_videos_per_channel = 3;
    w.state.max_feed_age = "100 years";
    for (const char *id : {"PLav47HAVZMjnTFVZL-aImCQIC0uLZtNCz", "UUsXVk37bltHxD1rDPwtNM8Q"})
        w.add_favourite(id);
    auto *seen = new list_item;
    seen->id = "OU36JDGzXb0"; // the third entry of the channel feed
    w.state.browser.history.append(seen, 1);
    auto deliver = [&](const char *name) {
        ResponseBuffer r = bt::response(bt::fixture(name));
        feed_done(0, &r, &w.state.client, nullptr);
    };
    const char *channel = "feeds/feed_channel_user_Kurzgesagt_2026-01.xml";

    show_feed(w.state);
    ASSERT_EQ(w.requests().size(), 2u);

    deliver("feeds/feed_playlist_PLav47HAVZMjnTFVZL_trimmed.xml");
    EXPECT_EQ(w.state.browser.results.size(), 3u); // at most three a favourite
    deliver(channel);
    EXPECT_EQ(w.state.browser.results.size(), 6u);
    int watched = 0; // a video in the history is marked watched
    for (list_item *item : w.state.browser.results)
        watched += item->id == std::optional<std::string>("OU36JDGzXb0") && (item->flags & 1);
    EXPECT_EQ(watched, 1);
    w.first_search_page(); // leaving the feed drops late responses
    size_t rows = w.state.browser.results.size();
    deliver(channel);
    EXPECT_EQ(w.state.browser.results.size(), rows);
}
