// The encoder behind ruvo._serialize. Values are read from the interpreter's
// storage (container items, instance dicts, slots), never through methods:
// recording must not change what the program does.
#include "value_encoder.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <datetime.h>
#include <structmember.h>

#include "msgpack.hpp"
#include "refs.hpp"

namespace ruvo::ser {
namespace {

using namespace wire;

// Size of a DROPPED (or FAILED) marker: c7 00 code.
constexpr int64_t DROP_LEN = 3;
constexpr Py_ssize_t MAX_NAME_CHARS = 200;
// Bits of an int that still fit Python's default int-to-decimal digit limit.
constexpr int64_t DECIMAL_BITS = 14000;
// Second-level containers the lightweight variant keeps whole.
constexpr Py_ssize_t LIGHT_NESTED_ITEMS = 8;
constexpr size_t TYPE_CACHE_MAX = 4096;

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
Globals G;

// ---------------------------------------------------------------- writing

// The encoder writes through the one MessagePack writer (msgpack.hpp); what
// is its own is writing a payload before its extension header.

void put_u8(Buffer& o, unsigned v) { o.push_back(static_cast<char>(v & 0xFF)); }

void put_be(Buffer& o, uint64_t v, int nbytes) {
    for (int i = nbytes - 1; i >= 0; --i) put_u8(o, static_cast<unsigned>(v >> (8 * i)));
}

// Makes the bytes from `start` on the payload of an extension: its header is
// put in front once the payload's size is known.
void wrap_ext(Buffer& o, size_t start, unsigned code) {
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
void put_str(Buffer& o, PyObject* s, Py_ssize_t end) {
    if (PyUnicode_IS_ASCII(s)) {
        write_str_header(o, static_cast<size_t>(end));
        o.append(static_cast<const char*>(PyUnicode_DATA(s)), static_cast<size_t>(end));
        return;
    }
    Text t(s);
    write_str_header(o, t.size(end));
    t.put(o, end);
}

void put_str(Buffer& o, PyObject* s) { put_str(o, s, PyUnicode_GET_LENGTH(s)); }

// ---------------------------------------------------------------- errors

// After a failed call: true when the pending exception must escape (the
// caller returns at once), false when it was cleared.
bool must_escape() {
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) return true;
    PyErr_Clear();
    return false;
}

enum class Status { Ok, Failed, Escape };

Status failed_call() { return must_escape() ? Status::Escape : Status::Failed; }

// ---------------------------------------------------------------- type names

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

std::unordered_map<PyTypeObject*, TypeInfo>& type_cache() {
    static auto* cache = new std::unordered_map<PyTypeObject*, TypeInfo>();
    return *cache;
}

// A type's own slot value, not what a metaclass attribute says.
Ref slot_value(PyObject* descr, PyTypeObject* t) {
    Ref value = Ref::steal(Py_TYPE(descr)->tp_descr_get(descr, reinterpret_cast<PyObject*>(t),
                                                         reinterpret_cast<PyObject*>(&PyType_Type)));
    if (!value) PyErr_Clear();
    return value;
}

Ref make_type_name(PyTypeObject* t) {
    Ref qualname = slot_value(G.qualname_descr, t);
    if (!qualname || !PyUnicode_CheckExact(qualname.get())) {
        qualname = Ref::steal(PyUnicode_FromString("?"));
        if (!qualname) return Ref();
    }
    Ref module = slot_value(G.module_descr, t);
    Ref name;
    if (module && PyUnicode_CheckExact(module.get()) &&
        PyUnicode_CompareWithASCIIString(module.get(), "builtins") != 0) {
        name = Ref::steal(PyUnicode_FromFormat("%U.%U", module.get(), qualname.get()));
    } else {
        name = std::move(qualname);
    }
    if (name && PyUnicode_GET_LENGTH(name.get()) > MAX_NAME_CHARS) {
        name = Ref::steal(PyUnicode_Substring(name.get(), 0, MAX_NAME_CHARS));
    }
    return name;
}

// The __slots__ members instances of `t` hold, base classes first. Read from
// each class's own dict: member descriptors only, and only those made for a
// class `t` derives from (a descriptor copied from an unrelated class would
// point into another layout).
bool collect_slots(PyTypeObject* t, std::vector<SlotMember>& slots) {
    PyObject* mro = t->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return true;
    for (Py_ssize_t i = PyTuple_GET_SIZE(mro) - 1; i >= 0; --i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!PyType_HasFeature(base, Py_TPFLAGS_HEAPTYPE) || base->tp_dict == nullptr) continue;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(base->tp_dict, &pos, &key, &value)) {
            if (Py_TYPE(value) != &PyMemberDescr_Type || !PyUnicode_CheckExact(key)) continue;
            auto* descr = reinterpret_cast<PyMemberDescrObject*>(value);
            const PyMemberDef* member = descr->d_member;
            if (member->type != T_OBJECT_EX || (member->flags & READONLY) != 0) continue;
            if (!PyType_IsSubtype(t, descr->d_common.d_type)) continue;
            slots.push_back({Ref::borrow(key), member->offset});
        }
    }
    return true;
}

