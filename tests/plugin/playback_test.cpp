#include "plugin/playback.h"
#include "support/fake_mpv.h"

#include "base/host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>

using fakehost::Command;

namespace {

std::string chapter(const char *start, const char *end, const char *title) {
    return std::string("[CHAPTER]\nTIMEBASE=1/1000\nSTART=") + start + "\nEND=" + end +
           "\ntitle=" + title + "\n";
}

TEST(chapters, line_timestamps) {
    struct Case {
        const char *line;
        bool found;
        int64_t seconds;
        const char *title;
    } cases[] = {
        {"0:00 Intro", true, 0, "Intro"},           {"1:02:03 - Part two", true, 3723, "Part two"},
        {"  3:05 ~ Indented", true, 185, "Indented"}, {"12:34|Bar", true, 754, "Bar"},
        {"10:00 - Title - with dashes", true, 600, "Title - with dashes"},
        {"Intro - 0:00", true, 0, "Intro"},         {"Intro 1:30", true, 90, "Intro"},
        {"Outro 1:02:03", true, 3723, "Outro"},     {"Credits 4:05 ", true, 245, "Credits"},
        {"Part2 1:30", true, 90, "Part"}, // the first character of a trailing run is the separator
        {"0:00Intro", false, 0, ""},  {"Just words", false, 0, ""}, {"Chapter 5", false, 0, ""},
        {"12345", false, 0, ""},      {"5 things: list", false, 0, ""}, {"1:", false, 0, ""},
        {":", false, 0, ""},          {"a", false, 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        int64_t seconds = -99;
        std::string title;
        ASSERT_EQ(chapter_line_timestamp(c.line, seconds, title), c.found);
        if (!c.found) continue;
        EXPECT_EQ(seconds, c.seconds);
        EXPECT_EQ(title, c.title);
    }
}

TEST(chapters, text_from_description_and_segments) {
    const std::string H = FFMETADATA_HEADER, S = SPONSOR_CHAPTER_TITLE;
    struct Case {
        const char *name, *description, *segments;
        uint32_t duration;
        std::string expected;
    } cases[] = {
        {"leading timestamps up to the duration", "0:00 Intro\n1:02:03 - Part two\n", nullptr, 4000,
         H + chapter("0", "3723000", "Intro") + chapter("3723000", "4000000", "Part two")},
        {"lines without timestamps skipped",
         "Welcome!\n\n\nIntro - 0:00\nsome words\n\nEnd 2:00\nThanks for watching", nullptr, 150,
         H + chapter("0", "120000", "Intro") + chapter("120000", "150000", "End")},
        {"negative timestamps neither open nor close", "0:00 A\n-1:00 Back\n1:00 B", nullptr, 100,
         H + chapter("0", "60000", "A") + chapter("60000", "100000", "B")},
        // Each chapter ends where the next in time begins, whatever the order of the lines.
        {"out of order sorted by start", "5:00 B\n0:00 A\n", nullptr, 600,
         H + chapter("0", "300000", "A") + chapter("300000", "600000", "B")},
        // B runs past the end and C starts after it: both are kept inside the video. The
        // reversed segment marks nothing; the one past the end stops at the end.
        {"past the end and reversed", "0:00 A\n0:50 B\nC 2:00", R"([{"segment":[30,20]},{"segment":[90,120]}])", 100,
         H + chapter("0", "50000", "A") + chapter("50000", "100000", "B") +
             chapter("90000", "100000", S.c_str()) + chapter("100000", "100000", "") +
             chapter("100000", "100000", "") + chapter("100000", "100000", "C")},
        {"no duration: the last chapter ends at its start", "0:00 A\n1:00 B", nullptr, 0,
         H + chapter("0", "60000", "A") + chapter("60000", "60000", "B")},
        // A (0-0, closed by B) is made before B (0-10).
        {"equal starts newest first", "0:00 A\n0:00 B\n0:10 C", nullptr, 20,
         H + chapter("0", "10000", "B") + chapter("0", "0", "A") + chapter("10000", "20000", "C")},
        {"titles cleaned of metadata syntax", "0:00 a=b;c#d\\e", nullptr, 5,
         H + chapter("0", "5000", "a b c d e")},
        {"sponsor segments", nullptr,
         R"([{"segment":[10,20],"UUID":"a"},{"segment":[40,50],"category":"x"}])", 100,
         H + chapter("10000", "20000", S.c_str()) + chapter("20000", "20001", "") +
             chapter("40000", "50000", S.c_str()) + chapter("50000", "100000", "") +
             chapter("50000", "50001", "")},
        {"segments join description chapters", "0:00 Intro\n0:30 Main", " [{\"segment\":[5.5,12.25]}]", 60,
         H + chapter("0", "30000", "Intro") + chapter("5500", "12250", S.c_str()) +
             chapter("12250", "60000", "") + chapter("12250", "12251", "") +
             chapter("30000", "60000", "Main")},
        {"nothing", nullptr, nullptr, 100, H},
        {"no timestamps", "no timestamps here\n", nullptr, 100, H},
        {"empty segments", "", "[]", 100, H},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(chapters_text(c.description, c.segments, c.duration), c.expected);
    }
}

TEST(chapters, long_titles_are_cut_without_splitting_a_character) {
    std::string line = "0:00 " + std::string(254, 'x') + "\xc3\xa9" + "tail";
    std::string text = chapters_text(line.c_str(), nullptr, 1);
    EXPECT_EQ(text, std::string(FFMETADATA_HEADER) +
                        chapter("0", "1000", std::string(254, 'x').c_str()));
    // A trailing timestamp beyond the line limit is not seen.
    std::string long_line = std::string(600, 'y') + " 1:00";
    int64_t seconds = 0;
    std::string title;
    EXPECT_FALSE(chapter_line_timestamp(long_line, seconds, title));
}

TEST(chapters_malformed, segments) {
    struct Case {
        const char *segments;
        std::string expected;
    } cases[] = {
        {"", FFMETADATA_HEADER},
        {"{\"segment\":[1,2]}", FFMETADATA_HEADER},
        {"Not Found", FFMETADATA_HEADER},
        {"[", FFMETADATA_HEADER},
        {"[1,]", std::string(FFMETADATA_HEADER) + chapter("0", "100000", "") +
                     chapter("0", "1", "") + chapter("0", "0", SPONSOR_CHAPTER_TITLE)},
        {"[null]", std::string(FFMETADATA_HEADER) + chapter("0", "100000", "") +
                       chapter("0", "1", "") + chapter("0", "0", SPONSOR_CHAPTER_TITLE)},
        {R"([{"segment":["a",5]}])", std::string(FFMETADATA_HEADER) +
                                         chapter("0", "5000", SPONSOR_CHAPTER_TITLE) +
                                         chapter("5000", "100000", "") + chapter("5000", "5001", "")},
        {R"([{"segment":[1e999,2]}])", std::string(FFMETADATA_HEADER) +
                                           chapter("0", "2000", SPONSOR_CHAPTER_TITLE) +
                                           chapter("2000", "100000", "") +
                                           chapter("2000", "2001", "")},
        {R"([{"segment":[-1e300,1e306]}])",
         std::string(FFMETADATA_HEADER) + chapter("0", "100000", SPONSOR_CHAPTER_TITLE) +
             chapter("100000", "100000", "") + chapter("100000", "100000", "")},
        {R"([{"segment":[1,2]},)", std::string(FFMETADATA_HEADER) +
                                       chapter("1000", "2000", SPONSOR_CHAPTER_TITLE) +
                                       chapter("2000", "100000", "") + chapter("2000", "2001", "")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.segments);
        EXPECT_EQ(chapters_text(nullptr, c.segments, 100), c.expected);
    }
}

// ---- Launch ----

class Launch : public ::testing::Test {
protected:
    void SetUp() override {
        fakehost::reset();
        host_set(fakehost::handle());
        video = list_item{};
        streams = stream_choice{};
        queued = playing = false;
        video.id = "vid12345678";
        video.title = "A \"title\", with=commas";
        video.description = "0:00 Start\n0:05 End";
        video.duration = 10;
        streams.video_url = "https://rr1---sn-a.googlevideo.com/video";
        streams.audio_url = "https://rr1---sn-a.googlevideo.com/audio";
        streams.sub_url = "https://www.youtube.com/api/timedtext?lang=en";
    }
    void TearDown() override { host_set(nullptr); }

    std::vector<Command> play(bool hls_quality_names = false, const char *segments = nullptr) {
        play_current(settings, PlaybackFlags{queued, playing}, video, streams, segments,
                     hls_quality_names);
        return fakehost::commands();
    }
    static const Command *find(const std::vector<Command> &commands, const std::string &first) {
        for (const Command &c : commands)
            if (!c.empty() && c[0] == first) return &c;
        return nullptr;
    }
    static std::string entry(const Command &c, const std::string &key) {
        for (const std::string &e : c)
            if (e.compare(0, key.size() + 1, key + "=") == 0) return e.substr(key.size() + 1);
        return "<missing>";
    }

    PlaybackSettings settings;
    list_item video;
    stream_choice streams;
    bool queued = false;
    bool playing = false;
};

TEST_F(Launch, separate_streams_send_the_exact_sequence) {
    settings.generate_chapters = true;
    std::vector<Command> commands = play();
    std::string chapters = "memory://" + std::string(FFMETADATA_HEADER) +
                           chapter("0", "5000", "Start") + chapter("5000", "10000", "End");
    std::vector<Command> expected = {
        {"name=loadfile", "url=https://rr1---sn-a.googlevideo.com/video", "flags=replace", "options.ytdl=no",
         "options.audio-files-clr=", "options.sub-files-clr=", "options.msg-level=ffmpeg=fatal",
         "options.stream-lavf-o=http_seekable=0,headers=accept-encoding:gzip,request_size=10485760",
         "options.chapters-file=" + chapters,
         "options.force-media-title=A \"title\", with=commas",
         "options.audio-files-append=https://rr1---sn-a.googlevideo.com/audio",
         "options.sub-files-append=https://www.youtube.com/api/timedtext?lang=en"},
        {"script-message", "solfb-hide"},
    };
    EXPECT_EQ(commands, expected);
    EXPECT_FALSE(queued);
    EXPECT_TRUE(playing);
}

TEST_F(Launch, decisions) {
    enum Load { VIDEO_WITH_AUDIO, VIDEO_ALONE, EDL, MANIFEST, WATCH };
    struct Case {
        const char *name;
        PlaybackSettings settings;
        uint32_t duration;
        bool video, audio, hls, quality_names;
        Load load;
        bool warning;
    } cases[] = {
        {"plain separate", {}, 10, true, true, false, false, VIDEO_WITH_AUDIO, false},
        {"edl", {.use_edl = true}, 10, true, true, false, false, EDL, false},
        {"edl needs audio", {.use_edl = true}, 10, true, false, false, false, VIDEO_ALONE, false},
        {"edl needs a duration", {.use_edl = true}, 0, true, true, true, false, VIDEO_WITH_AUDIO, false},
        {"muxed format plays alone", {.use_edl = true, .video_format = "720"}, 10, true, true,
         false, false, VIDEO_ALONE, false},
        {"no audio stream", {}, 10, true, false, false, false, VIDEO_ALONE, false},
        {"full manifest with hls", {.use_full_manifest = true, .use_hls = true}, 10, true, true,
         true, false, MANIFEST, false},
        {"full manifest for a live stream", {.use_full_manifest = true}, 0, true, false, true,
         false, MANIFEST, false},
        {"full manifest needs hls streams", {.use_full_manifest = true}, 10, true, true, true,
         false, VIDEO_WITH_AUDIO, false},
        {"full manifest needs a manifest", {.use_full_manifest = true, .use_hls = true}, 10, true,
         true, false, false, VIDEO_WITH_AUDIO, false},
        // With quality names the HLS name of 1080p60 is a muxed stream.
        {"hls quality names", {.use_hls = true}, 10, true, true, true, true, VIDEO_ALONE, false},
        {"hls without quality names", {.use_hls = true}, 10, true, true, true, false,
         VIDEO_WITH_AUDIO, false},
        {"quality names ignored for separate streams", {.use_edl = true}, 10, true, true, true,
         true, EDL, false},
        {"ytdl extractor", {.use_edl = true, .ytdl_fallback = true}, 10, true, true, false, false,
         WATCH, false},
        {"ytdl extractor without streams", {.ytdl_fallback = true}, 10, false, false, false, false,
         WATCH, false},
        {"missing video stream falls back", {.use_full_manifest = true, .use_hls = true}, 10,
         false, true, true, false, WATCH, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        settings = c.settings;
        video.duration = c.duration;
        if (!c.video) streams.video_url.reset();
        if (!c.audio) streams.audio_url.reset();
        if (c.hls) streams.hls_url = "https://manifest.googlevideo.com/master.m3u8";
        std::vector<Command> commands = play(c.quality_names);

        const Command *warning = find(commands, "print-text");
        EXPECT_EQ(warning != nullptr, c.warning);
        if (warning) {
            EXPECT_EQ(*warning, (Command{"print-text",
                                         "warning: not yet supported format, fallback to ytdl"}));
            EXPECT_EQ(commands[1][0], "name=loadfile");
        }
        // Nothing is set globally: the load is the only command before "solfb-hide".
        EXPECT_EQ(find(commands, "set"), nullptr);
        EXPECT_EQ(find(commands, "change-list"), nullptr);
        const Command *load = find(commands, "name=loadfile");
        ASSERT_NE(load, nullptr);
        EXPECT_EQ(entry(*load, "options.ytdl"), c.load == WATCH ? "yes" : "no");
        ASSERT_EQ(load->size(), 12u);
        std::string url = entry(*load, "url");
        const std::string sub = "https://www.youtube.com/api/timedtext?lang=en";
        switch (c.load) {
        case VIDEO_WITH_AUDIO:
            EXPECT_EQ(url, "https://rr1---sn-a.googlevideo.com/video");
            EXPECT_EQ((*load)[10], "options.audio-files-append=https://rr1---sn-a.googlevideo.com/audio");
            EXPECT_EQ((*load)[11], "options.sub-files-append=" + sub);
            break;
        case EDL:
            EXPECT_EQ(url, edl_url(*video.title, "https://rr1---sn-a.googlevideo.com/video",
                                   "https://rr1---sn-a.googlevideo.com/audio"));
            break;
        case VIDEO_ALONE: EXPECT_EQ(url, "https://rr1---sn-a.googlevideo.com/video"); break;
        case MANIFEST: EXPECT_EQ(url, "https://manifest.googlevideo.com/master.m3u8"); break;
        case WATCH: EXPECT_EQ(url, "https://www.youtube.com/watch?v=vid12345678"); break;
        }
        if (c.load != VIDEO_WITH_AUDIO) {
            EXPECT_EQ((*load)[10], "options.sub-files-append=" + sub);
            EXPECT_EQ((*load)[11], "options.sub-files-append=");
        }
        EXPECT_EQ(entry(*load, "options.force-media-title"), *video.title);
        EXPECT_EQ(commands.back(), (Command{"script-message", "solfb-hide"}));
        EXPECT_TRUE(playing);
    }
}

// Every address the service names goes through the same gate, whichever part of the load it
// is: none of these may reach the player, and the refusal names the scheme and host.
TEST_F(Launch, only_the_services_https_hosts_reach_the_player) {
    setenv("SOLVANE_RESOLVE", "www.youtube.com:443:127.0.0.1:4443", 1);
    struct Case {
        const char *url;
        bool allowed;
        const char *detail; // "scheme S, host H" of a refused address
    } cases[] = {
        {"/etc/passwd", false, "scheme none, host none"},
        {"video.mp4", false, "scheme none, host none"},
        {"../../.ssh/id_rsa", false, "scheme none, host none"},
        {"file:///etc/passwd", false, "scheme file, host none"},
        {"av://lavfi:movie=/etc/passwd", false, "scheme av, host lavfi:movie="},
        {"lavfi:movie=/etc/passwd", false, "scheme lavfi, host none"},
        {"edl:///etc/passwd", false, "scheme edl, host none"},
        {"memory://WEBVTT", false, "scheme memory, host WEBVTT"},
        {"http://rr1---sn-a.googlevideo.com/videoplayback", false,
         "scheme http, host rr1---sn-a.googlevideo.com"},
        {"https://evil.example/videoplayback", false, "scheme https, host evil.example"},
        {"HTTPS://evil.example/", false, "scheme https, host evil.example"},
        {"https://evilgooglevideo.com/x", false, "scheme https, host evilgooglevideo.com"},
        {"https://googlevideo.com.evil.example/x", false,
         "scheme https, host googlevideo.com.evil.example"},
        {"https://rr1---sn-a.googlevideo.com@evil.example/x", false,
         "scheme https, host rr1---sn-a.googlevideo.com@evil.example"},
        {"https://rr1---sn-a.googlevideo.com:8443/x", false,
         "scheme https, host rr1---sn-a.googlevideo.com:8443"},
        {"https://rr1---sn-a.googlevideo.com/x\nfile:///etc/passwd", false,
         "scheme https, host rr1---sn-a.googlevideo.com"},
        {"https://127.0.0.1:4444/media/video.mp4", false, "scheme https, host 127.0.0.1:4444"},
        {"https://rr3---sn-hgn7ynek.googlevideo.com/videoplayback?expire=1&itag=140", true, ""},
        {"https://manifest.googlevideo.com/api/manifest/hls_variant/x/file/index.m3u8", true, ""},
        {"https://www.youtube.com/api/timedtext?v=x&fmt=vtt", true, ""},
        {"https://s.youtube.com/api/timedtext?v=x", true, ""},
        {"https://YouTube.com:443/x", true, ""},
        // Test servers routed by SOLVANE_RESOLVE stand in for the service.
        {"https://127.0.0.1:4443/media/video.mp4", true, ""},
    };
    enum Slot { VIDEO, AUDIO_IN_EDL, CAPTION, MANIFEST };
    const char *slot_names[] = {"video", "audio", "caption", "manifest"};
    for (const Case &c : cases) {
        for (Slot slot : {VIDEO, AUDIO_IN_EDL, CAPTION, MANIFEST}) {
            SCOPED_TRACE(testing::Message() << c.url << " as " << slot_names[slot]);
            SetUp();
            settings.use_edl = slot == AUDIO_IN_EDL;
            settings.use_full_manifest = settings.use_hls = slot == MANIFEST;
            Text *target[] = {&streams.video_url, &streams.audio_url, &streams.sub_url,
                              &streams.hls_url};
            *target[slot] = c.url;
            testing::internal::CaptureStderr();
            std::optional<std::string> refused = play_current(
                settings, PlaybackFlags{queued, playing}, video, streams, nullptr, false);
            std::string log = testing::internal::GetCapturedStderr();
            bool sent = false;
            for (const Command &command : fakehost::commands())
                for (const std::string &word : command)
                    sent = sent || word.find(c.url) != std::string::npos;
            EXPECT_EQ(sent, c.allowed);
            EXPECT_EQ(playing, c.allowed);
            if (c.allowed) {
                EXPECT_FALSE(refused);
                continue;
            }
            EXPECT_TRUE(fakehost::commands().empty());
            EXPECT_EQ(refused.value_or(""), std::string("play failed: ") + slot_names[slot] +
                                                " URL refused (" + c.detail + ")");
            EXPECT_NE(log.find(std::string("WARNING: refused ") + slot_names[slot] +
                               " URL: " + c.detail),
                      std::string::npos)
                << log;
        }
    }
    unsetenv("SOLVANE_RESOLVE");

    // The ytdl hook is handed only a watch page built from an id of the video-id shape.
    for (const char *id : {"M4gD1WSo5mA", "x&ytdl_path=/bin/sh", "../../etc/passwd", ""}) {
        SCOPED_TRACE(id);
        SetUp();
        settings.ytdl_fallback = true;
        video.id = id;
        testing::internal::CaptureStderr();
        std::optional<std::string> refused =
            play_current(settings, PlaybackFlags{queued, playing}, video, streams, nullptr, false);
        testing::internal::GetCapturedStderr();
        bool good = std::string(id) == "M4gD1WSo5mA";
        EXPECT_EQ(!refused, good);
        const Command *load = find(fakehost::commands(), "name=loadfile");
        EXPECT_EQ(load != nullptr, good);
        if (load) {
            EXPECT_EQ(entry(*load, "url"), "https://www.youtube.com/watch?v=M4gD1WSo5mA");
        }
    }
}

TEST_F(Launch, edl_fields_carry_their_byte_lengths) {
    EXPECT_EQ(edl_url("T;x", "v,1", "a"),
              "edl://!global_tags,title=%3%T;x;!no_chapters;%3%v,1;!new_stream;!no_chapters;%1%a");
    EXPECT_EQ(edl_url("\xc3\xa9", "", "a"),
              "edl://!global_tags,title=%2%\xc3\xa9;!no_chapters;%0%;!new_stream;!no_chapters;%1%a");
}

TEST_F(Launch, chapters_file_follows_the_setting_and_the_segments) {
    const char *segments = "[{\"segment\":[1,2]}]";
    struct Case {
        bool generate;
        const char *segments;
        std::string expected;
    } cases[] = {
        {false, nullptr, "memory://;FFMETADATA1\n"},
        {true, nullptr,
         "memory://;FFMETADATA1\n" + chapter("0", "5000", "Start") + chapter("5000", "10000", "End")},
        {false, segments,
         "memory://;FFMETADATA1\n" + chapter("0", "5000", "Start") +
             chapter("1000", "2000", SPONSOR_CHAPTER_TITLE) + chapter("2000", "10000", "") +
             chapter("2000", "2001", "") + chapter("5000", "10000", "End")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.expected);
        SetUp();
        settings.generate_chapters = c.generate;
        std::vector<Command> commands = play(false, c.segments);
        const Command *load = find(commands, "name=loadfile");
        ASSERT_NE(load, nullptr);
        EXPECT_EQ(entry(*load, "options.chapters-file"), c.expected);
    }
}

TEST_F(Launch, queued_autoplay_appends_and_shows_up_next) {
    struct Case {
        bool notification;
        bool title;
        bool shown;
    } cases[] = {{true, true, true}, {false, true, false}, {true, false, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.notification << c.title);
        SetUp();
        settings.show_autoplay_notification = c.notification;
        if (!c.title) video.title.reset();
        queued = true;
        std::vector<Command> commands = play();
        const Command *load = find(commands, "name=loadfile");
        ASSERT_NE(load, nullptr);
        EXPECT_EQ(entry(*load, "flags"), "append");
        EXPECT_EQ(entry(*load, "options.force-media-title"), c.title ? *video.title : "");
        if (c.shown) {
            EXPECT_EQ(commands.back(),
                      (Command{"show-text", "[solvane] - Up Next:\n" + *video.title, "3000"}));
        } else {
            EXPECT_EQ(commands.back(), (Command{"script-message", "solfb-hide"}));
        }
        EXPECT_FALSE(queued);
    }
}

TEST_F(Launch, debug_url_prints_the_streams) {
    settings.debug_url = true;
    streams.audio_url.reset();
    std::vector<Command> commands = play();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands[0], (Command{"print-text", "play: audio none\nvideo https://rr1---sn-a.googlevideo.com/video\n"
                                                  "hls manifest none\nsub https://www.youtube.com/api/timedtext?lang=en"}));
}

// ---- Autoplay ----

class Autoplay : public ::testing::Test {
public:
    void SetUp() override {
        fakehost::reset();
        host_set(fakehost::handle());
        results.clear();
        settings = PlaybackSettings{};
        settings.autoplay_next = true;
        queued = false;
        playing = true;
        current = "a";
        for (auto [kind, id] : std::initializer_list<std::pair<ItemKind, const char *>>{
                 {ITEM_VIDEO, "x"}, {ITEM_VIDEO, "a"}, {ITEM_PLAYLIST, "p"},
                 {ITEM_VIDEO, nullptr}, {ITEM_VIDEO, "b"}, {ITEM_MORE, nullptr}}) {
            auto *item = new list_item{};
            item->kind = kind;
            if (id) item->id = id;
            results.append(item, ITEM_TAG);
        }
        host_state("0", "1", "300.5", "30");
    }
    void TearDown() override { host_set(nullptr); }

    void host_state(const char *pos, const char *count, const char *duration,
                    const char *remaining) {
        fakehost::set_property("playlist-pos", pos);
        fakehost::set_property("playlist-count", count);
        fakehost::set_property("duration", duration);
        fakehost::set_property("playtime-remaining", remaining);
    }
    bool check() {
        requested.clear();
        AutoplayRequest request{[](const char *id, void *argument) {
                                    static_cast<std::vector<std::string> *>(argument)->push_back(id);
                                },
                                &requested};
        return autoplay_check(settings, PlaybackFlags{queued, playing}, current, results, request);
    }

    PlaybackSettings settings;
    bool queued = false;
    bool playing = false;
    Text current;
    ItemList results;
    std::vector<std::string> requested;
};

TEST_F(Autoplay, loads_the_next_video_near_the_end_of_the_last_entry) {
    EXPECT_TRUE(check());
    EXPECT_EQ(requested, std::vector<std::string>{"b"});
    EXPECT_TRUE(queued);
    EXPECT_EQ(fakehost::commands(),
              (std::vector<Command>{{"print-text", "loading autoplay of video id b"}}));
    // Queued: nothing more until the load clears it.
    EXPECT_FALSE(check());
    EXPECT_TRUE(requested.empty());
}

TEST_F(Autoplay, waits_for_its_conditions) {
    struct Case {
        const char *name;
        std::function<void(Autoplay &)> change;
    } cases[] = {
        {"entries after the current one", [](Autoplay &t) { t.host_state("0", "2", "300", "30"); }},
        {"more than a minute left", [](Autoplay &t) { t.host_state("0", "1", "300", "60"); }},
        {"no duration", [](Autoplay &t) { t.host_state("0", "1", "0.1", "0"); }},
        {"idle host", [](Autoplay &t) { t.host_state("-1", "0", "0", "0"); }},
        {"duration unavailable", [](Autoplay &) { fakehost::fail_property("duration"); }},
        {"position unavailable", [](Autoplay &) { fakehost::fail_property("playlist-pos"); }},
        {"no browser playback", [](Autoplay &t) { t.playing = false; }},
        {"autoplay off", [](Autoplay &t) { t.settings.autoplay_next = false; }},
        {"already queued", [](Autoplay &t) { t.queued = true; }},
        {"no current video", [](Autoplay &t) { t.current.reset(); }},
        {"current video is the last", [](Autoplay &t) { t.current = "b"; }},
        {"current video not listed", [](Autoplay &t) { t.current = "zz"; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.change(*this);
        const bool was_queued = queued;
        EXPECT_FALSE(check());
        EXPECT_TRUE(requested.empty());
        EXPECT_EQ(queued, was_queued);
        EXPECT_TRUE(fakehost::commands().empty());
    }
}

TEST_F(Autoplay, next_id_skips_rows_that_are_not_videos) {
    EXPECT_EQ(autoplay_next_id(results, "x"), Text("a"));
    EXPECT_EQ(autoplay_next_id(results, "a"), Text("b"));
    EXPECT_EQ(autoplay_next_id(results, "p"), std::nullopt);
    EXPECT_EQ(autoplay_next_id(results, "b"), std::nullopt);
}

} // namespace
