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
    // Recorded calls with values per code object, in the trace of
    // `value_counts_generation`; consulted once the trace is half full.
    std::unordered_map<const void*, uint32_t> value_counts;
    uint64_t value_counts_generation = 0;
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
    // Appends records [begin, end) in order; all or nothing (throws
    // std::bad_alloc with the store unchanged).
    void append(const std::vector<EventRecord>& records, size_t begin, size_t end);
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

// What recording left out of the current trace, and why; reset with each
// new trace. See budget_stage().
struct LeftOut {
    uint64_t stored_bytes = 0;      // record bytes in the trace so far
    uint64_t values_omitted = 0;    // frame records written without values
    uint64_t frames_omitted = 0;    // frame records not written at all
    uint64_t failures_unlogged = 0; // failed events counted, not logged
    double since = 0;               // when the first thing was left out
    bool announced = false;         // the log has been told for this trace
    uint64_t generation = 0;        // bumped with each new trace
    // Failed events logged in this trace, by kind.
    std::unordered_map<std::string, uint32_t> failures_by_kind;
    bool any() const { return values_omitted || frames_omitted || failures_unlogged; }
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
    // The most record bytes one trace may hold (config "trace_budget");
    // unbounded without it.
    std::optional<uint64_t> trace_budget;
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

    // What the current trace holds and what it left out. Guarded by the
    // interpreter lock, which every event and build holds throughout; the
    // stores' own locks are taken inside it.
    LeftOut left_out;

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

// Registers, once per process, the atexit handler that empties the hook of
// other threads before the interpreter finalises. False with the error set.
bool close_hook_at_exit();

// Reports a failed event as a warning on the "ruvo" logger, or hands an
// exception that is the program's back to it. Consumes `error`. With a state,
// repeated failures of one kind in a trace are counted after the first few.
void log_error(ProfilerState* state, Ref error, PyObject* frame, PyObject* event_name, PyObject* co_filename,
               PyObject* co_name);

// The calling thread's entry in `state.threads`, created on first use.
ThreadData& thread_data(ProfilerState& state);

// Parses a fast-call argument vector into `out` (one slot per name, all
// required), with the interpreter's usual error wording.
bool parse_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::initializer_list<const char*> names, PyObject** out);

}  // namespace ruvo
