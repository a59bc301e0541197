// The HTTP response reader over arbitrary byte streams: the first input byte sets the largest
// read, the second whether reads alternate with "would block", whether the peer keeps the
// connection open and whether the body limit is a small one; the rest is what the server
// sends. The reader must end (or wait at the end of the bytes) without reading past anything,
// and a body must never exceed what arrived.
#include "net/http.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    HttpConnection connection;
    HttpMemorySource source;
    source.piece = data[0];
    source.stutter = data[1] & 1;
    source.hold_open = data[1] & 2;
    if (data[1] & 4) connection.body_limit = data[1] >> 3;
    source.bytes = std::string_view(reinterpret_cast<const char *>(data + 2), size - 2);
    http_attach_memory(connection, source);
    for (size_t steps = 0; steps < 4 * size + 16; ++steps) {
        if (http_read_step(connection) == HTTP_STEP_DONE) break;
        if (source.hold_open && source.position == source.bytes.size() && !source.stalled) break;
    }
    if (connection.response.position > source.bytes.size()) std::abort();
    if (connection.response.position > connection.response.capacity) std::abort();
    if (connection.read_state == READ_DONE && connection.result == 0) std::abort();
    // No successful body is larger than the limit.
    if (connection.read_state == READ_DONE && connection.result > 0 &&
        connection.response.position > connection.body_limit) {
        std::abort();
    }
    // Header look-ups over whatever head was collected.
    for (const char *name : {"Content-Length", "Transfer-Encoding", "Connection", "X"}) {
        if (auto value = http_header_value(connection.head, name)) {
            const char *begin = connection.head.data();
            if (value->data() < begin || value->data() + value->size() > begin + connection.head.size()) {
                std::abort();
            }
        }
    }
    return 0;
}
