// Decoding of small images made by the tests, the fallback for broken and oversized ones, the
// zlib inflater, the thumbnail cache, the mascot and the icon scaling rule.
#include "gfx/image.h"

#include <gtest/gtest.h>

#include <stb_image_write.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t rgba(uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
    return r | (g << 8) | (b << 16) | (a << 24);
}
uint32_t pixel(const Surface *s, int x, int y) {
    uint32_t v;
    std::memcpy(&v, s->pixels + size_t(y) * s->stride + size_t(x) * 4, 4);
    return v;
}

void append_to(void *context, void *data, int size) {
    auto *out = static_cast<Bytes *>(context);
    auto *bytes = static_cast<const uint8_t *>(data);
    out->insert(out->end(), bytes, bytes + size);
}

// A 3 x 2 picture with distinct colours and alphas, R, G, B, A.
const uint8_t PICTURE[3 * 2 * 4] = {
    255, 0,   0,   255, 0,  255, 0,   255, 0,  0,  255, 128, //
    10,  20,  30,  0,   40, 50,  60,  255, 70, 80, 90,  200,
};

Bytes png_of(const uint8_t *rgba_pixels, int w, int h, int channels = 4) {
    Bytes out;
    EXPECT_TRUE(stbi_write_png_to_func(append_to, &out, w, h, channels, rgba_pixels, w * channels));
    return out;
}

uint32_t crc32(const uint8_t *data, size_t length, uint32_t crc = 0) {
    crc = ~crc;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}
void put32be(Bytes &out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}
void png_chunk(Bytes &out, const char *type, const Bytes &data) {
    put32be(out, uint32_t(data.size()));
    Bytes typed(type, type + 4);
    typed.insert(typed.end(), data.begin(), data.end());
    out.insert(out.end(), typed.begin(), typed.end());
    put32be(out, crc32(typed.data(), typed.size()));
}
// A zlib stream of stored (uncompressed) blocks.
Bytes zlib_stored(const Bytes &data) {
    Bytes out = {0x78, 0x01};
    size_t at = 0;
    do {
        size_t n = std::min<size_t>(data.size() - at, 65535);
        out.push_back(at + n == data.size() ? 1 : 0);
        out.push_back(uint8_t(n));
        out.push_back(uint8_t(n >> 8));
        out.push_back(uint8_t(~n));
        out.push_back(uint8_t(~n >> 8));
        out.insert(out.end(), data.begin() + long(at), data.begin() + long(at + n));
        at += n;
    } while (at < data.size());
    uint32_t a = 1, b = 0;
    for (uint8_t byte : data) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    put32be(out, (b << 16) | a);
    return out;
}
// A PNG written by hand: any declared size, bit depth and colour type, with the given filtered
// scanlines as its only IDAT.
Bytes png_by_hand(uint32_t w, uint32_t h, uint8_t depth, uint8_t colour_type, const Bytes &lines,
                  uint8_t interlace = 0) {
    Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes ihdr;
    put32be(ihdr, w);
    put32be(ihdr, h);
    ihdr.insert(ihdr.end(), {depth, colour_type, 0, 0, interlace});
    png_chunk(out, "IHDR", ihdr);
    png_chunk(out, "IDAT", zlib_stored(lines));
    png_chunk(out, "IEND", {});
    return out;
}

// LZW codes of `bits` bits packed least significant bit first into GIF sub-blocks.
Bytes gif_codes(const std::vector<int> &codes, int bits) {
    Bytes packed;
    uint32_t acc = 0;
    int have = 0;
    for (int code : codes) {
        acc |= uint32_t(code) << have;
        have += bits;
        while (have >= 8) {
            packed.push_back(uint8_t(acc));
            acc >>= 8;
            have -= 8;
        }
    }
    if (have) packed.push_back(uint8_t(acc));
    Bytes out = {uint8_t(packed.size())};
    out.insert(out.end(), packed.begin(), packed.end());
    out.push_back(0);
    return out;
}
// One 2 x 2 GIF frame of palette indices, a clear code before each pixel so the code table
// never grows.
Bytes gif_frame(const int (&indices)[4]) {
    Bytes out = {0x2C, 0, 0, 0, 0, 2, 0, 2, 0, 0, 2};
    std::vector<int> codes;
    for (int index : indices) {
        codes.push_back(4);
        codes.push_back(index);
    }
    codes.push_back(5);
    Bytes data = gif_codes(codes, 3);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}
