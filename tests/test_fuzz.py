"""Seeded random tool replies: init_gid against a plain Python model of itself.

The child draws replies (JSON of every shape, broken text, invalid UTF-8,
outputs of megabytes) and provider answers, runs init_gid on each, and
compares the outcome with ``model``: the gid.init calls, the provider calls,
whether the tool ran, and the exception's type, message and source line.
Most cases answer through a patched subprocess.run; LOGIN_FUZZ_TOOL_COUNT of
them go through the stand-in tool. Afterwards every kind of outcome seen is
replayed under tracemalloc, and the reference counts of the objects handed
to the module are compared before and after.

LOGIN_FUZZ_SEED, LOGIN_FUZZ_FIRST and LOGIN_FUZZ_COUNT choose the cases; a
failing case is replayed with LOGIN_FUZZ_FIRST=<case> LOGIN_FUZZ_COUNT=1.
"""
import gc
import json
import os
import random
import subprocess
import sys
import tempfile
import unittest

from support import INIT_FN, WINDOWS, ChildCase, run_child

SEED = int(os.environ.get("LOGIN_FUZZ_SEED", "20240611"))
FIRST = int(os.environ.get("LOGIN_FUZZ_FIRST", "0"))
COUNT = int(os.environ.get("LOGIN_FUZZ_COUNT", "4000"))
TOOL_COUNT = int(os.environ.get("LOGIN_FUZZ_TOOL_COUNT", "200"))
# Under Wine, on a loaded machine, a child's pipe now and then comes back empty
# or fails with "[WinError 1359] Internal error" (seen about once in a few
# thousand runs of the tool). There a tool case that disagrees with the model
# is tried up to three times and counts only if every try disagrees; the
# module merely hands the tool's output on, so a fault of its own would
# disagree every time. The retries are reported.
TOOL_TRIES = 3 if WINDOWS else 1

ACCOUNT, APP_KEY, KIND = "QELTOR_ACCOUNT", "QELTOR_CUSTOM_APP_KEY", "CORVALITH_APPKEY_LICENSE"
UNBOUND = "local variable '%s' referenced before assignment"
TOO_MANY = "too many values to unpack (expected 2)"
NEED_MORE = "need more than %d value%s to unpack"
# A replay of one kind of outcome may grow traced memory by this much at most:
# less than one leaked 16-byte block per call.
REPLAYS, LEAK_BOUND = 120, 1536

# ---- drawing replies --------------------------------------------------------


class Obj:
    """A JSON object as written: its members in order, repeats allowed."""

    def __init__(self, pairs):
        self.pairs = pairs


class Raw:
    """A token written verbatim (number spellings json.dumps never makes)."""

    def __init__(self, text):
        self.text = text


TEXTS = ["", " ", "x", "0", "Key", "MyKey", "Value", "acct", "key", "\u00e9t\u00e9", "\u20acuro",
         "\U0001d11e", "line\nbreak", "quote\"s", "QELTOR_ACCOUNT ", "qeltor_account", ACCOUNT,
         APP_KEY, "QELTOR_", "\u0000nul", "\ud800"]
SCALARS = [None, True, False, 0, 1, -1, 0.0, -0.0, 2.5, 10 ** 30, float("nan"), float("inf"),
           Raw("0e0"), Raw("-0"), Raw("1E-400"), Raw("-Infinity")]


def text(rng):
    if rng.random() < 0.3:
        return "".join(rng.choice("aZ0 _-\u00e9\u4e2d\U0001f600")
                       for _ in range(rng.randrange(1, 12)))
    return rng.choice(TEXTS)


def scalar(rng):
    return text(rng) if rng.random() < 0.4 else rng.choice(SCALARS)


def value(rng, depth=2):
    roll = rng.random()
    if depth <= 0 or roll < 0.6:
        return scalar(rng)
    if roll < 0.8:
        return [value(rng, depth - 1) for _ in range(rng.randrange(4))]
    return Obj([(text(rng), value(rng, depth - 1)) for _ in range(rng.randrange(4))])


def truthy_text(rng):
    return rng.choice(["acct-%d", "key-%d", "\u00e9-%d", "%d"]) % rng.randrange(1000)