// True when `t` is the attribute `name` of the already imported module
// `module`: read from sys.modules and the module's dict, nothing imported.
bool is_module_type(PyTypeObject* t, const char* module, const char* name) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* found = PyDict_GetItemString(modules, module);
    if (found == nullptr || !PyModule_Check(found)) return false;
    PyObject* dict = PyModule_GetDict(found);
    return dict != nullptr && PyDict_GetItemString(dict, name) == reinterpret_cast<PyObject*>(t);
}

bool is_safe_repr_type(PyTypeObject* t) {
    if (t == &PyComplex_Type || t == &PyRange_Type) return true;
    if (PyDateTimeAPI != nullptr &&
        (t == PyDateTimeAPI->DateType || t == PyDateTimeAPI->DeltaType ||
         t == Py_TYPE(PyDateTimeAPI->TimeZone_UTC) || t == PyDateTimeAPI->DateTimeType ||
         t == PyDateTimeAPI->TimeType)) {
        return true;
    }
    return is_module_type(t, "decimal", "Decimal");
}

bool classify(PyTypeObject* t, TypeInfo& info) {
    if (PyType_IsSubtype(t, reinterpret_cast<PyTypeObject*>(G.ext_type))) {
        // msgpack's own ExtType is written as such; a subclass is a tuple.
        info.wrapped = t != reinterpret_cast<PyTypeObject*>(G.ext_type);
        return true;
    }
    if (G.enum_type != nullptr && PyType_IsSubtype(Py_TYPE(t), G.enum_type)) {
        info.kind = Kind::Enum;
        return true;
    }
    if (PyType_IsSubtype(t, &PyTuple_Type) || PyType_IsSubtype(t, &PySet_Type) ||
        PyType_IsSubtype(t, &PyFrozenSet_Type)) {
        info.wrapped = true;  // exact ones too: their kind is kept
        return true;
    }
    if (PyType_IsSubtype(t, &PyList_Type) || PyType_IsSubtype(t, &PyDict_Type)) {
        info.wrapped = t != &PyList_Type && t != &PyDict_Type;
        return true;
    }
    if (t == &PyBytes_Type || t == &PyByteArray_Type || t == &PyMemoryView_Type || t == &PyDictProxy_Type ||
        reinterpret_cast<PyObject*>(t) == G.timestamp_type ||
        (G.frame_locals_type != nullptr && t == G.frame_locals_type)) {
        return true;
    }
    if (PyType_IsSubtype(t, &PyLong_Type) || PyType_IsSubtype(t, &PyFloat_Type) ||
        PyType_IsSubtype(t, &PyUnicode_Type) || PyType_IsSubtype(t, &PyBytes_Type)) {
        info.kind = Kind::Scalar;
        return true;
    }
    if (t == &PyFunction_Type) {
        info.kind = Kind::Function;
    } else if (PyType_IsSubtype(t, &PyType_Type)) {
        info.kind = Kind::Class;
    } else if (PyType_IsSubtype(t, &PyModule_Type)) {
        info.kind = Kind::Module;
    } else if (t == &PyMethod_Type) {
        info.kind = Kind::Method;
    } else if (t == &PyCFunction_Type) {
        info.kind = Kind::Builtin;
    } else if (is_safe_repr_type(t)) {
        info.kind = Kind::SafeRepr;
    } else {
        info.kind = Kind::Object;
        return collect_slots(t, info.slots);
    }
    return true;
}