// Palette: 0 red, 1 blue, 2 green, 3 white; index 3 transparent. Two frames; the second must
// not show.
Bytes two_frame_gif() {
    Bytes out = {'G', 'I', 'F', '8', '9', 'a', 2, 0, 2, 0, 0x81, 0, 0};
    out.insert(out.end(), {255, 0, 0, 0, 0, 255, 0, 255, 0, 255, 255, 255});
    out.insert(out.end(), {0x21, 0xF9, 4, 0x01, 0, 0, 3, 0}); // transparent index 3
    Bytes first = gif_frame({0, 1, 2, 3});
    out.insert(out.end(), first.begin(), first.end());
    Bytes second = gif_frame({2, 2, 2, 2});
    out.insert(out.end(), second.begin(), second.end());
    out.push_back(0x3B);
    return out;
}

std::string temp_path(const char *name) {
    return (std::filesystem::path(testing::TempDir()) / name).string();
}
void write_bytes(const std::string &path, const Bytes &bytes) {
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// Decodes and returns the warning text written to standard error.
std::string decode_capturing(const Bytes &bytes, SurfacePtr *out) {
    testing::internal::CaptureStderr();
    out->reset(image_decode(bytes.data(), bytes.size()));
    return testing::internal::GetCapturedStderr();
}

void expect_placeholder(const Surface *s) {
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->width, 1);
    EXPECT_EQ(s->height, 1);
    EXPECT_EQ(s->stride, 4u);
    EXPECT_EQ(pixel(s, 0, 0), 0u);
}

} // namespace

// The compressor inside the installed stb_image_write, which its header does not declare.
extern "C" unsigned char *stbi_zlib_compress(unsigned char *data, int data_len, int *out_len,
                                             int quality);

TEST(image_decode, png_keeps_every_channel) {
    Bytes png = png_of(PICTURE, 3, 2);
    SurfacePtr s(image_decode(png.data(), png.size()));
    ASSERT_EQ(s->width, 3);
    ASSERT_EQ(s->height, 2);
    EXPECT_EQ(s->stride, 12u);
    EXPECT_EQ(std::memcmp(s->pixels, PICTURE, sizeof PICTURE), 0);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(s->pixels[sizeof PICTURE + size_t(i)], 0);
}

TEST(image_decode, three_channel_and_grey_images_get_opaque_alpha) {
    const uint8_t rgb[] = {1, 2, 3, 4, 5, 6};
    Bytes png = png_of(rgb, 2, 1, 3);
    SurfacePtr s(image_decode(png.data(), png.size()));
    EXPECT_EQ(pixel(s.get(), 0, 0), rgba(1, 2, 3, 255));
    EXPECT_EQ(pixel(s.get(), 1, 0), rgba(4, 5, 6, 255));

    const uint8_t grey[] = {9, 200};
    png = png_of(grey, 1, 2, 1);
    s.reset(image_decode(png.data(), png.size()));
    EXPECT_EQ(pixel(s.get(), 0, 1), rgba(200, 200, 200, 255));
}

TEST(image_decode, sixteen_bit_samples_keep_their_high_byte) {
    // One 16-bit RGBA pixel: filter byte 0, then R, G, B, A as big-endian pairs.
    Bytes png = png_by_hand(1, 1, 16, 6, {0, 0xAB, 0xCD, 0x12, 0x34, 0xFE, 0x01, 0x80, 0x7F});
    SurfacePtr s(image_decode(png.data(), png.size()));
    ASSERT_EQ(s->width, 1);
    EXPECT_EQ(pixel(s.get(), 0, 0), rgba(0xAB, 0x12, 0xFE, 0x80));
}

