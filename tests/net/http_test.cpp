// The HTTP engine over a memory transport: URLs, headers, responses read whole and in pieces.
#include "net/http.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ReadOutcome {
    int32_t result = 0;
    std::string body;
    bool reusable = false;
};

// Reads `wire` in reads of at most `piece` bytes (0: all at once; 5: with a would-block between
// reads); with `hold_open` the peer keeps the connection open after the last byte.
ReadOutcome read_all(const std::string &wire, size_t piece, bool hold_open, uint64_t body_limit) {
    HttpConnection connection;
    connection.body_limit = body_limit;
    HttpMemorySource source;
    source.bytes = wire;
    source.piece = piece;
    source.stutter = piece == 5;
    source.hold_open = hold_open;
    http_attach_memory(connection, source);
    for (int steps = 0; steps < 100000; ++steps) {
        if (http_read_step(connection) == HTTP_STEP_DONE) break;
        if (hold_open && source.position == wire.size()) return {HTTP_ASYNC_WAITING, "", false};
    }
    ReadOutcome outcome{connection.result, "", connection.reusable};
    if (connection.response.data)
        outcome.body.assign(connection.response.data.get(), connection.response.position);
    return outcome;
}

} // namespace

TEST(url_parse, schemes_hosts_paths_and_limits) {
    std::string long_path = "/" + std::string(5000, 'p'), host(URL_HOST_LIMIT, 'h');
    struct Case {
        std::string url;
        int32_t scheme;
        std::string host, path;
    } cases[] = {
        {"https://www.youtube.com/youtubei/v1/search?key=x", URL_HTTPS, "www.youtube.com",
         "/youtubei/v1/search?key=x"},
        {"https://i.ytimg.com", URL_HTTPS, "i.ytimg.com", "/"},
        {"https://host:8443/a", URL_HTTPS, "host:8443", "/a"},
        {"http://example.com/a/b", URL_HTTP, "example.com", "/a/b"},
        {"file:///home/user/x.json", URL_FILE, "", "/home/user/x.json"},
        {"ftp://example.com/", URL_OTHER, "", ""},
        {"HTTPS://example.com/", URL_OTHER, "", ""},
        // Long paths are kept whole; hosts past the limit are refused.
        {"https://h" + long_path, URL_HTTPS, "h", long_path},
        {"https://" + host + "/", URL_HTTPS, host, "/"},
        {"https://h" + host + "/", URL_OTHER, "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.url.substr(0, 60));
        ParsedUrl url = url_parse(c.url);
        EXPECT_EQ(url.scheme, c.scheme);
        EXPECT_EQ(url.host, c.host);
        EXPECT_EQ(url.path, c.path);
    }
}

// Each response read whole, in pieces of one byte and of five (stuttering).
TEST(http_read_step, results_bodies_and_reuse_of_odd_responses) {
    std::string big(10000, 'b'), filler = "HTTP/1.1 200 OK\r\n";
    while (filler.size() < HTTP_HEAD_LIMIT + 10) filler += "X-Filler: 0123456789abcdef\r\n";
    const std::string ok = "HTTP/1.1 200 OK\r\n", ok10 = "HTTP/1.0 200 OK\r\n";
    struct Case {
        std::string wire;
        int32_t result;
        std::string body = "";  // checked for HTTP results
        int reusable = -1;      // checked (0/1) on whole reads
        bool hold_open = false;
        uint64_t limit = HTTP_BODY_LIMIT;
    } cases[] = {
        {ok10 + "\r\n" + big, 200, big, 0}, // ends at close
        {ok10 + "\r\nabc", HTTP_ASYNC_WAITING, "", -1, true}, // no length, not closed
        {"HTTP/1.1 404 Not Found\r\nContent-Length: 5\r\n\r\ngone!", 404, "gone!"},
        {ok + "Content-Length: 0\r\n\r\n", 200, "", 1, true},
        {ok + "Content-Length: 3\r\n\r\nabcXYZ", 200, "abc", 0}, // bytes past the length
        {ok + "Connection: close\r\nContent-Length: 1\r\n\r\na", 200, "a", 0},
        {ok10 + "Connection: Keep-Alive\r\nContent-Length: 1\r\n\r\nk", 200, "k", 1, true},
        {"HTTP/1.1 204 No Content\r\n\r\n", HTTP_LENGTH_ZERO},
        {"HTTP/1.1 304 Not Modified\r\nContent-Length: 3\r\n\r\nabc", HTTP_LENGTH_ZERO},
        {ok + "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
         HTTP_CONTENT_ERROR},
        {ok + "transfer-encoding: gzip, chunked\r\n\r\n0\r\n\r\n", HTTP_CONTENT_ERROR},
        {ok + "Transfer-Encoding: identity\r\nContent-Length: 1\r\n\r\nx", 200, "x"},
        {ok + "Content-Length: -8\r\n\r\nabc", HTTP_LENGTH_INVALID},
        {ok + "Content-Length: 99999999999\r\n\r\n", HTTP_TOO_LARGE},
        {ok + "Content-Length: 11\r\n\r\n0123456789a", HTTP_TOO_LARGE, "", -1, false, 10},
        {ok10 + "\r\n0123456789a", HTTP_TOO_LARGE, "", -1, false, 10},
        {ok10 + "\r\n0123456789", 200, "0123456789", 0, false, 10},
        {filler + "Content-Length: 0\r\n\r\n", HTTP_LENGTH_INVALID}, // header section too long
        {filler.substr(0, 9000) + "\r\nContent-Length: 2\r\n\r\nok", 200, "ok"},
        {"HTTP/1.1 299 Odd\r\nContent-Length: 0\r\n\r\n", HTTP_LENGTH_INVALID},
        {"HTTP/1.1 -4 X\r\nContent-Length: 0\r\n\r\n", HTTP_LENGTH_INVALID},
        {ok + "Content-Length: 10\r\n\r\nabc", HTTP_READ_ERROR}, // truncated body
        {ok + "Content-Le", HTTP_READ_ERROR},
        {"", HTTP_READ_ERROR},
        {"HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 0\r\n\r\n", 302},
    };
    for (const Case &c : cases) {
        for (size_t piece : {size_t(0), size_t(1), size_t(5)}) {
            SCOPED_TRACE(c.wire.substr(0, 80) + ", piece " + std::to_string(piece));
            ReadOutcome outcome = read_all(c.wire, piece, c.hold_open, c.limit);
            EXPECT_EQ(outcome.result, c.result);
            EXPECT_TRUE(c.result <= 0 || outcome.body == c.body);
            EXPECT_TRUE(piece || c.reusable < 0 || outcome.reusable == (c.reusable == 1));
        }
    }
}