// True while the weak reference `weak` still refers to `t`.
bool refers_to(PyObject* weak, PyTypeObject* t) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* target = nullptr;
    if (PyWeakref_GetRef(weak, &target) < 0) {
        PyErr_Clear();
        return false;
    }
    bool same = target == reinterpret_cast<PyObject*>(t);
    Py_XDECREF(target);
    return same;
#else
    return PyWeakref_GET_OBJECT(weak) == reinterpret_cast<PyObject*>(t);
#endif
}

// The cached entry for `t`; nullptr with MemoryError pending. The entry may
// go when Python code runs: copy what is needed first.
const TypeInfo* type_info(PyTypeObject* t) {
    auto& cache = type_cache();
    auto found = cache.find(t);
    if (found != cache.end()) {
        if (refers_to(found->second.type.get(), t)) return &found->second;
        cache.erase(found);
    }
    Ref name = make_type_name(t);
    if (!name) return nullptr;
    TypeInfo info;
    info.type = Ref::steal(PyWeakref_NewRef(reinterpret_cast<PyObject*>(t), nullptr));
    if (!info.type) return nullptr;
    put_str(info.name_msg, name.get());
    info.name = std::move(name);
    if (!classify(t, info)) return nullptr;
    if (cache.size() >= TYPE_CACHE_MAX) cache.clear();
    return &cache.emplace(t, std::move(info)).first->second;
}

// ---------------------------------------------------------------- shapes

enum class Shape { Leaf, List, Tuple, Dict, DictSub, Set, Mapping };

Shape shape_of(PyTypeObject* t) {
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

bool is_light_scalar(PyTypeObject* t) {
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

// The layout of types.MappingProxyType's instances, unchanged since 3.3.
struct MappingProxy {
    PyObject_HEAD
    PyObject* mapping;
};

void snapshot_dict(PyObject* d, Py_ssize_t keep, Snapshot& snap) {
    snap.map = true;
    snap.length = PyDict_GET_SIZE(d);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (keep > 0 && PyDict_Next(d, &pos, &key, &value)) {
        snap.items.push_back(Ref::borrow(key));
        snap.items.push_back(Ref::borrow(value));
        --keep;
    }
}

// Fills `snap` for a container (only its first `keep` items), or returns
// Failed when `v` is to be written as a leaf. Dict subclasses are read from
// the dict's own storage: an overridden __iter__ or keys() is the program's
// code.
Status take_snapshot(PyObject* v, Shape shape, Py_ssize_t keep, Snapshot& snap) {
    snap.clear();
    switch (shape) {
        case Shape::Leaf:
            return Status::Failed;
        case Shape::List: {
            snap.length = PyList_GET_SIZE(v);
            Py_ssize_t n = std::min(keep, snap.length);
            snap.items.reserve(static_cast<size_t>(n));
            for (Py_ssize_t i = 0; i < n; ++i) snap.items.push_back(Ref::borrow(PyList_GET_ITEM(v, i)));
            return Status::Ok;
        }
        case Shape::Tuple: {
            snap.length = PyTuple_GET_SIZE(v);
            Py_ssize_t n = std::min(keep, snap.length);
            snap.items.reserve(static_cast<size_t>(n));
            for (Py_ssize_t i = 0; i < n; ++i) snap.items.push_back(Ref::borrow(PyTuple_GET_ITEM(v, i)));
            return Status::Ok;
        }
        case Shape::Dict:
        case Shape::DictSub:
            snapshot_dict(v, keep, snap);
            return Status::Ok;
        case Shape::Set: {
            snap.length = PySet_GET_SIZE(v);
            Ref it = Ref::steal(PySet_Type.tp_iter(v));
            if (!it) return failed_call();
            for (Py_ssize_t i = 0; i < keep; ++i) {
                Ref item = Ref::steal(PyIter_Next(it.get()));
                if (!item) break;
                snap.items.push_back(std::move(item));
            }
            if (PyErr_Occurred()) return failed_call();
            return Status::Ok;
        }
        case Shape::Mapping: {
            if (Py_TYPE(v) == &PyDictProxy_Type) {
                // A mappingproxy's items() would call its mapping's: only a
                // dict's are read.
                PyObject* mapping = reinterpret_cast<MappingProxy*>(v)->mapping;
                if (!PyDict_Check(mapping)) return Status::Failed;
                snapshot_dict(mapping, keep, snap);
                return Status::Ok;
            }
            Ref items = Ref::steal(PyObject_CallMethodNoArgs(v, G.s_items));
            Ref list = items ? Ref::steal(PySequence_List(items.get())) : Ref();
            if (!list) return failed_call();
            snap.map = true;
            snap.pairs = true;
            snap.length = PyList_GET_SIZE(list.get());
            Py_ssize_t n = std::min(keep, snap.length);
            for (Py_ssize_t i = 0; i < n; ++i) snap.items.push_back(Ref::borrow(PyList_GET_ITEM(list.get(), i)));
            return Status::Ok;
        }
    }
    return Status::Failed;
}

// `key, value = item`, as Python unpacks it.
Status unpack_pair(PyObject* item, Ref& key, Ref& value) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        key = Ref::borrow(PyTuple_GET_ITEM(item, 0));
        value = Ref::borrow(PyTuple_GET_ITEM(item, 1));
        return Status::Ok;
    }
    Ref it = Ref::steal(PyObject_GetIter(item));
    if (!it) return failed_call();
    key = Ref::steal(PyIter_Next(it.get()));
    if (key) value = Ref::steal(PyIter_Next(it.get()));
    if (!key || !value) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "not enough values to unpack");
        return failed_call();
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra || PyErr_Occurred()) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "too many values to unpack");
        return failed_call();
    }
    return Status::Ok;
}

