// The value encoder's parts, shared by its files: the output's primitives,
// how a type is written, container snapshots, the scratch buffers, and the
// two encoders. Internal to ruvo._serialize.
#pragma once

#include "value_encoder.hpp"

#include <algorithm>
#include <memory>
#include <vector>

#include "msgpack.hpp"
#include "refs.hpp"

namespace ruvo::ser {

using namespace wire;

// Size of a DROPPED (or FAILED) marker: c7 00 code.
constexpr int64_t DROP_LEN = 3;
constexpr Py_ssize_t MAX_NAME_CHARS = 200;
// Bits of an int that still fit Python's default int-to-decimal digit limit.
constexpr int64_t DECIMAL_BITS = 14000;
// Second-level containers the lightweight variant keeps whole.
constexpr Py_ssize_t LIGHT_NESTED_ITEMS = 8;

// Borrowed for the life of the process: the module holds them.
struct Globals {
    PyObject* ext_type = nullptr;
    PyObject* timestamp_type = nullptr;
    PyObject* qualname_descr = nullptr;
    PyObject* module_descr = nullptr;
    PyTypeObject* frame_locals_type = nullptr;
    PyTypeObject* enum_type = nullptr;  // enum.EnumType, the metaclass of enums
    PyObject* s_items = nullptr;
    PyObject* s_bit_length = nullptr;
    PyObject* s_c_contiguous = nullptr;
    PyObject* s_cast = nullptr;
    PyObject* s_B = nullptr;
    PyObject* s_seconds = nullptr;
    PyObject* s_nanoseconds = nullptr;
    PyObject* s_module = nullptr;
    PyObject* s_args = nullptr;
    PyObject* s_name = nullptr;  // "_name_", an enum member's name
};
extern Globals G;

// ---------------------------------------------------------------- writing

inline void put_u8(Buffer& o, unsigned v) { o.push_back(static_cast<char>(v & 0xFF)); }

inline void put_be(Buffer& o, uint64_t v, int nbytes) {
    for (int i = nbytes - 1; i >= 0; --i) put_u8(o, static_cast<unsigned>(v >> (8 * i)));
}

// Makes the bytes from `start` on the payload of an extension: its header is
// put in front once the payload's size is known.
inline void wrap_ext(Buffer& o, size_t start, unsigned code) {
    Buffer header;
    write_ext_header(header, static_cast<uint8_t>(code), o.size() - start);
    o.insert(start, header.data(), header.size());
}

// The most an extension header takes.
constexpr int64_t EXT_HEADER_MAX = 6;

// ---------------------------------------------------------------- text

// A str as UTF-8 with lone surrogates written as their backslash escapes,
// like str.encode("utf-8", "backslashreplace").
struct Text {
    int kind;
    const void* data;
    Py_ssize_t length;

    explicit Text(PyObject* s)
        : kind(PyUnicode_KIND(s)), data(PyUnicode_DATA(s)), length(PyUnicode_GET_LENGTH(s)) {}

    Py_UCS4 at(Py_ssize_t i) const { return PyUnicode_READ(kind, data, i); }

    static size_t width(Py_UCS4 c) {
        if (c < 0x80) return 1;
        if (c < 0x800) return 2;
        if (c >= 0xD800 && c <= 0xDFFF) return 6;
        return c < 0x10000 ? 3 : 4;
    }

    // Encoded size of the first `end` characters.
    size_t size(Py_ssize_t end) const {
        if (kind == PyUnicode_1BYTE_KIND) {
            const auto* p = static_cast<const Py_UCS1*>(data);
            size_t n = static_cast<size_t>(end);
            for (Py_ssize_t i = 0; i < end; ++i) n += p[i] >> 7;
            return n;
        }
        size_t n = 0;
        for (Py_ssize_t i = 0; i < end; ++i) n += width(at(i));
        return n;
    }

    static void put_char(Buffer& o, Py_UCS4 c) {
        if (c < 0x80) {
            put_u8(o, c);
        } else if (c < 0x800) {
            put_u8(o, 0xC0 | (c >> 6));
            put_u8(o, 0x80 | (c & 0x3F));
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            static const char hex[] = "0123456789abcdef";
            char esc[6] = {'\\', 'u', hex[(c >> 12) & 0xF], hex[(c >> 8) & 0xF], hex[(c >> 4) & 0xF], hex[c & 0xF]};
            o.append(esc, 6);
        } else if (c < 0x10000) {
            put_u8(o, 0xE0 | (c >> 12));
            put_u8(o, 0x80 | ((c >> 6) & 0x3F));
            put_u8(o, 0x80 | (c & 0x3F));
        } else {
            put_u8(o, 0xF0 | (c >> 18));
            put_u8(o, 0x80 | ((c >> 12) & 0x3F));
            put_u8(o, 0x80 | ((c >> 6) & 0x3F));
            put_u8(o, 0x80 | (c & 0x3F));
        }
    }

