// Module initialisation shared by ruvo's extension modules: one module object
// per process, in the first interpreter that imports it.
#pragma once

#include <atomic>
#include <cstdint>

#include "refs.hpp"

namespace ruvo {

// The module of this process: made by `create` in the first interpreter that
// imports it (`create` returns a new reference, nullptr with the error set),
// the same object again for later imports there, and an ImportError naming
// `module_name` in any other interpreter, whose objects the module's state
// must never meet. `owner` and `module` are the module's own statics.
PyObject* module_of_this_process(const char* module_name, std::atomic<int64_t>& owner, PyObject*& module,
                                 PyObject* (*create)());

// Readies the core for the backends' modules: names, the profiler type, the
// code-object cache and the fork handler, each once per process whichever
// module comes first. False with the error set.
bool ready_core();

}  // namespace ruvo
