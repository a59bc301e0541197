// Downloads from the loopback HTTPS server (tests/server/testserver.py) through the download
// pool, against curl fetching the same URLs from the same server in the same run:
//   - 100 small GETs: the image pool (4 slots, kept connections) against one curl process that
//     fetches the 100 URLs over its kept connection;
//   - one 50 MB body: the same pool against curl.
// Each pool iteration starts from closed connections and no kept TLS session, as each curl
// process does. The pool is driven as the plug-in's pump drives it: a step, and a 10 ms wait
// when nothing moved.
// The ratios (pool time / curl time) are printed after the benchmarks.
#include "base/defer.h"
#include "net/dlpool.h"
#include "tests/server/loopback_server.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int SMALL_COUNT = 100;
constexpr int SMALL_SIZE = 4000;
constexpr int64_t BIG_SIZE = 50 << 20;

std::map<std::string, double> mean_seconds;

struct Tally {
    int done = 0;
    int failed = 0;
    uint64_t bytes = 0;
};

void count_done(int32_t status_class, ResponseBuffer *response, void *context,
                const HttpStatus *) {
    auto *tally = static_cast<Tally *>(context);
    ++tally->done;
    if (status_class != 0) ++tally->failed;
    tally->bytes += response->position;
}

std::string small_path(int i) {
    return "/test/respond?size=" + std::to_string(SMALL_SIZE) + "&n=" + std::to_string(i);
}

std::string big_path() { return "/test/bytes?size=" + std::to_string(BIG_SIZE); }

// Runs the requests through fresh pools, driven by the download pump on the deferred-call queue
// as the plug-in runs it; returns the bytes received.
uint64_t pool_download(const std::vector<std::string> &paths) {
    static DownloadPools pools;
    download_pools_init(pools); // closes whatever the previous iteration kept
    http_forget_sessions();     // and starts without a session to resume, as curl does
    pools.image_pool.body_limit = HTTP_BODY_LIMIT; // the 50 MB body is larger than any image
    Tally tally;
    for (const std::string &path : paths) {
        DownloadRequest request;
        request.url = loopback_url(path);
        request.context = &tally;
        request.on_done = count_done;
        request_queue_append(pools.image_queue, request);
    }
    defer_queue_create();
    download_pump(&pools);
    while (tally.done < static_cast<int>(paths.size())) defer_run_one();
    defer_queue_destroy();
    if (tally.failed) std::fprintf(stderr, "pool: %d downloads failed\n", tally.failed);
    return tally.bytes;
}

// One curl process fetching every path over its kept connection; returns the bytes received.
uint64_t curl_download(const std::vector<std::string> &paths) {
    const LoopbackServer &server = loopback_server();
    std::string command = "curl -s --fail --cacert '" + server.ca + "' --connect-to " +
                          LOOPBACK_HOST + ":443:127.0.0.1:" + std::to_string(server.port_tls) +
                          " -w '%{size_download}\\n'";
    for (const std::string &path : paths) {
        command += " -o /dev/null '" + loopback_url(path) + "'";
    }
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return 0;
    uint64_t bytes = 0;
    char line[64];
    while (std::fgets(line, sizeof line, pipe)) bytes += std::strtoull(line, nullptr, 10);
    if (pclose(pipe) != 0) std::fprintf(stderr, "curl failed\n");
    return bytes;
}

template <class F>
void timed(benchmark::State &state, const char *name, uint64_t expected_bytes, F download) {
    if (!loopback_server().running) {
        state.SkipWithError(("loopback server: " + loopback_server().error).c_str());
        return;
    }
    double total = 0;
    int64_t runs = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        uint64_t bytes = download();
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        total += took.count();
        ++runs;
        if (bytes != expected_bytes) {
            state.SkipWithError("wrong number of bytes received");
            return;
        }
    }
    mean_seconds[name] = total / static_cast<double>(runs);
    state.SetBytesProcessed(static_cast<int64_t>(expected_bytes) * runs);
}

std::vector<std::string> small_paths() {
    std::vector<std::string> paths;
    for (int i = 0; i < SMALL_COUNT; ++i) paths.push_back(small_path(i));
    return paths;
}

void BM_pool_100_small_gets(benchmark::State &state) {
    std::vector<std::string> paths = small_paths();
    timed(state, "pool_small", uint64_t(SMALL_COUNT) * SMALL_SIZE,
          [&] { return pool_download(paths); });
}

void BM_curl_100_small_gets(benchmark::State &state) {
    std::vector<std::string> paths = small_paths();
    timed(state, "curl_small", uint64_t(SMALL_COUNT) * SMALL_SIZE,
          [&] { return curl_download(paths); });
}

void BM_pool_50mb(benchmark::State &state) {
    timed(state, "pool_big", BIG_SIZE, [] { return pool_download({big_path()}); });
}

void BM_curl_50mb(benchmark::State &state) {
    timed(state, "curl_big", BIG_SIZE, [] { return curl_download({big_path()}); });
}

BENCHMARK(BM_pool_100_small_gets)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_curl_100_small_gets)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_pool_50mb)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_curl_50mb)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void print_ratio(const char *what, const char *pool, const char *curl) {
    if (!mean_seconds.count(pool) || !mean_seconds.count(curl)) return;
    std::printf("%s: pool %.1f ms, curl %.1f ms, ratio pool/curl %.2f\n", what,
                mean_seconds[pool] * 1e3, mean_seconds[curl] * 1e3,
                mean_seconds[pool] / mean_seconds[curl]);
}

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    print_ratio("100 small GETs", "pool_small", "curl_small");
    print_ratio("50 MB body", "pool_big", "curl_big");
    benchmark::Shutdown();
    return 0;
}
