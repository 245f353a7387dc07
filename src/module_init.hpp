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

}  // namespace ruvo
