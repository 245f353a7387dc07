// The profile hook: the interpreter's profile function and the path of one
// event through plugins, filters, the budget and the frame record.
#pragma once

#include "refs.hpp"

namespace ruvo {

struct ProfilerState;
struct RuvoProfilerObject;

// The interpreter's profile function; `obj` is the RuvoProfiler instance.
int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg);

// Registers, once per process, the atexit handler that empties the hook of
// other threads before the interpreter finalises. False with the error set.
bool close_hook_at_exit();

// The same path for events that come from elsewhere than the profile
// function (sys.monitoring): one call or return of `frame`. False with the
// exception set that the program's frame has to raise.
bool profile_frame_event(RuvoProfilerObject* self, PyObject* frame, PyObject* arg, bool is_call);

// Whether no event of `code` is ever recorded or seen by a plugin under the
// state's filters: the same for every thread and every frame of the code.
bool code_passed_over(ProfilerState& state, PyObject* code);

}  // namespace ruvo
