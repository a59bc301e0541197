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
#include <functional>
#include <string>
#include <vector>

// The compressor inside the installed stb_image_write, which its header does not declare.
extern "C" unsigned char *stbi_zlib_compress(unsigned char *data, int data_len, int *out_len,
                                             int quality);

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

uint32_t crc32(const uint8_t *data, size_t length) {
    uint32_t crc = ~0u;
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
        out.insert(out.end(), {uint8_t(at + n == data.size()), uint8_t(n), uint8_t(n >> 8),
                               uint8_t(~n), uint8_t(~n >> 8)});
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
// A PNG written by hand: any declared size, bit depth and colour type, `idat` as its only IDAT.
Bytes png_raw(uint32_t w, uint32_t h, uint8_t depth, uint8_t colour_type, const Bytes &idat,
              uint8_t interlace = 0) {
    Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes ihdr;
    put32be(ihdr, w);
    put32be(ihdr, h);
    ihdr.insert(ihdr.end(), {depth, colour_type, 0, 0, interlace});
    png_chunk(out, "IHDR", ihdr);
    png_chunk(out, "IDAT", idat);
    png_chunk(out, "IEND", {});
    return out;
}
Bytes png_by_hand(uint32_t w, uint32_t h, uint8_t depth, uint8_t colour_type, const Bytes &lines,
                  uint8_t interlace = 0) {
    return png_raw(w, h, depth, colour_type, zlib_stored(lines), interlace);
}

// One 2 x 2 GIF frame of palette indices, a clear code before each pixel so the code table
// never grows; 3-bit LZW codes packed least significant bit first into one sub-block.
Bytes gif_frame(const int (&indices)[4]) {
    Bytes out = {0x2C, 0, 0, 0, 0, 2, 0, 2, 0, 0, 2};
    std::vector<int> codes;
    for (int index : indices) codes.insert(codes.end(), {4, index});
    codes.push_back(5);
    Bytes packed;
    uint32_t acc = 0;
    int have = 0;
    for (int code : codes) {
        acc |= uint32_t(code) << have;
        for (have += 3; have >= 8; have -= 8, acc >>= 8) packed.push_back(uint8_t(acc));
    }
    if (have) packed.push_back(uint8_t(acc));
    out.push_back(uint8_t(packed.size()));
    out.insert(out.end(), packed.begin(), packed.end());
    out.push_back(0);
    return out;
}
// Palette: 0 red, 1 blue, 2 green, 3 white; index 3 transparent. The second frame must not show.
Bytes two_frame_gif() {
    Bytes out = {'G', 'I', 'F', '8', '9', 'a', 2, 0, 2, 0, 0x81, 0, 0};
    out.insert(out.end(), {255, 0, 0, 0, 0, 255, 0, 255, 0, 255, 255, 255});
    out.insert(out.end(), {0x21, 0xF9, 4, 0x01, 0, 0, 3, 0});
    for (const Bytes &f : {gif_frame({0, 1, 2, 3}), gif_frame({2, 2, 2, 2})})
        out.insert(out.end(), f.begin(), f.end());
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

SurfacePtr decode(const Bytes &bytes) { return SurfacePtr(image_decode(bytes.data(), bytes.size())); }

// Decodes from memory (or from `path` when given) and returns the text written to stderr.
std::string decode_capturing(const Bytes &bytes, SurfacePtr *out, const char *path = nullptr) {
    testing::internal::CaptureStderr();
    out->reset(path ? image_load_file(path) : image_decode(bytes.data(), bytes.size()));
    return testing::internal::GetCapturedStderr();
}

void expect_placeholder(const Surface *s) {
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->width, 1);
    EXPECT_EQ(s->height, 1);
    EXPECT_EQ(s->stride, 4u);
    EXPECT_EQ(pixel(s, 0, 0), 0u);
}

// Decodes `bytes` from memory and from a file; both must give the placeholder and a warning
// containing `reason`.
void expect_refused(const Bytes &bytes, const std::string &reason) {
    SurfacePtr s;
    std::string log = decode_capturing(bytes, &s);
    expect_placeholder(s.get());
    EXPECT_NE(log.find("loading image from memory failed: " + reason), std::string::npos) << log;
    std::string path = temp_path("solvane_refused_image");
    write_bytes(path, bytes);
    log = decode_capturing({}, &s, path.c_str());
    expect_placeholder(s.get());
    EXPECT_NE(log.find("loading image from file failed: " + reason), std::string::npos) << log;
    std::remove(path.c_str());
}

} // namespace

