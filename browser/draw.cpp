// Drawing of the browser's screens: the rows of the result list and the details view.
#include <algorithm>
#include <cmath>

#include "browser/browser.h"
#include "browser/figures.h"
#include "plugin/app_state.h"
#include "service/player.h"

namespace {

uint32_t with_alpha(uint32_t color, double factor) {
    uint32_t a = uint32_t(double(color >> 24) * factor);
    return (color & 0x00FFFFFFu) | (std::min(a, 255u) << 24);
}

int32_t pixels(double points, int32_t dpi) { return points_to_pixels(points, dpi > 0 ? dpi : 72); }

// Draws `text` at (x, y) points and returns the pen advance; `flags` add to TEXT_RETURN_WIDTH.
double draw_line(Surface *dest, Paint paint, Font *font, const char *text, double x, double y,
                 double size, double width, uint32_t flags = 0, Paint *pen = nullptr) {
    paint.x = x;
    paint.y = y;
    int32_t advance = text_draw(dest, &paint, font, text, TEXT_RETURN_WIDTH | flags, size, width);
    if (pen) *pen = paint;
    return advance < 0 ? 0 : advance;
}

// Darkens every pixel of the box: each colour byte c -> c * 96 / 256, alpha a -> a * 96 / 256 +
// 160.
void darken(Surface *surface, Rect box) {
    int32_t x0 = std::max(box.x, 0), y0 = std::max(box.y, 0);
    int32_t x1 = std::min(box.x + box.w, surface->width),
            y1 = std::min(box.y + box.h, surface->height);
    for (int32_t y = y0; y < y1; ++y) {
        uint8_t *p = surface->pixels + size_t(y) * surface->stride + size_t(x0) * 4;
        for (int32_t x = x0; x < x1; ++x, p += 4) {
            p[0] = uint8_t(p[0] * 96 / 256);
            p[1] = uint8_t(p[1] * 96 / 256);
            p[2] = uint8_t(p[2] * 96 / 256);
            p[3] = uint8_t(p[3] * 96 / 256 + 160);
        }
    }
}

constexpr uint32_t BADGE_TEXT = 0xFFFFFFFFu;

} // namespace

void row_draw(Widget *table, uint32_t flags, void *row, int32_t column, const CellRect &cell,
              void *argument) {
    auto *d = widget_data<TableData>(table);
    if (!d || !row || column != 0 || !argument || !table->surface) return;
    AppState &state = *static_cast<AppState *>(argument);
    const list_item &item = *static_cast<const list_item *>(row);
    Surface *dest = table->surface.get();
    const TextElement &e = d->element;
    Font *font = e.font ? e.font : state.font.get();
    int32_t dpi = table->base_paint.dpi;
    bool selected = flags & CELL_SELECTED;
    Paint ink = e.paints[selected ? PAINT_TEXT_SELECTED : PAINT_TEXT_NORMAL];
    uint32_t primary = ink.color;
    uint32_t secondary = with_alpha(primary, 0.7);
    if ((item.flags & ITEM_FLAG_WATCHED) && state.switches.dim_watched_videos) {
        primary = with_alpha(primary, 0.5);
        secondary = with_alpha(secondary, 0.5);
    }
    double thumb_width = state.thumb_width * state.scale;
    double row_height = std::round(state.thumb_height * state.scale);
    double p = table->padding;

    if (item.kind == ITEM_MORE) {
        const char *text = ">>> Load More <<<";
        double size = e.size * 1.5;
        Paint measure = ink;
        double width =
            text_draw(dest, &measure, font, text, TEXT_NO_DRAW | TEXT_RETURN_WIDTH, size, cell.w);
        ink.color = primary;
        draw_line(dest, ink, font, text, cell.x + (cell.w - std::max(width, 0.0)) / 2,
                  cell.y + (row_height - size) / 2, size, cell.w);
        return;
    }

    // Title beside the thumbnail column, in the lines above the bottom line (when that shows),
    // its last line ending in an ellipsis when the title needs more.
    bool bottom_line = state.switches.show_extra_metadata && item.published_text &&
                       !item.published_text->empty();
    double text_x = cell.x + thumb_width + p;
    double text_width = cell.w - 2 * p - thumb_width;
    if (item.title) {
        Paint title = ink;
        title.color = primary;
        int32_t line_pixels = std::max(pixels(e.size, dpi), 1);
        int32_t room = pixels(row_height - 2 * p - (bottom_line ? e.size : 0), dpi);
        int32_t lines = std::max(room / line_pixels, 1);
        std::string text = text_fit(title, font, item.title->c_str(), e.size, text_width, lines);
        title.x = text_x;
        title.y = cell.y + p;
        text_draw(dest, &title, font, text.c_str(), TEXT_WRAP, e.size, text_width);
    }

    // Age and views on the row's bottom line, as readable figures.
    if (bottom_line) {
        double y = cell.y + row_height - p - e.size;
        const Paint &band = e.paints[selected             ? PAINT_TEXT_SELECTED
                                     : (flags & CELL_ODD) ? PAINT_TEXT_NORMAL
                                                          : PAINT_TEXT_PRESSED];
        surface_fill_rect(dest, band, pixels(text_x, dpi), pixels(y, dpi),
                          pixels(cell.x + cell.w, dpi) - 1, pixels(y + e.size, dpi) - 1);
        std::string line = readable_age(*item.published_text);
        if (item.views_text && !item.views_text->empty())
            line += " - " + readable_views(*item.views_text);
        Paint pen = ink;
        pen.color = secondary;
        line = text_fit(pen, font, line.c_str(), e.size, text_width, 1);
        draw_line(dest, pen, font, line.c_str(), text_x, y, e.size, text_width);
    }

    // Thumbnail, copied unscaled; channel avatars are centred in the thumbnail column.
    double left = cell.x;
    if (item.kind == ITEM_CHANNEL) left += (thumb_width - row_height) / 2;
    Surface *image =
        item.thumb_url ? thumbnail_cache_find(state.browser.thumbnails, *item.thumb_url) : nullptr;
    int32_t tx = pixels(left, dpi), ty = pixels(cell.y, dpi);
    int32_t row_pixels = pixels(row_height, dpi);
    if (image) {
        Rect at{tx, ty, image->width, std::min(image->height, row_pixels)};
        surface_blit(image, nullptr, dest, &at, 0);
    }

    // The length badge at the thumbnail's bottom-right corner.
    if (item.length_text && !item.length_text->empty()) {
        Paint measure = ink;
        double width = text_draw(dest, &measure, font, item.length_text->c_str(),
                                 TEXT_NO_DRAW | TEXT_RETURN_WIDTH, e.size, thumb_width);
        width = std::max(width, 0.0);
        // At the corner of the picture: the thumbnail column, or a channel's square avatar.
        double right = left + (item.kind == ITEM_CHANNEL ? row_height : thumb_width);
        double bottom = cell.y + row_height;
        double bx = right - width - 4, by = bottom - e.size - 2;
        darken(dest,
               {pixels(bx, dpi), pixels(by, dpi), pixels(width + 4, dpi), pixels(e.size + 2, dpi)});
        Paint badge = ink;
        badge.color = BADGE_TEXT;
        draw_line(dest, badge, font, item.length_text->c_str(), bx + 2, by + 1, e.size, width + 2);
    }
}

