#include "tally.hpp"

#include <time.h>

#include <algorithm>

#include <string>

#include "call_site.hpp"
#include "convert.hpp"
#include "ids.hpp"
#include "lines.hpp"
#include "msgpack.hpp"
#include "names.hpp"
#include "paths.hpp"
#include "qualname.hpp"
#include "report.hpp"

namespace ruvo {

double wall_seconds() {
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return 0;
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

namespace {

constexpr uint64_t TALLY_MIN_BYTES = 256 * 1024;
constexpr size_t RESUME_LINES = 16;
constexpr int RESUMABLE = CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR;

// A tally left from an earlier trace goes before the thread counts anew.
void start_tallies(ProfilerState& state, ThreadData& thread) {
    if (thread.tallies_generation == state.left_out.generation) return;
    thread.tally_stack.clear();
    // Dropping the held code objects may run Python code (weak references):
    // the program's pending exception is kept aside meanwhile.
    SavedError saved;
    thread.tallies.clear();
    thread.tallies_generation = state.left_out.generation;
}

// The function's entry, named on first use like its frame records are.
FunctionTally* tally_for(ProfilerState& state, ThreadData& thread, PyObject* frame, PyCodeObject* code) {
    start_tallies(state, thread);
    auto found = thread.tallies.find(code);
    if (found != thread.tallies.end()) return &found->second;
    SavedError saved;
    FunctionTally tally;
    tally.code = Ref::borrow(reinterpret_cast<PyObject*>(code));
    tally.line = code->co_firstlineno;
    TraceText filename;
    std::string_view cwd;
    bool plain_cwd = false;
    bool named = filename.set(code->co_filename) && current_directory(&cwd, &plain_cwd) &&
                 get_qualname(frame, &tally.qualname, &tally.has_qualname);
    if (named && !thread.identity) {
        ThreadIdentity identity;
        named = current_thread(&identity);
        if (named) thread.identity = std::move(identity);
    }
    if (!named) {
        log_error(&state.left_out.failures, fetch_error(), frame, NAMES.event_call, code->co_filename, code->co_name);
        return nullptr;
    }
    tally.path.assign(relative_path(filename.view(), cwd, plain_cwd));
    return &thread.tallies.emplace(code, std::move(tally)).first->second;
}

// A generator's first call stops at its definition line; every later call is
// a resume, at the line it left off.
bool resumed_at(PyCodeObject* code, int line) {
    return (code->co_flags & RESUMABLE) && line != code->co_firstlineno;
}

// Whether a call past the budget resumes a generator. Reading a frame's line
// scans the line table, too dear for every counted call: that is done only
// until the generator's first call has shown its instruction.
bool resumed(PyObject* frame, PyCodeObject* code, FunctionTally& function) {
    if (!(code->co_flags & RESUMABLE)) return false;
    int lasti = PyFrame_GetLasti(reinterpret_cast<PyFrameObject*>(frame));
    if (function.start_lasti >= 0) return lasti != function.start_lasti;
#if PY_VERSION_HEX >= 0x030C0000
    int line = frame_line(reinterpret_cast<PyFrameObject*>(frame));
#else
    int line = PyFrame_GetLineNumber(reinterpret_cast<PyFrameObject*>(frame));
#endif
    if (resumed_at(code, line)) return true;
    function.start_lasti = lasti;
    return false;
}

}  // namespace

void tally_closed_event(ProfilerState& state, ThreadData& thread, PyObject* frame, PyCodeObject* code, bool is_call,
                        double entered) {
    start_tallies(state, thread);
    std::vector<TallyFrame>& stack = thread.tally_stack;
    if (is_call) {
        FunctionTally* function = tally_for(state, thread, frame, code);
        if (!function) return;
        ++function->calls;
        if (resumed(frame, code, *function)) ++function->resumes_counted;
        ++function->active;
        // One clock read per event: the recorder's time after it falls in
        // the call's span, or the caller's, where the calibrated biases
        // take it out.
        stack.push_back(TallyFrame{frame, function, entered, 0, 0});
        return;
    }
    // A return whose call is not on the stack began in an earlier trace, or
    // under a frame whose return never came (a thread's stack cut by an
    // exception in the hook): calls above it get their time up to now.
    size_t depth = stack.size();
    while (depth > 0 && stack[depth - 1].frame != frame) --depth;
    if (depth == 0) return;
    while (stack.size() >= depth) {
        TallyFrame top = stack.back();
        stack.pop_back();
        // What the interpreter spends on the hook outside its clock, as
        // calibrated, is the call's and its caller's cost of being counted.
        double total = (entered - top.entered) - top.overhead - state.counted_bias_inside;
        if (total < 0) total = 0;
        FunctionTally& function = *top.function;
        function.own += total > top.children ? total - top.children : 0;
        if (--function.active == 0) function.total += total;
        // Everything between the call's clock read and this return's, and the
        // recorder's cost outside them, is not the caller's own. The part
        // inside them is already in the span.
        double span = entered - top.entered + state.counted_bias;
        if (!stack.empty()) {
            stack.back().children += total;
            stack.back().overhead += span - total;
        } else if (!thread.call_frames.empty()) {
            PyObject* caller = thread.call_frames.back().frame.get();
            Ref caller_code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(caller))));
            FunctionTally* parent =
                tally_for(state, thread, caller, reinterpret_cast<PyCodeObject*>(caller_code.get()));
            if (parent) parent->hidden += span;
        }
    }
}

