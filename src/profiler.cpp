#include "profiler.hpp"

#include <limits.h>
#include <pthread.h>
#include <frameobject.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstring>
#include <new>
#include <utility>

// Chunk allocations still to fail as if memory had run out, so that tests can
// check that a store survives it (they set it through the module's symbol).
// Guarded by the interpreter lock.
extern "C" __attribute__((visibility("default"))) int ruvo_failing_store_allocations = 0;

namespace ruvo {

// ---------------------------------------------------------------- record storage

void RecordStore::append(const std::vector<EventRecord>& records, size_t begin, size_t end) {
    constexpr size_t MIN_CHUNK = 4096;
    constexpr size_t MAX_CHUNK = 1 << 20;
    size_t needed = 0;
    for (size_t i = begin; i < end; ++i) needed += records[i].bytes.size();
    // Every allocation comes first, so that running out of memory leaves the
    // store exactly as it was: the event is dropped, the store stays usable.
    size_t room = chunks_.empty() ? 0 : chunks_.back().capacity - chunks_.back().used;
    std::vector<Chunk> fresh;
    size_t bytes = bytes_ + room;
    while (room < needed) {
        // Chunks grow with the store, so a small store stays small and a
        // large one wastes at most one chunk.
        size_t capacity = std::clamp(bytes, MIN_CHUNK, MAX_CHUNK);
        if (ruvo_failing_store_allocations > 0 && ruvo_failing_store_allocations-- > 0) throw std::bad_alloc();
        fresh.push_back(Chunk{std::unique_ptr<char[]>(new char[capacity]), 0, capacity});
        room += capacity;
        bytes += capacity;
    }
    chunks_.reserve(chunks_.size() + fresh.size());
    for (Chunk& chunk : fresh) chunks_.push_back(std::move(chunk));
    // From here on nothing can fail.
    size_t current = chunks_.size() - fresh.size();
    if (current > 0 && chunks_[current - 1].used < chunks_[current - 1].capacity) --current;
    for (size_t i = begin; i < end; ++i) {
        std::string_view record = records[i].bytes.view();
        while (!record.empty()) {
            Chunk& chunk = chunks_[current];
            size_t n = std::min(record.size(), chunk.capacity - chunk.used);
            std::memcpy(chunk.data.get() + chunk.used, record.data(), n);
            chunk.used += n;
            bytes_ += n;
            record.remove_prefix(n);
            if (chunk.used == chunk.capacity) ++current;
        }
        ++count_;
    }
}

void RecordStore::copy_to(char* out) const {
    for (const Chunk& chunk : chunks_) {
        std::memcpy(out, chunk.data.get(), chunk.used);
        out += chunk.used;
    }
}

// ---------------------------------------------------------------- state

ProfilerState::~ProfilerState() {
    // Owned fields go in this order; the Python references among them
    // (plugin callables and contexts, frames on the call stacks) are released
    // with the interpreter lock held, by the instance's deallocation.
    db_path = std::string();
    trace_id = std::string();
    frames_of_interest = RecordStore();
    frames.clear();
    include_frames.clear();
    ignore_frames.clear();
    plugins.clear();
    for (auto& entry : threads) entry.second->call_frames.clear();
    for (auto& entry : threads) entry.second->frame_ids.clear();
    for (auto& entry : threads) entry.second->identity.reset();
    source = std::string();
}

ThreadData& thread_data(ProfilerState& state) {
    uint64_t key = PyThreadState_GetID(PyThreadState_Get());
    std::unique_ptr<ThreadData>& slot = state.threads[key];
    if (!slot) slot = std::make_unique<ThreadData>();
    return *slot;
}

// ---------------------------------------------------------------- arguments

bool parse_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::initializer_list<const char*> names, PyObject** out) {
    const auto count = static_cast<Py_ssize_t>(names.size());
    std::fill(out, out + count, nullptr);
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", function, count,
                     count == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = 0;
        for (const char* name : names) {
            if (PyUnicode_CompareWithASCIIString(key, name) == 0) break;
            ++index;
        }
        if (index == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
            return false;
        }
        if (out[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", function, key);
            return false;
        }
        out[index] = args[nargs + k];
    }
    std::vector<std::string> missing;
    Py_ssize_t index = 0;
    for (const char* name : names) {
        if (out[index++] == nullptr) missing.push_back(std::string("'") + name + "'");
    }
    if (!missing.empty()) {
        std::string list = missing[0];
        for (size_t i = 1; i < missing.size(); ++i) {
            list += (i + 1 == missing.size() ? (missing.size() > 2 ? ", and " : " and ") : ", ") + missing[i];
        }
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", function,
                     missing.size(), missing.size() == 1 ? "" : "s", list.c_str());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- warnings

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

}  // namespace

namespace {

// An exception that belongs to the program rather than to the event: one a
// signal handler raised while the hook ran Python code (the handler happened
// to run inside the hook), or an exit or interrupt request. Kept here (owned)
// until the callback hands it back, so it reaches the program at the point
// being profiled, as it would have without the profiler.
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

bool belongs_to_program(PyObject* error) {
    // Our own broken invariants are BaseExceptions too, but they are the
    // event's.
    if (PyErr_GivenExceptionMatches(error, internal_error_type())) return false;
    if (!PyErr_GivenExceptionMatches(error, PyExc_Exception)) return true;
    return raised_by_signal_handler(error);
}

}  // namespace

