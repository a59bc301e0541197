// The interface as start-up builds it: the default bundle with the theme, the icons, the sidebar
// page and the focused search field, drawn whole onto a 960 x 720 root surface. The frames are
// also written as PNG files into the build folder for looking at.
#include "toolkit_support.h"

#include <stb_image_write.h>

#include <vector>

#include "gfx/icons.h"
#include "toolkit/interface.h"

namespace {

// Writes the root surface (B, G, R, A) as an R, G, B, A PNG file.
void save_png(const std::string &name) {
    const Surface *s = toolkit_root_surface();
    std::vector<uint8_t> rgba(size_t(s->width) * size_t(s->height) * 4);
    for (size_t i = 0; i < rgba.size(); i += 4) {
        rgba[i] = s->pixels[i + 2];
        rgba[i + 1] = s->pixels[i + 1];
        rgba[i + 2] = s->pixels[i];
        rgba[i + 3] = 255; // shown over black, as the overlay would be over a dark video
    }
    std::string path = std::string(SOLVANE_BINARY_DIR) + "/" + name;
    stbi_write_png(path.c_str(), s->width, s->height, 4, rgba.data(), s->width * 4);
}

struct Built {
    std::array<SurfacePtr, ICON_COUNT> icons = icons_load(1);
    ThemeRecords theme = theme_defaults();
    WidgetPtr root;
};

void build_default(Built &b, const char *theme_name) {
    ASSERT_TRUE(set_theme(b.theme, nullptr, theme_name));
    b.root = interface_build(layout_bundle_text(std::nullopt), 1, b.theme, b.icons);
    ASSERT_TRUE(b.root);
    toolkit_dirty_clear();
    interface_resize(b.root.get(), 960, 720);
}

} // namespace

TEST(interface, default_layout_in_mirra_with_icons_page_and_focus) {
    tk::reset(960, 720);
    Built b;
    build_default(b, "mirra");
    Widget *root = b.root.get();
    EXPECT_EQ(toolkit_backend().focus, widget_find(root, "search_input"));
    EXPECT_EQ(widget_data<ButtonData>(widget_find(root, "go_button"))->icon,
              b.icons[ICON_GO].get());
    EXPECT_EQ(widget_data<ButtonData>(widget_find(root, "play_button"))->icon,
              b.icons[ICON_PLAY].get());
    EXPECT_EQ(widget_data<ButtonData>(widget_find(root, "search_sort_button"))->icon, nullptr);
    auto *page = widget_data<PageData>(widget_find(root, "sidebar_page"));
    EXPECT_EQ(page->active, widget_find(root, "video_info_split"));
    EXPECT_FALSE(widget_find(root, "settings_split")->enabled);
    // The whole frame is marked for publishing.
    Rect dirty = toolkit_dirty_rect();
    EXPECT_EQ(dirty.w, 960);
    EXPECT_EQ(dirty.h, 720);
    // The empty details canvas shows the translucent, premultiplied base.
    EXPECT_EQ(tk::root_pixel(600, 300), tk::on_screen(b.theme[THEME_BASE].fill_color));
    EXPECT_EQ(tk::root_pixel(600, 300) >> 24, 175u);
    // The list (no rows) shows the element fill; the status bar the base pair.
    EXPECT_EQ(tk::root_pixel(100, 300), tk::on_screen(b.theme[THEME_ELEM_NORMAL].fill_color));
    EXPECT_EQ(tk::root_pixel(480, 701), tk::on_screen(b.theme[THEME_BASE].fill_color));
    // The focused, empty search field draws its caret at the text start.
    CaretPosition caret = toolkit_caret_position();
    ASSERT_TRUE(caret.valid);
    EXPECT_EQ(caret.x, 36 + 5);
    save_png("toolkit_default_mirra.png");
}

TEST(interface, dark_theme_and_a_new_window_size) {
    tk::reset(1280, 800);
    Built b;
    build_default(b, "dark");
    EXPECT_EQ(tk::root_pixel(900, 400), tk::on_screen(b.theme[THEME_BASE].fill_color));
    // Laid out again for a larger window: the details view takes the extra width.
    toolkit_set_root_surface(SurfacePtr(surface_new(1280, 800)));
    interface_resize(b.root.get(), 1280, 800);
    WidgetBox view = widget_box(widget_find(b.root.get(), "video_view"), false);
    EXPECT_DOUBLE_EQ(view.w, 920);
    EXPECT_DOUBLE_EQ(view.h, 746);
    EXPECT_EQ(tk::root_pixel(1200, 600), tk::on_screen(b.theme[THEME_BASE].fill_color));
    save_png("toolkit_default_dark.png");
}

TEST(interface, typed_text_lands_in_the_search_field) {
    tk::reset(960, 720);
    Built b;
    build_default(b, "mirra");
    shortcut_add(KEY_ANY, 0, key_dispatch, nullptr);
    for (char c : std::string("cats")) toolkit_text(uint32_t(c));
    Widget *search = widget_find(b.root.get(), "search_input");
    EXPECT_STREQ(widget_get_text(search), "cats");
    toolkit_key('A', MOD_CTRL);
    toolkit_key(KEY_BACKSPACE, 0);
    EXPECT_STREQ(widget_get_text(search), "");
}
