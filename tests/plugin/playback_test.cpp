#include "plugin/playback.h"
#include "support/fake_mpv.h"

#include "base/host.h"

#include <gtest/gtest.h>

#include <optional>
#include <tuple>

using fakehost::Command;

namespace {

struct Ch {
    int64_t start, end; // milliseconds
    const char *title;
};
// The FFMETADATA text of these chapters.
std::string chapters(std::initializer_list<Ch> list) {
    std::string out = FFMETADATA_HEADER;
    for (const Ch &c : list)
        out += "[CHAPTER]\nTIMEBASE=1/1000\nSTART=" + std::to_string(c.start) +
               "\nEND=" + std::to_string(c.end) + "\ntitle=" + c.title + "\n";
    return out;
}
const char *const S = SPONSOR_CHAPTER_TITLE;

TEST(chapters, text_from_description_and_segments) {
    const std::string long_title = "0:00 " + std::string(254, 'x') + "\xc3\xa9tail";
    struct Case { const char *name, *description, *segments; uint32_t duration; std::string expected; };
    const Case cases[] = {
        {"leading timestamps up to the duration", "0:00 Intro\n1:02:03 - Part two\n", nullptr,
         4000, chapters({{0, 3723000, "Intro"}, {3723000, 4000000, "Part two"}})},
        {"timestamps leading or trailing; other lines skipped",
         "Welcome!\n\nIntro - 0:00\n0:30Glued\nChapter 5\n5 things: list\n1:\nEnd 2:00\n"
         "Part2 1:30\n  3:05 ~ Indented\n", nullptr, 250,
         chapters({{0, 90000, "Intro"}, {90000, 120000, "Part"}, {120000, 185000, "End"},
                   {185000, 250000, "Indented"}})},
        {"negative timestamps neither open nor close", "0:00 A\n-1:00 Back\n1:00 B", nullptr, 100,
         chapters({{0, 60000, "A"}, {60000, 100000, "B"}})},
        // Each chapter ends where the next in time begins, whatever the order of the lines.
        {"sorted by start", "5:00 B\n0:00 A\n", nullptr, 600,
         chapters({{0, 300000, "A"}, {300000, 600000, "B"}})},
        {"no duration: the last chapter ends at its start", "0:00 A\n1:00 B", nullptr, 0,
         chapters({{0, 60000, "A"}, {60000, 60000, "B"}})},
        // A (0-0, closed by B) is made before B (0-10).
        {"equal starts newest first", "0:00 A\n0:00 B\n0:10 C", nullptr, 20,
         chapters({{0, 10000, "B"}, {0, 0, "A"}, {10000, 20000, "C"}})},
        {"titles cleaned of metadata syntax", "0:00 a=b;c#d\\e", nullptr, 5,
         chapters({{0, 5000, "a b c d e"}})},
        {"long titles cut between characters", long_title.c_str(), nullptr, 1,
         chapters({{0, 1000, std::string(254, 'x').c_str()}})},
        {"segments join description chapters", "0:00 Intro\n0:30 Main",
         " [{\"segment\":[5.5,12.25]}]", 60,
         chapters({{0, 30000, "Intro"}, {5500, 12250, S}, {12250, 60000, ""},
                   {12250, 12251, ""}, {30000, 60000, "Main"}})},
        {"the valid part of a cut response", nullptr, R"([{"segment":[1,2]},)", 100,
         chapters({{1000, 2000, S}, {2000, 100000, ""}, {2000, 2001, ""}})},
        {"nothing", nullptr, nullptr, 100, chapters({})},
        {"no timestamps", "no timestamps here\n", "[]", 100, chapters({})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(chapters_text(c.description, c.segments, c.duration), c.expected);
    }
}

// ---- Launch ----

const std::string VIDEO = "https://rr1---sn-a.googlevideo.com/video";
const std::string AUDIO = "https://rr1---sn-a.googlevideo.com/audio";
const std::string SUB = "https://www.youtube.com/api/timedtext?lang=en";
const std::string MANIFEST_URL = "https://manifest.googlevideo.com/master.m3u8";

// The current video with separate streams and a caption, and a results list for autoplay.
class Launch : public ::testing::Test {
public:
    void SetUp() override {
        fakehost::reset();
        host_set(fakehost::handle());
        settings = PlaybackSettings{};
        queued = playing = false;
        video = list_item{};
        video.id = "vid12345678";
        video.title = "A \"title\", with=commas";
        video.description = "0:00 Start\n0:05 End";
        video.duration = 10;
        streams = stream_choice{};
        streams.video_url = VIDEO;
        streams.audio_url = AUDIO;
        streams.sub_url = SUB;
        results.clear();
        for (auto [kind, id] : std::initializer_list<std::pair<ItemKind, const char *>>{
                 {ITEM_VIDEO, "x"}, {ITEM_VIDEO, "a"}, {ITEM_PLAYLIST, "p"},
                 {ITEM_VIDEO, nullptr}, {ITEM_VIDEO, "b"}, {ITEM_MORE, nullptr}}) {
            auto *item = new list_item{};
            item->kind = kind;
            if (id) item->id = id;
            results.append(item, ITEM_TAG);
        }
        current = "a";
    }
    void TearDown() override { host_set(nullptr); }

    std::optional<std::string> launch(bool quality_names = false, const char *segments = nullptr) {
        return play_current(settings, PlaybackFlags{queued, playing}, video, streams, segments,
                            quality_names);
    }
    const std::vector<Command> &play(bool quality_names = false, const char *segments = nullptr) {
        launch(quality_names, segments);
        return fakehost::commands();
    }
    // An entry of the "loadfile" command sent.
    static std::string entry(const std::string &key) {
        for (const Command &c : fakehost::commands())
            for (const std::string &e : c[0] == "name=loadfile" ? c : Command{})
                if (e.compare(0, key.size() + 1, key + "=") == 0) return e.substr(key.size() + 1);
        return "<missing>";
    }
    // The playing entry as the host reports it.
    void host_state(const char *pos, const char *count, const char *duration, const char *left) {
        fakehost::set_property("playlist-pos", pos);
        fakehost::set_property("playlist-count", count);
        fakehost::set_property("duration", duration);
        fakehost::set_property("playtime-remaining", left);
    }
    // The autoplay timer's check; `requested` receives the ids it asks for.
    bool autoplay() {
        requested.clear();
        auto request = [](const char *id, void *to) {
            static_cast<std::vector<std::string> *>(to)->push_back(id);
        };
        return autoplay_check(settings, PlaybackFlags{queued, playing}, current, results,
                              AutoplayRequest{request, &requested});
    }

    PlaybackSettings settings;
    list_item video;
    stream_choice streams;
    bool queued = false;
    bool playing = false;
    Text current;
    ItemList results;
    std::vector<std::string> requested;
};

TEST_F(Launch, separate_streams_send_the_exact_sequence) {
    settings.generate_chapters = true;
    std::vector<Command> expected = {
        {"name=loadfile", "url=" + VIDEO, "flags=replace", "options.ytdl=no",
         "options.audio-files-clr=", "options.sub-files-clr=", "options.msg-level=ffmpeg=fatal",
         "options.stream-lavf-o=http_seekable=0,headers=accept-encoding:gzip,request_size=10485760",
         "options.chapters-file=memory://" + chapters({{0, 5000, "Start"}, {5000, 10000, "End"}}),
         "options.force-media-title=A \"title\", with=commas",
         "options.audio-files-append=" + AUDIO, "options.sub-files-append=" + SUB},
        {"script-message", "solfb-hide"},
    };
    EXPECT_EQ(play(), expected);
    EXPECT_FALSE(queued);
    EXPECT_TRUE(playing);

    // Without generate_chapters the description's chapters come only with sponsor segments.
    SetUp();
    play(false, "[{\"segment\":[1,2]}]");
    EXPECT_EQ(entry("options.chapters-file"),
              "memory://" + chapters({{0, 5000, "Start"}, {1000, 2000, S}, {2000, 10000, ""},
                                      {2000, 2001, ""}, {5000, 10000, "End"}}));
}

TEST_F(Launch, decisions) {
    enum Load { VIDEO_WITH_AUDIO, VIDEO_ALONE, EDL, MANIFEST, WATCH };
    struct Case { const char *name; PlaybackSettings settings; uint32_t duration;
                  bool video, audio, hls, quality_names; Load load; bool caption = true; } cases[] = {
        {"edl", {.use_edl = true}, 10, 1, 1, 0, 0, EDL},
        {"edl needs audio", {.use_edl = true}, 10, 1, 0, 0, 0, VIDEO_ALONE},
        {"edl needs a duration", {.use_edl = true}, 0, 1, 1, 1, 0, VIDEO_WITH_AUDIO},
        {"muxed format", {.use_edl = true, .video_format = "720"}, 10, 1, 1, 0, 0, VIDEO_ALONE},
        {"manifest", {.use_full_manifest = true, .use_hls = true}, 10, 1, 1, 1, 0, MANIFEST},
        {"manifest of a live stream", {.use_full_manifest = true}, 0, 1, 0, 1, 0, MANIFEST},
        {"manifest needs hls", {.use_full_manifest = true}, 10, 1, 1, 1, 0, VIDEO_WITH_AUDIO},
        {"manifest needs a manifest", {.use_full_manifest = true, .use_hls = true}, 10, 1, 1, 0,
         0, VIDEO_WITH_AUDIO},
        // With quality names the HLS name of 1080p60 is a muxed stream.
        {"hls quality names", {.use_hls = true}, 10, 1, 1, 1, 1, VIDEO_ALONE},
        {"hls without quality names", {.use_hls = true}, 10, 1, 1, 1, 0, VIDEO_WITH_AUDIO},
        {"no caption", {}, 10, 1, 1, 0, 0, VIDEO_WITH_AUDIO, false},
        {"no caption, one stream", {}, 10, 1, 0, 0, 0, VIDEO_ALONE, false},
        {"names ignored for separate streams", {.use_edl = true}, 10, 1, 1, 1, 1, EDL},
        {"ytdl", {.use_edl = true, .ytdl_fallback = true}, 10, 1, 1, 0, 0, WATCH},
        {"ytdl without streams", {.ytdl_fallback = true}, 10, 0, 0, 0, 0, WATCH},
        // The one load that warns: a missing video stream falls back to the watch page.
        {"no video stream", {.use_full_manifest = true, .use_hls = true}, 10, 0, 1, 1, 0, WATCH},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        settings = c.settings;
        video.duration = c.duration;
        if (!c.video) streams.video_url.reset();
        if (!c.audio) streams.audio_url.reset();
        if (c.hls) streams.hls_url = MANIFEST_URL;
        if (!c.caption) streams.sub_url.reset();
        const std::vector<Command> &commands = play(c.quality_names);
        const bool warns = c.load == WATCH && !c.settings.ytdl_fallback;
        EXPECT_EQ(commands.size(), warns ? 3u : 2u); // nothing set globally
        if (warns) {
            EXPECT_EQ(commands[0],
                      (Command{"print-text", "warning: not yet supported format, fallback to ytdl"}));
        }
        const Command &load = commands[warns];
        // Only separate streams add the audio; an absent stream is no entry at all (mpv refuses
        // an empty append).
        const bool audio = c.load == VIDEO_WITH_AUDIO;
        ASSERT_EQ(load.size(), 10u + audio + c.caption);
        EXPECT_EQ(entry("options.ytdl"), c.load == WATCH ? "yes" : "no");
        const std::string urls[] = {VIDEO, VIDEO, edl_url(*video.title, VIDEO, AUDIO), MANIFEST_URL,
                                    "https://www.youtube.com/watch?v=vid12345678"};
        EXPECT_EQ(entry("url"), urls[c.load]);
        EXPECT_EQ(entry("options.audio-files-append"), audio ? AUDIO : "<missing>");
        EXPECT_EQ(entry("options.sub-files-append"), c.caption ? SUB : "<missing>");
        EXPECT_EQ(commands.back(), (Command{"script-message", "solfb-hide"}));
    }
}

// Every address the service names goes through the same gate, whichever part of the load it
// is: none of these may reach the player, and the refusal names the scheme and host.
TEST_F(Launch, only_the_services_https_hosts_reach_the_player) {
    setenv("SOLVANE_RESOLVE", "www.youtube.com:443:127.0.0.1:4443", 1);
    struct Case { const char *url, *refused; } cases[] = { // refused: "scheme S, host H"
        {"/etc/passwd", "scheme none, host none"},
        {"file:///etc/passwd", "scheme file, host none"},
        {"av://lavfi:movie=/etc/passwd", "scheme av, host lavfi:movie="},
        {"lavfi:movie=/etc/passwd", "scheme lavfi, host none"},
        {"edl:///etc/passwd", "scheme edl, host none"},
        {"memory://WEBVTT", "scheme memory, host WEBVTT"},
        {"http://rr1.googlevideo.com/v", "scheme http, host rr1.googlevideo.com"},
        {"HTTPS://evil.example/", "scheme https, host evil.example"},
        {"https://evilgooglevideo.com/x", "scheme https, host evilgooglevideo.com"},
        {"https://googlevideo.com.evil.example/x", "scheme https, host googlevideo.com.evil.example"},
        {"https://a.googlevideo.com@evil.example/", "scheme https, host a.googlevideo.com@evil.example"},
        {"https://rr1.googlevideo.com:8443/x", "scheme https, host rr1.googlevideo.com:8443"},
        {"https://rr1.googlevideo.com/x\nfile:///etc/passwd", "scheme https, host rr1.googlevideo.com"},
        {"https://127.0.0.1:4444/media/video.mp4", "scheme https, host 127.0.0.1:4444"},
        {"https://rr3---sn-hgn7ynek.googlevideo.com/videoplayback?expire=1&itag=140", nullptr},
        {"https://manifest.googlevideo.com/api/manifest/hls_variant/x/file/index.m3u8", nullptr},
        {"https://s.youtube.com/api/timedtext?v=x", nullptr},
        {"https://YouTube.com:443/x", nullptr},
        {"https://127.0.0.1:4443/media/video.mp4", nullptr}, // a test server for the service
    };
    const char *slots[] = {"video", "audio", "caption", "manifest"};
    for (const Case &c : cases) {
        for (int slot = 0; slot < 4; ++slot) {
            SCOPED_TRACE(testing::Message() << c.url << " as " << slots[slot]);
            SetUp();
            settings.use_edl = slot == 1; // the audio is checked as part of the EDL too
            settings.use_full_manifest = settings.use_hls = slot == 3;
            Text *target[] = {&streams.video_url, &streams.audio_url, &streams.sub_url,
                              &streams.hls_url};
            *target[slot] = c.url;
            testing::internal::CaptureStderr();
            std::optional<std::string> refused = launch();
            std::string log = testing::internal::GetCapturedStderr();
            bool sent = false;
            for (const Command &command : fakehost::commands())
                for (const std::string &word : command)
                    sent = sent || word.find(c.url) != std::string::npos;
            EXPECT_EQ(sent, !c.refused);
            EXPECT_EQ(playing, !c.refused);
            EXPECT_EQ(refused.has_value(), c.refused != nullptr);
            if (!c.refused) continue;
            EXPECT_TRUE(fakehost::commands().empty());
            const std::string what = std::string(slots[slot]) + " URL";
            EXPECT_EQ(refused.value_or(""), "play failed: " + what + " refused (" + c.refused + ")");
            EXPECT_NE(log.find("WARNING: refused " + what + ": " + c.refused), std::string::npos)
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
        bool refused = launch().has_value();
        testing::internal::GetCapturedStderr();
        bool good = std::string(id) == "M4gD1WSo5mA";
        EXPECT_EQ(refused, !good);
        EXPECT_EQ(entry("url"), good ? "https://www.youtube.com/watch?v=M4gD1WSo5mA" : "<missing>");
    }
}

TEST_F(Launch, edl_fields_carry_their_byte_lengths) {
    EXPECT_EQ(edl_url("T;x", "v,1", "a"),
              "edl://!global_tags,title=%3%T;x;!no_chapters;%3%v,1;!new_stream;!no_chapters;%1%a");
    EXPECT_EQ(edl_url("\xc3\xa9", "", "a"),
              "edl://!global_tags,title=%2%\xc3\xa9;!no_chapters;%0%;!new_stream;!no_chapters;%1%a");
}

TEST_F(Launch, queued_autoplay_appends_and_shows_up_next) {
    for (auto [notification, title] : {std::pair{true, true}, {false, true}, {true, false}}) {
        SCOPED_TRACE(testing::Message() << notification << title);
        SetUp();
        settings.show_autoplay_notification = notification;
        if (!title) video.title.reset();
        queued = true;
        const std::vector<Command> &commands = play();
        EXPECT_EQ(entry("flags"), "append");
        EXPECT_EQ(entry("options.force-media-title"), title ? *video.title : "");
        EXPECT_EQ(commands.back(),
                  (notification && title
                       ? Command{"show-text", "[solvane] - Up Next:\n" + *video.title, "3000"}
                       : Command{"script-message", "solfb-hide"}));
        EXPECT_FALSE(queued);
    }
}

// Near the end of the last entry the next video row (not a playlist, not one without an id) is
// asked for once; with another entry queued, a minute left or no duration it waits.
TEST_F(Launch, autoplay_loads_the_next_video_near_the_end_of_the_last_entry) {
    settings.autoplay_next = playing = true;
    for (auto [count, duration, left] : {std::tuple{"2", "300", "30"}, {"1", "300", "60"},
                                         {"1", "0.1", "0"}}) {
        host_state("0", count, duration, left);
        EXPECT_FALSE(autoplay()) << count << " " << duration << " " << left;
    }
    host_state("0", "1", "300.5", "30");
    EXPECT_TRUE(autoplay());
    EXPECT_EQ(requested, std::vector<std::string>{"b"});
    EXPECT_TRUE(queued);
    EXPECT_EQ(fakehost::commands(),
              (std::vector<Command>{{"print-text", "loading autoplay of video id b"}}));
    EXPECT_FALSE(autoplay());
    EXPECT_TRUE(requested.empty());
    EXPECT_EQ(autoplay_next_id(results, "x"), Text("a"));
    EXPECT_EQ(autoplay_next_id(results, "p"), std::nullopt);
}

} // namespace
