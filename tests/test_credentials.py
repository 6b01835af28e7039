"""init_gid(): where credentials come from, how the tool is run, how failures surface."""
import json
import os
import tempfile
import unittest

import shutil

from support import (MODULE, RUN_LINE, TOOLS, WINDOWS, ChildCase, call, run_child,
                     run_scenarios)

AGENT_ENV = {"CORVALITH_AGENT": "app_key_gid",
             "CORVALITH_LICENSE_USERPASS": '["pu", "pp"]',
             "CORVALITH_LICENSE_APPKEY": '["au", "ak"]'}
PROVIDER = ("provider",)
ACCOUNT, APP_KEY = "QELTOR_ACCOUNT", "QELTOR_CUSTOM_APP_KEY"
PRELUDE = "login = load()\nimport corvalith.gid as gid\n"
SHELL_KWARGS = ["shell", "capture_output", "text", "encoding"]
WIN_ARGV = ["powershell.exe", "-NoProfile", "-ExecutionPolicy", "Bypass", "-Command",
            "& tovrind.exe"]
ENTRY_CLASSES = """
class NoGet:
    def __init__(self, key): self.key = key
    def __contains__(self, item): return item == "Key"
    def __getitem__(self, item): return self.key
"""


def entry(key, *value):
    return dict({"Key": key}, **({"Value": value[0]} if value else {}))


def reply(*entries, **members):
    members.setdefault("Code", 0)
    members.setdefault("Result", list(entries))
    return members


def via_stdout(stdout, setup=""):
    return "%s\nfake_run(%r)\nout = login.init_gid()" % (setup, stdout)


def via_reply(obj, setup=""):
    return via_stdout(json.dumps(obj), setup)


def via_object(expr, setup=""):
    """The tool's reply decodes to the Python object ``expr``."""
    return "%s\n%s\nfake_run('{}')\nfake_loads(%s)\nout = login.init_gid()" % (
        ENTRY_CLASSES, setup, expr)


GOOD = reply(entry(ACCOUNT, "acct"), entry(APP_KEY, "key"))
UNBOUND = "local variable '%s' referenced before assignment"


class CaseTable(ChildCase):
    """Runs a table of (name, code, expectation) rows in one interpreter."""

    def check_table(self, rows, env=AGENT_ENV, prelude=PRELUDE):
        results = run_scenarios([(name, code) for name, code, _ in rows], prelude, env)
        for name, _, expect in rows:
            if expect is not None:
                with self.subTest(name):
                    self.check(results[name], expect)
        return results

    def check(self, result, expect):
        if expect == PROVIDER:
            self.assertInit(result, call("pu", "pp"))
            self.assertEqual(result["lh"], [[]])
        elif expect[0] == "agent":
            self.assertInit(result, call(expect[1], appkey=expect[2]))
            self.assertEqual(result["lh"], [], "provider must not be asked")
        elif expect[0] == "init":
            self.assertInit(result, *expect[1:])
        else:
            exc, line = expect[1], expect[2]
            msg = expect[3] if len(expect) > 3 else None
            same = True if msg == "BOOM" else None
            self.assertFailsAt(result, exc, line, None if same else msg, same=same)
            self.assertEqual(result["gid"], [])


