// Name lookup and attribute access.
//
// Every name passed here is an interned str whose hash was computed once when
// it was made; dictionary lookups reuse that hash.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "runtime/runtime_state.h"

namespace rt {

// Memo of one lookup site of a module global. It borrows the value found: the
// borrow is only used while the module dictionary's version tag still equals
// `version`, which proves the dictionary still holds the value.
struct SiteMemo {
    uint64_t version = 0;       // ma_version_tag at the last search (never 0 after one)
    PyObject* value = nullptr;  // borrowed; null when the name was not in the dictionary
};

// The part of get_global() past a memo hit: the builtins fallback of a name
// the dictionary lacked, or a new search after the dictionary changed.
PyObject* get_global_search(SiteMemo& memo, PyObject* name) noexcept;

// Looks `name` up in the module dictionary, then in builtins.
// New reference, or null with NameError or another exception set.
inline PyObject* get_global(SiteMemo& memo, PyObject* name) noexcept {
    PyObject* value = memo.value;
    if (value && reinterpret_cast<PyDictObject*>(g_runtime.globals)->ma_version_tag == memo.version) {
        Py_INCREF(value);
        return value;
    }
    return get_global_search(memo, name);
}

// Looks `name` up in the builtins module. Builtins are never memoised.
// New reference, or null with NameError or another exception set.
PyObject* get_builtin(PyObject* name) noexcept;

// obj.name. New reference, or null with the exception set.
inline PyObject* get_attr(PyObject* obj, PyObject* name) noexcept {
    getattrofunc getattro = Py_TYPE(obj)->tp_getattro;
    if (getattro) return getattro(obj, name);
    return PyObject_GetAttr(obj, name);
}

// obj.name, where a missing attribute is not an error: null with no exception
// set means "absent"; null with an exception set is any other failure.
PyObject* get_attr_noerror(PyObject* obj, PyObject* name) noexcept;

}  // namespace rt
