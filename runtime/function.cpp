#include "runtime/function.h"

#include <cstring>
#include <utility>

#include <structmember.h>

#include "runtime/compiler.h"
#include "runtime/lookup.h"
#include "runtime/ref.h"
#include "runtime/runtime_state.h"

namespace rt {

namespace {

constexpr int kConventionMask = METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O | METH_FASTCALL |
                                METH_METHOD;
constexpr int kClassicMask = 0xF;

inline FunctionObject* as_function(PyObject* op) noexcept {
    return reinterpret_cast<FunctionObject*>(op);
}

// The receiver rule: a native method that is not static takes its receiver
// from the first positional argument.
inline bool receiver_from_args(const FunctionObject* f) noexcept {
    return (f->flags & (FUNC_NATIVE_METHOD | FUNC_STATIC)) == FUNC_NATIVE_METHOD;
}

// ---- errors (cold) --------------------------------------------------------

RT_COLD PyObject* raise_needs_argument(const FunctionObject* f) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() needs an argument", f->m_ml->ml_name);
    return nullptr;
}

RT_COLD PyObject* raise_no_keywords(const FunctionObject* f) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", f->m_ml->ml_name);
    return nullptr;
}

RT_COLD PyObject* raise_no_arguments(const FunctionObject* f, Py_ssize_t n) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", f->m_ml->ml_name, n);
    return nullptr;
}

RT_COLD PyObject* raise_one_argument(const FunctionObject* f, Py_ssize_t n) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", f->m_ml->ml_name, n);
    return nullptr;
}

RT_COLD PyObject* raise_unbound_needs_argument(const FunctionObject* f) noexcept {
    PyErr_Format(PyExc_TypeError, "unbound method %.200S() needs an argument", f->func_qualname);
    return nullptr;
}

RT_COLD PyObject* raise_bad_flags() noexcept {
    PyErr_SetString(PyExc_SystemError, "Bad call flags for CyFunction");
    return nullptr;
}

RT_COLD int raise_type_error(const char* message) noexcept {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
}

// Picks the receiver by the receiver rule; one taken from the arguments is
// no longer counted among them. False, with the error set, when it should be
// taken but there is no argument.
inline bool take_receiver(FunctionObject* f, PyObject* const*& args, Py_ssize_t& n, PyObject*& self) noexcept {
    if (!receiver_from_args(f)) {
        self = f->m_self;
        return true;
    }
    if (n == 0) {
        raise_needs_argument(f);
        return false;
    }
    self = args[0];
    ++args;
    --n;
    return true;
}

// ---- vector-call entries --------------------------------------------------
//
// Each applies the receiver rule, then checks keywords, then the count, and
// ends in the native entry with the caller's own argument array.

PyObject* vectorcall_noargs(PyObject* func, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    FunctionObject* f = as_function(func);
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    PyObject* self;
    if (!take_receiver(f, args, n, self)) return nullptr;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) return raise_no_keywords(f);
    if (n != 0) return raise_no_arguments(f, n);
    return f->m_ml->ml_meth(self, nullptr);
}

PyObject* vectorcall_o(PyObject* func, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    FunctionObject* f = as_function(func);
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    PyObject* self;
    if (!take_receiver(f, args, n, self)) return nullptr;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) return raise_no_keywords(f);
    if (n != 1) return raise_one_argument(f, n);
    return f->m_ml->ml_meth(self, args[0]);
}

PyObject* vectorcall_fast_keywords(PyObject* func, PyObject* const* args, size_t nargsf,
                                   PyObject* kwnames) noexcept {
    FunctionObject* f = as_function(func);
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    PyObject* self;
    if (!take_receiver(f, args, n, self)) return nullptr;
    auto entry = reinterpret_cast<PyCFunctionFastWithKeywords>(reinterpret_cast<void (*)()>(f->m_ml->ml_meth));
    return entry(self, args, n, kwnames);
}

PyObject* vectorcall_fast_keywords_class(PyObject* func, PyObject* const* args, size_t nargsf,
                                         PyObject* kwnames) noexcept {
    FunctionObject* f = as_function(func);
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    PyObject* self;
    if (!take_receiver(f, args, n, self)) return nullptr;
    auto entry = reinterpret_cast<MethodWithClass>(reinterpret_cast<void (*)()>(f->m_ml->ml_meth));
    return entry(self, reinterpret_cast<PyTypeObject*>(f->owner_class), args, static_cast<size_t>(n),
                 kwnames);
}

