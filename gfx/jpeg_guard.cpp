#include "gfx/jpeg_guard.h"

namespace {

constexpr char TOO_MANY_CODES[] = "JPEG Huffman table with more than 256 codes";
constexpr char UNDEFINED_TABLE[] = "JPEG scan uses an undefined Huffman table";

struct Walker {
    JpegByteSource source;
    int get() { return source.next(source.context); }
    // Skips `count` bytes; false at the end of the data.
    bool skip(long count) {
        for (long i = 0; i < count; ++i)
            if (get() < 0) return false;
        return true;
    }
    // The 16-bit segment length, or -1 at the end.
    long length() {
        int high = get(), low = get();
        return high < 0 || low < 0 ? -1 : long(high) << 8 | low;
    }
};

bool is_restart(int marker) { return marker >= 0xD0 && marker <= 0xD7; }
bool is_frame(int marker) { return marker == 0xC0 || marker == 0xC1 || marker == 0xC2; }
bool is_skipped_segment(int marker) {
    return marker == 0xDB || marker == 0xDD || marker == 0xDC || marker == 0xFE ||
           (marker >= 0xE0 && marker <= 0xEF);
}

} // namespace

const char *jpeg_guard(JpegByteSource source) {
    Walker in{source};
    if (in.get() != 0xFF || in.get() != 0xD8) return nullptr;
    bool defined[2][4] = {};
    bool frame_seen = false, progressive = false;
    int pending = -1; // a marker that ended entropy-coded data
    for (;;) {
        int marker = pending;
        pending = -1;
        if (marker < 0) {
            int x = in.get();
            if (x < 0) return nullptr;
            if (x != 0xFF) {
                if (frame_seen) return nullptr; // the decoder stops at a missing marker
                continue;                       // padding before the frame header
            }
            do x = in.get();
            while (x == 0xFF);
            if (x < 0) return nullptr;
            marker = x;
        }

        if (marker == 0xC4) { // DHT: one or more tables
            long remaining = in.length() - 2;
            while (remaining > 0) {
                int q = in.get();
                if (q < 0) return nullptr;
                int table_class = q >> 4, table_id = q & 15;
                if (table_class > 1 || table_id > 3) return nullptr; // the decoder refuses it
                long codes = 0;
                for (int i = 0; i < 16; ++i) {
                    int count = in.get();
                    if (count < 0) return nullptr;
                    codes += count;
                }
                if (codes > 256) return TOO_MANY_CODES;
                defined[table_class][table_id] = true;
                if (!in.skip(codes)) return nullptr;
                remaining -= 17 + codes;
            }
            if (remaining < 0) return nullptr; // the decoder refuses the segment
        } else if (is_frame(marker) && !frame_seen) {
            frame_seen = true;
            progressive = marker == 0xC2;
            long length = in.length();
            if (length < 2 || !in.skip(length - 2)) return nullptr;
        } else if (marker == 0xDA && frame_seen) { // SOS
            long length = in.length();
            int count = in.get();
            if (length < 0 || count < 1 || count > 4 || length != 6 + 2 * count) return nullptr;
            int dc[4], ac[4];
            for (int i = 0; i < count; ++i) {
                int id = in.get(), q = in.get();
                if (id < 0 || q < 0) return nullptr;
                dc[i] = q >> 4;
                ac[i] = q & 15;
                if (dc[i] > 3 || ac[i] > 3) return nullptr; // the decoder refuses it
            }
            int spectral_start = in.get(), spectral_end = in.get(), approximation = in.get();
            if (spectral_start < 0 || spectral_end < 0 || approximation < 0) return nullptr;
            // Which tables the decoder reads in this scan: both in a sequential image; in a
            // progressive one the DC table for a first DC scan and the AC table for AC scans.
            bool needs_dc = !progressive || (spectral_start == 0 && (approximation >> 4) == 0);
            bool needs_ac = !progressive || spectral_start != 0;
            for (int i = 0; i < count; ++i)
                if ((needs_dc && !defined[0][dc[i]]) || (needs_ac && !defined[1][ac[i]]))
                    return UNDEFINED_TABLE;
            // Entropy-coded data runs to the first marker that is not stuffing or a restart.
            for (;;) {
                int x = in.get();
                if (x < 0) return nullptr;
                if (x != 0xFF) continue;
                do x = in.get();
                while (x == 0xFF);
                if (x < 0) return nullptr;
                if (x == 0 || is_restart(x)) continue;
                pending = x;
                break;
            }
        } else if (is_skipped_segment(marker)) {
            long length = in.length();
            if (length < 2 || !in.skip(length - 2)) return nullptr;
        } else {
            return nullptr; // end of image, or a marker the decoder stops at
        }
    }
}

const char *jpeg_guard_memory(const uint8_t *bytes, size_t length) {
    struct Cursor {
        const uint8_t *at;
        const uint8_t *end;
    } cursor{bytes, bytes + length};
    auto next = [](void *context) -> int {
        auto *c = static_cast<Cursor *>(context);
        return c->at < c->end ? *c->at++ : -1;
    };
    return jpeg_guard(JpegByteSource{next, &cursor});
}
