// Shared by the gfx tests: colours, pixel access and the small pictures the tests draw on.
#pragma once

#include "gfx/surface.h"

#include <cstring>
#include <string>
#include <vector>

namespace gfxtest {

using Bytes = std::vector<uint8_t>;

// Bytes R, G, B, A in memory.
constexpr uint32_t rgba(uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
    return r | (g << 8) | (b << 16) | (a << 24);
}
constexpr uint32_t grey(uint32_t v) { return v * 0x01010101u; }

inline uint32_t pixel(const Surface *s, int x, int y) {
    uint32_t v;
    std::memcpy(&v, s->pixels + size_t(y) * s->stride + size_t(x) * 4, 4);
    return v;
}
inline void set_pixel(Surface *s, int x, int y, uint32_t v) {
    std::memcpy(s->pixels + size_t(y) * s->stride + size_t(x) * 4, &v, 4);
}
inline SurfacePtr make(int w, int h) { return SurfacePtr(surface_new(w, h)); }
// A w x h surface whose pixel x, y is colour(x, y).
template <class F> SurfacePtr painted(int w, int h, F colour) {
    SurfacePtr s = make(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) set_pixel(s.get(), x, y, colour(x, y));
    return s;
}
inline SurfacePtr filled(int w, int h, uint32_t v) { return painted(w, h, [v](int, int) { return v; }); }
// Every pixel distinct and opaque: red = x + 1, green = y + 1.
inline SurfacePtr pattern(int w, int h) {
    return painted(w, h, [](int x, int y) { return rgba(uint32_t(x) + 1, uint32_t(y) + 1, 0x55, 255); });
}

// The area's pixels as '#' (alpha above half) and '.', one text per row.
inline std::vector<std::string> picture(const Surface *s, int x0, int y0, int w, int h) {
    std::vector<std::string> rows;
    for (int y = y0; y < y0 + h; ++y) {
        rows.emplace_back();
        for (int x = x0; x < x0 + w; ++x) rows.back() += pixel(s, x, y) >> 24 > 127 ? '#' : '.';
    }
    return rows;
}

// The pixels that differ from `background`, as "x,y" texts, row by row.
inline std::vector<std::string> touched(const Surface *s, uint32_t background) {
    std::vector<std::string> out;
    for (int y = 0; y < s->height; ++y)
        for (int x = 0; x < s->width; ++x)
            if (pixel(s, x, y) != background)
                out.push_back(std::to_string(x) + "," + std::to_string(y));
    return out;
}

} // namespace gfxtest

using namespace gfxtest;
