#include "runtime/traceback.h"

#include <frameobject.h>

#include "runtime/runtime_state.h"

namespace rt {

void add_traceback(const FailureLocation& where) noexcept {
    PyThreadState* tstate = _PyThreadState_UncheckedGet();

    // The code object is made with the caller's exception taken out, so that
    // its creation runs with no exception pending.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject* code = PyCode_NewEmpty(where.file_name, where.function_name, where.source_line);
    if (!code) {
        // What the failed creation raised replaces the caller's exception.
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        return;
    }
    PyErr_Restore(type, value, tb);

    PyFrameObject* frame = PyFrame_New(tstate, code, g_runtime.globals, nullptr);
    if (frame) {
        frame->f_lineno = where.source_line;
        PyTraceBack_Here(frame);
    }
    Py_DECREF(code);
    Py_XDECREF(frame);
}

}  // namespace rt
