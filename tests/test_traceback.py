"""Traceback entries of failures inside the module: names, files, lines, the switch."""
import os
import re
import unittest

from support import EXEC_FN, INIT_FN, ROOT, TB_FILE, ChildCase, run_child, run_scenarios

IMPL_SOURCE = os.path.join(ROOT, "corvalith", "norva", "utils", "login.cpp")

# Child-side helpers: find the module's entry in a traceback and describe it.
HELPERS = r"""
rt_mod = lambda: sys.modules['cython_runtime']

def failure(fn):
    try:
        fn()
    except BaseException as exc:
        return exc
    raise AssertionError('no failure')

def entry(exc, prefix):
    tb = exc.__traceback__
    while tb is not None and not tb.tb_frame.f_code.co_name.startswith(prefix):
        tb = tb.tb_next
    return tb

def describe(tb):
    code = tb.tb_frame.f_code
    return [code.co_name, code.co_filename, tb.tb_lineno, code.co_firstlineno]

class Block:
    def find_spec(self, name, path=None, target=None):
        if name == 'json':
            raiser()

def failing_exec():
    # The failure of module execution at the import of json, and whether it
    # is the very exception the import raised.
    import corvalith.norva.sdk.license_helper  # itself imports json
    sys.modules.pop('json', None)
    sys.meta_path.insert(0, Block())
    boom = new_boom()
    try:
        exc = failure(load)
        return exc, exc is boom
    finally:
        del sys.meta_path[0]
"""


