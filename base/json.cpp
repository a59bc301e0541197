#include "base/json.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SOLVANE_HAS_ASAN 1
#endif
#endif
#ifndef SOLVANE_HAS_ASAN
#define SOLVANE_HAS_ASAN 0
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

const char *const JSON_NOT_FOUND = "null";

namespace {

inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

inline const char *skip_space(const char *p) {
    while (is_space(*p)) ++p;
    return p;
}

inline bool is_value_start(char c) {
    return c == '"' || c == '-' || c == '[' || c == '{' || c == 'f' || c == 'n' || c == 't' ||
           (c >= '0' && c <= '9');
}

inline bool is_literal_byte(char c) {
    switch (c) {
    case '+': case '-': case '.': case 'E': case 'e':
    case 'a': case 'f': case 'l': case 'n': case 'r': case 's': case 't': case 'u':
        return true;
    default:
        return c >= '0' && c <= '9';
    }
}

// The scanners look for a few stop bytes: inside a string the quote and the backslash, inside
// an object or array the quote and its two brackets. The terminating NUL stops every scan.
#if defined(__SSE2__) && !defined(__SANITIZE_ADDRESS__) && !SOLVANE_HAS_ASAN
// Sixteen bytes a step with aligned loads: an aligned block never crosses a page, so reading the
// rest of the block after the terminating NUL cannot fault (the bytes past it are ignored).
inline const char *scan_to(const char *p, char a, char b, char c) {
    const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b), vc = _mm_set1_epi8(c);
    const __m128i zero = _mm_setzero_si128();
    auto hits = [&](const char *at) {
        __m128i v = _mm_load_si128(reinterpret_cast<const __m128i *>(at));
        return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb)),
                            _mm_or_si128(_mm_cmpeq_epi8(v, vc), _mm_cmpeq_epi8(v, zero)));
    };
    uintptr_t offset = reinterpret_cast<uintptr_t>(p) & 15;
    const char *block = p - offset;
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits(block))) >> offset << offset;
    if (mask) return block + __builtin_ctz(mask);
    block += 16;
    // Long runs without a stop byte (a huge text) go 64 bytes a step: the four results are
    // joined and tested once. Loads stay inside the 64-byte aligned block of the first one.
    while (reinterpret_cast<uintptr_t>(block) & 63) {
        mask = static_cast<unsigned>(_mm_movemask_epi8(hits(block)));
        if (mask) return block + __builtin_ctz(mask);
        block += 16;
    }
    for (;; block += 64) {
        __m128i h0 = hits(block), h1 = hits(block + 16), h2 = hits(block + 32),
                h3 = hits(block + 48);
        if (!_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(h0, h1), _mm_or_si128(h2, h3))))
            continue;
        const __m128i parts[4] = {h0, h1, h2, h3};
        for (int i = 0; i < 4; ++i) {
            mask = static_cast<unsigned>(_mm_movemask_epi8(parts[i]));
            if (mask) return block + 16 * i + __builtin_ctz(mask);
        }
    }
}

// Advances to the next quote, bracket or brace. '[' and ']' differ from '{' and '}' only in
// bit 5, so setting that bit folds the four into two comparisons.
inline const char *scan_to_structure(const char *p) {
    const __m128i quote = _mm_set1_epi8('"'), open = _mm_set1_epi8('{'),
                  close = _mm_set1_epi8('}'), bit5 = _mm_set1_epi8(0x20);
    const __m128i zero = _mm_setzero_si128();
    auto stops = [&](const char *block) {
        __m128i v = _mm_load_si128(reinterpret_cast<const __m128i *>(block));
        __m128i folded = _mm_or_si128(v, bit5);
        __m128i m = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(folded, open),
                                              _mm_cmpeq_epi8(folded, close)),
                                 _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, zero)));
        return static_cast<unsigned>(_mm_movemask_epi8(m));
    };
    uintptr_t offset = reinterpret_cast<uintptr_t>(p) & 15;
    const char *block = p - offset;
    unsigned mask = stops(block) >> offset << offset;
    while (!mask) {
        block += 16;
        mask = stops(block);
    }
    return block + __builtin_ctz(mask);
}
#else
inline const char *scan_to(const char *p, char a, char b, char c) {
    for (;; ++p) {
        char x = *p;
        if (x == a || x == b || x == c || x == '\0') return p;
    }
}