class ReplyHandling(CaseTable):
    """The tool's reply, decoded and scanned, decides between agent and provider."""

    def test_reply_members(self):
        rows = [
            ("usable", via_reply(GOOD), ("agent", "acct", "key")),
            ("extra members and entries", via_reply(reply(
                entry("OTHER", "x"), {"Value": "no key"}, entry(ACCOUNT, "acct"),
                entry(1, "x"), entry("qeltor_account", "lower"), entry(APP_KEY, "key"),
                Extra=1)), ("agent", "acct", "key")),
            ("code missing", via_reply({"Result": GOOD["Result"]}), PROVIDER),
            ("code 1", via_reply(reply(*GOOD["Result"], Code=1)), PROVIDER),
            ("code '0'", via_reply(reply(*GOOD["Result"], Code="0")), PROVIDER),
            ("code null", via_reply(reply(*GOOD["Result"], Code=None)), PROVIDER),
            ("code a big number", via_reply(reply(*GOOD["Result"], Code=10 ** 30)), PROVIDER),
            ("code 0.0", via_reply(reply(*GOOD["Result"], Code=0.0)), ("agent", "acct", "key")),
            ("code false", via_reply(reply(*GOOD["Result"], Code=False)),
             ("agent", "acct", "key")),
            ("duplicates: last wins", via_reply(reply(
                entry(ACCOUNT, "a1"), entry(APP_KEY, "k1"), entry(ACCOUNT, "a2"),
                entry(APP_KEY, "k2"))), ("agent", "a2", "k2")),
            ("account without value", via_reply(reply(entry(ACCOUNT), entry(APP_KEY, "k"))),
             PROVIDER),
            ("key without value", via_reply(reply(entry(ACCOUNT, "a"), entry(APP_KEY))),
             PROVIDER),
            ("empty account, no key entry", via_reply(reply(entry(ACCOUNT, ""))), PROVIDER),
            ("null account", via_reply(reply(entry(ACCOUNT, None), entry(APP_KEY, "k"))),
             PROVIDER),
            ("empty key", via_reply(reply(entry(ACCOUNT, "a"), entry(APP_KEY, ""))), PROVIDER),
            ("result missing", via_reply({"Code": 0}),
             ("raises", "UnboundLocalError", 38, UNBOUND % "user_id")),
            ("result empty list", via_reply(reply()),
             ("raises", "UnboundLocalError", 38, UNBOUND % "user_id")),
            ("result empty object", via_reply(reply(Result={})),
             ("raises", "UnboundLocalError", 38, UNBOUND % "user_id")),
            ("no account entry", via_reply(reply(entry(APP_KEY, "k"))),
             ("raises", "UnboundLocalError", 38, UNBOUND % "user_id")),
            ("strings without 'Key' are skipped", via_reply(reply(Result="abc")),
             ("raises", "UnboundLocalError", 38, UNBOUND % "user_id")),
            ("account but no key entry", via_reply(reply(entry(ACCOUNT, "a"))),
             ("raises", "UnboundLocalError", 38, UNBOUND % "app_key")),
            ("result a number", via_reply(reply(Result=5)), ("raises", "TypeError", 33)),
            ("entry a number", via_reply(reply(5)), ("raises", "TypeError", 34)),
            ("entry a string with 'Key'", via_reply(reply("MyKey")), ("raises", "TypeError", 34)),
            ("result an object: its keys are scanned", via_reply(reply(Result={"Key": 1})),
             ("raises", "TypeError", 34)),
            ("reply a list", via_reply([GOOD]), ("raises", "AttributeError", 30)),
            ("reply a string", via_reply("x"), ("raises", "AttributeError", 30)),
            ("reply a number", via_reply(0), ("raises", "AttributeError", 30)),
            ("reply null", via_reply(None), ("raises", "AttributeError", 30)),
            ("empty output", via_stdout(""), ("raises", "JSONDecodeError", 29)),
            ("non-JSON output", via_stdout("sh: tovrind: not found"),
             ("raises", "JSONDecodeError", 29)),
            ("stdout None", via_stdout(None), ("raises", "TypeError", 29)),
        ]
        self.check_table(rows)

    def test_reply_objects(self):
        good = "[{'Key': %r, 'Value': 'acct'}, {'Key': %r, 'Value': 'key'}]" % (ACCOUNT, APP_KEY)
        rows = [
            ("tuple result", via_object("{'Code': 0, 'Result': tuple(%s)}" % good),
             ("agent", "acct", "key")),
            ("generator result", via_object("{'Code': 0, 'Result': (e for e in %s)}" % good),
             ("agent", "acct", "key")),
            ("list grown during the scan", via_object("{'Code': 0, 'Result': items}", """
class Grow:
    def __contains__(self, item):
        items.extend(%s)
        return False
items = [Grow()]""" % good), ("agent", "acct", "key")),
            ("iterator ending with StopIteration", via_object("{'Code': 0, 'Result': Stop()}", """
class Stop:
    def __init__(self): self.items = iter(%s)
    def __iter__(self): return self
    def __next__(self):
        for item in self.items: return item
        raise StopIteration""" % good), ("agent", "acct", "key")),
            ("iterator raising", via_object("{'Code': 0, 'Result': Bad()}", """
class Bad:
    def __iter__(self): return self
    def __next__(self): raiser()"""), ("raises", "Boom", 33, "BOOM")),
            ("dict subclass: own item access", via_object(
                "{'Code': 0, 'Result': [Tag({'Value': 'acct'}, tag=%r), "
                "Tag({'Value': 'key'}, tag=%r)]}" % (ACCOUNT, APP_KEY), """
class Tag(dict):
    def __init__(self, data, tag): dict.__init__(self, data); self.tag = tag
    def __contains__(self, item): return True
    def __missing__(self, item): return self.tag"""), ("agent", "acct", "key")),
            ("account entry without get",
             via_object("{'Code': 0, 'Result': [NoGet(%r)]}" % ACCOUNT),
             ("raises", "AttributeError", 35)),
            ("key entry without get", via_object("{'Code': 0, 'Result': [NoGet(%r)]}" % APP_KEY),
             ("raises", "AttributeError", 37)),
            ("second containment test fails", via_object("{'Code': 0, 'Result': [Twice()]}", """
class Twice:
    n = 0
    def __contains__(self, item):
        self.n += 1
        if self.n == 2: raise BOOM
        return True
    def __getitem__(self, item): return 'OTHER'"""), ("raises", "Boom", 36, "BOOM")),
            ("account truth test fails", via_object(
                "{'Code': 0, 'Result': [{'Key': %r, 'Value': Bad()}]}" % ACCOUNT,
                "class Bad:\n    def __bool__(self): raise BOOM"), ("raises", "Boom", 38, "BOOM")),
            ("code comparison raising", via_object(
                "{'Code': Bad(), 'Result': []}", "class Bad:\n    def __eq__(self, other): raise BOOM"),
             ("raises", "Boom", 30, "BOOM")),
            ("result truth test raising", via_object(
                "{'Code': 0, 'Result': Bad()}", "class Bad:\n    def __bool__(self): raise BOOM"),
             ("raises", "Boom", 32, "BOOM")),
            ("key truth test raising", via_object(
                "{'Code': 0, 'Result': [{'Key': %r, 'Value': 'a'}, {'Key': %r, 'Value': Bad()}]}"
                % (ACCOUNT, APP_KEY), "class Bad:\n    def __bool__(self): raise BOOM"),
             ("raises", "Boom", 38, "BOOM")),
            ("code compared with ==", via_object(
                "{'Code': Zero(), 'Result': %s}" % good,
                "class Zero:\n    def __eq__(self, other): return other == 0"),
             ("agent", "acct", "key")),
            ("get raising", via_object("Reply()", """
class Reply:
    def get(self, key, default):
        if key == 'Result': raise BOOM
        return 0"""), ("raises", "Boom", 31, "BOOM")),
            ("loads raising", "fake_run('x')\nfake_loads(exc=BOOM)\nlogin.init_gid()",
             ("raises", "Boom", 29, "BOOM")),
            ("stdout missing", "subprocess.run = lambda *a, **k: object()\nlogin.init_gid()",
             ("raises", "AttributeError", 29)),
        ]
        self.check_table(rows)

    def test_lookups_made_on_the_reply(self):
        code = """
log = []
class Rec(dict):
    def get(self, *args):
        log.append(args)
        return dict.get(self, *args)
fake_run('{}')
fake_loads(Rec(Code=0, Result=[Rec(Key=%r, Value='a'), Rec(Key=%r, Value='k')]))
login.init_gid()
out = log""" % (ACCOUNT, APP_KEY)
        result = run_scenarios([("rec", code)], PRELUDE, AGENT_ENV)["rec"]
        self.assertInit(result, call("a", appkey="k"))
        self.assertEqual(result["out"], [["Code", 1], ["Result", None], ["Value", None],
                                         ["Value", None]])


