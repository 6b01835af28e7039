// The cache of the code objects of traceback entries (runtime/traceback.cpp),
// one per location, ascending by key, process-wide and never freed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace rt {
namespace traceback_internals {

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

// The cache as it stands.
struct CodeCacheView {
    const CodeCacheEntry* entries;
    int count;
    int capacity;
};
CodeCacheView code_cache_view() noexcept;

}  // namespace traceback_internals
}  // namespace rt
