// Surfaces and drawing primitives. Pixels are read and written as little-endian 32-bit words
// (byte 0 in the low bits), so the paired-channel mask 0x00FF00FF covers bytes 0 and 2.
#include "gfx/surface.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/runtime.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

static_assert(std::endian::native == std::endian::little, "pixel words assume little-endian");

namespace {

uint32_t *row_of(Surface *surface, int32_t y) {
    return reinterpret_cast<uint32_t *>(surface->pixels + size_t(y) * surface->stride);
}
const uint32_t *row_of(const Surface *surface, int32_t y) {
    return reinterpret_cast<const uint32_t *>(surface->pixels + size_t(y) * surface->stride);
}

uint32_t swap_red_blue(uint32_t px) {
    return (px & 0xFF00FF00u) | ((px >> 16) & 0xFFu) | ((px & 0xFFu) << 16);
}

// Blending with the two exact shortcuts of the formula: alpha 0 leaves the destination as it
// is and alpha 255 yields the source.
inline void blend_into(uint32_t *dst, uint32_t src) {
    uint32_t a = src >> 24;
    if (a == 0) return;
    *dst = a == 255 ? src : pixel_blend(*dst, src);
}

Rect whole(const Surface *surface) { return Rect{0, 0, surface->width, surface->height}; }

// The visible part of an unscaled blit: source rectangle at (sx, sy) of w x h landing at
// (dx, dy), everything inside both surfaces and the destination window.
struct BlitSpan {
    int32_t sx, sy, dx, dy, w, h;
};

bool blit_clip(const Surface *source, const Rect *source_rect, const Surface *dest,
               const Rect *dest_rect, BlitSpan *span) {
    if (!source || !dest || !source->pixels || !dest->pixels) return false;
    Rect s = source_rect ? *source_rect : whole(source);
    int64_t sx = s.x, sy = s.y, sw = s.w, sh = s.h;
    int64_t x = dest_rect ? dest_rect->x : 0;
    int64_t y = dest_rect ? dest_rect->y : 0;
    // Clip the source rectangle to the source; a cut on the left or top moves the landing spot.
    if (sx < 0) {
        x -= sx;
        sw += sx;
        sx = 0;
    }
    if (sy < 0) {
        y -= sy;
        sh += sy;
        sy = 0;
    }
    sw = std::min<int64_t>(sw, source->width - sx);
    sh = std::min<int64_t>(sh, source->height - sy);
    if (sw <= 0 || sh <= 0) return false;
    // The window: the destination rectangle (or the whole destination), inside the surface.
    Rect win = dest_rect ? *dest_rect : whole(dest);
    int64_t wx0 = std::max<int64_t>(win.x, 0);
    int64_t wy0 = std::max<int64_t>(win.y, 0);
    int64_t wx1 = std::min<int64_t>(int64_t(win.x) + win.w, dest->width);
    int64_t wy1 = std::min<int64_t>(int64_t(win.y) + win.h, dest->height);
    int64_t x0 = std::max(x, wx0), x1 = std::min(x + sw, wx1);
    int64_t y0 = std::max(y, wy0), y1 = std::min(y + sh, wy1);
    if (x1 <= x0 || y1 <= y0) return false;
    *span = BlitSpan{int32_t(sx + (x0 - x)), int32_t(sy + (y0 - y)), int32_t(x0), int32_t(y0),
                     int32_t(x1 - x0), int32_t(y1 - y0)};
    return true;
}

enum class Channels { KEEP, SWAP_RED_BLUE };

// Blends a row of `count` source pixels onto the destination, exactly as pixel_blend does. The
// SSE2 path works on four pixels at a time in 16-bit lanes: every product and the sum of the two
// products of a channel stay below 65536, so no lane overflows; the alpha lane blends with a
// zero source and adds the source alpha after the shift.
void blend_row(uint32_t *out, const uint32_t *in, size_t count, Channels channels) {
    size_t i = 0;
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    const __m128i alpha_bytes = _mm_set1_epi32(int32_t(0xFF000000u));
    const __m128i alpha_lanes = _mm_set_epi16(-1, 0, 0, 0, -1, 0, 0, 0);
    const __m128i one = _mm_set1_epi16(1), full = _mm_set1_epi16(256);
    auto half = [&](__m128i src, __m128i dst) {
        if (channels == Channels::SWAP_RED_BLUE) {
            src = _mm_shufflelo_epi16(src, _MM_SHUFFLE(3, 0, 1, 2));
            src = _mm_shufflehi_epi16(src, _MM_SHUFFLE(3, 0, 1, 2));
        }
        __m128i a = _mm_shufflehi_epi16(_mm_shufflelo_epi16(src, 0xFF), 0xFF);
        __m128i keep = _mm_sub_epi16(full, a), take = _mm_add_epi16(a, one);
        __m128i colour = _mm_andnot_si128(alpha_lanes, src);
        __m128i sum = _mm_add_epi16(_mm_mullo_epi16(dst, keep), _mm_mullo_epi16(colour, take));
        return _mm_add_epi16(_mm_srli_epi16(sum, 8), _mm_and_si128(a, alpha_lanes));
    };
    for (; i + 4 <= count; i += 4) {
        __m128i src = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
        __m128i alpha = _mm_and_si128(src, alpha_bytes);
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(alpha, zero)) == 0xFFFF) continue;
        __m128i *at = reinterpret_cast<__m128i *>(out + i);
        __m128i dst = _mm_loadu_si128(at);
        __m128i lo = half(_mm_unpacklo_epi8(src, zero), _mm_unpacklo_epi8(dst, zero));
        __m128i hi = half(_mm_unpackhi_epi8(src, zero), _mm_unpackhi_epi8(dst, zero));
        _mm_storeu_si128(at, _mm_packus_epi16(lo, hi));
    }
