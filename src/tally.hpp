// What a trace's views need beyond its records: per function and thread, the
// calls made past the budget (counted, timed, never recorded) and what
// recording the others cost, so that times can be given without it.
#pragma once

#include <vector>

#include "state.hpp"
#include "store.hpp"

namespace ruvo {

// The wall clock in seconds, 0 when it cannot be read: the tallies only ever
// take differences of it.
double wall_seconds();

// Counts one event of a frame past the budget (a call, or the return of a
// call past the budget). `entered` is when the event began. Failures are
// counted, never raised: counting must not fail the program's event.
void tally_closed_event(ProfilerState& state, ThreadData& thread, PyObject* frame, PyCodeObject* code, bool is_call,
                        double entered);

// Adds the recorder's time on a recorded event, split at its record's stamp.
void tally_recorded_event(ProfilerState& state, ThreadData& thread, PyObject* frame, PyCodeObject* code, bool is_call,
                          double entered, double stamped, int line, double left);

// The "ruvo" record of subtype "tally" that carries every thread's tallies
// of the current trace; nothing when there are none, or when the trace left
// nothing out, resumed no generator and holds under 256 KiB of records. Runs Python code (names
// of threads): before the stores are taken.
bool write_tally_record(ProfilerState& state, std::vector<EventRecord>* out);

}  // namespace ruvo
