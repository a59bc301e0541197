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

// The end of the object at `p` when it is well formed at its own level ("name": value pairs
// separated by commas), else nullptr with `*stopped` at the first byte that does not fit.
const char *object_end(const char *p, const char **stopped) {
    p = skip_blanks(p + 1);
    if (*p == '}') return p + 1;
    for (;;) {
        const char *name_end = *p == '"' ? json_skip(p) : nullptr;
        if (!name_end) break;
        p = skip_blanks(name_end);
        if (*p != ':') break;
        p = skip_blanks(p + 1);
        const char *value_end = nullptr;
        switch (json_type(p)) {
        case JSON_INVALID:
            break;
        case JSON_PRIMITIVE:
            // Numbers as people write them ("0x10") end where the next member or the end does.
            value_end = p;
            while (*value_end && !std::strchr(",}] \t\r\n", *value_end)) ++value_end;
            break;
        default:
            value_end = json_skip(p);
            break;
        }
        if (!value_end) break;
        p = skip_blanks(value_end);
        if (*p == '}') return p + 1;
        if (*p != ',') break;
        p = skip_blanks(p + 1);
    }
    *stopped = p;
    return nullptr;
}

// Whether the entries of a list may be in the unescaped form of earlier versions, whose values
// can hold bare quotes and so are not always well formed.
enum EntryForms { ENTRIES_STRICT, ENTRIES_MAY_BE_UNESCAPED };

// Walks the elements of a list file, handing each object to `read`; see favorites_parse.
template <class Read>
void walk_entries(const char *text, ListRead *result, EntryForms forms, Read read) {
    ListRead ignored;
    ListRead &out = result ? *result : ignored;
    out = {};
    if (!text) {
        out.complete = true;
        return;
    }
    const char *p = skip_blanks(text);
    auto stop = [&](const char *at, bool complete) {
        out.stopped_at = static_cast<size_t>(at - text);
        out.complete = complete;
    };
    if (*p == '\0') return stop(p, true); // blanks only: an empty list
    if (*p != '[') return stop(p, false);
    p = skip_blanks(p + 1);
    while (*p == '{') {
        const char *stopped = p;
        const char *end = object_end(p, &stopped);
        if (!end && forms == ENTRIES_MAY_BE_UNESCAPED) {
            // An entry of an earlier version is read as it always was, as far as its braces go;
            // one that says it is escaped must be well formed.
            const char *loose = json_skip(p);
            if (loose && std::string_view(p, size_t(loose - p)).find("\"escaped\": true") ==
                             std::string_view::npos)
                end = loose;
        }
        if (!end) return stop(stopped, false); // a cut or malformed entry is not half-read
        read(p);
        p = skip_blanks(end);
        if (*p != ',') break;
        p = skip_blanks(p + 1);
    }
    // The proper end: the closing null (every entry line ends with a comma) and ']', or a bare
    // ']', then nothing but blanks.
    if (std::strncmp(p, "null", 4) == 0) p = skip_blanks(p + 4);
    if (*p != ']') return stop(p, false);
    p = skip_blanks(p + 1);
    stop(p, *p == '\0');
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

// How reading a list file went.
enum ListFileRead { LIST_FILE_ABSENT, LIST_FILE_READ, LIST_FILE_UNREADABLE };

// Reads the whole list file into `text`. A missing file is ABSENT; a file that exists but
// cannot be read whole (not a regular file, over the size limit, a read error) is UNREADABLE,
// with a WARNING.
ListFileRead read_list_file(const std::string &path, std::string &text) {
    // Not blocking: a FIFO in the file's place must not stop the player.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return LIST_FILE_ABSENT;
        std::string detail = path + ": " + std::strerror(errno);
        log_warning("cannot read list file", detail.c_str());
        return LIST_FILE_UNREADABLE;
    }
    std::unique_ptr<FILE, FileCloser> f(fdopen(fd, "rb"));
    if (!f) {
        ::close(fd);
        return LIST_FILE_UNREADABLE;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        log_warning("list file is not a regular file", path.c_str());
        return LIST_FILE_UNREADABLE;
    }
    if (static_cast<uint64_t>(st.st_size) > LIST_FILE_SIZE_LIMIT) {
        log_warning("list file too large", path.c_str());
        return LIST_FILE_UNREADABLE;
    }
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f.get())) > 0) {
        text.append(buffer, got);
        if (text.size() > LIST_FILE_SIZE_LIMIT) {
            log_warning("list file too large", path.c_str());
            return LIST_FILE_UNREADABLE;
        }
    }
    if (std::ferror(f.get())) {
        log_warning("cannot read list file", path.c_str());
        return LIST_FILE_UNREADABLE;
    }
    return LIST_FILE_READ;
}

