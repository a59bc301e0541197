#include "plugin/keys.h"

#include <gtest/gtest.h>

// One key-binding message as the host sends it, and what the toolkit is handed: the kind, the
// key code (or button, or typed code point), the toolkit modifiers (CTRL 1, ALT 2, SHIFT 4,
// SUPER 8) and whether the key acts (pressed or repeating).
TEST(keys, binding_messages_decode) {
    using K = KeyInputKind;
    struct Case {
        const char *binding, *state, *name, *text;
        K kind;
        int code, modifiers;
        bool pressed;
    } cases[] = {
        {"solfb-keys", "p-", "Ctrl+a", "", K::KEY, 65, 1, true},
        {"solfb-keys", "p-", "A", "", K::KEY, 65, 4, true}, // Shift from the name alone
        {"solfb-keys", "p-", "Alt+\\", "", K::KEY, 92, 2, true},
        {"solfb-keys", "d-", "Ctrl+Alt+Shift+Meta+ENTER", "", K::KEY, 257, 15, true},
        {"solfb-keys", "p-", "KP_DEC", "", K::KEY, 330, 0, true},
        {"solfb-keys", "u-", "ESC", "", K::KEY, 256, 0, false}, // a key-up routes nowhere
        {"solfb-keys", "r-", "DOWN", "", K::KEY, 264, 0, true}, // repeats act
        {"solfb-keys", "pm", "MBTN_LEFT", "", K::BUTTON, 1, 0, true},
        {"solfb-keys", "um", "WHEEL_DOWN", "", K::BUTTON, 5, 0, false},
        {"solfb-keys", "p-", "SHARP", "#", K::NONE, -1, 0, false},
        {"solfb-keys", "p-", "", "", K::NONE, -1, 0, false},
        {"other", "p-", "ENTER", "", K::NONE, -1, 0, false},
        {"solfb-textinput", "p-", "x", "a", K::TEXT, 'a', 0, true},
        {"solfb-textinput", "u-", "x", "a", K::NONE, -1, 0, false}, // typed once only
        {"solfb-textinput", "p-", "x", "\xC3\xA9", K::TEXT, 0xE9, 0, true},
        {"solfb-textinput", "p-", "x", "\xE6\x97\xA5", K::TEXT, 0x65E5, 0, true},
        {"solfb-textinput", "p-", "x", "\xF0\x9F\x98\x80", K::TEXT, 0x1F600, 0, true},
        // cut mid-sequence, overlong, a surrogate, a lone continuation byte
        {"solfb-textinput", "p-", "x", "\xC3", K::NONE, -1, 0, false},
        {"solfb-textinput", "p-", "x", "\xC0\xAF", K::NONE, -1, 0, false},
        {"solfb-textinput", "p-", "x", "\xED\xA0\x80", K::NONE, -1, 0, false},
        {"solfb-textinput", "p-", "x", "\x80", K::NONE, -1, 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.binding << " " << c.state << " " << c.name << c.text);
        KeyInput k = key_binding_decode(c.binding, c.state, c.name, c.text);
        EXPECT_EQ(k.kind, c.kind);
        if (c.kind == K::NONE) continue;
        EXPECT_EQ(k.code, c.code);
        if (c.kind == K::TEXT) continue;
        EXPECT_EQ(toolkit_modifiers(k.modifiers), c.modifiers);
        EXPECT_EQ((k.modifiers & HOST_PRESSED) != 0, c.pressed);
    }
}
