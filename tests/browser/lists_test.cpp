// The favourites and history files (escaping, old formats, atomic replacement), the lists kept
// in memory, and malformed files.
#include "browser/lists.h"
#include "base/runtime.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class ListFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/solvane-lists-XXXXXX";
        dir = mkdtemp(pattern);
        favorites_path = (dir / FAVORITES_FILE_NAME).string();
        history_path = (dir / HISTORY_FILE_NAME).string();
        favorites_file.path = favorites_path;
        history_file.path = history_path;
    }
    void TearDown() override { fs::remove_all(dir); }

    static std::string slurp(const std::string &path) { return read_file(path); }
    static void put(const std::string &path, const std::string &text) { write_file(path, text); }
    static size_t files_in(const fs::path &d) {
        return size_t(std::distance(fs::directory_iterator(d), fs::directory_iterator{}));
    }
    static bool valid_json_array(const std::string &text) {
        rapidjson::Document doc;
        doc.Parse(text.c_str(), text.size());
        return !doc.HasParseError() && doc.IsArray();
    }
    static list_item *playlist(const char *id, const char *title = "t") {
        auto *item = new list_item{};
        item->kind = ITEM_PLAYLIST;
        item->id = id;
        item->title = title;
        item->length_text = "7 Videos";
        item->label = "vid\"x";
        return item;
    }
    static list_item video(const char *id, const char *title, uint32_t duration) {
        list_item v;
        v.kind = ITEM_VIDEO;
        v.id = id;
        v.title = title;
        v.duration = duration;
        v.views_text = "12 views";
        v.published_text = "1 day ago";
        v.flags = ITEM_FLAG_WATCHED;
        return v;
    }

    fs::path dir;
    std::string favorites_path, history_path;
    ListFile favorites_file{"favourites"};
    ListFile history_file{"history"};
};

std::vector<std::string> ids(ItemList &list) {
    std::vector<std::string> out;
    for (list_item *item : list) out.push_back(item->id.value_or("<absent>"));
    return out;
}

const char *const AWKWARD_TITLES[] = {
    "plain",
    "He said \"hi\", then left",
    "back\\slash",
    "ends with a backslash\\",
    "\\\"",
    "tab\there, cr\rand\nnewline",
    "\\u0041 is not an escape here",
    "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e \xf0\x9f\x8e\xb5",
    "{\"json\": [1, 2]}, null",
    "",
};

} // namespace

// Favourites are written escaped: every title survives a round trip byte for byte.
TEST_F(ListFiles, favourites_round_trip_awkward_titles) {
    ItemList favorites;
    int n = 0;
    for (const char *title : AWKWARD_TITLES)
        favorites.append(playlist(("PL" + std::to_string(n++)).c_str(), title), ITEM_TAG);
    ASSERT_EQ(favorites_save(favorites, favorites_file), "");
    std::string text = slurp(favorites_path);
    EXPECT_TRUE(valid_json_array(text)) << text;

    ItemList loaded;
    ASSERT_EQ(favorites_load(loaded, favorites_file), std::size(AWKWARD_TITLES));
    for (auto *out = favorites.first(), *in = loaded.first(); out && in;
         out = favorites.after(out), in = loaded.after(in)) {
        SCOPED_TRACE(*out->data->title);
        EXPECT_EQ(in->data->kind, ITEM_PLAYLIST);
        EXPECT_EQ(in->data->id, out->data->id);
        EXPECT_EQ(in->data->title, out->data->title);
        EXPECT_EQ(in->data->length_text, Text("7 Videos"));
        EXPECT_EQ(in->data->label, Text("vid\"x"));
        EXPECT_EQ(in->data->thumb_url, Text("https://i.ytimg.com/vi/vid\"x/mqdefault.jpg"));
    }
    ASSERT_EQ(favorites_save(loaded, favorites_file), ""); // saving what was read: the same file
    EXPECT_EQ(slurp(favorites_path), text);
}

