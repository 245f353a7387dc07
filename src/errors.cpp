#include "errors.hpp"

#include <string>

#include "convert.hpp"
#include "names.hpp"

namespace ruvo {

PyObject* internal_error_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "ruvo._ruvo.InternalError",
            "A broken invariant inside ruvo's native module. Derived from "
            "BaseException so that ordinary error handling does not hide it.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

// "TypeName: message" of an exception instance, for internal-error texts.
static std::string describe_error(PyObject* error) {
    std::string text;
    Ref type_name = Ref::steal(PyType_GetQualName(Py_TYPE(error)));
    if (!type_name || !text_for_trace(type_name.get(), &text)) {
        PyErr_Clear();
        text = "<unknown exception>";
    }
    Ref message = Ref::steal(PyObject_Str(error));
    std::string message_text;
    if (message && text_for_trace(message.get(), &message_text)) {
        if (!message_text.empty()) text += ": " + message_text;
    } else {
        PyErr_Clear();
    }
    return text;
}

void set_internal_error(const char* message) {
    Ref cause = fetch_error();
    std::string text = message;
    if (cause) text += ": " + describe_error(cause.get());
    PyErr_SetString(internal_error_type(), text.c_str());
    if (cause) {
        // Chained, so a printed traceback still shows where the cause came from.
        Ref error = fetch_error();
        PyException_SetCause(error.get(), cause.release());
        restore_error(std::move(error));
    }
}

void set_conversion_error(PyObject* obj, const char* target) {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
}

bool take_lock(PoisonMutex& mutex, std::optional<PoisonMutex::Guard>& guard, const char* poisoned) {
    if (mutex.lock(guard)) return true;
    set_internal_error(poisoned);
    return false;
}

}  // namespace ruvo
