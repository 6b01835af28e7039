"""Child side of the allocation-failure test (tests/test_nomemory.py).

Runs in a fresh interpreter prepared for one path: the module (or, for module
execution, nothing yet) and the same procedure written in Python
(bench/login_twin.py) are ready, the path's stand-ins are in place. Every
injection runs in a fork of this interpreter, so allocation N is the same
allocation every time: allocation N fails alone, or every allocation from N
on fails, while the path runs; the failures end when it returns, and the
outcome is described and sent back through a pipe. The sweep of a side covers every allocation the path makes
when nothing fails (tests/nomemory_hooks.cpp counts them).
"""
import gc
import importlib
import importlib.util
import json
import os
import select
import signal
import sys
import tempfile
import time

sys.path.insert(0, os.environ["LOGIN_TEST_HELPERS"])
import nomemory_hooks as hooks  # noqa: E402
del sys.path[0]
# A process that dies says whether the module's file was loaded by then.
hooks.watch(os.path.join("corvalith", "norva", "utils", "login."))

HERE = os.path.dirname(os.path.abspath(__file__))
TWIN_FILE = os.path.join(os.path.dirname(HERE), "bench", "login_twin.py")
MOD = "corvalith.norva.utils.login"
TWIN = "login_twin"
# Names of the procedure's own frames: the module's traceback entries and the
# Python twin's frames of the same functions.
PROCEDURE = {"corvalith.norva.utils.login.init_gid": "init_gid",
             "init corvalith.norva.utils.login": "<module>"}
TWIN_FRAMES = {("init_gid", "login_twin.py"): "init_gid",
               ("<module>", "login_twin.py"): "<module>"}

MAPPED = "nomemory_hooks fault: mapped %s"  # see hooks.watch
HANG_SECONDS = 5
RETRIES = 2  # further runs of a tool's run whose exception was lost in library code
GROWTH_SECONDS = 20  # a fork that repeats a failing run 80 times
PROBE_SECONDS = 2  # one that repeats it 6 times
# The paths replace json.loads and subprocess.run: the harness keeps its own.
_dumps, _loads = json.dumps, json.loads
LIMIT = 60000  # no path comes near this many allocations


def load_twin():
    """The Python procedure as a module of its own (for the paths of
    init_gid; module execution imports it as the module is imported)."""
    spec = importlib.util.spec_from_file_location(TWIN, TWIN_FILE)
    twin = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(twin)
    sys.modules[TWIN] = twin
    return twin


def import_module():
    return importlib.import_module(MOD)


# ---- one injected run ---------------------------------------------------------

def _chain(exc):
    seen = []
    while exc is not None and len(seen) < 20:
        seen.append(exc)
        exc = exc.__cause__ if exc.__cause__ is not None else exc.__context__
    return seen


def _origin(exc):
    """The innermost frame of the exception's traceback, the procedure's own
    frames named alike on both sides."""
    tb, last = exc.__traceback__, None
    while tb is not None:
        last = tb
        tb = tb.tb_next
    if last is None:
        return None
    code = last.tb_frame.f_code
    key = (code.co_name, os.path.basename(code.co_filename))
    if code.co_name in PROCEDURE:
        return "<procedure %s>" % PROCEDURE[code.co_name]
    if key in TWIN_FRAMES:
        return "<procedure %s>" % TWIN_FRAMES[key]
    return "%s:%s" % key


def _own(exc):
    """Whether the exception passed through the procedure itself: a traceback
    entry of the module, or a frame of the Python procedure."""
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_name in PROCEDURE or (code.co_name, os.path.basename(code.co_filename)
                                         ) in TWIN_FRAMES:
            return True
        tb = tb.tb_next
    return False


def _entries(exc):
    found, tb = [], exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_name in PROCEDURE:
            found.append([code.co_name, tb.tb_lineno])
        tb = tb.tb_next
    return found


def _calls():
    gid = getattr(sys.modules.get("corvalith.gid"), "calls", None)
    provider = getattr(sys.modules.get("corvalith.norva.sdk.license_helper"), "calls", None)
    return ([[list(a), k] for a, k in gid] if gid is not None else None,
            [list(a) for a in provider] if provider is not None else None)


