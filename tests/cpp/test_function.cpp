// The shared function type across every calling convention it serves, its
// registry and its lifecycle, with functions made directly by function_new.
#include "tests/cpp/embed.h"

#include <string>
#include <vector>

#include "runtime/call.h"
#include "runtime/function.h"
#include "runtime/runtime_state.h"

using rt::FunctionObject;
using rt::Ref;
using testing_support::eval;
using testing_support::globals;
using testing_support::run;
using testing_support::take_error;

namespace {

// Each entry answers with what it was handed, so the tests can see the
// receiver and the arguments that reached it.
PyObject* pack(PyObject* const* items, Py_ssize_t n) {
    PyObject* tuple = PyTuple_New(n);
    for (Py_ssize_t i = 0; tuple && i < n; ++i) {
        Py_INCREF(items[i]);
        PyTuple_SET_ITEM(tuple, i, items[i]);
    }
    return tuple;
}

PyObject* or_none(PyObject* obj) { return obj ? obj : Py_None; }

PyObject* entry_noargs(PyObject* self, PyObject* arg) { return Py_BuildValue("(sOO)", "noargs", self, or_none(arg)); }
PyObject* entry_o(PyObject* self, PyObject* arg) { return Py_BuildValue("(sOO)", "o", self, arg); }
PyObject* entry_varargs(PyObject* self, PyObject* args) { return Py_BuildValue("(sOO)", "varargs", self, args); }
PyObject* entry_varargs_kw(PyObject* self, PyObject* args, PyObject* kw) {
    return Py_BuildValue("(sOOO)", "varargs_kw", self, args, or_none(kw));
}
PyObject* entry_fast_kw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Ref all = Ref::steal(pack(args, nargs + nkw));
    return Py_BuildValue("(sOnOO)", "fast_kw", self, nargs, all.get(), or_none(kwnames));
}
PyObject* entry_method(PyObject* self, PyTypeObject* owner, PyObject* const* args, size_t nargs, PyObject* kwnames) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Ref all = Ref::steal(pack(args, static_cast<Py_ssize_t>(nargs) + nkw));
    return Py_BuildValue("(sOOnOO)", "method", self, or_none(reinterpret_cast<PyObject*>(owner)),
                         static_cast<Py_ssize_t>(nargs), all.get(), or_none(kwnames));
}

template <typename F>
PyCFunction as_entry(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef def_noargs = {"f_noargs", entry_noargs, METH_NOARGS, "no arguments"};
PyMethodDef def_o = {"f_o", entry_o, METH_O, nullptr};
PyMethodDef def_varargs = {"f_varargs", entry_varargs, METH_VARARGS, nullptr};
PyMethodDef def_varargs_kw = {"f_varargs_kw", as_entry(entry_varargs_kw), METH_VARARGS | METH_KEYWORDS, nullptr};
PyMethodDef def_fast_kw = {"f_fast_kw", as_entry(entry_fast_kw), METH_FASTCALL | METH_KEYWORDS, nullptr};
PyMethodDef def_method = {"f_method", as_entry(entry_method),
                          METH_METHOD | METH_FASTCALL | METH_KEYWORDS, nullptr};

// Binds `registry_name` in the scratch globals to the name of the module the
// shared type is registered in, for the tests' Python code.
void bind_registry_name() {
    Ref text = Ref::steal(PyUnicode_FromString(rt::compat::kFunctionTypeRegistry));
    ASSERT_EQ(PyDict_SetItemString(globals(), "registry_name", text.get()), 0);
}

// Runs the fixture's tests against the real function type, registered in the
// embedded interpreter, instead of the built-in function type the harness
// attaches.
class FunctionType : public EmbeddedTest {
protected:
    void SetUp() override {
        EmbeddedTest::SetUp();
        bind_registry_name();
        saved_ = rt::g_runtime.function_type;
        type_ = rt::fetch_function_type();
        ASSERT_NE(type_, nullptr) << take_error();
        rt::g_runtime.function_type = type_;
        qualname_ = Ref::steal(PyUnicode_FromString("Owner.method"));
        module_ = Ref::steal(PyUnicode_FromString("some.module"));
    }
    void TearDown() override {
        rt::g_runtime.function_type = saved_;
        Py_XDECREF(type_);
        EmbeddedTest::TearDown();
    }

    Ref make(PyMethodDef* def, int flags = 0) {
        Ref f = Ref::steal(rt::function_new(def, flags, qualname_.get(), nullptr, module_.get(), globals(), nullptr));
        EXPECT_TRUE(f) << take_error();
        return f;
    }

    // repr() of the result of calling `f` through its vector-call entry, or
    // the error it raised.
    std::string vcall(const Ref& f, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
        return outcome(PyObject_Vectorcall(f.get(), args.begin(), args.size() - (kwnames ? PyTuple_GET_SIZE(kwnames) : 0),
                                           kwnames));
    }

    // The same through the type's call slot with an argument tuple and a
    // keyword dict (or null).
    std::string tcall(const Ref& f, const char* args, const char* kw = nullptr) {
        Ref tuple = eval(args);
        Ref dict = kw ? eval(kw) : Ref();
        return outcome(Py_TYPE(f.get())->tp_call(f.get(), tuple.get(), dict.get()));
    }

    static std::string outcome(PyObject* result) {
        if (!result) return take_error();
        Ref r = Ref::steal(result);
        Ref text = Ref::steal(PyObject_Repr(r.get()));
        return PyUnicode_AsUTF8(text.get());
    }

    // repr(), with the function itself shown as "F".
    std::string shown(const Ref& f, const std::string& text) {
        Ref r = Ref::steal(PyObject_Repr(f.get()));
        std::string me = PyUnicode_AsUTF8(r.get()), out = text;
        for (size_t at; (at = out.find(me)) != std::string::npos;) out.replace(at, me.size(), "F");
        return out;
    }

    PyTypeObject* saved_ = nullptr;
    PyTypeObject* type_ = nullptr;
    Ref qualname_, module_;
};

PyObject* one() { return PyLong_FromLong(1); }

}  // namespace

