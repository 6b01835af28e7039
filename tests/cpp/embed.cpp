#include "tests/cpp/embed.h"

#include "runtime/runtime_state.h"

namespace testing_support {

namespace {
PyObject* g_globals = nullptr;
}

PyObject* globals() { return g_globals; }

PyObject* name(const char* text) {
    // Kept for the process, as the module keeps its names: the list holds them
    // (from 3.13 an interned str is never freed, so one that nothing points to
    // would count as lost).
    static PyObject* kept = PyList_New(0);
    PyObject* s = PyUnicode_InternFromString(text);
    PyObject_Hash(s);
    PyList_Append(kept, s);
    Py_DECREF(s);
    return s;
}

void run(const char* code) {
    rt::Ref r = rt::Ref::steal(PyRun_String(code, Py_file_input, g_globals, g_globals));
    if (!r) {
        PyErr_Print();
        ADD_FAILURE() << "code raised: " << code;
    }
}

rt::Ref eval(const char* expr) {
    rt::Ref r = rt::Ref::steal(PyRun_String(expr, Py_eval_input, g_globals, g_globals));
    if (!r) {
        PyErr_Print();
        ADD_FAILURE() << "expression raised: " << expr;
    }
    return r;
}

std::string take_error() {
    if (!PyErr_Occurred()) return "";
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    std::string text = reinterpret_cast<PyTypeObject*>(type)->tp_name;
    if (value) {
        rt::Ref s = rt::Ref::steal(PyObject_Str(value));
        if (s) text += std::string(": ") + PyUnicode_AsUTF8(s.get());
    }
    PyErr_Clear();
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return text;
}

}  // namespace testing_support

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    Py_InitializeEx(0);
    {
        using namespace testing_support;
        PyObject* module = PyImport_AddModule("__runtime_test__");
        g_globals = PyModule_GetDict(module);
        Py_INCREF(g_globals);
        PyObject* builtins = PyImport_AddModule("builtins");
        PyDict_SetItemString(g_globals, "__builtins__", builtins);
        // The process-wide record as module execution fills it.
        rt::RuntimeState& r = rt::g_runtime;
        rt::replace(r.module_dict, rt::Ref::borrow(g_globals));
        rt::replace(r.builtins, rt::Ref::borrow(builtins));
        rt::replace(r.support_module, rt::Ref::borrow(PyImport_AddModule("cython_runtime")));
        rt::replace(r.empty_tuple, rt::Ref::steal(PyTuple_New(0)));
        rt::replace(r.function_type, rt::Ref::borrow(reinterpret_cast<PyObject*>(&PyCFunction_Type)));
        if (rt::make_runtime_names() < 0) PyErr_Print();
    }
    int status = RUN_ALL_TESTS();
    if (Py_FinalizeEx() < 0) status = status ? status : 120;
    return status;
}