// ---- calls with an argument tuple -----------------------------------------

// Calls a vector-call `entry` with the keyword dictionary `kw` (or null)
// turned into trailing values and a tuple of their names.
PyObject* call_vector_with_dict(PyObject* func, vectorcallfunc entry, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kw) noexcept {
    if (!kw || PyDict_GET_SIZE(kw) == 0) return entry(func, args, static_cast<size_t>(nargs), nullptr);
    Py_ssize_t nkw = PyDict_GET_SIZE(kw);
    PyObject** stack = static_cast<PyObject**>(PyMem_Malloc(static_cast<size_t>(nargs + nkw) * sizeof(PyObject*)));
    if (!stack) return PyErr_NoMemory();
    if (nargs) std::memcpy(stack, args, static_cast<size_t>(nargs) * sizeof(PyObject*));
    PyObject* kwnames = PyTuple_New(nkw);
    if (!kwnames) {
        PyMem_Free(stack);
        return nullptr;
    }
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    bool all_str = true;
    while (i < nkw && PyDict_Next(kw, &pos, &key, &value)) {
        Py_INCREF(key);
        Py_INCREF(value);
        PyTuple_SET_ITEM(kwnames, i, key);
        stack[nargs + i] = value;
        all_str = all_str && PyUnicode_Check(key);
        ++i;
    }
    PyObject* result;
    if (all_str) {
        result = entry(func, stack, static_cast<size_t>(nargs), kwnames);
    } else {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        result = nullptr;
    }
    Py_DECREF(kwnames);
    for (Py_ssize_t k = 0; k < i; ++k) Py_DECREF(stack[nargs + k]);
    PyMem_Free(stack);
    return result;
}

// Calls the native entry of a classic (tuple-taking) convention.
PyObject* call_with_receiver(PyObject* func, PyObject* self, PyObject* args, PyObject* kw) noexcept {
    FunctionObject* f = as_function(func);
    PyMethodDef* ml = f->m_ml;
    int kind = ml->ml_flags & kClassicMask;
    if (kind == (METH_VARARGS | METH_KEYWORDS)) {
        auto entry = reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(ml->ml_meth));
        return entry(self, args, kw);
    }
    if (kind != METH_VARARGS && kind != METH_NOARGS && kind != METH_O) return raise_bad_flags();
    if (kw && PyDict_Size(kw) != 0) return raise_no_keywords(f);
    if (kind == METH_VARARGS) return ml->ml_meth(self, args);
    Py_ssize_t size = PyTuple_GET_SIZE(args);
    if (kind == METH_NOARGS) {
        if (size != 0) return raise_no_arguments(f, size);
        return ml->ml_meth(self, nullptr);
    }
    if (size != 1) return raise_one_argument(f, size);
    return ml->ml_meth(self, PyTuple_GET_ITEM(args, 0));
}

// ---- type slots -----------------------------------------------------------

PyObject* function_call(PyObject* func, PyObject* args, PyObject* kw) noexcept {
    FunctionObject* f = as_function(func);
    if (f->vectorcall)
        return call_vector_with_dict(func, f->vectorcall, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), kw);
    if (!receiver_from_args(f)) return call_with_receiver(func, f->m_self, args, kw);
    Ref rest = Ref::steal(PyTuple_GetSlice(args, 1, PY_SSIZE_T_MAX));
    if (!rest) return nullptr;
    PyObject* self = PyTuple_GetItem(args, 0);
    if (!self) {
        PyErr_Clear();
        return raise_unbound_needs_argument(f);
    }
    return call_with_receiver(func, self, rest.get(), kw);
}

PyObject* function_descr_get(PyObject* func, PyObject* obj, PyObject* /*owner*/) noexcept {
    if (!obj) {
        Py_INCREF(func);
        return func;
    }
    return PyMethod_New(func, obj);
}

PyObject* function_repr(PyObject* func) noexcept {
    return PyUnicode_FromFormat("<cyfunction %U at %p>", as_function(func)->func_qualname, func);
}

