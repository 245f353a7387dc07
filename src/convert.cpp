#include "convert.hpp"

#include <cstring>

#include "errors.hpp"
#include "names.hpp"

namespace ruvo {

bool extract_bool(PyObject* obj, bool* out) {
    if (obj == Py_True || obj == Py_False) {
        *out = obj == Py_True;
        return true;
    }
    // numpy's bool scalar is not a subclass of bool; numpy 2 renamed it.
    const char* tp_name = Py_TYPE(obj)->tp_name;
    if (std::strcmp(tp_name, "numpy.bool_") == 0 || std::strcmp(tp_name, "numpy.bool") == 0) {
        int truth = PyObject_IsTrue(obj);
        if (truth < 0) return false;
        *out = truth != 0;
        return true;
    }
    set_conversion_error(obj, "PyBool");
    return false;
}

bool extract_u64(PyObject* obj, uint64_t* out) {
    Ref number = Ref::steal(PyNumber_Index(obj));
    if (!number) return false;
    unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    *out = value;
    return true;
}

bool extract_text(PyObject* obj, std::string* out) {
    if (!PyUnicode_Check(obj)) {
        set_conversion_error(obj, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return false;
    out->assign(data, static_cast<size_t>(size));
    return true;
}

bool TraceText::set_other(PyObject* obj) {
    if (!PyUnicode_Check(obj)) {
        set_conversion_error(obj, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data != nullptr) {
        view_ = std::string_view(data, static_cast<size_t>(size));
        return true;
    }
    PyErr_Clear();
    Ref encoded = Ref::steal(PyUnicode_AsEncodedString(obj, "utf-8", "backslashreplace"));
    if (!encoded) return false;
    owned_.assign(PyBytes_AS_STRING(encoded.get()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
    view_ = owned_;
    return true;
}

bool text_for_trace(PyObject* obj, std::string* out) {
    TraceText text;
    if (!text.set(obj)) return false;
    out->assign(text.view());
    return true;
}

bool extract_text_list(PyObject* obj, std::vector<std::string>* out, bool for_trace) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, CANT_EXTRACT_STR);
        return false;
    }
    if (!PySequence_Check(obj)) {
        set_conversion_error(obj, "Sequence");
        return false;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(obj));
    if (!iterator) return false;
    out->clear();
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        std::string text;
        if (!(for_trace ? text_for_trace(item.get(), &text) : extract_text(item.get(), &text))) return false;
        out->push_back(std::move(text));
    }
    return !PyErr_Occurred();
}

}  // namespace ruvo
