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

HANG_SECONDS = 5
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
    return {"kind": "exc", "chain": [type(e).__name__ for e in chain],
            "msg": str(held)[:200], "origin": _origin(held), "entries": _entries(held),
            "system": [[_origin(e), str(e)[:120]] for e in chain if isinstance(e, SystemError)],
            "gid": gid, "lh": provider}


def _run(fn, start, stop):
    """Runs fn with allocations start..stop failing; returns what it raised
    (None when it returned) and the allocations it made."""
    _, held, allocations = hooks.call(fn, start, stop)
    return held, allocations


def inject(fn, start, stop, after=None):
    """Runs fn in a fork of this interpreter with allocations start..stop
    failing (start -1: none), then `after` (with the hooks removed), and
    returns the outcome."""
    with tempfile.TemporaryFile() as err:
        r, w = os.pipe()
        sys.stdout.flush()
        sys.stderr.flush()
        pid = os.fork()
        if pid == 0:  # pragma: the forked child never returns
            try:
                os.close(r)
                os.dup2(err.fileno(), 2)
                _reset_calls()
                held, allocations = _run(fn, start, stop)
                outcome = describe(held)
                outcome["allocations"] = allocations
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
        chunks, deadline = [], time.monotonic() + HANG_SECONDS
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
            # The innermost Python frame of the dump that follows a fatal error.
            frames = [line.strip() for line in lines[fatal[0]:] if line.startswith("  File ")
                      ] if fatal else []
            return {"kind": "died",
                    "signal": os.WTERMSIG(status) if os.WIFSIGNALED(status) else None,
                    "status": os.WEXITSTATUS(status) if os.WIFEXITED(status) else None,
                    "fatal": lines[fatal[0]] if fatal else None,
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


def sweep(fn, after=None, variants=("alone", "from")):
    """Every allocation index of fn's path, in both variants. Returns the
    ordinary outcome, the allocations the path makes, and the list of
    [N, variant, outcome] of the runs that differ from the ordinary one."""
    base = inject(fn, -1, 0, after)
    found = []
    for n in range(min(base.get("allocations", 0), LIMIT)):
        for variant in variants:
            outcome = inject(fn, n, 0 if variant == "from" else n + 1, after)
            if ordinary(outcome) != ordinary(base) or outcome.get("after") != base.get("after"):
                found.append([n, variant, outcome])
    return {"base": base, "points": base.get("allocations", 0), "runs": found}


# ---- growth when a failing injection is repeated ------------------------------

def repeat_growth(fn, points, objects, rounds=40):
    """For each of `points` (an allocation index where fn fails), runs fn with
    that allocation failing `rounds` times in one fork (after as many runs to
    settle) and reports the allocated blocks and the reference counts of
    `objects` gained by the second half."""
    def counts():
        return [sys.getrefcount(o) for o in objects]

    def measure():
        grown = {}
        for n in points:
            def once():
                _reset_calls()
                held = _run(fn, n, n + 1)[0]
                del held
            for _ in range(rounds):
                once()
            gc.collect()
            blocks, refs = sys.getallocatedblocks(), counts()
            for _ in range(rounds):
                once()
            gc.collect()
            grown[str(n)] = [sys.getallocatedblocks() - blocks,
                             [now - was for now, was in zip(counts(), refs)]]
        return grown
    return inject(lambda: None, -1, 0, measure).get("after")


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


def needs_interpreter(outcome):
    """An outcome the module may only give where the interpreter gives it
    to the same procedure written in Python."""
    return outcome["kind"] in ("died", "hang") or bool(outcome.get("system"))


def run_path(fn, twin_fn, after, twin_after, lines=None, watched=()):
    """The sweep of one path for the module and, where the module gave an
    outcome that only the interpreter may give, for the twin."""
    started = time.monotonic()
    # A full collection empties the interpreter's free lists, so that the
    # path's first tuples, floats and frames come from the allocator too.
    gc.collect()
    report = {"module": sweep(fn, after)}
    if any(needs_interpreter(run[2]) for run in report["module"]["runs"]):
        report["twin"] = sweep(twin_fn, twin_after)
    if lines is not None:
        report["lines"] = traced_lines(*lines)
    if watched:
        # Four points where the module fails, spread over the path; for the
        # Python procedure, four points spread over its allocations (the
        # interpreter's own growth, which the module may show as well).
        failing = [run[0] for run in report["module"]["runs"]
                   if run[1] == "alone" and run[2]["kind"] == "exc"]
        picks = sorted({failing[i * (len(failing) - 1) // 3] for i in range(4)}) if failing else []
        report["growth"] = repeat_growth(fn, picks, watched[0])
        count = inject(twin_fn, -1, 0).get("allocations", 0)
        report["twin_growth"] = repeat_growth(
            twin_fn, sorted({i * (count - 1) // 3 for i in range(4)}), watched[1]) if count else {}
    report["seconds"] = round(time.monotonic() - started, 2)
    return report


def call_path(login, twin, watched):
    """A path of init_gid: the stand-ins are in place for both sides."""
    def after_for(f):
        def after():
            _reset_calls()
            return ordinary(describe(_run(f, -1, 0)[0]))
        return after
    return run_path(login.init_gid, twin.init_gid, after_for(login.init_gid),
                    after_for(twin.init_gid), (twin.init_gid, twin.init_gid.__code__), watched)


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
        return run_path(import_module, load_twin_module, again(import_module),
                        again(load_twin_module))
    finally:
        shutil.rmtree(folder)
