// Fallback fonts through fontconfig: the configured fonts first, then fontconfig's sorted list,
// each font file read the first time one of its glyphs is needed.
#include "gfx/fallback.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include <fontconfig/fontconfig.h>

#include "base/runtime.h"
#include "gfx/text.h"

namespace {

// One candidate font: a file and a face in it, read when first needed.
struct FallbackFace {
    std::string path;
    int32_t index = 0;
    FcCharSet *charset = nullptr; // fontconfig's coverage (borrowed from `sorted`); null: ask
                                  // the font's own character map
    std::unique_ptr<Font> font;   // loaded face
    bool tried = false;           // loading was attempted (a failure is not retried)
};

struct Found {
    int32_t face = -1; // index into faces; -1 no font has the code point
    int32_t glyph = 0;
};

bool ends_with(std::string_view text, std::string_view end) {
    if (text.size() < end.size()) return false;
    for (size_t i = 0; i < end.size(); ++i)
        if (std::tolower(uint8_t(text[text.size() - end.size() + i])) != end[i]) return false;
    return true;
}

bool names_file(std::string_view entry) {
    return entry.find('/') != std::string_view::npos || ends_with(entry, ".ttf") ||
           ends_with(entry, ".otf") || ends_with(entry, ".ttc");
}

double elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since)
        .count();
}

} // namespace

struct FontFallback {
    std::vector<std::string> families; // configured family names, resolved with fontconfig
    std::vector<FallbackFace> faces;    // configured files first, then fontconfig's order
    std::unordered_map<uint32_t, Found> found;
    bool use_system = true;
    bool system_ready = false; // fontconfig has been asked (successfully or not)
    FcConfig *config = nullptr;
    FcFontSet *sorted = nullptr;

    ~FontFallback() {
        if (sorted) FcFontSetDestroy(sorted);
        if (config) FcConfigDestroy(config);
    }
};

void FontFallbackDeleter::operator()(FontFallback *fallback) const { delete fallback; }

namespace {

std::string pattern_text(FcPattern *pattern, const char *object) {
    FcChar8 *value = nullptr;
    if (FcPatternGetString(pattern, object, 0, &value) != FcResultMatch || !value) return {};
    return reinterpret_cast<const char *>(value);
}

// Whether fontconfig describes a font the rasteriser can draw: outlines in a TrueType or CFF
// container, not colour images.
bool pattern_usable(FcPattern *pattern) {
    FcBool outline = FcFalse, color = FcFalse;
    if (FcPatternGetBool(pattern, FC_OUTLINE, 0, &outline) == FcResultMatch && !outline)
        return false;
    if (FcPatternGetBool(pattern, FC_COLOR, 0, &color) == FcResultMatch && color) return false;
    std::string format = pattern_text(pattern, FC_FONTFORMAT);
    return format.empty() || format == "TrueType" || format == "CFF";
}

// Sets up fontconfig once: resolves the configured family names and appends fontconfig's
// sorted list of fonts for the environment's language.
void fallback_start_system(FontFallback &fb) {
    fb.system_ready = true;
    if (fb.families.empty() && !fb.use_system) return;
    auto started = std::chrono::steady_clock::now();
    fb.config = FcInitLoadConfigAndFonts();
    if (!fb.config) {
        log_warning("fallback fonts", "fontconfig could not load its configuration");
        return;
    }
    for (const std::string &family : fb.families) {
        FcPattern *pattern = FcPatternCreate();
        FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8 *>(family.c_str()));
        FcConfigSubstitute(fb.config, pattern, FcMatchPattern);
        FcDefaultSubstitute(pattern);
        FcResult result = FcResultNoMatch;
        FcPattern *match = FcFontMatch(fb.config, pattern, &result);
        FcPatternDestroy(pattern);
        // fontconfig answers every name with some font; only one of that family counts.
        bool same = false;
        FcChar8 *name = nullptr;
        for (int i = 0; match && FcPatternGetString(match, FC_FAMILY, i, &name) == FcResultMatch;
             ++i)
            if (FcStrCmpIgnoreCase(name, reinterpret_cast<const FcChar8 *>(family.c_str())) == 0)
                same = true;
        if (same && pattern_usable(match)) {
            int index = 0;
            FcPatternGetInteger(match, FC_INDEX, 0, &index);
            fb.faces.push_back({pattern_text(match, FC_FILE), index, nullptr, nullptr, false});
        } else {
            std::string detail = "no outline font of the family \"" + family + "\"";
            log_warning("fallback fonts", detail.c_str());
        }
        if (match) FcPatternDestroy(match);
    }
    if (fb.use_system) {
        FcPattern *pattern = FcPatternCreate();
        FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8 *>("sans-serif"));
        FcConfigSubstitute(fb.config, pattern, FcMatchPattern);
        FcDefaultSubstitute(pattern); // adds the language of the environment's locale
        FcResult result = FcResultNoMatch;
        fb.sorted = FcFontSort(fb.config, pattern, FcFalse, nullptr, &result);
        FcPatternDestroy(pattern);
        for (int i = 0; fb.sorted && i < fb.sorted->nfont; ++i) {
            FcPattern *font = fb.sorted->fonts[i];
            FcCharSet *charset = nullptr;
            if (!pattern_usable(font) ||
                FcPatternGetCharSet(font, FC_CHARSET, 0, &charset) != FcResultMatch)
                continue;
            int index = 0;
            FcPatternGetInteger(font, FC_INDEX, 0, &index);
            std::string file = pattern_text(font, FC_FILE);
            if (!file.empty()) fb.faces.push_back({file, index, charset, nullptr, false});
        }
    }
    auto detail = str_printf("%zu fonts, set up in %.1f ms", fb.faces.size(), elapsed_ms(started));
    log_info("fallback fonts", detail ? detail->c_str() : "");
}

