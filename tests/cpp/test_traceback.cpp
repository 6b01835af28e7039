// The code-object cache of traceback entries and the switch memo: ordering,
// growth, replacement, allocation failures and reference counts.
#include "tests/cpp/embed.h"

#include <frameobject.h>

#include <algorithm>
#include <string>
#include <vector>

#include "runtime/runtime_state.h"
#include "runtime/traceback.h"
#include "tests/cpp/traceback_internals.h"

using rt::Ref;
using testing_support::eval;
using testing_support::run;
using testing_support::take_error;
using testing_support::traceback_frame;
using testing_support::traceback_next;
namespace tbi = rt::traceback_internals;

namespace {

PyCodeObject* new_code(int line) {
    return PyCode_NewEmpty("f.py", "f", line);
}

// Makes PyMem_Malloc and PyMem_Realloc fail while it is alive.
class FailingMemAllocator {
public:
    FailingMemAllocator() {
        PyMem_GetAllocator(PYMEM_DOMAIN_MEM, &saved_);
        PyMemAllocatorEx failing = {&saved_, fail_malloc, fail_calloc, fail_realloc, forward_free};
        PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &failing);
    }
    ~FailingMemAllocator() { PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &saved_); }

private:
    static void* fail_malloc(void*, size_t) { return nullptr; }
    static void* fail_calloc(void*, size_t, size_t) { return nullptr; }
    static void* fail_realloc(void*, void*, size_t) { return nullptr; }
    static void forward_free(void* ctx, void* p) {
        auto* a = static_cast<PyMemAllocatorEx*>(ctx);
        a->free(a->ctx, p);
    }
    PyMemAllocatorEx saved_;
};

std::vector<int32_t> cached_keys() {
    tbi::CodeCacheView v = tbi::code_cache_view();
    std::vector<int32_t> keys;
    for (int i = 0; i < v.count; ++i) keys.push_back(v.entries[i].key);
    return keys;
}

}  // namespace

TEST(TracebackCacheSearch, AgreesWithLowerBoundOnEveryArraySize) {
    EXPECT_EQ(tbi::code_cache_search(nullptr, 0, 5), 0);
    // Keys -130, -126, ... of every length up to past two growths; every probe
    // between, on and beyond them.
    std::vector<tbi::CodeCacheEntry> entries;
    for (int n = 1; n <= 130; ++n) {
        entries.push_back({nullptr, static_cast<int32_t>(4 * n - 134)});
        for (int32_t key = -136; key <= 4 * n - 130; ++key) {
            auto it = std::lower_bound(entries.begin(), entries.end(), key,
                                       [](const auto& e, int32_t k) { return e.key < k; });
            ASSERT_EQ(tbi::code_cache_search(entries.data(), n, key), it - entries.begin())
                << "n=" << n << " key=" << key;
        }
    }
}

class TracebackCache : public EmbeddedTest {
protected:
    void SetUp() override {
        EmbeddedTest::SetUp();
        tbi::reset_for_tests();
    }
    void TearDown() override {
        tbi::reset_for_tests();
        EmbeddedTest::TearDown();
    }
};

TEST_F(TracebackCache, GrowsBy64AndFindsEveryKeyAgain) {
    std::vector<Ref> codes;
    // Alternating signs and a scrambled order exercise insertion at both ends
    // and in the middle.
    for (int i = 1; i <= 129; ++i) {
        int32_t key = (i * 37 % 129 + 1) * (i % 2 ? -1 : 1);
        codes.push_back(Ref::steal(reinterpret_cast<PyObject*>(new_code(i))));
        Py_ssize_t refs = Py_REFCNT(codes.back().get());
        tbi::code_cache_insert(key, reinterpret_cast<PyCodeObject*>(codes.back().get()));
        EXPECT_EQ(Py_REFCNT(codes.back().get()), refs + 1);
        EXPECT_EQ(tbi::code_cache_view().capacity, i <= 64 ? 64 : i <= 128 ? 128 : 192) << i;
    }
    std::vector<int32_t> keys = cached_keys();
    ASSERT_EQ(keys.size(), 129u);
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    for (int i = 1; i <= 129; ++i) {
        int32_t key = (i * 37 % 129 + 1) * (i % 2 ? -1 : 1);
        Ref found = Ref::steal(reinterpret_cast<PyObject*>(tbi::code_cache_find(key)));
        EXPECT_EQ(found.get(), codes[i - 1].get()) << key;
    }
    EXPECT_EQ(tbi::code_cache_find(-200), nullptr);
    EXPECT_EQ(tbi::code_cache_find(200), nullptr);
    EXPECT_FALSE(PyErr_Occurred());
}

