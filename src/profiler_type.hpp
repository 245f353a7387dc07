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

}  // namespace ruvo
