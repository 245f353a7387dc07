// The full encoder (dump_msgpack): every container walked within the limits,
// objects as their type name and attributes.
#include "value_parts.hpp"

#include <cstring>

namespace ruvo::ser {

Status FullEncoder::put_repr(PyObject* v) {
    const TypeInfo* info = type_info(Py_TYPE(v));
    if (info == nullptr) return Status::Escape;
    char plain[256];
    size_t plain_size;
    if (default_repr_text(v, plain, sizeof plain, static_cast<size_t>(std::max<int64_t>(L_.max_repr_chars, 0)),
                          &plain_size)) {
        size_t header = plain_size < 32 ? 1 : 2;
        write_ext_header(s_.out, EXT_REPR, 1 + info->name_msg.size() + header + plain_size);
        s_.out.push_back('\x92');
        s_.out.append(info->name_msg);
        write_str_header(s_.out, plain_size);
        s_.out.append(plain, plain_size);
        return Status::Ok;
    }
    Ref name = info->name.copy();
    Buffer name_msg;
    name_msg.append(info->name_msg);
    Ref text = Ref::steal(PyObject_Repr(v));
    if (!text) {
        if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) return Status::Escape;
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            PyErr_Clear();
            return Status::Failed;
        }
        PyErr_Clear();
        text = Ref::steal(PyUnicode_FromFormat("<unrepresentable %U object>", name.get()));
        if (!text) return failed_call();
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    Buffer payload;
    if (n > L_.max_repr_chars) {
        payload.push_back('\x93');
        payload.append(name_msg);
        put_str(payload, text.get(), static_cast<Py_ssize_t>(L_.max_repr_chars));
        write_uint(payload, static_cast<uint64_t>(n));
    } else {
        payload.push_back('\x92');
        payload.append(name_msg);
        put_str(payload, text.get());
    }
    write_ext(s_.out, EXT_REPR, payload.view());
    return Status::Ok;
}

Status FullEncoder::put_str_value(PyObject* v) {
    auto cap = static_cast<size_t>(L_.max_str_bytes);
    Buffer& o = s_.out;
    if (PyUnicode_IS_ASCII(v)) {
        auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(v));
        const char* data = static_cast<const char*>(PyUnicode_DATA(v));
        if (n <= cap) {
            write_str_header(o, n);
            o.append(data, n);
            return Status::Ok;
        }
    }
    Text t(v);
    size_t size = PyUnicode_IS_ASCII(v) ? static_cast<size_t>(t.length) : t.size(t.length);
    if (size <= cap) {
        write_str_header(o, size);
        t.put(o, t.length);
        return Status::Ok;
    }
    Buffer prefix;
    t.put_capped(prefix, cap);
    Buffer payload;
    payload.push_back('\x92');
    write_str_header(payload, prefix.size());
    payload.append(prefix);
    write_uint(payload, static_cast<uint64_t>(t.length));
    write_ext(o, EXT_CLIPPED, payload.view());
    return Status::Ok;
}

// A C-contiguous memoryview is its bytes; Failed sends it to repr().
Status FullEncoder::put_memoryview(PyObject* v) {
    Ref contiguous = Ref::steal(PyObject_GetAttr(v, G.s_c_contiguous));
    if (!contiguous) return failed_call();
    int yes = PyObject_IsTrue(contiguous.get());
    if (yes < 0) return failed_call();
    if (!yes) return Status::Failed;
    Ref flat = Ref::steal(PyObject_CallMethodOneArg(v, G.s_cast, G.s_B));
    if (!flat) return failed_call();
    Py_buffer* view = PyMemoryView_GET_BUFFER(flat.get());
    auto n = static_cast<size_t>(view->len);
    const char* data = static_cast<const char*>(view->buf);
    if (n <= static_cast<size_t>(L_.max_str_bytes)) {
        write_bin(s_.out, {data, n});
    } else {
        put_clipped_bytes(s_.out, data, static_cast<size_t>(L_.max_str_bytes), n);
    }
    return Status::Ok;
}

