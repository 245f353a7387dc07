#include "profiler_type.hpp"

#include <new>
#include <utility>

#include "args.hpp"
#include "config.hpp"
#include "document.hpp"
#include "errors.hpp"
#include "hook.hpp"
#include "names.hpp"
#include "serializer.hpp"

namespace ruvo {

ProfilerState* state_of(PyObject* self) {
    if (Py_TYPE(self) != &RuvoProfilerType || reinterpret_cast<RuvoProfilerObject*>(self)->state == nullptr) {
        set_conversion_error(self, "RuvoProfiler");
        return nullptr;
    }
    return reinterpret_cast<RuvoProfilerObject*>(self)->state;
}

PyObject* save_request_in_db(PyObject* self, PyObject*) {
    ProfilerState* state = state_of(self);
    if (state == nullptr) return nullptr;
    try {
        if (!save_in_db(*state)) return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

PyObject* build_trace(PyObject* self, PyObject*) {
    ProfilerState* state = state_of(self);
    if (state == nullptr) return nullptr;
    try {
        return build_trace_inner(*state).release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* register_threading_profiler(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* ignored[3];
    try {
        if (!parse_arguments("register_threading_profiler", args, nargs, kwnames, {"_frame", "_event", "_arg"},
                             ignored)) {
            return nullptr;
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (state_of(self) == nullptr) return nullptr;
    PyEval_SetProfile(profile_callback, self);
    Py_RETURN_NONE;
}

// Called as a Python profile function (frame, event, arg): what the program's
// own `old = sys.getprofile(); ...; sys.setprofile(old)` puts back. It records
// on as the native hook would.
PyObject* call_as_profile_function(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (state_of(self) == nullptr) return nullptr;
    PyObject* frame = nullptr;
    PyObject* event = nullptr;
    PyObject* arg = nullptr;
    if ((kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) || !PyArg_UnpackTuple(args, "RuvoProfiler", 3, 3, &frame, &event, &arg)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "RuvoProfiler takes (frame, event, arg)");
        return nullptr;
    }
    if (!PyFrame_Check(frame) || !PyUnicode_Check(event)) Py_RETURN_NONE;
    int what = -1;
    if (PyUnicode_CompareWithASCIIString(event, "call") == 0) what = PyTrace_CALL;
    if (PyUnicode_CompareWithASCIIString(event, "return") == 0) what = PyTrace_RETURN;
    if (what < 0) Py_RETURN_NONE;
    if (profile_callback(self, reinterpret_cast<PyFrameObject*>(frame), what, arg) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* new_instance(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    ProfilerState* state = reinterpret_cast<RuvoProfilerObject*>(self)->state;
    if (state == nullptr) return 0;
    for (const auto& entry : state->plugins) {
        for (const PluginProcessor& processor : entry.second) {
            Py_VISIT(processor.context.get());
            Py_VISIT(processor.call.get());
            Py_VISIT(processor.process.get());
        }
    }
    for (const auto& entry : state->threads) {
        for (const CallFrame& call : entry.second->call_frames) Py_VISIT(call.frame.get());
    }
    Py_VISIT(state->outer.get());
    return 0;
}

void dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    auto* profiler = reinterpret_cast<RuvoProfilerObject*>(self);
    delete std::exchange(profiler->state, nullptr);
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef METHODS[] = {
    {"save_request_in_db", save_request_in_db, METH_NOARGS, "save_request_in_db($self)\n--\n\n"},
    {"build_trace", build_trace, METH_NOARGS, "build_trace($self)\n--\n\n"},
    {"register_threading_profiler", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(register_threading_profiler)),
     METH_FASTCALL | METH_KEYWORDS, "register_threading_profiler($self, _frame, _event, _arg)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};



// No Py_TPFLAGS_BASETYPE: the type cannot be subclassed. No docstring and no
// instance dict.
PyTypeObject make_profiler_type() {
    PyTypeObject type{};
    PyVarObject head = {PyObject_HEAD_INIT(nullptr) 0};
    type.ob_base = head;
    type.tp_name = "ruvo._ruvo.RuvoProfiler";
    type.tp_basicsize = sizeof(RuvoProfilerObject);
    type.tp_dealloc = dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    type.tp_traverse = traverse;
    type.tp_methods = METHODS;
    type.tp_call = call_as_profile_function;
    type.tp_new = new_instance;
    return type;
}


PyTypeObject RuvoProfilerType = make_profiler_type();

bool ready_profiler_type() { return PyType_Ready(&RuvoProfilerType) == 0; }

namespace {

// The hook finds the serialiser and the logger by import. Importing them
// here, in the registering thread, keeps the first events of other threads
// from importing: a fork while a thread is importing leaves the module locked
// forever in the child. ruvo.git finds the commit when it is first imported,
// from the current directory: here that is where the program started, not
// wherever it has moved to by the time a trace is built. A module that
// cannot be imported is left for the events to report; only an interrupt
// stops the registration.
bool import_modules_of_the_hook() {
    for (PyObject* name : {NAMES.mod_serialize, NAMES.mod_logging, NAMES.mod_git}) {
        if (import_module(name)) continue;
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
        PyErr_Clear();
    }
    return true;
}

}  // namespace

Ref new_registered_profiler(PyObject* profiler) {
    if (!PyCallable_Check(profiler)) {
        PyErr_SetString(PyExc_TypeError, "profiler object is not callable");
        return Ref();
    }
    std::unique_ptr<ProfilerState> state = new_from_python(profiler);
    if (!state) return Ref();
    if (!import_modules_of_the_hook() || !close_hook_at_exit()) return Ref();
    allocfunc alloc = RuvoProfilerType.tp_alloc ? RuvoProfilerType.tp_alloc : PyType_GenericAlloc;
    Ref instance = Ref::steal(alloc(&RuvoProfilerType, 0));
    if (!instance) {
        set_internal_error("could not allocate a RuvoProfiler");
        return Ref();
    }
    reinterpret_cast<RuvoProfilerObject*>(instance.get())->state = state.release();
    if (PyObject_SetAttr(profiler, NAMES.rust_profiler, instance.get()) < 0) return Ref();
    return instance;
}

}  // namespace ruvo
