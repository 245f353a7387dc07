#include "qualname.hpp"

#include "convert.hpp"
#include "errors.hpp"
#include "names.hpp"

namespace ruvo {

// Appends str(obj) for a name part; an unprintable part is reported to the
// unraisable hook and rendered as a placeholder.
static void append_name_part(std::string& out, PyObject* obj) {
    TraceText text;
    if (PyUnicode_CheckExact(obj) && text.set(obj)) {
        out.append(text.view());
        return;
    }
    Ref str = Ref::steal(PyObject_Str(obj));
    if (str && text.set(str.get())) {
        out.append(text.view());
        return;
    }
    PyErr_WriteUnraisable(obj);
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
    if (type_name && text.set(type_name.get())) {
        out.append("<unprintable ").append(text.view()).append(" object>");
        return;
    }
    PyErr_Clear();
    out.append("<unprintable object>");
}

static void join_names(std::string& out, PyObject* left, PyObject* right) {
    out.clear();
    append_name_part(out, left);
    out += '.';
    append_name_part(out, right);
}

static std::string joined(PyObject* left, PyObject* right) {
    std::string out;
    join_names(out, left, right);
    return out;
}

// module.qualname of a function-like object, or nothing.
static std::optional<std::string> qualname_of(PyObject* obj) {
    Ref module = Ref::steal(PyObject_GetAttr(obj, NAMES.dunder_module));
    if (!module) return std::nullopt;
    Ref qualname = Ref::steal(PyObject_GetAttr(obj, NAMES.dunder_qualname));
    if (!qualname) return std::nullopt;
    return joined(module.get(), qualname.get());
}

// The module name a frame's globals give: a missing "__name__" is a KeyError.
static Ref module_name_of(PyObject* globals) {
#if PY_VERSION_HEX < 0x030C0000
    // Frames of one module come in runs: while its globals keep their version
    // tag (any change gives a new one, and no two dicts share one), the
    // "__name__" found last is still the one they hold.
    static PyObject* last_globals = nullptr;
    static uint64_t last_version = 0;
    static PyObject* last_name = nullptr;
    if (PyDict_CheckExact(globals)) {
        uint64_t version = reinterpret_cast<PyDictObject*>(globals)->ma_version_tag;
        if (globals == last_globals && version == last_version) return Ref::borrow(last_name);
        PyObject* name = PyDict_GetItemWithError(globals, NAMES.dunder_name);
        if (name == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, NAMES.dunder_name);
            last_globals = nullptr;
        } else {
            last_globals = globals;
            last_version = version;
            last_name = name;
        }
        return Ref::borrow(name);
    }
#endif
    if (PyDict_CheckExact(globals)) {
        PyObject* name = PyDict_GetItemWithError(globals, NAMES.dunder_name);
        if (name == nullptr && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, NAMES.dunder_name);
        return Ref::borrow(name);
    }
    return Ref::steal(PyObject_GetItem(globals, NAMES.dunder_name));
}

// Code run by exec() in a namespace without "__name__" (templates, routing
// tables, generated modules) is named by its code's qualname alone. True when
// that is the case (the KeyError is cleared); any other failure stays.
static bool unnamed_module(std::string& out, PyObject* qualname) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
    PyErr_Clear();
    out.clear();
    append_name_part(out, qualname);
    return true;
}

namespace {

// Joined names of frames, by module name and code qualname. Guarded by the
// interpreter lock; the references are never given back, as the entries live
// as long as the process.
struct JoinedName {
    PyObject* module = nullptr;
    PyObject* qualname = nullptr;
    std::string text;
};
constexpr size_t JOINED_NAMES = 256;
JoinedName joined_names[JOINED_NAMES];

}  // namespace

