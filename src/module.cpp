// Module entry: PyInit__ruvo, register_profiler and register_noop_profiler.
#include <atomic>
#include <new>

#include "filters.hpp"
#include "args.hpp"
#include "module_init.hpp"
#include "config.hpp"
#include "hook.hpp"
#include "profiler_type.hpp"
#include "call_site.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "ids.hpp"
#include "msgpack.hpp"
#include "names.hpp"
#include "paths.hpp"
#include "qualname.hpp"
#include "serializer.hpp"

namespace ruvo {
namespace {

// The interpreter that first imported the module. The profiler's state and
// interned names belong to that interpreter alone.
std::atomic<int64_t> initialised_interpreter{-1};
// One module object per process, returned again by later initialisations.
PyObject* module_object = nullptr;

int noop_profile(PyObject*, PyFrameObject*, int, PyObject*) { return 0; }

// Installs the profiler for the calling thread and, when the configuration
// asks for it, for every thread `threading` starts later.
PyObject* install_profiler(PyObject* profiler) {
    // A profiler that holds the thread's slot goes on recording through this one.
    PyThreadState* here = PyThreadState_Get();
    Ref outer;
    if (here->c_profileobj != nullptr && Py_TYPE(here->c_profileobj) == &RuvoProfilerType &&
        reinterpret_cast<RuvoProfilerObject*>(here->c_profileobj)->state != nullptr) {
        outer = Ref::borrow(here->c_profileobj);
    }
    Ref instance = new_registered_profiler(profiler);
    if (!instance) return nullptr;
    if (outer) {
        ProfilerState& state = *reinterpret_cast<RuvoProfilerObject*>(instance.get())->state;
        state.outer = std::move(outer);
        state.registering_thread = PyThreadState_GetID(here);
    }
    PyEval_SetProfile(profile_callback, instance.get());

    // From here on the calling thread stays hooked whatever happens.
    Ref config = Ref::steal(PyObject_GetAttr(profiler, NAMES.config));
    if (!config) return nullptr;
    Ref threading_value = Ref::steal(PyObject_GetItem(config.get(), NAMES.threading));
    bool threading = false;
    if (!threading_value || !extract_bool(threading_value.get(), &threading)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    if (!threading) Py_RETURN_NONE;
    Ref threading_module = Ref::steal(PyImport_Import(NAMES.mod_threading));
    if (!threading_module) return nullptr;
    Ref hook = Ref::steal(PyObject_GetAttr(instance.get(), NAMES.register_threading_profiler));
    if (!hook) return nullptr;
    Ref result = Ref::steal(PyObject_CallMethodOneArg(threading_module.get(), NAMES.setprofile, hook.get()));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

PyObject* register_profiler(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* profiler = nullptr;
    if (!parse_arguments("register_profiler", args, nargs, kwnames, {"profiler"}, &profiler)) return nullptr;
    try {
        return install_profiler(profiler);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* register_noop_profiler(PyObject*, PyObject*) {
    PyEval_SetProfile(noop_profile, nullptr);
    Py_RETURN_NONE;
}

PyMethodDef REGISTER_NOOP_PROFILER = {"register_noop_profiler", register_noop_profiler, METH_NOARGS,
                                      "register_noop_profiler()\n--\n\n"};
PyMethodDef REGISTER_PROFILER = {"register_profiler",
                                 reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(register_profiler)),
                                 METH_FASTCALL | METH_KEYWORDS, "register_profiler(profiler)\n--\n\n"};

PyModuleDef MODULE = {PyModuleDef_HEAD_INIT, "_ruvo", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

bool add_function(PyObject* module, PyMethodDef* definition) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    Ref function = Ref::steal(PyCMethod_New(definition, module, module_name.get(), nullptr));
    if (!function) return false;
    Ref name = Ref::steal(PyObject_GetAttr(function.get(), NAMES.dunder_name));
    if (!name) return false;
    Ref all = Ref::steal(PyObject_GetAttr(module, NAMES.dunder_all));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttr(module, NAMES.dunder_all, all.get()) < 0) return false;
    }
    if (PyList_Append(all.get(), name.get()) < 0) {
        set_internal_error("could not append __name__ to __all__");
        return false;
    }
    return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

PyObject* create_module() {
    if (!ready_core()) return nullptr;
    Ref module = Ref::steal(PyModule_Create2(&MODULE, 1013));
    if (!module) return nullptr;
    if (!add_function(module.get(), &REGISTER_NOOP_PROFILER) || !add_function(module.get(), &REGISTER_PROFILER)) {
        return nullptr;
    }
    return module.release();
}

}  // namespace
}  // namespace ruvo

PyMODINIT_FUNC PyInit__ruvo() {
    using namespace ruvo;
    return module_of_this_process("ruvo._ruvo", initialised_interpreter, module_object, create_module);
}
