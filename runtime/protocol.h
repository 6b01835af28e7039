// Object protocols used by the module's procedures: type and exception tests,
// string equality, truth, item access, unpacking and loop iteration.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "runtime/compat.h"
#include "runtime/compiler.h"
#include "runtime/ref.h"

namespace rt {

// 1 when `a` is `b` or derives from it, else 0.
int is_subtype(PyTypeObject* a, PyTypeObject* b) noexcept;

// 1 when the exception type `type` matches `target` (a class or a tuple of
// classes), else 0.
int exception_matches(PyObject* type, PyObject* target) noexcept;

// Like exception_matches, but a tuple target is searched with the full match
// for every element (the rule of the no-error attribute read).
int exception_matches_for_lookup(PyObject* type, PyObject* target) noexcept;

// After an iterator returned null: 0 when it simply ended (a pending
// StopIteration is cleared), -1 when another exception is pending.
int finish_iteration() noexcept;

// str_equals() past its two cheapest answers.
int str_equals_general(PyObject* a, PyObject* b) noexcept;

// 1 equal, 0 not equal, -1 error.
inline int str_equals(PyObject* a, PyObject* b) noexcept {
    if (a == b) return 1;
    if (a == Py_None && Py_TYPE(b) == &PyUnicode_Type) return 0;
    return str_equals_general(a, b);
}

// 1 true, 0 false, -1 error.
inline int is_true(PyObject* x) noexcept {
    if (x == Py_True) return 1;
    if (x == Py_False || x == Py_None) return 0;
    // An exact str is true when it is not empty, which a ready one knows
    // without a call.
    if (PyUnicode_CheckExact(x) && compat::str_is_ready(x)) return PyUnicode_GET_LENGTH(x) != 0;
    return PyObject_IsTrue(x);
}

// 1 when `x` equals the int 0 (`zero` is that int object), 0 when not, -1 on
// error. Exact ints and floats are decided without a rich comparison.
int equals_zero(PyObject* x, PyObject* zero) noexcept;

// d[key] for an exact dict. New reference, or null with KeyError (a tuple key
// is wrapped so the exception's argument is the whole key) or another error.
PyObject* dict_item(PyObject* d, PyObject* key) noexcept;

// unpack2() for everything but an exact tuple of two.
int unpack2_general(PyObject* obj, Ref& first, Ref& second) noexcept;

// Unpacks exactly two values out of `obj` into `first` and `second`.
// 0 on success, -1 with an exception set (the outputs are then left empty).
inline int unpack2(PyObject* obj, Ref& first, Ref& second) noexcept {
    if (PyTuple_CheckExact(obj) && PyTuple_GET_SIZE(obj) == 2) {
        first = Ref::borrow(PyTuple_GET_ITEM(obj, 0));
        second = Ref::borrow(PyTuple_GET_ITEM(obj, 1));
        return 0;
    }
    return unpack2_general(obj, first, second);
}

// The protocol of a for-loop over one object.
class Loop {
public:
    // 0 when the loop can start, -1 with an exception set.
    int start(PyObject* obj) noexcept;
    // 1 with a new reference in `item`, 0 at the end, -1 with an exception set.
    int next(Ref& item) noexcept;

private:
    Ref seq_;                    // the exact list or tuple walked by index, else the iterator
    Py_ssize_t index_ = 0;
    iternextfunc iternext_ = nullptr;  // null when walking by index
};

// Raises UnboundLocalError for the local `name`. Always returns null.
RT_COLD PyObject* raise_unbound_local(const char* name) noexcept;

}  // namespace rt