def entry(rng):
    roll = rng.random()
    if roll < 0.45:  # a well-formed entry, often with a usable value
        key = rng.choice([ACCOUNT, APP_KEY, ACCOUNT, APP_KEY, "QELTOR_OTHER"])
        pairs = [("Key", key)]
        extra = rng.random()
        if extra < 0.65:
            pairs.append(("Value", truthy_text(rng)))
        elif extra < 0.9:
            pairs.append(("Value", value(rng)))
        if rng.random() < 0.2:
            pairs.append((rng.choice(["Key", "Value", "Other"]), value(rng)))
        rng.shuffle(pairs)
        return Obj(pairs)
    if roll < 0.6:  # a "Key" of the wrong type or a near miss
        return Obj([("Key", value(rng)), ("Value", value(rng))])
    if roll < 0.7:  # no "Key" member
        return Obj([(rng.choice(["key", "KEY", "Value", "x"]), value(rng))])
    if roll < 0.93:
        return Obj([("Key", rng.choice([ACCOUNT, APP_KEY])), ("Value", truthy_text(rng))])
    if roll < 0.96:  # strings and arrays that hold "Key" answer the in test
        return rng.choice(["Key", "MyKey", "Keys", "nokey", ["Key"], ["Key", ACCOUNT], [ACCOUNT]])
    return value(rng)


def result_member(rng):
    roll = rng.random()
    if roll < 0.75:
        entries = [entry(rng) for _ in range(rng.randrange(6))]
        if rng.random() < 0.4:  # make sure a usable pair is among them
            for key in (ACCOUNT, APP_KEY):
                entries.insert(rng.randrange(len(entries) + 1),
                               Obj([("Key", key), ("Value", truthy_text(rng))]))
        return entries
    if roll < 0.85:
        return Obj([(rng.choice(["Key", "Value", ACCOUNT, "x"]), value(rng))
                    for _ in range(rng.randrange(3))])
    return value(rng)


def code_member(rng):
    if rng.random() < 0.6:
        return 0
    return rng.choice([0.0, -0.0, False, True, 1, -1, 2, "0", "", None, [], [0], Obj([]),
                       Raw("0e0"), Raw("-0"), Raw("0.0E+00"), Raw("1E-400"), Raw("5e-324"),
                       Raw("NaN")])


def reply(rng):
    pairs = []
    for name, draw, missing in (("Code", code_member, 0.1), ("Result", result_member, 0.08)):
        if rng.random() >= missing:
            pairs.append((name, draw(rng)))
            if rng.random() < 0.05:  # a repeated member: the last one counts
                pairs.append((name, draw(rng)))
    for _ in range(rng.randrange(3)):
        pairs.append((rng.choice(["Message", "code", "result", "Extra"]), value(rng)))
    rng.shuffle(pairs)
    return Obj(pairs)


def dump(node, rng, ascii_only):
    sep = rng.choice(["", " ", "\n", "\r\n", "\t"])
    if isinstance(node, Obj):
        return "{%s%s}" % (sep, ("," + sep).join(
            "%s:%s%s" % (json.dumps(k, ensure_ascii=ascii_only), sep, dump(v, rng, ascii_only))
            for k, v in node.pairs))
    if isinstance(node, list):
        return "[%s]" % ("," + sep).join(dump(v, rng, ascii_only) for v in node)
    if isinstance(node, Raw):
        return node.text
    return json.dumps(node, ensure_ascii=ascii_only)


