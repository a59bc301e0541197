// Runtime support shared by every subsystem: log lines, the fatal path that ends the host
// process, checked allocation, heap text formatting, whole-file reading and writing, the
// fallback configuration directory, a millisecond clock with polled timers, and the clipboard
// through the host.
//
// Everything runs on the plug-in thread. Functions returning std::string hand the caller a copy;
// nothing here keeps pointers to the caller's data except Timer, which its owner keeps alive
// while it runs.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

enum LogLevel : int32_t { LOG_INFO = 0, LOG_FATAL = 1, LOG_WARNING = 2, LOG_ERROR = 4 };

struct LogRecord {
    int32_t level;
    const char *what;
    const char *detail;
};

// Writes one line to standard error in the level's format with the current epoch seconds.
// An unknown level writes the "BUG: unknown error level" line instead and does not end anything.
void log_message(const LogRecord &record);
void log_info(const char *what, const char *detail);
void log_warning(const char *what, const char *detail);
// "[%ld] ERROR: %s: %s": something the user named could not be used, and the plug-in goes on
// without it.
void log_error(const char *what, const char *detail);

// Logs the record and ends the process with status 1. Never returns.
[[noreturn]] void report_fatal(const LogRecord &record);
[[noreturn]] void report_fatal(const char *what, const char *detail);

// Runs the exit callback with `status`, then ends the whole process (host included).
[[noreturn]] void fatal_exit(uint8_t status);

// The exit callback run by fatal_exit before the process ends; one per process.
using ExitCallback = void (*)(uint8_t status, void *argument);
void set_exit_callback(ExitCallback callback, void *argument);

// Fatal on failure: ("allocate memory failed", "at sol_alloc_memory()"). Zero-filled.
// A request for zero bytes allocates one byte. Free with std::free.
void *sol_alloc_memory(size_t count, size_t size);
// Fatal on failure with the detail "at sol_realloc_memory()".
void *sol_realloc_memory(void *pointer, size_t size);
// The fatal record for a failed allocation; the entry turns std::bad_alloc into it.
[[noreturn]] void report_alloc_failure();

// Formats into a new text; absent when formatting fails.
std::optional<std::string> str_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::optional<std::string> str_vprintf(const char *format, va_list args);
std::string str_dup(std::string_view text);

// Reads a whole regular file. Every failure is fatal with its own record:
// ("error opening file", "file does not exist"), ("cannot get file size", ...),
// ("error opening file", "file too large"). The result's c_str() is the terminated text.
std::string read_file(const std::string &path);
// Same checks, but with `what` as the message of the open and size failures (the font reader
// reports "error opening font").
std::string read_file_as(const std::string &path, const char *what);
// Writes all bytes; fatal on ("error writing file", "file too large" / "cannot open").
void write_file(const std::string &path, std::string_view bytes);

// Replaces the file at `path` atomically: the bytes go to a temporary file beside it
// ("<file>.tmp<pid>"), are flushed to disk and renamed over the old file. When `path` is a
// symbolic link, the file it leads to is replaced (file_write_target) and the link stays. On any
// failure the old file is left as it was, the temporary file is removed, a WARNING is logged,
// `reason` (when given) receives the system's text for the failure, and the result is false.
bool file_replace(const std::string &path, std::string_view bytes, std::string *reason = nullptr);

// The file a write to `path` replaces: `path` itself, or the end of the chain of symbolic links
// it names, also when that end does not exist yet. Relative link targets are taken from the
// link's directory.
std::string file_write_target(const std::string &path);

// Removes what interrupted file_replace calls of `path` left behind: "<target>.tmp<pid>" files
// beside the target whose process has ended, or which are more than an hour old (a rewrite
// takes milliseconds; another running player's fresh temporary file is left alone). Each
// removal is logged as INFO. Returns how many were removed.
size_t file_replace_cleanup(const std::string &path);

