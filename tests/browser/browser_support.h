// The browser tests' world: a fake host, a 960 x 600 root surface and the default layout wired by
// browser_start. Responses come from the fixtures; requests stay in the queues.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

#include "base/defer.h"
#include "base/host.h"
#include "base/runtime.h"
#include "browser/browser.h"
#include "gfx/icons.h"
#include "plugin/app_state.h"
#include "service/listing.h"
#include "support/fake_mpv.h"
#include "toolkit/events.h"
#include "toolkit/input.h"
#include "toolkit/interface.h"

namespace bt {

inline std::string fixture(const std::string &name) {
    std::ifstream file(std::string(SOLVANE_FIXTURES) + "/" + name, std::ios::binary);
    EXPECT_TRUE(file.good()) << "fixture missing: " << name;
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// A response buffer holding `body`, as the pool hands it to a completion.
inline ResponseBuffer response(const std::string &body) {
    ResponseBuffer r;
    r.data.reset(static_cast<char *>(std::malloc(body.size() + 1)));
    std::memcpy(r.data.get(), body.data(), body.size());
    r.position = r.size = body.size();
    r.capacity = body.size() + 1;
    return r;
}

// An uncompressed 32-bit BMP of one colour (R, G, B, A bytes as a Paint colour).
inline std::string bmp(int32_t width, int32_t height, uint32_t rgba) {
    std::string out = "BM";
    auto put = [&out](uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) out.push_back(char((value >> (8 * i)) & 0xFF));
    };
    uint32_t pixels = uint32_t(width * height * 4);
    for (auto [value, bytes] : {std::pair<uint32_t, int>{54 + pixels, 4}, {0, 4}, {54, 4}, {40, 4},
                                {uint32_t(width), 4}, {uint32_t(height), 4}, {1, 2}, {32, 2},
                                {0, 4}, {pixels, 4}, {2835, 4}, {2835, 4}, {0, 4}, {0, 4}})
        put(value, bytes);
    uint32_t bgra = (rgba & 0x0000FF00u) | ((rgba >> 16) & 0xFF) | ((rgba & 0xFF) << 16);
    for (int32_t i = 0; i < width * height; ++i) put(bgra | 0xFF000000u, 4);
    return out;
}

inline std::string text_of(Widget *widget) {
    const char *t = widget_get_text(widget);
    return t ? t : "";
}

inline uint32_t pixel(const Surface *s, int x, int y) {
    uint32_t v;
    std::memcpy(&v, s->pixels + size_t(y) * s->stride + size_t(x) * 4, 4);
    return v;
}

// The application record with the default layout, as start-up leaves it.
struct World {
    AppState state;
    std::string dir;

    explicit World(double scale = 1, int32_t thumb_size = 72) {
        fakehost::reset();
        host_set(fakehost::handle());
        toolkit_globals_create();
        toolkit_set_root_surface(SurfacePtr(surface_new(960, 600)));
        defer_queue_destroy();
        defer_queue_create();
        char templ[] = "/tmp/solvane-browser-XXXXXX";
        state.config_dir = dir = mkdtemp(templ);
        state.scale = scale;
        state.thumb_height = thumb_size;
        state.thumb_width = int32_t(thumb_size / 9.0 * 16.0);
        state.font = font_load_builtin();
        state.theme = theme_defaults();
        state.icons = icons_load(scale);
        state.preview.reset(surface_new(1, 1));
        int32_t avatar = int32_t(scale * 48 + scale * 10);
        state.playlist_avatar.reset(surface_new(avatar, avatar));
        toolkit_backend().default_font = state.font.get();
        toolkit_backend().default_size = scale * state.font_size;
        state.root =
            interface_build(layout_bundle_text(std::nullopt), scale, state.theme, state.icons);
        browser_start(state);
        // As at start-up: every key goes to the focused widget and up to the root.
        shortcut_add(KEY_ANY, 0, key_dispatch, nullptr);
    }
    ~World() {
        state.root.reset();
        toolkit_globals_destroy();
        std::filesystem::remove_all(dir);
    }

    Browser &browser() { return state.browser; }
    Widget *table() { return state.browser.widgets.list_table; }
    std::string status() { return text_of(state.browser.widgets.status_label); }
    TableData *rows() { return widget_data<TableData>(table()); }

    void complete(const std::string &body, uint32_t mode, bool append, int32_t status = 0) {
        ResponseBuffer r = response(body);
        list_completion(state, status, &r, mode, append);
    }
    void first_search_page() {
        complete(fixture("search/search_web_2026-01_all_test_first.json"), LIST_SEARCH, false);
    }

    static std::vector<DownloadRequest *> in(RequestQueue &queue) {
        std::vector<DownloadRequest *> out;
        for (DownloadRequest *r : queue) out.push_back(r);
        return out;
    }
    std::vector<DownloadRequest *> requests() { return in(state.pools.request_queue); }
    std::vector<DownloadRequest *> images() { return in(state.pools.image_queue); }
    std::string last_body() {
        return requests().empty() ? "" : requests().back()->body.value_or("");
    }
    std::string last_url() { return requests().empty() ? "" : requests().back()->url.value_or(""); }

    // Delivers a downloaded image for `url` of `kind` as the image pool would.
    void arrive(const std::string &url, uint32_t kind, const std::string &bytes,
                int32_t status = HTTP_CLASS_SUCCESS) {
        DownloadSlot slot;
        slot.request.url = url;
        slot.request.tag = kind;
        ResponseBuffer r = response(bytes);
        image_completion(status, &r, &state, &slot);
        EXPECT_EQ(!r.data, status == HTTP_CLASS_SUCCESS) << "only a success's data is taken";
    }

    void click(Widget *widget) { widget_event(widget, EVENT_CLICK); }
    list_item *add_favourite(const char *id) {
        auto *fav = new list_item;
        fav->kind = ITEM_PLAYLIST;
        fav->id = id;
        return state.browser.favorites.append(fav, ITEM_TAG)->data;
    }
    void set_search_text(const char *t) { widget_set_text(state.browser.widgets.search_input, t); }
};

} // namespace bt
