// A scripted stand-in for the mpv client API used by unit tests. The code under test calls the
// usual mpv_* functions; the fake records what it was asked and answers from scripted state.
#pragma once

#include <mpv/client.h>

#include <map>
#include <string>
#include <vector>

namespace fakehost {

// A command as the code sent it: for map commands, "name" first, then "key=value" entries; the
// entries of a nested map follow as "key.inner=value".
using Command = std::vector<std::string>;

struct Event {
    mpv_event_id id;
    std::vector<std::string> args; // client message arguments
    std::string property;          // property change of a flag property ("idle-active") ...
    int flag = 0;                  // ... delivered as a MPV_FORMAT_FLAG node
    uint64_t hook_id = 0;
    mpv_end_file_reason end_reason = MPV_END_FILE_REASON_EOF; // end-file
};

void reset();
mpv_handle *handle();
const std::vector<Command> &commands();
// Scripted answer of "expand-path" (empty: the command fails).
void set_expand_path(const std::string &result);
// Scripted property text; reads as INT64 or DOUBLE parse it (a format error when it is no
// number), reads as NODE give a map of integers scripted as "key=value,key=value".
void set_property(const std::string &name, const std::string &value);
void fail_property(const std::string &name);
const std::map<std::string, std::string> &properties();
int property_reads();
void push_event(const Event &event);
// "key=value,key=value" as a node map of integers; free it with mpv_free_node_contents.
mpv_node int_map(const std::string &text);
std::vector<uint64_t> continued_hooks();

} // namespace fakehost
