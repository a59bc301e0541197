// text_measure and text_draw over arbitrary bytes with the built-in font: the first four input
// bytes choose the flags, the size, the width and the pen; the rest is the text. Besides memory
// safety (the sanitizers), the layout must agree with itself: the index reached lies inside the
// text on a code point boundary, the fitting width of one line equals the measured width, and
// drawing gives the same answers as measuring; a text cut by text_fit takes no more lines than
// it was given and decodes whole.
#include "gfx/surface.h"
#include "gfx/text.h"
#include "gfx/utf8.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

Font *font() {
    static std::unique_ptr<Font> builtin = font_load_builtin();
    return builtin.get();
}

void check(bool ok) {
    if (!ok) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) return 0;
    const uint32_t flags = data[0] & 0x7F;
    const double text_size = 1 + data[1] % 40; // points; kept small so glyphs stay small
    const double width = data[2] % 200;
    const double pen = (int8_t(data[3])) / 4.0; // negative pens reach the clipping paths
    // NUL-terminated copy in an exactly sized buffer, so a read past the NUL is caught.
    std::vector<char> text(data + 4, data + size);
    text.push_back('\0');
    const char *t = text.data();
    const size_t length = std::strlen(t);

    Paint paint;
    paint.color = 0xC0FFFFFFu;
    paint.x = pen;
    paint.y = pen;

    // Measuring.
    int32_t measured = text_measure(paint, font(), t, int32_t(length), text_size);
    check(measured >= 0);
    int32_t word = text_measure(paint, font(), t, TEXT_MEASURE_ASCII_WORD, text_size);
    check(word >= 0 && word <= measured); // one word is a prefix of the line

    // The run up to the first newline or bad byte, as text_draw sees one line without a limit.
    Paint line = paint;
    int32_t fit =
        text_draw(nullptr, &line, font(), t, TEXT_NO_DRAW | TEXT_RETURN_WIDTH, text_size, 1e6);
    check(fit == measured);

    // The index reached is within the text and on a code point boundary.
    Paint probe = paint;
    int32_t index =
        text_draw(nullptr, &probe, font(), t, TEXT_NO_DRAW | TEXT_RETURN_INDEX, text_size, width);
    check(index >= 0 && size_t(index) <= length);
    size_t pos = 0;
    uint32_t cp;
    while (pos < size_t(index)) {
        int32_t n = utf8_decode(t + pos, &cp);
        check(n > 0);
        pos += size_t(n);
    }
    check(pos == size_t(index));

    // Drawing with the chosen flags gives the measuring answer and stays inside the surface.
    SurfacePtr surface(surface_new(40, 30));
    Paint drawn = paint, counted = paint;
    int32_t a = text_draw(surface.get(), &drawn, font(), t, flags & ~uint32_t(TEXT_NO_DRAW),
                          text_size, width);
    int32_t b = text_draw(nullptr, &counted, font(), t, flags | TEXT_NO_DRAW, text_size, width);
    check(a == b);
    check(drawn.x == counted.x && drawn.y == counted.y);
    if (!(flags & (TEXT_RETURN_INDEX | TEXT_RETURN_WIDTH))) check(a >= 1);

    // Cut to one to four lines: the result is whole UTF-8 and wraps into that many lines.
    const int32_t lines = 1 + (data[3] & 3);
    std::string fitted = text_fit(paint, font(), t, text_size, width, lines);
    for (size_t at = 0; at < fitted.size(); at += size_t(utf8_decode(fitted.c_str() + at, &cp)))
        check(utf8_decode(fitted.c_str() + at, &cp) > 0);
    if (!fitted.empty()) {
        Paint wrapped = paint;
        check(text_draw(nullptr, &wrapped, font(), fitted.c_str(), TEXT_NO_DRAW | TEXT_WRAP,
                        text_size, width) <= lines);
    }
    return 0;
}
