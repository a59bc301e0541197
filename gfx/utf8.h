// The one UTF-8 decoder of the interface: text drawing, measuring and the input field's
// character stepping all read code points through it, so they agree on where a text ends.
#pragma once

#include <cstdint>

// Decodes the code point starting at `text` (a NUL-terminated text) into `*code_point` and
// returns its length in bytes (1 to 4). Returns 0, leaving `*code_point` unchanged, where the
// text ends: at the terminating NUL, at a continuation byte or a byte with five or more leading
// one bits in lead position, at a missing continuation byte, and at a result above 0x10FFFF.
// Overlong forms and surrogates are accepted. Never reads past the terminating NUL.
inline int32_t utf8_decode(const char *text, uint32_t *code_point) {
    auto byte = [text](int32_t i) { return uint32_t(uint8_t(text[i])); };
    uint32_t lead = byte(0);
    if (lead == 0) return 0;
    if (lead < 0x80) {
        *code_point = lead;
        return 1;
    }
    int32_t length;
    uint32_t value;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0; // continuation byte, or five or more leading ones
    }
    for (int32_t i = 1; i < length; ++i) {
        uint32_t next = byte(i); // a NUL fails the test below, so the scan stops there
        if ((next & 0xC0) != 0x80) return 0;
        value = (value << 6) | (next & 0x3F);
    }
    if (value > 0x10FFFF) return 0;
    *code_point = value;
    return length;
}