def _reset_calls():
    for name in ("corvalith.gid", "corvalith.norva.sdk.license_helper"):
        calls = getattr(sys.modules.get(name), "calls", None)
        if isinstance(calls, list):
            del calls[:]


def describe(held):
    """The outcome of one run: what it raised or that it succeeded, and the
    calls the stand-ins recorded."""
    gid, provider = _calls()
    if held is None:
        return {"kind": "ok", "gid": gid, "lh": provider}
    chain = _chain(held)
    system = [[_origin(e), str(e)[:120]] for e in chain if isinstance(e, SystemError)]
    return {"kind": "exc", "chain": [type(e).__name__ for e in chain],
            "msg": str(held)[:200], "origin": _origin(held), "entries": _entries(held),
            "system": system, "lost_in": _lost_in(system), "own": _own(held),
            "gid": gid, "lh": provider}


def _lost_in(system):
    """Where the SystemErrors of an outcome were raised: "procedure" (the
    module's failure exit, or the Python procedure's own frame), "library"
    (inside library code the path called, where the interpreter lost the
    exception), or None when there is none."""
    if not system:
        return None
    return ("procedure" if any((s[0] or "").startswith("<procedure") for s in system)
            else "library")


def _run(fn, start, stop, traced=False):
    """Runs fn with allocations start..stop failing; returns what it raised
    (None when it returned) and the allocations it made."""
    _, held, allocations = hooks.call(fn, start, stop, traced)
    return held, allocations


def inject(fn, start, stop, after=None, marker=None, limit=HANG_SECONDS):
    """Runs fn in a fork of this interpreter with allocations start..stop
    failing (start -1: none), then `after` (with the hooks removed), and
    returns the outcome. With a `marker` (the request that shows the tool's
    reply entering the process, see Replies), the outcome also says at which
    allocation the reply was read ("read", None when it was not), and an
    ordinary run gives its requests up to there ("trace")."""
    with tempfile.TemporaryFile() as err:
        r, w = os.pipe()
        sys.stdout.flush()
        sys.stderr.flush()
        # Every fork starts from the same state: the interpreter's free lists
        # empty (the path's first tuples, floats and frames come from the
        # allocator), the collector's counts at zero. What the path's runs
        # find in place is frozen (run_path), so this collection is quick.
        gc.collect()
        pid = os.fork()
        if pid == 0:  # pragma: the forked child never returns
            try:
                os.close(r)
                os.dup2(err.fileno(), 2)
                _reset_calls()
                held, allocations = _run(fn, start, stop, marker is not None)
                outcome = describe(held)
                outcome["allocations"] = allocations
                if marker is not None:
                    trace = hooks.trace()
                    read = trace.index((2, marker)) if (2, marker) in trace else None
                    outcome["read"] = read
                    if start < 0:
                        outcome["trace"] = trace[:read]
                if after is not None:
                    try:
                        outcome["after"] = after()
                    except BaseException as exc:  # reported, and never the ordinary outcome
                        outcome["after"] = {"harness": repr(exc)}
                data = _dumps(outcome, default=repr).encode()
                while data:
                    data = data[os.write(w, data):]
            finally:
                _exit()
        os.close(w)
        chunks, deadline = [], time.monotonic() + limit
        try:
            while True:
                ready, _, _ = select.select([r], [], [], max(0.0, deadline - time.monotonic()))
                if not ready:
                    os.kill(pid, signal.SIGKILL)
                    os.waitpid(pid, 0)
                    return {"kind": "hang"}
                chunk = os.read(r, 65536)
                if not chunk:
                    break
                chunks.append(chunk)
        finally:
            os.close(r)
        _, status = os.waitpid(pid, 0)
        if os.WIFSIGNALED(status) or os.WEXITSTATUS(status) != 0 or not chunks:
            err.seek(0)
            text = err.read().decode("utf-8", "replace")
            lines = text.splitlines()
            fatal = [i for i, line in enumerate(lines) if line.startswith("Fatal Python error")
                     or line.startswith("nomemory_hooks:")]
            # Whether the module's file was loaded when the process died.
            mapped = [line == MAPPED % "yes" for line in lines if line.startswith(MAPPED % "")]
            # The innermost Python frame of the dump that follows a fatal error.
            frames = [line.strip() for line in lines[fatal[0]:] if line.startswith("  File ")
                      ] if fatal else []
            return {"kind": "died",
                    "signal": os.WTERMSIG(status) if os.WIFSIGNALED(status) else None,
                    "status": os.WEXITSTATUS(status) if os.WIFEXITED(status) else None,
                    "fatal": lines[fatal[0]] if fatal else None,
                    "mapped": mapped[0] if mapped else None,
                    "frame": _frame_name(frames[0]) if frames else None,
                    "native": _native_frame(lines), "stderr": text[-1500:]}
        return _loads(b"".join(chunks).decode())


