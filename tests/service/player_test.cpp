#include "service/player.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "fixtures.h"

namespace {

// The number after `marker` in a stream URL ("itag=") or HLS playlist URI ("/itag/"), or -1.
int url_itag(const Text &url, const std::string &marker = "itag=") {
    size_t at = url ? url->find(marker) : std::string::npos;
    return at == std::string::npos ? -1 : std::atoi(url->c_str() + at + marker.size());
}
int uri_itag(const Text &uri) { return url_itag(uri, "/itag/"); }

struct PlayerRun {
    list_item video;
    stream_choice choice;
};

PlayerRun run(const std::string &text, int32_t client, const char *format = "1080p60",
              const char *sub_language = "en", bool hdr = false, bool all = false,
              const char *sub_format = "vtt") {
    PlayerRun r;
    parse_player(r.video, r.choice, text.c_str(), client, format, sub_format, sub_language, hdr, all);
    return r;
}

bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

TEST(player_web, details_and_ciphered_streams) {
    PlayerRun r = run(fixture("player/player_web_2023-12_K4DyBUG242c_signatureCipher.json"), 5);
    const list_item &v = r.video; // (its title is checked by the loopback test)
    EXPECT_EQ(v.channel_id.value(), "UC_aEa8K-EOJ3D6gOs7HcyNg");
    EXPECT_EQ(v.description.value().rfind(
                  "Subscribe to NoCopyrightSounds  \xF0\x9F\x91\x89 http://ncs.lnk.to/SubscribeYouTube\nNCS", 0),
              0u);
    EXPECT_TRUE(video_presentable(v));
    EXPECT_EQ(v.duration, 208u);
    EXPECT_EQ(v.view_count, 502516732u);
    EXPECT_EQ(v.published_text.value(), "2015-07-09T09:34:35-07:00");

    // 298: the first H.264 stream at or below 1080p60, its cipher decoded (see stream_url).
    const std::string &video = r.choice.video_url.value();
    EXPECT_EQ(video.rfind("https://rr3---sn-hgn7rnls.googlevideo.com/videoplayback?expire=1702089639&", 0), 0u);
    EXPECT_EQ(url_itag(r.choice.video_url), 298);
    EXPECT_NE(video.find("&sig=gNLwegAwRAIHQ1gIARowGZtLgCIff9tAHzTSz5oMUPUXNcYYJ0gVOygCIAlEtl4"), std::string::npos);
    EXPECT_EQ(r.choice.audio_itag, 251u);
    EXPECT_FALSE(r.choice.hls_url);
}

// Caption tracks by language (translated when absent), format and client.
TEST(player_captions, language_translation_format_and_client) {
    const std::string web = "player_web_2023-12_K4DyBUG242c_signatureCipher.json";
    const std::string nl = "47A2B8CC&key=yt8&kind=asr&lang=nl"; // the end of the Dutch track's URL
    const std::string multi = "player_web_2024-10_2isYuQZMbdU_multiaudio_trimmed.json";
    struct Case {
        std::string file;
        int32_t client;
        const char *language, *format;
        std::string tail; // the end of the caption URL; "": none
        uint32_t sub_format = 0; // checked when not 0
    } cases[] = {
        {web, 5, "en", "vtt", nl + "&tlang=en&fmt=vtt"}, // the only track is Dutch
        {web, 5, "nl", "srt", nl + "&fmt=srt", SUB_SRT},
        {web, 5, "nl", "json3", nl + "&fmt=json3", 12004},
        {web, 5, nullptr, "vtt", ""}, // no language setting: no caption at all
        {multi, 5, "zh", "vtt", "&lang=zh-Hant&fmt=vtt"},
        // Tracks "en" (twice) after "ar" and "zh-Hant": the first English one, manual captions.
        {multi, 5, "en", "vtt", "&key=yt8&lang=en&fmt=vtt"},
        {"player_visionos_2026-06_M4gD1WSo5mA.json", 18, "en", "vtt", "&lang=en&fmt=vtt"},
        {"player_web_2023-12_jfKfPfyJRdk_live.json", 5, "en", "vtt", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file + " " + (c.language ? c.language : "null") + " " + c.format);
        PlayerRun r = run(fixture("player/" + c.file), c.client, "1080p60", c.language, false, false, c.format);
        EXPECT_TRUE(c.tail.empty() ? !r.choice.sub_url : ends_with(r.choice.sub_url.value_or(""), c.tail))
            << r.choice.sub_url.value_or("none");
        EXPECT_TRUE(!c.sub_format || r.choice.sub_format == c.sub_format);
    }
}

TEST(player_choice, streams_by_client_format_and_codec_family) {
    auto url = [](int itag, const char *tail = "") {
        return "{\"itag\":" + std::to_string(itag) + ",\"url\":\"https://h/itag=" + std::to_string(itag) + tail + "\"}";
    };
    // An audio-only entry; `track` adds an audioTrack object's members.
    auto audio = [](int itag, const char *track = nullptr) {
        std::string t = track ? std::string(",\"audioTrack\":{") + track + "}" : "";
        return "{\"itag\":" + std::to_string(itag) + ",\"mimeType\":\"audio/webm; codecs=\\\"opus\\\"\"" +
               t + ",\"url\":\"https://h/itag=" + std::to_string(itag) + "\"}";
    };
    auto streams = [](const std::string &adaptive, const std::string &muxed = "") {
        return R"({"streamingData":{"adaptiveFormats":[)" + adaptive + R"(],"formats":[)" + muxed + "]}}";
    };
    const std::string multi = "player_web_2024-10_2isYuQZMbdU_multiaudio_trimmed.json";
    const std::string ios = "player_ios_2024-11_M4gD1WSo5mA.json";
    const std::string android = "player_android_2023-12_K4DyBUG242c.json";
    const std::string sabr = "player_web_2025-11_9Umm2MAKsMc_sabr_no_format_urls.json";
    struct Case {
        const char *what;
        std::string response; // a recorded file's name, or a response text
        int video, audio;     // itags; -1: none, 0: not checked
        int32_t client = 18;
        const char *format = "1080p60";
        bool hdr = false, all = false;
    } cases[] = {
        // 16 tracks of 251 (the original English one is the default); no HDR stream.
        {"multi-audio", multi, 137, 251, 5},
        {"vp9", multi, 248, 0, 5, "1080p_vp9"},
        {"av1", multi, 399, 0, 5, "1080p60_av1"},
        {"av1 720", multi, 398, 0, 5, "720p60_av1"},
        {"2160p60, all codecs", multi, 248, 0, 5, "2160p60", false, true},
        {"360 muxed", multi, 18, 0, 5, "360"},
        {"ios: AAC audio", ios, 137, 140, 15},
        {"ios: 360 is the muxed 18, asked as 134", ios, 134, 0, 15, "360"},
        // Without the wanted audio: 251, 140, 250, 249, 139, higher-rate, surround, low-rate, any.
        {"android wants 251, absent here: 140", ios, 0, 140, 9},
        {"android", android, 298, 251, 9},
        {"ios: 22 -> 136 -> 135", android, 135, 140, 15, "720"},
        {"live: only 140, taken without 251", "player_web_2023-12_jfKfPfyJRdk_live.json", 137, 140, 5},
        {"250 before 249", streams(audio(249) + "," + audio(250) + "," + url(137)), 137, 250},
        {"139 before the low-rate opus", streams(audio(600) + "," + audio(139)), -1, 139},
        {"stereo before surround", streams(audio(256) + "," + audio(141)), -1, 141},
        {"600 before 599", streams(audio(599) + "," + audio(600)), -1, 600},
        {"any other audio-only format", streams(url(137) + "," + audio(1234)), 137, 1234},
        {"the default track first", streams(audio(140, "\"audioIsDefault\":false") + "," + audio(250)),
         -1, 250},
        {"a dubbed track when nothing else", streams(audio(140, "\"isAutoDubbed\":true")), -1, 140},
        {"a dubbed track passed over", streams(audio(140, "\"isAutoDubbed\":true") + "," + audio(250)),
         -1, 250},
        {"a muxed stream is no audio stream", streams("", url(18)), 18, -1, 18, "360"},
        {"members only", "player_tvembedded_2023-12_ayI2iBwGdxw_unplayable_members.json", -1, -1, 5},
        // SABR: no adaptive entry has a URL, so no stream.
        {"sabr", sabr, -1, -1, 5},
        {"family walk", streams(url(136) + "," + url(298)), 298, 0},
        // OTF adaptive streams are passed over, muxed ones taken.
        {"otf", streams(url(299, "&source=yt_otf") + "," + url(137), url(18, "&source=yt_otf")), 137, 0},
        {"otf muxed", streams(url(137), url(18, "&source=yt_otf")), 18, 0, 18, "360"},
        {"hdr", streams(url(248) + "," + url(335)), 335, 0, 18, "1080p_vp9", true},
        {"hdr absent", streams(url(247) + "," + url(248)), 248, 0, 18, "1080p_vp9", true},
        {"av1 hdr", streams(url(399) + "," + url(699)), 699, 0, 18, "1080p_av1", true},
        {"muxed without url", streams("", R"({"itag":22},)" + url(18)), -1, 0, 18, "720"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        bool recorded = c.response.rfind("player_", 0) == 0;
        PlayerRun r = run(recorded ? fixture("player/" + c.response) : c.response, c.client, c.format,
                          "en", c.hdr, c.all);
        EXPECT_TRUE(!c.video || url_itag(r.choice.video_url) == c.video) << r.choice.video_url.value_or("none");
        EXPECT_TRUE(!c.audio || url_itag(r.choice.audio_url) == c.audio) << r.choice.audio_url.value_or("none");
    }
}

// Which of the recorded tracks is taken (the stream table checks their numbers), and manifests.
TEST(player_clients, recorded_tracks_and_manifests) {
    PlayerRun multi = run(fixture("player/player_web_2024-10_2isYuQZMbdU_multiaudio_trimmed.json"), 5);
    EXPECT_NE(multi.choice.audio_url->find("xtags=acont%3Doriginal%3Alang%3Den-US"), std::string::npos);
    PlayerRun ios = run(fixture("player/player_ios_2024-11_M4gD1WSo5mA.json"), 15);
    EXPECT_EQ(ios.choice.audio_url->find("xtags=drc"), std::string::npos); // the first 140
    EXPECT_TRUE(ends_with(ios.choice.hls_url.value(), "/file/index.m3u8"));
    EXPECT_FALSE(ios.video.id); // only client 5 fills the video record
    PlayerRun live = run(fixture("player/player_web_2023-12_jfKfPfyJRdk_live.json"), 5);
    EXPECT_EQ(live.video.duration, 0u);
    EXPECT_TRUE(live.choice.hls_url);
}

TEST(player_choice, caption_memory_for_other_clients) {
    std::string with = R"({"captions":{"playerCaptionsTracklistRenderer":{"captionTracks":[
        {"baseUrl":"https://c/de&fmt=srv3&x=1","languageCode":"de"},
        {"baseUrl":"https://c/gb\u0026fmt=srv3","languageCode":"en-GB"}]}}})";
    list_item video;
    stream_choice choice;
    parse_player(video, choice, with.c_str(), 5, "1080p60", "vtt", "en", false, false);
    EXPECT_EQ(choice.sub_url.value(), "https://c/gb&fmt=vtt");
    parse_player(video, choice, with.c_str(), 5, "1080p60", "vtt", "fr", false, false);
    EXPECT_EQ(choice.sub_url.value(), "https://c/de&tlang=fr&fmt=vtt");
    // A stream response without captions keeps the caption of the info response...
    parse_player(video, choice, "{}", 18, "1080p60", "vtt", "fr", false, false);
    EXPECT_EQ(choice.sub_url.value(), "https://c/de&tlang=fr&fmt=vtt");
    parse_player(video, choice, "no json at all", 18, "1080p60", "vtt", "fr", false, false);
    EXPECT_EQ(choice.sub_url.value(), "https://c/de&tlang=fr&fmt=vtt");
    // ...but a new info response drops it.
    parse_player(video, choice, "{}", 5, "1080p60", "vtt", "fr", false, false);
    EXPECT_FALSE(choice.sub_url);
}

