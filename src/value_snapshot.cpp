// Container and object snapshots: items read from the interpreter's storage,
// so that no overridden method runs and later mutation does not affect the walk.
#include "value_parts.hpp"

namespace ruvo::ser {

namespace {

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

}  // namespace

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

}  // namespace ruvo::ser
