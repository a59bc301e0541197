// The subscriptions import over arbitrary CSV text: every item it adds is a playlist with an id
// of at most 63 bytes and a title of at most 255, and no id twice.
#include <set>
#include <string>
#include <string_view>

#include "fuzz/service_fuzz.h"
#include "service/feed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ItemList favourites;
    int added = import_subscriptions_text(
        favourites, std::string_view(reinterpret_cast<const char *>(data), size));
    if (added < 0 || favourites.size() != size_t(added)) __builtin_trap();
    std::set<std::string> ids;
    for (list_item *item : favourites) {
        if (item->kind != ITEM_PLAYLIST || !item->id || !item->title) __builtin_trap();
        if (item->id->size() > 63 || item->title->size() > 255) __builtin_trap();
        if (!ids.insert(*item->id).second) __builtin_trap();
    }
    return 0;
}
