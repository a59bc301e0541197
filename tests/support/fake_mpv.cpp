#include "support/fake_mpv.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>

namespace fakehost {
namespace {

struct State {
    std::vector<Command> commands;
    std::string expand;
    std::map<std::string, std::string> props;
    std::set<std::string> failing;
    int reads = 0;
    std::deque<Event> events;
    std::vector<uint64_t> hooks;
    // storage for the event handed out by mpv_wait_event
    mpv_event current{};
    mpv_event_client_message message{};
    std::vector<const char *> message_args;
    std::vector<std::string> message_strings;
    mpv_event_property property{};
    mpv_node property_node{};
    mpv_node_list property_list{};
    std::vector<mpv_node> property_values;
    std::vector<char *> property_keys;
    std::string property_name;
    mpv_event_hook hook{};
    mpv_event_end_file end_file{};
};

State &state() {
    static State s;
    return s;
}

int handle_token;

std::string node_text(const mpv_node &n) {
    switch (n.format) {
    case MPV_FORMAT_STRING: return n.u.string;
    case MPV_FORMAT_INT64: return std::to_string(n.u.int64);
    case MPV_FORMAT_FLAG: return n.u.flag ? "yes" : "no";
    case MPV_FORMAT_DOUBLE: return std::to_string(n.u.double_);
    default: return "?";
    }
}

// Map entries as "key=value"; a nested map adds its entries as "key.inner=value", in order.
void record_map(Command &c, const std::string &prefix, const mpv_node_list &map) {
    for (int i = 0; i < map.num; ++i) {
        std::string key = prefix + map.keys[i];
        if (map.values[i].format == MPV_FORMAT_NODE_MAP)
            record_map(c, key + ".", *map.values[i].u.list);
        else
            c.push_back(key + "=" + node_text(map.values[i]));
    }
}

void free_property_storage(State &s) {
    for (char *k : s.property_keys) std::free(k);
    s.property_keys.clear();
    s.property_values.clear();
}

} // namespace

void reset() {
    free_property_storage(state());
    state() = State{};
}
mpv_handle *handle() { return reinterpret_cast<mpv_handle *>(&handle_token); }
const std::vector<Command> &commands() { return state().commands; }
void set_expand_path(const std::string &result) { state().expand = result; }
void set_property(const std::string &name, const std::string &value) { state().props[name] = value; }
void fail_property(const std::string &name) { state().failing.insert(name); }
const std::map<std::string, std::string> &properties() { return state().props; }
int property_reads() { return state().reads; }
void push_event(const Event &event) { state().events.push_back(event); }
std::vector<uint64_t> continued_hooks() { return state().hooks; }

} // namespace fakehost

using fakehost::state;

