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
    // Replaces the held reference by a new one (stolen), releasing the old one
    // after the new one is in place.
    void reset(PyObject* obj = nullptr) noexcept {
        PyObject* old = obj_;
        obj_ = obj;
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace rt
