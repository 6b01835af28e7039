#include "runtime/lookup.h"

#include "runtime/compiler.h"
#include "runtime/protocol.h"
#include "runtime/runtime_state.h"

namespace rt {

namespace {

inline Py_hash_t cached_hash(PyObject* name) noexcept {
    return reinterpret_cast<PyASCIIObject*>(name)->hash;
}

// "__getattr__", interned by the interpreter at its first use.
_Py_Identifier module_getattr_name = {nullptr, "__getattr__", nullptr};

RT_COLD void raise_name_error(PyObject* name) noexcept {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
}

}  // namespace

PyObject* get_builtin(PyObject* name) noexcept {
    PyObject* result = get_attr_noerror(g_runtime.builtins, name);
    if (!result && !PyErr_Occurred()) raise_name_error(name);
    return result;
}

PyObject* get_global_search(SiteMemo& memo, PyObject* name) noexcept {
    PyDictObject* dict = reinterpret_cast<PyDictObject*>(g_runtime.globals);
    if (dict->ma_version_tag == memo.version) {
        if (memo.value) {
            Py_INCREF(memo.value);
            return memo.value;
        }
        return get_builtin(name);
    }
    PyObject* value = _PyDict_GetItem_KnownHash(g_runtime.globals, name, cached_hash(name));
    // A search that failed (a key's __eq__ raised) proves nothing about the
    // name: it is not memoised as absent, so the next use searches again.
    if (!value && PyErr_Occurred()) return nullptr;
    memo.version = dict->ma_version_tag;
    memo.value = value;
    if (value) {
        Py_INCREF(value);
        return value;
    }
    return get_builtin(name);
}

PyObject* get_attr_noerror(PyObject* obj, PyObject* name) noexcept {
    getattrofunc getattro = Py_TYPE(obj)->tp_getattro;
    if (getattro == PyObject_GenericGetAttr)
        return _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
    if (getattro == PyModule_Type.tp_getattro) {
        // A module's own read is the generic one, then the module's
        // __getattr__, then a formatted AttributeError. Where the module has
        // no __getattr__ the answer is the generic read's, so a missing name
        // (the builtins fallback of every global the module lacks) costs
        // no exception at all.
        PyObject* found = _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
        if (found || PyErr_Occurred()) return found;
        PyObject* dict = PyModule_GetDict(obj);
        if (!dict) return nullptr;
        PyObject* hook = _PyDict_GetItemIdWithError(dict, &module_getattr_name);
        if (!hook) return nullptr;  // absent, or the dictionary's error
    }
    PyObject* result = get_attr(obj, name);
    if (!result) {
        PyObject* type = PyErr_Occurred();
        if (type && (type == PyExc_AttributeError ||
                     exception_matches_for_lookup(type, PyExc_AttributeError)))
            PyErr_Clear();
    }
    return result;
}

}  // namespace rt
