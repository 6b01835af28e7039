#include "runtime/runtime_state.h"

namespace rt {

RuntimeState g_runtime;

namespace {

template <typename T>
void hold(T*& field, T* value) noexcept {
    Py_INCREF(reinterpret_cast<PyObject*>(value));
    T* old = field;
    field = value;
    Py_XDECREF(reinterpret_cast<PyObject*>(old));
}

}  // namespace

void runtime_attach(const RuntimeHandoff& handoff) noexcept {
    hold(g_runtime.globals, handoff.globals);
    hold(g_runtime.builtins, handoff.builtins);
    hold(g_runtime.support_module, handoff.support_module);
    hold(g_runtime.empty_tuple, handoff.empty_tuple);
    hold(g_runtime.function_type, handoff.function_type);
    hold(g_runtime.names.cline_in_traceback, handoff.names.cline_in_traceback);
    hold(g_runtime.names.spec, handoff.names.spec);
    hold(g_runtime.names.initializing, handoff.names.initializing);
    hold(g_runtime.names.asyncio_coroutines, handoff.names.asyncio_coroutines);
    hold(g_runtime.names.is_coroutine, handoff.names.is_coroutine);
}

}  // namespace rt
