"""What the per-site memos of attribute reads and the method calls must never change.

The reads of os.getenv, gid.init (and the other module globals' attributes)
are memoised per site, and obj.get(...), sys.platform.startswith(...) and
os.environ.copy() are called without making a bound method. Each case below
changes something between two calls of init_gid (or during one) that the
memo or the method call must notice, and checks that the second call sees
what a Python-level read or call would see.
"""
import unittest

from support import C_CALL_EXTRA_REFS, ChildCase, run_scenarios

PRELUDE = """
import threading, types
login = load()
calls = []
def seen(tag):
    def fn(*args, **kwargs):
        calls.append(tag)
    return fn
def getenv_as(tag):
    def getenv(name):
        calls.append(tag)
    return getenv
login.get_license_info = lambda *a: ('u', 'p')
login.gid = types.SimpleNamespace(init=seen('init'))
def twice(change):
    '''Call init_gid, apply change(), call again; report the getenv tags seen.

    A read of the attribute after the change gives a changed type its new
    version tag before the second call, as any other code's read would.'''
    del calls[:]
    login.init_gid()
    change()
    getattr(login.os, 'getenv', None)
    login.init_gid()
    return [tag for tag in calls if tag != 'init']
class Env:
    pass
"""

# name -> code binding `out`; each starts with login.os bound to something
# whose getenv says 'first', and changes it so that the next read says 'second'.
ATTRIBUTE_CASES = {
    "attribute rebound on the same object": """
env = Env(); env.getenv = getenv_as('first'); login.os = env
out = twice(lambda: setattr(env, 'getenv', getenv_as('second')))""",
    "global rebound to another object": """
env = Env(); env.getenv = getenv_as('first'); login.os = env
other = Env(); other.getenv = getenv_as('second')
out = twice(lambda: setattr(login, 'os', other))""",
    "data descriptor added to the type": """
class Own(Env): pass
env = Own(); env.getenv = getenv_as('first'); login.os = env
out = twice(lambda: setattr(Own, 'getenv', property(lambda self: getenv_as('second'))))""",
    "__getattribute__ added to the type": """
class Own(Env): pass
env = Own(); env.getenv = getenv_as('first'); login.os = env
def hook(self, name):
    return getenv_as('second') if name == 'getenv' else object.__getattribute__(self, name)
out = twice(lambda: setattr(Own, '__getattribute__', hook))""",
    "descriptor added to a base class": """
class Base: pass
class Own(Base): pass
env = Own(); env.getenv = getenv_as('first'); login.os = env
out = twice(lambda: setattr(Base, 'getenv', property(lambda self: getenv_as('second'))))""",
    "__class__ changed": """
class Own(Env): pass
class Other(Env):
    getenv = property(lambda self: getenv_as('second'))
env = Own(); env.getenv = getenv_as('first'); login.os = env
out = twice(lambda: setattr(env, '__class__', Other))""",
    "instance dictionary replaced": """
env = Env(); env.getenv = getenv_as('first'); login.os = env
out = twice(lambda: setattr(env, '__dict__', {'getenv': getenv_as('second')}))""",
    "module attribute deleted, module __getattr__ answers": """
mod = types.ModuleType('fake'); mod.getenv = getenv_as('first'); login.os = mod
def change():
    del mod.getenv
    mod.__getattr__ = lambda name: getenv_as('second')
out = twice(change)""",
    "rebound during the call that read it": """
env = Env(); login.os = env
def first(name):
    calls.append('first')
    env.getenv = getenv_as('second')
env.getenv = first
out = twice(lambda: None)""",
    "type's data descriptor answering with the dictionary's value": """
class Own(Env):
    @property
    def getenv(self):
        return self.__dict__['getenv'] if state['first'] else getenv_as('second')
state = {'first': True}
env = Own(); env.__dict__['getenv'] = getenv_as('first'); login.os = env
out = twice(lambda: state.update(first=False))""",
    "type attribute, not instance attribute": """
class Own(Env):
    getenv = staticmethod(getenv_as('first'))
env = Own(); login.os = env
out = twice(lambda: setattr(Own, 'getenv', staticmethod(getenv_as('second'))))""",
}

# obj.get / str.startswith / environ.copy called on objects whose read of the
# method is not the plain type attribute: what the call reaches.
METHOD_PRELUDE = """
reply = {'Code': 0, 'Result': [{'Key': 'QELTOR_ACCOUNT', 'Value': 'acct'},
                               {'Key': 'QELTOR_CUSTOM_APP_KEY', 'Value': 'key'}]}
login.os = types.SimpleNamespace(getenv=lambda name: 'app_key_gid', environ={})
login.sys = types.SimpleNamespace(platform='linux')
login.subprocess = types.SimpleNamespace(run=lambda *a, **k: types.SimpleNamespace(stdout=''))
def decode_as(value):
    login.json = types.SimpleNamespace(loads=lambda text: value)
def agent():
    del calls[:]
    result = attempt(login.init_gid)
    return [result['ok'] or result['exc'], list(calls)]
"""