Status FullEncoder::put_leaf(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    Buffer& o = s_.out;
    if (v == Py_None) {
        put_u8(o, 0xC0);
        return Status::Ok;
    }
    if (t == &PyBool_Type) {
        put_u8(o, v == Py_True ? 0xC3 : 0xC2);
        return Status::Ok;
    }
    if (t == &PyFloat_Type) {
        write_f64(o, PyFloat_AS_DOUBLE(v));
        return Status::Ok;
    }
    if (t == &PyLong_Type) return put_int(o, v, L_.max_str_bytes);
    if (t == &PyUnicode_Type) return put_str_value(v);
    if (t == &PyBytes_Type || t == &PyByteArray_Type) {
        bool is_bytes = t == &PyBytes_Type;
        const char* data = is_bytes ? PyBytes_AS_STRING(v) : PyByteArray_AS_STRING(v);
        auto n = static_cast<size_t>(is_bytes ? PyBytes_GET_SIZE(v) : PyByteArray_GET_SIZE(v));
        if (n <= static_cast<size_t>(L_.max_str_bytes)) {
            write_bin(o, {data, n});
        } else {
            put_clipped_bytes(o, data, static_cast<size_t>(L_.max_str_bytes), n);
        }
        return Status::Ok;
    }
    size_t before = o.size();
    Status status = Status::Failed;
    if (t == &PyMemoryView_Type) {
        status = put_memoryview(v);
    } else if (reinterpret_cast<PyObject*>(t) == G.ext_type) {
        // As the reference reads it: `type(v.code) is int and type(v.data)
        // is bytes and ...`, where a missing field raises (FAILED).
        Py_ssize_t size = PyTuple_GET_SIZE(v);
        if (size == 0) return Status::Failed;
        if (PyLong_CheckExact(PyTuple_GET_ITEM(v, 0))) {
            if (size == 1) return Status::Failed;
            // Anything the packer refuses is written by its repr().
            status = put_user_ext(o, v, true, L_.max_str_bytes);
        }
    } else if (reinterpret_cast<PyObject*>(t) == G.timestamp_type) {
        return put_timestamp(o, v);
    }
    if (status != Status::Failed) return status;
    o.truncate(before);
    // What is left (a mappingproxy of another mapping, an ExtType msgpack
    // refuses) has a repr that may run the program's code.
    if (L_.use_repr || t == &PyMemoryView_Type) return put_repr(v);
    const TypeInfo* info = type_info(t);
    if (info == nullptr) return Status::Escape;
    write_ext(o, EXT_OPAQUE, info->name_msg.view());
    return Status::Ok;
}

// A function's, class's or module's name, written as NAMED [kind, name].
Status FullEncoder::put_named(PyObject* v, Kind kind) {
    const char* label = "function";
    Ref name;
    auto joined = [](PyObject* module, PyObject* qualname) -> Ref {
        if (qualname == nullptr || !PyUnicode_Check(qualname)) return Ref();
        if (module != nullptr && PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "builtins") != 0) {
            return Ref::steal(PyUnicode_FromFormat("%U.%U", module, qualname));
        }
        return Ref::borrow(qualname);
    };
    switch (kind) {
        case Kind::Function: {
            auto* f = reinterpret_cast<PyFunctionObject*>(v);
            name = joined(f->func_module, f->func_qualname);
            break;
        }
        case Kind::Class: {
            label = "class";
            const TypeInfo* info = type_info(reinterpret_cast<PyTypeObject*>(v));
            if (info == nullptr) return Status::Escape;
            name = info->name.copy();
            break;
        }
        case Kind::Module:
            label = "module";
            name = Ref::steal(PyModule_GetNameObject(v));
            break;
        case Kind::Method: {
            label = "method";
            PyObject* function = PyMethod_GET_FUNCTION(v);
            if (PyFunction_Check(function)) {
                auto* f = reinterpret_cast<PyFunctionObject*>(function);
                name = joined(f->func_module, f->func_qualname);
            }
            break;
        }
        default: {
            label = "builtin";
            auto* f = reinterpret_cast<PyCFunctionObject*>(v);
            Ref method = Ref::steal(PyUnicode_FromString(f->m_ml->ml_name));
            if (!method) return failed_call();
            PyObject* self = f->m_self;
            if (self == nullptr || PyModule_Check(self)) {
                name = joined(f->m_module, method.get());
            } else {
                const TypeInfo* info = type_info(Py_TYPE(self));
                if (info == nullptr) return Status::Escape;
                name = Ref::steal(PyUnicode_FromFormat("%U.%U", info->name.get(), method.get()));
            }
            break;
        }
    }
    if (!name) {
        if (PyErr_Occurred() && must_escape()) return Status::Escape;
        name = Ref::steal(PyUnicode_FromString("?"));
        if (!name) return failed_call();
    }
    Buffer& o = s_.out;
    size_t start = o.size();
    o.push_back('\x92');
    write_str_header(o, std::strlen(label));
    o.append(label, std::strlen(label));
    put_str(o, name.get(), std::min<Py_ssize_t>(PyUnicode_GET_LENGTH(name.get()), MAX_NAME_CHARS));
    wrap_ext(o, start, EXT_NAMED);
    return Status::Ok;
}

