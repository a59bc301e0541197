#include "plugin/playback.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

#include <mpv/client.h>

#include "base/host.h"
#include "base/json.h"
#include "base/runtime.h"
#include "plugin/app_state.h"
#include "service/innertube.h"

namespace {

// Characters of the run between a timestamp and its title.
constexpr std::string_view SEPARATORS = "- ~*_+=|:/";
// Characters of a trailing timestamp with its separators.
constexpr std::string_view TRAILING_RUN = "0123456789:- ~*_+=|:/";
constexpr size_t TITLE_LIMIT = 255;
constexpr size_t LINE_LIMIT = 511;
// Numbers are held below this, so hours × 3600 plus the rest stays inside 64 bits.
constexpr int64_t NUMBER_LIMIT = 1000000000000000LL;

bool is_separator(char c) { return SEPARATORS.find(c) != std::string_view::npos; }

// Cuts `text` to at most `limit` bytes without splitting a UTF-8 sequence.
std::string_view cut_text(std::string_view text, size_t limit) {
    if (text.size() <= limit) return text;
    size_t n = limit;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return text.substr(0, n);
}

// A reading position in one line; reads never pass the end.
struct LineCursor {
    std::string_view text;
    size_t at = 0;

    bool done() const { return at >= text.size(); }
    char peek() const { return text[at]; }

    // A decimal integer as a scanf "%d" reads it: blanks, an optional sign, at least one digit.
    bool integer(int64_t &value) {
        while (!done() && std::strchr(" \t\v\f\r", peek())) ++at;
        bool negative = false;
        if (!done() && (peek() == '-' || peek() == '+')) {
            negative = peek() == '-';
            ++at;
        }
        if (done() || peek() < '0' || peek() > '9') return false;
        int64_t v = 0;
        while (!done() && peek() >= '0' && peek() <= '9') {
            v = std::min(v * 10 + (peek() - '0'), NUMBER_LIMIT);
            ++at;
        }
        value = negative ? -v : v;
        return true;
    }
    bool literal(char c) {
        if (done() || peek() != c) return false;
        ++at;
        return true;
    }
    // At least one separator character.
    bool separators() {
        size_t start = at;
        while (!done() && is_separator(peek())) ++at;
        return at > start;
    }
    // The rest of the line, at least one byte, cut to the title limit.
    bool rest(std::string &title) {
        if (done()) return false;
        title = cut_text(text.substr(at), TITLE_LIMIT);
        at = text.size();
        return true;
    }
};

// "h:m:s" (three numbers) or "m:s" (two) at the cursor.
bool clock_time(LineCursor &c, int count, int64_t &seconds) {
    int64_t a = 0, b = 0, s = 0;
    if (!c.integer(a) || !c.literal(':') || !c.integer(b)) return false;
    if (count == 2) {
        seconds = a * 60 + b;
        return true;
    }
    if (!c.literal(':') || !c.integer(s)) return false;
    seconds = a * 3600 + b * 60 + s;
    return true;
}

// A leading timestamp of `count` numbers, a separator run and a title.
bool leading_timestamp(std::string_view line, int count, int64_t &seconds, std::string &title) {
    LineCursor c{line};
    return clock_time(c, count, seconds) && c.separators() && c.rest(title);
}

// A trailing timestamp run, whose first character counts as a separator.
bool trailing_timestamp(std::string_view line, int64_t &seconds, std::string &title) {
    line = line.substr(0, LINE_LIMIT);
    if (line.empty() || TRAILING_RUN.find(line.back()) == std::string_view::npos) return false;
    size_t run = line.size() - 1;
    while (run > 1 && TRAILING_RUN.find(line[run - 1]) != std::string_view::npos) --run;
    std::string tail(line.substr(run));
    tail[0] = ' ';
    for (int count : {3, 2}) {
        LineCursor c{tail};
        if (c.separators() && clock_time(c, count, seconds)) {
            title = cut_text(line.substr(0, run), TITLE_LIMIT);
            return true;
        }
    }
    return false;
}

void clean_title(std::string &title) {
    for (char &c : title)
        if (c == '=' || c == ';' || c == '#' || c == '\\' || c == '\n') c = ' ';
}

// Chapter times in milliseconds are kept inside what a 64-bit reader of the file can hold, so
// absurd segment bounds never print as "inf" or as hundreds of digits.
constexpr double MILLISECONDS_LIMIT = 1e18;

double milliseconds(double seconds) {
    return std::clamp(seconds * 1000, -MILLISECONDS_LIMIT, MILLISECONDS_LIMIT);
}

void append_chapter(std::string &out, const Chapter &chapter) {
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "START=%.0f\nEND=%.0f\n", milliseconds(chapter.start),
                  milliseconds(chapter.end));
    out += "[CHAPTER]\nTIMEBASE=1/1000\n";
    out += numbers;
    out += "title=";
    out += chapter.title;
    out += '\n';
}

