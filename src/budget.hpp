// Bounded recording: how much of a recorded frame the current trace still
// takes under its budget, and the record that says what it left out.
#pragma once

#include <vector>

#include "state.hpp"
#include "store.hpp"

namespace ruvo {

// Starts the count of what a trace leaves out anew, for a new trace.
void reset_left_out(ProfilerState& state);

// Whether a recorded frame's event gets a record under the trace's budget,
// and with values or not (`with_values`). Counts what is left out.
bool budget_allows(ProfilerState& state, ThreadData& thread, PyObject* frame, PyCodeObject* code, bool is_call,
                   bool* with_values);

// Whether a trace past its budget has no place for this event at all (a
// call, or the return of a call it did not record); counts and times it
// when so. Cheap enough to ask before anything else of a recorded frame.
bool closed_to_frame(ProfilerState& state, PyObject* frame, PyCodeObject* code, bool is_call);

// The "ruvo" record that states what the trace left out (shaped as a plugin
// record), and one log line for the failures counted instead of logged.
// Both before the stores are taken: they may run Python code.
bool write_left_out_record(ProfilerState& state, std::vector<EventRecord>* out);
void log_unlogged_failures(ProfilerState& state);

}  // namespace ruvo