// An enum member as ENUM [type_name, member_name]; Failed when it has no
// name of its own (a combination of flags), to be written as an object.
Status FullEncoder::put_enum(PyObject* v, const Buffer& name_msg) {
    if (Py_TYPE(v)->tp_dictoffset == 0) return Status::Failed;
    Ref dict = Ref::steal(PyObject_GenericGetDict(v, nullptr));
    if (!dict) return failed_call();
    PyObject* member = PyDict_Check(dict.get()) ? PyDict_GetItemWithError(dict.get(), G.s_name) : nullptr;
    if (member == nullptr || !PyUnicode_CheckExact(member)) {
        if (PyErr_Occurred() && must_escape()) return Status::Escape;
        return Status::Failed;
    }
    Buffer& o = s_.out;
    size_t start = o.size();
    o.push_back('\x92');
    o.append(name_msg);
    put_str(o, member, std::min<Py_ssize_t>(PyUnicode_GET_LENGTH(member), MAX_NAME_CHARS));
    wrap_ext(o, start, EXT_ENUM);
    return Status::Ok;
}

// A subclass of int, float, str or bytes as TYPED [type_name, base value],
// the value read from the builtin's storage.
Status FullEncoder::put_scalar(PyObject* v, const Buffer& name_msg) {
    Buffer& o = s_.out;
    size_t start = o.size();
    o.push_back('\x92');
    o.append(name_msg);
    Status status = Status::Ok;
    if (PyLong_Check(v)) {
        Ref exact = Ref::steal(_PyLong_Copy(reinterpret_cast<PyLongObject*>(v)));
        if (!exact) return failed_call();
        status = put_int(o, exact.get(), L_.max_str_bytes);
    } else if (PyFloat_Check(v)) {
        write_f64(o, PyFloat_AS_DOUBLE(v));
    } else if (PyUnicode_Check(v)) {
        status = put_str_value(v);
    } else {
        auto n = static_cast<size_t>(PyBytes_GET_SIZE(v));
        if (n <= static_cast<size_t>(L_.max_str_bytes)) {
            write_bin(o, {PyBytes_AS_STRING(v), n});
        } else {
            put_clipped_bytes(o, PyBytes_AS_STRING(v), static_cast<size_t>(L_.max_str_bytes), n);
        }
    }
    if (status != Status::Ok) return status;
    wrap_ext(o, start, EXT_TYPED);
    return Status::Ok;
}

