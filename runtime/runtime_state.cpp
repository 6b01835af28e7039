#include "runtime/runtime_state.h"

#include "runtime/ref.h"

#include <utility>

namespace rt {

RuntimeState g_runtime;

int make_runtime_names() noexcept {
    RuntimeNames& names = g_runtime.names;
    const struct {
        PyObject** field;
        const char* text;
    } rows[] = {
        {&names.cline_in_traceback, "cline_in_traceback"},
        {&names.spec, "__spec__"},
        {&names.initializing, "_initializing"},
        {&names.asyncio_coroutines, "asyncio.coroutines"},
        {&names.is_coroutine, "_is_coroutine"},
    };
    for (const auto& row : rows) {
        Ref name = Ref::steal(PyUnicode_InternFromString(row.text));
        if (!name || PyObject_Hash(name.get()) == -1) return -1;
        replace(*row.field, std::move(name));
    }
    return 0;
}

}  // namespace rt
