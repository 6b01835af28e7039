// Function objects for the module's native procedures.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace rt {

// The type of the function objects this module makes. New reference, or null
// with an exception set.
PyTypeObject* fetch_function_type() noexcept;

// A function object for the native entry `ml`. `qualname` and `globals` are
// required; `closure`, `module` (the value of __module__) and `code` may be
// null. New reference, or null with an exception set.
PyObject* function_new(PyMethodDef* ml, int flags, PyObject* qualname, PyObject* closure,
                       PyObject* module, PyObject* globals, PyObject* code) noexcept;

}  // namespace rt
