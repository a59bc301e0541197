// The browser's two hot paths beside the cost of copying one frame:
//
//  - a search response's completion to the list drawn and published: the dump, the parse of
//    search_web_2026-01_all_test_first.json (625 kB, 20 rows), the rows, the thumbnails queued,
//    the header, and the redraw of the list onto the root surface, then the copy of the changed
//    rectangle into the overlay buffer as the frame step does;
//  - a thumbnail's arrival to its row redrawn: decoding a 320 x 180 JPEG, resampling it to
//    128 x 72, caching it, redrawing the list and publishing it.
//
// Both run on the default layout at 1920 x 1080 (scale 1, theme "mirra", built-in font). The
// reference is memcpy of one 1920 x 1080 B, G, R, A frame (8.3 MB).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include <stb_image_write.h>

#include "browser/browser.h"
#include "gfx/icons.h"
#include "plugin/app_state.h"
#include "toolkit/input.h"
#include "toolkit/interface.h"

namespace {

constexpr int WIDTH = 1920;
constexpr int HEIGHT = 1080;

std::string fixture(const char *name) {
    std::ifstream file(std::string(SOLVANE_FIXTURES) + "/" + name, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

ResponseBuffer response(const std::string &body) {
    ResponseBuffer r;
    r.data.reset(static_cast<char *>(std::malloc(body.size() + 1)));
    std::memcpy(r.data.get(), body.data(), body.size());
    r.position = r.size = body.size();
    r.capacity = body.size() + 1;
    return r;
}

// A 320 x 180 JPEG with some detail, as the service's thumbnails are.
std::string make_jpeg() {
    std::vector<uint8_t> rgb(320 * 180 * 3);
    for (int y = 0; y < 180; ++y)
        for (int x = 0; x < 320; ++x) {
            uint8_t *p = &rgb[size_t(y * 320 + x) * 3];
            p[0] = uint8_t(x * 255 / 320);
            p[1] = uint8_t(y * 255 / 180);
            p[2] = uint8_t((x ^ y) & 0xFF);
        }
    std::string out;
    stbi_write_jpg_to_func(
        [](void *context, void *data, int size) {
            static_cast<std::string *>(context)->append(static_cast<char *>(data), size_t(size));
        },
        &out, 320, 180, 3, rgb.data(), 85);
    return out;
}

struct World {
    AppState state;
    std::string dir;
    std::vector<uint8_t> overlay = std::vector<uint8_t>(size_t(WIDTH) * HEIGHT * 4);

    World() {
        char templ[] = "/tmp/solvane-bench-XXXXXX";
        dir = mkdtemp(templ);
        toolkit_globals_create();
        toolkit_set_root_surface(SurfacePtr(surface_new(WIDTH, HEIGHT)));
        state.config_dir = dir;
        state.font = font_load_builtin();
        state.theme = theme_defaults();
        set_theme(state.theme, nullptr, "mirra");
        state.icons = icons_load(1);
        state.preview.reset(surface_new(1, 1));
        state.playlist_avatar.reset(surface_new(58, 58));
        toolkit_backend().default_font = state.font.get();
        toolkit_backend().default_size = 14;
        state.root = interface_build(layout_bundle_text(std::nullopt), 1, state.theme, state.icons);
        browser_start(state);
    }
    ~World() {
        state.root.reset();
        toolkit_globals_destroy();
        std::string command = "rm -rf '" + dir + "'";
        if (std::system(command.c_str()) != 0)
            std::fprintf(stderr, "cannot remove %s\n", dir.c_str());
    }

    // The frame step's copy of the changed rectangle into the overlay buffer.
    void publish() {
        Rect dirty = toolkit_dirty_rect();
        const Surface *root = toolkit_root_surface();
        for (int y = dirty.y; y < dirty.y + dirty.h; ++y)
            std::memcpy(&overlay[(size_t(y) * WIDTH + size_t(dirty.x)) * 4],
                        root->pixels + size_t(y) * root->stride + size_t(dirty.x) * 4,
                        size_t(dirty.w) * 4);
        toolkit_dirty_clear();
        benchmark::DoNotOptimize(overlay.data());
    }
};

void BM_SearchToListPublished(benchmark::State &bench) {
    World w;
    std::string body = fixture("search/search_web_2026-01_all_test_first.json");
    for (auto _ : bench) {
        ResponseBuffer r = response(body);
        list_completion(w.state, 0, &r, LIST_SEARCH, false);
        w.publish();
        bench.PauseTiming();
        w.state.pools.image_queue.clear();
        bench.ResumeTiming();
    }
    bench.counters["rows"] = double(w.state.browser.results.size());
}
BENCHMARK(BM_SearchToListPublished)->Unit(benchmark::kMicrosecond);

void BM_ThumbnailToRowPublished(benchmark::State &bench) {
    World w;
    ResponseBuffer first = response(fixture("search/search_web_2026-01_all_test_first.json"));
    list_completion(w.state, 0, &first, LIST_SEARCH, false);
    w.publish();
    std::string jpeg = make_jpeg();
    std::string url = *w.state.browser.results.first()->data->thumb_url;
    DownloadSlot slot;
    slot.request.url = url;
    slot.request.tag = IMAGE_THUMB;
    for (auto _ : bench) {
        ResponseBuffer r = response(jpeg);
        image_completion(0, &r, &w.state, &slot);
        w.publish();
        bench.PauseTiming();
        browser_clear_thumbnails(w.state);
        bench.ResumeTiming();
    }
    bench.counters["jpeg_bytes"] = double(jpeg.size());
}
BENCHMARK(BM_ThumbnailToRowPublished)->Unit(benchmark::kMicrosecond);

void BM_FrameCopy(benchmark::State &bench) {
    std::vector<uint8_t> from(size_t(WIDTH) * HEIGHT * 4, 0x5A), to(from.size());
    for (auto _ : bench) {
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_FrameCopy)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
