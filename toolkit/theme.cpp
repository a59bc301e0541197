// Themes: parsing theme objects into colour records, premultiplying fills, and copying the
// records into every widget's paints.
#include "toolkit/theme.h"

#include <cstdlib>
#include <cstring>

#include "assets/assets.h"
#include "base/json.h"
#include "base/runtime.h"
#include "gfx/image.h"
#include "toolkit/widget.h"

const char *const THEME_KEYS[THEME_RECORD_COUNT] = {
    "base",          "elem_normal",      "text_normal",      "elem_hover",
    "text_hover",    "elem_pressed",     "text_pressed",     "elem_disabled",
    "text_disabled", "elem_selected",    "text_selected",    "scrollbar_normal",
    "scrollbar_hover", "scrollbar_pressed", "scrollbar_selected",
};

namespace {

constexpr uint32_t rgba(uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
    return r | g << 8 | b << 16 | a << 24;
}

struct DefaultPair {
    uint32_t line;
    uint32_t fill;
};
constexpr DefaultPair DEFAULTS[THEME_RECORD_COUNT] = {
    {rgba(142, 156, 136, 255), rgba(163, 180, 156, 255)}, // base
    {rgba(142, 156, 136, 255), rgba(184, 204, 176, 255)}, // elem_normal
    {rgba(0, 0, 0, 255), rgba(184, 204, 176, 255)},       // text_normal
    {rgba(142, 156, 136, 255), rgba(204, 219, 198, 255)}, // elem_hover
    {rgba(0, 0, 0, 255), rgba(204, 219, 198, 255)},       // text_hover
    {rgba(118, 132, 112, 255), rgba(168, 189, 159, 255)}, // elem_pressed
    {rgba(0, 0, 0, 255), rgba(168, 189, 159, 255)},       // text_pressed
    {rgba(160, 160, 160, 255), rgba(190, 200, 180, 255)}, // elem_disabled
    {rgba(127, 127, 127, 255), rgba(163, 180, 156, 255)}, // text_disabled
    {rgba(142, 156, 136, 255), rgba(121, 148, 111, 255)}, // elem_selected
    {rgba(184, 204, 176, 255), rgba(121, 148, 111, 255)}, // text_selected
    {rgba(120, 133, 114, 255), rgba(131, 145, 126, 255)}, // scrollbar_normal
    {rgba(120, 133, 114, 255), rgba(120, 133, 114, 255)}, // scrollbar_hover
    {rgba(120, 133, 114, 255), rgba(121, 148, 111, 255)}, // scrollbar_pressed
    {rgba(142, 156, 136, 255), rgba(121, 148, 111, 255)}, // scrollbar_selected
};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

void set_byte(uint32_t &colour, int index, uint32_t value) {
    colour = (colour & ~(0xFFu << (8 * index))) | ((value & 0xFF) << (8 * index));
}

// Reads up to eight array elements from the '[' at `p` into the record's two colours. Numbers
// are converted with base detection and their low byte kept; strings, arrays, objects and
// literals store 0. The scan ends at the closing bracket, at a missing comma, or at anything
// unexpected; bytes not reached keep their values.
void read_colour_array(const char *p, Paint &record) {
    ++p;
    for (int k = 0; k < 8; ++k) {
        while (is_space(*p)) ++p;
        uint32_t value;
        if (is_digit(*p) || *p == '-') {
            value = uint32_t(std::strtol(p, nullptr, 0));
            // The scan moves over the sign and digits only: a "0x" form stops the array there.
            if (*p == '-') ++p;
            while (is_digit(*p)) ++p;
        } else if (*p == '"' || *p == '[' || *p == '{' || is_letter(*p)) {
            value = 0;
            p = json_skip(p);
            if (!p) return;
        } else {
            return;
        }
        set_byte(k < 4 ? record.color : record.fill_color, k % 4, value);
        while (is_space(*p)) ++p;
        if (*p != ',') return;
        ++p;
    }
}

} // namespace

