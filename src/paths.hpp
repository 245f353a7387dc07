// The current directory and file names made relative to it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

namespace ruvo {

// The process's current directory. False with the internal error "Current
// directory is invalid." when it cannot be read. Call with the interpreter
// lock held. `plain` tells that it has no "." components and no doubled
// slashes, which relative_path can use.
bool current_directory(std::string_view* out, bool* plain);

// `filename` relative to `cwd` when it lies under it (whole components),
// else `filename` unchanged; either way a view into `filename`.
std::string_view relative_path(std::string_view filename, std::string_view cwd, bool cwd_is_plain);
bool is_plain_directory(std::string_view directory);

}  // namespace ruvo