    // Appends the first `end` characters.
    void put(Buffer& o, Py_ssize_t end) const {
        if (kind == PyUnicode_1BYTE_KIND) {
            const auto* p = static_cast<const Py_UCS1*>(data);
            Py_ssize_t i = 0;
            while (i < end) {
                Py_ssize_t run = i;
                while (run < end && p[run] < 0x80) ++run;
                o.append(reinterpret_cast<const char*>(p + i), static_cast<size_t>(run - i));
                if (run < end) put_char(o, p[run++]);
                i = run;
            }
            return;
        }
        for (Py_ssize_t i = 0; i < end; ++i) put_char(o, at(i));
    }

    // Appends at most `cap` bytes of the encoding: a multi-byte character
    // that does not fit is left out whole, an escape is cut where it ends.
    void put_capped(Buffer& o, size_t cap) const {
        size_t used = 0;
        for (Py_ssize_t i = 0; i < length; ++i) {
            Py_UCS4 c = at(i);
            size_t w = width(c);
            if (used + w > cap) {
                if (w == 6) {
                    Buffer esc;
                    put_char(esc, c);
                    o.append(esc.data(), cap - used);
                }
                return;
            }
            put_char(o, c);
            used += w;
        }
    }

    bool has_surrogate(Py_ssize_t end) const {
        if (kind == PyUnicode_1BYTE_KIND) return false;
        for (Py_ssize_t i = 0; i < end; ++i) {
            Py_UCS4 c = at(i);
            if (c >= 0xD800 && c <= 0xDFFF) return true;
        }
        return false;
    }
};

// One MessagePack str of the first `end` characters of `s`.
inline void put_str(Buffer& o, PyObject* s, Py_ssize_t end) {
    if (PyUnicode_IS_ASCII(s)) {
        write_str_header(o, static_cast<size_t>(end));
        o.append(static_cast<const char*>(PyUnicode_DATA(s)), static_cast<size_t>(end));
        return;
    }
    Text t(s);
    write_str_header(o, t.size(end));
    t.put(o, end);
}

inline void put_str(Buffer& o, PyObject* s) { put_str(o, s, PyUnicode_GET_LENGTH(s)); }

// ---------------------------------------------------------------- errors

// After a failed call: true when the pending exception must escape (the
// caller returns at once), false when it was cleared.
inline bool must_escape() {
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) return true;
    PyErr_Clear();
    return false;
}

enum class Status { Ok, Failed, Escape };

inline Status failed_call() { return must_escape() ? Status::Escape : Status::Failed; }

// ---------------------------------------------------------------- types

// How the full encoder writes an instance of a type, decided once per type
// from its slots and its place in the type hierarchy, never from a method.
enum class Kind : uint8_t {
    Other,     // containers and natively encoded leaves: decided by shape
    Scalar,    // a subclass of int, float, str or bytes: TYPED, its base value
    Enum,      // an enum member: ENUM, by name
    Function,  // functions, classes, modules and methods: NAMED
    Class,
    Module,
    Method,
    Builtin,
    SafeRepr,  // a stdlib leaf whose C repr reads nothing of the program's
    Object,    // everything else: OBJECT, its attributes
};

// A __slots__ member of a class: its name and where instances hold it.
struct SlotMember {
    Ref name;
    Py_ssize_t offset;
};

struct TypeInfo {
    // A weak reference: the cache must not keep the program's classes alive
    // (a class replaced by a decorator, say, is meant to go). A dead one, or
    // another type at the same address, makes the entry stale.
    Ref type;
    Ref name;  // str, at most MAX_NAME_CHARS characters
    Buffer name_msg;
    Kind kind = Kind::Other;
    bool wrapped = false;  // a container written as TYPED with its type name
    std::vector<SlotMember> slots;
};

// The cached entry for `t`; nullptr with MemoryError pending. The entry may
// go when Python code runs: copy what is needed first.
const TypeInfo* type_info(PyTypeObject* t);

// Whether a plain instance's repr is object.__repr__'s text, written into
// `out` without calling it (see value_types.cpp).
bool default_repr_text(PyObject* v, char* out, size_t capacity, size_t max_chars, size_t* length);

// A datetime or time whose tzinfo is not the stdlib's own would call the
// program's tzinfo.__repr__: such values are written as objects.
bool safe_repr_value(PyObject* v);

