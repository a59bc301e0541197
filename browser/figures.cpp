// Readable ages and counts.
#include "browser/figures.h"

#include <cctype>
#include <cstdio>

#include "service/listing.h"
#include "service/player.h"

std::string readable_count(uint64_t count) {
    if (count < 1000) return std::to_string(count);
    static const struct {
        uint64_t size;
        char unit;
    } units[] = {{1000000000, 'B'}, {1000000, 'M'}, {1000, 'K'}};
    for (const auto &u : units) {
        if (count < u.size) continue;
        uint64_t whole = count / u.size;
        uint64_t tenth = count % u.size / (u.size / 10);
        char text[32];
        if (whole < 10 && tenth > 0)
            std::snprintf(text, sizeof text, "%llu.%llu%c", (unsigned long long)whole,
                          (unsigned long long)tenth, u.unit);
        else
            std::snprintf(text, sizeof text, "%llu%c", (unsigned long long)whole, u.unit);
        return text;
    }
    return std::to_string(count);
}

std::string readable_age(const std::string &published) {
    int year, month, day, hour, minute, second;
    if (std::sscanf(published.c_str(), "%d-%d-%dT%d:%d:%d", &year, &month, &day, &hour, &minute,
                    &second) != 6)
        return published;
    int64_t age = published_age(published.c_str());
    if (age < 0 || age == AGE_NONE) return published;
    static const struct {
        int64_t seconds;
        const char *name;
    } units[] = {{31536000, "year"}, {2592000, "month"}, {604800, "week"}, {86400, "day"},
                 {3600, "hour"},     {60, "minute"},     {1, "second"}};
    for (const auto &u : units) {
        int64_t n = age / u.seconds;
        if (n < 1 && u.seconds > 1) continue;
        return std::to_string(n) + " " + u.name + (n == 1 ? "" : "s") + " ago";
    }
    return published;
}

std::string readable_views(const std::string &views) {
    uint64_t count = 0;
    size_t i = 0, digits = 0;
    for (; i < views.size(); ++i) {
        char c = views[i];
        if (c == ',' && digits > 0) continue;
        if (!std::isdigit(uint8_t(c))) break;
        if (count > UINT64_MAX / 10 - 10) return views; // beyond any real count
        count = count * 10 + uint64_t(c - '0');
        ++digits;
    }
    std::string rest = views.substr(i);
    if (!digits || (rest != "" && rest != " views" && rest != " view")) return views;
    return readable_count(count) + (count == 1 ? " view" : " views");
}

std::string details_line(const list_item &video) {
    std::string published = video.published_text.value_or("");
    std::string age = readable_age(published);
    std::string count = std::to_string(video.view_count);
    std::string views = readable_count(video.view_count);
    std::string exact;
    if (age != published) exact = published;
    if (views != count) exact += (exact.empty() ? "" : ", ") + count + " views";
    if (!exact.empty()) exact = " (" + exact + ")";
    return video.channel_name.value_or("") + " - " + duration_text(video.duration) + " - " + age +
           " - " + views + " views" + exact + " - [" + video.id.value_or("") + "]\n";
}
