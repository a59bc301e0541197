// Player responses: the details of one video, its caption tracks, its streams and its HLS
// manifest, read into the current video record and the stream choice; and the choice of video
// and audio playlists from a downloaded HLS master playlist.
//
// The response and manifest texts are only read; every URL kept is a copy owned by the
// stream_choice, except `sub_language`, which borrows the setting's text (the settings live as
// long as the program).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "service/items.h"

// Bits of stream_choice::wanted above the format number.
constexpr uint32_t WANTED_FORMAT_MASK = 0x7FFF;
constexpr uint32_t WANTED_ALWAYS = 1u << 15;
constexpr uint32_t WANTED_ALL_CODECS = 1u << 16;
constexpr uint32_t WANTED_ALLOW_HDR = 1u << 17;

enum SubFormat : uint32_t {
    SUB_SRT = 12000,
    SUB_VTT = 12001,
    SUB_SRV2 = 12002,
    SUB_SRV3 = 12003,
    SUB_JSON3 = 12004,
};

struct stream_choice {
    uint32_t wanted = 0;        // format number, WANTED_ALWAYS, WANTED_ALL_CODECS, WANTED_ALLOW_HDR
    uint32_t audio_itag = 251;  // wanted audio format
    uint32_t sub_format = SUB_VTT;
    const char *sub_language = nullptr; // the setting's text, not owned
    Text video_url;             // chosen video (or muxed) stream
    Text audio_url;             // chosen audio stream
    Text sub_url;               // chosen caption track
    Text hls_url;               // HLS manifest of the response
};

// Reads a player response. The audio stream is the wanted one (251, 140 for IOS) when present;
// otherwise the best audio-only stream present, in a fixed order of preference (251, 140, 250,
// 249, 139, then higher-rate, surround and low-rate formats, then any other audio-only one). `video` is filled only for client 5 (the WEB info request), after
// being cleared; `choice` is always rebuilt. `video_format`, `sub_format` and `sub_language` are
// the settings (nullptr when absent). The caption URL of the previous parse is kept for clients
// other than 5 when the new response offers none.
void parse_player(list_item &video, stream_choice &choice, const char *text, int32_t client_code,
                  const char *video_format, const char *sub_format, const char *sub_language,
                  bool allow_hdr, bool all_codecs);

// The playable URL of one entry of `formats` or `adaptiveFormats`: its `url`, or the URL and
// signature of its `signatureCipher` joined as "%s&sig=%s". Absent when there is none.
Text stream_url(const char *format);

// Chooses the video and audio playlist URIs of an HLS master playlist by a quality name and
// stores them as choice.video_url and choice.audio_url (absent when nothing qualifies). When no
// variant has a stream number of the quality's family (live masters offer only 91-96, 300 and
// 301), the variant nearest the quality's height is taken: the best at or below it, else the
// lowest above; so a master with variants always gives a video stream (unless the quality name
// belongs to no family).
void pick_hls(stream_choice &choice, const char *quality_name, const char *manifest,
              bool allow_hdr, bool all_codecs);

// A duration in seconds as "%d:%02d" below 3600 seconds, else "%d:%02d:%02d".
std::string duration_text(uint32_t seconds);
// Whether the panel shows the video: it has a title, a channel name and an id other than "(null)".
bool video_presentable(const list_item &video);

// ---- Addresses handed to the player ----

// Host suffixes whose https addresses the player may open: the service's media and manifest
// servers (googlevideo.com) and its caption and watch pages (youtube.com). A host matches a
// suffix when it equals it or ends with "." and the suffix.
inline constexpr const char *MEDIA_HOST_SUFFIXES[] = {"googlevideo.com", "youtube.com"};

// The verdict on one address: `allowed`, else its scheme ("" for a local path) and host ("" when
// it names none), for the message that refuses it.
struct MediaUrlCheck {
    bool allowed = false;
    std::string scheme;
    std::string host;
};

// Whether `url` may reach the player: an "https://" address without control characters, blanks
// or user information, whose host (port 443 or none) matches MEDIA_HOST_SUFFIXES. Hosts and
// "ADDRESS:PORT" targets named by SOLVANE_RESOLVE ("HOST:443:ADDRESS:PORT", comma-separated)
// are allowed as well, so test servers stand in for the service.
MediaUrlCheck media_url_check(std::string_view url);

// Checks `url` (the `what` of a load: "video", "audio", "caption", "manifest"). Allowed: nothing.
// Refused: a WARNING "refused WHAT URL: scheme S, host H" ("none" for a missing part) and the
// status-line text "play failed: WHAT URL refused (scheme S, host H)".
std::optional<std::string> media_url_refuse(const char *what, std::string_view url);

// Whether `id` has the shape of a video id (11 characters of A-Z, a-z, 0-9, "-" and "_"), so
// a watch URL built from it names that video and nothing else.
bool video_id_valid(std::string_view id);

// The format number of a `video_format` name (299 for any unknown name or nullptr).
uint32_t format_number(const char *name);
// The HLS quality name of a `video_format` name ("1080_60" for anything unknown).
const char *hls_quality_name(const char *name);
// The name of a subtitle format number ("vtt" for an unknown number).
const char *sub_format_name(uint32_t format);
// The HLS stream number of a format number (0 for none).
uint32_t hls_stream_number(uint32_t format);
// The HDR counterpart of a format number (the number itself when it has none).
uint32_t hdr_counterpart(uint32_t format);
// True when the number belongs to the muxed (HLS) family: streams that carry their audio.
bool format_is_muxed(uint32_t format);
