// Error reporting: the one place a failed event is reported, the limit on
// repeated reports, and the exceptions that belong to the program and are
// handed back to it.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "refs.hpp"

namespace ruvo {

// A failure that keeps coming back (a plugin that always raises, memory that
// ran out) is logged this many times per trace, then only counted.
inline constexpr uint32_t LOGGED_PER_KIND = 3;

// The failed events of the current trace, for that limit.
struct FailureLog {
    std::unordered_map<std::string, uint32_t> logged_by_kind;
    uint64_t unlogged = 0;
    double first_unlogged = 0;
};

// Reports a failed event as a warning on the "ruvo" logger, or keeps an
// exception that is the program's to hand back (see take_program_exception).
// Consumes `error`. With a failure log, repeated failures of one kind are
// counted after the first few.
void log_error(FailureLog* failures, Ref error, PyObject* frame, PyObject* event_name, PyObject* co_filename,
               PyObject* co_name);

// Writes a message on the "ruvo" logger (`method` is "info", "warning"...);
// a failure to log is dropped, as nothing may be raised from here.
void log_note(PyObject* method, const std::string& text);

// Whether an exception that interrupted an event is the program's: one a
// signal handler raised while the hook ran Python code (the handler happened
// to run inside the hook), or an exit or interrupt request.
bool belongs_to_program(PyObject* error);

// The program's exception kept for this thread until the event ends: the
// callback then raises it, so that it reaches the program at the point being
// profiled, as it would have without the profiler. Only the first is kept.
bool program_exception_pending();
void keep_for_program(Ref error);
Ref take_program_exception();

}  // namespace ruvo
