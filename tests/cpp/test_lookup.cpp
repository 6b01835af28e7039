// Global lookups with their site memos, attribute reads, exception matching,
// string equality and dict item reads.
#include "tests/cpp/embed.h"

#include <cstring>
#include <set>
#include <string>

#include "runtime/lookup.h"
#include "runtime/protocol.h"
#include "runtime/runtime_state.h"

using rt::Ref;
using testing_support::eval;
using testing_support::name;
using testing_support::run;
using testing_support::take_error;

namespace {

// Points the runtime at a fresh module dictionary for the test, so that the
// memo and version checks see only the changes the test makes.
class GlobalLookup : public EmbeddedTest {
protected:
    void SetUp() override {
        EmbeddedTest::SetUp();
        saved_ = rt::g_runtime.module_dict;
        dict_ = Ref::steal(PyDict_New());
        ASSERT_TRUE(dict_);
        rt::g_runtime.module_dict = dict_.get();
    }
    void TearDown() override {
        rt::g_runtime.module_dict = saved_;
        run("import builtins\n"
            "for n in ('lk_only_builtin', 'lk_shadowed'):\n"
            "    builtins.__dict__.pop(n, None)\n");
        EmbeddedTest::TearDown();
    }
    // True when the memo's version still proves the dictionary unchanged.
    bool current(const rt::SiteMemo& memo) const { return rt::compat::dict_unchanged(dict_.get(), memo.version); }
    void set(PyObject* key, PyObject* value) { ASSERT_EQ(PyDict_SetItem(dict_.get(), key, value), 0); }