TEST_F(ListFiles, favourites_of_the_unescaped_format_are_read_raw) {
    put(favorites_path, "[\n  {\"type\": \"playlist\", \"id\": \"PLa\", \"title\": \"AC\\DC \\n live\", "
                        "\"thumb_id\": \"v1\", \"count\": \"3 Videos\"},\n  {\"type\": \"playlist\", "
                        "\"id\": \"PLb\", \"title\": \"C:\\temp\"},\n  null\n]\n");
    ItemList favorites;
    ASSERT_EQ(favorites_load(favorites, favorites_file), 2u);
    EXPECT_EQ(favorites.first()->data->title, Text("AC\\DC \\n live"));
    EXPECT_EQ(favorites.first()->data->thumb_url, Text("https://i.ytimg.com/vi/v1/mqdefault.jpg"));
    // Rewritten in the escaped form, the titles survive a second round.
    ASSERT_EQ(favorites_save(favorites, favorites_file), "");
    ItemList again;
    ASSERT_EQ(favorites_load(again, favorites_file), 2u);
    EXPECT_EQ(again.first()->data->title, Text("AC\\DC \\n live"));
    EXPECT_EQ(again.last()->data->title, Text("C:\\temp"));
}

// History titles lose quotes and backslashes (the old readers cannot unescape) but stay JSON.
TEST_F(ListFiles, history_round_trip) {
    ItemList history;
    for (const char *title : AWKWARD_TITLES)
        history.append(new list_item(video(title[0] ? "id" : "empty", title, 3725)), ITEM_TAG);
    ASSERT_EQ(history_save(history, history_file), "");
    std::string text = slurp(history_path);
    EXPECT_TRUE(valid_json_array(text)) << text;
    EXPECT_NE(text.find("\"title\": \"He said  hi , then left\""), std::string::npos);

    ItemList loaded;
    ASSERT_EQ(history_load(loaded, history_file), std::size(AWKWARD_TITLES));
    const list_item *in = loaded.first()->data;
    EXPECT_EQ(in->kind, ITEM_VIDEO);
    EXPECT_EQ(in->duration, 3725u);
    EXPECT_EQ(in->length_text, Text("1:02:05"));
    EXPECT_EQ(in->thumb_url, Text("https://i.ytimg.com/vi/id/mqdefault.jpg"));
    EXPECT_EQ(in->published_text, Text(""));
    EXPECT_EQ(in->views_text, std::nullopt);
    std::vector<std::string> titles;
    for (list_item *item : loaded) titles.push_back(*item->title);
    EXPECT_EQ(titles[1], "He said  hi , then left");
    EXPECT_EQ(titles[2], "back slash");
    EXPECT_EQ(titles[4], "  ");
    EXPECT_EQ(titles[5], "tab\there, cr\rand\nnewline");
    EXPECT_EQ(titles[6], " u0041 is not an escape here");
    EXPECT_EQ(titles[7], AWKWARD_TITLES[7]);
}