#endif
    if (channels == Channels::KEEP) {
        for (; i < count; ++i) blend_into(&out[i], in[i]);
    } else {
        for (; i < count; ++i) blend_into(&out[i], swap_red_blue(in[i]));
    }
}

void blit_span(const Surface *source, Surface *dest, const BlitSpan &span, uint32_t flags,
               Channels channels) {
    if ((flags & DRAW_OPAQUE) && channels == Channels::KEEP && span.w == source->width &&
        span.w == dest->width) {
        // Whole rows of equal stride: the rows are one block in both surfaces.
        std::memmove(row_of(dest, span.dy), row_of(source, span.sy),
                     size_t(span.h) * dest->stride);
        return;
    }
    for (int32_t j = 0; j < span.h; ++j) {
        const uint32_t *in = row_of(source, span.sy + j) + span.sx;
        uint32_t *out = row_of(dest, span.dy + j) + span.dx;
        if (flags & DRAW_OPAQUE) {
            if (channels == Channels::KEEP) {
                std::memmove(out, in, size_t(span.w) * 4);
            } else {
                for (int32_t i = 0; i < span.w; ++i) out[i] = swap_red_blue(in[i]);
            }
        } else {
            blend_row(out, in, size_t(span.w), channels);
        }
    }
}

// The source rectangle of a stretch (given or whole), clipped to the source surface.
bool stretch_source(const Surface *source, const Rect *source_rect, Rect *out) {
    Rect s = source_rect ? *source_rect : whole(source);
    int64_t x0 = std::max<int64_t>(s.x, 0), y0 = std::max<int64_t>(s.y, 0);
    int64_t x1 = std::min<int64_t>(int64_t(s.x) + s.w, source->width);
    int64_t y1 = std::min<int64_t>(int64_t(s.y) + s.h, source->height);
    if (x1 <= x0 || y1 <= y0) return false;
    *out = Rect{int32_t(x0), int32_t(y0), int32_t(x1 - x0), int32_t(y1 - y0)};
    return true;
}

// The output indices 0 .. count - 1 of a stretch whose first output lands at `origin` that fall
// inside [0, limit): [*first, *last).
void visible_range(int32_t origin, int32_t count, int32_t limit, int32_t *first, int32_t *last) {
    *first = int32_t(std::clamp<int64_t>(-int64_t(origin), 0, count));
    *last = int32_t(std::clamp<int64_t>(int64_t(limit) - origin, 0, count));
}

