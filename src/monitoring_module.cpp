// The sys.monitoring backend (Python 3.12+): ruvo._monitoring with
// register(profiler), stop(), pause() and resume(). The interpreter calls back per code object,
// so a code object whose events are never recorded is switched off with
// DISABLE after its first event and costs nothing afterwards; with the
// profile function every call of it would still reach the hook.
//
// It shares the one core with _ruvo (the profiler type, the names, the
// code-object cache) and builds and owns its profiler states itself. Records go through the hook's own event path
// and are the profile function's records: the events are mapped as the
// interpreter maps them for profile functions (PY_START, PY_RESUME and
// PY_THROW are calls; PY_RETURN, PY_YIELD and PY_UNWIND are returns).
#include <algorithm>
#include <atomic>
#include <new>
#include <optional>
#include <string>
#include <vector>

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

// Not ids CPython names (debugger 0, coverage 1, profiler 2, optimizer 5),
// so debuggers, coverage.py and cProfile can run alongside; the second is
// taken when a program holds the first.
constexpr int TOOL_IDS[] = {4, 3};
constexpr const char* TOOL_NAME = "ruvo";

// One started profiler. Profilers nest: each records the threads it was
// started in (and, with threading, the threads started after it), into its
// own state only.
struct Registration {
    Ref instance;  // the RuvoProfiler
    uint64_t number;
    bool threading;
    std::string key;  // what decides which code objects it passes over
};

struct Monitoring {
    PyObject* monitoring = nullptr;  // sys.monitoring
    PyObject* disable = nullptr;     // sys.monitoring.DISABLE
    // In the order they started. Never destroyed: at process exit the
    // interpreter is gone before static destructors would drop them.
    std::vector<Registration>& registrations = *new std::vector<Registration>();
    uint64_t numbered = 0;
    int tool_id = -1;  // held while any registration is
    // Keys of registrations active at every DISABLE since the last
    // restart_events: code they switched off is passed over by each of them,
    // so a registration with one of these keys needs nothing switched back on.
    std::vector<std::string> common_keys;
};

Monitoring M;

// The registrations the calling thread takes part in, and those it paused.
thread_local std::vector<uint64_t> thread_joined;
thread_local std::vector<uint64_t> thread_paused;

bool contains(const std::vector<uint64_t>& numbers, uint64_t number) {
    return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
}

// Forgets the calling thread's marks of registrations that have ended, so
// that a thread starting a profiler per request or per test keeps lists as
// short as the profilers running, not as long as all it ever started.
void forget_ended_registrations();

void forget_ended_registrations() {
    auto ended = [](uint64_t number) {
        for (const Registration& registration : M.registrations) {
            if (registration.number == number) return false;
        }
        return true;
    };
    for (std::vector<uint64_t>* marks : {&thread_joined, &thread_paused}) {
        marks->erase(std::remove_if(marks->begin(), marks->end(), ended), marks->end());
    }
}

Registration* find_registration(PyObject* instance) {
    for (Registration& registration : M.registrations) {
        if (registration.instance.get() == instance) return &registration;
    }
    return nullptr;
}

struct EventCallback {
    const char* event;
    PyMethodDef definition;
};

PyObject* none() { Py_RETURN_NONE; }

// Hands one event of the current frame to the hook's path of every profiler
// the thread records for, outermost first. The frame is the one
// PyEval_GetFrame gives, as for the interpreter's own profile emulation.
PyObject* deliver(PyObject* arg, bool is_call) {
    // The profilers are held for the event: one may be stopped meanwhile.
    constexpr size_t MOST = 8;
    Ref targets[MOST];
    size_t count = 0;
    for (const Registration& registration : M.registrations) {
        if (count < MOST && contains(thread_joined, registration.number) &&
            !contains(thread_paused, registration.number)) {
            targets[count++] = Ref::borrow(registration.instance.get());
        }
    }
    if (count == 0) return none();
    PyFrameObject* frame = PyEval_GetFrame();
    if (frame == nullptr) {
        PyErr_SetString(PyExc_SystemError, "Missing frame when calling profile function.");
        return nullptr;
    }
    Ref keep_frame = Ref::borrow(reinterpret_cast<PyObject*>(frame));
    for (size_t i = 0; i < count; ++i) {
        auto* self = reinterpret_cast<RuvoProfilerObject*>(targets[i].get());
        if (!profile_frame_event(self, keep_frame.get(), arg, is_call)) return nullptr;
    }
    return none();
}

