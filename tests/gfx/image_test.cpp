// Decoding of small images the tests make; broken, oversized and hostile ones refused with a
// warning and one transparent pixel; the asset inflater, stored sizes and mascot.
#include "gfx/decoder_guard.h"
#include "gfx/image.h"
#include "gfx_test.h"

#include <gtest/gtest.h>

#include <stb_image_write.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

// The compressor inside the installed stb_image_write, which its header does not declare.
extern "C" unsigned char *stbi_zlib_compress(unsigned char *data, int data_len, int *out_len,
                                             int quality);

namespace {

void append_to(void *context, void *data, int size) {
    auto *out = static_cast<Bytes *>(context);
    out->insert(out->end(), static_cast<uint8_t *>(data), static_cast<uint8_t *>(data) + size);
}

// A 3 x 2 picture with distinct colours and alphas, R, G, B, A.
const uint8_t PICTURE[3 * 2 * 4] = {
    255, 0,  0,  255, 0,  255, 0,  255, 0,  0,  255, 128, //
    10,  20, 30, 0,   40, 50,  60, 255, 70, 80, 90,  200,
};

Bytes png_of(const uint8_t *pixels, int w, int h, int channels = 4) {
    Bytes out;
    EXPECT_TRUE(stbi_write_png_to_func(append_to, &out, w, h, channels, pixels, w * channels));
    return out;
}
Bytes jpg_of(int w, int h, const std::function<void(int, int, uint8_t *)> &colour, int q = 100) {
    std::vector<uint8_t> rgb(size_t(w * h) * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) colour(x, y, &rgb[size_t(y * w + x) * 3]);
    Bytes out;
    EXPECT_TRUE(stbi_write_jpg_to_func(append_to, &out, w, h, 3, rgb.data(), q));
    return out;
}
Bytes zlib(const Bytes &data) {
    int length = 0;
    unsigned char *z = stbi_zlib_compress(const_cast<uint8_t *>(data.data()), int(data.size()), &length, 8);
    Bytes out(z, z + length);
    std::free(z);
    return out;
}
void put32be(Bytes &out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}
void png_chunk(Bytes &out, const char *type, const Bytes &data) {
    put32be(out, uint32_t(data.size()));
    size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    uint32_t crc = ~0u;
    for (size_t i = start; i < out.size(); ++i) {
        crc ^= out[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    put32be(out, ~crc);
}
// A 16 x 16 RGBA PNG written by hand, `idat` as its only IDAT.
Bytes png_raw(const Bytes &idat) {
    Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    png_chunk(out, "IHDR", {0, 0, 0, 16, 0, 0, 0, 16, 8, 6, 0, 0, 0});
    png_chunk(out, "IDAT", idat);
    png_chunk(out, "IEND", {});
    return out;
}
// 1 x 1, one palette entry (red), its one pixel coded with 3-bit LZW codes.
const Bytes GIF = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 255, 0, 0, 0, 0, 0,
                   0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x44, 0x01, 0, 0x3B};

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
// A JPEG segment: marker, then a big-endian length covering itself and the payload.
Bytes seg(uint8_t marker, const Bytes &payload) {
    size_t length = payload.size() + 2;
    return cat({{0xFF, marker, uint8_t(length >> 8), uint8_t(length)}, payload});
}
const Bytes SOI = {0xFF, 0xD8}, EOI = {0xFF, 0xD9};
// A progressive grey JPEG of a few hundred bytes whose `ac_scans` scans each walk every block.
Bytes jpeg_many_scans(int w, int h, int ac_scans) {
    Bytes quant = {0};
    quant.insert(quant.end(), 64, 1);
    // DC: one code of length 1 for category 0. AC: one code of length 1 for an EOB run of 2^14.
    Bytes frame = {8, uint8_t(h >> 8), uint8_t(h), uint8_t(w >> 8), uint8_t(w), 1, 1, 0x11, 0};
    Bytes out = cat({SOI, seg(0xDB, quant), seg(0xC2, frame),
                     seg(0xC4, {0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00}),
                     seg(0xC4, {0x10, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xE0})});
    for (int i = 0; i <= ac_scans; ++i) {
        Bytes scan = {1, 1, 0x00, uint8_t(i ? 1 : 0), uint8_t(i ? 63 : 0), 0};
        out = cat({out, seg(0xDA, scan), {0, 0}});
    }
    return cat({out, EOI});
}

Bytes read_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
std::string temp_path(const char *name) {
    return (std::filesystem::path(testing::TempDir()) / name).string();
}
void write_bytes(const std::string &path, const Bytes &bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), long(bytes.size()));
}

