// The encoder behind ruvo._serialize: its entry points, the scratch buffers
// calls lease, and what it looks up once. Values are read from the
// interpreter's storage (container items, instance dicts, slots), never
// through methods: recording must not change what the program does. The
// encoders are value_full.cpp and value_light.cpp, their parts value_parts.hpp.
#include "value_parts.hpp"

#include <memory>
#include <new>
#include <vector>

namespace ruvo::ser {

Globals G;

namespace {

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
    if (!import_datetime()) return false;
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
