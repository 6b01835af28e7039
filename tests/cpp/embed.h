// Shared fixture of the C++ tests: an embedded CPython (3.8 to 3.13) with the
// runtime attached to a scratch module dictionary.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "runtime/compat.h"
#include "runtime/ref.h"

namespace testing_support {

// Runs `code` in the scratch globals; fails the test on an exception.
void run(const char* code);

// The value of `expr` evaluated in the scratch globals (new reference).
rt::Ref eval(const char* expr);

// The scratch module dictionary the runtime is attached to.
PyObject* globals();

// An interned, hashed name.
PyObject* name(const char* text);

// The pending exception's type name and str(), cleared; "" when none pending.
std::string take_error();

// The thread's count of the recursion guard, in the interpreter's own terms:
// the depth until 3.10 (it grows on entry), the calls remaining from 3.11 (it
// shrinks on entry; 3.12 counts native calls apart from Python ones). Only
// compared with itself: a guard that enters and leaves restores it.
inline int recursion_count(PyThreadState* tstate) {
#if PY_VERSION_HEX < 0x030B0000
    return tstate->recursion_depth;
#else
    return rt::compat::recursion_room(tstate);
#endif
}

// The line `frame` reports: until 3.10 the one stored in it, which
// PyFrame_GetLineNumber may not consult; from 3.11 frames are opaque and only
// PyFrame_GetLineNumber answers.
inline int frame_line(PyFrameObject* frame) {
#if PY_VERSION_HEX < 0x030B0000
    return frame->f_lineno;
#else
    return PyFrame_GetLineNumber(frame);
#endif
}

// A traceback entry's next entry (null at the last one) and its frame: the
// fields of PyTracebackObject, the same 3.8 to 3.13, read as the runtime's
// entries are checked.
inline PyObject* traceback_next(PyObject* entry) {
    return reinterpret_cast<PyObject*>(reinterpret_cast<PyTracebackObject*>(entry)->tb_next);
}

inline PyFrameObject* traceback_frame(PyObject* entry) {
    return reinterpret_cast<PyTracebackObject*>(entry)->tb_frame;
}

// Plants in the built-in function `func` another vector-call entry, or
// another receiver, so that a test can tell the ways in apart or make a call
// re-enter itself (PyCFunctionObject, the same 3.8 to 3.13).
inline void plant_vectorcall(PyObject* func, vectorcallfunc entry) {
    reinterpret_cast<PyCFunctionObject*>(func)->vectorcall = entry;
}

inline void plant_receiver(PyObject* func, PyObject* self) {
    reinterpret_cast<PyCFunctionObject*>(func)->m_self = self;
}

// Until 3.11 a str can be made "legacy", not ready (its characters held as
// wchar_t until PyUnicode_READY); from 3.12 every str is ready.
constexpr bool kLegacyStrs = PY_VERSION_HEX < 0x030C0000;

// A legacy str of the ASCII `text`, not ready; null where kLegacyStrs is false.
inline rt::Ref legacy_str(const char* text) {
#if PY_VERSION_HEX < 0x030C0000
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    Py_ssize_t n = static_cast<Py_ssize_t>(std::strlen(text));
    rt::Ref s = rt::Ref::steal(PyUnicode_FromUnicode(nullptr, n));
    if (!s) return s;
    Py_UNICODE* chars = PyUnicode_AS_UNICODE(s.get());
    for (Py_ssize_t i = 0; i < n; ++i) chars[i] = static_cast<Py_UNICODE>(text[i]);
    return s;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
#else
    (void)text;
    return rt::Ref();
#endif
}

// While alive, the allocations of every domain numbered `from` and later
// (counted from 0 at construction) fail; made() tells how many were asked for.
class FailingAllocators {
public:
    explicit FailingAllocators(long from) : from_(from) {
        for (int i = 0; i < 3; ++i) {
            PyMem_GetAllocator(kDomains[i], &saved_[i].allocator);
            saved_[i].owner = this;
            PyMemAllocatorEx hooked = {&saved_[i], malloc_hook, calloc_hook, realloc_hook, free_hook};
            PyMem_SetAllocator(kDomains[i], &hooked);
        }
    }
    ~FailingAllocators() {
        for (int i = 0; i < 3; ++i) PyMem_SetAllocator(kDomains[i], &saved_[i].allocator);
    }
    long made() const { return count_; }

private:
    struct Saved {
        PyMemAllocatorEx allocator;
        FailingAllocators* owner;
    };
    static constexpr PyMemAllocatorDomain kDomains[3] = {PYMEM_DOMAIN_RAW, PYMEM_DOMAIN_MEM,
                                                         PYMEM_DOMAIN_OBJ};
    static bool fails(void* ctx) {
        FailingAllocators* self = static_cast<Saved*>(ctx)->owner;
        return self->count_++ >= self->from_;
    }
    static PyMemAllocatorEx& real(void* ctx) { return static_cast<Saved*>(ctx)->allocator; }
    static void* malloc_hook(void* ctx, size_t n) {
        return fails(ctx) ? nullptr : real(ctx).malloc(real(ctx).ctx, n);
    }
    static void* calloc_hook(void* ctx, size_t n, size_t size) {
        return fails(ctx) ? nullptr : real(ctx).calloc(real(ctx).ctx, n, size);
    }
    static void* realloc_hook(void* ctx, void* p, size_t n) {
        return fails(ctx) ? nullptr : real(ctx).realloc(real(ctx).ctx, p, n);
    }
    static void free_hook(void* ctx, void* p) { real(ctx).free(real(ctx).ctx, p); }

    long from_;
    long count_ = 0;
    Saved saved_[3];
};

}  // namespace testing_support

// Each test starts and ends without a pending exception.
class EmbeddedTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(PyErr_Occurred()); }
    void TearDown() override {
        if (PyErr_Occurred()) {
            PyErr_Print();
            ADD_FAILURE() << "test left an exception pending";
        }
    }
};
