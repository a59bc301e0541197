#include "service/player.h"

#include <cstdlib>
#include <cstring>
#include <memory>
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

// A response with the given adaptive and muxed format entries.
std::string streams(const std::string &adaptive, const std::string &muxed = "") {
    return R"({"streamingData":{"adaptiveFormats":[)" + adaptive + R"(],"formats":[)" + muxed + "]}}";
}

std::string entry(int itag, const std::string &url, const std::string &extra = "") {
    return "{\"itag\":" + std::to_string(itag) + ",\"url\":\"" + url + "\"" + extra + "}";
}

} // namespace

TEST(player_web, details_and_ciphered_streams) {
    std::string text = fixture("player/player_web_2023-12_K4DyBUG242c_signatureCipher.json");
    PlayerRun r = run(text, 5);
    const list_item &v = r.video;
    EXPECT_EQ(v.id.value(), "K4DyBUG242c");
    EXPECT_EQ(v.title.value(),
              "Cartoon - On & On (feat. Daniel Levi) | Electronic Pop | NCS - Copyright Free Music");
    EXPECT_EQ(v.channel_name.value(), "NoCopyrightSounds");
    EXPECT_EQ(v.channel_id.value(), "UC_aEa8K-EOJ3D6gOs7HcyNg");
    EXPECT_EQ(v.views_text.value(), "502516732");
    EXPECT_EQ(v.view_count, 502516732u);
    EXPECT_EQ(v.published_text.value(), "2015-07-09T09:34:35-07:00");
    EXPECT_EQ(v.duration, 208u);
    EXPECT_EQ(v.thumb_url.value(), "https://i.ytimg.com/vi/K4DyBUG242c/mqdefault.jpg");
    EXPECT_EQ(v.description.value().rfind(
                  "Subscribe to NoCopyrightSounds  \xF0\x9F\x91\x89 http://ncs.lnk.to/SubscribeYouTube\nNCS", 0),
              0u);

    // 299 and 137 are missing; 298 is the first H.264 stream at or below 1080p60. Its cipher
    // is form-decoded once: "%253D" in the URL becomes "%3D", "%3D" in the signature "=".
    const std::string &video = r.choice.video_url.value();
    EXPECT_EQ(video.rfind("https://rr3---sn-hgn7rnls.googlevideo.com/videoplayback?expire=1702089639&", 0), 0u);
    EXPECT_EQ(url_itag(r.choice.video_url), 298);
    EXPECT_TRUE(ends_with(video, "CIfBBGY7Db4pMhQj6is13fG9nM3Soj4ilQJENGWBOCIg%3D%3D&sig="
                                 "gNLwegAwRAIHQ1gIARowGZtLgCIff9tAHzTSz5oMUPUXNcYYJ0gVOygCIAlEtl4"
                                 "KsRzc-Ed6H4eX3qpioH9dJ9bV_wYTO5Him0mU0mi"));
    EXPECT_EQ(video.size(), 970u + 5u + 103u);
    EXPECT_EQ(url_itag(r.choice.audio_url), 251);
    EXPECT_TRUE(ends_with(r.choice.audio_url.value(),
                          "7673NkKOd2fDBpV&sig=hNLwegAwRgI4AJTyYGwOekMTHZ1SK3TAtJTSH730P9eM="
                          "pyGURuWxoYOAiEAi9A9VTLjAbpWPZzA0TxAIb9_cPT4_4qewJtrGnMLivw=vwJ"));
    EXPECT_EQ(r.choice.audio_itag, 251u);
    EXPECT_FALSE(r.choice.hls_url);
}

TEST(player_web, captions_in_the_language_or_translated) {
    std::string text = fixture("player/player_web_2023-12_K4DyBUG242c_signatureCipher.json");
    const std::string base =
        "https://www.youtube.com/api/timedtext?v=K4DyBUG242c&ei=R39zZaTOGp6tvdIPn-WJsA4&caps=asr&"
        "opi=112496729&xoaf=5&hl=en-GB&ip=127.0.0.1&ipbits=0&expire=1702093239&sparams=ip,ipbits,"
        "expire,v,ei,caps,opi,xoaf&signature=78E255CCA6246C2F0590CCE9DECA5BB93E1716DA."
        "62F9441135DB11F09412F26A94B921CF47A2B8CC&key=yt8&kind=asr&lang=nl";
    // The only track is Dutch: English is asked for as a translation.
    EXPECT_EQ(run(text, 5).choice.sub_url.value(), base + "&tlang=en&fmt=vtt");
    EXPECT_EQ(run(text, 5, "1080p60", "nl").choice.sub_url.value(), base + "&fmt=vtt");
    PlayerRun srt = run(text, 5, "1080p60", "nl", false, false, "srt");
    EXPECT_EQ(srt.choice.sub_url.value(), base + "&fmt=srt");
    EXPECT_EQ(srt.choice.sub_format, uint32_t(SUB_SRT));
    EXPECT_EQ(run(text, 5, "1080p60", "nl", false, false, "json3").choice.sub_format, 12004u);
    // No language setting: no caption at all.
    for (const char *none : {(const char *)nullptr, ""})
        EXPECT_FALSE(run(text, 5, "1080p60", none).choice.sub_url);
}

