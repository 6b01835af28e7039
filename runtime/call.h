// Calling Python objects.
//
// Each entry point says by its name whether it enters the interpreter's
// recursion guard around the callee itself:
//   *_guarded  enters it, as the interpreter's tuple call (PyObject_Call) does,
//              whatever the callee;
//   *_bare     does not: the callee's own entry guards itself, as under the
//              interpreter's vector call (a built-in entered directly, without
//              its entry, is given the guard its entry would enter).
// call_method() takes the choice as its argument. Every entry point borrows
// its arguments, except a callable passed as a Ref, which it takes over.
// All return a new reference, or null with an exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "runtime/compat.h"
#include "runtime/ref.h"

namespace rt {

// callable(*args, **kwargs), guarded. `kwargs` may be null.
PyObject* call_tuple_guarded(PyObject* callable, PyObject* args, PyObject* kwargs) noexcept;

// Raises the SystemError of a callee that returned null without setting an
// exception.
void raise_null_without_error() noexcept;

// `result`, after making sure that a null result comes with an exception: a
// callee that lost its exception must not hand the loss on to the caller.
inline PyObject* check_result(PyObject* result) noexcept {
    if (!result && !PyErr_Occurred()) raise_null_without_error();
    return result;
}

namespace detail {

// Enters a built-in function's native entry directly, guarded: `arg` is the
// one argument of a METH_O entry, or null for a METH_NOARGS entry.
PyObject* enter_builtin_guarded(PyObject* func, PyObject* arg) noexcept;

// call_vector_bare() for everything but an exact built-in function.
PyObject* call_vector_general(PyObject* callable, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace detail

// callable(*args[0:nargsf]) without keywords, bare. The count may carry
// PY_VECTORCALL_ARGUMENTS_OFFSET; it is never passed on. An exact built-in
// function, the commonest callee, is decided here without a call: entered
// directly when its convention takes no argument or one, else through its
// vector-call entry.
inline PyObject* call_vector_bare(PyObject* callable, PyObject* const* args, size_t nargsf) noexcept {
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    if (Py_TYPE(callable) == &PyCFunction_Type) {
        int flags = compat::builtin_function_def(callable)->ml_flags;
        if (n == 0 && (flags & METH_NOARGS)) return detail::enter_builtin_guarded(callable, nullptr);
        if (n == 1 && (flags & METH_O)) return detail::enter_builtin_guarded(callable, args[0]);
        if (vectorcallfunc entry = compat::builtin_function_vectorcall(callable))
            return check_result(entry(callable, args, static_cast<size_t>(n), nullptr));
    }
    return detail::call_vector_general(callable, args, n);
}

// A call site's positional call, bare: `slots[0]` is a spare slot (ignored on
// entry) and the `nargs` arguments start at `slots[1]`. The call site hands
// over its reference to `callable`. A bound method is called as its function with its
// object put into the spare slot, without copying the arguments; the method
// object itself is released before the call, so the callee sees its receiver
// held only by whoever else holds it and by this call.
inline PyObject* call_unpacking_bare(Ref callable, PyObject** slots, Py_ssize_t nargs) noexcept {
    PyObject* target = callable.get();
    // A method object always has its object (PyMethod_New refuses none).
    if (Py_TYPE(target) == &PyMethod_Type && PyMethod_GET_SELF(target)) {  // GCOVR_EXCL_BR_LINE
        Ref self = Ref::borrow(PyMethod_GET_SELF(target));
        Ref func = Ref::borrow(PyMethod_GET_FUNCTION(target));
        callable.reset();
        slots[0] = self.get();
        PyObject* result = call_vector_bare(func.get(), slots, static_cast<size_t>(nargs) + 1);
        slots[0] = nullptr;
        return result;
    }
    return call_vector_bare(target, slots + 1, static_cast<size_t>(nargs));
}

// `callable` called, guarded, with the `nargs` positional arguments at `args`
// and, when `kwnames` (a tuple of keyword names) is not null, the values that
// follow them for those keywords, in that order. What call_tuple_guarded()
// does with a tuple and a keyword dict, made without either when the callable
// offers a vector-call entry: the entry is called inside the same guard.
PyObject* call_vector_guarded(PyObject* callable, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept;

// Whether call_method() enters the recursion guard around the callee.
enum class Guard : bool {
    kBare,     // as call_unpacking_bare()
    kGuarded,  // as call_vector_guarded(), for the call sites whose arguments are a constant tuple
};

// obj.name(*args) the way the interpreter's own method call makes it. When the
// read would bind a method found on the type (a method descriptor or function,
// with no instance dictionary to hide it), the method is called with `obj` in
// the spare slot `slots[0]` and no bound method is made; otherwise the
// attribute is read and called. `slots` is laid out as for
// call_unpacking_bare().
PyObject* call_method(PyObject* obj, PyObject* name, PyObject** slots, Py_ssize_t nargs,
                      Guard guard) noexcept;

// 1 when `type` is, or derives from, `a` or `b`; else 0.
int is_function_kind(PyTypeObject* type, PyTypeObject* a, PyTypeObject* b) noexcept;

}  // namespace rt