TEST_F(FunctionType, ConventionsOutsideTheTableAreRefused) {
    Py_ssize_t qualname_refs = Py_REFCNT(qualname_.get());
    for (int flags : {METH_VARARGS, METH_FASTCALL, METH_NOARGS | METH_O, METH_KEYWORDS, 0,
                      METH_METHOD | METH_VARARGS | METH_KEYWORDS, METH_METHOD | METH_O}) {
        PyMethodDef def = {"bad", entry_o, flags, nullptr};
        EXPECT_EQ(rt::function_new(&def, 0, qualname_.get(), nullptr, nullptr, globals(), nullptr), nullptr);
        EXPECT_EQ(take_error(), "SystemError: Bad call flags for CyFunction") << flags;
    }
    // The half-made objects gave their references back.
    EXPECT_EQ(Py_REFCNT(qualname_.get()), qualname_refs);
    // Bits outside the convention mask do not take part in the choice.
    PyMethodDef def = {"ok", entry_o, METH_O | METH_STATIC | METH_COEXIST, nullptr};
    Ref f = make(&def);
    EXPECT_EQ(reinterpret_cast<FunctionObject*>(f.get())->vectorcall,
              reinterpret_cast<FunctionObject*>(make(&def_o).get())->vectorcall);
}

TEST_F(FunctionType, SingleArgumentConvention) {
    Ref f = make(&def_o), x = Ref::steal(one()), names = eval("('k',)"), none = eval("()");
    EXPECT_EQ(shown(f, vcall(f, {x.get()})), "('o', F, 1)");
    EXPECT_EQ(shown(f, vcall(f, {x.get()}, none.get())), "('o', F, 1)");
    EXPECT_EQ(vcall(f, {}), "TypeError: f_o() takes exactly one argument (0 given)");
    EXPECT_EQ(vcall(f, {x.get(), x.get()}), "TypeError: f_o() takes exactly one argument (2 given)");
    EXPECT_EQ(vcall(f, {x.get()}, names.get()), "TypeError: f_o() takes no keyword arguments");
    EXPECT_EQ(vcall(f, {x.get(), x.get(), x.get()}, names.get()), "TypeError: f_o() takes no keyword arguments");

    EXPECT_EQ(shown(f, tcall(f, "(1,)")), "('o', F, 1)");
    EXPECT_EQ(shown(f, tcall(f, "(1,)", "{}")), "('o', F, 1)");
    EXPECT_EQ(tcall(f, "()", "{'k': 1}"), "TypeError: f_o() takes no keyword arguments");
    EXPECT_EQ(tcall(f, "(1, 2)", "{1: 1}"), "TypeError: keywords must be strings");
    EXPECT_EQ(tcall(f, "(1, 2)"), "TypeError: f_o() takes exactly one argument (2 given)");
}

TEST_F(FunctionType, NoArgumentConventionAndItsDocumentation) {
    Ref f = make(&def_noargs), x = Ref::steal(one()), names = eval("('k',)");
    EXPECT_EQ(shown(f, vcall(f, {})), "('noargs', F, None)");
    EXPECT_EQ(vcall(f, {x.get()}), "TypeError: f_noargs() takes no arguments (1 given)");
    EXPECT_EQ(vcall(f, {x.get()}, names.get()), "TypeError: f_noargs() takes no keyword arguments");

    // The documentation is made from the method record once, and a deletion
    // is not undone by it.
    Ref doc = Ref::steal(PyObject_GetAttrString(f.get(), "__doc__"));
    EXPECT_EQ(outcome(doc.release()), "'no arguments'");
    Ref again = Ref::steal(PyObject_GetAttrString(f.get(), "func_doc"));
    EXPECT_EQ(again.get(), reinterpret_cast<FunctionObject*>(f.get())->func_doc);
    ASSERT_EQ(PyObject_DelAttrString(f.get(), "__doc__"), 0);
    EXPECT_EQ(outcome(PyObject_GetAttrString(f.get(), "__doc__")), "None");
}

