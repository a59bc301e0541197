// The application record: one instance lives in the entry's frame for the plug-in's whole life
// and its address is the argument of every task, timer, callback and action. It owns the
// settings, the paths and (as later subsystems arrive) the lists, widgets and pools.
#pragma once

#include "assets/assets.h"
#include "base/runtime.h"
#include "browser/browser.h"
#include "gfx/surface.h"
#include "gfx/text.h"
#include "net/dlpool.h"
#include "service/client.h"
#include "toolkit/theme.h"
#include "toolkit/widget.h"

#include <array>
#include <memory>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A key re-binding read from the configuration, kept for the action table.
struct KeyBinding {
    int32_t key;       // toolkit key code
    int32_t modifiers; // CTRL 1, ALT 2, SHIFT 4, SUPER 8
    std::string action;
};

// The boolean configuration keys, one flag each.
struct Switches {
    bool single_click_select = false;
    bool show_extra_metadata = false;
    bool smooth_scroll = false;
    bool touch_scroll = false;
    bool infinite_scroll = false;
    bool save_window_position = false;
    bool save_state = false;
    bool debug_url = false;
    bool use_edl = false;
    bool use_full_manifest = false;
    bool generate_chapters = false;
    bool sponsorblock = false;
    bool allow_hdr = false;
    bool update_favorites = false;
    bool save_history = false;
    bool autoplay_next = false;
    bool show_autoplay_notification = false;
    bool dim_watched_videos = false;
    bool playlist_use_rss = false;
    bool feed_use_rss = true;
    bool all_codecs = false;
    bool show_after_playback = true; // show the interface again when the video it started ends
    bool instant_play = true;
};

// Frame flags: what the next frame step of the main loop must do.
enum FrameFlags : uint32_t {
    FRAME_REDRAW = 1,  // republish the whole interface surface
    FRAME_NOW = 2,     // a list the user waits for came in: publish it without waiting for the
                       // frame interval
    FRAME_POINTER = 8, // the pointer moved; the new position is pending
};

// The host side of the interface: the overlay buffer mpv shows, the window geometry, the
// pointer and modifiers as the host reported them, and the visible and quit flags. Created by
// window set-up and kept for the plug-in's whole life.
struct HostWindow {
    bool created = false;
    int32_t gui_x = 0; // where the interface surface sits inside the overlay buffer
    int32_t gui_y = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t pointer_x = 0;
    int32_t pointer_y = 0;
    int32_t modifiers = 0; // host layout
    bool quit = false;
    // The overlay buffer: B, G, R, A, always the size of the host's OSD.
    int32_t buffer_width = 0;
    int32_t buffer_height = 0;
    int32_t buffer_stride = 0;
    std::vector<uint8_t> buffer;
    bool visible = false;
    // Frame step requests and the pointer position pending for it.
    uint32_t frame_flags = 0;
    int32_t pending_x = 0;
    int32_t pending_y = 0;
    // Publishing: whether the host shows the buffer as last announced (false until the first
    // overlay-add, after a removal and after the buffer was replaced), when the last
    // overlay-add went out, and since when drawn changes wait to be published.
    bool overlay_shown = false;
    bool published = false;
    uint32_t last_publish_ms = 0;
    bool change_waiting = false;
    uint32_t waiting_since_ms = 0;
};

constexpr const char *DEFAULT_SPONSORBLOCK_SERVER = "sponsor.ajay.app";

struct AppState {
    // Paths: the configuration directory and the files in it.
    std::string config_dir;
    std::string config_file;
    std::string favorites_file;
    std::string subscriptions_file;
    std::string history_file;

    // Settings.
    std::string save_path = ".";
    std::string player_path = "mpv";
    std::optional<std::string> layout_bundle_path; // absent: the built-in layout
    std::optional<std::string> font_path;          // absent: the built-in font
    std::vector<std::string> fallback_fonts;       // files and families tried before fontconfig's
    std::optional<std::string> mascot_path;
    std::optional<std::string> theme_path;
    std::optional<std::string> theme_name;
    std::string video_format = "1080p60";
    std::string sub_format = "vtt";
    std::string sub_language = "en";
    std::string sponsorblock_server = DEFAULT_SPONSORBLOCK_SERVER;
    std::string sponsorblock_params;
    std::string max_feed_age = "1 month";
    int32_t client_code = 15;
    int32_t feed_videos_per_channel = 15;
    bool use_hls = false;
    bool hls_quality_names = false;
    bool ytdl_fallback = false;
    Switches switches;
    std::vector<KeyBinding> key_bindings;

    double scale = 1.0;
    // The `scale` setting; `scale` above is what the interface is built at, smaller when the
    // window is too small for the setting.
    double scale_setting = 1.0;
    int32_t font_size = 14;
    int32_t thumb_width = 128;
    int32_t thumb_height = 72;
    int32_t list_width = 360;

    // GUI position and size; the size follows the scale unless the state file gives one.
    int32_t gui_x = 0;
    int32_t gui_y = 0;
    int32_t gui_width = 960;
    int32_t gui_height = 720;

    // Restored from the state file.
    bool restored_position = false;
    bool restore_pending = false;
    std::optional<std::string> restored_video_id;

    // Browser state shared across subsystems.
    bool appending_guard = true; // infinite scrolling waits for a first parsed list
    bool autoplay_queued = false;
    bool browser_playback = false;
    // Playback from the browser hid the interface, which was shown: it shows again when the
    // player has nothing more to play (show_after_playback).
    bool show_when_playback_ends = false;
    int64_t launched_entry = -1; // the host's playlist entry of the last load (-1: none)
    std::optional<std::string> current_query;
    std::optional<std::string> current_video_id;

    HostWindow window;

    // The interface: its font, colours, images and the widget tree.
    std::unique_ptr<Font> font;
    ThemeRecords theme{};        // the active theme
    ThemeRecords custom_theme{}; // the `theme_path` file's theme (the defaults without one)
    std::array<SurfacePtr, ICON_COUNT> icons;
    SurfacePtr small_icon;
    SurfacePtr mascot;
    SurfacePtr preview;         // the image of the details view; 1 x 1 until one is drawn
    SurfacePtr playlist_avatar; // the owner picture of the shown list
    WidgetPtr root;

    // The API and image download pools with their queues; the pump task drives them.
    DownloadPools pools;
    // The service client (settings from the configuration, hooks into the screens) and the
    // browser's screens; both borrow the pools and the widget tree above.
    ServiceClient client;
    Browser browser;
    // Polls once a second whether the next video should be queued (autoplay).
    Timer autoplay_timer{};
    // Whether downloads were in flight or queued at the end of the last pass, and how often
    // their draining returned the allocator's free memory (the main loop's trim).
    bool downloads_busy = false;
    uint32_t memory_trims = 0;
    // Milliseconds the main loop waits after a pass without host events. Once the download
    // pump runs it does the waiting, and this is 0.
    int32_t idle_sleep_ms = 10;
};
