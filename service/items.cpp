#include "service/items.h"

void list_item_clear(list_item &item) { item = list_item{}; }

list_item list_item_copy(const list_item &item) {
    list_item copy = item;
    copy.views_text = std::string();
    copy.flags = 0;
    return copy;
}

void list_info_clear(list_info &info) { info = list_info{}; }
