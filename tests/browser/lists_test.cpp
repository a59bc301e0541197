// The favourites and history files (escaping, old formats, atomic replacement), the lists kept
// in memory, and malformed files.
#include "browser/lists.h"
#include "base/runtime.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
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
    ASSERT_TRUE(favorites_save(favorites, favorites_path));
    std::string text = slurp(favorites_path);
    EXPECT_TRUE(valid_json_array(text)) << text;

    ItemList loaded;
    ASSERT_EQ(favorites_load(loaded, favorites_path), std::size(AWKWARD_TITLES));
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
    ASSERT_TRUE(favorites_save(loaded, favorites_path)); // saving what was read: the same file
    EXPECT_EQ(slurp(favorites_path), text);
}

TEST_F(ListFiles, favourites_of_the_unescaped_format_are_read_raw) {
    put(favorites_path, "[\n  {\"type\": \"playlist\", \"id\": \"PLa\", \"title\": \"AC\\DC \\n live\", "
                        "\"thumb_id\": \"v1\", \"count\": \"3 Videos\"},\n  {\"type\": \"playlist\", "
                        "\"id\": \"PLb\", \"title\": \"C:\\temp\"},\n  null\n]\n");
    ItemList favorites;
    ASSERT_EQ(favorites_load(favorites, favorites_path), 2u);
    EXPECT_EQ(favorites.first()->data->title, Text("AC\\DC \\n live"));
    EXPECT_EQ(favorites.first()->data->thumb_url, Text("https://i.ytimg.com/vi/v1/mqdefault.jpg"));
    // Rewritten in the escaped form, the titles survive a second round.
    ASSERT_TRUE(favorites_save(favorites, favorites_path));
    ItemList again;
    ASSERT_EQ(favorites_load(again, favorites_path), 2u);
    EXPECT_EQ(again.first()->data->title, Text("AC\\DC \\n live"));
    EXPECT_EQ(again.last()->data->title, Text("C:\\temp"));
}

// History titles lose quotes and backslashes (the old readers cannot unescape) but stay JSON.
TEST_F(ListFiles, history_round_trip) {
    ItemList history;
    for (const char *title : AWKWARD_TITLES)
        history.append(new list_item(video(title[0] ? "id" : "empty", title, 3725)), ITEM_TAG);
    ASSERT_TRUE(history_save(history, history_path));
    std::string text = slurp(history_path);
    EXPECT_TRUE(valid_json_array(text)) << text;
    EXPECT_NE(text.find("\"title\": \"He said  hi , then left\""), std::string::npos);

    ItemList loaded;
    ASSERT_EQ(history_load(loaded, history_path), std::size(AWKWARD_TITLES));
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

TEST_F(ListFiles, missing_and_odd_files_load_nothing) {
    ItemList list;
    EXPECT_EQ(favorites_load(list, (dir / "absent.json").string()), 0u);
    fs::create_directory(dir / "a_directory.json");
    EXPECT_EQ(history_load(list, (dir / "a_directory.json").string()), 0u);
    EXPECT_TRUE(list.empty());
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
    EXPECT_TRUE(favorites_add(favorites, shown, favorites_path));
    fs::remove(favorites_path);
    EXPECT_TRUE(favorites_add(favorites, shown, favorites_path));
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
    ASSERT_EQ(favorites_load(loaded, favorites_path), 2u);
    EXPECT_EQ(loaded.last()->data->title, Text("Mix \"one\""));
    // Without an id nothing is added; with only an id the rest are placeholders.
    list_info anonymous;
    EXPECT_FALSE(favorites_add(favorites, anonymous, favorites_path));
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
        favorites_refresh(favorites, shown, favorites_path);
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
    history_record(history, video("a", "A", 30), true, history_path);
    history_record(history, video("b", "B", 4000), true, history_path);
    history_record(history, video("a", "A again", 30), true, history_path);
    EXPECT_EQ(ids(history), (std::vector<std::string>{"a", "b"}));
    const list_item *front = history.first()->data;
    EXPECT_EQ(front->title, Text("A again"));
    EXPECT_EQ(front->length_text, Text("0:30"));
    EXPECT_EQ(front->published_text, Text(""));
    EXPECT_EQ(front->flags, 0u);
    ItemList loaded;
    ASSERT_EQ(history_load(loaded, history_path), 2u);
    EXPECT_EQ(ids(loaded), (std::vector<std::string>{"a", "b"}));
    // Duplicates in a hand-edited file all give way to the new entry.
    put(history_path, "[{\"type\": \"video\", \"id\": \"a\"}, {\"type\": \"video\", \"id\": "
                      "\"b\"}, {\"type\": \"video\", \"id\": \"a\"}]");
    ItemList edited;
    history_load(edited, history_path);
    history_record(edited, video("a", "A", 1), false, history_path);
    EXPECT_EQ(ids(edited), (std::vector<std::string>{"a", "b"}));
}

TEST_F(ListFiles, history_in_memory_watched_marks_and_copies) {
    ItemList history;
    history_record(history, video("a", "A", 1), false, history_path); // saving off
    history_record(history, list_item{}, true, history_path);         // no id: ignored
    history_record(history, video("c", "C", 1), false, history_path);
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

TEST_F(ListFiles, a_failed_rewrite_leaves_the_old_file) {
    ItemList favorites;
    favorites.append(playlist("PLa"), ITEM_TAG);
    ASSERT_TRUE(favorites_save(favorites, favorites_path));
    const std::string before = slurp(favorites_path);
    favorites.append(playlist("PLb"), ITEM_TAG);

    // The temporary file cannot be created.
    fs::path temp = favorites_path + ".tmp" + std::to_string(getpid());
    fs::create_directory(temp);
    EXPECT_FALSE(favorites_save(favorites, favorites_path));
    EXPECT_EQ(slurp(favorites_path), before);
    fs::remove(temp);
    // The directory does not exist.
    EXPECT_FALSE(favorites_save(favorites, (dir / "gone" / "favlist.json").string()));
    // The disk fills up in the middle of the write.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool saved_ok = favorites_save(favorites, favorites_path);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_FALSE(saved_ok);
    EXPECT_EQ(slurp(favorites_path), before);
    EXPECT_FALSE(fs::exists(temp));
    // Success replaces it, leaving no temporary file behind.
    ASSERT_TRUE(favorites_save(favorites, favorites_path));
    EXPECT_NE(slurp(favorites_path), before);
    EXPECT_EQ(files_in(dir), 1u);
}

TEST_F(ListFiles, a_rename_that_fails_removes_the_temporary_file) {
    fs::create_directories(dir / "target.json" / "inside");
    EXPECT_FALSE(file_replace((dir / "target.json").string(), "[]"));
    EXPECT_TRUE(fs::is_directory(dir / "target.json" / "inside"));
    EXPECT_EQ(files_in(dir), 1u);
}

TEST_F(ListFiles, listing_dump) {
    std::string path = (dir / LISTING_DUMP_FILE).string();
    std::string body("{\"a\":1}\0tail", 12);
    EXPECT_TRUE(listing_dump(body, path.c_str()));
    EXPECT_EQ(slurp(path), body);
    EXPECT_TRUE(listing_dump("", path.c_str()));
    EXPECT_EQ(slurp(path), "");
    EXPECT_FALSE(listing_dump("x", (dir / "gone" / "listinfo.json").c_str()));
}
