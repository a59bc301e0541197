// Runs build/solvane-inspect as a user would and checks its lines against the recorded files.
#include <sys/wait.h>

#include <cstdio>
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
    std::string command = std::string(SOLVANE_BINARY_DIR) + "/solvane-inspect " + arguments +
                          " 2>/dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return r;
    std::string out;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    size_t start = 0;
    while (start < out.size()) {
        size_t nl = out.find('\n', start);
        if (nl == std::string::npos) nl = out.size();
        r.lines.push_back(out.substr(start, nl - start));
        start = nl + 1;
    }
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
    EXPECT_EQ(json_long(json_get(head, ".info.kind"), -1), 0);
    EXPECT_EQ(json_text(json_get(head, ".info.continuation")).substr(0, 12), "4qmFsgKeAhIk");
    const char *row = r.lines[59].c_str(); // row 58
    EXPECT_EQ(json_text(json_get(row, ".id")), "n5N1STkgxvg");
    EXPECT_EQ(json_text(json_get(row, ".title")), "DAWN, \xE2\x80\x8B" "ALMA - Angels (Lyric Video)");
    EXPECT_EQ(json_long(json_get(row, ".view_count"), -1), 0);
    const char *more = r.lines[61].c_str();
    EXPECT_EQ(json_long(json_get(more, ".kind"), -1), 3);
    EXPECT_EQ(std::string(json_get(more, ".title"), 4), "null");
    // Member names in order, as the records name them.
    EXPECT_EQ(r.lines[1].rfind("{\"kind\": 0, \"id\": ", 0), 0u);
    EXPECT_NE(r.lines[1].find("\"label\": "), std::string::npos);
}

TEST(inspect_tool, player_hls_and_requests) {
    Result p = inspect("player " + q(fixture_path("player/player_ios_2024-11_M4gD1WSo5mA.json")) +
                       " --client 15 --format 360");
    ASSERT_EQ(p.status, 0);
    ASSERT_EQ(p.lines.size(), 1u);
    const char *line = p.lines[0].c_str();
    EXPECT_NE(json_text(json_get(line, ".choice.video_url")).find("itag=134"), std::string::npos);
    EXPECT_NE(json_text(json_get(line, ".choice.audio_url")).find("itag=140"), std::string::npos);
    EXPECT_EQ(json_long(json_get(line, ".choice.wanted"), -1), 18 | 0x8000);
    EXPECT_EQ(std::string(json_get(line, ".video.id"), 4), "null");

    Result h = inspect("hls " + q(fixture_path("hls/hls_live_master_2020-12_5qap5aO4i9A.m3u8")) +
                       " --quality 720");
    ASSERT_EQ(h.status, 0);
    EXPECT_NE(json_text(json_get(h.lines[0].c_str(), ".video_url")).find("/itag/95/"), std::string::npos);

    Result b = inspect("body 101 PL123");
    ASSERT_EQ(b.status, 0);
    EXPECT_NE(b.lines[0].find("\"browseId\":\"VLPL123\""), std::string::npos);
    Result s = inspect("search-body 'cats' 2 0 0");
    EXPECT_NE(s.lines.at(0).find("\"params\":\"CAASAhAC\""), std::string::npos);
    Result u = inspect("url 999 aqz-KE-bpKQ");
    EXPECT_EQ(u.lines.at(0), "https://www.youtube.com/embed/aqz-KE-bpKQ");
    Result a = inspect("age '3 days ago'");
    EXPECT_EQ(a.lines.at(0), "259200");
}

TEST(inspect_tool, errors_exit_with_status_2) {
    EXPECT_EQ(inspect("listing search /nonexistent/file.json").status, 2);
    EXPECT_EQ(inspect("listing sideways " + q(fixture_path("search/search_web_2026-01_all_test_first.json"))).status, 2);
    EXPECT_EQ(inspect("player " + q(fixture_path("player/player_ios_2024-11_M4gD1WSo5mA.json"))).status, 2);
    EXPECT_EQ(inspect("csv /nonexistent.csv").status, 2);
    EXPECT_EQ(inspect("body 107 x").status, 2);
    EXPECT_EQ(inspect("frobnicate").status, 2);
    EXPECT_EQ(inspect("").status, 2);
}