// Decodes from memory (or from `path` when given) and returns the text written to stderr.
std::string decode_capturing(const Bytes &bytes, SurfacePtr *out, const char *path = nullptr) {
    testing::internal::CaptureStderr();
    out->reset(path ? image_load_file(path) : image_decode(bytes.data(), bytes.size()));
    return testing::internal::GetCapturedStderr();
}

void expect_placeholder(const Surface *s) {
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::tuple(s->width, s->height, s->stride, pixel(s, 0, 0)), std::tuple(1, 1, 4u, 0u));
}

} // namespace

// Every accepted format becomes RGBA, with zeroed spare bytes after the last row.
TEST(image_decode, every_accepted_format_becomes_rgba) {
    const uint8_t rgb[] = {1, 2, 3, 4, 5, 6}, mono[] = {9, 200};
    const uint8_t bmp_rgb[] = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120};
    Bytes bmp;
    ASSERT_TRUE(stbi_write_bmp_to_func(append_to, &bmp, 2, 2, 3, bmp_rgb));
    // Flat 8 x 8 blocks; JPEG is lossy, so allow a small error.
    Bytes jpg = jpg_of(16, 8, [](int x, int, uint8_t *p) {
        p[0] = x < 8 ? 200 : 20, p[1] = x < 8 ? 40 : 220, p[2] = 100;
    });
    const std::tuple<const char *, Bytes, int, int, uint32_t, int> cases[] = { // at x, y; tolerance
        {"rgba png keeps colour under zero alpha", png_of(PICTURE, 3, 2), 0, 1, rgba(10, 20, 30, 0), 0},
        {"rgb png gets opaque alpha", png_of(rgb, 2, 1, 3), 1, 0, rgba(4, 5, 6, 255), 0},
        {"grey png", png_of(mono, 1, 2, 1), 0, 1, rgba(200, 200, 200, 255), 0},
        {"bmp bottom right", bmp, 1, 1, rgba(100, 110, 120, 255), 0},
        {"gif", GIF, 0, 0, rgba(255, 0, 0, 255), 0},
        {"jpeg", jpg, 13, 5, rgba(20, 220, 100, 255), 6},
    };
    for (const auto &[name, bytes, x, y, want, tolerance] : cases) {
        SCOPED_TRACE(name);
        SurfacePtr s(image_decode(bytes.data(), bytes.size()));
        ASSERT_GT(s->width, x);
        ASSERT_GT(s->height, y);
        for (size_t i = 0; i < 32; ++i) EXPECT_EQ(s->pixels[s->stride * uint32_t(s->height) + i], 0);
        for (int shift = 0; shift < 32; shift += 8)
            EXPECT_LE(std::abs(int(pixel(s.get(), x, y) >> shift & 255) - int(want >> shift & 255)),
                      tolerance) << std::hex << pixel(s.get(), x, y);
    }
}

