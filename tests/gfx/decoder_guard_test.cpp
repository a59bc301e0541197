// The pass over JPEG segments that keeps files the installed decoder mishandles away from it.
#include "gfx/decoder_guard.h"
#include "gfx/image.h"

#include <gtest/gtest.h>

#include <stb_image_write.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void append_to(void *context, void *data, int size) {
    auto *out = static_cast<Bytes *>(context);
    out->insert(out->end(), static_cast<uint8_t *>(data), static_cast<uint8_t *>(data) + size);
}

// Segment builders: marker, then a big-endian length covering itself and the payload.
void segment(Bytes &out, uint8_t marker, const Bytes &payload) {
    size_t length = payload.size() + 2;
    out.insert(out.end(), {0xFF, marker, uint8_t(length >> 8), uint8_t(length)});
    out.insert(out.end(), payload.begin(), payload.end());
}
// A Huffman table of `codes` codes: one of length 1 ... filled up at length 16.
Bytes huffman(uint8_t table_class, uint8_t id, int codes) {
    Bytes p = {uint8_t(table_class << 4 | id)};
    int counts[16] = {};
    for (int k = 0; k < 16 && codes > 0; ++k) {
        counts[k] = std::min(codes, k == 15 ? 255 : 1);
        codes -= counts[k];
    }
    for (int count : counts) p.push_back(uint8_t(count));
    for (int k = 0; k < 16; ++k)
        for (int i = 0; i < counts[k]; ++i) p.push_back(uint8_t(i));
    return p;
}
Bytes frame(uint8_t marker) {
    Bytes out;
    segment(out, marker, {8, 0, 8, 0, 8, 1, 1, 0x11, 0});
    return out;
}
Bytes scan(uint8_t tables, uint8_t start, uint8_t end, uint8_t approximation) {
    Bytes out;
    segment(out, 0xDA, {1, 1, tables, start, end, approximation});
    return out;
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes dht(uint8_t table_class, uint8_t id, int codes = 12) {
    Bytes out;
    segment(out, 0xC4, huffman(table_class, id, codes));
    return out;
}
const Bytes SOI = {0xFF, 0xD8}, EOI = {0xFF, 0xD9};
// Entropy-coded data with byte stuffing, fill bytes and a restart marker.
const Bytes ENTROPY = {0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD3, 0x56, 0xFF, 0xFF};

const char *guard(const Bytes &b) { return jpeg_guard_memory(b.data(), b.size()); }

} // namespace

TEST(jpeg_guard, sound_files_pass) {
    std::vector<uint8_t> rgb(24 * 16 * 3, 90);
    Bytes jpg;
    ASSERT_TRUE(stbi_write_jpg_to_func(append_to, &jpg, 24, 16, 3, rgb.data(), 90));
    EXPECT_EQ(guard(jpg), nullptr);
    EXPECT_EQ(guard(cat({SOI, dht(0, 0), dht(1, 0), frame(0xC0), scan(0x00, 0, 63, 0), ENTROPY,
                         dht(1, 1), scan(0x01, 0, 63, 0), ENTROPY, EOI})),
              nullptr);
    Bytes not_jpeg = {'B', 'M', 0, 0};
    EXPECT_EQ(guard(not_jpeg), nullptr);
}

