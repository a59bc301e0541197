#include "support/fake_mpv.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
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
    Event event;
    mpv_event current{};
    std::vector<const char *> args;
    mpv_event_client_message message{};
    mpv_node node{};
    mpv_event_property property{};
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

} // namespace

mpv_node int_map(const std::string &text) {
    auto *list = static_cast<mpv_node_list *>(std::calloc(1, sizeof(mpv_node_list)));
    list->keys = static_cast<char **>(std::calloc(text.size() + 1, sizeof(char *)));
    list->values = static_cast<mpv_node *>(std::calloc(text.size() + 1, sizeof(mpv_node)));
    for (size_t start = 0; start < text.size();) {
        size_t comma = std::min(text.find(',', start), text.size());
        std::string entry = text.substr(start, comma - start);
        start = comma + 1;
        size_t eq = entry.find('=');
        if (eq == std::string::npos) continue;
        list->keys[list->num] = strdup(entry.substr(0, eq).c_str());
        list->values[list->num].format = MPV_FORMAT_INT64;
        list->values[list->num++].u.int64 = std::strtoll(entry.c_str() + eq + 1, nullptr, 10);
    }
    mpv_node node{};
    node.format = MPV_FORMAT_NODE_MAP;
    node.u.list = list;
    return node;
}

void reset() { state() = State{}; }
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
        for (int i = 0; i < args->u.list->num; ++i)
            c.push_back(fakehost::node_text(args->u.list->values[i]));
    } else if (args->format == MPV_FORMAT_NODE_MAP) {
        fakehost::record_map(c, "", *args->u.list);
    }
    state().commands.push_back(c);
    if (result) *result = mpv_node{};
    if (c.empty() || c[0] != "expand-path") return 0;
    if (state().expand.empty()) return MPV_ERROR_COMMAND;
    if (result) {
        result->format = MPV_FORMAT_STRING;
        result->u.string = strdup(state().expand.c_str());
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
    case MPV_FORMAT_STRING: *static_cast<char **>(data) = strdup(text); return 0;
    case MPV_FORMAT_NODE: *static_cast<mpv_node *>(data) = fakehost::int_map(text); return 0;
    case MPV_FORMAT_INT64: *static_cast<int64_t *>(data) = std::strtoll(text, &end, 10); break;
    case MPV_FORMAT_DOUBLE: *static_cast<double *>(data) = std::strtod(text, &end); break;
    default: return MPV_ERROR_PROPERTY_FORMAT;
    }
    return end == text || *end ? MPV_ERROR_PROPERTY_FORMAT : 0;
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
    s.current = mpv_event{MPV_EVENT_NONE};
    if (s.events.empty()) return &s.current;
    const fakehost::Event &e = s.event = s.events.front();
    s.events.pop_front();
    s.current.event_id = e.id;
    if (e.id == MPV_EVENT_CLIENT_MESSAGE) {
        s.args.clear();
        for (auto &a : e.args) s.args.push_back(a.c_str());
        s.message = {int(s.args.size()), s.args.data()};
        s.current.data = &s.message;
    } else if (e.id == MPV_EVENT_PROPERTY_CHANGE) {
        s.node.format = MPV_FORMAT_FLAG;
        s.node.u.flag = e.flag;
        s.property = {e.property.c_str(), MPV_FORMAT_NODE, &s.node};
        s.current.data = &s.property;
    } else if (e.id == MPV_EVENT_END_FILE) {
        s.end_file = mpv_event_end_file{};
        s.end_file.reason = e.end_reason;
        s.current.data = &s.end_file;
    } else if (e.id == MPV_EVENT_HOOK) {
        s.hook = {"on_load", e.hook_id};
        s.current.data = &s.hook;
    }
    return &s.current;
}

} // extern "C"
