// Decoding of the built-in images and the button-to-icon table.
#include "gfx/icons.h"

#include "gfx/image.h"

namespace {

SurfacePtr decode(const AssetBlob &blob) { return SurfacePtr(image_decode(blob.data, blob.size)); }

} // namespace

const std::array<IconBinding, 13> ICON_BINDINGS = {{
    {"download_button", ICON_DOWNLOAD},
    {"showfav_button", ICON_SHOWFAV},
    {"addfav_button", ICON_ADDFAV},
    {"play_button", ICON_PLAY},
    {"go_button", ICON_GO},
    {"user_uploads_button", ICON_USER_UPLOADS},
    {"player_path_button", ICON_PATH},
    {"mascot_path_button", ICON_PATH},
    {"font_path_button", ICON_PATH},
    {"save_setting_button", ICON_SAVE},
    {"revert_setting_button", ICON_REVERT},
    {"search_settings_button", ICON_SEARCH_SETTINGS},
    {"feed_button", ICON_FEED},
}};

std::array<SurfacePtr, ICON_COUNT> icons_load(double scale) {
    std::array<SurfacePtr, ICON_COUNT> icons;
    for (int i = 0; i < ICON_COUNT; ++i)
        icons[i] = icon_apply_scale(decode(asset_icons[i]), scale);
    return icons;
}

std::array<SurfacePtr, CHECK_MARK_COUNT> check_marks_load() {
    std::array<SurfacePtr, CHECK_MARK_COUNT> marks;
    for (int i = 0; i < CHECK_MARK_COUNT; ++i)
        marks[i] = decode(asset_check_marks[i]);
    return marks;
}

SurfacePtr small_icon_load() { return decode(asset_small_icon); }

int icon_for_button(std::string_view name) {
    for (const IconBinding &binding : ICON_BINDINGS)
        if (name == binding.button) return binding.icon;
    return -1;
}
