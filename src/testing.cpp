// ruvo._ruvo_testing: the internals of ruvo._ruvo that its public interface
// cannot reach, exposed for ruvo's own test suite only.
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "filters.hpp"
#include "state.hpp"
#include "call_site.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "ids.hpp"
#include "msgpack.hpp"
#include "names.hpp"
#include "paths.hpp"
#include "qualname.hpp"
#include "serializer.hpp"

namespace ruvo {
namespace {

PyObject* bytes_of(const Buffer& buffer) {
    return PyBytes_FromStringAndSize(buffer.data(), static_cast<Py_ssize_t>(buffer.size()));
}

bool text_arg(PyObject* obj, std::string* out) { return extract_text(obj, out); }

bool optional_text_arg(PyObject* obj, std::optional<std::string>* out) {
    if (obj == Py_None) {
        out->reset();
        return true;
    }
    std::string text;
    if (!extract_text(obj, &text)) return false;
    *out = std::move(text);
    return true;
}

PyObject* str_pair(PyObject*, PyObject* args) {
    PyObject *key, *value;
    if (!PyArg_ParseTuple(args, "OO", &key, &value)) return nullptr;
    std::string key_text;
    std::optional<std::string> value_text;
    if (!text_arg(key, &key_text) || !optional_text_arg(value, &value_text)) return nullptr;
    Buffer b;
    write_str_pair(b, key_text, value_text ? std::optional<std::string_view>(*value_text) : std::nullopt);
    return bytes_of(b);
}

PyObject* int_pair(PyObject*, PyObject* args) {
    PyObject *key, *value;
    if (!PyArg_ParseTuple(args, "OO", &key, &value)) return nullptr;
    std::string key_text;
    if (!text_arg(key, &key_text)) return nullptr;
    std::optional<uint64_t> number;
    if (value != Py_None) {
        uint64_t v;
        if (!extract_u64(value, &v)) return nullptr;
        number = v;
    }
    Buffer b;
    write_int_pair(b, key_text, number);
    return bytes_of(b);
}

PyObject* f64_pair(PyObject*, PyObject* arg) {
    double value = PyFloat_AsDouble(arg);
    if (value == -1.0 && PyErr_Occurred()) return nullptr;
    Buffer b;
    write_f64_pair(b, value);
    return bytes_of(b);
}

// Returns (pair bytes, what is left of the given bytes afterwards).
PyObject* raw_pair(PyObject*, PyObject* args) {
    PyObject* key;
    const char* data;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "Oy#", &key, &data, &size)) return nullptr;
    std::string key_text;
    if (!text_arg(key, &key_text)) return nullptr;
    Buffer bytes;
    bytes.append(data, static_cast<size_t>(size));
    Buffer b;
    write_raw_pair(b, key_text, bytes);
    return Py_BuildValue("(Ny#)", bytes_of(b), bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

// Python values to a value tree: None, bool, int, float (64-bit), str, bytes,
// list, dict, and the tuples ("f32", x), ("ext", type, data) and
// ("text", raw bytes) for the forms Python has no value of its own for.
// Storage the tree's views point into, for as long as the tree is written.
struct ValueArena {
    std::deque<std::string> texts;
    std::deque<std::vector<Value>> lists;
};

bool to_value(PyObject* obj, Value* out, ValueArena& arena) {
    if (obj == Py_None) {
        out->kind = Value::Kind::Nil;
    } else if (PyBool_Check(obj)) {
        out->kind = Value::Kind::Bool;
        out->boolean = obj == Py_True;
    } else if (PyLong_Check(obj)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow > 0) {
            out->kind = Value::Kind::UInt;
            out->uint = PyLong_AsUnsignedLongLong(obj);
            if (PyErr_Occurred()) return false;
        } else if (overflow < 0 || (v == -1 && PyErr_Occurred())) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_OverflowError, "too small");
            return false;
        } else {
            *out = Value::integer(v);
        }
    } else if (PyFloat_Check(obj)) {
        out->kind = Value::Kind::F64;
        out->real = PyFloat_AS_DOUBLE(obj);
    } else if (PyUnicode_Check(obj)) {
        out->kind = Value::Kind::Text;
        if (!extract_text(obj, &arena.texts.emplace_back())) return false;
        out->data = arena.texts.back();
    } else if (PyBytes_Check(obj)) {
        out->kind = Value::Kind::Bytes;
        out->data = arena.texts.emplace_back(PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj)));
    } else if (PyList_Check(obj)) {
        out->kind = Value::Kind::Array;
        std::vector<Value>& items = arena.lists.emplace_back(static_cast<size_t>(PyList_GET_SIZE(obj)));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            if (!to_value(PyList_GET_ITEM(obj, i), &items[static_cast<size_t>(i)], arena)) return false;
        }
        out->items = items;
    } else if (PyDict_Check(obj)) {
        out->kind = Value::Kind::Map;
        std::vector<Value>& items = arena.lists.emplace_back(2 * static_cast<size_t>(PyDict_GET_SIZE(obj)));
        Py_ssize_t pos = 0;
        size_t next = 0;
        PyObject *key, *value;
        while (PyDict_Next(obj, &pos, &key, &value)) {
            if (!to_value(key, &items[next++], arena) || !to_value(value, &items[next++], arena)) return false;
        }
        out->items = items;
    } else if (PyTuple_Check(obj) && PyTuple_GET_SIZE(obj) >= 2) {
        const char* tag = PyUnicode_Check(PyTuple_GET_ITEM(obj, 0)) ? PyUnicode_AsUTF8(PyTuple_GET_ITEM(obj, 0)) : "";
        if (tag == nullptr) return false;
        PyObject* second = PyTuple_GET_ITEM(obj, 1);
        if (std::strcmp(tag, "f32") == 0) {
            out->kind = Value::Kind::F32;
            out->real = PyFloat_AsDouble(second);
            return !PyErr_Occurred();
        }
        if (std::strcmp(tag, "text") == 0 && PyBytes_Check(second)) {
            out->kind = Value::Kind::Text;
            out->data = arena.texts.emplace_back(PyBytes_AS_STRING(second), static_cast<size_t>(PyBytes_GET_SIZE(second)));
            return true;
        }
        if (std::strcmp(tag, "ext") == 0 && PyTuple_GET_SIZE(obj) == 3 && PyBytes_Check(PyTuple_GET_ITEM(obj, 2))) {
            out->kind = Value::Kind::Ext;
            out->ext_type = static_cast<int8_t>(PyLong_AsLong(second));
            PyObject* data = PyTuple_GET_ITEM(obj, 2);
            out->data = arena.texts.emplace_back(PyBytes_AS_STRING(data), static_cast<size_t>(PyBytes_GET_SIZE(data)));
            return !PyErr_Occurred();
        }
        PyErr_SetString(PyExc_TypeError, "unknown tagged value");
        return false;
    } else {
        PyErr_SetString(PyExc_TypeError, "no value tree form for this object");
        return false;
    }
    return true;
}

