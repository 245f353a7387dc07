// The sys.monitoring backend (Python 3.12+): ruvo._monitoring with
// register(profiler) and stop(). The interpreter calls back per code object,
// so a code object whose events are never recorded is switched off with
// DISABLE after its first event and costs nothing afterwards; with the
// profile function every call of it would still reach the hook.
//
// This module is linked with its own copy of the core, so it builds and owns
// its profiler states itself. Records go through the hook's own event path
// and are the profile function's records: the events are mapped as the
// interpreter maps them for profile functions (PY_START, PY_RESUME and
// PY_THROW are calls; PY_RETURN, PY_YIELD and PY_UNWIND are returns).
#include <atomic>
#include <new>
#include <optional>
#include <string>

#include "args.hpp"
#include "config.hpp"
#include "errors.hpp"
#include "filters.hpp"
#include "hook.hpp"
#include "ids.hpp"
#include "module_init.hpp"
#include "names.hpp"
#include "profiler_type.hpp"

namespace ruvo {
namespace {

// Not one of the ids CPython names (debugger 0, coverage 1, profiler 2,
// optimizer 5), so debuggers, coverage.py and cProfile can run alongside.
constexpr int TOOL_ID = 4;
constexpr const char* TOOL_NAME = "ruvo";

struct Monitoring {
    PyObject* monitoring = nullptr;  // sys.monitoring
    PyObject* disable = nullptr;     // sys.monitoring.DISABLE
    // The RuvoProfiler of the current registration, owned; null when stopped.
    PyObject* active = nullptr;
    // Bumped by each registration: a thread takes part while its own mark
    // equals it, so threads of an earlier registration fall out.
    uint64_t registration = 0;
    bool owns_tool = false;
    // What decides which code objects were switched off by the last
    // registration; another one needs them back.
    std::optional<std::string> disabled_under;
};

Monitoring M;
thread_local uint64_t thread_registration = 0;

struct EventCallback {
    const char* event;
    PyMethodDef definition;
};

PyObject* none() { Py_RETURN_NONE; }

RuvoProfilerObject* active() { return reinterpret_cast<RuvoProfilerObject*>(M.active); }

// Hands one event of the current frame to the hook's path. The frame is the
// one PyEval_GetFrame gives, as for the interpreter's own profile emulation.
PyObject* deliver(RuvoProfilerObject* self, PyObject* arg, bool is_call) {
    if (thread_registration != M.registration) return none();
    PyFrameObject* frame = PyEval_GetFrame();
    if (frame == nullptr) {
        PyErr_SetString(PyExc_SystemError, "Missing frame when calling profile function.");
        return nullptr;
    }
    Ref keep_frame = Ref::borrow(reinterpret_cast<PyObject*>(frame));
    Ref keep_profiler = Ref::borrow(reinterpret_cast<PyObject*>(self));
    if (!profile_frame_event(self, keep_frame.get(), arg, is_call)) return nullptr;
    return none();
}

// Events that may be switched off per code object and instruction. The verdict
// does not depend on the thread, so switching off for every thread is right.
PyObject* local_event(PyObject* const* args, Py_ssize_t nargs, bool is_call) {
    RuvoProfilerObject* self = active();
    if (self == nullptr || nargs < 2 || !PyCode_Check(args[0])) return none();
    if (code_passed_over(*self->state, args[0])) return Py_NewRef(M.disable);
    return deliver(self, is_call || nargs < 3 ? Py_None : args[2], is_call);
}

PyObject* on_start(PyObject*, PyObject* const* args, Py_ssize_t nargs) { return local_event(args, nargs, true); }
PyObject* on_return(PyObject*, PyObject* const* args, Py_ssize_t nargs) { return local_event(args, nargs, false); }

// PY_THROW and PY_UNWIND cannot be switched off; the hook's path passes over
// skipped code by itself. A throw is a call whose arg is, as the profile
// function sees it, the exception on 3.12 and None from 3.13 on.
PyObject* on_throw(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    RuvoProfilerObject* self = active();
    if (self == nullptr) return none();
#if PY_VERSION_HEX >= 0x030D0000
    (void)args;
    (void)nargs;
    return deliver(self, Py_None, true);
#else
    return deliver(self, nargs >= 3 ? args[2] : Py_None, true);
#endif
}

PyObject* on_unwind(PyObject*, PyObject* const*, Py_ssize_t) {
    RuvoProfilerObject* self = active();
    if (self == nullptr) return none();
    return deliver(self, Py_None, false);
}

#define RUVO_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

EventCallback CALLBACKS[] = {
    {"PY_START", {"on_py_start", RUVO_FASTCALL(on_start), METH_FASTCALL, nullptr}},
    {"PY_RESUME", {"on_py_resume", RUVO_FASTCALL(on_start), METH_FASTCALL, nullptr}},
    {"PY_THROW", {"on_py_throw", RUVO_FASTCALL(on_throw), METH_FASTCALL, nullptr}},
    {"PY_RETURN", {"on_py_return", RUVO_FASTCALL(on_return), METH_FASTCALL, nullptr}},
    {"PY_YIELD", {"on_py_yield", RUVO_FASTCALL(on_return), METH_FASTCALL, nullptr}},
    {"PY_UNWIND", {"on_py_unwind", RUVO_FASTCALL(on_unwind), METH_FASTCALL, nullptr}},
};

// sys.monitoring, found once; false with ValueError on interpreters without it.
bool find_monitoring() {
    if (M.monitoring != nullptr) return true;
    Ref sys = Ref::steal(PyImport_ImportModule("sys"));
    if (!sys) return false;
    Ref monitoring = Ref::steal(PyObject_GetAttrString(sys.get(), "monitoring"));
    if (!monitoring) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "the monitoring backend needs Python 3.12 or later");
        return false;
    }
    Ref disable = Ref::steal(PyObject_GetAttrString(monitoring.get(), "DISABLE"));
    if (!disable) return false;
    M.monitoring = monitoring.release();
    M.disable = disable.release();
    return true;
}

