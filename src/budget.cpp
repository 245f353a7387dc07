#include "budget.hpp"

#include <string>

#include "call_site.hpp"
#include "document.hpp"
#include "ids.hpp"
#include "msgpack.hpp"
#include "names.hpp"
#include "report.hpp"
#include "tally.hpp"

namespace ruvo {

namespace {

// How much of a recorded frame the current trace still takes, by how full it
// is against its budget. Below a quarter: everything. From a quarter on:
// values only for the first calls of each function (on each thread, counted
// from the trace's start) and then for a thinning sample, the call structure
// for the rest; so an early hot loop cannot leave later functions without
// values. From three quarters on: the structure alone. At the budget: no new
// calls, only counted (see tally.cpp); the returns of calls already recorded
// are still written, without values, so that every recorded call stays
// paired. Plugin records (test markers, requests, logs) are always kept.
enum class Stage { Full, FirstCalls, Structure, Closed };
constexpr uint32_t VALUE_CALLS_PER_FUNCTION = 16;

Stage budget_stage(const ProfilerState& state) {
    if (!state.trace_budget) return Stage::Full;
    uint64_t budget = *state.trace_budget, stored = state.left_out.stored_bytes;
    if (stored >= budget) return Stage::Closed;
    if (stored >= budget - budget / 4) return Stage::Structure;
    if (stored >= budget / 4) return Stage::FirstCalls;
    return Stage::Full;
}

// The calls of a function that keep values once values are rationed: the
// first few, then the 32nd, 64th, 128th...
bool sampled_call(uint32_t number) {
    return number <= VALUE_CALLS_PER_FUNCTION || (number & (number - 1)) == 0;
}

// Counts what a trace leaves out, and tells the log once per trace.
void note_left_out(ProfilerState& state, bool whole_frame) {
    LeftOut& left = state.left_out;
    ++(whole_frame ? left.frames_omitted : left.values_omitted);
    if (left.since == 0 || (whole_frame && left.closed_at == 0)) {
        auto now = timestamp();
        if (left.since == 0) left.since = now ? *now : 0;
        if (whole_frame) left.closed_at = now ? *now : 0;
    }
    if (left.announced || !state.trace_budget) return;
    left.announced = true;
    std::string trace_id;
    if (!copy_trace_id(state, &trace_id)) {
        PyErr_Clear();
        trace_id.assign(1, '?');
    }
    log_note(NAMES.info, "trace " + trace_id + " is past a quarter of its budget of " +
                             std::to_string(*state.trace_budget) +
                             " record bytes: values, then frames, are being left out; calls past the budget are counted, not recorded (its \"ruvo\" record says how many)");
}

}  // namespace

void reset_left_out(ProfilerState& state) {
    uint64_t generation = state.left_out.generation + 1;
    state.left_out = LeftOut();
    state.left_out.generation = generation;
}

// Whether a recorded frame's event gets a record under the trace's budget,
// and with values or not. Counts what is left out.
bool budget_allows(ProfilerState& state, ThreadData& thread, PyObject* frame, PyCodeObject* code, bool is_call,
                   bool* with_values) {
    *with_values = true;
    if (!state.trace_budget) return true;
    Stage stage = budget_stage(state);
    uint32_t number = 0;
    if (is_call && stage != Stage::Closed) {
        if (thread.value_counts_generation != state.left_out.generation) {
            thread.value_counts.clear();
            thread.value_counts_generation = state.left_out.generation;
        }
        number = ++thread.value_counts[code];
    }
    if (stage == Stage::Full) return true;
    bool own_call_on_top = !is_call && !thread.call_frames.empty() && thread.call_frames.back().frame.get() == frame;
    if (stage == Stage::Closed) {
        if (!own_call_on_top) {
            note_left_out(state, true);
            return false;
        }
        *with_values = false;
    } else if (!is_call) {
        *with_values = stage == Stage::FirstCalls && (!own_call_on_top || thread.call_frames.back().with_values);
    } else {
        *with_values = stage == Stage::FirstCalls && sampled_call(number);
    }
    if (!*with_values) note_left_out(state, false);
    return true;
}

// Whether a trace past its budget has no place for this event at all: a call,
// or the return of a call it did not record. Decided before anything that
// costs more than a filtered frame, so that a runaway program's later events
// stay that cheap. Until the log has been told, the full path decides.
bool closed_to_frame(ProfilerState& state, PyObject* frame, PyCodeObject* code, bool is_call) {
    if (!state.trace_budget || state.left_out.stored_bytes < *state.trace_budget || !state.left_out.announced) {
        return false;
    }
    ThreadData& thread = thread_data(state);
    if (!is_call && !thread.call_frames.empty() && thread.call_frames.back().frame.get() == frame) return false;
    double entered = wall_seconds();
    ++state.left_out.frames_omitted;
    if (state.left_out.closed_at == 0) state.left_out.closed_at = entered;
    tally_closed_event(state, thread, frame, code, is_call, entered);
    return true;
}

// The "ruvo" record that says what a trace left out, shaped as a plugin
// record so that every view shows it where it shows those.
bool write_left_out_record(ProfilerState& state, std::vector<EventRecord>* out) {
    ThreadIdentity thread;
    if (!current_thread(&thread)) return false;
    const LeftOut& left = state.left_out;
    std::string message;
    if (left.frames_omitted || left.values_omitted) {
        message = "This trace reached its recording budget";
        if (state.trace_budget) message += " of " + std::to_string(*state.trace_budget) + " record bytes";
        message += ": " + std::to_string(left.frames_omitted) + " frame records were left out and " +
                   std::to_string(left.values_omitted) + " were kept without values.";
        if (left.frames_omitted) message += " Calls past the budget were counted and timed, not recorded.";
    }
    if (left.failures.unlogged) {
        if (!message.empty()) message += ' ';
        message += std::to_string(left.failures.unlogged) +
                   " failed events were counted but not logged (the first few of each kind were).";
    }
    // When only failures were left out, the first of them says when.
    double since = left.since != 0 ? left.since : left.failures.first_unlogged;
    Buffer b;
    write_map_header(b, 15);
    Id id = new_id("frm_");
    write_str_pair(b, "frame_id", id_view(id));
    write_f64_pair(b, since);
    write_str_pair(b, "thread", thread.name);
    write_int_pair(b, "thread_native_id", thread.native_id);
    write_str_pair(b, "user_code_call_site", std::nullopt);
    write_str_pair(b, "type", "ruvo");
    write_str_pair(b, "subtype", "left_out");
    write_int_pair(b, "budget", state.trace_budget);
    write_int_pair(b, "stored_bytes", left.stored_bytes);
    write_int_pair(b, "values_omitted", left.values_omitted);
    write_int_pair(b, "frames_omitted", left.frames_omitted);
    write_int_pair(b, "failures_unlogged", left.failures.unlogged);
    write_str(b, "since");
    write_f64(b, since);
    write_str(b, "complete_until");
    if (left.closed_at != 0) {
        write_f64(b, left.closed_at);
    } else {
        write_nil(b);
    }
    write_str_pair(b, "message", message);
    out->push_back(EventRecord{"ruvo", std::move(b)});
    return true;
}

// One warning for the failures a trace counted instead of logging.
void log_unlogged_failures(ProfilerState& state) {
    if (state.left_out.failures.unlogged == 0) return;
    std::string trace_id;
    if (!copy_trace_id(state, &trace_id)) {
        PyErr_Clear();
        trace_id.assign(1, '?');
    }
    log_note(NAMES.warning, "trace " + trace_id + ": " + std::to_string(state.left_out.failures.unlogged) +
                                " more failed events were not logged; only the first " +
                                std::to_string(LOGGED_PER_KIND) + " of each kind were");
}

}  // namespace ruvo
