// Passes over an image file, run before the image decoder sees any of it (its header reader
// included), that refuse what the installed decoder (stb_image 2.27) mishandles when a hostile
// file controls it. Anything else they leave to the decoder, which reports its own errors.
//
// JPEG: a Huffman table definition with more than 256 codes overruns the decoder's table arrays
// (already while it reads the header, when the table comes before the frame header), and a scan
// that selects a table no DHT segment defined decodes through uninitialised memory. The guard
// walks the segments the way the decoder reads them (padding before the frame header, fill
// bytes, byte stuffing and restart markers inside entropy-coded data) and refuses both. On the
// way it estimates what the decode will cost, so that a caller with a time budget can refuse a
// file before spending it: many progressive scans over a large image cost far more than their
// few bytes suggest.
//
// PNG: the decoder reserves each IDAT chunk's declared length before reading it (a 200-byte file
// can ask for 2 GB), and grows its inflate output without bound (a deflate bomb of a few MB
// inflates to gigabytes). png_guard refuses chunks longer than the data; png_inflate_guard,
// run once the declared size is known to be acceptable, refuses image data that inflates well
// past what that size needs.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads the next byte, or -1 at the end.
struct ByteSource {
    int (*next)(void *context);
    void *context;
};

// What decoding a JPEG will cost, estimated from its segments: nanoseconds of the plug-in's
// thread on the machine the figures were measured on (decode with four channels; about 1.3
// times the measured time for ordinary files). 0 when the walk ended before a frame header.
struct JpegCost {
    uint64_t nanoseconds = 0;
};

// nullptr when the decoder may read the file (also for anything that is not a JPEG), else the
// reason it must not. `cost`, when given, receives the estimate of what the walk saw.
const char *jpeg_guard(ByteSource source, JpegCost *cost = nullptr);
const char *jpeg_guard_memory(const uint8_t *bytes, size_t length, JpegCost *cost = nullptr);

// Every chunk of the PNG read from `source`, `length` bytes long in all, must fit in the data.
const char *png_guard(ByteSource source, uint64_t length);
// The image data must not inflate past what the declared size and pixel format need (with a
// little slack). Inflates once into a buffer of that size, so it costs one extra inflate of the
// image data and memory for the raw image: run it only after png_guard and after the declared
// size has been bounded.
const char *png_inflate_guard(const uint8_t *bytes, size_t length);

// The guard for the file's format: jpeg_guard_memory or png_guard over the bytes, nullptr
// otherwise. Uses nothing of the decoder.
const char *decoder_guard_memory(const uint8_t *bytes, size_t length, JpegCost *cost = nullptr);