int function_traverse(PyObject* func, visitproc visit, void* arg) noexcept {
    FunctionObject* f = as_function(func);
    Py_VISIT(f->func_closure);
    Py_VISIT(f->m_module);
    Py_VISIT(f->func_dict);
    Py_VISIT(f->func_name);
    Py_VISIT(f->func_qualname);
    Py_VISIT(f->func_doc);
    Py_VISIT(f->func_globals);
    Py_VISIT(f->func_code);
    Py_VISIT(f->owner_class);
    Py_VISIT(f->func_defaults);
    Py_VISIT(f->func_kwdefaults);
    Py_VISIT(f->func_annotations);
    Py_VISIT(f->is_coroutine_cache);
    if (f->defaults_block) {
        PyObject** objects = static_cast<PyObject**>(f->defaults_block);
        for (int32_t i = 0; i < f->defaults_object_count; ++i) Py_VISIT(objects[i]);
    }
    return 0;
}

int function_clear(PyObject* func) noexcept {
    FunctionObject* f = as_function(func);
    Py_CLEAR(f->func_closure);
    Py_CLEAR(f->m_module);
    Py_CLEAR(f->func_dict);
    Py_CLEAR(f->func_name);
    Py_CLEAR(f->func_qualname);
    Py_CLEAR(f->func_doc);
    Py_CLEAR(f->func_globals);
    Py_CLEAR(f->func_code);
    Py_CLEAR(f->owner_class);
    Py_CLEAR(f->func_defaults);
    Py_CLEAR(f->func_kwdefaults);
    Py_CLEAR(f->func_annotations);
    Py_CLEAR(f->is_coroutine_cache);
    if (f->defaults_block) {
        PyObject** objects = static_cast<PyObject**>(f->defaults_block);
        for (int32_t i = 0; i < f->defaults_object_count; ++i) Py_CLEAR(objects[i]);
        PyObject_Free(f->defaults_block);
        f->defaults_block = nullptr;
    }
    return 0;
}

void function_dealloc(PyObject* func) noexcept {
    PyObject_GC_UnTrack(func);
    if (as_function(func)->m_weakreflist) PyObject_ClearWeakRefs(func);
    function_clear(func);
    PyObject_GC_Del(func);
}

// ---- methods and members ----------------------------------------------------

// Pickles by name: the qualified name makes pickle store a reference to the
// global of that name in __module__, and makes copy return the object itself.
PyObject* function_reduce(PyObject* func, PyObject* /*args*/) noexcept {
    PyObject* qualname = as_function(func)->func_qualname;
    Py_INCREF(qualname);
    return qualname;
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {const_cast<char*>("__module__"), T_OBJECT, offsetof(FunctionObject, m_module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// ---- attributes -------------------------------------------------------------

PyObject* function_get_doc(PyObject* func, void*) noexcept {
    FunctionObject* f = as_function(func);
    if (!f->func_doc) {
        if (!f->m_ml->ml_doc) Py_RETURN_NONE;
        f->func_doc = PyUnicode_FromString(f->m_ml->ml_doc);
        if (!f->func_doc) return nullptr;
    }
    Py_INCREF(f->func_doc);
    return f->func_doc;
}

int function_set_doc(PyObject* func, PyObject* value, void*) noexcept {
    replace(as_function(func)->func_doc, Ref::borrow(value ? value : Py_None));
    return 0;
}

PyObject* function_get_name(PyObject* func, void*) noexcept {
    FunctionObject* f = as_function(func);
    if (!f->func_name) {
        f->func_name = PyUnicode_InternFromString(f->m_ml->ml_name);
        if (!f->func_name) return nullptr;
    }
    Py_INCREF(f->func_name);
    return f->func_name;
}

int function_set_name(PyObject* func, PyObject* value, void*) noexcept {
    if (!value || !PyUnicode_Check(value)) return raise_type_error("__name__ must be set to a string object");
    replace(as_function(func)->func_name, Ref::borrow(value));
    return 0;
}

PyObject* function_get_qualname(PyObject* func, void*) noexcept {
    PyObject* qualname = as_function(func)->func_qualname;
    Py_INCREF(qualname);
    return qualname;
}

int function_set_qualname(PyObject* func, PyObject* value, void*) noexcept {
    if (!value || !PyUnicode_Check(value))
        return raise_type_error("__qualname__ must be set to a string object");
    replace(as_function(func)->func_qualname, Ref::borrow(value));
    return 0;
}

PyObject* function_get_dict(PyObject* func, void*) noexcept {
    FunctionObject* f = as_function(func);
    if (!f->func_dict) {
        f->func_dict = PyDict_New();
        if (!f->func_dict) return nullptr;
    }
    Py_INCREF(f->func_dict);
    return f->func_dict;
}

int function_set_dict(PyObject* func, PyObject* value, void*) noexcept {
    if (!value) return raise_type_error("function's dictionary may not be deleted");
    if (!PyDict_Check(value)) return raise_type_error("setting function's dictionary to a non-dict");
    replace(as_function(func)->func_dict, Ref::borrow(value));
    return 0;
}

PyObject* function_get_globals(PyObject* func, void*) noexcept {
    PyObject* globals = as_function(func)->func_globals;
    Py_INCREF(globals);
    return globals;
}

PyObject* function_get_closure(PyObject*, void*) noexcept {
    Py_RETURN_NONE;
}

PyObject* function_get_code(PyObject* func, void*) noexcept {
    PyObject* code = as_function(func)->func_code;
    if (!code) code = Py_None;
    Py_INCREF(code);
    return code;
}

// Fills both defaults caches from the provider.
int function_fill_defaults(FunctionObject* f) noexcept {
    Ref pair = Ref::steal(f->defaults_provider(reinterpret_cast<PyObject*>(f)));
    if (!pair) return -1;
    replace(f->func_defaults, Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0)));
    replace(f->func_kwdefaults, Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1)));
    return 0;
}

