#include "browser/lists.h"
#include "base/runtime.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
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

    static std::string slurp(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static void put(const std::string &path, const std::string &text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::vector<std::string> ids(ItemList &list) {
        std::vector<std::string> out;
        for (list_item *item : list) out.push_back(item->id.value_or("<absent>"));
        return out;
    }
    static bool valid_json(const std::string &text) {
        rapidjson::Document doc;
        doc.Parse(text.c_str(), text.size());
        return !doc.HasParseError() && doc.IsArray();
    }
    static list_item *playlist(const char *id, const char *title, const char *count,
                               const char *first) {
        auto *item = new list_item{};
        item->kind = ITEM_PLAYLIST;
        item->id = id;
        item->title = title;
        item->length_text = count;
        item->label = first;
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
        v.description = "about";
        v.flags = ITEM_FLAG_WATCHED;
        return v;
    }

    fs::path dir;
    std::string favorites_path;
    std::string history_path;
};

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

TEST_F(ListFiles, favourites_round_trip_awkward_titles) {
    ItemList favorites;
    int n = 0;
    for (const char *title : AWKWARD_TITLES) {
        std::string id = "PL" + std::to_string(n++);
        favorites.append(playlist(id.c_str(), title, "7 Videos", "vid\"x"), ITEM_TAG);
    }
    ASSERT_TRUE(favorites_save(favorites, favorites_path));
    std::string text = slurp(favorites_path);
    EXPECT_TRUE(valid_json(text)) << text;

    ItemList loaded;
    ASSERT_EQ(favorites_load(loaded, favorites_path), std::size(AWKWARD_TITLES));
    std::vector<list_item *> read_back;
    for (list_item *item : loaded) read_back.push_back(item);
    size_t k = 0;
    for (list_item *out : favorites) {
        SCOPED_TRACE(*out->title);
        const list_item *in = read_back[k++];
        EXPECT_EQ(in->kind, ITEM_PLAYLIST);
        EXPECT_EQ(in->id, out->id);
        EXPECT_EQ(in->title, out->title);
        EXPECT_EQ(in->length_text, Text("7 Videos"));
        EXPECT_EQ(in->label, Text("vid\"x"));
        EXPECT_EQ(in->published_text, Text(""));
        EXPECT_EQ(in->thumb_url, Text("https://i.ytimg.com/vi/vid\"x/mqdefault.jpg"));
    }
    // Saving what was read gives the same file.
    ItemList again;
    favorites_load(again, favorites_path);
    ASSERT_TRUE(favorites_save(again, favorites_path));
    EXPECT_EQ(slurp(favorites_path), text);
}

TEST_F(ListFiles, favourites_of_the_unescaped_format_are_read_raw) {
    put(favorites_path,
        "[\n"
        "  {\"type\": \"playlist\", \"id\": \"PLa\", \"title\": \"AC\\DC \\n live\", "
        "\"thumb_id\": \"v1\", \"count\": \"3 Videos\"},\n"
        "  {\"type\": \"playlist\", \"id\": \"PLb\", \"title\": \"C:\\temp\", \"thumb_id\": "
        "\"v2\", \"count\": \"0 Videos\"},\n"
        "  null\n]\n");
    ItemList favorites;
    ASSERT_EQ(favorites_load(favorites, favorites_path), 2u);
    EXPECT_EQ(ids(favorites), (std::vector<std::string>{"PLa", "PLb"}));
    EXPECT_EQ((*favorites.begin())->title, Text("AC\\DC \\n live"));
    EXPECT_EQ((*favorites.begin())->thumb_url, Text("https://i.ytimg.com/vi/v1/mqdefault.jpg"));
    // Rewritten in the escaped form, the titles survive a second round.
    ASSERT_TRUE(favorites_save(favorites, favorites_path));
    ItemList again;
    ASSERT_EQ(favorites_load(again, favorites_path), 2u);
    EXPECT_EQ((*again.begin())->title, Text("AC\\DC \\n live"));
    EXPECT_EQ(again.after(again.first())->data->title, Text("C:\\temp"));
}

TEST_F(ListFiles, history_round_trip) {
    ItemList history;
    for (const char *title : AWKWARD_TITLES) {
        list_item v = video(title[0] ? "id" : "empty", title, 3725);
        history.append(new list_item(v), ITEM_TAG);
    }
    ASSERT_TRUE(history_save(history, history_path));
    std::string text = slurp(history_path);
    EXPECT_TRUE(valid_json(text)) << text;
    EXPECT_NE(text.find("\"title\": \"He said  hi , then left\""), std::string::npos);

    ItemList loaded;
    ASSERT_EQ(history_load(loaded, history_path), std::size(AWKWARD_TITLES));
    list_item *in = loaded.first()->data;
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

TEST_F(ListFiles, history_of_the_original_format_loads) {
    put(history_path, "[\n"
                      "  {\"type\": \"video\", \"id\": \"a1\", \"title\": \"First\", \"thumb_id\": "
                      "\"a1\", \"duration\": 59},\n"
                      "  {\"type\": \"video\", \"id\": \"b2\", \"title\": \"Second\", \"thumb_id\": "
                      "\"b2\", \"duration\": 3600},\n"
                      "  null\n]\n");
    ItemList history;
    ASSERT_EQ(history_load(history, history_path), 2u);
    EXPECT_EQ(ids(history), (std::vector<std::string>{"a1", "b2"}));
    EXPECT_EQ(history.first()->data->length_text, Text("0:59"));
    EXPECT_EQ(history.last()->data->length_text, Text("1:00:00"));
}

TEST_F(ListFiles, history_durations) {
    struct Case {
        const char *value;
        uint32_t duration;
        const char *text;
    } cases[] = {
        {"\"125\"", 0, "0:00"}, {"0x10", 16, "0:16"},  {"017", 15, "0:15"},
        {"true", 0, "0:00"},    {"-40", 0, "0:00"},    {"{}", 0, "0:00"},
        {"61.9", 61, "1:01"},   {"99999999999", UINT32_MAX, "1193046:28:15"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        std::string text = std::string("[{\"type\": \"video\", \"id\": \"x\", \"duration\": ") +
                           c.value + "}]";
        ItemList history;
        ASSERT_EQ(history_parse(history, text.c_str()), 1u);
        EXPECT_EQ(history.first()->data->duration, c.duration);
        EXPECT_EQ(history.first()->data->length_text, Text(c.text));
    }
}

TEST_F(ListFiles, saving_skips_entries_of_the_other_kind) {
    ItemList favorites;
    favorites.append(playlist("PL1", "t", "1 Videos", "v"), ITEM_TAG);
    auto *stray = new list_item(video("v1", "t", 1));
    favorites.append(stray, ITEM_TAG);
    EXPECT_EQ(favorites_text(favorites),
              "[\n  {\"type\": \"playlist\", \"id\": \"PL1\", \"title\": \"t\", \"thumb_id\": "
              "\"v\", \"count\": \"1 Videos\", \"escaped\": true},\n  null\n]\n");
    EXPECT_EQ(history_text(favorites),
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
        std::vector<std::string> got;
        for (list_item *item : favorites) got.push_back(item->id.value_or("<absent>"));
        EXPECT_EQ(got, c.favorites);
    }
    ItemList none;
    EXPECT_EQ(favorites_parse(none, nullptr), 0u);
}

TEST_F(ListFiles, missing_and_odd_files_load_nothing) {
    ItemList list;
    EXPECT_EQ(favorites_load(list, (dir / "absent.json").string()), 0u);
    fs::create_directory(dir / "a_directory.json");
    EXPECT_EQ(history_load(list, (dir / "a_directory.json").string()), 0u);
    put(favorites_path, "[\n  null\n]\n");
    EXPECT_EQ(favorites_load(list, favorites_path), 0u);
    EXPECT_TRUE(list.empty());
}

TEST_F(ListFiles, adding_a_favourite_twice_keeps_one) {
    list_info shown;
    shown.id = "PLx";
    shown.title = "Mix \"one\"";
    shown.owner_name = "Owner";
    shown.count_text = "12";
    shown.first_video_id = "first";
    ItemList favorites;
    favorites.append(playlist("PLa", "a", "1 Videos", "v"), ITEM_TAG);
    EXPECT_TRUE(favorites_add(favorites, shown, favorites_path));
    fs::remove(favorites_path);
    EXPECT_TRUE(favorites_add(favorites, shown, favorites_path));
    EXPECT_EQ(ids(favorites), (std::vector<std::string>{"PLa", "PLx"}));
    ASSERT_TRUE(fs::exists(favorites_path)); // rewritten by the second add too

    list_item *added = favorites.last()->data;
    EXPECT_EQ(added->kind, ITEM_PLAYLIST);
    EXPECT_EQ(added->title, Text("Mix \"one\""));
    EXPECT_EQ(added->channel_name, Text("Owner"));
    EXPECT_EQ(added->channel_id, Text("unknown"));
    EXPECT_EQ(added->description, Text("unknown"));
    EXPECT_EQ(added->length_text, Text("12 Videos"));
    EXPECT_EQ(added->label, Text("first"));
    EXPECT_EQ(added->thumb_url, Text("https://i.ytimg.com/vi/first/mqdefault.jpg"));

    ItemList loaded;
    ASSERT_EQ(favorites_load(loaded, favorites_path), 2u);
    EXPECT_EQ(loaded.last()->data->title, Text("Mix \"one\""));

    list_info anonymous;
    EXPECT_FALSE(favorites_add(favorites, anonymous, favorites_path));
    EXPECT_EQ(favorites.size(), 2u);
}

TEST_F(ListFiles, favourite_of_an_empty_info) {
    list_info shown;
    shown.id = "PLe";
    list_item item = favorite_from_info(shown);
    EXPECT_EQ(item.length_text, Text("0 Videos"));
    EXPECT_EQ(item.label, Text("unknown"));
    EXPECT_EQ(item.thumb_url, Text("https://i.ytimg.com/vi//mqdefault.jpg"));
    EXPECT_EQ(item.views_text, Text(""));
}

TEST_F(ListFiles, refreshing_replaces_in_place_and_always_rewrites) {
    ItemList favorites;
    favorites.append(playlist("PLa", "old a", "1 Videos", "v"), ITEM_TAG);
    favorites.append(playlist("PLb", "old b", "1 Videos", "v"), ITEM_TAG);
    list_info shown;
    shown.kind = LIST_PLAYLIST;
    shown.id = "PLa";
    shown.title = "new a";
    shown.count_text = "5";
    favorites_refresh(favorites, shown, favorites_path);
    EXPECT_EQ(ids(favorites), (std::vector<std::string>{"PLa", "PLb"}));
    EXPECT_EQ(favorites.first()->data->title, Text("new a"));
    EXPECT_EQ(favorites.first()->data->length_text, Text("5 Videos"));
    ASSERT_TRUE(fs::exists(favorites_path));

    fs::remove(favorites_path);
    shown.id = "PLother";
    favorites_refresh(favorites, shown, favorites_path);
    EXPECT_EQ(favorites.size(), 2u);
    EXPECT_TRUE(fs::exists(favorites_path));

    fs::remove(favorites_path);
    shown.kind = LIST_SEARCH;
    shown.id = "PLb";
    favorites_refresh(favorites, shown, favorites_path);
    EXPECT_EQ(favorites.last()->data->title, Text("old b"));
    EXPECT_FALSE(fs::exists(favorites_path));
}

TEST_F(ListFiles, playing_the_same_video_twice_keeps_one_entry_at_the_front) {
    ItemList history;
    history_record(history, video("a", "A", 30), true, history_path);
    history_record(history, video("b", "B", 4000), true, history_path);
    history_record(history, video("a", "A again", 30), true, history_path);
    EXPECT_EQ(ids(history), (std::vector<std::string>{"a", "b"}));
    list_item *front = history.first()->data;
    EXPECT_EQ(front->title, Text("A again"));
    EXPECT_EQ(front->length_text, Text("0:30"));
    EXPECT_EQ(front->published_text, Text(""));
    EXPECT_EQ(front->views_text, Text(""));
    EXPECT_EQ(front->flags, 0u);
    EXPECT_EQ(history.last()->data->length_text, Text("1:06:40"));

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

TEST_F(ListFiles, history_is_kept_in_memory_when_saving_is_off) {
    ItemList history;
    history_record(history, video("a", "A", 1), false, history_path);
    EXPECT_EQ(history.size(), 1u);
    EXPECT_FALSE(fs::exists(history_path));
    list_item anonymous;
    history_record(history, anonymous, true, history_path);
    EXPECT_EQ(history.size(), 1u);
    EXPECT_FALSE(fs::exists(history_path));
}

TEST_F(ListFiles, watched_marks_and_copies) {
    ItemList history;
    history_record(history, video("a", "A", 1), false, history_path);
    history_record(history, video("c", "C", 1), false, history_path);
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
    shown.clear();
    EXPECT_EQ(ids(history), (std::vector<std::string>{"c", "a"}));
}

// ---- Atomic replacement ----

TEST_F(ListFiles, a_failed_rewrite_leaves_the_old_file) {
    ItemList favorites;
    favorites.append(playlist("PLa", "a", "1 Videos", "v"), ITEM_TAG);
    ASSERT_TRUE(favorites_save(favorites, favorites_path));
    const std::string before = slurp(favorites_path);
    favorites.append(playlist("PLb", "b", "1 Videos", "v"), ITEM_TAG);

    // The temporary file cannot be created.
    fs::path temp = favorites_path + ".tmp" + std::to_string(getpid());
    fs::create_directory(temp);
    EXPECT_FALSE(favorites_save(favorites, favorites_path));
    EXPECT_EQ(slurp(favorites_path), before);
    fs::remove(temp);

    // The directory does not exist (nothing to keep, nothing made).
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
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator{}), 1);
}

TEST_F(ListFiles, a_rename_that_fails_removes_the_temporary_file) {
    fs::create_directories(dir / "target.json" / "inside");
    EXPECT_FALSE(file_replace((dir / "target.json").string(), "[]"));
    EXPECT_TRUE(fs::is_directory(dir / "target.json" / "inside"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator{}), 1);
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

} // namespace