TEST_F(TracebackCache, ReplacementSwapsTheReferenceAndKeyZeroIsNeverCached) {
    Ref first = Ref::steal(reinterpret_cast<PyObject*>(new_code(1)));
    Ref second = Ref::steal(reinterpret_cast<PyObject*>(new_code(2)));
    Py_ssize_t first_refs = Py_REFCNT(first.get());
    tbi::code_cache_insert(7, reinterpret_cast<PyCodeObject*>(first.get()));
    tbi::code_cache_insert(-7, reinterpret_cast<PyCodeObject*>(first.get()));
    tbi::code_cache_insert(7, reinterpret_cast<PyCodeObject*>(second.get()));
    EXPECT_EQ(Py_REFCNT(first.get()), first_refs + 1);  // still held under -7
    EXPECT_EQ(cached_keys(), (std::vector<int32_t>{-7, 7}));
    Ref found = Ref::steal(reinterpret_cast<PyObject*>(tbi::code_cache_find(7)));
    EXPECT_EQ(found.get(), second.get());

    tbi::code_cache_insert(0, reinterpret_cast<PyCodeObject*>(first.get()));
    EXPECT_EQ(cached_keys(), (std::vector<int32_t>{-7, 7}));
    EXPECT_EQ(tbi::code_cache_find(0), nullptr);
}

TEST_F(TracebackCache, FailedAllocationLeavesTheCacheAsItWas) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(new_code(1)));
    auto* c = reinterpret_cast<PyCodeObject*>(code.get());
    Py_ssize_t refs = Py_REFCNT(code.get());
    {
        FailingMemAllocator failing;
        tbi::code_cache_insert(1, c);
    }
    EXPECT_EQ(tbi::code_cache_view().entries, nullptr);
    EXPECT_EQ(Py_REFCNT(code.get()), refs);

    for (int32_t key = 1; key <= 64; ++key) tbi::code_cache_insert(2 * key, c);
    tbi::CodeCacheView full = tbi::code_cache_view();
    std::vector<int32_t> keys = cached_keys();
    {
        FailingMemAllocator failing;
        tbi::code_cache_insert(3, c);
    }
    tbi::CodeCacheView after = tbi::code_cache_view();
    EXPECT_EQ(after.entries, full.entries);
    EXPECT_EQ(after.capacity, 64);
    EXPECT_EQ(cached_keys(), keys);
    EXPECT_EQ(Py_REFCNT(code.get()), refs + 64);
    EXPECT_FALSE(PyErr_Occurred());
}

