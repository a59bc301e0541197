// The assets built into the plug-in: the pixel font, the button icons, the check-box marks, the
// small 16 x 16 icon, and the default layout bundle and themes document.
//
// The bytes are generated at build time from the files in assets/ (tools/embed_assets.py) and
// live in read-only data for the life of the process; callers only borrow them. Images are PNG
// files (R, G, B, A); the two JSON texts are zlib streams with header, to be inflated with
// asset_inflate (gfx/image.h), which ends them with a NUL byte.
#pragma once

#include <cstddef>

struct AssetBlob {
    const unsigned char *data;
    size_t size;
};

// "sol6x12": TrueType pixel font on a 6 x 12 grid (tools/make_font.py).
extern const AssetBlob asset_font_sol6x12;

// Button icons in this order (20 x 20 each, the tenth 16 x 16):
enum AssetIcon : int {
    ICON_DOWNLOAD = 0,        // "download_button"
    ICON_SHOWFAV = 1,         // "showfav_button"
    ICON_ADDFAV = 2,          // "addfav_button"
    ICON_PLAY = 3,            // "play_button"
    ICON_GO = 4,              // "go_button"
    ICON_USER_UPLOADS = 5,    // "user_uploads_button"
    ICON_PATH = 6,            // "player_path_button", "mascot_path_button", "font_path_button"
    ICON_SAVE = 7,            // "save_setting_button"
    ICON_REVERT = 8,          // "revert_setting_button"
    ICON_SEARCH_SETTINGS = 9, // "search_settings_button" (16 x 16)
    ICON_FEED = 10,           // "feed_button"
    ICON_COUNT = 11,
};
extern const AssetBlob asset_icons[ICON_COUNT];

// The check widget's two marks, 16 x 16: unchecked box, checked box.
constexpr int CHECK_MARK_COUNT = 2;
extern const AssetBlob asset_check_marks[CHECK_MARK_COUNT];

// The plug-in's own small 16 x 16 icon.
extern const AssetBlob asset_small_icon;

// zlib streams of the default layout bundle and the default themes document ("mirra", "light",
// "dark").
extern const AssetBlob asset_layout_json;
extern const AssetBlob asset_themes_json;
