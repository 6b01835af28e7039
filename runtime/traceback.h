// Traceback entries for failures inside the module's native procedures.
//
// Every exception that leaves module execution or init_gid gains one entry
// that looks like one raised from the module source: the function's name, the
// source file name and the source line of the failing statement. The C++ line
// of the failing site is shown as well (in the entry's name) while
// cython_runtime.cline_in_traceback is true; by default it is hidden.
//
// The code objects of the entries are cached process-wide, keyed by location,
// so a failure at a location seen before allocates no name and no code object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace rt {

// Where a failure happened: the Python-level function, the failing site's line
// in the implementation file (positive, or 0 for none), the failing
// statement's line in the module source, and the module source file name as
// traceback entries show it (every backslash doubled).
struct FailureLocation {
    const char* function_name;
    int impl_line;
    int source_line;
    const char* file_name;
};

// Prepends one entry for `where` to the traceback of the pending exception.
// The pending exception's type and value are left as they are. With no
// exception pending (one was lost before the failure exit), SystemError
// "error return without exception set" is raised first and gains the entry.
// Requires the process-wide record to be filled (the frame's globals are its
// module dictionary).
// If the entry cannot be made, the error that prevented it replaces the
// pending exception.
void add_traceback(const FailureLocation& where) noexcept;

}  // namespace rt
