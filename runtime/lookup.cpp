#include "runtime/lookup.h"

#include "runtime/compiler.h"
#include "runtime/protocol.h"
#include "runtime/ref.h"
#include "runtime/runtime_state.h"

namespace rt {

namespace {

// NameError for `name`. Its text is made once per name and kept in the
// runtime record, so a failure repeated at one site formats nothing.
RT_COLD void raise_name_error(PyObject* name) noexcept {
    PyObject*& texts = g_runtime.name_error_texts;
    if (PyObject* text = texts ? compat::dict_get_hashed(texts, name) : nullptr) {
        PyErr_SetObject(PyExc_NameError, text);
        return;
    }
    Ref made = Ref::steal(PyUnicode_FromFormat("name '%U' is not defined", name));
    if (!made) return;
    // A text that cannot be kept (no memory) is simply made again next time;
    // the NameError itself is still raised.
    if (!texts) texts = PyDict_New();
    if (!texts || PyDict_SetItem(texts, name, made.get()) < 0) PyErr_Clear();
    PyErr_SetObject(PyExc_NameError, made.get());
}

// 1 when `dict` maps the very key `name` to the very object `value`. Compares
// pointers only, so no key's __eq__ runs and nothing can change the dictionary.
bool dict_holds(PyObject* dict, PyObject* name, PyObject* value) noexcept {
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    while (PyDict_Next(dict, &pos, &key, &item))
        if (key == name) return item == value;
    return false;
}

}  // namespace

PyObject* get_builtin(PyObject* name) noexcept {
    PyObject* result = get_attr_noerror(g_runtime.builtins, name);
    if (!result && !PyErr_Occurred()) raise_name_error(name);
    return result;
}

PyObject* get_attr_memo_search(AttrMemo& memo, PyObject* obj, PyObject* name) noexcept {
    PyObject* value = get_attr(obj, name);
    if (!value) return nullptr;
    PyTypeObject* type = Py_TYPE(obj);
    getattrofunc getattro = type->tp_getattro;
    if (getattro != PyObject_GenericGetAttr && getattro != PyModule_Type.tp_getattro) return value;
    // With nothing of that name on the type (the lookup runs no Python code)
    // both reads take the instance dictionary's entry when there is one.
    if (compat::type_lookup(type, name) || !compat::type_version_valid(type) ||
        !compat::instance_dict_changes_seen(type))
        return value;
    PyObject** slot = compat::instance_dict_slot(obj);
    if (!slot || !*slot || !PyDict_CheckExact(*slot) || !dict_holds(*slot, name, value)) return value;
    memo.type = type;
    memo.type_version = compat::type_version(type);
    memo.dict_version = compat::dict_version(*slot);
    memo.value = value;
    return value;
}

PyObject* get_global_search(SiteMemo& memo, PyObject* name) noexcept {
    PyObject* value;
    int found = memo_lookup(memo, g_runtime.module_dict, name, value);
    if (found > 0) {
        Py_INCREF(value);
        return value;
    }
    return found == 0 ? get_builtin(name) : nullptr;
}

namespace {

// Clears a pending AttributeError: a missing attribute is no error. Any other
// exception stays pending.
inline void clear_attribute_error() noexcept {
    PyObject* type = PyErr_Occurred();
    if (type && (type == PyExc_AttributeError ||
                 exception_matches_for_lookup(type, PyExc_AttributeError)))
        PyErr_Clear();
}

// After an attribute read gave null: a missing attribute is no error.
inline PyObject* suppress_attribute_error(PyObject* result) noexcept {
    if (!result) clear_attribute_error();
    return result;
}

// "__getattr__", interned and hashed at its first use and kept in the runtime
// record; null with an exception when it cannot be made.
PyObject* getattr_hook_name() noexcept {
    PyObject*& hook_name = g_runtime.getattr_hook_name;
    if (!hook_name) {
        Ref made = Ref::steal(PyUnicode_InternFromString("__getattr__"));
        if (!made || PyObject_Hash(made.get()) == -1) return nullptr;
        hook_name = made.release();
    }
    return hook_name;
}

// A module's own read is the generic one; when that raises AttributeError,
// the module's __getattr__ hook looked up in the module dictionary and called
// with the name; without a hook, an AttributeError. Followed by the no-error
// rule, this gives the same answer with each step done once: a module without
// a hook answers a missing name with no exception at all (the builtins
// fallback of every global the module lacks), and a module with one has its
// dictionary searched once before the hook is called.
//
// The generic read itself, for an object of the module type with nothing of
// that name on the type, is the search of the module's dictionary alone: that
// search is made here directly (a missing name is the builtins fallback of
// every global the module lacks, and the repeated failure of a missing one).
// An AttributeError raised by that search (a key's comparison) is the
// generic read's AttributeError: the hook is asked next.
PyObject* module_attr_noerror(PyObject* module, PyObject* name) noexcept {
    PyObject* found;
    // Every module has the slot of its dictionary (the module type's, which
    // subclasses inherit). A module made without a dictionary
    // (ModuleType.__new__ alone, before 3.11) has it empty, and no hook to
    // ask: its read is the generic one alone.
    Ref dict = Ref::borrow(*compat::instance_dict_slot(module));
    if (!dict) return compat::generic_getattr_noerror(module, name);
    if (Py_TYPE(module) == &PyModule_Type && !compat::type_lookup(&PyModule_Type, name)) {
        found = PyDict_GetItemWithError(dict.get(), name);
        if (found) {
            Py_INCREF(found);
            return found;
        }
        clear_attribute_error();
    } else {
        found = compat::generic_getattr_noerror(module, name);
    }
    if (found || PyErr_Occurred()) return found;
    PyObject* hook_name = getattr_hook_name();
    if (!hook_name) {
        PyErr_Clear();
        return nullptr;
    }
    Ref hook = Ref::borrow(PyDict_GetItemWithError(dict.get(), hook_name));
    if (!hook) {
        // The search for the hook failed, or found none (no error pending).
        if (compat::kModuleHookSearchErrorsPass)
            clear_attribute_error();
        else
            PyErr_Clear();
        return nullptr;
    }
    PyObject* args[1] = {name};
    return suppress_attribute_error(PyObject_Vectorcall(hook.get(), args, 1, nullptr));
}

}  // namespace

PyObject* get_attr_noerror(PyObject* obj, PyObject* name) noexcept {
    getattrofunc getattro = Py_TYPE(obj)->tp_getattro;
    if (getattro == PyObject_GenericGetAttr)
        return compat::generic_getattr_noerror(obj, name);
    if (getattro == PyModule_Type.tp_getattro) return module_attr_noerror(obj, name);
    return suppress_attribute_error(get_attr(obj, name));
}

}  // namespace rt
