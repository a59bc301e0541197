// The HTTPS client engine: one HTTP/1.0 or HTTP/1.1 exchange over TLS to port 443, driven a step
// at a time without blocking (name resolution and the TCP connect excepted) from a download
// pool slot.
//
// An HttpConnection is owned by its download slot. http_connect opens the socket and the TLS
// session, http_handshake_step and http_read_step advance it, http_close releases everything
// the connection opened. The response body collects in the connection's ResponseBuffer, which
// the slot owns; a completion callback may take its data (std::move) to keep it.
//
// Reading goes through a transport table (read/write functions), so the response parser runs
// over TLS in the plug-in and over a memory source in tests and fuzzing.
//
// Server certificates are verified against the system trust store
// (/etc/ssl/certs/ca-certificates.crt, or the file named by SSL_CERT_FILE). Only TLS 1.2 with
// forward-secret (ECDHE or DHE) suites is spoken; a server that offers less is refused. The
// session of each host is kept, so a new connection to a host seen before resumes it instead of
// running the full key exchange. Every socket has TCP_NODELAY set, and the messages of one
// handshake flight leave in one write. The environment
// variable SOLVANE_RESOLVE ("HOST:443:ADDRESS:PORT", comma-separated) sends connections for HOST
// to ADDRESS:PORT while the TLS server name and the Host header stay HOST.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

enum UrlScheme : int32_t { URL_HTTP = 0, URL_HTTPS = 1, URL_FILE = 2, URL_OTHER = 3 };

// Host names longer than this make a URL unusable (url_parse answers URL_OTHER).
constexpr size_t URL_HOST_LIMIT = 256;

struct ParsedUrl {
    int32_t scheme = URL_OTHER;
    // Text between the scheme and the first "/" (port included when the URL writes one).
    std::string host;
    // From the first "/" to the end, query included; "/" when the URL has none. For file://
    // URLs the rest of the URL.
    std::string path;
};

ParsedUrl url_parse(std::string_view url);

// Final results below zero (internal codes of http_status_table).
enum HttpResult : int32_t {
    HTTP_LENGTH_INVALID = -2,
    HTTP_LENGTH_CHUNKED = -3,
    HTTP_READ_ERROR = -4,
    HTTP_WRITE_ERROR = -5,
    HTTP_CONTENT_ERROR = -6,
    HTTP_ASYNC_WAITING = -7,
    HTTP_LENGTH_ZERO = -9,
    // A download that made no progress for HTTP_STALL_LIMIT_MS.
    HTTP_TIMED_OUT = -10,
    // A download still unfinished when its pool's deadline passed, however slowly bytes came.
    HTTP_DEADLINE_PASSED = -11,
    // The host could not be resolved or the TCP connection was refused or failed.
    HTTP_UNREACHABLE = -12,
    // The server's certificate did not verify against the trust store.
    HTTP_CERT_REFUSED = -13,
    // The server offers only TLS versions or key exchanges below what the client accepts.
    HTTP_TLS_OUTDATED = -14,
    // Any other failure to set up or run the TLS handshake.
    HTTP_TLS_FAILED = -15,
    // The response announced or delivered a body above the connection's body limit.
    HTTP_TOO_LARGE = -16,
    // The URL is not an https:// URL.
    HTTP_URL_INVALID = -17,
};

// Status classes handed to completion callbacks.
enum HttpClass : int32_t {
    HTTP_CLASS_SUCCESS = 0,
    HTTP_CLASS_INFO = 1,
    HTTP_CLASS_REDIRECT = 2,
    HTTP_CLASS_ERROR = 3,
    HTTP_CLASS_INTERNAL = -1,
};

struct HttpStatus {
    int32_t code;
    int32_t status_class;
    const char *text;
    // For a failed download handed to a completion: what failed, in words that name the host
    // ("cannot reach www.youtube.com (no network?)"). Null in the table. Valid during the
    // callbacks only.
    const char *detail = nullptr;
};

// Every known code in table order, ending with the terminator {-1, -1, "Unknown HTTP error"}.
extern const HttpStatus http_status_table[];
// The entry of `code`, or the terminator when the code is not listed.
const HttpStatus &http_status_lookup(int32_t code);
inline int32_t http_status_class(int32_t code) { return http_status_lookup(code).status_class; }

