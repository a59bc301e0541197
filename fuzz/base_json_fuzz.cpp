// The JSON navigator over arbitrary bytes: every operation must stop at the terminating NUL.
// The input is copied into an exactly sized buffer so any read past it is caught.
#include "base/json.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The first bytes choose a path; the rest is the document.
    size_t split = size ? data[0] % 24 : 0;
    if (split + 1 > size) return 0;
    std::vector<char> path(data + 1, data + 1 + split);
    path.push_back('\0');
    std::vector<char> text(data + 1 + split, data + size);
    text.push_back('\0');
    const char *t = text.data();

    const char *v = json_get(t, path.data());
    (void)json_text(v);
    (void)json_strdup(v);
    (void)json_type(v);
    (void)json_get(t, ".a.0.b");
    (void)json_find(t, "a");
    int n = 0;
    for (const char *e = json_first(t); e && n < 100000; e = json_next(e), ++n) {
        (void)json_text(e);
        (void)json_strdup(e);
        (void)json_get(e, ".x.1");
    }
    for (size_t i = 0; i < text.size() - 1; i += 7) {
        (void)json_skip(t + i);
        (void)json_text(t + i);
    }
    (void)json_unescape(t, static_cast<long>(text.size() - 1));
    // Cuts never split a character and never pass the limit.
    size_t limit = size ? data[size - 1] % 16 : 0;
    std::string cut = json_unescape(t, static_cast<long>(text.size() - 1), limit);
    if (cut.size() > limit) __builtin_trap();
    if (auto raw = json_strdup(v, limit); raw && raw->size() > limit) __builtin_trap();
    (void)json_document_complete(t);
    JsonMember m;
    n = 0;
    for (bool more = json_member_first(t, m); more && n < 100000; more = json_member_next(m), ++n)
        (void)json_text(m.value, limit);
    return 0;
}
