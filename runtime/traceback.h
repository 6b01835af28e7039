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

#include <cstdint>

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
// "error return without exception set" is raised first and gains the entry. Requires the
// runtime to be attached (the frame's globals are the module dictionary).
// If the entry cannot be made, the error that prevented it replaces the
// pending exception.
void add_traceback(const FailureLocation& where) noexcept;

// The machinery behind add_traceback, declared here for the runtime's own
// tests. The module itself only calls add_traceback.
namespace traceback_internals {

// `impl_line` while cython_runtime.cline_in_traceback is true, else 0. Sets
// the attribute to False when it is absent. Never fails: the exception pending
// in `tstate` on entry is pending, unchanged, on return.
int shown_impl_line(PyThreadState* tstate, int impl_line) noexcept;

struct CodeCacheEntry {
    PyCodeObject* code;  // owned
    int32_t key;         // -(implementation line) when shown, else the source line
};

// Position of `key` in the ascending `entries[0..count)`: its index when
// present, else the index where it would be inserted.
int code_cache_search(const CodeCacheEntry* entries, int count, int32_t key) noexcept;

// New reference to the code object cached under `key`, or null (no exception
// set). Key 0 is never cached.
PyCodeObject* code_cache_find(int32_t key) noexcept;

// Caches `code` under `key`, replacing what is cached there. Never raises:
// when the array cannot be allocated or grown, the cache is left as it was.
void code_cache_insert(int32_t key, PyCodeObject* code) noexcept;

struct CodeCacheView {
    const CodeCacheEntry* entries;
    int count;
    int capacity;
};
CodeCacheView code_cache_view() noexcept;

// Releases every cached code object and the array, and forgets the switch
// memo, back to the state before the first failure.
void reset_for_tests() noexcept;

}  // namespace traceback_internals

}  // namespace rt
