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

std::string q(const std::string &name) { return "'" + fixture_path(name) + "'"; }

} // namespace

TEST(inspect_tool, listing_lines_are_json_with_exact_texts) {
    Result r = inspect("listing playlist " + q("browse/browse_playlist_web_2024-11_VLPLoumn_first.json") + " --max 60");
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.lines.size(), 62u); // header, 60 rows, the "Load More" row
    const char *head = r.lines[0].c_str();
    EXPECT_EQ(json_long(json_get(head, ".count"), -1), 60);
    EXPECT_EQ(json_text(json_get(head, ".info.id")), "PLoumn5BIsUDeGF1vy5Nylf_RJKn5aL_nr");
    const char *row = r.lines[59].c_str(); // row 58
    EXPECT_EQ(json_text(json_get(row, ".id")), "n5N1STkgxvg");
    EXPECT_EQ(json_text(json_get(row, ".title")), "DAWN, \xE2\x80\x8B" "ALMA - Angels (Lyric Video)");
    EXPECT_EQ(std::string(json_get(r.lines[61].c_str(), ".title"), 4), "null"); // "Load More"
    // Member names in order, as the records name them.
    EXPECT_EQ(r.lines[1].rfind("{\"kind\": 0, \"id\": ", 0), 0u);
}

TEST(inspect_tool, every_command_prints_its_result_or_fails_with_status_2) {
    struct Case {
        std::string arguments;
        const char *expected; // a part of the first line; nullptr: exit status 2
    } cases[] = {
        {"player " + q("player/player_ios_2024-11_M4gD1WSo5mA.json") + " --client 15 --format 360",
         "itag=134"},
        {"hls " + q("hls/hls_live_master_2020-12_5qap5aO4i9A.m3u8") + " --quality 720", "/itag/95/"},
        {"body 101 PL123", "\"browseId\":\"VLPL123\""},
        {"search-body 'cats' 2 0 0", "\"params\":\"CAASAhAC\""},
        {"url 999 aqz-KE-bpKQ", "https://www.youtube.com/embed/aqz-KE-bpKQ"},
        {"age '3 days ago'", "259200"},
        // The font of each character: a fallback font, or "missing" (an unassigned code point).
        {"glyphs 'é'", "fonts/truetype/dejavu/DejaVuSans.ttf\""},
        {"glyphs '日本'", "/NotoSansCJK-"},
        {"glyphs \"$(printf '\\315\\270')\"", "\"font\": \"missing\""},
        {"listing search /nonexistent/file.json", nullptr},
        {"listing sideways " + q("search/search_web_2026-01_all_test_first.json"), nullptr},
        {"player " + q("player/player_ios_2024-11_M4gD1WSo5mA.json"), nullptr}, // no --client
        {"csv /nonexistent.csv", nullptr},
        {"body 107 x", nullptr},
        {"frobnicate", nullptr},
        {"", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arguments);
        Result r = inspect(c.arguments);
        EXPECT_EQ(r.status, c.expected ? 0 : 2);
        if (c.expected) {
            ASSERT_FALSE(r.lines.empty());
            EXPECT_NE(r.lines[0].find(c.expected), std::string::npos) << r.lines[0];
        }
    }
}
