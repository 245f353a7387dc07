// Configuration: a profiler state built from the host's profiler object and
// its "config" dict, read once at registration.
#pragma once

#include <memory>

#include "state.hpp"

namespace ruvo {

// Builds a state from the host's profiler object; nullptr with the error set.
std::unique_ptr<ProfilerState> new_from_python(PyObject* profiler);

}  // namespace ruvo