void details_rebuild(AppState &state) {
    Widget *view = state.browser.widgets.video_view;
    auto *canvas = widget_data<CanvasData>(view);
    if (!canvas) return;
    int32_t W = view->outer_rect.w, H = view->outer_rect.h;
    if (W <= 0 || H <= 0) return;
    if (!state.preview || state.preview->width != W || state.preview->height != H)
        state.preview.reset(surface_new(W, H));
    canvas->image = state.preview.get();
    Surface *surface = state.preview.get();
    const Paint &base = state.theme[THEME_BASE];
    surface_fill_rect(surface, base, 0, 0, W - 1, H - 1);

    if (Surface *mascot = state.mascot.get()) {
        Rect at{W - mascot->width - 5, H - mascot->height - 5, mascot->width, mascot->height};
        surface_blit(mascot, nullptr, surface, &at, 0);
    }

    const list_item &video = state.client.current_video;
    Font *font = state.font.get();
    double s = state.scale;
    double frames_height = video.duration != 0 ? 3 * W / 16 : 0;
    bool has_text = video.title && video.channel_name && video.id && *video.id != "(null)";

    std::string title, details;
    const char *description = video.description ? video.description->c_str() : "";
    if (has_text) {
        title = *video.title + "\n";
        details = details_line(video);
    }
    Paint ink = state.theme[THEME_TEXT_NORMAL];
    Paint faint = ink;
    faint.color = with_alpha(ink.color, 0.7);
    double width = W - 15 * s;
    double sizes[3] = {1.5 * state.font_size * s, 1.2 * state.font_size * s, state.font_size * s};
    const char *texts[3] = {title.c_str(), details.c_str(), description};
    uint32_t flags = TEXT_WRAP | TEXT_WRAP_WORDS | TEXT_STORE_PEN;

    // Lays the three blocks out from `top`; returns the height they take.
    auto layout = [&](double top, uint32_t extra) {
        double y = top;
        for (int i = 0; i < 3; ++i) {
            Paint pen = i == 2 ? faint : ink;
            pen.x = 5 * s;
            pen.y = y;
            text_draw(surface, &pen, font, texts[i], flags | extra, sizes[i], width);
            y = pen.y + (i == 2 ? sizes[i] : 0) + 5 * s;
        }
        return y - top;
    };
    double text_height = has_text && font ? layout(0, TEXT_NO_DRAW) : 0;

    double lowest = std::min(0.0, H - frames_height - text_height);
    state.browser.details_offset = std::clamp(state.browser.details_offset, lowest, 0.0);
    double offset = state.browser.details_offset;

    if (video.duration != 0 && video.id) {
        for (int i = 0; i < 3; ++i) {
            Surface *frame =
                thumbnail_cache_find(state.browser.thumbnails, frame_url(*video.id, i + 1));
            if (!frame) continue;
            Rect at{i * W / 3, int32_t(offset), W / 3 + 1, 3 * W / 16};
            surface_draw(frame, nullptr, surface, &at, DRAW_BILINEAR | DRAW_OPAQUE);
        }
    }
    if (has_text && font) layout(offset + frames_height + 5 * s, 0);

    Paint edge = state.theme[THEME_ELEM_NORMAL];
    surface_draw_line(surface, edge, 0, 0, W - 1, 0);
    surface_draw_line(surface, edge, 0, H - 1, W - 1, H - 1);
    surface_draw_line(surface, edge, 0, 0, 0, H - 1);
    surface_draw_line(surface, edge, W - 1, 0, W - 1, H - 1);
}

void details_scroll(AppState &state, double amount) {
    state.browser.details_offset += amount;
    details_rebuild(state);
    if (Widget *view = state.browser.widgets.video_view) widget_redraw_publish(view);
}
