// ruvo._serialize: the encoders behind ruvo.serialize's dump_msgpack and
// dump_msgpack_lightweight_repr, their bounds (set_limits, get_limits), and
// the format's extension codes and default bounds (EXT_CODES,
// DEFAULT_LIMITS), which every reader takes from here.
#include "refs.hpp"
#include "value_encoder.hpp"

namespace ruvo::ser {
namespace {

// Read at the start of each call; ruvo.serialize.configure sets them.
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

// The bounds, in the order set_limits takes them.
struct LimitField {
    const char* name;
    int64_t Limits::*field;
};
const LimitField FIELDS[] = {
    {"max_items", &Limits::max_items},         {"max_depth", &Limits::max_depth},
    {"max_str_bytes", &Limits::max_str_bytes}, {"max_total_bytes", &Limits::max_total_bytes},
    {"max_repr_chars", &Limits::max_repr_chars}, {"light_max_items", &Limits::light_max_items},
    {"light_max_str", &Limits::light_max_str}, {"object_depth", &Limits::object_depth},
    {"use_repr", &Limits::use_repr},
};
constexpr size_t N_FIELDS = sizeof FIELDS / sizeof FIELDS[0];

PyObject* set_limits(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[N_FIELDS + 1];
    for (size_t i = 0; i < N_FIELDS; ++i) keywords[i] = FIELDS[i].name;
    keywords[N_FIELDS] = nullptr;
    long long values[N_FIELDS];
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "LLLLLLLLL:set_limits", const_cast<char**>(keywords), &values[0],
                                     &values[1], &values[2], &values[3], &values[4], &values[5], &values[6],
                                     &values[7], &values[8])) {
        return nullptr;
    }
    for (size_t i = 0; i < N_FIELDS; ++i) {
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
    Limits next;
    for (size_t i = 0; i < N_FIELDS; ++i) next.*FIELDS[i].field = values[i];
    limits = next;
    Py_RETURN_NONE;
}

PyObject* limits_dict(const Limits& from) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const LimitField& f : FIELDS) {
        Ref value = Ref::steal(PyLong_FromLongLong(from.*f.field));
        if (!value || PyDict_SetItemString(dict.get(), f.name, value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* get_limits(PyObject*, PyObject*) { return limits_dict(limits); }

// The extension codes, by name, for ruvo.serialize and the viewer.
PyObject* ext_codes() {
    const struct {
        const char* name;
        int code;
    } codes[] = {{"REPR", wire::EXT_REPR},       {"BIGINT", wire::EXT_BIGINT},   {"OPAQUE", wire::EXT_OPAQUE},
                 {"RECURSION", wire::EXT_RECURSION}, {"OMITTED", wire::EXT_OMITTED}, {"CLIPPED", wire::EXT_CLIPPED},
                 {"TOO_DEEP", wire::EXT_TOO_DEEP}, {"DROPPED", wire::EXT_DROPPED}, {"FAILED", wire::EXT_FAILED},
                 {"OBJECT", wire::EXT_OBJECT},   {"TYPED", wire::EXT_TYPED},     {"NAMED", wire::EXT_NAMED},
                 {"ENUM", wire::EXT_ENUM},       {"BUDGET", wire::EXT_BUDGET}};
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& c : codes) {
        Ref value = Ref::steal(PyLong_FromLong(c.code));
        if (!value || PyDict_SetItemString(dict.get(), c.name, value.get()) < 0) return nullptr;
    }
    return dict.release();
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
     "light_max_str, object_depth, use_repr)\n\nThe bounds of every later call."},
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
    PyObject* codes = ruvo::ser::ext_codes();
    if (codes == nullptr || PyModule_AddObject(module, "EXT_CODES", codes) < 0) {
        Py_XDECREF(codes);
        Py_DECREF(module);
        return nullptr;
    }
    PyObject* defaults = ruvo::ser::limits_dict(ruvo::ser::Limits());
    if (defaults == nullptr || PyModule_AddObject(module, "DEFAULT_LIMITS", defaults) < 0) {
        Py_XDECREF(defaults);
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
