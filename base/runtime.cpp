#include "base/runtime.h"

#include "base/defer.h"
#include "base/host.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

ExitCallback exit_callback = nullptr;
void *exit_argument = nullptr;

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

} // namespace

void log_message(const LogRecord &record) {
    long now = static_cast<long>(std::time(nullptr));
    switch (record.level) {
    case LOG_INFO:
        std::fprintf(stderr, "[%ld] INFO: %s: %s\n", now, record.what, record.detail);
        break;
    case LOG_FATAL:
        std::fprintf(stderr, "[%ld] FATAL ERROR: %s: %s\n", now, record.what, record.detail);
        break;
    case LOG_WARNING:
        std::fprintf(stderr, "[%ld] WARNING: %s: %s\n", now, record.what, record.detail);
        break;
    default:
        std::fprintf(stderr, "[%ld] BUG: unknown error level: %d\n", now, record.level);
        break;
    }
}

void log_info(const char *what, const char *detail) { log_message({LOG_INFO, what, detail}); }
void log_warning(const char *what, const char *detail) { log_message({LOG_WARNING, what, detail}); }

void set_exit_callback(ExitCallback callback, void *argument) {
    exit_callback = callback;
    exit_argument = argument;
}

void fatal_exit(uint8_t status) {
    if (exit_callback) {
        ExitCallback cb = exit_callback;
        exit_callback = nullptr; // a fatal error inside the callback must not loop
        cb(status, exit_argument);
    }
    std::fflush(stderr);
    std::fflush(stdout);
    // The whole host process ends here, as the player cannot go on with a broken plug-in.
    std::_Exit(status);
}

void report_fatal(const LogRecord &record) {
    log_message(record);
    fatal_exit(1);
}

void report_fatal(const char *what, const char *detail) { report_fatal({LOG_FATAL, what, detail}); }

void report_alloc_failure() { report_fatal("allocate memory failed", "at sol_alloc_memory()"); }

void *sol_alloc_memory(size_t count, size_t size) {
    if (count == 0 || size == 0) count = size = 1;
    void *p = std::calloc(count, size);
    if (!p) report_alloc_failure();
    return p;
}

void *sol_realloc_memory(void *pointer, size_t size) {
    void *p = std::realloc(pointer, size ? size : 1);
    if (!p) report_fatal("allocate memory failed", "at sol_realloc_memory()");
    return p;
}

std::optional<std::string> str_vprintf(const char *format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    int n = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (n < 0) return std::nullopt;
    std::string out(static_cast<size_t>(n), '\0');
    if (std::vsnprintf(out.data(), out.size() + 1, format, args) != n) return std::nullopt;
    return out;
}

std::optional<std::string> str_printf(const char *format, ...) {
    va_list args;
    va_start(args, format);
    auto out = str_vprintf(format, args);
    va_end(args);
    return out;
}

std::string str_dup(std::string_view text) { return std::string(text); }

std::string read_file_as(const std::string &path, const char *what) {
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f) report_fatal(what, "file does not exist");
    int fd = fileno(f.get());
    if (fd < 0) report_fatal("cannot get file size", "cannot get fd from stream");
    struct stat st;
    if (fstat(fd, &st) != 0) report_fatal("cannot get file size", "fstat error");
    if (!S_ISREG(st.st_mode)) report_fatal("cannot get file size", "not a regular file");
    if (static_cast<uint64_t>(st.st_size) >= FILE_SIZE_LIMIT) report_fatal(what, "file too large");
    // Up to 1024 bytes more than the size taken a moment ago are accepted, for a file that
    // grows while it is read.
    std::string out(static_cast<size_t>(st.st_size) + 1024, '\0');
    size_t got = std::fread(out.data(), 1, out.size(), f.get());
    out.resize(got);
    return out;
}

std::string read_file(const std::string &path) { return read_file_as(path, "error opening file"); }

void write_file(const std::string &path, std::string_view bytes) {
    if (bytes.size() >= FILE_SIZE_LIMIT) report_fatal("error writing file", "file too large");
    FilePtr f(std::fopen(path.c_str(), "wb"));
    if (!f) report_fatal("error writing file", "cannot open");
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f.get());
}

bool file_replace(const std::string &path, std::string_view bytes) {
    std::string temp = path + ".tmp" + std::to_string(static_cast<long>(getpid()));
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        log_warning("cannot write file", path.c_str());
        return false;
    }
    bool written = true;
    for (size_t done = 0; written && done < bytes.size();) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        written = n > 0;
        if (written) done += static_cast<size_t>(n);
    }
    written = written && ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (!written || std::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        log_warning("cannot write file", path.c_str());
        return false;
    }
    return true;
}