// Loads one list file with `parse`; see favorites_load.
template <class Parse>
size_t list_load(ListFile &file, Parse parse) {
    file.damaged = false;
    if (file.path.empty()) return 0;
    file_replace_cleanup(file.path);
    std::string text;
    ListFileRead how = read_list_file(file.path, text);
    if (how == LIST_FILE_ABSENT) return 0;
    ListRead read;
    size_t added = how == LIST_FILE_READ ? parse(text.c_str(), &read) : 0;
    // A NUL byte inside the text also ends reading before the end of the file.
    if (how == LIST_FILE_READ && read.complete && read.stopped_at == text.size()) return added;
    file.damaged = true;
    std::string what = std::string(file.name) + " file damaged";
    std::string detail = file.path + ": reading stopped at byte " +
                         std::to_string(how == LIST_FILE_READ ? read.stopped_at : 0) +
                         ", the file is kept and not rewritten";
    log_warning(what.c_str(), detail.c_str());
    return added;
}

// Writes the list text to the file unless it is damaged; see favorites_save.
std::string list_save(ListFile &file, const std::string &text) {
    if (file.damaged) return list_file_damaged_text(file);
    std::string reason;
    if (file_replace(file.path, text, &reason)) return {};
    return std::string("could not save ") + file.name + ": " + reason;
}

std::string text_or(const Text &text, const char *fallback) { return text ? *text : fallback; }

} // namespace

std::string list_thumbnail_url(std::string_view video_id) {
    return std::string("https://") + THUMBNAIL_HOST + "/vi/" + std::string(video_id) +
           "/mqdefault.jpg";
}

std::string list_file_damaged_text(const ListFile &file) {
    return std::string(file.name) + " file damaged: " + file.path + " kept, changes not saved";
}

size_t favorites_parse(ItemList &favorites, const char *text, ListRead *read) {
    size_t added = 0;
    walk_entries(text, read, ENTRIES_MAY_BE_UNESCAPED, [&](const char *entry) {
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

size_t history_parse(ItemList &history, const char *text, ListRead *read) {
    size_t added = 0;
    walk_entries(text, read, ENTRIES_STRICT, [&](const char *entry) {
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

size_t favorites_load(ItemList &favorites, ListFile &file) {
    return list_load(file, [&](const char *text, ListRead *read) {
        return favorites_parse(favorites, text, read);
    });
}

size_t history_load(ItemList &history, ListFile &file) {
    return list_load(file, [&](const char *text, ListRead *read) {
        return history_parse(history, text, read);
    });
}

std::string favorites_save(ItemList &favorites, ListFile &file) {
    return list_save(file, favorites_text(favorites));
}

std::string history_save(ItemList &history, ListFile &file) {
    return list_save(file, history_text(history));
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

std::string favorites_add(ItemList &favorites, const list_info &shown, ListFile &file) {
    if (!shown.id) return {};
    ItemList::Node *added = nullptr;
    if (!favorites_find(favorites, *shown.id))
        added = favorites.append(new list_item(favorite_from_info(shown)), ITEM_TAG);
    std::string failure = favorites_save(favorites, file);
    if (!failure.empty() && added) favorites.remove(added);
    return failure;
}

std::string favorites_refresh(ItemList &favorites, const list_info &shown, ListFile &file) {
    if (shown.kind != LIST_PLAYLIST || !shown.id) return {};
    list_item *item = favorites_find(favorites, *shown.id);
    if (!item) return file.damaged ? std::string() : favorites_save(favorites, file);
    list_item old = std::move(*item);
    *item = favorite_from_info(shown);
    std::string failure = favorites_save(favorites, file);
    if (!failure.empty()) *item = std::move(old);
    return failure;
}

bool favorites_remove(ItemList &favorites, std::string_view id, ListFile &file,
                      std::string &failure) {
    for (ItemList::Node *node = favorites.first(); node; node = favorites.after(node)) {
        if (!node->data->id || *node->data->id != id) continue;
        ItemList::Node *next = favorites.after(node);
        list_item *item = favorites.take(node);
        failure = favorites_save(favorites, file);
        if (failure.empty()) {
            delete item;
            return true;
        }
        // Not written: the favourite goes back where it was, so the list matches the file.
        if (next) favorites.insert_before(next, item, ITEM_TAG);
        else favorites.append(item, ITEM_TAG);
        return false;
    }
    failure.clear();
    return false;
}

std::string history_record(ItemList &history, const list_item &video, bool save, ListFile &file) {
    if (!video.id) return {};
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
    return save ? history_save(history, file) : std::string();
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
        std::string detail = std::string(path) + ": " + std::strerror(errno);
        log_warning("cannot write listing dump", detail.c_str());
        return false;
    }
    int error = 0;
    if (!body.empty() && std::fwrite(body.data(), 1, body.size(), f.get()) != body.size())
        error = errno ? errno : EIO;
    if (std::fclose(f.release()) != 0 && !error) error = errno ? errno : EIO;
    if (!error) return true;
    std::remove(path);
    std::string detail = std::string(path) + ": " + std::strerror(error) + ", removed";
    log_warning("cannot write listing dump", detail.c_str());
    return false;
}