TEST(player_web, dubbed_audio_tracks_and_codec_families) {
    std::string text = fixture("player/player_web_2024-10_2isYuQZMbdU_multiaudio_trimmed.json");
    PlayerRun r = run(text, 5);
    EXPECT_EQ(r.video.title.value(), "I Gave My 100,000,000th Subscriber An Island");
    EXPECT_EQ(r.video.view_count, 220226287u);
    EXPECT_EQ(r.video.duration, 931u);
    EXPECT_EQ(url_itag(r.choice.video_url), 137);
    // 16 tracks of 251; only the original English one is the default.
    EXPECT_EQ(url_itag(r.choice.audio_url), 251);
    EXPECT_NE(r.choice.audio_url->find("xtags=acont%3Doriginal%3Alang%3Den-US"), std::string::npos);
    // Tracks "en" (twice) after "ar" and "zh-Hant": the first English one, manual captions.
    EXPECT_TRUE(ends_with(r.choice.sub_url.value(), "&key=yt8&lang=en&fmt=vtt"));
    EXPECT_EQ(r.choice.sub_url->find("kind=asr"), std::string::npos);
    EXPECT_TRUE(ends_with(run(text, 5, "1080p60", "zh").choice.sub_url.value(),
                          "&lang=zh-Hant&fmt=vtt"));

    struct Case {
        const char *format;
        bool hdr, all;
        int itag;
    } cases[] = {
        {"1080p_vp9", false, false, 248}, {"1080p_vp9", true, false, 248}, // no HDR stream
        {"1080p60_av1", false, false, 399}, {"720p60_av1", false, false, 398},
        {"2160p60", false, true, 248},      {"480p", false, false, 135},
        {"360", false, false, 18},          {"no such name", false, false, 137},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.format);
        EXPECT_EQ(url_itag(run(text, 5, c.format, "en", c.hdr, c.all).choice.video_url), c.itag);
    }
    EXPECT_EQ(run(text, 5, "720p", "en", true, true).choice.wanted,
              136u | WANTED_ALWAYS | WANTED_ALL_CODECS | WANTED_ALLOW_HDR);
}

TEST(player_clients, ios_takes_aac_audio_and_maps_muxed_formats) {
    std::string text = fixture("player/player_ios_2024-11_M4gD1WSo5mA.json");
    PlayerRun ios = run(text, 15);
    EXPECT_EQ(url_itag(ios.choice.video_url), 137);
    EXPECT_EQ(url_itag(ios.choice.audio_url), 140);
    EXPECT_EQ(ios.choice.audio_url->find("xtags=drc"), std::string::npos); // the first 140
    EXPECT_EQ(ios.choice.hls_url.value().rfind(
                  "https://manifest.googlevideo.com/api/manifest/hls_variant/expire/1731283070/", 0),
              0u);
    EXPECT_TRUE(ends_with(*ios.choice.hls_url, "/file/index.m3u8"));
    EXPECT_FALSE(ios.video.id); // only client 5 fills the video record
    // "360" is the muxed 18; the IOS client asks for 134 instead.
    EXPECT_EQ(url_itag(run(text, 15, "360").choice.video_url), 134);
    // ANDROID wants 251, which this response does not have.
    EXPECT_FALSE(run(text, 9).choice.audio_url);

    std::string android = fixture("player/player_android_2023-12_K4DyBUG242c.json");
    PlayerRun a = run(android, 9);
    EXPECT_EQ(url_itag(a.choice.video_url), 298);
    EXPECT_EQ(url_itag(a.choice.audio_url), 251);
    EXPECT_EQ(url_itag(run(android, 9, "720").choice.video_url), 22); // muxed stream
    EXPECT_EQ(url_itag(run(android, 15, "720").choice.video_url), 135); // 22 -> 136 -> 135
    EXPECT_EQ(url_itag(run(android, 15).choice.audio_url), 140);
}

