#include "base/json.h"

#include <array>
#include <cstdlib>
#include <cstring>

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

// Byte classes for the scanners: which bytes stop a scan inside a string, inside an object
// and inside an array. The terminating NUL stops every scan.
enum : uint8_t { STOP_STRING = 1, STOP_OBJECT = 2, STOP_ARRAY = 4 };

constexpr auto STOP_TABLE = [] {
    std::array<uint8_t, 256> t{};
    t[0] = STOP_STRING | STOP_OBJECT | STOP_ARRAY;
    t['"'] = STOP_STRING | STOP_OBJECT | STOP_ARRAY;
    t['\\'] = STOP_STRING;
    t['{'] = t['}'] = STOP_OBJECT;
    t['['] = t[']'] = STOP_ARRAY;
    return t;
}();

// Advances to the first byte of class `mask`; four bytes a round keeps the loop short.
inline const char *scan_to(const char *p, uint8_t mask) {
    for (;;) {
        if (STOP_TABLE[static_cast<uint8_t>(p[0])] & mask) return p;
        if (STOP_TABLE[static_cast<uint8_t>(p[1])] & mask) return p + 1;
        if (STOP_TABLE[static_cast<uint8_t>(p[2])] & mask) return p + 2;
        if (STOP_TABLE[static_cast<uint8_t>(p[3])] & mask) return p + 3;
        p += 4;
    }
}

// `p` points just after an opening quote; returns the position after the closing quote.
const char *skip_string_body(const char *p) {
    for (;;) {
        p = scan_to(p, STOP_STRING);
        if (*p == '"') return p + 1;
        if (*p == '\0') return nullptr;
        // A backslash takes the next byte whatever it is, but never the terminating NUL.
        if (p[1] == '\0') return nullptr;
        p += 2;
    }
}

// Skips a bracketed value counting only `open` and `close`; strings are stepped over whole.
const char *skip_nested(const char *p, char open, uint8_t mask) {
    int depth = 0;
    for (;;) {
        p = scan_to(p, mask);
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
        return skip_nested(pos, '{', STOP_OBJECT);
    case JSON_ARRAY:
        return skip_nested(pos, '[', STOP_ARRAY);
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

std::optional<std::string> json_strdup(const char *pos) {
    if (json_type(pos) != JSON_STRING) return std::nullopt;
    const char *end = json_skip(pos);
    if (!end) return std::nullopt;
    return std::string(pos + 1, static_cast<size_t>(end - pos - 2));
}

std::string json_unescape(const char *bytes, long length) {
    std::string out;
    if (length < 1) return out;
    out.reserve(64);
    const char *p = bytes;
    const char *end = bytes + length;
    while (p < end) {
        char c = *p;
        if (c != '\\' || p + 1 >= end) {
            out += c;
            ++p;
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
    return out;
}

std::string json_text(const char *pos) {
    if (json_type(pos) != JSON_STRING) return std::string();
    const char *end = json_skip(pos);
    if (!end) return std::string();
    return json_unescape(pos + 1, static_cast<long>(end - pos - 2));
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