inline const char *scan_to_structure(const char *p) {
    for (;; ++p) {
        char x = *p;
        if (x == '"' || x == '{' || x == '}' || x == '[' || x == ']' || x == '\0') return p;
    }
}
#endif

// `p` points just after an opening quote; returns the position after the closing quote.
const char *skip_string_body(const char *p) {
    for (;;) {
        p = scan_to(p, '"', '\\', '"');
        if (*p == '"') return p + 1;
        if (*p == '\0') return nullptr;
        // A backslash takes the next byte whatever it is, but never the terminating NUL.
        if (p[1] == '\0') return nullptr;
        p += 2;
    }
}

// Skips a bracketed value counting only `open` and `close`; strings are stepped over whole.
[[maybe_unused]] const char *skip_nested_bytes(const char *p, char open, char close) {
    long depth = 0;
    for (;;) {
        p = scan_to(p, '"', open, close);
        char c = *p;
        if (c == '\0') return nullptr;
        if (c == '"') {
            p = skip_string_body(p + 1);
            if (!p) return nullptr;
            continue;
        }
        depth += c == open ? 1 : -1;
        ++p;
        if (depth == 0) return p;
    }
}

#if defined(__SSE2__) && !defined(__SANITIZE_ADDRESS__) && !SOLVANE_HAS_ASAN
// Bit i set where byte i of the aligned 64-byte block equals `c`.
inline uint64_t block_mask(const __m128i v[4], char c) {
    const __m128i needle = _mm_set1_epi8(c);
    uint64_t m = 0;
    for (int i = 0; i < 4; ++i)
        m |= static_cast<uint64_t>(static_cast<uint32_t>(
                 _mm_movemask_epi8(_mm_cmpeq_epi8(v[i], needle))))
             << (16 * i);
    return m;
}

// Bit i set where an odd number of the bits 0..i of `x` are set: the inside of quoted runs.
inline uint64_t prefix_xor(uint64_t x) {
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    x ^= x << 32;
    return x;
}

