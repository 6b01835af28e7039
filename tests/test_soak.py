"""Soak: many calls on every path leave memory and reference counts where they were.

LOGIN_SOAK_CALLS sets the calls per path (default 20,000; the soak preset runs
1,000,000). After a warm-up, the traced memory (tracemalloc) may grow by at
most LOGIN_SOAK_BOUND bytes per path (default 16 KiB), and the reference counts
of the objects handed to and returned by the collaborators must not move.
"""
import os
import sys
import unittest

from support import ChildCase, run_child

CALLS = int(os.environ.get("LOGIN_SOAK_CALLS", "20000"))
BOUND = int(os.environ.get("LOGIN_SOAK_BOUND", str(16 * 1024)))

SOAK = r'''
import gc, json, os, subprocess, sys, tracemalloc, types
login = load()
CALLS, BOUND = %d, %d

# Values made at run time, so that their reference counts are theirs alone.
USER, PW, KEY = "-".join(["soak", "user"]), "-".join(["soak", "pw"]), "-".join(["soak", "key"])
INIT_RESULT = object()
received = [0]
def init(*args, **kwargs):
    received[0] += 1
    return INIT_RESULT
login.gid = types.SimpleNamespace(init=init)

PAIR_UP = (USER, PW)
PAIR_KEY = (USER, KEY)
def provider(*args):
    return PAIR_KEY if args else PAIR_UP

class Completed:
    def __init__(self, stdout): self.stdout = stdout
def reply(obj):
    return Completed(json.dumps(obj))
def entries(*pairs):
    return {"Code": 0, "Result": [{"Key": k, "Value": v} for k, v in pairs]}

class NoGet:
    def __contains__(self, item): return True
    def __getitem__(self, item): return "QELTOR_ACCOUNT"

GOOD = reply(entries(("QELTOR_ACCOUNT", USER), ("QELTOR_CUSTOM_APP_KEY", KEY)))
BAD_UTF8 = UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte")

# name: (agent mode, what subprocess.run returns or raises, provider, expected exception)
PATHS = {
    "provider user and password": (False, None, provider, None),
    "provider application key": (False, None, lambda *a: PAIR_KEY if a else (USER, ""), None),
    "agent mode": (True, GOOD, provider, None),
    "missing global": (False, None, None, NameError),
    "tool output not UTF-8": (True, BAD_UTF8, provider, UnicodeDecodeError),
    "empty tool output": (True, Completed(""), provider, ValueError),
    "reply not an object": (True, reply([1, 2]), provider, AttributeError),
    "no Result": (True, reply({"Code": 0}), provider, UnboundLocalError),
    "no account entry": (True, reply(entries(("OTHER", USER))), provider, UnboundLocalError),
    "no application key entry": (True, reply(entries(("QELTOR_ACCOUNT", USER))), provider,
                                 UnboundLocalError),
    "Result not iterable": (True, reply({"Code": 0, "Result": 5}), provider, TypeError),
    "entry without in": (True, reply({"Code": 0, "Result": [5]}), provider, TypeError),
    "entry a string": (True, reply({"Code": 0, "Result": ["Key"]}), provider, TypeError),
    "entry without get": (True, None, provider, AttributeError),
    "provider answer too long": (False, None, lambda *a: (USER, PW, KEY), ValueError),
    "provider answer not iterable": (False, None, lambda *a: 7, TypeError),
}

def prepare(agent, run, provider_fn):
    if agent:
        os.environ["CORVALITH_AGENT"] = "app_key_gid"
    else:
        os.environ.pop("CORVALITH_AGENT", None)
    if isinstance(run, BaseException):
        def fake(*a, **k): raise type(run)(*run.args)
    else:
        def fake(*a, **k): return run
    subprocess.run = fake
    if provider_fn is None:
        login.__dict__.pop("get_license_info", None)
    else:
        login.get_license_info = provider_fn

report = {}
for name, (agent, run, provider_fn, expected) in PATHS.items():
    if name == "entry without get":
        json_loads = json.loads
        json.loads = lambda text: {"Code": 0, "Result": [NoGet()]}
    prepare(agent, run or Completed("{}"), provider_fn)
    watched = [USER, PW, KEY, INIT_RESULT, PAIR_UP, PAIR_KEY, run, getattr(run, "stdout", None)]
    def once():
        try:
            login.init_gid()
        except Exception as exc:
            if expected is None or type(exc) is not expected and not isinstance(exc, expected):
                raise
        else:
            if expected is not None:
                raise AssertionError("%%s: no %%s" %% (name, expected.__name__))
    for _ in range(500):
        once()
    received[0] = 0
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(CALLS):
        once()
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    after = [sys.getrefcount(o) for o in watched]
    drift = [a - b for a, b in zip(after, counts)]
    report[name] = {"grown": grown, "drift": drift, "inits": received[0]}
    if name == "entry without get":
        json.loads = json_loads
out = report
'''


class Soak(ChildCase):
    def test_every_path_keeps_memory_and_reference_counts(self):
        result = run_child(SOAK % (CALLS, BOUND))
        self.assertOk(result)
        lines = []
        for name, figures in result["out"].items():
            with self.subTest(name):
                self.assertLessEqual(figures["grown"], BOUND, figures)
                self.assertEqual(figures["drift"], [0] * len(figures["drift"]), figures)
                succeeded = name in ("provider user and password", "provider application key",
                                     "agent mode")
                self.assertEqual(figures["inits"], CALLS if succeeded else 0)
            lines.append("%-30s %8d bytes  drift %s" % (name, figures["grown"], figures["drift"]))
        sys.stderr.write("\n%d calls per path:\n%s\n" % (CALLS, "\n".join(lines)))


if __name__ == "__main__":
    unittest.main()
