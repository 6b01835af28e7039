// The process-wide state: the one record of the values that the runtime and
// the module share.
//
// The record belongs to the runtime, which never reads the module's own
// record. Module execution fills it (each value once, in the order of its
// steps, through rt::replace) and reads the shared values from it; the
// runtime's own values are made by the runtime. Every field is an owned
// strong reference kept for the life of the process (a later execution
// replaces and releases the earlier values).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace rt {

// Interned names that the runtime itself looks up. Each is hashed once when
// it is made, so lookups can use the cached hash.
struct RuntimeNames {
    PyObject* cline_in_traceback = nullptr;  // owned: "cline_in_traceback"
    PyObject* spec = nullptr;                // owned: "__spec__"
    PyObject* initializing = nullptr;        // owned: "_initializing"
    PyObject* asyncio_coroutines = nullptr;  // owned: "asyncio.coroutines"
    PyObject* is_coroutine = nullptr;        // owned: "_is_coroutine"
};

struct RuntimeState {
    // Set by module execution.
    PyObject* module_dict = nullptr;        // owned: the module's __dict__, the globals of lookups, imports and traceback frames
    PyObject* builtins = nullptr;           // owned: the builtins module
    PyObject* support_module = nullptr;     // owned: the runtime-support module "cython_runtime"
    PyObject* empty_tuple = nullptr;        // owned: ()
    PyTypeObject* function_type = nullptr;  // owned: the type of the module's function objects
    // The runtime's own.
    RuntimeNames names;                     // made by make_runtime_names()
    PyObject* name_error_texts = nullptr;   // owned: name -> its NameError text; made at the first NameError
    PyObject* getattr_hook_name = nullptr;  // owned: "__getattr__"; made at the first search for a module's hook
};

// The one record of the process.
extern RuntimeState g_runtime;

// Makes the names of g_runtime.names, replacing earlier ones. 0, or -1 with
// an exception set.
int make_runtime_names() noexcept;

}  // namespace rt