class Entries(ChildCase):
    def assertShown(self, name, func, source_line):
        """``name`` extends ``func`` with a C++ line that fails at ``source_line``."""
        match = re.fullmatch(re.escape(func) + r" \(corvalith/norva/utils/login\.cpp:(\d+)\)", name)
        self.assertIsNotNone(match, name)
        with open(IMPL_SOURCE, encoding="utf-8") as f:
            site = f.read().splitlines()[int(match.group(1)) - 1]
        self.assertIn("FAIL(%d)" % source_line, site)

    def test_init_gid_entries(self):
        result = run_child(HELPERS + """
login = load()
absent = hasattr(rt_mod(), 'cline_in_traceback')
login.get_license_info = raiser
raised = failure(login.init_gid)
head = entry(raised, 'corvalith')
after = head.tb_next.tb_frame.f_code.co_name
del login.os
hidden = [failure(login.init_gid) for _ in range(2)]
modes = {}
for value in (True, 1):
    rt_mod().cline_in_traceback = value
    modes[repr(value)] = failure(login.init_gid)
rt_mod().cline_in_traceback = False
again = failure(login.init_gid)
code = lambda exc: entry(exc, 'corvalith').tb_frame.f_code
out = {'absent': absent, 'boom': [raised is BOOM, type(raised).__name__, describe(head), after],
       'hidden': [describe(entry(e, 'corvalith')) for e in hidden],
       'shown': {k: describe(entry(e, 'corvalith')) for k, e in modes.items()},
       'same_hidden': code(hidden[0]) is code(hidden[1]) is code(again),
       'same_shown': code(modes['True']) is code(modes['1']),
       'separate': code(modes['True']) is not code(hidden[0]),
       'co_filename': login.init_gid.__code__.co_filename}""")
        self.assertOk(result)
        out = result["out"]
        self.assertFalse(out["absent"])
        # The caller's very exception, with the entry ahead of the raising frame.
        self.assertEqual(out["boom"], [True, "Boom", [INIT_FN, TB_FILE, 41, 41], "raiser"])
        self.assertEqual(out["hidden"], [[INIT_FN, TB_FILE, 10, 10]] * 2)
        for value, (name, filename, line, first) in out["shown"].items():
            with self.subTest(value=value):
                self.assertShown(name, INIT_FN, 10)
                self.assertEqual([filename, line, first], [TB_FILE, 10, 10])
        self.assertTrue(out["same_hidden"] and out["same_shown"] and out["separate"])
        self.assertEqual(out["co_filename"].replace("\\", "\\\\"), TB_FILE)

    def test_statements_sharing_a_helper_keep_their_own_locations(self):
        # The provider is asked at lines 41 and 45, and gid.init(..., appkey=)
        # is called at 39 and 47, each pair through one helper. With the C++
        # lines shown, each statement must have its own entry and code object.
        result = run_child(HELPERS + """
import types
login = load()
rt_mod().cline_in_traceback = True
answers = []
def provider(*args):
    if not answers:
        raise ValueError('provider')
    return answers.pop(0)
def refuse(*args, **kwargs):
    raise ValueError('init')
login.get_license_info = provider
login.gid = types.SimpleNamespace(init=refuse)
out = {}
for line, queued in ((41, []), (45, [('', '')]), (47, [('', ''), ('u', 'k')])):
    answers[:] = queued
    out[line] = describe(entry(failure(login.init_gid), 'corvalith'))
reply = {'Code': 0, 'Result': [{'Key': 'QELTOR_ACCOUNT', 'Value': 'a'},
                               {'Key': 'QELTOR_CUSTOM_APP_KEY', 'Value': 'k'}]}
login.os = types.SimpleNamespace(getenv=lambda name: 'app_key_gid', environ={})
login.sys = types.SimpleNamespace(platform='linux')
login.subprocess = types.SimpleNamespace(run=lambda *a, **k: types.SimpleNamespace(stdout=''))
login.json = types.SimpleNamespace(loads=lambda text: reply)
out[39] = describe(entry(failure(login.init_gid), 'corvalith'))""")
        self.assertOk(result)
        names = set()
        for line, (name, filename, shown_line, first) in result["out"].items():
            with self.subTest(line=line):
                self.assertShown(name, INIT_FN, int(line))
                self.assertEqual([filename, shown_line, first], [TB_FILE, int(line), int(line)])
                names.add(name)
        self.assertEqual(len(names), 4)

    def test_every_failure_site_names_one_literal_source_line(self):
        # The C++ line of a site is its identity in the code-object cache: a
        # site whose source line is not a literal could stand for two lines.
        with open(IMPL_SOURCE, encoding="utf-8") as f:
            lines = f.read().splitlines()
        sites = [(number, text) for number, text in enumerate(lines, 1)
                 if "FAIL(" in text and "#define" not in text]
        self.assertGreater(len(sites), 50)
        for number, text in sites:
            with self.subTest(line=number):
                self.assertRegex(text, r"^[^/]*\bFAIL\(\d+\);\s*$")

    def test_switch_values(self):
        result = run_child(HELPERS + """
login = load()
del login.os
class Raising:
    calls = 0
    def __bool__(self):
        Raising.calls += 1
        raise ValueError('no truth')
out = {}
for label, value in (('raising', Raising()), ('zero', 0), ('text', 'yes')):
    rt_mod().cline_in_traceback = value
    exc = failure(login.init_gid)
    out[label] = [type(exc).__name__, str(exc), exc.__context__ is None,
                  entry(exc, 'corvalith').tb_frame.f_code.co_name]
out['calls'] = Raising.calls
out['after'] = repr(rt_mod().cline_in_traceback)""")
        self.assertOk(result)
        out = result["out"]
        unchanged = ["NameError", "name 'os' is not defined", True]
        self.assertEqual(out["raising"], unchanged + [INIT_FN])
        self.assertEqual(out["zero"], unchanged + [INIT_FN])
        self.assertEqual(out["text"][:3], unchanged)
        self.assertShown(out["text"][3], INIT_FN, 10)
        self.assertEqual(out["calls"], 1)
        self.assertEqual(out["after"], "'yes'")

    def test_module_execution_entries(self):
        result = run_child(HELPERS + """
(first, same1), (second, same2) = failing_exec(), failing_exec()
after = repr(rt_mod().cline_in_traceback)
rt_mod().cline_in_traceback = True
shown, _ = failing_exec()
out = {'hidden': [describe(entry(e, 'init')) for e in (first, second)], 'after': after,
       'same': entry(first, 'init').tb_frame.f_code is entry(second, 'init').tb_frame.f_code,
       'shown': describe(entry(shown, 'init')), 'boom': [same1, same2]}""")
        self.assertOk(result)
        out = result["out"]
        self.assertEqual(out["hidden"], [[EXEC_FN, TB_FILE, 6, 6]] * 2)
        self.assertEqual(out["after"], "False")
        self.assertTrue(out["same"])
        self.assertEqual(out["boom"], [True, True])
        self.assertShown(out["shown"][0], EXEC_FN, 6)
        self.assertEqual(out["shown"][1:], [TB_FILE, 6, 6])


