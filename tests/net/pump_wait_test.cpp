// The pump's pacing: the long quiet wait is only taken when nothing downloads or waits to.
#include "net/dlpool.h"

#include <gtest/gtest.h>

TEST(download_pump, waits_long_only_when_nothing_is_in_flight_or_queued) {
    DownloadPools pools;
    download_pools_init(pools);
    pools.quiet_wait_ms = 250;
    EXPECT_EQ(pump_wait_ms(pools), 250);

    DownloadRequest request;
    request.url = "https://i.ytimg.com/vi/a/mqdefault.jpg";
    ASSERT_TRUE(request_queue_append(pools.image_queue, request));
    EXPECT_EQ(pump_wait_ms(pools), PUMP_WAIT_MS);
    pools.image_queue.clear();

    request.url = "https://www.youtube.com/feeds/videos.xml?playlist_id=UU1";
    ASSERT_TRUE(request_queue_append(pools.request_queue, request));
    EXPECT_EQ(pump_wait_ms(pools), PUMP_WAIT_MS);
    pools.request_queue.clear();

    // A download in a slot (its connection fails later; it is in flight until then).
    ASSERT_TRUE(dlpool_add(pools.api_pool, request));
    EXPECT_EQ(pump_wait_ms(pools), PUMP_WAIT_MS);

    // A quiet wait below the pacing never makes the loop spin faster.
    DownloadPools idle;
    download_pools_init(idle);
    idle.quiet_wait_ms = 0;
    EXPECT_EQ(pump_wait_ms(idle), PUMP_WAIT_MS);
}
