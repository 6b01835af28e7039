// Name lookup and attribute access.
//
// Every name passed here is an interned str whose hash was computed once when
// it was made; dictionary lookups reuse that hash.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "runtime/compat.h"
#include "runtime/runtime_state.h"

namespace rt {

// Memo of one site that looks a name up in one dictionary (a module global,
// the traceback switch). It borrows the value found: the borrow is only used
// while the dictionary is unchanged since the search (compat::dict_unchanged),
// which proves the dictionary still holds the value.
struct SiteMemo {
    compat::DictVersion version{};  // of the dictionary at the last search
    PyObject* value = nullptr;      // borrowed; null when the name was not in the dictionary
};

// dict[name] through the site's memo, for an interned, hashed name: 1 with the
// value (borrowed) in `value`, 0 when the dictionary lacks the name, -1 with
// the exception the search raised (a key's comparison). The dictionary is
// searched only when it changed since the memo's search. A failed search
// proves nothing about the name and is not remembered, so the next use
// searches again. The version is taken before the search: should the search
// itself change the dictionary, the memo is not trusted next time.
inline int memo_lookup(SiteMemo& memo, PyObject* dict, PyObject* name, PyObject*& value) noexcept {
    if (compat::dict_unchanged(dict, memo.version)) {
        value = memo.value;
        return value ? 1 : 0;
    }
    compat::DictVersion version = compat::dict_version(dict);
    value = compat::dict_get_hashed(dict, name);
    if (!value && PyErr_Occurred()) return -1;
    memo.version = version;
    memo.value = value;
    return value ? 1 : 0;
}

// The part of get_global() past a memo hit: the builtins fallback of a name
// the dictionary lacked, or a new search after the dictionary changed.
PyObject* get_global_search(SiteMemo& memo, PyObject* name) noexcept;

// Looks `name` up in the module dictionary, then in builtins.
// New reference, or null with NameError or another exception set.
inline PyObject* get_global(SiteMemo& memo, PyObject* name) noexcept {
    PyObject* value = memo.value;
    if (value && compat::dict_unchanged(g_runtime.module_dict, memo.version)) {
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

// Memo of one attribute-read site over a module global (os.getenv, gid.init,
// ...). A read is memoised only when the object's type has no attribute of
// that name and the read found the value in the object's instance dictionary,
// through the generic read or a module's read. The same read then gives the
// same object for as long as
//   - the object's type is the same type with the same valid version tag (any
//     change to the type or its bases, a descriptor or hook added included,
//     gives it a new tag), and
//   - the object's instance dictionary is the same dictionary, unchanged
//     (compat::dict_unchanged).
// The borrowed value is only used while that dictionary is unchanged, that is
// while it still holds the value. The type pointer is compared, never followed.
struct AttrMemo {
    PyTypeObject* type = nullptr;        // identity only
    unsigned int type_version = 0;
    compat::DictVersion dict_version{};  // of the dictionary the value was found in
    PyObject* value = nullptr;           // borrowed from that dictionary
};

// The part of get_attr_memo() past a memo hit: the read itself, and the memo
// refilled when the read qualifies.
PyObject* get_attr_memo_search(AttrMemo& memo, PyObject* obj, PyObject* name) noexcept;

// obj.name through the site's memo. New reference, or null with the exception
// the read raised.
inline PyObject* get_attr_memo(AttrMemo& memo, PyObject* obj, PyObject* name) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == memo.type && compat::type_version(type) == memo.type_version &&
        compat::type_version_valid(type)) {
        PyObject** slot = compat::instance_dict_slot(obj);
        if (slot && *slot && compat::dict_unchanged(*slot, memo.dict_version)) {
            Py_INCREF(memo.value);
            return memo.value;
        }
    }
    return get_attr_memo_search(memo, obj, name);
}

// The memos of one site that reads an attribute of a module global, as in
// os.getenv: the global's lookup and the attribute read.
struct GlobalAttrMemo {
    SiteMemo global;
    AttrMemo attr;
};

// global.attr for the module global `name`. New reference, or null with the
// lookup's or the read's exception.
inline PyObject* get_global_attr(GlobalAttrMemo& memo, PyObject* name, PyObject* attr) noexcept {
    PyObject* owner = get_global(memo.global, name);
    if (!owner) return nullptr;
    PyObject* value = get_attr_memo(memo.attr, owner, attr);
    Py_DECREF(owner);
    return value;
}

// obj.name, where a missing attribute is not an error: null with no exception
// set means "absent"; null with an exception set is any other failure.
PyObject* get_attr_noerror(PyObject* obj, PyObject* name) noexcept;

}  // namespace rt
