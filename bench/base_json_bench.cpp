// Reading the fields a search-results reader needs from the largest recorded search response:
// the JSON navigator's path lookups against a full parse of the same text by RapidJSON
// followed by the same lookups in its tree. Both produce the same decoded texts.
#include "base/json.h"
#include "base/runtime.h"

#include <benchmark/benchmark.h>
#include <rapidjson/document.h>

#include <string>
#include <vector>

namespace {

const std::string &document() {
    static const std::string text =
        read_file(SOLVANE_FIXTURES "/search/search_web_2026-01_all_test_first.json");
    return text;
}

constexpr const char *SECTIONS =
    ".contents.twoColumnSearchResultsRenderer.primaryContents.sectionListRenderer.contents";

struct Row {
    std::string id, title, channel, channel_id, thumb, length, views, published;
};

std::vector<Row> read_navigator(const char *t) {
    std::vector<Row> rows;
    for (const char *section = json_first(json_get(t, SECTIONS)); section;
         section = json_next(section)) {
        const char *items = json_get(section, ".itemSectionRenderer.contents");
        for (const char *item = json_first(items); item; item = json_next(item)) {
            const char *v = json_find(item, "videoRenderer");
            if (!v) continue;
            rows.push_back({json_text(json_get(v, ".videoId")),
                            json_text(json_get(v, ".title.runs.0.text")),
                            json_text(json_get(v, ".ownerText.runs.0.text")),
                            json_text(json_get(v, ".ownerText.runs.0.navigationEndpoint.browseEndpoint.browseId")),
                            json_text(json_get(v, ".thumbnail.thumbnails.0.url")),
                            json_text(json_get(v, ".lengthText.simpleText")),
                            json_text(json_get(v, ".viewCountText.simpleText")),
                            json_text(json_get(v, ".publishedTimeText.simpleText"))});
        }
    }
    return rows;
}

const rapidjson::Value *at(const rapidjson::Value &v, std::initializer_list<const char *> path) {
    const rapidjson::Value *cur = &v;
    for (const char *p : path) {
        if (*p >= '0' && *p <= '9') {
            size_t i = std::stoul(p);
            if (!cur->IsArray() || i >= cur->Size()) return nullptr;
            cur = &(*cur)[static_cast<rapidjson::SizeType>(i)];
        } else {
            if (!cur->IsObject()) return nullptr;
            auto m = cur->FindMember(p);
            if (m == cur->MemberEnd()) return nullptr;
            cur = &m->value;
        }
    }
    return cur;
}

std::string str(const rapidjson::Value *v) {
    return v && v->IsString() ? std::string(v->GetString(), v->GetStringLength()) : std::string();
}

std::vector<Row> read_rapidjson(const std::string &text) {
    rapidjson::Document d;
    d.Parse(text.c_str(), text.size());
    std::vector<Row> rows;
    const rapidjson::Value *sections = at(d, {"contents", "twoColumnSearchResultsRenderer",
                                              "primaryContents", "sectionListRenderer", "contents"});
    if (!sections || !sections->IsArray()) return rows;
    for (const auto &section : sections->GetArray()) {
        const rapidjson::Value *items = at(section, {"itemSectionRenderer", "contents"});
        if (!items || !items->IsArray()) continue;
        for (const auto &item : items->GetArray()) {
            const rapidjson::Value *v = at(item, {"videoRenderer"});
            if (!v) continue;
            rows.push_back({str(at(*v, {"videoId"})), str(at(*v, {"title", "runs", "0", "text"})),
                            str(at(*v, {"ownerText", "runs", "0", "text"})),
                            str(at(*v, {"ownerText", "runs", "0", "navigationEndpoint",
                                        "browseEndpoint", "browseId"})),
                            str(at(*v, {"thumbnail", "thumbnails", "0", "url"})),
                            str(at(*v, {"lengthText", "simpleText"})),
                            str(at(*v, {"viewCountText", "simpleText"})),
                            str(at(*v, {"publishedTimeText", "simpleText"}))});
        }
    }
    return rows;
}

void navigator(benchmark::State &state) {
    const std::string &text = document();
    size_t rows = 0;
    for (auto _ : state) {
        auto r = read_navigator(text.c_str());
        rows = r.size();
        benchmark::DoNotOptimize(r);
    }
    state.counters["rows"] = static_cast<double>(rows);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void rapidjson_tree(benchmark::State &state) {
    const std::string &text = document();
    size_t rows = 0;
    for (auto _ : state) {
        auto r = read_rapidjson(text);
        rows = r.size();
        benchmark::DoNotOptimize(r);
    }
    state.counters["rows"] = static_cast<double>(rows);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// Both readers must agree, or the comparison means nothing.
[[maybe_unused]] const bool checked = [] {
    auto a = read_navigator(document().c_str());
    auto b = read_rapidjson(document());
    bool same = a.size() == b.size() && !a.empty();
    for (size_t i = 0; same && i < a.size(); ++i)
        same = a[i].id == b[i].id && a[i].title == b[i].title && a[i].channel == b[i].channel &&
               a[i].thumb == b[i].thumb && a[i].views == b[i].views;
    if (!same) report_fatal("benchmark", "navigator and RapidJSON disagree");
    return same;
}();

} // namespace

BENCHMARK(navigator)->Unit(benchmark::kMicrosecond);
BENCHMARK(rapidjson_tree)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
