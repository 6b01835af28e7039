// The import statements of a module body. All imports are absolute (level 0)
// and run with the module dictionary as globals.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace rt {

// The import machinery's import of `name` with the from-list `fromlist` (a
// list of names, or null for none): the module named, for a from-import the
// one its names are then taken from. New reference, or null with an
// exception set.
PyObject* import_absolute(PyObject* name, PyObject* fromlist) noexcept;

// The value of `name` taken out of `module` for a from-import. A submodule
// that is in sys.modules under "<module>.<name>" serves when the attribute is
// missing. New reference, or null with ImportError "cannot import name ...".
PyObject* import_from(PyObject* module, PyObject* name) noexcept;

// `import <name>`: the module from sys.modules, unless it is missing or still
// initialising, in which case the import machinery imports it (waiting on its
// import lock). New reference, or null with an exception set.
PyObject* import_module(PyObject* name) noexcept;

}  // namespace rt
