#include "browser/actions.h"

#include "base/runtime.h"
#include "browser/browser.h"
#include "browser/feed_screen.h"
#include "browser/lists.h"
#include "plugin/app_state.h"
#include "service/client.h"
#include "service/innertube.h"
#include "toolkit/events.h"
#include "toolkit/input.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

const list_item &current(const AppState &s) { return s.client.current_video; }

bool has(const Text &t) { return t.has_value() && !t->empty(); }

// Actions on the current video say so when there is none, instead of doing nothing unseen.
bool need_video(AppState &s) {
    if (has(current(s).id)) return true;
    status_set(s, "no video selected");
    return false;
}

// At most `limit` bytes of `text` for the status line, cut before a UTF-8 sequence, with "..."
// when something was cut; line breaks become spaces.
std::string status_excerpt(const std::string &text, size_t limit = 60) {
    std::string out = text.substr(0, limit);
    if (out.size() < text.size()) {
        size_t end = out.size();
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            --end;
        out.resize(end);
        out += "...";
    }
    for (char &c : out)
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    return out;
}

void quit(AppState &) {
    // Leaving is the player's business: inside mpv this action does nothing.
}

void play_video(AppState &s) {
    if (!need_video(s)) return;
    // The user's own choice replaces what plays. An autoplay request whose chain failed leaves
    // its flag set, which would otherwise turn this load into an append behind the current
    // video.
    s.autoplay_queued = false;
    // The stream request prints its progress line and status itself.
    video_play(s.client);
}

// Puts "prefix:value" into the search field in place of its whole text and runs it as a query.
void query_from_field(AppState &s, const char *prefix, const std::string &value) {
    Widget *input = s.browser.widgets.search_input;
    std::string text = std::string(prefix) + ":" + value;
    if (input) {
        if (InputData *data = widget_data<InputData>(input)) {
            data->anchor = 0;
            data->cursor = static_cast<int32_t>(data->text.size());
        }
        text_insert(text.c_str(), input);
        const char *now = widget_get_text(input);
        query_process(s, now ? now : text.c_str());
    } else {
        query_process(s, text);
    }
}

void view_user_videos(AppState &s) {
    if (!need_video(s)) return;
    if (!has(current(s).channel_id)) {
        status_set(s, "the video has no channel");
        return;
    }
    query_from_field(s, "channel", *current(s).channel_id);
}

void view_recommended_videos(AppState &s) {
    if (need_video(s)) query_from_field(s, "recommend", *current(s).id);
}

void next_page_action(AppState &s) {
    if (!s.browser.info.continuation) {
        status_set(s, s.browser.results.empty() ? "no list loaded" : "no more pages");
        return;
    }
    next_page(s);
}

// Copies `text` (the video's `what`) and says on the status line what was copied, or why not.
void copy_text(AppState &s, const char *what, const Text &text) {
    if (!has(text)) {
        status_set(s, (std::string("the video has no ") + what).c_str());
        return;
    }
    ClipboardResult result = clipboard_set(text->c_str(), s.window.created);
    std::string line;
    if (result.way == CLIPBOARD_NONE) {
        line = std::string("cannot copy the ") + what +
               ": no clipboard (install wl-copy, xclip or xsel)";
    } else {
        line = std::string("copied the ") + what + ": " + status_excerpt(*text);
        if (result.way == CLIPBOARD_TOOL) line += std::string(" (with ") + result.tool + ")";
    }
    status_set(s, line.c_str());
}

void copy_video_url(AppState &s) {
    if (!need_video(s)) return;
    copy_text(s, "address", std::string("https://") + SERVICE_HOST + "/watch?v=" + *current(s).id);
}

void copy_video_title(AppState &s) {
    if (need_video(s)) copy_text(s, "title", current(s).title);
}
void copy_video_description(AppState &s) {
    if (need_video(s)) copy_text(s, "description", current(s).description);
}

void show_favorites(AppState &s) {
    browser_show_local(s, LOCAL_FAVORITES, s.browser.favorites, "Favorites");
}

void show_history(AppState &s) { browser_show_local(s, LOCAL_HISTORY, s.browser.history, "History"); }

void show_feed_action(AppState &s) { show_feed(s); }

