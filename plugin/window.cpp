#include "plugin/window.h"

#include "base/defer.h"
#include "base/host.h"
#include "base/runtime.h"
#include "plugin/keys.h"
#include "toolkit/input.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

// Keys the interface binds, in section order.
std::vector<std::string> section_keys() {
    std::vector<std::string> k = {"BS", "DEL", "END", "ENTER", "ESC", "HOME", "INS", "MENU",
                                  "PGDWN", "PGUP", "PAUSE", "SPACE", "TAB"};
    for (int i = 1; i <= 24; ++i) k.push_back(*str_printf("F%d", i));
    for (const char *n : {"PRINT", "DOWN", "LEFT", "RIGHT", "UP"}) k.emplace_back(n);
    for (int i = 0; i <= 9; ++i) k.push_back(*str_printf("KP%d", i));
    for (const char *n : {"KP_ADD", "KP_DEC", "KP_DIVIDE", "KP_MULTIPLY", "KP_SUBTRACT",
                          "MBTN_LEFT", "MBTN_RIGHT", "MBTN_MID", "WHEEL_UP", "WHEEL_DOWN"})
        k.emplace_back(n);
    for (char c = '0'; c <= '9'; ++c) k.emplace_back(1, c);
    for (char c = 'A'; c <= 'Z'; ++c) k.emplace_back(1, c);
    for (char c = 'a'; c <= 'z'; ++c) k.emplace_back(1, c);
    for (const char *n : {"'", "\\", ",", "=", "`", "[", "-", ".", "]", ";", "/"}) k.emplace_back(n);
    return k;
}

void command(std::initializer_list<const char *> words) {
    std::vector<const char *> args(words);
    args.push_back(nullptr);
    mpv_command(host(), args.data());
}

// Sends a command as a node array, which keeps texts with spaces and newlines intact.
void command_node(std::initializer_list<const char *> words) {
    std::vector<mpv_node> nodes;
    for (const char *w : words) {
        mpv_node n{};
        n.format = MPV_FORMAT_STRING;
        n.u.string = const_cast<char *>(w);
        nodes.push_back(n);
    }
    mpv_node_list list{static_cast<int>(nodes.size()), nodes.data(), nullptr};
    mpv_node args{};
    args.format = MPV_FORMAT_NODE_ARRAY;
    args.u.list = &list;
    mpv_node result{};
    if (mpv_command_node(host(), &args, &result) >= 0) mpv_free_node_contents(&result);
}

// Reads the 64-bit integer entry `key` of a node map; `fallback` when absent or of another kind.
int64_t map_int(const mpv_node *map, const char *key, int64_t fallback, bool *found = nullptr) {
    if (found) *found = false;
    if (!map || map->format != MPV_FORMAT_NODE_MAP) return fallback;
    const mpv_node_list *l = map->u.list;
    for (int i = 0; i < l->num; ++i) {
        if (std::strcmp(l->keys[i], key) != 0 || l->values[i].format != MPV_FORMAT_INT64) continue;
        if (found) *found = true;
        return l->values[i].u.int64;
    }
    return fallback;
}

void buffer_allocate(HostWindow &w, int32_t width, int32_t height) {
    w.buffer_width = width;
    w.buffer_height = height;
    w.buffer_stride = width * 4;
    // The previous buffer may go at once: mpv copies the pixels during "overlay-add".
    w.buffer.assign(static_cast<size_t>(w.buffer_stride) * static_cast<size_t>(height), 0);
    w.overlay_shown = false; // the host must learn the new address and size
}

// Whether either pool has a download running or queued: more answers are on their way.
bool downloads_in_flight(const AppState &state) {
    const DownloadPools &pools = state.pools;
    return dlpool_busy(pools.image_pool) > 0 || !pools.image_queue.empty() ||
           dlpool_busy(pools.api_pool) > 0 || !pools.request_queue.empty();
}

