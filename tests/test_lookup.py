"""init_gid(): module globals seen afresh, equality of the agent switch, loop ends, unpacking."""
import json
import unittest

from support import C_CALL_EXTRA_REFS, ChildCase, call, run_scenarios

ACCOUNT, APP_KEY = "QELTOR_ACCOUNT", "QELTOR_CUSTOM_APP_KEY"
PRELUDE = """
login = load()
import builtins, types
import corvalith.gid as gid
AGENT_REPLY = {'Code': 0, 'Result': [{'Key': %r, 'Value': 'acct'}, {'Key': %r, 'Value': 'key'}]}
def agent_os(value):
    '''A module `os` whose getenv answers ``value`` and records what it was asked.'''
    asked = []
    def getenv(name):
        asked.append(name)
        return value
    login.os = types.SimpleNamespace(getenv=getenv, environ=os.environ)
    return asked
""" % (ACCOUNT, APP_KEY)
NO_AGENT = {"CORVALITH_AGENT": None}


class Globals(ChildCase):
    """Rebinding and deleting globals between calls of one process."""

    def test_rebinding_and_deleting_between_calls(self):
        code = """
log = []
def client(tag):
    return types.SimpleNamespace(init=lambda *a, **k: log.append([tag] + list(a)))
login.get_license_info = lambda *a: ('u', 'p')
for step in ('module', 'rebound', 'builtins', 'builtins rebound', 'nowhere', 'module again'):
    if step in ('module', 'rebound', 'module again'):
        login.gid = client(step)
    elif step == 'builtins':
        del login.gid
        builtins.gid = client(step)
    elif step == 'builtins rebound':
        builtins.gid = client(step)  # the module dictionary is unchanged
    else:
        del builtins.gid
    try:
        login.init_gid()
    except NameError as exc:
        log.append(str(exc))
out = log"""
        result = run_scenarios([("gid", code)], PRELUDE, NO_AGENT)["gid"]
        self.assertOk(result)
        self.assertEqual(result["out"], [
            ["module", "u", "p"], ["rebound", "u", "p"], ["builtins", "u", "p"],
            ["builtins rebound", "u", "p"], "name 'gid' is not defined",
            ["module again", "u", "p"]])

    def test_json_only_in_builtins(self):
        code = """
fake_run('{}')
def decoder(account):
    reply = {'Code': 0, 'Result': [{'Key': %r, 'Value': account}, {'Key': %r, 'Value': 'k'}]}
    return types.SimpleNamespace(loads=lambda text: reply)
outcome = []
login.json = decoder('module')
login.init_gid()
del login.json
try:
    login.init_gid()
except NameError as exc:
    outcome.append([str(exc), tb_entries(exc.__traceback__)[-1][2]])
builtins.json = decoder('builtin-1')
login.init_gid()
builtins.json = decoder('builtin-2')
login.init_gid()
login.json = decoder('module again')
login.init_gid()
out = outcome""" % (ACCOUNT, APP_KEY)
        result = run_scenarios([("json", code)], PRELUDE, {"CORVALITH_AGENT": "app_key_gid"})
        self.assertInit(result["json"], *[call(account, appkey="k") for account in
                                          ("module", "builtin-1", "builtin-2", "module again")])
        self.assertEqual(result["json"]["out"], [["name 'json' is not defined", 29]])