// The same, 64 bytes a step: the quotes and brackets of a block become bit masks, the inside of
// strings is found by a running parity of the quotes, and only the brackets outside strings are
// counted, one set bit at a time. A block holding a backslash is read byte by byte, so escapes
// mean exactly what they mean in the byte scanner. Blocks are aligned, so no load crosses into a
// page after the terminating NUL.
const char *skip_nested(const char *p, char open, char close) {
    uintptr_t offset = reinterpret_cast<uintptr_t>(p) & 63;
    const char *block = p - offset;
    uint64_t valid = ~uint64_t(0) << offset; // bytes of the first block before `p` are not ours
    bool in_string = false;                  // the block starts inside a string
    bool escaped_next = false;               // its first byte is escaped by a backslash
    long depth = 0;
    uint64_t next_valid = ~uint64_t(0);
    for (;; block += 64, valid = next_valid, next_valid = ~uint64_t(0)) {
        __m128i v[4];
        for (int i = 0; i < 4; ++i)
            v[i] = _mm_load_si128(reinterpret_cast<const __m128i *>(block + 16 * i));
        uint64_t nul = block_mask(v, '\0') & valid;
        if (nul) valid &= (nul & -nul) - 1; // nothing from the terminating NUL on
        if (!valid) return nullptr;
        uint64_t backslash = block_mask(v, '\\') & valid;
        if (backslash || escaped_next) {
            // Backslashes count only inside strings: such a block is read byte by byte.
            for (int i = __builtin_ctzll(valid); i < 64 && ((valid >> i) & 1); ++i) {
                char c = block[i];
                if (escaped_next) {
                    escaped_next = false;
                } else if (in_string) {
                    if (c == '\\') escaped_next = true;
                    else if (c == '"') in_string = false;
                } else if (c == '"') {
                    in_string = true;
                } else if (c == open || c == close) {
                    depth += c == open ? 1 : -1;
                    if (depth == 0) return block + i + 1;
                }
            }
            if (nul) return nullptr;
            continue;
        }
        uint64_t quotes = block_mask(v, '"') & valid;
        uint64_t inside = prefix_xor(quotes) ^ (in_string ? ~uint64_t(0) : 0);
        in_string = inside >> 63;
        uint64_t opens = block_mask(v, open) & valid & ~inside;
        uint64_t closes = block_mask(v, close) & valid & ~inside;
        for (uint64_t brackets = opens | closes; brackets; brackets &= brackets - 1) {
            uint64_t bit = brackets & -brackets;
            depth += (opens & bit) ? 1 : -1;
            if (depth == 0) return block + __builtin_ctzll(bit) + 1;
        }
        if (nul) return nullptr;
        if (in_string) {
            // A long string (a huge text) is crossed by the string scanner, which only looks
            // for its end; the block holding that end is then read as usual.
            const char *stop = scan_to(block + 64, '"', '\\', '"');
            uintptr_t at = reinterpret_cast<uintptr_t>(stop) & 63;
            block = stop - at - 64; // the loop's step brings it to the block holding `stop`
            next_valid = ~uint64_t(0) << at;
        }
    }
}
#else
const char *skip_nested(const char *p, char open, char close) {
    return skip_nested_bytes(p, open, close);
}
#endif