// Reads one defaults cache, filling it from the provider when it is empty.
PyObject* function_get_cached_defaults(FunctionObject* f, PyObject* FunctionObject::*field) noexcept {
    if (!(f->*field)) {
        if (!f->defaults_provider) Py_RETURN_NONE;
        if (function_fill_defaults(f) < 0) return nullptr;
    }
    Py_INCREF(f->*field);
    return f->*field;
}

// Stores an assigned defaults value. The values used by calls do not follow
// the assignment, which the warning says; when the warning is turned into an
// exception the value is stored all the same and the exception reported.
int function_store_defaults(PyObject*& field, PyObject* value, const char* warning) noexcept {
    int warned = PyErr_WarnEx(PyExc_RuntimeWarning, warning, 1);
    replace(field, Ref::borrow(value));
    return warned < 0 ? -1 : 0;
}

PyObject* function_get_defaults(PyObject* func, void*) noexcept {
    return function_get_cached_defaults(as_function(func), &FunctionObject::func_defaults);
}

int function_set_defaults(PyObject* func, PyObject* value, void*) noexcept {
    if (!value) value = Py_None;
    if (value != Py_None && !PyTuple_Check(value))
        return raise_type_error("__defaults__ must be set to a tuple object");
    return function_store_defaults(
        as_function(func)->func_defaults, value,
        "changes to cyfunction.__defaults__ will not currently affect the values used in function calls");
}

PyObject* function_get_kwdefaults(PyObject* func, void*) noexcept {
    return function_get_cached_defaults(as_function(func), &FunctionObject::func_kwdefaults);
}

int function_set_kwdefaults(PyObject* func, PyObject* value, void*) noexcept {
    if (!value) value = Py_None;
    if (value != Py_None && !PyDict_Check(value))
        return raise_type_error("__kwdefaults__ must be set to a dict object");
    return function_store_defaults(
        as_function(func)->func_kwdefaults, value,
        "changes to cyfunction.__kwdefaults__ will not currently affect the values used in function calls");
}

PyObject* function_get_annotations(PyObject* func, void*) noexcept {
    FunctionObject* f = as_function(func);
    if (!f->func_annotations) {
        f->func_annotations = PyDict_New();
        if (!f->func_annotations) return nullptr;
    }
    Py_INCREF(f->func_annotations);
    return f->func_annotations;
}

int function_set_annotations(PyObject* func, PyObject* value, void*) noexcept {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) return raise_type_error("__annotations__ must be set to a dict object");
    replace(as_function(func)->func_annotations, Ref::borrow(value));
    return 0;
}

