// The lightweight encoder (dump_msgpack_lightweight_repr): one level of
// containers, objects by type name; never runs repr().
#include "value_parts.hpp"

namespace ruvo::ser {

// What msgpack's packer, with the lightweight default hook, writes for a
// member of a small container: Failed when it would raise.
Status LightEncoder::pack_member(PyObject* x) {
    PyTypeObject* t = Py_TYPE(x);
    Buffer& o = s_.out;
    if (x == Py_None) {
        put_u8(o, 0xC0);
    } else if (t == &PyBool_Type) {
        put_u8(o, x == Py_True ? 0xC3 : 0xC2);
    } else if (t == &PyLong_Type) {
        return put_int(o, x, L_.max_str_bytes);
    } else if (t == &PyFloat_Type) {
        write_f64(o, PyFloat_AS_DOUBLE(x));
    } else if (t == &PyBytes_Type) {
        write_bin(o, {PyBytes_AS_STRING(x), static_cast<size_t>(PyBytes_GET_SIZE(x))});
    } else if (t == &PyUnicode_Type) {
        if (Text(x).has_surrogate(PyUnicode_GET_LENGTH(x))) return Status::Failed;
        put_str(o, x);
    } else if (reinterpret_cast<PyObject*>(t) == G.ext_type) {
        return put_user_ext(o, x, false, 0);
    } else if (reinterpret_cast<PyObject*>(t) == G.timestamp_type) {
        return put_timestamp(o, x);
    } else {
        return put_opaque(x);
    }
    return Status::Ok;
}

Status LightEncoder::pack_direct(PyObject* value, PyTypeObject* t) {
    Buffer& o = s_.out;
    if (t == &PyDict_Type) {
        write_map_header(o, static_cast<size_t>(PyDict_GET_SIZE(value)));
        Py_ssize_t pos = 0;
        PyObject *key, *val;
        while (PyDict_Next(value, &pos, &key, &val)) {
            // Members are plain values: no Python code runs here.
            Status status = pack_member(key);
            if (status == Status::Ok) status = pack_member(val);
            if (status != Status::Ok) return status;
        }
        return Status::Ok;
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
    PyObject** items = PySequence_Fast_ITEMS(value);
    write_array_header(o, static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Status status = pack_member(items[i]);
        if (status != Status::Ok) return status;
    }
    return Status::Ok;
}

// A scalar, short text or a marker.
Status LightEncoder::put_value(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    Buffer& o = s_.out;
    auto limit = static_cast<Py_ssize_t>(L_.light_max_str);
    if (is_light_scalar(t)) return pack_member(v);
    if (t == &PyUnicode_Type) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(v);
        if (n <= limit) {
            put_str(o, v);
            return Status::Ok;
        }
        Buffer payload;
        payload.push_back('\x92');
        put_str(payload, v, limit);
        write_uint(payload, static_cast<uint64_t>(n));
        write_ext(o, EXT_CLIPPED, payload.view());
        return Status::Ok;
    }
    if (t == &PyBytes_Type) {
        auto n = static_cast<size_t>(PyBytes_GET_SIZE(v));
        if (n <= static_cast<size_t>(limit)) {
            write_bin(o, {PyBytes_AS_STRING(v), n});
        } else {
            put_clipped_bytes(o, PyBytes_AS_STRING(v), static_cast<size_t>(limit), n);
        }
        return Status::Ok;
    }
    return put_opaque(v);
}

// A second-level value: a small dict, list or tuple of plain values as it is.
Status LightEncoder::put_nested(PyObject* x) {
    PyTypeObject* t = Py_TYPE(x);
    Buffer& o = s_.out;
    if (t == &PyDict_Type && PyDict_GET_SIZE(x) <= LIGHT_NESTED_ITEMS) {
        Py_ssize_t pos = 0;
        PyObject *key, *val;
        bool all_plain = true;
        while (all_plain && PyDict_Next(x, &pos, &key, &val)) all_plain = plain(key) && plain(val);
        if (all_plain) {
            write_map_header(o, static_cast<size_t>(PyDict_GET_SIZE(x)));
            pos = 0;
            while (PyDict_Next(x, &pos, &key, &val)) {
                for (PyObject* member : {key, val}) {
                    Status status = put_plain(member);
                    if (status != Status::Ok) return status;
                }
            }
            return Status::Ok;
        }
    } else if ((t == &PyList_Type || t == &PyTuple_Type) && PySequence_Fast_GET_SIZE(x) <= LIGHT_NESTED_ITEMS) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(x);
        PyObject** items = PySequence_Fast_ITEMS(x);
        bool all_plain = true;
        for (Py_ssize_t i = 0; i < n && all_plain; ++i) all_plain = plain(items[i]);
        if (all_plain) {
            write_array_header(o, static_cast<size_t>(n));
            for (Py_ssize_t i = 0; i < n; ++i) {
                Status status = put_plain(items[i]);
                if (status != Status::Ok) return status;
            }
            return Status::Ok;
        }
    }
    return put_value(x);
}

