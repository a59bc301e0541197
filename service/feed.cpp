#include "service/feed.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unordered_set>
#include <vector>

#include "service/listing.h"

namespace {

bool is_scanf_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char a = text[i], b = prefix[i];
        if (a >= 'A' && a <= 'Z') a = char(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = char(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

// One CSV line: an id of at most 63 bytes up to a comma, a skipped field up to the next comma,
// a title of at most 255 bytes up to the end of the line, then any white space (the fields are
// matched the way "%63[^,],%*[^,],%255[^\r\n] %n" matches them). Returns the bytes consumed, or
// 0 when the line does not give both an id and a title.
size_t match_line(std::string_view text, std::string_view &id, std::string_view &title) {
    size_t i = 0;
    while (i < text.size() && i < 63 && text[i] != ',') ++i;
    if (i == 0 || i >= text.size() || text[i] != ',') return 0;
    id = text.substr(0, i);
    size_t j = i + 1, skipped = j;
    while (j < text.size() && text[j] != ',') ++j;
    if (j == skipped || j >= text.size()) return 0;
    size_t k = j + 1, title_start = k;
    while (k < text.size() && k - title_start < 255 && text[k] != '\r' && text[k] != '\n') ++k;
    if (k == title_start) return 0;
    title = text.substr(title_start, k - title_start);
    while (k < text.size() && is_scanf_space(text[k])) ++k;
    return k;
}

} // namespace

int import_subscriptions_text(ItemList &favourites, std::string_view text) {
    size_t nul = text.find('\0');
    if (nul != std::string_view::npos) text = text.substr(0, nul);
    std::unordered_set<std::string> known;
    for (list_item *item : favourites)
        if (item->id) known.insert(*item->id);
    int added = 0;
    for (;;) {
        std::string_view id, title;
        size_t consumed = match_line(text, id, title);
        if (consumed == 0) break;
        text.remove_prefix(consumed);
        if (starts_with_ignoring_case(id, "Channel Id")) continue;
        std::string playlist(id);
        if (playlist.size() >= 2) playlist[1] = 'U';
        if (!known.insert(playlist).second) continue;
        auto *item = new list_item;
        item->kind = ITEM_PLAYLIST;
        item->id = std::move(playlist);
        item->title = std::string(title);
        item->published_text = std::string();
        favourites.append(item, ITEM_TAG);
        ++added;
    }
    return added;
}

int import_subscriptions(ItemList &favourites, const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return 0;
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) return 0;
    return import_subscriptions_text(favourites, text);
}

void feed_remove_more(ItemList &list) {
    for (auto *node = list.first(); node;) {
        auto *next = list.after(node);
        if (node->data->kind == ITEM_MORE) list.remove(node);
        node = next;
    }
}

void feed_filter_age(ItemList &list, const Text &max_age) {
    int64_t limit = published_age(max_age);
    for (auto *node = list.first(); node;) {
        auto *next = list.after(node);
        if (published_age(node->data->published_text) > limit) list.remove(node);
        node = next;
    }
}

void feed_sort(ItemList &list) {
    // Each row's age is computed once; the rows are then relinked in stable order.
    struct Row {
        int64_t age;
        list_item *item;
        uint32_t tag;
    };
    std::vector<Row> rows;
    while (auto *node = list.first()) {
        uint32_t tag = node->tag;
        list_item *item = list.take(node);
        rows.push_back({published_age(item->published_text), item, tag});
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const Row &a, const Row &b) { return a.age < b.age; });
    for (const Row &row : rows) list.append(row.item, row.tag);
}

void feed_mark_watched(ItemList &list, ItemList &history) {
    std::unordered_set<std::string> watched;
    for (list_item *item : history)
        if (item->id) watched.insert(*item->id);
    for (list_item *item : list)
        if (item->id && watched.count(*item->id)) item->flags |= ITEM_FLAG_WATCHED;
}

int feed_read_response(ItemList &list, list_info &info, const char *text, bool rss, int max,
                       const Text &max_age, ItemList &history) {
    int created = parse_listing(&list, info, text, rss ? LIST_FEED : LIST_PLAYLIST, max);
    feed_remove_more(list);
    feed_filter_age(list, max_age);
    feed_sort(list);
    feed_mark_watched(list, history);
    return created;
}
