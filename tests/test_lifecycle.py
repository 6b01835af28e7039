"""Loading the module: definition, creation from the import spec, the single execution."""
import unittest

from support import (EXEC_FN, ISOLATED_SUBINTERPRETERS, MODULE, SUBINTERPRETERS, ChildCase, call,
                     run_child)

INTERP_MSG = ("Interpreter change detected - this module can only be loaded into one "
              "interpreter per process.")
REINIT_MSG = "Module 'login' has already been imported. Re-initialisation is not supported."
SPEC_CLASS = """
import importlib.machinery, importlib.util
class Spec:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)
def spec_for_file():
    loader = importlib.machinery.ExtensionFileLoader(MOD, SO)
    return importlib.util.spec_from_file_location(MOD, SO, loader=loader)
"""


class Definition(ChildCase):
    def test_module_definition(self):
        result = run_child("""
d = module_def()
name, doc, size, methods, slots = def_fields(d)
no_methods = methods is None or ctypes.c_void_p.from_address(methods).value is None
out = [name.decode(), doc, size, no_methods, [k for k, _ in def_slots(d)], module_def() == d]""")
        self.assertOk(result)
        self.assertEqual(result["out"], ["login", None, 0, True, [1, 2], True])


class Creation(ChildCase):
    """The creation slot, called with hand-made specs before any execution."""

    def test_spec_attributes(self):
        result = run_child(SPEC_CLASS + """
full = dict(name='corvalith.norva.utils.login', loader='L', origin='/o/login.so',
            parent='corvalith.norva.utils', submodule_search_locations=['/p'])
cases = {
    'full': Spec(**full),
    'not a package': Spec(**dict(full, submodule_search_locations=None)),
    'all None': Spec(name='n', loader=None, origin=None, parent=None,
                     submodule_search_locations=None),
    'name only': Spec(name='bare'),
}
out = {key: {k: repr(v) for k, v in vars(create_slot(spec)).items()}
       for key, spec in cases.items()}
out['registered'] = MOD in sys.modules""")
        self.assertOk(result)
        base = {"__name__": "'corvalith.norva.utils.login'", "__doc__": "None",
                "__spec__": "None", "__loader__": "'L'", "__file__": "'/o/login.so'",
                "__package__": "'corvalith.norva.utils'"}
        self.assertEqual(result["out"], {
            "full": dict(base, __path__="['/p']"),
            "not a package": base,
            "all None": {"__name__": "'n'", "__doc__": "None", "__spec__": "None",
                         "__loader__": "None", "__file__": "None", "__package__": "None"},
            "name only": {"__name__": "'bare'", "__doc__": "None", "__spec__": "None",
                          "__loader__": "None", "__package__": "None"},
            "registered": False})

    def test_read_order_and_errors(self):
        result = run_child(SPEC_CLASS + """
class Logged(Spec):
    def __getattribute__(self, attr):
        if not attr.startswith('__'):
            reads.append(attr)
        if attr == fail_at:
            raise BOOM
        return object.__getattribute__(self, attr)
out = {}
for fail_at in (None, 'parent', 'name'):
    reads = []
    outcome = attempt(lambda: create_slot(Logged(name='x', parent='p', origin='o')), BOOM)
    out[str(fail_at)] = [reads, outcome['ok'], outcome.get('same')]
missing = attempt(lambda: create_slot(Spec(origin='o')))
out['no name'] = [missing['exc'], missing['ok']]""")
        self.assertOk(result)
        order = ["name", "loader", "origin", "parent", "submodule_search_locations"]
        self.assertEqual(result["out"], {
            "None": [order, True, None],
            "parent": [order[:4], False, True],
            "name": [order[:1], False, True],
            "no name": ["AttributeError", False]})


