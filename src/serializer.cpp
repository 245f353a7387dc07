#include "serializer.hpp"

#include "convert.hpp"
#include "errors.hpp"
#include "names.hpp"
#include "serialize_api.hpp"

#include <new>

namespace ruvo {

// Appends the serialiser's result as bytes: bytes and bytearray directly, any
// other sequence of ints 0..255 item by item.
static bool bytes_from_result(PyObject* result, Buffer* out) {
    if (PyBytes_Check(result)) {
        out->append(PyBytes_AS_STRING(result), static_cast<size_t>(PyBytes_GET_SIZE(result)));
        return true;
    }
    if (PyByteArray_Check(result)) {
        out->append(PyByteArray_AS_STRING(result), static_cast<size_t>(PyByteArray_GET_SIZE(result)));
        return true;
    }
    if (PyUnicode_Check(result)) {
        PyErr_SetString(PyExc_TypeError, CANT_EXTRACT_STR);
        return false;
    }
    if (!PySequence_Check(result)) {
        set_conversion_error(result, "Sequence");
        return false;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(result));
    if (!iterator) return false;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyLong_Check(item.get())) {
            set_conversion_error(item.get(), "PyInt");
            return false;
        }
        long value = PyLong_AsLong(item.get());
        if (value == -1 && PyErr_Occurred()) PyErr_Clear();
        if (value < 0 || value > 255) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return false;
        }
        out->push_back(static_cast<char>(value));
    }
    return !PyErr_Occurred();
}

