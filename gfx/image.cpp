// Image decoding through stb_image, the zlib inflater for built-in texts, the thumbnail cache,
// the mascot and the icon scaling rule.
#include "gfx/image.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <stb_image.h>

#include "base/runtime.h"
#include "gfx/decoder_guard.h"

namespace {

struct StbPixelsDeleter {
    void operator()(stbi_uc *pixels) const { stbi_image_free(pixels); }
};
using StbPixels = std::unique_ptr<stbi_uc, StbPixelsDeleter>;

struct FileCloser {
    void operator()(FILE *file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// The placeholder of a failed decode: one transparent pixel, after the warning.
Surface *decode_failed(const char *what, const char *reason) {
    log_warning(what, reason);
    return surface_new(1, 1);
}

// Why an image of the declared size is refused; empty when it is acceptable. Besides the
// dimension bound, the declared pixel count must be plausible for the amount of data: a few
// hundred bytes declaring millions of pixels would otherwise make the decoder spend seconds of
// the plug-in thread on pixels the data cannot describe.
std::string size_refusal(int width, int height, size_t data_length, uint64_t max_pixels) {
    if (width < 1 || height < 1 || width > IMAGE_MAX_DIMENSION || height > IMAGE_MAX_DIMENSION)
        return str_printf("image size %d x %d outside 1 x 1 .. %d x %d", width, height,
                          int(IMAGE_MAX_DIMENSION), int(IMAGE_MAX_DIMENSION))
            .value_or("image size out of range");
    uint64_t pixels = uint64_t(width) * uint64_t(height);
    if (pixels > max_pixels)
        return str_printf("image size %d x %d above %llu pixels", width, height,
                          static_cast<unsigned long long>(max_pixels))
            .value_or("image size above the pixel bound");
    if (pixels > IMAGE_FREE_PIXELS && pixels / IMAGE_PIXELS_PER_BYTE > data_length)
        return str_printf("image size %d x %d too large for its %zu bytes of data", width, height,
                          data_length)
            .value_or("image size too large for its data");
    return {};
}

// The formats the program accepts, by their leading bytes. The decoder library knows more
// (TGA, PSD, HDR, PIC, PNM), which a downloaded file must not reach.
bool accepted_format(const uint8_t *head, size_t length) {
    static const uint8_t png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (length >= 8 && std::memcmp(head, png, 8) == 0) return true;
    if (length >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return true;
    if (length >= 2 && head[0] == 'B' && head[1] == 'M') return true;
    return length >= 6 && (std::memcmp(head, "GIF87a", 6) == 0 || std::memcmp(head, "GIF89a", 6) == 0);
}
constexpr char UNSUPPORTED_FORMAT[] = "not a PNG, JPEG, BMP or GIF image";

// Copies stb's tightly packed four-channel rows into a surface with its spare bytes, or, given a
// size, resamples them straight into a surface of that size: the decoded image is then never
// copied, which spares a short-lived buffer of the whole image for every thumbnail.
Surface *surface_from_pixels(const stbi_uc *pixels, int width, int height, ImageSize size) {
    if (size.width > 0 && size.height > 0) {
        // A borrowed view; surface_scale reads only the rows.
        Surface view{const_cast<stbi_uc *>(pixels), uint32_t(width) * 4, width, height};
        return surface_scale(&view, size.width, size.height);
    }
    Surface *surface = surface_new(width, height);
    std::memcpy(surface->pixels, pixels, size_t(surface->stride) * size_t(height));
    return surface;
}

// How far one decode may go.
struct DecodeBounds {
    uint64_t max_pixels;
    uint64_t budget_ns; // 0: no time budget
};

// Runs the guard for the file's format before anything of the decoder reads the file, then checks
// the declared size and the estimated cost, runs `inflate_guard` (which may inflate image data
// and so comes after the size bound), and decodes with four channels. `guard`, `info`,
// `inflate_guard` and `load` each read the same image from its start. Given a size, the pixels
// are resampled straight to it.
template <class Guard, class Info, class InflateGuard, class Load>
Surface *decode_bounded(const char *what, size_t data_length, DecodeBounds bounds, Guard guard,
                        Info info, InflateGuard inflate_guard, Load load,
                        ImageSize size = {}) {
    JpegCost cost;
    if (const char *unsafe = guard(&cost)) return decode_failed(what, unsafe);
    int width = 0, height = 0, channels = 0;
    if (!info(&width, &height, &channels)) return decode_failed(what, stbi_failure_reason());
    std::string refusal = size_refusal(width, height, data_length, bounds.max_pixels);
    if (!refusal.empty()) return decode_failed(what, refusal.c_str());
    if (bounds.budget_ns && cost.nanoseconds > bounds.budget_ns) {
        refusal = str_printf("JPEG %d x %d would take about %llu ms to decode", width, height,
                             static_cast<unsigned long long>(cost.nanoseconds / 1000000))
                      .value_or("JPEG too costly to decode");
        return decode_failed(what, refusal.c_str());
    }
    if (const char *unsafe = inflate_guard()) return decode_failed(what, unsafe);
    StbPixels pixels(load(&width, &height, &channels));
    if (!pixels) return decode_failed(what, stbi_failure_reason());
    refusal = size_refusal(width, height, data_length, bounds.max_pixels);
    if (!refusal.empty()) return decode_failed(what, refusal.c_str());
    return surface_from_pixels(pixels.get(), width, height, size);
}

int file_read(void *user, char *data, int size) {
    return int(std::fread(data, 1, size_t(size), static_cast<FILE *>(user)));
}
void file_skip(void *user, int count) { std::fseek(static_cast<FILE *>(user), count, SEEK_CUR); }
int file_eof(void *user) {
    FILE *file = static_cast<FILE *>(user);
    return std::feof(file) || std::ferror(file);
}
const stbi_io_callbacks FILE_CALLBACKS = {file_read, file_skip, file_eof};

// image_decode, resampled to `stored` when that is not { 0, 0 }.
Surface *decode_memory(const uint8_t *bytes, size_t length, ImageSize stored) {
    static const char what[] = "loading image from memory failed";
    if (!bytes || length == 0) return decode_failed(what, "no image data");
    if (length > IMAGE_MAX_DOWNLOAD_BYTES) {
        std::string refusal = str_printf("image data of %zu bytes above %zu", length,
                                         IMAGE_MAX_DOWNLOAD_BYTES)
                                  .value_or("image data too long");
        return decode_failed(what, refusal.c_str());
    }
    if (!accepted_format(bytes, length)) return decode_failed(what, UNSUPPORTED_FORMAT);
    int size = int(length);
    return decode_bounded(
        what, length, {IMAGE_MAX_DOWNLOAD_PIXELS, IMAGE_DECODE_BUDGET_NS},
        [&](JpegCost *cost) { return decoder_guard_memory(bytes, length, cost); },
        [&](int *w, int *h, int *c) { return stbi_info_from_memory(bytes, size, w, h, c); },
        [&]() -> const char * {
            return bytes[0] == 0x89 ? png_inflate_guard(bytes, length) : nullptr;
        },
        [&](int *w, int *h, int *c) { return stbi_load_from_memory(bytes, size, w, h, c, 4); },
        stored);
}

} // namespace

Surface *image_decode(const uint8_t *bytes, size_t length) {
    return decode_memory(bytes, length, {});
}

Surface *image_decode_scaled(const uint8_t *bytes, size_t length, ImageSize size) {
    Surface *image = decode_memory(bytes, length, size);
    if (size.width <= 0 || size.height <= 0) return image;
    if (image->width == size.width && image->height == size.height) return image;
    // The blank of a failed decode, at the stored size like every other image of its kind.
    SurfacePtr blank(image);
    return surface_scale(blank.get(), size.width, size.height);
}

Surface *image_load_file(const char *path) {
    static const char what[] = "loading image from file failed";
    FilePtr file(path ? std::fopen(path, "rb") : nullptr);
    if (!file) return decode_failed(what, "can't fopen");
    FILE *stream = file.get();
    uint8_t head[8];
    size_t got = std::fread(head, 1, sizeof head, stream);
    if (!accepted_format(head, got)) return decode_failed(what, UNSUPPORTED_FORMAT);
    long file_length = std::fseek(stream, 0, SEEK_END) == 0 ? std::ftell(stream) : -1;
    if (file_length < 0 || std::fseek(stream, 0, SEEK_SET) != 0)
        return decode_failed(what, "can't seek");
    // A chosen local file is read once more for the guard: the JPEG tables and the PNG chunk
    // lengths (the inflate check needs the whole data in memory and is left to downloads).
    auto guard = [&](JpegCost *cost) -> const char * {
        std::clearerr(stream);
        if (std::fseek(stream, 0, SEEK_SET) != 0) return "can't seek";
        auto next = [](void *context) -> int { return std::getc(static_cast<FILE *>(context)); };
        ByteSource source{next, stream};
        if (head[0] == 0xFF) return jpeg_guard(source, cost);
        if (head[0] == 0x89) return png_guard(source, uint64_t(file_length));
        return nullptr;
    };
    uint64_t max_pixels = uint64_t(IMAGE_MAX_DIMENSION) * uint64_t(IMAGE_MAX_DIMENSION);
    return decode_bounded(
        what, size_t(file_length), {max_pixels, 0}, guard,
        [&](int *w, int *h, int *c) {
            std::clearerr(stream);
            if (std::fseek(stream, 0, SEEK_SET) != 0) return 0;
            return stbi_info_from_callbacks(&FILE_CALLBACKS, stream, w, h, c);
        },
        [] { return static_cast<const char *>(nullptr); },
        [&](int *w, int *h, int *c) -> stbi_uc * {
            std::clearerr(stream);
            if (std::fseek(stream, 0, SEEK_SET) != 0) return nullptr;
            return stbi_load_from_callbacks(&FILE_CALLBACKS, stream, w, h, c, 4);
        });
}

std::string asset_inflate(const uint8_t *bytes, size_t length) {
    int inflated_length = 0;
    char *inflated = nullptr;
    if (bytes && length <= size_t(INT_MAX))
        inflated = stbi_zlib_decode_malloc_guesssize_headerflag(
            reinterpret_cast<const char *>(bytes), int(length), 16384, &inflated_length, 1);
    if (!inflated) report_fatal("deflate failed", "at asset_inflate()");
    std::string text(inflated, size_t(inflated_length));
    std::free(inflated);
    return text;
}

ImageSize image_stored_size(ImageKind kind, double scale, int32_t thumb_size) {
    int32_t thumb_width = int32_t(std::trunc(thumb_size * 16.0 / 9.0));
    switch (kind) {
    case IMAGE_THUMB:
        return {int32_t(std::trunc(thumb_width * scale)), int32_t(std::lround(thumb_size * scale))};
    case IMAGE_FRAME:
        return {0, 0};
    case IMAGE_AVATAR: {
        int32_t side = int32_t(std::trunc(48 * scale));
        return {side, side};
    }
    case IMAGE_SQUARE_THUMB: {
        int32_t side = int32_t(std::lround(thumb_size * scale));
        return {side, side};
    }
    }
    return {0, 0};
}

Surface *thumbnail_cache_find(ThumbnailCache &cache, std::string_view url) {
    for (ThumbnailEntry *entry : cache)
        if (entry->url == url) return entry->surface.get();
    return nullptr;
}

void thumbnail_cache_add(ThumbnailCache &cache, std::string_view url, SurfacePtr surface) {
    cache.push(new ThumbnailEntry{std::string(url), std::move(surface)}, 1);
}

void thumbnail_cache_clear(ThumbnailCache &cache) { cache.clear(); }

Surface *mascot_load(std::string_view setting, std::string_view config_dir) {
    if (setting.empty()) return nullptr;
    std::string path = path_resolve(setting, config_dir);
    Surface *mascot = image_load_file(path.c_str());
    size_t count = size_t(mascot->width) * size_t(mascot->height);
    for (size_t i = 0; i < count; ++i) {
        uint8_t &alpha = mascot->pixels[i * 4 + 3];
        alpha = uint8_t((alpha * 65) >> 8);
    }
    return mascot;
}

SurfacePtr icon_apply_scale(SurfacePtr icon, double scale) {
    if (!icon || !(scale > 1.1)) return icon;
    int32_t width = int32_t(std::trunc(icon->width * scale));
    int32_t height = int32_t(std::trunc(icon->height * scale));
    return SurfacePtr(surface_scale(icon.get(), width, height));
}
