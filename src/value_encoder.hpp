// MessagePack encoding of arbitrary Python values for traces: the native
// twin of ruvo.serialize's Python encoder, byte for byte.
//
// Both entry points return a new bytes object holding exactly one MessagePack
// value, or nullptr with KeyboardInterrupt or MemoryError pending: nothing
// else escapes, whatever the value's methods do.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "serialize_api.hpp"

namespace ruvo::ser {

// Per-call bounds; see ruvo.serialize for what each one cuts.
struct Limits {
    int64_t max_items = 1000;
    int64_t max_depth = 1000;
    int64_t max_str_bytes = 64 * 1024;
    int64_t max_total_bytes = 2 * 1024 * 1024;
    int64_t max_repr_chars = 2000;
    int64_t light_max_items = 100;
    int64_t light_max_str = 256;
};

// Looks up what the encoder needs from msgpack and the interpreter. Called
// once, from module initialisation; false with an exception set on failure.
bool init_encoder();

// dump_msgpack: every container walked within the limits, objects as their
// repr().
PyObject* encode_full(PyObject* value, const Limits& limits);

// dump_msgpack_lightweight_repr: one level of containers, objects by type
// name; never runs repr().
PyObject* encode_light(PyObject* value, const Limits& limits);

// Either of the two, with the bytes handed to `append` instead of returned
// as a bytes object: the same bytes, and the same exceptions. 0 or -1.
int encode_into(PyObject* value, bool lightweight, const Limits& limits, ruvo_append_fn append, void* context);

}  // namespace ruvo::ser
