#include "runtime/lookup.h"

#include "runtime/protocol.h"
#include "runtime/runtime_state.h"

namespace rt {

namespace {

inline Py_hash_t cached_hash(PyObject* name) noexcept {
    return reinterpret_cast<PyASCIIObject*>(name)->hash;
}

[[gnu::cold, gnu::noinline]] void raise_name_error(PyObject* name) noexcept {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
}

}  // namespace

PyObject* get_builtin(PyObject* name) noexcept {
    PyObject* result = get_attr_noerror(g_runtime.builtins, name);
    if (!result && !PyErr_Occurred()) raise_name_error(name);
    return result;
}

PyObject* get_global(SiteMemo& memo, PyObject* name) noexcept {
    PyDictObject* dict = reinterpret_cast<PyDictObject*>(g_runtime.globals);
    if (dict->ma_version_tag == memo.version) {
        if (memo.value) {
            Py_INCREF(memo.value);
            return memo.value;
        }
        return get_builtin(name);
    }
    PyObject* value = _PyDict_GetItem_KnownHash(g_runtime.globals, name, cached_hash(name));
    memo.version = dict->ma_version_tag;
    memo.value = value;
    if (value) {
        Py_INCREF(value);
        return value;
    }
    if (PyErr_Occurred()) return nullptr;
    return get_builtin(name);
}

PyObject* get_attr(PyObject* obj, PyObject* name) noexcept {
    getattrofunc getattro = Py_TYPE(obj)->tp_getattro;
    if (getattro) return getattro(obj, name);
    return PyObject_GetAttr(obj, name);
}

PyObject* get_attr_noerror(PyObject* obj, PyObject* name) noexcept {
    if (Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr)
        return _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
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
