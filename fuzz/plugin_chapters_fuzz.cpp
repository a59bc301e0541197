// The chapters file over an arbitrary description and SponsorBlock response: the output is the
// FFMETADATA header followed by well-formed chapter blocks, ordered by start, inside the video
// and never ending before they start, whose titles hold none of the characters that would break
// the format.
//
// Input: four bytes of duration, then the description; a NUL byte, when present, ends the
// description and starts the segments text.
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/service_fuzz.h"
#include "plugin/playback.h"

namespace {

bool number_line(std::string_view line, std::string_view key, double &value) {
    if (line.substr(0, key.size()) != key) return false;
    std::string digits(line.substr(key.size()));
    if (digits.empty()) return false;
    char *end = nullptr;
    value = std::strtod(digits.c_str(), &end);
    return *end == '\0';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) return 0;
    uint32_t duration;
    std::memcpy(&duration, data, 4);
    FuzzText text(data + 4, size - 4);
    const char *description = text.c_str();
    size_t description_size = std::strlen(description);
    const char *segments = description_size < text.size ? description + description_size + 1 : nullptr;

    std::string out = chapters_text(description, segments, duration);
    std::string_view rest(out);
    if (rest.substr(0, std::strlen(FFMETADATA_HEADER)) != FFMETADATA_HEADER) __builtin_trap();
    rest.remove_prefix(std::strlen(FFMETADATA_HEADER));
    double previous_start = -1e300;
    while (!rest.empty()) {
        std::string_view lines[5];
        for (std::string_view &line : lines) {
            size_t newline = rest.find('\n');
            if (newline == std::string_view::npos) __builtin_trap();
            line = rest.substr(0, newline);
            rest.remove_prefix(newline + 1);
        }
        double start = 0, end = 0;
        if (lines[0] != "[CHAPTER]" || lines[1] != "TIMEBASE=1/1000") __builtin_trap();
        if (!number_line(lines[2], "START=", start) || !number_line(lines[3], "END=", end))
            __builtin_trap();
        if (lines[4].substr(0, 6) != "title=") __builtin_trap();
        if (lines[4].find_first_of(";#\\", 6) != std::string_view::npos ||
            lines[4].find('=', 6) != std::string_view::npos)
            __builtin_trap();
        if (start < previous_start) __builtin_trap();
        // What the player accepts: no chapter ends before it starts, none starts before 0, and
        // with a duration none lies past the end.
        if (end < start || start < 0) __builtin_trap();
        if (duration && end > double(duration) * 1000) __builtin_trap();
        previous_start = start;
    }
    return 0;
}
