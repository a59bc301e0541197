// solvane-inspect: shows what the service parsers make of a recorded response, and the request
// bodies and URLs the client sends. Output is JSON, one object per line; every text is printed
// as the exact bytes the record holds (JSON-escaped), absent texts as null.
//
//   solvane-inspect listing search|playlist|recommended|feed FILE [--max N]
//   solvane-inspect player FILE --client N [--format NAME] [--sub-format F] [--sub-language L]
//                   [--hdr] [--all-codecs]
//   solvane-inspect hls FILE --quality NAME [--hdr] [--all-codecs]
//   solvane-inspect body CODE VALUE
//   solvane-inspect search-body QUERY TYPE LIVE SORT
//   solvane-inspect url CODE VALUE
//   solvane-inspect age TEXT
//   solvane-inspect csv FILE
//   solvane-inspect glyphs TEXT [--font FILE] [--fallback FILE_OR_FAMILY]...
//
// A missing or unreadable file, an unknown kind or a malformed command line gives a one-line
// error on standard error and exit status 2.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/feed.h"
#include "service/innertube.h"
#include "service/items.h"
#include "service/listing.h"
#include "service/player.h"
#include "gfx/text.h"
#include "gfx/utf8.h"

namespace {

[[noreturn]] void fail(const std::string &message) {
    std::fprintf(stderr, "solvane-inspect: %s\n", message.c_str());
    std::exit(2);
}

std::string read_whole(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) fail("cannot open " + path + ": " + std::strerror(errno));
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) fail("cannot read " + path);
    return text;
}

long parse_number(const char *text, const char *what) {
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (!*text || *end || errno) fail(std::string("bad ") + what + ": " + text);
    return value;
}

// JSON string of the exact bytes; control bytes, quotes and backslashes are escaped.
std::string quoted(std::string_view bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += char(c);
            }
        }
    }
    return out + "\"";
}

std::string text_json(const Text &text) { return text ? quoted(*text) : "null"; }

// Builds one JSON object member by member.
struct ObjectWriter {
    std::string out = "{";
    void member(const char *name, const std::string &json_value) {
        if (out.size() > 1) out += ", ";
        out += quoted(name) + ": " + json_value;
    }
    void text(const char *name, const Text &value) { member(name, text_json(value)); }
    void number(const char *name, unsigned long long value) {
        member(name, std::to_string(value));
    }
    std::string done() { return out + "}"; }
};

std::string item_json(const list_item &item) {
    ObjectWriter w;
    w.number("kind", item.kind);
    w.text("id", item.id);
    w.text("title", item.title);
    w.text("channel_name", item.channel_name);
    w.text("channel_id", item.channel_id);
    w.text("thumb_url", item.thumb_url);
    w.text("description", item.description);
    w.text("views_text", item.views_text);
    w.text("published_text", item.published_text);
    w.text("length_text", item.length_text);
    w.text("label", item.label);
    w.number("view_count", item.view_count);
    w.number("duration", item.duration);
    w.number("flags", item.flags);
    return w.done();
}

std::string info_json(const list_info &info) {
    ObjectWriter w;
    w.text("id", info.id);
    w.text("first_video_id", info.first_video_id);
    w.text("title", info.title);
    w.text("description", info.description);
    w.text("count_text", info.count_text);
    w.text("owner_name", info.owner_name);
    w.text("owner_id", info.owner_id);
    w.text("owner_thumb_url", info.owner_thumb_url);
    w.text("continuation", info.continuation);
    w.number("kind", info.kind);
    return w.done();
}

void print_rows(ItemList &list) {
    for (list_item *item : list) std::printf("%s\n", item_json(*item).c_str());
}

// Options after the positional arguments: "--name value" or "--flag".
struct Options {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::optional<std::string>>> named;

    std::optional<std::string> value(const char *name) const {
        for (const auto &[key, v] : named)
            if (key == name) return v;
        return std::nullopt;
    }
    bool flag(const char *name) const {
        for (const auto &[key, v] : named)
            if (key == name) return true;
        return false;
    }
};