// Reads the face's file once; a file that cannot be read or used is logged and skipped.
Font *face_font(FallbackFace &face) {
    if (face.tried) return face.font.get();
    face.tried = true;
    auto started = std::chrono::steady_clock::now();
    face.font = font_load_face(face.path, face.index);
    std::string name = face.path + (face.index ? "#" + std::to_string(face.index) : "");
    if (!face.font) {
        log_warning("fallback font unusable", name.c_str());
        return nullptr;
    }
    auto detail = str_printf("%s, opened in %.1f ms", name.c_str(), elapsed_ms(started));
    log_info("fallback font", detail ? detail->c_str() : "");
    return face.font.get();
}

// The face's glyph for the code point, 0 when it has none. A glyph without an outline does not
// count (a colour font's image glyphs, an empty slot), except for spaces, which have none.
int32_t face_glyph(FallbackFace &face, uint32_t code_point) {
    if (face.charset && !FcCharSetHasChar(face.charset, code_point)) return 0;
    Font *font = face_font(face);
    if (!font) return 0;
    int32_t glyph = font_glyph_index(font, code_point);
    if (glyph == 0) return 0;
    bool space = code_point == 0x3000 || code_point == 0x00A0 || code_point == 0x202F ||
                 code_point == 0x205F || (code_point >= 0x2000 && code_point <= 0x200A);
    if (!space && font_glyph_empty(font, glyph)) return 0;
    return glyph;
}

} // namespace

void font_fallback_enable(Font *font, const std::vector<std::string> &settings,
                          std::string_view config_dir, bool use_system) {
    if (!font) return;
    auto fb = std::unique_ptr<FontFallback, FontFallbackDeleter>(new FontFallback);
    fb->use_system = use_system;
    for (const std::string &entry : settings) {
        if (entry.empty()) continue;
        if (names_file(entry))
            fb->faces.push_back({font_path(entry, config_dir), 0, nullptr, nullptr, false});
        else
            fb->families.push_back(entry);
    }
    font->fallback = std::move(fb);
}

GlyphSource font_fallback_find(Font *font, uint32_t code_point) {
    int32_t glyph = font_glyph_index(font, code_point);
    if (glyph != 0 || !font->fallback || code_point < 0x20) return {font, glyph};
    // Format characters draw nothing: no font needs to be found for them.
    if (code_point_invisible(code_point)) return {nullptr, 0};
    FontFallback &fb = *font->fallback;
    auto known = fb.found.find(code_point);
    if (known == fb.found.end()) {
        Found answer;
        // The configured files come first and need no fontconfig; fontconfig is asked only
        // when none of them has the code point.
        for (size_t i = 0;; ++i) {
            if (i == fb.faces.size()) {
                if (fb.system_ready) break;
                fallback_start_system(fb);
                if (i == fb.faces.size()) break;
            }
            if (int32_t g = face_glyph(fb.faces[i], code_point)) {
                answer = {int32_t(i), g};
                break;
            }
        }
        known = fb.found.emplace(code_point, answer).first;
    }
    if (known->second.face < 0) return {font, 0};
    return {fb.faces[size_t(known->second.face)].font.get(), known->second.glyph};
}

std::string font_fallback_name(const Font *primary, const Font *face) {
    if (!primary || !primary->fallback) return {};
    for (const FallbackFace &f : primary->fallback->faces)
        if (f.font.get() == face) return f.path + (f.index ? "#" + std::to_string(f.index) : "");
    return {};
}

bool code_point_invisible(uint32_t c) {
    return (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2060 && c <= 0x2064) || (c >= 0xFE00 && c <= 0xFE0F) || c == 0xFEFF ||
           c == 0x00AD || c == 0x034F || (c >= 0xE0000 && c <= 0xE007F) ||
           (c >= 0xE0100 && c <= 0xE01EF);
}

bool code_point_breaks_alone(uint32_t c) {
    return (c >= 0x2E80 && c <= 0x2FDF) ||   // CJK radicals
           (c >= 0x3000 && c <= 0x30FF) ||   // CJK punctuation, hiragana, katakana
           (c >= 0x3100 && c <= 0x31FF) ||   // bopomofo, kana extensions
           (c >= 0x3400 && c <= 0x4DBF) ||   // Han extension A
           (c >= 0x4E00 && c <= 0x9FFF) ||   // Han
           (c >= 0xF900 && c <= 0xFAFF) ||   // Han compatibility
           (c >= 0xFF00 && c <= 0xFFEF) ||   // full-width forms
           (c >= 0x1F000 && c <= 0x1FAFF) || // emoji and pictographs
           (c >= 0x20000 && c <= 0x3FFFF);   // Han extensions B and later
}