TEST(player_clients, visionos_live_and_unplayable_responses) {
    PlayerRun vos = run(fixture("player/player_visionos_2026-06_M4gD1WSo5mA.json"), 18);
    EXPECT_EQ(url_itag(vos.choice.video_url), 137);
    EXPECT_TRUE(vos.choice.hls_url);
    EXPECT_TRUE(ends_with(vos.choice.sub_url.value(), "&lang=en&fmt=vtt"));

    PlayerRun live = run(fixture("player/player_web_2023-12_jfKfPfyJRdk_live.json"), 5);
    EXPECT_EQ(live.video.duration, 0u);
    EXPECT_TRUE(live.choice.hls_url);
    EXPECT_EQ(url_itag(live.choice.video_url), 137);
    EXPECT_FALSE(live.choice.audio_url); // only 140, not wanted by WEB
    EXPECT_FALSE(live.choice.sub_url);

    PlayerRun members =
        run(fixture("player/player_tvembedded_2023-12_ayI2iBwGdxw_unplayable_members.json"), 5);
    EXPECT_EQ(members.video.title.value(), "unknown"); // no microformat
    EXPECT_FALSE(members.choice.video_url);
    EXPECT_FALSE(members.choice.audio_url);

    PlayerRun upcoming =
        run(fixture("player/player_web_2023-02_N-yVic7BbY0_upcoming_live_trimmed.json"), 5);
    EXPECT_EQ(upcoming.video.duration, 0u);
    EXPECT_FALSE(upcoming.choice.video_url);
}

TEST(player_clients, sabr_response_without_stream_urls) {
    std::string text = fixture("player/player_web_2025-11_9Umm2MAKsMc_sabr_no_format_urls.json");
    PlayerRun r = run(text, 5);
    EXPECT_FALSE(r.choice.video_url); // the adaptive entries carry no URL
    // The auto-dubbed English track and the non-default Russian ones fail the first pass; the
    // second pass hits the first 251, which has no URL.
    EXPECT_FALSE(r.choice.audio_url);
    PlayerRun muxed = run(text, 5, "360");
    EXPECT_EQ(url_itag(muxed.choice.video_url), 18);
    EXPECT_EQ(muxed.choice.video_url->rfind("https://rr1---sn-4gxb5u-qo3l.googlevideo.com/", 0), 0u);
}