Options parse_options(int argc, char **argv, std::initializer_list<const char *> with_value,
                      std::initializer_list<const char *> flags) {
    Options options;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        bool known = false;
        for (const char *name : with_value) {
            if (arg == name) {
                if (i + 1 >= argc) fail("missing value for " + arg);
                options.named.push_back({arg, std::string(argv[++i])});
                known = true;
            }
        }
        for (const char *name : flags) {
            if (arg == name) {
                options.named.push_back({arg, std::nullopt});
                known = true;
            }
        }
        if (!known) {
            if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) fail("unknown option " + arg);
            options.positional.push_back(arg);
        }
    }
    return options;
}

int run_listing(int argc, char **argv) {
    Options o = parse_options(argc, argv, {"--max"}, {});
    if (o.positional.size() != 2) fail("usage: listing search|playlist|recommended|feed FILE [--max N]");
    const std::string &kind_name = o.positional[0];
    uint32_t kind;
    if (kind_name == "search") kind = LIST_SEARCH;
    else if (kind_name == "playlist") kind = LIST_PLAYLIST;
    else if (kind_name == "recommended") kind = LIST_RECOMMENDED;
    else if (kind_name == "feed") kind = LIST_FEED;
    else fail("unknown listing kind " + kind_name);
    int max = LISTING_ENTRY_LIMIT;
    if (auto m = o.value("--max")) max = int(parse_number(m->c_str(), "--max"));
    std::string text = read_whole(o.positional[1]);
    ItemList list;
    list_info info;
    int count = parse_listing(&list, info, text.c_str(), kind, max);
    std::printf("{\"info\": %s, \"count\": %d}\n", info_json(info).c_str(), count);
    print_rows(list);
    return 0;
}

int run_player(int argc, char **argv) {
    Options o = parse_options(argc, argv, {"--client", "--format", "--sub-format", "--sub-language"},
                              {"--hdr", "--all-codecs"});
    if (o.positional.size() != 1) fail("usage: player FILE --client N [options]");
    auto client = o.value("--client");
    if (!client) fail("player needs --client N");
    int32_t code = int32_t(parse_number(client->c_str(), "--client"));
    std::string format = o.value("--format").value_or("1080p60");
    std::string sub_format = o.value("--sub-format").value_or("vtt");
    std::string sub_language = o.value("--sub-language").value_or("en");
    std::string text = read_whole(o.positional[0]);
    list_item video;
    stream_choice choice;
    parse_player(video, choice, text.c_str(), code, format.c_str(), sub_format.c_str(),
                 sub_language.c_str(), o.flag("--hdr"), o.flag("--all-codecs"));
    ObjectWriter c;
    c.number("wanted", choice.wanted);
    c.number("audio_itag", choice.audio_itag);
    c.number("sub_format", choice.sub_format);
    c.text("video_url", choice.video_url);
    c.text("audio_url", choice.audio_url);
    c.text("sub_url", choice.sub_url);
    c.text("hls_url", choice.hls_url);
    std::printf("{\"video\": %s, \"choice\": %s}\n", item_json(video).c_str(), c.done().c_str());
    return 0;
}

int run_hls(int argc, char **argv) {
    Options o = parse_options(argc, argv, {"--quality"}, {"--hdr", "--all-codecs"});
    if (o.positional.size() != 1) fail("usage: hls FILE --quality NAME [--hdr] [--all-codecs]");
    auto quality = o.value("--quality");
    if (!quality) fail("hls needs --quality NAME");
    std::string text = read_whole(o.positional[0]);
    stream_choice choice;
    pick_hls(choice, quality->c_str(), text.c_str(), o.flag("--hdr"), o.flag("--all-codecs"));
    ObjectWriter w;
    w.text("video_url", choice.video_url);
    w.text("audio_url", choice.audio_url);
    std::printf("%s\n", w.done().c_str());
    return 0;
}

