#include "config.hpp"

#include "fork.hpp"

#include <atomic>
#include <cmath>

#include "convert.hpp"
#include "errors.hpp"
#include "names.hpp"

namespace ruvo {

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
    for (auto [name, field] : {std::pair{NAMES.recorder_bias, &state->recorder_bias},
                               std::pair{NAMES.recorder_bias_inside, &state->recorder_bias_inside},
                               std::pair{NAMES.counted_bias, &state->counted_bias},
                               std::pair{NAMES.counted_bias_inside, &state->counted_bias_inside}}) {
        Ref bias;
        if (!config_get(config.get(), name, "config.get() of a bias should not raise.", &bias)) return nullptr;
        if (!bias || bias.get() == Py_None) continue;
        double value = PyFloat_AsDouble(bias.get());
        if (value == -1.0 && PyErr_Occurred()) return nullptr;
        // A measurement, not a setting: one that makes no sense is not used.
        if (std::isfinite(value) && value > 0 && value < 1e-3) *field = value;
    }

    // A one-byte bytearray the host sets at stop(): threads still hooked
    // stop recording at their next event, as under sys.monitoring.
    Ref stopped;
    if (!config_get(config.get(), NAMES.stopped, "config.get(\"stopped\" should not raise.", &stopped)) return nullptr;
    if (stopped && PyByteArray_Check(stopped.get()) && PyByteArray_GET_SIZE(stopped.get()) == 1) {
        state->stopped = std::move(stopped);
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
    // A host that cannot be weakly referenced is simply not told after a fork.
    state->host = Ref::steal(PyWeakref_NewRef(profiler, nullptr));
    if (!state->host) PyErr_Clear();
    if (!follow_forks(state.get())) return nullptr;
    return state;
}

}  // namespace ruvo
