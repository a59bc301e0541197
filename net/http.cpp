#include "net/http.h"

#include "base/runtime.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

static_assert(HTTP_IO_WANT_READ == MBEDTLS_ERR_SSL_WANT_READ);
static_assert(HTTP_IO_WANT_WRITE == MBEDTLS_ERR_SSL_WANT_WRITE);
static_assert(HTTP_IO_CLOSE_NOTIFY == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY);
static_assert(HTTP_IO_EOF == MBEDTLS_ERR_SSL_CONN_EOF);

const HttpStatus http_status_table[] = {
    {100, 0, "Continue"},
    {101, 0, "Switching Protocols"},
    {200, 0, "OK"},
    {201, 0, "Created"},
    {202, 0, "Accepted"},
    {204, 0, "No Content"},
    {205, 0, "Reset Content"},
    {206, 0, "Partial Content"},
    {304, 0, "Not Modified"},
    {203, 1, "Non-Authoritative Information"},
    {305, 1, "Use Proxy"},
    {300, 2, "Multiple Choices"},
    {301, 2, "Moved Permanently"},
    {302, 2, "Moved Temporarily"},
    {303, 2, "See Other"},
    {307, 2, "Temporary Redirect"},
    {308, 2, "Permanent Redirect"},
    {400, 3, "Bad Request"},
    {401, 3, "Unauthorized"},
    {402, 3, "Payment Required"},
    {403, 3, "Forbidden"},
    {404, 3, "Not Found"},
    {405, 3, "Method Not Allowed"},
    {406, 3, "Not Acceptable"},
    {407, 3, "Proxy Authentication Required"},
    {408, 3, "Request Time-out"},
    {409, 3, "Conflict"},
    {410, 3, "Gone"},
    {411, 3, "Length Required"},
    {412, 3, "Precondition Failed"},
    {413, 3, "Request Entity Too Large"},
    {414, 3, "Request-URI Too Large"},
    {415, 3, "Unsupported Media Type"},
    {416, 3, "Requested Range Not Satisfiable"},
    {417, 3, "Expectation Failed"},
    {500, 3, "Internal Server Error"},
    {501, 3, "Not Implemented"},
    {502, 3, "Bad Gateway"},
    {503, 3, "Service Unavailable"},
    {504, 3, "Gateway Time-out"},
    {505, 3, "HTTP Version not supported"},
    {999, 3, "Protocol error"},
    {HTTP_LENGTH_INVALID, -1, "HTTP_LENGTH_INVALID"},
    {HTTP_LENGTH_CHUNKED, -1, "HTTP_LENGTH_CHUNKED"},
    {HTTP_READ_ERROR, -1, "HTTP_READ_ERROR"},
    {HTTP_WRITE_ERROR, -1, "HTTP_WRITE_ERROR"},
    {HTTP_CONTENT_ERROR, -1, "HTTP_CONTENT_ERROR"},
    {HTTP_ASYNC_WAITING, -1, "HTTP_ASYNC_WAITING"},
    {HTTP_LENGTH_ZERO, -1, "HTTP_LENGTH_ZERO"},
    {HTTP_TIMED_OUT, -1, "HTTP_TIMED_OUT"},
    {HTTP_DEADLINE_PASSED, -1, "HTTP_DEADLINE_PASSED"},
    {HTTP_UNREACHABLE, -1, "HTTP_UNREACHABLE"},
    {HTTP_CERT_REFUSED, -1, "HTTP_CERT_REFUSED"},
    {HTTP_TLS_OUTDATED, -1, "HTTP_TLS_OUTDATED"},
    {HTTP_TLS_FAILED, -1, "HTTP_TLS_FAILED"},
    {HTTP_TOO_LARGE, -1, "HTTP_TOO_LARGE"},
    {HTTP_URL_INVALID, -1, "HTTP_URL_INVALID"},
    {-1, -1, "Unknown HTTP error"},
};

const HttpStatus &http_status_lookup(int32_t code) {
    const HttpStatus *entry = http_status_table;
    for (; entry->code != -1; ++entry) {
        if (entry->code == code) return *entry;
    }
    return *entry;
}

// ---------------------------------------------------------------------------------------------
// URLs

ParsedUrl url_parse(std::string_view url) {
    ParsedUrl parsed;
    std::string_view rest;
    if (url.starts_with("http://")) {
        parsed.scheme = URL_HTTP;
        rest = url.substr(7);
    } else if (url.starts_with("https://")) {
        parsed.scheme = URL_HTTPS;
        rest = url.substr(8);
    } else if (url.starts_with("file://")) {
        parsed.scheme = URL_FILE;
        parsed.path = url.substr(7);
        return parsed;
    } else {
        parsed.scheme = URL_OTHER;
        return parsed;
    }
    size_t slash = rest.find('/');
    std::string_view host = rest.substr(0, slash);
    if (host.size() > URL_HOST_LIMIT) return ParsedUrl{};
    parsed.host = host;
    parsed.path = slash == std::string_view::npos ? std::string_view("/") : rest.substr(slash);
    return parsed;
}

// ---------------------------------------------------------------------------------------------
// Case-insensitive ASCII helpers

namespace {

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool ascii_iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    }
    return true;
}

std::string_view trim_blanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// A decimal number made of digits only, at most `limit`; absent for anything else.
std::optional<int64_t> parse_decimal(std::string_view text, int64_t limit) {
    if (text.empty()) return std::nullopt;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > limit) return std::nullopt;
    }
    return value;
}

} // namespace