// Imports datetime's C API for the checks above; false with an exception set.
bool import_datetime();

// ---------------------------------------------------------------- shapes

enum class Shape { Leaf, List, Tuple, Dict, DictSub, Set, Mapping };

inline Shape shape_of(PyTypeObject* t) {
    if (t == &PyList_Type) return Shape::List;
    if (t == &PyTuple_Type) return Shape::Tuple;
    if (t == &PyDict_Type) return Shape::Dict;
    if (t == &PySet_Type || t == &PyFrozenSet_Type) return Shape::Set;
    if (t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
        t == &PyBytes_Type || t == Py_TYPE(Py_None)) {
        return Shape::Leaf;
    }
    if (PyType_IsSubtype(t, reinterpret_cast<PyTypeObject*>(G.ext_type))) return Shape::Leaf;
    if (PyType_IsSubtype(t, &PyDict_Type)) return Shape::DictSub;
    if (PyType_IsSubtype(t, &PyList_Type)) return Shape::List;
    if (PyType_IsSubtype(t, &PyTuple_Type)) return Shape::Tuple;
    if (PyType_IsSubtype(t, &PySet_Type) || PyType_IsSubtype(t, &PyFrozenSet_Type)) return Shape::Set;
    if (t == &PyDictProxy_Type || (G.frame_locals_type != nullptr && t == G.frame_locals_type)) {
        return Shape::Mapping;
    }
    return Shape::Leaf;
}

inline bool is_light_scalar(PyTypeObject* t) {
    return t == Py_TYPE(Py_None) || t == &PyBool_Type || t == &PyLong_Type || t == &PyFloat_Type;
}

// A container's items, read from the base type's storage so that no
// overridden method runs and later mutation does not affect the walk.
// Maps hold key, value, key, value...; `pairs` holds the item objects of a
// mapping read through its items(), unpacked only when walked.
struct Snapshot {
    bool map = false;
    bool pairs = false;
    Py_ssize_t length = 0;  // items (or key/value pairs) in the container
    std::vector<Ref> items;

    void clear() {
        map = pairs = false;
        length = 0;
        items.clear();
    }
};

// Fills `snap` for a container (only its first `keep` items), or returns
// Failed when `v` is to be written as a leaf.
Status take_snapshot(PyObject* v, Shape shape, Py_ssize_t keep, Snapshot& snap);
// `key, value = item`, as Python unpacks it.
Status unpack_pair(PyObject* item, Ref& key, Ref& value);
// An object's own state as name, value pairs.
Status snapshot_object(PyObject* v, const std::vector<SlotMember>& slots, Py_ssize_t keep, Snapshot& snap);

// ---------------------------------------------------------------- scalars

// An exact int: true when written natively, false when outside 64 bits.
inline bool put_small_int(Buffer& o, PyObject* v) {
    // Most ints fit one internal digit: read it without a call.
#if PY_VERSION_HEX >= 0x030C0000
    auto* as_long = reinterpret_cast<PyLongObject*>(v);
    if (PyUnstable_Long_IsCompact(as_long)) {
        auto d = static_cast<long long>(PyUnstable_Long_CompactValue(as_long));
#else
    Py_ssize_t digits = Py_SIZE(v);
    if (digits >= -1 && digits <= 1) {
        auto d = static_cast<long long>(digits) * static_cast<long long>(reinterpret_cast<PyLongObject*>(v)->ob_digit[0]);
#endif
        if (d >= 0 && d < 0x80) {
            o.push_back(static_cast<char>(d));
        } else if (d > 0) {
            write_uint(o, static_cast<uint64_t>(d));
        } else {
            write_int(o, d);
        }
        return true;
    }
    int overflow = 0;
    long long d = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow == 0) {
        if (d > 0) {
            write_uint(o, static_cast<uint64_t>(d));
        } else {
            write_int(o, d);
        }
        return true;
    }
    if (overflow > 0) {
        unsigned long long u = PyLong_AsUnsignedLongLong(v);
        if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            write_uint(o, u);
            return true;
        }
        PyErr_Clear();
    }
    return false;
}

// An int outside 64 bits: BIGINT text, or a REPR when it is too big to write.
Status put_bigint(Buffer& o, PyObject* v, int64_t max_str_bytes);

inline Status put_int(Buffer& o, PyObject* v, int64_t max_str_bytes) {
    if (put_small_int(o, v)) return Status::Ok;
    return put_bigint(o, v, max_str_bytes);
}

