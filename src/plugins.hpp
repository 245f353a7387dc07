// Plugins: definitions loaded once from ruvo.plugins and filed by function
// name, and their records made at matching events.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "call_site.hpp"
#include "filters.hpp"
#include "ids.hpp"
#include "refs.hpp"
#include "report.hpp"
#include "store.hpp"

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

// What plugin processing needs of the profiler: the lock over the
// processors' frame ids, the serialiser setting, the thread's recorded calls
// (for call sites) and where failures are counted.
struct PluginHost {
    PoisonMutex& plugins_lock;
    bool lightweight_repr;
    const std::vector<CallFrame>& call_frames;
    FailureLog* failures;
};

// Runs `processors` (those filed under the frame's co_name) against one
// event and appends the records of those that fire. Failures are reported and
// skip only the processor concerned.
void process_plugins(const PluginHost& host, const std::vector<PluginProcessor>& processors,
                     const PluginEvent& event, std::vector<EventRecord>& records);

}  // namespace ruvo