ThemeRecords theme_defaults() {
    ThemeRecords records;
    for (int i = 0; i < THEME_RECORD_COUNT; ++i)
        records[size_t(i)] = Paint{72, DEFAULTS[i].line, DEFAULTS[i].fill, 0, 0};
    return records;
}

void theme_load(const char *position, ThemeRecords &records) {
    records = theme_defaults();
    if (!position) return;
    for (int i = 0; i < THEME_RECORD_COUNT; ++i) {
        const char *value = json_find(position, THEME_KEYS[i]); // nullptr unless an object
        if (!value || *value != '[') continue;
        read_colour_array(value, records[size_t(i)]);
    }
}

void theme_premultiply(ThemeRecords &records) {
    for (int i = 0; i < THEME_SCROLLBAR_SELECTED; ++i) {
        uint32_t &fill = records[size_t(i)].fill_color;
        uint32_t alpha = fill >> 24;
        for (int b = 0; b < 3; ++b) set_byte(fill, b, ((fill >> (8 * b)) & 0xFF) * alpha / 255);
    }
}

void theme_apply(Widget *widget, void *argument) {
    const ThemeRecords &r = *static_cast<const ThemeRecords *>(argument);
    widget->base_paint = r[THEME_BASE];
    TextElement *e = widget_text_element(widget);
    if (!e) return;
    e->paints[PAINT_TEXT_NORMAL] = r[THEME_TEXT_NORMAL];
    e->paints[PAINT_TEXT_HOVER] = r[THEME_TEXT_HOVER];
    e->paints[PAINT_TEXT_PRESSED] = r[THEME_TEXT_PRESSED];
    e->paints[PAINT_TEXT_DISABLED] = r[THEME_TEXT_DISABLED];
    e->paints[PAINT_TEXT_SELECTED] = r[THEME_TEXT_SELECTED];
    e->paints[PAINT_ELEM_NORMAL] = r[THEME_ELEM_NORMAL];
    e->paints[PAINT_ELEM_HOVER] = r[THEME_ELEM_HOVER];
    e->paints[PAINT_ELEM_PRESSED] = r[THEME_ELEM_PRESSED];
    e->paints[PAINT_ELEM_DISABLED] = r[THEME_ELEM_DISABLED];
    e->paints[PAINT_ELEM_SELECTED] = r[THEME_ELEM_SELECTED];
    if (widget->kind == WIDGET_LABEL || widget->kind == WIDGET_CHECK)
        e->paints[PAINT_ELEM_NORMAL] = r[THEME_BASE];
    if (widget->kind == WIDGET_SCROLL) {
        e->paints[PAINT_ELEM_NORMAL] = r[THEME_SCROLLBAR_NORMAL];
        e->paints[PAINT_ELEM_HOVER] = r[THEME_SCROLLBAR_HOVER];
        e->paints[PAINT_ELEM_PRESSED] = r[THEME_SCROLLBAR_PRESSED];
        e->paints[PAINT_ELEM_SELECTED] = r[THEME_SCROLLBAR_SELECTED];
    }
}

void theme_apply_tree(Widget *root, const ThemeRecords &records) {
    widget_walk(root, theme_apply, const_cast<ThemeRecords *>(&records), 0);
}

bool set_theme(ThemeRecords &current, Widget *root, std::string_view name) {
    std::string document = asset_inflate(asset_themes_json.data, asset_themes_json.size);
    const char *member = json_find(document.c_str(), name);
    if (!member) return false;
    theme_load(member, current);
    set_byte(current[THEME_BASE].fill_color, 3, 175);
    theme_premultiply(current);
    if (root) theme_apply_tree(root, current);
    return true;
}

bool theme_load_custom(const std::string &path, ThemeRecords &custom, ThemeRecords &current,
                       Widget *root) {
    std::string reason;
    std::optional<std::string> text = file_read_optional(path, reason);
    if (!text) {
        std::string detail = "cannot read " + path + " (" + reason + "); using the default theme";
        log_error("theme_path", detail.c_str());
        return false;
    }
    theme_load(text->c_str(), custom);
    theme_premultiply(custom);
    if (root) theme_apply_tree(root, custom);
    current = custom;
    return true;
}