// A segment bound: a finite number, anything else 0.
double segment_bound(const char *element, const char *path) {
    double v = json_double(json_get(element, path), 0);
    return std::isfinite(v) ? v : 0;
}

void command(std::initializer_list<const char *> words) {
    std::vector<const char *> args(words);
    args.push_back(nullptr);
    mpv_command(host(), args.data());
}

void print_text(const std::string &text) { command({"print-text", text.c_str()}); }

mpv_node string_node(const char *text) {
    mpv_node n{};
    n.format = MPV_FORMAT_STRING;
    n.u.string = const_cast<char *>(text);
    return n;
}

// The per-file options of every load.
constexpr int OPTION_COUNT = 9;

const char *text_or_empty(const Text &text) { return text ? text->c_str() : ""; }
const char *text_or_none(const Text &text) { return text ? text->c_str() : "none"; }

} // namespace

PlaybackSettings playback_settings(const AppState &state) {
    PlaybackSettings s;
    s.debug_url = state.switches.debug_url;
    s.use_edl = state.switches.use_edl;
    s.use_full_manifest = state.switches.use_full_manifest;
    s.generate_chapters = state.switches.generate_chapters;
    s.autoplay_next = state.switches.autoplay_next;
    s.show_autoplay_notification = state.switches.show_autoplay_notification;
    s.use_hls = state.use_hls;
    s.ytdl_fallback = state.ytdl_fallback;
    s.video_format = state.video_format;
    return s;
}

bool chapter_line_timestamp(std::string_view line, int64_t &seconds, std::string &title) {
    return leading_timestamp(line, 3, seconds, title) ||
           leading_timestamp(line, 2, seconds, title) || trailing_timestamp(line, seconds, title);
}

std::vector<Chapter> description_chapters(std::string_view description, uint32_t duration) {
    struct Stamp {
        int64_t seconds;
        std::string title;
    };
    std::vector<Stamp> stamps;
    while (!description.empty()) {
        size_t newline = description.find('\n');
        std::string_view line = description.substr(0, newline);
        description.remove_prefix(newline == std::string_view::npos ? description.size()
                                                                     : newline + 1);
        int64_t t = 0;
        std::string title;
        if (line.empty() || !chapter_line_timestamp(line, t, title) || t < 0) continue;
        stamps.push_back({t, std::move(title)});
    }
    // In time order, so each chapter ends where the next begins even when the description lists
    // them out of order; the last ends at the duration (at its own start when there is none).
    std::stable_sort(stamps.begin(), stamps.end(),
                     [](const Stamp &a, const Stamp &b) { return a.seconds < b.seconds; });
    std::vector<Chapter> chapters;
    for (size_t i = 0; i < stamps.size(); ++i) {
        double start = double(stamps[i].seconds);
        double end = i + 1 < stamps.size() ? double(stamps[i + 1].seconds)
                                            : (duration ? double(duration) : start);
        chapters.push_back({start, end, std::move(stamps[i].title)});
    }
    return chapters;
}

