// Scalars the encoders write alike: big ints, timestamps, user extensions
// and clipped bytes.
#include "value_parts.hpp"

namespace ruvo::ser {

// An int outside 64 bits: BIGINT text, or a REPR when it is too big to write.
Status put_bigint(Buffer& o, PyObject* v, int64_t max_str_bytes) {
    Ref bits_obj = Ref::steal(PyObject_CallMethodNoArgs(v, G.s_bit_length));
    if (!bits_obj) return failed_call();
    long long bits = PyLong_AsLongLong(bits_obj.get());
    if (bits == -1 && PyErr_Occurred()) return failed_call();
    Buffer payload;
    if (bits > 4 * max_str_bytes) {
        Ref text = Ref::steal(PyUnicode_FromFormat("<int of %lld bits>", bits));
        if (!text) return failed_call();
        payload.append("\x92\xa3int");
        put_str(payload, text.get());
        write_ext(o, EXT_REPR, payload.view());
        return Status::Ok;
    }
    Ref digits;
    if (bits <= DECIMAL_BITS) {
        digits = Ref::steal(PyObject_Str(v));
        if (!digits) {
            // The process lowered the digit limit: hex has none.
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) return failed_call();
            PyErr_Clear();
        }
    }
    if (!digits) {
        digits = Ref::steal(PyNumber_ToBase(v, 16));
        if (!digits) return failed_call();
    }
    write_ext_header(o, EXT_BIGINT, static_cast<size_t>(PyUnicode_GET_LENGTH(digits.get())));
    o.append(static_cast<const char*>(PyUnicode_DATA(digits.get())),
             static_cast<size_t>(PyUnicode_GET_LENGTH(digits.get())));
    return Status::Ok;
}


// msgpack.Timestamp, as msgpack's packer writes it.
Status put_timestamp(Buffer& o, PyObject* v) {
    Ref seconds_obj = Ref::steal(PyObject_GetAttr(v, G.s_seconds));
    if (!seconds_obj) return failed_call();
    long long seconds = PyLong_AsLongLong(seconds_obj.get());
    if (seconds == -1 && PyErr_Occurred()) return failed_call();
    Ref nanos_obj = Ref::steal(PyObject_GetAttr(v, G.s_nanoseconds));
    if (!nanos_obj) return failed_call();
    unsigned long nanos_long = PyLong_AsUnsignedLong(nanos_obj.get());
    if (nanos_long == static_cast<unsigned long>(-1) && PyErr_Occurred()) return failed_call();
    auto nanos = static_cast<uint32_t>(nanos_long);
    if ((static_cast<uint64_t>(seconds) >> 34) == 0) {
        auto data64 = (static_cast<uint64_t>(nanos) << 34) | static_cast<uint64_t>(seconds);
        if ((data64 & 0xffffffff00000000ULL) == 0) {
            write_ext_header(o, 0xFF, 4);
            put_be(o, data64, 4);
        } else {
            write_ext_header(o, 0xFF, 8);
            put_be(o, data64, 8);
        }
    } else {
        write_ext_header(o, 0xFF, 12);
        put_be(o, nanos, 4);
        put_be(o, static_cast<uint64_t>(seconds), 8);
    }
    return Status::Ok;
}

// A user ExtType as msgpack's packer writes it: Failed when the packer
// would refuse it. `exact` asks for what the reference encoder checks first.
Status put_user_ext(Buffer& o, PyObject* v, bool exact, int64_t max_len) {
    if (PyTuple_GET_SIZE(v) < 2) return Status::Failed;
    PyObject* code = PyTuple_GET_ITEM(v, 0);
    PyObject* data = PyTuple_GET_ITEM(v, 1);
    if (exact && (!PyLong_CheckExact(code) || !PyBytes_CheckExact(data) || PyBytes_GET_SIZE(data) > max_len)) {
        return Status::Failed;
    }
    if (!PyLong_Check(code)) return Status::Failed;
    long long c = PyLong_AsLongLong(code);
    if (c == -1 && PyErr_Occurred()) return failed_call();
    const char* bytes;
    Py_ssize_t n;
    if (PyBytes_Check(data)) {
        bytes = PyBytes_AS_STRING(data);
        n = PyBytes_GET_SIZE(data);
    } else if (PyByteArray_Check(data)) {
        bytes = PyByteArray_AS_STRING(data);
        n = PyByteArray_GET_SIZE(data);
    } else {
        return Status::Failed;
    }
    write_ext_header(o, static_cast<uint8_t>(c), static_cast<size_t>(n));
    o.append(bytes, static_cast<size_t>(n));
    return Status::Ok;
}

void put_clipped_bytes(Buffer& o, const char* data, size_t keep, uint64_t length) {
    Buffer payload;
    payload.push_back('\x92');
    write_bin(payload, {data, keep});
    write_uint(payload, length);
    write_ext(o, EXT_CLIPPED, payload.view());
}

}  // namespace ruvo::ser