class AgentSwitch(ChildCase):
    """The value of CORVALITH_AGENT is compared by content; other types by their ==."""

    def test_values(self):
        eq_class = """
class Agent(str):
    seen = []
    def __eq__(self, other):
        Agent.seen.append(other)
        return %s
    __hash__ = str.__hash__
"""
        cases = [
            ("str subclass, equal", eq_class % "str.__eq__(self, other)",
             "Agent('app_key_gid')", "agent", ["app_key_gid"]),
            ("str subclass, different", eq_class % "str.__eq__(self, other)",
             "Agent('other')", "provider", ["app_key_gid"]),
            ("str subclass answering False", eq_class % "False",
             "Agent('app_key_gid')", "provider", ["app_key_gid"]),
            ("str subclass answering 1", eq_class % "1", "Agent('x')", "agent", ["app_key_gid"]),
            ("str subclass deferring", eq_class % "NotImplemented",
             "Agent('app_key_gid')", "agent", ["app_key_gid"]),
            ("equal str built at run time", eq_class % "False",
             "''.join(['app_', 'key_', 'gid'])", "agent", []),
            ("str one character short", eq_class % "False", "'app_key_gi'", "provider", []),
            ("bytes", eq_class % "False", "b'app_key_gid'", "provider", []),
        ]
        scenarios = [(name, "%s\nasked = agent_os(%s)\nfake_run(json.dumps(AGENT_REPLY))\n"
                            "login.get_license_info = lambda *a: ('u', 'p')\nlogin.init_gid()\n"
                            "out = [asked, Agent.seen]" % (setup, value))
                     for name, setup, value, _, _ in cases]
        results = run_scenarios(scenarios, PRELUDE + "import json\n", NO_AGENT)
        for name, _, _, path, seen in cases:
            with self.subTest(name):
                result = results[name]
                if path == "agent":
                    self.assertInit(result, call("acct", appkey="key"))
                else:
                    self.assertInit(result, call("u", "p"))
                self.assertEqual(result["out"], [["CORVALITH_AGENT"], seen])

    def test_truth_of_the_comparison_failing(self):
        code = """
class Vague:
    def __bool__(self): raise BOOM
class Agent(str):
    def __eq__(self, other): return Vague()
agent_os(Agent('app_key_gid'))
login.init_gid()"""
        result = run_scenarios([("vague", code)], PRELUDE, NO_AGENT)["vague"]
        self.assertFailsAt(result, "Boom", 11, same=True)


class ReplyScan(ChildCase):
    """The scan of "Result" ends with StopIteration and its subclasses only."""

    def test_loop_ends(self):
        source = """
class Done(StopIteration): pass
class Entries:
    def __init__(self, entries, end): self.items, self.end = iter(entries), end
    def __iter__(self): return self
    def __next__(self):
        for item in self.items: return item
        raise self.end
fake_run('{}')
"""
        both = "[{'Key': %r, 'Value': 'acct'}, {'Key': %r, 'Value': 'key'}]" % (ACCOUNT, APP_KEY)
        account = "[{'Key': %r, 'Value': 'acct'}]" % ACCOUNT
        rows = [
            ("StopIteration subclass", both, "Done()"),
            ("StopIteration subclass with a value", both, "Done('ignored')"),
            ("StopIteration subclass, account only", account, "Done()"),
            ("other exception after every entry", both, "BOOM"),
        ]
        scenarios = [(name, "%sfake_loads({'Code': 0, 'Result': Entries(%s, %s)})\n"
                            "login.init_gid()" % (source, entries, end))
                     for name, entries, end in rows]
        results = run_scenarios(scenarios, PRELUDE, {"CORVALITH_AGENT": "app_key_gid"})
        self.assertInit(results["StopIteration subclass"], call("acct", appkey="key"))
        self.assertInit(results["StopIteration subclass with a value"], call("acct", appkey="key"))
        self.assertFailsAt(results["StopIteration subclass, account only"], "UnboundLocalError",
                           38, "local variable 'app_key' referenced before assignment")
        self.assertFailsAt(results["other exception after every entry"], "Boom", 33, same=True)
        self.assertEqual(results["other exception after every entry"]["gid"], [])


class ProviderUnpacking(ChildCase):
    """Only exact tuples and lists are unpacked by size; anything else is iterated."""

    def test_sequence_subclasses_are_iterated(self):
        classes = """
class Padded(tuple):
    def __iter__(self): return iter(self[:] + ('extra',))
class Short(list):
    def __iter__(self): return iter(self[:1])
class Trimmed(tuple):
    def __iter__(self): return iter(self[:2])
class Done(StopIteration): pass
class EndsEarly:
    def __init__(self): self.items = iter(['u'])
    def __iter__(self): return self
    def __next__(self):
        for item in self.items: return item
        raise Done
"""
        too_many = "too many values to unpack (expected 2)"
        rows = [
            ("tuple subclass iterating three", "Padded(('u', 'p'))",
             ("ValueError", too_many)),
            ("list subclass iterating one", "Short(['u', 'p'])",
             ("ValueError", "need more than 1 value to unpack")),
            ("tuple subclass of three iterating two", "Trimmed(('t', 'p', 'x'))",
             call("t", "p")),
            ("iterator ended by a StopIteration subclass", "EndsEarly()",
             ("ValueError", "need more than 1 value to unpack")),
            ("empty tuple subclass", "Trimmed()",
             ("ValueError", "need more than 0 values to unpack")),
        ]
        scenarios = [(name, "%s\nlogin.get_license_info = lambda *a: %s\nlogin.init_gid()"
                      % (classes, answer)) for name, answer, _ in rows]
        results = run_scenarios(scenarios, PRELUDE, NO_AGENT)
        for name, _, expect in rows:
            with self.subTest(name):
                if expect[0] == "ValueError":
                    self.assertFailsAt(results[name], "ValueError", 41, expect[1])
                else:
                    self.assertInit(results[name], expect)