class ToolInvocation(CaseTable):
    """How subprocess.run is called on each platform (recorded, not executed)."""

    def test_call_shapes(self):
        good = json.dumps(GOOD)
        rows = [
            ("linux", "sys.platform = 'linux'\nrec = fake_run(%r)\nlogin.init_gid()\nout = rec"
             % good),
            ("cygwin", "sys.platform = 'cygwin'\nrec = fake_run(%r)\nlogin.init_gid()\nout = rec"
             % good),
            ("win32", """
sys.platform = 'win32'
rec = fake_run(%r)
login.init_gid()
os.environ['LOGIN_MARK'] = 'changed'
login.init_gid()
out = rec""" % good),
        ]
        results = run_scenarios(rows, PRELUDE, AGENT_ENV)
        shell = {"args": ["tovrind"], "arg_types": ["str"], "kwnames": SHELL_KWARGS,
                 "kwargs": {"shell": True, "capture_output": True, "text": True,
                            "encoding": "utf-8"}}
        for name in ("linux", "cygwin"):
            with self.subTest(name):
                self.assertInit(results[name], call("acct", appkey="key"))
                self.assertEqual(results[name]["out"], [shell])
        win = results["win32"]
        self.assertInit(win, call("acct", appkey="key"), call("acct", appkey="key"))
        record = {"args": [WIN_ARGV], "arg_types": ["list"],
                  "kwnames": ["env", "capture_output", "text", "encoding"],
                  "kwargs": {"capture_output": True, "text": True, "encoding": "utf-8"},
                  "env": {"type": "dict", "is_environ": False, "equal": True}}
        self.assertEqual(win["out"], [record, record])

    def test_agent_switch(self):
        rows = [("CORVALITH_AGENT=%r" % (value,),
                 "os.environ.pop('CORVALITH_AGENT', None)\n%s\nout = fake_run('{}')\n"
                 "login.init_gid()" % ("" if value is None else
                                       "os.environ['CORVALITH_AGENT'] = %r" % value),
                 PROVIDER) for value in (None, "", "APP_KEY_GID", "app_key_gid ")]
        rows.append(("getenv answer compared with ==", via_reply(
            GOOD, "class Eq:\n    def __eq__(self, other): return True\n"
                  "os.getenv = lambda *a: Eq()"), ("agent", "acct", "key")))
        rows.append(("getenv answer failing ==", via_reply(
            GOOD, "class Eq:\n    def __eq__(self, other): raise BOOM\n"
                  "os.getenv = lambda *a: Eq()"), ("raises", "Boom", 11, "BOOM")))
        results = self.check_table(rows)
        for name, _, _ in rows[:4]:
            self.assertEqual(results[name]["out"], [], "%s: the tool must not run" % name)

    def test_collaborator_failures(self):
        rows = [
            ("getenv raising", via_reply(GOOD, "os.getenv = raiser"),
             ("raises", "Boom", 10, "BOOM")),
            ("run raising", "fake_run(exc=BOOM)\nlogin.init_gid()",
             ("raises", "Boom", RUN_LINE, "BOOM")),
            ("run raising, win32", "sys.platform = 'win32'\nfake_run(exc=BOOM)\nlogin.init_gid()",
             ("raises", "Boom", 14, "BOOM")),
            ("environ copy raising", "sys.platform = 'win32'\nfake_run('{}')\n"
             "os.environ.copy = raiser\nlogin.init_gid()",
             ("raises", "Boom", 16, "BOOM")),
            ("platform without startswith", via_reply(GOOD, "sys.platform = 7"),
             ("raises", "AttributeError", 12)),
            ("startswith answer whose truth raises", via_reply(
                GOOD, "class Bad:\n    def __bool__(self): raise BOOM\n"
                      "class Platform(str):\n    def startswith(self, *a): return Bad()\n"
                      "sys.platform = Platform('linux')"), ("raises", "Boom", 12, "BOOM")),
            ("os without environ, win32", "sys.platform = 'win32'\nfake_run('{}')\nimport types\n"
             "login.os = types.SimpleNamespace(getenv=os.getenv)\nlogin.init_gid()",
             ("raises", "AttributeError", 16)),
        ]
        self.check_table(rows)


