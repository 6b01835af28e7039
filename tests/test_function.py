"""init_gid as a function object: its type, attributes, calls, pickling and the type registry."""
import sys
import unittest

from support import (EMPTY_CODE_STACKSIZE, EXEC_FN, INTERPRETER_CHECKS_KEYWORD_KEYS,
                     INTERPRETER_CODE_FLAGS, INTERPRETER_TYPE_FLAGS, MODULE, TYPE_MODULE,
                     TYPE_REGISTRY as REGISTRY, ChildCase, run_child)

TYPE_NAME = "cython_function_or_method"
# The flags the module gives its function type (0x24C00): Py_TPFLAGS_HAVE_GC,
# Py_TPFLAGS_BASETYPE, Py_TPFLAGS_HAVE_VECTORCALL, Py_TPFLAGS_METHOD_DESCRIPTOR.
TYPE_FLAGS = 1 << 14 | 1 << 10 | 1 << 11 | 1 << 17
# The flags it gives its code object: CO_OPTIMIZED | CO_NEWLOCALS.
CODE_FLAGS = 0x1 | 0x2

# Job helpers: `f` is init_gid; trial() runs one statement and reports its
# outcome and the warnings it issued.
PRELUDE = """
import copy, gc, pickle, types, warnings, weakref
login = load()
f = login.init_gid

def trial(stmt, **names):
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter('always')
        try:
            exec(stmt, dict(names, f=f, login=login))
            outcome = 'ok'
        except Exception as exc:
            outcome = '%s: %s' % (type(exc).__name__, exc)
    return [outcome] + ['%s: %s' % (w.category.__name__, w.message) for w in seen]
"""

# A second module of this kind: a copy of the built module file, loaded under
# another name.
SECOND_MODULE = """
import glob, importlib.util, shutil, tempfile
def load_copy():
    path = shutil.copy(SO, tempfile.mkdtemp())
    spec = importlib.util.spec_from_file_location('login', path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
"""

DEFAULTS_WARNING = ("RuntimeWarning: changes to cyfunction.%s will not currently affect the "
                    "values used in function calls")