namespace {

// ---------------------------------------------------------------- the native encoder

// ruvo._serialize's two functions and its C entry point, taken once it is
// imported. Strong references, kept for the life of the process, so that an
// identity test against them can never match an unrelated object.
struct NativeEncoder {
    PyObject* functions[2] = {nullptr, nullptr};  // full, lightweight
    const RuvoSerializeApi* api = nullptr;
};
NativeEncoder native;

void find_native_encoder() {
    if (native.api != nullptr) return;
    // Only an encoder that ruvo.serialize has already imported can be the one
    // it hands out; importing it here would run an import inside an event.
    Ref module = Ref::steal(PyImport_GetModule(NAMES.mod_native_serialize));
    if (!module || module.get() == Py_None) return PyErr_Clear();
    Ref full = Ref::steal(PyObject_GetAttr(module.get(), NAMES.dump_msgpack));
    Ref light = Ref::steal(PyObject_GetAttr(module.get(), NAMES.dump_msgpack_lightweight_repr));
    Ref capsule = Ref::steal(PyObject_GetAttr(module.get(), NAMES.c_api));
    if (!full || !light || !capsule) return PyErr_Clear();
    auto* api = static_cast<const RuvoSerializeApi*>(PyCapsule_GetPointer(capsule.get(), RUVO_SERIALIZE_CAPSULE));
    if (api == nullptr) return PyErr_Clear();
    if (api->abi != RUVO_SERIALIZE_ABI || api->size < sizeof(RuvoSerializeApi)) return;
    native.functions[0] = full.release();
    native.functions[1] = light.release();
    native.api = api;
}

// 0 or 1 when `function` is the native full or lightweight encoder, else -1.
int native_kind(PyObject* function) {
    if (native.api == nullptr) return -1;
    if (function == native.functions[0]) return 0;
    if (function == native.functions[1]) return 1;
    return -1;
}

int append_to_buffer(void* context, const char* data, size_t size) {
    try {
        static_cast<Buffer*>(context)->append(data, size);
        return 0;
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

// ---------------------------------------------------------------- the lookup

// The serialiser is looked up in sys.modules and the module's dict at every
// event, so that a replaced module or function is called from the next event
// on. The lookup is remembered as long as nothing it read has changed: on
// 3.11 both dicts' version tags say so, from 3.12 on a dict watcher on both
// marks the lookup stale at any change. The pointers are borrowed: while
// sys.modules is unchanged it holds the module, and while the module's dict
// is unchanged it holds the function.
struct Lookup {
    PyObject* module = nullptr;
    PyObject* function = nullptr;
#if PY_VERSION_HEX < 0x030C0000
    uint64_t modules_version = 0;
    uint64_t dict_version = 0;
#endif
};
Lookup lookups[2];  // dump_msgpack, dump_msgpack_lightweight_repr

#if PY_VERSION_HEX >= 0x030C0000
int watcher_id = -1;
bool watcher_failed = false;
bool lookups_stale = true;

int on_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    lookups_stale = true;
    return 0;
}

bool watch(PyObject* dict) {
    if (watcher_id < 0) {
        if (watcher_failed) return false;
        watcher_id = PyDict_AddWatcher(on_dict_change);
        if (watcher_id < 0) {
            // Every watcher slot is taken: look up afresh at every event.
            PyErr_Clear();
            watcher_failed = true;
            return false;
        }
    }
    if (PyDict_Watch(watcher_id, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}
#endif

bool lookup_holds(const Lookup& lookup) {
    if (lookup.function == nullptr) return false;
#if PY_VERSION_HEX < 0x030C0000
    auto* modules = reinterpret_cast<PyDictObject*>(PyImport_GetModuleDict());
    if (modules->ma_version_tag != lookup.modules_version) return false;
    auto* dict = reinterpret_cast<PyDictObject*>(PyModule_GetDict(lookup.module));
    return dict->ma_version_tag == lookup.dict_version;
#else
    return !lookups_stale;
#endif
}

void remember(Lookup& lookup, PyObject* module, PyObject* function) {
    lookup = Lookup();
    PyObject* modules = PyImport_GetModuleDict();
    if (!PyDict_Check(modules) || !PyModule_Check(module)) return;
    // Borrowed only when sys.modules itself holds it.
    if (PyDict_GetItemWithError(modules, NAMES.mod_serialize) != module) return PyErr_Clear();
    PyObject* dict = PyModule_GetDict(module);
#if PY_VERSION_HEX < 0x030C0000
    lookup.modules_version = reinterpret_cast<PyDictObject*>(modules)->ma_version_tag;
    lookup.dict_version = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#else
    if (lookups_stale) {
        // Both entries were looked up before the change: both start over.
        lookups[0] = Lookup();
        lookups[1] = Lookup();
        lookups_stale = false;
    }
    if (!watch(modules) || !watch(dict)) {
        lookups_stale = true;
        return;
    }
#endif
    lookup.module = module;
    lookup.function = function;
    find_native_encoder();
}

}  // namespace

Ref serializer_function(bool lightweight) {
    Lookup& lookup = lookups[lightweight ? 1 : 0];
    if (lookup_holds(lookup)) return Ref::borrow(lookup.function);
    Ref module = import_module(NAMES.mod_serialize);
    if (!module) return Ref();
    PyObject* function_name = lightweight ? NAMES.dump_msgpack_lightweight_repr : NAMES.dump_msgpack;
    // The module's dict first; the attribute protocol only when it lacks the name.
    Ref function = Ref::borrow(PyModule_Check(module.get())
                                   ? PyDict_GetItemWithError(PyModule_GetDict(module.get()), function_name)
                                   : nullptr);
    if (function) {
        remember(lookup, module.get(), function.get());
    } else if (!PyErr_Occurred()) {
        // Found some other way (a module __getattr__, a stand-in object):
        // nothing to tell when it changes, so it is not remembered.
        lookup = Lookup();
        function = Ref::steal(PyObject_GetAttr(module.get(), function_name));
    }
    return function;
}

bool dump_msgpack(PyObject* value, bool lightweight, Buffer* out) {
    out->clear();
    Ref function = serializer_function(lightweight);
    return function && serialize_with(function.get(), lightweight, value, out);
}

bool serialize_with(PyObject* function, bool lightweight, PyObject* value, Buffer* out) {
    int kind = native_kind(function);
    if (kind >= 0) {
        // The native encoder, called without a bytes object in between: its
        // output is exactly one value by construction.
        return native.api->encode(value, kind, append_to_buffer, out) == 0;
    }
    PyObject* function_name = lightweight ? NAMES.dump_msgpack_lightweight_repr : NAMES.dump_msgpack;
    size_t start = out->size();
    Ref result = Ref::steal(PyObject_CallOneArg(function, value));
    if (!result || !bytes_from_result(result.get(), out)) {
        out->truncate(start);
        return false;
    }
    // The bytes are embedded verbatim in records and documents: anything but
    // exactly one value would make the whole document unreadable.
    std::string_view bytes = out->view().substr(start);
    if (!is_one_msgpack_value(bytes)) {
        PyErr_Format(PyExc_ValueError,
                     "ruvo.serialize.%U returned %zu bytes that are not exactly one MessagePack value",
                     function_name, bytes.size());
        out->truncate(start);
        return false;
    }
    return true;
}

}  // namespace ruvo
