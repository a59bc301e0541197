#include "base/runtime.h"

#include "base/defer.h"
#include "base/host.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>
#include <new>
#include <csignal>
#include <dirent.h>
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
    case LOG_ERROR:
        std::fprintf(stderr, "[%ld] ERROR: %s: %s\n", now, record.what, record.detail);
        break;
    default:
        std::fprintf(stderr, "[%ld] BUG: unknown error level: %d\n", now, record.level);
        break;
    }
}

void log_info(const char *what, const char *detail) { log_message({LOG_INFO, what, detail}); }
void log_warning(const char *what, const char *detail) { log_message({LOG_WARNING, what, detail}); }
void log_error(const char *what, const char *detail) { log_message({LOG_ERROR, what, detail}); }

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

std::string file_write_target(const std::string &path) {
    std::string target = path;
    // The kernel's own bound on links followed in one lookup.
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return target;
        std::string link(4096, '\0');
        ssize_t n = readlink(target.c_str(), link.data(), link.size());
        if (n <= 0 || static_cast<size_t>(n) >= link.size()) return target;
        link.resize(static_cast<size_t>(n));
        size_t slash = target.rfind('/');
        if (link[0] != '/' && slash != std::string::npos) link = target.substr(0, slash + 1) + link;
        target = std::move(link);
    }
    return target;
}

bool file_replace(const std::string &path, std::string_view bytes, std::string *reason) {
    std::string target = file_write_target(path);
    std::string temp = target + ".tmp" + std::to_string(static_cast<long>(getpid()));
    auto fail = [&](int error) {
        if (reason) *reason = std::strerror(error);
        std::string detail = path + ": " + std::strerror(error);
        log_warning("cannot write file", detail.c_str());
        return false;
    };
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return fail(errno);
    int error = 0;
    for (size_t done = 0; !error && done < bytes.size();) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) error = n < 0 ? errno : ENOSPC;
        else done += static_cast<size_t>(n);
    }
    if (!error && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && !error) error = errno;
    if (!error && std::rename(temp.c_str(), target.c_str()) != 0) error = errno;
    if (error) {
        ::unlink(temp.c_str());
        return fail(error);
    }
    return true;
}

size_t file_replace_cleanup(const std::string &path) {
    std::string target = file_write_target(path);
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : target.substr(0, slash ? slash : 1);
    std::string prefix = (slash == std::string::npos ? target : target.substr(slash + 1)) + ".tmp";
    std::unique_ptr<DIR, int (*)(DIR *)> listing(opendir(dir.c_str()), closedir);
    if (!listing) return 0;
    size_t removed = 0;
    long now = static_cast<long>(std::time(nullptr));
    while (const dirent *entry = readdir(listing.get())) {
        std::string_view name = entry->d_name;
        if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) continue;
        std::string_view digits = name.substr(prefix.size());
        if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string_view::npos)
            continue;
        long pid = std::strtol(std::string(digits).c_str(), nullptr, 10);
        std::string file = dir + "/" + std::string(name);
        struct stat st;
        if (lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        bool ended = pid == static_cast<long>(getpid()) ||
                     (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH);
        bool old = now - static_cast<long>(st.st_mtime) > 3600;
        if ((ended || old) && ::unlink(file.c_str()) == 0) {
            log_info("removed the temporary file of an interrupted rewrite", file.c_str());
            ++removed;
        }
    }
    return removed;
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

std::optional<std::string> file_read_optional(const std::string &path, std::string &reason) {
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f) {
        reason = errno == ENOENT ? "file does not exist" : std::strerror(errno);
        return std::nullopt;
    }
    struct stat st;
    if (fstat(fileno(f.get()), &st) != 0) {
        reason = std::strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        reason = "not a regular file";
        return std::nullopt;
    }
    if (static_cast<uint64_t>(st.st_size) >= FILE_SIZE_LIMIT) {
        reason = "file too large";
        return std::nullopt;
    }
    std::string out(static_cast<size_t>(st.st_size) + 1024, '\0');
    size_t got = std::fread(out.data(), 1, out.size(), f.get());
    if (std::ferror(f.get())) {
        reason = "read error";
        return std::nullopt;
    }
    out.resize(got);
    return out;
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

namespace {

struct ClipboardTool {
    const char *name;
    const char *shell; // the shell text; "$1" is the text to copy
    bool wayland_only;
};

constexpr ClipboardTool CLIPBOARD_TOOLS[] = {
    {"wl-copy", "printf %s \"$1\" | wl-copy", true},
    {"xclip", "printf %s \"$1\" | xclip -selection clipboard", false},
    {"xsel", "printf %s \"$1\" | xsel -ib", false},
};

} // namespace

const char *clipboard_tool_find(const char *path_list, bool wayland, int *index) {
    if (!path_list) return nullptr;
    std::string_view paths(path_list);
    for (int i = 0; i < static_cast<int>(std::size(CLIPBOARD_TOOLS)); ++i) {
        const ClipboardTool &tool = CLIPBOARD_TOOLS[i];
        if (tool.wayland_only && !wayland) continue;
        for (size_t start = 0; start <= paths.size();) {
            size_t colon = std::min(paths.find(':', start), paths.size());
            std::string_view dir = paths.substr(start, colon - start);
            start = colon + 1;
            if (dir.empty()) continue; // an empty entry would mean the working directory
            std::string candidate = std::string(dir) + "/" + tool.name;
            struct stat st;
            if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                access(candidate.c_str(), X_OK) == 0) {
                if (index) *index = i;
                return tool.name;
            }
        }
    }
    return nullptr;
}

ClipboardResult clipboard_set(const char *text, bool have_window) {
    if (!have_window) report_fatal("cannot set clipboard text", "on x11");
    if (mpv_set_property_string(host(), "clipboard/text", text) >= 0) return {CLIPBOARD_HOST};
    const char *wayland = std::getenv("WAYLAND_DISPLAY");
    int index = -1;
    const char *tool = clipboard_tool_find(std::getenv("PATH"), wayland && *wayland, &index);
    if (!tool) return {CLIPBOARD_NONE};
    const char *args[] = {"run", "sh", "-c", CLIPBOARD_TOOLS[index].shell, "sh", text, nullptr};
    if (mpv_command(host(), args) < 0) return {CLIPBOARD_NONE};
    return {CLIPBOARD_TOOL, tool};
}
