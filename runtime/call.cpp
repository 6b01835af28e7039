#include "runtime/call.h"

#include "runtime/compiler.h"
#include "runtime/function.h"
#include "runtime/protocol.h"
#include "runtime/runtime_state.h"

namespace rt {

namespace {

RT_COLD void raise_null_without_error() noexcept {
    PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
}

inline PyObject* check_result(PyObject* result) noexcept {
    if (!result && !PyErr_Occurred()) raise_null_without_error();
    return result;
}

// 1 when `func` is a built-in function (or one of the module's function
// objects, which share the built-in layout) whose convention includes `flag`
// and whose native entry receives m_self. A native method of the function type
// takes its receiver from the arguments, which only its vector-call entry
// knows: it is never entered directly.
inline bool takes_direct_entry(PyObject* func, int flag) noexcept {
    PyTypeObject* type = Py_TYPE(func);
    if (type == &PyCFunction_Type)
        return reinterpret_cast<PyCFunctionObject*>(func)->m_ml->ml_flags & flag;
    PyTypeObject* function_type = g_runtime.function_type ? g_runtime.function_type : &PyCFunction_Type;
    // The exact type first: the kind test walks the MRO of everything else.
    if (type != function_type && !is_function_kind(type, function_type, &PyCFunction_Type)) return false;
    if (!(reinterpret_cast<PyCFunctionObject*>(func)->m_ml->ml_flags & flag)) return false;
    if (function_type == &PyCFunction_Type || (type != function_type && !is_subtype(type, function_type)))
        return true;
    int flags = reinterpret_cast<FunctionObject*>(func)->flags;
    return (flags & (FUNC_NATIVE_METHOD | FUNC_STATIC)) != FUNC_NATIVE_METHOD;
}

}  // namespace

int is_function_kind(PyTypeObject* type, PyTypeObject* a, PyTypeObject* b) noexcept {
    if (type == a || type == b) return 1;
    PyObject* mro = type->tp_mro;
    if (mro) {
        Py_ssize_t n = PyTuple_GET_SIZE(mro);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* base = PyTuple_GET_ITEM(mro, i);
            if (base == reinterpret_cast<PyObject*>(a) || base == reinterpret_cast<PyObject*>(b))
                return 1;
        }
        return 0;
    }
    // Without an MRO, is_subtype follows the base chain.
    return is_subtype(type, a) || is_subtype(type, b);
}

PyObject* call(PyObject* callable, PyObject* args, PyObject* kwargs) noexcept {
    ternaryfunc slot = Py_TYPE(callable)->tp_call;
    if (!slot) return PyObject_Call(callable, args, kwargs);
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = slot(callable, args, kwargs);
    Py_LeaveRecursiveCall();
    return check_result(result);
}

PyObject* call_builtin_direct(PyObject* func, PyObject* arg) noexcept {
    PyCFunctionObject* cfunc = reinterpret_cast<PyCFunctionObject*>(func);
    PyCFunction entry = cfunc->m_ml->ml_meth;
    PyObject* self = (cfunc->m_ml->ml_flags & METH_STATIC) ? nullptr : cfunc->m_self;
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = entry(self, arg);
    Py_LeaveRecursiveCall();
    return check_result(result);
}

PyObject* call_fast(PyObject* callable, PyObject* const* args, size_t nargsf) noexcept {
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    if (n == 0 && takes_direct_entry(callable, METH_NOARGS))
        return call_builtin_direct(callable, nullptr);
    if (n == 1 && takes_direct_entry(callable, METH_O))
        return call_builtin_direct(callable, args[0]);
    PyTypeObject* type = Py_TYPE(callable);
    if (PyType_HasFeature(type, _Py_TPFLAGS_HAVE_VECTORCALL)) {
        vectorcallfunc func = *reinterpret_cast<vectorcallfunc*>(
            reinterpret_cast<char*>(callable) + type->tp_vectorcall_offset);
        if (func) return func(callable, args, static_cast<size_t>(n), nullptr);
    }
    if (n == 0) return call(callable, g_runtime.empty_tuple, nullptr);
    PyObject* tuple = PyTuple_New(n);
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(tuple, i, args[i]);
    }
    PyObject* result = call(callable, tuple, nullptr);
    Py_DECREF(tuple);
    return result;
}

}  // namespace rt