std::optional<std::string_view> http_header_value(std::string_view head, std::string_view name) {
    if (name.empty() || name.size() >= 2046) return std::nullopt;
    // Each field line starts after a "\r\n", so the status line never matches.
    size_t line = head.find("\r\n");
    while (line != std::string_view::npos) {
        size_t start = line + 2;
        size_t end = head.find("\r\n", start);
        if (end == std::string_view::npos) return std::nullopt;
        std::string_view field = head.substr(start, end - start);
        if (field.size() > name.size() && field[name.size()] == ':' &&
            ascii_iequals(field.substr(0, name.size()), name)) {
            std::string_view value = field.substr(name.size() + 1);
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
                value.remove_prefix(1);
            }
            return value;
        }
        line = end;
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// Resolve override and trust store

namespace {

struct ResolveEntry {
    std::string host;
    sockaddr_in address;
};

// SOLVANE_RESOLVE parsed once per distinct value; malformed entries are reported when parsed.
const std::vector<ResolveEntry> &resolve_overrides() {
    static std::string parsed_text;
    static std::vector<ResolveEntry> entries;
    static bool parsed = false;
    const char *env = std::getenv("SOLVANE_RESOLVE");
    std::string text = env ? env : "";
    if (parsed && text == parsed_text) return entries;
    parsed = true;
    parsed_text = text;
    entries.clear();
    std::string_view rest = text;
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string_view item = trim_blanks(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (item.empty()) continue;
        // HOST:443:ADDRESS:PORT
        std::string_view fields[4];
        std::string_view scan = item;
        int count = 0;
        while (count < 4) {
            size_t colon = scan.find(':');
            fields[count++] = scan.substr(0, colon);
            if (colon == std::string_view::npos) {
                scan = {};
                break;
            }
            scan = scan.substr(colon + 1);
            if (count == 3) {
                fields[count++] = scan;
                scan = {};
                break;
            }
        }
        ResolveEntry entry{};
        std::string address(fields[2]);
        std::optional<int64_t> port = parse_decimal(fields[3], 65535);
        bool good = count == 4 && !fields[0].empty() && fields[1] == "443" && port && *port > 0 &&
                    inet_pton(AF_INET, address.c_str(), &entry.address.sin_addr) == 1;
        if (!good) {
            std::string what(item);
            log_warning("ignoring malformed SOLVANE_RESOLVE entry (want HOST:443:ADDRESS:PORT)",
                        what.c_str());
            continue;
        }
        entry.host = fields[0];
        entry.address.sin_family = AF_INET;
        entry.address.sin_port = htons(static_cast<uint16_t>(*port));
        entries.push_back(std::move(entry));
    }
    return entries;
}

const sockaddr_in *resolve_override(std::string_view host) {
    for (const ResolveEntry &entry : resolve_overrides()) {
        if (ascii_iequals(entry.host, host)) return &entry.address;
    }
    return nullptr;
}

// The trust anchors, loaded once per file path and kept for the life of the process.
struct TrustStore {
    std::string path;
    mbedtls_x509_crt chain;
    bool loaded = false;
    TrustStore() { mbedtls_x509_crt_init(&chain); }
    ~TrustStore() { mbedtls_x509_crt_free(&chain); }
};

std::string trust_path() {
    const char *env = std::getenv("SSL_CERT_FILE");
    return env && *env ? env : "/etc/ssl/certs/ca-certificates.crt";
}

mbedtls_x509_crt *trust_anchors() {
    static TrustStore store;
    std::string path = trust_path();
    if (store.loaded && store.path == path) return &store.chain;
    mbedtls_x509_crt_free(&store.chain);
    mbedtls_x509_crt_init(&store.chain);
    store.loaded = false;
    store.path = path;
    // A positive result counts certificates that failed to parse; the others are usable.
    int ret = mbedtls_x509_crt_parse_file(&store.chain, path.c_str());
    if (ret < 0 || store.chain.version == 0) {
        std::fprintf(stderr, "cannot load trusted certificates from %s (code %x)\n", path.c_str(),
                     static_cast<unsigned>(-ret));
        return nullptr;
    }
    store.loaded = true;
    return &store.chain;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TLS session

struct TlsSession {
    mbedtls_net_context net;
    mbedtls_ssl_context ssl;
    mbedtls_ssl_config config;
    uint32_t activity_ms = 0;
    // Bytes the library handed to the socket layer that have not been written yet. While the
    // handshake runs, every record is collected here and the flight leaves in one write when the
    // library next waits for the peer, so the records never wait for each other's ACK.
    std::string pending;
    // Bytes read from the socket that the library has not asked for yet. The library asks for
    // a record's header and then its body; one read serves both, and the records after them.
    std::array<unsigned char, 16384> input;
    size_t input_start = 0;
    size_t input_end = 0;
    bool handshaking = true;
    // Set once the handshake has begun: the kept session, if any, is offered with the hello.
    bool hello_sent = false;
    uint32_t handshake_writes = 0;
    // Set once a write went through: the TCP connect is known to have completed.
    bool tcp_connected = false;
    // The key of the host's kept session (host, port, trust store). The address is not part of
    // it: a name served from several addresses shares its sessions, and a server that does not
    // know the session just runs the full handshake.
    std::string session_key;

    TlsSession() {
        mbedtls_ssl_init(&ssl);
        mbedtls_ssl_config_init(&config);
        mbedtls_net_init(&net);
    }
    ~TlsSession() {
        mbedtls_net_free(&net);
        mbedtls_ssl_free(&ssl);
        mbedtls_ssl_config_free(&config);
    }
    TlsSession(const TlsSession &) = delete;
    TlsSession &operator=(const TlsSession &) = delete;
};

void TlsSessionDeleter::operator()(TlsSession *session) const { delete session; }

namespace {

// Writes what is pending. 0 when all of it is out, MBEDTLS_ERR_SSL_WANT_WRITE when the socket
// takes no more now, or the socket layer's error.
int tls_flush(TlsSession &session) {
    while (!session.pending.empty()) {
        int ret = mbedtls_net_send(&session.net,
                                   reinterpret_cast<const unsigned char *>(session.pending.data()),
                                   session.pending.size());
        if (ret <= 0) return ret == 0 ? MBEDTLS_ERR_SSL_WANT_WRITE : ret;
        session.pending.erase(0, static_cast<size_t>(ret));
        session.activity_ms = clock_ms();
        session.tcp_connected = true;
        if (session.handshaking) ++session.handshake_writes;
    }
    return 0;
}

// Socket I/O for the TLS session; every byte moved counts as progress of the download. Output
// is collected during the handshake (see TlsSession::pending); output that follows a collected
// rest (the client's last handshake flight before the first request) joins it.
int tls_bio_send(void *context, const unsigned char *buffer, size_t length) {
    auto *session = static_cast<TlsSession *>(context);
    length = std::min<size_t>(length, 0x7FFFFFFF);
    if (session->handshaking || !session->pending.empty()) {
        session->pending.append(reinterpret_cast<const char *>(buffer), length);
        if (!session->handshaking) {
            int ret = tls_flush(*session);
            if (ret != 0 && ret != MBEDTLS_ERR_SSL_WANT_WRITE) return ret;
        }
        return static_cast<int>(length);
    }
    int ret = mbedtls_net_send(&session->net, buffer, length);
    if (ret > 0) {
        session->activity_ms = clock_ms();
        session->tcp_connected = true;
    }
    return ret;
}

int tls_bio_recv(void *context, unsigned char *buffer, size_t length) {
    auto *session = static_cast<TlsSession *>(context);
    // The peer answers only what it has received: send the collected flight first.
    if (int flushed = tls_flush(*session); flushed != 0) return flushed;
    if (session->input_start == session->input_end) {
        int ret = mbedtls_net_recv(&session->net, session->input.data(), session->input.size());
        if (ret <= 0) return ret;
        session->activity_ms = clock_ms();
        session->input_start = 0;
        session->input_end = static_cast<size_t>(ret);
    }
    size_t count = std::min(length, session->input_end - session->input_start);
    std::memcpy(buffer, session->input.data() + session->input_start, count);
    session->input_start += count;
    return static_cast<int>(count);
}

int tls_read(void *context, unsigned char *buffer, size_t length) {
    return mbedtls_ssl_read(&static_cast<TlsSession *>(context)->ssl, buffer, length);
}

int tls_write(void *context, const unsigned char *buffer, size_t length) {
    auto *session = static_cast<TlsSession *>(context);
    int ret = mbedtls_ssl_write(&session->ssl, buffer, length);
    if (ret == MBEDTLS_ERR_SSL_WANT_WRITE || ret == MBEDTLS_ERR_SSL_WANT_READ) {
        // Wait a little for room instead of spinning.
        mbedtls_net_poll(&session->net, MBEDTLS_NET_POLL_WRITE | MBEDTLS_NET_POLL_READ, 10);
    }
    return ret;
}

const HttpTransport tls_transport = {tls_read, tls_write};

// Forward-secret suites only: a server that offers nothing but static-RSA key exchange is
// refused.
const int tls_ciphersuites[] = {
    0xC02B, // ECDHE-ECDSA-AES128-GCM-SHA256
    0xC02F, // ECDHE-RSA-AES128-GCM-SHA256
    0xC02C, // ECDHE-ECDSA-AES256-GCM-SHA384
    0xC030, // ECDHE-RSA-AES256-GCM-SHA384
    0xCCA9, // ECDHE-ECDSA-CHACHA20-POLY1305
    0xCCA8, // ECDHE-RSA-CHACHA20-POLY1305
    0xC013, // ECDHE-RSA-AES128-CBC-SHA
    0xC014, // ECDHE-RSA-AES256-CBC-SHA
    0x009E, // DHE-RSA-AES128-GCM-SHA256
    0,
};

const mbedtls_ecp_group_id tls_curves[] = {
    MBEDTLS_ECP_DP_CURVE25519,
    MBEDTLS_ECP_DP_SECP256R1,
    MBEDTLS_ECP_DP_SECP384R1,
    MBEDTLS_ECP_DP_NONE,
};

// The sessions of the hosts connected to before, newest last; a few hosts are all the plug-in
// talks to, so the oldest is dropped past a small bound.
struct KeptSession {
    std::string key;
    mbedtls_ssl_session session;
    KeptSession() { mbedtls_ssl_session_init(&session); }
    ~KeptSession() { mbedtls_ssl_session_free(&session); }
    KeptSession(const KeptSession &) = delete;
    KeptSession &operator=(const KeptSession &) = delete;
};
constexpr size_t KEPT_SESSION_LIMIT = 16;

std::vector<std::unique_ptr<KeptSession>> &kept_sessions() {
    static std::vector<std::unique_ptr<KeptSession>> sessions;
    return sessions;
}

KeptSession *kept_session(const std::string &key) {
    for (auto &kept : kept_sessions()) {
        if (kept->key == key) return kept.get();
    }
    return nullptr;
}

void forget_session(const std::string &key) {
    auto &sessions = kept_sessions();
    for (auto it = sessions.begin(); it != sessions.end(); ++it) {
        if ((*it)->key == key) {
            sessions.erase(it);
            return;
        }
    }
}

// Keeps the session of a finished handshake for the next connection to the same host.
void keep_session(TlsSession &session) {
    auto kept = std::make_unique<KeptSession>();
    kept->key = session.session_key;
    if (mbedtls_ssl_get_session(&session.ssl, &kept->session) != 0) return;
    forget_session(session.session_key);
    auto &sessions = kept_sessions();
    if (sessions.size() >= KEPT_SESSION_LIMIT) sessions.erase(sessions.begin());
    sessions.push_back(std::move(kept));
}

constexpr unsigned RESOLVE_FAILED_CODE = 0x52;
constexpr unsigned CONNECT_FAILED_CODE = 0x42;

// One random generator for every connection, seeded from the system's entropy once per process
// (again in a forked child, so parent and child never share a stream); it reseeds itself as
// the library's interval says. Seeding costs about as much as a resumed handshake.
struct RandomGenerator {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    pid_t seeded_for = 0;
    RandomGenerator() {
        mbedtls_entropy_init(&entropy);
        mbedtls_ctr_drbg_init(&drbg);
    }
    ~RandomGenerator() {
        mbedtls_ctr_drbg_free(&drbg);
        mbedtls_entropy_free(&entropy);
    }
};

mbedtls_ctr_drbg_context *random_generator(int &error) {
    static RandomGenerator generator;
    static const char personalisation[] = "ssl_client";
    if (generator.seeded_for == getpid()) return &generator.drbg;
    mbedtls_ctr_drbg_free(&generator.drbg);
    mbedtls_ctr_drbg_init(&generator.drbg);
    error = mbedtls_ctr_drbg_seed(&generator.drbg, mbedtls_entropy_func, &generator.entropy,
                                  reinterpret_cast<const unsigned char *>(personalisation),
                                  sizeof personalisation - 1);
    if (error != 0) return nullptr;
    generator.seeded_for = getpid();
    return &generator.drbg;
}

int tls_setup(TlsSession &session, int socket_fd, const std::string &host,
              mbedtls_x509_crt *anchors) {
    session.net.fd = socket_fd;
    int ret = 0;
    mbedtls_ctr_drbg_context *drbg = random_generator(ret);
    if (!drbg) return ret;
    if ((ret = mbedtls_net_set_nonblock(&session.net)) != 0) return ret;
    ret = mbedtls_ssl_config_defaults(&session.config, MBEDTLS_SSL_IS_CLIENT,
                                      MBEDTLS_SSL_TRANSPORT_STREAM, MBEDTLS_SSL_PRESET_DEFAULT);
    if (ret != 0) return ret;
    // TLS 1.2 at least (the library speaks no 1.3 as a client, so 1.2 exactly).
    mbedtls_ssl_conf_min_version(&session.config, MBEDTLS_SSL_MAJOR_VERSION_3,
                                 MBEDTLS_SSL_MINOR_VERSION_3);
    mbedtls_ssl_conf_session_tickets(&session.config, MBEDTLS_SSL_SESSION_TICKETS_ENABLED);
    mbedtls_ssl_conf_authmode(&session.config, MBEDTLS_SSL_VERIFY_REQUIRED);
    mbedtls_ssl_conf_ca_chain(&session.config, anchors, nullptr);
    mbedtls_ssl_conf_rng(&session.config, mbedtls_ctr_drbg_random, drbg);
    mbedtls_ssl_conf_ciphersuites(&session.config, tls_ciphersuites);
    mbedtls_ssl_conf_curves(&session.config, tls_curves);
    if ((ret = mbedtls_ssl_setup(&session.ssl, &session.config)) != 0) return ret;
    if ((ret = mbedtls_ssl_set_hostname(&session.ssl, host.c_str())) != 0) return ret;
    mbedtls_ssl_set_bio(&session.ssl, &session, tls_bio_send, tls_bio_recv, nullptr);
    return 0;
}

} // namespace

void http_forget_sessions() { kept_sessions().clear(); }

int http_connect(HttpConnection &connection, const char *url) {
    ParsedUrl parsed = url_parse(url ? url : "");
    if (parsed.scheme != URL_HTTPS) {
        std::fprintf(stderr, "uri is not valid https\n");
        return HTTP_URL_INVALID;
    }
    std::signal(SIGPIPE, SIG_IGN);

    sockaddr_in address{};
    if (const sockaddr_in *override_address = resolve_override(parsed.host)) {
        address = *override_address;
    } else {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        addrinfo *found = nullptr;
        if (getaddrinfo(parsed.host.c_str(), "443", &hints, &found) != 0 || !found ||
            found->ai_addrlen < sizeof address) {
            if (found) freeaddrinfo(found);
            std::fprintf(stderr, "resolving %s failed with code %x\n", parsed.host.c_str(),
                         RESOLVE_FAILED_CODE);
            return HTTP_UNREACHABLE;
        }
        std::memcpy(&address, found->ai_addr, sizeof address);
        freeaddrinfo(found);
    }

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        std::fprintf(stderr, "connection to %s failed with code %x\n", parsed.host.c_str(),
                     CONNECT_FAILED_CODE);
        return HTTP_UNREACHABLE;
    }
    // Requests and handshake flights are written whole; nothing is gained by holding a small
    // segment back until the previous one is acknowledged.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // The connect completes during the handshake, which waits for it without blocking.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        close(fd);
        std::fprintf(stderr, "connection to %s failed with code %x\n", parsed.host.c_str(),
                     CONNECT_FAILED_CODE);
        return HTTP_UNREACHABLE;
    }

    mbedtls_x509_crt *anchors = trust_anchors();
    if (!anchors) {
        close(fd);
        std::fprintf(stderr, "connection to %s given up: no trusted certificates\n",
                     parsed.host.c_str());
        return HTTP_TLS_FAILED;
    }
    std::unique_ptr<TlsSession, TlsSessionDeleter> session(new TlsSession);
    int ret = tls_setup(*session, fd, parsed.host, anchors);
    if (ret != 0) {
        session.reset(); // closes the socket too
        std::fprintf(stderr, "init ssl context failed with code %x\n",
                     static_cast<unsigned>(-ret));
        return HTTP_TLS_FAILED;
    }
    session->session_key =
        parsed.host + "|" + std::to_string(ntohs(address.sin_port)) + "|" + trust_path();
    session->activity_ms = clock_ms();
    connection.tls = std::move(session);
    connection.transport = &tls_transport;
    connection.transport_context = connection.tls.get();
    connection.handshake_state = HANDSHAKE_RUNNING;
    connection.host = parsed.host;
    connection.last_activity_ms = connection.tls->activity_ms;
    return 0;
}

HttpStep http_handshake_step(HttpConnection &connection, const char *host, bool verbose) {
    if (!connection.tls) {
        connection.result = HTTP_READ_ERROR;
        return HTTP_STEP_DONE;
    }
    TlsSession &session = *connection.tls;
    if (!session.hello_sent) {
        // The session is looked up now rather than at the connect, so a connection that waited
        // for another one's handshake to the same host resumes what that one got. A session
        // the server no longer knows just costs the full handshake.
        if (KeptSession *kept = kept_session(session.session_key)) {
            mbedtls_ssl_set_session(&session.ssl, &kept->session);
        }
        session.hello_sent = true;
    }
    int ret = mbedtls_ssl_handshake(&session.ssl);
    if (ret == MBEDTLS_ERR_SSL_WANT_READ || ret == MBEDTLS_ERR_SSL_WANT_WRITE) {
        return HTTP_STEP_WAITING;
    }
    // What is still collected (the last flight of a resumed handshake) goes out with the first
    // request; anything written from now on goes straight to the socket.
    session.handshaking = false;
    if (ret == 0) {
        connection.handshake_state = HANDSHAKE_DONE;
        connection.result = 0;
        keep_session(session);
        return HTTP_STEP_DONE;
    }
    // Say goodbye (the alert the library queued) if the socket takes it, then forget the host's
    // session so the next attempt starts afresh.
    tls_flush(session);
    forget_session(session.session_key);
    connection.result = HTTP_TLS_FAILED;
    uint32_t flags = mbedtls_ssl_get_verify_result(&session.ssl);
    bool net_error = ret == MBEDTLS_ERR_NET_CONN_RESET || ret == MBEDTLS_ERR_NET_SEND_FAILED ||
                     ret == MBEDTLS_ERR_NET_RECV_FAILED;
    // An alert in answer to the hello: the server found no version or suite it shares with us.
    bool hello_refused = ret == MBEDTLS_ERR_SSL_FATAL_ALERT_MESSAGE &&
                         session.ssl.state <= MBEDTLS_SSL_SERVER_HELLO && session.ssl.in_msg &&
                         (session.ssl.in_msg[1] == MBEDTLS_SSL_ALERT_MSG_PROTOCOL_VERSION ||
                          session.ssl.in_msg[1] == MBEDTLS_SSL_ALERT_MSG_HANDSHAKE_FAILURE ||
                          session.ssl.in_msg[1] == MBEDTLS_SSL_ALERT_MSG_INSUFFICIENT_SECURITY);
    if (net_error && !session.tcp_connected) {
        connection.result = HTTP_UNREACHABLE;
        std::fprintf(stderr, "connection to %s failed with code %x\n", host,
                     CONNECT_FAILED_CODE);
    } else if (ret == MBEDTLS_ERR_SSL_BAD_HS_PROTOCOL_VERSION || hello_refused) {
        connection.result = HTTP_TLS_OUTDATED;
        std::fprintf(stderr, "%s offers only outdated TLS (code %x)\n", host,
                     static_cast<unsigned>(-ret));
    } else if (ret == MBEDTLS_ERR_X509_CERT_VERIFY_FAILED ||
               (flags != 0 && flags != 0xFFFFFFFFu)) {
        connection.result = HTTP_CERT_REFUSED;
        char reason[512];
        int n = mbedtls_x509_crt_verify_info(reason, sizeof reason, "", flags);
        if (n < 0) std::snprintf(reason, sizeof reason, "verification flags %x", flags);
        // The library lists one reason per line; print them on one.
        for (char *p = reason; *p; ++p) {
            if (*p == '\n') *p = p[1] ? ';' : '\0';
        }
        std::fprintf(stderr, "certificate of %s refused: %s\n", host, reason);
    } else if (verbose) {
        std::fprintf(stderr, "TLS handshake with %s failed with code %x\n", host,
                     static_cast<unsigned>(-ret));
    }
    http_close(connection);
    return HTTP_STEP_DONE;
}

void http_close(HttpConnection &connection) {
    if (connection.tls) {
        connection.tls.reset();
        connection.transport = nullptr;
        connection.transport_context = nullptr;
    }
    connection.host.clear();
    connection.handshake_state = HANDSHAKE_RUNNING;
}

bool http_readable(HttpConnection &connection) {
    if (!connection.tls) return true;
    if (mbedtls_ssl_get_bytes_avail(&connection.tls->ssl) > 0) return true;
    if (connection.tls->input_start != connection.tls->input_end) return true;
    // Output still collected must leave before an answer can come; a read pushes it on.
    if (!connection.tls->pending.empty() && tls_flush(*connection.tls) != 0) return true;
    // An error counts as readable: the read reports it.
    int ready = mbedtls_net_poll(&connection.tls->net, MBEDTLS_NET_POLL_READ, 0);
    return ready != 0;
}

int http_socket(const HttpConnection &connection) {
    return connection.tls ? connection.tls->net.fd : -1;
}

uint32_t http_last_activity(const HttpConnection &connection) {
    if (connection.tls &&
        static_cast<int32_t>(connection.tls->activity_ms - connection.last_activity_ms) > 0) {
        return connection.tls->activity_ms;
    }
    return connection.last_activity_ms;
}

bool http_handshake_begun(const HttpConnection &connection) {
    return connection.tls && connection.tls->hello_sent;
}

bool http_session_kept(const HttpConnection &connection) {
    return connection.tls && kept_session(connection.tls->session_key) != nullptr;
}

uint32_t http_handshake_writes(const HttpConnection &connection) {
    return connection.tls ? connection.tls->handshake_writes : 0;
}

void http_touch(HttpConnection &connection) {
    connection.last_activity_ms = clock_ms();
    if (connection.tls) connection.tls->activity_ms = connection.last_activity_ms;
}

// ---------------------------------------------------------------------------------------------
// Requests

namespace {

// The request line and the fields every request carries, up to the User-Agent line.
std::string request_head(const char *method, const ParsedUrl &url, const char *version,
                         const char *user_agent) {
    std::string request = method;
    request += ' ';
    request += url.path;
    request += " HTTP/";
    request += version;
    request += "\r\nHost: ";
    request += url.host;
    request += "\r\nAccept: */*\r\nUser-Agent: ";
    request += user_agent ? user_agent : HTTP_DEFAULT_USER_AGENT;
    request += "\r\n";
    return request;
}

} // namespace

std::string http_format_get(const ParsedUrl &url, const char *version, const char *extra_headers,
                            const char *user_agent) {
    std::string request = request_head("GET", url, version, user_agent);
    request += extra_headers ? extra_headers : "";
    request += "\r\n";
    return request;
}

std::string http_format_post(const ParsedUrl &url, const char *version, const char *extra_headers,
                             const char *user_agent, std::string_view body) {
    std::string request = request_head("POST", url, version, user_agent);
    request += "Content-Length: ";
    request += std::to_string(body.size());
    request += "\r\n";
    request += extra_headers ? extra_headers : "";
    request += "\r\n";
    request += body;
    return request;
}

namespace {

int write_request(HttpConnection &connection, const std::string &request) {
    if (!connection.transport) return -1;
    size_t written = 0;
    uint32_t started = clock_ms();
    while (written < request.size()) {
        int ret = connection.transport->write(
            connection.transport_context,
            reinterpret_cast<const unsigned char *>(request.data()) + written,
            request.size() - written);
        if (ret == HTTP_IO_WANT_WRITE || ret == HTTP_IO_WANT_READ) {
            if (clock_ms() - started > HTTP_STALL_LIMIT_MS) {
                ret = HTTP_IO_WANT_WRITE;
            } else {
                continue;
            }
        }
        if (ret <= 0) {
            std::fprintf(stderr, "write request failed with code %x\n",
                         static_cast<unsigned>(-ret));
            http_close(connection);
            return ret < 0 ? ret : -1;
        }
        written += static_cast<size_t>(ret);
    }
    return 0;
}

} // namespace

int http_send_get(HttpConnection &connection, const char *url, const char *version,
                  const char *extra_headers, const char *user_agent) {
    return write_request(connection,
                         http_format_get(url_parse(url), version, extra_headers, user_agent));
}

int http_send_post(HttpConnection &connection, const char *url, const char *version,
                   const char *extra_headers, const char *user_agent, std::string_view body) {
    return write_request(
        connection, http_format_post(url_parse(url), version, extra_headers, user_agent, body));
}

// ---------------------------------------------------------------------------------------------
// Responses

void http_reset_response(HttpConnection &connection) {
    connection.head.clear();
    connection.last_read = 0;
    connection.last_block = 0;
    connection.received = 0;
    connection.remaining = 0;
    connection.status_code = 0;
    connection.result = 0;
    connection.length_known = false;
    connection.reusable = true;
    connection.read_state = READ_STATUS;
    ResponseBuffer &response = connection.response;
    response.position = 0;
    response.size = 0;
    if (response.data && response.capacity >= 1024 && response.capacity <= HTTP_RETAIN_LIMIT) {
        return;
    }
    response = ResponseBuffer{};
    response.data.reset(static_cast<char *>(std::malloc(1024)));
    response.capacity = response.data ? 1024 : 0;
}

namespace {

constexpr size_t HTTP_BLOCK_SIZE = 2048;
constexpr size_t HTTP_BODY_CHUNK = 16384;
// Largest buffer made at once for an announced length; longer bodies grow by doubling.
constexpr uint64_t HTTP_RESERVE_LIMIT = 64 << 20;
// Bytes read per step before the reader yields to the rest of the main loop: about 5 ms of TLS
// decryption, so a large answer never holds the interface for long.
constexpr int64_t HTTP_STEP_BUDGET = 1 << 20;

HttpStep finish(HttpConnection &connection, int32_t result) {
    connection.result = result;
    connection.read_state = READ_DONE;
    return HTTP_STEP_DONE;
}

// Large bodies are written once from start to end: backing them with huge pages saves the
// page fault per 4 kB that first touches would otherwise take.
void advise_huge_pages(void *block, uint64_t size) {
    constexpr uintptr_t HUGE_PAGE = 2u << 20;
    if (size < 4 * HUGE_PAGE) return;
    uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(HUGE_PAGE - 1);
    if (end > begin) madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
}

// Makes room for `count` more bytes. False (with the write error set) when that fails.
bool reserve(HttpConnection &connection, uint64_t count) {
    ResponseBuffer &response = connection.response;
    uint64_t needed = response.position + count;
    if (response.data && needed <= response.capacity) return true;
    if (needed > std::min(connection.body_limit, HTTP_BODY_LIMIT) + 1) {
        // The reader asks for one byte past the body it expects; a body that needs more than
        // that is over the limit.
        connection.reusable = false;
        finish(connection, HTTP_TOO_LARGE);
        return false;
    }
    uint64_t capacity = response.capacity ? response.capacity : 1024;
    while (capacity < needed) capacity *= 2;
    void *grown = std::realloc(response.data.get(), capacity);
    if (!grown) {
        connection.last_block = -1;
        finish(connection, HTTP_WRITE_ERROR);
        return false;
    }
    (void)response.data.release();
    response.data.reset(static_cast<char *>(grown));
    response.capacity = capacity;
    advise_huge_pages(grown, capacity);
    return true;
}

// Counts `count` body bytes that are already in place at the buffer's position.
HttpStep take_body(HttpConnection &connection, uint64_t count) {
    ResponseBuffer &response = connection.response;
    if (connection.length_known && count > static_cast<uint64_t>(connection.remaining)) {
        // Bytes past the announced length belong to nothing we asked for.
        count = static_cast<uint64_t>(connection.remaining);
        connection.reusable = false;
    }
    response.position += count;
    if (response.position > response.size) response.size = response.position;
    connection.received += static_cast<int32_t>(count);
    if (connection.length_known) {
        connection.remaining -= static_cast<int32_t>(count);
        if (connection.remaining == 0) return finish(connection, connection.status_code);
    }
    return HTTP_STEP_WAITING;
}

// Reads the status code and the fields that decide how the body is read. Returns DONE when the
// response ends here.
HttpStep parse_head(HttpConnection &connection) {
    std::string_view head = connection.head;
    std::string_view status_line = head.substr(0, head.find("\r\n"));
    int32_t code = -1;
    size_t space = status_line.find(' ');
    if (space != std::string_view::npos) {
        std::string_view digits = trim_blanks(status_line.substr(space + 1));
        digits = digits.substr(0, digits.find(' '));
        code = static_cast<int32_t>(parse_decimal(digits, 99999).value_or(0));
    }
    connection.status_code = code;
    if (http_status_class(code) == HTTP_CLASS_INTERNAL) {
        return finish(connection, HTTP_LENGTH_INVALID);
    }
    if (code == 204 || code == 304) return finish(connection, HTTP_LENGTH_ZERO);

    if (auto coding = http_header_value(head, "Transfer-Encoding")) {
        // No transfer coding is decoded here, chunked or any other.
        if (!ascii_iequals(trim_blanks(*coding), "identity")) {
            connection.remaining = HTTP_LENGTH_CHUNKED;
            connection.reusable = false;
            return finish(connection, HTTP_CONTENT_ERROR);
        }
    }
    if (auto length = http_header_value(head, "Content-Length")) {
        std::string_view digits = trim_blanks(*length);
        std::optional<int64_t> value = parse_decimal(digits, 0x7FFFFFFE);
        bool digits_only = !digits.empty() && digits.find_first_not_of("0123456789") ==
                                                  std::string_view::npos;
        if (digits_only && (!value || static_cast<uint64_t>(*value) > connection.body_limit)) {
            // Refused before a byte of it is read.
            connection.reusable = false;
            return finish(connection, HTTP_TOO_LARGE);
        }
        if (!value) {
            connection.reusable = false;
            return finish(connection, HTTP_LENGTH_INVALID);
        }
        connection.remaining = static_cast<int32_t>(*value);
        connection.length_known = true;
    } else {
        connection.remaining = HTTP_REMAINING_UNKNOWN;
        connection.reusable = false;
    }
    // HTTP/1.1 keeps a connection unless told to close it; HTTP/1.0 only when told to keep it.
    bool keep = status_line.starts_with("HTTP/1.1");
    if (auto option = http_header_value(head, "Connection")) {
        std::string lowered;
        for (char c : *option) lowered += ascii_lower(c);
        if (lowered.find("close") != std::string::npos) {
            keep = false;
        } else if (lowered.find("keep-alive") != std::string::npos) {
            keep = true;
        }
    }
    if (!keep) connection.reusable = false;
    return HTTP_STEP_WAITING;
}

HttpStep read_head(HttpConnection &connection) {
    for (;;) {
        unsigned char block[HTTP_BLOCK_SIZE];
        int n = connection.transport->read(connection.transport_context, block, sizeof block);
        connection.last_read = n;
        if (n == HTTP_IO_WANT_READ || n == HTTP_IO_WANT_WRITE) return HTTP_STEP_WAITING;
        if (n < 1) return finish(connection, HTTP_READ_ERROR);
        if (!connection.tls) connection.last_activity_ms = clock_ms();
        connection.last_block = n;
        size_t search_from = connection.head.size() >= 3 ? connection.head.size() - 3 : 0;
        connection.head.append(reinterpret_cast<const char *>(block), static_cast<size_t>(n));
        size_t marker = connection.head.find("\r\n\r\n", search_from);
        if (marker == std::string::npos) {
            if (connection.head.size() >= HTTP_HEAD_LIMIT) {
                connection.reusable = false;
                return finish(connection, HTTP_LENGTH_INVALID);
            }
            connection.read_state = READ_MORE_HEADERS;
            continue;
        }
        size_t body_start = marker + 4;
        std::string tail = connection.head.substr(body_start);
        connection.head.resize(body_start);
        if (parse_head(connection) == HTTP_STEP_DONE) return HTTP_STEP_DONE;
        connection.read_state = READ_BODY;
        if (tail.empty()) {
            if (connection.length_known && connection.remaining == 0) {
                return finish(connection, connection.status_code);
            }
            return HTTP_STEP_WAITING;
        }
        if (!reserve(connection, tail.size())) return HTTP_STEP_DONE;
        std::memcpy(connection.response.data.get() + connection.response.position, tail.data(),
                    tail.size());
        return take_body(connection, tail.size());
    }
}

HttpStep read_body(HttpConnection &connection) {
    int64_t budget = HTTP_STEP_BUDGET;
    while (budget > 0) {
        uint64_t want = HTTP_BODY_CHUNK;
        if (connection.length_known) {
            // One byte more than announced shows a server that sends too much.
            want = std::min<uint64_t>(want, static_cast<uint64_t>(connection.remaining) + 1);
        } else {
            // Without a length, one byte past the limit shows a body that is too large.
            uint64_t limit = std::min(connection.body_limit, HTTP_BODY_LIMIT);
            uint64_t position = connection.response.position;
            if (position > limit) return finish(connection, HTTP_TOO_LARGE);
            want = std::min<uint64_t>(want, limit + 1 - position);
        }
        if (connection.length_known && connection.response.position == 0) {
            // The announced length is known: make room once instead of doubling through it
            // (bounded, so a lying length costs no more than the limit).
            want = std::max<uint64_t>(
                want, std::min<uint64_t>(static_cast<uint64_t>(connection.remaining) + 1,
                                         std::min(HTTP_RESERVE_LIMIT, connection.body_limit + 1)));
            if (!reserve(connection, want)) return HTTP_STEP_DONE;
            want = std::min<uint64_t>(HTTP_BODY_CHUNK, static_cast<uint64_t>(connection.remaining) + 1);
        }
        if (!reserve(connection, want)) return HTTP_STEP_DONE;
        ResponseBuffer &response = connection.response;
        int n = connection.transport->read(
            connection.transport_context,
            reinterpret_cast<unsigned char *>(response.data.get() + response.position),
            static_cast<size_t>(want));
        connection.last_read = n;
        if (n == HTTP_IO_WANT_READ || n == HTTP_IO_WANT_WRITE) return HTTP_STEP_WAITING;
        if (http_io_ended(n)) {
            connection.reusable = false;
            // A body shorter than its announced length is a failed download, not a success.
            if (connection.length_known && connection.remaining > 0) {
                return finish(connection, HTTP_READ_ERROR);
            }
            return finish(connection, connection.status_code);
        }
        if (n < 0) {
            connection.reusable = false;
            return finish(connection, HTTP_READ_ERROR);
        }
        if (!connection.tls) connection.last_activity_ms = clock_ms();
        connection.last_block = n;
        budget -= n;
        if (take_body(connection, static_cast<uint64_t>(n)) == HTTP_STEP_DONE) {
            return HTTP_STEP_DONE;
        }
        if (!connection.length_known &&
            connection.response.position > std::min(connection.body_limit, HTTP_BODY_LIMIT)) {
            connection.reusable = false;
            return finish(connection, HTTP_TOO_LARGE);
        }
    }
    return HTTP_STEP_WAITING;
}

} // namespace

HttpStep http_read_step(HttpConnection &connection) {
    switch (connection.read_state) {
    case READ_DONE:
        return HTTP_STEP_DONE;
    case READ_STATUS:
    case READ_MORE_HEADERS:
        if (!connection.transport) return finish(connection, HTTP_READ_ERROR);
        if (read_head(connection) == HTTP_STEP_DONE) return HTTP_STEP_DONE;
        if (connection.read_state != READ_BODY) return HTTP_STEP_WAITING;
        return read_body(connection);
    case READ_BODY:
        if (!connection.transport) return finish(connection, HTTP_READ_ERROR);
        return read_body(connection);
    default:
        return finish(connection, HTTP_READ_ERROR);
    }
}

// ---------------------------------------------------------------------------------------------
// Memory transport

namespace {

int memory_read(void *context, unsigned char *buffer, size_t length) {
    auto *source = static_cast<HttpMemorySource *>(context);
    if (source->stutter) {
        source->stalled = !source->stalled;
        if (source->stalled) return HTTP_IO_WANT_READ;
    }
    size_t left = source->bytes.size() - source->position;
    if (left == 0) return source->hold_open ? HTTP_IO_WANT_READ : 0;
    size_t count = std::min(left, length);
    if (source->piece) count = std::min(count, source->piece);
    count = std::min<size_t>(count, 0x7FFFFFFF);
    std::memcpy(buffer, source->bytes.data() + source->position, count);
    source->position += count;
    return static_cast<int>(count);
}

int memory_write(void *context, const unsigned char *buffer, size_t length) {
    auto *source = static_cast<HttpMemorySource *>(context);
    size_t count = std::min<size_t>(length, 0x7FFFFFFF);
    source->written.append(reinterpret_cast<const char *>(buffer), count);
    return static_cast<int>(count);
}

} // namespace

const HttpTransport http_memory_transport = {memory_read, memory_write};

void http_attach_memory(HttpConnection &connection, HttpMemorySource &source) {
    http_close(connection);
    connection.transport = &http_memory_transport;
    connection.transport_context = &source;
    http_reset_response(connection);
}