def _exit():
    """Ends a forked child at once; in a coverage build, through the C
    library's exit, which writes the child's coverage counters first."""
    if os.environ.get("LOGIN_COVERAGE"):
        import ctypes
        ctypes.CDLL(None).exit(0)
    os._exit(0)


def _native_frame(lines):
    """Under the address sanitizer: the source file of the innermost native
    frame of the fault, past the C library's signal machinery."""
    for line in lines:
        parts = line.split()
        if len(parts) >= 5 and parts[0].startswith("#") and parts[2] == "in":
            place = parts[4]
            if not place.startswith(("../sysdeps", "nptl/", "(")):
                return place.rsplit(":", 1)[0]
    return None


def _frame_name(line):
    """file:function of a line 'File "...", line N in function' of a dump."""
    head, _, function = line.rpartition(" in ")
    return "%s:%s" % (os.path.basename(head.split('"')[1]) if '"' in head else head, function)


def ordinary(outcome):
    """What identifies an outcome as the path's ordinary one."""
    keys = ("kind", "chain", "msg", "entries", "gid", "lh")
    return {k: outcome.get(k) for k in keys}


def sweep(fn, after=None, marker=None, start=0, reference=None, keep=0):
    """Every allocation index of fn's path, in both variants. Returns the
    ordinary outcome, the allocations the path makes, and the list of
    [N, variant, outcome] of the runs that differ from the ordinary one.

    Below `start`, a run of the `reference` reply (a dict (N, variant) ->
    outcome) that never read its reply stands for this reply's run (it is
    marked "shared"); the others run again. `keep`: the outcomes of the runs
    below it are kept in "early" for the sweep of another reply."""
    base = inject(fn, -1, 0, after, marker)
    base.pop("trace", None)
    found, early, shared = [], {}, 0
    for n in range(min(base.get("allocations", 0), LIMIT)):
        for variant in ("alone", "from"):
            if n < start and reference[n, variant].get("read") is None:
                found.append([n, variant, dict(reference[n, variant], shared=True)])
                shared += 1
                continue
            outcome = inject(fn, n, 0 if variant == "from" else n + 1, after, marker)
            # Through the tool, when its reply arrives depends on its timing
            # (a poll sooner or later), so allocation N is not always the same
            # allocation. An exception lost inside library code the path
            # called is run again, twice at most: the module at the same
            # allocation would lose it every time.
            for _ in range(RETRIES if marker is not None else 0):
                if outcome.get("lost_in") != "library":
                    break
                outcome = dict(inject(fn, n, 0 if variant == "from" else n + 1, after, marker),
                               retried=True)
            if n < keep:
                early[n, variant] = outcome
            if ordinary(outcome) != ordinary(base) or outcome.get("after") != base.get("after"):
                found.append([n, variant, outcome])
    return {"base": base, "points": base.get("allocations", 0), "runs": found,
            "shared": shared, "early": early}


