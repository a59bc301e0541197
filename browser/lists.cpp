#include "browser/lists.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/json.h"
#include "base/runtime.h"
#include "service/innertube.h"
#include "service/player.h"

namespace {

const char *skip_blanks(const char *p) {
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
    return p;
}

// How the string values of one entry are read.
enum ValueForm { VALUE_RAW, VALUE_DECODED };

// A string member of an entry; absent when the member is missing or not a string.
Text member_text(const char *entry, const char *path, ValueForm form) {
    const char *value = json_get(entry, path);
    if (json_type(value) != JSON_STRING) return std::nullopt;
    Text raw = json_strdup(value);
    if (!raw || form == VALUE_RAW) return raw;
    return json_unescape(raw->data(), static_cast<long>(raw->size()));
}

// Walks the elements of a list file, handing each object to `read`; see favorites_parse.
template <class Read>
void walk_entries(const char *text, Read read) {
    if (!text) return;
    const char *p = skip_blanks(text);
    if (*p != '[') return;
    p = skip_blanks(p + 1);
    while (*p == '{') {
        const char *end = json_skip(p);
        if (!end) return; // a cut or malformed entry ends the list; it is not half-read
        read(p);
        p = skip_blanks(end);
        if (*p != ',') return;
        p = skip_blanks(p + 1);
    }
}

// A string value as JSON string content: quotes, backslashes and control characters escaped.
void append_escaped(std::string &out, std::string_view text) {
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(c));
            out += escape;
        } else {
            out += c;
        }
    }
}

void append_member(std::string &out, const char *name, const Text &value) {
    out += '"';
    out += name;
    out += "\": \"";
    append_escaped(out, value ? std::string_view(*value) : std::string_view());
    out += '"';
}

constexpr const char *FRAME_OPEN = "[\n";
constexpr const char *FRAME_CLOSE = "  null\n]\n";

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};

// The whole text of a list file, or absent when there is nothing to read.
Text read_list_file(const std::string &path) {
    std::unique_ptr<FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
    if (!f) return std::nullopt;
    struct stat st;
    if (fstat(fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode)) {
        log_warning("list file is not a regular file", path.c_str());
        return std::nullopt;
    }
    if (static_cast<uint64_t>(st.st_size) >= FILE_SIZE_LIMIT) {
        log_warning("list file too large", path.c_str());
        return std::nullopt;
    }
    std::string text;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f.get())) > 0) {
        text.append(buffer, got);
        if (text.size() >= FILE_SIZE_LIMIT) {
            log_warning("list file too large", path.c_str());
            return std::nullopt;
        }
    }
    if (std::ferror(f.get())) {
        log_warning("cannot read list file", path.c_str());
        return std::nullopt;
    }
    return text;
}

std::string text_or(const Text &text, const char *fallback) { return text ? *text : fallback; }

} // namespace

std::string list_thumbnail_url(std::string_view video_id) {
    return std::string("https://") + THUMBNAIL_HOST + "/vi/" + std::string(video_id) +
           "/mqdefault.jpg";
}

size_t favorites_parse(ItemList &favorites, const char *text) {
    size_t added = 0;
    walk_entries(text, [&](const char *entry) {
        if (member_text(entry, ".type", VALUE_RAW) != "playlist") return;
        ValueForm form = json_true(json_get(entry, ".escaped")) ? VALUE_DECODED : VALUE_RAW;
        auto *item = new list_item{};
        item->kind = ITEM_PLAYLIST;
        item->id = member_text(entry, ".id", form);
        item->title = member_text(entry, ".title", form);
        item->published_text = std::string();
        item->length_text = member_text(entry, ".count", form);
        item->label = member_text(entry, ".thumb_id", form);
        item->thumb_url = list_thumbnail_url(item->label.value_or(""));
        favorites.append(item, ITEM_TAG);
        ++added;
    });
    return added;
}

size_t history_parse(ItemList &history, const char *text) {
    size_t added = 0;
    walk_entries(text, [&](const char *entry) {
        if (member_text(entry, ".type", VALUE_RAW) != "video") return;
        auto *item = new list_item{};
        item->kind = ITEM_VIDEO;
        item->id = member_text(entry, ".id", VALUE_DECODED);
        item->title = member_text(entry, ".title", VALUE_DECODED);
        item->published_text = std::string();
        long duration = json_long(json_get(entry, ".duration"), 0);
        item->duration = duration < 0 ? 0 : static_cast<uint32_t>(std::min<long>(duration, UINT32_MAX));
        item->length_text = duration_text(item->duration);
        item->thumb_url = list_thumbnail_url(item->id.value_or(""));
        history.append(item, ITEM_TAG);
        ++added;
    });
    return added;
}

std::string favorites_text(ItemList &favorites) {
    std::string out = FRAME_OPEN;
    for (list_item *item : favorites) {
        if (item->kind != ITEM_PLAYLIST) continue;
        out += "  {\"type\": \"playlist\", ";
        append_member(out, "id", item->id);
        out += ", ";
        append_member(out, "title", item->title);
        out += ", ";
        append_member(out, "thumb_id", item->label);
        out += ", ";
        append_member(out, "count", item->length_text);
        out += ", \"escaped\": true},\n";
    }
    return out + FRAME_CLOSE;
}