class ReadsAndReceivers(ChildCase):
    """What a collaborator can observe of how it was read and called."""

    def test_a_bound_method_is_released_before_its_call(self):
        # The receiver is held as a Python-level method call holds it: by its
        # owners, the call's own reference, the frame and getrefcount's argument
        # (from 3.11 a Python-level call moves its reference into the frame:
        # C_CALL_EXTRA_REFS).
        code = """
seen = {}
class Env:
    def getenv(self, name):
        seen[via] = sys.getrefcount(self)
env = Env()
login.os = env
login.get_license_info = lambda *a: ('', '')
via = 'python'
env.getenv('CORVALITH_AGENT')
via = 'module'
login.init_gid()
out = seen"""
        result = run_scenarios([("refs", code)], PRELUDE, NO_AGENT)["refs"]
        self.assertOk(result)
        self.assertEqual(result["out"]["module"], result["out"]["python"] + C_CALL_EXTRA_REFS)

    # A key whose hash collides with a name, so that every search of its
    # dictionary for that name compares with it (and may fail there).
    PROBE = """
class Probe:
    def __init__(self, name, fail):
        self.hash, self.fail, self.searches = hash(name), fail, 0
    def __hash__(self):
        return self.hash
    def __eq__(self, other):
        self.searches += 1
        if self.fail:
            raise RuntimeError('search failed')
        return False
"""

    def test_a_module_hook_is_asked_once_after_one_search(self):
        code = self.PROBE + """
probe = Probe('get_license_info', False)
builtins.__dict__[probe] = None
# What one search of the dictionary costs here: the interpreter's own lookup
# compares with the probe once or, for some hash seeds, twice.
builtins.__dict__.get('get_license_info')
per_search, probe.searches = probe.searches, 0
asked = []
def hook(name):
    asked.append(name)
    if len(asked) > 1:
        raise AttributeError(name)
    return lambda *a: ('u', 'p')
del login.get_license_info
builtins.__getattr__ = hook
try:
    first = attempt(login.init_gid)
    second = attempt(login.init_gid)
finally:
    del builtins.__getattr__
out = [probe.searches / per_search, asked, first['ok'], second['exc'], second['msg']]"""
        result = run_scenarios([("hook", code)], PRELUDE, NO_AGENT)["hook"]
        self.assertOk(result)
        self.assertEqual(result["out"], [2, ["get_license_info"] * 2, True, "NameError",
                                         "name 'get_license_info' is not defined"])

    def test_an_error_finding_a_module_hook_is_what_the_module_read_gives(self):
        # A search for builtins' __getattr__ that raises: the builtins fallback
        # of a missing global answers as the interpreter's own read of the
        # module does (it ends in AttributeError, the global's NameError, or
        # passes the error on), asked here after the call.
        code = self.PROBE + """
probe = Probe('__getattr__', True)
builtins.__dict__[probe] = None
del login.os
outcome = attempt(login.init_gid)
try:
    builtins.os
    read = 'found'
except Exception as e:
    read = [type(e).__name__, str(e)]
out = [outcome, probe.searches > 0, read]"""
        result = run_scenarios([("hook", code)], PRELUDE, NO_AGENT)["hook"]
        outcome, searched, read = result["out"]
        self.assertTrue(searched)
        if read[0] == "AttributeError":
            self.assertFailsAt(outcome, "NameError", 10, "name 'os' is not defined")
        else:
            self.assertEqual(read, ["RuntimeError", "search failed"])
            self.assertFailsAt(outcome, "RuntimeError", 10, "search failed")

if __name__ == "__main__":
    unittest.main()
