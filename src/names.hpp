// Interned names of the interpreter's attributes and the host's modules, and
// the module import the hook uses.
#pragma once

#include "refs.hpp"

namespace ruvo {

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
    X(mod_native_serialize, "ruvo._serialize")                \
    X(c_api, "_C_API")                                        \
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
    X(recorder_bias, "recorder_bias")                         \
    X(stopped, "stopped")                                     \
    X(recorder_bias_inside, "recorder_bias_inside")           \
    X(counted_bias, "counted_bias")                           \
    X(counted_bias_inside, "counted_bias_inside")             \
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

}  // namespace ruvo
