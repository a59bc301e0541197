#include "base/defer.h"
#include "base/list.h"
#include "base/runtime.h"
#include "support/fake_mpv.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

fs::path temp_dir() {
    char tmpl[] = "/tmp/solvane-test-XXXXXX";
    return fs::path(mkdtemp(tmpl));
}

// Runs `body` in a child process with stderr captured; gives (exit status, stderr text).
template <class F>
std::pair<int, std::string> in_child(F body) {
    fs::path out = temp_dir() / "stderr.txt";
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (!std::freopen(out.c_str(), "w", stderr)) std::_Exit(99);
        body();
        std::fflush(stderr);
        std::_Exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::ifstream in(out);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

// Strips the "[seconds] " prefix of a log line.
std::string without_time(const std::string &line) {
    size_t close = line.find("] ");
    EXPECT_EQ(line[0], '[');
    return close == std::string::npos ? line : line.substr(close + 2);
}

uint32_t fake_now = 0;
uint32_t fake_clock() { return fake_now; }

} // namespace

TEST(runtime_log, line_formats) {
    auto [status, text] = in_child([] {
        log_message({LOG_INFO, "what", "detail"});
        log_message({LOG_WARNING, "w", "d"});
        log_message({3, "x", "y"});
    });
    EXPECT_EQ(status, 0); // an unknown level does not end anything
    std::string a = text.substr(0, text.find('\n') + 1);
    text.erase(0, a.size());
    std::string b = text.substr(0, text.find('\n') + 1);
    text.erase(0, b.size());
    EXPECT_EQ(without_time(a), "INFO: what: detail\n");
    EXPECT_EQ(without_time(b), "WARNING: w: d\n");
    EXPECT_EQ(without_time(text).rfind("BUG: unknown error level: 3\n", 0), 0u);
}

TEST(runtime_fatal, exits_with_status_one_after_the_exit_callback) {
    auto [status, text] = in_child([] {
        set_exit_callback([](uint8_t s, void *) { std::fprintf(stderr, "callback %d\n", s); }, nullptr);
        report_fatal("allocate memory failed", "at sol_alloc_memory()");
    });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(without_time(text), "FATAL ERROR: allocate memory failed: at sol_alloc_memory()\ncallback 1\n");
}

TEST(runtime_fatal, allocation_failure_record) {
    auto [status, text] = in_child([] { (void)sol_alloc_memory(SIZE_MAX / 2, 4); });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(without_time(text), "FATAL ERROR: allocate memory failed: at sol_alloc_memory()\n");
}

TEST(runtime_files, read_and_write) {
    fs::path dir = temp_dir();
    std::string path = (dir / "f.bin").string();
    std::string bytes("a\0b\xff", 4);
    write_file(path, bytes);
    EXPECT_EQ(read_file(path), bytes);
    write_file(path, "");
    std::string empty = read_file(path);
    EXPECT_EQ(empty.size(), 0u);
    EXPECT_EQ(empty.c_str()[0], '\0');
}

// A replaced file behind symbolic links is replaced where the links lead (relative targets
// from each link's own folder, a chain, a target not made yet); the links stay.
TEST(runtime_files, replace_writes_through_links) {
    fs::path dir = temp_dir();
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    fs::create_directories(dir / "c");
    std::ofstream(dir / "a" / "real.json") << "old";
    fs::create_symlink("../a/real.json", dir / "b" / "link");
    fs::create_symlink("../b/link", dir / "c" / "chain");
    fs::create_symlink(dir / "a" / "later.json", dir / "dangling");
    const std::pair<fs::path, fs::path> cases[] = {
        {dir / "c" / "chain", dir / "a" / "real.json"},
        {dir / "b" / "link", dir / "a" / "real.json"},
        {dir / "dangling", dir / "a" / "later.json"},
    };
    for (const auto &[written, target] : cases) {
        SCOPED_TRACE(written.string());
        std::string text = "new " + written.filename().string();
        ASSERT_TRUE(file_replace(written.string(), text));
        EXPECT_EQ(read_file(target.string()), text);
        EXPECT_TRUE(fs::is_symlink(written));
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "a"), fs::directory_iterator{}), 2);
    // A rename that fails (a folder with files in the file's place) is a failed save, and its
    // temporary file does not stay behind.
    fs::create_directories(dir / "taken" / "inside");
    std::string reason;
    EXPECT_FALSE(file_replace((dir / "taken").string(), "x", &reason));
    EXPECT_FALSE(reason.empty());
    for (const auto &entry : fs::directory_iterator(dir))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos);
    fs::remove_all(dir);
}