TEST(image_decode, png_keeps_every_channel_and_the_spare_bytes_are_zero) {
    Bytes png = png_of(PICTURE, 3, 2);
    SurfacePtr s = decode(png);
    ASSERT_EQ(s->width, 3);
    ASSERT_EQ(s->height, 2);
    EXPECT_EQ(s->stride, 12u);
    EXPECT_EQ(std::memcmp(s->pixels, PICTURE, sizeof PICTURE), 0);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(s->pixels[sizeof PICTURE + size_t(i)], 0);

    std::string path = temp_path("solvane_image_test.png");
    write_bytes(path, png);
    s.reset(image_load_file(path.c_str()));
    ASSERT_EQ(s->width, 3);
    EXPECT_EQ(std::memcmp(s->pixels, PICTURE, sizeof PICTURE), 0);
    std::remove(path.c_str());
}

TEST(image_decode, every_accepted_format_becomes_rgba) {
    const uint8_t rgb[] = {1, 2, 3, 4, 5, 6}, grey[] = {9, 200};
    const uint8_t bmp_rgb[] = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120};
    Bytes bmp;
    ASSERT_TRUE(stbi_write_bmp_to_func(append_to, &bmp, 2, 2, 3, bmp_rgb));
    // 3 x 3 grey, Adam7: passes 1, 4, 5, 6 and 7 hold pixels.
    Bytes interlaced = png_by_hand(3, 3, 8, 0, {0, 10, 0, 20, 0, 30, 40, 0, 50, 0, 60, 0, 70, 80, 90}, 1);
    struct Case {
        const char *name;
        Bytes bytes;
        int x, y;
        uint32_t want, mask = ~0u;
    } cases[] = {
        {"rgb png gets opaque alpha", png_of(rgb, 2, 1, 3), 1, 0, rgba(4, 5, 6, 255)},
        {"grey png", png_of(grey, 1, 2, 1), 0, 1, rgba(200, 200, 200, 255)},
        // 16-bit samples keep their high byte.
        {"16-bit png", png_by_hand(1, 1, 16, 6, {0, 0xAB, 0xCD, 0x12, 0x34, 0xFE, 0x01, 0x80, 0x7F}),
         0, 0, rgba(0xAB, 0x12, 0xFE, 0x80)},
        {"bmp top left", bmp, 0, 0, rgba(10, 20, 30, 255)},
        {"bmp bottom right", bmp, 1, 1, rgba(100, 110, 120, 255)},
        {"interlaced centre", interlaced, 1, 1, rgba(80, 80, 80, 255)},
        {"interlaced top middle", interlaced, 1, 0, rgba(50, 50, 50, 255)},
        {"interlaced bottom right", interlaced, 2, 2, rgba(40, 40, 40, 255)},
        // The first GIF frame, with its transparent index.
        {"gif red", two_frame_gif(), 0, 0, rgba(255, 0, 0, 255)},
        {"gif blue", two_frame_gif(), 1, 0, rgba(0, 0, 255, 255)},
        {"gif green", two_frame_gif(), 0, 1, rgba(0, 255, 0, 255)},
        {"gif transparent", two_frame_gif(), 1, 1, 0, 0xFF000000u},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SurfacePtr s = decode(c.bytes);
        ASSERT_GT(s->width, c.x);
        ASSERT_GT(s->height, c.y);
        EXPECT_EQ(pixel(s.get(), c.x, c.y) & c.mask, c.want) << std::hex << pixel(s.get(), c.x, c.y);
    }
}

