// The profiler: its state, the RuvoProfiler type that owns it, the profile
// callback and the per-event processing, record storage, and trace building
// and saving.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "filters.hpp"
#include "plugins.hpp"
#include "refs.hpp"
#include "utils.hpp"

namespace ruvo {

// Working memory of the event in progress on a thread, kept between events so
// that a recorded event stops allocating once it has grown to fit.
struct EventScratch {
    Buffer arg;
    Buffer locals;
    Buffer record;
    std::string qualname;
    std::vector<EventRecord> records;
};

// Per-thread working data. Each thread reaches only its own entry; see
// ProfilerState::threads for how entries are found.
struct ThreadData {
    // The thread's recorded, not yet returned calls, bottom first. Holds a
    // strong reference to each frame object.
    std::vector<CallFrame> call_frames;
    // Id of the latest recorded "call" of each frame address, so that the
    // matching "return" carries the same id.
    std::unordered_map<uintptr_t, Id> frame_ids;
    // Name and native id, asked once for frame records.
    std::optional<ThreadIdentity> identity;
    EventScratch scratch;
    // Set while an event of this thread works on the entry. The interpreter
    // never re-enters a thread's profile function, so finding it set is a
    // broken invariant rather than something to wait for.
    bool in_use = false;
};

// Encoded records, kept back to back in chunks. Records are only ever copied
// out whole and in order, into a trace document, so a record may straddle
// two chunks; memory stays close to the encoded size however many records
// there are.
class RecordStore {
  public:
    void append(std::string_view record);
    size_t count() const { return count_; }
    size_t size() const { return bytes_; }
    void copy_to(char* out) const;

  private:
    struct Chunk {
        std::unique_ptr<char[]> data;
        size_t used;
        size_t capacity;
    };
    std::vector<Chunk> chunks_;
    size_t count_ = 0;
    size_t bytes_ = 0;
};

struct ProfilerState {
    ~ProfilerState();

    // Fixed at construction.
    std::optional<uint64_t> main_thread_native_id;
    std::string db_path;
    std::vector<Finder> include_frames;
    std::vector<Finder> ignore_frames;
    std::string source;
    double start_timestamp = 0;
    uint64_t sqlite_busy_timeout = 60;
    bool one_trace_per_test = false;
    bool threading = false;
    bool lightweight_repr = false;
    // Tags this state's verdicts in the code objects' cache words; unique
    // per state, so a verdict made under other filters is never reused.
    uintptr_t filter_generation = 0;

    // Shared storage, each part behind its own lock. Orders: an event takes
    // plugins (briefly, alone) and at most trace_id, frames_of_interest,
    // frames in that order; a build takes frames_of_interest, frames, then
    // trace_id. No holder runs Python code, and every holder holds the
    // interpreter lock throughout, so the two orders never meet.
    PoisonMutex trace_id_lock;
    std::string trace_id;
    PoisonMutex frames_of_interest_lock;
    RecordStore frames_of_interest;
    PoisonMutex frames_lock;
    std::unordered_map<uint64_t, RecordStore> frames;
    PoisonMutex plugins_lock;
    PluginMap plugins;

    // Per-thread data by the interpreter's thread-state id, which is never
    // reused, so a new thread always starts empty. Only touched with the
    // interpreter lock held and no Python code running in between, and
    // entries are heap-allocated, so a thread's pointer to its own entry stays
    // valid while other threads add theirs. Entries of exited threads stay
    // until the state is destroyed.
    std::unordered_map<uint64_t, std::unique_ptr<ThreadData>> threads;
};

struct RuvoProfilerObject {
    PyObject_HEAD
    ProfilerState* state;
};

extern PyTypeObject RuvoProfilerType;
bool ready_profiler_type();

// Builds a state from the host's profiler object; nullptr with the error set.
std::unique_ptr<ProfilerState> new_from_python(PyObject* profiler);

// The interpreter's profile function; `obj` is the RuvoProfiler instance.
int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg);

// Reports a failed event as a warning on the "ruvo" logger. Consumes `error`.
void log_error(Ref error, PyObject* frame, PyObject* event_name, PyObject* co_filename, PyObject* co_name);

// The calling thread's entry in `state.threads`, created on first use.
ThreadData& thread_data(ProfilerState& state);

// Parses a fast-call argument vector into `out` (one slot per name, all
// required), with the interpreter's usual error wording.
bool parse_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::initializer_list<const char*> names, PyObject** out);

}  // namespace ruvo