PyObject* value(PyObject*, PyObject* arg) {
    Value v;
    ValueArena arena;
    if (!to_value(arg, &v, arena)) return nullptr;
    Buffer b;
    write_value(b, v);
    return bytes_of(b);
}

PyObject* is_one_value(PyObject*, PyObject* arg) {
    if (!PyBytes_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "bytes expected");
        return nullptr;
    }
    return PyBool_FromLong(is_one_msgpack_value({PyBytes_AS_STRING(arg), static_cast<size_t>(PyBytes_GET_SIZE(arg))}));
}

PyObject* ulid(PyObject*, PyObject* args) {
    unsigned long long high, low;
    if (!PyArg_ParseTuple(args, "KK", &high, &low)) return nullptr;
    char text[26];
    ulid_text(high, low, text);
    return PyUnicode_FromStringAndSize(text, 26);
}

PyObject* make_id(PyObject*, PyObject* arg) {
    std::string prefix;
    if (!extract_text(arg, &prefix)) return nullptr;
    if (prefix.size() != 4) {
        PyErr_SetString(PyExc_ValueError, "the prefix has four characters");
        return nullptr;
    }
    Id id = new_id(prefix.c_str());
    return PyUnicode_FromStringAndSize(id.data(), static_cast<Py_ssize_t>(id.size()));
}

PyObject* now(PyObject*, PyObject*) {
    auto value = timestamp();
    return value ? PyFloat_FromDouble(*value) : nullptr;
}

PyObject* text_or_none(const std::optional<std::string>& text) {
    if (!text) Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
}

PyObject* qualname(PyObject*, PyObject* frame) {
    std::string name;
    bool found = false;
    if (!get_qualname(frame, &name, &found)) return nullptr;
    return text_or_none(found ? std::optional<std::string>(name) : std::nullopt);
}

PyObject* qualname_inner(PyObject*, PyObject* args) {
    PyObject *frame, *co_name;
    if (!PyArg_ParseTuple(args, "OO", &frame, &co_name)) return nullptr;
    PyObject* result = text_or_none(get_qualname_inner(frame, co_name));
    if (result != nullptr && PyErr_Occurred()) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_AssertionError, "the search left an exception pending");
        return nullptr;
    }
    return result;
}

