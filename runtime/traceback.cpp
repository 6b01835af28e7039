#include "runtime/traceback.h"

#include <frameobject.h>

#include "runtime/code_cache.h"

#include "runtime/compat.h"
#include "runtime/compiler.h"
#include "runtime/lookup.h"
#include "runtime/runtime_state.h"

namespace rt {

namespace traceback_internals {

namespace {

// The implementation file as the extended entry names show it.
constexpr const char kImplFileName[] = "corvalith/norva/utils/login.cpp";

using compat::PendingError;
using compat::put_back;
using compat::release;
using compat::take_pending;

// What the last dictionary lookup of cline_in_traceback found.
SiteMemo g_switch;

// Code objects of traceback entries, ascending by key. Never freed.
struct CodeCache {
    int count = 0;     // at least 1 whenever `entries` exists
    int capacity = 0;  // 64, then 128, 192, ...
    CodeCacheEntry* entries = nullptr;
};
CodeCache g_cache;

constexpr int kCacheGrowth = 64;

// The value of cline_in_traceback (borrowed), or null when it is absent. Runs
// with no exception pending; whatever it raises is the caller's to discard.
PyObject* switch_value(PyObject* support) noexcept {
    PyObject* name = g_runtime.names.cline_in_traceback;
    PyObject** dictptr = compat::instance_dict_slot(support);
    if (dictptr && *dictptr) {
        PyObject* value;
        if (memo_lookup(g_switch, *dictptr, name, value) < 0) PyErr_Clear();
        return value;
    }
    PyObject* obj = get_attr_noerror(support, name);
    if (!obj) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* value = PyObject_Not(obj) ? Py_False : Py_True;
    Py_DECREF(obj);
    return value;
}

// The code object of a new entry, or null with the error that prevented it.
RT_COLD PyCodeObject* make_code(const FailureLocation& where,
                                                     int impl_line) noexcept {
    if (!impl_line)
        return PyCode_NewEmpty(where.file_name, where.function_name, where.source_line);
    PyObject* name = PyUnicode_FromFormat("%s (%s:%d)", where.function_name, kImplFileName,
                                          impl_line);
    if (!name) return nullptr;
    PyCodeObject* code = nullptr;
    if (const char* text = PyUnicode_AsUTF8(name))
        code = PyCode_NewEmpty(where.file_name, text, where.source_line);
    Py_DECREF(name);
    return code;
}

RT_COLD void raise_lost_error() noexcept {
    PyErr_SetString(PyExc_SystemError, "error return without exception set");
}

}  // namespace

int shown_impl_line(PyThreadState* tstate, int impl_line) noexcept {
    PyObject* support = g_runtime.support_module;
    if (!support) return impl_line;
    PendingError saved = take_pending(tstate);

    PyObject* value = switch_value(support);
    int result;
    if (!value) {
        result = 0;
        PyObject_SetAttr(support, g_runtime.names.cline_in_traceback, Py_False);
    } else if (value == Py_False) {
        result = 0;
    } else if (value == Py_True) {
        result = impl_line;
    } else {
        // The truth test may run code that drops the attribute: hold the value.
        Py_INCREF(value);
        result = PyObject_Not(value) == 0 ? impl_line : 0;
        Py_DECREF(value);
    }

    put_back(tstate, saved);  // discards whatever the lookup and the test raised
    return result;
}

int code_cache_search(const CodeCacheEntry* entries, int count, int32_t key) noexcept {
    if (count <= 0) return 0;
    if (key > entries[count - 1].key) return count;
    int lo = 0, hi = count - 1, mid = 0;
    while (lo < hi) {
        mid = lo + (hi - lo) / 2;
        if (key < entries[mid].key)
            hi = mid;
        else if (key > entries[mid].key)
            lo = mid + 1;
        else
            return mid;
    }
    return key <= entries[mid].key ? mid : mid + 1;
}

PyCodeObject* code_cache_find(int32_t key) noexcept {
    if (key == 0 || !g_cache.entries) return nullptr;
    int pos = code_cache_search(g_cache.entries, g_cache.count, key);
    if (pos >= g_cache.count || g_cache.entries[pos].key != key) return nullptr;
    PyCodeObject* code = g_cache.entries[pos].code;
    Py_INCREF(code);
    return code;
}

void code_cache_insert(int32_t key, PyCodeObject* code) noexcept {
    if (key == 0) return;
    CodeCache& c = g_cache;
    if (!c.entries) {
        auto* entries = static_cast<CodeCacheEntry*>(
            PyMem_Malloc(kCacheGrowth * sizeof(CodeCacheEntry)));
        if (!entries) return;
        Py_INCREF(code);
        entries[0] = {code, key};
        c.entries = entries;
        c.count = 1;
        c.capacity = kCacheGrowth;
        return;
    }
    int pos = code_cache_search(c.entries, c.count, key);
    if (pos < c.count && c.entries[pos].key == key) {
        PyCodeObject* old = c.entries[pos].code;
        Py_INCREF(code);
        c.entries[pos].code = code;
        Py_DECREF(old);
        return;
    }
    if (c.count == c.capacity) {
        int capacity = c.capacity + kCacheGrowth;
        auto* entries = static_cast<CodeCacheEntry*>(
            PyMem_Realloc(c.entries, capacity * sizeof(CodeCacheEntry)));
        if (!entries) return;
        c.entries = entries;
        c.capacity = capacity;
    }
    for (int i = c.count; i > pos; --i) c.entries[i] = c.entries[i - 1];
    Py_INCREF(code);
    c.entries[pos] = {code, key};
    ++c.count;
}

CodeCacheView code_cache_view() noexcept {
    return {g_cache.entries, g_cache.count, g_cache.capacity};
}

void reset_for_tests() noexcept {
    CodeCache old = g_cache;
    g_cache = CodeCache{};
    g_switch = SiteMemo{};
    for (int i = 0; i < old.count; ++i) Py_DECREF(old.entries[i].code);
    PyMem_Free(old.entries);
}

}  // namespace traceback_internals

void add_traceback(const FailureLocation& where) noexcept {
    using namespace traceback_internals;
    PyThreadState* tstate = PyThreadState_GetUnchecked();
    // A failure whose exception was lost (by a callee that returned null
    // without setting one, or by the interpreter itself when memory ran out)
    // reports what the interpreter reports for a lost exception. From 3.12
    // the entry cannot even be added without a pending exception.
    if (!PyErr_Occurred()) raise_lost_error();

    int impl_line = where.impl_line;
    if (impl_line) impl_line = shown_impl_line(tstate, impl_line);
    // Shown implementation lines key negative, source lines positive.
    int32_t key = impl_line ? -impl_line : where.source_line;

    PyCodeObject* code = code_cache_find(key);
    if (!code) {
        // The code object is made with the caller's exception taken out.
        PendingError saved = take_pending(tstate);
        code = make_code(where, impl_line);
        if (!code) {
            // What the failed step raised replaces the caller's exception.
            release(saved);
            return;
        }
        put_back(tstate, saved);
        code_cache_insert(key, code);
    }

    PyFrameObject* frame = PyFrame_New(tstate, code, g_runtime.module_dict, nullptr);
    if (frame) {
        compat::set_frame_line(frame, where.source_line);
        PyTraceBack_Here(frame);
    }
    Py_DECREF(code);
    Py_XDECREF(frame);
}

}  // namespace rt
