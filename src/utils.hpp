// Shared utilities: interned names, value conversions, internal errors,
// timestamps and identifiers, MessagePack writers, value serialisation through
// ruvo.serialize, qualified names, thread identity and call sites.
//
// Error convention: a function that can fail returns false (or an empty
// Ref / optional) with the Python error set in the interpreter; the caller
// either passes that on or reports it. Internal errors (broken invariants)
// are Python exceptions of a BaseException subclass, set the same way.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "refs.hpp"

namespace ruvo {

// ---------------------------------------------------------------- names

// Every Python string the extension uses at events is created once, interned,
// and kept for the life of the process.
#define RUVO_NAMES(X)                                         \
    X(f_code, "f_code")                                       \
    X(co_filename, "co_filename")                             \
    X(co_name, "co_name")                                     \
    X(co_qualname, "co_qualname")                             \
    X(f_lineno, "f_lineno")                                   \
    X(f_locals, "f_locals")                                   \
    X(f_globals, "f_globals")                                 \
    X(f_back, "f_back")                                       \
    X(dunder_module, "__module__")                            \
    X(dunder_qualname, "__qualname__")                        \
    X(dunder_name, "__name__")                                \
    X(dunder_builtins, "__builtins__")                        \
    X(dunder_all, "__all__")                                  \
    X(dunder_version, "__version__")                          \
    X(getattr_static, "getattr_static")                       \
    X(property, "property")                                   \
    X(fget, "fget")                                           \
    X(self, "self")                                           \
    X(cls, "cls")                                             \
    X(name, "name")                                           \
    X(native_id, "native_id")                                 \
    X(current_thread, "current_thread")                       \
    X(main_thread, "main_thread")                             \
    X(setprofile, "setprofile")                               \
    X(mod_threading, "threading")                             \
    X(mod_inspect, "inspect")                                 \
    X(mod_builtins, "builtins")                               \
    X(mod_logging, "logging")                                 \
    X(mod_sys, "sys")                                         \
    X(mod_collections_abc, "collections.abc")                 \
    X(mod_serialize, "ruvo.serialize")                        \
    X(mod_plugins, "ruvo.plugins")                            \
    X(mod_version, "ruvo.version")                            \
    X(mod_git, "ruvo.git")                                    \
    X(mod_db, "ruvo.db")                                      \
    X(dump_msgpack, "dump_msgpack")                           \
    X(dump_msgpack_lightweight_repr, "dump_msgpack_lightweight_repr") \
    X(getLogger, "getLogger")                                 \
    X(warning, "warning")                                     \
    X(info, "info")                                           \
    X(trace_budget, "trace_budget")                           \
    X(ruvo, "ruvo")                                           \
    X(exc_info, "exc_info")                                   \
    X(config, "config")                                       \
    X(filters, "filters")                                     \
    X(include_frames, "include_frames")                       \
    X(ignore_frames, "ignore_frames")                         \
    X(sqlite_busy_timeout, "sqlite_busy_timeout")             \
    X(threading, "threading")                                 \
    X(lightweight_repr, "lightweight_repr")                   \
    X(db_path, "db_path")                                     \
    X(one_trace_per_test, "one_trace_per_test")               \
    X(trace_id, "trace_id")                                   \
    X(source, "source")                                       \
    X(rust_profiler, "rust_profiler")                         \
    X(register_threading_profiler, "register_threading_profiler") \
    X(load_plugin_data, "load_plugin_data")                   \
    X(co_names, "co_names")                                   \
    X(build_context, "build_context")                         \
    X(path_fragment, "path_fragment")                         \
    X(call_type, "call_type")                                 \
    X(return_type, "return_type")                             \
    X(subtype, "subtype")                                     \
    X(call, "call")                                           \
    X(process, "process")                                     \
    X(events, "events")                                       \
    X(frame_id, "frame_id")                                   \
    X(timestamp, "timestamp")                                 \
    X(thread, "thread")                                       \
    X(thread_native_id, "thread_native_id")                   \
    X(user_code_call_site, "user_code_call_site")             \
    X(type, "type")                                           \
    X(call_frame_id, "call_frame_id")                         \
    X(line_number, "line_number")                             \
    X(Mapping, "Mapping")                                     \
    X(COMMIT_SHA, "COMMIT_SHA")                               \
    X(argv, "argv")                                           \
    X(save_trace_in_sqlite, "save_trace_in_sqlite")           \
    X(timeout, "timeout")                                     \
    X(msgpack, "msgpack")                                     \
    X(event_call, "call")                                     \
    X(event_return, "return")

struct Names {
#define RUVO_NAME_FIELD(ident, text) PyObject* ident;
    RUVO_NAMES(RUVO_NAME_FIELD)
#undef RUVO_NAME_FIELD
};

// Creates the names; called once from module initialisation.
bool init_names();
extern Names NAMES;

// Imports a module, looking in sys.modules first: the host modules are
// "imported again at each use" so that a replaced module is seen, but the
// common case must not pay for a full import.
Ref import_module(PyObject* name);

// ---------------------------------------------------------------- errors

// The class of internal errors: derived from BaseException, so that the
// host's ordinary `except Exception` does not swallow a broken invariant.
PyObject* internal_error_type();

// Sets an internal error with `message`; a pending Python error is
// described after ": " and replaced.
void set_internal_error(const char* message);

// TypeError "'<type>' object cannot be converted to '<target>'".
void set_conversion_error(PyObject* obj, const char* target);

inline constexpr const char* CANT_EXTRACT_STR = "Can't extract `str` to `Vec`";

// ---------------------------------------------------------------- conversions

// True/False, or an object whose type is named "numpy.bool_".
bool extract_bool(PyObject* obj, bool* out);
// An int or an __index__ object in 0..2**64-1.
bool extract_u64(PyObject* obj, uint64_t* out);
// A str (or subclass), through its UTF-8 form; no UTF-8 form is an error.
bool extract_text(PyObject* obj, std::string* out);
// A sequence of str that is not itself a str. With `for_trace`, items are
// taken as text_for_trace takes them (used for texts that only go into a
// trace, such as the command line).
bool extract_text_list(PyObject* obj, std::vector<std::string>* out, bool for_trace = false);
// The UTF-8 form of a str that must go into a trace whatever it holds: lone
// surrogates (undecodable file names, odd thread names) are written as
// backslash escapes instead of making the document unreadable. Returns false
// only when `obj` is not a str or memory runs out.
bool text_for_trace(PyObject* obj, std::string* out);

// The same text as a view: the interpreter's own cached UTF-8 form when the
// str has one (no copy), an escaped copy otherwise. Valid while the str lives.
class TraceText {
  public:
    bool set(PyObject* obj);
    std::string_view view() const { return view_; }