constexpr const char *HTTP_DEFAULT_USER_AGENT =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:68.0) Gecko/20100101 Firefox/68.0";

// A download that transfers no byte (connect, handshake or response) for this long fails.
constexpr uint32_t HTTP_STALL_LIMIT_MS = 30000;
// Header sections larger than this are refused (HTTP_LENGTH_INVALID).
constexpr size_t HTTP_HEAD_LIMIT = 65536;
// The largest body any connection accepts (HTTP_TOO_LARGE above); pools set lower limits.
constexpr uint64_t HTTP_BODY_LIMIT = 0x40000000;
// A body buffer up to this capacity is kept by its connection for the next response instead of
// being freed and allocated again (the arena then keeps no freed response memory).
constexpr uint64_t HTTP_RETAIN_LIMIT = 2 << 20;

struct FreeDeleter {
    void operator()(void *pointer) const { std::free(pointer); }
};
using ResponseData = std::unique_ptr<char[], FreeDeleter>;

// The response body of one download. `data` is not NUL-terminated; `position` bytes are valid.
// A callback that keeps the bytes moves `data` out (the pool frees whatever is left).
struct ResponseBuffer {
    ResponseData data;
    uint64_t position = 0;
    uint64_t capacity = 0;
    uint64_t size = 0;
};

// Byte transport under the HTTP reader. Both functions follow mbedtls_ssl_read/write: a
// positive count, 0 or HTTP_IO_EOF at the end of the stream, HTTP_IO_CLOSE_NOTIFY when the
// peer closed the session, HTTP_IO_WANT_READ / HTTP_IO_WANT_WRITE when nothing can move now,
// any other negative value for an error.
struct HttpTransport {
    int (*read)(void *context, unsigned char *buffer, size_t length);
    int (*write)(void *context, const unsigned char *buffer, size_t length);
};

// The transport's result codes (the values mbedTLS uses).
constexpr int HTTP_IO_WANT_READ = -0x6900;
constexpr int HTTP_IO_WANT_WRITE = -0x6880;
constexpr int HTTP_IO_CLOSE_NOTIFY = -0x7880;
constexpr int HTTP_IO_EOF = -0x7280;

// True for the results that mean "the peer ended the stream".
inline bool http_io_ended(int result) {
    return result == 0 || result == HTTP_IO_EOF || result == HTTP_IO_CLOSE_NOTIFY;
}

enum HttpReadState : int32_t {
    READ_DONE = 1,
    READ_STATUS = 43,
    READ_MORE_HEADERS = 68,
    READ_BODY = 88,
};

enum HttpHandshakeState : int32_t { HANDSHAKE_RUNNING = 274, HANDSHAKE_DONE = 1 };

// The socket, entropy, random generator, TLS configuration and session of an open connection.
struct TlsSession;
struct TlsSessionDeleter {
    void operator()(TlsSession *session) const;
};

struct HttpConnection {
    std::unique_ptr<TlsSession, TlsSessionDeleter> tls; // null while closed
    // What the reader reads from and the request is written to: the TLS session once
    // connected, or a memory source in tests.
    const HttpTransport *transport = nullptr;
    void *transport_context = nullptr;

    std::string head; // header bytes received so far (status line included)
    int32_t last_read = 0;
    int32_t last_block = 0;
    int32_t received = 0;
    int32_t remaining = 0; // body bytes still expected; HTTP_REMAINING_UNKNOWN when not given
    int32_t status_code = 0;
    int32_t result = 0;
    bool length_known = false;
    // Cleared when the response leaves the connection unusable for another request.
    bool reusable = true;
    int32_t read_state = READ_STATUS;
    int32_t handshake_state = HANDSHAKE_RUNNING;
    // Responses whose body passes this many bytes end with HTTP_TOO_LARGE.
    uint64_t body_limit = HTTP_BODY_LIMIT;
    // The host the open connection leads to ("" while closed).
    std::string host;
    // clock_ms() of the last byte moved on this connection (or of the download's start).
    uint32_t last_activity_ms = 0;
    ResponseBuffer response;
};

constexpr int32_t HTTP_REMAINING_UNKNOWN = 0x7FFFFFFF;

// Clears the counters and the header bytes and readies the body buffer for the next response:
// the buffer left from the last response is reused when it is at most HTTP_RETAIN_LIMIT bytes,
// otherwise a new one of 1024 bytes is made. Leaves the socket and TLS state alone.
void http_reset_response(HttpConnection &connection);

