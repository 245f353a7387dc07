// Plugins: definitions loaded once from ruvo.plugins and filed by function
// name, and their records made at matching events.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "filters.hpp"
#include "refs.hpp"
#include "call_site.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "ids.hpp"
#include "msgpack.hpp"
#include "names.hpp"
#include "paths.hpp"
#include "qualname.hpp"
#include "serializer.hpp"

namespace ruvo {

struct PluginProcessor {
    Finder path_fragment;
    std::string call_type;
    std::string return_type;
    std::optional<std::string> subtype;
    std::optional<std::vector<std::string>> events;
    // Shared by every processor made from one definition.
    Ref context;
    Ref call;
    Ref process;
    // Id of each frame this processor fired for at a "call", by frame address.
    // The only part of the plugin table that changes after loading; guarded
    // by the profiler's plugins lock.
    mutable std::unordered_map<uintptr_t, Id> plugin_frame_ids;
};

struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
};

// Function name (a code object's co_name) to its processors, in definition
// order. Fixed after loading, so it is read without a lock.
using PluginMap = std::unordered_map<std::string, std::vector<PluginProcessor>, TextHash, std::equal_to<>>;

// Asks ruvo.plugins for its definitions and checks them. False with the error
// set; no partial map survives.
bool load_plugins(PyObject* config, PluginMap* out);

// One record of an event: its type ("frame" or the plugin's) and its bytes.
struct EventRecord {
    std::string type;  // short types such as "frame" live inside the string itself
    Buffer bytes;
};

struct ProfilerState;
struct ThreadData;

// What plugin processing needs to know of the event being processed.
struct PluginEvent {
    PyObject* frame;
    PyObject* arg;
    PyObject* event_name;  // the str "call" or "return"
    bool is_call;
    std::string_view filename;
    PyObject* co_filename;
    PyObject* co_name;
};

// Runs `processors` (those filed under the frame's co_name) against one
// event and appends the records of those that fire. Failures are reported and
// skip only the processor concerned.
void process_plugins(ProfilerState& state, ThreadData& thread, const std::vector<PluginProcessor>& processors,
                     const PluginEvent& event, std::vector<EventRecord>& records);

}  // namespace ruvo
