#include "hook.hpp"

#include <pthread.h>
#include <unistd.h>

#include <utility>

#include "budget.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "filters.hpp"
#include "frame_record.hpp"
#include "names.hpp"
#include "profiler_type.hpp"
#include "report.hpp"
#include "state.hpp"
#include "store.hpp"
#include "tally.hpp"

namespace ruvo {

// ---------------------------------------------------------------- interpreter shutdown

namespace {

// While the interpreter finalises, CPython 3.11 to 3.13 end every other
// thread that asks for the interpreter lock back with pthread_exit. The
// forced unwinding that follows would run this hook's C++ destructors on a
// thread that no longer has a thread state (reference releases without the
// lock) and end in std::terminate at the first noexcept frame. So no thread
// may be inside the hook's Python part by then: an atexit handler, which runs
// before finalisation begins, closes that part to every thread but its own
// and lets the others run until those inside have left. All of this is
// guarded by the interpreter lock.

int events_in_python = 0;
bool closing = false;
PyThreadState* closing_thread = nullptr;
// Past this, a thread stuck inside the hook (a value's __repr__ waiting on a
// lock, say) is left to its fate rather than holding up the exit.
constexpr int CLOSING_WAIT_MS = 1000;

class InPython {
  public:
    InPython() { ++events_in_python; }
    ~InPython() { --events_in_python; }
    InPython(const InPython&) = delete;
    InPython& operator=(const InPython&) = delete;
};

bool hook_open_here() { return !closing || PyThreadState_Get() == closing_thread; }

PyObject* close_hook_for_exit(PyObject*, PyObject*) {
    closing = true;
    closing_thread = PyThreadState_Get();
    for (int waited = 0; events_in_python > 0 && waited < CLOSING_WAIT_MS; ++waited) {
        Py_BEGIN_ALLOW_THREADS
        usleep(1000);
        Py_END_ALLOW_THREADS
    }
    Py_RETURN_NONE;
}

PyMethodDef CLOSE_HOOK_FOR_EXIT = {"close_hook_for_exit", close_hook_for_exit, METH_NOARGS, nullptr};

// Threads that were inside the hook when another forked are gone in the child.
void reset_after_fork() { events_in_python = 0; }

}  // namespace

bool close_hook_at_exit() {
    static bool registered = false;
    if (registered) return true;
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return false;
    Ref function = Ref::steal(PyCFunction_New(&CLOSE_HOOK_FOR_EXIT, nullptr));
    if (!function) return false;
    Ref done = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", function.get()));
    if (!done) return false;
    pthread_atfork(nullptr, nullptr, reset_after_fork);
    registered = true;
    return true;
}

// ---------------------------------------------------------------- events

namespace {

constexpr uintptr_t VERDICT_MASK = 3;
constexpr uintptr_t HAS_PLUGINS = 4;
constexpr int GENERATION_SHIFT = 3;

// Everything the per-event path needs to know of a code object that does not
// change between events: the file-name verdict and whether any plugin is
// filed under its name, tagged with the state's generation. 0 on failure.
uintptr_t code_info(ProfilerState& state, PyCodeObject* code) {
    if (!PyUnicode_Check(code->co_filename)) {
        set_internal_error("`co_filename` is always a string");
        return 0;
    }
    if (!PyUnicode_Check(code->co_name)) {
        set_internal_error("`co_name` is always a string");
        return 0;
    }
    TraceText filename, name;
    if (!filename.set(code->co_filename) || !name.set(code->co_name)) return 0;
    Verdict verdict = decide_by_filename(filename.view(), state.include_frames, state.ignore_frames);
    bool has_plugins = !state.plugins.empty() && state.plugins.find(name.view()) != state.plugins.end();
    return (state.filter_generation << GENERATION_SHIFT) | (has_plugins ? HAS_PLUGINS : 0) |
           static_cast<uintptr_t>(verdict);
}

// Marks a thread's data as in use for the length of one event.
class ThreadDataUse {
  public:
    explicit ThreadDataUse(ThreadData& thread) : thread_(thread) { thread_.in_use = true; }
    ~ThreadDataUse() { thread_.in_use = false; }
    ThreadDataUse(const ThreadDataUse&) = delete;
    ThreadDataUse& operator=(const ThreadDataUse&) = delete;

