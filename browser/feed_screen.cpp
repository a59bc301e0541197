#include "browser/feed_screen.h"

#include "base/runtime.h"
#include "browser/browser.h"
#include "browser/lists.h"
#include "plugin/app_state.h"
#include "service/client.h"
#include "service/feed.h"

void show_feed(AppState &state) {
    ItemList none;
    browser_show_local(state, LOCAL_FEED, none, "Feed");
    if (feed_request_all(state.client, state.browser.favorites, state.switches.feed_use_rss,
                         feed_done) == 0)
        status_set(state, "no favourites to make the feed from");
}

void feed_done(int32_t status_class, ResponseBuffer *response, void *client, const HttpStatus *) {
    AppState &state = *static_cast<AppState *>(static_cast<ServiceClient *>(client)->hooks.context);
    // Feeds still to come: those waiting in the queue and those downloading beside this one,
    // so "done" only shows once the last feed is in.
    uint32_t left = requests_waiting(state.pools.request_queue, feed_done) +
                    downloads_running(state.pools.api_pool, feed_done, response);
    if (left > 0) {
        auto text = str_printf("loading feed... (%u items left)", left);
        status_set(state, text ? text->c_str() : "");
    } else {
        status_set(state, "done");
    }
    if (status_class != 0 || !response || state.browser.local_list != LOCAL_FEED) return;

    Browser &b = state.browser;
    feed_read_response(b.results, b.info, response_text(*response), state.switches.feed_use_rss,
                       state.feed_videos_per_channel, state.max_feed_age, b.history);
    // Show the merged list again: header "Feed", no list info, thumbnails queued afresh.
    ItemList merged;
    list_copy_entries(b.results, merged);
    browser_show_local(state, LOCAL_FEED, merged, "Feed");
}