class Replies:
    """The tool's replies, swept in one prepared interpreter: the tool (the
    real stand-in, through the shell) prints TOVRIND_REPLY, which is set in
    this process's environment before each reply's runs. The path reads
    nothing of the environment but CORVALITH_AGENT, and passes the process's
    own to the tool, so that nothing the path does differs from one reply to
    the next until the reply is read from the tool's output.

    The read shows in the allocations: os.read takes a buffer of 32768 bytes
    and shrinks it to what it read, one request (a realloc) whose size is the
    reply's bytes object size. Every reply has a length of its own, so this
    request tells where each run read its reply. The ordinary runs of all the
    replies make the same requests up to `start`, where the first of them
    differs (the test checks that each reply's requests up to the read are
    those of the first reply); the first reply is swept in full, every other
    one from
    `start` on: below `start`, a run of the first reply that did not read its
    reply is the same run for every reply, and the runs that read it (a
    failure the path got over) run again."""

    def __init__(self, replies):
        self.replies = replies
        self.sides = {}

    def use(self, index):
        os.environ["TOVRIND_REPLY"] = self.replies[index]

    def marker(self, index):
        return sys.getsizeof(os.fsencode(self.replies[index]))

    def start(self, side, fn):
        """Where the ordinary runs of the replies first differ, for one side
        (the module or the Python procedure), and for each reply whether one
        of its runs makes the same requests up to the read as one of the
        first reply's: the tool sometimes answers later than its pipes are
        first polled, which adds a round of polling before the read, so each
        reply's ordinary run is taken three times, and more often with the
        first reply's until one of each agree."""
        if side not in self.sides:
            samples = [[] for _ in self.replies]

            def sample(index):
                self.use(index)
                base = inject(fn, -1, 0, None, self.marker(index))
                if base.get("read") is None:
                    raise AssertionError("%s: reply %d never read: %r" % (side, index, base))
                samples[index].append(base["trace"])
            for index in range(len(self.replies)):
                for _ in range(3):
                    sample(index)
                # Another run of both until one agrees, up to ten more.
                for _ in range(10):
                    if any(t in samples[0] for t in samples[index]):
                        break
                    sample(0)
                    sample(index)
            traces = [runs[0] for runs in samples]
            start = 0
            while all(len(t) > start and t[start] == traces[0][start] for t in traces):
                start += 1
            self.sides[side] = {"start": start, "same": [
                any(t in samples[0] for t in runs) for runs in samples]}
        return self.sides[side]["start"]

    def sweep(self, side, fn, after, index):
        start = self.start(side, fn)
        got = self.sides[side]
        if "early" not in got:
            self.use(0)
            got["first"] = sweep(fn, after, self.marker(0), keep=start)
            got["early"] = got["first"].pop("early")
        self.use(index)
        report = got["first"] if index == 0 else sweep(
            fn, after, self.marker(index), start, got["early"])
        report.pop("early", None)
        return dict(report, start=start, same=got["same"][index])


# ---- growth when a failing injection is repeated ------------------------------