// Writes one value, or opens a frame for a container or object to be walked.
Status FullEncoder::visit(PyObject* v, int64_t depth, int64_t objects) {
    Buffer& out = s_.out;
    reserved_ -= DROP_LEN;
    int64_t avail = L_.max_total_bytes - static_cast<int64_t>(out.size()) - reserved_;
    size_t before = out.size();
    PyTypeObject* t = Py_TYPE(v);
    Status status = Status::Ok;
    // The common leaves first, written in place.
    if (v == Py_None) {
        out.push_back('\xc0');
    } else if (t == &PyLong_Type) {
        if (!put_small_int(out, v)) status = put_leaf(v);
    } else if (t == &PyUnicode_Type) {
        status = put_str_value(v);
    } else if (t == &PyBool_Type) {
        out.push_back(v == Py_True ? '\xc3' : '\xc2');
    } else if (t == &PyFloat_Type) {
        write_f64(out, PyFloat_AS_DOUBLE(v));
    } else {
        if (s_.frames.size() <= s_.open) s_.frames.emplace_back();
        Snapshot& snap = s_.frames[s_.open].snap;
        Kind kind = Kind::Other;
        bool wrapped = false;
        const TypeInfo* info = nullptr;
        if (t != &PyList_Type && t != &PyDict_Type) {
            info = type_info(t);
            if (info == nullptr) return Status::Escape;
            kind = info->kind;
            wrapped = info->wrapped;
        }
        Status found = Status::Failed;
        bool too_deep = false;
        if (kind == Kind::SafeRepr && !safe_repr_value(v)) kind = Kind::Object;
        if (kind == Kind::Enum) {
            status = put_enum(v, info->name_msg);
            if (status == Status::Failed) {
                kind = Kind::Object;
                status = Status::Ok;
            }
        }
        switch (kind) {
            case Kind::Other:
                found = take_snapshot(v, shape_of(t), static_cast<Py_ssize_t>(L_.max_items), snap);
                break;
            case Kind::Object:
                if (L_.use_repr) {
                    status = put_repr(v);
                } else if (objects >= L_.object_depth) {
                    // Written as too deep, with its number of attributes.
                    found = snapshot_object(v, info->slots, 0, snap);
                    too_deep = true;
                } else {
                    found = snapshot_object(v, info->slots, static_cast<Py_ssize_t>(L_.max_items), snap);
                    wrapped = true;
                }
                break;
            case Kind::Scalar:
                status = put_scalar(v, info->name_msg);
                break;
            case Kind::SafeRepr:
                status = put_repr(v);
                break;
            case Kind::Enum:
                break;
            default:
                status = put_named(v, kind);
                break;
        }
        if (found == Status::Escape) return found;
        if (kind == Kind::Other && found == Status::Failed) {
            status = put_leaf(v);
        } else if (found == Status::Ok) {
            bool is_object = kind == Kind::Object;
            if (in_active(v)) {
                const TypeInfo* named = type_info(t);
                if (named == nullptr) return Status::Escape;
                write_ext(out, EXT_RECURSION, named->name_msg.view());
            } else if (depth >= L_.max_depth || too_deep) {
                const TypeInfo* named = type_info(t);
                if (named == nullptr) return Status::Escape;
                Buffer payload;
                payload.push_back('\x92');
                payload.append(named->name_msg);
                write_uint(payload, static_cast<uint64_t>(snap.length));
                write_ext(out, EXT_TOO_DEEP, payload.view());
            } else {
                const TypeInfo* named = wrapped ? type_info(t) : nullptr;
                if (wrapped && named == nullptr) return Status::Escape;
                return expand(v, depth, objects + (is_object ? 1 : 0), avail,
                              wrapped ? (is_object ? EXT_OBJECT : EXT_TYPED) : 0,
                              named != nullptr ? &named->name_msg : nullptr);
            }
        }
        snap.clear();
    }
    if (status == Status::Escape) return status;
    if (status == Status::Failed) {
        out.truncate(before);
        write_ext_header(out, EXT_FAILED, 0);
    }
    if (static_cast<int64_t>(out.size() - before) > avail) {
        out.truncate(before);
        write_ext_header(out, EXT_DROPPED, 0);
    }
    return Status::Ok;
}