// Whether clock value `a` comes after `b` (wrapping arithmetic).
bool later(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

void overlay_add(HostWindow &w) {
    char address[32];
    std::snprintf(address, sizeof address, "&%lu", reinterpret_cast<unsigned long>(w.buffer.data()));
    const char *keys[] = {"name", "id", "x", "y", "file", "offset", "fmt", "w", "h", "stride"};
    mpv_node values[10]{};
    auto text = [&](int i, const char *s) {
        values[i].format = MPV_FORMAT_STRING;
        values[i].u.string = const_cast<char *>(s);
    };
    auto number = [&](int i, int64_t v) {
        values[i].format = MPV_FORMAT_INT64;
        values[i].u.int64 = v;
    };
    text(0, "overlay-add");
    text(1, OVERLAY_ID);
    number(2, 0);
    number(3, 0);
    text(4, address);
    number(5, 0);
    text(6, "bgra");
    number(7, w.buffer_width);
    number(8, w.buffer_height);
    number(9, w.buffer_stride);
    mpv_node_list list{10, values, const_cast<char **>(keys)};
    mpv_node args{};
    args.format = MPV_FORMAT_NODE_MAP;
    args.u.list = &list;
    mpv_node result{};
    if (mpv_command_node(host(), &args, &result) >= 0) mpv_free_node_contents(&result);
}

// The root surface follows the window: a new size gets a new surface and a new layout, drawn
// and published at once.
void on_resize(AppState &state, int32_t width, int32_t height) {
    Surface *root = toolkit_root_surface();
    if (root && root->width == width && root->height == height) {
        if (toolkit_publish_pending()) overlay_publish(state);
        return;
    }
    toolkit_set_root_surface(SurfacePtr(surface_new(width, height)));
    toolkit_relayout(width, height);
    toolkit_dirty_all();
    overlay_publish(state);
    toolkit_set_publish_pending(false);
}

// Before a button is dispatched, the pointer must be where the host has it now. mpv queues a
// key-binding message at once but reports "mouse-pos" changes later, so after a fast move the
// click often arrives before the move: read the position from the host, and fall back to the
// move still pending for this frame. The frame step then has nothing older to apply.
void pointer_catch_up(AppState &state) {
    HostWindow &w = state.window;
    mpv_node position{};
    if (mpv_get_property(host(), "mouse-pos", MPV_FORMAT_NODE, &position) >= 0) {
        bool have_x = false, have_y = false;
        int64_t x = map_int(&position, "x", 0, &have_x);
        int64_t y = map_int(&position, "y", 0, &have_y);
        mpv_free_node_contents(&position);
        if (have_x && have_y) {
            w.pointer_x = static_cast<int32_t>(x);
            w.pointer_y = static_cast<int32_t>(y);
            w.pending_x = w.pointer_x - w.gui_x;
            w.pending_y = w.pointer_y - w.gui_y;
            w.frame_flags |= FRAME_POINTER;
        }
    }
    if (!(w.frame_flags & FRAME_POINTER)) return;
    toolkit_pointer_motion(w.pending_x, w.pending_y);
    w.frame_flags &= ~static_cast<uint32_t>(FRAME_POINTER);
}

} // namespace

std::string section_text(const std::string &host_keys) {
    std::vector<std::string> lines = {"MOUSE_MOVE ignore", "MBTN_LEFT_DBL ignore",
                                      "ANY_UNICODE script-binding solfb-textinput"};
    std::vector<std::string> keys = section_keys();
    if (!host_keys.empty()) {
        std::set<std::string> known;
        for (size_t start = 0; start <= host_keys.size();) {
            size_t comma = std::min(host_keys.find(',', start), host_keys.size());
            known.insert(host_keys.substr(start, comma - start));
            start = comma + 1;
        }
        std::erase_if(keys, [&](const std::string &k) { return k.size() > 1 && !known.count(k); });
    }
    for (const std::string &k : keys) {
        bool toggles = k == "ESC" || k == "F12";
        lines.push_back(k + (toggles ? " script-message solfb-toggle" : " script-binding solfb-keys"));
    }
    for (const std::string &k : keys) lines.push_back("Ctrl+" + k + " script-binding solfb-keys");
    std::string text = "\n";
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i) text += '\n';
        text += lines[i];
    }
    return text;
}