class Provider(CaseTable):
    """The credential provider: call order, unpacking, truth tests."""

    def test_environment_answers(self):
        cases = [
            ("user and password", {"CORVALITH_LICENSE_USERPASS": '["alice", "secret"]',
                                   "CORVALITH_LICENSE_APPKEY": '["bob", "k"]'},
             [call("alice", "secret")], [[]]),
            ("application key", {"CORVALITH_LICENSE_USERPASS": '["alice", ""]',
                                 "CORVALITH_LICENSE_APPKEY": '["bob", "k"]'},
             [call("bob", appkey="k")], [[], ["CORVALITH_APPKEY_LICENSE"]]),
            ("nothing usable", {"CORVALITH_LICENSE_APPKEY": '["bob", null]'},
             [], [[], ["CORVALITH_APPKEY_LICENSE"]]),
        ]
        for name, env, calls, asked in cases:
            with self.subTest(name):
                result = run_child("out = load().init_gid()", env)
                self.assertInit(result, *calls)
                self.assertEqual(result["lh"], asked)
                self.assertIsNone(result["out"])

    def test_answers(self):
        def answering(first, second="(None, None)", setup=""):
            return ("%s\ndef provider(*args):\n    return %s if args else %s\n"
                    "login.get_license_info = provider\nout = login.init_gid()"
                    % (setup, second, first))

        need = "need more than %d value%s to unpack"
        too_many = "too many values to unpack (expected 2)"
        rows = [
            ("generator", answering("(x for x in ('g', 'p'))"), ("init", call("g", "p"))),
            ("list", answering("['l', 'p']"), ("init", call("l", "p"))),
            ("three items", answering("[1, 2, 3]"), ("raises", "ValueError", 41, too_many)),
            ("one item", answering("('u',)"), ("raises", "ValueError", 41, need % (1, ""))),
            ("no items", answering("()"), ("raises", "ValueError", 41, need % (0, "s"))),
            ("iterator of three", answering("iter('abc')"),
             ("raises", "ValueError", 41, too_many)),
            ("iterator of one", answering("iter('a')"),
             ("raises", "ValueError", 41, need % (1, ""))),
            ("not iterable", answering("None"), ("raises", "TypeError", 41)),
            ("iterator raising",
             answering("gen()", setup="def gen():\n    yield 'u'\n    raiser()"),
             ("raises", "Boom", 41, "BOOM")),
            ("endless iterator: three items taken", """
taken = []
def endless():
    while True:
        taken.append(1)
        yield len(taken)
login.get_license_info = lambda *a: endless()
try:
    login.init_gid()
except ValueError as exc:
    out = [str(exc), len(taken)]""", None),
            ("app key: three items", answering("(None, 1)", "[1, 2, 3]"),
             ("raises", "ValueError", 45, too_many)),
            ("app key: no items", answering("('', '')", "iter(())"),
             ("raises", "ValueError", 45, need % (0, "s"))),
            ("app key: generator", answering("('', '')", "(x for x in ('u', 'k'))"),
             ("init", call("u", appkey="k"))),
            ("password not tested after false user", answering(
                "('', Bad())", setup="class Bad:\n    def __bool__(self): raise BOOM"),
             ("init",)),
            ("user truth test raising", answering(
                "(Bad(), 'p')", setup="class Bad:\n    def __bool__(self): raise BOOM"),
             ("raises", "Boom", 42, "BOOM")),
            ("key truth test raising", answering(
                "(None, None)", "('u', Bad())", "class Bad:\n    def __bool__(self): raise BOOM"),
             ("raises", "Boom", 46, "BOOM")),
        ]
        results = self.check_table(rows, {"CORVALITH_AGENT": None})
        self.assertEqual(results["endless iterator: three items taken"]["out"], [too_many, 3])

    def test_failures_propagate_unchanged(self):
        rows = [
            ("provider", "login.get_license_info = raiser", 41, "raiser"),
            ("provider, app key kind",
             "login.get_license_info = lambda *a: raiser() if a else (None, None)", 45, "<lambda>"),
            ("init with password",
             "gid.init = raiser\nlogin.get_license_info = lambda *a: ('u', 'p')", 43, "raiser"),
            ("init with app key", "gid.init = raiser\n"
             "login.get_license_info = lambda *a: ('u', 'k') if a else ('', '')", 47, "raiser"),
            ("init in agent mode", "gid.init = raiser\nos.environ['CORVALITH_AGENT'] = "
             "'app_key_gid'\nfake_run(%r)" % json.dumps(GOOD), 39, "raiser"),
        ]
        results = run_scenarios([(r[0], r[1] + "\nlogin.init_gid()") for r in rows], PRELUDE,
                                {"CORVALITH_AGENT": None})
        for name, _, line, then in rows:
            with self.subTest(name):
                self.assertFailsAt(results[name], "Boom", line, same=True, then=then)