// An object's own state as name, value pairs: an exception's args, the
// __slots__ members that are set, then the instance dict, read from where
// the interpreter keeps them (no __getattribute__, no descriptor runs).
Status snapshot_object(PyObject* v, const std::vector<SlotMember>& slots, Py_ssize_t keep, Snapshot& snap) {
    snap.clear();
    snap.map = true;
    auto add = [&](PyObject* name, PyObject* value) {
        ++snap.length;
        if (keep > 0) {
            snap.items.push_back(Ref::borrow(name));
            snap.items.push_back(Ref::borrow(value));
            --keep;
        }
    };
    if (PyExceptionInstance_Check(v)) {
        PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(v)->args;
        if (args != nullptr) add(G.s_args, args);
    }
    for (const SlotMember& slot : slots) {
        PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(v) + slot.offset);
        if (value != nullptr) add(slot.name.get(), value);
    }
    if (Py_TYPE(v)->tp_dictoffset != 0) {
        Ref dict = Ref::steal(PyObject_GenericGetDict(v, nullptr));
        if (!dict) {
            if (must_escape()) return Status::Escape;
        } else if (PyDict_Check(dict.get())) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(dict.get(), &pos, &key, &value)) add(key, value);
        }
    }
    return Status::Ok;
}

// ---------------------------------------------------------------- scalars

