// How each type is written, decided once per type and cached; and the
// reprs the encoder writes without calling them.
#include "value_parts.hpp"

#include <cstring>
#include <string_view>
#include <unordered_map>

#include <datetime.h>
#include <structmember.h>

namespace ruvo::ser {

namespace {

constexpr size_t TYPE_CACHE_MAX = 4096;

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

}  // namespace

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

// datetime's C API is a static pointer in each file that includes its
// header: the one that reads it imports it.
bool import_datetime() {
    PyDateTime_IMPORT;
    return PyDateTimeAPI != nullptr;
}

}  // namespace ruvo::ser
