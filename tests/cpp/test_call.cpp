// Call paths: the direct entry of built-in functions, the vectorcall and tuple
// fallbacks, bound-method unpacking into the spare slot, the recursion guard
// and the null-without-error rule.
#include "tests/cpp/embed.h"

#include "runtime/call.h"
#include "runtime/protocol.h"
#include "runtime/runtime_state.h"

using rt::Ref;
using testing_support::eval;
using testing_support::run;
using testing_support::take_error;

namespace {

// A zeroed static type object that was never readied (so it has no MRO).
PyTypeObject unready_type(const char* name) {
    PyTypeObject type{};
    type.ob_base.ob_base.ob_refcnt = 1;
    type.tp_name = name;
    return type;
}

// What the test callees saw.
struct Seen {
    int native = 0;                 // entries into ml_meth
    int vector = 0;                 // entries through the planted vectorcall
    PyObject* self = nullptr;       // the self argument of the last native entry
    PyObject* arg = nullptr;        // its argument
    PyObject* const* args = nullptr;  // the argument array of the last vectorcall
    size_t nargsf = 0;
    PyObject* first = nullptr;      // args[0] of the last vectorcall
};
Seen seen;

PyObject* cl_native(PyObject* self, PyObject* arg) {
    ++seen.native;
    seen.self = self;
    seen.arg = arg;
    Py_RETURN_NONE;
}

PyObject* cl_vector(PyObject*, PyObject* const* args, size_t nargsf, PyObject*) {
    ++seen.vector;
    seen.args = args;
    seen.nargsf = nargsf;
    seen.first = PyVectorcall_NARGS(nargsf) ? args[0] : nullptr;
    Py_RETURN_NONE;
}

PyObject* cl_null_without_error(PyObject*, PyObject*) { return nullptr; }

PyMethodDef cl_noargs_def = {"cl_noargs", cl_native, METH_NOARGS, nullptr};
PyMethodDef cl_o_def = {"cl_o", cl_native, METH_O, nullptr};
PyMethodDef cl_static_o_def = {"cl_static_o", cl_native, METH_O | METH_STATIC, nullptr};
PyMethodDef cl_varargs_def = {"cl_varargs", cl_native, METH_VARARGS, nullptr};
PyMethodDef cl_null_def = {"cl_null", cl_null_without_error, METH_O, nullptr};

// A built-in function whose vectorcall entry is replaced by the recording one,
// so that the two ways in can be told apart.
Ref planted_function(PyMethodDef* def, PyObject* self) {
    Ref func = Ref::steal(PyCFunction_NewEx(def, self, nullptr));
    testing_support::plant_vectorcall(func.get(), cl_vector);
    return func;
}

// A callable type with a call slot and no vectorcall.
PyObject* cl_tp_call(PyObject*, PyObject* args, PyObject*) {
    ++seen.native;
    seen.arg = args;
    Py_RETURN_NONE;
}
PyObject* cl_tp_call_null(PyObject*, PyObject*, PyObject*) { return nullptr; }

PyTypeObject cl_callable_type = unready_type("cl_callable");
PyTypeObject cl_null_callable_type = unready_type("cl_null_callable");

class CallPath : public EmbeddedTest {
protected:
    void SetUp() override {
        EmbeddedTest::SetUp();
        seen = Seen{};
        for (PyTypeObject* type : {&cl_callable_type, &cl_null_callable_type}) {
            if (type->tp_flags & Py_TPFLAGS_READY) continue;
            type->tp_basicsize = sizeof(PyObject);
            type->tp_flags = Py_TPFLAGS_DEFAULT;
            type->tp_new = PyType_GenericNew;
            type->tp_call = type == &cl_callable_type ? cl_tp_call : cl_tp_call_null;
            ASSERT_EQ(PyType_Ready(type), 0);
        }
    }
};

TEST_F(CallPath, OneArgumentEntersAMethOFunctionDirectly) {
    Ref self = eval("object()");
    Ref func = planted_function(&cl_o_def, self.get());
    Ref arg = eval("'x'");
    PyObject* args[] = {arg.get(), arg.get()};

    Ref one = Ref::steal(rt::call_vector_bare(func.get(), args, 1));
    ASSERT_TRUE(one);
    EXPECT_EQ(seen.native, 1);
    EXPECT_EQ(seen.vector, 0);
    EXPECT_EQ(seen.self, self.get());
    EXPECT_EQ(seen.arg, arg.get());

    // Two arguments: not the direct entry, and the offset bit is not passed on.
    Ref two = Ref::steal(rt::call_vector_bare(func.get(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET));
    ASSERT_TRUE(two);
    EXPECT_EQ(seen.native, 1);
    EXPECT_EQ(seen.vector, 1);
    EXPECT_EQ(seen.args, args);
    EXPECT_EQ(seen.nargsf, 2u);

    // The offset bit does not hide a one-argument call from the direct entry.
    Py_XDECREF(rt::call_vector_bare(func.get(), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET));
    EXPECT_EQ(seen.native, 2);
    EXPECT_EQ(seen.vector, 1);
}

TEST_F(CallPath, NoArgumentEntersAMethNoargsFunctionDirectly) {
    Ref self = eval("object()");
    Ref noargs = planted_function(&cl_noargs_def, self.get());
    Ref none = Ref::steal(rt::call_vector_bare(noargs.get(), nullptr, 0));
    ASSERT_EQ(none.get(), Py_None);
    EXPECT_EQ(seen.native, 1);
    EXPECT_EQ(seen.vector, 0);
    EXPECT_EQ(seen.self, self.get());
    EXPECT_EQ(seen.arg, nullptr);

    // A METH_O function with no argument and a METH_NOARGS one with one
    // argument are left to their vectorcall entry, which checks the count.
    Ref o = planted_function(&cl_o_def, self.get());
    PyObject* args[] = {self.get()};
    Py_XDECREF(rt::call_vector_bare(o.get(), args, 0));
    Py_XDECREF(rt::call_vector_bare(noargs.get(), args, 1));
    EXPECT_EQ(seen.native, 1);
    EXPECT_EQ(seen.vector, 2);
}

TEST_F(CallPath, StaticEntriesGetNoSelf) {
    Ref self = eval("object()");
    Ref func = planted_function(&cl_static_o_def, self.get());
    Ref arg = eval("1");
    PyObject* args[] = {arg.get()};
    Py_XDECREF(rt::call_vector_bare(func.get(), args, 1));
    EXPECT_EQ(seen.native, 1);
    EXPECT_EQ(seen.self, nullptr);
    EXPECT_EQ(seen.arg, arg.get());
}

TEST_F(CallPath, WithoutVectorcallATupleIsBuilt) {
    Ref callable = Ref::steal(PyObject_CallObject(reinterpret_cast<PyObject*>(&cl_callable_type), nullptr));
    ASSERT_TRUE(callable);
    Ref a = eval("'a'"), b = eval("'b'");
    PyObject* args[] = {a.get(), b.get()};
    Py_ssize_t before = Py_REFCNT(a.get());
    Py_XDECREF(rt::call_vector_bare(callable.get(), args, 2));
    EXPECT_EQ(seen.native, 1);
    EXPECT_EQ(Py_REFCNT(a.get()), before);  // the tuple was released
    Py_XDECREF(rt::call_vector_bare(callable.get(), nullptr, 0));
    EXPECT_EQ(seen.native, 2);
    EXPECT_EQ(seen.arg, rt::g_runtime.empty_tuple);
}

TEST_F(CallPath, ABoundMethodIsCalledWithItsObjectInTheSpareSlot) {
    Ref func = planted_function(&cl_varargs_def, nullptr);
    Ref self = eval("object()");
    Ref method = Ref::steal(PyMethod_New(func.get(), self.get()));
    ASSERT_TRUE(method);
    Ref a = eval("'a'"), b = eval("'b'");
    PyObject* slots[3] = {nullptr, a.get(), b.get()};
    Py_ssize_t self_refs = Py_REFCNT(self.get());
    Py_ssize_t func_refs = Py_REFCNT(func.get());

    Ref result = Ref::steal(rt::call_unpacking_bare(Ref::borrow(method.get()), slots, 2));
    ASSERT_TRUE(result);
    EXPECT_EQ(seen.vector, 1);
    EXPECT_EQ(seen.args, &slots[0]);  // the caller's own array, not a copy
    EXPECT_EQ(seen.first, self.get());
    EXPECT_EQ(seen.nargsf, 3u);
    EXPECT_EQ(slots[1], a.get());
    EXPECT_EQ(slots[2], b.get());
    EXPECT_EQ(Py_REFCNT(self.get()), self_refs);
    EXPECT_EQ(Py_REFCNT(func.get()), func_refs);

    // Anything else gets the window after the spare slot and the plain count.
    Py_XDECREF(rt::call_unpacking_bare(Ref::borrow(func.get()), slots, 2));
    EXPECT_EQ(seen.vector, 2);
    EXPECT_EQ(seen.args, &slots[1]);
    EXPECT_EQ(seen.first, a.get());
    EXPECT_EQ(seen.nargsf, 2u);
}

TEST_F(CallPath, ABoundMethodOfAMethOFunctionWithNoArgumentIsEnteredDirectly) {
    Ref func = planted_function(&cl_o_def, nullptr);
    Ref self = eval("object()");
    Ref method = Ref::steal(PyMethod_New(func.get(), self.get()));
    PyObject* slots[1] = {nullptr};
    Py_XDECREF(rt::call_unpacking_bare(Ref::borrow(method.get()), slots, 0));
    EXPECT_EQ(seen.native, 1);
    EXPECT_EQ(seen.vector, 0);
    EXPECT_EQ(seen.arg, self.get());
}

TEST_F(CallPath, NullWithoutAnExceptionBecomesSystemError) {
    const char* expected = "SystemError: NULL result without error in PyObject_Call";
    Ref func = Ref::steal(PyCFunction_NewEx(&cl_null_def, nullptr, nullptr));
    Ref arg = eval("1");
    EXPECT_FALSE(Ref::steal(rt::detail::enter_builtin_guarded(func.get(), arg.get())));
    EXPECT_EQ(take_error(), expected);
    PyObject* args[] = {arg.get()};
    EXPECT_FALSE(Ref::steal(rt::call_vector_bare(func.get(), args, 1)));
    EXPECT_EQ(take_error(), expected);

    Ref callable = Ref::steal(PyObject_CallObject(reinterpret_cast<PyObject*>(&cl_null_callable_type), nullptr));
    ASSERT_TRUE(callable);
    EXPECT_FALSE(Ref::steal(rt::call_tuple_guarded(callable.get(), rt::g_runtime.empty_tuple, nullptr)));
    EXPECT_EQ(take_error(), expected);
    EXPECT_FALSE(Ref::steal(rt::call_vector_bare(callable.get(), args, 1)));
    EXPECT_EQ(take_error(), expected);

    // An exception the callee did set passes through unchanged.
    Ref raising = eval("int");
    Ref bad = eval("('x',)");
    EXPECT_FALSE(Ref::steal(rt::call_tuple_guarded(raising.get(), bad.get(), nullptr)));
    EXPECT_EQ(take_error(), "ValueError: invalid literal for int() with base 10: 'x'");
}

// Callees that call themselves again through the path under test.
PyObject* cl_nested_slot(PyObject* self, PyObject* args, PyObject*) {
    ++seen.native;
    return rt::call_tuple_guarded(self, args, nullptr);
}
PyObject* cl_nested_direct(PyObject* self, PyObject* arg) {
    ++seen.native;
    return rt::detail::enter_builtin_guarded(self, arg);
}
PyMethodDef cl_nested_def = {"cl_nested", cl_nested_direct, METH_O, nullptr};
PyTypeObject cl_nested_type = unready_type("cl_nested");

constexpr const char kGuardText[] = " while calling a Python object";

// How many nested Py_EnterRecursiveCall the interpreter allows from the
// current count before it refuses, each entered by a native call of its own;
// the refusal's error is left pending.
int interpreter_guard_depth() {
    if (Py_EnterRecursiveCall(kGuardText)) return 0;
    int depth = 1 + interpreter_guard_depth();
    Py_LeaveRecursiveCall();
    return depth;
}

// Runs `body` with the interpreter's guard entered `levels` times more, each
// by a native call of its own.
template <typename F>
void at_guard_depth(int levels, const F& body) {
    if (levels == 0) return body();
    if (Py_EnterRecursiveCall(kGuardText)) {
        ADD_FAILURE() << "refused with " << levels << " levels to go: " << take_error();
        return;
    }
    at_guard_depth(levels - 1, body);
    Py_LeaveRecursiveCall();
}

// The interpreter's own limit and error, measured from the count the tests
// start at, are what the runtime's guard must reproduce.
class RecursionGuard : public CallPath {
protected:
    void SetUp() override {
        CallPath::SetUp();
        limit_ = Py_GetRecursionLimit();
        Py_SetRecursionLimit(60);  // 3.12+: the native count keeps its own fixed limit
        PyThreadState* tstate = PyThreadState_Get();
        count_ = testing_support::recursion_count(tstate);
        depth_ = interpreter_guard_depth();
        error_ = take_error();
        ASSERT_EQ(testing_support::recursion_count(tstate), count_);
        ASSERT_GT(depth_, 1);
        ASSERT_EQ(error_.rfind("RecursionError: maximum recursion depth exceeded", 0), 0u) << error_;
        ASSERT_EQ(error_.substr(error_.size() - sizeof(kGuardText) + 1), kGuardText) << error_;
    }
    void TearDown() override {
        EXPECT_EQ(testing_support::recursion_count(PyThreadState_Get()), count_);
        Py_SetRecursionLimit(limit_);
        CallPath::TearDown();
    }
    int limit_ = 0;
    int count_ = 0;
    int depth_ = 0;       // entries the interpreter's guard allows from count_
    std::string error_;   // the interpreter's refusal
};

TEST_F(RecursionGuard, NestedGuardedCallsStopAtTheLimit) {
    if (!(cl_nested_type.tp_flags & Py_TPFLAGS_READY)) {
        cl_nested_type.tp_basicsize = sizeof(PyObject);
        cl_nested_type.tp_flags = Py_TPFLAGS_DEFAULT;
        cl_nested_type.tp_new = PyType_GenericNew;
        cl_nested_type.tp_call = cl_nested_slot;
        ASSERT_EQ(PyType_Ready(&cl_nested_type), 0);
    }
    Ref nested = Ref::steal(PyObject_CallObject(reinterpret_cast<PyObject*>(&cl_nested_type), nullptr));
    ASSERT_TRUE(nested);
    EXPECT_FALSE(Ref::steal(rt::call_tuple_guarded(nested.get(), rt::g_runtime.empty_tuple, nullptr)));
    EXPECT_EQ(take_error(), error_);
    EXPECT_EQ(seen.native, depth_);
}

TEST_F(RecursionGuard, NestedDirectCallsStopAtTheLimit) {
    Ref func = Ref::steal(PyCFunction_NewEx(&cl_nested_def, nullptr, nullptr));
    // The function is its own self, so each entry can call it again.
    testing_support::plant_receiver(func.get(), func.get());
    Ref arg = eval("1");
    EXPECT_FALSE(Ref::steal(rt::detail::enter_builtin_guarded(func.get(), arg.get())));
    testing_support::plant_receiver(func.get(), nullptr);
    EXPECT_EQ(take_error(), error_);
    EXPECT_EQ(seen.native, depth_);
}

TEST_F(RecursionGuard, GuardedVectorCallsKeepTheCountAndStopAtTheLimit) {
    run("def cl_kw_echo(*a, **k): return (a, list(k.items()))\n");
    Ref func = eval("cl_kw_echo");
    Ref one = eval("1");
    PyObject* args[] = {one.get()};
    PyThreadState* tstate = PyThreadState_Get();
    Ref fine = Ref::steal(rt::call_vector_guarded(func.get(), args, 1, nullptr));
    EXPECT_TRUE(fine);
    EXPECT_EQ(testing_support::recursion_count(tstate), count_);
    // One entry short of the limit the guard still lets the callee run; at
    // the limit it refuses before the callee runs, as the tuple call does,
    // and leaves the count as it was.
    Ref planted = planted_function(&cl_o_def, nullptr);
    at_guard_depth(depth_ - 1, [&] {
        int count = testing_support::recursion_count(tstate);
        EXPECT_TRUE(Ref::steal(rt::call_vector_guarded(planted.get(), args, 1, nullptr))) << take_error();
        EXPECT_EQ(seen.vector, 1);
        EXPECT_EQ(testing_support::recursion_count(tstate), count);
    });
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    at_guard_depth(depth_, [&] {
        int count = testing_support::recursion_count(tstate);
        EXPECT_FALSE(Ref::steal(rt::call_vector_guarded(planted.get(), args, 1, nullptr)));
        EXPECT_EQ(seen.vector, 1);
        EXPECT_EQ(testing_support::recursion_count(tstate), count);
        PyErr_Fetch(&type, &value, &tb);  // read once there is room to format it
    });
    PyErr_Restore(type, value, tb);
    EXPECT_EQ(take_error(), error_);
}

TEST_F(CallPath, GuardedKeywordCallsPassKeywordsInOrderWithOrWithoutAVectorCallEntry) {
    run("def cl_kw_func(*a, **k): return (a, list(k.items()))\n"
        "class ClKwCallable:\n"
        "    def __call__(self, *a, **k): return (a, list(k.items()))\n"
        "cl_kw_names = ('shell', 'text')\n");
    Ref names = eval("cl_kw_names");
    Ref values = eval("('tool', True, 'utf-8')");
    PyObject* args[] = {PyTuple_GET_ITEM(values.get(), 0), PyTuple_GET_ITEM(values.get(), 1),
                        PyTuple_GET_ITEM(values.get(), 2)};
    Ref expected = eval("(('tool',), [('shell', True), ('text', 'utf-8')])");
    for (const char* expr : {"cl_kw_func", "ClKwCallable()"}) {
        Ref callable = eval(expr);
        Ref result = Ref::steal(rt::call_vector_guarded(callable.get(), args, 1, names.get()));
        ASSERT_TRUE(result) << expr;
        EXPECT_EQ(PyObject_RichCompareBool(result.get(), expected.get(), Py_EQ), 1) << expr;
    }
    // Without a vector-call entry, the tuple and the keyword dict are made:
    // with allocation k and every later one failing, for every k until the
    // call succeeds, the call fails with an exception and keeps no reference.
    // (The callee does no more than it must: 3.8's own dict-items iterator
    // crashes when its allocation fails.)
    run("class ClKwPlain:\n    def __call__(self, *a, **k): return len(k)\n");
    Ref callable = eval("ClKwPlain()");
    Py_ssize_t held = Py_REFCNT(args[2]);
    long k = 0;
    for (;; ++k) {
        ASSERT_LT(k, 5000);
        PyGC_Collect();  // empties the free lists: the tuple and dict are allocated
        PyObject* result;
        {
            testing_support::FailingAllocators failing(k);
            result = rt::call_vector_guarded(callable.get(), args, 1, names.get());
        }
        if (result) {
            Py_DECREF(result);
            break;
        }
        EXPECT_NE(take_error(), "") << k;
        EXPECT_EQ(Py_REFCNT(args[2]), held) << k;
    }
    EXPECT_GT(k, 2);
}

// Types that were never readied have no MRO: the base chains decide.
PyTypeObject cl_unready_a = unready_type("cl_unready_a");
PyTypeObject cl_unready_b = unready_type("cl_unready_b");

TEST_F(CallPath, FunctionKindFollowsTheMroOrTheBaseChain) {
    run("class ClA: pass\nclass ClB: pass\nclass ClC(ClB): pass\nclass ClD(ClC, ClA): pass\n");
    auto type = [](const char* expr) {
        Ref t = eval(expr);
        return reinterpret_cast<PyTypeObject*>(t.get());  // kept alive by the globals
    };
    PyTypeObject* a = type("ClA");
    PyTypeObject* b = type("ClB");
    EXPECT_EQ(rt::is_function_kind(a, a, b), 1);
    EXPECT_EQ(rt::is_function_kind(type("ClC"), a, b), 1);
    EXPECT_EQ(rt::is_function_kind(type("ClD"), &PyLong_Type, a), 1);
    EXPECT_EQ(rt::is_function_kind(type("ClC"), a, &PyLong_Type), 0);
    EXPECT_EQ(rt::is_function_kind(&PyCFunction_Type, a, b), 0);

    cl_unready_a.tp_base = &cl_unready_b;
    ASSERT_EQ(rt::compat::type_mro(&cl_unready_a), nullptr);
    EXPECT_EQ(rt::is_function_kind(&cl_unready_a, &PyLong_Type, &cl_unready_b), 1);
    EXPECT_EQ(rt::is_function_kind(&cl_unready_a, &PyLong_Type, &PyBaseObject_Type), 1);
    EXPECT_EQ(rt::is_function_kind(&cl_unready_a, &PyBaseObject_Type, &PyLong_Type), 1);
    EXPECT_EQ(rt::is_function_kind(&cl_unready_a, &PyLong_Type, &PyFloat_Type), 0);
}

// A type that was never readied has no MRO: the base chain decides.
PyTypeObject cl_unready_error = unready_type("cl_unready_error");
PyTypeObject cl_unready_root = unready_type("cl_unready_root");

TEST_F(CallPath, SubtypeTestFollowsTheBaseChainWithoutAnMro) {
    cl_unready_error.tp_base = reinterpret_cast<PyTypeObject*>(PyExc_KeyError);
    ASSERT_EQ(rt::compat::type_mro(&cl_unready_error), nullptr);
    EXPECT_EQ(rt::is_subtype(&cl_unready_error, reinterpret_cast<PyTypeObject*>(PyExc_LookupError)), 1);
    EXPECT_EQ(rt::is_subtype(&cl_unready_error, reinterpret_cast<PyTypeObject*>(PyExc_ValueError)), 0);
    EXPECT_EQ(rt::is_subtype(&cl_unready_root, &PyBaseObject_Type), 1);
    EXPECT_EQ(rt::is_subtype(&cl_unready_root, &PyLong_Type), 0);
    EXPECT_EQ(rt::is_subtype(&cl_unready_root, &cl_unready_root), 1);
}

}  // namespace