METHOD_CASES = {
    "dict subclass overriding get": ("""
class Reply(dict):
    def get(self, key, default=None):
        calls.append('get ' + key)
        return dict.get(self, key, default)
decode_as(Reply(reply))""", [True, ["get Code", "get Result", "init"]]),
    "instance attribute hiding the type's get": ("""
class Reply(dict):
    pass
value = Reply(reply)
value.get = lambda key, default: calls.append('own ' + key) or reply.get(key, default)
decode_as(value)""", [True, ["own Code", "own Result", "init"]]),
    "__getattr__ supplying get": ("""
class Reply:
    def __getattr__(self, name):
        calls.append('hook ' + name)
        return getattr(reply, name)
decode_as(Reply())""", [True, ["hook get", "hook get", "init"]]),
    "__getattribute__ supplying get": ("""
class Reply(dict):
    def __getattribute__(self, name):
        calls.append('attr ' + name)
        return dict.__getattribute__(self, name)
decode_as(Reply(reply))""", [True, ["attr get", "attr get", "init"]]),
    "static get on the class": ("""
class Reply:
    get = staticmethod(lambda key, default: calls.append('static ' + key) or reply.get(key, default))
decode_as(Reply())""", [True, ["static Code", "static Result", "init"]]),
    "no get at all": ("""
decode_as([1, 2])""", ["AttributeError", []]),
    "str subclass platform with its own startswith": ("""
class Platform(str):
    def startswith(self, prefix):
        calls.append('startswith ' + prefix)
        return False
login.sys = types.SimpleNamespace(platform=Platform('win32'))
decode_as(reply)""", [True, ["startswith win", "init"]]),
}


class AttributeMemo(ChildCase):
    def test_changes_between_calls_are_seen(self):
        scenarios = [(name, code) for name, code in ATTRIBUTE_CASES.items()]
        results = run_scenarios(scenarios, PRELUDE, {"CORVALITH_AGENT": None})
        for name in ATTRIBUTE_CASES:
            with self.subTest(name):
                self.assertOk(results[name])
                self.assertEqual(results[name]["out"], ["first", "second"])

    def test_a_rebinding_thread(self):
        # One thread flips env.getenv between two functions (and grows and
        # shrinks env's dictionary) while others call init_gid: every call
        # must reach one of the two, and after the flipping stops, the last one.
        code = """
import sys, threading
env = Env(); login.os = env
a, b = getenv_as('a'), getenv_as('b')
env.getenv = a
stop = threading.Event()
def flip():
    i = 0
    while not stop.is_set():
        env.getenv = b if i % 2 else a
        setattr(env, 'pad%d' % (i % 7), i)
        if i % 3 == 0:
            env.__dict__.pop('pad%d' % ((i + 3) % 7), None)
        i += 1
sys.setswitchinterval(1e-5)
flipper = threading.Thread(target=flip)
flipper.start()
def work():
    for _ in range(300):
        login.init_gid()
workers = [threading.Thread(target=work) for _ in range(4)]
for t in workers: t.start()
for t in workers: t.join()
stop.set(); flipper.join()
tags = set(calls) - {'init'}
last = calls.count('a') + calls.count('b')
env.getenv = b
del calls[:]
login.init_gid()
out = [sorted(tags), last, calls]"""
        result = run_scenarios([("threads", code)], PRELUDE, {"CORVALITH_AGENT": None})["threads"]
        self.assertOk(result)
        tags, count, final = result["out"]
        self.assertTrue(set(tags) <= {"a", "b"}, tags)
        self.assertEqual(count, 1200)
        self.assertEqual(final, ["b", "init"])


class MethodCalls(ChildCase):
    def test_what_the_method_read_reaches(self):
        scenarios = [(name, code + "\nout = agent()") for name, (code, _) in METHOD_CASES.items()]
        results = run_scenarios(scenarios, PRELUDE + METHOD_PRELUDE, {"CORVALITH_AGENT": None})
        for name, (_, expected) in METHOD_CASES.items():
            with self.subTest(name):
                self.assertOk(results[name])
                self.assertEqual(results[name]["out"], expected)

    def test_the_receiver_is_held_as_a_method_call_holds_it(self):
        code = METHOD_PRELUDE + """
import sys
counts = {}
class Reply(dict):
    __slots__ = ()
    def get(self, key, default=None):
        counts.setdefault(via, sys.getrefcount(self))
        return dict.get(self, key, default)
value = Reply(reply)
decode_as(value)
def python_side():
    result = value
    result.get('Code', 1)
via = 'python'
python_side()
via = 'module'
login.init_gid()
out = counts"""
        result = run_scenarios([("refs", code)], PRELUDE, {"CORVALITH_AGENT": None})["refs"]
        self.assertOk(result)
        # From 3.11 the Python-level call moves its reference into the frame.
        self.assertEqual(result["out"]["module"], result["out"]["python"] + C_CALL_EXTRA_REFS)


if __name__ == "__main__":
    unittest.main()