// Hostile images and broken files are refused with one warning before the decoder spends time
// or memory on them; the pictures the service really sends are decoded.
TEST(image_decode_malformed, refused_with_a_warning_and_the_placeholder) {
    Bytes tiny = jpeg_many_scans(8192, 8192, 0);
    std::vector<uint8_t> flat(size_t(1500) * 1400 * 4, 0x44);
    Bytes two_megapixels = png_of(flat.data(), 1500, 1400);
    std::vector<uint8_t> wide(size_t(IMAGE_MAX_DIMENSION + 1) * 4, 0x7F);
    Bytes hd = jpg_of(1280, 720, [](int x, int y, uint8_t *p) {
        p[0] = uint8_t(x), p[1] = uint8_t(y), p[2] = uint8_t(x ^ y);
    }, 85);
    Bytes png = png_of(PICTURE, 3, 2), big(IMAGE_MAX_DOWNLOAD_BYTES + 1, 0);
    big[0] = 0xFF, big[1] = 0xD8, big[2] = 0xFF;
    const std::string data = SOLVANE_SOURCE_DIR "/tests/gfx/data/", ppm = "P6\n2 1\n255\n\1\2\3\4\5\6";
    enum From { MEMORY = 1, FILE_ = 2, BOTH = 3 };
    // `reason`: part of the warning, "" for any; `width`: decoded, when set.
    struct Case { const char *name; Bytes bytes; int from; std::string reason; int width = 0; };
    const Case cases[] = {
        {"huffman table of 4080 codes before the frame header",
         read_bytes(SOLVANE_SOURCE_DIR "/fuzz/seeds/gfx_image/jpeg_dht_4080_codes_before_frame.jpg"),
         BOTH, "JPEG Huffman table with more than 256 codes"},
        {"a scan with an undefined huffman table", read_bytes(data + "jpeg_undefined_huffman_table.jpg"),
         BOTH, "JPEG scan uses an undefined Huffman table"},
        {"8192 x 8192 png bomb of 260 kB", read_bytes(data + "png_bomb_8192.png"), MEMORY,
         "image size 8192 x 8192 above 2000000 pixels"},
        {"the mascot's bound is the data, not the pixels", tiny, FILE_,
         "image size 8192 x 8192 too large for its " + std::to_string(tiny.size()) + " bytes of data"},
        {"2.1 megapixels", two_megapixels, MEMORY, "image size 1500 x 1400 above 2000000 pixels"},
        {"2.1 megapixels as the mascot", two_megapixels, FILE_, "", 1500},
        {"largest dimension", png_of(wide.data(), IMAGE_MAX_DIMENSION, 1), BOTH, "", IMAGE_MAX_DIMENSION},
        {"1280 x 720 progressive, 120 scans", jpeg_many_scans(1280, 720, 120), MEMORY,
         "JPEG 1280 x 720 would take about"},
        {"1280 x 720, the largest the service sends", hd, MEMORY, "", 1280},
        {"16 MB and a byte", big, MEMORY, "image data of 16777217 bytes above 16777216"},
        // Found by fuzzing: a 229-byte PNG whose IDAT chunk declares 2 GB, which the decoder
        // reserved before finding the data missing.
        {"png declaring 2 GB of data", read_bytes(data + "png_idat_declares_2gb.png"), BOTH,
         "PNG chunk longer than the data"},
        // 16 x 16 RGBA needs 16 * 65 bytes of scanlines; this image data inflates to 4 MB.
        {"png deflate bomb", png_raw(zlib(Bytes(4 << 20, 0))), MEMORY,
         "PNG image data inflates past the declared image size"},
        {"empty", {}, MEMORY, "no image data"},
        {"a format the decoder knows but the program does not take", Bytes(ppm.begin(), ppm.end()),
         BOTH, "not a PNG, JPEG, BMP or GIF image"},
        {"png cut in the header", Bytes(png.begin(), png.begin() + 20), BOTH, ""},
        {"png one pixel too wide", png_of(wide.data(), IMAGE_MAX_DIMENSION + 1, 1), MEMORY,
         "image size 8193 x 1 outside 1 x 1 .. 8192 x 8192"},
    };
    std::string path = temp_path("solvane_refused_image");
    for (const Case &c : cases) {
        for (From from : {MEMORY, FILE_}) {
            if (!(c.from & from)) continue;
            SCOPED_TRACE(std::string(c.name) + (from == MEMORY ? " from memory" : " from a file"));
            if (from == FILE_) write_bytes(path, c.bytes);
            SurfacePtr s;
            std::string log = decode_capturing(c.bytes, &s, from == FILE_ ? path.c_str() : nullptr);
            if (c.width) {
                EXPECT_EQ(s->width, c.width) << log;
                EXPECT_EQ(log, "");
                continue;
            }
            expect_placeholder(s.get());
            EXPECT_NE(log.find(std::string("] WARNING: loading image from ") +
                               (from == MEMORY ? "memory" : "file") + " failed: " + c.reason),
                      std::string::npos) << log;
            EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
        }
    }
    std::remove(path.c_str());
}