TEST(image_decode, jpeg) {
    // Two flat 8 x 8 blocks side by side; JPEG is lossy, so allow a small error.
    Bytes jpg = jpg_of(16, 8, [](int x, int, uint8_t *p) {
        p[0] = x < 8 ? 200 : 20, p[1] = x < 8 ? 40 : 220, p[2] = 100;
    });
    SurfacePtr s = decode(jpg);
    ASSERT_EQ(s->width, 16);
    ASSERT_EQ(s->height, 8);
    auto near = [](uint32_t got, uint32_t want) {
        for (int c = 0; c < 4; ++c)
            if (std::abs(int((got >> (8 * c)) & 255) - int((want >> (8 * c)) & 255)) > 6) return false;
        return true;
    };
    EXPECT_TRUE(near(pixel(s.get(), 2, 3), rgba(200, 40, 100, 255))) << std::hex << pixel(s.get(), 2, 3);
    EXPECT_TRUE(near(pixel(s.get(), 13, 5), rgba(20, 220, 100, 255))) << std::hex << pixel(s.get(), 13, 5);
    EXPECT_EQ(pixel(s.get(), 13, 5) >> 24, 255u);
}

namespace {

Bytes read_bytes(const char *path) {
    Bytes bytes;
    FILE *f = std::fopen(path, "rb");
    EXPECT_NE(f, nullptr) << path;
    if (!f) return bytes;
    uint8_t buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
        bytes.insert(bytes.end(), buffer, buffer + n);
    std::fclose(f);
    return bytes;
}

// A progressive grey JPEG of w x h with one DC scan and `ac_scans` AC scans whose data is a
// single end-of-band run each: a few hundred bytes that make the decoder walk every block of
// the picture once per scan.
Bytes jpeg_many_scans(int w, int h, int ac_scans) {
    Bytes out = {0xFF, 0xD8};
    auto segment = [&](uint8_t marker, const Bytes &payload) {
        size_t length = payload.size() + 2;
        out.insert(out.end(), {0xFF, marker, uint8_t(length >> 8), uint8_t(length)});
        out.insert(out.end(), payload.begin(), payload.end());
    };
    Bytes quant = {0};
    quant.insert(quant.end(), 64, 1);
    segment(0xDB, quant);
    segment(0xC2, {8, uint8_t(h >> 8), uint8_t(h), uint8_t(w >> 8), uint8_t(w), 1, 1, 0x11, 0});
    // DC: one code of length 1 for category 0. AC: one code of length 1 for an EOB run of 2^14.
    Bytes dc = {0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00};
    Bytes ac = {0x10, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xE0};
    segment(0xC4, dc);
    segment(0xC4, ac);
    segment(0xDA, {1, 1, 0x00, 0, 0, 0});
    out.insert(out.end(), {0x00, 0x00});
    for (int i = 0; i < ac_scans; ++i) {
        segment(0xDA, {1, 1, 0x00, 1, 63, 0});
        out.insert(out.end(), {0x00, 0x00});
    }
    out.insert(out.end(), {0xFF, 0xD9});
    return out;
}

} // namespace