void draw_nearest(const Surface *source, const Rect &s, Surface *dest, const Rect &d,
                  uint32_t flags) {
    int64_t step_x = (int64_t(s.w) << 16) / d.w;
    int64_t step_y = (int64_t(s.h) << 16) / d.h;
    int32_t i0, i1, j0, j1;
    visible_range(d.x, d.w, dest->width, &i0, &i1);
    visible_range(d.y, d.h, dest->height, &j0, &j1);
    if (i0 >= i1 || j0 >= j1) return;
    std::vector<int32_t> columns(size_t(i1 - i0));
    for (int32_t i = i0; i < i1; ++i)
        columns[size_t(i - i0)] = s.x + int32_t((i * step_x + step_x / 2) >> 16);
    for (int32_t j = j0; j < j1; ++j) {
        const uint32_t *in = row_of(source, s.y + int32_t((j * step_y + step_y / 2) >> 16));
        uint32_t *out = row_of(dest, d.y + j);
        if (flags & DRAW_OPAQUE) {
            for (int32_t i = i0; i < i1; ++i) out[d.x + i] = in[columns[size_t(i - i0)]];
        } else {
            for (int32_t i = i0; i < i1; ++i) blend_into(&out[d.x + i], in[columns[size_t(i - i0)]]);
        }
    }
}

// One axis of a bilinear stretch: for each output index the pair of source indices (relative to
// the source rectangle) and the 8-bit fraction weighing the second. Positions before the first
// source index or at or after the last take that edge index alone.
struct BilinearTap {
    int32_t first;
    int32_t second;
    int32_t fraction;
};

BilinearTap bilinear_tap(int64_t index, int64_t step, int32_t length) {
    int64_t p = index * step + step / 2 - 32768;
    int64_t whole_part = p >> 16;
    if (p < 0) return BilinearTap{0, 0, 0};
    if (whole_part >= length - 1) return BilinearTap{length - 1, length - 1, 0};
    return BilinearTap{int32_t(whole_part), int32_t(whole_part) + 1, int32_t((p >> 8) & 255)};
}

uint32_t bilinear_sample(const uint32_t *row0, const uint32_t *row1, const BilinearTap &tx,
                         int32_t fy) {
    uint32_t w00 = uint32_t((256 - tx.fraction) * (256 - fy));
    uint32_t w10 = uint32_t(tx.fraction * (256 - fy));
    uint32_t w01 = uint32_t((256 - tx.fraction) * fy);
    uint32_t w11 = uint32_t(tx.fraction * fy);
    uint32_t p00 = row0[tx.first], p10 = row0[tx.second];
    uint32_t p01 = row1[tx.first], p11 = row1[tx.second];
    uint32_t out = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        uint32_t sum = w00 * ((p00 >> shift) & 255) + w10 * ((p10 >> shift) & 255) +
                       w01 * ((p01 >> shift) & 255) + w11 * ((p11 >> shift) & 255);
        out |= ((sum + 32768) >> 16) << shift;
    }
    return out;
}

void draw_bilinear(const Surface *source, const Rect &s, Surface *dest, const Rect &d,
                   uint32_t flags) {
    int64_t step_x = (int64_t(s.w) << 16) / d.w;
    int64_t step_y = (int64_t(s.h) << 16) / d.h;
    int32_t i0, i1, j0, j1;
    visible_range(d.x, d.w, dest->width, &i0, &i1);
    visible_range(d.y, d.h, dest->height, &j0, &j1);
    if (i0 >= i1 || j0 >= j1) return;

    std::vector<BilinearTap> columns(size_t(i1 - i0));
    for (int32_t i = i0; i < i1; ++i) columns[size_t(i - i0)] = bilinear_tap(i, step_x, s.w);

    // Output rows before the first source row or at or after the last one sample that edge row,
    // as edge columns sample their edge column: a same-size draw reproduces the source.
    std::vector<uint32_t> line(size_t(i1 - i0));
    BilinearTap line_tap{-1, -1, -1}; // the row tap whose samples `line` holds
    for (int32_t j = j0; j < j1; ++j) {
        BilinearTap ty = bilinear_tap(j, step_y, s.h);
        if (ty.first != line_tap.first || ty.second != line_tap.second ||
            ty.fraction != line_tap.fraction) {
            const uint32_t *row0 = row_of(source, s.y + ty.first) + s.x;
            const uint32_t *row1 = row_of(source, s.y + ty.second) + s.x;
            for (int32_t i = i0; i < i1; ++i)
                line[size_t(i - i0)] = bilinear_sample(row0, row1, columns[size_t(i - i0)],
                                                       ty.fraction);
            line_tap = ty;
        }
        uint32_t *out = row_of(dest, d.y + j) + (d.x + i0);
        if (flags & DRAW_OPAQUE) {
            std::memcpy(out, line.data(), line.size() * 4);
        } else {
            blend_row(out, line.data(), line.size(), Channels::KEEP);
        }
    }
}

