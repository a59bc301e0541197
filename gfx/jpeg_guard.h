// A pass over a JPEG's marker segments, run before the image decoder sees the file.
//
// The installed decoder (stb_image 2.27) trusts two things a hostile file controls: a Huffman
// table definition with more than 256 codes overruns its table arrays, and a scan that selects a
// table no DHT segment defined decodes through uninitialised memory. The guard walks the
// segments the way the decoder reads them (padding before the frame header, fill bytes, byte
// stuffing and restart markers inside entropy-coded data) and refuses both. Anything else it
// leaves to the decoder, which reports its own errors.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads the next byte, or -1 at the end.
struct JpegByteSource {
    int (*next)(void *context);
    void *context;
};

// nullptr when the decoder may read the file (also for anything that is not a JPEG), else the
// reason it must not.
const char *jpeg_guard(JpegByteSource source);
const char *jpeg_guard_memory(const uint8_t *bytes, size_t length);