namespace {

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

// A failure that keeps coming back (a plugin that always raises, memory that
// ran out) is logged this many times per trace, then only counted.
constexpr uint32_t LOGGED_PER_KIND = 3;

// Whether a failure is logged, by its kind (exception type and text) and how
// often that kind was logged in this trace.
bool log_this_failure(ProfilerState& state, PyObject* error) {
    std::string kind = Py_TYPE(error)->tp_name;
    Ref text = Ref::steal(PyObject_Str(error));
    std::string_view text_view;
    TraceText holder;
    if (text && PyUnicode_Check(text.get()) && holder.set(text.get())) text_view = holder.view();
    PyErr_Clear();
    kind.push_back(':');
    kind.append(text_view.substr(0, 200));
    uint32_t& logged = state.left_out.failures_by_kind[kind];
    if (logged < LOGGED_PER_KIND) {
        ++logged;
        return true;
    }
    LeftOut& left = state.left_out;
    ++left.failures_unlogged;
    if (left.since == 0) {
        auto now = timestamp();
        left.since = now ? *now : 0;
    }
    return false;
}

}  // namespace

void log_error(ProfilerState* state, Ref error, PyObject* frame, PyObject* event_name, PyObject* co_filename,
               PyObject* co_name) {
    if (!error) {
        PyErr_SetString(PyExc_SystemError, "an event failed without an exception");
        error = fetch_error();
    }
    if (belongs_to_program(error.get())) {
        if (pending_for_program == nullptr) pending_for_program = error.release();
        return;
    }
    if (state != nullptr) {
        bool log = true;
        try {
            log = log_this_failure(*state, error.get());
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

// ---------------------------------------------------------------- construction

namespace {

std::atomic<uintptr_t> next_filter_generation{1};

// A dict get on the configuration; a raising lookup is a broken invariant.
bool config_get(PyObject* config, PyObject* key, const char* message, Ref* out) {
    PyObject* value = PyDict_GetItemWithError(config, key);
    if (value == nullptr && PyErr_Occurred()) {
        set_internal_error(message);
        return false;
    }
    *out = Ref::borrow(value);
    return true;
}

bool finders_from_filters(PyObject* filters, PyObject* key, std::vector<Finder>* out) {
    Ref value = Ref::steal(PyObject_GetItem(filters, key));
    if (!value) {
        PyErr_Clear();
        return true;
    }
    std::vector<std::string> texts;
    if (!extract_text_list(value.get(), &texts)) return false;
    *out = build_finders(std::move(texts));
    return true;
}

bool config_flag(PyObject* config, PyObject* key, const char* message, bool* out) {
    Ref value;
    if (!config_get(config, key, message, &value)) return false;
    *out = false;
    if (value && !extract_bool(value.get(), out)) {
        PyErr_Clear();
        *out = false;
    }
    return true;
}

bool attribute_text(PyObject* obj, PyObject* name, std::string* out) {
    Ref value = Ref::steal(PyObject_GetAttr(obj, name));
    return value && extract_text(value.get(), out);
}

}  // namespace

std::unique_ptr<ProfilerState> new_from_python(PyObject* profiler) {
    auto state = std::make_unique<ProfilerState>();

    Ref config = Ref::steal(PyObject_GetAttr(profiler, NAMES.config));
    if (!config) return nullptr;
    if (!PyDict_Check(config.get())) {
        set_conversion_error(config.get(), "PyDict");
        return nullptr;
    }

    Ref filters;
    if (!config_get(config.get(), NAMES.filters, "config.get(\"filters\" should not raise.", &filters)) return nullptr;
    if (filters) {
        if (!finders_from_filters(filters.get(), NAMES.include_frames, &state->include_frames)) return nullptr;
        if (!finders_from_filters(filters.get(), NAMES.ignore_frames, &state->ignore_frames)) return nullptr;
    }

    Ref threading = Ref::steal(PyImport_Import(NAMES.mod_threading));
    if (!threading) return nullptr;
    Ref main_thread = Ref::steal(PyObject_CallMethodNoArgs(threading.get(), NAMES.main_thread));
    if (!main_thread) return nullptr;
    Ref native_id = Ref::steal(PyObject_GetAttr(main_thread.get(), NAMES.native_id));
    if (!native_id) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
    } else if (native_id.get() != Py_None) {
        uint64_t value;
        if (!extract_u64(native_id.get(), &value)) return nullptr;
        state->main_thread_native_id = value;
    }

    Ref timeout;
    if (!config_get(config.get(), NAMES.sqlite_busy_timeout, "config.get(\"sqlite_busy_timeout\" should not raise.",
                    &timeout)) {
        return nullptr;
    }
    if (timeout && !extract_u64(timeout.get(), &state->sqlite_busy_timeout)) return nullptr;

    if (!config_flag(config.get(), NAMES.threading, "config.get(\"threading\" should not raise.", &state->threading) ||
        !config_flag(config.get(), NAMES.lightweight_repr, "config.get(\"lightweight_repr\" should not raise.",
                     &state->lightweight_repr)) {
        return nullptr;
    }

    Ref budget;
    if (!config_get(config.get(), NAMES.trace_budget, "config.get(\"trace_budget\" should not raise.", &budget)) {
        return nullptr;
    }
    if (budget && budget.get() != Py_None) {
        uint64_t value;
        if (!extract_u64(budget.get(), &value)) return nullptr;
        state->trace_budget = value;
    }

    if (!load_plugins(config.get(), &state->plugins)) return nullptr;

    Ref db_path = Ref::steal(PyObject_GetAttr(profiler, NAMES.db_path));
    if (!db_path) return nullptr;
    Ref db_path_text = Ref::steal(PyObject_Str(db_path.get()));
    if (!db_path_text || !extract_text(db_path_text.get(), &state->db_path)) return nullptr;

    Ref per_test = Ref::steal(PyObject_GetAttr(profiler, NAMES.one_trace_per_test));
    if (!per_test || !extract_bool(per_test.get(), &state->one_trace_per_test)) return nullptr;
    if (!attribute_text(profiler, NAMES.trace_id, &state->trace_id)) return nullptr;
    if (!attribute_text(profiler, NAMES.source, &state->source)) return nullptr;

    auto start = timestamp();
    if (!start) return nullptr;
    state->start_timestamp = *start;
    state->filter_generation = next_filter_generation.fetch_add(1, std::memory_order_relaxed);
    return state;
}

// ---------------------------------------------------------------- storage and traces

namespace {

// Takes a store's lock; false with an internal error when it is poisoned.
bool lock_store(PoisonMutex& mutex, std::optional<PoisonMutex::Guard>& guard, const char* poisoned) {
    if (mutex.lock(guard)) return true;
    set_internal_error(poisoned);
    return false;
}

// Appends records [begin, end) of one event to the store of its thread. An
// allocation failure drops the event and leaves the store as it was.
bool push_frame_data(ProfilerState& state, std::optional<uint64_t> native_id, std::vector<EventRecord>& records,
                     size_t begin, size_t end) {
    bool main_store = !native_id || !state.threading ||
                      (state.main_thread_native_id && *state.main_thread_native_id == *native_id);
    std::optional<PoisonMutex::Guard> guard;
    try {
        if (main_store) {
            if (!lock_store(state.frames_of_interest_lock, guard, "the frames_of_interest lock is poisoned")) {
                return false;
            }
            state.frames_of_interest.append(records, begin, end);
        } else {
            if (!lock_store(state.frames_lock, guard, "the frames lock is poisoned")) return false;
            auto found = state.frames.find(*native_id);
            if (found != state.frames.end()) {
                found->second.append(records, begin, end);
            } else {
                RecordStore store;
                store.append(records, begin, end);
                state.frames.emplace(*native_id, std::move(store));
            }
        }
    } catch (const std::bad_alloc&) {
        guard.reset();  // released normally: nothing was changed
        PyErr_NoMemory();
        return false;
    }
    for (size_t i = begin; i < end; ++i) state.left_out.stored_bytes += records[i].bytes.size();
    return true;
}

void reset_left_out(ProfilerState& state) {
    uint64_t generation = state.left_out.generation + 1;
    state.left_out = LeftOut();
    state.left_out.generation = generation;
}

// A test starts: a new trace id, and everything stored so far is dropped.
bool start_new_trace(ProfilerState& state) {
    Id trace_id = new_id("trc_");
    std::optional<PoisonMutex::Guard> trace_id_guard, foi_guard, frames_guard;
    if (!lock_store(state.trace_id_lock, trace_id_guard, "the trace_id lock is poisoned")) return false;
    if (!lock_store(state.frames_of_interest_lock, foi_guard, "the frames_of_interest lock is poisoned")) return false;
    if (!lock_store(state.frames_lock, frames_guard, "the frames lock is poisoned")) return false;
    state.trace_id.assign(id_view(trace_id));
    state.frames_of_interest = RecordStore();
    state.frames.clear();
    reset_left_out(state);
    // Guards release in reverse: frames, frames_of_interest, trace_id.
    frames_guard.reset();
    foi_guard.reset();
    return true;
}

bool copy_trace_id(ProfilerState& state, std::string* out) {
    std::optional<PoisonMutex::Guard> guard;
    if (!lock_store(state.trace_id_lock, guard, "the trace_id lock is poisoned")) return false;
    *out = state.trace_id;
    return true;
}

bool host_attribute(PyObject* module_name, PyObject* attribute, Ref* out) {
    Ref module = Ref::steal(PyImport_Import(module_name));
    if (!module) return false;
    *out = Ref::steal(PyObject_GetAttr(module.get(), attribute));
    return static_cast<bool>(*out);
}

bool save_in_db(ProfilerState& state);

}  // namespace

bool push_frames(ProfilerState& state, ThreadData& thread, bool is_call, std::vector<EventRecord>& records) {
    if (records.empty()) return true;
    // Records of a return nest inside those of its call.
    if (!is_call) std::reverse(records.begin(), records.end());
    if (!thread.identity) {
        ThreadIdentity identity;
        if (!current_thread(&identity)) return false;
        thread.identity = std::move(identity);
    }
    std::optional<uint64_t> native_id = thread.identity->native_id;
    size_t pending = 0;
    if (state.one_trace_per_test) {
        for (size_t i = 0; i < records.size(); ++i) {
            if (records[i].type == "end_test") {
                if (!push_frame_data(state, native_id, records, pending, i + 1)) return false;
                pending = i + 1;
                if (!save_in_db(state)) return false;
            } else if (records[i].type == "start_test") {
                pending = i;  // what came before the marker belongs to no test
                if (!start_new_trace(state)) return false;
            }
        }
    }
    return push_frame_data(state, native_id, records, pending, records.size());
}

namespace {

// The document's own entries, written around the stored records.
struct DocumentParts {
    Buffer head;                        // up to the "frames" map header
    std::vector<Buffer> thread_heads;   // each thread's id and array header
    std::vector<RecordStore*> thread_records;
    Buffer middle;                      // "frames_of_interest" and its header
    Buffer tail;                        // from "main_thread_id" on
};

void write_meta(Buffer& b, std::string_view version, std::string_view source) {
    write_str(b, "meta");
    write_map_header(b, 3);
    write_str_pair(b, "version", version);
    write_str_pair(b, "source", source);
    write_str(b, "use_frame_boundaries");
    write_bool(b, true);
}

// The "ruvo" record that says what a trace left out, shaped as a plugin
// record so that every view shows it where it shows those.
bool write_left_out_record(ProfilerState& state, std::vector<EventRecord>* out) {
    ThreadIdentity thread;
    if (!current_thread(&thread)) return false;
    const LeftOut& left = state.left_out;
    std::string message;
    if (left.frames_omitted || left.values_omitted) {
        message = "This trace reached its recording budget";
        if (state.trace_budget) message += " of " + std::to_string(*state.trace_budget) + " record bytes";
        message += ": " + std::to_string(left.frames_omitted) + " frame records were left out and " +
                   std::to_string(left.values_omitted) + " were kept without values.";
    }
    if (left.failures_unlogged) {
        if (!message.empty()) message += ' ';
        message += std::to_string(left.failures_unlogged) +
                   " failed events were counted but not logged (the first few of each kind were).";
    }
    Buffer b;
    write_map_header(b, 14);
    Id id = new_id("frm_");
    write_str_pair(b, "frame_id", id_view(id));
    write_f64_pair(b, left.since);
    write_str_pair(b, "thread", thread.name);
    write_int_pair(b, "thread_native_id", thread.native_id);
    write_str_pair(b, "user_code_call_site", std::nullopt);
    write_str_pair(b, "type", "ruvo");
    write_str_pair(b, "subtype", "left_out");
    write_int_pair(b, "budget", state.trace_budget);
    write_int_pair(b, "stored_bytes", left.stored_bytes);
    write_int_pair(b, "values_omitted", left.values_omitted);
    write_int_pair(b, "frames_omitted", left.frames_omitted);
    write_int_pair(b, "failures_unlogged", left.failures_unlogged);
    write_str(b, "since");
    write_f64(b, left.since);
    write_str_pair(b, "message", message);
    out->push_back(EventRecord{"ruvo", std::move(b)});
    return true;
}

// One warning for the failures a trace counted instead of logging.
void log_unlogged_failures(ProfilerState& state) {
    if (state.left_out.failures_unlogged == 0) return;
    std::string trace_id;
    if (!copy_trace_id(state, &trace_id)) {
        PyErr_Clear();
        trace_id = "?";
    }
    log_note(NAMES.warning, "trace " + trace_id + ": " + std::to_string(state.left_out.failures_unlogged) +
                                " more failed events were not logged; only the first " +
                                std::to_string(LOGGED_PER_KIND) + " of each kind were");
}

}  // namespace

Ref build_trace_inner(ProfilerState& state) {
    // Everything that runs Python code comes first, before any storage lock.
    Ref version_object, sha_object, argv_object;
    std::string version;
    if (!host_attribute(NAMES.mod_version, NAMES.dunder_version, &version_object) ||
        !text_for_trace(version_object.get(), &version)) {
        return Ref();
    }
    if (!host_attribute(NAMES.mod_git, NAMES.COMMIT_SHA, &sha_object)) return Ref();
    std::optional<std::string> sha;
    if (sha_object.get() != Py_None) {
        std::string text;
        if (!text_for_trace(sha_object.get(), &text)) return Ref();
        sha = std::move(text);
    }
    std::vector<std::string> argv;
    if (!host_attribute(NAMES.mod_sys, NAMES.argv, &argv_object) || !extract_text_list(argv_object.get(), &argv, /*for_trace=*/true)) {
        return Ref();
    }
    std::vector<EventRecord> left_out_record;
    if (state.left_out.any()) {
        if (!write_left_out_record(state, &left_out_record)) return Ref();
        log_unlogged_failures(state);
    }

    // From here to the end no Python code runs, so no event can come between
    // what the trace left out and the records taken.
    std::optional<PoisonMutex::Guard> foi_guard, frames_guard;
    if (!lock_store(state.frames_of_interest_lock, foi_guard, "the frames_of_interest lock is poisoned")) return Ref();
    RecordStore frames_of_interest = std::exchange(state.frames_of_interest, RecordStore());
    if (!lock_store(state.frames_lock, frames_guard, "the frames lock is poisoned")) return Ref();
    auto frames = std::exchange(state.frames, {});
    std::string trace_id;
    if (!copy_trace_id(state, &trace_id)) return Ref();
    reset_left_out(state);
    // Everything below allocates, and works on what was taken out alone.
    frames_guard.reset();  // frames first, then frames_of_interest
    foi_guard.reset();
    if (!left_out_record.empty()) frames_of_interest.append(left_out_record, 0, 1);

    DocumentParts parts;
    write_map_header(parts.head, 8);
    write_str(parts.head, "command_line_args");
    write_array_header(parts.head, static_cast<uint32_t>(argv.size()));
    for (const std::string& argument : argv) write_str(parts.head, argument);
    write_str_pair(parts.head, "current_commit_sha", sha);
    write_str(parts.head, "frames");
    write_map_header(parts.head, static_cast<uint32_t>(frames.size()));
    size_t total = parts.head.size();
    for (auto& [thread_id, records] : frames) {
        Buffer thread_head;
        write_uint(thread_head, thread_id);
        write_array_header(thread_head, static_cast<uint32_t>(records.count()));
        total += thread_head.size() + records.size();
        parts.thread_heads.push_back(std::move(thread_head));
        parts.thread_records.push_back(&records);
    }
    write_str(parts.middle, "frames_of_interest");
    write_array_header(parts.middle, static_cast<uint32_t>(frames_of_interest.count()));
    total += parts.middle.size() + frames_of_interest.size();
    write_int_pair(parts.tail, "main_thread_id", state.main_thread_native_id);
    write_meta(parts.tail, version, state.source);
    write_f64_pair(parts.tail, state.start_timestamp);
    write_str(parts.tail, "trace_id");
    write_str(parts.tail, trace_id);
    total += parts.tail.size();

    // One copy of the records, straight into the bytes object.
    Ref document = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    if (!document) {
        set_internal_error("could not allocate the trace document");
        return Ref();
    }
    char* out = PyBytes_AS_STRING(document.get());
    auto put = [&out](std::string_view bytes) {
        std::memcpy(out, bytes.data(), bytes.size());
        out += bytes.size();
    };
    put(parts.head.view());
    for (size_t i = 0; i < parts.thread_heads.size(); ++i) {
        put(parts.thread_heads[i].view());
        parts.thread_records[i]->copy_to(out);
        out += parts.thread_records[i]->size();
    }
    put(parts.middle.view());
    frames_of_interest.copy_to(out);
    out += frames_of_interest.size();
    put(parts.tail.view());
    return document;
}

namespace {

bool save_in_db(ProfilerState& state) {
    Ref kwargs = Ref::steal(PyDict_New());
    Ref timeout = Ref::steal(PyLong_FromUnsignedLongLong(state.sqlite_busy_timeout));
    if (!kwargs || !timeout || PyDict_SetItem(kwargs.get(), NAMES.timeout, timeout.get()) < 0) {
        set_internal_error("could not build the saver's arguments");
        return false;
    }
    Ref document = build_trace_inner(state);
    if (!document) return false;
    if (PyDict_SetItem(kwargs.get(), NAMES.msgpack, document.get()) < 0) {
        set_internal_error("could not build the saver's arguments");
        return false;
    }
    std::string trace_id;
    if (!copy_trace_id(state, &trace_id)) return false;
    Ref save;
    if (!host_attribute(NAMES.mod_db, NAMES.save_trace_in_sqlite, &save)) return false;
    Ref db_path = Ref::steal(PyUnicode_FromStringAndSize(state.db_path.data(), static_cast<Py_ssize_t>(state.db_path.size())));
    Ref trace_id_text = Ref::steal(PyUnicode_FromStringAndSize(trace_id.data(), static_cast<Py_ssize_t>(trace_id.size())));
    if (!db_path || !trace_id_text) {
        set_internal_error("could not build the saver's arguments");
        return false;
    }
    Ref args = Ref::steal(PyTuple_Pack(2, db_path.get(), trace_id_text.get()));
    if (!args) {
        set_internal_error("could not build the saver's arguments");
        return false;
    }
    return Ref::steal(PyObject_Call(save.get(), args.get(), kwargs.get())).get() != nullptr;
}

}  // namespace

// ---------------------------------------------------------------- interpreter shutdown

// While the interpreter finalises, CPython 3.11 to 3.13 end every other
// thread that asks for the interpreter lock back with pthread_exit. The
// forced unwinding that follows would run this hook's C++ destructors on a
// thread that no longer has a thread state (reference releases without the
// lock) and end in std::terminate at the first noexcept frame. So no thread
// may be inside the hook's Python part by then: an atexit handler, which runs
// before finalisation begins, closes that part to every thread but its own
// and lets the others run until those inside have left. All of this is
// guarded by the interpreter lock.
namespace {

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

// The frame's locals as a dict to record, without "__builtins__". The
// frame's own dict is never changed.
Ref locals_for_record(PyObject* frame) {
    // The frame's f_locals, without the attribute lookup.
    Ref locals = Ref::steal(PyFrame_GetLocals(reinterpret_cast<PyFrameObject*>(frame)));
    if (!locals) return Ref();
    bool owned = false;
    if (!PyDict_Check(locals.get())) {
        // Function frames on 3.13+ give a write-through proxy: record a
        // snapshot, so the values are those at the event, as a dict gives.
        Ref snapshot = Ref::steal(PyDict_New());
        if (!snapshot || PyDict_Merge(snapshot.get(), locals.get(), 1) < 0) return Ref();
        locals = std::move(snapshot);
        owned = true;
    }
    PyObject* builtins = PyDict_GetItemWithError(locals.get(), NAMES.dunder_builtins);
    if (builtins == nullptr) {
        if (PyErr_Occurred()) {
            set_internal_error("locals.get(\"__builtins__\") should not raise.");
            return Ref();
        }
        return locals;
    }
    if (!owned) {
        locals = Ref::steal(PyDict_Copy(locals.get()));
        if (!locals) return Ref();
    }
    if (PyDict_DelItem(locals.get(), NAMES.dunder_builtins) < 0) return Ref();
    return locals;
}

// Keeps the thread's stack of recorded calls. A return pops only its own
// frame: a call that failed to record, or a return whose call was never
// seen, must not take the caller's entry with it.
void update_call_frames(ThreadData& thread, bool is_call, PyObject* frame, const std::optional<Id>& id) {
    if (is_call) {
        if (id) thread.call_frames.push_back(CallFrame{Ref::borrow(frame), *id});
        return;
    }
    if (thread.call_frames.empty() || thread.call_frames.back().frame.get() != frame) return;
    // Out of the vector before the reference goes: dropping a frame can run
    // Python code (finalisers of its locals), and the collector may walk the
    // stack meanwhile.
    CallFrame top = std::move(thread.call_frames.back());
    thread.call_frames.pop_back();
}

// "path": the file name, a colon and the line, written in pieces.
void write_path_pair(Buffer& b, std::string_view file, int line) {
    char digits[16];
    auto written = std::to_chars(digits, digits + sizeof digits, line);
    auto digit_count = static_cast<size_t>(written.ptr - digits);
    write_str(b, "path");
    write_str_header(b, file.size() + 1 + digit_count);
    b.append(file);
    b.push_back(':');
    b.append(digits, digit_count);
}

void write_frame_record(Buffer& b, std::string_view path, int lineno, std::string_view co_name,
                        std::optional<std::string_view> qualname, bool is_call, const std::optional<Id>& id,
                        Buffer& arg, Buffer& locals, const ThreadIdentity& thread, double now,
                        const std::optional<UserCodeCallSite>& site) {
    write_map_header(b, 12);
    write_path_pair(b, path, lineno);
    write_str_pair(b, "co_name", co_name);
    write_str_pair(b, "qualname", qualname);
    write_str_pair(b, "event", is_call ? "call" : "return");
    write_str_pair(b, "frame_id", id ? std::optional<std::string_view>(id_view(*id)) : std::nullopt);
    write_raw_pair(b, "arg", arg);
    write_raw_pair(b, "locals", locals);
    write_str_pair(b, "thread", thread.name);
    write_int_pair(b, "thread_native_id", thread.native_id);
    write_f64_pair(b, now);
    write_str_pair(b, "type", "frame");
    write_str(b, "user_code_call_site");
    if (site) {
        // The two-entry map written in place: a value tree would allocate
        // for every recorded event.
        write_map_header(b, 2);
        write_str_pair(b, "call_frame_id", id_view(site->call_frame_id));
        write_str(b, "line_number");
        write_int(b, site->line_number);
    } else {
        write_nil(b);
    }
}

// How much of a recorded frame the current trace still takes, by how full it
// is against its budget. Below half: everything. From half on: values only
// for the first calls of each function (on each thread), the call structure
// for the rest. From three quarters on: the structure alone. At the budget:
// no new calls; the returns of calls already recorded are still written,
// without values, so that every recorded call stays paired. Plugin records
// (test markers, requests, logs) are always kept.
enum class Stage { Full, FirstCalls, Structure, Closed };
constexpr uint32_t VALUE_CALLS_PER_FUNCTION = 16;

Stage budget_stage(const ProfilerState& state) {
    if (!state.trace_budget) return Stage::Full;
    uint64_t budget = *state.trace_budget, stored = state.left_out.stored_bytes;
    if (stored >= budget) return Stage::Closed;
    if (stored >= budget - budget / 4) return Stage::Structure;
    if (stored >= budget / 2) return Stage::FirstCalls;
    return Stage::Full;
}

// Counts what a trace leaves out, and tells the log once per trace.
void note_left_out(ProfilerState& state, bool whole_frame) {
    LeftOut& left = state.left_out;
    ++(whole_frame ? left.frames_omitted : left.values_omitted);
    if (left.since == 0) {
        auto now = timestamp();
        left.since = now ? *now : 0;
    }
    if (left.announced || !state.trace_budget) return;
    left.announced = true;
    std::string trace_id;
    if (!copy_trace_id(state, &trace_id)) {
        PyErr_Clear();
        trace_id = "?";
    }
    log_note(NAMES.info, "trace " + trace_id + " is past half of its budget of " +
                             std::to_string(*state.trace_budget) +
                             " record bytes: values, then frames, are being left out (its \"ruvo\" record counts them)");
}

// The values a frame record gets when they are left out: the serialiser's
// DROPPED marker, an empty ext of type 8.
void write_dropped(Buffer& b) {
    b.clear();
    const char dropped[] = {static_cast<char>(0xc7), 0, 8};
    b.append(dropped, sizeof dropped);
}

// Gathers and writes the frame record of a recorded frame, then files the
// event's records. False with the error set when the event has to be dropped.
bool process_frame(ProfilerState& state, ThreadData& thread, PyObject* frame, PyObject* arg, bool is_call,
                   std::string_view filename, std::string_view co_name, bool with_values) {
    EventScratch& scratch = thread.scratch;
    std::vector<EventRecord>& records = scratch.records;
    if (!thread.identity) {
        ThreadIdentity identity;
        if (!current_thread(&identity)) return false;
        thread.identity = std::move(identity);
    }

    // What the frame's f_lineno gives; no line (None there) fails the event.
    int lineno = PyFrame_GetLineNumber(reinterpret_cast<PyFrameObject*>(frame));
    if (lineno < 0) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object cannot be interpreted as an integer");
        return false;
    }
    std::string_view cwd;
    bool plain_cwd = false;
    if (!current_directory(&cwd, &plain_cwd)) return false;
    std::string_view path = relative_path(filename, cwd, plain_cwd);

    bool has_qualname = false;
    if (!get_qualname(frame, &scratch.qualname, &has_qualname)) return false;

    std::optional<Id> id;
    auto address = reinterpret_cast<uintptr_t>(frame);
    if (is_call) {
        id = new_id("frm_");
    } else if (auto found = thread.frame_ids.find(address); found != thread.frame_ids.end()) {
        id = found->second;
    }

    std::optional<UserCodeCallSite> site;
    if (!user_code_call_site(snapshot_top(thread.call_frames), id ? &*id : nullptr, &site)) return false;

    if (with_values) {
        Ref locals = locals_for_record(frame);
        if (!locals) return false;
        Ref serializer = serializer_function(state.lightweight_repr);
        if (!serializer || !serialize_with(serializer.get(), state.lightweight_repr, arg, &scratch.arg) ||
            !serialize_with(serializer.get(), state.lightweight_repr, locals.get(), &scratch.locals)) {
            return false;
        }
    } else {
        write_dropped(scratch.arg);
        write_dropped(scratch.locals);
    }
    auto now = timestamp();
    if (!now) return false;

    Buffer& out = scratch.record;
    out.clear();
    write_frame_record(out, path, lineno, co_name,
                       has_qualname ? std::optional<std::string_view>(scratch.qualname) : std::nullopt, is_call, id,
                       scratch.arg, scratch.locals, *thread.identity, *now, site);
    records.push_back(EventRecord{"frame", std::move(out)});
    // The call's id and stack entry are made room for first and undone if
    // the records cannot be stored: a return must never carry the id of a
    // call that no document holds.
    if (is_call) {
        thread.frame_ids[address] = *id;
        thread.call_frames.push_back(CallFrame{Ref::borrow(frame), *id, with_values});
    } else {
        update_call_frames(thread, false, frame, id);
    }
    bool stored = push_frames(state, thread, is_call, records);
    if (!stored && is_call) {
        thread.frame_ids.erase(address);
        CallFrame undone = std::move(thread.call_frames.back());
        thread.call_frames.pop_back();
    }
    // The record's bytes are copied into storage: keep its memory for the
    // thread's next event.
    for (EventRecord& record : records) {
        if (record.type == "frame" && record.bytes.capacity() > 0) {
            out = std::move(record.bytes);
            break;
        }
    }
    return stored;
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

// Whether a recorded frame's event gets a record under the trace's budget,
// and with values or not. Counts what is left out.
bool budget_allows(ProfilerState& state, ThreadData& thread, PyObject* frame, PyCodeObject* code, bool is_call,
                   bool* with_values) {
    Stage stage = budget_stage(state);
    *with_values = true;
    if (stage == Stage::Full) return true;
    bool own_call_on_top = !is_call && !thread.call_frames.empty() && thread.call_frames.back().frame.get() == frame;
    if (stage == Stage::Closed) {
        if (!own_call_on_top) {
            note_left_out(state, true);
            return false;
        }
        *with_values = false;
    } else if (!is_call) {
        *with_values = stage == Stage::FirstCalls && (!own_call_on_top || thread.call_frames.back().with_values);
    } else if (stage == Stage::FirstCalls) {
        if (thread.value_counts_generation != state.left_out.generation) {
            thread.value_counts.clear();
            thread.value_counts_generation = state.left_out.generation;
        }
        *with_values = ++thread.value_counts[code] <= VALUE_CALLS_PER_FUNCTION;
    } else {
        *with_values = false;
    }
    if (!*with_values) note_left_out(state, false);
    return true;
}

// Whether a trace past its budget has no place for this event at all: a call,
// or the return of a call it did not record. Decided before anything that
// costs more than a filtered frame, so that a runaway program's later events
// stay that cheap. Until the log has been told, the full path decides.
bool closed_to_frame(ProfilerState& state, PyObject* frame, bool is_call) {
    if (!state.trace_budget || state.left_out.stored_bytes < *state.trace_budget || !state.left_out.announced) {
        return false;
    }
    if (!is_call) {
        const ThreadData& thread = thread_data(state);
        if (!thread.call_frames.empty() && thread.call_frames.back().frame.get() == frame) return false;
    }
    ++state.left_out.frames_omitted;
    return true;
}

// The part of an event that can run Python code: plugins, the attrs test
// and the frame record.
void process_event(ProfilerState& state, PyObject* frame, PyObject* arg, bool is_call, PyCodeObject* code,
                   uintptr_t info) {
    PyObject* event_name = is_call ? NAMES.event_call : NAMES.event_return;
    auto report = [&] { log_error(&state, fetch_error(), frame, event_name, code->co_filename, code->co_name); };

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
    if (info & HAS_PLUGINS) {
        auto found = state.plugins.find(co_name);
        if (found != state.plugins.end()) {
            PluginEvent event{frame, arg, event_name, is_call, filename, code->co_filename, code->co_name};
            process_plugins(state, thread, found->second, event, records);
        }
    }

    auto verdict = static_cast<Verdict>(info & VERDICT_MASK);
    bool record = verdict == Verdict::Record;
    if (verdict == Verdict::RecordUnlessAttrs) {
        bool attrs = false;
        if (!attrs_caller_test(frame, &attrs)) return report();
        record = !attrs;
    }
    // An exception of the program's that arrived while plugins ran at a call
    // ends the frame before it starts: its call is not recorded (and the
    // interpreter's report of its unwinding is passed over, see profile()).
    if (is_call && pending_for_program != nullptr) record = false;
    bool with_values = true;
    if (record && !budget_allows(state, thread, frame, code, is_call, &with_values)) record = false;
    bool ok = record ? process_frame(state, thread, frame, arg, is_call, filename, co_name, with_values)
                     : push_frames(state, thread, is_call, records);
    if (ok) return;
    if (record && !is_call) {
        // A failed return still leaves the stack: otherwise its entry (and the
        // frame it holds) would stay on top for the rest of the thread.
        update_call_frames(thread, false, frame, std::nullopt);
        // When the failure is the program's own exception (a signal handler
        // ran inside the hook), the return is still written, without values,
        // so that its call stays paired; the exception goes back afterwards.
        Ref error = fetch_error();
        if (error && belongs_to_program(error.get()) && pending_for_program == nullptr) {
            pending_for_program = error.release();
            records.clear();
            if (process_frame(state, thread, frame, arg, false, filename, co_name, false)) return;
            error = fetch_error();
        }
        restore_error(std::move(error));
    }
    report();
}

void profile_event(RuvoProfilerObject* self, PyObject* frame, PyObject* arg, bool is_call) {
    ProfilerState& state = *self->state;
    if (!hook_open_here()) return;
    InPython in_python;
    if (!PyFrame_Check(frame)) {
        SavedError saved;
        set_internal_error("Python gives us a PyFrame");
        log_error(&state, fetch_error(), frame, is_call ? NAMES.event_call : NAMES.event_return, nullptr, nullptr);
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
            log_error(&state, fetch_error(), frame, is_call ? NAMES.event_call : NAMES.event_return,
                      code_object->co_filename, code_object->co_name);
            return;
        }
        store_code_info(code.get(), info);
    }
    if (static_cast<Verdict>(info & VERDICT_MASK) == Verdict::Skip && !(info & HAS_PLUGINS)) return;
    if (!(info & HAS_PLUGINS) && closed_to_frame(state, frame, is_call)) return;

    // Python code runs from here on and may let other threads run: keep the
    // instance alive even if they drop every other reference to it, and keep
    // the program's own pending exception aside.
    Ref keep_alive = Ref::borrow(reinterpret_cast<PyObject*>(self));
    SavedError saved;
    try {
        process_event(state, frame, arg, is_call, code_object, info);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        log_error(&state, fetch_error(), frame, is_call ? NAMES.event_call : NAMES.event_return,
                  code_object->co_filename, code_object->co_name);
    }
}

// The frame whose event handed an exception back to the program. On 3.12+
// the interpreter then unwinds that frame and reports a return for it: after
// a "return" that is the same return a second time, after a "call" the end
// of a call that was not recorded. Either way it is not recorded.
thread_local PyObject* returned_with_exception = nullptr;

// Returns false with the program's exception set when one arrived during the
// event (see pending_for_program).
bool profile(RuvoProfilerObject* self, PyObject* frame, PyObject* arg, bool is_call) {
    if (std::exchange(returned_with_exception, nullptr) == frame && !is_call) return true;
    profile_event(self, frame, arg, is_call);
    if (pending_for_program == nullptr) return true;
    returned_with_exception = frame;
    restore_error(Ref::steal(std::exchange(pending_for_program, nullptr)));
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
    bool done = profile(reinterpret_cast<RuvoProfilerObject*>(obj), reinterpret_cast<PyObject*>(frame),
                        arg ? arg : Py_None, what == PyTrace_CALL);
    return done ? 0 : -1;
}

// ---------------------------------------------------------------- the type

namespace {

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
    if (!parse_arguments("register_threading_profiler", args, nargs, kwnames, {"_frame", "_event", "_arg"},
                         ignored)) {
        return nullptr;
    }
    if (state_of(self) == nullptr) return nullptr;
    PyEval_SetProfile(profile_callback, self);
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

}  // namespace

namespace {

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
    type.tp_new = new_instance;
    return type;
}

}  // namespace

PyTypeObject RuvoProfilerType = make_profiler_type();

bool ready_profiler_type() { return PyType_Ready(&RuvoProfilerType) == 0; }

}  // namespace ruvo