extern "C" {

int mpv_command(mpv_handle *, const char **args) {
    fakehost::Command c;
    for (; *args; ++args) c.emplace_back(*args);
    state().commands.push_back(c);
    return 0;
}

int mpv_command_node(mpv_handle *, mpv_node *args, mpv_node *result) {
    fakehost::Command c;
    if (args->format == MPV_FORMAT_NODE_ARRAY) {
        for (int i = 0; i < args->u.list->num; ++i) c.push_back(fakehost::node_text(args->u.list->values[i]));
    } else if (args->format == MPV_FORMAT_NODE_MAP) {
        fakehost::record_map(c, "", *args->u.list);
    }
    state().commands.push_back(c);
    if (result) *result = mpv_node{};
    if (!c.empty() && c[0] == "expand-path") {
        if (state().expand.empty()) return MPV_ERROR_COMMAND;
        if (result) {
            result->format = MPV_FORMAT_STRING;
            result->u.string = strdup(state().expand.c_str());
        }
    }
    return 0;
}

void mpv_free_node_contents(mpv_node *node) {
    if (node->format == MPV_FORMAT_STRING) std::free(node->u.string);
    if (node->format == MPV_FORMAT_NODE_MAP && node->u.list) {
        for (int i = 0; i < node->u.list->num; ++i) {
            std::free(node->u.list->keys[i]);
            mpv_free_node_contents(&node->u.list->values[i]);
        }
        std::free(node->u.list->keys);
        std::free(node->u.list->values);
        std::free(node->u.list);
    }
    *node = mpv_node{};
}

void mpv_free(void *data) { std::free(data); }

int mpv_get_property(mpv_handle *, const char *name, mpv_format format, void *data) {
    state().reads++;
    if (state().failing.count(name)) return MPV_ERROR_PROPERTY_UNAVAILABLE;
    auto it = state().props.find(name);
    if (it == state().props.end()) return MPV_ERROR_PROPERTY_NOT_FOUND;
    // Numbers are read from the scripted text, which must hold the whole number.
    const char *text = it->second.c_str();
    char *end = nullptr;
    switch (format) {
    case MPV_FORMAT_STRING:
        *static_cast<char **>(data) = strdup(text);
        return 0;
    case MPV_FORMAT_INT64: {
        long long v = std::strtoll(text, &end, 10);
        if (end == text || *end) return MPV_ERROR_PROPERTY_FORMAT;
        *static_cast<int64_t *>(data) = v;
        return 0;
    }
    case MPV_FORMAT_DOUBLE: {
        double v = std::strtod(text, &end);
        if (end == text || *end) return MPV_ERROR_PROPERTY_FORMAT;
        *static_cast<double *>(data) = v;
        return 0;
    }
    case MPV_FORMAT_NODE: {
        // A map of integers, scripted as "key=value,key=value".
        auto *list = static_cast<mpv_node_list *>(std::calloc(1, sizeof(mpv_node_list)));
        std::vector<std::pair<std::string, long long>> entries;
        std::string all = text;
        for (size_t start = 0; start < all.size();) {
            size_t comma = std::min(all.find(',', start), all.size());
            std::string entry = all.substr(start, comma - start);
            size_t eq = entry.find('=');
            if (eq != std::string::npos)
                entries.emplace_back(entry.substr(0, eq),
                                     std::strtoll(entry.c_str() + eq + 1, nullptr, 10));
            start = comma + 1;
        }
        list->num = static_cast<int>(entries.size());
        list->keys = static_cast<char **>(std::calloc(entries.size() + 1, sizeof(char *)));
        list->values = static_cast<mpv_node *>(std::calloc(entries.size() + 1, sizeof(mpv_node)));
        for (size_t i = 0; i < entries.size(); ++i) {
            list->keys[i] = strdup(entries[i].first.c_str());
            list->values[i].format = MPV_FORMAT_INT64;
            list->values[i].u.int64 = entries[i].second;
        }
        auto *node = static_cast<mpv_node *>(data);
        node->format = MPV_FORMAT_NODE_MAP;
        node->u.list = list;
        return 0;
    }
    default:
        return MPV_ERROR_PROPERTY_FORMAT;
    }
}

int mpv_set_property(mpv_handle *, const char *name, mpv_format format, void *data) {
    if (format == MPV_FORMAT_STRING) state().props[name] = *static_cast<char **>(data);
    return 0;
}

int mpv_set_property_string(mpv_handle *, const char *name, const char *data) {
    if (state().failing.count(name)) return MPV_ERROR_PROPERTY_NOT_FOUND;
    state().props[name] = data;
    return 0;
}

int mpv_observe_property(mpv_handle *, uint64_t, const char *name, mpv_format) {
    state().commands.push_back({"observe", name});
    return 0;
}

int mpv_hook_continue(mpv_handle *, uint64_t id) {
    state().hooks.push_back(id);
    return 0;
}

int mpv_get_wakeup_pipe(mpv_handle *) { return -1; }

mpv_event *mpv_wait_event(mpv_handle *, double) {
    auto &s = state();
    s.current = mpv_event{};
    if (s.events.empty()) {
        s.current.event_id = MPV_EVENT_NONE;
        return &s.current;
    }
    fakehost::Event e = s.events.front();
    s.events.pop_front();
    s.current.event_id = e.id;
    if (e.id == MPV_EVENT_CLIENT_MESSAGE) {
        s.message_strings = e.args;
        s.message_args.clear();
        for (auto &a : s.message_strings) s.message_args.push_back(a.c_str());
        s.message.num_args = static_cast<int>(s.message_args.size());
        s.message.args = s.message_args.data();
        s.current.data = &s.message;
    } else if (e.id == MPV_EVENT_PROPERTY_CHANGE) {
        fakehost::free_property_storage(s);
        s.property_name = e.property;
        for (auto &[k, v] : e.values) {
            s.property_keys.push_back(strdup(k.c_str()));
            mpv_node n{};
            n.format = MPV_FORMAT_INT64;
            n.u.int64 = v;
            s.property_values.push_back(n);
        }
        s.property_list.num = static_cast<int>(s.property_values.size());
        s.property_list.values = s.property_values.data();
        s.property_list.keys = s.property_keys.data();
        s.property_node.format = MPV_FORMAT_NODE_MAP;
        s.property_node.u.list = &s.property_list;
        if (e.flag >= 0) {
            s.property_node.format = MPV_FORMAT_FLAG;
            s.property_node.u.flag = e.flag;
        }
        s.property.name = s.property_name.c_str();
        s.property.format = MPV_FORMAT_NODE;
        s.property.data = &s.property_node;
        s.current.data = &s.property;
    } else if (e.id == MPV_EVENT_END_FILE) {
        s.end_file = mpv_event_end_file{};
        s.end_file.reason = e.end_reason;
        s.current.data = &s.end_file;
    } else if (e.id == MPV_EVENT_HOOK) {
        s.hook.name = "on_load";
        s.hook.id = e.hook_id;
        s.current.data = &s.hook;
    }
    return &s.current;
}

} // extern "C"