TEST_F(FunctionType, FastKeywordConventionGetsTheCallersArray) {
    Ref f = make(&def_fast_kw), x = Ref::steal(one()), names = eval("('k',)");
    EXPECT_EQ(shown(f, vcall(f, {x.get(), x.get()}, names.get())), "('fast_kw', F, 1, (1, 1), ('k',))");
    EXPECT_EQ(shown(f, vcall(f, {})), "('fast_kw', F, 0, (), None)");

    // A keyword dict becomes trailing values and a name tuple, in dict order.
    Ref value = eval("object()");
    Py_ssize_t before = Py_REFCNT(value.get());
    PyObject_SetItem(globals(), testing_support::name("probe_value"), value.get());
    EXPECT_EQ(shown(f, tcall(f, "(1, 2)", "{'b': 'B', 'a': 'A'}")), "('fast_kw', F, 2, (1, 2, 'B', 'A'), ('b', 'a'))");
    EXPECT_EQ(shown(f, tcall(f, "()", "{}")), "('fast_kw', F, 0, (), None)");
    EXPECT_EQ(tcall(f, "()", "{'a': probe_value, 2: probe_value}"), "TypeError: keywords must be strings");
    EXPECT_EQ(tcall(f, "()", "{2: probe_value, 'a': probe_value}"), "TypeError: keywords must be strings");
    run("del probe_value");
    EXPECT_EQ(Py_REFCNT(value.get()), before);
    // A str subclass is a str.
    run("class StrSub(str): pass");
    EXPECT_EQ(shown(f, tcall(f, "()", "{StrSub('s'): 0}")), "('fast_kw', F, 0, (0,), ('s',))");

    // With allocation k and every later one failing, for every k until the
    // call succeeds: the call fails with an exception and gives every
    // reference back.
    Ref targs = eval("(1, 2)"), kw = eval("{'b': object(), 'a': object()}");
    Ref b = Ref::steal(PyObject_GetItem(kw.get(), testing_support::name("b")));
    Py_ssize_t held = Py_REFCNT(b.get());
    long k = 0;
    for (;; ++k) {
        ASSERT_LT(k, 1000);
        PyGC_Collect();  // empties the free lists: the name tuple is allocated
        PyObject* result;
        {
            testing_support::FailingAllocators failing(k);
            result = Py_TYPE(f.get())->tp_call(f.get(), targs.get(), kw.get());
        }
        if (result) {
            Py_DECREF(result);
            break;
        }
        EXPECT_EQ(take_error().rfind("MemoryError", 0), 0u) << k;
        EXPECT_EQ(Py_REFCNT(b.get()), held) << k;
    }
    EXPECT_GE(k, 2);
}

TEST_F(FunctionType, MethodConventionGetsItsOwnerClass) {
    Ref f = make(&def_method), x = Ref::steal(one()), names = eval("('k',)");
    EXPECT_EQ(shown(f, vcall(f, {x.get()})), "('method', F, None, 1, (1,), None)");
    Ref owner = eval("int");
    reinterpret_cast<FunctionObject*>(f.get())->owner_class = owner.release();
    EXPECT_EQ(shown(f, vcall(f, {x.get(), x.get()}, names.get())),
              "('method', F, <class 'int'>, 1, (1, 1), ('k',))");
    EXPECT_EQ(shown(f, tcall(f, "(5,)", "{'k': 6}")), "('method', F, <class 'int'>, 1, (5, 6), ('k',))");
}

TEST_F(FunctionType, TupleAndDictConventionGoesThroughTheCallSlot) {
    Ref f = make(&def_varargs_kw);
    EXPECT_EQ(reinterpret_cast<FunctionObject*>(f.get())->vectorcall, nullptr);
    EXPECT_EQ(shown(f, tcall(f, "(1, 2)", "{'k': 3}")), "('varargs_kw', F, (1, 2), {'k': 3})");
    EXPECT_EQ(shown(f, tcall(f, "()")), "('varargs_kw', F, (), None)");
    // The interpreter's vector call falls back to the call slot.
    Ref x = Ref::steal(one()), names = eval("('k',)");
    EXPECT_EQ(shown(f, vcall(f, {x.get(), x.get()}, names.get())), "('varargs_kw', F, (1,), {'k': 1})");
}

