// The favourites and history files (escaping, old formats, damaged files) and the lists in memory.
#include "browser/lists.h"
#include "base/runtime.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <filesystem>

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
        return v;
    }

    fs::path dir;
    std::string favorites_path, history_path;
    ListFile favorites_file{"favourites"};
    ListFile history_file{"history"};
};

// The ids (or another field) of the entries, "<absent>" where an entry has none.
std::vector<std::string> ids(ItemList &list, Text list_item::*field = &list_item::id) {
    std::vector<std::string> out;
    for (list_item *item : list) out.push_back((item->*field).value_or("<absent>"));
    return out;
}

bool valid_json_array(const std::string &text) {
    rapidjson::Document doc;
    doc.Parse(text.c_str(), text.size());
    return !doc.HasParseError() && doc.IsArray();
}

const std::vector<std::string> AWKWARD_TITLES = {
    "plain",
    "He said \"hi\", then left",
    "back\\slash",
    "ends with a backslash\\",
    "\\\"",
    "tab\there, cr\rand\nnewline",
    "\\u0041 is not an escape here",
    "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e \xf0\x9f\x8e\xb5",
    "",
};

} // namespace

// Favourites are written escaped: every title survives a round trip byte for byte. History
// files stay JSON whatever the titles.
TEST_F(ListFiles, awkward_titles_round_trip) {
    ItemList favorites, history;
    int n = 0;
    for (const std::string &title : AWKWARD_TITLES) {
        favorites.append(playlist(("PL" + std::to_string(n++)).c_str(), title.c_str()), ITEM_TAG);
        history.append(new list_item(video(title.empty() ? "empty" : "id", title.c_str(), 3725)),
                       ITEM_TAG);
    }
    ASSERT_EQ(favorites_save(favorites, favorites_file), "");
    ASSERT_EQ(history_save(history, history_file), "");
    std::string text = read_file(favorites_path);
    EXPECT_TRUE(valid_json_array(text)) << text;
    EXPECT_TRUE(valid_json_array(read_file(history_path))) << read_file(history_path);

    ItemList loaded;
    ASSERT_EQ(favorites_load(loaded, favorites_file), AWKWARD_TITLES.size());
    EXPECT_EQ(ids(loaded, &list_item::title), AWKWARD_TITLES);
    EXPECT_EQ(ids(loaded), ids(favorites));
    EXPECT_EQ(loaded.first()->data->thumb_url, Text("https://i.ytimg.com/vi/vid\"x/mqdefault.jpg"));
    ASSERT_EQ(favorites_save(loaded, favorites_file), ""); // saving what was read: the same file
    EXPECT_EQ(read_file(favorites_path), text);

    ItemList played;
    ASSERT_EQ(history_load(played, history_file), AWKWARD_TITLES.size());
    const list_item *in = played.first()->data;
    EXPECT_EQ(in->kind, ITEM_VIDEO);
    EXPECT_EQ(in->length_text, Text("1:02:05"));
    EXPECT_EQ(in->thumb_url, Text("https://i.ytimg.com/vi/id/mqdefault.jpg"));

    // Each file keeps only entries of its kind, in the format the old readers know.
    ItemList mixed;
    mixed.append(playlist("PL1"), ITEM_TAG);
    mixed.append(new list_item(video("v1", "t", 1)), ITEM_TAG);
    EXPECT_EQ(favorites_text(mixed),
              "[\n  {\"type\": \"playlist\", \"id\": \"PL1\", \"title\": \"t\", \"thumb_id\": "
              "\"vid\\\"x\", \"count\": \"7 Videos\", \"escaped\": true},\n  null\n]\n");
}