class SubInterpreter(ChildCase):
    # in_subinterpreter() imports the module in a new subinterpreter that shares
    # the GIL (isolated=True: one with its own GIL, from 3.12) and reports
    # "<class 'E'>: message" or 'imported'. See ISOLATED_SUBINTERPRETERS.
    PROBE = """
import {0} as subinterpreters
def in_subinterpreter(isolated=False):
    interp = subinterpreters.{2} if isolated else subinterpreters.{1}
    try:
        failed = subinterpreters.run_string(interp, 'import corvalith.norva.utils.login')
    except getattr(subinterpreters, 'RunFailedError', ()) as exc:
        return str(exc)
    finally:
        subinterpreters.destroy(interp)
    if failed is not None:  # 3.13 returns the failure
        return "<class '%s'>: %s" % (failed.type.__name__, failed.msg)
    return 'imported'
""".format(*SUBINTERPRETERS)

    def test_second_interpreter_refused(self):
        result = run_child(self.PROBE + """
m = load()
out = [in_subinterpreter(), in_subinterpreter(), load() is m]""")
        self.assertOk(result)
        refused = "<class 'ImportError'>: " + INTERP_MSG
        self.assertEqual(result["out"], [refused, refused, True])

    def test_refused_after_failed_first_creation(self):
        result = run_child(self.PROBE + SPEC_CLASS + """
first = attempt(lambda: create_slot(Spec(origin='o')))
out = [first['exc'], in_subinterpreter(), load().__name__]""")
        self.assertOk(result)
        self.assertEqual(result["out"], ["AttributeError", "<class 'ImportError'>: " + INTERP_MSG,
                                         MODULE])

    @unittest.skipUnless(ISOLATED_SUBINTERPRETERS, "subinterpreters share the GIL before 3.12")
    def test_isolated_interpreter_refused_before_creation(self):
        # The interpreter's own refusal: the creation slot never runs there, so
        # the main interpreter can still load the module afterwards.
        result = run_child(self.PROBE + """
out = [in_subinterpreter(isolated=True), load().__name__, in_subinterpreter(isolated=True),
       in_subinterpreter()]""")
        self.assertOk(result)
        isolated = ("<class 'ImportError'>: module %s does not support loading in subinterpreters"
                    % MODULE)
        self.assertEqual(result["out"], [isolated, MODULE, isolated,
                                         "<class 'ImportError'>: " + INTERP_MSG])


class Execution(ChildCase):
    def test_namespace(self):
        result = run_child("""
import builtins, warnings
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter('always')
    m = load()
import corvalith.gid, corvalith.norva.sdk.license_helper as helper
d = vars(m)
out = {'keys': sorted(d),
       'runtime warnings': [str(w.message) for w in caught if w.category is RuntimeWarning],
       'bindings': [d['gid'] is corvalith.gid, d['get_license_info'] is helper.get_license_info,
                    d['os'] is os, d['sys'] is sys, d['subprocess'] is subprocess,
                    d['json'] is json, d['__builtins__'] is builtins],
       '__test__': [type(d['__test__']).__name__, d['__test__']],
       'attributes': [m.__file__ == m.__spec__.origin, m.__package__, m.__loader__ is
                      m.__spec__.loader, sys.modules[MOD] is m],
       'init_gid': [m.init_gid.__name__, m.init_gid.__module__]}""")
        self.assertOk(result)
        self.assertEqual(result["out"], {
            "keys": sorted(["__builtins__", "__doc__", "__file__", "__loader__", "__name__",
                            "__package__", "__spec__", "gid", "get_license_info", "os", "sys",
                            "subprocess", "json", "init_gid", "__test__"]),
            "runtime warnings": [],
            "bindings": [True] * 7,
            "__test__": ["dict", {}],
            "attributes": [True, "corvalith.norva.utils", True, True],
            "init_gid": ["init_gid", MODULE]})

    def test_body_runs_once(self):
        result = run_child("""
import importlib
m = load()
f = m.init_gid
m.json = 'kept'
import corvalith.norva.utils.login as again
del sys.modules[MOD]
fresh = load()
importlib.reload(fresh)
out = [again is m, fresh is m, sys.modules[MOD] is m, m.init_gid is f, m.json]""")
        self.assertOk(result)
        self.assertEqual(result["out"], [True, True, True, True, "kept"])

    def test_second_execution_on_another_module(self):
        result = run_child("""
import types
m = load()
other = types.ModuleType('login')
refused = attempt(lambda: exec_def(other))
del sys.modules[MOD]
out = [refused, sorted(vars(other)), load() is m]""")
        self.assertOk(result)
        refused, keys, same = result["out"]
        self.assertEqual(refused["exc"], "RuntimeError")
        self.assertEqual(refused["msg"], REINIT_MSG)
        self.assertNotIn(EXEC_FN, [entry[0] for entry in refused["tb"]])
        self.assertEqual(keys, ["__doc__", "__loader__", "__name__", "__package__", "__spec__"])
        self.assertTrue(same, "the module object must survive a refused execution")

    def test_first_execution_binds_the_module(self):
        """Whatever object is executed first is the module from then on."""
        result = run_child(SPEC_CLASS + """
import types
first = types.ModuleType('first')
exec_def(first)
registered = sys.modules[MOD] is first
del sys.modules[MOD]
out = [registered, load() is first, create_slot(Spec(name='other')) is first,
       callable(first.init_gid)]""")
        self.assertOk(result)
        self.assertEqual(result["out"], [True, True, True, True])

    def test_registration(self):
        code = SPEC_CLASS + """
import types
sentinel = types.ModuleType('sentinel')
if PRESEED:
    sys.modules[MOD] = sentinel
spec = spec_for_file()
m = importlib.util.module_from_spec(spec)
spec.loader.exec_module(m)
out = [sys.modules.get(MOD) is sentinel, sys.modules.get(MOD) is m, hasattr(m, 'init_gid')]"""
        for preseed, expected in ((True, [True, False, True]), (False, [False, True, True])):
            with self.subTest(preseed=preseed):
                result = run_child("PRESEED = %r\n%s" % (preseed, code))
                self.assertOk(result)
                self.assertEqual(result["out"], expected)


