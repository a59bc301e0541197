#include "service/innertube.h"

#include <gtest/gtest.h>

#include "base/json.h"
#include "fixtures.h"

// (The service's addresses are checked by the client and loopback tests.)
// Each request body is one complete JSON document naming its client and what it asks for.
TEST(innertube_body, player_listing_and_search_bodies) {
    struct Case {
        int32_t code;
        const char *client, *member; // the member holding the value
        std::string value;
    } cases[] = {
        {9, "ANDROID", ".videoId", "M4gD1WSo5mA"},  {15, "IOS", ".videoId", "M4gD1WSo5mA"},
        {17, "ANDROID_VR", ".videoId", "M4gD1WSo5mA"}, {18, "VISIONOS", ".videoId", "M4gD1WSo5mA"},
        {5, "WEB", ".videoId", "M4gD1WSo5mA"},     {8, "WEB_EMBEDDED_PLAYER", ".videoId", "M4gD1WSo5mA"},
        {101, "WEB", ".browseId", "VLM4gD1WSo5mA"}, {102, "WEB", ".continuation", "M4gD1WSo5mA"},
        {103, "WEB", ".videoId", "M4gD1WSo5mA"},   {104, "WEB", ".continuation", "M4gD1WSo5mA"},
        {106, "WEB", ".continuation", "M4gD1WSo5mA"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code);
        std::string body = innertube_body(c.code, "M4gD1WSo5mA").value_or("");
        const char *b = body.c_str();
        EXPECT_TRUE(json_document_complete(b)) << body;
        EXPECT_EQ(json_text(json_get(b, ".context.client.clientName")), c.client);
        EXPECT_EQ(json_text(json_get(b, c.member)), c.value);
        // The WEB profiles name the player's signature time stamp.
        EXPECT_EQ(json_long(json_get(b, ".playbackContext.contentPlaybackContext.signatureTimestamp"), 0),
                  c.code == 5 || c.code == 8 || c.code > 100 ? 20522 : 0);
    }
    // The embedded profile names an outside page, before the playback context.
    std::string embedded = innertube_body(8, "abc").value_or("");
    std::string page = json_text(json_get(embedded.c_str(), ".context.thirdParty.embedUrl"));
    EXPECT_EQ(page.rfind("https://", 0), 0u);
    EXPECT_EQ(page.find("youtube"), std::string::npos);
    EXPECT_LT(embedded.find("thirdParty"), embedded.find("playbackContext"));
    for (int32_t code : {0, 6, 100, 105, 107, 999}) EXPECT_FALSE(innertube_body(code, "x")) << code;

    struct Search {
        int type, live, sort;
        const char *params;
    } searches[] = {
        {2, 0, 0, "CAASAhAC"}, {1, 0, 0, "CAASAhAB"}, {3, 0, 1, "CAISAhAD"}, {2, 1, 1, "CAISAkAB"},
        {0, 1, 0, "CAASAkAB"}, {0, 0, 1, "CAI%3D"},   {0, 0, 0, "CAA%3D"},   {7, 0, 0, "CAASAhAD"},
        {-3, 0, 5, "CAI%3D"},
    };
    for (const Search &c : searches) {
        SCOPED_TRACE(c.params);
        std::string body = innertube_search_body("lofi radio", c.type, c.live, c.sort);
        EXPECT_TRUE(json_document_complete(body.c_str())) << body;
        EXPECT_EQ(json_text(json_get(body.c_str(), ".query")), "lofi radio");
        EXPECT_EQ(json_text(json_get(body.c_str(), ".params")), c.params);
    }
}

TEST(visitor_data, read_from_pages_and_sent_by_the_configured_client_only) {
    // Only the configured client's requests carry it (see the loopback test), never listing requests.
    const std::string json = "content-type: application/json\r\n";
    EXPECT_EQ(innertube_headers(18, 18, std::nullopt), json);
    EXPECT_EQ(innertube_headers(101, 18, std::string("Cgt")), json);
    EXPECT_EQ(innertube_headers(5, 5, std::string("Cgt")), json + "X-Goog-Visitor-Id: Cgt\r\n");

    // (The 2020 page is read by the loopback test.)
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