// The shown list as the favourites know it: a channel's uploads playlist ("UU...") by the
// channel's name, any other playlist by its title.
bool shown_is_channel(const list_info &info) { return info.id && info.id->starts_with("UU"); }
std::string shown_name(const list_info &info) {
    const Text &name =
        shown_is_channel(info) && has(info.owner_name) ? info.owner_name : info.title;
    return has(name) ? *name : info.id.value_or("");
}

void add_favorites(AppState &s) {
    const list_info &info = s.browser.info;
    if (!info.id) {
        status_set(s, "no playlist or channel shown");
        return;
    }
    bool had = favorites_find(s.browser.favorites, *info.id) != nullptr;
    std::string failure = browser_add_favorite(s);
    if (!failure.empty()) return; // the status line already says why nothing was added
    std::string name = shown_name(info);
    std::string line = shown_is_channel(info) ? (had ? "already following " : "following ") + name
                       : had                  ? name + " is already a favourite"
                                              : "added " + name + " to the favourites";
    status_set(s, line.c_str());
}

void remove_favorites(AppState &s) {
    const list_info &info = s.browser.info;
    if (!info.id) {
        status_set(s, "no playlist or channel shown");
        return;
    }
    std::string failure;
    bool removed = favorites_remove(s.browser.favorites, *info.id,
                                    browser_favorites_file(s), failure);
    if (!failure.empty()) {
        status_set(s, failure.c_str());
        return;
    }
    std::string name = shown_name(info);
    std::string line = shown_is_channel(info) ? (removed ? "unfollowing " : "not following ") + name
                       : removed              ? "removed " + name + " from the favourites"
                                              : name + " is not a favourite";
    status_set(s, line.c_str());
}

void clear_thumbnail_cache(AppState &s) { browser_clear_thumbnails(s); }

void focus_search_input(AppState &s) {
    Widget *input = s.browser.widgets.search_input;
    if (!input) return;
    widget_focus(input);
    if (InputData *data = widget_data<InputData>(input)) {
        data->anchor = 0;
        data->cursor = static_cast<int32_t>(data->text.size());
    }
    widget_redraw_publish(input);
}

void focus_playlist(AppState &s) {
    Widget *table = s.browser.widgets.list_table;
    if (!table) return;
    // The search field loses its caret (its focus-out redraws it); the list shows its outline.
    widget_focus(table);
    widget_redraw_publish(table);
}

void toggle_autoplay_next(AppState &s) {
    bool &on = s.switches.autoplay_next;
    on = !on;
    auto text = str_printf("autoplay %s", on ? "enabled" : "disabled");
    status_set(s, text ? text->c_str() : "");
}

void update_visitor_info(AppState &s) { visitor_data_refresh(s.client); }

// After a theme or panel-size change: lay out and redraw everything at the window size.
void relayout_all(AppState &s) {
    if (Surface *root = toolkit_root_surface()) browser_relayout(s, root->width, root->height);
}

void apply_theme(AppState &s, const char *name) {
    if (set_theme(s.theme, s.root.get(), name)) relayout_all(s);
}

void set_dark_theme(AppState &s) { apply_theme(s, "dark"); }
void set_light_theme(AppState &s) { apply_theme(s, "light"); }
void set_mirra_theme(AppState &s) { apply_theme(s, "mirra"); }

void set_custom_theme(AppState &s) {
    s.theme = s.custom_theme;
    if (s.root) theme_apply_tree(s.root.get(), s.theme);
    relayout_all(s);
}

// The list panel: the first child of the root when both are splits (the built-in layout).
SplitData *list_panel(AppState &s, Widget **split) {
    if (!s.root || s.root->kind != WIDGET_SPLIT) return nullptr;
    std::vector<Widget *> top = widget_children(s.root.get());
    if (top.empty() || !top[0] || top[0]->kind != WIDGET_SPLIT) return nullptr;
    *split = top[0];
    return widget_data<SplitData>(top[0]);
}

