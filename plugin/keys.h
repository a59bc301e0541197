// Host key names to toolkit key codes, and the decoding of the key-binding messages the host
// sends for the plug-in's input sections.
#pragma once

#include <cstdint>
#include <string_view>

// Host modifier bits as parsed from key names; HOST_PRESSED marks a key going down or repeating.
enum HostModifier : int32_t {
    HOST_SHIFT = 1,
    HOST_CTRL = 2,
    HOST_ALT = 4,
    HOST_META = 8,
    HOST_PRESSED = 0x40,
};

struct HostKey {
    const char *name;
    int16_t code;
    int32_t implied; // host modifiers implied by the name ("A" implies Shift)
};

// Looks a host key name up; nullptr when it is not in the table.
const HostKey *host_key_find(std::string_view name);
// Host modifier layout to the toolkit's; the pressed bit is dropped.
int32_t toolkit_modifiers(int32_t host_modifiers);

enum class KeyInputKind { NONE, KEY, TEXT, BUTTON };

struct KeyInput {
    KeyInputKind kind = KeyInputKind::NONE;
    int32_t code = -1;      // toolkit key code, host button 1..5, or the typed code point
    int32_t modifiers = 0;  // host layout, with HOST_PRESSED when pressed
};

// Decodes one key-binding message (binding name, state, key name, key text).
// "solfb-textinput" gives TEXT with the code point of the key text's first character when the
// key went down; "solfb-keys" gives KEY (codes 7 and up) or BUTTON (1..5), with the modifiers
// of the name; anything else gives NONE.
KeyInput key_binding_decode(std::string_view binding, std::string_view state,
                            std::string_view key_name, std::string_view key_text);
