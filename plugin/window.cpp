#include "plugin/window.h"

#include "base/defer.h"
#include "base/host.h"
#include "base/runtime.h"

#include <cstdio>
#include <vector>

namespace {

// Keys the interface binds, in section order.
std::vector<std::string> section_keys() {
    std::vector<std::string> k = {"BS", "DEL", "END", "ENTER", "ESC", "HOME", "INS", "MENU",
                                  "PGDWN", "PGUP", "PAUSE", "SPACE", "TAB"};
    for (int i = 1; i <= 24; ++i) k.push_back(*str_printf("F%d", i));
    for (const char *n : {"PRINT", "DOWN", "LEFT", "RIGHT", "UP"}) k.emplace_back(n);
    for (int i = 0; i <= 9; ++i) k.push_back(*str_printf("KP%d", i));
    for (const char *n : {"KP_ADD", "KP_DEC", "KP_DIVIDE", "KP_MULTIPLY", "KP_SUBTRACT",
                          "MBTN_LEFT", "MBTN_RIGHT", "MBTN_MID", "WHEEL_UP", "WHEEL_DOWN"})
        k.emplace_back(n);
    for (char c = '0'; c <= '9'; ++c) k.emplace_back(1, c);
    for (char c = 'A'; c <= 'Z'; ++c) k.emplace_back(1, c);
    for (char c = 'a'; c <= 'z'; ++c) k.emplace_back(1, c);
    for (const char *n : {"'", "\\", ",", "=", "`", "[", "-", ".", "]", ";", "/"}) k.emplace_back(n);
    return k;
}

void command(std::initializer_list<const char *> words) {
    std::vector<const char *> args(words);
    args.push_back(nullptr);
    mpv_command(host(), args.data());
}

// Sends a command as a node array, which keeps texts with spaces and newlines intact.
void command_node(std::initializer_list<const char *> words) {
    std::vector<mpv_node> nodes;
    for (const char *w : words) {
        mpv_node n{};
        n.format = MPV_FORMAT_STRING;
        n.u.string = const_cast<char *>(w);
        nodes.push_back(n);
    }
    mpv_node_list list{static_cast<int>(nodes.size()), nodes.data(), nullptr};
    mpv_node args{};
    args.format = MPV_FORMAT_NODE_ARRAY;
    args.u.list = &list;
    mpv_node result{};
    if (mpv_command_node(host(), &args, &result) >= 0) mpv_free_node_contents(&result);
}

} // namespace

std::string section_text() {
    std::vector<std::string> lines = {"MOUSE_MOVE ignore", "MBTN_LEFT_DBL ignore",
                                      "ANY_UNICODE script-binding solfb-textinput"};
    std::vector<std::string> keys = section_keys();
    for (const std::string &k : keys) {
        bool toggles = k == "ESC" || k == "F12";
        lines.push_back(k + (toggles ? " script-message solfb-toggle" : " script-binding solfb-keys"));
    }
    for (const std::string &k : keys) lines.push_back("Ctrl+" + k + " script-binding solfb-keys");
    std::string text = "\n";
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i) text += '\n';
        text += lines[i];
    }
    return text;
}

void window_setup(AppState &state) {
    if (state.gui_width <= 0 || state.gui_height <= 0) report_fatal("window init failed", "error");
    std::string main_section = section_text();
    command_node({"define-section", SECTION_MAIN, main_section.c_str()});
    command_node({"define-section", SECTION_TOGGLE, "F12 script-message solfb-toggle\n"});
    command({"enable-section", SECTION_TOGGLE, "allow-hide-cursor+allow-vo-dragging"});
    defer_queue_create();
    clock_ms();
    state.window.created = true;
    std::fprintf(stderr, "%s\n", "app init ok");
}

void window_show(AppState &) { command({"enable-section", SECTION_MAIN, "exclusive+allow-hide-cursor"}); }

void window_hide(AppState &) {
    command({"disable-section", SECTION_MAIN});
    command({"overlay-remove", "45"});
}
