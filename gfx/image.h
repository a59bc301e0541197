// Encoded images to Surfaces, the built-in compressed texts, the thumbnail cache and the mascot.
//
// Decoded images are Surfaces in R, G, B, A byte order with straight alpha (see gfx/surface.h).
// Every decode asks for four 8-bit channels whatever the file holds (16-bit samples keep their
// high byte); PNG, JPEG, BMP and GIF (first frame) are accepted. Decoding never fails from the
// caller's point of view: a broken, truncated or oversized image, or a file of another format, is
// logged as a warning and becomes a 1 x 1 transparent surface, so one bad download is cached and
// shown as nothing. Sizes are checked from the image header before any pixel memory is taken,
// and gfx/decoder_guard.h refuses what the installed decoder mishandles.
//
// Every function returning a Surface hands ownership to the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/list.h"
#include "gfx/surface.h"

// Largest width and largest height accepted from any image. The dimensions are read from the
// image header before any pixel memory is allocated, so a hostile file cannot make the decoder
// allocate more than IMAGE_MAX_DIMENSION^2 * 4 bytes of pixels.
constexpr int32_t IMAGE_MAX_DIMENSION = 8192;
// An image declaring more than IMAGE_FREE_PIXELS pixels must bring at least one byte of data per
// IMAGE_PIXELS_PER_BYTE pixels. Real images stay far below that (flat JPEG, PNG and GIF pictures
// compress to a few hundred pixels a byte); a tiny file declaring a huge size is refused before
// the decoder spends its time filling pixels the data cannot describe.
constexpr uint64_t IMAGE_FREE_PIXELS = 1u << 20;
constexpr uint64_t IMAGE_PIXELS_PER_BYTE = 1024;

// Images decoded from memory are the service's thumbnails, storyboard frames and owner pictures
// (the largest it sends is 1280 x 720) and the built-in icons: one declaring more pixels than
// this is refused from its header, before any decoding.
constexpr uint64_t IMAGE_MAX_DOWNLOAD_PIXELS = 2000000;
// Nor is image data longer than this read at all: the guard's pass over the file costs time in
// proportion to its length (about 1.7 ns a byte for a JPEG), and no picture of two megapixels
// the service sends comes near it.
constexpr size_t IMAGE_MAX_DOWNLOAD_BYTES = size_t(16) << 20;
// A decode from memory runs as one step of the plug-in's loop, which must stay short: a JPEG whose
// estimated decode time (gfx/decoder_guard.h) is above this is refused before decoding. Ordinary
// pictures stay far below it (a 1280 x 720 photograph, progressive, about 10 ms); what passes the
// pixel bound and not this is a noisy or many-scan file of one to two megapixels.
constexpr uint64_t IMAGE_DECODE_BUDGET_NS = 40000000;

// Decodes an image held in memory, within IMAGE_MAX_DOWNLOAD_BYTES, IMAGE_MAX_DOWNLOAD_PIXELS and
// IMAGE_DECODE_BUDGET_NS.
// On failure logs "WARNING: loading image from memory failed: <reason>" and returns a 1 x 1
// transparent surface.
Surface *image_decode(const uint8_t *bytes, size_t length);
// Decodes an image file (the mascot, loaded once at start-up) read through the decoder's callback
// interface, within IMAGE_MAX_DIMENSION on each side. On failure logs
// "WARNING: loading image from file failed: <reason>" ("can't fopen" when it cannot be opened)
// and returns a 1 x 1 transparent surface.
Surface *image_load_file(const char *path);

// Inflates a built-in zlib stream (with header). The result is the inflated text; a stream that
// cannot be inflated is fatal ("deflate failed").
std::string asset_inflate(const uint8_t *bytes, size_t length);

// Image kinds: the tag of an image download, which decides the size the image is stored at.
enum ImageKind : uint32_t {
    IMAGE_THUMB = 0,        // video and playlist rows
    IMAGE_FRAME = 1,        // storyboard frames, kept at their decoded size
    IMAGE_AVATAR = 2,       // owner picture of the current list
    IMAGE_SQUARE_THUMB = 3, // channel rows
};

struct ImageSize {
    int32_t width = 0;
    int32_t height = 0;
};

// The stored size of an image of `kind` with the "scale" setting `scale` and the "thumb_size"
// setting `thumb_size` (thumbnail height in points). IMAGE_FRAME has no stored size: the result
// is { 0, 0 } and the image keeps its decoded size.
ImageSize image_stored_size(ImageKind kind, double scale, int32_t thumb_size);

// image_decode resampled to `size` (surface_scale) straight from the decoder's pixels, without
// an intermediate copy of the whole image; { 0, 0 } keeps the decoded size. A failed decode
// gives a transparent surface of `size`.
Surface *image_decode_scaled(const uint8_t *bytes, size_t length, ImageSize size);

// One downloaded image, keyed by the exact url it was fetched from.
struct ThumbnailEntry {
    std::string url;
    SurfacePtr surface;
};
// Newest first; no size limit and no eviction.
using ThumbnailCache = List<ThumbnailEntry>;

// The cached image for `url` (exact comparison), or nullptr. Borrowed: valid until the cache is
// cleared.
Surface *thumbnail_cache_find(ThumbnailCache &cache, std::string_view url);
// Puts a copy of `url` and the surface (ownership taken) at the front of the cache.
void thumbnail_cache_add(ThumbnailCache &cache, std::string_view url, SurfacePtr surface);
// Unlinks and frees every entry; the empty list remains.
void thumbnail_cache_clear(ThumbnailCache &cache);

// Loads the mascot named by the "mascot" setting (resolved against `config_dir` with
// path_resolve) and reduces every pixel's alpha to
// alpha * 65 >> 8. Returns nullptr when the setting is empty (no mascot).
Surface *mascot_load(std::string_view setting, std::string_view config_dir);

// Button icons are stored small: with a "scale" setting above 1.1 the icon is replaced by its
// surface_scale copy of trunc(width * scale) x trunc(height * scale) (the old one is freed);
// otherwise it is returned unchanged.
SurfacePtr icon_apply_scale(SurfacePtr icon, double scale);
