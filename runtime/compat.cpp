#include "runtime/compat.h"

namespace rt {
namespace compat {

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