def repeat_growth(fn, objects, spread, marker=None, warm=(-1, 0), rounds=40):
    """Runs fn `rounds` times with one allocation failing, after as many runs
    to settle, in a fork of its own, and reports per point the allocated
    blocks and the reference counts of `objects` gained by the second half,
    how many of its runs failed, and how many of those failures passed
    through the procedure itself (a traceback entry of the module, a frame
    of the Python procedure).

    The points: `spread` points spread over the allocations of an ordinary
    run after a first run (the fork's own, as in the sweep) with the
    allocations `warm` (start, stop) failing (by default none: the first run
    imports and caches what the path needs), from the read of the tool's
    reply (`marker`, see Replies) on; each moved to the nearest allocation
    where the runs keep failing: as the process goes on, an
    allocation may come from a free list where it came from the allocator,
    and the failure move elsewhere (or, inside the import machinery, leave
    its locks in a state where the next import stops or waits forever)."""
    def counts():
        return [sys.getrefcount(o) for o in objects]

    own = []  # per run: whether its failure passed through the procedure

    def fails(n):
        _reset_calls()
        held = _run(fn, n, n + 1)[0]
        failed = held is not None
        own.append(failed and _own(held))
        # From 3.12 the interpreter raises, where it cannot make a
        # MemoryError, one instance made in advance, which keeps every
        # traceback it is raised with and the frames in them (the Python
        # procedure shows the same): what a failed run raised goes with its
        # traceback cleared.
        for exc in _chain(held):
            exc.__traceback__ = None
        del held
        # A run that failed while the tool ran left its process to be
        # reaped by the next start of a process, which then makes more
        # allocations the more such processes there are: each is waited for
        # here, so that every repetition starts the tool from the same state.
        active = getattr(sys.modules.get("subprocess"), "_active", None)
        while active:
            active.pop().wait()
        return failed

    def probe(n):
        # As the measure goes: runs, a collection (which changes what the
        # free lists hold), runs.
        if not all(fails(n) for _ in range(3)):
            return False
        gc.collect()
        return all(fails(n) for _ in range(3))

    def candidates():
        ordinary = inject(fn, -1, 0, None, marker)
        count = ordinary.get("allocations", 0)
        first = ordinary["read"] if marker is not None else 0
        found = []
        for i in range(spread):
            near = first + (2 * i + 1) * (count - first) // (2 * spread)
            found.append([])
            for n in sorted(range(first, count),
                            key=lambda n: abs(n - near)):
                if len(found[-1]) < 3 and inject(lambda: None, -1, 0, lambda: probe(n),
                                                 limit=PROBE_SECONDS).get("after") is True:
                    found[-1].append(n)
        return found

    def measure(n):
        for _ in range(rounds):
            fails(n)
        gc.collect()
        blocks, refs = sys.getallocatedblocks(), counts()
        del own[:]
        failed = sum(fails(n) for _ in range(rounds))
        gc.collect()
        return [sys.getallocatedblocks() - blocks,
                [now - was for now, was in zip(counts(), refs)], failed, sum(own)]

    # The first run is the fork's own, as in the sweep's runs.
    grown = {}
    for near in inject(fn, *warm, candidates, limit=GROWTH_SECONDS).get("after") or ():
        for n in near:
            if str(n) in grown:
                continue
            got = inject(fn, *warm, lambda: measure(n), limit=GROWTH_SECONDS).get("after")
            if isinstance(got, list) and got[2] >= rounds * 3 // 4:
                grown[str(n)] = got
                break
    return grown


# ---- one path ------------------------------------------------------------------

def traced_lines(fn, code):
    """The lines of `code` that a run of fn reaches (in a fork)."""
    def trace():
        lines = set()

        def tracer(frame, event, arg):
            if frame.f_code is code:
                if event == "line":
                    lines.add(frame.f_lineno)
                return tracer
            return None
        sys.settrace(tracer)
        try:
            fn()
        except BaseException:
            pass
        finally:
            sys.settrace(None)
        return sorted(lines)
    return inject(lambda: None, -1, 0, trace).get("after")


def _latest_failure(fn, runs):
    """A run of fn that fails as late in the procedure as a single failing
    allocation makes it fail: not in the import machinery after it, which
    may leave the procedure's module imported (`runs`: those of the sweep,
    when it has them)."""
    failing = [run[0] for run in runs if run[1] == "alone" and run[2]["kind"] == "exc"
               and run[2]["own"]]
    n = max(failing) + 1 if failing else inject(fn, -1, 0).get("allocations", 0)
    while n > 0:
        n -= 1
        outcome = inject(fn, n, n + 1)
        if outcome["kind"] == "exc" and outcome["own"]:
            return n, n + 1
    return -1, 0


def needs_interpreter(outcome):
    """An outcome the module may only give where the interpreter gives it
    to the same procedure written in Python."""
    return outcome["kind"] in ("died", "hang") or bool(outcome.get("system"))