// Whether no started profiler records this code: its events may be switched
// off. The verdict does not depend on the thread, so switching off for
// every thread is right.
bool passed_over_by_all(PyObject* code) {
    for (const Registration& registration : M.registrations) {
        auto* self = reinterpret_cast<RuvoProfilerObject*>(registration.instance.get());
        if (!code_passed_over(*self->state, code)) return false;
    }
    return true;
}

// Events that may be switched off per code object and instruction.
PyObject* local_event(PyObject* const* args, Py_ssize_t nargs, bool is_call) {
    if (M.registrations.empty() || nargs < 2 || !PyCode_Check(args[0])) return none();
    if (passed_over_by_all(args[0])) {
        // Keys not active now may not pass this code over.
        std::vector<std::string>& keys = M.common_keys;
        keys.erase(std::remove_if(keys.begin(), keys.end(),
                                  [](const std::string& key) {
                                      for (const Registration& r : M.registrations) {
                                          if (r.key == key) return false;
                                      }
                                      return true;
                                  }),
                   keys.end());
        return Py_NewRef(M.disable);
    }
    return deliver(is_call || nargs < 3 ? Py_None : args[2], is_call);
}

PyObject* on_start(PyObject*, PyObject* const* args, Py_ssize_t nargs) { return local_event(args, nargs, true); }
PyObject* on_return(PyObject*, PyObject* const* args, Py_ssize_t nargs) { return local_event(args, nargs, false); }

// PY_THROW and PY_UNWIND cannot be switched off; the hook's path passes over
// skipped code by itself. A throw is a call whose arg is, as the profile
// function sees it, the exception on 3.12 and None from 3.13 on.
PyObject* on_throw(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (M.registrations.empty()) return none();
#if PY_VERSION_HEX >= 0x030D0000
    (void)args;
    (void)nargs;
    return deliver(Py_None, true);
#else
    return deliver(nargs >= 3 ? args[2] : Py_None, true);
#endif
}