// ---- The JPEG guard ------------------------------------------------------------------------

namespace {

// A Huffman table of `codes` codes: one of length 1 ... filled up at length 16.
Bytes huffman(uint8_t table_class, uint8_t id, int codes) {
    Bytes p = {uint8_t(table_class << 4 | id)};
    int counts[16] = {};
    for (int k = 0; k < 16 && codes > 0; ++k) codes -= counts[k] = std::min(codes, k == 15 ? 255 : 1);
    for (int count : counts) p.push_back(uint8_t(count));
    for (int k = 0; k < 16; ++k)
        for (int i = 0; i < counts[k]; ++i) p.push_back(uint8_t(i));
    return p;
}
Bytes frame(uint8_t marker) { return seg(marker, {8, 0, 8, 0, 8, 1, 1, 0x11, 0}); }
Bytes scan(uint8_t tables, uint8_t start, uint8_t end, uint8_t approximation) {
    return seg(0xDA, {1, 1, tables, start, end, approximation});
}
Bytes dht(uint8_t table_class, uint8_t id, int codes = 12) { return seg(0xC4, huffman(table_class, id, codes)); }
// Entropy-coded data with byte stuffing, fill bytes and a restart marker.
const Bytes ENTROPY = {0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD3, 0x56, 0xFF, 0xFF};

} // namespace

TEST(jpeg_guard, refuses_undefined_tables_and_oversized_ones) {
    const char *UNDEFINED = "JPEG scan uses an undefined Huffman table";
    const char *TOO_MANY = "JPEG Huffman table with more than 256 codes";
    Bytes two_tables = huffman(0, 0, 12), big = huffman(1, 0, 300);
    two_tables.insert(two_tables.end(), big.begin(), big.end());
    // Found by fuzzing: a table whose counts the end of the file cuts (the last two are the
    // end-of-image marker's bytes, 255 + 217 codes); the decoder reads zeros for the rest.
    Bytes cut = {0xFF, 0xD8, 0xFF, 0xC4, 0x01, 0xA2, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xD9};
    const std::tuple<const char *, Bytes, const char *> cases[] = { // name, bytes, reason or passed
        {"tables defined between scans", cat({SOI, dht(0, 0), dht(1, 0), frame(0xC0),
         scan(0x00, 0, 63, 0), ENTROPY, dht(1, 1), scan(0x01, 0, 63, 0), ENTROPY, EOI}), nullptr},
        {"no tables at all", cat({SOI, frame(0xC0), scan(0x00, 0, 63, 0), ENTROPY, EOI}), UNDEFINED},
        {"second scan past stuffing and a restart",
         cat({SOI, dht(0, 0), dht(1, 0), frame(0xC0), scan(0x00, 0, 63, 0), ENTROPY,
              scan(0x01, 0, 63, 0), ENTROPY, EOI}), UNDEFINED},
        {"progressive ac scan without ac table", cat({SOI, dht(0, 0), frame(0xC2),
         scan(0x00, 0, 0, 0x00), ENTROPY, scan(0x00, 1, 5, 0x00), EOI}), UNDEFINED},
        {"progressive dc refinement reads no table", cat({SOI, dht(0, 0), frame(0xC2),
         scan(0x00, 0, 0, 0x00), ENTROPY, scan(0x11, 0, 0, 0x10), ENTROPY, EOI}), nullptr},
        {"256 codes", cat({SOI, dht(0, 0, 256), EOI}), nullptr},
        {"257 codes", cat({SOI, dht(0, 0, 257), EOI}), TOO_MANY},
        {"the second table of one segment", cat({SOI, seg(0xC4, two_tables), EOI}), TOO_MANY},
        {"counts cut by the end of the file", cut, TOO_MANY},
    };
    for (const auto &[name, bytes, reason] : cases)
        EXPECT_STREQ(jpeg_guard_memory(bytes.data(), bytes.size()), reason) << name;
    // Truncated files are left to the decoder.
    Bytes full_file = cat({SOI, dht(0, 0), dht(1, 0), frame(0xC0), scan(0x00, 0, 63, 0), ENTROPY, EOI});
    for (size_t n = 0; n <= full_file.size(); ++n)
        EXPECT_EQ(jpeg_guard_memory(full_file.data(), n), nullptr) << n;
}

