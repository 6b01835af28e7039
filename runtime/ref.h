// Owning reference to a Python object.
//
// A Ref holds one strong reference and releases it when it goes out of scope,
// so every exit path of the code that holds it gives the reference back. It is
// move-only: a reference changes hands explicitly, never by copy.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace rt {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = obj_;
            obj_ = other.obj_;
            other.obj_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    // Takes over a new reference (possibly null).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Takes a new reference to a borrowed object (possibly null).
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    // Gives up ownership: the caller now owns the reference.
    PyObject* release() noexcept {
        PyObject* obj = obj_;
        obj_ = nullptr;
        return obj;
    }
    // Releases the held reference now, leaving the Ref empty. (A Ref takes
    // another reference by assignment: `r = Ref::steal(x)` or
    // `r = Ref::borrow(x)`.)
    void reset() noexcept {
        PyObject* old = obj_;
        obj_ = nullptr;
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// Puts the reference that `value` hands over into `field`, a raw field that
// owns its reference (of a process-wide record or of an object's C layout),
// then releases the reference the field held. The one way such a field changes
// value; the caller says by Ref::steal or Ref::borrow whose reference it is.
template <typename T>
inline void replace(T*& field, Ref value) noexcept {
    T* old = field;
    field = reinterpret_cast<T*>(value.release());
    Py_XDECREF(reinterpret_cast<PyObject*>(old));
}

}  // namespace rt
