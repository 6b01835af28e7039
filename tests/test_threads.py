"""init_gid from many threads while another thread rebinds the module's globals.

Each stand-in data client records its calls tagged with its own name, the
credentials tell which provider (or the tool) supplied them, and every
recorded call must be one that some binding of the stand-ins explains. The
rebinding thread also moves globals between the module and builtins and
grows and shrinks both dictionaries, so the lookup memos see their
dictionaries change under them; afterwards each binding is checked alone.
"""
import itertools
import json
import os
import sys
import unittest

from support import ChildCase, run_child

WORKERS, CALLS = 8, 1000
KIND = "CORVALITH_APPKEY_LICENSE"
REPLY = json.dumps({"Code": 0, "Result": [{"Key": "QELTOR_ACCOUNT", "Value": "acct"},
                                          {"Key": "QELTOR_CUSTOM_APP_KEY", "Value": "key"}]})
# What each provider stand-in answers, by call: () first, then (KIND,).
PROVIDERS = {"A": {(): ("ua", "pa"), (KIND,): ("ua2", "ka")},
             "B": {(): (None, None), (KIND,): ("ub", "kb")}}
# The credentials every path can hand to gid.init, as (args, kwargs).
CREDENTIALS = {"tool": (("acct",), {"appkey": "key"}), "A password": (("ua", "pa"), {}),
               "A app key": (("ua2",), {"appkey": "ka"}), "B app key": (("ub",), {"appkey": "kb"})}


def explain(record):
    """Which credentials a recorded (gid tag, args, kwargs) call carries, or None."""
    tag, args, kwargs = record
    if tag not in ("A", "B"):
        return None
    for name, (want_args, want_kwargs) in CREDENTIALS.items():
        if (tuple(args), kwargs) == (want_args, want_kwargs):
            return name
    return None


def expected_alone(os_tag, provider, gid):
    """The one call init_gid makes with a single binding of the three globals."""
    if os_tag == "agent":
        return gid, "tool"
    return gid, "A password" if provider == "A" else "B app key"


# ---- the child side ---------------------------------------------------------

def child_main(runner, workers, calls):
    import builtins
    import random
    import subprocess
    import threading
    import time
    import types

    login = runner.load()
    log, lock, local = [], threading.Lock(), threading.local()

    def gid_standin(tag):
        def init(*args, **kwargs):
            log.append((tag, args, kwargs, getattr(local, "index", None)))
        return types.SimpleNamespace(init=init, tag=tag)

    def provider_standin(tag):
        def get_license_info(*args):
            return PROVIDERS[tag][args]
        get_license_info.tag = tag
        return get_license_info

    agent_os = types.SimpleNamespace(
        getenv=lambda name: "app_key_gid" if name == "CORVALITH_AGENT" else None, tag="agent")
    stand_ins = {"os": {"plain": os, "agent": agent_os},
                 "get_license_info": {t: provider_standin(t) for t in "AB"},
                 "gid": {t: gid_standin(t) for t in "AB"}}
    os.environ.pop("CORVALITH_AGENT", None)
    sys.platform = "linux"
    subprocess.run = lambda *args, **kwargs: runner.Completed(REPLY)

    def bind(name, value, via_builtins):
        """Rebind ``name``; at every moment one valid binding is visible."""
        if via_builtins:
            setattr(builtins, name, value)
            vars(login).pop(name, None)
        else:
            setattr(login, name, value)
            vars(builtins).pop(name, None)

    for name, choices in stand_ins.items():
        bind(name, next(iter(choices.values())), False)
    results = {}
    failures = []
    done = threading.Event()
    start = threading.Barrier(workers + 1)
    steps = [0]  # rebinding steps taken; None once the rebinding thread has stopped

    def worker(index):
        local.index = index
        ok = 0
        start.wait()
        for call in range(calls):
            if call % 8 == 0:  # let the rebinding thread take a step at least this often
                mark = steps[0]
                while mark is not None and steps[0] == mark:
                    time.sleep(0)
            try:
                login.init_gid()
            except Exception as exc:  # reported, never expected
                with lock:
                    failures.append("%s: %s" % (type(exc).__name__, exc))
            else:
                ok += 1
        results[index] = ok

    def rebinder():
        rng = random.Random(7)
        names = list(stand_ins)
        start.wait()
        try:
            for step in range(1000000):
                if done.is_set():
                    break
                name = names[step % len(names)]
                bind(name, rng.choice(list(stand_ins[name].values())), rng.random() < 0.3)
                steps[0] += 1
                if step % 7 == 0:  # grow and shrink both dictionaries
                    junk = ["_junk_%d_%d" % (step, i) for i in range(rng.randrange(1, 40))]
                    for key in junk:
                        vars(login)[key] = key
                        vars(builtins)[key] = key
                    for key in junk:
                        del vars(login)[key]
                        del vars(builtins)[key]
        finally:
            steps[0] = None

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(workers)]
        churn = threading.Thread(target=rebinder)
        churn.start()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        done.set()
        churn.join()
    finally:
        sys.setswitchinterval(interval)

    per_thread = {}
    for _, _, _, index in log:
        per_thread[index] = per_thread.get(index, 0) + 1
    concurrent = {"failures": failures[:10], "failure_count": len(failures),
                  "returns": sorted(results.values()),
                  "calls_match_returns": per_thread == results,
                  "unexplained": [r[:3] for r in log if explain(r[:3]) is None][:10],
                  "seen": sorted({"%s/%s" % (r[0], explain(r[:3])) for r in log})}

    # Each binding alone, in the module or in builtins, after all the churn.
    alone = []
    for os_tag, provider, gid in itertools.product(("plain", "agent"), "AB", "AB"):
        for via_builtins in (False, True):
            bind("os", stand_ins["os"][os_tag], via_builtins)
            bind("get_license_info", stand_ins["get_license_info"][provider], via_builtins)
            bind("gid", stand_ins["gid"][gid], not via_builtins)
            del log[:]
            login.init_gid()
            got = [(r[0], explain(r[:3])) for r in log]
            alone.append([[os_tag, provider, gid, via_builtins], got,
                          [list(expected_alone(os_tag, provider, gid))]])
    return {"concurrent": concurrent, "alone": alone}


# ---- the test ---------------------------------------------------------------

class Threads(ChildCase):
    """Concurrent calls and rebinding: only explained outcomes, no crash."""

    def test_calls_while_globals_change(self):
        code = "out = import_test('test_threads').child_main(sys.modules['__main__'], %d, %d)" % (
            WORKERS, CALLS)
        result = run_child(code)
        self.assertOk(result)
        concurrent = result["out"]["concurrent"]
        self.assertEqual((concurrent["failure_count"], concurrent["failures"]), (0, []))
        self.assertEqual(concurrent["returns"], [CALLS] * WORKERS)
        self.assertTrue(concurrent["calls_match_returns"],
                        "each init_gid call must make exactly one gid.init call in its thread")
        self.assertEqual(concurrent["unexplained"], [])
        # The rebinding took effect while the calls ran: both data clients and
        # more than one source of credentials answered.
        seen = concurrent["seen"]
        self.assertEqual({entry.split("/")[0] for entry in seen}, {"A", "B"}, seen)
        self.assertGreater(len({entry.split("/")[1] for entry in seen}), 1, seen)
        for binding, got, want in result["out"]["alone"]:
            with self.subTest(binding=binding):
                self.assertEqual(got, want)


if __name__ == "__main__":
    unittest.main()