TEST(list_files_malformed, entries_and_durations) {
    struct Case {
        const char *text;
        std::vector<std::string> favorites;
    } cases[] = {
        {"{\"type\": \"playlist\", \"id\": \"a\"}", {}},
        {" \r\n\t[{\"type\": \"playlist\", \"id\": \"a\"}]", {"a"}},
        {"[{\"type\": \"playlist\", \"id\": \"a\"}, 5, {\"type\": \"playlist\", \"id\": \"b\"}]",
         {"a"}},
        {"[{\"type\": \"video\", \"id\": \"v\"}, {\"type\": \"playlist\", \"id\": \"b\"}]", {"b"}},
        {"[{\"type\": \"playlist\", \"id\": 7, \"title\": null}]", {"<absent>"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        ItemList favorites;
        favorites_parse(favorites, c.text);
        EXPECT_EQ(ids(favorites), c.favorites);
    }
    struct Duration {
        const char *value;
        uint32_t duration;
        const char *text;
    } durations[] = {
        {"\"125\"", 0, "0:00"}, {"0x10", 16, "0:16"}, {"99999999999", UINT32_MAX, "1193046:28:15"},
    };
    for (const Duration &d : durations) {
        SCOPED_TRACE(d.value);
        std::string text = std::string("[{\"type\": \"video\", \"id\": \"x\", \"duration\": ") +
                           d.value + "}, null]";
        ItemList history;
        ASSERT_EQ(history_parse(history, text.c_str()), 1u);
        EXPECT_EQ(history.first()->data->duration, d.duration);
        EXPECT_EQ(history.first()->data->length_text, Text(d.text));
    }
}

TEST_F(ListFiles, adding_a_favourite_keeps_one_each_and_always_rewrites) {
    list_info shown;
    shown.kind = LIST_PLAYLIST;
    shown.id = "PLx";
    shown.title = "Mix \"one\"";
    shown.owner_name = "Owner";
    shown.count_text = "12";
    shown.first_video_id = "first";
    ItemList favorites;
    favorites.append(playlist("PLa", "old a"), ITEM_TAG);
    EXPECT_EQ(favorites_add(favorites, shown, favorites_file), "");
    fs::remove(favorites_path);
    EXPECT_EQ(favorites_add(favorites, shown, favorites_file), ""); // twice: one entry
    EXPECT_EQ(ids(favorites), (std::vector<std::string>{"PLa", "PLx"}));
    const list_item *added = favorites.last()->data;
    EXPECT_EQ(added->channel_name, Text("Owner"));
    EXPECT_EQ(added->length_text, Text("12 Videos"));
    EXPECT_EQ(added->thumb_url, Text("https://i.ytimg.com/vi/first/mqdefault.jpg"));
    ItemList loaded; // rewritten although the file was gone
    EXPECT_EQ(favorites_load(loaded, favorites_file), 2u);
}

TEST_F(ListFiles, history_keeps_one_entry_per_video_newest_first) {
    ItemList history;
    history_record(history, video("a", "A", 30), true, history_file);
    history_record(history, video("b", "B", 4000), true, history_file);
    history_record(history, video("a", "A again", 30), true, history_file);
    history_record(history, list_item{}, true, history_file); // no id: ignored
    EXPECT_EQ(ids(history), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(history.first()->data->title, Text("A again"));
    ItemList loaded;
    ASSERT_EQ(history_load(loaded, history_file), 2u);
    EXPECT_EQ(ids(loaded), (std::vector<std::string>{"a", "b"}));
    // Duplicates in a hand-edited file all give way to the new entry; with saving off the
    // file stays as it is.
    write_file(history_path, "[{\"type\": \"video\", \"id\": \"a\"}, {\"type\": \"video\", \"id\": "
                      "\"b\"}, {\"type\": \"video\", \"id\": \"a\"}]");
    std::string edited = read_file(history_path);
    ItemList read;
    history_load(read, history_file);
    history_record(read, video("a", "A", 1), false, history_file);
    EXPECT_EQ(ids(read), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(read_file(history_path), edited);
}

// A file that did not read completely is kept as it is whatever the list does, and the favourites
// do not show what the file lacks. Each case loads, then adds a favourite or records a video.
TEST_F(ListFiles, damaged_files_lose_nothing) {
    const std::string good = "[\n  {\"type\": \"playlist\", \"id\": \"PLa\", \"title\": \"A\"},\n"
                             "  {\"type\": \"playlist\", \"id\": \"PLb\", \"title\": \"B\"},\n"
                             "  null\n]\n";
    const std::string missing_comma =
        "[\n  {\"type\": \"playlist\", \"id\": \"PLa\", \"title\": \"A\"}\n"
        "  {\"type\": \"playlist\", \"id\": \"PLb\", \"title\": \"B\"},\n  null\n]\n";
    // Earlier versions wrote favourites' values as they were.
    const std::string unescaped = "[\n  {\"type\": \"playlist\", \"id\": \"PLq\", \"title\": \"a \"b\"\", "
                                  "\"thumb_id\": \"v\", \"count\": \"1 Videos\"},\n  null\n]\n";
    const std::string history_cut = "[{\"type\": \"video\", \"id\": \"v1\", \"duration\": 3}, {\"ty";
    const std::string damaged = "favourites file damaged: " + favorites_path +
                                " kept, changes not saved";
    constexpr size_t WHOLE = std::string::npos;
    struct Case {
        const char *name;
        std::string text;
        std::vector<std::string> read; // entries read
        size_t stopped_at;             // where reading stopped in a damaged file
        std::string status;            // the status line after the change ("" when saved)
        bool history = false;
    } cases[] = {
        {"whole", good, {"PLa", "PLb"}, WHOLE, ""},
        {"one missing comma", missing_comma, {"PLa"},
         missing_comma.find("{\"type\": \"playlist\", \"id\": \"PLb\""), damaged},
        {"quotes in a title of an earlier version", unescaped, {"PLq"}, WHOLE, ""},
        {"text after the list", good + "x", {"PLa", "PLb"}, good.size(), damaged},
        {"history cut", history_cut, {"v1"}, history_cut.rfind("\"ty"),
         "history file damaged: " + favorites_path + " kept, changes not saved", true},
    };
    list_info shown;
    shown.id = "PLnew";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ListFile file{c.history ? "history" : "favourites", favorites_path};
        write_file(favorites_path, c.text);

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
        testing::internal::CaptureStderr();
        EXPECT_EQ(change(), c.status);
        testing::internal::GetCapturedStderr();

        if (c.status.empty())
            EXPECT_NE(read_file(favorites_path).find(c.history ? "v9" : "PLnew"), std::string::npos);
        else
            EXPECT_EQ(read_file(favorites_path), c.text); // not a byte changed
        // A favourite the file lacks is not shown as added; a played video stays in memory for
        // the watched marks.
        EXPECT_EQ(list.size(), c.read.size() + (c.status.empty() || c.history ? 1 : 0));
        for (const auto &entry : fs::directory_iterator(dir))
            EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos);
    }
}