TEST(image_decode, bmp) {
    const uint8_t rgb[] = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120};
    Bytes bmp;
    ASSERT_TRUE(stbi_write_bmp_to_func(append_to, &bmp, 2, 2, 3, rgb));
    SurfacePtr s(image_decode(bmp.data(), bmp.size()));
    ASSERT_EQ(s->width, 2);
    ASSERT_EQ(s->height, 2);
    EXPECT_EQ(pixel(s.get(), 0, 0), rgba(10, 20, 30, 255));
    EXPECT_EQ(pixel(s.get(), 1, 1), rgba(100, 110, 120, 255));
}

TEST(image_decode, jpeg) {
    // Two flat 8 x 8 blocks side by side; JPEG is lossy, so allow a small error.
    std::vector<uint8_t> rgb(16 * 8 * 3);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x) {
            uint8_t *p = &rgb[size_t(y * 16 + x) * 3];
            p[0] = x < 8 ? 200 : 20;
            p[1] = x < 8 ? 40 : 220;
            p[2] = 100;
        }
    Bytes jpg;
    ASSERT_TRUE(stbi_write_jpg_to_func(append_to, &jpg, 16, 8, 3, rgb.data(), 100));
    SurfacePtr s(image_decode(jpg.data(), jpg.size()));
    ASSERT_EQ(s->width, 16);
    ASSERT_EQ(s->height, 8);
    auto near = [](uint32_t got, uint32_t want) {
        for (int c = 0; c < 4; ++c) {
            int g = int((got >> (8 * c)) & 255), w = int((want >> (8 * c)) & 255);
            if (std::abs(g - w) > 6) return false;
        }
        return true;
    };
    EXPECT_TRUE(near(pixel(s.get(), 2, 3), rgba(200, 40, 100, 255))) << std::hex << pixel(s.get(), 2, 3);
    EXPECT_TRUE(near(pixel(s.get(), 13, 5), rgba(20, 220, 100, 255))) << std::hex << pixel(s.get(), 13, 5);
    EXPECT_EQ(pixel(s.get(), 13, 5) >> 24, 255u);
}

TEST(image_decode, gif_first_frame_with_transparency) {
    Bytes gif = two_frame_gif();
    SurfacePtr s(image_decode(gif.data(), gif.size()));
    ASSERT_EQ(s->width, 2);
    ASSERT_EQ(s->height, 2);
    EXPECT_EQ(pixel(s.get(), 0, 0), rgba(255, 0, 0, 255));
    EXPECT_EQ(pixel(s.get(), 1, 0), rgba(0, 0, 255, 255));
    EXPECT_EQ(pixel(s.get(), 0, 1), rgba(0, 255, 0, 255));
    EXPECT_EQ(pixel(s.get(), 1, 1) >> 24, 0u);
}

TEST(image_decode, largest_accepted_dimension) {
    std::vector<uint8_t> row(size_t(IMAGE_MAX_DIMENSION) * 4, 0x7F);
    Bytes png = png_of(row.data(), IMAGE_MAX_DIMENSION, 1);
    SurfacePtr s(image_decode(png.data(), png.size()));
    EXPECT_EQ(s->width, IMAGE_MAX_DIMENSION);
    EXPECT_EQ(pixel(s.get(), IMAGE_MAX_DIMENSION - 1, 0), 0x7F7F7F7Fu);
}

TEST(image_decode, flat_picture_of_two_million_pixels) {
    // Flat pictures compress best; they must stay well inside the pixels-per-byte bound.
    std::vector<uint8_t> flat(size_t(2048) * 1024 * 4, 0x44);
    Bytes png = png_of(flat.data(), 2048, 1024);
    SCOPED_TRACE(png.size());
    SurfacePtr s(image_decode(png.data(), png.size()));
    EXPECT_EQ(s->width, 2048);
    EXPECT_EQ(pixel(s.get(), 2047, 1023), 0x44444444u);
}

