// The function object type of the module's native procedures.
//
// One type serves every module of this kind in the process: the first module
// to execute registers its own type object in the registry module
// (runtime/compat.h names it), and every later one adopts the registered type. The
// instance layout below is therefore a contract between modules: the registry
// compares instance sizes, and the slot functions of the registering module
// work on instances made by any other.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "runtime/compat.h"

namespace rt {

// Bits of FunctionObject::flags.
constexpr int FUNC_STATIC = 0x01;
constexpr int FUNC_NATIVE_METHOD = 0x04;
constexpr int FUNC_COROUTINE = 0x08;

// Entry of a METH_METHOD | METH_FASTCALL | METH_KEYWORDS method record.
using MethodWithClass = PyObject* (*)(PyObject* self, PyTypeObject* owner, PyObject* const* args,
                                      size_t nargs, PyObject* kwnames);

// Fills both defaults caches: a new 2-tuple (positional defaults: tuple or
// None; keyword defaults: dict or None), or null with an exception set.
using DefaultsProvider = PyObject* (*)(PyObject* func);

// Begins with the layout of the interpreter's built-in function object, so
// code that reads built-in functions through m_ml and m_self reads these too.
struct FunctionObject {
    PyObject_HEAD
    PyMethodDef* m_ml;            // not owned
    PyObject* m_self;             // the object itself; not a counted reference
    PyObject* m_module;           // owned, may be null: __module__
    PyObject* m_weakreflist;      // weak references to this object
    vectorcallfunc vectorcall;    // chosen at construction; null: calls go through tp_call
    PyObject* func_dict;          // owned, made on first use: __dict__
    PyObject* func_name;          // owned, made on first read: __name__
    PyObject* func_qualname;      // owned, always set: __qualname__
    PyObject* func_doc;           // owned, made on first read: __doc__
    PyObject* func_globals;       // owned, always set: __globals__
    PyObject* func_code;          // owned, may be null: __code__
    PyObject* func_closure;       // owned, may be null; not exposed
    PyObject* owner_class;        // owned, may be null: the class handed to METH_METHOD entries
    void* defaults_block;         // PyObject_Malloc'd; its head holds owned references
    int32_t defaults_object_count;  // object references at the head of defaults_block
    uint64_t defaults_block_size;   // bytes in defaults_block; 0 when there is none
    int32_t flags;                // FUNC_* bits
    PyObject* func_defaults;      // owned, may be null: cache of __defaults__
    PyObject* func_kwdefaults;    // owned, may be null: cache of __kwdefaults__
    DefaultsProvider defaults_provider;  // may be null
    PyObject* func_annotations;   // owned, made on first read: __annotations__
    PyObject* is_coroutine_cache; // owned, made on first read: _is_coroutine
};

// Modules compiled elsewhere read these objects through the built-in function
// layout and through the fields above: none of them may move.
static_assert(compat::begins_like_builtin_function<FunctionObject>(), "the built-in function layout");
static_assert(offsetof(FunctionObject, func_dict) == compat::kBuiltinFunctionSize, "func_dict");
static_assert(sizeof(void*) != 8 ||
                  (offsetof(FunctionObject, defaults_object_count) == 128 &&
                   offsetof(FunctionObject, defaults_block_size) == 136 &&
                   offsetof(FunctionObject, flags) == 144 &&
                   offsetof(FunctionObject, func_defaults) == 152 &&
                   offsetof(FunctionObject, is_coroutine_cache) == 184 && sizeof(FunctionObject) == 192),
              "the shared instance layout");

// The registered type of this kind named like `own` (the part of its name
// after the last "."), or `own` itself, readied and registered, when none is.
// New reference, or null with an exception set.
PyTypeObject* fetch_shared_type(PyTypeObject* own) noexcept;

// fetch_shared_type() with this module's own function type.
PyTypeObject* fetch_function_type() noexcept;

// A function object of g_runtime.function_type for the native entry `ml`,
// whose convention decides the call path. `qualname` and `globals` are
// required; `closure`, `module` (the value of __module__) and `code` may be
// null. New reference, or null with an exception set (SystemError for a
// convention the type does not serve).
PyObject* function_new(PyMethodDef* ml, int flags, PyObject* qualname, PyObject* closure,
                       PyObject* module, PyObject* globals, PyObject* code) noexcept;

}  // namespace rt