TEST_F(FunctionType, NativeMethodsTakeTheirReceiverFromTheArguments) {
    Ref r = eval("'recv'"), x = Ref::steal(one()), names = eval("('k',)");
    Ref o = make(&def_o, rt::FUNC_NATIVE_METHOD);
    EXPECT_EQ(vcall(o, {r.get(), x.get()}), "('o', 'recv', 1)");
    EXPECT_EQ(vcall(o, {r.get()}), "TypeError: f_o() takes exactly one argument (0 given)");
    // The receiver is checked first, then keywords, then the count.
    EXPECT_EQ(vcall(o, {}), "TypeError: f_o() needs an argument");
    EXPECT_EQ(vcall(o, {x.get()}, names.get()), "TypeError: f_o() needs an argument");
    EXPECT_EQ(vcall(o, {r.get(), x.get()}, names.get()), "TypeError: f_o() takes no keyword arguments");
    EXPECT_EQ(tcall(o, "('recv', 1)"), "('o', 'recv', 1)");

    Ref n = make(&def_noargs, rt::FUNC_NATIVE_METHOD);
    EXPECT_EQ(vcall(n, {r.get()}), "('noargs', 'recv', None)");
    EXPECT_EQ(vcall(n, {}), "TypeError: f_noargs() needs an argument");

    Ref fk = make(&def_fast_kw, rt::FUNC_NATIVE_METHOD);
    EXPECT_EQ(vcall(fk, {r.get(), x.get()}, names.get()), "('fast_kw', 'recv', 0, (1,), ('k',))");
    EXPECT_EQ(vcall(fk, {}), "TypeError: f_fast_kw() needs an argument");

    Ref m = make(&def_method, rt::FUNC_NATIVE_METHOD);
    EXPECT_EQ(vcall(m, {r.get(), x.get()}), "('method', 'recv', None, 1, (1,), None)");
    EXPECT_EQ(vcall(m, {}), "TypeError: f_method() needs an argument");

    // Without a vector-call entry the call slot takes the receiver, and names
    // the qualified name when there is none.
    Ref v = make(&def_varargs_kw, rt::FUNC_NATIVE_METHOD);
    EXPECT_EQ(tcall(v, "('recv', 1)", "{'k': 2}"), "('varargs_kw', 'recv', (1,), {'k': 2})");
    EXPECT_EQ(tcall(v, "()", "{'k': 2}"), "TypeError: unbound method Owner.method() needs an argument");

    // A static native method keeps the object itself as receiver.
    Ref s = make(&def_o, rt::FUNC_NATIVE_METHOD | rt::FUNC_STATIC);
    EXPECT_EQ(shown(s, vcall(s, {x.get()})), "('o', F, 1)");
    EXPECT_EQ(vcall(s, {r.get(), x.get()}), "TypeError: f_o() takes exactly one argument (2 given)");
}

// Objects of another module may carry a classic record with no vector-call
// entry; the call slot then dispatches on the record alone.
TEST_F(FunctionType, ClassicDispatchCoversEveryConvention) {
    Ref f = make(&def_varargs_kw);
    FunctionObject* fo = reinterpret_cast<FunctionObject*>(f.get());
    fo->m_ml = &def_varargs;
    EXPECT_EQ(shown(f, tcall(f, "(1, 2)", "{}")), "('varargs', F, (1, 2))");
    EXPECT_EQ(tcall(f, "()", "{'k': 1}"), "TypeError: f_varargs() takes no keyword arguments");
    fo->m_ml = &def_noargs;
    EXPECT_EQ(shown(f, tcall(f, "()")), "('noargs', F, None)");
    EXPECT_EQ(tcall(f, "(1, 2)", "{'k': 1}"), "TypeError: f_noargs() takes no keyword arguments");
    EXPECT_EQ(tcall(f, "(1, 2)"), "TypeError: f_noargs() takes no arguments (2 given)");
    fo->m_ml = &def_o;
    EXPECT_EQ(shown(f, tcall(f, "(7,)")), "('o', F, 7)");
    EXPECT_EQ(tcall(f, "()"), "TypeError: f_o() takes exactly one argument (0 given)");
    fo->m_ml = &def_fast_kw;
    EXPECT_EQ(tcall(f, "()"), "SystemError: Bad call flags for CyFunction");
    fo->m_ml = &def_varargs_kw;
}

