// The profiler's state: settings fixed at registration, the stores of the
// current trace and their locks, what the trace left out, and each thread's
// working data. One RuvoProfiler instance owns one state.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "call_site.hpp"
#include "filters.hpp"
#include "ids.hpp"
#include "msgpack.hpp"
#include "plugins.hpp"
#include "refs.hpp"
#include "report.hpp"
#include "store.hpp"

namespace ruvo {

// Working memory of the event in progress on a thread, kept between events so
// that a recorded event stops allocating once it has grown to fit.
struct EventScratch {
    Buffer record;
    std::string qualname;
    std::vector<EventRecord> records;
    // The wall-clock stamp and line the event's frame record got; stamp 0
    // when the event stored none.
    double stamped = 0;
    int line = 0;
};

// What the views need of one function on one thread beyond its records:
// counts and times of the calls made past the trace's budget, and what
// recording its events cost. Reset with each new trace.
struct FunctionTally {
    Ref code;  // held, so that no other code object takes the key's address
    std::string qualname;
    bool has_qualname = false;
    std::string path;
    int line = 0;
    // Calls past the budget; times in seconds, recorder cost taken out.
    uint64_t calls = 0;
    uint64_t resumes_counted = 0;  // of those, resumes of a generator or coroutine
    double total = 0;   // of the outermost active calls, as cProfile counts
    double own = 0;
    double hidden = 0;  // spent in calls past the budget under a recorded call of this function
    uint32_t active = 0;
    // Recorded events, and the seconds each kind spent in the recorder
    // before and after the record's timestamp.
    uint64_t calls_recorded = 0, returns_recorded = 0;
    // Recorded calls that resumed a generator or coroutine, and the first
    // few lines they resumed at, so that views can file them under the
    // function rather than under each resume point.
    uint64_t resumes = 0;
    std::vector<int> resume_lines;
    // The instruction a generator's first call stops at, once seen: later
    // calls are told apart from it without reading their line.
    int start_lasti = -1;
    double call_before = 0, call_after = 0, return_before = 0, return_after = 0;
};

// A call past the budget, not yet returned.
struct TallyFrame {
    PyObject* frame;  // compared, never followed
    FunctionTally* function;
    double entered;   // when its call event began
    double children;  // net time of its returned children
    double overhead;  // recorder time inside it
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
    // Per code object, in the trace of `tallies_generation`.
    std::unordered_map<const void*, FunctionTally> tallies;
    std::vector<TallyFrame> tally_stack;
    uint64_t tallies_generation = 0;
    // Set while an event of this thread works on the entry. The interpreter
    // never re-enters a thread's profile function, so finding it set is a
    // broken invariant rather than something to wait for.
    bool in_use = false;
};

// What recording left out of the current trace, and why; reset with each
// new trace. See budget_stage().
struct LeftOut {
    uint64_t stored_bytes = 0;      // record bytes in the trace so far
    uint64_t values_omitted = 0;    // frame records written without values
    uint64_t frames_omitted = 0;    // frame records not written at all
    double since = 0;               // when the first thing was left out
    double closed_at = 0;           // when the first frame was left out whole
    bool announced = false;         // the log has been told for this trace
    uint64_t generation = 0;        // bumped with each new trace
    FailureLog failures;            // failed events, for the flood limit
    bool any() const { return values_omitted || frames_omitted || failures.unlogged; }
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
    // The profile backend's profiler that was recording the registering
    // thread when this one started: this one's hook passes it every event
    // there (and in later threads when it records those), so that a
    // profiler started inside a recorded program leaves the outer one whole.
    Ref outer;
    uint64_t registering_thread = 0;
    // Set by the host's stop() (config "stopped", a one-byte bytearray).
    Ref stopped;
    bool is_stopped() const { return stopped && PyByteArray_AS_STRING(stopped.get())[0] != 0; }
    // The most record bytes one trace may hold (config "trace_budget");
    // unbounded without it.
    std::optional<uint64_t> trace_budget;
    // Seconds per recorded call that recording costs outside the recorder's
    // own clock, in the call's caller and in the call itself (config
    // "recorder_bias" and "recorder_bias_inside", measured by the host);
    // carried in the tally for the views.
    double recorder_bias = 0;
    double recorder_bias_inside = 0;
    // The same for a call counted past the budget ("counted_bias" and
    // "counted_bias_inside"), taken out of the tallies as they are made.
    double counted_bias = 0;
    double counted_bias_inside = 0;
    // A weak reference to the host profiler object (null when it has none),
    // told the new trace id when a forked child starts its own trace.
    Ref host;
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
    // The entry found last and its key: events come in runs on one thread.
    uint64_t last_thread_key = 0;
    ThreadData* last_thread = nullptr;
};

// The calling thread's entry in `state.threads`, created on first use.
ThreadData& thread_data(ProfilerState& state);

}  // namespace ruvo