// The marker asyncio uses to recognise coroutine functions: the one of
// asyncio.coroutines for functions made with FUNC_COROUTINE, else False.
PyObject* function_get_is_coroutine(PyObject* func, void*) noexcept {
    FunctionObject* f = as_function(func);
    if (!f->is_coroutine_cache) {
        if (!(f->flags & FUNC_COROUTINE)) {
            Py_INCREF(Py_False);
            f->is_coroutine_cache = Py_False;
        } else {
            const RuntimeNames& names = g_runtime.names;
            Ref fromlist = Ref::steal(PyList_New(1));
            if (!fromlist) return nullptr;
            Py_INCREF(names.is_coroutine);
            PyList_SET_ITEM(fromlist.get(), 0, names.is_coroutine);
            Ref module = Ref::steal(
                PyImport_ImportModuleLevelObject(names.asyncio_coroutines, nullptr, nullptr, fromlist.get(), 0));
            fromlist.reset();
            Ref marker = Ref::steal(module ? get_attr(module.get(), names.is_coroutine) : nullptr);
            if (!marker) {
                PyErr_Clear();
                marker = Ref::borrow(Py_True);
            }
            // The import ran Python code: another thread may have filled the cache.
            replace(f->is_coroutine_cache, std::move(marker));
        }
    }
    Py_INCREF(f->is_coroutine_cache);
    return f->is_coroutine_cache;
}

