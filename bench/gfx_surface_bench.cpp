// Full-surface drawing against the physical limit: an opaque blit (surface_copy) and a fill of a
// 1920 x 1080 surface against memcpy and memset of the same bytes, a blended blit against the
// same memcpy, and one thumbnail resample (320 x 180 to 128 x 72) against stb_image_resize doing
// the same resize.
#include "gfx/surface.h"

#include <benchmark/benchmark.h>
#include <stb_image_resize.h>

#include <cstring>
#include <vector>

namespace {

constexpr int W = 1920, H = 1080;
constexpr size_t BYTES = size_t(W) * H * 4;

SurfacePtr noise(int w, int h, uint32_t alpha_mask) {
    SurfacePtr s(surface_new(w, h));
    uint32_t x = 12345;
    for (size_t i = 0; i < size_t(w) * size_t(h); ++i) {
        x = x * 1664525u + 1013904223u;
        uint32_t v = x | alpha_mask;
        std::memcpy(s->pixels + i * 4, &v, 4);
    }
    return s;
}

void reference_memcpy(benchmark::State &state) {
    std::vector<uint8_t> from(BYTES, 1), to(BYTES);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), BYTES);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(BYTES));
}

void reference_memset(benchmark::State &state) {
    std::vector<uint8_t> to(BYTES);
    for (auto _ : state) {
        std::memset(to.data(), 0x5A, BYTES);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(BYTES));
}

void copy_opaque(benchmark::State &state) {
    SurfacePtr from = noise(W, H, 0xFF000000u), to(surface_new(W, H));
    for (auto _ : state) {
        surface_copy(from.get(), nullptr, to.get(), nullptr);
        benchmark::DoNotOptimize(to->pixels);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(BYTES));
}

void fill_rect(benchmark::State &state) {
    SurfacePtr to(surface_new(W, H));
    Paint paint;
    paint.fill_color = 0xFF336699u;
    for (auto _ : state) {
        surface_fill_rect(to.get(), paint, 0, 0, W - 1, H - 1);
        benchmark::DoNotOptimize(to->pixels);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(BYTES));
}

// Every pixel translucent (alpha 1..254), so no shortcut applies.
void blit_blended(benchmark::State &state) {
    SurfacePtr from = noise(W, H, 0), to = noise(W, H, 0xFF000000u);
    for (size_t i = 0; i < size_t(W) * H; ++i) {
        uint8_t &a = from->pixels[i * 4 + 3];
        a = uint8_t(1 + a % 254);
    }
    for (auto _ : state) {
        surface_blit(from.get(), nullptr, to.get(), nullptr, 0);
        benchmark::DoNotOptimize(to->pixels);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(BYTES));
}

void scale_thumbnail(benchmark::State &state) {
    SurfacePtr from = noise(320, 180, 0xFF000000u);
    for (auto _ : state) {
        SurfacePtr out(surface_scale(from.get(), 128, 72));
        benchmark::DoNotOptimize(out->pixels);
    }
}

void reference_stbir_resize(benchmark::State &state) {
    SurfacePtr from = noise(320, 180, 0xFF000000u), to(surface_new(128, 72));
    for (auto _ : state) {
        stbir_resize_uint8(from->pixels, 320, 180, 0, to->pixels, 128, 72, 0, 4);
        benchmark::DoNotOptimize(to->pixels);
    }
}

} // namespace

BENCHMARK(reference_memcpy);
BENCHMARK(copy_opaque);
BENCHMARK(reference_memset);
BENCHMARK(fill_rect);
BENCHMARK(blit_blended);
BENCHMARK(reference_stbir_resize);
BENCHMARK(scale_thumbnail);
BENCHMARK_MAIN();
