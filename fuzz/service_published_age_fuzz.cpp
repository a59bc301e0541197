// published_age over arbitrary texts (ISO dates, relative ages, huge numbers).
#include "fuzz/service_fuzz.h"
#include "service/listing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzText text(data, size);
    (void)published_age(text.c_str());
    return 0;
}
