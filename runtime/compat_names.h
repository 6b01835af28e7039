// Interfaces a newer CPython version added, defined for the older versions
// the runtime is built for (3.8 to 3.13) under the name the newest version
// gives them, so that the runtime calls one name on every version. Each is
// defined only for the versions that lack it, and only when nothing else
// (another compatibility header) defined that name already. Differences of
// behaviour are not here: they are in runtime/compat.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// 3.9: PyObject_Vectorcall, Py_TPFLAGS_HAVE_VECTORCALL and METH_METHOD lost
// their leading underscore or became public.
#if PY_VERSION_HEX < 0x03090000 && !defined(PyObject_Vectorcall)
static inline PyObject* PyObject_Vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                            PyObject* kwnames) {
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
#endif
#if PY_VERSION_HEX < 0x03090000 && !defined(Py_TPFLAGS_HAVE_VECTORCALL)
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif
#if PY_VERSION_HEX < 0x03090000 && !defined(METH_METHOD)
#define METH_METHOD 0x0200
#endif

// 3.9: PyThreadState_GetInterpreter.
#if PY_VERSION_HEX < 0x03090000 && !defined(PyThreadState_GetInterpreter)
static inline PyInterpreterState* PyThreadState_GetInterpreter(PyThreadState* tstate) {
    return tstate->interp;
}
#endif

// 3.13: PyThreadState_GetUnchecked (formerly _PyThreadState_UncheckedGet,
// which the Windows 3.13 DLL no longer exports).
#if PY_VERSION_HEX < 0x030D0000 && !defined(PyThreadState_GetUnchecked)
static inline PyThreadState* PyThreadState_GetUnchecked(void) {
    return _PyThreadState_UncheckedGet();
}
#endif

// 3.13: PyCFunctionFastWithKeywords (formerly _PyCFunctionFastWithKeywords).
#if PY_VERSION_HEX < 0x030D0000 && !defined(PyCFunctionFastWithKeywords)
typedef _PyCFunctionFastWithKeywords PyCFunctionFastWithKeywords;
#endif

// 3.11: code objects take a qualified name and an exception table; 3.12: the
// constructor is PyUnstable_Code_NewWithPosOnlyArgs. Before 3.11 the two extra
// arguments have no place and are dropped.
#if PY_VERSION_HEX < 0x030B0000 && !defined(PyUnstable_Code_NewWithPosOnlyArgs)
static inline PyCodeObject* PyUnstable_Code_NewWithPosOnlyArgs(
    int argcount, int posonlyargcount, int kwonlyargcount, int nlocals, int stacksize, int flags,
    PyObject* code, PyObject* consts, PyObject* names, PyObject* varnames, PyObject* freevars,
    PyObject* cellvars, PyObject* filename, PyObject* name, PyObject* /*qualname*/, int firstlineno,
    PyObject* linetable, PyObject* /*exceptiontable*/) {
    return PyCode_NewWithPosOnlyArgs(argcount, posonlyargcount, kwonlyargcount, nlocals, stacksize,
                                     flags, code, consts, names, varnames, freevars, cellvars,
                                     filename, name, firstlineno, linetable);
}
#elif PY_VERSION_HEX < 0x030C0000 && !defined(PyUnstable_Code_NewWithPosOnlyArgs)
#define PyUnstable_Code_NewWithPosOnlyArgs PyCode_NewWithPosOnlyArgs
#endif
