#include "report.hpp"

#include <algorithm>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include <frameobject.h>

#include "convert.hpp"
#include "errors.hpp"
#include "ids.hpp"
#include "names.hpp"

namespace ruvo {

namespace {

constexpr const char* LOG_MESSAGE =
    "Unexpected exception in Rust.\n"
    "    co_filename: %s\n"
    "    co_name: %s\n"
    "    event: %s\n"
    "    frame locals: %s\n";

bool log_warning(PyObject* error, PyObject* frame, PyObject* event_name, PyObject* co_filename, PyObject* co_name) {
    Ref logging = import_module(NAMES.mod_logging);
    if (!logging) return false;
    Ref get_logger = Ref::steal(PyObject_GetAttr(logging.get(), NAMES.getLogger));
    if (!get_logger) return false;
    Ref logger = Ref::steal(PyObject_CallOneArg(get_logger.get(), NAMES.ruvo));
    if (!logger) return false;
    Ref locals = Ref::steal(PyObject_GetAttr(frame, NAMES.f_locals));
    if (!locals) return false;
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs || PyDict_SetItem(kwargs.get(), NAMES.exc_info, error) < 0) return false;
    Ref warning = Ref::steal(PyObject_GetAttr(logger.get(), NAMES.warning));
    if (!warning) return false;
    Ref message = Ref::steal(PyUnicode_FromString(LOG_MESSAGE));
    if (!message) return false;
    Ref args = Ref::steal(PyTuple_Pack(5, message.get(), co_filename, co_name, event_name, locals.get()));
    if (!args) return false;
    return Ref::steal(PyObject_Call(warning.get(), args.get(), kwargs.get())).get() != nullptr;
}

// The program's exception, owned, until the event's callback hands it back.
thread_local PyObject* pending_for_program = nullptr;

// The code objects of the Python-level signal handlers now installed.
bool signal_handler_codes(std::vector<PyObject*>* codes, std::vector<Ref>* keep) {
    Ref signal = Ref::steal(PyImport_ImportModule("signal"));
    if (!signal) return false;
    Ref numbers = Ref::steal(PyObject_CallMethod(signal.get(), "valid_signals", nullptr));
    if (!numbers) return false;
    Ref iterator = Ref::steal(PyObject_GetIter(numbers.get()));
    if (!iterator) return false;
    while (Ref number = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref handler = Ref::steal(PyObject_CallMethod(signal.get(), "getsignal", "O", number.get()));
        if (!handler) return false;
        PyObject* function = handler.get();
        if (PyMethod_Check(function)) function = PyMethod_GET_FUNCTION(function);
        if (!PyFunction_Check(function)) continue;
        codes->push_back(PyFunction_GET_CODE(function));
        keep->push_back(std::move(handler));
    }
    return !PyErr_Occurred();
}

// Whether `error` passed through a signal handler's frame on its way out.
bool raised_by_signal_handler(PyObject* error) {
    std::vector<PyObject*> codes;
    std::vector<Ref> keep;
    if (!signal_handler_codes(&codes, &keep)) {
        PyErr_Clear();
        return false;
    }
    if (codes.empty()) return false;
    Ref traceback = Ref::steal(PyException_GetTraceback(error));
    while (traceback && PyTraceBack_Check(traceback.get())) {
        auto* entry = reinterpret_cast<PyTracebackObject*>(traceback.get());
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(entry->tb_frame)));
        if (std::find(codes.begin(), codes.end(), code.get()) != codes.end()) return true;
        traceback = Ref::borrow(reinterpret_cast<PyObject*>(entry->tb_next));
    }
    return false;
}

// Whether a failure is logged, by its kind (exception type and text) and how
// often that kind was logged in this trace.
bool log_this_failure(FailureLog& failures, PyObject* error) {
    std::string kind = Py_TYPE(error)->tp_name;
    Ref text = Ref::steal(PyObject_Str(error));
    std::string_view text_view;
    TraceText holder;
    if (text && PyUnicode_Check(text.get()) && holder.set(text.get())) text_view = holder.view();
    PyErr_Clear();
    kind.push_back(':');
    kind.append(text_view.substr(0, 200));
    uint32_t& logged = failures.logged_by_kind[kind];
    if (logged < LOGGED_PER_KIND) {
        ++logged;
        return true;
    }
    if (failures.unlogged++ == 0) {
        auto now = timestamp();
        failures.first_unlogged = now ? *now : 0;
    }
    return false;
}

}  // namespace

bool belongs_to_program(PyObject* error) {
    // Our own broken invariants are BaseExceptions too, but they are the
    // event's.
    if (PyErr_GivenExceptionMatches(error, internal_error_type())) return false;
    if (!PyErr_GivenExceptionMatches(error, PyExc_Exception)) return true;
    return raised_by_signal_handler(error);
}

bool program_exception_pending() { return pending_for_program != nullptr; }

void keep_for_program(Ref error) {
    if (pending_for_program == nullptr) pending_for_program = error.release();
}

Ref take_program_exception() { return Ref::steal(std::exchange(pending_for_program, nullptr)); }

// Writes a message on the "ruvo" logger; a failure to log is dropped, as
// nothing may be raised from here.
void log_note(PyObject* method, const std::string& text) {
    Ref logging = import_module(NAMES.mod_logging);
    Ref get_logger = logging ? Ref::steal(PyObject_GetAttr(logging.get(), NAMES.getLogger)) : Ref();
    Ref logger = get_logger ? Ref::steal(PyObject_CallOneArg(get_logger.get(), NAMES.ruvo)) : Ref();
    Ref message = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!logger || !message || !Ref::steal(PyObject_CallMethodOneArg(logger.get(), method, message.get()))) {
        PyErr_Clear();
    }
}

void log_error(FailureLog* failures, Ref error, PyObject* frame, PyObject* event_name, PyObject* co_filename,
               PyObject* co_name) {
    if (!error) {
        PyErr_SetString(PyExc_SystemError, "an event failed without an exception");
        error = fetch_error();
    }
    if (belongs_to_program(error.get())) {
        keep_for_program(std::move(error));
        return;
    }
    if (failures != nullptr) {
        bool log = true;
        try {
            log = log_this_failure(*failures, error.get());
        } catch (const std::bad_alloc&) {
            // Counting needs memory too; without it, log.
        }
        if (!log) return;
    }
    if (!log_warning(error.get(), frame, event_name, co_filename ? co_filename : Py_None,
                     co_name ? co_name : Py_None)) {
        // The report never makes a second report: the interpreter's
        // unraisable hook is all that is left.
        PyErr_WriteUnraisable(frame);
    }
}

}  // namespace ruvo