  private:
    std::string_view view_;
    std::string owned_;
};

// ---------------------------------------------------------------- time, ids

// Seconds since the Unix epoch from the real-time clock.
std::optional<double> timestamp();

// "frm_" or "trc_" and 26 Crockford base-32 characters. Fixed size, so ids
// are copied around without touching the heap.
using Id = std::array<char, 30>;
inline std::string_view id_view(const Id& id) { return {id.data(), id.size()}; }

// ULID text of a 128-bit value given as its top 64 and bottom 64 bits.
void ulid_text(uint64_t high, uint64_t low, char out[26]);
// A new id with the given four-character prefix ("frm_" or "trc_").
Id new_id(const char prefix[4]);
// Resets the per-thread generators in a forked child.
void install_fork_handler();

// ---------------------------------------------------------------- msgpack

// A growable byte buffer. Records are written as many small pieces, so the
// common append is an inline capacity check and a copy; growing is the rare
// out-of-line case. Memory failures throw std::bad_alloc, which the entry
// points turn into MemoryError.
class Buffer {
  public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~Buffer() { std::free(data_); }

    void append(const void* bytes, size_t n) {
        if (n == 0) return;
        if (n > capacity_ - size_) grow(n);
        std::memcpy(data_ + size_, bytes, n);
        size_ += n;
    }
    void append(std::string_view text) { append(text.data(), text.size()); }
    void push_back(char byte) {
        if (size_ == capacity_) grow(1);
        data_[size_++] = byte;
    }
    void reserve(size_t n) {
        if (n > capacity_) grow(n - size_);
    }
    // Empties the buffer but keeps its memory for the next use.
    void clear() { size_ = 0; }

    const char* data() const { return data_; }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    std::string_view view() const { return {data_, size_}; }

