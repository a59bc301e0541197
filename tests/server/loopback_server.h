// Starts tests/server/testserver.py (or a script built on it) once per process and points the
// HTTP client at it (SOLVANE_RESOLVE, SSL_CERT_FILE); it ends when this process exits.
#pragma once

#include "base/json.h"

#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#ifndef SOLVANE_SOURCE_DIR
#error "SOLVANE_SOURCE_DIR must name the source tree"
#endif

constexpr const char *LOOPBACK_HOST = "solvane.test";                 // TLS 1.2 and 1.3, test CA
constexpr const char *LOOPBACK_OTHER_HOST = "other.solvane.test";     // certificate of another CA
constexpr const char *LOOPBACK_SILENT_HOST = "silent.solvane.test";   // accepts, never answers
constexpr const char *LOOPBACK_GARBAGE_HOST = "garbage.solvane.test"; // plain bytes, no TLS
constexpr const char *LOOPBACK_TLS10_HOST = "tls10.solvane.test";     // only TLS 1.0
constexpr const char *LOOPBACK_STATIC_RSA_HOST = "static-rsa.solvane.test"; // static-RSA only
constexpr const char *LOOPBACK_TLS12_HOST = "tls12.solvane.test";     // TLS 1.2, ECDHE only
constexpr const char *LOOPBACK_REFUSED_HOST = "refused.solvane.test"; // nothing listens

struct LoopbackServer {
    bool running = false;
    std::string error, ca, other_ca;
    int port_tls = 0;
};

inline std::string loopback_url(const std::string &path, const char *host = LOOPBACK_HOST) {
    return std::string("https://") + host + path;
}

// The server, started on first use from `script`; check `running` before use.
inline const LoopbackServer &loopback_server(const char *script = "tests/server/testserver.py") {
    static LoopbackServer server;
    if (server.running || !server.error.empty()) return server;
    const char *fixtures = std::getenv("SOLVANE_FIXTURES");
#ifdef SOLVANE_FIXTURES
    if (!fixtures) fixtures = SOLVANE_FIXTURES;
#endif
    std::string path = std::string(SOLVANE_SOURCE_DIR) + "/" + script;
    int to_child[2], from_child[2];
    if (pipe(to_child) != 0 || pipe(from_child) != 0) return server.error = "pipe failed", server;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) close(fd);
        execlp("python3", "python3", path.c_str(), "--fixtures", fixtures ? fixtures : "/nonexistent",
               static_cast<char *>(nullptr));
        _exit(127);
    }
    close(to_child[0]); // to_child[1] stays open until this process ends, and the server with it
    fcntl(to_child[1], F_SETFD, FD_CLOEXEC);
    close(from_child[1]);
    // One JSON line once it listens (certificate generation takes a moment).
    std::string line;
    pollfd watch{from_child[0], POLLIN, 0};
    char buffer[1024];
    for (int waited = 0; line.find('\n') == std::string::npos && waited < 30000; waited += 100) {
        if (poll(&watch, 1, 100) <= 0) continue;
        ssize_t n = read(from_child[0], buffer, sizeof buffer);
        if (n <= 0) break;
        line.append(buffer, static_cast<size_t>(n));
    }
    close(from_child[0]);
    server.port_tls = static_cast<int>(json_long(json_get(line.c_str(), ".ports.tls"), 0));
    server.ca = json_text(json_get(line.c_str(), ".ca"));
    server.other_ca = json_text(json_get(line.c_str(), ".other_ca"));
    if (pid < 0 || !server.port_tls || server.ca.empty()) {
        if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        return server.error = "test server did not start: " + line, server;
    }
    const std::pair<const char *, const char *> hosts[] = {
        {LOOPBACK_HOST, "tls"}, {LOOPBACK_OTHER_HOST, "other_ca"}, {LOOPBACK_SILENT_HOST, "silent"},
        {LOOPBACK_GARBAGE_HOST, "garbage"}, {LOOPBACK_TLS10_HOST, "tls10"},
        {LOOPBACK_STATIC_RSA_HOST, "static_rsa"},
        {LOOPBACK_TLS12_HOST, "tls12"}, {LOOPBACK_REFUSED_HOST, "refused"},
        {"www.youtube.com", "tls"}, {"manifest.googlevideo.com", "tls"}, {"sponsor.ajay.app", "tls"}};
    std::string resolve;
    for (const auto &[host, port] : hosts)
        resolve += (resolve.empty() ? "" : ",") + std::string(host) + ":443:127.0.0.1:" +
                   std::to_string(json_long(json_get(line.c_str(), (std::string(".ports.") + port).c_str()), 0));
    setenv("SOLVANE_RESOLVE", resolve.c_str(), 1);
    setenv("SSL_CERT_FILE", server.ca.c_str(), 1);
    server.running = true;
    return server;
}
