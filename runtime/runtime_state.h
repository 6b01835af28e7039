// The runtime's own view of the process-wide state.
//
// The runtime serves the module's procedures but never reads the module's own
// record. What it needs of the process-wide state is handed to it once, by
// module execution, through runtime_attach(); every field below is an owned
// strong reference that the runtime keeps for the life of the process (a later
// attach replaces and releases the earlier values).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace rt {

// Interned names that the runtime itself looks up. Each is hashed once before
// it is handed over, so lookups can use the cached hash.
struct RuntimeNames {
    PyObject* cline_in_traceback = nullptr;  // owned: "cline_in_traceback"
    PyObject* spec = nullptr;                // owned: "__spec__"
    PyObject* initializing = nullptr;        // owned: "_initializing"
    PyObject* asyncio_coroutines = nullptr;  // owned: "asyncio.coroutines"
    PyObject* is_coroutine = nullptr;        // owned: "_is_coroutine"
};

struct RuntimeState {
    PyObject* globals = nullptr;          // owned: the module dictionary (globals of lookups and traceback frames)
    PyObject* builtins = nullptr;         // owned: the builtins module
    PyObject* support_module = nullptr;   // owned: the runtime-support module "cython_runtime"
    PyObject* empty_tuple = nullptr;      // owned: ()
    PyTypeObject* function_type = nullptr;  // owned: the type of the module's function objects
    RuntimeNames names;
    PyObject* name_error_texts = nullptr;  // owned: name -> its NameError text; made at the first NameError
    PyObject* getattr_hook_name = nullptr;  // owned: "__getattr__"; made at the first search for a module's hook
};

// The one runtime record of the process.
extern RuntimeState g_runtime;

struct RuntimeHandoff {
    PyObject* globals;
    PyObject* builtins;
    PyObject* support_module;
    PyObject* empty_tuple;
    PyTypeObject* function_type;
    RuntimeNames names;  // borrowed here; the runtime takes its own references
};

// Takes new references to everything in `handoff` (which must all be set) and
// stores them in g_runtime, releasing earlier values. Cannot fail.
void runtime_attach(const RuntimeHandoff& handoff) noexcept;

}  // namespace rt
