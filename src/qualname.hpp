// The qualified name of the function a frame runs.
#pragma once

#include <optional>
#include <string>

#include "refs.hpp"

namespace ruvo {

// The module-qualified name of the function running in `frame`: false with
// an error set, or true with `*found` telling whether a name was found and
// `out` holding it.
bool get_qualname(PyObject* frame, std::string* out, bool* found);
// The search used for code objects without co_qualname; never fails.
std::optional<std::string> get_qualname_inner(PyObject* frame, PyObject* co_name);

}  // namespace ruvo