class Attributes(ChildCase):
    def test_initial_values(self):
        result = run_child(PRELUDE + """
T = type(f)
out = {
    'type': [T.__name__, T.__module__, T.__qualname__, T.__flags__ & ~(1 << 12 | 1 << 19), T.__basicsize__],
    'names': [f.__name__, f.__qualname__, f.__module__, f.func_name],
    'none': [f.__doc__, f.func_doc, f.__defaults__, f.func_defaults, f.__kwdefaults__,
             f.__closure__, f.func_closure],
    'dicts': [f.__dict__, f.__dict__ is f.__dict__ is f.func_dict,
              f.__annotations__, f.__annotations__ is f.__annotations__],
    'globals': [f.__globals__ is vars(login), f.func_globals is vars(login)],
    'code': [f.__code__ is f.func_code, f.__code__.co_name, f.__code__.co_firstlineno],
    'code shape': [getattr(f.__code__, a) for a in (
        'co_argcount', 'co_posonlyargcount', 'co_kwonlyargcount', 'co_nlocals', 'co_stacksize',
        'co_flags', 'co_code', 'co_lnotab', 'co_consts', 'co_names', 'co_freevars', 'co_cellvars',
        'co_varnames', 'co_filename')],
    'coroutine': [f._is_coroutine, f._is_coroutine is f._is_coroutine],
    'gc': [gc.is_tracked(f), weakref.ref(f)() is f],
    'new': trial('type(f)()'),
    'registry': [sys.modules['%s'].%s is T, type(sys.modules['%s']).__name__],
}""" % (REGISTRY, TYPE_NAME, REGISTRY))
        self.assertOk(result)
        self.assertEqual(result["out"], {
            "type": [TYPE_NAME, TYPE_MODULE, TYPE_NAME, TYPE_FLAGS | INTERPRETER_TYPE_FLAGS, 192],
            "names": ["init_gid", "init_gid", MODULE, "init_gid"],
            "none": [None] * 7,
            "dicts": [{}, True, {}, True],
            "globals": [True, True],
            "code": [True, "init_gid", 9],
            "code shape": [0, 0, 0, 10, EMPTY_CODE_STACKSIZE, CODE_FLAGS | INTERPRETER_CODE_FLAGS,
                           "b''", "b''", [], [], [], [],
                           ["agent", "ps_cmd", "res", "result", "list_values", "dic", "user_id",
                            "app_key", "user", "pw"],
                           "corvalith\\norva\\utils\\login.py"],
            "coroutine": [False, True],
            "gc": [True, True],
            "new": ["TypeError: cannot create '%s.%s' instances" % (TYPE_MODULE, TYPE_NAME)],
            "registry": [True, "module"],
        })

    def test_refused_writes_leave_the_object_unchanged(self):
        result = run_child(PRELUDE + """
before = [f.__name__, f.__qualname__, f.__dict__, f.__globals__, f.__code__, f.__defaults__,
          f.__kwdefaults__, f.__annotations__]
out = {stmt: trial(stmt) for stmt in [
    'f.__name__ = 1', 'del f.__name__', 'f.func_name = b"x"',
    'f.__qualname__ = None', 'del f.__qualname__',
    'del f.__dict__', 'f.__dict__ = []', 'f.func_dict = None',
    'f.__defaults__ = [1]', 'f.__kwdefaults__ = ()', 'f.__annotations__ = 1']}
out['read-only'] = {name: trial('f.%s = 1' % name)[0].split(':')[0] + trial('del f.%s' % name)[0].split(':')[0]
                    for name in ['__globals__', 'func_globals', '__code__', 'func_code',
                                 '__closure__', 'func_closure', '_is_coroutine']}
out['unchanged'] = before == [f.__name__, f.__qualname__, f.__dict__, f.__globals__, f.__code__,
                              f.__defaults__, f.__kwdefaults__, f.__annotations__]""")
        self.assertOk(result)
        out = result["out"]
        self.assertEqual(out.pop("read-only"), dict.fromkeys(
            ["__globals__", "func_globals", "__code__", "func_code", "__closure__",
             "func_closure", "_is_coroutine"], "AttributeErrorAttributeError"))
        self.assertTrue(out.pop("unchanged"))
        name_error = "TypeError: __name__ must be set to a string object"
        qualname_error = "TypeError: __qualname__ must be set to a string object"
        self.assertEqual(out, {
            "f.__name__ = 1": [name_error], "del f.__name__": [name_error],
            'f.func_name = b"x"': [name_error],
            "f.__qualname__ = None": [qualname_error], "del f.__qualname__": [qualname_error],
            "del f.__dict__": ["TypeError: function's dictionary may not be deleted"],
            "f.__dict__ = []": ["TypeError: setting function's dictionary to a non-dict"],
            "f.func_dict = None": ["TypeError: setting function's dictionary to a non-dict"],
            "f.__defaults__ = [1]": ["TypeError: __defaults__ must be set to a tuple object"],
            "f.__kwdefaults__ = ()": ["TypeError: __kwdefaults__ must be set to a dict object"],
            "f.__annotations__ = 1": ["TypeError: __annotations__ must be set to a dict object"],
        })

    def test_accepted_writes(self):
        result = run_child(PRELUDE + """
class S(str): pass
class D(dict): pass
out = {}
out['name'] = [trial('f.__name__ = S("renamed")', S=S), type(f.__name__).__name__, f.func_name,
               f.__qualname__]
out['qualname'] = [trial('f.__qualname__ = S("Outer.inner")', S=S), f.__qualname__, f.__name__,
                   repr(f) == '<cyfunction Outer.inner at %s>' % address(f)]
f.__qualname__ = 'init_gid'
f.__doc__ = 'text'
out['doc'] = [f.func_doc, trial('del f.__doc__'), f.__doc__]
out['module'] = [trial('f.__module__ = 5'), f.__module__, trial('del f.__module__'), f.__module__]
f.__module__ = login.__name__
f.extra = 1
d = D(k=2)
out['dict'] = [f.__dict__, trial('f.__dict__ = d', d=d), f.__dict__ is d, f.k, hasattr(f, 'extra')]
first = f.__annotations__
first['x'] = int
ann = {'a': 1}
out['annotations'] = [trial('f.__annotations__ = ann', ann=ann), f.__annotations__ is ann,
                      trial('f.__annotations__ = None'), f.__annotations__ == {},
                      f.__annotations__ is not ann, trial('del f.__annotations__'),
                      f.__annotations__, trial('f.__annotations__ = D()', D=D),
                      type(f.__annotations__).__name__]""")
        self.assertOk(result)
        self.assertEqual(result["out"], {
            "name": [["ok"], "S", "renamed", "init_gid"],
            "qualname": [["ok"], "Outer.inner", "renamed", True],
            "doc": ["text", ["ok"], None],
            "module": [["ok"], 5, ["ok"], None],
            "dict": [{"extra": 1}, ["ok"], True, 2, False],
            "annotations": [["ok"], True, ["ok"], True, True, ["ok"], {}, ["ok"], "D"],
        })

    def test_defaults_assignment_warns_and_changes_no_call(self):
        result = run_child(PRELUDE + """
out = {}
out['defaults'] = [trial('f.__defaults__ = (1,)'), f.__defaults__, f.func_defaults,
                   trial('f(1)')]
out['del defaults'] = [trial('del f.__defaults__'), f.__defaults__]
out['func_defaults'] = [trial('f.func_defaults = ()'), f.__defaults__]
out['kwdefaults'] = [trial('f.__kwdefaults__ = {"a": 1}'), f.__kwdefaults__, trial('f(a=1)')]
out['del kwdefaults'] = [trial('del f.__kwdefaults__'), f.__kwdefaults__]
out['none'] = [trial('f.__defaults__ = None'), f.__defaults__]
with warnings.catch_warnings():
    warnings.simplefilter('error')
    try:
        f.__defaults__ = (2,)
    except RuntimeWarning as exc:
        out['as error'] = [str(exc), f.__defaults__]
""")
        self.assertOk(result)
        defaults, kwdefaults = DEFAULTS_WARNING % "__defaults__", DEFAULTS_WARNING % "__kwdefaults__"
        self.assertEqual(result["out"], {
            "defaults": [["ok", defaults], [1], [1],
                         ["TypeError: init_gid() takes no arguments (1 given)"]],
            "del defaults": [["ok", defaults], None],
            "func_defaults": [["ok", defaults], []],
            "kwdefaults": [["ok", kwdefaults], {"a": 1},
                           ["TypeError: init_gid() takes no keyword arguments"]],
            "del kwdefaults": [["ok", kwdefaults], None],
            "none": [["ok", defaults], None],
            "as error": [defaults.split(": ", 1)[1], [2]],
        })


