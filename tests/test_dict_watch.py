"""From 3.12 the memos prove a dictionary unchanged through a dictionary watcher.

The watcher is told of every event on a dictionary it watches: an item added,
changed or deleted, the dictionary cleared, refilled as a clone of another,
or freed. Each case below changes a watched dictionary by one of the roads
that no plain item assignment takes, and the second call of init_gid must see
what a Python-level read would see. With every watcher slot of the
interpreter taken by others the module remembers nothing, and still reads
right.
"""
import unittest

from support import DICT_WATCHERS as WATCHED, ChildCase, run_child, run_scenarios
from test_memos import PRELUDE

CASES = {
    # The read of os.getenv: the module's dictionary emptied, then refilled
    # from another dictionary in one step (a clone of its keys).
    "attribute dictionary cleared and cloned": """
mod = types.ModuleType('fake'); mod.getenv = getenv_as('first'); login.os = mod
def change():
    d = vars(mod)
    refill = dict(d, getenv=getenv_as('second'))
    d.clear()
    d.update(refill)
out = twice(change)""",
    # The lookup of the global os itself, in the module's own dictionary.
    "module dictionary cleared and cloned": """
first = types.ModuleType('first'); first.getenv = getenv_as('first'); login.os = first
second = types.ModuleType('second'); second.getenv = getenv_as('second')
def change():
    g = vars(login)
    refill = dict(g, os=second)
    g.clear()
    g.update(refill)
out = twice(change)""",
    # The dictionary the read found its value in is freed, and the object's
    # new dictionary may take its place in memory.
    "attribute dictionary freed": """
env = Env(); env.getenv = getenv_as('first'); login.os = env
def change():
    env.__dict__ = {}
    env.getenv = getenv_as('second')
out = twice(change)""",
}


@unittest.skipUnless(WATCHED, "before 3.12 the dictionaries' version tags prove them unchanged")
class WatchedDictionaries(ChildCase):
    def test_every_kind_of_change_is_seen(self):
        results = run_scenarios(list(CASES.items()), PRELUDE, {"CORVALITH_AGENT": None})
        for name in CASES:
            with self.subTest(name):
                self.assertOk(results[name])
                self.assertEqual(results[name]["out"], ["first", "second"])

    def test_without_a_watcher_slot_nothing_is_remembered_and_reads_stay_right(self):
        # Others take every slot first; each case then runs as above.
        taken = """
import _testcapi
taken = []
while True:
    try:
        taken.append(_testcapi.add_dict_watcher(0))
    except RuntimeError:
        break
"""
        code = "\n".join(
            "%s\nresults[%r] = out\n" % (body, name) for name, body in CASES.items())
        result = run_child(taken + PRELUDE + "results = {}\n" + code + """
login.os = types.ModuleType('gone')
try:
    login.init_gid()
except AttributeError as exc:
    results['missing'] = str(exc)
out = [len(taken) > 0, results]""", {"CORVALITH_AGENT": None})
        self.assertOk(result)
        expected = {name: ["first", "second"] for name in CASES}
        expected["missing"] = "module 'gone' has no attribute 'getenv'"
        self.assertEqual(result["out"], [True, expected])


if __name__ == "__main__":
    unittest.main()
