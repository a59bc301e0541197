// Runs build/solvane-inspect as a user would and checks its lines against the recorded files.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/json.h"
#include "fixtures.h"

namespace {

struct Result {
    int status = -1;
    std::vector<std::string> lines;
};

Result inspect(const std::string &arguments) {
    Result r;
    std::string command = std::string(SOLVANE_BINARY_DIR) + "/solvane-inspect " + arguments + " 2>/dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return r;
    char *line = nullptr;
    size_t size = 0;
    for (ssize_t n; (n = getline(&line, &size, pipe)) > 0;)
        r.lines.emplace_back(line, size_t(n) - (line[n - 1] == '\n'));
    std::free(line);
    int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string q(const std::string &path) { return "'" + path + "'"; }

} // namespace

TEST(inspect_tool, listing_lines_are_json_with_exact_texts) {
    Result r = inspect("listing playlist " + q(fixture_path("browse/browse_playlist_web_2024-11_VLPLoumn_first.json")) + " --max 60");
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.lines.size(), 62u); // header, 60 rows, the "Load More" row
    const char *head = r.lines[0].c_str();
    EXPECT_EQ(json_long(json_get(head, ".count"), -1), 60);
    EXPECT_EQ(json_text(json_get(head, ".info.id")), "PLoumn5BIsUDeGF1vy5Nylf_RJKn5aL_nr");
    EXPECT_EQ(json_text(json_get(head, ".info.continuation")).substr(0, 12), "4qmFsgKeAhIk");
    const char *row = r.lines[59].c_str(); // row 58
    EXPECT_EQ(json_text(json_get(row, ".id")), "n5N1STkgxvg");
    EXPECT_EQ(json_text(json_get(row, ".title")), "DAWN, \xE2\x80\x8B" "ALMA - Angels (Lyric Video)");
    EXPECT_EQ(json_long(json_get(row, ".view_count"), -1), 0);
    EXPECT_EQ(std::string(json_get(r.lines[61].c_str(), ".title"), 4), "null"); // "Load More"
    // Member names in order, as the records name them.
    EXPECT_EQ(r.lines[1].rfind("{\"kind\": 0, \"id\": ", 0), 0u);
    EXPECT_NE(r.lines[1].find("\"label\": "), std::string::npos);
}

TEST(inspect_tool, every_command_prints_its_result) {
    Result p = inspect("player " + q(fixture_path("player/player_ios_2024-11_M4gD1WSo5mA.json")) +
                       " --client 15 --format 360");
    ASSERT_EQ(p.status, 0);
    ASSERT_EQ(p.lines.size(), 1u);
    const char *line = p.lines[0].c_str();
    EXPECT_NE(json_text(json_get(line, ".choice.video_url")).find("itag=134"), std::string::npos);
    EXPECT_EQ(json_long(json_get(line, ".choice.wanted"), -1), 18 | 0x8000);
    EXPECT_EQ(std::string(json_get(line, ".video.id"), 4), "null");

    struct Case {
        std::string arguments;
        const char *expected; // a part of the first line
    } cases[] = {
        {"hls " + q(fixture_path("hls/hls_live_master_2020-12_5qap5aO4i9A.m3u8")) + " --quality 720",
         "/itag/95/"},
        {"body 101 PL123", "\"browseId\":\"VLPL123\""},
        {"search-body 'cats' 2 0 0", "\"params\":\"CAASAhAC\""},
        {"url 999 aqz-KE-bpKQ", "https://www.youtube.com/embed/aqz-KE-bpKQ"},
        {"age '3 days ago'", "259200"},
        // The font of each character: a fallback font, or "missing" (an unassigned code point).
        {"glyphs 'é'", "fonts/truetype/dejavu/DejaVuSans.ttf\""},
        {"glyphs '日本'", "/NotoSansCJK-"},
        {"glyphs \"$(printf '\\315\\270')\"", "\"font\": \"missing\""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arguments);
        Result r = inspect(c.arguments);
        EXPECT_EQ(r.status, 0);
        ASSERT_FALSE(r.lines.empty());
        EXPECT_NE(r.lines[0].find(c.expected), std::string::npos) << r.lines[0];
    }
}

TEST(inspect_tool, errors_exit_with_status_2) {
    for (std::string arguments :
         {std::string("listing search /nonexistent/file.json"),
          "listing sideways " + q(fixture_path("search/search_web_2026-01_all_test_first.json")),
          "player " + q(fixture_path("player/player_ios_2024-11_M4gD1WSo5mA.json")), // no --client
          std::string("csv /nonexistent.csv"), std::string("body 107 x"), std::string("frobnicate"),
          std::string("")})
        EXPECT_EQ(inspect(arguments).status, 2) << arguments;
}
