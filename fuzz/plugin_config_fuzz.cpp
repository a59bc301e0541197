// The configuration reader over arbitrary text: the syntax check never reads past the end, and
// whatever the text holds, the settings stay inside their ranges and the reader does not crash.
// The reader's WARNING lines go to standard error with the fuzzer's own output.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "plugin/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    ConfigSyntaxError error;
    if (!config_syntax_check(text.c_str(), error) &&
        (error.line < 1 || error.column < 1 || !error.what))
        std::abort();
    auto state = std::make_unique<AppState>();
    config_apply(*state, text.c_str());
    if (state->font_size < FONT_SIZE_MIN || state->font_size > FONT_SIZE_MAX ||
        state->thumb_height < THUMB_SIZE_MIN || state->thumb_height > THUMB_SIZE_MAX ||
        state->list_width < PLAYLIST_WIDTH_MIN || state->list_width > PLAYLIST_WIDTH_MAX ||
        !(state->scale >= SCALE_MIN && state->scale <= SCALE_MAX))
        std::abort();
    return 0;
}
