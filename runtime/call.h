// Calling Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "runtime/ref.h"

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
// and the `nargs` arguments start at `slots[1]`. The call site hands over its
// reference to `callable`. A bound method is called as its function with its
// object put into the spare slot, without copying the arguments; the method
// object itself is released before the call, so the callee sees its receiver
// held only by whoever else holds it and by this call.
inline PyObject* call_positional(Ref callable, PyObject** slots, Py_ssize_t nargs) noexcept {
    PyObject* target = callable.get();
    if (Py_TYPE(target) == &PyMethod_Type && PyMethod_GET_SELF(target)) {
        Ref self = Ref::borrow(PyMethod_GET_SELF(target));
        Ref func = Ref::borrow(PyMethod_GET_FUNCTION(target));
        callable.reset();
        slots[0] = self.get();
        PyObject* result = call_fast(func.get(), slots, static_cast<size_t>(nargs) + 1);
        slots[0] = nullptr;
        return result;
    }
    return call_fast(target, slots + 1, static_cast<size_t>(nargs));
}

// 1 when `type` is, or derives from, `a` or `b`; else 0.
int is_function_kind(PyTypeObject* type, PyTypeObject* a, PyTypeObject* b) noexcept;

}  // namespace rt