  private:
    void grow(size_t extra);
    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

void write_nil(Buffer& b);
void write_bool(Buffer& b, bool v);
void write_uint(Buffer& b, uint64_t v);
void write_int(Buffer& b, int64_t v);
void write_f32(Buffer& b, float v);
void write_f64(Buffer& b, double v);
// The header of a str of `n` bytes, for text written in pieces after it.
// Inline, so that fixed keys cost one byte store and one fixed-size copy.
void write_long_str_header(Buffer& b, size_t n);
inline void write_str_header(Buffer& b, size_t n) {
    if (n < 32) {
        b.push_back(static_cast<char>(0xa0 | n));
    } else {
        write_long_str_header(b, n);
    }
}
inline void write_str(Buffer& b, std::string_view s) {
    write_str_header(b, s.size());
    b.append(s);
}
void write_bin(Buffer& b, std::string_view s);
void write_ext(Buffer& b, int8_t type, std::string_view data);
void write_array_header(Buffer& b, uint32_t n);
void write_map_header(Buffer& b, uint32_t n);

inline void write_str_pair(Buffer& b, std::string_view key, std::optional<std::string_view> value) {
    write_str(b, key);
    if (value) {
        write_str(b, *value);
    } else {
        b.push_back(static_cast<char>(0xc0));
    }
}
void write_int_pair(Buffer& b, std::string_view key, std::optional<uint64_t> value);
void write_f64_pair(Buffer& b, double value);  // key "timestamp"
// Appends already encoded bytes after the key and leaves `bytes` empty.
void write_raw_pair(Buffer& b, std::string_view key, Buffer& bytes);

// A small value tree, for values built by the extension itself.
struct Value {
    enum class Kind { Nil, Bool, UInt, Int, F32, F64, Text, Bytes, Array, Map, Ext };
    Kind kind = Kind::Nil;
    bool boolean = false;
    uint64_t uint = 0;
    int64_t sint = 0;
    double real = 0;
    int8_t ext_type = 0;
    std::string data;            // Text, Bytes, Ext
    std::vector<Value> items;    // Array; Map as key, value, key, value, ...

    static Value integer(int64_t v);  // non-negative values as UInt
    static Value text(std::string s);
    static Value map(std::vector<Value> keys_and_values);
};
void write_value(Buffer& b, const Value& v);

// True when `bytes` holds exactly one complete MessagePack value.
bool is_one_msgpack_value(std::string_view bytes);

// Hands `value` to ruvo.serialize (dump_msgpack or, when `lightweight`,
// dump_msgpack_lightweight_repr) and returns its bytes.
bool dump_msgpack(PyObject* value, bool lightweight, Buffer* out);
// The same in two steps, for callers that serialise several values at once:
// the function is looked up afresh, then called for each value.
Ref serializer_function(bool lightweight);
bool serialize_with(PyObject* function, bool lightweight, PyObject* value, Buffer* out);

// ---------------------------------------------------------------- names of code

// The module-qualified name of the function running in `frame`: false with
// an error set, or true with `*found` telling whether a name was found and
// `out` holding it.
bool get_qualname(PyObject* frame, std::string* out, bool* found);
// The search used for code objects without co_qualname; never fails.
std::optional<std::string> get_qualname_inner(PyObject* frame, PyObject* co_name);

// ---------------------------------------------------------------- threads, call sites

struct ThreadIdentity {
    std::string name;
    std::optional<uint64_t> native_id;
};
bool current_thread(ThreadIdentity* out);

struct CallFrame {
    Ref frame;
    Id id;
    // Whether the call's record carries values, so that its return does too.
    bool with_values = true;
};

// The two topmost entries of a thread's call-frame stack: all that the call
// site search ever looks at, so that is all that is copied.
struct CallSiteSnapshot {
    CallFrame entries[2];  // entries[0] is the top of the stack
    int size = 0;
};
CallSiteSnapshot snapshot_top(const std::vector<CallFrame>& stack);

struct UserCodeCallSite {
    Id call_frame_id;
    int32_t line_number;
};
// false with an error set, or true with `out` empty or filled.
bool user_code_call_site(CallSiteSnapshot snapshot, const Id* frame_id,
                         std::optional<UserCodeCallSite>* out);

// ---------------------------------------------------------------- paths

// The process's current directory. False with the internal error "Current
// directory is invalid." when it cannot be read. Call with the interpreter
// lock held. `plain` tells that it has no "." components and no doubled
// slashes, which relative_path can use.
bool current_directory(std::string_view* out, bool* plain);

// `filename` relative to `cwd` when it lies under it (whole components),
// else `filename` unchanged; either way a view into `filename`.
std::string_view relative_path(std::string_view filename, std::string_view cwd, bool cwd_is_plain);
bool is_plain_directory(std::string_view directory);

}  // namespace ruvo
