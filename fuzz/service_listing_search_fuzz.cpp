// parse_listing of search responses (first pages and continuations) over arbitrary bytes.
#include "fuzz/service_fuzz.h"
#include "service/listing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzText text(data, size);
    ItemList list;
    list_info info;
    int max = size ? data[0] % 120 : 100;
    int count = parse_listing(&list, info, text.c_str(), LIST_SEARCH, max);
    if (count < 0 || count > max || count > LISTING_ENTRY_LIMIT) __builtin_trap();
    size_t expected = size_t(count) + (info.continuation ? 1 : 0);
    if (list.size() != expected) __builtin_trap();
    return 0;
}
