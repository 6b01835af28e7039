// Object protocols used by the module's procedures: type and exception tests,
// string equality, truth, item access, unpacking and loop iteration.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

// 1 equal, 0 not equal, -1 error.
int str_equals(PyObject* a, PyObject* b) noexcept;

// 1 true, 0 false, -1 error.
inline int is_true(PyObject* x) noexcept {
    if (x == Py_True) return 1;
    if (x == Py_False || x == Py_None) return 0;
    return PyObject_IsTrue(x);
}

// 1 when `x` equals the int 0 (`zero` is that int object), 0 when not, -1 on
// error. Exact ints and floats are decided without a rich comparison.
int equals_zero(PyObject* x, PyObject* zero) noexcept;

// d[key] for an exact dict. New reference, or null with KeyError (a tuple key
// is wrapped so the exception's argument is the whole key) or another error.
PyObject* dict_item(PyObject* d, PyObject* key) noexcept;

// Unpacks exactly two values out of `obj` into `first` and `second`.
// 0 on success, -1 with an exception set (the outputs are then left empty).
int unpack2(PyObject* obj, Ref& first, Ref& second) noexcept;

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