// Writes a container's header and opens its frame (snapshot taken in
// frames[open]); fewer items when the rest of the output would not fit. A
// wrapped container or object writes [type_name, ...] as the payload of the
// extension `wrap_code`, whose header the frame puts in front when it closes.
Status FullEncoder::expand(PyObject* v, int64_t depth, int64_t objects, int64_t avail, uint8_t wrap_code,
                           const Buffer* name_msg) {
    Buffer& out = s_.out;
    Frame& frame = s_.frames[s_.open];
    Snapshot& snap = frame.snap;
    int64_t n = snap.length;
    int64_t per_item = snap.map ? 2 * DROP_LEN : DROP_LEN;
    int64_t k = std::min(n, L_.max_items);
    Buffer& marker = frame.marker;
    auto make_marker = [&]() {
        marker.clear();
        Buffer count;
        write_uint(count, static_cast<uint64_t>(n - k));
        write_ext(marker, EXT_OMITTED, count.view());
        if (snap.map) put_u8(marker, 0xC0);
    };
    marker.clear();
    if (k < n) make_marker();
    int64_t wrap_len = wrap_code != 0 ? EXT_HEADER_MAX + 1 + static_cast<int64_t>(name_msg->size()) : 0;
    int64_t header_len = 5 + wrap_len;
    if (header_len + static_cast<int64_t>(marker.size()) + k * per_item > avail) {
        int64_t room = avail - header_len - 16;
        if (room < 0) {
            snap.clear();
            write_ext_header(out, EXT_DROPPED, 0);
            return Status::Ok;
        }
        k = room / per_item;
        make_marker();
    }
    frame.wrap_code = wrap_code;
    frame.wrap_start = out.size();
    if (wrap_code != 0) {
        out.push_back('\x92');
        out.append(*name_msg);
        reserved_ += EXT_HEADER_MAX;
    }
    size_t entries = static_cast<size_t>(k) + (marker.empty() ? 0 : 1);
    if (snap.map) {
        write_map_header(out, entries);
    } else {
        write_array_header(out, entries);
    }
    if (snap.pairs) {
        // Unpacked last to first, as the reference pushes them.
        std::vector<Ref> flat(static_cast<size_t>(2 * k));
        for (int64_t i = k - 1; i >= 0; --i) {
            Status unpacked = unpack_pair(snap.items[static_cast<size_t>(i)].get(), flat[static_cast<size_t>(2 * i)],
                                          flat[static_cast<size_t>(2 * i + 1)]);
            if (unpacked != Status::Ok) return unpacked;
        }
        snap.items = std::move(flat);
    } else {
        snap.items.resize(static_cast<size_t>(snap.map ? 2 * k : k));
    }
    reserved_ += static_cast<int64_t>(marker.size()) + k * per_item;
    if (k == 0) {
        // No items: only the marker, at once.
        reserved_ -= static_cast<int64_t>(marker.size());
        out.append(marker);
        close_wrap(frame);
        snap.clear();
        return Status::Ok;
    }
    frame.container = Ref::borrow(v);
    frame.next = 0;
    frame.child_depth = depth + 1;
    frame.child_objects = objects;
    ++s_.open;
    return Status::Ok;
}

void FullEncoder::close_wrap(Frame& frame) {
    if (frame.wrap_code == 0) return;
    reserved_ -= EXT_HEADER_MAX;
    wrap_ext(s_.out, frame.wrap_start, frame.wrap_code);
    frame.wrap_code = 0;
}

Status FullEncoder::run(PyObject* value) {
    s_.out.clear();
    reserved_ = DROP_LEN;
    Status status = visit(value, 0, 0);
    while (status == Status::Ok && s_.open > 0) {
        Frame& frame = s_.frames[s_.open - 1];
        if (frame.next < frame.snap.items.size()) {
            // The frame's snapshot keeps the item alive while it is written.
            PyObject* item = frame.snap.items[frame.next++].get();
            status = visit(item, frame.child_depth, frame.child_objects);
            continue;
        }
        reserved_ -= static_cast<int64_t>(frame.marker.size());
        s_.out.append(frame.marker);
        close_wrap(frame);
        frame.container.reset();
        frame.snap.clear();
        --s_.open;
    }
    return status;
}

}  // namespace ruvo::ser