bool get_qualname(PyObject* frame, std::string* out, bool* found) {
    *found = true;
    if (PyFrame_Check(frame)) {
        // The interpreter's own frames: the same values as the attributes,
        // read without looking the attributes up.
        auto* real = reinterpret_cast<PyFrameObject*>(frame);
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(real)));
        Ref globals = Ref::steal(PyFrame_GetGlobals(real));
        PyObject* qualname = reinterpret_cast<PyCodeObject*>(code.get())->co_qualname;
        Ref module = module_name_of(globals.get());
        if (!module) return unnamed_module(*out, qualname);
        if (!PyUnicode_CheckExact(module.get()) || !PyUnicode_CheckExact(qualname)) {
            join_names(*out, module.get(), qualname);
            return true;
        }
        // Both are plain str, so the joined text depends on them alone: it is
        // remembered per pair. The entries hold both, so a pointer seen again
        // is the same str.
        JoinedName& entry = joined_names[(reinterpret_cast<uintptr_t>(module.get()) >> 4 ^
                                          reinterpret_cast<uintptr_t>(qualname) >> 4) %
                                         JOINED_NAMES];
        if (entry.module != module.get() || entry.qualname != qualname) {
            join_names(*out, module.get(), qualname);
            entry.text.assign(*out);
            Py_INCREF(qualname);
            Py_XSETREF(entry.qualname, qualname);
            Py_XSETREF(entry.module, module.release());
            return true;
        }
        out->assign(entry.text);
        return true;
    }
    Ref code = Ref::steal(PyObject_GetAttr(frame, NAMES.f_code));
    if (!code) return false;
    Ref qualname = Ref::steal(PyObject_GetAttr(code.get(), NAMES.co_qualname));
    if (!qualname) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        Ref co_name = Ref::steal(PyObject_GetAttr(code.get(), NAMES.co_name));
        if (!co_name) return false;
        if (!PyUnicode_Check(co_name.get())) {
            set_conversion_error(co_name.get(), "PyString");
            return false;
        }
        if (PyUnicode_CompareWithASCIIString(co_name.get(), "<module>") != 0) {
            std::optional<std::string> name = get_qualname_inner(frame, co_name.get());
            *found = name.has_value();
            if (name) *out = std::move(*name);
            return true;
        }
        qualname = std::move(co_name);
    }
    Ref globals = Ref::steal(PyObject_GetAttr(frame, NAMES.f_globals));
    if (!globals) return false;
    Ref module = module_name_of(globals.get());
    if (!module) return unnamed_module(*out, qualname.get());
    join_names(*out, module.get(), qualname.get());
    return true;
}

std::optional<std::string> get_qualname_inner(PyObject* frame, PyObject* co_name) {
    // Every failure in the search means "no name": nothing may stay pending.
    auto absent = []() -> std::optional<std::string> {
        PyErr_Clear();
        return std::nullopt;
    };
    auto key_error = []() {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
        PyErr_Clear();
        return true;
    };

    // 1, 2: the caller usually holds the function under its own name.
    Ref caller = Ref::steal(PyObject_GetAttr(frame, NAMES.f_back));
    if (!caller || caller.get() == Py_None) return absent();
    Ref caller_locals = Ref::steal(PyObject_GetAttr(caller.get(), NAMES.f_locals));
    if (!caller_locals) return absent();
    if (Ref found = Ref::steal(PyObject_GetItem(caller_locals.get(), co_name))) {
        auto name = qualname_of(found.get());
        return name ? name : absent();
    }
    if (!key_error()) return absent();

    // 3
    Ref locals = Ref::steal(PyObject_GetAttr(frame, NAMES.f_locals));
    if (!locals) return absent();
    Ref inspect = import_module(NAMES.mod_inspect);
    if (!inspect) return absent();
    Ref getattr_static = Ref::steal(PyObject_GetAttr(inspect.get(), NAMES.getattr_static));
    if (!getattr_static) return absent();

    // 4: a method, found statically on its instance.
    if (Ref self = Ref::steal(PyObject_GetItem(locals.get(), NAMES.self))) {
        Ref attribute = Ref::steal(PyObject_CallFunctionObjArgs(getattr_static.get(), self.get(), co_name, nullptr));
        if (!attribute) return absent();
        Ref builtins = import_module(NAMES.mod_builtins);
        if (!builtins) return absent();
        Ref property = Ref::steal(PyObject_GetAttr(builtins.get(), NAMES.property));
        if (!property) return absent();
        int is_property = PyObject_IsInstance(attribute.get(), property.get());
        if (is_property < 0) return absent();
        if (is_property) {
            attribute = Ref::steal(PyObject_GetAttr(attribute.get(), NAMES.fget));
            if (!attribute) return absent();
        }
        auto name = qualname_of(attribute.get());
        return name ? name : absent();
    }
    if (!key_error()) return absent();

    // 5: a classmethod, found statically on its class.
    if (Ref cls = Ref::steal(PyObject_GetItem(locals.get(), NAMES.cls))) {
        if (PyType_Check(cls.get())) {
            Ref attribute = Ref::steal(PyObject_CallFunctionObjArgs(getattr_static.get(), cls.get(), co_name, nullptr));
            if (!attribute) return absent();
            auto name = qualname_of(attribute.get());
            return name ? name : absent();
        }
    } else if (!key_error()) {
        return absent();
    }

    // 6: a class body, or a module-level function.
    Ref globals = Ref::steal(PyObject_GetAttr(frame, NAMES.f_globals));
    if (!globals) return absent();
    if (Ref class_qualname = Ref::steal(PyObject_GetItem(locals.get(), NAMES.dunder_qualname))) {
        Ref module = Ref::steal(PyObject_GetItem(globals.get(), NAMES.dunder_name));
        if (!module) return absent();
        return joined(module.get(), class_qualname.get());
    }
    if (!key_error()) return absent();
    Ref function = Ref::steal(PyObject_GetItem(globals.get(), co_name));
    if (!function) return absent();
    auto name = qualname_of(function.get());
    return name ? name : absent();
}

}  // namespace ruvo