TEST(player_malformed, no_json_wrong_types_and_cut_responses) {
    list_item video;
    video.id = "old";
    stream_choice choice;
    choice.video_url = "stale";
    parse_player(video, choice, "<html>error</html>", 5, "1080p60", "vtt", "en", false, false);
    EXPECT_EQ(video.id.value(), "unknown");
    EXPECT_FALSE(choice.video_url);
    parse_player(video, choice, nullptr, 5, nullptr, nullptr, nullptr, false, false);
    EXPECT_EQ(choice.wanted, 299u | WANTED_ALWAYS); // no format set: 1080p60

    const char *odd = R"({"videoDetails":{"videoId":7},"microformat":{"playerMicroformatRenderer":
        {"viewCount":"x12","lengthSeconds":"99999999999","title":{"simpleText":5}}},
        "streamingData":{"adaptiveFormats":[{"itag":"299","url":"https://h"},{"itag":299}],
        "hlsManifestUrl":12,"formats":{}}})";
    parse_player(video, choice, odd, 5, "1080p60", "vtt", "en", false, false);
    EXPECT_EQ(video.id.value(), "unknown");
    EXPECT_EQ(video.view_count, 0u);
    EXPECT_EQ(video.duration, 0xFFFFFFFFu);
    EXPECT_FALSE(choice.hls_url);
    EXPECT_FALSE(choice.video_url); // the itag given as text is no match; the other has no URL

    // Cut real responses are read without going past their end.
    std::string whole = fixture("player/player_web_2024-10_2isYuQZMbdU_multiaudio_trimmed.json");
    for (size_t cut : {size_t(1), whole.size() / 5, whole.size() / 2, whole.size() - 3}) {
        SCOPED_TRACE(cut);
        list_item v;
        stream_choice c;
        parse_player(v, c, cut_copy(whole, cut).get(), 5, "1080p60", "vtt", "en", false, false);
        EXPECT_EQ(v.kind, ITEM_VIDEO);
    }
}