void draw_resample(const Surface *source, const Rect *source_rect, Surface *dest,
                   const Rect *dest_rect, uint32_t flags) {
    if (!dest_rect || dest_rect->w <= 0 || dest_rect->h <= 0) return;
    Rect s = source_rect ? *source_rect : whole(source);
    if (s.w <= 0 || s.h <= 0) return;
    SurfacePtr piece(surface_new(s.w, s.h));
    surface_copy(source, &s, piece.get(), nullptr);
    SurfacePtr scaled(surface_scale(piece.get(), dest_rect->w, dest_rect->h));
    surface_blit(scaled.get(), nullptr, dest, dest_rect, flags);
}

// The index range [*first, *last) of `count` cells of `size` pixels starting at `origin` that
// reach into [0, limit): cells wholly outside the surface are not visited.
void visible_cells(int64_t origin, int64_t size, int64_t count, int64_t limit, int64_t *first,
                   int64_t *last) {
    *first = origin + size <= 0 ? std::min(count, (-origin) / size) : 0;
    *last = origin < limit ? std::min(count, (limit - origin + size - 1) / size) : 0;
}

void draw_tile(const Surface *source, const Rect *source_rect, Surface *dest,
               const Rect *dest_rect, uint32_t flags) {
    if (!source_rect || !dest_rect) return;
    int64_t sw = source_rect->w, sh = source_rect->h;
    if (sw <= 0 || sh <= 0 || dest_rect->w <= 0 || dest_rect->h <= 0) return;
    int64_t x = dest_rect->x, y = dest_rect->y;
    int64_t cols = dest_rect->w / sw, rows = dest_rect->h / sh;
    int64_t rw = dest_rect->w % sw, rh = dest_rect->h % sh;
    int64_t c0, c1, r0, r1;
    visible_cells(x, sw, cols, dest->width, &c0, &c1);
    visible_cells(y, sh, rows, dest->height, &r0, &r1);
    auto tile = [&](int64_t tx, int64_t ty, int64_t w, int64_t h) {
        if (tx >= dest->width || ty >= dest->height || tx + w <= 0 || ty + h <= 0) return;
        Rect at{int32_t(tx), int32_t(ty), int32_t(w), int32_t(h)};
        surface_blit(source, source_rect, dest, &at, flags);
    };
    for (int64_t r = r0; r < r1; ++r)
        for (int64_t c = c0; c < c1; ++c) tile(x + c * sw, y + r * sh, sw, sh);
    if (rh > 0)
        for (int64_t c = c0; c < c1; ++c) tile(x + c * sw, y + rows * sh, sw, rh);
    if (rw > 0)
        for (int64_t r = r0; r < r1; ++r) tile(x + cols * sw, y + r * sh, rw, sh);
    if (rw > 0 && rh > 0) tile(x + cols * sw, y + rows * sh, rw, rh);
}

// ---- surface_scale ----

using Kernel = double (*)(double);

double hermite(double x) { return x < 1.0 ? (2.0 * x - 3.0) * x * x + 1.0 : 0.0; }

double catmull_rom(double x) {
    if (x < 1.0) return (9.0 * x * x * x - 15.0 * x * x + 6.0) / 6.0;
    if (x < 2.0) return (-3.0 * x * x * x + 15.0 * x * x - 24.0 * x + 12.0) / 6.0;
    return 0.0;
}

