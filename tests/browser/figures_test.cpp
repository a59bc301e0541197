// Readable figures: the short counts the lists show.
#include <gtest/gtest.h>

#include "browser/figures.h"

TEST(figures, counts_read_as_the_search_pages_show_them) {
    struct Count {
        uint64_t count;
        const char *text;
    } counts[] = {{0, "0"},          {999, "999"},          {1000, "1K"},
                  {1550, "1.5K"},    {9999, "9.9K"},        {12345, "12K"},
                  {999999, "999K"},  {1000000, "1M"},       {502516732, "502M"},
                  {1200000000, "1.2B"}, {18446744073709551615ull, "18446744073B"}};
    for (const Count &c : counts) {
        SCOPED_TRACE(c.count);
        EXPECT_EQ(readable_count(c.count), c.text);
    }
}