# Child-side helpers: built-in functions and a method descriptor whose native
# entry returns NULL without setting an exception, of each calling convention.
LOST = r"""
import ctypes
class MethodDef(ctypes.Structure):
    _fields_ = [('name', ctypes.c_char_p), ('meth', ctypes.c_void_p), ('flags', ctypes.c_int),
                ('doc', ctypes.c_char_p)]
VARARGS, KEYWORDS, NOARGS, O, FASTCALL = 0x1, 0x2, 0x4, 0x8, 0x80
kept = []
def lost_def(flags):
    arity = 4 if flags & FASTCALL else 3 if flags & KEYWORDS else 2
    entry = ctypes.CFUNCTYPE(ctypes.c_void_p, *[ctypes.c_void_p] * arity)(lambda *a: None)
    d = MethodDef(b'lost', ctypes.cast(entry, ctypes.c_void_p), flags, None)
    kept.extend([entry, d])
    return ctypes.addressof(d)
def lost(flags):
    new = ctypes.pythonapi.PyCFunction_NewEx
    new.argtypes, new.restype = (ctypes.c_void_p, ctypes.py_object, ctypes.py_object), ctypes.py_object
    return new(lost_def(flags), None, None)
def lost_method(owner, flags):
    new = ctypes.pythonapi.PyDescr_NewMethod
    new.argtypes, new.restype = (ctypes.py_object, ctypes.c_void_p), ctypes.py_object
    return new(owner, lost_def(flags))
login = load()
import corvalith.gid as gid
"""


def lost_row(name, line, setup, agent=False):
    prefix = "os.environ['CORVALITH_AGENT'] = 'app_key_gid'\n" if agent else ""
    return (name, line, prefix + setup + "\nlogin.init_gid()")


REPLY = ('{"Code": 0, "Result": [{"Key": "QELTOR_ACCOUNT", "Value": "a"}, '
         '{"Key": "QELTOR_CUSTOM_APP_KEY", "Value": "k"}]}')
APPKEY_PROVIDER = "login.get_license_info = lambda *a: ('u', 'k') if a else ('', '')\n"

# name, line of the call, setup: each kind of call the module makes reaching
# a collaborator that loses its exception.
LOST_ROWS = [
    # The fast path for built-in functions: the direct entry and the entry
    # of the function's vector call.
    lost_row("direct entry, no argument", 41, "login.get_license_info = lost(NOARGS)"),
    lost_row("direct entry, one argument", 29, "fake_run('{}')\njson.loads = lost(O)", True),
    lost_row("built-in vector call", 41, "login.get_license_info = lost(FASTCALL)"),
    lost_row("built-in vector call, keyword convention", 41,
             "login.get_license_info = lost(FASTCALL | KEYWORDS)"),
    lost_row("built-in vector call, one argument", 29,
             "fake_run('{}')\njson.loads = lost(FASTCALL)", True),
    lost_row("built-in tuple call", 41, "login.get_license_info = lost(VARARGS)"),
    # The vector-call path of other callables: a method descriptor.
    lost_row("method descriptor", 12, "class Platform(str): pass\n"
             "Platform.startswith = lost_method(Platform, FASTCALL)\n"
             "sys.platform = Platform('linux')", True),
    # The keyword path: with a vector-call entry, and with a tuple and a dict.
    lost_row("keywords, vector call", 47, APPKEY_PROVIDER + "gid.init = lost(FASTCALL | KEYWORDS)"),
    lost_row("keywords, tuple and dict", 47, APPKEY_PROVIDER + "gid.init = lost(VARARGS | KEYWORDS)"),
    lost_row("keywords, vector call, tool", 22,
             "subprocess.run = lost(FASTCALL | KEYWORDS)\nsys.platform = 'linux'", True),
    lost_row("keywords, agent mode sign-in", 39, "fake_run(%r)\ngid.init = lost(FASTCALL | KEYWORDS)"
             % REPLY, True),
    # The interpreter's own test collaborator, where the interpreter has one.
    lost_row("_testcapi.return_null_without_error", 41,
             "import _testcapi\nlogin.get_license_info = _testcapi.return_null_without_error"),
]


class LostExceptions(ChildCase):
    def test_collaborator_losing_its_exception(self):
        # A collaborator that returns NULL without an exception, reached
        # through each kind of call, gives SystemError with one entry of the
        # module at the call's line, on every version, and no crash.
        results = run_scenarios([(name, code) for name, _, code in LOST_ROWS], LOST,
                                {"CORVALITH_AGENT": None})
        for name, line, _ in LOST_ROWS:
            with self.subTest(name):
                result = results[name]
                if name.startswith("_testcapi") and result["exc"] == "ModuleNotFoundError":
                    continue  # the Windows CPython here ships no _testcapi
                self.assertFailsAt(result, "SystemError", line)
                self.assertEqual(len(result["tb"]), 1 + result["tb"].index(
                    [INIT_FN, TB_FILE, line]), "the module's entry is the innermost one")
                self.assertEqual(result["gid"], [])


if __name__ == "__main__":
    unittest.main()
