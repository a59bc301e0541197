// Playback launch: turns the current video and its chosen streams into one host "loadfile"
// (separate video and audio, an EDL joining them, a muxed stream, the HLS manifest, or the
// watch page through the host's ytdl hook), with an in-memory FFMETADATA chapters file built
// from the description's timestamps and the SponsorBlock segments, and the autoplay check the
// 1-second timer runs near the end of a video.
//
// Nothing here keeps a pointer to its arguments past the call. The launch flags are borrowed
// from the application state through PlaybackFlags; texts are read, never owned. Host commands
// go through host() and their results are ignored.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/items.h"
#include "service/player.h"

struct AppState;

// The settings the launch reads (a copy taken from the configuration when a launch starts).
struct PlaybackSettings {
    bool debug_url = false;
    bool use_edl = false;
    bool use_full_manifest = false;
    bool generate_chapters = false;
    bool autoplay_next = false;
    bool show_autoplay_notification = false;
    bool use_hls = false;       // set by `extractor`
    bool ytdl_fallback = false; // set by `extractor`
    std::string video_format = "1080p60";
};

// The launch flags of the application state, borrowed for one call.
struct PlaybackFlags {
    bool &autoplay_queued;  // the next load appends to the host playlist and may show "Up Next"
    bool &browser_playback; // a video has been launched from the browser
    // When set, receives the host's playlist entry id of the load (-1 when it gave none).
    int64_t *loaded_entry = nullptr;
};

// The settings the launch reads, taken from the application state.
PlaybackSettings playback_settings(const AppState &state);

// ---- Chapters ----

struct Chapter {
    double start = 0; // seconds
    double end = 0;   // seconds
    std::string title;
};

inline constexpr const char *FFMETADATA_HEADER = ";FFMETADATA1\n";
inline constexpr const char *SPONSOR_CHAPTER_TITLE = "SOLVANE-SPONSOR-SEGMENT";

// The timestamp of one description line (no '\n' inside) and the title that goes with it, or
// false when the line carries none. A leading "h:m:s" or "m:s" must be followed by a separator
// run and a title; a trailing one follows the title after a separator run.
bool chapter_line_timestamp(std::string_view line, int64_t &seconds, std::string &title);

// The chapters of a description: its timestamped lines in time order (lines of equal time in
// their order in the text), each chapter ending where the next begins; the last ends at
// `duration`, or at its own start when the duration is 0. Titles as found (not yet cleaned).
std::vector<Chapter> description_chapters(std::string_view description, uint32_t duration);

// The chapters of a SponsorBlock response (a NUL-terminated JSON array of objects with a
// two-number `segment`): for each segment the sponsor chapter and a 1 ms chapter at its end,
// then one empty chapter from the largest end to `duration`. A segment that ends before it
// starts is left out. Nothing for a non-array.
std::vector<Chapter> sponsor_chapters(const char *segments, uint32_t duration);

// The FFMETADATA text: the header, then the chapters of the description (when there is one) and
// of the segments (when there are some), titles cleaned of "=;#\" and newlines, ordered by start
// with chapters of equal start newest first. With a duration, starts and ends are clamped into
// [0, duration]; a chapter that still ends before its start is left out, so the player accepts
// the file. `description` and `segments` may be nullptr.
std::string chapters_text(const char *description, const char *segments, uint32_t duration);

// ---- Launch ----

enum YtdlMode : uint8_t { YTDL_OFF = 0, YTDL_ON = 1 };

// Sends the load sequence: the "loadfile" map ("append" while autoplay is queued, else
// "replace") whose per-file options set `ytdl`, clear `audio-files` and `sub-files` for this
// file and then carry the launch options; then "solfb-hide", and the "Up Next" text for a
// queued autoplay with a title when `show_autoplay_notification` is on. No option is set
// globally, so nothing outlives the file. An absent chapters file or title is sent as an empty
// value; an absent audio or caption stream is not appended at all.
void load_url(const PlaybackSettings &settings, const PlaybackFlags &flags, const std::string &url,
              const Text &audio_url, const Text &sub_url, const Text &title,
              const Text &chapters_url, YtdlMode ytdl);

// The EDL text that joins a video and an audio stream under a title; every field is written
// with its byte length, so no escaping is needed.
std::string edl_url(std::string_view title, std::string_view video_url, std::string_view audio_url);

// load_url of the EDL of the video's title and the chosen video and audio streams.
void play_edl(const PlaybackSettings &settings, const PlaybackFlags &flags, const list_item &video,
              const stream_choice &streams, const Text &sub_url, const Text &chapters_url);

// The watch page of a video id on the service's web host.
std::string watch_url(std::string_view id);

// Builds and sends the load of the current video: the chapters file, the format decision and
// one of the five loads; then clears autoplay queued and sets browser playback. `segments` is
// the SponsorBlock response text (NUL-terminated) or nullptr. `hls_quality_names` is the state's
// flag of that name.
// Every address the load would hand to the player (video, audio, manifest, caption) must pass
// media_url_check, and the watch page is built only from an id of the video-id shape. When one
// does not, nothing is sent, a WARNING names the address's scheme and host, and the result is
// the text for the status line; otherwise the result is empty.
std::optional<std::string> play_current(const PlaybackSettings &settings,
                                        const PlaybackFlags &flags, const list_item &video,
                                        const stream_choice &streams, const char *segments,
                                        bool hls_quality_names);

// ---- Autoplay ----

// Asks the browser to load a video as if it had been chosen, and to play it once its details
// arrive. `id` is only valid during the call.
struct AutoplayRequest {
    void (*request)(const char *id, void *argument) = nullptr;
    void *argument = nullptr;
};

// The next video after `current_id` among the video rows (kind 0, with an id) of `results`;
// absent when the id is not there or is the last video.
Text autoplay_next_id(ItemList &results, const std::string &current_id);

// The check of the 1-second autoplay timer: when a browser playback of the last playlist entry
// has less than 60 seconds left, prints "loading autoplay of video id %s", asks for the next
// video of `results` and sets autoplay queued. Returns true when it asked.
bool autoplay_check(const PlaybackSettings &settings, const PlaybackFlags &flags,
                    const Text &current_video_id, ItemList &results, AutoplayRequest request);