def big_output(rng):
    """A reply of a few megabytes: a long entry list or a long value."""
    good = '{"Key": "%s", "Value": "big-acct"}, {"Key": "%s", "Value": "big-key"}' % (
        ACCOUNT, APP_KEY)
    if rng.random() < 0.5:
        filler = '{"Key": "QELTOR_OTHER", "Value": "%s"}, ' % ("f" * rng.randrange(20, 60))
        body = filler * (rng.randrange(2, 4) * 1024 * 1024 // len(filler))
        return '{"Code": 0, "Result": [%s%s]}' % (body, good)
    blob = "\u00e9x" * (rng.randrange(1, 3) * 1024 * 1024)
    return '{"Code": 0, "Result": [{"Key": "%s", "Value": "%s"}, %s]}' % (APP_KEY, blob, good)


def output(rng):
    """The tool's standard output: str, or bytes that need not decode."""
    roll = rng.random()
    ascii_only = rng.random() < 0.5
    if roll < 0.72:
        return dump(reply(rng), rng, ascii_only)
    if roll < 0.8:
        return dump(value(rng, 3), rng, ascii_only)
    if roll < 0.9:
        whole = dump(reply(rng), rng, ascii_only)
        return rng.choice([whole[:rng.randrange(len(whole))], "", " \n", "tovrind: not found",
                           whole + " trailing", whole + whole, "{'Code': 0}", "\ufeff" + whole])
    raw = dump(reply(rng), rng, False).encode("utf-8", "surrogatepass") + rng.choice(
        [b"", "\u00e9\u20ac\U0001d11e".encode("utf-8")])
    cut = rng.randrange(len(raw) + 1)
    bad = rng.choice([b"\xff", b"\xc0\xaf", b"\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b""])
    if rng.random() < 0.5:
        return raw[:cut] + bad + raw[cut:]
    return raw[:cut] + bad


def plain_scalar(rng):
    item = scalar(rng)
    return json.loads(item.text) if isinstance(item, Raw) else item


def provider_answer(rng):
    roll = rng.random()
    if roll < 0.7:
        items = [truthy_text(rng) if rng.random() < 0.7 else plain_scalar(rng) for _ in range(2)]
    else:
        items = [plain_scalar(rng) for _ in range(rng.randrange(4))]
    kind = rng.choice(["tuple"] * 4 + ["list", "list", "gen", "iter", "dict", "str", "none", "int"])
    if kind == "dict":
        items = [str(i) for i in items]
    if kind == "str":
        items = [str(i)[:1] or "s" for i in items]
    return kind, items


def draw_case(seed, index, tool):
    rng = random.Random("%d/%s/%d" % (seed, "tool" if tool else "run", index))
    if tool:
        agent, platform = "app_key_gid", rng.choice(["linux", "win32"])
    else:
        agent = "app_key_gid" if rng.random() < 0.9 else rng.choice(
            [None, "", "APP_KEY_GID", "app_key_gid ", "0"])
        platform = rng.choice(["linux", "linux", "win32", "cygwin", "darwin", "win"])
    stdout = big_output(rng) if rng.random() < (0.02 if tool else 0.002) else output(rng)
    if tool and isinstance(stdout, str):
        stdout = stdout.encode("utf-8", "surrogatepass")
    return {"agent": agent, "platform": platform, "stdout": stdout,
            "answers": [provider_answer(rng), provider_answer(rng)],
            "exit": rng.choice(["0", "0", "1", "3"])}


def build_answer(answer):
    """A fresh provider answer of the drawn kind."""
    kind, items = answer
    if kind == "tuple":
        return tuple(items)
    if kind == "list":
        return list(items)
    if kind == "gen":
        return (item for item in items)
    if kind == "iter":
        return iter(list(items))
    if kind == "dict":
        return dict.fromkeys(items)
    if kind == "str":
        return "".join(items)
    return None if kind == "none" else len(items)


# ---- the model ------------------------------------------------------------

_UNSET = object()


def tool_text(stdout, translate):
    """What res.stdout is: the UTF-8 text of the output (newlines as text mode reads them)."""
    if isinstance(stdout, str):
        return stdout
    decoded = stdout.decode("utf-8")
    return decoded.replace("\r\n", "\n").replace("\r", "\n") if translate else decoded


def unpack2(obj):
    if type(obj) in (tuple, list):
        if len(obj) != 2:
            raise ValueError(TOO_MANY if len(obj) > 2 else
                             NEED_MORE % (len(obj), "" if len(obj) == 1 else "s"))
        return obj[0], obj[1]
    items, it = [], iter(obj)
    for _ in range(3):
        try:
            items.append(next(it))
        except StopIteration:
            break
    if len(items) != 2:
        raise ValueError(TOO_MANY if len(items) > 2 else
                         NEED_MORE % (len(items), "" if len(items) == 1 else "s"))
    return items


def model(case, translate):
    """The outcome init_gid must have for ``case``, computed the plain way."""
    out = {"gid": [], "lh": [], "ran": 0, "exc": None}
    line = 10
    try:
        line = 11
        if case["agent"] == "app_key_gid":
            line = 14 if case["platform"].startswith("win") else 22
            out["ran"] = 1
            try:
                stdout = tool_text(case["stdout"], translate)
            except UnicodeDecodeError:
                # Windows CPython's subprocess decodes a real child's output in
                # reader threads; on bytes that are not UTF-8 the thread dies and
                # run() finds no output: IndexError.
                if translate and WINDOWS:
                    raise IndexError("list index out of range") from None
                raise
            line = 29
            result = json.loads(stdout)
            line = 30
            if result.get("Code", 1) == 0:
                line = 31
                list_values = result.get("Result", None)
                user_id = app_key = _UNSET
                line = 32
                if list_values:
                    line = 33
                    it = iter(list_values)
                    while True:
                        line = 33
                        try:
                            dic = next(it)
                        except StopIteration:
                            break
                        line = 34
                        if "Key" in dic and dic["Key"] == ACCOUNT:
                            line = 35
                            user_id = dic.get("Value", None)
                        else:
                            line = 36
                            if "Key" in dic and dic["Key"] == APP_KEY:
                                line = 37
                                app_key = dic.get("Value", None)
                line = 38
                if user_id is _UNSET:
                    raise UnboundLocalError(UNBOUND % "user_id")
                if user_id:
                    if app_key is _UNSET:
                        raise UnboundLocalError(UNBOUND % "app_key")
                    if app_key:
                        out["gid"].append(((user_id,), {"appkey": app_key}))
                        return out
        line = 41
        out["lh"].append(())
        user, pw = unpack2(build_answer(case["answers"][0]))
        line = 42
        if user and pw:
            out["gid"].append(((user, pw), {}))
            return out
        line = 45
        out["lh"].append((KIND,))
        user, app_key = unpack2(build_answer(case["answers"][1]))
        line = 46
        if user and app_key:
            out["gid"].append(((user,), {"appkey": app_key}))
    except Exception as exc:
        out["exc"] = (exception_name(exc), str(exc), [line])
    return out


def exception_name(exc):
    return "%s.%s" % (type(exc).__module__, type(exc).__qualname__)


def signature(outcome):
    """The kind of an outcome: the exception and line, or the path that succeeded."""
    if outcome["exc"]:
        name, msg, lines = outcome["exc"]
        name = name.rsplit(".", 1)[1]
        if name == "UnboundLocalError":
            name += " " + msg.split("'")[1]
        return "%s@%d" % (name, lines[0])
    if not outcome["gid"]:
        return "nothing usable" if outcome["lh"] else "?"
    if not outcome["lh"]:
        return "agent"
    return "password" if len(outcome["lh"]) == 1 else "application key"


# ---- the child side ---------------------------------------------------------

class Fuzzer:
    """Runs drawn cases through the module (in the child) and collects differences."""

    def __init__(self, runner, seed):
        self.r = runner
        self.seed = seed
        self.login = runner.load()
        self.gid = sys.modules["corvalith.gid"]
        self.answers = None
        self.asked = []
        self.login.get_license_info = self.provider
        self.kinds = {}
        self.examples = {}
        self.mismatches = []
        self.reply_file = tempfile.NamedTemporaryFile(suffix=".reply", delete=False).name
        self.platform = sys.platform
        self.real_run = subprocess.run
        self.last_tool = None
        self.tool_retries = 0
        self.json_loads = json.loads

    def provider(self, *args):
        self.asked.append(args)
        return build_answer(self.answers[len(args)])

    def observe(self, case, run_records=None):
        """init_gid's actual outcome for ``case``, already set up."""
        out = {"gid": [], "lh": [], "ran": 0, "exc": None}
        if case["agent"] is None:
            os.environ.pop("CORVALITH_AGENT", None)
        else:
            os.environ["CORVALITH_AGENT"] = case["agent"]
        sys.platform = case["platform"]
        self.answers = case["answers"]
        del self.gid.calls[:], self.asked[:]
        try:
            self.login.init_gid()
        except Exception as exc:
            lines = [tb.tb_lineno for tb in walk(exc.__traceback__)
                     if tb.tb_frame.f_code.co_name == INIT_FN]
            out["exc"] = (exception_name(exc), str(exc), lines)
        finally:
            sys.platform = self.platform
        out["gid"], out["lh"] = list(self.gid.calls), list(self.asked)
        out["ran"] = len(run_records) if run_records is not None else None
        return out

    @staticmethod
    def expect(case, actual, translate):
        expected = model(case, translate)
        if actual["ran"] is None:  # the real tool leaves no record of its runs
            expected["ran"] = None
        return expected

    def check(self, label, index, case, actual, translate):
        expected = self.expect(case, actual, translate)
        if repr(actual) != repr(expected):
            if len(self.mismatches) < 8:
                self.mismatches.append({"case": "%s %d" % (label, index), "expected": expected,
                                        "actual": actual, "agent": case["agent"],
                                        "platform": case["platform"],
                                        "stdout": repr(case["stdout"][:400]),
                                        "stdout length": len(case["stdout"]),
                                        "answers": case["answers"],
                                        "tool run": self.last_tool if label == "tool" else None})
            return
        kind = signature(expected)
        self.kinds[kind] = self.kinds.get(kind, 0) + 1
        if label == "run" and kind not in self.examples:
            self.examples[kind] = (index, case)

    def run_patched(self, first, count):
        for index in range(first, first + count):
            case = draw_case(self.seed, index, tool=False)
            try:
                text = tool_text(case["stdout"], False)
            except UnicodeDecodeError as exc:
                records = self.r.fake_run(exc=exc)
            else:
                records = self.r.fake_run(text)
            self.check("run", index, case, self.observe(case, records), False)

    def run_tool(self, first, count):
        def recording_run(*args, **kwargs):
            # What the tool itself did, for the report of a mismatch.
            completed = self.real_run(*args, **kwargs)
            self.last_tool = {"args": args, "status": completed.returncode,
                              "stderr": completed.stderr, "stdout": completed.stdout}
            return completed

        run, subprocess.run = subprocess.run, recording_run
        try:
            for index in range(first, first + count):
                case = draw_case(self.seed, index, tool=True)
                with open(self.reply_file, "wb") as stream:
                    stream.write(case["stdout"])
                os.environ["TOVRIND_REPLY_FILE"] = self.reply_file
                os.environ["TOVRIND_EXIT"] = case["exit"]
                for attempt in range(TOOL_TRIES):
                    self.last_tool = None
                    actual = self.observe(case)
                    if repr(actual) == repr(self.expect(case, actual, True)):
                        break
                    self.tool_retries += attempt + 1 < TOOL_TRIES
                self.check("tool", index, case, actual, True)
        finally:
            subprocess.run = run
            os.remove(self.reply_file)

    # -- leaks -----------------------------------------------------------------

    def replay(self, case, times):
        """Run ``case`` ``times`` times; the decoded reply is the same object each time."""
        stdout = case["stdout"]
        try:
            completed = self.r.Completed(tool_text(stdout, False))
        except UnicodeDecodeError:
            completed = None

        def run(*args, **kwargs):
            if completed is None:
                stdout.decode("utf-8")  # a fresh decoding error each time
            return completed

        try:
            decoded = self.json_loads(completed.stdout)
            loads = lambda text: decoded  # noqa: E731
        except (ValueError, AttributeError):
            decoded, loads = None, self.json_loads
        fixed = [tuple(answer[1]) if answer[0] == "tuple" else None for answer in case["answers"]]
        provider = self.provider
        self.provider = lambda *args: fixed[len(args)] or build_answer(case["answers"][len(args)])
        self.login.get_license_info = self.provider
        subprocess.run, json.loads = run, loads
        watched = list(walk_value([stdout, completed, run, loads, self.provider, self.gid,
                                   self.gid.init, os, os.getenv, sys, subprocess, json,
                                   self.login, fixed, decoded]))
        try:
            for _ in range(5):
                self.observe(case)
            del self.gid.calls[:], self.asked[:]
            gc.collect()
            counts = [sys.getrefcount(obj) for obj in watched]
            before = self.tracemalloc.get_traced_memory()[0]
            for _ in range(times):
                self.observe(case)
            del self.gid.calls[:], self.asked[:]
            gc.collect()
            growth = self.tracemalloc.get_traced_memory()[0] - before
            after = [sys.getrefcount(obj) for obj in watched]
            changed = [(repr(obj)[:80], was, now)
                       for obj, was, now in zip(watched, counts, after) if was != now]
        finally:
            self.provider = provider
            self.login.get_license_info = provider
        return growth, changed

    def leak_report(self):
        import tracemalloc
        self.tracemalloc = tracemalloc
        tracemalloc.start()
        report = {}
        try:
            for kind, (index, case) in sorted(self.examples.items()):
                growth, changed = self.replay(case, REPLAYS)
                report[kind] = {"case": index, "growth": growth, "refcounts": changed}
        finally:
            tracemalloc.stop()
            json.loads = self.json_loads
        return report


def walk(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next


def walk_value(value, limit=300):
    """``value`` and what it holds, less the objects the whole interpreter shares."""
    stack, seen = [value], 0
    while stack and seen < limit:
        item = stack.pop()
        seen += 1
        if isinstance(item, dict):
            stack.extend(item)
            stack.extend(item.values())
        elif isinstance(item, (list, tuple)):
            stack.extend(item)
        elif item is None or isinstance(item, bool) or (type(item) is int and -5 <= item <= 256) \
                or (isinstance(item, str) and len(item) <= 1):
            continue  # shared by the whole interpreter
        yield item


def child_main(runner, seed, first, count, tool_count):
    """Entry point of the child job: the whole fuzz run and its report."""
    fuzz = Fuzzer(runner, seed)
    fuzz.run_patched(first, count)
    fuzz.run_tool(first, tool_count)
    leaks = fuzz.leak_report()
    return {"kinds": fuzz.kinds, "mismatches": fuzz.mismatches, "leaks": leaks,
            "tool retries": fuzz.tool_retries}


# ---- the test ---------------------------------------------------------------

# Kinds of outcome the default number of cases must reach.
EXPECTED_KINDS = {
    "agent", "password", "application key", "nothing usable",
    "UnboundLocalError user_id@38", "UnboundLocalError app_key@38", "JSONDecodeError@29",
    "UnicodeDecodeError@22", "UnicodeDecodeError@14", "AttributeError@30", "TypeError@33",
    "TypeError@34", "ValueError@41", "ValueError@45", "TypeError@41", "TypeError@45",
}


class Fuzz(ChildCase):
    """Random replies and provider answers give exactly the model's outcomes."""

    def test_replies_against_the_model(self):
        code = ("out = import_test('test_fuzz').child_main(sys.modules['__main__'], %d, %d, %d, %d)"
                % (SEED, FIRST, COUNT, TOOL_COUNT))
        result = run_child(code)
        self.assertOk(result)
        report = result["out"]
        replay = "seed %d; replay case 'run <n>' with LOGIN_FUZZ_SEED=%d LOGIN_FUZZ_FIRST=<n> " \
                 "LOGIN_FUZZ_COUNT=1 LOGIN_FUZZ_TOOL_COUNT=0, case 'tool <n>' with " \
                 "LOGIN_FUZZ_COUNT=0 LOGIN_FUZZ_TOOL_COUNT=1" % (SEED, SEED)
        if report["tool retries"]:
            print("tool cases tried again: %d" % report["tool retries"], file=sys.stderr)
        self.assertEqual(report["mismatches"], [], replay)
        self.assertEqual(sum(report["kinds"].values()), COUNT + TOOL_COUNT, replay)
        if COUNT >= 2000:
            self.assertEqual(EXPECTED_KINDS - set(report["kinds"]), set(),
                             "the drawn cases no longer reach every outcome: %r" % report["kinds"])
        for kind, leak in sorted(report["leaks"].items()):
            with self.subTest(kind):
                self.assertEqual(leak["refcounts"], [], "%s, case 'run %d': references kept (%s)"
                                 % (kind, leak["case"], replay))
                self.assertLessEqual(leak["growth"], LEAK_BOUND,
                                     "%s, case 'run %d': traced memory grew over %d calls (%s)"
                                     % (kind, leak["case"], REPLAYS, replay))


if __name__ == "__main__":
    unittest.main()