// Per output position: `taps` source indices (clamped to the source) and 16.16 weights that sum
// to about 65536.
struct WeightTable {
    int32_t taps = 0;
    std::vector<int32_t> index;
    std::vector<int32_t> weight;
};

WeightTable weight_table(int32_t source_length, int32_t result_length, Kernel kernel,
                         int32_t base_taps) {
    WeightTable table;
    double s = source_length, d = result_length;
    bool shrinking = result_length < source_length;
    double ratio = s / d;
    table.taps = shrinking ? int32_t(std::trunc(ratio * base_taps + 0.5)) : base_taps;
    table.taps = std::max(table.taps, 1);
    table.index.resize(size_t(result_length) * size_t(table.taps));
    table.weight.resize(table.index.size());
    std::vector<double> raw(size_t(table.taps));
    double half = base_taps / 2.0;
    for (int32_t i = 0; i < result_length; ++i) {
        int64_t first;
        double centre = (i + 0.5) * s / d;
        if (shrinking)
            first = int64_t(std::floor((i - half + 0.5) * ratio + 0.5));
        else
            first = int64_t(std::floor(centre - (half - 0.5)));
        double sum = 0;
        for (int32_t k = 0; k < table.taps; ++k) {
            int64_t j = first + k;
            double x = shrinking ? std::fabs((j + 0.5) * d / s - (i + 0.5))
                                 : std::fabs(double(first) + 0.5 - centre + k);
            raw[size_t(k)] = kernel(x);
            sum += raw[size_t(k)];
        }
        size_t base = size_t(i) * size_t(table.taps);
        for (int32_t k = 0; k < table.taps; ++k) {
            int64_t j = std::clamp<int64_t>(first + k, 0, source_length - 1);
            table.index[base + size_t(k)] = int32_t(j);
            // A position no tap reaches (not produced by these kernels) takes its first tap whole.
            double w = sum != 0 ? raw[size_t(k)] / sum : (k == 0 ? 1.0 : 0.0);
            table.weight[base + size_t(k)] = int32_t(std::trunc(w * 65536.0));
        }
    }
    return table;
}

WeightTable axis_table(int32_t source_length, int32_t result_length) {
    if (result_length < source_length) return weight_table(source_length, result_length, hermite, 2);
    return weight_table(source_length, result_length, catmull_rom, 4);
}

uint8_t clamp_channel(int32_t sum) {
    int32_t v = (sum + 32768) >> 16;
    return uint8_t(std::clamp(v, 0, 255));
}

} // namespace

Surface *surface_new(int32_t width, int32_t height) {
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (width > INT32_MAX / 4) report_alloc_failure();
    auto *surface = new Surface;
    surface->width = width;
    surface->height = height;
    surface->stride = uint32_t(width) * 4;
    surface->pixels = static_cast<uint8_t *>(
        sol_alloc_memory(size_t(surface->stride) * size_t(height) + 32, 1));
    return surface;
}

void surface_free(Surface *surface) {
    if (!surface) return;
    std::free(surface->pixels);
    delete surface;
}