// Opens the socket and the TLS session for `url`. Returns 0, or after printing why the download
// is given up: HTTP_URL_INVALID (not https), HTTP_UNREACHABLE (resolution, socket or connect)
// or HTTP_TLS_FAILED (TLS set-up, trust store). The connect itself does not wait: the handshake
// finishes it.
int http_connect(HttpConnection &connection, const char *url);

enum HttpStep : int32_t { HTTP_STEP_WAITING = 0, HTTP_STEP_DONE = 1 };

// Advances the handshake; its first step offers the session kept from an earlier connection
// to the same host and port, if any, for resumption. WAITING while the library wants to read
// or write, DONE when it is over: result 0 on success (the session is then kept for the host);
// otherwise the connection is closed and connection.result says what failed: HTTP_UNREACHABLE
// (the TCP connect failed), HTTP_CERT_REFUSED, HTTP_TLS_OUTDATED (only old versions or key
// exchanges offered) or HTTP_TLS_FAILED. A line naming the host and the reason is printed
// (always for a refused certificate or outdated TLS, when `verbose` for other failures).
HttpStep http_handshake_step(HttpConnection &connection, const char *host, bool verbose);

// Format and write a whole request, repeating while the transport wants to write. Return 0 or
// the transport's error (after printing "write request failed with code %x" and closing the
// connection). Absent extra headers, body or user agent count as empty / the default agent.
// `extra_headers` is a run of lines, each ending in "\r\n".
int http_send_get(HttpConnection &connection, const char *url, const char *version,
                  const char *extra_headers, const char *user_agent);
int http_send_post(HttpConnection &connection, const char *url, const char *version,
                   const char *extra_headers, const char *user_agent, std::string_view body);

// The request texts, as written by the two functions above.
std::string http_format_get(const ParsedUrl &url, const char *version,
                            const char *extra_headers, const char *user_agent);
std::string http_format_post(const ParsedUrl &url, const char *version,
                             const char *extra_headers, const char *user_agent,
                             std::string_view body);

// Reads what is available. WAITING when the transport has nothing more now; DONE with
// connection.result set to the status code or a negative HttpResult.
HttpStep http_read_step(HttpConnection &connection);

// The value of header `name` in the header section `head` (matched without regard to case,
// never the status line), without leading spaces or tabs and up to the next "\r\n".
std::optional<std::string_view> http_header_value(std::string_view head, std::string_view name);

// Frees the socket and every TLS context of the connection. Safe on a closed connection.
void http_close(HttpConnection &connection);

// True when a read would not wait: decrypted bytes are buffered, the socket is readable or
// has failed. Always true for a connection without a socket (memory transport).
bool http_readable(HttpConnection &connection);
// The connection's socket descriptor, or -1 while closed.
int http_socket(const HttpConnection &connection);
// clock_ms() of the last byte moved on the connection (or of the last http_touch).
uint32_t http_last_activity(const HttpConnection &connection);
// Marks now as the connection's last activity (a download starts).
void http_touch(HttpConnection &connection);
// Whether the open connection's handshake has begun (its hello is written or collected).
bool http_handshake_begun(const HttpConnection &connection);
// Whether a session is kept for the connection's host and port, so that its handshake, once
// begun, offers it.
bool http_session_kept(const HttpConnection &connection);
// Socket writes made during the handshake of the open connection (0 while closed): a full
// handshake takes two, one per flight; a resumed one takes one.
uint32_t http_handshake_writes(const HttpConnection &connection);
// Forgets every kept TLS session, so the next connection to any host runs a full handshake.
void http_forget_sessions();

// A transport over bytes in memory: each read hands out at most `piece` bytes (all remaining
// when 0); with `stutter` every other read answers HTTP_IO_WANT_READ; at the end reads answer
// 0, or HTTP_IO_WANT_READ when `hold_open`. Writes are collected in `written`.
struct HttpMemorySource {
    std::string_view bytes;
    size_t position = 0;
    size_t piece = 0;
    bool stutter = false;
    bool hold_open = false;
    bool stalled = false;
    std::string written;
};
extern const HttpTransport http_memory_transport;
// Points the connection at `source` (which must outlive the reading) and resets the response.
void http_attach_memory(HttpConnection &connection, HttpMemorySource &source);