  private:
    ThreadData& thread_;
};

// The part of an event that can run Python code: plugins, the attrs test
// and the frame record.
void process_event(ProfilerState& state, PyObject* frame, PyObject* arg, bool is_call, PyCodeObject* code,
                   uintptr_t info) {
    PyObject* event_name = is_call ? NAMES.event_call : NAMES.event_return;
    auto report = [&] {
        log_error(&state.left_out.failures, fetch_error(), frame, event_name, code->co_filename, code->co_name);
    };

    TraceText filename_text, co_name_text;
    if (!filename_text.set(code->co_filename) || !co_name_text.set(code->co_name)) return report();
    std::string_view filename = filename_text.view(), co_name = co_name_text.view();
    ThreadData& thread = thread_data(state);
    if (thread.in_use) {
        set_internal_error("the thread's profiler data is already in use");
        return report();
    }
    ThreadDataUse use(thread);

    std::vector<EventRecord>& records = thread.scratch.records;
    records.clear();
    thread.scratch.stamped = 0;
    if (info & HAS_PLUGINS) {
        auto found = state.plugins.find(co_name);
        if (found != state.plugins.end()) {
            PluginEvent event{frame, arg, event_name, is_call, filename, code->co_filename, code->co_name};
            PluginHost host{state.plugins_lock, state.lightweight_repr, thread.call_frames, &state.left_out.failures};
            process_plugins(host, found->second, event, records);
        }
    }

    bool record = false;
    if (!frame_is_recorded(static_cast<Verdict>(info & VERDICT_MASK), frame, &record)) return report();
    // An exception of the program's that arrived while plugins ran at a call
    // ends the frame before it starts: its call is not recorded (and the
    // interpreter's report of its unwinding is passed over, see profile()).
    if (is_call && program_exception_pending()) record = false;
    bool with_values = true;
    if (record && !budget_allows(state, thread, frame, code, is_call, &with_values)) record = false;
    bool ok = record ? process_frame(state, thread, frame, arg, is_call, filename, co_name,
                                   with_values ? Values::Kept : Values::LeftForBudget)
                     : push_frames(state, thread, is_call, records);
    if (ok) return;
    if (record && !is_call) {
        // A failed return still leaves the stack: otherwise its entry (and the
        // frame it holds) would stay on top for the rest of the thread.
        pop_call_frame(thread.call_frames, frame);
        // When the failure is the program's own exception (a signal handler
        // ran inside the hook), the return is still written, without values,
        // so that its call stays paired; the exception goes back afterwards.
        Ref error = fetch_error();
        if (error && belongs_to_program(error.get()) && !program_exception_pending()) {
            keep_for_program(std::move(error));
            records.clear();
            if (process_frame(state, thread, frame, arg, false, filename, co_name, Values::Dropped)) return;
            error = fetch_error();
        }
        restore_error(std::move(error));
    }
    report();
}

void event_steps(RuvoProfilerObject* self, PyObject* frame, PyObject* arg, bool is_call) {
    ProfilerState& state = *self->state;
    if (!PyFrame_Check(frame)) {
        SavedError saved;
        set_internal_error("Python gives us a PyFrame");
        log_error(&state.left_out.failures, fetch_error(), frame, is_call ? NAMES.event_call : NAMES.event_return,
                  nullptr, nullptr);
        return;
    }
    // Frames whose code is skipped and has no plugins, the common case in
    // real programs, cost a code-object read and one cached word.
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame))));
    auto* code_object = reinterpret_cast<PyCodeObject*>(code.get());
    uintptr_t info = cached_code_info(code.get());
    if ((info >> GENERATION_SHIFT) != state.filter_generation) {
        info = code_info(state, code_object);
        if (info == 0) {
            SavedError saved;
            log_error(&state.left_out.failures, fetch_error(), frame, is_call ? NAMES.event_call : NAMES.event_return,
                      code_object->co_filename, code_object->co_name);
            return;
        }
        store_code_info(code.get(), info);
    }
    if (static_cast<Verdict>(info & VERDICT_MASK) == Verdict::Skip && !(info & HAS_PLUGINS)) return;
    if (!(info & HAS_PLUGINS) && closed_to_frame(state, frame, code_object, is_call)) return;

    // Python code runs from here on and may let other threads run: keep the
    // instance alive even if they drop every other reference to it, and keep
    // the program's own pending exception aside.
    Ref keep_alive = Ref::borrow(reinterpret_cast<PyObject*>(self));
    SavedError saved;
    // Under a budget the recorder times itself, so that views can give times
    // without its cost.
    double entered = state.trace_budget ? wall_seconds() : 0;
    process_event(state, frame, arg, is_call, code_object, info);
    if (entered == 0) return;
    ThreadData& thread = thread_data(state);
    if (thread.scratch.stamped != 0) {
        tally_recorded_event(state, thread, frame, code_object, is_call, entered, thread.scratch.stamped,
                             thread.scratch.line, wall_seconds());
    }
}

