// Calling Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace rt {

// callable(*args, **kwargs) with the interpreter's recursion guard.
// `kwargs` may be null. New reference, or null with an exception set.
PyObject* call(PyObject* callable, PyObject* args, PyObject* kwargs) noexcept;

// Enters a built-in function's native entry directly: `arg` is the one
// argument of a METH_O entry, or null for a METH_NOARGS entry.
PyObject* call_builtin_direct(PyObject* func, PyObject* arg) noexcept;

// callable(*args[0:nargsf]) without keywords. The count may carry
// PY_VECTORCALL_ARGUMENTS_OFFSET; it is never passed on.
PyObject* call_fast(PyObject* callable, PyObject* const* args, size_t nargsf) noexcept;

// A call site's positional call: `slots[0]` is a spare slot (ignored on entry)
// and the `nargs` arguments start at `slots[1]`. A bound method is called as
// its function with its object put into the spare slot, without copying the
// arguments. `callable` is borrowed.
inline PyObject* call_positional(PyObject* callable, PyObject** slots, Py_ssize_t nargs) noexcept {
    if (Py_TYPE(callable) == &PyMethod_Type && PyMethod_GET_SELF(callable)) {
        PyObject* self = PyMethod_GET_SELF(callable);
        PyObject* func = PyMethod_GET_FUNCTION(callable);
        Py_INCREF(self);
        Py_INCREF(func);
        slots[0] = self;
        PyObject* result = call_fast(func, slots, static_cast<size_t>(nargs) + 1);
        slots[0] = nullptr;
        Py_DECREF(self);
        Py_DECREF(func);
        return result;
    }
    return call_fast(callable, slots + 1, static_cast<size_t>(nargs));
}

// 1 when `type` is, or derives from, `a` or `b`; else 0.
int is_function_kind(PyTypeObject* type, PyTypeObject* a, PyTypeObject* b) noexcept;

}  // namespace rt
