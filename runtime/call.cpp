#include "runtime/call.h"

#include "runtime/compat.h"
#include "runtime/compiler.h"
#include "runtime/function.h"
#include "runtime/lookup.h"
#include "runtime/protocol.h"
#include "runtime/runtime_state.h"

#include <utility>

namespace rt {

RT_COLD void raise_null_without_error() noexcept {
    PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
}

namespace {

constexpr const char kGuardText[] = " while calling a Python object";

// The interpreter's recursion guard (Py_EnterRecursiveCall and
// Py_LeaveRecursiveCall, with the same checks and the same RecursionError),
// reading the thread state once for both.
inline bool enter_guard(PyThreadState* tstate) noexcept {
    return compat::enter_recursive_call(tstate, kGuardText);
}

inline void leave_guard(PyThreadState* tstate) noexcept {
    compat::leave_recursive_call(tstate);
}

using compat::vectorcall_entry;

// The method a read of obj.name would bind to `obj`, when calling it with
// `obj` first is the same as calling what the read returns: the generic read,
// a type attribute whose type says so (Py_TPFLAGS_METHOD_DESCRIPTOR), and no
// instance dictionary that could hold the name instead. Borrowed; null when
// the attribute has to be read.
inline PyObject* unbound_method(PyObject* obj, PyObject* name) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro != PyObject_GenericGetAttr) return nullptr;
    PyObject* descr = compat::type_lookup(type, name);
    if (!descr || !PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR)) return nullptr;
    PyObject** dict = compat::instance_dict_slot(obj);
    return dict && *dict ? nullptr : descr;
}

// 1 when `func` is a built-in function (or one of the module's function
// objects, which share the built-in layout) whose convention includes `flag`
// and whose native entry receives m_self. A native method of the function type
// takes its receiver from the arguments, which only its vector-call entry
// knows: it is never entered directly.
inline bool takes_direct_entry(PyObject* func, int flag) noexcept {
    PyTypeObject* type = Py_TYPE(func);
    if (type == &PyCFunction_Type)
        return compat::builtin_function_def(func)->ml_flags & flag;
    PyTypeObject* function_type = g_runtime.function_type ? g_runtime.function_type : &PyCFunction_Type;
    // The exact type first: the kind test walks the MRO of everything else.
    if (type != function_type && !is_function_kind(type, function_type, &PyCFunction_Type)) return false;
    if (!(compat::builtin_function_def(func)->ml_flags & flag)) return false;
    if (function_type == &PyCFunction_Type || (type != function_type && !is_subtype(type, function_type)))
        return true;
    int flags = reinterpret_cast<FunctionObject*>(func)->flags;
    return (flags & (FUNC_NATIVE_METHOD | FUNC_STATIC)) != FUNC_NATIVE_METHOD;
}

}  // namespace

int is_function_kind(PyTypeObject* type, PyTypeObject* a, PyTypeObject* b) noexcept {
    if (type == a || type == b) return 1;
    PyObject* mro = compat::type_mro(type);
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

PyObject* call_tuple_guarded(PyObject* callable, PyObject* args, PyObject* kwargs) noexcept {
    ternaryfunc slot = Py_TYPE(callable)->tp_call;
    if (!slot) return PyObject_Call(callable, args, kwargs);
    PyThreadState* tstate = PyThreadState_GetUnchecked();
    if (enter_guard(tstate)) return nullptr;
    PyObject* result = slot(callable, args, kwargs);
    leave_guard(tstate);
    return check_result(result);
}

namespace detail {

PyObject* enter_builtin_guarded(PyObject* func, PyObject* arg) noexcept {
    PyCFunction entry = compat::builtin_function_def(func)->ml_meth;
    PyObject* self = compat::builtin_function_receiver(func);
    PyThreadState* tstate = PyThreadState_GetUnchecked();
    if (enter_guard(tstate)) return nullptr;
    PyObject* result = entry(self, arg);
    leave_guard(tstate);
    return check_result(result);
}

}  // namespace detail

PyObject* call_vector_guarded(PyObject* callable, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    vectorcallfunc entry = Py_TYPE(callable)->tp_call ? vectorcall_entry(callable) : nullptr;
    if (entry) {
        PyThreadState* tstate = PyThreadState_GetUnchecked();
        if (enter_guard(tstate)) return nullptr;
        PyObject* result = entry(callable, args, static_cast<size_t>(nargs), kwnames);
        leave_guard(tstate);
        return check_result(result);
    }
    Ref tuple = Ref::borrow(g_runtime.empty_tuple);
    if (nargs > 0) {
        tuple = Ref::steal(PyTuple_New(nargs));
        if (!tuple) return nullptr;
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(tuple.get(), i, args[i]);
        }
    }
    Ref kwargs;
    if (kwnames) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0)
                return nullptr;
    }
    return call_tuple_guarded(callable, tuple.get(), kwargs.get());
}

PyObject* call_method(PyObject* obj, PyObject* name, PyObject** slots, Py_ssize_t nargs,
                      Guard guard) noexcept {
    bool guarded = guard == Guard::kGuarded;
    if (PyObject* method = unbound_method(obj, name)) {
        Ref function = Ref::borrow(method);
        Ref self = Ref::borrow(obj);  // as the interpreter holds its receiver
        slots[0] = obj;
        PyObject* result =
            guarded ? call_vector_guarded(function.get(), slots, nargs + 1, nullptr)
                    : call_vector_bare(function.get(), slots, static_cast<size_t>(nargs) + 1);
        slots[0] = nullptr;
        return result;
    }
    Ref attr = Ref::steal(get_attr(obj, name));
    if (!attr) return nullptr;
    return guarded ? call_vector_guarded(attr.get(), slots + 1, nargs, nullptr)
                   : call_unpacking_bare(std::move(attr), slots, nargs);
}

namespace detail {

PyObject* call_vector_general(PyObject* callable, PyObject* const* args, Py_ssize_t n) noexcept {
    if (n == 0 && takes_direct_entry(callable, METH_NOARGS))
        return enter_builtin_guarded(callable, nullptr);
    if (n == 1 && takes_direct_entry(callable, METH_O))
        return enter_builtin_guarded(callable, args[0]);
    if (vectorcallfunc entry = vectorcall_entry(callable))
        return check_result(entry(callable, args, static_cast<size_t>(n), nullptr));
    // No vector-call entry: the guarded call with a tuple (the empty one for
    // no argument).
    return call_vector_guarded(callable, args, n, nullptr);
}

}  // namespace detail

}  // namespace rt
