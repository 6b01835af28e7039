// Traceback entries for failures inside the module's native procedures.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace rt {

// Where a failure happened: the Python-level function, the failing site's line
// in the implementation file, the failing statement's line in the module
// source, and the module source file name as traceback entries show it.
struct FailureLocation {
    const char* function_name;
    int impl_line;
    int source_line;
    const char* file_name;
};

// Prepends one entry for `where` to the traceback of the pending exception.
// The pending exception's type and value are left as they are. Requires the
// runtime to be attached (the frame's globals are the module dictionary).
void add_traceback(const FailureLocation& where) noexcept;

}  // namespace rt