TEST_F(ListFiles, history_durations) {
    struct Case {
        const char *value;
        uint32_t duration;
        const char *text;
    } cases[] = {
        {"\"125\"", 0, "0:00"}, {"0x10", 16, "0:16"},  {"017", 15, "0:15"},
        {"true", 0, "0:00"},    {"-40", 0, "0:00"},    {"{}", 0, "0:00"},
        {"61.9", 61, "1:01"},   {"3600", 3600, "1:00:00"},
        {"99999999999", UINT32_MAX, "1193046:28:15"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        std::string text = std::string("[{\"type\": \"video\", \"id\": \"x\", \"duration\": ") +
                           c.value + "}, null]";
        ItemList history;
        ASSERT_EQ(history_parse(history, text.c_str()), 1u);
        EXPECT_EQ(history.first()->data->duration, c.duration);
        EXPECT_EQ(history.first()->data->length_text, Text(c.text));
    }
}

TEST_F(ListFiles, saving_skips_entries_of_the_other_kind) {
    ItemList list;
    list.append(playlist("PL1"), ITEM_TAG);
    list.append(new list_item(video("v1", "t", 1)), ITEM_TAG);
    EXPECT_EQ(favorites_text(list),
              "[\n  {\"type\": \"playlist\", \"id\": \"PL1\", \"title\": \"t\", \"thumb_id\": "
              "\"vid\\\"x\", \"count\": \"7 Videos\", \"escaped\": true},\n  null\n]\n");
    EXPECT_EQ(history_text(list),
              "[\n  {\"type\": \"video\", \"id\": \"v1\", \"title\": \"t\", \"thumb_id\": \"v1\", "
              "\"duration\": 1},\n  null\n]\n");
}

TEST(list_files_malformed, texts) {
    struct Case {
        const char *text;
        std::vector<std::string> favorites;
    } cases[] = {
        {"[\n  null\n]\n", {}},
        {"", {}},
        {"{\"type\": \"playlist\", \"id\": \"a\"}", {}},
        {"null", {}},
        {"x[{\"type\": \"playlist\", \"id\": \"a\"}]", {}},
        {" \r\n\t[{\"type\": \"playlist\", \"id\": \"a\"}]", {"a"}},
        {"[]", {}},
        {"[", {}},
        {"[5, {\"type\": \"playlist\", \"id\": \"a\"}]", {}},
        {"[{\"type\": \"playlist\", \"id\": \"a\"}, 5, {\"type\": \"playlist\", \"id\": \"b\"}]",
         {"a"}},
        {"[{\"type\": \"video\", \"id\": \"v\"}, {\"type\": \"playlist\", \"id\": \"b\"}]", {"b"}},
        {"[{\"type\": \"playlist\", \"id\": \"a\"} {\"type\": \"playlist\", \"id\": \"b\"}]", {"a"}},
        {"[{\"type\": \"playlist\", \"id\": \"a\"},\n  {\"type\": \"playlist\", \"id\": \"b\", "
         "\"title\": \"cut",
         {"a"}},
        {"[{\"type\": \"playlist\", \"id\": 7, \"title\": null}]", {"<absent>"}},
        {"[{\"id\": \"a\"}, {\"type\": 1}, {\"type\": \"playlist\"}]", {"<absent>"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        ItemList favorites;
        favorites_parse(favorites, c.text);
        EXPECT_EQ(ids(favorites), c.favorites);
    }
    ItemList none;
    EXPECT_EQ(favorites_parse(none, nullptr), 0u);
}

TEST_F(ListFiles, adding_a_favourite_twice_keeps_one_and_always_rewrites) {
    list_info shown;
    shown.id = "PLx";
    shown.title = "Mix \"one\"";
    shown.owner_name = "Owner";
    shown.count_text = "12";
    shown.first_video_id = "first";
    ItemList favorites;
    favorites.append(playlist("PLa"), ITEM_TAG);
    EXPECT_EQ(favorites_add(favorites, shown, favorites_file), "");
    fs::remove(favorites_path);
    EXPECT_EQ(favorites_add(favorites, shown, favorites_file), "");
    EXPECT_EQ(ids(favorites), (std::vector<std::string>{"PLa", "PLx"}));
    ASSERT_TRUE(fs::exists(favorites_path));
    const list_item *added = favorites.last()->data;
    EXPECT_EQ(added->kind, ITEM_PLAYLIST);
    const std::pair<Text, Text> fields[] = {
        {added->title, "Mix \"one\""},     {added->channel_name, "Owner"},
        {added->channel_id, "unknown"},    {added->description, "unknown"},
        {added->length_text, "12 Videos"}, {added->label, "first"},
        {added->thumb_url, "https://i.ytimg.com/vi/first/mqdefault.jpg"}};
    for (const auto &[got, expected] : fields) EXPECT_EQ(got, expected);
    ItemList loaded;
    ASSERT_EQ(favorites_load(loaded, favorites_file), 2u);
    EXPECT_EQ(loaded.last()->data->title, Text("Mix \"one\""));
    // Without an id nothing is added; with only an id the rest are placeholders.
    list_info anonymous;
    EXPECT_EQ(favorites_add(favorites, anonymous, favorites_file), "");
    EXPECT_EQ(favorites.size(), 2u);
    anonymous.id = "PLe";
    list_item item = favorite_from_info(anonymous);
    EXPECT_EQ(item.length_text, Text("0 Videos"));
    EXPECT_EQ(item.label, Text("unknown"));
    EXPECT_EQ(item.thumb_url, Text("https://i.ytimg.com/vi//mqdefault.jpg"));
}

TEST_F(ListFiles, refreshing_replaces_in_place_and_always_rewrites) {
    ItemList favorites;
    favorites.append(playlist("PLa", "old a"), ITEM_TAG);
    favorites.append(playlist("PLb", "old b"), ITEM_TAG);
    list_info shown;
    shown.kind = LIST_PLAYLIST;
    shown.title = "new a";
    shown.count_text = "5";
    auto refresh = [&](uint32_t kind, const char *id) {
        fs::remove(favorites_path);
        shown.kind = kind;
        shown.id = id;
        EXPECT_EQ(favorites_refresh(favorites, shown, favorites_file), "");
        return fs::exists(favorites_path);
    };
    EXPECT_TRUE(refresh(LIST_PLAYLIST, "PLa"));
    EXPECT_EQ(ids(favorites), (std::vector<std::string>{"PLa", "PLb"}));
    EXPECT_EQ(favorites.first()->data->title, Text("new a"));
    EXPECT_EQ(favorites.first()->data->length_text, Text("5 Videos"));
    EXPECT_TRUE(refresh(LIST_PLAYLIST, "PLother")); // not a favourite: rewritten all the same
    EXPECT_EQ(favorites.size(), 2u);
    EXPECT_FALSE(refresh(LIST_SEARCH, "PLb")); // not a playlist: nothing
    EXPECT_EQ(favorites.last()->data->title, Text("old b"));
}

TEST_F(ListFiles, playing_the_same_video_twice_keeps_one_entry_at_the_front) {
    ItemList history;
    history_record(history, video("a", "A", 30), true, history_file);
    history_record(history, video("b", "B", 4000), true, history_file);
    history_record(history, video("a", "A again", 30), true, history_file);
    EXPECT_EQ(ids(history), (std::vector<std::string>{"a", "b"}));
    const list_item *front = history.first()->data;
    EXPECT_EQ(front->title, Text("A again"));
    EXPECT_EQ(front->length_text, Text("0:30"));
    EXPECT_EQ(front->published_text, Text(""));
    EXPECT_EQ(front->flags, 0u);
    ItemList loaded;
    ASSERT_EQ(history_load(loaded, history_file), 2u);
    EXPECT_EQ(ids(loaded), (std::vector<std::string>{"a", "b"}));
    // Duplicates in a hand-edited file all give way to the new entry.
    put(history_path, "[{\"type\": \"video\", \"id\": \"a\"}, {\"type\": \"video\", \"id\": "
                      "\"b\"}, {\"type\": \"video\", \"id\": \"a\"}]");
    ItemList edited;
    history_load(edited, history_file);
    history_record(edited, video("a", "A", 1), false, history_file);
    EXPECT_EQ(ids(edited), (std::vector<std::string>{"a", "b"}));
}

TEST_F(ListFiles, history_in_memory_watched_marks_and_copies) {
    ItemList history;
    history_record(history, video("a", "A", 1), false, history_file); // saving off
    history_record(history, list_item{}, true, history_file);         // no id: ignored
    history_record(history, video("c", "C", 1), false, history_file);
    EXPECT_EQ(history.size(), 2u);
    EXPECT_FALSE(fs::exists(history_path));
    ItemList results;
    for (const char *id : {"a", "b", "c", "a"}) {
        auto *item = new list_item{};
        item->id = id;
        results.append(item, ITEM_TAG);
    }
    results.append(new list_item{}, ITEM_TAG); // a row without id
    mark_watched(results, history);
    std::vector<uint32_t> flags;
    for (list_item *item : results) flags.push_back(item->flags);
    EXPECT_EQ(flags, (std::vector<uint32_t>{1, 0, 1, 1, 0}));
    ItemList shown;
    EXPECT_EQ(list_copy_entries(history, shown), 2u);
    EXPECT_EQ(ids(shown), (std::vector<std::string>{"c", "a"}));
    shown.clear(); // the copies are the shown list's own
    EXPECT_EQ(ids(history), (std::vector<std::string>{"c", "a"}));
}

// ---- Atomic replacement ----

// Runs `change` in a child process that cannot write into `folder` (its mode 0555; a child of
// root gives up root first, which writes anywhere) and returns what it printed.
std::string in_read_only_folder(const fs::path &folder, const std::function<std::string()> &change) {
    const uid_t nobody = 65534;
    bool root = geteuid() == 0;
    if (root && chown(folder.c_str(), nobody, nobody) != 0) return "chown failed";
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec |
                                fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    int out[2];
    if (pipe(out) != 0) return "pipe failed";
    pid_t child = fork();
    if (child == 0) {
        close(out[0]);
        if (root && (setgid(nobody) != 0 || setuid(nobody) != 0)) _exit(2);
        std::string text = change();
        if (write(out[1], text.data(), text.size()) < 0) _exit(3);
        _exit(0);
    }
    close(out[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    fs::permissions(folder, fs::perms::owner_all);
    if (root && chown(folder.c_str(), 0, 0) != 0) return "chown back failed";
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : "child failed";
}

// Files that did not read completely are kept as they are whatever the list does; files that
// cannot be written keep their old text, and the favourites do not show what the file lacks.
// Each case loads the file, then adds a favourite (or records a played video), and reads the
// status line's text.
TEST_F(ListFiles, damaged_and_unwritable_files_lose_nothing) {
    const std::string good = "[\n  {\"type\": \"playlist\", \"id\": \"PLa\", \"title\": \"A\"},\n"
                             "  {\"type\": \"playlist\", \"id\": \"PLb\", \"title\": \"B\"},\n"
                             "  null\n]\n";
    const std::string missing_comma =
        "[\n  {\"type\": \"playlist\", \"id\": \"PLa\", \"title\": \"A\"}\n"
        "  {\"type\": \"playlist\", \"id\": \"PLb\", \"title\": \"B\"},\n  null\n]\n";
    const std::string inner_comma = "[{\"type\": \"playlist\", \"id\": \"PLa\" \"title\": \"A\", "
                                    "\"escaped\": true}]";
    // Earlier versions wrote favourites' values as they were.
    const std::string unescaped = "[\n  {\"type\": \"playlist\", \"id\": \"PLq\", \"title\": \"a \"b\"\", "
                                  "\"thumb_id\": \"v\", \"count\": \"1 Videos\"},\n  null\n]\n";
    const std::string history_cut = "[{\"type\": \"video\", \"id\": \"v1\", \"duration\": 3}, {\"ty";
    const fs::path target = dir / "elsewhere" / "real.json";
    const std::string damaged_text = "favourites file damaged: " + favorites_path +
                                     " kept, changes not saved";
    constexpr size_t WHOLE = std::string::npos;
    enum Setup { TEXT, DIRECTORY, DIRECTORY_LATER, OVER_LIMIT, LINK, DANGLING_LINK, READ_ONLY, FULL };
    struct Case {
        const char *name;
        Setup setup;
        std::string text;
        std::vector<std::string> read; // entries read
        size_t stopped_at;             // where reading stopped in a damaged file
        std::string status;            // the status line after the change ("" when saved)
        bool history = false;
    } cases[] = {
        {"whole", TEXT, good, {"PLa", "PLb"}, WHOLE, ""},
        {"empty file", TEXT, "", {}, WHOLE, ""},
        {"bare brackets", TEXT, " [ ] \n", {}, WHOLE, ""},
        {"one missing comma", TEXT, missing_comma, {"PLa"},
         missing_comma.find("{\"type\": \"playlist\", \"id\": \"PLb\""), damaged_text},
        {"missing comma inside an entry", TEXT, inner_comma, {}, inner_comma.find("\"title"),
         damaged_text},
        {"quotes in a title of an earlier version", TEXT, unescaped, {"PLq"}, WHOLE, ""},
        {"cut after a member name", TEXT, good.substr(0, 80), {"PLa"}, 80, damaged_text},
        {"no closing bracket", TEXT, good.substr(0, good.size() - 2), {"PLa", "PLb"},
         good.size() - 2, damaged_text},
        {"text after the list", TEXT, good + "x", {"PLa", "PLb"}, good.size(), damaged_text},
        {"not a list", TEXT, "{\"type\": \"playlist\"}", {}, 0, damaged_text},
        {"a NUL byte", TEXT, std::string("[\n  null\0]", 10), {}, 8, damaged_text},
        {"history cut", TEXT, history_cut, {"v1"}, history_cut.rfind("\"ty"),
         "history file damaged: " + favorites_path + " kept, changes not saved", true},
        {"a directory", DIRECTORY, "", {}, 0, damaged_text},
        {"over the size limit", OVER_LIMIT, good, {}, 0, damaged_text},
        {"a symbolic link", LINK, good, {"PLa", "PLb"}, WHOLE, ""},
        {"a link to a file not made yet", DANGLING_LINK, "", {}, WHOLE, ""},
        {"a directory put in its place", DIRECTORY_LATER, good, {"PLa", "PLb"}, WHOLE,
         "could not save favourites: Is a directory"},
        {"a read-only folder", READ_ONLY, good, {"PLa", "PLb"}, WHOLE,
         "could not save favourites: Permission denied"},
        // The file size limit fails writes as a full disk does.
        {"a full disk", FULL, good, {"PLa", "PLb"}, WHOLE,
         "could not save favourites: File too large"},
        {"history on a full disk", FULL, "[{\"type\": \"video\", \"id\": \"v1\"}, null]", {"v1"},
         WHOLE, "could not save history: File too large", true},
    };
    list_info shown;
    shown.id = "PLnew";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir);
        fs::create_directories(target.parent_path());
        ListFile file{c.history ? "history" : "favourites", favorites_path};
        std::string old_text = c.text;
        if (c.setup == DIRECTORY) {
            fs::create_directories(favorites_path + "/inside");
        } else if (c.setup == LINK) {
            put(target.string(), c.text);
            fs::create_symlink(fs::path("elsewhere") / "real.json", favorites_path);
        } else if (c.setup == DANGLING_LINK) {
            fs::create_symlink(target, favorites_path);
        } else {
            put(favorites_path, c.text);
        }
        if (c.setup == OVER_LIMIT) fs::resize_file(favorites_path, LIST_FILE_SIZE_LIMIT + 1);

        ItemList list;
        testing::internal::CaptureStderr();
        if (c.history) history_load(list, file);
        else favorites_load(list, file);
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(ids(list), c.read);
        EXPECT_EQ(file.damaged, c.stopped_at != WHOLE);
        if (c.stopped_at != WHOLE) {
            EXPECT_NE(log.find(std::string("WARNING: ") + file.name + " file damaged: " +
                               favorites_path + ": reading stopped at byte " +
                               std::to_string(c.stopped_at)),
                      std::string::npos)
                << log;
        }

        auto change = [&] {
            return c.history ? history_record(list, video("v9", "t", 1), true, file)
                             : favorites_add(list, shown, file);
        };
        std::string status;
        testing::internal::CaptureStderr();
        if (c.setup == DIRECTORY_LATER) {
            fs::remove(favorites_path);
            fs::create_directories(favorites_path + "/inside");
        }
        if (c.setup == READ_ONLY) {
            status = in_read_only_folder(dir, [&] {
                std::string text = change();
                return text + "\n" + std::to_string(list.size());
            });
        } else if (c.setup == FULL) {
            struct rlimit limits;
            getrlimit(RLIMIT_FSIZE, &limits);
            auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
            struct rlimit small = limits;
            small.rlim_cur = 64;
            setrlimit(RLIMIT_FSIZE, &small);
            status = change();
            setrlimit(RLIMIT_FSIZE, &limits);
            std::signal(SIGXFSZ, old_handler);
        } else {
            status = change();
        }
        testing::internal::GetCapturedStderr();
        if (c.setup == READ_ONLY) {
            // The child's list: the favourite was taken out again.
            EXPECT_EQ(status, c.status + "\n" + std::to_string(c.read.size()));
            status = c.status;
        }
        EXPECT_EQ(status, c.status);

        std::string added = c.history ? "v9" : "PLnew";
        if (c.setup == DIRECTORY || c.setup == DIRECTORY_LATER) {
            EXPECT_TRUE(fs::is_directory(favorites_path + "/inside"));
        } else if (c.setup == OVER_LIMIT) {
            EXPECT_EQ(fs::file_size(favorites_path), LIST_FILE_SIZE_LIMIT + 1);
        } else if (c.status.empty()) {
            EXPECT_NE(slurp(favorites_path).find(added), std::string::npos);
        } else {
            EXPECT_EQ(slurp(favorites_path), old_text); // not a byte changed
        }
        if (c.setup == LINK || c.setup == DANGLING_LINK) {
            EXPECT_TRUE(fs::is_symlink(favorites_path));
            EXPECT_NE(slurp(target.string()).find(added), std::string::npos);
        }
        // A favourite the file lacks is not shown as added; a played video stays in memory for
        // the watched marks.
        if (c.setup != READ_ONLY) {
            EXPECT_EQ(list.size(), c.read.size() + (c.status.empty() || c.history ? 1 : 0));
        }
        for (const fs::path &d : {dir, target.parent_path()})
            for (const auto &entry : fs::directory_iterator(d))
                EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos);
    }
}

TEST_F(ListFiles, leftovers_of_interrupted_rewrites_go_at_the_next_start) {
    // A link to a file in another folder: the rewrite happens there, and so do its leftovers.
    fs::create_directory(dir / "real");
    fs::create_symlink(fs::path("real") / "favlist.json", favorites_path);
    put((dir / "real" / "favlist.json").string(), "[\n  null\n]\n");
    // Leftovers of ended processes (pid 999999999 is above any pid the kernel hands out) and of
    // this one; a live process's fresh file and names that only look alike stay.
    pid_t parent = getppid();
    const std::pair<std::string, bool> files[] = {
        {"favlist.json.tmp999999999", true},
        {"favlist.json.tmp" + std::to_string(getpid()), true},
        {"favlist.json.tmp" + std::to_string(parent), false},
        {"favlist.json.tmpx", false},
        {"favlist.json.tmp", false},
        {"history.json.tmp999999999", false},
    };
    for (const auto &[name, goes] : files) put((dir / "real" / name).string(), "[");
    ItemList list;
    testing::internal::CaptureStderr();
    EXPECT_EQ(favorites_load(list, favorites_file), 0u);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(favorites_file.damaged);
    for (const auto &[name, goes] : files) {
        SCOPED_TRACE(name);
        EXPECT_EQ(fs::exists(dir / "real" / name), !goes);
        EXPECT_EQ(log.find("INFO: removed the temporary file of an interrupted rewrite: " +
                           (dir / "real" / name).string() + "\n") != std::string::npos,
                  goes);
    }
    // An old leftover goes whatever its process.
    fs::path old = dir / "real" / ("favlist.json.tmp" + std::to_string(parent));
    fs::last_write_time(old, fs::file_time_type::clock::now() - std::chrono::hours(2));
    EXPECT_EQ(file_replace_cleanup(favorites_path), 1u);
    EXPECT_FALSE(fs::exists(old));
}

TEST_F(ListFiles, listing_dump) {
    std::string path = (dir / LISTING_DUMP_FILE).string();
    std::string body("{\"a\":1}\0tail", 12);
    EXPECT_TRUE(listing_dump(body, path.c_str()));
    EXPECT_EQ(slurp(path), body);
    EXPECT_TRUE(listing_dump("", path.c_str()));
    EXPECT_EQ(slurp(path), "");
    EXPECT_FALSE(listing_dump("x", (dir / "gone" / "listinfo.json").c_str()));
    // A full disk: the cut dump is removed rather than left behind.
    struct rlimit limits;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limits), 0);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = limits;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    testing::internal::CaptureStderr();
    bool written = listing_dump(std::string(100000, 'x'), path.c_str());
    std::string log = testing::internal::GetCapturedStderr();
    setrlimit(RLIMIT_FSIZE, &limits);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_FALSE(written);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_NE(log.find("cannot write listing dump: " + path + ": File too large, removed"),
              std::string::npos)
        << log;
}
