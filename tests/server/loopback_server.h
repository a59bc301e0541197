// Starts tests/server/testserver.py as a child process (once per test process), reads the ports
// it listens on and points the HTTP client at it: SOLVANE_RESOLVE sends the test host names to
// the loopback ports and SSL_CERT_FILE names the server's throw-away CA.
//
//   LOOPBACK_HOST        https://solvane.test/...        the server, certificate from the test CA
//   LOOPBACK_OTHER_HOST  https://other.solvane.test/...  certificate from another CA
//   LOOPBACK_SILENT_HOST https://silent.solvane.test/... accepts and never answers
//   LOOPBACK_GARBAGE_HOST https://garbage.solvane.test/... plain bytes instead of TLS
//   LOOPBACK_TLS10_HOST, LOOPBACK_TLS11_HOST   the service offering only TLS 1.0 / 1.1
//   LOOPBACK_STATIC_RSA_HOST   TLS 1.2 with static-RSA key exchange only
//   LOOPBACK_TLS12_HOST        TLS 1.2 only, ECDHE suites only (LOOPBACK_HOST offers 1.3 too)
//   LOOPBACK_REFUSED_HOST      a loopback port nothing listens on
//
// The server ends when this process exits (its standard input closes). Header-only so that the
// unit tests and the benchmarks share it.
#pragma once

#include "base/json.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#ifndef SOLVANE_SOURCE_DIR
#error "SOLVANE_SOURCE_DIR must name the source tree"
#endif

constexpr const char *LOOPBACK_HOST = "solvane.test";
constexpr const char *LOOPBACK_OTHER_HOST = "other.solvane.test";
constexpr const char *LOOPBACK_SILENT_HOST = "silent.solvane.test";
constexpr const char *LOOPBACK_GARBAGE_HOST = "garbage.solvane.test";
constexpr const char *LOOPBACK_TLS10_HOST = "tls10.solvane.test";
constexpr const char *LOOPBACK_TLS11_HOST = "tls11.solvane.test";
constexpr const char *LOOPBACK_STATIC_RSA_HOST = "static-rsa.solvane.test";
constexpr const char *LOOPBACK_TLS12_HOST = "tls12.solvane.test";
constexpr const char *LOOPBACK_REFUSED_HOST = "refused.solvane.test";

struct LoopbackServer {
    bool running = false;
    std::string error;
    int port_tls = 0;
    int port_other_ca = 0;
    int port_silent = 0;
    int port_garbage = 0;
    int port_tls10 = 0;
    int port_tls11 = 0;
    int port_static_rsa = 0;
    int port_tls12 = 0;
    int port_refused = 0;
    std::string ca;
    std::string other_ca;
    pid_t pid = -1;
    int stdin_fd = -1;
};

inline std::string loopback_url(const std::string &path, const char *host = LOOPBACK_HOST) {
    return std::string("https://") + host + path;
}