// An exact int: true when written natively, false when outside 64 bits.
bool put_small_int(Buffer& o, PyObject* v) {
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

Status put_int(Buffer& o, PyObject* v, int64_t max_str_bytes) {
    if (put_small_int(o, v)) return Status::Ok;
    return put_bigint(o, v, max_str_bytes);
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

std::vector<std::unique_ptr<Scratch>>& scratch_pool() {
    static auto* pool = new std::vector<std::unique_ptr<Scratch>>();
    return *pool;
}

class ScratchLease {
  public:
    ScratchLease() {
        auto& pool = scratch_pool();
        if (pool.empty()) {
            scratch_ = std::make_unique<Scratch>();
        } else {
            scratch_ = std::move(pool.back());
            pool.pop_back();
        }
    }
    ~ScratchLease() {
        scratch_->release();
        // A huge output would otherwise stay allocated in the pool.
        if (scratch_->out.capacity() > (256u << 10)) scratch_->out = Buffer();
        auto& pool = scratch_pool();
        if (pool.size() < 16) pool.push_back(std::move(scratch_));
    }
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;
    Scratch& operator*() { return *scratch_; }

  private:
    std::unique_ptr<Scratch> scratch_;
};

// ---------------------------------------------------------------- full encoder

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

// The text object.__repr__ gives an instance of a class defined in Python,
// "<module.Qualname object at 0x...>", written without calling it: it is the
// commonest repr in user code, and formatting it through the interpreter
// costs more than the rest of the value. False when the class is not that
// plain (another repr, a module or name that is not an ASCII str, or a text
// longer than `max_chars`): the caller then asks repr().
bool default_repr_text(PyObject* v, char* out, size_t capacity, size_t max_chars, size_t* length) {
    PyTypeObject* t = Py_TYPE(v);
    if (t->tp_repr != PyBaseObject_Type.tp_repr) return false;
    // A static type (a list iterator, say) is shown by its C name; a class
    // by its module and qualified name, unless its module is "builtins".
    std::string_view module, name;
    bool with_module = false;  // an empty module name still writes its dot
    if (!PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE)) {
        name = t->tp_name;
    } else {
        PyObject* dict = t->tp_dict;
        if (dict == nullptr || !PyDict_CheckExact(dict)) return false;
        PyObject* module_object = PyDict_GetItemWithError(dict, G.s_module);
        if (module_object == nullptr) {
            PyErr_Clear();
            return false;
        }
        PyObject* qualname = reinterpret_cast<PyHeapTypeObject*>(t)->ht_qualname;
        if (!PyUnicode_CheckExact(module_object) || !PyUnicode_IS_ASCII(module_object) || qualname == nullptr ||
            !PyUnicode_CheckExact(qualname) || !PyUnicode_IS_ASCII(qualname)) {
            return false;
        }
        module = {static_cast<const char*>(PyUnicode_DATA(module_object)),
                  static_cast<size_t>(PyUnicode_GET_LENGTH(module_object))};
        if (module == "builtins") {
            name = t->tp_name;
        } else {
            with_module = true;
            name = {static_cast<const char*>(PyUnicode_DATA(qualname)),
                    static_cast<size_t>(PyUnicode_GET_LENGTH(qualname))};
        }
    }
    for (char c : name) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;  // characters must count as bytes
    }
    char address[2 * sizeof(uintptr_t)];
    size_t digits = 0;
    for (auto a = reinterpret_cast<uintptr_t>(v); a != 0 || digits == 0; a >>= 4) {
        address[sizeof address - ++digits] = "0123456789abcdef"[a & 0xF];
    }
    constexpr std::string_view middle = " object at 0x";
    size_t n = 1 + (with_module ? module.size() + 1 : 0) + name.size() + middle.size() + digits + 1;
    if (n > capacity || n > max_chars) return false;
    char* p = out;
    *p++ = '<';
    if (with_module) {
        p = std::copy(module.begin(), module.end(), p);
        *p++ = '.';
    }
    p = std::copy(name.begin(), name.end(), p);
    p = std::copy(middle.begin(), middle.end(), p);
    p = std::copy(address + sizeof address - digits, address + sizeof address, p);
    *p++ = '>';
    *length = n;
    return true;
}

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

// A datetime or time whose tzinfo is not the stdlib's own would call the
// program's tzinfo.__repr__: such values are written as objects.
bool safe_repr_value(PyObject* v) {
    PyObject* tz = nullptr;
    if (PyDateTime_CheckExact(v)) {
        tz = PyDateTime_DATE_GET_TZINFO(v);
    } else if (PyTime_CheckExact(v)) {
        tz = PyDateTime_TIME_GET_TZINFO(v);
    }
    return tz == nullptr || tz == Py_None || Py_TYPE(tz) == Py_TYPE(PyDateTimeAPI->TimeZone_UTC);
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

// ---------------------------------------------------------------- light encoder

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

bool expanded_type(PyObject* x) {
    PyTypeObject* t = Py_TYPE(x);
    return t == &PyList_Type || t == &PyDict_Type || t == &PyByteArray_Type || t == &PyMemoryView_Type;
}

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

// Runs one encoder and hands its output (or the FAILED marker) to `sink`,
// while the scratch is still leased. nullptr-like failure: false with the
// exception pending.
template <class Encoder, class Sink>
bool encode_with(PyObject* value, const Limits& limits, Sink&& sink) {
    if (value == Py_None) return sink("\xc0", 1);
    try {
        ScratchLease lease;
        Encoder encoder(limits, *lease);
        Status status = encoder.run(value);
        if (status == Status::Escape) {
            if (!PyErr_Occurred()) PyErr_NoMemory();
            return false;
        }
        if (status == Status::Failed) return sink("\xc7\x00\x09", 3);
        return sink((*lease).out.data(), (*lease).out.size());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "ruvo._serialize: unexpected C++ exception");
        return false;
    }
}

