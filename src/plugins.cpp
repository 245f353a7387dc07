#include "plugins.hpp"

#include <algorithm>

#include "convert.hpp"
#include "errors.hpp"
#include "names.hpp"
#include "serializer.hpp"

namespace ruvo {

namespace {

// A plain dict get of an optional key: absent (and, where the key allows it,
// None) gives an empty Ref; a raising lookup is a broken invariant.
bool optional_key(PyObject* definition, PyObject* key, Ref* out) {
    PyObject* value = PyDict_GetItemWithError(definition, key);
    if (value == nullptr && PyErr_Occurred()) {
        set_internal_error("a string is always a valid dict key");
        return false;
    }
    *out = Ref::borrow(value);
    return true;
}

bool required_text(PyObject* definition, PyObject* key, std::string* out) {
    Ref value = Ref::steal(PyObject_GetItem(definition, key));
    return value && extract_text(value.get(), out);
}

bool make_processor(PyObject* definition, PyObject* context, PluginProcessor* out) {
    std::string fragment;
    if (!required_text(definition, NAMES.path_fragment, &fragment)) return false;
    std::string call_type, return_type;
    if (!required_text(definition, NAMES.call_type, &call_type)) return false;
    if (!required_text(definition, NAMES.return_type, &return_type)) return false;

    Ref subtype_value, call, process, events_value;
    if (!optional_key(definition, NAMES.subtype, &subtype_value)) return false;
    std::optional<std::string> subtype;
    if (subtype_value) {
        std::string text;
        if (!extract_text(subtype_value.get(), &text)) return false;
        subtype = std::move(text);
    }
    if (!optional_key(definition, NAMES.call, &call)) return false;
    if (!optional_key(definition, NAMES.process, &process)) return false;
    if (!optional_key(definition, NAMES.events, &events_value)) return false;
    std::optional<std::vector<std::string>> events;
    if (events_value && events_value.get() != Py_None) {
        std::vector<std::string> texts;
        if (!extract_text_list(events_value.get(), &texts)) return false;
        events = std::move(texts);
    }
    if (call.get() == Py_None) call.reset();
    if (process.get() == Py_None) process.reset();

    *out = PluginProcessor{Finder(std::move(fragment)),
                           std::move(call_type),
                           std::move(return_type),
                           std::move(subtype),
                           std::move(events),
                           Ref::borrow(context),
                           std::move(call),
                           std::move(process),
                           {}};
    return true;
}

bool load_definition(PyObject* config, PyObject* definition, PluginMap* map) {
    if (!PyDict_Check(definition)) {
        set_conversion_error(definition, "PyDict");
        return false;
    }
    Ref co_names = Ref::steal(PyObject_GetItem(definition, NAMES.co_names));
    if (!co_names) return false;

    Ref build_context;
    if (!optional_key(definition, NAMES.build_context, &build_context)) return false;
    Ref context;
    if (!build_context || build_context.get() == Py_None) {
        context = Ref::steal(PyDict_New());
        if (!context) return false;
    } else {
        context = Ref::steal(PyObject_CallOneArg(build_context.get(), config));
        if (!context) return false;
        if (!PyDict_Check(context.get())) {
            set_conversion_error(context.get(), "PyDict");
            return false;
        }
    }

    Ref names = Ref::steal(PyObject_GetIter(co_names.get()));
    if (!names) return false;
    while (Ref name = Ref::steal(PyIter_Next(names.get()))) {
        std::string name_text;
        if (!extract_text(name.get(), &name_text)) return false;
        PluginProcessor processor{Finder(std::string()), {}, {}, {}, {}, {}, {}, {}, {}};
        if (!make_processor(definition, context.get(), &processor)) return false;
        (*map)[std::move(name_text)].push_back(std::move(processor));
    }
    return !PyErr_Occurred();
}

}  // namespace

bool load_plugins(PyObject* config, PluginMap* out) {
    Ref module = Ref::steal(PyImport_Import(NAMES.mod_plugins));
    if (!module) {
        set_internal_error("ruvo.plugins should always be importable");
        return false;
    }
    Ref load = Ref::steal(PyObject_GetAttr(module.get(), NAMES.load_plugin_data));
    if (!load) {
        set_internal_error("load_plugin_data should exist");
        return false;
    }
    Ref definitions = Ref::steal(PyObject_CallOneArg(load.get(), config));
    if (!definitions) {
        set_internal_error("load_plugin_data should be callable");
        return false;
    }
    if (!PyList_Check(definitions.get())) {
        set_conversion_error(definitions.get(), "PyList");
        set_internal_error("load_plugin_data should return a list");
        return false;
    }
    PluginMap map;
    Py_ssize_t initial_length = PyList_GET_SIZE(definitions.get());
    map.reserve(static_cast<size_t>(initial_length));
    // Read by index: a build_context may change the list while it is read.
    for (Py_ssize_t i = 0; i < initial_length && i < PyList_GET_SIZE(definitions.get()); ++i) {
        Ref definition = Ref::borrow(PyList_GET_ITEM(definitions.get(), i));
        if (!load_definition(config, definition.get(), &map)) return false;
    }
    *out = std::move(map);
    return true;
}

namespace {

// Calls a plugin callable with (frame, event, arg, context).
Ref call_plugin(PyObject* callable, const PluginEvent& event, PyObject* context) {
    PyObject* args[] = {event.frame, event.event_name, event.arg, context};
    return Ref::steal(PyObject_Vectorcall(callable, args, 4, nullptr));
}

bool set_item(PyObject* data, PyObject* key, Ref value) {
    if (!value) return false;
    if (PyDict_SetItem(data, key, value.get()) < 0) {
        set_internal_error("a string is always a valid dict key");
        return false;
    }
    return true;
}

Ref text_object(std::string_view text) {
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// This processor's id for the event's frame. Holds the plugins lock only for
// the map access: no Python code runs under it.
bool plugin_frame_id(const PluginHost& host, const PluginProcessor& processor, const PluginEvent& event, Id* out) {
    std::optional<PoisonMutex::Guard> guard;
    if (!take_lock(host.plugins_lock, guard, "the plugins lock is poisoned")) return false;
    auto address = reinterpret_cast<uintptr_t>(event.frame);
    if (event.is_call) {
        *out = new_id("frm_");
        processor.plugin_frame_ids[address] = *out;
        return true;
    }
    auto found = processor.plugin_frame_ids.find(address);
    *out = found != processor.plugin_frame_ids.end() ? found->second : new_id("frm_");
    return true;
}

// Merges what `process` returned into the record's dict.
bool merge_process_result(PyObject* data, PyObject* result) {
    if (PyDict_Check(result)) return PyDict_Update(data, result) == 0;
    Ref abc = import_module(NAMES.mod_collections_abc);
    if (!abc) return false;
    Ref mapping = Ref::steal(PyObject_GetAttr(abc.get(), NAMES.Mapping));
    if (!mapping) return false;
    int is_mapping = PyObject_IsInstance(result, mapping.get());
    if (is_mapping < 0) {
        PyErr_WriteUnraisable(result);
        is_mapping = 0;
    }
    if (!is_mapping) {
        set_conversion_error(result, "Mapping");
        return false;
    }
    return PyDict_Merge(data, result, 1) == 0;
}

// One processor's turn: true whether or not it fired (a record is appended
// when it did), false with the error set when it failed.
bool run_processor(const PluginHost& host, const PluginProcessor& processor, const PluginEvent& event,
                   std::vector<EventRecord>& records) {
    PyObject* context = processor.context.get();
    if (processor.call) {
        Ref decision = call_plugin(processor.call.get(), event, context);
        if (!decision) return false;
        bool fire = false;
        if (!extract_bool(decision.get(), &fire)) return false;
        if (!fire) return true;
    }
    if (processor.events) {
        std::string_view name = event.is_call ? "call" : "return";
        const auto& events = *processor.events;
        if (std::find(events.begin(), events.end(), name) == events.end()) return true;
    }
    CallSiteSnapshot snapshot = snapshot_top(host.call_frames);

    Ref data = Ref::steal(PyDict_New());
    if (!data) return false;
    Id id;
    if (!plugin_frame_id(host, processor, event, &id)) return false;
    if (!set_item(data.get(), NAMES.frame_id, text_object(id_view(id)))) return false;
    auto now = timestamp();
    if (!now) return false;
    if (!set_item(data.get(), NAMES.timestamp, Ref::steal(PyFloat_FromDouble(*now)))) return false;

    ThreadIdentity identity;
    if (!current_thread(&identity)) return false;
    if (!set_item(data.get(), NAMES.thread, text_object(identity.name))) return false;
    Ref native_id = identity.native_id ? Ref::steal(PyLong_FromUnsignedLongLong(*identity.native_id))
                                       : Ref::borrow(Py_None);
    if (!set_item(data.get(), NAMES.thread_native_id, std::move(native_id))) return false;

    std::optional<UserCodeCallSite> site;
    if (!user_code_call_site(std::move(snapshot), &id, &site)) return false;
    Ref site_value = Ref::borrow(Py_None);
    if (site) {
        site_value = Ref::steal(PyDict_New());
        if (!site_value) return false;
        if (!set_item(site_value.get(), NAMES.call_frame_id, text_object(id_view(site->call_frame_id))) ||
            !set_item(site_value.get(), NAMES.line_number, Ref::steal(PyLong_FromLong(site->line_number)))) {
            return false;
        }
    }
    if (!set_item(data.get(), NAMES.user_code_call_site, std::move(site_value))) return false;
    const std::string& type = event.is_call ? processor.call_type : processor.return_type;
    if (!set_item(data.get(), NAMES.type, text_object(type))) return false;
    if (processor.subtype && !set_item(data.get(), NAMES.subtype, text_object(*processor.subtype))) return false;

    if (processor.process) {
        Ref result = call_plugin(processor.process.get(), event, context);
        if (!result || !merge_process_result(data.get(), result.get())) return false;
    }
    PyObject* final_type = PyDict_GetItemWithError(data.get(), NAMES.type);
    if (final_type == nullptr) {
        set_internal_error(PyErr_Occurred() ? "data[\"type\"] should not raise."
                                            : "data[\"type\"] should not be missing.");
        return false;
    }
    EventRecord record;
    if (!PyUnicode_Check(final_type)) {
        set_conversion_error(final_type, "PyString");
        return false;
    }
    if (!text_for_trace(final_type, &record.type)) return false;
    if (!dump_msgpack(data.get(), host.lightweight_repr, &record.bytes)) return false;
    records.push_back(std::move(record));
    return true;
}

}  // namespace

void process_plugins(const PluginHost& host, const std::vector<PluginProcessor>& processors,
                     const PluginEvent& event, std::vector<EventRecord>& records) {
    for (const PluginProcessor& processor : processors) {
        if (!processor.path_fragment.occurs_in(event.filename)) continue;
        if (!run_processor(host, processor, event, records)) {
            log_error(host.failures, fetch_error(), event.frame, event.event_name, event.co_filename, event.co_name);
        }
    }
}

}  // namespace ruvo