class Globals(CaseTable):
    """Module globals are looked up at each call: dictionary, then builtins."""

    def test_lookup(self):
        nameerror = "name '%s' is not defined"
        rows = [
            ("agent, baseline", via_reply(GOOD), ("agent", "acct", "key")),
            ("os deleted", "del login.os\nlogin.init_gid()",
             ("raises", "NameError", 10, nameerror % "os")),
            ("sys deleted", via_reply(GOOD, "del login.sys"),
             ("raises", "NameError", 12, nameerror % "sys")),
            ("subprocess deleted", via_reply(GOOD, "del login.subprocess"),
             ("raises", "NameError", RUN_LINE, nameerror % "subprocess")),
            ("subprocess deleted, win32", via_reply(GOOD, "sys.platform = 'win32'\n"
                                                          "del login.subprocess"),
             ("raises", "NameError", 14, nameerror % "subprocess")),
            ("json deleted", via_reply(GOOD, "del login.json"),
             ("raises", "NameError", 29, nameerror % "json")),
            ("json from builtins", via_reply(GOOD, "import builtins\ndel login.json\n"
                                                   "builtins.json = json"),
             ("agent", "acct", "key")),
            ("gid deleted, agent", via_reply(GOOD, "del login.gid"),
             ("raises", "NameError", 39, nameerror % "gid")),
            ("agent, after the deletions", via_reply(GOOD), ("agent", "acct", "key")),
            ("provider deleted", "os.environ['CORVALITH_AGENT'] = ''\n"
                                 "del login.get_license_info\nlogin.init_gid()",
             ("raises", "NameError", 41, nameerror % "get_license_info")),
            ("gid deleted, provider", "os.environ['CORVALITH_AGENT'] = ''\ndel login.gid\n"
                                      "login.get_license_info = lambda *a: ('u', 'p')\n"
                                      "login.init_gid()",
             ("raises", "NameError", 43, nameerror % "gid")),
            ("builtins __getattr__ raising", "os.environ['CORVALITH_AGENT'] = ''\n"
             "del login.get_license_info\nimport builtins\nbuiltins.__getattr__ = raiser\n"
             "login.init_gid()", ("raises", "Boom", 41, "BOOM")),
            ("gid.init not callable", "os.environ['CORVALITH_AGENT'] = ''\n"
             "login.get_license_info = lambda *a: ('u', 'k') if a else ('', '')\n"
             "gid.init = 5\nlogin.init_gid()", ("raises", "TypeError", 47)),
            ("gid replaced", "os.environ['CORVALITH_AGENT'] = ''\nimport types\n"
                             "login.gid = types.SimpleNamespace(init=lambda *a, **k: "
                             "gid.calls.append((('other',) + a, k)))\nlogin.init_gid()",
             ("init", call("other", "pu", "pp"))),
            ("provider, after the deletions", "os.environ['CORVALITH_AGENT'] = ''\n"
                                              "login.init_gid()", PROVIDER),
        ]
        self.check_table(rows)

    def test_arguments_refused(self):
        code = """
f = load().init_gid
out = []
for args, kwargs in (((1,), {}), ((), {'x': 1}), ((None,), {})):
    try:
        f(*args, **kwargs)
    except TypeError:
        out.append('TypeError')
out.append([f.__name__, f.__module__])"""
        result = run_child(code, {"CORVALITH_LICENSE_USERPASS": '["u", "p"]'})
        self.assertInit(result)
        self.assertEqual(result["out"], ["TypeError"] * 3 + [["init_gid", MODULE]])

    def test_each_call_resolves_afresh(self):
        code = """
f = load().init_gid
f()
os.environ['CORVALITH_LICENSE_USERPASS'] = '["u2", "p2"]'
f()
os.environ['CORVALITH_AGENT'] = 'app_key_gid'
f()
f()"""
        env = {"CORVALITH_LICENSE_USERPASS": '["u1", "p1"]', "TOVRIND_REPLY": json.dumps(GOOD)}
        result = run_child(code, env)
        self.assertInit(result, call("u1", "p1"), call("u2", "p2"),
                        call("acct", appkey="key"), call("acct", appkey="key"))


