// url_parse over arbitrary text: the parts it returns must come from the input, hosts stay
// within their limit, and http(s) paths always start with "/".
#include "net/http.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view url(reinterpret_cast<const char *>(data), size);
    ParsedUrl parsed = url_parse(url);
    switch (parsed.scheme) {
    case URL_HTTP:
    case URL_HTTPS:
        if (parsed.host.size() > URL_HOST_LIMIT) std::abort();
        if (parsed.path.empty() || parsed.path[0] != '/') std::abort();
        if (parsed.host.find('/') != std::string::npos) std::abort();
        if (url.find(parsed.host) == std::string_view::npos) std::abort();
        break;
    case URL_FILE:
        if (url.substr(7) != parsed.path) std::abort();
        break;
    case URL_OTHER:
        if (!parsed.host.empty() || !parsed.path.empty()) std::abort();
        break;
    default:
        std::abort();
    }
    return 0;
}