TEST_F(TracebackCache, ShownEntryIsAddedEvenWhenTheCacheCannotGrow) {
    run("import sys\nsys.modules['cython_runtime'].cline_in_traceback = True\n"
        "try:\n    1/0\nexcept ZeroDivisionError:\n    tb_err = sys.exc_info()\n");
    Ref type = eval("tb_err[0]"), value = eval("tb_err[1]"), tb = eval("tb_err[2]");
    Py_INCREF(type.get());
    Py_INCREF(value.get());
    Py_INCREF(tb.get());
    PyErr_Restore(type.get(), value.get(), tb.get());
    {
        FailingMemAllocator failing;
        rt::add_traceback({"f", 77, 12, "x.py"});
    }
    PyObject *t, *v, *head;
    PyErr_Fetch(&t, &v, &head);
    run("del sys.modules['cython_runtime'].cline_in_traceback");
    EXPECT_EQ(t, type.get());
    EXPECT_EQ(v, value.get());
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(traceback_next(head), tb.get());
    // What Python code reads of the entry and its frame (3.12 computes
    // tb_lineno when it is read; 3.11 made frames opaque).
    auto attr = [](PyObject* obj, const char* name) { return Ref::steal(PyObject_GetAttrString(obj, name)); };
    PyObject* frame = reinterpret_cast<PyObject*>(traceback_frame(head));
    EXPECT_EQ(PyLong_AsLong(attr(head, "tb_lineno").get()), 12);
    EXPECT_EQ(testing_support::frame_line(traceback_frame(head)), 12);  // the source line, even when shown
    Ref code = attr(frame, "f_code");
    ASSERT_TRUE(code) << take_error();
    Ref code_name = attr(code.get(), "co_name");
    ASSERT_TRUE(code_name) << take_error();
    EXPECT_STREQ(PyUnicode_AsUTF8(code_name.get()), "f (corvalith/norva/utils/login.cpp:77)");
    EXPECT_EQ(attr(frame, "f_globals").get(), testing_support::globals());
    EXPECT_EQ(tbi::code_cache_view().entries, nullptr);
    Py_XDECREF(t);
    Py_XDECREF(v);
    Py_XDECREF(head);
}

TEST_F(TracebackCache, CodeObjectFailureReplacesThePendingException) {
    Ref value = eval("KeyError('pending')");
    Py_ssize_t refs = Py_REFCNT(value.get());
    PyErr_SetObject(PyExc_KeyError, value.get());
    rt::add_traceback({"\xff", 0, 3, "x.py"});  // not UTF-8: no name, no code object
    EXPECT_EQ(take_error().rfind("UnicodeDecodeError", 0), 0u);
    EXPECT_EQ(Py_REFCNT(value.get()), refs);
    EXPECT_EQ(tbi::code_cache_view().count, 0);
}

TEST_F(TracebackCache, LostExceptionBecomesSystemErrorWithTheEntry) {
    // With the switch hidden and shown: no exception pending at the failure
    // exit gives the interpreter's SystemError, carrying the one entry.
    for (const char* shown : {"False", "True"}) {
        run((std::string("import sys\nsys.modules['cython_runtime'].cline_in_traceback = ") + shown).c_str());
        ASSERT_FALSE(PyErr_Occurred());
        rt::add_traceback({"f", 91, 14, "x.py"});
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyErr_NormalizeException(&t, &v, &tb);
        EXPECT_EQ(t, PyExc_SystemError) << shown;
        Ref text = Ref::steal(v ? PyObject_Str(v) : nullptr);
        ASSERT_TRUE(text) << shown;
        EXPECT_STREQ(PyUnicode_AsUTF8(text.get()), "error return without exception set");
        ASSERT_NE(tb, nullptr) << shown;
        EXPECT_EQ(traceback_next(tb), nullptr) << shown;
        EXPECT_EQ(testing_support::frame_line(traceback_frame(tb)), 14) << shown;
        Py_XDECREF(t);
        Py_XDECREF(v);
        Py_XDECREF(tb);
    }
    run("del sys.modules['cython_runtime'].cline_in_traceback");
}

TEST_F(TracebackCache, SwitchOnASupportObjectWithoutDictionaryAndWithoutOne) {
    // An object without an instance dictionary is read through the attribute
    // read; its truth decides. Without a support object the line is shown.
    // The caller's exception is pending, unchanged, afterwards in every case.
    run("class NoDict(tuple):\n    __slots__ = ()\n"
        "class On(NoDict):\n    cline_in_traceback = 1\n"
        "class Off(NoDict):\n    cline_in_traceback = ''\n");
    PyObject* attached = rt::g_runtime.support_module;
    PyThreadState* tstate = PyThreadState_Get();
    const struct {
        const char* support;
        int shown;
    } cases[] = {{"NoDict()", 0}, {"On()", 33}, {"Off()", 0}, {nullptr, 33}};
    for (const auto& c : cases) {
        Ref support = c.support ? eval(c.support) : Ref();
        rt::g_runtime.support_module = support.get();
        PyErr_SetString(PyExc_KeyError, "pending");
        EXPECT_EQ(tbi::shown_impl_line(tstate, 33), c.shown) << (c.support ? c.support : "none");
        EXPECT_EQ(take_error(), "KeyError: 'pending'") << (c.support ? c.support : "none");
    }
    rt::g_runtime.support_module = attached;
}