bool event_number(const char* name, long* out) {
    Ref events = Ref::steal(PyObject_GetAttrString(M.monitoring, "events"));
    if (!events) return false;
    Ref value = Ref::steal(PyObject_GetAttrString(events.get(), name));
    if (!value) return false;
    *out = PyLong_AsLong(value.get());
    return !(*out == -1 && PyErr_Occurred());
}

// Takes the tool id, or says who has it.
bool take_tool_id() {
    Ref holder = Ref::steal(PyObject_CallMethod(M.monitoring, "get_tool", "i", TOOL_ID));
    if (!holder) return false;
    if (holder.get() != Py_None) {
        Ref text = Ref::steal(PyObject_Repr(holder.get()));
        PyErr_Format(PyExc_RuntimeError,
                     "sys.monitoring tool id %d is already in use by %s: ruvo's monitoring backend cannot start",
                     TOOL_ID, text ? PyUnicode_AsUTF8(text.get()) : "another tool");
        return false;
    }
    if (!Ref::steal(PyObject_CallMethod(M.monitoring, "use_tool_id", "is", TOOL_ID, TOOL_NAME))) return false;
    M.owns_tool = true;
    return true;
}

// Switches every event off, drops the callbacks and frees the tool id.
bool release_tool_id() {
    if (!M.owns_tool) return true;
    M.owns_tool = false;
    bool ok = Ref::steal(PyObject_CallMethod(M.monitoring, "set_events", "ii", TOOL_ID, 0)).operator bool();
    for (const EventCallback& callback : CALLBACKS) {
        long event = 0;
        ok = ok && event_number(callback.event, &event) &&
             Ref::steal(PyObject_CallMethod(M.monitoring, "register_callback", "ilO", TOOL_ID, event, Py_None))
                 .operator bool();
    }
    return ok && Ref::steal(PyObject_CallMethod(M.monitoring, "free_tool_id", "i", TOOL_ID)).operator bool();
}

bool install_callbacks(PyObject* module, long* all_events) {
    *all_events = 0;
    for (EventCallback& callback : CALLBACKS) {
        long event = 0;
        if (!event_number(callback.event, &event)) return false;
        Ref function = Ref::steal(PyCFunction_New(&callback.definition, module));
        if (!function) return false;
        Ref previous =
            Ref::steal(PyObject_CallMethod(M.monitoring, "register_callback", "ilO", TOOL_ID, event, function.get()));
        if (!previous) return false;
        *all_events |= event;
    }
    return true;
}

// Everything that decides which code objects the callbacks switch off.
std::string disabling_key(const ProfilerState& state) {
    std::string key;
    for (const auto* finders : {&state.include_frames, &state.ignore_frames}) {
        for (const Finder& finder : *finders) key += finder.needle() + '\0';
        key += '\1';
    }
    for (const auto& entry : state.plugins) key += entry.first + '\0';
    return key;
}

// As in _ruvo: the modules the hook imports are imported here, in the
// registering thread, so that no event of another thread imports them.
bool import_modules_of_the_hook() {
    for (PyObject* name : {NAMES.mod_serialize, NAMES.mod_logging, NAMES.mod_git}) {
        if (import_module(name)) continue;
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
        PyErr_Clear();
    }
    return true;
}

PyObject* stop_inner() {
    Py_CLEAR(M.active);
    if (!release_tool_id()) return nullptr;
    return none();
}