class RealTool(ChildCase):
    """Agent mode through the stand-in tool, on the shell branch (/bin/sh here,
    cmd.exe under Windows) and through the stand-in PowerShell."""

    WIN = "load()\nsys.platform = 'win32'\nout = load().init_gid()"
    SHELL = "load()\nsys.platform = 'linux'\nout = load().init_gid()"
    # A search path with the system's programs but none of the stand-ins.
    SYSTEM_PATH = r"C:\windows\system32;C:\windows" if WINDOWS else "/usr/bin:/bin"

    def run_tool(self, code, stdout=None, raw=None, **env):
        env = dict(AGENT_ENV, **env)
        if stdout is not None:
            env["TOVRIND_REPLY"] = stdout
        if raw is not None:
            handle, path = tempfile.mkstemp()
            self.addCleanup(os.remove, path)
            with os.fdopen(handle, "wb") as stream:
                stream.write(raw)
            env["TOVRIND_REPLY_FILE"] = path
        return run_child(code, env)

    def only_powershell(self):
        """A folder with the stand-in PowerShell and no credential tool."""
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        shutil.copy(os.path.join(TOOLS, "powershell.exe"), folder)
        return folder

    def test_usable_reply(self):
        for name, code in (("shell", self.SHELL), ("win32", self.WIN)):
            for status in ("0", "3"):
                with self.subTest(name, exit=status):
                    result = self.run_tool(code, json.dumps(GOOD), TOVRIND_EXIT=status)
                    self.assertInit(result, call("acct", appkey="key"))
                    self.assertEqual(result["lh"], [])

    def test_reply_leads_to_provider(self):
        result = self.run_tool(self.SHELL, json.dumps(reply(entry(ACCOUNT, "a"), Code=5)))
        self.assertInit(result, call("pu", "pp"))

    def test_undecodable_output(self):
        # Windows CPython's subprocess decodes in reader threads: the decoding
        # error is printed by the dying thread and run() then fails on the
        # missing output with IndexError. Linux raises the decoding error.
        exc = "IndexError" if WINDOWS else "UnicodeDecodeError"
        raw = b'{"Code": 0, "Result": "\xff\xfe"}'
        for code, line in ((self.SHELL, 22), (self.WIN, 14)):
            with self.subTest(line=line):
                self.assertFailsAt(self.run_tool(code, raw=raw), exc, line)

    def test_no_usable_output(self):
        no_tools = "os.environ['PATH'] = %r\n" % self.SYSTEM_PATH
        only_ps = "os.environ['PATH'] = %r\n" % (self.only_powershell() + os.pathsep +
                                                  self.SYSTEM_PATH)
        cases = [("empty", self.SHELL, ""), ("empty, win32", self.WIN, ""),
                 ("tool missing", no_tools + self.SHELL, None),
                 ("tool missing behind PowerShell", only_ps + self.WIN, None)]
        for name, code, stdout in cases:
            with self.subTest(name):
                self.assertFailsAt(self.run_tool(code, stdout), "JSONDecodeError", 29,
                                   "Expecting value: line 1 column 1 (char 0)")

    def test_powershell_missing(self):
        code = "os.environ['PATH'] = %r\n%s" % (self.SYSTEM_PATH, self.WIN)
        self.assertFailsAt(self.run_tool(code, json.dumps(GOOD)), "FileNotFoundError", 14)


if __name__ == "__main__":
    unittest.main()
