#include "frame_record.hpp"

#include <charconv>
#include <optional>

#include "call_site.hpp"
#include "errors.hpp"
#include "ids.hpp"
#include "lines.hpp"
#include "msgpack.hpp"
#include "names.hpp"
#include "paths.hpp"
#include "qualname.hpp"
#include "serializer.hpp"
#include "wire.hpp"

namespace ruvo {

namespace {

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

// "user_code_call_site": the calling record's id and line, or nil.
void write_call_site_pair(Buffer& b, const std::optional<UserCodeCallSite>& site) {
    write_str(b, "user_code_call_site");
    if (!site) return write_value(b, Value());
    // A value tree on the stack: no allocation per event.
    const Value entries[] = {Value::known_text("call_frame_id"), Value::known_text(id_view(site->call_frame_id)),
                             Value::known_text("line_number"), Value::integer(site->line_number)};
    write_value(b, Value::map(entries));
}

// The values a frame record gets when they are left out: the serialiser's
// BUDGET marker for the trace's budget, else its DROPPED marker; empty exts.
void write_left_out(Buffer& b, Values values) {
    auto code = values == Values::LeftForBudget ? wire::EXT_BUDGET : wire::EXT_DROPPED;
    const char left_out[] = {static_cast<char>(0xc7), 0, static_cast<char>(code)};
    b.append(left_out, sizeof left_out);
}

}  // namespace

bool process_frame(ProfilerState& state, ThreadData& thread, PyObject* frame, PyObject* arg, bool is_call,
                   std::string_view filename, std::string_view co_name, Values values) {
    EventScratch& scratch = thread.scratch;
    std::vector<EventRecord>& records = scratch.records;
    if (!thread.identity) {
        ThreadIdentity identity;
        if (!current_thread(&identity)) return false;
        thread.identity = std::move(identity);
    }

    // What the frame's f_lineno gives; no line (None there) fails the event.
    // Up to 3.11 the interpreter pins f_lineno for the profile function; from
    // 3.12 on every read would scan the line table, so it comes from a cache.
#if PY_VERSION_HEX >= 0x030C0000
    int lineno = frame_line(reinterpret_cast<PyFrameObject*>(frame));
#else
    int lineno = PyFrame_GetLineNumber(reinterpret_cast<PyFrameObject*>(frame));
#endif
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
    if (!user_code_call_site(thread.call_frames, id ? &*id : nullptr, &site)) return false;

    // The record is written in order, the values straight into it.
    Buffer& out = scratch.record;
    out.clear();
    write_map_header(out, 12);
    write_path_pair(out, path, lineno);
    write_str_pair(out, "co_name", co_name);
    write_str_pair(out, "qualname",
                   has_qualname ? std::optional<std::string_view>(scratch.qualname) : std::nullopt);
    write_str_pair(out, "event", is_call ? "call" : "return");
    write_str_pair(out, "frame_id", id ? std::optional<std::string_view>(id_view(*id)) : std::nullopt);
    bool with_values = values == Values::Kept;
    if (with_values) {
        Ref locals = locals_for_record(frame);
        if (!locals) return false;
        Ref serializer = serializer_function(state.lightweight_repr);
        if (!serializer) return false;
        write_str(out, "arg");
        if (!serialize_with(serializer.get(), state.lightweight_repr, arg, &out)) return false;
        write_str(out, "locals");
        if (!serialize_with(serializer.get(), state.lightweight_repr, locals.get(), &out)) return false;
    } else {
        write_str(out, "arg");
        write_left_out(out, values);
        write_str(out, "locals");
        write_left_out(out, values);
    }
    auto now = timestamp();
    if (!now) return false;
    write_str_pair(out, "thread", thread.identity->name);
    write_int_pair(out, "thread_native_id", thread.identity->native_id);
    write_f64_pair(out, *now);
    write_str_pair(out, "type", "frame");
    write_call_site_pair(out, site);
    records.push_back(EventRecord{"frame", std::move(out)});
    // The call's id and stack entry are made room for first and undone if
    // the records cannot be stored: a return must never carry the id of a
    // call that no document holds.
    if (is_call) {
        thread.frame_ids[address] = *id;
        thread.call_frames.push_back(CallFrame{Ref::borrow(frame), *id, with_values});
    } else {
        pop_call_frame(thread.call_frames, frame);
        // The frame is done with its id: a later frame object at the same
        // address, seen first at its return, must not inherit it.
        thread.frame_ids.erase(address);
    }
    bool stored = push_frames(state, thread, is_call, records);
    if (stored) {
        scratch.stamped = *now;
        scratch.line = lineno;
    }
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

}  // namespace ruvo