// msgpack.Timestamp, as msgpack's packer writes it.
Status put_timestamp(Buffer& o, PyObject* v);
// A user ExtType as msgpack's packer writes it: Failed when the packer
// would refuse it.
Status put_user_ext(Buffer& o, PyObject* v, bool exact, int64_t max_len);
void put_clipped_bytes(Buffer& o, const char* data, size_t keep, uint64_t length);

// ---------------------------------------------------------------- scratch

// A container being walked: its snapshot (cut to the items written), the
// next item, and the OMITTED marker written after the last one.
struct Frame {
    Ref container;
    Snapshot snap;
    size_t next = 0;
    int64_t child_depth = 0;
    int64_t child_objects = 0;  // objects around the items, this one included
    Buffer marker;
    // An OBJECT or TYPED extension whose payload starts at `wrap_start`: its
    // header goes in front when the frame closes.
    size_t wrap_start = 0;
    uint8_t wrap_code = 0;
};

// Buffers kept between calls; each call (a re-entrant one too) takes its own.
struct Scratch {
    Buffer out;
    // frames[0, open) are being walked; the rest keep their capacity.
    std::vector<Frame> frames;
    size_t open = 0;
    Snapshot snap;

    // Drops every reference a call left (an interrupted walk leaves frames
    // open, and the snapshot being taken in the next one).
    void release() {
        for (size_t i = 0; i < frames.size() && i <= open; ++i) {
            frames[i].container.reset();
            frames[i].snap.clear();
        }
        open = 0;
        snap.clear();
    }
};

// ---------------------------------------------------------------- encoders

class FullEncoder {
  public:
    FullEncoder(const Limits& limits, Scratch& scratch) : L_(limits), s_(scratch) {}

    // Ok with the output in scratch.out, Failed when the whole value is to
    // be FAILED, Escape with the exception pending.
    Status run(PyObject* value);

  private:
    Status visit(PyObject* v, int64_t depth, int64_t objects);
    Status expand(PyObject* v, int64_t depth, int64_t objects, int64_t avail, uint8_t wrap_code,
                  const Buffer* name_msg);
    void close_wrap(Frame& frame);
    Status put_named(PyObject* v, Kind kind);
    Status put_enum(PyObject* v, const Buffer& name_msg);
    Status put_scalar(PyObject* v, const Buffer& name_msg);
    Status put_leaf(PyObject* v);
    Status put_repr(PyObject* v);
    Status put_str_value(PyObject* v);
    Status put_memoryview(PyObject* v);
    bool in_active(PyObject* v) const {
        for (size_t i = 0; i < s_.open; ++i) {
            if (s_.frames[i].container.get() == v) return true;
        }
        return false;
    }

    const Limits& L_;
    Scratch& s_;
    // Every pending value reserves a DROPPED marker, every pending OMITTED
    // marker its size: size + reserved never passes the total.
    int64_t reserved_ = DROP_LEN;
};

class LightEncoder {
  public:
    LightEncoder(const Limits& limits, Scratch& scratch) : L_(limits), s_(scratch) {}
    Status run(PyObject* value);

  private:
    Status pack_direct(PyObject* value, PyTypeObject* t);
    Status pack_member(PyObject* x);
    Status put_value(PyObject* v);
    Status put_item(PyObject* x);
    Status put_nested(PyObject* x);
    Status put_plain(PyObject* x) {
        if (!PyUnicode_CheckExact(x)) return pack_member(x);
        if (Text(x).has_surrogate(PyUnicode_GET_LENGTH(x))) nested_surrogate_ = true;
        put_str(s_.out, x);
        return Status::Ok;
    }
    bool plain(PyObject* x) const {
        PyTypeObject* t = Py_TYPE(x);
        return is_light_scalar(t) || (t == &PyUnicode_Type && PyUnicode_GET_LENGTH(x) <= L_.light_max_str);
    }
    bool short_text(PyObject* x) const {
        PyTypeObject* t = Py_TYPE(x);
        if (t == &PyUnicode_Type) return PyUnicode_GET_LENGTH(x) <= L_.light_max_str;
        return t == &PyBytes_Type && PyBytes_GET_SIZE(x) <= L_.light_max_str;
    }
    Status put_opaque(PyObject* x) {
        const TypeInfo* info = type_info(Py_TYPE(x));
        if (info == nullptr) return Status::Escape;
        write_ext(s_.out, EXT_OPAQUE, info->name_msg.view());
        return Status::Ok;
    }

    const Limits& L_;
    Scratch& s_;
    // A str with a lone surrogate inside a kept second-level container: the
    // reference encoder's packer refuses it, and the whole value is FAILED.
    bool nested_surrogate_ = false;
};

}  // namespace ruvo::ser
