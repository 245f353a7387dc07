// The Python type RuvoProfiler, which owns a profiler state: build_trace,
// save_request_in_db and register_threading_profiler.
#pragma once

#include "state.hpp"

namespace ruvo {

struct RuvoProfilerObject {
    PyObject_HEAD
    ProfilerState* state;
};

extern PyTypeObject RuvoProfilerType;
bool ready_profiler_type();

// The registration step both backends share: checks the host object, builds
// its state, imports the modules the hook needs, makes sure the hook closes
// at exit, and stores the new RuvoProfiler on the host as "rust_profiler".
// Null with the error set on failure.
Ref new_registered_profiler(PyObject* profiler);

}  // namespace ruvo