TEST_F(TracebackCache, SwitchReadsTheDictionaryOnlyAfterItChanged) {
    // A key hashing like "cline_in_traceback", placed first, is compared by
    // every search of the dictionary.
    run("import sys\nrt_mod = sys.modules['cython_runtime']\n"
        "class Twin:\n    eqs = 0\n"
        "    def __hash__(self): return hash('cline_in_traceback')\n"
        "    def __eq__(self, other):\n        Twin.eqs += 1\n        return False\n"
        "rt_mod.__dict__.pop('cline_in_traceback', None)\n"
        "twin = Twin()\nrt_mod.__dict__[twin] = None\n");
    PyThreadState* tstate = PyThreadState_Get();
    auto searches = [] { return PyLong_AsLong(eval("Twin.eqs").get()); };
    EXPECT_EQ(tbi::shown_impl_line(tstate, 40), 0);  // absent: set to False
    long first = searches();
    EXPECT_GE(first, 1);
    EXPECT_EQ(tbi::shown_impl_line(tstate, 40), 0);  // after the set: searched again
    long second = searches();
    EXPECT_GT(second, first);
    EXPECT_EQ(tbi::shown_impl_line(tstate, 40), 0);  // unchanged: memo
    EXPECT_EQ(searches(), second);
    run("rt_mod.cline_in_traceback = True");
    EXPECT_EQ(tbi::shown_impl_line(tstate, 40), 40);
    run("del rt_mod.__dict__[twin]\ndel rt_mod.cline_in_traceback");
}

TEST_F(TracebackCache, ShownEntryUnderEachAllocationFailure) {
    // With the implementation line shown, allocation k and every later one
    // failing, for every k until the entry is added: an exception is pending
    // afterwards (the caller's or what replaced it) and no reference is kept.
    run("import sys\nrt_mod = sys.modules['cython_runtime']\n");
    Ref value = eval("KeyError('pending')");
    Py_ssize_t refs = Py_REFCNT(value.get());
    long k = 0;
    for (;; ++k) {
        ASSERT_LT(k, 1000);
        tbi::reset_for_tests();
        run("rt_mod.cline_in_traceback = True");
        PyErr_SetObject(PyExc_KeyError, value.get());
        PyGC_Collect();
        {
            testing_support::FailingAllocators failing(k);
            rt::add_traceback({"f", 81, 5, "x.py"});
        }
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        ASSERT_NE(t, nullptr) << k;
        bool added = false;
        if (v == value.get() && tb) {
            Ref code = Ref::steal(
                PyObject_GetAttrString(reinterpret_cast<PyObject*>(traceback_frame(tb)),
                                       "f_code"));
            ASSERT_TRUE(code) << take_error();
            Ref code_name = Ref::steal(PyObject_GetAttrString(code.get(), "co_name"));
            ASSERT_TRUE(code_name) << take_error();
            EXPECT_STREQ(PyUnicode_AsUTF8(code_name.get()), "f (corvalith/norva/utils/login.cpp:81)") << k;
            EXPECT_EQ(cached_keys(), (std::vector<int32_t>{-81})) << k;
            added = true;
        } else if (v != value.get()) {
            EXPECT_TRUE(PyErr_GivenExceptionMatches(t, PyExc_MemoryError)) << k;
        }
        Py_XDECREF(t);
        Py_XDECREF(v);
        Py_XDECREF(tb);
        tbi::reset_for_tests();
        EXPECT_EQ(Py_REFCNT(value.get()), refs) << k;
        if (added) break;
    }
    EXPECT_GE(k, 2);  // at least the name and the code object were refused
    run("del rt_mod.cline_in_traceback");
}