std::vector<Chapter> sponsor_chapters(const char *segments, uint32_t duration) {
    std::vector<Chapter> chapters;
    if (!segments) return chapters;
    const char *text = segments;
    while (*text == ' ' || *text == '\t' || *text == '\r' || *text == '\n') ++text;
    if (json_type(text) != JSON_ARRAY) return chapters;
    double largest_end = -1;
    // A trailing comma (a cut response) leaves no element behind it.
    for (const char *e = json_first(text); e && json_type(e) != JSON_INVALID; e = json_next(e)) {
        double start = segment_bound(e, ".segment.0");
        double end = segment_bound(e, ".segment.1");
        // A segment that ends before it starts marks nothing.
        if (end < start) continue;
        chapters.push_back({start, end, SPONSOR_CHAPTER_TITLE});
        chapters.push_back({end, end + 0.001, ""});
        largest_end = std::max(largest_end, end);
    }
    if (largest_end >= 0) chapters.push_back({largest_end, double(duration), ""});
    return chapters;
}

std::string chapters_text(const char *description, const char *segments, uint32_t duration) {
    std::vector<Chapter> chapters;
    if (description) chapters = description_chapters(description, duration);
    if (segments) {
        std::vector<Chapter> sponsor = sponsor_chapters(segments, duration);
        std::move(sponsor.begin(), sponsor.end(), std::back_inserter(chapters));
    }
    // The player refuses the whole file for one chapter that ends before it starts, so every
    // chapter is kept inside the video (when its duration is known) and one that still ends
    // before its start is left out.
    const double limit = duration ? double(duration) : MILLISECONDS_LIMIT / 1000;
    std::vector<Chapter> kept;
    for (Chapter &chapter : chapters) {
        chapter.start = std::clamp(chapter.start, 0.0, limit);
        chapter.end = std::min(chapter.end, limit);
        if (chapter.end >= chapter.start) kept.push_back(std::move(chapter));
    }
    // Newest first, then a stable sort by start: equal starts keep newest-first order.
    std::reverse(kept.begin(), kept.end());
    std::stable_sort(kept.begin(), kept.end(),
                     [](const Chapter &a, const Chapter &b) { return a.start < b.start; });
    std::string out = FFMETADATA_HEADER;
    for (Chapter &chapter : kept) {
        clean_title(chapter.title);
        append_chapter(out, chapter);
    }
    return out;
}