namespace loopback_detail {

// Ends a server started by spawn(): closing its standard input ends it; a server that does not
// go within two seconds is killed.
inline void stop_child(pid_t &pid, int &stdin_fd) {
    if (stdin_fd >= 0) close(stdin_fd);
    stdin_fd = -1;
    if (pid <= 0) return;
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

inline void stop(LoopbackServer &server) { stop_child(server.pid, server.stdin_fd); }

// Starts `python3 script --fixtures FIXTURES` with pipes on its standard input and output and
// returns the one JSON line it prints once it listens (certificate generation takes a moment),
// or "" with `error` set. The child's pid and standard input go to `pid` and `stdin_fd`.
inline std::string spawn(const std::string &script, pid_t &pid, int &stdin_fd,
                         std::string &error) {
    const char *fixtures = std::getenv("SOLVANE_FIXTURES");
#ifdef SOLVANE_FIXTURES
    if (!fixtures) fixtures = SOLVANE_FIXTURES;
#endif
    if (!fixtures) fixtures = "/nonexistent";
    int to_child[2], from_child[2];
    if (pipe(to_child) != 0 || pipe(from_child) != 0) {
        error = "pipe failed";
        return "";
    }
    pid = fork();
    if (pid < 0) {
        error = "fork failed";
        return "";
    }
    if (pid == 0) {
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        close(to_child[0]);
        close(to_child[1]);
        close(from_child[0]);
        close(from_child[1]);
        execlp("python3", "python3", script.c_str(), "--fixtures", fixtures,
               static_cast<char *>(nullptr));
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    stdin_fd = to_child[1];

    std::string line;
    pollfd watch{from_child[0], POLLIN, 0};
    for (int waited = 0; line.find('\n') == std::string::npos && waited < 30000; waited += 100) {
        if (poll(&watch, 1, 100) <= 0) continue;
        char buffer[1024];
        ssize_t n = read(from_child[0], buffer, sizeof buffer);
        if (n <= 0) break;
        line.append(buffer, static_cast<size_t>(n));
    }
    close(from_child[0]);
    if (line.find('\n') == std::string::npos) {
        error = "test server did not start: " + line;
        stop_child(pid, stdin_fd);
        return "";
    }
    return line;
}

inline LoopbackServer &instance() {
    static LoopbackServer server;
    return server;
}

inline void stop_at_exit() { stop(instance()); }

inline void start(LoopbackServer &server) {
    std::string line = spawn(std::string(SOLVANE_SOURCE_DIR) + "/tests/server/testserver.py",
                             server.pid, server.stdin_fd, server.error);
    if (line.empty()) return;
    std::atexit(stop_at_exit);
    const char *json = line.c_str();
    server.port_tls = static_cast<int>(json_long(json_get(json, ".ports.tls"), 0));
    server.port_other_ca = static_cast<int>(json_long(json_get(json, ".ports.other_ca"), 0));
    server.port_silent = static_cast<int>(json_long(json_get(json, ".ports.silent"), 0));
    server.port_garbage = static_cast<int>(json_long(json_get(json, ".ports.garbage"), 0));
    server.port_tls10 = static_cast<int>(json_long(json_get(json, ".ports.tls10"), 0));
    server.port_tls11 = static_cast<int>(json_long(json_get(json, ".ports.tls11"), 0));
    server.port_static_rsa = static_cast<int>(json_long(json_get(json, ".ports.static_rsa"), 0));
    server.port_tls12 = static_cast<int>(json_long(json_get(json, ".ports.tls12"), 0));
    server.port_refused = static_cast<int>(json_long(json_get(json, ".ports.refused"), 0));
    server.ca = json_text(json_get(json, ".ca"));
    server.other_ca = json_text(json_get(json, ".other_ca"));
    if (!server.port_tls || server.ca.empty()) {
        server.error = "unexpected test server banner: " + line;
        stop(server);
        return;
    }
    char resolve[1024];
    std::snprintf(resolve, sizeof resolve,
                  "%s:443:127.0.0.1:%d,%s:443:127.0.0.1:%d,%s:443:127.0.0.1:%d,"
                  "%s:443:127.0.0.1:%d,%s:443:127.0.0.1:%d,%s:443:127.0.0.1:%d,"
                  "%s:443:127.0.0.1:%d,%s:443:127.0.0.1:%d,%s:443:127.0.0.1:%d",
                  LOOPBACK_HOST, server.port_tls, LOOPBACK_OTHER_HOST, server.port_other_ca,
                  LOOPBACK_SILENT_HOST, server.port_silent, LOOPBACK_GARBAGE_HOST,
                  server.port_garbage, LOOPBACK_TLS10_HOST, server.port_tls10,
                  LOOPBACK_TLS11_HOST, server.port_tls11, LOOPBACK_STATIC_RSA_HOST,
                  server.port_static_rsa, LOOPBACK_TLS12_HOST, server.port_tls12,
                  LOOPBACK_REFUSED_HOST, server.port_refused);
    setenv("SOLVANE_RESOLVE", resolve, 1);
    setenv("SSL_CERT_FILE", server.ca.c_str(), 1);
    server.running = true;
}

} // namespace loopback_detail

// The running server (started on first use). Check `running` (and `error`) before use.
inline const LoopbackServer &loopback_server() {
    LoopbackServer &server = loopback_detail::instance();
    if (!server.running && server.error.empty()) loopback_detail::start(server);
    return server;
}