std::string history_text(ItemList &history) {
    std::string out = FRAME_OPEN;
    for (list_item *item : history) {
        if (item->kind != ITEM_VIDEO) continue;
        std::string title = item->title.value_or("");
        for (char &c : title)
            if (c == '"' || c == '\\') c = ' ';
        out += "  {\"type\": \"video\", ";
        append_member(out, "id", item->id);
        out += ", ";
        append_member(out, "title", title);
        out += ", ";
        append_member(out, "thumb_id", item->id);
        out += ", \"duration\": " + std::to_string(item->duration) + "},\n";
    }
    return out + FRAME_CLOSE;
}

size_t favorites_load(ItemList &favorites, const std::string &path) {
    Text text = read_list_file(path);
    return text ? favorites_parse(favorites, text->c_str()) : 0;
}

size_t history_load(ItemList &history, const std::string &path) {
    Text text = read_list_file(path);
    return text ? history_parse(history, text->c_str()) : 0;
}

bool favorites_save(ItemList &favorites, const std::string &path) {
    return file_replace(path, favorites_text(favorites));
}

bool history_save(ItemList &history, const std::string &path) {
    return file_replace(path, history_text(history));
}

list_item favorite_from_info(const list_info &shown) {
    list_item item;
    item.kind = ITEM_PLAYLIST;
    item.id = text_or(shown.id, "unknown");
    item.title = text_or(shown.title, "unknown");
    if (shown.id && shown.id->starts_with("UU") && shown.owner_name && !shown.owner_name->empty())
        item.title = *shown.owner_name;
    item.channel_name = text_or(shown.owner_name, "unknown");
    item.channel_id = text_or(shown.owner_id, "unknown");
    item.description = text_or(shown.description, "unknown");
    item.views_text = std::string();
    item.published_text = std::string();
    item.length_text = text_or(shown.count_text, "0") + " Videos";
    item.label = text_or(shown.first_video_id, "unknown");
    item.thumb_url = list_thumbnail_url(shown.first_video_id.value_or(""));
    return item;
}

list_item *favorites_find(ItemList &favorites, std::string_view id) {
    for (list_item *item : favorites)
        if (item->id && *item->id == id) return item;
    return nullptr;
}

bool favorites_add(ItemList &favorites, const list_info &shown, const std::string &path) {
    if (!shown.id) return false;
    if (!favorites_find(favorites, *shown.id))
        favorites.append(new list_item(favorite_from_info(shown)), ITEM_TAG);
    favorites_save(favorites, path);
    return true;
}

void favorites_refresh(ItemList &favorites, const list_info &shown, const std::string &path) {
    if (shown.kind != LIST_PLAYLIST || !shown.id) return;
    if (list_item *item = favorites_find(favorites, *shown.id)) *item = favorite_from_info(shown);
    favorites_save(favorites, path);
}

bool favorites_remove(ItemList &favorites, std::string_view id, const std::string &path) {
    for (ItemList::Node *node = favorites.first(); node; node = favorites.after(node)) {
        if (node->data->id && *node->data->id == id) {
            favorites.remove(node);
            favorites_save(favorites, path);
            return true;
        }
    }
    return false;
}

void history_record(ItemList &history, const list_item &video, bool save, const std::string &path) {
    if (!video.id) return;
    for (ItemList::Node *node = history.first(); node;) {
        ItemList::Node *next = history.after(node);
        if (node->data->id == video.id) history.remove(node);
        node = next;
    }
    auto *entry = new list_item(list_item_copy(video));
    entry->kind = ITEM_VIDEO;
    entry->length_text = duration_text(entry->duration);
    entry->published_text = std::string();
    history.push(entry, ITEM_TAG);
    if (save) history_save(history, path);
}

void mark_watched(ItemList &results, ItemList &history) {
    std::unordered_set<std::string_view> watched;
    for (list_item *entry : history)
        if (entry->id) watched.insert(*entry->id);
    if (watched.empty()) return;
    for (list_item *item : results)
        if (item->id && watched.count(*item->id)) item->flags |= ITEM_FLAG_WATCHED;
}

size_t list_copy_entries(ItemList &source, ItemList &results) {
    size_t count = 0;
    for (list_item *item : source) {
        results.append(new list_item(*item), ITEM_TAG);
        ++count;
    }
    return count;
}

bool listing_dump(std::string_view body, const char *path) {
    if (body.size() >= FILE_SIZE_LIMIT) {
        log_warning("listing dump skipped", "file too large");
        return false;
    }
    std::unique_ptr<FILE, FileCloser> f(std::fopen(path, "wb"));
    if (!f) {
        log_warning("cannot write listing dump", path);
        return false;
    }
    bool ok = body.empty() || std::fwrite(body.data(), 1, body.size(), f.get()) == body.size();
    ok = std::fclose(f.release()) == 0 && ok;
    if (!ok) log_warning("cannot write listing dump", path);
    return ok;
}
