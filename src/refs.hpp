// Owned references, saved interpreter errors and the profiler's locks.
//
// Every unit of the extension uses these instead of bare Py_INCREF/Py_DECREF
// and bare mutexes, so that no early return can leak a reference or leave a
// lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <mutex>
#include <optional>

namespace ruvo {

// A strong reference. Named constructors say what happens to the count:
// steal() takes over a new reference, borrow() adds one. There is no implicit
// conversion to PyObject*, so it can never reach Py_DECREF by accident.
class Ref {
  public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    // Hands the reference back to CPython (for return values of slots).
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    Ref copy() const { return borrow(p_); }
    void reset() { *this = Ref(); }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// Takes the pending exception out of the interpreter as one normalised
// instance with its traceback attached; empty when none is pending.
inline Ref fetch_error() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return Ref();
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref::steal(value);
#endif
}

// Puts an exception fetched by fetch_error() back as the pending one.
inline void restore_error(Ref error) {
    if (!error) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error.release());
#else
    PyObject* value = error.release();
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// Keeps the interpreter's pending exception (if any) aside while the profile
// hook runs Python code, and puts it back afterwards: the profiled program
// must find its own exception state exactly as it left it.
class SavedError {
  public:
    SavedError() : saved_(fetch_error()) {}
    ~SavedError() {
        if (saved_) {
            // Anything the hook left pending is dropped in favour of the
            // program's own exception.
            PyErr_Clear();
            restore_error(std::move(saved_));
        }
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

  private:
    Ref saved_;
};

// An exclusive lock with a poisoned flag. A guard that is unwound by a C++
// exception (the only way a critical section can fail half-way: an
// allocation) marks the lock poisoned, since the data it guards may be half
// updated; every later lock() then reports an internal error instead.
//
// Every holder also holds the interpreter lock and runs no Python code while
// holding one of these, so a waiter can never be waiting for a holder that is
// itself waiting for the interpreter lock.
class PoisonMutex {
  public:
    class Guard {
      public:
        Guard(Guard&& other) noexcept
            : mutex_(other.mutex_), exceptions_(other.exceptions_) {
            other.mutex_ = nullptr;
        }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        Guard& operator=(Guard&&) = delete;
        ~Guard() {
            if (mutex_ == nullptr) return;
            if (std::uncaught_exceptions() > exceptions_) mutex_->poisoned_ = true;
            mutex_->mutex_.unlock();
        }

      private:
        friend class PoisonMutex;
        explicit Guard(PoisonMutex* m) : mutex_(m), exceptions_(std::uncaught_exceptions()) {}
        PoisonMutex* mutex_;
        int exceptions_;
    };

    // Returns false when the lock is poisoned; the caller reports that as an
    // internal error. On true, `out` holds the lock.
    [[nodiscard]] bool lock(std::optional<Guard>& out) {
        mutex_.lock();
        if (poisoned_) {
            mutex_.unlock();
            return false;
        }
        out.emplace(Guard(this));
        return true;
    }

  private:
    std::mutex mutex_;
    bool poisoned_ = false;
};

}  // namespace ruvo