TEST(image_decode_malformed, tiny_file_declaring_a_huge_picture) {
    // A valid 16 x 8 JPEG whose frame header is changed to declare 8192 x 8192: the decoder would
    // spend seconds filling pixels from a few hundred bytes.
    std::vector<uint8_t> rgb(16 * 8 * 3, 100);
    Bytes jpg;
    ASSERT_TRUE(stbi_write_jpg_to_func(append_to, &jpg, 16, 8, 3, rgb.data(), 90));
    size_t at = 2;
    while (at + 9 < jpg.size() && !(jpg[at] == 0xFF && jpg[at + 1] == 0xC0)) ++at;
    ASSERT_LT(at + 9, jpg.size());
    jpg[at + 5] = 0x20, jpg[at + 6] = 0, jpg[at + 7] = 0x20, jpg[at + 8] = 0;
    SurfacePtr s;
    std::string log = decode_capturing(jpg, &s);
    expect_placeholder(s.get());
    std::string expected = "image size 8192 x 8192 too large for its " +
                           std::to_string(jpg.size()) + " bytes of data";
    EXPECT_NE(log.find(expected), std::string::npos) << log;

    std::string path = temp_path("solvane_huge_declared.jpg");
    write_bytes(path, jpg);
    testing::internal::CaptureStderr();
    s.reset(image_load_file(path.c_str()));
    log = testing::internal::GetCapturedStderr();
    expect_placeholder(s.get());
    EXPECT_NE(log.find("loading image from file failed: " + expected), std::string::npos) << log;
    std::remove(path.c_str());
}