// call_site([(frame, id), ...] bottom first, frame_id or None)
PyObject* call_site(PyObject*, PyObject* args) {
    PyObject *entries, *frame_id;
    if (!PyArg_ParseTuple(args, "O!O", &PyList_Type, &entries, &frame_id)) return nullptr;
    std::vector<CallFrame> stack;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); ++i) {
        PyObject *frame, *id_object;
        if (!PyArg_ParseTuple(PyList_GET_ITEM(entries, i), "OO", &frame, &id_object)) return nullptr;
        std::string id_text;
        if (!extract_text(id_object, &id_text)) return nullptr;
        Id id{};
        std::memcpy(id.data(), id_text.data(), std::min(id_text.size(), id.size()));
        stack.push_back(CallFrame{Ref::borrow(frame), id});
    }
    std::optional<Id> own;
    if (frame_id != Py_None) {
        std::string id_text;
        if (!extract_text(frame_id, &id_text)) return nullptr;
        Id id{};
        std::memcpy(id.data(), id_text.data(), std::min(id_text.size(), id.size()));
        own = id;
    }
    std::optional<UserCodeCallSite> site;
    if (!user_code_call_site(snapshot_top(stack), own ? &*own : nullptr, &site)) return nullptr;
    if (!site) Py_RETURN_NONE;
    return Py_BuildValue("(s#i)", site->call_frame_id.data(), static_cast<Py_ssize_t>(site->call_frame_id.size()),
                         site->line_number);
}

PyObject* thread_identity(PyObject*, PyObject*) {
    ThreadIdentity identity;
    if (!current_thread(&identity)) return nullptr;
    if (identity.native_id) return Py_BuildValue("(s#K)", identity.name.data(), identity.name.size(), *identity.native_id);
    return Py_BuildValue("(s#O)", identity.name.data(), identity.name.size(), Py_None);
}

// decide(filename, include, ignore, frame=None): "record" or "skip"; with a
// frame, the attrs test reads its callers as the profiler does.
PyObject* decide(PyObject*, PyObject* args) {
    PyObject *filename, *include, *ignore, *frame = Py_None;
    if (!PyArg_ParseTuple(args, "OOO|O", &filename, &include, &ignore, &frame)) return nullptr;
    std::string name;
    std::vector<std::string> include_texts, ignore_texts;
    if (!extract_text(filename, &name) || !extract_text_list(include, &include_texts) ||
        !extract_text_list(ignore, &ignore_texts)) {
        return nullptr;
    }
    auto include_finders = build_finders(std::move(include_texts));
    auto ignore_finders = build_finders(std::move(ignore_texts));
    if (frame == Py_None) {
        Verdict verdict = decide_by_filename(name, include_finders, ignore_finders);
        return PyUnicode_FromString(verdict == Verdict::Skip     ? "skip"
                                    : verdict == Verdict::Record ? "record"
                                                                 : "record-unless-attrs");
    }
    bool record = false;
    if (!frame_is_recorded(decide_by_filename(name, include_finders, ignore_finders), frame, &record)) {
        return nullptr;
    }
    return PyUnicode_FromString(record ? "record" : "skip");
}

PyObject* relative(PyObject*, PyObject* args) {
    const char *filename, *cwd;
    if (!PyArg_ParseTuple(args, "ss", &filename, &cwd)) return nullptr;
    std::string_view result = relative_path(filename, cwd, is_plain_directory(cwd));
    return PyUnicode_FromStringAndSize(result.data(), static_cast<Py_ssize_t>(result.size()));
}

PyObject* dump(PyObject*, PyObject* args) {
    PyObject* value;
    int lightweight = 0;
    if (!PyArg_ParseTuple(args, "O|p", &value, &lightweight)) return nullptr;
    Buffer bytes;
    if (!dump_msgpack(value, lightweight != 0, &bytes)) return nullptr;
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* internal_error(PyObject*, PyObject* arg) {
    std::string message;
    if (!extract_text(arg, &message)) return nullptr;
    set_internal_error(message.c_str());
    return nullptr;
}

PyMethodDef FUNCTIONS[] = {
    {"str_pair", str_pair, METH_VARARGS, nullptr},
    {"int_pair", int_pair, METH_VARARGS, nullptr},
    {"f64_pair", f64_pair, METH_O, nullptr},
    {"raw_pair", raw_pair, METH_VARARGS, nullptr},
    {"value", value, METH_O, nullptr},
    {"is_one_value", is_one_value, METH_O, nullptr},
    {"ulid", ulid, METH_VARARGS, nullptr},
    {"new_id", make_id, METH_O, nullptr},
    {"timestamp", now, METH_NOARGS, nullptr},
    {"qualname", qualname, METH_O, nullptr},
    {"qualname_inner", qualname_inner, METH_VARARGS, nullptr},
    {"call_site", call_site, METH_VARARGS, nullptr},
    {"current_thread", thread_identity, METH_NOARGS, nullptr},
    {"decide", decide, METH_VARARGS, nullptr},
    {"relative_path", relative, METH_VARARGS, nullptr},
    {"dump", dump, METH_VARARGS, nullptr},
    {"internal_error", internal_error, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef MODULE = {PyModuleDef_HEAD_INIT, "_ruvo_testing", "Internals of ruvo._ruvo, for ruvo's own tests.",
                      -1, FUNCTIONS, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace ruvo

PyMODINIT_FUNC PyInit__ruvo_testing() {
    if (!ruvo::init_names()) return nullptr;
    return PyModule_Create(&ruvo::MODULE);
}
