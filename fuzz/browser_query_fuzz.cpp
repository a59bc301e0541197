// Query processing over arbitrary text: the cleaned text holds no double quote or backslash and
// keeps its length; a plan's video id holds only id characters when it came from a watch
// address; a "channel:" argument keeps its length; a search carries the whole text.
#include <cstdint>
#include <cstring>
#include <string>

#include "browser/browser.h"

namespace {

bool id_characters_only(const std::string &id) {
    for (char c : id)
        if (!std::strchr("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_", c) ||
            c == '\0')
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string query(reinterpret_cast<const char *>(data), size);
    std::string cleaned = query;
    query_clean(cleaned);
    if (cleaned.size() != query.size()) __builtin_trap();
    for (char c : cleaned)
        if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            __builtin_trap();

    Text id = query_video_id(cleaned);
    if (id && !id_characters_only(*id)) __builtin_trap();
    QueryPlan plan = query_plan(cleaned);
    switch (plan.action) {
    case QUERY_VIDEO:
        if (id && !id->empty() && plan.argument != *id) __builtin_trap();
        break;
    case QUERY_SEARCH:
        if (plan.argument != cleaned) __builtin_trap();
        break;
    case QUERY_PLAYLIST:
        if (cleaned.rfind("channel:", 0) == 0 && plan.argument.size() != cleaned.size() - 8)
            __builtin_trap();
        break;
    case QUERY_RECOMMEND:
        if (plan.argument.size() + 10 != cleaned.size()) __builtin_trap();
        break;
    }
    return 0;
}