TEST(runtime_files, failures_are_fatal_with_their_records) {
    fs::path dir = temp_dir();
    struct Case {
        std::string path;
        const char *line;
    } cases[] = {
        {(dir / "missing").string(), "FATAL ERROR: error opening file: file does not exist\n"},
        {dir.string(), "FATAL ERROR: cannot get file size: not a regular file\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        auto [status, text] = in_child([&] { read_file(c.path); });
        EXPECT_EQ(status, 1);
        EXPECT_EQ(without_time(text), c.line);
    }
    auto [status, text] = in_child([&] { write_file((dir / "no/such/dir").string(), "x"); });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(without_time(text), "FATAL ERROR: error writing file: cannot open\n");
}

TEST(runtime_config_dir, home_fallback_and_missing_home) {
    fs::path home = temp_dir();
    fs::create_directories(home / ".config");
    auto [status, text] = in_child([&] {
        setenv("HOME", home.c_str(), 1);
        std::string dir = config_dir();
        std::fprintf(stderr, "%s", dir.c_str());
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(text, (home / ".config/solvane").string());
    EXPECT_TRUE(fs::is_directory(home / ".config/solvane"));

    auto [status2, text2] = in_child([] {
        unsetenv("HOME");
        config_dir();
    });
    EXPECT_EQ(status2, 1);
    EXPECT_EQ(without_time(text2), "FATAL ERROR: cannot get config path: program or home path not found\n");
}

TEST(runtime_paths, absolute_kept_relative_joined) {
    const std::pair<const char *, const char *> cases[] = {
        {"/abs/m.png", "/abs/m.png"}, {"C:\\m.png", "C:\\m.png"}, {"C:/videos", "C:/videos"},
        {"pics/m.png", "/cfg/pics/m.png"}, {"m", "/cfg/m"}, {"", "/cfg/"}};
    for (auto [value, expected] : cases) EXPECT_EQ(path_resolve(value, "/cfg"), expected) << value;
}

TEST(runtime_strings, printf_grows_past_any_first_guess) {
    EXPECT_EQ(str_printf("%s/%s", "a", "b"), std::optional<std::string>("a/b"));
    EXPECT_EQ(str_printf("%d", 123456789), std::optional<std::string>("123456789"));
    std::string big(5000, 'z');
    EXPECT_EQ(str_printf("%s", big.c_str()), std::optional<std::string>(big));
}

class TimerTest : public ::testing::Test {
protected:
    // A timer that counts its fires in `fired`.
    Timer counting(uint32_t interval) {
        Timer t{};
        t.interval = interval;
        t.callback = [](void *a) { ++*static_cast<int *>(a); };
        t.callback_argument = &fired;
        return t;
    }
    int fired = 0;
    void SetUp() override {
        fake_now = 0;
        clock_override(fake_clock);
        defer_queue_create();
    }
    void TearDown() override {
        defer_queue_destroy();
        clock_override(nullptr);
    }
};

TEST_F(TimerTest, fires_once_per_poll_after_more_than_an_interval) {
    Timer t = counting(1000);
    fake_now = 5;
    timer_start(&t);
    EXPECT_EQ(defer_pending(), 1);
    fake_now = 1005; // exactly one interval: not yet
    defer_run_one();
    EXPECT_EQ(fired, 0);
    fake_now = 1006;
    defer_run_one();
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(t.last_fire, 1006u);
    fake_now = 5000;
    defer_run_one();
    EXPECT_EQ(fired, 2);
    EXPECT_TRUE(t.active);
    EXPECT_EQ(defer_pending(), 1);
}

TEST_F(TimerTest, tick_returning_zero_stops_and_restart_works) {
    struct Counts {
        int ticks = 0;
        uint32_t elapsed = 0;
    } counts;
    Timer t{};
    t.interval = 10;
    t.tick = [](uint32_t elapsed, void *a) -> uint32_t {
        auto *c = static_cast<Counts *>(a);
        c->elapsed = elapsed;
        return ++c->ticks < 2 ? 20 : 0;
    };
    t.tick_argument = &counts;
    timer_start(&t);
    fake_now = 11;
    defer_run_one();
    EXPECT_EQ(counts.ticks, 1);
    EXPECT_EQ(counts.elapsed, 11u);
    EXPECT_EQ(t.interval, 20u);
    fake_now = 40;
    defer_run_one();
    EXPECT_EQ(counts.ticks, 2);
    EXPECT_FALSE(t.active);
    EXPECT_EQ(defer_pending(), 0);
    t.interval = 10;
    timer_start(&t);
    EXPECT_TRUE(t.active);
    EXPECT_EQ(defer_pending(), 1);
}

TEST_F(TimerTest, wraps_with_unsigned_arithmetic) {
    Timer t = counting(100);
    fake_now = 0xFFFFFFF0u;
    timer_start(&t);
    fake_now = 0x50; // the sum wraps to 0x54: more than the interval has not yet passed
    defer_run_one();
    EXPECT_EQ(fired, 0);
    fake_now = 0x60;
    defer_run_one();
    EXPECT_EQ(fired, 1);
}

// The loop's idle wait ends when the earliest queued timer fires or a requested wake-up is
// due; any other queued call keeps the old 10 ms pace.
TEST_F(TimerTest, idle_wait_ends_at_the_earliest_deadline) {
    EXPECT_EQ(idle_wait_ms(250), 250); // nothing queued
    Timer autoplay = counting(1000);
    timer_start(&autoplay); // fires after 1001 ms
    EXPECT_EQ(idle_wait_ms(250), 250);
    fake_now = 995;
    EXPECT_EQ(idle_wait_ms(250), 6);
    fake_now = 990;
    Timer glide = counting(10);
    timer_start(&glide); // fires at 1001 too
    fake_now = 995;
    wake_at(998);
    EXPECT_EQ(idle_wait_ms(250), 3);
    wake_at(1500); // a later request does not move the earlier one
    fake_now = 998;
    EXPECT_EQ(idle_wait_ms(250), 0); // due, and forgotten
    EXPECT_EQ(idle_wait_ms(250), 3);
    fake_now = 1200; // both timers overdue
    EXPECT_EQ(idle_wait_ms(250), 0);
    autoplay.active = glide.active = 0; // stopped timers set no deadline
    EXPECT_EQ(idle_wait_ms(250), 250);
    defer_call([](void *) {}, nullptr);
    EXPECT_EQ(idle_wait_ms(250), QUEUED_CALL_WAIT_MS);
    EXPECT_EQ(idle_wait_ms(4), 4);
}

TEST(defer, queue_order_and_absent_queue) {
    defer_queue_destroy();
    std::vector<int> order;
    auto push = [](void *a) { static_cast<std::vector<int> *>(a)->push_back(static_cast<int>(static_cast<std::vector<int> *>(a)->size())); };
    defer_call(push, &order); // no queue yet: nothing happens
    EXPECT_FALSE(defer_run_one());
    defer_queue_create();
    EXPECT_FALSE(defer_run_one()); // empty queue runs nothing
    defer_call(push, &order);
    defer_call(push, &order);
    EXPECT_EQ(defer_pending(), 2);
    EXPECT_TRUE(defer_run_one()); // exactly one call per run
    EXPECT_EQ(order.size(), 1u);
    EXPECT_TRUE(defer_run_one());
    EXPECT_FALSE(defer_run_one());
    EXPECT_EQ(order, (std::vector<int>{0, 1}));
    defer_queue_destroy();
}

TEST(list, ownership_by_tag) {
    static int destroyed;
    struct Item {
        ~Item() { ++destroyed; }
    };
    destroyed = 0;
    Item borrowed;
    {
        List<Item> l;
        l.append(new Item, 1);
        l.append(&borrowed, LIST_TAG_BORROWED);
        l.push(new Item, 1);
        EXPECT_EQ(l.size(), 3u);
        l.remove(l.first());
        EXPECT_EQ(destroyed, 1);
    }
    EXPECT_EQ(destroyed, 2); // the borrowed item was left alone
}

TEST(clipboard, reads_and_writes_through_the_host) {
    fakehost::reset();
    extern void host_set(mpv_handle *);
    host_set(fakehost::handle());
    EXPECT_EQ(clipboard_get(false), std::optional<std::string>(""));
    EXPECT_EQ(fakehost::property_reads(), 0);
    EXPECT_EQ(clipboard_get(true), std::optional<std::string>("")); // host error
    fakehost::set_property("clipboard/text", "hello");
    EXPECT_EQ(clipboard_get(true), std::optional<std::string>("hello"));
    clipboard_set("new", true);
    EXPECT_EQ(fakehost::properties().at("clipboard/text"), "new");
    auto [status, text] = in_child([] { clipboard_set("x", false); });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(without_time(text), "FATAL ERROR: cannot set clipboard text: on x11\n");
    host_set(nullptr);
}

// mpv 0.35 has no "clipboard/text": the text goes to the first clipboard program on PATH,
// started through the host's "run" with the text as an argument of its own.
TEST(clipboard, without_the_host_property_a_program_on_path_takes_the_text) {
    std::string dir = ::testing::TempDir() + "solvane-clipboard";
    std::filesystem::remove_all(dir);
    auto program = [&](const std::string &sub, const char *name, bool executable) {
        std::filesystem::create_directories(dir + "/" + sub);
        std::string path = dir + "/" + sub + "/" + name;
        std::ofstream(path) << "#!/bin/sh\n";
        std::filesystem::permissions(path, executable ? std::filesystem::perms::owner_all
                                                      : std::filesystem::perms::owner_read);
    };
    program("both", "xsel", true);
    program("both", "xclip", true);
    program("xsel", "xsel", true);
    program("wayland", "wl-copy", true);
    program("wayland", "xclip", true);
    program("plain", "xclip", false);
    const char *text = "it's \"$(rm -rf ~)\" `x`";
    struct Case {
        std::string path;
        const char *wayland;
        const char *shell; // nullptr: nothing copies
    } cases[] = {
        {dir + "/nowhere:" + dir + "/both", nullptr,
         "printf %s \"$1\" | xclip -selection clipboard"},
        {dir + "/xsel", nullptr, "printf %s \"$1\" | xsel -ib"},
        {dir + "/wayland", "wayland-0", "printf %s \"$1\" | wl-copy"},
        {dir + "/wayland", nullptr, "printf %s \"$1\" | xclip -selection clipboard"},
        {dir + "/plain", nullptr, nullptr}, // not executable
        {"", nullptr, nullptr},
    };
    std::string saved_path = std::getenv("PATH") ? std::getenv("PATH") : "";
    extern void host_set(mpv_handle *);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        fakehost::reset();
        fakehost::fail_property("clipboard/text");
        host_set(fakehost::handle());
        setenv("PATH", c.path.c_str(), 1);
        if (c.wayland)
            setenv("WAYLAND_DISPLAY", c.wayland, 1);
        else
            unsetenv("WAYLAND_DISPLAY");
        ClipboardResult result = clipboard_set(text, true);
        if (!c.shell) {
            EXPECT_EQ(result.way, CLIPBOARD_NONE);
            EXPECT_TRUE(fakehost::commands().empty());
            continue;
        }
        EXPECT_EQ(result.way, CLIPBOARD_TOOL);
        ASSERT_EQ(fakehost::commands().size(), 1u);
        EXPECT_EQ(fakehost::commands()[0],
                  (fakehost::Command{"run", "sh", "-c", c.shell, "sh", text}));
    }
    setenv("PATH", saved_path.c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    host_set(nullptr);
    std::filesystem::remove_all(dir);
}
