#include "runtime/import.h"

#include "runtime/compiler.h"
#include "runtime/lookup.h"
#include "runtime/protocol.h"
#include "runtime/ref.h"
#include "runtime/runtime_state.h"

namespace rt {

namespace {

RT_COLD PyObject* raise_cannot_import(PyObject* name) noexcept {
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return nullptr;
}

}  // namespace

PyObject* import_absolute(PyObject* name, PyObject* fromlist) noexcept {
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return nullptr;
    return PyImport_ImportModuleLevelObject(name, g_runtime.module_dict, locals.get(), fromlist, 0);
}

PyObject* import_from(PyObject* module, PyObject* name) noexcept {
    PyObject* value = get_attr(module, name);
    if (value) return value;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return raise_cannot_import(name);
    PyErr_Clear();
    const char* module_name = PyModule_GetName(module);
    if (!module_name) return raise_cannot_import(name);
    Ref full_name = Ref::steal(PyUnicode_FromFormat("%s.%U", module_name, name));
    if (!full_name) return raise_cannot_import(name);
    value = PyImport_GetModule(full_name.get());
    if (!value) return raise_cannot_import(name);
    return value;
}

PyObject* import_module(PyObject* name) noexcept {
    Ref module = Ref::steal(PyImport_GetModule(name));
    if (module) {
        bool initializing = false;
        Ref spec = Ref::steal(get_attr_noerror(module.get(), g_runtime.names.spec));
        if (spec) {
            Ref flag = Ref::steal(get_attr_noerror(spec.get(), g_runtime.names.initializing));
            initializing = flag && is_true(flag.get()) != 0;
        }
        PyErr_Clear();
        if (!initializing) return module.release();
    } else {
        PyErr_Clear();
    }
    return import_absolute(name, nullptr);
}

}  // namespace rt