void load_url(const PlaybackSettings &settings, const PlaybackFlags &flags, const std::string &url,
              const Text &audio_url, const Text &sub_url, const Text &title,
              const Text &chapters_url, YtdlMode ytdl) {
    // Every option goes with the file and ends with it: the user's own `ytdl`, `audio-files` and
    // `sub-files` are what they were once the file is done. The lists are cleared for this file
    // only, then the streams appended. A stream that is absent is left out rather than appended
    // as an empty text: mpv refuses an empty append ("option requires parameter") and logs an
    // error for every such load.
    const char *option_keys[OPTION_COUNT] = {
        "ytdl",          "audio-files-clr", "sub-files-clr",     "msg-level",
        "stream-lavf-o", "chapters-file",   "force-media-title"};
    const char *option_values[OPTION_COUNT] = {
        ytdl == YTDL_ON ? "yes" : "no", "", "", "ffmpeg=fatal",
        "http_seekable=0,headers=accept-encoding:gzip,request_size=10485760",
        text_or_empty(chapters_url), text_or_empty(title)};
    int option_count = OPTION_COUNT - 2; // the two appends follow when their streams exist
    auto append = [&](const char *key, const Text &stream) {
        if (!stream || stream->empty()) return;
        option_keys[option_count] = key;
        option_values[option_count++] = stream->c_str();
    };
    append("audio-files-append", audio_url);
    append("sub-files-append", sub_url);
    mpv_node options_values[OPTION_COUNT];
    for (int i = 0; i < option_count; ++i) options_values[i] = string_node(option_values[i]);
    mpv_node_list options_list{option_count, options_values, const_cast<char **>(option_keys)};
    mpv_node options{};
    options.format = MPV_FORMAT_NODE_MAP;
    options.u.list = &options_list;

    const char *keys[4] = {"name", "url", "flags", "options"};
    mpv_node values[4] = {string_node("loadfile"), string_node(url.c_str()),
                          string_node(flags.autoplay_queued ? "append" : "replace"), options};
    mpv_node_list list{4, values, const_cast<char **>(keys)};
    mpv_node loadfile{};
    loadfile.format = MPV_FORMAT_NODE_MAP;
    loadfile.u.list = &list;
    mpv_node result{};
    if (flags.loaded_entry) *flags.loaded_entry = -1;
    if (mpv_command_node(host(), &loadfile, &result) >= 0) {
        if (flags.loaded_entry && result.format == MPV_FORMAT_NODE_MAP)
            for (int i = 0; i < result.u.list->num; ++i)
                if (std::strcmp(result.u.list->keys[i], "playlist_entry_id") == 0 &&
                    result.u.list->values[i].format == MPV_FORMAT_INT64)
                    *flags.loaded_entry = result.u.list->values[i].u.int64;
        mpv_free_node_contents(&result);
    }

    command({"script-message", "solfb-hide"});
    if (flags.autoplay_queued && title && settings.show_autoplay_notification) {
        std::string text = "[solvane] - Up Next:\n" + *title;
        command({"show-text", text.c_str(), "3000"});
    }
}

std::string edl_url(std::string_view title, std::string_view video_url, std::string_view audio_url) {
    auto field = [](std::string_view text) {
        return "%" + std::to_string(text.size()) + "%" + std::string(text);
    };
    return "edl://!global_tags,title=" + field(title) + ";!no_chapters;" + field(video_url) +
           ";!new_stream;!no_chapters;" + field(audio_url);
}

void play_edl(const PlaybackSettings &settings, const PlaybackFlags &flags, const list_item &video,
              const stream_choice &streams, const Text &sub_url, const Text &chapters_url) {
    std::string url = edl_url(text_or_empty(video.title), text_or_empty(streams.video_url),
                              text_or_empty(streams.audio_url));
    load_url(settings, flags, url, std::nullopt, sub_url, video.title, chapters_url, YTDL_OFF);
}

std::string watch_url(std::string_view id) {
    return std::string("https://") + SERVICE_HOST + "/watch?v=" + std::string(id);
}

