#include "plugin/keys.h"

#include "base/runtime.h"
#include "toolkit/input.h"

#include <array>
#include <string>

namespace {

// The host key-name table: 135 rows searched from the first.
const std::array<HostKey, 135> &key_table() {
    static const std::array<HostKey, 135> table = [] {
        std::array<HostKey, 135> t{};
        size_t n = 0;
        static std::string names[135];
        auto add = [&](std::string name, int code, int implied = 0) {
            names[n] = std::move(name);
            t[n] = {names[n].c_str(), static_cast<int16_t>(code), implied};
            ++n;
        };
        for (char c = '0'; c <= '9'; ++c) add(std::string(1, c), c);
        for (char c = 'A'; c <= 'Z'; ++c) add(std::string(1, c), c, HOST_SHIFT);
        for (char c = 'a'; c <= 'z'; ++c) add(std::string(1, c), c - 'a' + 'A');
        for (char c : {'\'', '\\', ',', '=', '`', '[', '-', '.', ']', ';', '/'}) add(std::string(1, c), c);
        const std::pair<const char *, int> named[] = {
            {"BS", 259},      {"DEL", 261},  {"END", 269},     {"ENTER", 257}, {"ESC", 256},
            {"HOME", 268},    {"INS", 260},  {"MENU", 348},    {"PGDWN", 267}, {"PGUP", 266},
            {"PAUSE", 284},   {"SPACE", 32}, {"TAB", 258},
        };
        for (auto &[name, code] : named) add(name, code);
        for (int i = 1; i <= 24; ++i) add(*str_printf("F%d", i), 289 + i);
        const std::pair<const char *, int> more[] = {
            {"PRINT", 283},  {"DOWN", 264},        {"LEFT", 263},        {"RIGHT", 262},
            {"UP", 265},
        };
        for (auto &[name, code] : more) add(name, code);
        for (int i = 0; i <= 9; ++i) add(*str_printf("KP%d", i), 320 + i);
        const std::pair<const char *, int> pad[] = {
            {"KP_ADD", 334},   {"KP_DEC", 330},   {"KP_DIVIDE", 331}, {"KP_MULTIPLY", 332},
            {"KP_SUBTRACT", 333}, {"MBTN_LEFT", 1}, {"MBTN_RIGHT", 2}, {"MBTN_MID", 3},
            {"WHEEL_UP", 4},   {"WHEEL_DOWN", 5},
        };
        for (auto &[name, code] : pad) add(name, code);
        return t;
    }();
    return table;
}

// The code point of the first UTF-8 sequence of `text`, or -1 when it is not a whole, valid
// sequence.
int32_t first_code_point(std::string_view text) {
    if (text.empty()) return -1;
    auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    uint8_t b0 = byte(0);
    if (b0 < 0x80) return b0;
    size_t len = b0 >= 0xF0 && b0 < 0xF8 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC2 && b0 < 0xE0 ? 2 : 0;
    if (len == 0 || text.size() < len) return -1;
    int32_t cp = b0 & (0x7F >> len);
    for (size_t i = 1; i < len; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return -1;
        cp = cp << 6 | (byte(i) & 0x3F);
    }
    static constexpr int32_t min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min_for_len[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return -1;
    return cp;
}

} // namespace

const HostKey *host_key_find(std::string_view name) {
    for (const HostKey &k : key_table())
        if (name == k.name) return &k;
    return nullptr;
}

int32_t toolkit_modifiers(int32_t host) {
    int32_t m = 0;
    if (host & HOST_CTRL) m |= MOD_CTRL;
    if (host & HOST_ALT) m |= MOD_ALT;
    if (host & HOST_SHIFT) m |= MOD_SHIFT;
    if (host & HOST_META) m |= MOD_SUPER;
    return m;
}

KeyInput key_binding_decode(std::string_view binding, std::string_view state,
                            std::string_view key_name, std::string_view key_text) {
    bool pressed = state.find('u') == std::string_view::npos;
    KeyInput out;
    if (binding == "solfb-textinput") {
        // Any character the keyboard types, not only ASCII: a search may be in any language.
        int32_t cp = first_code_point(key_text);
        if (pressed && cp >= 1) {
            out.kind = KeyInputKind::TEXT;
            out.code = cp;
        }
        return out;
    }
    if (binding != "solfb-keys") return out;
    size_t plus = key_name.rfind('+');
    std::string_view base = plus == std::string_view::npos ? key_name : key_name.substr(plus + 1);
    const HostKey *key = host_key_find(base);
    int32_t code = key ? key->code : -1;
    int32_t mods = key ? key->implied : 0;
    if (key_name.find("Shift+") != std::string_view::npos) mods |= HOST_SHIFT;
    if (key_name.find("Ctrl+") != std::string_view::npos) mods |= HOST_CTRL;
    if (key_name.find("Alt+") != std::string_view::npos) mods |= HOST_ALT;
    if (key_name.find("Meta+") != std::string_view::npos) mods |= HOST_META;
    out.modifiers = mods | (pressed ? HOST_PRESSED : 0);
    out.code = code;
    if (code >= 7) out.kind = KeyInputKind::KEY;
    else if (code >= 1 && code <= 5) out.kind = KeyInputKind::BUTTON;
    return out;
}
