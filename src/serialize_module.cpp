// ruvo._serialize: the native dump_msgpack and dump_msgpack_lightweight_repr
// that ruvo.serialize exposes when this module imports, and set_limits,
// through which ruvo.serialize.configure keeps both encoders' bounds equal.
#include "refs.hpp"
#include "value_encoder.hpp"

namespace ruvo::ser {
namespace {

// Read at the start of each call. Only ruvo.serialize sets them, from its
// own constants, so they always match the Python encoder's.
Limits limits;

PyObject* dump_msgpack(PyObject*, PyObject* value) { return encode_full(value, limits); }

PyObject* dump_msgpack_lightweight_repr(PyObject*, PyObject* value) { return encode_light(value, limits); }

// What _ruvo calls instead of the two functions above when ruvo.serialize
// holds them. The interpreter checks the recursion depth around a call of a
// C function; so does this, so that both fail alike at the limit.
int encode_for_host(PyObject* value, int lightweight, ruvo_append_fn append, void* context) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) return -1;
    int result = encode_into(value, lightweight != 0, limits, append, context);
    Py_LeaveRecursiveCall();
    return result;
}

const RuvoSerializeApi API = {RUVO_SERIALIZE_ABI, sizeof(RuvoSerializeApi), encode_for_host};

// Every bound is an int in [0, 2**31 - 1]: a container header holds at most
// 32 bits, and the size accounting stays far from overflow.
constexpr long long LIMIT_MAX = (1LL << 31) - 1;

PyObject* set_limits(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"max_items",      "max_depth",       "max_str_bytes", "max_total_bytes",
                                     "max_repr_chars", "light_max_items", "light_max_str", nullptr};
    long long values[7];
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "LLLLLLL:set_limits", const_cast<char**>(keywords), &values[0],
                                     &values[1], &values[2], &values[3], &values[4], &values[5], &values[6])) {
        return nullptr;
    }
    for (int i = 0; i < 7; ++i) {
        if (values[i] < 0 || values[i] > LIMIT_MAX) {
            PyErr_Format(PyExc_ValueError, "%s must be between 0 and %lld, not %lld", keywords[i], LIMIT_MAX,
                         values[i]);
            return nullptr;
        }
    }
    // Below a DROPPED marker's size the output could not stay within it.
    if (values[3] < 3) {
        PyErr_Format(PyExc_ValueError, "max_total_bytes must be at least 3, not %lld", values[3]);
        return nullptr;
    }
    limits = Limits{values[0], values[1], values[2], values[3], values[4], values[5], values[6]};
    Py_RETURN_NONE;
}

PyObject* get_limits(PyObject*, PyObject*) {
    return Py_BuildValue("{sLsLsLsLsLsLsL}", "max_items", static_cast<long long>(limits.max_items), "max_depth",
                         static_cast<long long>(limits.max_depth), "max_str_bytes",
                         static_cast<long long>(limits.max_str_bytes), "max_total_bytes",
                         static_cast<long long>(limits.max_total_bytes), "max_repr_chars",
                         static_cast<long long>(limits.max_repr_chars), "light_max_items",
                         static_cast<long long>(limits.light_max_items), "light_max_str",
                         static_cast<long long>(limits.light_max_str));
}

PyMethodDef METHODS[] = {
    {"dump_msgpack", dump_msgpack, METH_O,
     "dump_msgpack(value) -> bytes\n\nEncode value as exactly one MessagePack value; never raises but "
     "KeyboardInterrupt or MemoryError."},
    {"dump_msgpack_lightweight_repr", dump_msgpack_lightweight_repr, METH_O,
     "dump_msgpack_lightweight_repr(value) -> bytes\n\nThe cheaper encoding: one level of containers, objects "
     "by type name, never repr()."},
    {"set_limits", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_limits)),
     METH_VARARGS | METH_KEYWORDS,
     "set_limits(max_items, max_depth, max_str_bytes, max_total_bytes, max_repr_chars, light_max_items, "
     "light_max_str)\n\nThe bounds of every later call."},
    {"get_limits", get_limits, METH_NOARGS, "get_limits() -> dict\n\nThe bounds in force."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef MODULE = {PyModuleDef_HEAD_INIT,
                      "_serialize",
                      "Native encoder of ruvo.serialize.",
                      -1,
                      METHODS,
                      nullptr,
                      nullptr,
                      nullptr,
                      nullptr};

}  // namespace
}  // namespace ruvo::ser

PyMODINIT_FUNC PyInit__serialize() {
    if (!ruvo::ser::init_encoder()) return nullptr;
    PyObject* module = PyModule_Create(&ruvo::ser::MODULE);
    if (module == nullptr) return nullptr;
    PyObject* api = PyCapsule_New(const_cast<RuvoSerializeApi*>(&ruvo::ser::API), RUVO_SERIALIZE_CAPSULE, nullptr);
    if (api == nullptr || PyModule_AddObject(module, "_C_API", api) < 0) {
        Py_XDECREF(api);
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