TEST(jpeg_guard, scan_with_an_undefined_table_is_refused) {
    struct Case {
        const char *name;
        Bytes bytes;
        bool refused;
    };
    const Case cases[] = {
        {"no tables at all", cat({SOI, frame(0xC0), scan(0x00, 0, 63, 0), ENTROPY, EOI}), true},
        {"ac table missing", cat({SOI, dht(0, 0), frame(0xC0), scan(0x00, 0, 63, 0), EOI}), true},
        {"table defined after the scan",
         cat({SOI, dht(0, 0), frame(0xC0), scan(0x01, 0, 63, 0), ENTROPY, dht(1, 1), EOI}), true},
        {"second scan past stuffing and a restart",
         cat({SOI, dht(0, 0), dht(1, 0), frame(0xC0), scan(0x00, 0, 63, 0), ENTROPY,
              scan(0x01, 0, 63, 0), ENTROPY, EOI}),
         true},
        {"padding before the frame header",
         cat({SOI, {0x00, 0x07}, dht(0, 0), {0x42}, frame(0xC0), scan(0x00, 0, 63, 0), EOI}), true},
        {"progressive dc scan without dc table",
         cat({SOI, dht(1, 0), frame(0xC2), scan(0x00, 0, 0, 0x00), EOI}), true},
        {"progressive ac scan without ac table",
         cat({SOI, dht(0, 0), frame(0xC2), scan(0x00, 0, 0, 0x00), ENTROPY,
              scan(0x00, 1, 5, 0x00), EOI}),
         true},
        {"progressive dc refinement reads no table",
         cat({SOI, dht(0, 0), frame(0xC2), scan(0x00, 0, 0, 0x00), ENTROPY,
              scan(0x11, 0, 0, 0x10), ENTROPY, EOI}),
         false},
        {"scan before the frame header: the decoder stops there",
         cat({SOI, scan(0x00, 0, 63, 0), EOI}), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const char *reason = guard(c.bytes);
        if (c.refused) {
            ASSERT_NE(reason, nullptr);
            EXPECT_STREQ(reason, "JPEG scan uses an undefined Huffman table");
        } else {
            EXPECT_EQ(reason, nullptr);
        }
    }
}

TEST(jpeg_guard, table_of_more_than_256_codes_is_refused) {
    EXPECT_EQ(guard(cat({SOI, dht(0, 0, 256), EOI})), nullptr);
    EXPECT_STREQ(guard(cat({SOI, dht(0, 0, 257), EOI})),
                 "JPEG Huffman table with more than 256 codes");
    // The second table of one segment.
    Bytes two;
    Bytes tables = huffman(0, 0, 12);
    Bytes big = huffman(1, 0, 300);
    tables.insert(tables.end(), big.begin(), big.end());
    segment(two, 0xC4, tables);
    EXPECT_STREQ(guard(cat({SOI, two, EOI})), "JPEG Huffman table with more than 256 codes");
    // 16 lengths of 255 codes each, before the frame header: the decoder's header reader built
    // this table and wrote past its arrays.
    Bytes full(17 + 4080, 0);
    for (size_t i = 1; i <= 16; ++i) full[i] = 255;
    Bytes early;
    segment(early, 0xC4, full);
    EXPECT_STREQ(guard(cat({SOI, early, frame(0xC0), scan(0x00, 0, 63, 0), ENTROPY, EOI})),
                 "JPEG Huffman table with more than 256 codes");
    // Found by fuzzing: a table whose counts the end of the file cuts (the last two are the
    // end-of-image marker's bytes, 255 + 217 codes); the decoder reads zeros for the rest.
    Bytes cut = {0xFF, 0xD8, 0xFF, 0xC4, 0x01, 0xA2, 0x00};
    cut.insert(cut.end(), 10, 0);
    cut.insert(cut.end(), {0xFF, 0xD9});
    EXPECT_STREQ(guard(cut), "JPEG Huffman table with more than 256 codes");
}

TEST(jpeg_guard, truncated_files_are_left_to_the_decoder) {
    Bytes full = cat({SOI, dht(0, 0), dht(1, 0), frame(0xC0), scan(0x00, 0, 63, 0), ENTROPY, EOI});
    for (size_t n = 0; n <= full.size(); ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(jpeg_guard_memory(full.data(), n), nullptr);
    }
}

TEST(jpeg_guard, found_by_fuzzing_decodes_to_the_placeholder) {
    // A scan selecting a table no segment defined: the decoder read through uninitialised
    // memory and crashed.
    std::string path = SOLVANE_SOURCE_DIR "/tests/gfx/data/jpeg_undefined_huffman_table.jpg";
    testing::internal::CaptureStderr();
    SurfacePtr s(image_load_file(path.c_str()));
    std::string log = testing::internal::GetCapturedStderr();
    ASSERT_EQ(s->width, 1);
    EXPECT_NE(log.find("loading image from file failed: JPEG scan uses an undefined Huffman table"),
              std::string::npos)
        << log;
}
