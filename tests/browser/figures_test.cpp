// Readable figures: short counts, and the details line with the exact ones after them.
#include <gtest/gtest.h>

#include <ctime>

#include "browser/figures.h"

namespace {

// An ISO date and time `seconds` before now, in local time (as published_age reads it), with the
// zone offset the feeds append.
std::string iso_ago(int64_t seconds) {
    std::time_t when = std::time(nullptr) - std::time_t(seconds);
    std::tm tm{};
    localtime_r(&when, &tm);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S-07:00", &tm);
    return text;
}

} // namespace

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

TEST(figures, details_line_puts_the_exact_figures_after_the_readable_ones) {
    list_item video;
    video.channel_name = "Channel";
    video.id = "K4DyBUG242c";
    video.duration = 213;
    video.view_count = 502516732;
    std::string published = iso_ago(9 * 365 * 86400 + 40 * 86400);
    video.published_text = published;
    EXPECT_EQ(details_line(video), "Channel - 3:33 - 9 years ago - 502M views (" + published +
                                       ", 502516732 views) - [K4DyBUG242c]\n");
}
