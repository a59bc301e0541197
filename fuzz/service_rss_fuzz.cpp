// The RSS reader (parse_listing of the feed kind) over arbitrary bytes.
#include "fuzz/service_fuzz.h"
#include "service/listing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzText text(data, size);
    ItemList list;
    list_info info;
    int count = parse_listing(&list, info, text.c_str(), LIST_FEED, 15);
    if (count < 0 || count > 15 || info.continuation) __builtin_trap();
    if (list.size() != size_t(count)) __builtin_trap();
    return 0;
}
