#include "gfx/decoder_guard.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include <stb_image.h>

namespace {

constexpr char TOO_MANY_CODES[] = "JPEG Huffman table with more than 256 codes";
constexpr char UNDEFINED_TABLE[] = "JPEG scan uses an undefined Huffman table";

struct Walker {
    ByteSource source;
    int get() { return source.next(source.context); }
    // The decoder reads zeros past the end of the data and goes on with them where a segment
    // is cut: table headers must be checked as it will see them.
    int get_or_zero() { return std::max(get(), 0); }
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

// What the walk learns about the decode's cost. Per-unit figures in nanoseconds, fitted to the
// decode times of baseline and progressive files (1:1 and 2:1 chroma, grey, 6 to 79 scans, flat
// and noisy pictures of 0.2 to 2 megapixels) and rounded up by about a fifth.
struct CostCounter {
    struct Component {
        int id = -1, h = 1, v = 1;
    };
    Component components[4];
    int component_count = 0;
    uint64_t width = 0, height = 0;
    bool progressive = false;
    uint64_t entropy_bytes = 0;
    uint64_t block_scans = 0; // blocks each scan walks, summed over the scans

    // Blocks the decoder keeps for one component (whole MCUs).
    uint64_t blocks(const Component &c) const {
        int h_max = 1, v_max = 1;
        for (int i = 0; i < component_count; ++i) {
            h_max = std::max(h_max, components[i].h);
            v_max = std::max(v_max, components[i].v);
        }
        uint64_t mcu_x = (width + 8 * uint64_t(h_max) - 1) / (8 * uint64_t(h_max));
        uint64_t mcu_y = (height + 8 * uint64_t(v_max) - 1) / (8 * uint64_t(v_max));
        return mcu_x * uint64_t(c.h) * mcu_y * uint64_t(c.v);
    }
    void scan(int component_id) {
        for (int i = 0; i < component_count; ++i)
            if (components[i].id == component_id) block_scans += blocks(components[i]);
    }
    uint64_t nanoseconds() const {
        uint64_t pixels = width * height;
        if (progressive) return 3 * pixels + 40 * entropy_bytes + 32 * block_scans;
        return 5 * pixels + 16 * entropy_bytes + 100 * block_scans;
    }
};

} // namespace

const char *jpeg_guard(ByteSource source, JpegCost *cost) {
    Walker in{source};
    CostCounter counter;
    auto finish = [&](const char *reason) {
        if (cost) cost->nanoseconds = counter.nanoseconds();
        return reason;
    };
    if (in.get() != 0xFF || in.get() != 0xD8) return finish(nullptr);
    bool defined[2][4] = {};
    bool frame_seen = false, progressive = false;
    int pending = -1; // a marker that ended entropy-coded data
    for (;;) {
        int marker = pending;
        pending = -1;
        if (marker < 0) {
            int x = in.get();
            if (x < 0) return finish(nullptr);
            if (x != 0xFF) {
                if (frame_seen) return finish(nullptr); // the decoder stops at a missing marker
                continue;                               // padding before the frame header
            }
            do x = in.get();
            while (x == 0xFF);
            if (x < 0) return finish(nullptr);
            marker = x;
        }

        // Huffman tables are checked wherever they sit: the decoder builds them as it meets them,
        // its header reader included.
        if (marker == 0xC4) { // DHT: one or more tables
            long remaining = in.length() - 2;
            while (remaining > 0) {
                int q = in.get_or_zero();
                int table_class = q >> 4, table_id = q & 15;
                if (table_class > 1 || table_id > 3) return finish(nullptr); // the decoder refuses it
                long codes = 0;
                for (int i = 0; i < 16; ++i) codes += in.get_or_zero();
                if (codes > 256) return finish(TOO_MANY_CODES);
                defined[table_class][table_id] = true;
                if (!in.skip(codes)) return finish(nullptr);
                remaining -= 17 + codes;
            }
            if (remaining < 0) return finish(nullptr); // the decoder refuses the segment
        } else if (is_frame(marker) && !frame_seen) {
            frame_seen = true;
            progressive = marker == 0xC2;
            long length = in.length();
            int precision = in.get();
            long height = in.length(), width = in.length();
            int count = in.get();
            if (length < 8 || precision < 0 || height < 0 || width < 0 || count < 0)
                return finish(nullptr);
            long rest = length - 8;
            counter.width = uint64_t(width);
            counter.height = uint64_t(height);
            counter.progressive = progressive;
            for (int i = 0; i < count && rest >= 3; ++i, rest -= 3) {
                int id = in.get(), sampling = in.get(), table = in.get();
                if (id < 0 || sampling < 0 || table < 0) return finish(nullptr);
                if (i >= 4) continue; // the decoder refuses more than four
                auto &c = counter.components[counter.component_count++];
                c.id = id;
                c.h = std::clamp(sampling >> 4, 1, 4);
                c.v = std::clamp(sampling & 15, 1, 4);
            }
            if (!in.skip(rest)) return finish(nullptr);
        } else if (marker == 0xDA && frame_seen) { // SOS
            long length = in.get_or_zero() << 8;
            length |= in.get_or_zero();
            int count = in.get_or_zero();
            if (count < 1 || count > 4 || length != 6 + 2 * count) return finish(nullptr);
            int dc[4], ac[4];
            for (int i = 0; i < count; ++i) {
                int id = in.get_or_zero(), q = in.get_or_zero();
                dc[i] = q >> 4;
                ac[i] = q & 15;
                if (dc[i] > 3 || ac[i] > 3) return finish(nullptr); // the decoder refuses it
                counter.scan(id);
            }
            int spectral_start = in.get_or_zero();
            in.get_or_zero(); // spectral end
            int approximation = in.get_or_zero();
            // Which tables the decoder reads in this scan: both in a sequential image; in a
            // progressive one the DC table for a first DC scan and the AC table for AC scans.
            bool needs_dc = !progressive || (spectral_start == 0 && (approximation >> 4) == 0);
            bool needs_ac = !progressive || spectral_start != 0;
            for (int i = 0; i < count; ++i)
                if ((needs_dc && !defined[0][dc[i]]) || (needs_ac && !defined[1][ac[i]]))
                    return finish(UNDEFINED_TABLE);
            // Entropy-coded data runs to the first marker that is not stuffing or a restart.
            for (;;) {
                int x = in.get();
                if (x < 0) return finish(nullptr);
                ++counter.entropy_bytes;
                if (x != 0xFF) continue;
                do x = in.get();
                while (x == 0xFF);
                if (x < 0) return finish(nullptr);
                if (x == 0 || is_restart(x)) continue;
                pending = x;
                break;
            }
        } else if (is_skipped_segment(marker)) {
            long length = in.length();
            if (length < 2 || !in.skip(length - 2)) return finish(nullptr);
        } else {
            return finish(nullptr); // end of image, or a marker the decoder stops at
        }
    }
}

namespace {

struct MemoryCursor {
    const uint8_t *at;
    const uint8_t *end;
    static int next(void *context) {
        auto *c = static_cast<MemoryCursor *>(context);
        return c->at < c->end ? *c->at++ : -1;
    }
};

uint32_t read32(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

constexpr char CHUNK_TOO_LONG[] = "PNG chunk longer than the data";
constexpr char INFLATES_TOO_FAR[] = "PNG image data inflates past the declared image size";

// Bytes of filtered scanlines a PNG of this header needs (every Adam7 pass when interlaced).
uint64_t png_raw_length(uint32_t width, uint32_t height, int bits, int channels, bool interlaced) {
    auto rows = [&](uint64_t w, uint64_t h) -> uint64_t {
        return w && h ? h * (1 + (w * uint64_t(channels) * uint64_t(bits) + 7) / 8) : 0;
    };
    if (!interlaced) return rows(width, height);
    static const int pass[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                   {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    uint64_t total = 0;
    for (const auto &p : pass) {
        uint64_t w = width > uint32_t(p[0]) ? (width - uint32_t(p[0]) + uint32_t(p[2]) - 1) / uint32_t(p[2]) : 0;
        uint64_t h = height > uint32_t(p[1]) ? (height - uint32_t(p[1]) + uint32_t(p[3]) - 1) / uint32_t(p[3]) : 0;
        total += rows(w, h);
    }
    return total;
}

} // namespace

const char *jpeg_guard_memory(const uint8_t *bytes, size_t length, JpegCost *cost) {
    MemoryCursor cursor{bytes, bytes + length};
    return jpeg_guard(ByteSource{MemoryCursor::next, &cursor}, cost);
}

const char *png_guard(ByteSource source, uint64_t length) {
    Walker in{source};
    if (length < 8 || !in.skip(8)) return nullptr;
    uint64_t remaining = length - 8;
    while (remaining >= 12) {
        uint8_t head[8];
        for (uint8_t &b : head) {
            int x = in.get();
            if (x < 0) return nullptr;
            b = uint8_t(x);
        }
        uint64_t chunk = read32(head);
        if (chunk > remaining - 12) return CHUNK_TOO_LONG;
        if (std::memcmp(head + 4, "IEND", 4) == 0) return nullptr;
        if (!in.skip(long(chunk + 4))) return nullptr;
        remaining -= chunk + 12;
    }
    return nullptr;
}

const char *png_inflate_guard(const uint8_t *bytes, size_t length) {
    MemoryCursor cursor{bytes, bytes + length};
    if (const char *refusal = png_guard(ByteSource{MemoryCursor::next, &cursor}, length))
        return refusal;
    // Gather the header and the image data; every chunk is known to fit.
    uint32_t width = 0, height = 0;
    int bits = 0, channels = 0;
    bool interlaced = false, headerless = false, have_header = false;
    std::vector<uint8_t> data;
    for (size_t at = 8; at + 12 <= length;) {
        uint32_t chunk = read32(bytes + at);
        const uint8_t *type = bytes + at + 4, *body = bytes + at + 8;
        if (std::memcmp(type, "IHDR", 4) == 0 && chunk >= 13 && !have_header) {
            have_header = true;
            width = read32(body);
            height = read32(body + 4);
            bits = body[8];
            static const int by_colour_type[7] = {1, 0, 3, 1, 2, 0, 4};
            channels = body[9] < 7 ? by_colour_type[body[9]] : 0;
            interlaced = body[12] == 1;
        } else if (std::memcmp(type, "CgBI", 4) == 0) {
            headerless = true; // the decoder reads such files' data as raw deflate
        } else if (std::memcmp(type, "IDAT", 4) == 0) {
            data.insert(data.end(), body, body + chunk);
        } else if (std::memcmp(type, "IEND", 4) == 0) {
            break;
        }
        at += size_t(chunk) + 12;
    }
    if (!have_header || channels == 0 || bits < 1 || bits > 16 || data.empty()) return nullptr;
    uint64_t needed = png_raw_length(width, height, bits, channels, interlaced);
    uint64_t limit = needed + needed / 8 + 1024;
    if (limit > uint64_t(1) << 31 || data.size() > size_t(1) << 31) return INFLATES_TOO_FAR;
    std::unique_ptr<char[]> out(new char[limit]);
    const char *in = reinterpret_cast<const char *>(data.data());
    int produced = headerless
                       ? stbi_zlib_decode_noheader_buffer(out.get(), int(limit), in, int(data.size()))
                       : stbi_zlib_decode_buffer(out.get(), int(limit), in, int(data.size()));
    // -1 is also a corrupt stream, which the decoder would refuse in any case.
    return produced < 0 ? INFLATES_TOO_FAR : nullptr;
}

const char *decoder_guard_memory(const uint8_t *bytes, size_t length, JpegCost *cost) {
    if (length >= 2 && bytes[0] == 0xFF && bytes[1] == 0xD8)
        return jpeg_guard_memory(bytes, length, cost);
    if (length >= 8 && bytes[0] == 0x89 && bytes[1] == 'P') {
        MemoryCursor cursor{bytes, bytes + length};
        return png_guard(ByteSource{MemoryCursor::next, &cursor}, length);
    }
    return nullptr;
}
