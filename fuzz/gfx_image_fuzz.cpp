// image_decode over arbitrary bytes, then the path every downloaded image takes: one resample
// to a small stored size and a bilinear draw into a canvas. A decode never fails; whatever it
// returns must be a well-formed surface within the pixel bound.
#include "gfx/image.h"
#include "gfx/surface.h"

// The decoder itself is compiled into this target by stb_image_impl.cpp.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Copy into an exactly sized buffer so a read past the input is caught.
    std::vector<uint8_t> bytes(data, data + size);
    SurfacePtr image(image_decode(bytes.empty() ? nullptr : bytes.data(), bytes.size()));
    if (!image || image->width < 1 || image->height < 1 || image->width > IMAGE_MAX_DIMENSION ||
        image->height > IMAGE_MAX_DIMENSION || image->stride != uint32_t(image->width) * 4 ||
        uint64_t(image->width) * uint64_t(image->height) > IMAGE_MAX_DOWNLOAD_PIXELS)
        std::abort();

    // Sizes from the last input byte so shrinking and enlarging on either axis are both reached.
    uint8_t pick = size ? data[size - 1] : 0;
    int32_t width = 1 + pick % 37, height = 1 + (pick / 37) % 23;
    SurfacePtr stored(surface_scale(image.get(), width, height));
    SurfacePtr canvas(surface_new(48, 48));
    Rect at{5, 5, 38, 38};
    surface_draw(image.get(), nullptr, canvas.get(), &at, DRAW_BILINEAR | DRAW_OPAQUE);
    surface_draw(stored.get(), nullptr, canvas.get(), nullptr, DRAW_NEAREST);
    return 0;
}