TEST_F(FunctionType, FastCallEntersDirectEntriesOfThisTypeAndItsSubtypes) {
    static int stub_calls;
    stub_calls = 0;
    vectorcallfunc stub = [](PyObject*, PyObject* const*, size_t, PyObject*) -> PyObject* {
        ++stub_calls;
        Py_RETURN_NONE;
    };
    Ref x = Ref::steal(one());
    PyObject* args[] = {x.get()};
    Ref o = make(&def_o), n = make(&def_noargs), fk = make(&def_fast_kw);
    for (const Ref* f : {&o, &n, &fk}) reinterpret_cast<FunctionObject*>(f->get())->vectorcall = stub;
    EXPECT_EQ(shown(o, outcome(rt::call_vector_bare(o.get(), args, 1))), "('o', F, 1)");
    EXPECT_EQ(shown(n, outcome(rt::call_vector_bare(n.get(), args, 0))), "('noargs', F, None)");
    EXPECT_EQ(stub_calls, 0);
    EXPECT_EQ(outcome(rt::call_vector_bare(fk.get(), args, 1)), "None");
    EXPECT_EQ(stub_calls, 1);

    Ref sub = eval("type('Sub', (__import__('sys').modules[registry_name].cython_function_or_method,), {})");
    PyTypeObject* sub_type = reinterpret_cast<PyTypeObject*>(sub.get());
    rt::g_runtime.function_type = sub_type;
    Ref s = make(&def_o);
    rt::g_runtime.function_type = type_;
    ASSERT_EQ(Py_TYPE(s.get()), sub_type);
    reinterpret_cast<FunctionObject*>(s.get())->vectorcall = stub;
    EXPECT_EQ(shown(s, outcome(rt::call_vector_bare(s.get(), args, 1))), "('o', F, 1)");
    EXPECT_EQ(stub_calls, 1);
}

// Entering a native method directly would hand its entry the function object
// as receiver; the fast call leaves the receiver to the vector-call entry.
TEST_F(FunctionType, FastCallLeavesNativeMethodsToTheirVectorCallEntry) {
    Ref r = eval("'recv'"), x = Ref::steal(one());
    Ref o = make(&def_o, rt::FUNC_NATIVE_METHOD);
    PyObject* one_arg[] = {r.get()};
    EXPECT_EQ(outcome(rt::call_vector_bare(o.get(), one_arg, 1)),
              "TypeError: f_o() takes exactly one argument (0 given)");
    PyObject* two_args[] = {r.get(), x.get()};
    EXPECT_EQ(outcome(rt::call_vector_bare(o.get(), two_args, 2)), "('o', 'recv', 1)");
    Ref n = make(&def_noargs, rt::FUNC_NATIVE_METHOD);
    EXPECT_EQ(outcome(rt::call_vector_bare(n.get(), nullptr, 0)), "TypeError: f_noargs() needs an argument");
    // A static native method keeps the object itself as receiver, directly too.
    Ref s = make(&def_o, rt::FUNC_NATIVE_METHOD | rt::FUNC_STATIC);
    EXPECT_EQ(shown(s, outcome(rt::call_vector_bare(s.get(), two_args, 1))), "('o', F, 'recv')");
}

namespace {
int provider_calls;
PyObject* provider_answer;  // borrowed by the provider; null makes it fail

PyObject* provider(PyObject*) {
    ++provider_calls;
    if (!provider_answer) {
        PyErr_SetString(PyExc_LookupError, "no defaults");
        return nullptr;
    }
    Py_INCREF(provider_answer);
    return provider_answer;
}
}  // namespace

TEST_F(FunctionType, DefaultsComeFromTheProviderOnce) {
    Ref f = make(&def_fast_kw);
    reinterpret_cast<FunctionObject*>(f.get())->defaults_provider = provider;
    provider_calls = 0;
    provider_answer = nullptr;
    EXPECT_EQ(outcome(PyObject_GetAttrString(f.get(), "__kwdefaults__")), "LookupError: no defaults");
    EXPECT_EQ(reinterpret_cast<FunctionObject*>(f.get())->func_defaults, nullptr);

    Ref answer = eval("((1, 2), {'k': 3})");
    provider_answer = answer.get();
    EXPECT_EQ(outcome(PyObject_GetAttrString(f.get(), "__kwdefaults__")), "{'k': 3}");
    EXPECT_EQ(outcome(PyObject_GetAttrString(f.get(), "__defaults__")), "(1, 2)");
    EXPECT_EQ(outcome(PyObject_GetAttrString(f.get(), "func_defaults")), "(1, 2)");
    EXPECT_EQ(provider_calls, 2);

    // An emptied cache refills both from the provider.
    Ref other = eval("{'other': 1}");
    FunctionObject* fo = reinterpret_cast<FunctionObject*>(f.get());
    Py_CLEAR(fo->func_defaults);
    Py_INCREF(other.get());
    Py_SETREF(fo->func_kwdefaults, other.get());
    EXPECT_EQ(outcome(PyObject_GetAttrString(f.get(), "__defaults__")), "(1, 2)");
    EXPECT_EQ(outcome(PyObject_GetAttrString(f.get(), "__kwdefaults__")), "{'k': 3}");
    EXPECT_EQ(provider_calls, 3);
    provider_answer = nullptr;
}

