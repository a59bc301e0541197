// The subscription feed screen: one list of the newest videos of every favourite, fetched as
// RSS feeds (or playlist browses) and merged newest first as the responses arrive.
#pragma once

#include <cstdint>

struct AppState;
struct ResponseBuffer;
struct HttpStatus;

// The show_feed action: the list becomes the (empty) feed and one request per favourite goes
// out; each response is merged by feed_done.
void show_feed(AppState &state);
// The completion of every feed request (context: the service client).
void feed_done(int32_t status_class, ResponseBuffer *response, void *client,
               const HttpStatus *status);