def run_path(fn, twin_fn, after, twin_after, lines=None, watched=(), replies=None, index=0,
             execution=False):
    """The sweep of one path for the module and, where the module gave an
    outcome that only the interpreter may give, for the twin. With `replies`
    (see Replies), the path is reply `index` of the tool; `execution`: the
    path is module execution."""
    started = time.monotonic()
    gc.collect()
    gc.freeze()
    try:
        return _run_path(started, fn, twin_fn, after, twin_after, lines, watched, replies, index,
                         execution)
    finally:
        gc.unfreeze()


def _run_path(started, fn, twin_fn, after, twin_after, lines, watched, replies, index,
              execution):

    def swept(side, f, a):
        if replies is None:
            return sweep(f, a)
        got = replies.sweep(side, f, a, index)
        replies.use(index)
        return got
    report = {"module": swept("module", fn, after)}
    if any(needs_interpreter(run[2]) for run in report["module"]["runs"]):
        report["twin"] = swept("twin", twin_fn, twin_after)
    if lines is not None:
        report["lines"] = traced_lines(*lines)
    if watched:
        # Points where the runs fail, spread over the path; the Python
        # procedure's growth at points spread the same way is the
        # interpreter's own, which the module may show as well. On the
        # tool's paths, from the read of the reply on: before it the runs are
        # the interpreter's process creation, the module's part the same as
        # on the paths with subprocess.run replaced (checked there); a reply
        # but the first has one point (each run spawns the tool).
        marker, spread, warm = None, 4, ((-1, 0), (-1, 0))
        if replies is not None:
            marker, spread = replies.marker(index), 1 if index else 4
        if execution:
            # An ordinary import would import the module for good: the first
            # run is the latest that fails.
            warm = (_latest_failure(fn, report["module"]["runs"]),
                    _latest_failure(twin_fn, report["twin"]["runs"] if "twin" in report else ()))
        report["growth"] = repeat_growth(fn, watched[0], spread, marker, warm[0])
        report["twin_growth"] = repeat_growth(twin_fn, watched[1], spread, marker, warm[1])
    report["seconds"] = round(time.monotonic() - started, 2)
    return report


def call_path(login, twin, watched, replies=None, index=0):
    """A path of init_gid: the stand-ins are in place for both sides."""
    def after_for(f):
        def after():
            _reset_calls()
            return ordinary(describe(_run(f, -1, 0)[0]))
        return after
    return run_path(login.init_gid, twin.init_gid, after_for(login.init_gid),
                    after_for(twin.init_gid), (twin.init_gid, twin.init_gid.__code__), watched,
                    replies, index)


def reply_paths(login, twin, watched, replies):
    """The paths of the tool's replies (see Replies), one report each."""
    shared = Replies(replies)
    return [call_path(login, twin, watched, shared, index) for index in range(len(replies))]


def exec_path():
    """Module execution: the import, then (hooks removed) a second import
    attempt and a call. The Python procedure is imported the same way, from
    a folder added to the package's path, with its compiled file written
    beforehand (as an installed package has it)."""
    import py_compile
    import shutil
    import corvalith.norva.utils as package
    folder = tempfile.mkdtemp()
    try:
        source = os.path.join(folder, "login_twin.py")
        shutil.copyfile(TWIN_FILE, source)
        py_compile.compile(source, doraise=True)
        package.__path__.append(folder)
        importlib.invalidate_caches()

        def again(load):
            def after():
                _reset_calls()
                try:
                    module = load()
                except BaseException as exc:
                    return {"import": type(exc).__name__}
                return ordinary(describe(_run(module.init_gid, -1, 0)[0]))
            return after

        def load_twin_module():
            return importlib.import_module(package.__name__ + ".login_twin")
        # What a failed execution holds while it runs: the modules it imports
        # and binds, the package it is imported into, builtins.
        import builtins
        import corvalith.norva.sdk.license_helper as helper
        watched = [sys.modules[name] for name in ("corvalith", "corvalith.gid", "os", "sys",
                                                  "subprocess", "json")]
        watched += [helper, helper.get_license_info, package, builtins]
        return run_path(import_module, load_twin_module, again(import_module),
                        again(load_twin_module), watched=(watched, watched), execution=True)
    finally:
        shutil.rmtree(folder)