void window_setup(AppState &state) {
    if (state.gui_width <= 0 || state.gui_height <= 0) report_fatal("window init failed", "error");
    HostWindow &w = state.window;
    if (state.restored_position) {
        w.gui_x = state.gui_x;
        w.gui_y = state.gui_y;
    }
    w.width = state.gui_width;
    w.height = state.gui_height;
    buffer_allocate(w, state.gui_width, state.gui_height);

    mpv_observe_property(host(), 0, "osd-dimensions", MPV_FORMAT_NODE);
    mpv_observe_property(host(), 0, "mouse-pos", MPV_FORMAT_NODE);
    std::string host_keys;
    if (char *list = nullptr; mpv_get_property(host(), "input-key-list", MPV_FORMAT_STRING, &list) == 0 && list) {
        host_keys = list;
        mpv_free(list);
    }
    std::string main_section = section_text(host_keys);
    command_node({"define-section", SECTION_MAIN, main_section.c_str()});
    command_node({"define-section", SECTION_TOGGLE, "F12 script-message solfb-toggle\n"});
    command({"enable-section", SECTION_TOGGLE, "allow-hide-cursor+allow-vo-dragging"});

    toolkit_globals_create();
    toolkit_set_root_surface(SurfacePtr(surface_new(state.gui_width, state.gui_height)));
    defer_queue_create();
    clock_ms();
    w.created = true;
    overlay_publish(state);
    std::fprintf(stderr, "%s\n", "app init ok");
}

void window_show(AppState &state) {
    command({"enable-section", SECTION_MAIN, "exclusive+allow-hide-cursor"});
    state.window.frame_flags |= FRAME_REDRAW;
}

void window_hide(AppState &state) {
    command({"disable-section", SECTION_MAIN});
    command({"overlay-remove", OVERLAY_ID});
    state.window.overlay_shown = false;
}

void window_key_binding(AppState &state, const char *binding, const char *key_state,
                        const char *key_name, const char *key_text) {
    KeyInput in = key_binding_decode(binding, key_state, key_name, key_text);
    switch (in.kind) {
    case KeyInputKind::NONE:
        return;
    case KeyInputKind::TEXT:
        toolkit_text(static_cast<uint32_t>(in.code));
        return;
    case KeyInputKind::KEY:
        state.window.modifiers = in.modifiers & ~HOST_PRESSED;
        // Key-ups are not routed: a key acts once, on the way down (and on repeats).
        if (in.modifiers & HOST_PRESSED)
            toolkit_key(static_cast<uint32_t>(in.code),
                        static_cast<uint32_t>(toolkit_modifiers(in.modifiers)));
        return;
    case KeyInputKind::BUTTON:
        state.window.modifiers = in.modifiers & ~HOST_PRESSED;
        pointer_catch_up(state);
        toolkit_button(in.code, static_cast<uint32_t>(in.modifiers));
        // A whole click in one message ("p" state: the IPC "mouse" and "keypress" commands)
        // releases the button too, or every later press would be taken for a held button.
        if (key_state[0] == 'p' && (in.modifiers & HOST_PRESSED) && in.code <= 3)
            toolkit_button(in.code, static_cast<uint32_t>(in.modifiers & ~HOST_PRESSED));
        return;
    }
}

void window_resize(AppState &state, const mpv_node *dimensions) {
    HostWindow &w = state.window;
    bool have_w = false, have_h = false;
    int64_t width = map_int(dimensions, "w", 0, &have_w);
    int64_t height = map_int(dimensions, "h", 0, &have_h);
    if (!have_w || !have_h || width <= 0 || height <= 0) return;
    // No display is larger; a bogus size must not make the player allocate gigabytes.
    if (width > 16384 || height > 16384) return;
    if (width == w.buffer_width && height == w.buffer_height) return;
    buffer_allocate(w, static_cast<int32_t>(width), static_cast<int32_t>(height));
    w.gui_x = w.gui_y = 0;
    w.width = static_cast<int32_t>(width);
    w.height = static_cast<int32_t>(height);
    on_resize(state, w.width, w.height);
}

void window_pointer(AppState &state, const mpv_node *position) {
    if (!position || position->format != MPV_FORMAT_NODE_MAP) return;
    HostWindow &w = state.window;
    w.pointer_x = static_cast<int32_t>(map_int(position, "x", 0));
    w.pointer_y = static_cast<int32_t>(map_int(position, "y", 0));
    if (!w.visible) return;
    int32_t x = w.pointer_x - w.gui_x;
    int32_t y = w.pointer_y - w.gui_y;
    toolkit_set_pointer(x, y);
    w.frame_flags |= FRAME_POINTER;
    w.pending_x = x;
    w.pending_y = y;
}

