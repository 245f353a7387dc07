// The profile hook: the interpreter's profile function and the path of one
// event through plugins, filters, the budget and the frame record.
#pragma once

#include "refs.hpp"

namespace ruvo {

// The interpreter's profile function; `obj` is the RuvoProfiler instance.
int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg);

// Registers, once per process, the atexit handler that empties the hook of
// other threads before the interpreter finalises. False with the error set.
bool close_hook_at_exit();

}  // namespace ruvo