    PyObject* saved_ = nullptr;
    Ref dict_;
};

TEST_F(GlobalLookup, MemoIsReusedWhileTheDictionaryIsUnchanged) {
    PyObject* key = name("lk_value");
    Ref value = eval("object()");
    set(key, value.get());
    rt::SiteMemo memo;
    Ref found = Ref::steal(rt::get_global(memo, key));
    EXPECT_EQ(found.get(), value.get());
    EXPECT_TRUE(current(memo));
    EXPECT_EQ(memo.value, value.get());

    // Only the memo can answer with an object the dictionary does not hold.
    Ref planted = eval("object()");
    memo.value = planted.get();
    Py_ssize_t before = Py_REFCNT(planted.get());
    Ref again = Ref::steal(rt::get_global(memo, key));
    EXPECT_EQ(again.get(), planted.get());
    EXPECT_EQ(Py_REFCNT(planted.get()), before + 1);
    // The search on its own answers from the memo too, while it holds.
    Ref searched = Ref::steal(rt::get_global_search(memo, key));
    EXPECT_EQ(searched.get(), planted.get());
    EXPECT_EQ(Py_REFCNT(planted.get()), before + 2);
}

TEST_F(GlobalLookup, AnyChangeOfTheDictionaryMakesTheSiteSearchAgain) {
    PyObject* key = name("lk_value");
    PyObject* other = name("lk_other");
    Ref value = eval("object()");
    Ref replacement = eval("object()");
    Ref planted = eval("object()");
    set(key, value.get());
    set(other, Py_None);
    const struct {
        const char* change;
        PyObject* expected;
        void (*apply)(PyObject* dict, PyObject* key, PyObject* other, PyObject* replacement);
    } changes[] = {
        {"another key added", value.get(),
         [](PyObject* d, PyObject*, PyObject*, PyObject*) { PyDict_SetItem(d, name("lk_new"), Py_True); }},
        {"another key rebound", value.get(),
         [](PyObject* d, PyObject*, PyObject* o, PyObject*) { PyDict_SetItem(d, o, Py_False); }},
        {"another key deleted", value.get(),
         [](PyObject* d, PyObject*, PyObject*, PyObject*) { PyDict_DelItemString(d, "lk_new"); }},
        {"the key rebound", replacement.get(),
         [](PyObject* d, PyObject* k, PyObject*, PyObject* r) { PyDict_SetItem(d, k, r); }},
    };
    for (const auto& c : changes) {
        rt::SiteMemo memo;
        Ref first = Ref::steal(rt::get_global(memo, key));
        ASSERT_TRUE(first) << c.change;
        memo.value = planted.get();
        c.apply(dict_.get(), key, other, replacement.get());
        ASSERT_FALSE(PyErr_Occurred()) << c.change;
        EXPECT_FALSE(current(memo)) << c.change;
        Ref found = Ref::steal(rt::get_global(memo, key));
        EXPECT_EQ(found.get(), c.expected) << c.change;
        EXPECT_EQ(memo.value, c.expected) << c.change;
        EXPECT_TRUE(current(memo)) << c.change;
    }
}

TEST_F(GlobalLookup, NamesOnlyInBuiltinsAreAskedForAtEveryUse) {
    PyObject* key = name("lk_only_builtin");
    rt::SiteMemo memo;
    Ref missing = Ref::steal(rt::get_global(memo, key));
    EXPECT_FALSE(missing);
    EXPECT_EQ(take_error(), "NameError: name 'lk_only_builtin' is not defined");
    EXPECT_TRUE(current(memo));
    EXPECT_EQ(memo.value, nullptr);

    run("import builtins\nbuiltins.lk_only_builtin = 'first'\n");
    Ref first = Ref::steal(rt::get_global(memo, key));
    ASSERT_TRUE(first);
    EXPECT_STREQ(PyUnicode_AsUTF8(first.get()), "first");
    // The module dictionary did not change, yet the new builtin is seen.
    run("import builtins\nbuiltins.lk_only_builtin = 'second'\n");
    Ref second = Ref::steal(rt::get_global(memo, key));
    ASSERT_TRUE(second);
    EXPECT_STREQ(PyUnicode_AsUTF8(second.get()), "second");
    EXPECT_TRUE(current(memo));
    EXPECT_EQ(memo.value, nullptr);

    // Once the module binds the name, the module's value wins.
    Ref own = eval("'own'");
    set(key, own.get());
    Ref third = Ref::steal(rt::get_global(memo, key));
    EXPECT_EQ(third.get(), own.get());
}

TEST_F(GlobalLookup, BuiltinLookupRaisesNameErrorWithTheName) {
    run("import builtins\nbuiltins.lk_shadowed = 5\n");
    Ref found = Ref::steal(rt::get_builtin(name("lk_shadowed")));
    ASSERT_TRUE(found);
    EXPECT_EQ(PyLong_AsLong(found.get()), 5);
    EXPECT_FALSE(Ref::steal(rt::get_builtin(name("lk_nowhere"))));
    EXPECT_EQ(take_error(), "NameError: name 'lk_nowhere' is not defined");
}

TEST_F(GlobalLookup, EachNameKeepsItsOwnNameErrorText) {
    // The texts are made once per name: alternating names must not mix them.
    for (int round = 0; round < 2; ++round) {
        for (const char* missing : {"lk_gone_a", "lk_gone_b"}) {
            EXPECT_FALSE(Ref::steal(rt::get_builtin(name(missing))));
            EXPECT_EQ(take_error(), std::string("NameError: name '") + missing + "' is not defined");
        }
    }
}

TEST_F(GlobalLookup, AFailedSearchIsNotMemoisedAsAbsent) {
    // A key equal in hash to the name whose comparison raises.
    run("class LkClash:\n"
        "    def __hash__(self): return hash('lk_clash')\n"
        "    def __eq__(self, other): raise RuntimeError('compare')\n");
    Ref clash = eval("LkClash()");
    set(clash.get(), Py_None);
    PyObject* key = name("lk_clash");
    rt::SiteMemo memo;
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_FALSE(Ref::steal(rt::get_global(memo, key)));
        EXPECT_EQ(take_error(), "RuntimeError: compare") << "attempt " << attempt;
    }
}

class AttributeRead : public EmbeddedTest {};

