// Redrawing the interface against copying the frame: a full refresh of the default layout at
// 1920 x 1080 (scale 1) and at scale 2 on 3840 x 2160, and a one-step scroll of a filled result
// list, each beside memcpy of a frame of the same size.
//
// The list holds 100 rows of a thumbnail (128 x 72 at scale 1) and a title, drawn by the table's
// default cell callback; the theme is "mirra" and the font the built-in one at 14 x scale points.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "gfx/icons.h"
#include "gfx/text.h"
#include "toolkit/events.h"
#include "toolkit/input.h"
#include "toolkit/interface.h"

namespace {

struct Frame {
    std::unique_ptr<Font> font = font_load_builtin();
    std::array<SurfacePtr, ICON_COUNT> icons;
    ThemeRecords theme = theme_defaults();
    WidgetPtr root;
    Widget *table = nullptr;
    SurfacePtr thumb;
    std::vector<std::string> titles;
    List<TableCells> rows;
    int width = 0, height = 0;

    Frame(int w, int h, double scale) : width(w), height(h) {
        icons = icons_load(scale);
        toolkit_globals_create();
        toolkit_set_root_surface(SurfacePtr(surface_new(w, h)));
        toolkit_backend().default_font = font.get();
        toolkit_backend().default_size = 14 * scale;
        set_theme(theme, nullptr, "mirra");
        root = interface_build(std::string(layout_bundle_text(std::nullopt)), scale, theme, icons);
        table = widget_find(root.get(), "video_list_table");
        thumb.reset(surface_new(int(128 * scale), int(72 * scale)));
        Paint p{72, 0, 0xFF3060A0u};
        surface_fill_rect(thumb.get(), p, 0, 0, thumb->width - 1, thumb->height - 1);
        for (int i = 0; i < 100; ++i)
            titles.push_back("Video number " + std::to_string(i) + " with a longer title");
        for (int i = 0; i < 100; ++i) {
            auto *cells = new TableCells;
            cells->cells = {thumb.get(), titles[size_t(i)].c_str()};
            rows.append(cells, 1);
        }
        const double widths[] = {-(128 * scale + 10 * scale), 100};
        const uint32_t flags[] = {COLUMN_IMAGE, 0};
        table_set_columns(table, 2, widths, flags);
        table_set_rows(table, table_rows_of(rows), 100);
        interface_resize(root.get(), w, h);
    }
    ~Frame() {
        root.reset();
        toolkit_globals_destroy();
    }
};

void full_redraw(benchmark::State &state, int w, int h, double scale) {
    Frame frame(w, h, scale);
    for (auto _ : state) {
        widget_refresh(frame.root.get());
        benchmark::DoNotOptimize(toolkit_root_surface()->pixels);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * w * h * 4);
}

// One wheel step (80 pixels at scale 1) down and back, alternately, redrawing the list each time.
void list_scroll_step(benchmark::State &state, int w, int h, double scale) {
    Frame frame(w, h, scale);
    auto *d = widget_data<TableData>(frame.table);
    double span = 100 * d->row_height - (frame.table->outer_box.h);
    double step = 80 * scale / span * 100;
    widget_set_value(frame.table, 50);
    bool down = true;
    for (auto _ : state) {
        widget_set_value(frame.table, 50 + (down ? step : 0));
        down = !down;
        widget_refresh(frame.table);
        benchmark::DoNotOptimize(toolkit_root_surface()->pixels);
        benchmark::ClobberMemory();
    }
}

void frame_memcpy(benchmark::State &state, int w, int h) {
    size_t bytes = size_t(w) * size_t(h) * 4;
    std::vector<uint8_t> from(bytes, 1), to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

} // namespace

BENCHMARK_CAPTURE(full_redraw, 1920x1080_scale1, 1920, 1080, 1.0)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(frame_memcpy, 1920x1080, 1920, 1080)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(full_redraw, 3840x2160_scale2, 3840, 2160, 2.0)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(frame_memcpy, 3840x2160, 3840, 2160)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(list_scroll_step, 1920x1080_scale1, 1920, 1080, 1.0)
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