TEST_F(FunctionType, TraversalClearAndDeallocationCoverEveryOwnedField) {
    Ref f = make(&def_o);
    FunctionObject* fo = reinterpret_cast<FunctionObject*>(f.get());
    // Fill every owned field with a distinct object, in traversal order.
    Ref objs = eval("[object() for _ in range(15)]");
    auto obj = [&](int i) {
        PyObject* o = PyList_GET_ITEM(objs.get(), i);
        Py_INCREF(o);
        return o;
    };
    Py_SETREF(fo->m_module, obj(1));
    Py_SETREF(fo->func_qualname, obj(4));
    Py_SETREF(fo->func_globals, obj(6));
    fo->func_closure = obj(0);
    fo->func_dict = obj(2);
    fo->func_name = obj(3);
    fo->func_doc = obj(5);
    fo->func_code = obj(7);
    fo->owner_class = obj(8);
    fo->func_defaults = obj(9);
    fo->func_kwdefaults = obj(10);
    fo->func_annotations = obj(11);
    fo->is_coroutine_cache = obj(12);
    fo->defaults_block = PyObject_Malloc(3 * sizeof(PyObject*));
    fo->defaults_block_size = 3 * sizeof(PyObject*);
    fo->defaults_object_count = 3;  // the last one not set: skipped
    static_cast<PyObject**>(fo->defaults_block)[0] = obj(13);
    static_cast<PyObject**>(fo->defaults_block)[1] = obj(14);
    static_cast<PyObject**>(fo->defaults_block)[2] = nullptr;

    Ref gc = Ref::steal(PyImport_ImportModule("gc"));
    Ref referents = Ref::steal(PyObject_CallMethod(gc.get(), "get_referents", "O", f.get()));
    ASSERT_TRUE(referents) << take_error();
    EXPECT_EQ(PyObject_RichCompareBool(referents.get(), objs.get(), Py_EQ), 1);
    // A visitor that stops ends the traversal at once with its own result, at
    // every field.
    struct Stop {
        int at, seen;
    };
    for (int k = 0; k < 15; ++k) {
        Stop stop{k, 0};
        visitproc visit = [](PyObject*, void* arg) {
            auto* s = static_cast<Stop*>(arg);
            return s->seen++ == s->at ? 7 : 0;
        };
        EXPECT_EQ(Py_TYPE(f.get())->tp_traverse(f.get(), visit, &stop), 7) << k;
        EXPECT_EQ(stop.seen, k + 1) << k;
    }

    std::vector<Py_ssize_t> before;
    for (int i = 0; i < 15; ++i) before.push_back(Py_REFCNT(PyList_GET_ITEM(objs.get(), i)));
    ASSERT_EQ(Py_TYPE(f.get())->tp_clear(f.get()), 0);
    for (int i = 0; i < 15; ++i) EXPECT_EQ(Py_REFCNT(PyList_GET_ITEM(objs.get(), i)), before[i] - 1) << i;
    EXPECT_EQ(fo->defaults_block, nullptr);
    EXPECT_EQ(fo->func_qualname, nullptr);
    EXPECT_EQ(fo->m_ml, &def_o);  // the record and the receiver are not the object's to release
    EXPECT_EQ(fo->m_self, f.get());
    referents = Ref::steal(PyObject_CallMethod(gc.get(), "get_referents", "O", f.get()));
    EXPECT_EQ(PyList_GET_SIZE(referents.get()), 0);

    // Deallocation releases what the fields hold and kills weak references.
    Ref g = make(&def_o);
    FunctionObject* go = reinterpret_cast<FunctionObject*>(g.get());
    go->defaults_block = PyObject_Malloc(sizeof(PyObject*));
    go->defaults_object_count = 1;
    static_cast<PyObject**>(go->defaults_block)[0] = obj(13);
    Ref weak = Ref::steal(PyWeakref_NewRef(g.get(), nullptr));
    Py_ssize_t held = Py_REFCNT(PyList_GET_ITEM(objs.get(), 13));
    g.reset();
    EXPECT_EQ(Ref::steal(PyObject_CallObject(weak.get(), nullptr)).get(), Py_None);  // a dead reference
    EXPECT_EQ(Py_REFCNT(PyList_GET_ITEM(objs.get(), 13)), held - 1);
}

TEST_F(FunctionType, AttributesMadeOnFirstReadFailCleanlyWithoutMemory) {
    // Each attribute made on its first read: with every allocation failing the
    // read raises MemoryError and leaves the field unset; the next read makes it.
    static PyMethodDef documented = {"documented", reinterpret_cast<PyCFunction>(+[](PyObject*, PyObject*) {
                                         Py_RETURN_NONE;
                                     }),
                                     METH_NOARGS, "the documentation"};
    const char* const names[] = {"__doc__", "__name__", "__dict__", "__annotations__"};
    for (const char* attr : names) {
        Ref f = make(&documented);
        Ref name = Ref::borrow(testing_support::name(attr));
        PyGC_Collect();  // empties the free lists: the first dict is allocated
        {
            testing_support::FailingAllocators failing(0);
            EXPECT_EQ(PyObject_GetAttr(f.get(), name.get()), nullptr) << attr;
        }
        EXPECT_EQ(take_error().rfind("MemoryError", 0), 0u) << attr;
        Ref value = Ref::steal(PyObject_GetAttr(f.get(), name.get()));
        EXPECT_TRUE(value) << attr << ": " << take_error();
    }
}

