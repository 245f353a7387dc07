// Argument parsing for the module's fast-call functions and methods.
#pragma once

#include <initializer_list>

#include "refs.hpp"

namespace ruvo {

// Parses a fast-call argument vector into `out` (one slot per name, all
// required), with the interpreter's usual error wording.
bool parse_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::initializer_list<const char*> names, PyObject** out);

}  // namespace ruvo