class BodyImports(ChildCase):
    """The module body's imports, their failures, and a later clean import."""

    def test_gid_from_sys_modules(self):
        result = run_child("""
import types, corvalith
client = types.ModuleType('corvalith.gid')
client.init = lambda *a, **k: client.calls.append([a, k])
client.calls = []
sys.modules['corvalith.gid'] = client
m = load()
out = [m.gid is client, hasattr(corvalith, 'gid')]
m.init_gid()""", {"CORVALITH_LICENSE_USERPASS": '["u", "p"]'})
        self.assertInit(result, call("u", "p"))
        self.assertEqual(result["out"], [True, False])

    def test_missing_names(self):
        result = run_child("""
import types
import corvalith.norva.utils, corvalith.norva.sdk.license_helper
out = []
for name in ('corvalith', 'corvalith.norva.sdk.license_helper'):
    real = sys.modules[name]
    sys.modules[name] = types.ModuleType(name)
    out.append(attempt(load))
    sys.modules[name] = real
# A package whose attribute read raises something else than AttributeError.
class Raising(types.ModuleType):
    def __getattr__(self, attr):
        if attr == 'gid':
            raiser()
        raise AttributeError(attr)
real = sys.modules['corvalith']
sys.modules['corvalith'] = Raising('corvalith')
out.append(attempt(load))
sys.modules['corvalith'] = real
out.append(MOD in sys.modules)
load().init_gid()""", {"CORVALITH_LICENSE_USERPASS": '["u", "p"]'})
        self.assertInit(result, call("u", "p"))
        no_gid, no_provider, raising, left_behind = result["out"]
        self.assertFailsAt(no_gid, "ImportError", 1, "cannot import name gid", EXEC_FN)
        self.assertFailsAt(raising, "ImportError", 1, "cannot import name gid", EXEC_FN)
        self.assertFailsAt(no_provider, "ImportError", 2, "cannot import name get_license_info",
                           EXEC_FN)
        self.assertFalse(left_behind)

    def test_failing_imports(self):
        result = run_child("""
class Blocker:
    def find_spec(self, name, path=None, target=None):
        if name == blocked:
            raiser()
import corvalith.norva.utils, corvalith.norva.sdk.license_helper
out = []
for blocked in ('corvalith', 'corvalith.norva.sdk.license_helper', 'os', 'sys',
                'subprocess', 'json'):
    real = sys.modules.pop(blocked, None)
    sys.meta_path.insert(0, Blocker())
    BOOM = new_boom(blocked)
    outcome = attempt(load, BOOM)
    del sys.meta_path[0]
    if real is not None:
        sys.modules[blocked] = real
    out.append(outcome)
# A module still marked as initialising is imported again, which waits for it.
json.__spec__._initializing = True
m = load()
out.append([m.json is json, m.os is os])""")
        self.assertOk(result)
        *failures, rebound = result["out"]
        self.assertEqual(len(failures), 6)
        for line, outcome in enumerate(failures, 1):
            with self.subTest(line=line):
                self.assertFailsAt(outcome, "Boom", line, func=EXEC_FN, same=True)
        self.assertEqual(rebound, [True, True])

    def test_odd_entries_in_sys_modules_are_taken_as_is(self):
        # None, and a module made without a dictionary (ModuleType.__new__
        # alone leaves it out before 3.11: the import's read of its __spec__
        # has no dictionary to search for a hook).
        for entry, message in (("None", "'NoneType' object has no attribute 'loads'"),
                               ("types.ModuleType.__new__(types.ModuleType)",
                                "module has no attribute 'loads'")):
            with self.subTest(entry):
                result = run_child("""
import types
import corvalith.norva.sdk.license_helper
entry = %s
sys.modules['json'] = entry
m = load()
out = m.json is entry
m.init_gid()""" % entry, {"CORVALITH_AGENT": "app_key_gid", "TOVRIND_REPLY": "{}"})
                self.assertFailsAt(result, "AttributeError", 29, message)
                self.assertIs(result["out"], True)

if __name__ == "__main__":
    unittest.main()
