#include "base/defer.h"
#include "base/list.h"
#include "base/runtime.h"
#include "support/fake_mpv.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

extern void host_set(mpv_handle *);

namespace {

fs::path temp_dir() {
    char tmpl[] = "/tmp/solvane-test-XXXXXX";
    return fs::path(mkdtemp(tmpl));
}

// Runs `body` in a child; gives its exit status and its stderr without the "[seconds] " prefixes.
std::pair<int, std::string> in_child(const std::function<void()> &body) {
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
    std::string text;
    for (std::string line; std::getline(in, line); text += line + "\n")
        if (line[0] == '[' && line.find("] ") != std::string::npos) line.erase(0, line.find("] ") + 2);
    fs::remove_all(out.parent_path());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

uint32_t fake_now = 0;
uint32_t fake_clock() { return fake_now; }

} // namespace

// Log lines; every fatal path ends the process with status 1 after its record and the callback.
TEST(runtime, log_lines_and_fatal_records) {
    fs::path dir = temp_dir(), home = temp_dir();
    fs::create_directories(home / ".config");
    fakehost::reset();
    host_set(fakehost::handle());
    const std::tuple<const char *, std::function<void()>, int, std::string> cases[] = {
        {"log levels; an unknown one ends nothing", [] {
             log_message({LOG_INFO, "what", "detail"});
             log_message({LOG_WARNING, "w", "d"});
             log_message({3, "x", "y"});
         }, 0, "INFO: what: detail\nWARNING: w: d\nBUG: unknown error level: 3\n"},
        {"exit callback", [] {
             set_exit_callback([](uint8_t s, void *) { std::fprintf(stderr, "callback %d\n", s); }, nullptr);
             report_fatal("allocate memory failed", "at sol_alloc_memory()");
         }, 1, "FATAL ERROR: allocate memory failed: at sol_alloc_memory()\ncallback 1\n"},
        {"allocation", [] { (void)sol_alloc_memory(SIZE_MAX / 2, 4); }, 1,
         "FATAL ERROR: allocate memory failed: at sol_alloc_memory()\n"},
        {"missing file", [&] { read_file((dir / "missing").string()); }, 1,
         "FATAL ERROR: error opening file: file does not exist\n"},
        {"folder read as a file", [&] { read_file(dir.string()); }, 1,
         "FATAL ERROR: cannot get file size: not a regular file\n"},
        {"write into a missing folder", [&] { write_file((dir / "no/such/dir").string(), "x"); }, 1,
         "FATAL ERROR: error writing file: cannot open\n"},
        {"config folder under HOME", [&] {
             setenv("HOME", home.c_str(), 1);
             std::fprintf(stderr, "%s\n", config_dir().c_str());
         }, 0, (home / ".config/solvane").string() + "\n"},
        {"no HOME", [] { unsetenv("HOME"); config_dir(); }, 1,
         "FATAL ERROR: cannot get config path: program or home path not found\n"},
        {"clipboard text refused", [] { clipboard_set("x", false); }, 1,
         "FATAL ERROR: cannot set clipboard text: on x11\n"},
    };
    for (const auto &[why, body, status, text] : cases)
        EXPECT_EQ(in_child(body), std::pair(status, text)) << why;
    EXPECT_TRUE(fs::is_directory(home / ".config/solvane"));
    host_set(nullptr);
    fs::remove_all(dir);
    fs::remove_all(home);
}

// Files read back as written; a file behind symbolic links is replaced where the links lead.
TEST(runtime, files_written_read_and_replaced_through_links) {
    fs::path dir = temp_dir();
    std::string path = (dir / "f.bin").string();
    std::string bytes("a\0b\xff", 4);
    write_file(path, bytes);
    EXPECT_EQ(read_file(path), bytes);
    write_file(path, "");
    EXPECT_EQ(read_file(path), "");
    for (const char *sub : {"a", "b", "c"}) fs::create_directories(dir / sub);
    std::ofstream(dir / "a" / "real.json") << "old";
    fs::create_symlink("../a/real.json", dir / "b" / "link");
    fs::create_symlink("../b/link", dir / "c" / "chain");
    fs::create_symlink(dir / "a" / "later.json", dir / "dangling");
    const std::pair<fs::path, fs::path> cases[] = {{dir / "c" / "chain", dir / "a" / "real.json"},
        {dir / "b" / "link", dir / "a" / "real.json"}, {dir / "dangling", dir / "a" / "later.json"}};
    for (const auto &[written, target] : cases) {
        SCOPED_TRACE(written.string());
        std::string text = "new " + written.filename().string();
        ASSERT_TRUE(file_replace(written.string(), text));
        EXPECT_EQ(read_file(target.string()), text);
        EXPECT_TRUE(fs::is_symlink(written));
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "a"), fs::directory_iterator{}), 2);
    // A failed rename (a folder in the file's place) is a failed save that leaves no temporary file.
    fs::create_directories(dir / "taken" / "inside");
    std::string reason;
    EXPECT_FALSE(file_replace((dir / "taken").string(), "x", &reason));
    EXPECT_FALSE(reason.empty());
    for (const auto &entry : fs::directory_iterator(dir))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos);
    fs::remove_all(dir);
}

