// Passes over an image file, run after its size is checked and before the image decoder reads
// its pixels, that refuse what the installed decoder (stb_image 2.27) mishandles when a hostile
// file controls it. Anything else they leave to the decoder, which reports its own errors.
//
// JPEG: a Huffman table definition with more than 256 codes overruns the decoder's table arrays,
// and a scan that selects a table no DHT segment defined decodes through uninitialised memory.
// The guard walks the segments the way the decoder reads them (padding before the frame header,
// fill bytes, byte stuffing and restart markers inside entropy-coded data) and refuses both.
//
// PNG: the decoder reserves each IDAT chunk's declared length before reading it (a 200-byte file
// can ask for 2 GB), and grows its inflate output without bound (a deflate bomb of a few MB
// inflates to gigabytes). The guards refuse chunks longer than the data and image data that
// inflates well past what the declared image needs.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads the next byte, or -1 at the end.
struct ByteSource {
    int (*next)(void *context);
    void *context;
};

// nullptr when the decoder may read the file (also for anything that is not a JPEG), else the
// reason it must not.
const char *jpeg_guard(ByteSource source);
const char *jpeg_guard_memory(const uint8_t *bytes, size_t length);

// Every chunk of the PNG read from `source`, `length` bytes long in all, must fit in the data.
const char *png_guard(ByteSource source, uint64_t length);
// png_guard, then: the image data must not inflate past what the declared size and pixel format
// need (with a little slack). Inflates once into a buffer of that size, so it costs one extra
// inflate of the image data and memory for the raw image.
const char *png_guard_memory(const uint8_t *bytes, size_t length);

// The guard for the file's format: jpeg_guard_memory or png_guard_memory, nullptr otherwise.
const char *decoder_guard_memory(const uint8_t *bytes, size_t length);
