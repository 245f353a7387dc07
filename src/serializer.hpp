// The bridge to ruvo.serialize: a Python value in, its MessagePack bytes out.
#pragma once

#include "msgpack.hpp"
#include "refs.hpp"

namespace ruvo {

// Hands `value` to ruvo.serialize (dump_msgpack or, when `lightweight`,
// dump_msgpack_lightweight_repr) and returns its bytes in `out`.
bool dump_msgpack(PyObject* value, bool lightweight, Buffer* out);
// The same in two steps, for callers that serialise several values at once:
// the function is looked up afresh, then called for each value, its bytes
// appended to `out` (left as it was on failure).
Ref serializer_function(bool lightweight);
bool serialize_with(PyObject* function, bool lightweight, PyObject* value, Buffer* out);

}  // namespace ruvo
