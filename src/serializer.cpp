#include "serializer.hpp"

#include "convert.hpp"
#include "errors.hpp"
#include "names.hpp"

namespace ruvo {

// The serialiser's result as bytes: bytes and bytearray directly, any other
// sequence of ints 0..255 item by item.
static bool bytes_from_result(PyObject* result, Buffer* out) {
    out->clear();
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

Ref serializer_function(bool lightweight) {
    Ref module = import_module(NAMES.mod_serialize);
    if (!module) return Ref();
    PyObject* function_name = lightweight ? NAMES.dump_msgpack_lightweight_repr : NAMES.dump_msgpack;
    // The module's dict first; the attribute protocol only when it lacks the name.
    Ref function = Ref::borrow(PyModule_Check(module.get())
                                   ? PyDict_GetItemWithError(PyModule_GetDict(module.get()), function_name)
                                   : nullptr);
    if (!function && !PyErr_Occurred()) function = Ref::steal(PyObject_GetAttr(module.get(), function_name));
    return function;
}

bool dump_msgpack(PyObject* value, bool lightweight, Buffer* out) {
    Ref function = serializer_function(lightweight);
    return function && serialize_with(function.get(), lightweight, value, out);
}

bool serialize_with(PyObject* function, bool lightweight, PyObject* value, Buffer* out) {
    PyObject* function_name = lightweight ? NAMES.dump_msgpack_lightweight_repr : NAMES.dump_msgpack;
    Ref result = Ref::steal(PyObject_CallOneArg(function, value));
    if (!result || !bytes_from_result(result.get(), out)) return false;
    // The bytes are embedded verbatim in records and documents: anything but
    // exactly one value would make the whole document unreadable.
    if (!is_one_msgpack_value(out->view())) {
        PyErr_Format(PyExc_ValueError,
                     "ruvo.serialize.%U returned %zu bytes that are not exactly one MessagePack value",
                     function_name, out->size());
        return false;
    }
    return true;
}

}  // namespace ruvo