TEST_F(FunctionType, CoroutineMarkerComesFromAsyncio) {
    Ref plain = make(&def_o);
    EXPECT_EQ(outcome(PyObject_GetAttrString(plain.get(), "_is_coroutine")), "False");

    Ref marker = eval("__import__('asyncio.coroutines').coroutines._is_coroutine");
    Ref f = make(&def_o, rt::FUNC_COROUTINE);
    Ref read = Ref::steal(PyObject_GetAttrString(f.get(), "_is_coroutine"));
    EXPECT_EQ(read.get(), marker.get());
    // Kept once computed.
    run("import asyncio.coroutines as _ac\n_saved = _ac._is_coroutine\ndel _ac._is_coroutine");
    Ref again = Ref::steal(PyObject_GetAttrString(f.get(), "_is_coroutine"));
    EXPECT_EQ(again.get(), marker.get());
    // A failed attribute read or import answers True.
    Ref missing = make(&def_o, rt::FUNC_COROUTINE);
    EXPECT_EQ(outcome(PyObject_GetAttrString(missing.get(), "_is_coroutine")), "True");
    run("_ac._is_coroutine = _saved\nimport sys\n_mod = sys.modules['asyncio.coroutines']\n"
        "sys.modules['asyncio.coroutines'] = None");
    Ref unimportable = make(&def_o, rt::FUNC_COROUTINE);
    EXPECT_EQ(outcome(PyObject_GetAttrString(unimportable.get(), "_is_coroutine")), "True");
    run("sys.modules['asyncio.coroutines'] = _mod\ndel _ac, _saved, _mod");
}

// ---- the registry -------------------------------------------------------------