TEST(image_decode_malformed, falls_back_to_one_transparent_pixel_with_a_warning) {
    Bytes png = png_of(PICTURE, 3, 2);
    Bytes gif = two_frame_gif();
    struct Case {
        const char *name;
        Bytes bytes;
        const char *reason; // part of the warning's detail
    };
    const Case cases[] = {
        {"empty", {}, "no image data"},
        {"garbage", Bytes(100, 0x5A), ""},
        {"html error page", Bytes{'<', 'h', 't', 'm', 'l', '>', 'n', 'o', '<', '/', 'h', '>'}, ""},
        {"png cut in the header", Bytes(png.begin(), png.begin() + 20), ""},
        {"png cut in the data", Bytes(png.begin(), png.end() - 20), ""},
        {"gif cut after the header", Bytes(gif.begin(), gif.begin() + 13), ""},
        // Past a gigabyte the decoder refuses the header by itself, with its own reason.
        {"png 100000 x 100000", png_by_hand(100000, 100000, 8, 6, {0}), ""},
        {"png 9000 x 9000", png_by_hand(9000, 9000, 8, 6, {0}),
         "image size 9000 x 9000 outside 1 x 1 .. 8192 x 8192"},
        {"png one pixel too wide", png_by_hand(8193, 1, 8, 6, Bytes(1 + 8193 * 4, 0)),
         "image size 8193 x 1"},
        {"png one pixel too high", png_by_hand(1, 8193, 8, 0, Bytes(8193 * 2, 0)),
         "image size 1 x 8193"},
        {"gif 60000 x 60000", [] {
             Bytes g = two_frame_gif();
             g[6] = 0x60, g[7] = 0xEA, g[8] = 0x60, g[9] = 0xEA;
             return g;
         }(),
         "image size 60000 x 60000"},
        {"bmp 30000 x 30000", [] {
             const uint8_t rgb[] = {1, 2, 3};
             Bytes b;
             stbi_write_bmp_to_func(append_to, &b, 1, 1, 3, rgb);
             b[18] = 0x30, b[19] = 0x75, b[22] = 0x30, b[23] = 0x75; // width, height 30000
             return b;
         }(),
         "image size 30000 x 30000"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SurfacePtr s;
        std::string log = decode_capturing(c.bytes, &s);
        expect_placeholder(s.get());
        EXPECT_NE(log.find("] WARNING: loading image from memory failed: "), std::string::npos) << log;
        EXPECT_NE(log.find(c.reason), std::string::npos) << log;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    }
}

TEST(image_decode_malformed, other_formats_the_library_knows_are_refused) {
    const uint8_t rgb[] = {1, 2, 3, 4, 5, 6};
    Bytes tga;
    ASSERT_TRUE(stbi_write_tga_to_func(append_to, &tga, 2, 1, 3, rgb));
    const std::string pnm = "P6\n2 1\n255\n\x01\x02\x03\x04\x05\x06";
    const std::string hdr = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 1\n\x80\x80\x80\x81";
    const std::string psd = "8BPS\x00\x01";
    struct Case {
        const char *name;
        Bytes bytes;
    };
    const Case cases[] = {
        {"tga", tga},
        {"pnm", Bytes(pnm.begin(), pnm.end())},
        {"hdr", Bytes(hdr.begin(), hdr.end())},
        {"psd", Bytes(psd.begin(), psd.end())},
        {"png signature cut short", Bytes{0x89, 'P', 'N', 'G'}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SurfacePtr s;
        std::string log = decode_capturing(c.bytes, &s);
        expect_placeholder(s.get());
        EXPECT_NE(log.find("loading image from memory failed: not a PNG, JPEG, BMP or GIF image"),
                  std::string::npos)
            << log;
    }
    std::string path = temp_path("solvane_image_test.tga");
    write_bytes(path, tga);
    testing::internal::CaptureStderr();
    SurfacePtr s(image_load_file(path.c_str()));
    std::string log = testing::internal::GetCapturedStderr();
    expect_placeholder(s.get());
    EXPECT_NE(log.find("loading image from file failed: not a PNG"), std::string::npos) << log;
    std::remove(path.c_str());
}

TEST(image_decode, interlaced_png) {
    // 3 x 3 grey, Adam7: passes 1, 4, 5, 6 and 7 hold pixels.
    Bytes lines = {0, 10, 0, 20, 0, 30, 40, 0, 50, 0, 60, 0, 70, 80, 90};
    Bytes png = png_by_hand(3, 3, 8, 0, lines, 1);
    SurfacePtr s(image_decode(png.data(), png.size()));
    ASSERT_EQ(s->width, 3);
    const uint32_t expected[3][3] = {{10, 50, 20}, {70, 80, 90}, {30, 60, 40}};
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(pixel(s.get(), x, y), rgba(expected[y][x], expected[y][x], expected[y][x], 255))
                << x << "," << y;
}

TEST(image_decode_malformed, png_that_makes_the_decoder_reserve_gigabytes) {
    // Found by fuzzing: a 229-byte PNG whose IDAT chunk declares 2 GB, which the decoder
    // reserved before finding the data missing.
    std::string path = SOLVANE_SOURCE_DIR "/tests/gfx/data/png_idat_declares_2gb.png";
    FILE *f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    Bytes bytes(4096);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
    std::fclose(f);
    SurfacePtr s;
    std::string log = decode_capturing(bytes, &s);
    expect_placeholder(s.get());
    EXPECT_NE(log.find("loading image from memory failed: PNG chunk longer than the data"),
              std::string::npos)
        << log;
    testing::internal::CaptureStderr();
    s.reset(image_load_file(path.c_str()));
    log = testing::internal::GetCapturedStderr();
    expect_placeholder(s.get());
    EXPECT_NE(log.find("loading image from file failed: PNG chunk longer than the data"),
              std::string::npos)
        << log;

    // A whole PNG cut inside its image data chunk.
    Bytes png = png_of(PICTURE, 3, 2);
    log = decode_capturing(Bytes(png.begin(), png.end() - 16), &s);
    expect_placeholder(s.get());
    EXPECT_NE(log.find("PNG chunk longer than the data"), std::string::npos) << log;
}

TEST(image_decode_malformed, png_deflate_bomb) {
    // 16 x 16 RGBA needs 16 * 65 bytes of scanlines; this image data inflates to 4 MB.
    std::vector<uint8_t> zeros(4 << 20, 0);
    int compressed_length = 0;
    unsigned char *compressed = stbi_zlib_compress(zeros.data(), int(zeros.size()), &compressed_length, 8);
    ASSERT_NE(compressed, nullptr);
    Bytes idat(compressed, compressed + compressed_length);
    std::free(compressed);
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes ihdr;
    put32be(ihdr, 16);
    put32be(ihdr, 16);
    ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
    png_chunk(png, "IHDR", ihdr);
    png_chunk(png, "IDAT", idat);
    png_chunk(png, "IEND", {});
    SCOPED_TRACE(png.size());
    SurfacePtr s;
    std::string log = decode_capturing(png, &s);
    expect_placeholder(s.get());
    EXPECT_NE(log.find("PNG image data inflates past the declared image size"), std::string::npos)
        << log;
}

TEST(image_load_file, reads_through_the_callbacks) {
    std::string path = temp_path("solvane_image_test.png");
    write_bytes(path, png_of(PICTURE, 3, 2));
    SurfacePtr s(image_load_file(path.c_str()));
    ASSERT_EQ(s->width, 3);
    EXPECT_EQ(std::memcmp(s->pixels, PICTURE, sizeof PICTURE), 0);
    std::remove(path.c_str());
}

TEST(image_load_file_malformed, missing_broken_and_oversized_files) {
    std::string missing = temp_path("solvane_no_such_image.png");
    std::remove(missing.c_str());
    testing::internal::CaptureStderr();
    SurfacePtr s(image_load_file(missing.c_str()));
    std::string log = testing::internal::GetCapturedStderr();
    expect_placeholder(s.get());
    EXPECT_NE(log.find("WARNING: loading image from file failed: can't fopen"), std::string::npos)
        << log;

    std::string big = temp_path("solvane_big_image.png");
    write_bytes(big, png_by_hand(9000, 9000, 8, 6, {0}));
    testing::internal::CaptureStderr();
    s.reset(image_load_file(big.c_str()));
    log = testing::internal::GetCapturedStderr();
    expect_placeholder(s.get());
    EXPECT_NE(log.find("loading image from file failed: image size 9000 x 9000"),
              std::string::npos)
        << log;

    Bytes png = png_of(PICTURE, 3, 2);
    write_bytes(big, Bytes(png.begin(), png.end() - 25));
    testing::internal::CaptureStderr();
    s.reset(image_load_file(big.c_str()));
    log = testing::internal::GetCapturedStderr();
    expect_placeholder(s.get());
    EXPECT_NE(log.find("loading image from file failed"), std::string::npos) << log;
    std::remove(big.c_str());
}

TEST(asset_inflate, stored_blocks_past_the_initial_buffer) {
    Bytes text(40000);
    for (size_t i = 0; i < text.size(); ++i) text[i] = uint8_t('a' + i % 26);
    Bytes z = zlib_stored(text);
    std::string out = asset_inflate(z.data(), z.size());
    ASSERT_EQ(out.size(), text.size());
    EXPECT_EQ(std::memcmp(out.data(), text.data(), text.size()), 0);
    EXPECT_EQ(out.c_str()[out.size()], '\0');
}

TEST(asset_inflate, compressed_stream) {
    // The IDAT of a PNG is a zlib stream with header: rows of filter byte + pixels.
    std::vector<uint8_t> flat(64 * 64 * 4, 0x33);
    Bytes png = png_of(flat.data(), 64, 64);
    size_t at = 8;
    Bytes idat;
    while (at + 8 <= png.size()) {
        uint32_t length = uint32_t(png[at]) << 24 | uint32_t(png[at + 1]) << 16 |
                          uint32_t(png[at + 2]) << 8 | png[at + 3];
        if (std::memcmp(&png[at + 4], "IDAT", 4) == 0)
            idat.insert(idat.end(), png.begin() + long(at + 8), png.begin() + long(at + 8 + length));
        at += 12 + length;
    }
    ASSERT_FALSE(idat.empty());
    ASSERT_LT(idat.size(), 2000u);
    std::string out = asset_inflate(idat.data(), idat.size());
    EXPECT_EQ(out.size(), size_t(64 * (1 + 64 * 4)));
}

TEST(asset_inflate_death, broken_stream_is_fatal) {
    const uint8_t junk[] = {0x78, 0x9C, 0xFF, 0xFF, 0xFF, 0x00};
    EXPECT_EXIT(asset_inflate(junk, sizeof junk), testing::ExitedWithCode(1),
                "FATAL ERROR: deflate failed");
}

TEST(image_stored_size, follows_scale_and_thumb_size) {
    EXPECT_EQ(image_stored_size(IMAGE_THUMB, 1.5, 90).width, 240);
    EXPECT_EQ(image_stored_size(IMAGE_THUMB, 1.5, 90).height, 135);
    EXPECT_EQ(image_stored_size(IMAGE_SQUARE_THUMB, 1.5, 90).width, 135);
    EXPECT_EQ(image_stored_size(IMAGE_SQUARE_THUMB, 1.5, 90).height, 135);
    EXPECT_EQ(image_stored_size(IMAGE_AVATAR, 1.5, 90).width, 72);
    EXPECT_EQ(image_stored_size(IMAGE_THUMB, 1.0, 72).width, 128);
    EXPECT_EQ(image_stored_size(IMAGE_THUMB, 1.25, 75).width, 166); // trunc(133 * 1.25)
    EXPECT_EQ(image_stored_size(IMAGE_THUMB, 1.25, 75).height, 94); // round(93.75)
    EXPECT_EQ(image_stored_size(IMAGE_FRAME, 2.0, 90).width, 0);
}

TEST(thumbnail_cache, exact_urls_newest_first_and_clear) {
    ThumbnailCache cache;
    thumbnail_cache_add(cache, "https://i/vi/a/mqdefault.jpg", SurfacePtr(surface_new(2, 2)));
    thumbnail_cache_add(cache, "https://i/vi/b/mqdefault.jpg", SurfacePtr(surface_new(3, 3)));
    ASSERT_NE(thumbnail_cache_find(cache, "https://i/vi/a/mqdefault.jpg"), nullptr);
    EXPECT_EQ(thumbnail_cache_find(cache, "https://i/vi/a/mqdefault.jpg")->width, 2);
    EXPECT_EQ(thumbnail_cache_find(cache, "https://i/vi/a/mqdefault.jp"), nullptr);
    EXPECT_EQ(thumbnail_cache_find(cache, "https://i/vi/a/mqdefault.jpg?"), nullptr);
    EXPECT_EQ(cache.first()->data->url, "https://i/vi/b/mqdefault.jpg");
    EXPECT_EQ(cache.size(), 2u);
    thumbnail_cache_clear(cache);
    EXPECT_TRUE(cache.empty());
    EXPECT_EQ(thumbnail_cache_find(cache, "https://i/vi/b/mqdefault.jpg"), nullptr);
    thumbnail_cache_add(cache, "x", SurfacePtr(surface_new(1, 1)));
    EXPECT_EQ(cache.size(), 1u);
}

TEST(mascot, path_rules) {
}

TEST(mascot, alpha_is_reduced_to_about_a_quarter) {
    std::string dir = testing::TempDir();
    write_bytes(temp_path("solvane_mascot.png"), png_of(PICTURE, 3, 2));
    SurfacePtr m(mascot_load("solvane_mascot.png", dir));
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->width, 3);
    EXPECT_EQ(pixel(m.get(), 0, 0), rgba(255, 0, 0, 64)); // 255 * 65 >> 8
    EXPECT_EQ(pixel(m.get(), 2, 0), rgba(0, 0, 255, 32)); // 128 * 65 >> 8
    EXPECT_EQ(pixel(m.get(), 2, 1), rgba(70, 80, 90, 50)); // 200 * 65 >> 8
    EXPECT_EQ(pixel(m.get(), 0, 1) >> 24, 0u);
    std::remove(temp_path("solvane_mascot.png").c_str());

    EXPECT_EQ(mascot_load("", dir), nullptr);
    testing::internal::CaptureStderr();
    SurfacePtr missing(mascot_load("solvane_no_mascot.png", dir));
    std::string log = testing::internal::GetCapturedStderr();
    expect_placeholder(missing.get());
    EXPECT_NE(log.find("can't fopen"), std::string::npos);
}

TEST(icon_apply_scale, scales_only_above_one_point_one) {
    struct Case {
        int size;
        double scale;
        int expected;
    };
    const Case cases[] = {{20, 1.0, 20}, {20, 1.1, 20}, {20, 2.0, 40}, {16, 2.0, 32},
                          {20, 1.5, 30}, {16, 1.15, 18}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << " at " << c.scale);
        Surface *original = surface_new(c.size, c.size);
        SurfacePtr out = icon_apply_scale(SurfacePtr(original), c.scale);
        EXPECT_EQ(out->width, c.expected);
        EXPECT_EQ(out->height, c.expected);
        if (c.expected == c.size) {
            EXPECT_EQ(out.get(), original);
        }
    }
}
