// Readable figures for the rows and the details view: ages ("9 years ago") instead of dates and
// short counts ("502M views") instead of long numbers, as the service's search pages show them.
// Feeds and player responses give exact dates and counts; search results are already readable
// and pass through unchanged.
#pragma once

#include <cstdint>
#include <string>

#include "service/items.h"

// A count in at most three significant figures: below 1000 as it is, then with K, M or B,
// truncated, with one decimal below 10 of the unit ("1.5K", "12K", "502M", "1.2B"); a decimal of
// 0 is left out ("1K").
std::string readable_count(uint64_t count);

// The age of a publication given as an ISO date and time ("2015-07-09T09:34:35-07:00") as
// "N unit(s) ago" in the largest whole unit (seconds, minutes, hours, days, weeks, months of 30
// days, years of 365 days); any other text, and a date in the future, comes back unchanged.
std::string readable_age(const std::string &published);

// A view text that is a bare number of views ("502516732 views", "1,234 views", "77") as
// readable_count and " views" ("1 view" for one); any other text comes back unchanged.
std::string readable_views(const std::string &views);

// The second line of the details view: channel, duration, readable age and views, then the exact
// date and count in brackets when they differ from the readable ones, and the id:
// "%s - %s - %s - %s views (%s, %llu views) - [%s]\n".
std::string details_line(const list_item &video);
