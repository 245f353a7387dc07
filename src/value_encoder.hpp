// MessagePack encoding of arbitrary Python values for traces. Values are read
// from their state: no code of the program runs while one is written.
//
// Both entry points return a new bytes object holding exactly one MessagePack
// value, or nullptr with KeyboardInterrupt or MemoryError pending: nothing
// else escapes, whatever the value's methods do.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "serialize_api.hpp"
#include "wire.hpp"

namespace ruvo::ser {

// Per-call bounds; see ruvo.serialize for what each one cuts.
struct Limits {
    int64_t max_items = wire::DefaultLimits::max_items;
    int64_t max_depth = wire::DefaultLimits::max_depth;
    int64_t max_str_bytes = wire::DefaultLimits::max_str_bytes;
    int64_t max_total_bytes = wire::DefaultLimits::max_total_bytes;
    int64_t max_repr_chars = wire::DefaultLimits::max_repr_chars;
    int64_t light_max_items = wire::DefaultLimits::light_max_items;
    int64_t light_max_str = wire::DefaultLimits::light_max_str;
    // Objects nested deeper than this many objects are written by type alone.
    int64_t object_depth = wire::DefaultLimits::object_depth;
    // Objects as their repr(), which runs the program's own code: only when asked.
    int64_t use_repr = 0;
};

// Looks up what the encoder needs from msgpack and the interpreter. Called
// once, from module initialisation; false with an exception set on failure.
bool init_encoder();

// dump_msgpack: every container walked within the limits, objects as their
// type name and attributes.
PyObject* encode_full(PyObject* value, const Limits& limits);

// dump_msgpack_lightweight_repr: one level of containers, objects by type
// name; never runs repr().
PyObject* encode_light(PyObject* value, const Limits& limits);

// Either of the two, with the bytes handed to `append` instead of returned
// as a bytes object: the same bytes, and the same exceptions. 0 or -1.
int encode_into(PyObject* value, bool lightweight, const Limits& limits, ruvo_append_fn append, void* context);

}  // namespace ruvo::ser