Status LightEncoder::put_item(PyObject* x) {
    PyTypeObject* t = Py_TYPE(x);
    if (is_light_scalar(t)) return pack_member(x);
    if (short_text(x)) {
        if (t == &PyUnicode_Type) {
            put_str(s_.out, x);
        } else {
            write_bin(s_.out, {PyBytes_AS_STRING(x), static_cast<size_t>(PyBytes_GET_SIZE(x))});
        }
        return Status::Ok;
    }
    return put_nested(x);
}

namespace {

bool expanded_type(PyObject* x) {
    PyTypeObject* t = Py_TYPE(x);
    return t == &PyList_Type || t == &PyDict_Type || t == &PyByteArray_Type || t == &PyMemoryView_Type;
}

}  // namespace

Status LightEncoder::run(PyObject* value) {
    Buffer& o = s_.out;
    o.clear();
    PyTypeObject* t = Py_TYPE(value);
    if (is_light_scalar(t)) return pack_member(value);

    // The common case: a small dict, list or tuple of scalars, short text
    // and objects, written the way the packer writes it in one call.
    bool direct = false;
    if (t == &PyDict_Type) {
        direct = PyDict_GET_SIZE(value) <= L_.light_max_items;
        Py_ssize_t pos = 0;
        PyObject *key, *val;
        while (direct && PyDict_Next(value, &pos, &key, &val)) direct = !expanded_type(key) && !expanded_type(val);
    } else if (t == &PyList_Type || t == &PyTuple_Type) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
        direct = n <= L_.light_max_items;
        PyObject** items = PySequence_Fast_ITEMS(value);
        for (Py_ssize_t i = 0; i < n && direct; ++i) direct = !expanded_type(items[i]);
    }
    if (direct) {
        Status status = pack_direct(value, t);
        if (status == Status::Escape) return status;
        // Output this short cannot hold a str or bytes past the limit.
        if (status == Status::Ok && o.size() <= static_cast<size_t>(L_.light_max_str)) return status;
        o.clear();
    }

    Snapshot& snap = s_.snap;
    Status found = Status::Failed;
    if (t != &PyUnicode_Type && t != &PyBytes_Type) {
        found = take_snapshot(value, shape_of(t), static_cast<Py_ssize_t>(L_.light_max_items), snap);
        if (found == Status::Escape) return found;
    }
    if (found == Status::Failed) return put_value(value);

    Py_ssize_t n = snap.length;
    Py_ssize_t k = std::min(n, static_cast<Py_ssize_t>(L_.light_max_items));
    Buffer count;
    if (k < n) write_uint(count, static_cast<uint64_t>(n - k));
    size_t entries = static_cast<size_t>(k) + (k < n ? 1 : 0);
    Status status = Status::Ok;
    if (!snap.map) {
        write_array_header(o, entries);
        for (Py_ssize_t i = 0; i < k && status == Status::Ok; ++i) {
            status = put_item(snap.items[static_cast<size_t>(i)].get());
        }
        if (status == Status::Ok && k < n) write_ext(o, EXT_OMITTED, count.view());
    } else {
        // Items are all unpacked before any is written.
        std::vector<Ref> pairs;
        if (snap.pairs) {
            for (Py_ssize_t i = 0; i < k; ++i) {
                Ref key, val;
                Status unpacked = unpack_pair(snap.items[static_cast<size_t>(i)].get(), key, val);
                if (unpacked != Status::Ok) return unpacked;
                pairs.push_back(std::move(key));
                pairs.push_back(std::move(val));
            }
        } else {
            pairs = std::move(snap.items);
        }
        write_map_header(o, entries);
        for (Py_ssize_t i = 0; i < k && status == Status::Ok; ++i) {
            PyObject* key = pairs[static_cast<size_t>(2 * i)].get();
            if (PyUnicode_CheckExact(key) && PyUnicode_GET_LENGTH(key) <= L_.light_max_str) {
                put_str(o, key);
            } else {
                status = put_value(key);
            }
            if (status == Status::Ok) status = put_item(pairs[static_cast<size_t>(2 * i + 1)].get());
        }
        if (status == Status::Ok && k < n) {
            write_ext(o, EXT_OMITTED, count.view());
            put_u8(o, 0xC0);
        }
    }
    if (status == Status::Ok && nested_surrogate_) status = Status::Failed;
    return status;
}

}  // namespace ruvo::ser