// Images a hostile or broken service may send: each is refused before the decoder spends time or
// memory on it (the decode of what is accepted stays one short step of the plug-in's loop), and
// the pictures the service really sends are decoded.
TEST(image_decode_malformed, hostile_images) {
    // A 16 x 8 JPEG whose frame header says 8192 x 8192.
    Bytes tiny = jpg_of(16, 8, [](int, int, uint8_t *p) { p[0] = p[1] = p[2] = 100; }, 90);
    size_t at = 2;
    while (at + 9 < tiny.size() && !(tiny[at] == 0xFF && tiny[at + 1] == 0xC0)) ++at;
    ASSERT_LT(at + 9, tiny.size());
    tiny[at + 5] = 0x20, tiny[at + 6] = 0, tiny[at + 7] = 0x20, tiny[at + 8] = 0;
    std::vector<uint8_t> flat(size_t(1500) * 1400 * 4, 0x44);
    Bytes two_megapixels = png_of(flat.data(), 1500, 1400);
    std::vector<uint8_t> wide(size_t(IMAGE_MAX_DIMENSION) * 4, 0x7F);
    Bytes hd = jpg_of(1280, 720, [](int x, int y, uint8_t *p) {
        p[0] = uint8_t(x), p[1] = uint8_t(y), p[2] = uint8_t(x ^ y);
    }, 85);
    enum From { MEMORY, FILE_, BOTH };
    struct Case {
        const char *name;
        Bytes bytes;
        From from;
        std::string reason; // empty: decoded, `width` wide
        int width = 0;
    } cases[] = {
        {"huffman table of 4080 codes before the frame header",
         read_bytes(SOLVANE_SOURCE_DIR "/fuzz/seeds/gfx_image/jpeg_dht_4080_codes_before_frame.jpg"),
         BOTH, "JPEG Huffman table with more than 256 codes"},
        {"8192 x 8192 png bomb of 260 kB",
         read_bytes(SOLVANE_SOURCE_DIR "/tests/gfx/data/png_bomb_8192.png"), MEMORY,
         "image size 8192 x 8192 above 2000000 pixels"},
        {"8192 x 8192 jpeg of a few hundred bytes", tiny, MEMORY,
         "image size 8192 x 8192 above 2000000 pixels"},
        {"the mascot's bound is the data, not the pixels", tiny, FILE_,
         "image size 8192 x 8192 too large for its " + std::to_string(tiny.size()) +
             " bytes of data"},
        {"2.1 megapixels", two_megapixels, MEMORY, "image size 1500 x 1400 above 2000000 pixels"},
        {"2.1 megapixels as the mascot", two_megapixels, FILE_, "", 1500},
        {"largest dimension", png_of(wide.data(), IMAGE_MAX_DIMENSION, 1), BOTH, "",
         IMAGE_MAX_DIMENSION},
        {"1280 x 720 progressive, 120 scans", jpeg_many_scans(1280, 720, 120), MEMORY,
         "JPEG 1280 x 720 would take about"},
        {"1280 x 720, the largest the service sends", hd, MEMORY, "", 1280},
        {"16 MB and a byte", [] {
             Bytes b(IMAGE_MAX_DOWNLOAD_BYTES + 1, 0);
             b[0] = 0xFF, b[1] = 0xD8, b[2] = 0xFF;
             return b;
         }(),
         MEMORY, "image data of 16777217 bytes above 16777216"},
    };
    for (const Case &c : cases) {
        for (From from : {MEMORY, FILE_}) {
            if (c.from != BOTH && c.from != from) continue;
            SCOPED_TRACE(std::string(c.name) + (from == MEMORY ? " from memory" : " from a file"));
            SurfacePtr s;
            std::string path = temp_path("solvane_hostile_image");
            if (from == FILE_) write_bytes(path, c.bytes);
            std::string log = decode_capturing(c.bytes, &s, from == FILE_ ? path.c_str() : nullptr);
            std::remove(path.c_str());
            if (c.reason.empty()) {
                EXPECT_EQ(s->width, c.width) << log;
                EXPECT_EQ(log, "");
            } else {
                expect_placeholder(s.get());
                EXPECT_NE(log.find(std::string(from == MEMORY ? "from memory" : "from file") +
                                   " failed: " + c.reason),
                          std::string::npos)
                    << log;
            }
        }
    }
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
        {"gif 60000 x 60000", [&] {
             Bytes g = gif;
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
    auto bytes = [](const std::string &s) { return Bytes(s.begin(), s.end()); };
    const Bytes cases[] = {
        tga,
        bytes("P6\n2 1\n255\n\x01\x02\x03\x04\x05\x06"),
        bytes("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 1\n\x80\x80\x80\x81"),
        bytes(std::string("8BPS\x00\x01", 6)),
        Bytes{0x89, 'P', 'N', 'G'}, // a PNG signature cut short
    };
    for (const Bytes &c : cases) {
        SCOPED_TRACE(&c - cases);
        expect_refused(c, "not a PNG, JPEG, BMP or GIF image");
    }
}

TEST(image_decode_malformed, png_that_makes_the_decoder_reserve_gigabytes) {
    // Found by fuzzing: a 229-byte PNG whose IDAT chunk declares 2 GB, which the decoder
    // reserved before finding the data missing.
    FILE *f = std::fopen(SOLVANE_SOURCE_DIR "/tests/gfx/data/png_idat_declares_2gb.png", "rb");
    ASSERT_NE(f, nullptr);
    Bytes bytes(4096);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
    std::fclose(f);
    expect_refused(bytes, "PNG chunk longer than the data");
    // A whole PNG cut inside its image data chunk.
    Bytes png = png_of(PICTURE, 3, 2);
    expect_refused(Bytes(png.begin(), png.end() - 16), "PNG chunk longer than the data");
}

TEST(image_decode_malformed, png_deflate_bomb) {
    // 16 x 16 RGBA needs 16 * 65 bytes of scanlines; this image data inflates to 4 MB.
    std::vector<uint8_t> zeros(4 << 20, 0);
    int length = 0;
    unsigned char *compressed = stbi_zlib_compress(zeros.data(), int(zeros.size()), &length, 8);
    ASSERT_NE(compressed, nullptr);
    Bytes png = png_raw(16, 16, 8, 6, Bytes(compressed, compressed + length));
    std::free(compressed);
    SurfacePtr s;
    std::string log = decode_capturing(png, &s);
    expect_placeholder(s.get());
    EXPECT_NE(log.find("PNG image data inflates past the declared image size"), std::string::npos)
        << log;
}

TEST(image_load_file_malformed, missing_and_cut_files) {
    SurfacePtr s;
    std::string log = decode_capturing({}, &s, temp_path("solvane_no_such_image.png").c_str());
    expect_placeholder(s.get());
    EXPECT_NE(log.find("WARNING: loading image from file failed: can't fopen"), std::string::npos) << log;

    std::string path = temp_path("solvane_cut_image.png");
    Bytes png = png_of(PICTURE, 3, 2);
    write_bytes(path, Bytes(png.begin(), png.end() - 25));
    log = decode_capturing({}, &s, path.c_str());
    expect_placeholder(s.get());
    EXPECT_NE(log.find("loading image from file failed"), std::string::npos) << log;
    std::remove(path.c_str());
}

TEST(asset_inflate, stored_and_compressed_streams) {
    Bytes text(40000); // past the initial buffer
    for (size_t i = 0; i < text.size(); ++i) text[i] = uint8_t('a' + i % 26);
    Bytes z = zlib_stored(text);
    std::string out = asset_inflate(z.data(), z.size());
    ASSERT_EQ(out.size(), text.size());
    EXPECT_EQ(std::memcmp(out.data(), text.data(), text.size()), 0);
    EXPECT_EQ(out.c_str()[out.size()], '\0');

    int length = 0;
    unsigned char *compressed = stbi_zlib_compress(text.data(), int(text.size()), &length, 8);
    ASSERT_LT(length, 2000);
    EXPECT_EQ(asset_inflate(compressed, size_t(length)), out);
    std::free(compressed);
}

TEST(asset_inflate_death, broken_stream_is_fatal) {
    const uint8_t junk[] = {0x78, 0x9C, 0xFF, 0xFF, 0xFF, 0x00};
    EXPECT_EXIT(asset_inflate(junk, sizeof junk), testing::ExitedWithCode(1),
                "FATAL ERROR: deflate failed");
}

TEST(image_stored_size, follows_scale_and_thumb_size) {
    struct Case {
        ImageKind kind;
        double scale;
        int thumb, w, h;
    } cases[] = {{IMAGE_THUMB, 1.5, 90, 240, 135},       {IMAGE_SQUARE_THUMB, 1.5, 90, 135, 135},
                 {IMAGE_AVATAR, 1.5, 90, 72, 72},         {IMAGE_THUMB, 1.0, 72, 128, 72},
                 {IMAGE_THUMB, 1.25, 75, 166, 94}, // trunc(133 * 1.25), round(93.75)
                 {IMAGE_FRAME, 2.0, 90, 0, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.kind << " " << c.scale << " " << c.thumb);
        ImageSize size = image_stored_size(c.kind, c.scale, c.thumb);
        EXPECT_EQ(size.width, c.w);
        EXPECT_EQ(size.height, c.h);
    }
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
    thumbnail_cache_clear(cache);
    EXPECT_TRUE(cache.empty());
    EXPECT_EQ(thumbnail_cache_find(cache, "https://i/vi/b/mqdefault.jpg"), nullptr);
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
    } cases[] = {{20, 1.0, 20}, {20, 1.1, 20}, {20, 2.0, 40}, {16, 2.0, 32}, {20, 1.5, 30}, {16, 1.15, 18}};
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
