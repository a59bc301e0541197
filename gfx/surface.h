// Pixel surfaces and the drawing primitives everything on screen is made with.
//
// A Surface is a plain record owning a zero-filled pixel buffer of 4 bytes a pixel, rows top to
// bottom, stride = width * 4, followed by 32 spare bytes. The primitives treat bytes 0, 1 and 2
// of a pixel as three colour channels handled alike and byte 3 as alpha, with straight (not
// premultiplied) alpha in sources and colours. Only the root surface handed to the host is
// B, G, R, A; every other surface and every Paint colour is R, G, B, A, and reaches the root
// through surface_blit_rgba, which exchanges bytes 0 and 2.
//
// Ownership: whoever creates a surface frees it with surface_free (or holds it in a SurfacePtr).
// Drawing functions only borrow their arguments. Allocation failure is fatal
// ("allocate memory failed", "at sol_alloc_memory()").
//
// All pixel arithmetic is integer; only surface_scale uses floating point, to build its weight
// tables once per call.
#pragma once

#include <cstdint>
#include <memory>

struct Surface {
    uint8_t *pixels = nullptr; // stride * height + 32 bytes
    uint32_t stride = 0;       // bytes per row, always width * 4
    int32_t width = 0;
    int32_t height = 0;
};

struct Rect {
    int32_t x = 0;
    int32_t y = 0;
    int32_t w = 0;
    int32_t h = 0;
};

// The toolkit's paint record. Colours are bytes R, G, B, A in memory (the little-endian value
// 0xAABBGGRR). Coordinates given in points become pixels as round(points / 72 * dpi).
struct Paint {
    int32_t dpi = 72;        // pixels per 72 points
    uint32_t color = 0;      // lines and text
    uint32_t fill_color = 0; // surface_fill_rect
    double x = 0;            // pen position in points (text drawing)
    double y = 0;
};

// Draw flags (bit values). surface_blit and surface_blit_rgba look only at DRAW_OPAQUE.
enum DrawFlags : uint32_t {
    DRAW_OPAQUE = 1,     // replace destination pixels instead of blending
    DRAW_RESAMPLE = 4,   // surface_scale the source rect to the destination rect, then blit
    DRAW_NEAREST = 8,    // nearest-neighbour stretch onto the destination rect
    DRAW_TILE = 16,      // repeat the source rect over the destination rect
    DRAW_RGBA = 32,      // unscaled surface_blit_rgba
    DRAW_BILINEAR = 64,  // bilinear stretch onto the destination rect
    DRAW_NO_CENTER = 128 // nine-patch only: leave the centre piece out
};

// New zero-filled (fully transparent black) surface. Negative sizes count as 0.
Surface *surface_new(int32_t width, int32_t height);
// Frees the pixel buffer, then the record. Accepts nullptr.
void surface_free(Surface *surface);

struct SurfaceDeleter {
    void operator()(Surface *surface) const { surface_free(surface); }
};
using SurfacePtr = std::unique_ptr<Surface, SurfaceDeleter>;

// New surface holding the whole source resampled to width x height (sizes below 2 become 1):
// separable, vertical pass first; Hermite kernel on an axis that shrinks, Catmull-Rom on one
// that grows or keeps its size. A source of exactly the new size is copied. The source is
// untouched; the caller owns the result.
Surface *surface_scale(const Surface *source, int32_t width, int32_t height);

// Unscaled drawing. `source_rect` nullptr means the whole source; it is clipped to the source
// surface and what is cut off on the left or top shifts the landing spot. Source pixel
// (sx + i, sy + j) lands on (X + i, Y + j) of `dest_rect`, which is also the clip window;
// nullptr means X = Y = 0 and the whole destination. Only pixels inside the window and the
// destination surface are written. With DRAW_OPAQUE pixels are copied, otherwise blended.
void surface_blit(const Surface *source, const Rect *source_rect, Surface *dest,
                  const Rect *dest_rect, uint32_t flags);
// surface_blit with DRAW_OPAQUE.
void surface_copy(const Surface *source, const Rect *source_rect, Surface *dest,
                  const Rect *dest_rect);
// surface_blit reading source bytes 0 and 2 exchanged (R, G, B, A onto B, G, R, A).
void surface_blit_rgba(const Surface *source, const Rect *source_rect, Surface *dest,
                       const Rect *dest_rect, uint32_t flags);

// Scaled, tiled or plain drawing, chosen by the first set flag of DRAW_RESAMPLE, DRAW_NEAREST,
// DRAW_BILINEAR, DRAW_TILE, DRAW_RGBA; with none of them it is surface_blit. DRAW_OPAQUE
// combines with each. DRAW_RESAMPLE and DRAW_TILE need a destination rect (none: nothing
// drawn); DRAW_NEAREST and DRAW_BILINEAR default to the whole destination and stretch the part
// of the source rect that lies in the source. DRAW_BILINEAR samples 16.16 positions with 8-bit
// fractions; output rows and columns placed before the first source row or column, or at or
// after the last, take that edge row or column alone, so a same-size draw is an exact copy.
// DRAW_RESAMPLE allocates a temporary of the destination rect's size.
void surface_draw(const Surface *source, const Rect *source_rect, Surface *dest,
                  const Rect *dest_rect, uint32_t flags);

// Nine-slice drawing: `center` (in the source) splits it into four corners drawn unscaled, four
// edges and a centre drawn with surface_draw and `flags` (DRAW_NO_CENTER leaves the centre
// out). `dest_rect` nullptr means the whole destination.
void surface_draw_nine_patch(const Surface *source, const Rect &center, Surface *dest,
                             const Rect *dest_rect, uint32_t flags);

// Sets every pixel of the inclusive rectangle (pixels, clipped to the surface) to the paint's
// fill_color exactly, alpha included. Nothing when x1 < x0 or y1 < y0.
void surface_fill_rect(Surface *dest, const Paint &paint, int32_t x0, int32_t y0, int32_t x1,
                       int32_t y1);

// Blended line in the paint's color between two pixel points, both ends included, one pixel per
// step along the major axis (16.16 minor accumulator). A one-point line draws nothing; pixels
// outside the surface are skipped.
void surface_draw_line(Surface *dest, const Paint &paint, int32_t x0, int32_t y0, int32_t x1,
                       int32_t y1);

// Four lines along the rectangle given in points (converted with the paint's dpi).
void surface_draw_rect_outline(Surface *dest, const Paint &paint, double x0, double y0,
                               double x1, double y1);

// round(points / 72 * dpi): the one points-to-pixels rule of the interface.
int32_t points_to_pixels(double points, int32_t dpi);

// One blended pixel: source `src` (straight alpha a = byte 3) over `dst`, both as the
// little-endian 32-bit value of the 4 pixel bytes. Colour channels become
// (dst * (256 - a) + src * (a + 1)) >> 8, alpha ((dst_alpha * (256 - a)) >> 8) + a; channels 0
// and 2 are computed together in one word masked with 0x00FF00FF.
inline uint32_t pixel_blend(uint32_t dst, uint32_t src) {
    uint32_t a = src >> 24;
    uint32_t keep = 256 - a;
    uint32_t take = a + 1;
    uint32_t rb = (((dst & 0x00FF00FFu) * keep + (src & 0x00FF00FFu) * take) >> 8) & 0x00FF00FFu;
    uint32_t g = (((dst & 0x0000FF00u) * keep + (src & 0x0000FF00u) * take) >> 8) & 0x0000FF00u;
    uint32_t alpha = (((dst >> 24) * keep) >> 8) + a;
    return rb | g | (alpha << 24);
}
