// The C entry point that ruvo._serialize hands to _ruvo in a capsule: its
// encoder without a bytes object in between. The two modules are separate
// shared objects, so only C types cross: a version, a size and a function.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

extern "C" {

// Takes the encoded bytes; 0 when kept, -1 (no exception set) when memory ran out.
typedef int (*ruvo_append_fn)(void* context, const char* data, size_t size);

struct RuvoSerializeApi {
    unsigned abi;   // RUVO_SERIALIZE_ABI
    size_t size;    // sizeof(RuvoSerializeApi) of the module that made it
    // Encodes `value` as dump_msgpack (dump_msgpack_lightweight_repr when
    // `lightweight`) encodes it, and hands the bytes to `append` in one call.
    // 0 on success; -1 with the exception set that the function would raise.
    int (*encode)(PyObject* value, int lightweight, ruvo_append_fn append, void* context);
};

}  // extern "C"

#define RUVO_SERIALIZE_ABI 1u
#define RUVO_SERIALIZE_CAPSULE "ruvo._serialize._C_API"