TEST(player_choice, family_walk_otf_and_hdr_passes) {
    // 299 missing: the next H.264 member that exists, 298, wins over 136.
    std::string only = streams(entry(136, "https://h/itag=136") + "," + entry(298, "https://h/itag=298"));
    EXPECT_EQ(url_itag(run(only, 18).choice.video_url), 298);

    // An OTF adaptive stream is passed over; a muxed one is taken whatever its URL.
    std::string otf = streams(entry(299, "https://h/itag=299&source=yt_otf") + "," +
                                  entry(137, "https://h/itag=137"),
                              entry(18, "https://h/itag=18&source=yt_otf"));
    EXPECT_EQ(url_itag(run(otf, 18).choice.video_url), 137);
    EXPECT_EQ(url_itag(run(otf, 18, "360").choice.video_url), 18);
    std::string all_otf = streams(entry(299, "https://h/itag=299&source=yt_otf"));
    EXPECT_FALSE(run(all_otf, 18).choice.video_url);

    // HDR: the counterpart of 248 (335) is taken when present, else the second pass finds 248.
    std::string hdr = streams(entry(248, "https://h/itag=248") + "," + entry(335, "https://h/itag=335"));
    EXPECT_EQ(url_itag(run(hdr, 18, "1080p_vp9", "en", true).choice.video_url), 335);
    EXPECT_EQ(url_itag(run(hdr, 18, "1080p_vp9", "en", false).choice.video_url), 248);
    std::string sdr = streams(entry(247, "https://h/itag=247") + "," + entry(248, "https://h/itag=248"));
    EXPECT_EQ(url_itag(run(sdr, 18, "1080p_vp9", "en", true).choice.video_url), 248);
    std::string av1 = streams(entry(399, "https://h/itag=399") + "," + entry(699, "https://h/itag=699"));
    EXPECT_EQ(url_itag(run(av1, 18, "1080p_av1", "en", true).choice.video_url), 699);

    // A muxed entry without any URL still ends the search, leaving no stream.
    std::string no_url = streams("", R"({"itag":22},)" + entry(18, "https://h/itag=18"));
    EXPECT_FALSE(run(no_url, 18, "720").choice.video_url);
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

TEST(player_malformed, no_json_and_wrong_types) {
    list_item video;
    video.id = "old";
    stream_choice choice;
    choice.video_url = "stale";
    parse_player(video, choice, "<html>error</html>", 5, "1080p60", "vtt", "en", false, false);
    EXPECT_EQ(video.id.value(), "unknown");
    EXPECT_FALSE(choice.video_url);
    parse_player(video, choice, nullptr, 5, nullptr, nullptr, nullptr, false, false);
    EXPECT_EQ(choice.wanted, 299u | WANTED_ALWAYS);
    EXPECT_EQ(choice.sub_format, 12001u);

    const char *odd = R"({"videoDetails":{"videoId":7},"microformat":{"playerMicroformatRenderer":
        {"viewCount":"x12","lengthSeconds":"99999999999","title":{"simpleText":5}}},
        "streamingData":{"adaptiveFormats":[{"itag":"299","url":"https://h"},{"itag":299}],
        "hlsManifestUrl":12,"formats":{}}})";
    parse_player(video, choice, odd, 5, "1080p60", "vtt", "en", false, false);
    EXPECT_EQ(video.id.value(), "unknown");
    EXPECT_EQ(video.thumb_url.value(), "https://i.ytimg.com/vi//mqdefault.jpg");
    EXPECT_EQ(video.view_count, 0u);
    EXPECT_EQ(video.duration, 0xFFFFFFFFu);
    EXPECT_EQ(video.title.value(), "unknown");
    EXPECT_FALSE(choice.hls_url);
    EXPECT_FALSE(choice.video_url); // the itag given as text is no match; the other has no URL

    // Truncated real responses are read without going past their end.
    std::string whole = fixture("player/player_web_2024-10_2isYuQZMbdU_multiaudio_trimmed.json");
    for (size_t cut : {size_t(1), whole.size() / 5, whole.size() / 2, whole.size() - 3}) {
        SCOPED_TRACE(cut);
        std::unique_ptr<char[]> text(new char[cut + 1]);
        std::memcpy(text.get(), whole.data(), cut);
        text[cut] = '\0';
        list_item v;
        stream_choice c;
        parse_player(v, c, text.get(), 5, "1080p60", "vtt", "en", false, false);
        EXPECT_EQ(v.kind, ITEM_VIDEO);
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

TEST(player_web, details_line_of_the_information_panel) {
    PlayerRun r = run(fixture("player/player_web_2023-12_K4DyBUG242c_signatureCipher.json"), 5);
    EXPECT_TRUE(video_presentable(r.video));
    EXPECT_EQ(video_details_line(r.video),
              "NoCopyrightSounds - 3:28 - 2015-07-09T09:34:35-07:00 - 502516732 views - [K4DyBUG242c]\n");
    EXPECT_EQ(duration_text(3600), "1:00:00");
    list_item blank;
    blank.title = "t";
    blank.channel_name = "c";
    blank.id = "(null)";
    EXPECT_FALSE(video_presentable(blank));
}

TEST(format_names, hls_names_and_unknown_names) {
    EXPECT_STREQ(hls_quality_name("720p60"), "720_60");
    EXPECT_STREQ(hls_quality_name("480"), "480");
    EXPECT_STREQ(hls_quality_name("1080p_vp9"), "1080_60");
    EXPECT_EQ(format_number("bogus"), 299u);
    EXPECT_EQ(format_number(nullptr), 299u);
}

// --- HLS master playlists -------------------------------------------------------------------

TEST(pick_hls, quality_codec_and_hdr_choices) {
    std::string master = fixture("hls/hls_live_master_2020-12_5qap5aO4i9A.m3u8");
    std::string subs = fixture("hls/hls_live_master_2020-12_21X5lGlDOfg_with_subtitles.m3u8");
    std::string old = fixture("hls/hls_live_master_2019-06_hHW1oY26kxQ.m3u8");
    std::string vp9 = "#EXT-X-STREAM-INF:A\nhttps://m/itag/616/vp9\n"
                      "#EXT-X-STREAM-INF:A\nhttps://m/itag/636/hdr\n";
    std::string sdr_only = "#EXT-X-STREAM-INF:A\nhttps://m/itag/614/vp9\n";
    struct Case {
        const char *what;
        const char *manifest;
        const char *quality;
        bool hdr, all;
        int itag; // -1: no stream
    } cases[] = {
        {"11086 (301) is missing; 11080 is the 1080p line", master.c_str(), "1080_60", false, false, 96},
        {"720", master.c_str(), "720", false, false, 95},
        {"H.264 streams are not offered", master.c_str(), "1080p60", false, false, -1},
        {"all codecs reach the muxed ones", master.c_str(), "1080p60", false, true, 96},
        {"720p60 with a caption track", subs.c_str(), "1080_60", false, false, 300},
        {"2019", old.c_str(), "480", false, false, 94},
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
