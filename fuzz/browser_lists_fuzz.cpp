// The favourites and history readers over arbitrary text: every entry read has the list's kind
// and a thumbnail (history entries a duration text too), and writing what was read then reading it again gives the same entries (the
// written files are valid JSON that the readers decode back exactly).
#include <string>
#include <cstring>
#include <vector>

#include "browser/lists.h"
#include "fuzz/service_fuzz.h"

namespace {

struct Entry {
    std::string id, title, label, length_text;
    uint32_t duration;
    bool operator==(const Entry &) const = default;
};

std::vector<Entry> entries(ItemList &list, uint32_t kind, bool history) {
    std::vector<Entry> out;
    for (list_item *item : list) {
        if (item->kind != kind || !item->thumb_url) __builtin_trap();
        if (history && !item->length_text) __builtin_trap();
        std::string title = item->title.value_or("");
        if (history)
            for (char &c : title)
                if (c == '"' || c == '\\') c = ' ';
        out.push_back({item->id.value_or(""), title, history ? "" : item->label.value_or(""),
                       item->length_text.value_or(""), item->duration});
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzText text(data, size);

    ItemList favorites;
    ListRead read;
    favorites_parse(favorites, text.c_str(), &read);
    if (read.stopped_at > std::strlen(text.c_str())) __builtin_trap();
    std::vector<Entry> first = entries(favorites, ITEM_PLAYLIST, false);
    std::string written = favorites_text(favorites);
    ItemList again;
    // What is written always reads completely, so it is never taken for a damaged file.
    if (favorites_parse(again, written.c_str(), &read) != first.size()) __builtin_trap();
    if (!read.complete || read.stopped_at != written.size()) __builtin_trap();
    if (entries(again, ITEM_PLAYLIST, false) != first) __builtin_trap();

    ItemList history;
    history_parse(history, text.c_str());
    std::vector<Entry> played = entries(history, ITEM_VIDEO, true);
    written = history_text(history);
    ItemList reread;
    if (history_parse(reread, written.c_str()) != played.size()) __builtin_trap();
    if (entries(reread, ITEM_VIDEO, true) != played) __builtin_trap();
    return 0;
}