int run_body(int argc, char **argv) {
    if (argc != 4) fail("usage: body CODE VALUE");
    int32_t code = int32_t(parse_number(argv[2], "code"));
    auto body = innertube_body(code, argv[3]);
    if (!body) fail("request code " + std::string(argv[2]) + " has no body");
    std::printf("%s\n", body->c_str());
    return 0;
}

int run_search_body(int argc, char **argv) {
    if (argc != 6) fail("usage: search-body QUERY TYPE LIVE SORT");
    std::string body = innertube_search_body(argv[2], int(parse_number(argv[3], "type")),
                                             int(parse_number(argv[4], "live")),
                                             int(parse_number(argv[5], "sort")));
    std::printf("%s\n", body.c_str());
    return 0;
}

int run_url(int argc, char **argv) {
    if (argc != 4) fail("usage: url CODE VALUE");
    int32_t code = int32_t(parse_number(argv[2], "code"));
    auto url = service_url(argv[3], code);
    if (!url) fail("request code " + std::string(argv[2]) + " has no URL");
    std::printf("%s\n", url->c_str());
    return 0;
}

int run_age(int argc, char **argv) {
    if (argc != 3) fail("usage: age TEXT");
    std::printf("%lld\n", static_cast<long long>(published_age(argv[2])));
    return 0;
}

int run_csv(int argc, char **argv) {
    if (argc != 3) fail("usage: csv FILE");
    std::string text = read_whole(argv[2]);
    ItemList favourites;
    import_subscriptions_text(favourites, text);
    print_rows(favourites);
    return 0;
}

// For each code point of the text, the font that draws it in the interface: "built-in" (or the
// --font file), a fallback font's file ("file#N" for a face of a collection), "invisible" for a
// format character no font has, or "missing" (drawn as a box). A byte that is not UTF-8 ends
// the text, as it does on screen.
int run_glyphs(int argc, char **argv) {
    Options o = parse_options(argc, argv, {"--font", "--fallback"}, {});
    if (o.positional.size() != 1)
        fail("usage: glyphs TEXT [--font FILE] [--fallback FILE_OR_FAMILY]...");
    auto font_file = o.value("--font");
    std::unique_ptr<Font> font = font_file ? font_load_file(*font_file) : font_load_builtin();
    std::vector<std::string> fallbacks;
    for (const auto &[name, value] : o.named)
        if (name == "--fallback" && value) fallbacks.push_back(*value);
    font_fallback_enable(font.get(), fallbacks, ".");
    const std::string &text = o.positional[0];
    for (size_t at = 0; at < text.size();) {
        uint32_t code_point = 0;
        int32_t length = utf8_decode(text.c_str() + at, &code_point);
        if (!length) {
            std::printf("{\"byte\": %zu, \"font\": \"not UTF-8: the text ends here\"}\n", at);
            break;
        }
        GlyphSource source = font_fallback_find(font.get(), code_point);
        std::string name = !source.font                   ? "invisible"
                           : source.font != font.get()    ? font_fallback_name(font.get(), source.font)
                           : source.glyph == 0            ? "missing"
                           : font_file                    ? *font_file
                                                          : "built-in";
        std::printf("{\"code_point\": \"U+%04X\", \"character\": %s, \"font\": %s}\n",
                    unsigned(code_point), quoted(text.substr(at, size_t(length))).c_str(),
                    quoted(name).c_str());
        at += size_t(length);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) fail("usage: solvane-inspect listing|player|hls|body|search-body|url|age|csv ...");
    std::string command = argv[1];
    if (command == "listing") return run_listing(argc, argv);
    if (command == "player") return run_player(argc, argv);
    if (command == "hls") return run_hls(argc, argv);
    if (command == "body") return run_body(argc, argv);
    if (command == "search-body") return run_search_body(argc, argv);
    if (command == "url") return run_url(argc, argv);
    if (command == "age") return run_age(argc, argv);
    if (command == "csv") return run_csv(argc, argv);
    if (command == "glyphs") return run_glyphs(argc, argv);
    fail("unknown command " + command);
}