// A path setting: kept as it is when absolute ("/…" or a drive letter "X:…"), else joined to
// `dir` with "/".
std::string path_resolve(std::string_view value, std::string_view dir);

// Files of 0x6FFFFFFF bytes or more are refused.
constexpr uint64_t FILE_SIZE_LIMIT = 0x6FFFFFFF;

// The fallback configuration directory: the executable's directory in portable mode (a
// "soltk_portable_mode.txt" beside it), else HOME/.config/solvane, created with mode 0755.
// Fatal when neither can be found.
std::string config_dir();

// Monotonic milliseconds since the first call, truncated to 32 bits (wraps after ~49.7 days).
uint32_t clock_ms();
// Tests replace the clock source; nullptr restores the monotonic clock.
void clock_override(uint32_t (*source)());

struct Timer {
    uint32_t last_fire;
    uint32_t interval;
    uint8_t active;
    // Called with (elapsed ms, tick argument) at each fire; the result is the new interval.
    uint32_t (*tick)(uint32_t elapsed, void *argument);
    void *tick_argument;
    void (*callback)(void *argument);
    void *callback_argument;
};

// Sets the timer active and polls it once; the first fire comes one interval later.
void timer_start(Timer *timer);
// A deferred task: fires when strictly more than one interval has passed, then re-queues
// itself while the interval is non-zero; a zero interval deactivates the timer.
void timer_poll(void *timer);

// Reads a whole regular file like read_file, but a failure is returned instead of ending the
// process: absent, with `reason` set to why ("file does not exist", "permission denied", "not a
// regular file", "file too large", ...). For files the user names, which may be mistyped.
std::optional<std::string> file_read_optional(const std::string &path, std::string &reason);

// Asks the loop to be running again by `deadline` (a clock_ms value), for work that is due at a
// time but is not a queued timer (a frame held back to be published with later changes). The
// earliest request counts; it is forgotten once idle_wait_ms has seen it pass.
void wake_at(uint32_t deadline);
// The longest wait before a call other than a timer poll gets its turn: such calls were always
// served at this pace, so a task that keeps queueing itself does not make the loop spin.
constexpr int32_t QUEUED_CALL_WAIT_MS = 10;
// How long the loop may wait for host events or sockets before queued work is due, at most
// `limit` milliseconds: the time until the earliest queued timer fires or the earliest wake_at
// deadline; at most QUEUED_CALL_WAIT_MS while any other call is queued. 0 when something is
// due now. Never negative.
int32_t idle_wait_ms(int32_t limit);

// Reads the host's "clipboard/text". `wanted` false returns "" without asking the host; a host
// error gives ""; a host answer that is not a string gives absent.
std::optional<std::string> clipboard_get(bool wanted);
// How clipboard_set placed the text.
enum ClipboardWay : int32_t {
    CLIPBOARD_HOST = 0, // the host's "clipboard/text" property took it
    CLIPBOARD_TOOL = 1, // a clipboard program was started with it through the host's "run"
    CLIPBOARD_NONE = 2, // neither: the text was not copied
};
struct ClipboardResult {
    ClipboardWay way = CLIPBOARD_NONE;
    const char *tool = nullptr; // the program's name for CLIPBOARD_TOOL
};
// Sets "clipboard/text". A host without that property (mpv 0.35) gets the text handed to the
// first clipboard program found on PATH: wl-copy (only in a Wayland session), "xclip -selection
// clipboard" or "xsel -ib", started with the host's "run" command as `sh -c 'printf %s "$1" |
// TOOL' sh TEXT`, so the text is an argument and never part of the shell's command text.
// Needs the host window: without it the call is fatal ("cannot set clipboard text", "on x11").
ClipboardResult clipboard_set(const char *text, bool have_window);
// The first clipboard program of the list above found on `path_list` (a PATH value), with
// `wayland` telling whether wl-copy may be used; nullptr when there is none. Its index into
// the list of command texts is stored in `*index`.
const char *clipboard_tool_find(const char *path_list, bool wayland, int *index);
