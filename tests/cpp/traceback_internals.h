// What the C++ tests see of the traceback machinery beyond add_traceback():
// the switch, and a reset of the switch memo and the code-object cache. Defined in
// runtime/traceback.cpp; the module itself never calls these.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "runtime/code_cache.h"

namespace rt {
namespace traceback_internals {

// `impl_line` while cython_runtime.cline_in_traceback is true, else 0. Sets
// the attribute to False when it is absent. Never fails: the exception pending
// in `tstate` on entry is pending, unchanged, on return.
int shown_impl_line(PyThreadState* tstate, int impl_line) noexcept;

// Releases every cached code object and the array, and forgets the switch
// memo, back to the state before the first failure.
void reset_for_tests() noexcept;

}  // namespace traceback_internals
}  // namespace rt