// ---- Around the decoder --------------------------------------------------------------------

TEST(image, asset_inflate_stored_sizes_and_mascot) {
    Bytes text(40000); // past the initial buffer
    for (size_t i = 0; i < text.size(); ++i) text[i] = uint8_t('a' + i % 26);
    Bytes z = zlib(text);
    ASSERT_LT(z.size(), 2000u);
    std::string out = asset_inflate(z.data(), z.size());
    EXPECT_EQ(out, std::string(text.begin(), text.end()));
    const uint8_t junk[] = {0x78, 0x9C, 0xFF, 0xFF, 0xFF, 0x00};
    EXPECT_EXIT(asset_inflate(junk, sizeof junk), testing::ExitedWithCode(1), "FATAL ERROR: deflate failed");

    const std::tuple<ImageKind, double, int, int, int> stored[] = { // scale, thumb, width, height
        {IMAGE_THUMB, 1.5, 90, 240, 135}, {IMAGE_SQUARE_THUMB, 1.5, 90, 135, 135},
        {IMAGE_AVATAR, 1.5, 90, 72, 72},  {IMAGE_THUMB, 1.0, 72, 128, 72},
        {IMAGE_THUMB, 1.25, 75, 166, 94}, {IMAGE_FRAME, 2.0, 90, 0, 0}}; // trunc(133 * 1.25)
    for (auto [kind, scale, thumb, w, h] : stored) {
        ImageSize size = image_stored_size(kind, scale, thumb);
        EXPECT_EQ(std::pair(size.width, size.height), std::pair(w, h)) << kind << " " << scale;
    }

    // The mascot's alpha is reduced to about a quarter.
    write_bytes(temp_path("solvane_mascot.png"), png_of(PICTURE, 3, 2));
    SurfacePtr m(mascot_load("solvane_mascot.png", testing::TempDir()));
    ASSERT_EQ(m->width, 3);
    EXPECT_EQ(pixel(m.get(), 0, 0), rgba(255, 0, 0, 64)); // 255 * 65 >> 8
    EXPECT_EQ(pixel(m.get(), 2, 1), rgba(70, 80, 90, 50)); // 200 * 65 >> 8
    EXPECT_EQ(pixel(m.get(), 0, 1) >> 24, 0u);
    std::remove(temp_path("solvane_mascot.png").c_str());
    EXPECT_EQ(mascot_load("", testing::TempDir()), nullptr);
    testing::internal::CaptureStderr();
    SurfacePtr missing(mascot_load("solvane_no_mascot.png", testing::TempDir()));
    std::string log = testing::internal::GetCapturedStderr();
    expect_placeholder(missing.get());
    EXPECT_NE(log.find("can't fopen"), std::string::npos);
}