void overlay_publish(AppState &state) {
    HostWindow &w = state.window;
    const Surface *root = toolkit_root_surface();
    if (!root || !w.created) return;
    Rect d = toolkit_dirty_rect();
    if (d.w == 0 && d.h == 0) d = Rect{0, 0, root->width, root->height};
    int32_t x0 = w.gui_x + d.x;
    int32_t y0 = w.gui_y + d.y;
    bool ok = d.x >= 0 && d.y >= 0 && !w.quit && x0 >= 0 && y0 >= 0 && x0 <= w.buffer_width &&
              w.buffer_width != 0 && y0 <= w.buffer_height;
    if (ok && w.visible) {
        // Rows and columns are bounded by both the buffer and the root surface. Rows equal to
        // what the host already has are not copied; when none differ, the host is not asked to
        // copy and render the whole buffer again for nothing.
        int32_t cols = std::min({d.w, w.buffer_width - x0, root->width - d.x});
        int32_t rows = std::min({d.h, w.buffer_height - y0, root->height - d.y});
        bool changed = !w.overlay_shown;
        for (int32_t r = 0; r < rows && cols > 0; ++r) {
            uint8_t *to = w.buffer.data() + static_cast<size_t>(y0 + r) * w.buffer_stride + x0 * 4;
            const uint8_t *from =
                root->pixels + static_cast<size_t>(d.y + r) * root->stride + d.x * 4;
            size_t length = static_cast<size_t>(cols) * 4;
            if (std::memcmp(to, from, length) == 0) continue;
            std::memcpy(to, from, length);
            changed = true;
        }
        if (changed) {
            overlay_add(w);
            w.overlay_shown = true;
            w.published = true;
            w.last_publish_ms = clock_ms();
        }
    } else if (ok) {
        command({"overlay-remove", OVERLAY_ID});
        w.overlay_shown = false;
    }
    toolkit_dirty_clear();
}

namespace {

// When drawn changes may be published (`now` when they may go at once): one frame interval after
// the last publish; and while more downloads are in flight, changes drawn only by arriving
// downloads wait one frame interval from the first of them and the background interval from the
// last publish, so a page of thumbnails or a feed of fifty answers is published in a few frames
// rather than once per answer.
uint32_t publish_due(const AppState &state, uint32_t now) {
    const HostWindow &w = state.window;
    uint32_t due = now;
    if (w.published && later(w.last_publish_ms + FRAME_INTERVAL_MS, due))
        due = w.last_publish_ms + FRAME_INTERVAL_MS;
    if (!toolkit_publish_background() || !downloads_in_flight(state)) return due;
    if (later(w.waiting_since_ms + FRAME_INTERVAL_MS, due))
        due = w.waiting_since_ms + FRAME_INTERVAL_MS;
    if (w.published && later(w.last_publish_ms + BACKGROUND_INTERVAL_MS, due))
        due = w.last_publish_ms + BACKGROUND_INTERVAL_MS;
    return due;
}

} // namespace

void window_frame_step(AppState &state) {
    HostWindow &w = state.window;
    bool redraw = w.frame_flags & FRAME_REDRAW;
    bool at_once = w.frame_flags & (FRAME_REDRAW | FRAME_NOW);
    if (redraw) toolkit_dirty_all();
    if (w.frame_flags & FRAME_POINTER) toolkit_pointer_motion(w.pending_x, w.pending_y);
    w.frame_flags = 0;
    w.pending_x = w.pending_y = 0;
    toolkit_frame_guards_clear();
    if (!toolkit_publish_pending()) {
        w.change_waiting = false;
        return;
    }
    uint32_t now = clock_ms();
    if (!w.change_waiting) {
        w.change_waiting = true;
        w.waiting_since_ms = now;
    }
    // Showing the interface and a list the user waits for go out at once; everything else waits
    // for its frame.
    uint32_t due = at_once ? now : publish_due(state, now);
    if (later(due, now)) {
        wake_at(due);
        return;
    }
    overlay_publish(state);
    toolkit_set_publish_pending(false);
    w.change_waiting = false;
}
