// The interface as start-up builds it: the default bundle with the theme, the icons, the sidebar
// page and the focused search field, drawn whole onto the root surface.
#include "toolkit_support.h"

#include "gfx/icons.h"
#include "toolkit/interface.h"

namespace {

struct Built {
    std::array<SurfacePtr, ICON_COUNT> icons = icons_load(1);
    ThemeRecords theme = theme_defaults();
    WidgetPtr root;
    Widget *find(const char *name) { return widget_find(root.get(), name); }
    uint32_t base() const { return tk::on_screen(theme[THEME_BASE].fill_color); }
};

void build_default(Built &b, const char *theme_name, int32_t w, int32_t h) {
    tk::reset(w, h);
    ASSERT_TRUE(set_theme(b.theme, nullptr, theme_name));
    b.root = interface_build(layout_bundle_text(std::nullopt), 1, b.theme, b.icons);
    ASSERT_TRUE(b.root);
    toolkit_dirty_clear();
    interface_resize(b.root.get(), w, h);
}

} // namespace

TEST(interface, default_layout_in_mirra_with_icons_page_and_focus) {
    Built b;
    build_default(b, "mirra", 960, 720);
    EXPECT_EQ(toolkit_backend().focus, b.find("search_input"));
    EXPECT_EQ(widget_data<ButtonData>(b.find("go_button"))->icon, b.icons[ICON_GO].get());
    EXPECT_EQ(widget_data<ButtonData>(b.find("play_button"))->icon, b.icons[ICON_PLAY].get());
    EXPECT_EQ(widget_data<ButtonData>(b.find("search_sort_button"))->icon, nullptr);
    EXPECT_EQ(widget_data<PageData>(b.find("sidebar_page"))->active, b.find("video_info_split"));
    EXPECT_FALSE(b.find("settings_split")->enabled);
    Rect dirty = toolkit_dirty_rect(); // the whole frame is marked for publishing
    EXPECT_EQ(dirty.w, 960);
    EXPECT_EQ(dirty.h, 720);
    // The empty details canvas shows the translucent, premultiplied base; the list (no rows)
    // the element fill; the status bar the base.
    EXPECT_EQ(tk::root_pixel(600, 300), b.base());
    EXPECT_EQ(tk::root_pixel(600, 300) >> 24, 175u);
    EXPECT_EQ(tk::root_pixel(100, 300), tk::on_screen(b.theme[THEME_ELEM_NORMAL].fill_color));
    EXPECT_EQ(tk::root_pixel(480, 701), b.base());
    CaretPosition caret = toolkit_caret_position(); // the empty search field's caret
    ASSERT_TRUE(caret.valid);
    EXPECT_EQ(caret.x, 36 + 5);
}
