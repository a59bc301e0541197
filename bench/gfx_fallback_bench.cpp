// Fallback fonts in text_draw, with the built-in font at the default size (14 points at 72 dpi):
//
//   mixed line      a line of Latin, accented, Cyrillic, Greek, kana, Han and emoji characters
//                   drawn with fallback fonts (warm: every glyph looked up and cached), against
//   pixel font      the same line drawn by the built-in font alone (boxes where it has no glyph);
//   cold CJK line   the first draw of a line of 50 Han characters never drawn before (font
//                   look-up of each code point and rasterising), against
//   warm CJK line   the same line drawn again.
//
// The four are measured in interleaved rounds (one call each per round, a new block of Han
// characters for every cold round), so a slower or faster stretch of the machine touches them
// alike. Prints min and median per case and the ratios of the medians. Before the rounds, the
// very first look-up (fontconfig's set-up and the first font file mapped) is timed once. With a
// number of rounds as its argument (bench/run.sh passes one), it also prints both comparisons as
// BENCH-ROW lines (bench/benchlib.py) with every round's sample.
#include "gfx/surface.h"
#include "gfx/text.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr double SIZE = 14;
constexpr double WIDTH = 2000;
constexpr int CJK_LINE = 50;

const char *const MIXED = "Día de los Muertos — O’Brien “quoted” うみねこのなく頃に Когда мы были "
                          "молодыми Ελληνικά 한국어 中文 😀 ★ Größe café";

void append_utf8(std::string &out, uint32_t cp) {
    if (cp < 0x800) {
        out += char(0xC0 | cp >> 6);
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | cp >> 12);
        out += char(0x80 | (cp >> 6 & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// 50 Han characters of block `round`, none of them in MIXED's range of use.
std::string cjk_line(int round) {
    std::string out;
    for (int i = 0; i < CJK_LINE; ++i) append_utf8(out, 0x5000 + uint32_t(round * CJK_LINE + i));
    return out;
}

double draw_us(Surface *surface, Font *font, const std::string &text) {
    Paint paint;
    paint.color = 0xFF202020u;
    paint.x = 5;
    paint.y = 5;
    auto start = std::chrono::steady_clock::now();
    text_draw(surface, &paint, font, text.c_str(), TEXT_RETURN_WIDTH, SIZE, WIDTH);
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
        .count();
}

void print_samples(const std::vector<double> &samples) {
    for (size_t i = 0; i < samples.size(); ++i) std::printf("%s%.3f", i ? ", " : "", samples[i]);
}

struct Series;
void print_row(const char *measure, const Series &plugin, const Series &reference);

struct Series {
    const char *name;
    std::vector<double> samples;
    double min() const { return *std::min_element(samples.begin(), samples.end()); }
    double median() const {
        std::vector<double> s = samples;
        std::sort(s.begin(), s.end());
        return s[s.size() / 2];
    }
};

void print_row(const char *measure, const Series &plugin, const Series &reference) {
    std::printf("BENCH-ROW {\"measure\": \"%s\", \"unit\": \"us\", \"kind\": \"ratio\", "
                "\"plugin\": {\"label\": \"%s\", \"samples\": [",
                measure, plugin.name);
    print_samples(plugin.samples);
    std::printf("]}, \"reference\": {\"label\": \"%s\", \"samples\": [", reference.name);
    print_samples(reference.samples);
    std::printf("]}}\n");
}

} // namespace

int main(int argc, char **argv) {
    const int ROUNDS = argc > 1 ? std::max(std::atoi(argv[1]), 1) : 60;
    SurfacePtr surface(surface_new(2100, 40));
    std::unique_ptr<Font> plain = font_load_builtin();
    std::unique_ptr<Font> fallback = font_load_builtin();
    font_fallback_enable(fallback.get(), {}, ".");

    double first = draw_us(surface.get(), fallback.get(), "\xE4\xB8\x80"); // U+4E00
    draw_us(surface.get(), fallback.get(), MIXED);                        // warm the cache
    draw_us(surface.get(), plain.get(), MIXED);

    Series mixed{"mixed line, fallback fonts", {}}, pixel{"same line, pixel font alone", {}};
    Series cold{"cold CJK line (50 new)", {}}, warm{"warm CJK line", {}};
    for (int round = 0; round < ROUNDS; ++round) {
        std::string line = cjk_line(round);
        cold.samples.push_back(draw_us(surface.get(), fallback.get(), line));
        warm.samples.push_back(draw_us(surface.get(), fallback.get(), line));
        mixed.samples.push_back(draw_us(surface.get(), fallback.get(), MIXED));
        pixel.samples.push_back(draw_us(surface.get(), plain.get(), MIXED));
    }

    std::printf("first look-up ever (fontconfig set-up, font mapped, one glyph): %.0f us\n", first);
    std::printf("%-30s %10s %10s   (%d interleaved rounds, microseconds a line)\n", "case", "min",
                "median", ROUNDS);
    for (const Series *s : {&mixed, &pixel, &cold, &warm})
        std::printf("%-30s %10.1f %10.1f\n", s->name, s->min(), s->median());
    std::printf("ratio mixed / pixel font alone: %.2f (median), %.2f (min)\n",
                mixed.median() / pixel.median(), mixed.min() / pixel.min());
    std::printf("ratio cold / warm CJK line:     %.1f (median), %.1f (min)\n",
                cold.median() / warm.median(), cold.min() / warm.min());
    if (argc > 1) {
        print_row("text_draw, mixed line with fallback fonts", mixed, pixel);
        print_row("first draw of 50 new CJK characters", cold, warm);
    }
    return 0;
}