PyObject* on_unwind(PyObject*, PyObject* const*, Py_ssize_t) {
    if (M.registrations.empty()) return none();
    return deliver(Py_None, false);
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

// Takes the first free tool id, or says who holds them.
bool take_tool_id() {
    std::string holders;
    for (int id : TOOL_IDS) {
        Ref holder = Ref::steal(PyObject_CallMethod(M.monitoring, "get_tool", "i", id));
        if (!holder) return false;
        if (holder.get() == Py_None) {
            if (!Ref::steal(PyObject_CallMethod(M.monitoring, "use_tool_id", "is", id, TOOL_NAME))) return false;
            M.tool_id = id;
            return true;
        }
        Ref text = Ref::steal(PyObject_Repr(holder.get()));
        if (!text) return false;
        const char* utf8 = PyUnicode_AsUTF8(text.get());
        if (!utf8) return false;
        holders += (holders.empty() ? "" : ", ") + std::to_string(id) + " by " + utf8;
    }
    PyErr_Format(PyExc_RuntimeError,
                 "sys.monitoring tool ids %d and %d are already in use (%s): ruvo's monitoring backend cannot start",
                 TOOL_IDS[0], TOOL_IDS[1], holders.c_str());
    return false;
}

// Switches every event off, drops the callbacks and frees the tool id.
bool release_tool_id() {
    if (M.tool_id < 0) return true;
    int id = M.tool_id;
    M.tool_id = -1;
    bool ok = Ref::steal(PyObject_CallMethod(M.monitoring, "set_events", "ii", id, 0)).operator bool();
    for (const EventCallback& callback : CALLBACKS) {
        long event = 0;
        ok = ok && event_number(callback.event, &event) &&
             Ref::steal(PyObject_CallMethod(M.monitoring, "register_callback", "ilO", id, event, Py_None))
                 .operator bool();
    }
    return ok && Ref::steal(PyObject_CallMethod(M.monitoring, "free_tool_id", "i", id)).operator bool();
}

bool install_callbacks(PyObject* module, long* all_events) {
    *all_events = 0;
    for (EventCallback& callback : CALLBACKS) {
        long event = 0;
        if (!event_number(callback.event, &event)) return false;
        Ref function = Ref::steal(PyCFunction_New(&callback.definition, module));
        if (!function) return false;
        Ref previous =
            Ref::steal(PyObject_CallMethod(M.monitoring, "register_callback", "ilO", M.tool_id, event, function.get()));
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

// Ends one registration (every one when `instance` is null); the tool id goes
// with the last. Threads drop out of it at their next event.
PyObject* stop_inner(PyObject* instance) {
    // Dropping a profiler may run Python code: it leaves the list first.
    std::vector<Registration> ended;
    auto& all = M.registrations;
    for (auto it = all.begin(); it != all.end();) {
        if (instance == nullptr || it->instance.get() == instance) {
            ended.push_back(std::move(*it));
            it = all.erase(it);
        } else {
            ++it;
        }
    }
    if (all.empty() && !release_tool_id()) return nullptr;
    ended.clear();
    return none();
}

PyObject* register_inner(PyObject* module, PyObject* profiler) {
    if (!find_monitoring()) return nullptr;
    Ref instance = new_registered_profiler(profiler);
    if (!instance) return nullptr;
    const ProfilerState& state = *reinterpret_cast<RuvoProfilerObject*>(instance.get())->state;
    bool threading = state.threading;
    std::string key = disabling_key(state);

    bool first = M.registrations.empty();
    if (first) {
        if (!take_tool_id()) return nullptr;
        long events = 0;
        if (!install_callbacks(module, &events) ||
            !Ref::steal(PyObject_CallMethod(M.monitoring, "set_events", "il", M.tool_id, events))) {
            Ref error = fetch_error();
            stop_inner(nullptr);
            restore_error(std::move(error));
            return nullptr;
        }
    }
    // Code switched off before (by an earlier holder of the id, or for other
    // profilers' filters) may be this one's to record.
    bool known = std::find(M.common_keys.begin(), M.common_keys.end(), key) != M.common_keys.end();
    if (first || !known) {
        if (!Ref::steal(PyObject_CallMethod(M.monitoring, "restart_events", nullptr))) {
            if (first) {
                Ref error = fetch_error();
                stop_inner(nullptr);
                restore_error(std::move(error));
            }
            return nullptr;
        }
        M.common_keys.clear();
        for (const Registration& registration : M.registrations) M.common_keys.push_back(registration.key);
    }
    uint64_t number = ++M.numbered;
    M.common_keys.push_back(key);
    M.registrations.push_back(Registration{std::move(instance), number, threading, std::move(key)});
    forget_ended_registrations();
    thread_joined.push_back(number);

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

PyObject* stop(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs > 1) {
        PyErr_SetString(PyExc_TypeError, "stop() takes at most one argument (the native profiler)");
        return nullptr;
    }
    try {
        return stop_inner(nargs == 1 && args[0] != Py_None ? args[0] : nullptr);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* tool_id_or_none() {
    if (M.tool_id < 0) return none();
    return PyLong_FromLong(M.tool_id);
}

// The program claims the id ruvo holds: ruvo moves to the other one, its
// callbacks and events with it (a new id has nothing switched off yet). With
// no other id free it lets go, and recording stops. Returns the id ruvo
// holds afterwards, or None.
PyObject* give_up_tool_id(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1 || !PyLong_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "give_up_tool_id() takes a tool id");
        return nullptr;
    }
    long claimed = PyLong_AsLong(args[0]);
    if (claimed == -1 && PyErr_Occurred()) return nullptr;
    if (M.tool_id < 0 || claimed != M.tool_id) return tool_id_or_none();
    int old = M.tool_id;
    int next = -1;
    for (int id : TOOL_IDS) {
        if (id == old) continue;
        Ref holder = Ref::steal(PyObject_CallMethod(M.monitoring, "get_tool", "i", id));
        if (!holder) return nullptr;
        if (holder.get() == Py_None) next = id;
    }
    if (!release_tool_id()) return nullptr;
    if (next < 0) return none();
    if (!Ref::steal(PyObject_CallMethod(M.monitoring, "use_tool_id", "is", next, TOOL_NAME))) return nullptr;
    M.tool_id = next;
    long events = 0;
    if (!install_callbacks(module, &events) ||
        !Ref::steal(PyObject_CallMethod(M.monitoring, "set_events", "il", M.tool_id, events))) {
        return nullptr;
    }
    M.common_keys.clear();
    for (const Registration& registration : M.registrations) M.common_keys.push_back(registration.key);
    return tool_id_or_none();
}

// Pausing is per thread and per profiler, as the profile function's is.
PyObject* set_paused(PyObject* const* args, Py_ssize_t nargs, bool paused) {
    if (nargs != 1) {
        PyErr_SetString(PyExc_TypeError, "pause() and resume() take the native profiler");
        return nullptr;
    }
    Registration* registration = find_registration(args[0]);
    if (registration == nullptr) return none();
    auto found = std::find(thread_paused.begin(), thread_paused.end(), registration->number);
    if (paused && found == thread_paused.end()) thread_paused.push_back(registration->number);
    if (!paused && found != thread_paused.end()) thread_paused.erase(found);
    return none();
}

PyObject* pause(PyObject*, PyObject* const* args, Py_ssize_t nargs) { return set_paused(args, nargs, true); }
PyObject* resume(PyObject*, PyObject* const* args, Py_ssize_t nargs) { return set_paused(args, nargs, false); }

// threading's profile function in each thread it starts: the thread takes part
// in every threading registration from its first event on, and needs no
// profile function afterwards.
PyObject* join_thread(PyObject*, PyObject* const*, Py_ssize_t) {
    forget_ended_registrations();
    for (const Registration& registration : M.registrations) {
        if (registration.threading && !contains(thread_joined, registration.number)) {
            thread_joined.push_back(registration.number);
        }
    }
    PyEval_SetProfile(nullptr, nullptr);
    return none();
}

PyObject* active_profiler(PyObject*, PyObject*) {
    return Py_NewRef(M.registrations.empty() ? Py_None : M.registrations.back().instance.get());
}

PyObject* tool_id(PyObject*, PyObject*) { return tool_id_or_none(); }

PyMethodDef FUNCTIONS[] = {
    {"register", RUVO_FASTCALL(register_profiler), METH_FASTCALL | METH_KEYWORDS,
     "register(profiler)\n--\n\nStarts recording the calling thread (and, with threading, threads started "
     "later) through sys.monitoring, alongside any profiler already started."},
    {"stop", RUVO_FASTCALL(stop), METH_FASTCALL,
     "stop(native=None)\n--\n\nStops one native profiler (every one when None) in every thread; the last "
     "frees the tool id."},
    {"pause", RUVO_FASTCALL(pause), METH_FASTCALL,
     "pause(native)\n--\n\nStops recording the calling thread into this profiler until resume()."},
    {"resume", RUVO_FASTCALL(resume), METH_FASTCALL,
     "resume(native)\n--\n\nRecords the calling thread into this profiler again."},
    {"_join_thread", RUVO_FASTCALL(join_thread), METH_FASTCALL, nullptr},
    {"active_profiler", active_profiler, METH_NOARGS,
     "active_profiler()\n--\n\nThe native profiler started last and still recording, or None."},
    {"tool_id", tool_id, METH_NOARGS, "tool_id()\n--\n\nThe sys.monitoring tool id ruvo holds, or None."},
    {"give_up_tool_id", RUVO_FASTCALL(give_up_tool_id), METH_FASTCALL,
     "give_up_tool_id(tool_id)\n--\n\nMoves ruvo off this tool id, which the program claims; returns the id "
     "ruvo holds afterwards, or None when none was free and recording stopped."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef MODULE = {PyModuleDef_HEAD_INIT, "_monitoring", "", 0, FUNCTIONS, nullptr, nullptr, nullptr, nullptr};

PyObject* module_object = nullptr;
// As for _ruvo: the states and interned names belong to one interpreter.
std::atomic<int64_t> initialised_interpreter{-1};

PyObject* create_module() {
    if (!ready_core()) return nullptr;
    Ref module = Ref::steal(PyModule_Create2(&MODULE, 1013));
    if (!module) return nullptr;
    if (PyModule_AddIntConstant(module.get(), "TOOL_ID", TOOL_IDS[0]) < 0) return nullptr;
    Ref ids = Ref::steal(Py_BuildValue("(ii)", TOOL_IDS[0], TOOL_IDS[1]));
    if (!ids || PyModule_AddObjectRef(module.get(), "TOOL_IDS", ids.get()) < 0) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace ruvo

PyMODINIT_FUNC PyInit__monitoring() {
    using namespace ruvo;
    return module_of_this_process("ruvo._monitoring", initialised_interpreter, module_object, create_module);
}