class Calls(ChildCase):
    def test_argument_errors(self):
        result = run_child(PRELUDE + """
class C:
    g = f
class S(str): pass
out = {stmt: trial(stmt, C=C, S=S)[0] for stmt in [
    'f(1)', 'f(1, 2)', 'f(*range(300))', 'f(a=1)', 'f(1, a=1)', 'f(1, 2, **{"a": 1})',
    'f(**{1: 2})', 'f(1, **{1: 2})', 'f(1, **{})', 'f(S("s"))',
    'type(f).__call__(f, 1, **{2: 3})', 'type(f).__call__(f, 1, **{})',
    'C().g()', 'C.g(1)', 'f.__get__(C())()', 'f.__get__(None, C)(1)']}
out['binding'] = [C.g is f, type(C().g).__name__, C().g.__func__ is f,
                  f.__get__(None, C) is f, f.__get__(5).__self__]""")
        self.assertOk(result)
        none = "TypeError: init_gid() takes no arguments (%d given)"
        no_kw = "TypeError: init_gid() takes no keyword arguments"
        strings = "TypeError: keywords must be strings"
        self.assertEqual(result["out"], {
            "f(1)": none % 1, "f(1, 2)": none % 2, "f(*range(300))": none % 300,
            "f(a=1)": no_kw, "f(1, a=1)": no_kw, 'f(1, 2, **{"a": 1})': no_kw,
            # Until 3.8 the interpreter's own call hands the keys on as names,
            # unchecked; from 3.9 it refuses them before the call.
            "f(**{1: 2})": strings if INTERPRETER_CHECKS_KEYWORD_KEYS else no_kw,
            "f(1, **{1: 2})": strings if INTERPRETER_CHECKS_KEYWORD_KEYS else no_kw,
            "f(1, **{})": none % 1,
            'f(S("s"))': none % 1,
            "type(f).__call__(f, 1, **{2: 3})": strings,
            "type(f).__call__(f, 1, **{})": none % 1,
            "C().g()": none % 1, "C.g(1)": none % 1, "f.__get__(C())()": none % 1,
            "f.__get__(None, C)(1)": none % 1,
            "binding": [True, "method", True, True, 5],
        })

    def test_representation_pickling_and_copying(self):
        result = run_child(PRELUDE + """
out = {
    'repr': repr(f) == '<cyfunction init_gid at %s>' % address(f),
    'reduce': [f.__reduce__(), f.__reduce__(1, 2)],
    'pickle': [pickle.loads(pickle.dumps(f, p)) is f for p in range(pickle.HIGHEST_PROTOCOL + 1)],
    'pickle0': pickle.dumps(f, 0).startswith(b'c%s\\ninit_gid\\n' % login.__name__.encode()),
    'copy': [copy.copy(f) is f, copy.deepcopy(f) is f, copy.deepcopy([f])[0] is f],
}
del login.init_gid
out['unbound'] = trial('pickle.dumps(f)', pickle=pickle)[0].split(':')[0]""")
        self.assertOk(result)
        self.assertEqual(result["out"], {
            "repr": True, "reduce": ["init_gid", "init_gid"], "pickle": [True] * 6,
            "pickle0": True, "copy": [True, True, True], "unbound": "PicklingError"})