void list_size(AppState &s, bool wider) {
    Widget *split = nullptr;
    SplitData *data = list_panel(s, &split);
    if (!data) return;
    double scale = s.scale;
    double thumb = s.thumb_width;
    double size = data->size;
    double value = wider ? std::max(thumb * scale, size + 10 * scale)
                         : std::max(2 * thumb * scale, size - 10 * scale);
    if (data->method == RESIZE_RATIO) value = std::isnan(value) ? 0 : std::clamp(value, 0.0, 100.0);
    split_set_size(split, value);
    relayout_all(s);
}

void inc_list_size(AppState &s) { list_size(s, true); }
void dec_list_size(AppState &s) { list_size(s, false); }

void run_row(void *argument, const KeyBindingRecord &) {
    auto *pair = static_cast<std::pair<AppState *, void (*)(AppState &)> *>(argument);
    pair->second(*pair->first);
}

} // namespace

void actions_defaults(ActionRow (&rows)[ACTION_COUNT]) {
    const ActionRow table[ACTION_COUNT] = {
        {"quit", 'Q', MOD_CTRL, quit},
        {"play_video", 'P', MOD_CTRL, play_video},
        {"view_user_videos", 'U', MOD_CTRL, view_user_videos},
        {"view_recommended_videos", 'R', MOD_CTRL, view_recommended_videos},
        {"next_page", 'N', MOD_CTRL, next_page_action},
        {"copy_video_url", 'D', MOD_CTRL, copy_video_url},
        {"show_favorites", 'S', MOD_CTRL, show_favorites},
        {"show_history", 'H', MOD_CTRL, show_history},
        {"show_feed", 'G', MOD_CTRL, show_feed_action},
        {"add_favorites", 'F', MOD_CTRL, add_favorites},
        {"clear_thumbnail_cache", 0, 0, clear_thumbnail_cache},
        {"copy_video_title", 0, 0, copy_video_title},
        {"copy_video_description", 0, 0, copy_video_description},
        {"focus_search_input", KEY_F6, 0, focus_search_input},
        {"focus_playlist", KEY_F7, 0, focus_playlist},
        {"toggle_autoplay_next", 'P', MOD_CTRL | MOD_SHIFT, toggle_autoplay_next},
        {"update_visitor_info", 'U', MOD_CTRL | MOD_SHIFT, update_visitor_info},
        {"set_dark_theme", 'D', MOD_CTRL | MOD_SHIFT, set_dark_theme},
        {"set_light_theme", 'L', MOD_CTRL | MOD_SHIFT, set_light_theme},
        {"set_mirra_theme", 'Y', MOD_CTRL | MOD_SHIFT, set_mirra_theme},
        {"set_custom_theme", 'C', MOD_CTRL | MOD_SHIFT, set_custom_theme},
        {"inc_list_size", KEY_RIGHT, MOD_CTRL, inc_list_size},
        {"dec_list_size", KEY_LEFT, MOD_CTRL, dec_list_size},
        {"remove_favorites", 'F', MOD_CTRL | MOD_SHIFT, remove_favorites},
    };
    std::copy(std::begin(table), std::end(table), rows);
}

void actions_rebind(ActionRow (&rows)[ACTION_COUNT], const AppState &state) {
    for (const KeyBinding &b : state.key_bindings) {
        for (ActionRow &row : rows) {
            if (b.action == row.name) {
                row.key = static_cast<uint32_t>(b.key);
                row.modifiers = static_cast<uint16_t>(b.modifiers);
                break;
            }
        }
    }
}

void actions_register(AppState &state) {
    if (!state.root) return;
    ActionRow rows[ACTION_COUNT];
    actions_defaults(rows);
    actions_rebind(rows, state);
    // The bindings live as long as the application record: one (state, handler) pair per row.
    static std::pair<AppState *, void (*)(AppState &)> arguments[ACTION_COUNT];
    for (int i = 0; i < ACTION_COUNT; ++i) {
        arguments[i] = {&state, rows[i].handler};
        widget_bind_key(state.root.get(), rows[i].key, rows[i].modifiers, run_row, &arguments[i]);
    }
}

bool action_run(AppState &state, const char *name) {
    ActionRow rows[ACTION_COUNT];
    actions_defaults(rows);
    for (const ActionRow &row : rows) {
        if (std::strcmp(row.name, name) == 0) {
            row.handler(state);
            return true;
        }
    }
    return false;
}