TEST_F(AttributeRead, OnlyAnAttributeErrorMeansAbsent) {
    run("class LkAttrSub(AttributeError): pass\n"
        "class LkGetattr:\n"
        "    def __getattr__(self, n):\n"
        "        if n == 'lk_sub': raise LkAttrSub(n)\n"
        "        if n == 'lk_key': raise KeyError(n)\n"
        "        raise AttributeError(n)\n"
        "class LkPlain: pass\n");
    Ref custom = eval("LkGetattr()");
    Ref plain = eval("LkPlain()");
    const struct {
        PyObject* obj;
        const char* attr;
        const char* error;
    } cases[] = {
        {plain.get(), "lk_missing", ""},     // the generic read that suppresses the error
        {custom.get(), "lk_missing", ""},    // AttributeError itself
        {custom.get(), "lk_sub", ""},        // a subclass of it
        {custom.get(), "lk_key", "KeyError: 'lk_key'"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(Ref::steal(rt::get_attr_noerror(c.obj, name(c.attr)))) << c.attr;
        EXPECT_EQ(take_error(), c.error) << c.attr;
    }
    EXPECT_FALSE(Ref::steal(rt::get_attr(custom.get(), name("lk_sub"))));
    EXPECT_EQ(take_error(), "LkAttrSub: lk_sub");
    run("LkPlain.lk_there = 3\n");
    Ref there = Ref::steal(rt::get_attr_noerror(plain.get(), name("lk_there")));
    ASSERT_TRUE(there);
    EXPECT_EQ(PyLong_AsLong(there.get()), 3);
}

TEST_F(AttributeRead, AModuleAnswersLikeItsOwnAttributeRead) {
    run("import types\n"
        "lk_mod = types.ModuleType('lk_mod')\n"
        "lk_mod.present = 1\n"
        "class LkModSub(types.ModuleType): pass\n"
        "lk_sub_mod = LkModSub('lk_sub_mod')\n");
    Ref mod = eval("lk_mod");
    Ref sub = eval("lk_sub_mod");
    for (PyObject* m : {mod.get(), sub.get()}) {
        EXPECT_FALSE(Ref::steal(rt::get_attr_noerror(m, name("lk_absent"))));
        EXPECT_EQ(take_error(), "");
    }
    Ref present = Ref::steal(rt::get_attr_noerror(mod.get(), name("present")));
    ASSERT_TRUE(present);
    EXPECT_EQ(PyLong_AsLong(present.get()), 1);
    // The module's __getattr__ is still asked, and only its AttributeError means absent.
    run("def lk_hook(n):\n"
        "    if n == 'lk_key': raise KeyError(n)\n"
        "    if n == 'lk_absent': raise AttributeError(n)\n"
        "    return 'hooked ' + n\n"
        "lk_mod.__getattr__ = lk_hook\n");
    Ref hooked = Ref::steal(rt::get_attr_noerror(mod.get(), name("lk_other")));
    ASSERT_TRUE(hooked);
    EXPECT_STREQ(PyUnicode_AsUTF8(hooked.get()), "hooked lk_other");
    EXPECT_FALSE(Ref::steal(rt::get_attr_noerror(mod.get(), name("lk_absent"))));
    EXPECT_EQ(take_error(), "");
    EXPECT_FALSE(Ref::steal(rt::get_attr_noerror(mod.get(), name("lk_key"))));
    EXPECT_EQ(take_error(), "KeyError: 'lk_key'");
    run("del lk_mod, lk_sub_mod, LkModSub, lk_hook\n");
}

// The no-error read of a module gives what the module type's own read followed
// by the no-error rule gives, errors included, whatever the interpreter's read
// does with a failing search of the dictionary (a key whose comparison
// raises), of the name or of the module's __getattr__ hook. The interpreter
// itself is the reference: the expectations are not written here.
TEST_F(AttributeRead, AModuleReadGivesWhatTheModuleTypesOwnReadGives) {
    run("import types\n"
        "class LkAttrSub(AttributeError): pass\n"
        "class LkProbe:\n"
        "    armed = False\n"
        "    def __init__(self, key, exc): self.h, self.exc = hash(key), exc\n"
        "    def __hash__(self): return self.h\n"
        "    def __eq__(self, other):\n"
        "        if LkProbe.armed: raise self.exc('search failed')\n"
        "        return False\n"
        "def lk_hook_value(n): return 'hooked ' + n\n"
        "def lk_hook_absent(n): raise AttributeError(n)\n"
        "def lk_hook_key(n): raise KeyError(n)\n"
        "class LkModSub(types.ModuleType): pass\n"
        "def lk_module(kind, probe_key, exc, hook, present):\n"
        "    m = (types.ModuleType if kind == 'plain' else LkModSub)('lk_m')\n"
        "    if hook: m.__getattr__ = hook\n"
        "    if present: m.lk_name = 'present'\n"
        "    LkProbe.armed = False\n"
        "    if probe_key: m.__dict__[LkProbe(probe_key, exc)] = None\n"
        "    return m\n");
    const char* const kinds[] = {"plain", "sub"};
    const char* const probe_keys[] = {"None", "'__getattr__'", "'lk_name'"};
    const char* const excs[] = {"RuntimeError", "AttributeError", "LkAttrSub"};
    const char* const hooks[] = {"None", "lk_hook_value", "lk_hook_absent", "lk_hook_key"};
    PyObject* attr = name("lk_name");
    // Describes the outcome of a read and clears its error.
    auto outcome = [](PyObject* result) {
        Ref owned = Ref::steal(result);
        if (owned) return std::string("value ") + PyUnicode_AsUTF8(owned.get());
        std::string error = take_error();
        return error.empty() ? std::string("absent") : error;
    };
    std::set<std::string> seen;
    int cases = 0;
    for (const char* kind : kinds)
        for (const char* probe_key : probe_keys)
            for (const char* exc : excs)
                for (const char* hook : hooks)
                    for (const char* present : {"False", "True"}) {
                        std::string make = std::string("lk_module('") + kind + "', " + probe_key + ", " +
                                           exc + ", " + hook + ", " + present + ")";
                        Ref m = eval(make.c_str());
                        ASSERT_TRUE(m) << make;
                        run("LkProbe.armed = True\n");
                        std::string expected = outcome(PyModule_Type.tp_getattro(m.get(), attr));
                        if (expected.rfind("AttributeError", 0) == 0 || expected.rfind("LkAttrSub", 0) == 0)
                            expected = "absent";
                        std::string got = outcome(rt::get_attr_noerror(m.get(), attr));
                        run("LkProbe.armed = False\n");
                        EXPECT_EQ(got, expected) << make;
                        seen.insert(expected);
                        ++cases;
                    }
    EXPECT_EQ(cases, 2 * 3 * 3 * 4 * 2);
    // Modules made without a dictionary (ModuleType.__new__ alone leaves it
    // out before 3.11): the read is the generic one, with no hook to ask.
    for (const char* make : {"types.ModuleType.__new__(types.ModuleType)",
                             "types.ModuleType.__new__(LkModSub)"}) {
        Ref m = eval(make);
        ASSERT_TRUE(m) << make;
        std::string expected = outcome(PyModule_Type.tp_getattro(m.get(), attr));
        EXPECT_EQ(expected.rfind("AttributeError", 0), 0u) << make << ": " << expected;
        EXPECT_EQ(outcome(rt::get_attr_noerror(m.get(), attr)), "absent") << make;
    }
    // A name the module type itself defines is read the generic way too.
    Ref m = eval("lk_module('plain', None, RuntimeError, lk_hook_value, True)");
    PyObject* dict_name = name("__dict__");
    Ref expected = Ref::steal(PyModule_Type.tp_getattro(m.get(), dict_name));
    Ref got = Ref::steal(rt::get_attr_noerror(m.get(), dict_name));
    ASSERT_TRUE(expected && PyDict_Check(expected.get()));
    EXPECT_EQ(got.get(), expected.get());
    // The cases reach every kind of answer: a value, the hook's, absence and
    // an error passed on from the search and from the hook.
    for (const char* answer : {"value present", "value hooked lk_name", "absent",
                               "RuntimeError: search failed", "KeyError: 'lk_name'"})
        EXPECT_EQ(seen.count(answer), 1u) << answer;
    run("del LkAttrSub, LkProbe, lk_hook_value, lk_hook_absent, lk_hook_key, LkModSub, lk_module\n");
}

// On every version a read of a module's own attribute is remembered and the
// next read answers from the memo until the module's dictionary changes.
TEST_F(AttributeRead, AModuleAttributeIsRememberedUntilItsDictionaryChanges) {
    run("import types\nlk_mod = types.ModuleType('lk_mod')\nlk_mod.value = object()\n");
    Ref mod = eval("lk_mod");
    Ref value = eval("lk_mod.value");
    PyObject* attr = name("value");
    rt::AttrMemo memo;
    Ref first = Ref::steal(rt::get_attr_memo(memo, mod.get(), attr));
    EXPECT_EQ(first.get(), value.get());
    EXPECT_EQ(memo.type, &PyModule_Type);
    EXPECT_EQ(memo.value, value.get());
    // Only the memo can answer with an object the dictionary does not hold.
    Ref planted = eval("object()");
    memo.value = planted.get();
    Ref second = Ref::steal(rt::get_attr_memo(memo, mod.get(), attr));
    EXPECT_EQ(second.get(), planted.get());
    run("lk_mod.value = 'changed'\n");
    Ref third = Ref::steal(rt::get_attr_memo(memo, mod.get(), attr));
    ASSERT_TRUE(third);
    EXPECT_STREQ(PyUnicode_AsUTF8(third.get()), "changed");
    EXPECT_EQ(memo.value, third.get());
    run("del lk_mod\n");
}

class ExceptionMatch : public EmbeddedTest {
protected:
    int match(const char* type, const char* target) {
        Ref t = eval(type);
        Ref e = eval(target);
        return rt::exception_matches(t.get(), e.get());
    }
    int match_for_lookup(const char* type, const char* target) {
        Ref t = eval(type);
        Ref e = eval(target);
        return rt::exception_matches_for_lookup(t.get(), e.get());
    }
};

TEST_F(ExceptionMatch, ClassesAndTuplesOfClasses) {
    run("class LkTuple(tuple): pass\n");
    const struct {
        const char* type;
        const char* target;
        int expected;
    } cases[] = {
        {"KeyError", "KeyError", 1},
        {"KeyError", "LookupError", 1},
        {"LookupError", "KeyError", 0},
        {"KeyError", "BaseException", 1},
        {"KeyError", "(ValueError, LookupError)", 1},
        {"KeyError", "(ValueError, TypeError)", 0},
        {"KeyError", "()", 0},
        {"KeyError", "(int, 'x', LookupError)", 1},  // non-classes are skipped
        {"KeyError", "LkTuple((ValueError, KeyError))", 1},
        {"KeyError", "((KeyError,),)", 0},           // a nested tuple is not a class
        {"KeyError", "(KeyError(),)", 0},
        {"KeyError", "KeyError()", 0},
        {"int", "(int,)", 1},                       // not an exception class: the interpreter decides
        {"int", "object", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(match(c.type, c.target), c.expected) << c.type << " vs " << c.target;
}

TEST_F(ExceptionMatch, TheLookupRuleAppliesTheFullMatchToEachElement) {
    EXPECT_EQ(match_for_lookup("KeyError", "((LookupError,),)"), 1);
    EXPECT_EQ(match("KeyError", "((LookupError,),)"), 0);
    EXPECT_EQ(match_for_lookup("KeyError", "(ValueError, (TypeError,))"), 0);
    EXPECT_EQ(match_for_lookup("KeyError", "(1, LookupError)"), 1);
    EXPECT_EQ(match_for_lookup("KeyError", "LookupError"), 1);
    EXPECT_EQ(match_for_lookup("LookupError", "KeyError"), 0);
}

// Counts rich comparisons that reach str's slot.
int lk_str_compares = 0;
richcmpfunc lk_str_richcompare = nullptr;
PyObject* lk_counting_richcompare(PyObject* a, PyObject* b, int op) {
    ++lk_str_compares;
    return lk_str_richcompare(a, b, op);
}

class StrEquals : public EmbeddedTest {
protected:
    void SetUp() override {
        EmbeddedTest::SetUp();
        lk_str_compares = 0;
        lk_str_richcompare = PyUnicode_Type.tp_richcompare;
        PyUnicode_Type.tp_richcompare = lk_counting_richcompare;
    }
    void TearDown() override {
        PyUnicode_Type.tp_richcompare = lk_str_richcompare;
        EmbeddedTest::TearDown();
    }
    // A fresh, unhashed exact str (never an interned or cached one, bar the
    // empty str, which the interpreter always shares).
    static Ref fresh(const char* text) {
        Ref s = Ref::steal(PyUnicode_FromString(text));
        Py_ssize_t length = PyUnicode_GET_LENGTH(s.get());
        Ref copy = Ref::steal(PyUnicode_New(length, PyUnicode_MAX_CHAR_VALUE(s.get())));
        std::memcpy(PyUnicode_DATA(copy.get()), PyUnicode_DATA(s.get()),
                    static_cast<size_t>(length) * PyUnicode_KIND(s.get()));
        return copy;
    }
};

TEST_F(StrEquals, ExactStrsCompareByContentWithoutRichComparison) {
    const struct {
        const char* a;
        const char* b;
        int expected;
    } cases[] = {
        {"app_key_gid", "app_key_gid", 1},
        {"app_key_gid", "app_key_gie", 0},  // last character
        {"app_key_gid", "bpp_key_gid", 0},  // first character
        {"app_key_gid", "app_key_gi", 0},
        {"x", "x", 1},
        {"x", "y", 0},
        {"", "", 1},
        {"a\xc3\xa9", "a\xe4\xb8\x80", 0},  // same length, 1- and 2-byte kinds
        {"\xe4\xb8\x80\xe4\xb8\x81", "\xe4\xb8\x80\xe4\xb8\x81", 1},
        {"\xf0\x9f\x98\x80\xe4\xb8\x81", "\xf0\x9f\x98\x80\xe4\xb8\x82", 0},
    };
    for (const auto& c : cases) {
        Ref a = fresh(c.a);
        Ref b = fresh(c.b);
        EXPECT_EQ(rt::str_equals(a.get(), b.get()), c.expected) << c.a << " / " << c.b;
        PyObject_Hash(a.get());
        PyObject_Hash(b.get());
        EXPECT_EQ(rt::str_equals(a.get(), b.get()), c.expected) << c.a << " / " << c.b << ", hashed";
    }
    Ref unhashed = fresh("app_key_gid");
    Ref other = fresh("app_key_gid");
    rt::str_equals(unhashed.get(), other.get());
    EXPECT_EQ(rt::compat::str_cached_hash(unhashed.get()), -1);
    EXPECT_EQ(rt::str_equals(Py_None, other.get()), 0);
    EXPECT_EQ(rt::str_equals(other.get(), Py_None), 0);
    // One side hashed, the other not: the contents decide.
    Ref hashed = fresh("app_key_gie");
    PyObject_Hash(hashed.get());
    EXPECT_EQ(rt::str_equals(hashed.get(), fresh("app_key_gid").get()), 0);
    // The general comparison on its own: the same object, and None against
    // something that is not a str (the interpreter's comparison decides).
    EXPECT_EQ(rt::str_equals_general(other.get(), other.get()), 1);
    EXPECT_EQ(rt::str_equals_general(Py_None, other.get()), 0);
    EXPECT_EQ(rt::str_equals(Py_None, Py_False), 0);
    EXPECT_EQ(lk_str_compares, 0);
}

TEST_F(StrEquals, ALegacyStrIsMadeReadyFirst) {
    if (!testing_support::kLegacyStrs) GTEST_SKIP() << "this version has no legacy strs: every str is ready";
    Ref legacy = testing_support::legacy_str("abc");
    ASSERT_TRUE(legacy);
    ASSERT_FALSE(rt::compat::str_is_ready(legacy.get()));
    Ref abc = fresh("abc");
    EXPECT_EQ(rt::str_equals(legacy.get(), abc.get()), 1);
    EXPECT_TRUE(rt::compat::str_is_ready(legacy.get()));
    EXPECT_EQ(lk_str_compares, 0);
}

TEST_F(StrEquals, OtherOperandsGoThroughRichComparisonAndTruth) {
    run("class LkStr(str):\n"
        "    seen = []\n"
        "    def __eq__(self, other):\n"
        "        LkStr.seen.append(other)\n"
        "        return self.answer\n"
        "class LkBadBool:\n"
        "    def __bool__(self): raise ValueError('truth')\n");
    const struct {
        const char* answer;
        int expected;
        const char* error;
    } cases[] = {
        {"True", 1, ""}, {"0", 0, ""}, {"'yes'", 1, ""}, {"[]", 0, ""},
        {"LkBadBool()", -1, "ValueError: truth"},
    };
    for (const auto& c : cases) {
        run((std::string("lk_sub = LkStr('app_key_gid')\nlk_sub.answer = ") + c.answer + "\n").c_str());
        Ref sub = eval("lk_sub");
        Ref exact = fresh("app_key_gid");
        EXPECT_EQ(rt::str_equals(sub.get(), exact.get()), c.expected) << c.answer;
        EXPECT_EQ(take_error(), c.error) << c.answer;
        EXPECT_EQ(rt::str_equals(exact.get(), sub.get()), c.expected) << c.answer << ", reflected";
        EXPECT_EQ(take_error(), c.error) << c.answer;
    }
    Ref seen = eval("len(LkStr.seen)");
    EXPECT_EQ(PyLong_AsLong(seen.get()), 10);
    // None against a str subclass is not decided by the shortcut.
    run("lk_sub.answer = 'eq'\n");
    Ref sub = eval("lk_sub");
    EXPECT_EQ(rt::str_equals(Py_None, sub.get()), 1);
    Ref ints = eval("(1, 1.0)");
    EXPECT_EQ(rt::str_equals(PyTuple_GET_ITEM(ints.get(), 0), PyTuple_GET_ITEM(ints.get(), 1)), 1);
    run("del lk_sub\n");
}

class DictItem : public EmbeddedTest {};

TEST_F(DictItem, MissingKeysRaiseKeyErrorWithTheWholeKey) {
    Ref d = eval("{'Key': 'v', ('a', 'b'): 'pair'}");
    Ref pair = eval("('a', 'b')");
    Ref found = Ref::steal(rt::dict_item(d.get(), pair.get()));
    ASSERT_TRUE(found);
    EXPECT_STREQ(PyUnicode_AsUTF8(found.get()), "pair");

    for (const char* key : {"('x', 'y')", "()", "('Key',)", "'x'", "7"}) {
        Ref k = eval(key);
        EXPECT_FALSE(Ref::steal(rt::dict_item(d.get(), k.get()))) << key;
        ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_KeyError)) << key;
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
        Ref args = Ref::steal(PyObject_GetAttrString(v.get(), "args"));
        ASSERT_EQ(PyTuple_GET_SIZE(args.get()), 1) << key;
        EXPECT_EQ(PyTuple_GET_ITEM(args.get(), 0), k.get()) << key;
    }
    Ref unhashable = eval("['Key']");
    EXPECT_FALSE(Ref::steal(rt::dict_item(d.get(), unhashable.get())));
    EXPECT_EQ(take_error(), "TypeError: unhashable type: 'list'");
}

}  // namespace
