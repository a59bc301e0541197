// xml_unescape over arbitrary bytes: it reads exactly `length` bytes and never grows the text.
#include <vector>

#include "fuzz/service_fuzz.h"
#include "service/listing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // No terminating NUL: the length alone bounds the read.
    std::vector<char> bytes(data, data + size);
    std::string out = xml_unescape(bytes.data(), long(size));
    if (out.size() > size) __builtin_trap();
    return 0;
}
