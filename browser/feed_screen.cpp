#include "browser/feed_screen.h"

#include "base/runtime.h"
#include "browser/browser.h"
#include "browser/lists.h"
#include "plugin/app_state.h"
#include "service/client.h"
#include "service/feed.h"
#include "toolkit/input.h"

namespace {

// Merges one feed's answer (none for a failed one) into the feed list and shows the list.
void feed_show(AppState &state, ResponseBuffer *response, uint32_t left) {
    Browser &b = state.browser;
    if (response)
        feed_read_response(b.results, b.info, response_text(*response),
                           state.switches.feed_use_rss, state.feed_videos_per_channel,
                           state.max_feed_age, b.history);
    // Show the merged list again: header "Feed", no list info. Thumbnails are queued once the
    // last feed is in: every merge re-sorts the rows, so thumbnails fetched for an earlier order
    // would mostly be for rows that have moved out of view, and their downloads and decodes
    // would slow the feeds still arriving.
    ItemList merged;
    list_copy_entries(b.results, merged);
    browser_show_local(state, LOCAL_FEED, merged, "Feed", left == 0);
    if (left == 0) state.window.frame_flags |= FRAME_NOW;
}

} // namespace

void show_feed(AppState &state) {
    ItemList none;
    browser_show_local(state, LOCAL_FEED, none, "Feed");
    state.browser.feed_failures = 0;
    state.browser.feed_failure.clear();
    if (feed_request_all(state.client, state.browser.favorites, state.switches.feed_use_rss,
                         feed_done) == 0)
        status_set(state, "no favourites to make the feed from");
}

void feed_done(int32_t status_class, ResponseBuffer *response, void *client,
               const HttpStatus *status) {
    AppState &state = *static_cast<AppState *>(static_cast<ServiceClient *>(client)->hooks.context);
    Browser &b = state.browser;
    bool failed = status_class != 0 || !response;
    if (failed && b.local_list == LOCAL_FEED) {
        ++b.feed_failures;
        b.feed_failure = failure_text("loading the feed", status);
    }
    // Feeds still to come: those waiting in the queue and those downloading beside this one,
    // so "done" only shows once the last feed is in. Failed feeds are counted, and the last
    // failure is named at the end.
    uint32_t left = requests_waiting(state.pools.request_queue, feed_done) +
                    downloads_running(state.pools.api_pool, feed_done, response);
    // While more feeds are coming, what this one changes is published with what they change.
    toolkit_set_background_drawing(left > 0);
    std::optional<std::string> text;
    if (left > 0 && b.feed_failures > 0)
        text = str_printf("loading feed... (%u items left, %u failed)", left, b.feed_failures);
    else if (left > 0)
        text = str_printf("loading feed... (%u items left)", left);
    else if (b.feed_failures > 0)
        text = str_printf("done; feeds failed: %u (last: %s)", b.feed_failures,
                          b.feed_failure.c_str());
    status_set(state, left > 0 || b.feed_failures > 0 ? (text ? text->c_str() : "") : "done");
    if (b.local_list == LOCAL_FEED && (!failed || left == 0))
        feed_show(state, failed ? nullptr : response, left);
    toolkit_set_background_drawing(false);
}