PyObject* register_inner(PyObject* module, PyObject* profiler) {
    if (!find_monitoring()) return nullptr;
    if (!PyCallable_Check(profiler)) {
        PyErr_SetString(PyExc_TypeError, "profiler object is not callable");
        return nullptr;
    }
    std::unique_ptr<ProfilerState> state = new_from_python(profiler);
    if (!state) return nullptr;
    if (!import_modules_of_the_hook() || !close_hook_at_exit()) return nullptr;
    bool threading = state->threading;
    std::string key = disabling_key(*state);

    allocfunc alloc = RuvoProfilerType.tp_alloc ? RuvoProfilerType.tp_alloc : PyType_GenericAlloc;
    Ref instance = Ref::steal(alloc(&RuvoProfilerType, 0));
    if (!instance) {
        set_internal_error("could not allocate a RuvoProfiler");
        return nullptr;
    }
    reinterpret_cast<RuvoProfilerObject*>(instance.get())->state = state.release();
    if (PyObject_SetAttr(profiler, NAMES.rust_profiler, instance.get()) < 0) return nullptr;

    // A registration replaces the one before, as the profile function would.
    if (!M.owns_tool && !take_tool_id()) return nullptr;
    long events = 0;
    if (!install_callbacks(module, &events)) {
        stop_inner();
        return nullptr;
    }
    Py_XSETREF(M.active, instance.release());
    thread_registration = ++M.registration;
    if (!Ref::steal(PyObject_CallMethod(M.monitoring, "set_events", "il", TOOL_ID, events))) {
        Ref error = fetch_error();
        stop_inner();
        restore_error(std::move(error));
        return nullptr;
    }
    if (M.disabled_under && *M.disabled_under != key &&
        !Ref::steal(PyObject_CallMethod(M.monitoring, "restart_events", nullptr))) {
        return nullptr;
    }
    M.disabled_under = std::move(key);

    if (!threading) return none();
    Ref threading_module = Ref::steal(PyImport_Import(NAMES.mod_threading));
    if (!threading_module) return nullptr;
    Ref hook = Ref::steal(PyObject_GetAttrString(module, "_join_thread"));
    if (!hook) return nullptr;
    return PyObject_CallMethodOneArg(threading_module.get(), NAMES.setprofile, hook.get());
}

PyObject* register_profiler(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* profiler = nullptr;
    if (!parse_arguments("register", args, nargs, kwnames, {"profiler"}, &profiler)) return nullptr;
    try {
        return register_inner(module, profiler);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* stop(PyObject*, PyObject*) { return stop_inner(); }

// threading's profile function in each thread it starts: the thread takes part
// in the current registration from its first event on, and needs no profile
// function afterwards.
PyObject* join_thread(PyObject*, PyObject* const*, Py_ssize_t) {
    if (M.active != nullptr) thread_registration = M.registration;
    PyEval_SetProfile(nullptr, nullptr);
    return none();
}

PyObject* active_profiler(PyObject*, PyObject*) { return Py_NewRef(M.active ? M.active : Py_None); }

PyMethodDef FUNCTIONS[] = {
    {"register", RUVO_FASTCALL(register_profiler), METH_FASTCALL | METH_KEYWORDS,
     "register(profiler)\n--\n\nStarts recording the calling thread (and, with threading, threads started "
     "later) through sys.monitoring."},
    {"stop", stop, METH_NOARGS, "stop()\n--\n\nStops recording in every thread and frees the tool id."},
    {"_join_thread", RUVO_FASTCALL(join_thread), METH_FASTCALL, nullptr},
    {"active_profiler", active_profiler, METH_NOARGS,
     "active_profiler()\n--\n\nThe native profiler recording now, or None."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef MODULE = {PyModuleDef_HEAD_INIT, "_monitoring", "", 0, FUNCTIONS, nullptr, nullptr, nullptr, nullptr};

PyObject* module_object = nullptr;
// As for _ruvo: the states and interned names belong to one interpreter.
std::atomic<int64_t> initialised_interpreter{-1};

PyObject* create_module() {
    RuvoProfilerType.tp_name = "ruvo._monitoring.RuvoProfiler";
    if (!init_names() || !ready_profiler_type()) return nullptr;
    init_code_cache();
    install_fork_handler();
    Ref module = Ref::steal(PyModule_Create2(&MODULE, 1013));
    if (!module) return nullptr;
    if (PyModule_AddIntConstant(module.get(), "TOOL_ID", TOOL_ID) < 0) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace ruvo

PyMODINIT_FUNC PyInit__monitoring() {
    using namespace ruvo;
    return module_of_this_process("ruvo._monitoring", initialised_interpreter, module_object, create_module);
}
