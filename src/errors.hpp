// Internal errors (broken invariants) and the conversion error texts.
//
// Error convention: a function that can fail returns false (or an empty
// Ref / optional) with the Python error set in the interpreter; the caller
// either passes that on or reports it. Internal errors are Python exceptions
// of a BaseException subclass, set the same way.
#pragma once

#include "refs.hpp"

namespace ruvo {

// The class of internal errors: derived from BaseException, so that the
// host's ordinary `except Exception` does not swallow a broken invariant.
PyObject* internal_error_type();

// Sets an internal error with `message`; a pending Python error is
// described after ": " and replaced.
void set_internal_error(const char* message);

// TypeError "'<type>' object cannot be converted to '<target>'".
void set_conversion_error(PyObject* obj, const char* target);

inline constexpr const char* CANT_EXTRACT_STR = "Can't extract `str` to `Vec`";

// Takes one of the profiler's locks: false with the internal error
// `poisoned` when a failure under it left it poisoned. The one way they are
// taken, so that none is ever used unchecked.
bool take_lock(PoisonMutex& mutex, std::optional<PoisonMutex::Guard>& guard, const char* poisoned);

}  // namespace ruvo
