#include "runtime/compat.h"

#include <structmember.h>

namespace rt {
namespace compat {

#if PY_VERSION_HEX >= 0x030D0000

namespace {

// Puts `descr` (a new reference, or null with an exception set) in `dict`
// under its own name; a descriptor an earlier attempt put there is replaced
// by its equal.
int add_descriptor(PyObject* dict, PyObject* descr) noexcept {
    if (!descr) return -1;
    int result = PyDict_SetItem(dict, PyDescr_NAME(descr), descr);
    Py_DECREF(descr);
    return result;
}

}  // namespace

int type_ready(PyTypeObject* type) noexcept {
    if (type->tp_flags & Py_TPFLAGS_READY) return 0;
    if (!type->tp_dict) {
        type->tp_dict = PyDict_New();
        if (!type->tp_dict) return -1;
    }
    PyObject* dict = type->tp_dict;
    // The runtime's types have instance methods only (no METH_CLASS,
    // METH_STATIC or METH_COEXIST), whose descriptors are made as
    // PyType_Ready makes them.
    for (PyMethodDef* m = type->tp_methods; m && m->ml_name; ++m)
        if (add_descriptor(dict, PyDescr_NewMethod(type, m)) < 0) return -1;
    for (PyMemberDef* m = type->tp_members; m && m->name; ++m)
        if (add_descriptor(dict, PyDescr_NewMember(type, m)) < 0) return -1;
    for (PyGetSetDef* g = type->tp_getset; g && g->name; ++g)
        if (add_descriptor(dict, PyDescr_NewGetSet(type, g)) < 0) return -1;
    return PyType_Ready(type);
}

#endif

#if PY_VERSION_HEX >= 0x030C0000

uint64_t g_dict_generation = 1;

namespace {

// The watcher's slot, once it has one; -2 once the interpreter refused one.
int g_watcher_id = -1;

int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++g_dict_generation;
    return 0;
}

}  // namespace

DictVersion dict_version(PyObject* dict) noexcept {
    if (g_watcher_id == -1) {
        g_watcher_id = PyDict_AddWatcher(on_dict_event);
        if (g_watcher_id < 0) {
            PyErr_Clear();
            g_watcher_id = -2;
        }
    }
    if (g_watcher_id < 0) return {};
    if (PyDict_Watch(g_watcher_id, dict) < 0) {
        PyErr_Clear();
        return {};
    }
    return {dict, g_dict_generation};
}

#endif

}  // namespace compat
}  // namespace rt