class Collection(ChildCase):
    def test_cycles_through_the_function_are_reclaimed(self):
        result = run_child(PRELUDE + SECOND_MODULE + """
gc.disable()
out = {}
# Once the module dictionary lets go, only the cycle holds each function.
ref = weakref.ref(f)
f.me = f
del login.init_gid, f
out['dict'] = [ref() is not None, gc.collect() > 0, ref()]
second = load_copy()
g = second.init_gid
g.__annotations__['return'] = g
ref = weakref.ref(g)
del second.init_gid, g
out['annotations'] = [ref() is not None, gc.collect() > 0, ref()]""")
        self.assertOk(result)
        self.assertEqual(result["out"], {"dict": [True, True, None],
                                         "annotations": [True, True, None]})


IMPORT_RESULT = """
try:
    load()
except BaseException as exc:
    out = ['%s: %s' % (type(exc).__name__, exc), exc is BOOM,
           [e[0] for e in tb_entries(exc.__traceback__)]]
else:
    out = 'imported'
"""


# Appended to a child that bound `f` and `out`: how the function behaves, which
# shows that the slot functions read its object as the layout it was made with.
BEHAVES = """
out += [f.__name__, repr(f) == '<cyfunction init_gid at %s>' % address(f)]
try:
    f(1)
except TypeError as exc:
    out.append(str(exc))
"""
BEHAVES_AS_ITSELF = ["init_gid", True, "init_gid() takes no arguments (1 given)"]


