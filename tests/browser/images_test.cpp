// Image downloads (sizes by kind, caching) and the drawing of rows and the details view.
#include "browser_support.h"

#include <cmath>

using bt::World;

namespace {

constexpr uint32_t RED = 0xFF0000FFu; // R, G, B, A bytes

// Redraws the table onto its own surface and returns it.
const Surface *draw_rows(World &w) {
    widget_draw(w.table());
    return w.table()->surface.get();
}

// How much ink lies in the table's rectangle: the sum of colour differences from the band colour
// just beyond its bottom-right corner.
long ink(World &w, int x0, int y0, int x1, int y1) {
    const Surface *s = w.table()->surface.get();
    uint32_t band = bt::pixel(s, x1 + 2, y1 + 2);
    long sum = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            for (int c = 0; c < 3; ++c)
                sum += std::abs(int((bt::pixel(s, x, y) >> (8 * c)) & 0xFF) -
                                int((band >> (8 * c)) & 0xFF));
    return sum;
}
long title_ink(World &w) { return ink(w, 132, 5, 300, 17); }

} // namespace

TEST(images, failed_downloads_cache_nothing_and_bad_bodies_cache_a_blank) {
    World w;
    list_item row;
    row.thumb_url = "https://i.ytimg.com/vi/x/mqdefault.jpg";
    w.arrive(*row.thumb_url, IMAGE_THUMB, bt::bmp(4, 4, RED), HTTP_CLASS_ERROR);
    thumbnail_queue(w.state, row);
    EXPECT_EQ(w.images().size(), 1u);
    // An error page with a success status: cached as a blank, not asked for again.
    w.arrive(*row.thumb_url, IMAGE_THUMB, "<html>not an image</html>");
    ASSERT_TRUE(thumbnail_cache_find(w.browser().thumbnails, *row.thumb_url));
    w.state.pools.image_queue.clear();
    thumbnail_queue(w.state, row);
    EXPECT_TRUE(w.images().empty());
}

TEST(rows, thumbnail_badge_and_title_dimming) {
    World w;
    w.first_search_page();
    list_item &first = *w.browser().results.first()->data;
    ASSERT_TRUE(first.thumb_url);
    ASSERT_TRUE(first.length_text && !first.length_text->empty()); // the badge's text
    w.arrive(*first.thumb_url, IMAGE_THUMB, bt::bmp(320, 180, RED));
    const Surface *s = draw_rows(w);
    // The thumbnail at the row's left, unscaled (stored at 128 x 72).
    EXPECT_EQ(bt::pixel(s, 10, 10), RED);
    EXPECT_EQ(bt::pixel(s, 100, 30), RED);
    // The badge box at the thumbnail's corner: c -> c * 96 / 256, a -> a * 96 / 256 + 160.
    EXPECT_EQ(bt::pixel(s, 127, 70), 0xFF00005Fu);

    // Watched rows are dimmed only when asked.
    long normal = title_ink(w);
    EXPECT_GT(normal, 0);
    first.flags |= ITEM_FLAG_WATCHED;
    draw_rows(w);
    EXPECT_EQ(title_ink(w), normal);
    w.state.switches.dim_watched_videos = true;
    draw_rows(w);
    EXPECT_LT(title_ink(w), normal * 6 / 10);
    EXPECT_GT(title_ink(w), normal * 3 / 10);
}

TEST(details, scrolling_stops_at_both_ends_and_the_empty_view) {
    World w;
    list_item &video = w.state.client.current_video;
    video.id = "M4gD1WSo5mA";
    video.title = "A title";
    video.channel_name = "A channel";
    video.duration = 125;
    video.description = "";
    for (int i = 0; i < 80; ++i) *video.description += "line of the description\n";
    w.arrive(frame_url("M4gD1WSo5mA", 1), IMAGE_FRAME, bt::bmp(32, 18, RED));
    details_rebuild(w.state);
    const Surface *s = w.state.preview.get();
    int W = s->width, H = s->height, fh = 3 * W / 16;
    const uint32_t base = w.state.theme[THEME_BASE].fill_color;
    // Scrolling moves frames and text; it stops at the top and at the end of the text.
    details_scroll(w.state, 80);
    EXPECT_EQ(w.browser().details_offset, 0);
    details_scroll(w.state, -80);
    EXPECT_EQ(w.browser().details_offset, -80);
    EXPECT_EQ(bt::pixel(s, 10, fh - 80 - 2), RED);
    EXPECT_EQ(bt::pixel(s, 10, fh - 80 + 2), base);
    details_scroll(w.state, -1e6);
    double lowest = w.browser().details_offset;
    EXPECT_LT(lowest, -80);
    details_scroll(w.state, -80);
    EXPECT_EQ(w.browser().details_offset, lowest);

    // With no video the view shows nothing but the mascot in the bottom-right corner, 5 pixels
    // in, and does not scroll.
    w.state.mascot.reset(surface_new(10, 10));
    for (int i = 0; i < 100; ++i) std::memcpy(w.state.mascot->pixels + i * 4, &RED, 4);
    video = list_item{};
    details_rebuild(w.state);
    s = w.state.preview.get();
    for (int y = 2; y < H - 20; y += 3) // nothing but the base inside the border
        for (int x = 2; x < W - 2; x += 3)
            ASSERT_EQ(bt::pixel(s, x, y), base) << x << "," << y;
    for (int x : {5, 6, 15, 16})
        EXPECT_EQ(bt::pixel(s, W - x, H - 6) == RED, x == 6 || x == 15) << x;
    details_scroll(w.state, -80);
    EXPECT_EQ(w.browser().details_offset, 0);
}

