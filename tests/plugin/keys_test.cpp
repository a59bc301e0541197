#include "plugin/keys.h"

#include <gtest/gtest.h>

TEST(keys, table_lookups) {
    struct Case {
        const char *name;
        int code;
        int implied;
    } cases[] = {{"0", 48, 0},          {"9", 57, 0},      {"A", 65, HOST_SHIFT}, {"Z", 90, HOST_SHIFT},
                 {"a", 65, 0},          {"z", 90, 0},      {"\\", 92, 0},        {"BS", 259, 0},
                 {"ESC", 256, 0},       {"SPACE", 32, 0},  {"F1", 290, 0},        {"F24", 313, 0},
                 {"KP0", 320, 0},       {"KP9", 329, 0},   {"KP_DEC", 330, 0},    {"MBTN_LEFT", 1, 0},
                 {"WHEEL_DOWN", 5, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const HostKey *k = host_key_find(c.name);
        ASSERT_NE(k, nullptr);
        EXPECT_EQ(k->code, c.code);
        EXPECT_EQ(k->implied, c.implied);
    }
    EXPECT_EQ(host_key_find("SHARP"), nullptr);
    EXPECT_EQ(host_key_find("KP_ENTER"), nullptr);
    EXPECT_EQ(host_key_find(""), nullptr);
}

TEST(keys, decode_keys_and_modifiers) {
    KeyInput k = key_binding_decode("solfb-keys", "p-", "Ctrl+a", "");
    EXPECT_EQ(k.kind, KeyInputKind::KEY);
    EXPECT_EQ(k.code, 65);
    EXPECT_EQ(k.modifiers, HOST_CTRL | HOST_PRESSED);
    EXPECT_EQ(toolkit_modifiers(k.modifiers), 1); // CTRL only, the pressed bit dropped

    k = key_binding_decode("solfb-keys", "p-", "A", "");
    EXPECT_EQ(k.code, 65);
    EXPECT_EQ(toolkit_modifiers(k.modifiers), 4); // SHIFT from the name alone

    k = key_binding_decode("solfb-keys", "d-", "Ctrl+Alt+Shift+Meta+ENTER", "");
    EXPECT_EQ(k.code, 257);
    EXPECT_EQ(toolkit_modifiers(k.modifiers), 15);

    k = key_binding_decode("solfb-keys", "u-", "ENTER", "");
    EXPECT_EQ(k.kind, KeyInputKind::KEY);
    EXPECT_EQ(k.modifiers & HOST_PRESSED, 0); // a key-up: routed nowhere

    k = key_binding_decode("solfb-keys", "r-", "DOWN", "");
    EXPECT_EQ(k.modifiers & HOST_PRESSED, HOST_PRESSED); // repeats act
}

TEST(keys, decode_buttons_and_unknown_names) {
    KeyInput k = key_binding_decode("solfb-keys", "pm", "MBTN_LEFT", "");
    EXPECT_EQ(k.kind, KeyInputKind::BUTTON);
    EXPECT_EQ(k.code, 1);
    EXPECT_EQ(k.modifiers, HOST_PRESSED);
    k = key_binding_decode("solfb-keys", "um", "WHEEL_UP", "");
    EXPECT_EQ(k.kind, KeyInputKind::BUTTON);
    EXPECT_EQ(k.modifiers, 0);
    EXPECT_EQ(key_binding_decode("solfb-keys", "p-", "SHARP", "#").kind, KeyInputKind::NONE);
    EXPECT_EQ(key_binding_decode("solfb-keys", "p-", "", "").kind, KeyInputKind::NONE);
    EXPECT_EQ(key_binding_decode("other", "p-", "ENTER", "").kind, KeyInputKind::NONE);
}

TEST(keys, decode_typed_text) {
    struct Case {
        const char *state;
        const char *text;
        KeyInputKind kind;
        int code;
    } cases[] = {
        {"p-", "a", KeyInputKind::TEXT, 'a'},
        {"d-", " ", KeyInputKind::TEXT, ' '},
        {"u-", "a", KeyInputKind::NONE, -1},                  // key-up: typed once only
        {"p-", "\xC3\xA9", KeyInputKind::TEXT, 0xE9},          // é
        {"p-", "\xE6\x97\xA5", KeyInputKind::TEXT, 0x65E5},    // 日
        {"p-", "\xF0\x9F\x98\x80", KeyInputKind::TEXT, 0x1F600},
        {"p-", "", KeyInputKind::NONE, -1},
        {"p-", "\xC3", KeyInputKind::NONE, -1},                // cut mid-sequence
        {"p-", "\xC0\xAF", KeyInputKind::NONE, -1},            // overlong
        {"p-", "\xED\xA0\x80", KeyInputKind::NONE, -1},        // surrogate
        {"p-", "\x80", KeyInputKind::NONE, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        KeyInput k = key_binding_decode("solfb-textinput", c.state, "x", c.text);
        EXPECT_EQ(k.kind, c.kind);
        if (c.kind == KeyInputKind::TEXT) {
            EXPECT_EQ(k.code, c.code);
        }
    }
}
