#include "names.hpp"

#include "errors.hpp"

namespace ruvo {

Names NAMES;

bool init_names() {
#define RUVO_NAME_INIT(ident, text)                           \
    if (NAMES.ident == nullptr) {                             \
        NAMES.ident = PyUnicode_InternFromString(text);       \
        if (NAMES.ident == nullptr) return false;             \
    }
    RUVO_NAMES(RUVO_NAME_INIT)
#undef RUVO_NAME_INIT
    return internal_error_type() != nullptr;
}

namespace {

// Module objects already seen fully imported, by (interned) module name.
// Guarded by the interpreter lock.
struct CompleteModule {
    PyObject* name;
    PyObject* module;  // compared by identity only, never dereferenced
};
CompleteModule complete_modules[16];

PyObject** complete_module_slot(PyObject* name) {
    for (CompleteModule& entry : complete_modules) {
        if (entry.name == name || entry.name == nullptr) {
            entry.name = name;
            return &entry.module;
        }
    }
    return nullptr;
}

}  // namespace

Ref import_module(PyObject* name) {
    // sys.modules is looked at every time, so a replaced module is seen. A
    // module object seen complete before is used as it is; a new one may
    // still be importing in another thread, and PyImport_GetModule waits for
    // that (a check that costs more than the rest of the lookup).
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* found = PyDict_Check(modules) ? PyDict_GetItemWithError(modules, name) : nullptr;
    if (found == nullptr && PyErr_Occurred()) return Ref();
    // A module blocked with None is the import system's to report: its
    // ImportError names the module, where using the None would not.
    if (found == Py_None) return Ref::steal(PyImport_Import(name));
    PyObject** seen = complete_module_slot(name);
    if (found != nullptr && seen != nullptr && *seen == found) return Ref::borrow(found);
    Ref module = Ref::steal(PyImport_GetModule(name));
    if (!module || module.get() == Py_None) {
        if (PyErr_Occurred()) return Ref();
        module = Ref::steal(PyImport_Import(name));
    }
    if (module && seen != nullptr) *seen = module.get();
    return module;
}

}  // namespace ruvo