void profile_event(RuvoProfilerObject* self, PyObject* frame, PyObject* arg, bool is_call) {
    if (!hook_open_here()) return;
    InPython in_python;
    try {
        event_steps(self, frame, arg, is_call);
    } catch (const std::bad_alloc&) {
        // Memory ran out somewhere in the event: the event is dropped and
        // reported, and no C++ exception ever reaches the interpreter.
        SavedError saved;
        PyErr_NoMemory();
        Ref code = PyFrame_Check(frame) ? Ref::steal(reinterpret_cast<PyObject*>(
                                              PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame))))
                                        : Ref();
        auto* code_object = reinterpret_cast<PyCodeObject*>(code.get());
        log_error(&self->state->left_out.failures, fetch_error(), frame,
                  is_call ? NAMES.event_call : NAMES.event_return, code ? code_object->co_filename : nullptr,
                  code ? code_object->co_name : nullptr);
    }
}

// The frame whose event handed an exception back to the program. On 3.12+
// the interpreter then unwinds that frame and reports a return for it: after
// a "return" that is the same return a second time, after a "call" the end
// of a call that was not recorded. Either way it is not recorded.
thread_local PyObject* returned_with_exception = nullptr;

// Returns false with the program's exception set when one arrived during the
// event (see keep_for_program).
bool profile(RuvoProfilerObject* self, PyObject* frame, PyObject* arg, bool is_call) {
    if (std::exchange(returned_with_exception, nullptr) == frame && !is_call) return true;
    profile_event(self, frame, arg, is_call);
    if (!program_exception_pending()) return true;
    returned_with_exception = frame;
    restore_error(take_program_exception());
    return false;
}

void set_pending_or_system_error() {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
}

}  // namespace

int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) {
    if (what != PyTrace_CALL && what != PyTrace_RETURN) return 0;
    if (obj == nullptr) {
        set_pending_or_system_error();
        return -1;
    }
    if (Py_TYPE(obj) != &RuvoProfilerType || reinterpret_cast<RuvoProfilerObject*>(obj)->state == nullptr) {
        set_conversion_error(obj, "RuvoProfiler");
        return -1;
    }
    if (frame == nullptr) {
        set_pending_or_system_error();
        return -1;
    }
    ProfilerState& state = *reinterpret_cast<RuvoProfilerObject*>(obj)->state;
    if (state.is_stopped()) {
        // A thread still hooked after stop(): it lets go, back to the
        // profiler this one was started inside while that one records.
        // The instance is held until here is left, as letting go may drop
        // the thread's reference to it.
        Ref keep = Ref::borrow(obj);
        PyObject* outer = state.outer.get();
        auto* outer_state = outer ? reinterpret_cast<RuvoProfilerObject*>(outer)->state : nullptr;
        if (outer_state != nullptr && !outer_state->is_stopped()) {
            Ref keep_outer = Ref::borrow(outer);
            PyEval_SetProfile(profile_callback, outer);
            return profile_callback(outer, frame, what, arg);
        }
        PyEval_SetProfile(nullptr, nullptr);
        return 0;
    }
    if (state.outer) {
        PyObject* outer = state.outer.get();
        auto* outer_state = reinterpret_cast<RuvoProfilerObject*>(outer)->state;
        bool here = outer_state != nullptr && !outer_state->is_stopped() &&
                    (outer_state->threading || PyThreadState_GetID(PyThreadState_Get()) == state.registering_thread);
        if (here) {
            Ref keep = Ref::borrow(outer);
            if (profile_callback(outer, frame, what, arg) < 0) return -1;
        }
    }
    bool done = profile(reinterpret_cast<RuvoProfilerObject*>(obj), reinterpret_cast<PyObject*>(frame),
                        arg ? arg : Py_None, what == PyTrace_CALL);
    return done ? 0 : -1;
}

bool profile_frame_event(RuvoProfilerObject* self, PyObject* frame, PyObject* arg, bool is_call) {
    return profile(self, frame, arg, is_call);
}

bool code_passed_over(ProfilerState& state, PyObject* code) {
    uintptr_t info = cached_code_info(code);
    if ((info >> GENERATION_SHIFT) != state.filter_generation) {
        info = code_info(state, reinterpret_cast<PyCodeObject*>(code));
        if (info == 0) {
            // Left for the event path, which reports it.
            PyErr_Clear();
            return false;
        }
        store_code_info(code, info);
    }
    return static_cast<Verdict>(info & VERDICT_MASK) == Verdict::Skip && !(info & HAS_PLUGINS);
}

}  // namespace ruvo