void put_utf8(std::string &out, unsigned cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

JsonType json_type(const char *pos) {
    if (!pos) return JSON_INVALID;
    char c = *pos;
    if (c == '{') return JSON_OBJECT;
    if (c == '[') return JSON_ARRAY;
    if (c == '"') return JSON_STRING;
    if (c == '-' || c == 'f' || c == 'n' || c == 't' || (c >= '0' && c <= '9')) return JSON_PRIMITIVE;
    return JSON_INVALID;
}

const char *json_skip(const char *pos) {
    if (!pos) return nullptr;
    switch (json_type(pos)) {
    case JSON_STRING:
        return skip_string_body(pos + 1);
    case JSON_OBJECT:
        return skip_nested(pos, '{', '}');
    case JSON_ARRAY:
        return skip_nested(pos, '[', ']');
    case JSON_PRIMITIVE:
        while (is_literal_byte(*pos)) ++pos;
        return pos;
    case JSON_INVALID:
        return nullptr;
    }
    return nullptr;
}

const char *json_find(const char *pos, std::string_view name) {
    if (!pos) return nullptr;
    const char *p = skip_space(pos);
    if (*p != '{') return nullptr;
    p = skip_space(p + 1);
    for (;;) {
        if (*p != '"') return nullptr;
        const char *name_end = skip_string_body(p + 1);
        if (!name_end) return nullptr;
        size_t len = static_cast<size_t>(name_end - p - 2);
        bool match = len == name.size() && std::memcmp(p + 1, name.data(), len) == 0;
        p = skip_space(name_end);
        if (*p != ':') return nullptr;
        p = skip_space(p + 1);
        if (match) return json_type(p) == JSON_INVALID ? nullptr : p;
        p = json_skip(p);
        if (!p) return nullptr;
        p = skip_space(p);
        if (*p != ',') return nullptr;
        p = skip_space(p + 1);
    }
}

const char *json_first(const char *pos) {
    if (!pos) return nullptr;
    const char *p = skip_space(pos);
    if (*p != '[') return nullptr;
    p = skip_space(p + 1);
    return is_value_start(*p) ? p : nullptr;
}

const char *json_next(const char *pos) {
    const char *p = json_skip(pos);
    if (!p) return nullptr;
    p = skip_space(p);
    if (*p != ',') return nullptr;
    p = skip_space(p + 1);
    // After a trailing comma there is no further element, as for json_first on an empty array.
    return is_value_start(*p) ? p : nullptr;
}

const char *json_next_after(const char *end, const char **array_end) {
    if (!end) return nullptr;
    const char *p = skip_space(end);
    if (*p == ']' && array_end) *array_end = p + 1;
    if (*p != ',') return nullptr;
    p = skip_space(p + 1);
    return is_value_start(*p) ? p : nullptr;
}

const char *json_get(const char *pos, const char *path) {
    if (!pos || pos == JSON_NOT_FOUND) return JSON_NOT_FOUND;
    char buf[512];
    size_t n = std::strlen(path);
    if (n > sizeof buf - 1) n = sizeof buf - 1;
    std::memcpy(buf, path, n);
    buf[n] = '\0';

    char *seg = std::strchr(buf, '.');
    if (!seg) return pos;
    const char *cur = pos;
    while (seg) {
        ++seg; // past the full stop
        char *dot = std::strchr(seg, '.');
        if (dot) *dot = '\0';
        if (*seg >= '0' && *seg <= '9') {
            long index = std::strtol(seg, nullptr, 0);
            const char *p = json_first(cur);
            if (!p) return JSON_NOT_FOUND;
            for (long i = 0; i < index; ++i) {
                p = json_skip(p);
                if (!p) return JSON_NOT_FOUND;
                p = skip_space(p);
                if (*p != ',') return JSON_NOT_FOUND;
                p = skip_space(p + 1);
            }
            cur = p;
        } else {
            const char *p = json_find(cur, seg);
            if (!p) return JSON_NOT_FOUND;
            cur = p;
        }
        seg = dot;
    }
    return cur;
}

namespace {

// Reads the member whose name starts at `p` (its opening quote) into `member`.
bool member_read(const char *p, JsonMember &member) {
    if (*p != '"') return false;
    const char *name_end = skip_string_body(p + 1);
    if (!name_end) return false;
    member.name = std::string_view(p + 1, static_cast<size_t>(name_end - p - 2));
    p = skip_space(name_end);
    if (*p != ':') return false;
    member.value = skip_space(p + 1);
    return json_type(member.value) != JSON_INVALID;
}

} // namespace

bool json_member_first(const char *pos, JsonMember &member) {
    member.value_end = member.end = nullptr;
    if (!pos) return false;
    const char *p = skip_space(pos);
    if (*p != '{') return false;
    return member_read(skip_space(p + 1), member);
}

bool json_member_next(JsonMember &member) {
    const char *p = member.value_end ? member.value_end : json_skip(member.value);
    member.value_end = nullptr;
    if (!p) return false;
    p = skip_space(p);
    if (*p == '}') member.end = p + 1;
    if (*p != ',') return false;
    return member_read(skip_space(p + 1), member);
}

namespace {

// Shortens `text` to at most `max_bytes` bytes without leaving part of a UTF-8 character.
void cut_utf8(std::string &text, size_t max_bytes) {
    if (text.size() <= max_bytes) return;
    size_t cut = max_bytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
}

} // namespace

std::optional<std::string> json_strdup(const char *pos, size_t max_bytes) {
    if (json_type(pos) != JSON_STRING) return std::nullopt;
    const char *end = json_skip(pos);
    if (!end) return std::nullopt;
    size_t length = static_cast<size_t>(end - pos - 2);
    if (length <= max_bytes) return std::string(pos + 1, length);
    // One byte more than kept, so the cut can see whether it falls inside a character.
    std::string copy(pos + 1, max_bytes + 1);
    cut_utf8(copy, max_bytes);
    return copy;
}

std::string json_unescape(const char *bytes, long length, size_t max_bytes) {
    std::string out;
    if (length < 1) return out;
    out.reserve(length < 64 ? 64 : static_cast<size_t>(std::min<long>(length, 1 << 16)));
    const char *p = bytes;
    const char *end = bytes + length;
    // Every step adds at most three bytes: once past the limit, one more step shows whether the
    // cut falls inside a character.
    while (p < end && out.size() <= max_bytes) {
        char c = *p;
        if (c != '\\' || p + 1 >= end) {
            // Plain bytes up to the next escape are copied as one run, looked for only as far
            // as the result can still grow. The loop condition keeps out.size() <= max_bytes.
            size_t room = max_bytes - out.size();
            size_t span = static_cast<size_t>(end - p);
            if (room < span) span = room + 1;
            const void *next = std::memchr(p, '\\', span);
            const char *stop = next ? static_cast<const char *>(next) : p + span;
            if (stop == p) stop = p + 1; // a backslash that ends the content
            size_t run = static_cast<size_t>(stop - p);
            out.append(p, run);
            p += run;
            continue;
        }
        char e = p[1];
        switch (e) {
        case '\\': out += '\\'; p += 2; continue;
        case '"': out += '"'; p += 2; continue;
        case '/': out += '/'; p += 2; continue;
        case 'n': out += '\n'; p += 2; continue;
        case 'r': p += 2; continue;
        case 'u':
            if (end - p >= 6) {
                int h0 = hex_value(p[2]), h1 = hex_value(p[3]), h2 = hex_value(p[4]),
                    h3 = hex_value(p[5]);
                if (h0 >= 0 && h1 >= 0 && h2 >= 0 && h3 >= 0) {
                    put_utf8(out, static_cast<unsigned>(h0 << 12 | h1 << 8 | h2 << 4 | h3));
                    p += 6;
                    continue;
                }
            }
            break;
        default:
            break;
        }
        // Any other escape keeps its backslash; the next byte is then read as ordinary.
        out += '\\';
        ++p;
    }
    cut_utf8(out, max_bytes);
    return out;
}

std::string json_text(const char *pos, size_t max_bytes) {
    if (json_type(pos) != JSON_STRING) return std::string();
    const char *end = json_skip(pos);
    if (!end) return std::string();
    return json_unescape(pos + 1, static_cast<long>(end - pos - 2), max_bytes);
}

bool json_document_complete(const char *text) {
    if (!text) return false;
    const char *p = skip_space(text);
    if (*p != '{' && *p != '[') return false;
    // The open brackets, innermost last.
    char open[JSON_DEPTH_LIMIT];
    int depth = 0;
    for (;;) {
        char c = *p;
        if (c == '"') {
            p = skip_string_body(p + 1);
            if (!p) return false;
        } else if (c == '{' || c == '[') {
            if (depth == JSON_DEPTH_LIMIT) return false;
            open[depth++] = c;
            ++p;
        } else if (c == '}' || c == ']') {
            if (depth == 0 || open[depth - 1] != (c == '}' ? '{' : '[')) return false;
            ++p;
            if (--depth == 0) break;
        } else if (c == '\0') {
            return false;
        } else {
            p = scan_to_structure(p + 1);
        }
    }
    return *skip_space(p) == '\0';
}

bool json_present(const char *pos) {
    return pos && pos != JSON_NOT_FOUND && json_type(pos) != JSON_INVALID &&
           std::strncmp(pos, "null", 4) != 0;
}

long json_long(const char *pos, long fallback) {
    if (!pos || !(*pos == '-' || (*pos >= '0' && *pos <= '9'))) return fallback;
    return std::strtol(pos, nullptr, 0);
}

double json_double(const char *pos, double fallback) {
    if (!pos || !(*pos == '-' || (*pos >= '0' && *pos <= '9'))) return fallback;
    return std::strtod(pos, nullptr);
}

bool json_true(const char *pos) { return pos && *pos == 't'; }