TEST(runtime, paths_and_formatting) {
    const std::pair<const char *, const char *> cases[] = {
        {"/abs/m.png", "/abs/m.png"}, {"C:\\m.png", "C:\\m.png"}, {"C:/videos", "C:/videos"},
        {"pics/m.png", "/cfg/pics/m.png"}, {"m", "/cfg/m"}, {"", "/cfg/"}};
    for (auto [value, expected] : cases) EXPECT_EQ(path_resolve(value, "/cfg"), expected) << value;
    // Formatting grows past any first guess.
    EXPECT_EQ(str_printf("%s/%d", "a", 123456789), std::optional<std::string>("a/123456789"));
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
    void SetUp() override { fake_now = 0; clock_override(fake_clock); defer_queue_create(); }
    void TearDown() override { defer_queue_destroy(); clock_override(nullptr); }
    // Sets the clock, polls once and gives the fires so far.
    int poll_at(uint32_t now) { fake_now = now; defer_run_one(); return fired; }
};

TEST_F(TimerTest, fires_once_per_poll_after_more_than_an_interval_with_wrapping_clock) {
    Timer t = counting(1000);
    fake_now = 5;
    timer_start(&t);
    EXPECT_EQ(poll_at(1005), 0); // exactly one interval: not yet
    EXPECT_EQ(poll_at(1006), 1);
    EXPECT_EQ(poll_at(1007), 1); // the interval starts again from the fire
    EXPECT_EQ(poll_at(5000), 2);
    EXPECT_EQ(defer_pending(), 1);
    t.interval = 100;
    fake_now = 0xFFFFFFF0u;
    timer_start(&t);
    EXPECT_EQ(poll_at(0x50), 2); // the sum wraps to 0x54: not more than the interval yet
    EXPECT_EQ(poll_at(0x60), 3);
}

// The loop's idle wait ends when the earliest timer fires or a requested wake-up is due.
TEST_F(TimerTest, idle_wait_ends_at_the_earliest_deadline) {
    EXPECT_EQ(idle_wait_ms(250), 250); // nothing queued
    Timer autoplay = counting(1000);
    timer_start(&autoplay); // fires after 1001 ms
    fake_now = 995;
    EXPECT_EQ(idle_wait_ms(250), 6);
    wake_at(998);
    EXPECT_EQ(idle_wait_ms(250), 3);
}

TEST_F(TimerTest, tick_sets_the_next_interval_zero_stops_and_restart_works) {
    std::vector<uint32_t> elapsed; // one per tick
    Timer t{};
    t.interval = 10;
    t.tick = [](uint32_t e, void *a) -> uint32_t {
        auto *seen = static_cast<std::vector<uint32_t> *>(a);
        seen->push_back(e);
        return seen->size() < 2 ? 20 : 0;
    };
    t.tick_argument = &elapsed;
    timer_start(&t);
    poll_at(11);
    poll_at(31); // not more than the new interval of 20
    poll_at(40);
    EXPECT_EQ(elapsed, (std::vector<uint32_t>{11, 29}));
    EXPECT_FALSE(t.active);
    EXPECT_EQ(defer_pending(), 0);
    t.interval = 10;
    timer_start(&t);
    EXPECT_EQ(defer_pending(), 1);
}

TEST(defer, queue_runs_one_call_per_turn_in_order_and_lists_own_their_items) {
    defer_queue_destroy();
    std::vector<int> order;
    auto push = [](void *a) { auto *v = static_cast<std::vector<int> *>(a); v->push_back(int(v->size())); };
    defer_call(push, &order); // no queue yet: nothing happens
    defer_queue_create();
    defer_call(push, &order);
    defer_call(push, &order);
    EXPECT_TRUE(defer_run_one()); // exactly one call per run
    EXPECT_EQ(order.size(), 1u);
    EXPECT_TRUE(defer_run_one());
    EXPECT_FALSE(defer_run_one());
    EXPECT_EQ(order, (std::vector<int>{0, 1}));
    defer_queue_destroy();
    // A list deletes the items it owns, by tag, and leaves borrowed ones alone.
    static int destroyed;
    struct Item { ~Item() { ++destroyed; } };
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
    EXPECT_EQ(destroyed, 2);
}

// Through the host's "clipboard/text"; mpv 0.35 has none, so the text goes to a clipboard
// program on PATH, run through the host with the text as an argument of its own.
TEST(clipboard, host_property_else_a_program_on_path) {
    fakehost::reset();
    host_set(fakehost::handle());
    EXPECT_EQ(clipboard_get(false), std::optional<std::string>("")); // without reading the host
    EXPECT_EQ(fakehost::property_reads(), 0);
    fakehost::set_property("clipboard/text", "hello");
    EXPECT_EQ(clipboard_get(true), std::optional<std::string>("hello"));
    clipboard_set("new", true);
    EXPECT_EQ(fakehost::properties().at("clipboard/text"), "new");

    std::string dir = ::testing::TempDir() + "solvane-clipboard";
    fs::create_directories(dir);
    std::ofstream(dir + "/xclip") << "#!/bin/sh\n";
    fs::permissions(dir + "/xclip", fs::perms::owner_all);
    std::string saved_path = std::getenv("PATH") ? std::getenv("PATH") : "";
    unsetenv("WAYLAND_DISPLAY");
    const char *text = "it's \"$(rm -rf ~)\" `x`"; // reaches the program unparsed
    for (bool found : {true, false}) {
        fakehost::reset();
        fakehost::fail_property("clipboard/text");
        host_set(fakehost::handle());
        setenv("PATH", (found ? dir : dir + "/none").c_str(), 1);
        EXPECT_EQ(clipboard_set(text, true).way, found ? CLIPBOARD_TOOL : CLIPBOARD_NONE);
        std::vector<fakehost::Command> expected;
        if (found)
            expected.push_back({"run", "sh", "-c", "printf %s \"$1\" | xclip -selection clipboard", "sh", text});
        EXPECT_EQ(fakehost::commands(), expected);
    }
    setenv("PATH", saved_path.c_str(), 1);
    host_set(nullptr);
    fs::remove_all(dir);
}