namespace {

PyTypeObject make_probe_type(const char* name, Py_ssize_t size) {
    PyTypeObject t{};
    t.ob_base.ob_base.ob_refcnt = 1;
    t.tp_name = name;
    t.tp_basicsize = size;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    return t;
}

PyObject* probe_get(PyObject*, void*) noexcept {
    Py_RETURN_NONE;
}

// Enough attributes that the type's dictionary grows several times while it
// is made ready.
PyGetSetDef probe_getset[] = {
    {"g00", probe_get, nullptr, nullptr, nullptr}, {"g01", probe_get, nullptr, nullptr, nullptr},
    {"g02", probe_get, nullptr, nullptr, nullptr}, {"g03", probe_get, nullptr, nullptr, nullptr},
    {"g04", probe_get, nullptr, nullptr, nullptr}, {"g05", probe_get, nullptr, nullptr, nullptr},
    {"g06", probe_get, nullptr, nullptr, nullptr}, {"g07", probe_get, nullptr, nullptr, nullptr},
    {"g08", probe_get, nullptr, nullptr, nullptr}, {"g09", probe_get, nullptr, nullptr, nullptr},
    {"g10", probe_get, nullptr, nullptr, nullptr}, {"g11", probe_get, nullptr, nullptr, nullptr},
    {"g12", probe_get, nullptr, nullptr, nullptr}, {"g13", probe_get, nullptr, nullptr, nullptr},
    {"g14", probe_get, nullptr, nullptr, nullptr}, {"g15", probe_get, nullptr, nullptr, nullptr},
    {"g16", probe_get, nullptr, nullptr, nullptr}, {"g17", probe_get, nullptr, nullptr, nullptr},
    {"g18", probe_get, nullptr, nullptr, nullptr}, {"g19", probe_get, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject probe_dotted = make_probe_type("some.where.probe_dotted", 64);
PyTypeObject probe_plain = make_probe_type("probe_plain", 64);
PyTypeObject probe_sized = make_probe_type("x.probe_sized", sizeof(PyObject));

}  // namespace

// Each case runs with the registry replaced by its own module object, and
// the real one put back afterwards.
class FunctionRegistry : public EmbeddedTest {
protected:
    void SetUp() override {
        EmbeddedTest::SetUp();
        bind_registry_name();
        run("import sys, types\n_registry = sys.modules.pop(registry_name, None)");
    }
    void TearDown() override {
        // The registries the case made stay alive for the process: the names
        // registered in them are interned for good (from 3.13 an interned str
        // is never freed, and one that nothing points to would count as lost).
        run("_kept_registries = globals().get('_kept_registries', [])\n"
            "_kept_registries.append(sys.modules.get(registry_name))\n"
            "if _registry is None: sys.modules.pop(registry_name, None)\n"
            "else: sys.modules[registry_name] = _registry\n"
            "del _registry");
        EmbeddedTest::TearDown();
    }
    static std::string fetch(PyTypeObject* own) {
        PyTypeObject* t = rt::fetch_shared_type(own);
        if (!t) return take_error();
        std::string name = t->tp_name;
        Py_DECREF(t);
        return t == own ? "own " + name : "other " + name;
    }
};

TEST_F(FunctionRegistry, TheFirstTypeIsRegisteredUnderItsShortNameAndLaterOnesAdoptIt) {
    EXPECT_EQ(fetch(&probe_dotted), "own some.where.probe_dotted");
    EXPECT_TRUE(PyType_HasFeature(&probe_dotted, Py_TPFLAGS_READY));
    Ref registered = eval("sys.modules[registry_name].probe_dotted");
    EXPECT_EQ(registered.get(), reinterpret_cast<PyObject*>(&probe_dotted));

    EXPECT_EQ(fetch(&probe_plain), "own probe_plain");
    registered = eval("sys.modules[registry_name].probe_plain");
    EXPECT_EQ(registered.get(), reinterpret_cast<PyObject*>(&probe_plain));

    // A later module's own type of the same short name is never readied.
    PyTypeObject later = make_probe_type("other.place.probe_dotted", 64);
    EXPECT_EQ(fetch(&later), "other some.where.probe_dotted");
    EXPECT_FALSE(PyType_HasFeature(&later, Py_TPFLAGS_READY));
}

// With allocation k and every later one failing, for every k until it
// succeeds: the type is registered, or an exception says why not, and the
// next attempt without failures registers it with every attribute in place
// (CPython 3.13.0 left the type's dictionary with a garbage entry when it
// failed to grow it, and the next attempt crashed on it).
TEST_F(FunctionRegistry, ATypeMadeReadyAfterAllocationFailuresHasEveryAttribute) {
    long k = 0;
    for (;; ++k) {
        ASSERT_LT(k, 1000);
        // A static type is never freed: each attempt has one of its own.
        std::string name = "probe_ready_" + std::to_string(k);
        auto* own = new PyTypeObject(make_probe_type((new std::string(name))->c_str(), 64));
        own->tp_getset = probe_getset;
        std::string first;
        {
            testing_support::FailingAllocators failing(k);
            PyTypeObject* t = rt::fetch_shared_type(own);
            first = t ? "own" : take_error();
            Py_XDECREF(t);
        }
        if (first != "own") {
            EXPECT_EQ(first.rfind("MemoryError", 0), 0u) << k << ": " << first;
        }
        EXPECT_EQ(fetch(own), "own " + name) << k;
        Ref names = eval(("' '.join(sorted(n for n in vars(sys.modules[registry_name]." + name +
                          ") if n[0] == 'g'))").c_str());
        ASSERT_TRUE(names) << take_error();
        EXPECT_STREQ(PyUnicode_AsUTF8(names.get()),
                     "g00 g01 g02 g03 g04 g05 g06 g07 g08 g09 g10 g11 g12 g13 g14 g15 g16 g17 g18 g19")
            << k;
        if (first == "own") break;
    }
    EXPECT_GE(k, 5);
}

TEST_F(FunctionRegistry, RegisteredObjectsAreCheckedForKindAndSize) {
    run("sys.modules[registry_name] = types.ModuleType(registry_name)\n"
        "sys.modules[registry_name].probe_sized = 'not a type'");
    EXPECT_EQ(fetch(&probe_sized), "TypeError: Shared Cython type probe_sized is not a type object");
    // A slot makes the instances bigger on every version (from 3.12 a plain
    // class keeps its dict and weak references outside the instance).
    run("sys.modules[registry_name].probe_sized = type('Big', (), {'__slots__': ('big',)})");
    EXPECT_EQ(fetch(&probe_sized), "TypeError: Shared Cython type probe_sized has the wrong size, try recompiling");
    // Only the size is compared: a type of the same size is adopted.
    run("sys.modules[registry_name].probe_sized = object");
    EXPECT_EQ(fetch(&probe_sized), "other object");
}

TEST_F(FunctionRegistry, ErrorsOfTheRegistryModulePassThrough) {
    run("class Hostile(types.ModuleType):\n"
        "    def __getattr__(self, name): raise KeyError(name)\n"
        "sys.modules[registry_name] = Hostile(registry_name)");
    EXPECT_EQ(fetch(&probe_dotted), "KeyError: 'probe_dotted'");
    run("class ReadOnly(types.ModuleType):\n"
        "    def __setattr__(self, name, value): raise PermissionError(name)\n"
        "sys.modules[registry_name] = ReadOnly(registry_name)");
    EXPECT_EQ(fetch(&probe_dotted), "PermissionError: probe_dotted");
}