Surface *surface_scale(const Surface *source, int32_t width, int32_t height) {
    if (width < 2) width = 1;
    if (height < 2) height = 1;
    Surface *result = surface_new(width, height);
    if (source->width <= 0 || source->height <= 0) return result; // nothing to resample
    if (source->width == width && source->height == height) {
        for (int32_t y = 0; y < height; ++y)
            std::memcpy(row_of(result, y), row_of(source, y), result->stride);
        return result;
    }

    // Vertical pass: source width x result height.
    SurfacePtr temp(surface_new(source->width, height));
    WeightTable rows = axis_table(source->height, height);
    size_t row_bytes = size_t(source->width) * 4;
    std::vector<int32_t> sums(row_bytes);
    for (int32_t y = 0; y < height; ++y) {
        std::fill(sums.begin(), sums.end(), 0);
        size_t base = size_t(y) * size_t(rows.taps);
        for (int32_t k = 0; k < rows.taps; ++k) {
            int32_t w = rows.weight[base + size_t(k)];
            const uint8_t *in = source->pixels + size_t(rows.index[base + size_t(k)]) * source->stride;
            for (size_t b = 0; b < row_bytes; ++b) sums[b] += w * in[b];
        }
        uint8_t *out = temp->pixels + size_t(y) * temp->stride;
        for (size_t b = 0; b < row_bytes; ++b) out[b] = clamp_channel(sums[b]);
    }

    // Horizontal pass: result width x result height.
    WeightTable cols = axis_table(source->width, width);
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t *in = temp->pixels + size_t(y) * temp->stride;
        uint8_t *out = result->pixels + size_t(y) * result->stride;
        for (int32_t x = 0; x < width; ++x) {
            int32_t sum[4] = {0, 0, 0, 0};
            size_t base = size_t(x) * size_t(cols.taps);
            for (int32_t k = 0; k < cols.taps; ++k) {
                int32_t w = cols.weight[base + size_t(k)];
                const uint8_t *px = in + size_t(cols.index[base + size_t(k)]) * 4;
                sum[0] += w * px[0];
                sum[1] += w * px[1];
                sum[2] += w * px[2];
                sum[3] += w * px[3];
            }
            for (int c = 0; c < 4; ++c) out[size_t(x) * 4 + size_t(c)] = clamp_channel(sum[c]);
        }
    }
    return result;
}

void surface_blit(const Surface *source, const Rect *source_rect, Surface *dest,
                  const Rect *dest_rect, uint32_t flags) {
    BlitSpan span;
    if (blit_clip(source, source_rect, dest, dest_rect, &span))
        blit_span(source, dest, span, flags, Channels::KEEP);
}

void surface_copy(const Surface *source, const Rect *source_rect, Surface *dest,
                  const Rect *dest_rect) {
    surface_blit(source, source_rect, dest, dest_rect, DRAW_OPAQUE);
}

void surface_blit_rgba(const Surface *source, const Rect *source_rect, Surface *dest,
                       const Rect *dest_rect, uint32_t flags) {
    BlitSpan span;
    if (blit_clip(source, source_rect, dest, dest_rect, &span))
        blit_span(source, dest, span, flags, Channels::SWAP_RED_BLUE);
}

void surface_draw(const Surface *source, const Rect *source_rect, Surface *dest,
                  const Rect *dest_rect, uint32_t flags) {
    if (!source || !dest || !source->pixels || !dest->pixels) return;
    if (flags & DRAW_RESAMPLE) {
        draw_resample(source, source_rect, dest, dest_rect, flags);
    } else if (flags & (DRAW_NEAREST | DRAW_BILINEAR)) {
        Rect d = dest_rect ? *dest_rect : whole(dest);
        Rect s;
        if (d.w <= 0 || d.h <= 0 || !stretch_source(source, source_rect, &s)) return;
        if (flags & DRAW_NEAREST)
            draw_nearest(source, s, dest, d, flags);
        else
            draw_bilinear(source, s, dest, d, flags);
    } else if (flags & DRAW_TILE) {
        draw_tile(source, source_rect, dest, dest_rect, flags);
    } else if (flags & DRAW_RGBA) {
        surface_blit_rgba(source, source_rect, dest, dest_rect, flags);
    } else {
        surface_blit(source, source_rect, dest, dest_rect, flags);
    }
}