std::string path_resolve(std::string_view value, std::string_view dir) {
    if (!value.empty() && (value[0] == '/' || (value.size() > 1 && value[1] == ':')))
        return std::string(value);
    std::string path(dir);
    path += '/';
    path += value;
    return path;
}

std::string config_dir() {
    char exe[4122];
    ssize_t n = readlink("/proc/self/exe", exe, 4096);
    if (n > 0) {
        std::string dir(exe, static_cast<size_t>(n));
        size_t slash = dir.rfind('/');
        if (slash != std::string::npos) {
            dir.resize(slash);
            std::string marker = dir + "/soltk_portable_mode.txt";
            if (FILE *f = std::fopen(marker.c_str(), "rb")) {
                std::fclose(f);
                return dir;
            }
        }
    }
    const char *home = std::getenv("HOME");
    if (!home) report_fatal("cannot get config path", "program or home path not found");
    std::string dir = std::string(home) + "/.config/" + "solvane";
    mkdir(dir.c_str(), 0755);
    return dir;
}

namespace {

uint32_t (*clock_source)() = nullptr;

uint32_t monotonic_ms() {
    static const timespec base = [] {
        timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        return t;
    }();
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t ms = (static_cast<int64_t>(now.tv_sec) - base.tv_sec) * 1000 +
                 (now.tv_nsec - base.tv_nsec) / 1000000;
    return static_cast<uint32_t>(static_cast<uint64_t>(ms));
}

} // namespace

uint32_t clock_ms() { return clock_source ? clock_source() : monotonic_ms(); }

void clock_override(uint32_t (*source)()) { clock_source = source; }

void timer_start(Timer *timer) {
    timer->active = 1;
    timer->last_fire = clock_ms();
    timer_poll(timer);
}

void timer_poll(void *argument) {
    Timer *timer = static_cast<Timer *>(argument);
    if (!timer->active) return;
    uint32_t now = clock_ms();
    // Elapsed time in wrapping arithmetic, so a timer behaves the same when the 32-bit clock
    // rolls over between two fires.
    if (static_cast<uint32_t>(now - timer->last_fire) > timer->interval) {
        uint32_t interval = timer->interval;
        if (timer->tick) interval = timer->tick(now - timer->last_fire, timer->tick_argument);
        if (timer->callback) timer->callback(timer->callback_argument);
        timer->interval = interval;
        timer->last_fire = now;
    }
    if (timer->interval != 0) {
        defer_call(timer_poll, timer);
    } else {
        timer->active = 0;
    }
}

namespace {

std::optional<uint32_t> wake_deadline;

// Milliseconds from `now` to `deadline` in wrapping arithmetic; 0 once it has passed.
int32_t until(uint32_t deadline, uint32_t now) {
    return std::max(static_cast<int32_t>(deadline - now), 0);
}

struct IdleWait {
    uint32_t now;
    int32_t wait;
};

void idle_wait_visit(const DeferredCall &call, void *context) {
    auto &w = *static_cast<IdleWait *>(context);
    if (call.function != timer_poll) {
        w.wait = std::min(w.wait, QUEUED_CALL_WAIT_MS);
        return;
    }
    const Timer &timer = *static_cast<const Timer *>(call.argument);
    // An inactive timer's poll returns at once; its turn is not a deadline.
    if (!timer.active) return;
    // A timer fires once strictly more than its interval has passed.
    w.wait = std::min(w.wait, until(timer.last_fire + timer.interval + 1, w.now));
}

} // namespace

void wake_at(uint32_t deadline) {
    if (!wake_deadline || static_cast<int32_t>(deadline - *wake_deadline) < 0)
        wake_deadline = deadline;
}

int32_t idle_wait_ms(int32_t limit) {
    IdleWait w{clock_ms(), std::max(limit, 0)};
    if (wake_deadline) {
        int32_t due = until(*wake_deadline, w.now);
        if (due == 0) wake_deadline.reset();
        w.wait = std::min(w.wait, due);
    }
    defer_each(idle_wait_visit, &w);
    return w.wait;
}

std::optional<std::string> clipboard_get(bool wanted) {
    if (!wanted) return std::string();
    char *text = nullptr;
    if (mpv_get_property(host(), "clipboard/text", MPV_FORMAT_STRING, &text) < 0)
        return std::string();
    if (!text) return std::nullopt;
    std::string out(text);
    mpv_free(text);
    return out;
}

void clipboard_set(const char *text, bool have_window) {
    if (!have_window) report_fatal("cannot set clipboard text", "on x11");
    mpv_set_property_string(host(), "clipboard/text", text);
}
