#include "runtime/function.h"

namespace rt {

// For now the module's functions are the interpreter's built-in function
// objects: they carry the name, the module and the native entry, and refuse
// arguments the way a no-argument callable does.

PyTypeObject* fetch_function_type() noexcept {
    Py_INCREF(&PyCFunction_Type);
    return &PyCFunction_Type;
}

PyObject* function_new(PyMethodDef* ml, int /*flags*/, PyObject* /*qualname*/, PyObject* /*closure*/,
                       PyObject* module, PyObject* /*globals*/, PyObject* /*code*/) noexcept {
    return PyCFunction_NewEx(ml, nullptr, module);
}

}  // namespace rt