std::optional<std::string> play_current(const PlaybackSettings &settings,
                                        const PlaybackFlags &flags, const list_item &video,
                                        const stream_choice &streams, const char *segments,
                                        bool hls_quality_names) {
    const bool separate = (!settings.use_hls && video.duration != 0) || !streams.hls_url;
    if (settings.debug_url)
        print_text("play: audio " + std::string(text_or_none(streams.audio_url)) + "\nvideo " +
                   text_or_none(streams.video_url) + "\nhls manifest " +
                   text_or_none(streams.hls_url) + "\nsub " + text_or_none(streams.sub_url));

    const char *format_name = settings.video_format.c_str();
    if (hls_quality_names && !separate) format_name = hls_quality_name(format_name);
    const bool muxed = format_is_muxed(format_number(format_name));

    // What to load: the watch page for the ytdl hook, the manifest, or the video stream alone,
    // with its audio stream, or joined to it in an EDL.
    enum { WATCH, MANIFEST, VIDEO_ALONE, VIDEO_WITH_AUDIO, EDL } load;
    if (!streams.video_url || settings.ytdl_fallback)
        load = WATCH;
    else if (settings.use_full_manifest && !separate)
        load = MANIFEST;
    else if (settings.use_edl && streams.audio_url && video.duration != 0 && !muxed)
        load = EDL;
    else if (!muxed && streams.audio_url)
        load = VIDEO_WITH_AUDIO;
    else
        load = VIDEO_ALONE;

    // Every address the player would open is checked first; the watch page is built here from
    // an id of the video-id shape only.
    std::optional<std::string> refused;
    if (load == WATCH) {
        if (!video.id || !video_id_valid(*video.id)) {
            std::string id = text_or_empty(video.id);
            log_warning("refused video id for the watch page", id.c_str());
            refused = "play failed: video id refused";
        }
    } else if (load == MANIFEST) {
        refused = media_url_refuse("manifest", *streams.hls_url);
    } else {
        refused = media_url_refuse("video", *streams.video_url);
        if (!refused && (load == EDL || load == VIDEO_WITH_AUDIO))
            refused = media_url_refuse("audio", *streams.audio_url);
    }
    if (!refused && streams.sub_url) refused = media_url_refuse("caption", *streams.sub_url);
    if (refused) return refused;

    const char *description = video.description ? video.description->c_str() : nullptr;
    Text chapters_url = std::string("memory://") +
                        (settings.generate_chapters || segments
                             ? chapters_text(description, segments, video.duration)
                             : std::string(FFMETADATA_HEADER));

    switch (load) {
    case WATCH:
        if (!settings.ytdl_fallback)
            print_text("warning: not yet supported format, fallback to ytdl");
        load_url(settings, flags, watch_url(*video.id), std::nullopt, streams.sub_url,
                 video.title, chapters_url, YTDL_ON);
        break;
    case MANIFEST:
        load_url(settings, flags, *streams.hls_url, std::nullopt, streams.sub_url, video.title,
                 chapters_url, YTDL_OFF);
        break;
    case EDL:
        play_edl(settings, flags, video, streams, streams.sub_url, chapters_url);
        break;
    case VIDEO_WITH_AUDIO:
        load_url(settings, flags, *streams.video_url, streams.audio_url, streams.sub_url,
                 video.title, chapters_url, YTDL_OFF);
        break;
    case VIDEO_ALONE:
        load_url(settings, flags, *streams.video_url, std::nullopt, streams.sub_url, video.title,
                 chapters_url, YTDL_OFF);
        break;
    }
    flags.autoplay_queued = false;
    flags.browser_playback = true;
    return std::nullopt;
}

Text autoplay_next_id(ItemList &results, const std::string &current_id) {
    bool found = false;
    for (list_item *item : results) {
        if (item->kind != ITEM_VIDEO || !item->id) continue;
        if (found) return item->id;
        found = *item->id == current_id;
    }
    return std::nullopt;
}

bool autoplay_check(const PlaybackSettings &settings, const PlaybackFlags &flags,
                    const Text &current_video_id, ItemList &results, AutoplayRequest request) {
    if (!flags.browser_playback || !settings.autoplay_next || flags.autoplay_queued ||
        !current_video_id)
        return false;
    int64_t position = 0, count = 0;
    if (mpv_get_property(host(), "playlist-pos", MPV_FORMAT_INT64, &position) < 0 ||
        mpv_get_property(host(), "playlist-count", MPV_FORMAT_INT64, &count) < 0 ||
        position + 1 != count)
        return false;
    double duration = 0, remaining = 0;
    if (mpv_get_property(host(), "duration", MPV_FORMAT_DOUBLE, &duration) < 0 ||
        mpv_get_property(host(), "playtime-remaining", MPV_FORMAT_DOUBLE, &remaining) < 0 ||
        !(duration > 0.1 && remaining < 60.0))
        return false;
    Text next = autoplay_next_id(results, *current_video_id);
    if (!next) return false;
    print_text("loading autoplay of video id " + *next);
    // Queued before the request, so a load that starts during the request already appends.
    flags.autoplay_queued = true;
    if (request.request) request.request(next->c_str(), request.argument);
    return true;
}
