#include "fork.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "errors.hpp"
#include "names.hpp"
#include "refs.hpp"
#include "state.hpp"
#include "store.hpp"

namespace ruvo {

namespace {

// Every live state of this copy of the core (_ruvo and _monitoring each have
// their own). Guarded by the interpreter lock.
std::vector<ProfilerState*> followed;

// The host learns the new id too: it saves and reports under its own
// "trace_id" (ruvo run prints it, Profiler.save() returns it).
void tell_host(ProfilerState& state) {
    if (!state.host) return;
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* found = nullptr;
    if (PyWeakref_GetRef(state.host.get(), &found) <= 0) {
        PyErr_Clear();
        return;
    }
    Ref host = Ref::steal(found);
#else
    Ref host = Ref::borrow(PyWeakref_GetObject(state.host.get()));
    if (!host || host.get() == Py_None) return;
#endif
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(state.trace_id.data(), static_cast<Py_ssize_t>(state.trace_id.size())));
    // A host that refuses the attribute keeps its old id; the child's trace is
    // still its own.
    if (!text || PyObject_SetAttr(host.get(), NAMES.trace_id, text.get()) < 0) PyErr_Clear();
}

// Run in the child by os.fork(), with the interpreter lock, once CPython has
// made the child's interpreter whole again (only the forking thread is left).
// A C function registered through os.register_at_fork rather than a method
// or module function, whose namespaces are fixed; and not a pthread_atfork
// handler, which runs before the interpreter is usable and could not tell
// the host. The records of a program's own after-fork callbacks that ran
// before this one are dropped with the parent's.
PyObject* start_own_traces(PyObject*, PyObject*) {
    for (ProfilerState* state : followed) {
        if (!start_new_trace(*state)) {
            // Only a poisoned lock gets here: that state records nothing sound.
            PyErr_WriteUnraisable(nullptr);
            continue;
        }
        tell_host(*state);
    }
    Py_RETURN_NONE;
}

PyMethodDef START_OWN_TRACES = {"start_own_traces", start_own_traces, METH_NOARGS, nullptr};

}  // namespace

bool follow_forks(ProfilerState* state) {
    static bool registered = false;
    if (!registered) {
        Ref os = Ref::steal(PyImport_ImportModule("os"));
        if (!os) return false;
        Ref register_at_fork = Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
        if (!register_at_fork) return false;
        Ref function = Ref::steal(PyCFunction_New(&START_OWN_TRACES, nullptr));
        if (!function) return false;
        Ref args = Ref::steal(PyTuple_New(0));
        Ref kwargs = Ref::steal(PyDict_New());
        if (!args || !kwargs || PyDict_SetItemString(kwargs.get(), "after_in_child", function.get()) < 0) return false;
        if (!Ref::steal(PyObject_Call(register_at_fork.get(), args.get(), kwargs.get()))) return false;
        registered = true;
    }
    followed.push_back(state);
    return true;
}

void stop_following_forks(ProfilerState* state) {
    followed.erase(std::remove(followed.begin(), followed.end(), state), followed.end());
}

}  // namespace ruvo