template <class Encoder>
PyObject* encode(PyObject* value, const Limits& limits) {
    PyObject* result = nullptr;
    encode_with<Encoder>(value, limits, [&](const char* data, size_t size) {
        result = PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size));
        return result != nullptr;
    });
    return result;
}

template <class Encoder>
int encode_to(PyObject* value, const Limits& limits, ruvo_append_fn append, void* context) {
    bool ok = encode_with<Encoder>(value, limits, [&](const char* data, size_t size) {
        if (append(context, data, size) == 0) return true;
        PyErr_NoMemory();
        return false;
    });
    return ok ? 0 : -1;
}

}  // namespace

bool init_encoder() {
    Ref msgpack = Ref::steal(PyImport_ImportModule("msgpack"));
    if (!msgpack) return false;
    G.ext_type = PyObject_GetAttrString(msgpack.get(), "ExtType");
    if (!G.ext_type) return false;
    G.timestamp_type = PyObject_GetAttrString(msgpack.get(), "Timestamp");
    if (!G.timestamp_type) return false;
    if (!PyType_Check(G.ext_type) || !PyType_Check(G.timestamp_type)) {
        PyErr_SetString(PyExc_TypeError, "msgpack.ExtType and msgpack.Timestamp must be types");
        return false;
    }
    // type.__dict__ (tp_dict of a static type is not to be read from 3.12 on).
    Ref type_dict = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyType_Type), "__dict__"));
    if (!type_dict) return false;
    G.qualname_descr = PyMapping_GetItemString(type_dict.get(), "__qualname__");
    if (!G.qualname_descr) return false;
    G.module_descr = PyMapping_GetItemString(type_dict.get(), "__module__");
    if (!G.module_descr) return false;
    if (!Py_TYPE(G.qualname_descr)->tp_descr_get || !Py_TYPE(G.module_descr)->tp_descr_get) {
        PyErr_SetString(PyExc_SystemError, "type's __qualname__ and __module__ are not descriptors");
        return false;
    }
#if PY_VERSION_HEX >= 0x030D0000
    G.frame_locals_type = &PyFrameLocalsProxy_Type;
#endif
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) return false;
    Ref enum_module = Ref::steal(PyImport_ImportModule("enum"));
    if (!enum_module) return false;
    Ref enum_type = Ref::steal(PyObject_GetAttrString(enum_module.get(), "EnumMeta"));
    if (!enum_type) return false;
    if (!PyType_Check(enum_type.get())) {
        PyErr_SetString(PyExc_TypeError, "enum.EnumMeta must be a type");
        return false;
    }
    G.enum_type = reinterpret_cast<PyTypeObject*>(enum_type.release());
    struct {
        PyObject** slot;
        const char* text;
    } names[] = {{&G.s_items, "items"},   {&G.s_bit_length, "bit_length"}, {&G.s_c_contiguous, "c_contiguous"},
                 {&G.s_cast, "cast"},     {&G.s_B, "B"},                   {&G.s_seconds, "seconds"},
                 {&G.s_nanoseconds, "nanoseconds"}, {&G.s_module, "__module__"},
                 {&G.s_args, "args"},     {&G.s_name, "_name_"}};
    for (auto& name : names) {
        *name.slot = PyUnicode_InternFromString(name.text);
        if (!*name.slot) return false;
    }
    return true;
}

PyObject* encode_full(PyObject* value, const Limits& limits) { return encode<FullEncoder>(value, limits); }

PyObject* encode_light(PyObject* value, const Limits& limits) { return encode<LightEncoder>(value, limits); }

int encode_into(PyObject* value, bool lightweight, const Limits& limits, ruvo_append_fn append, void* context) {
    return lightweight ? encode_to<LightEncoder>(value, limits, append, context)
                       : encode_to<FullEncoder>(value, limits, append, context);
}

}  // namespace ruvo::ser