void tally_recorded_event(ProfilerState& state, ThreadData& thread, PyObject* frame, PyCodeObject* code, bool is_call,
                          double entered, double stamped, int line, double left) {
    if (entered == 0 || left == 0 || stamped < entered || left < stamped) return;  // the clock stepped
    FunctionTally* function = tally_for(state, thread, frame, code);
    if (!function) return;
    if (is_call) {
        if (resumed_at(code, line)) {
            ++function->resumes;
            std::vector<int>& lines = function->resume_lines;
            if (lines.size() < RESUME_LINES && std::find(lines.begin(), lines.end(), line) == lines.end()) {
                lines.push_back(line);
            }
        }
        ++function->calls_recorded;
        function->call_before += stamped - entered;
        function->call_after += left - stamped;
    } else {
        ++function->returns_recorded;
        function->return_before += stamped - entered;
        function->return_after += left - stamped;
    }
}

bool write_tally_record(ProfilerState& state, std::vector<EventRecord>* out) {
    // A small trace that left nothing out goes without: there the record
    // would be much of the trace, and the cost it corrects is small.
    const LeftOut& left = state.left_out;
    uint32_t count = 0;
    bool resumed = false;
    for (auto& [key, thread] : state.threads) {
        if (thread->tallies_generation != state.left_out.generation) continue;
        count += thread->tallies.size();
        for (auto& [code, f] : thread->tallies) resumed = resumed || f.resumes;
    }
    if (count == 0) return true;
    if (!left.frames_omitted && !left.values_omitted && left.stored_bytes < TALLY_MIN_BYTES && !resumed) return true;
    ThreadIdentity here;
    if (!current_thread(&here)) return false;
    auto now = timestamp();
    if (!now) return false;
    static const char* const COLUMNS[] = {"thread", "thread_native_id", "qualname", "path", "line",
                                          "calls", "total", "own", "hidden", "calls_recorded",
                                          "returns_recorded", "call_before", "call_after", "return_before",
                                          "return_after", "resumes", "resume_lines", "resumes_counted"};
    Buffer b;
    write_map_header(b, 11);
    Id id = new_id("frm_");
    write_str_pair(b, "frame_id", id_view(id));
    write_f64_pair(b, *now);
    write_str_pair(b, "thread", here.name);
    write_int_pair(b, "thread_native_id", here.native_id);
    write_str_pair(b, "user_code_call_site", std::nullopt);
    write_str_pair(b, "type", "ruvo");
    write_str_pair(b, "subtype", "tally");
    write_str(b, "recorder_bias");
    write_f64(b, state.recorder_bias);
    write_str(b, "recorder_bias_inside");
    write_f64(b, state.recorder_bias_inside);
    write_str(b, "columns");
    write_array_header(b, sizeof COLUMNS / sizeof *COLUMNS);
    for (const char* column : COLUMNS) write_str(b, column);
    write_str(b, "functions");
    write_array_header(b, count);
    for (auto& [key, thread] : state.threads) {
        if (thread->tallies_generation != state.left_out.generation) continue;
        for (auto& [code, f] : thread->tallies) {
            write_array_header(b, sizeof COLUMNS / sizeof *COLUMNS);
            if (thread->identity) {
                write_str(b, thread->identity->name);
                if (thread->identity->native_id) {
                    write_uint(b, *thread->identity->native_id);
                } else {
                    write_nil(b);
                }
            } else {
                write_nil(b);
                write_nil(b);
            }
            if (f.has_qualname) {
                write_str(b, f.qualname);
            } else {
                write_nil(b);
            }
            write_str(b, f.path);
            write_int(b, f.line);
            write_uint(b, f.calls);
            write_f64(b, f.total);
            write_f64(b, f.own);
            write_f64(b, f.hidden);
            write_uint(b, f.calls_recorded);
            write_uint(b, f.returns_recorded);
            write_f64(b, f.call_before);
            write_f64(b, f.call_after);
            write_f64(b, f.return_before);
            write_f64(b, f.return_after);
            write_uint(b, f.resumes);
            write_array_header(b, static_cast<uint32_t>(f.resume_lines.size()));
            for (int line : f.resume_lines) write_int(b, line);
            write_uint(b, f.resumes_counted);
        }
    }
    out->push_back(EventRecord{"ruvo", std::move(b)});
    return true;
}

}  // namespace ruvo
