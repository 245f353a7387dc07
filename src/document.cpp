#include "document.hpp"

#include <cstring>
#include <utility>
#include <vector>

#include "budget.hpp"
#include "tally.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "msgpack.hpp"
#include "names.hpp"

namespace ruvo {

namespace {

bool host_attribute(PyObject* module_name, PyObject* attribute, Ref* out) {
    Ref module = Ref::steal(PyImport_Import(module_name));
    if (!module) return false;
    *out = Ref::steal(PyObject_GetAttr(module.get(), attribute));
    return static_cast<bool>(*out);
}

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

}  // namespace

bool copy_trace_id(ProfilerState& state, std::string* out) {
    std::optional<PoisonMutex::Guard> guard;
    if (!take_lock(state.trace_id_lock, guard, "the trace_id lock is poisoned")) return false;
    *out = state.trace_id;
    return true;
}

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
    if (!write_tally_record(state, &left_out_record)) return Ref();

    // From here to the end no Python code runs, so no event can come between
    // what the trace left out and the records taken.
    std::optional<PoisonMutex::Guard> foi_guard, frames_guard;
    if (!take_lock(state.frames_of_interest_lock, foi_guard, "the frames_of_interest lock is poisoned")) return Ref();
    RecordStore frames_of_interest = std::exchange(state.frames_of_interest, RecordStore());
    if (!take_lock(state.frames_lock, frames_guard, "the frames lock is poisoned")) return Ref();
    auto frames = std::exchange(state.frames, {});
    std::string trace_id;
    if (!copy_trace_id(state, &trace_id)) return Ref();
    reset_left_out(state);
    // Everything below allocates, and works on what was taken out alone.
    frames_guard.reset();  // frames first, then frames_of_interest
    foi_guard.reset();
    if (!left_out_record.empty()) frames_of_interest.append(left_out_record, 0, left_out_record.size());

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

}  // namespace ruvo