// Only https addresses of the service's media hosts (or their subdomains) reach the player.
TEST(media_url_check, https_addresses_of_the_media_hosts_only) {
    struct Case {
        const char *url;
        bool allowed;
    } cases[] = {
        {"https://rr3---sn-hgn7rnls.googlevideo.com/videoplayback?itag=18", true},
        {"https://googlevideo.com/x", true},
        {"https://manifest.googlevideo.com:443/api", true},
        {"https://www.youtube.com/api/timedtext?v=x", true},
        {"https://evilgooglevideo.com/x", false},
        {"https://googlevideo.com.evil.example/x", false},
        {"http://rr3.googlevideo.com/x", false},
        {"https://rr3.googlevideo.com:8443/x", false},
        {"https://user@rr3.googlevideo.com/x", false},
        {"https://rr3.googlevideo.com/a b", false},
        {"file:///etc/passwd", false},
        {"/etc/passwd", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(media_url_check(c.url).allowed, c.allowed);
        EXPECT_EQ(media_url_refuse("video", c.url).has_value(), !c.allowed);
    }
}

TEST(stream_url, url_and_signature_cipher) {
    EXPECT_EQ(stream_url(R"({"itag":1,"url":"https://a/b?x=1\u0026y=2"})").value(), "https://a/b?x=1&y=2");
    EXPECT_EQ(stream_url(R"({"signatureCipher":"s=AB%3DC%2B&sp=sig&url=https%3A%2F%2Fh%2Fv%3Fa%3D1+2"})").value(),
              "https://h/v?a=1 2&sig=AB=C+");
    EXPECT_FALSE(stream_url(R"({"signatureCipher":"s=AB&sp=sig&url=http%3A%2F%2Fh"})"));
    EXPECT_FALSE(stream_url(R"({"itag":1})"));
    EXPECT_EQ(stream_url(R"({"signatureCipher":"https://x"})").value(), "https://x&sig=tps://x");
    EXPECT_EQ(stream_url(R"({"signatureCipher":"s=%zz%4&url=https://q"})").value(),
              "https://q&sig=%zz%4");
}

// --- HLS master playlists -------------------------------------------------------------------

TEST(pick_hls, quality_codec_and_hdr_choices) {
    std::string master = fixture("hls/hls_live_master_2020-12_5qap5aO4i9A.m3u8");
    std::string subs = fixture("hls/hls_live_master_2020-12_21X5lGlDOfg_with_subtitles.m3u8");
    std::string old = fixture("hls/hls_live_master_2019-06_hHW1oY26kxQ.m3u8");
    std::string vp9 = "#EXT-X-STREAM-INF:A\nhttps://m/itag/616/vp9\n"
                      "#EXT-X-STREAM-INF:A\nhttps://m/itag/636/hdr\n";
    std::string sdr_only = "#EXT-X-STREAM-INF:A\nhttps://m/itag/614/vp9\n";
    std::string above = "#EXT-X-STREAM-INF:BANDWIDTH=9,RESOLUTION=1920x1080\nhttps://m/itag/96/a\n"
                        "#EXT-X-STREAM-INF:BANDWIDTH=5,RESOLUTION=1280x720\nhttps://m/itag/95/b\n";
    std::string bare = "#EXT-X-STREAM-INF:BANDWIDTH=9\nhttps://m/itag/301/a\n"
                       "#EXT-X-STREAM-INF:BANDWIDTH=5\nhttps://m/itag/300/b\n"
                       "#EXT-X-STREAM-INF:BANDWIDTH=1\nhttps://m/itag/94/c\n";
    std::string unknown = "#EXT-X-STREAM-INF:BANDWIDTH=1\nhttps://m/itag/7/a\n";
    struct Case {
        const char *what;
        const char *manifest;
        const char *quality;
        bool hdr, all;
        int itag; // -1: no stream
    } cases[] = {
        {"11086 (301) is missing; 11080 is the 1080p line", master.c_str(), "1080_60", false, false, 96},
        {"720", master.c_str(), "720", false, false, 95},
        {"720p60 with a caption track", subs.c_str(), "1080_60", false, false, 300},
        {"2019", old.c_str(), "480", false, false, 94},
        // Live masters use no adaptive family: the best variant at or below the quality's height
        // (RESOLUTION), a 60 fps one too.
        {"live 1440p_vp9", master.c_str(), "1440p_vp9", false, false, 96},
        {"live 360p_av1", master.c_str(), "360p_av1", false, false, 93},
        {"live 720p with 60 fps only", subs.c_str(), "720p", false, false, 300},
        // Nothing at or below 480p: the lowest above.
        {"only above", above.c_str(), "480p", false, false, 95},
        // No RESOLUTION: the heights come from the stream numbers.
        {"heights from the stream numbers", bare.c_str(), "720p60", false, false, 300},
        {"unknown heights still play", unknown.c_str(), "1080p60", false, false, 7},
        {"hdr", vp9.c_str(), "1080p_vp9", true, false, 636},
        {"sdr", vp9.c_str(), "1080p_vp9", false, false, 616},
        {"hdr wanted, sdr only", sdr_only.c_str(), "1080p_vp9", true, false, 614},
        {"a stream line at the very end has no URI line", "#EXT-X-STREAM-INF:A", "1080p_vp9", true, false, -1},
        {"no manifest", nullptr, "1080p_vp9", true, false, -1},
    };
    stream_choice choice; // reused: a choice without a stream clears the last one
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        pick_hls(choice, c.quality, c.manifest, c.hdr, c.all);
        EXPECT_EQ(uri_itag(choice.video_url), c.itag);
        EXPECT_FALSE(choice.audio_url); // no separate audio playlists in any of these
    }
    stream_choice c;
    pick_hls(c, "1080_60", master.c_str(), false, false);
    EXPECT_EQ(c.video_url.value().rfind("https://manifest.googlevideo.com/api/manifest/hls_playlist/expire/1608025486/", 0), 0u);
    EXPECT_TRUE(ends_with(*c.video_url, "/playlist/index.m3u8"));
}

TEST(pick_hls, audio_tracks_dubbed_default_and_original) {
    const char *master =
        "#EXTM3U\n"
        "#EXT-X-MEDIA:URI=\"https://m/itag/234/dubbed-auto:lang/es/a\",TYPE=AUDIO,DEFAULT=YES\n"
        "#EXT-X-MEDIA:URI=\"https://m/itag/234/lang/de/b\",TYPE=AUDIO,DEFAULT=NO,LANGUAGE=\"de\"\n"
        "#EXT-X-MEDIA:URI=\"https://m/itag/234/original:lang/fr/c\",TYPE=AUDIO,DEFAULT=NO\n"
        "#EXT-X-MEDIA:URI=\"https://m/itag/234/d\",TYPE=AUDIO\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=1\n"
        "https://m/itag/312/dubbed-auto:lang/es/v\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=2\r\n"
        "https://m/itag/312/v\r\n";
    stream_choice c;
    pick_hls(c, "1080p60", master, false, false);
    EXPECT_EQ(c.audio_url.value(), "https://m/itag/234/original:lang/fr/c");
    EXPECT_EQ(c.video_url.value(), "https://m/itag/312/v");

    const char *english =
        "#EXT-X-MEDIA:URI=\"https://m/itag/234/a\",DEFAULT=YES\n"
        "#EXT-X-MEDIA:URI=\"https://m/itag/234/en\",DEFAULT=NO,LANGUAGE=\"en\"\n"
        "#EXT-X-MEDIA:URI=\"https://m/itag/233/low\"\n"
        "#EXT-X-MEDIA:URI=\"https://m/itag/2345/not-234\"\n";
    pick_hls(c, "1080p60", english, false, false);
    EXPECT_EQ(c.audio_url.value(), "https://m/itag/234/en"); // a later qualifying URI replaces
    EXPECT_FALSE(c.video_url);
}
