#include "service/innertube.h"

#include <gtest/gtest.h>

#include "base/json.h"
#include "fixtures.h"

namespace {

const std::string CONTEXT =
    R"(,"playbackContext":{"contentPlaybackContext":{"signatureTimestamp":20522}})";

} // namespace

TEST(innertube_body, player_profiles_byte_for_byte) {
    struct Case {
        int32_t code;
        std::string expected;
    } cases[] = {
        {9, R"({"context":{"client":{"hl":"en","gl":"US","clientName":"ANDROID","clientVersion":"21.26.364","osName":"Android","osVersion":"11","androidSdkVersion":30}},"videoId":"M4gD1WSo5mA"})"},
        {15, R"({"context":{"client":{"hl":"en","gl":"US","clientName":"IOS","clientVersion":"19.45.4","deviceModel":"iPhone16,2","deviceMake":"Apple"}},"videoId":"M4gD1WSo5mA"})"},
        {17, R"({"context":{"client":{"hl":"en","gl":"US","clientName":"ANDROID_VR","clientVersion":"1.62.27","deviceMake":"Oculus","deviceModel":"Quest 3","androidSdkVersion":32, "osVersion":"12L"}},"videoId":"M4gD1WSo5mA"})"},
        {18, R"({"context":{"client":{"hl":"en","gl":"US","clientName":"VISIONOS","clientVersion":"0.1"}},"videoId":"M4gD1WSo5mA"})"},
        {5, R"({"context":{"client":{"hl":"en","gl":"US","clientName":"WEB","clientVersion":"2.20260708.00.00"})" +
                CONTEXT + R"(},"videoId":"M4gD1WSo5mA")" + CONTEXT + "}"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(innertube_body(c.code, "M4gD1WSo5mA").value_or("<absent>"), c.expected);
    }
}

TEST(innertube_body, embedded_profile_names_an_outside_page_before_the_playback_context) {
    auto body = innertube_body(8, "abc");
    ASSERT_TRUE(body);
    const char *b = body->c_str();
    EXPECT_EQ(json_text(json_get(b, ".context.client.clientName")), "WEB_EMBEDDED_PLAYER");
    std::string embed = json_text(json_get(b, ".context.thirdParty.embedUrl"));
    EXPECT_EQ(embed.rfind("https://", 0), 0u);
    EXPECT_EQ(embed.find("youtube"), std::string::npos);
    EXPECT_LT(body->find("thirdParty"), body->find("playbackContext"));
    EXPECT_EQ(json_long(json_get(b, ".playbackContext.contentPlaybackContext.signatureTimestamp"), 0),
              20522);
}

TEST(innertube_body, listing_codes) {
    auto browse = innertube_body(101, "PL123");
    ASSERT_TRUE(browse);
    EXPECT_EQ(*browse,
              R"({"context":{"client":{"hl":"en","gl":"US","clientName":"WEB","clientVersion":"2.20260708.00.00"})" +
                  CONTEXT + R"(},"browseId":"VLPL123")" + CONTEXT + "}");
    struct Case {
        int32_t code;
        const char *member;
    } cases[] = {{102, "continuation"}, {103, "videoId"}, {104, "continuation"}, {106, "continuation"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code);
        auto body = innertube_body(c.code, "4qmFsgK%3D");
        ASSERT_TRUE(body);
        EXPECT_EQ(json_text(json_get(body->c_str(), std::string(".").append(c.member).c_str())),
                  "4qmFsgK%3D");
        EXPECT_EQ(json_text(json_get(body->c_str(), ".context.client.clientName")), "WEB");
    }
    for (int32_t code : {0, 6, 100, 105, 107, 999})
        EXPECT_FALSE(innertube_body(code, "x")) << code;
}

TEST(innertube_search, filter_tokens) {
    struct Case {
        int type, live, sort;
        const char *params;
    } cases[] = {
        {2, 0, 0, "CAASAhAC"}, {1, 0, 0, "CAASAhAB"}, {3, 0, 1, "CAISAhAD"},
        {2, 1, 1, "CAISAkAB"}, {0, 1, 0, "CAASAkAB"}, {0, 0, 1, "CAI%3D"},
        {0, 0, 0, "CAA%3D"},   {7, 0, 0, "CAASAhAD"}, {-3, 0, 5, "CAI%3D"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.params);
        std::string body = innertube_search_body("lofi radio", c.type, c.live, c.sort);
        EXPECT_EQ(body,
                  std::string(R"({"context":{"client":{"hl":"en","gl":"US","clientName":"WEB","clientVersion":"2.20260708.00.00"}},"query":"lofi radio","params":")") +
                      c.params + "\"}");
    }
}

TEST(innertube_request, urls_fill_the_value_only_for_get_paths) {
    EXPECT_EQ(service_url("ignored", 18).value(), "https://www.youtube.com/youtubei/v1/player");
    EXPECT_EQ(service_url("PLav47HAVZMjnTFVZL-aImCQIC0uLZtNCz", 107).value(),
              "https://www.youtube.com/feeds/videos.xml?playlist_id=PLav47HAVZMjnTFVZL-aImCQIC0uLZtNCz");
    EXPECT_EQ(service_url("aqz-KE-bpKQ", 999).value(), "https://www.youtube.com/embed/aqz-KE-bpKQ");
    EXPECT_FALSE(service_url("x", 105));
    EXPECT_FALSE(service_url("x", 0));
}

TEST(innertube_request, visitor_header_only_for_the_configured_client) {
    EXPECT_EQ(innertube_headers(18, 18, std::nullopt), "content-type: application/json\r\n");
    EXPECT_EQ(innertube_headers(18, 18, std::string("Cgt%3D")),
              "content-type: application/json\r\nX-Goog-Visitor-Id: Cgt%3D\r\n");
    // The WEB info request and listing requests go without it, unless WEB is the client.
    EXPECT_EQ(innertube_headers(5, 18, std::string("Cgt")), "content-type: application/json\r\n");
    EXPECT_EQ(innertube_headers(101, 18, std::string("Cgt")), "content-type: application/json\r\n");
    EXPECT_EQ(innertube_headers(5, 5, std::string("Cgt")),
              "content-type: application/json\r\nX-Goog-Visitor-Id: Cgt\r\n");
}

TEST(visitor_data, recorded_pages_patterns_in_order_and_failures) {
    // (The 2020 page is read by the client and loopback tests.)
    std::string page = fixture("embed/embed_2026-01_d4IGg5dqeO8.html");
    EXPECT_EQ(visitor_data_extract(page.c_str()).value_or("<absent>"),
              "CgswR1BTSUVHOXlYWSj3197LBjInCgJGUhIhEh0SGwsMDg8QERITFBUWFxgZGhscHR4fICEiIyQlJiBl");
    EXPECT_EQ(visitor_data_extract(R"(x","VISITOR_DATA":"B1","visitorData":"A1")").value(), "A1");
    EXPECT_EQ(visitor_data_extract(R"(x","VISITOR_DATA":"B1")").value(), "B1");
    EXPECT_EQ(visitor_data_extract(R"(x","visitor_data":"C\"1")").value(), "C\\\"1");
    EXPECT_FALSE(visitor_data_extract("no data here"));
    EXPECT_FALSE(visitor_data_extract(R"(x","visitorData":"unterminated)"));
    EXPECT_FALSE(visitor_data_extract(nullptr));
}

TEST(extractor, setting_values) {
    struct Case {
        const char *json;
        int32_t code;
        bool hls, names, ytdl;
        const char *message;
    } cases[] = {
        {R"("web_hls_embedded")", 8, true, true, false, "using web hls embedded extractor"},
        {R"("android_vr")", 17, false, true, false, "using android_vr extractor"},
        {R"("ytdl")", 15, false, false, true, "using ytdl fallback"},
        // Not a text, or no key: VISIONOS with HLS. An unknown text: IOS, no flags, no line.
        {"42", 18, true, false, false, "using default extractor (vos_hls)"},
        {nullptr, 18, true, false, false, "using default extractor (vos_hls)"},
        {R"("mystery")", 15, false, false, false, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.json ? c.json : "absent");
        ExtractorChoice choice = extractor_choice(c.json);
        EXPECT_EQ(choice.client_code, c.code);
        EXPECT_EQ(choice.use_hls, c.hls);
        EXPECT_EQ(choice.hls_quality_names, c.names);
        EXPECT_EQ(choice.ytdl_fallback, c.ytdl);
        if (c.message) {
            EXPECT_STREQ(choice.message, c.message);
        } else {
            EXPECT_EQ(choice.message, nullptr);
        }
    }
}