class Registry(ChildCase):
    def refused(self, setup):
        result = run_child("import types\n" + setup + IMPORT_RESULT)
        self.assertOk(result)
        return result["out"]

    def test_registered_objects_that_are_refused(self):
        registry = ("sys.modules[%r] = types.ModuleType(%r)\nsys.modules[%r].%s = "
                    % (REGISTRY, REGISTRY, REGISTRY, TYPE_NAME))
        for value, message in [
                ("1", "is not a type object"),
                ("None", "is not a type object"),
                ("type('Small', (), {})", "has the wrong size, try recompiling"),
                ("type(len)", "has the wrong size, try recompiling")]:
            with self.subTest(value=value):
                error, _, entries = self.refused(registry + value)
                self.assertEqual(error, "TypeError: Shared Cython type %s %s" % (TYPE_NAME, message))
                self.assertNotIn(EXEC_FN, entries)

    def test_registry_errors_pass_through(self):
        for hook in ("__getattr__(self, name)", "__setattr__(self, name, value)"):
            with self.subTest(hook=hook):
                error, same, _ = self.refused(
                    "class Hostile(types.ModuleType):\n    def %s: raise BOOM\n"
                    "sys.modules[%r] = Hostile(%r)\n" % (hook, REGISTRY, REGISTRY))
                self.assertTrue(same, error)

    def test_a_refused_registry_can_be_repaired(self):
        result = run_child("""
import types
registry = sys.modules['%s'] = types.ModuleType('%s')
registry.%s = 0
try:
    load()
except TypeError:
    pass
del registry.%s
login = load()
out = [type(login.init_gid) is registry.%s, sys.modules['%s'] is registry]
""" % (REGISTRY, REGISTRY, TYPE_NAME, TYPE_NAME, TYPE_NAME, REGISTRY))
        self.assertOk(result)
        self.assertEqual(result["out"], [True, True])

    def test_every_module_of_this_kind_shares_the_first_type(self):
        result = run_child(SECOND_MODULE + """
first = load()
second = load_copy()
registered = sys.modules['%s'].%s
out = {'first registers': [type(first.init_gid) is registered,
                           type(second.init_gid) is registered,
                           second.init_gid is not first.init_gid,
                           second.init_gid.__globals__ is vars(second)]}
""" % (REGISTRY, TYPE_NAME))
        self.assertOk(result)
        self.assertEqual(result["out"], {"first registers": [True, True, True, True]})

    def test_a_type_registered_by_another_module_is_adopted(self):
        result = run_child(SECOND_MODULE + """
other = load_copy()
registered = sys.modules['%s'].%s
del sys.modules[MOD]  # the copy registered itself under the package name
login = load()
f = login.init_gid
out = [type(f) is registered, type(f) is type(other.init_gid)]
""" % (REGISTRY, TYPE_NAME) + BEHAVES)
        self.assertOk(result)
        self.assertEqual(result["out"], [True, True] + BEHAVES_AS_ITSELF)

    @unittest.skipIf(REGISTRY == TYPE_MODULE, "the type is shared under the name other modules use")
    def test_a_foreign_type_of_the_same_size_is_never_adopted(self):
        result = run_child("""
import types
foreign = sys.modules['%s'] = types.ModuleType('%s')
# The shared type's instance size, another layout: 22 plain slots.
Foreign = type('%s', (), {'__slots__': tuple('s%%d' %% i for i in range(22))})
foreign.%s = Foreign
login = load()
f = login.init_gid
T = type(f)
out = [Foreign.__basicsize__ == T.__basicsize__, T is Foreign, foreign.%s is Foreign,
       T is sys.modules['%s'].%s, T.__module__, T.__name__]
""" % (TYPE_MODULE, TYPE_MODULE, TYPE_NAME, TYPE_NAME, TYPE_NAME, REGISTRY, TYPE_NAME) + BEHAVES)
        self.assertOk(result)
        self.assertEqual(result["out"],
                         [True, False, True, True, TYPE_MODULE, TYPE_NAME] + BEHAVES_AS_ITSELF)


if __name__ == "__main__":
    unittest.main()