PyGetSetDef function_getset[] = {
    {const_cast<char*>("func_doc"), function_get_doc, function_set_doc, nullptr, nullptr},
    {const_cast<char*>("__doc__"), function_get_doc, function_set_doc, nullptr, nullptr},
    {const_cast<char*>("func_name"), function_get_name, function_set_name, nullptr, nullptr},
    {const_cast<char*>("__name__"), function_get_name, function_set_name, nullptr, nullptr},
    {const_cast<char*>("__qualname__"), function_get_qualname, function_set_qualname, nullptr, nullptr},
    {const_cast<char*>("func_dict"), function_get_dict, function_set_dict, nullptr, nullptr},
    {const_cast<char*>("__dict__"), function_get_dict, function_set_dict, nullptr, nullptr},
    {const_cast<char*>("func_globals"), function_get_globals, nullptr, nullptr, nullptr},
    {const_cast<char*>("__globals__"), function_get_globals, nullptr, nullptr, nullptr},
    {const_cast<char*>("func_closure"), function_get_closure, nullptr, nullptr, nullptr},
    {const_cast<char*>("__closure__"), function_get_closure, nullptr, nullptr, nullptr},
    {const_cast<char*>("func_code"), function_get_code, nullptr, nullptr, nullptr},
    {const_cast<char*>("__code__"), function_get_code, nullptr, nullptr, nullptr},
    {const_cast<char*>("func_defaults"), function_get_defaults, function_set_defaults, nullptr, nullptr},
    {const_cast<char*>("__defaults__"), function_get_defaults, function_set_defaults, nullptr, nullptr},
    {const_cast<char*>("__kwdefaults__"), function_get_kwdefaults, function_set_kwdefaults, nullptr, nullptr},
    {const_cast<char*>("__annotations__"), function_get_annotations, function_set_annotations, nullptr, nullptr},
    {const_cast<char*>("_is_coroutine"), function_get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr unsigned long kTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE |
                                     Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
static_assert(compat::flags_beside_version_tag(kTypeFlags) == 0x24C00, "the shared type's flags");

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#endif
PyTypeObject function_type = {
    PyVarObject_HEAD_INIT(&PyType_Type, 0)
    "_cython_3_0_12.cython_function_or_method",  // tp_name
    sizeof(FunctionObject),                      // tp_basicsize
    0,                                           // tp_itemsize
    function_dealloc,                            // tp_dealloc
    offsetof(FunctionObject, vectorcall),        // tp_vectorcall_offset
    nullptr,                                     // tp_getattr
    nullptr,                                     // tp_setattr
    nullptr,                                     // tp_as_async
    function_repr,                               // tp_repr
    nullptr,                                     // tp_as_number
    nullptr,                                     // tp_as_sequence
    nullptr,                                     // tp_as_mapping
    nullptr,                                     // tp_hash
    function_call,                               // tp_call
    nullptr,                                     // tp_str
    nullptr,                                     // tp_getattro
    nullptr,                                     // tp_setattro
    nullptr,                                     // tp_as_buffer
    kTypeFlags,                                  // tp_flags
    nullptr,                                     // tp_doc
    function_traverse,                           // tp_traverse
    function_clear,                              // tp_clear
    nullptr,                                     // tp_richcompare
    offsetof(FunctionObject, m_weakreflist),     // tp_weaklistoffset
    nullptr,                                     // tp_iter
    nullptr,                                     // tp_iternext
    function_methods,                            // tp_methods
    function_members,                            // tp_members
    function_getset,                             // tp_getset
    nullptr,                                     // tp_base
    nullptr,                                     // tp_dict
    function_descr_get,                          // tp_descr_get
    nullptr,                                     // tp_descr_set
    offsetof(FunctionObject, func_dict),         // tp_dictoffset
    nullptr,                                     // tp_init
    nullptr,                                     // tp_alloc
    nullptr,                                     // tp_new
    nullptr,                                     // tp_free
    nullptr,                                     // tp_is_gc
    nullptr,                                     // tp_bases
    nullptr,                                     // tp_mro
    nullptr,                                     // tp_cache
    nullptr,                                     // tp_subclasses
    nullptr,                                     // tp_weaklist
    nullptr,                                     // tp_del
    0,                                           // tp_version_tag
    nullptr,                                     // tp_finalize
    nullptr,                                     // tp_vectorcall
    // The slots some versions have after tp_vectorcall are left empty.
};
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

RT_COLD PyTypeObject* refuse_shared_type(const char* format, const char* name) noexcept {
    PyErr_Format(PyExc_TypeError, format, name);
    return nullptr;
}

}  // namespace

PyTypeObject* fetch_shared_type(PyTypeObject* own) noexcept {
    Ref registry = Ref::borrow(PyImport_AddModule(compat::kFunctionTypeRegistry));
    if (!registry) return nullptr;
    const char* dot = std::strrchr(own->tp_name, '.');
    const char* name = dot ? dot + 1 : own->tp_name;
    Ref found = Ref::steal(PyObject_GetAttrString(registry.get(), name));
    if (found) {
        if (!PyType_Check(found.get()))
            return refuse_shared_type("Shared Cython type %.200s is not a type object", name);
        if (reinterpret_cast<PyTypeObject*>(found.get())->tp_basicsize != own->tp_basicsize)
            return refuse_shared_type("Shared Cython type %.200s has the wrong size, try recompiling", name);
        return reinterpret_cast<PyTypeObject*>(found.release());
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    if (compat::type_ready(own) < 0) return nullptr;
    if (PyObject_SetAttrString(registry.get(), name, reinterpret_cast<PyObject*>(own)) < 0) return nullptr;
    Py_INCREF(own);
    return own;
}

PyTypeObject* fetch_function_type() noexcept {
    return fetch_shared_type(&function_type);
}

PyObject* function_new(PyMethodDef* ml, int flags, PyObject* qualname, PyObject* closure, PyObject* module,
                       PyObject* globals, PyObject* code) noexcept {
    FunctionObject* f = PyObject_GC_New(FunctionObject, g_runtime.function_type);
    if (!f) return nullptr;
    PyObject* op = reinterpret_cast<PyObject*>(f);
    f->flags = flags;
    f->m_weakreflist = nullptr;
    f->m_ml = ml;
    f->m_self = op;
    Py_XINCREF(closure);
    f->func_closure = closure;
    Py_XINCREF(module);
    f->m_module = module;
    f->func_dict = nullptr;
    f->func_name = nullptr;
    f->func_doc = nullptr;
    f->owner_class = nullptr;
    Py_INCREF(qualname);
    f->func_qualname = qualname;
    Py_INCREF(globals);
    f->func_globals = globals;
    Py_XINCREF(code);
    f->func_code = code;
    f->defaults_object_count = 0;
    f->defaults_block_size = 0;
    f->defaults_block = nullptr;
    f->func_defaults = nullptr;
    f->func_kwdefaults = nullptr;
    f->defaults_provider = nullptr;
    f->func_annotations = nullptr;
    f->is_coroutine_cache = nullptr;
    f->vectorcall = nullptr;
    switch (ml->ml_flags & kConventionMask) {
        case METH_VARARGS | METH_KEYWORDS:
            break;
        case METH_NOARGS:
            f->vectorcall = vectorcall_noargs;
            break;
        case METH_O:
            f->vectorcall = vectorcall_o;
            break;
        case METH_FASTCALL | METH_KEYWORDS:
            f->vectorcall = vectorcall_fast_keywords;
            break;
        case METH_METHOD | METH_FASTCALL | METH_KEYWORDS:
            f->vectorcall = vectorcall_fast_keywords_class;
            break;
        default:
            Py_DECREF(op);
            return raise_bad_flags();
    }
    PyObject_GC_Track(op);
    return op;
}

}  // namespace rt