void surface_draw_nine_patch(const Surface *source, const Rect &center, Surface *dest,
                             const Rect *dest_rect, uint32_t flags) {
    if (!source || !dest) return;
    Rect d = dest_rect ? *dest_rect : whole(dest);
    int32_t cx = center.x, cy = center.y, cw = center.w, ch = center.h;
    int32_t left = cx, top = cy;
    int32_t right = source->width - (cx + cw), bottom = source->height - (cy + ch);
    int32_t mid_w = d.w - left - right, mid_h = d.h - top - bottom;
    int32_t X = d.x, Y = d.y, W = d.w, H = d.h;
    struct Piece {
        Rect from, to;
    };
    const Piece edges[] = {
        {{cx, 0, cw, top}, {X + left, Y, mid_w, top}},
        {{0, cy, left, ch}, {X, Y + top, left, mid_h}},
        {{cx, cy, cw, ch}, {X + left, Y + top, mid_w, mid_h}},
        {{cx, cy + ch, cw, bottom}, {X + left, Y + H - bottom, mid_w, bottom}},
        {{cx + cw, cy, right, ch}, {X + W - right, Y + top, right, mid_h}},
    };
    for (size_t k = 0; k < 5; ++k) {
        if (k == 2 && (flags & DRAW_NO_CENTER)) continue;
        surface_draw(source, &edges[k].from, dest, &edges[k].to, flags);
    }
    const Piece corners[] = {
        {{0, 0, left, top}, {X, Y, left, top}},
        {{cx + cw, 0, right, top}, {X + W - right, Y, right, top}},
        {{0, cy + ch, left, bottom}, {X, Y + H - bottom, left, bottom}},
        {{cx + cw, cy + ch, right, bottom}, {X + W - right, Y + H - bottom, right, bottom}},
    };
    for (const Piece &piece : corners) surface_blit(source, &piece.from, dest, &piece.to, flags);
}

void surface_fill_rect(Surface *dest, const Paint &paint, int32_t x0, int32_t y0, int32_t x1,
                       int32_t y1) {
    if (!dest || !dest->pixels || x1 < x0 || y1 < y0) return;
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    x1 = std::min(x1, dest->width - 1);
    y1 = std::min(y1, dest->height - 1);
    if (x1 < x0 || y1 < y0) return;
    uint32_t *first = row_of(dest, y0) + x0;
    size_t count = size_t(x1 - x0) + 1;
    std::fill(first, first + count, paint.fill_color);
    for (int32_t y = y0 + 1; y <= y1; ++y) std::memcpy(row_of(dest, y) + x0, first, count * 4);
}

void surface_draw_line(Surface *dest, const Paint &paint, int32_t x0, int32_t y0, int32_t x1,
                       int32_t y1) {
    if (!dest || !dest->pixels) return;
    int64_t dx = int64_t(x1) - x0, dy = int64_t(y1) - y0;
    bool x_major = std::llabs(dx) >= std::llabs(dy);
    int64_t major0 = x_major ? x0 : y0, major1 = x_major ? x1 : y1;
    int64_t minor0 = x_major ? y0 : x0, minor1 = x_major ? y1 : x1;
    if (major0 == major1) return;
    if (major0 > major1) {
        std::swap(major0, major1);
        std::swap(minor0, minor1);
    }
    int64_t length = major1 - major0;
    int64_t increment = ((minor1 - minor0) * 65536) / length;
    // Only the steps whose major coordinate lies on the surface are walked; the accumulator is
    // linear in the step, so starting later gives the same pixels.
    int64_t limit = x_major ? dest->width : dest->height;
    int64_t first = std::max<int64_t>(0, -major0);
    int64_t last = std::min<int64_t>(length, limit - 1 - major0);
    int64_t accumulator = minor0 * 65536 + 0x8000 + first * increment;
    for (int64_t step = first; step <= last; ++step, accumulator += increment) {
        int64_t major = major0 + step, minor = accumulator >> 16;
        int64_t x = x_major ? major : minor, y = x_major ? minor : major;
        if (x < 0 || y < 0 || x >= dest->width || y >= dest->height) continue;
        blend_into(row_of(dest, int32_t(y)) + x, paint.color);
    }
}

void surface_draw_rect_outline(Surface *dest, const Paint &paint, double x0, double y0,
                               double x1, double y1) {
    int32_t px0 = points_to_pixels(x0, paint.dpi), py0 = points_to_pixels(y0, paint.dpi);
    int32_t px1 = points_to_pixels(x1, paint.dpi), py1 = points_to_pixels(y1, paint.dpi);
    surface_draw_line(dest, paint, px0, py0, px1, py0);
    surface_draw_line(dest, paint, px0, py0, px0, py1);
    surface_draw_line(dest, paint, px1, py0, px1, py1);
    surface_draw_line(dest, paint, px0, py1, px1, py1);
}

int32_t points_to_pixels(double points, int32_t dpi) {
    return int32_t(std::lround(points / 72.0 * dpi));
}
