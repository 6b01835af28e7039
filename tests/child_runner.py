"""Child side of the test harness: runs one job in this fresh interpreter.

The job arrives as JSON on stdin: {"code": ...} for a single run, or
{"prelude": ..., "scenarios": [[name, code], ...]} for several independent
runs that share one prelude. The outcome is printed as a single line,
MARKER followed by JSON. Job code sees the helpers defined below and reports
a value by binding ``out``.
"""
import ctypes
import importlib
import json
import os
import subprocess
import sys

import wine_retry

HERE = os.path.dirname(os.path.abspath(__file__))
if sys.path and os.path.abspath(sys.path[0] or ".") == HERE:
    del sys.path[0]
wine_retry.install()

MARKER = "@@login-test-result@@"
MOD = "corvalith.norva.utils.login"
SO = os.environ.get("LOGIN_SO", "")
_dumps = json.dumps
_MISSING = object()


class Boom(Exception):
    """The exception scenarios raise so its identity can be checked."""


_boom = [None]


def new_boom(label="boom"):
    """A fresh BOOM that raiser() raises from now on."""
    _boom[0] = Boom(label)
    return _boom[0]


def raiser(*args, **kwargs):
    """Stand-in for any collaborator: raises the running scenario's BOOM."""
    raise _boom[0]


def address(obj):
    """The object's address as the interpreter's %p writes it (0x7f3a... on Linux,
    0x000001D2... on Windows), read off object.__repr__."""
    return object.__repr__(obj).rsplit(" ", 1)[1][:-1]


def load():
    return importlib.import_module(MOD)


def import_test(name):
    """Import tests/<name>.py here, for jobs whose child side lives in a test file."""
    sys.path.insert(0, HERE)
    try:
        return importlib.import_module(name)
    finally:
        sys.path.remove(HERE)


def tb_entries(tb):
    entries = []
    while tb is not None:
        code = tb.tb_frame.f_code
        entries.append([code.co_name, code.co_filename, tb.tb_lineno])
        tb = tb.tb_next
    return entries


def _calls(name):
    return list(getattr(sys.modules.get(name), "calls", None) or [])


def _reset_calls():
    for name in ("corvalith.gid", "corvalith.norva.sdk.license_helper"):
        calls = getattr(sys.modules.get(name), "calls", None)
        if isinstance(calls, list):
            del calls[:]


def attempt(fn, boom=None):
    """Run fn and describe what happened, including the recorded calls."""
    _reset_calls()
    try:
        fn()
    except BaseException as exc:  # the outcome is the report
        result = {"ok": False, "exc": type(exc).__name__, "msg": str(exc),
                  "tb": tb_entries(exc.__traceback__),
                  "same": boom is not None and exc is boom}
    else:
        result = {"ok": True}
    result["gid"] = _calls("corvalith.gid")
    result["lh"] = _calls("corvalith.norva.sdk.license_helper")
    return result


# ---- doubles for the interpreter-side collaborators -----------------------

class Completed:
    def __init__(self, stdout):
        self.stdout = stdout
        self.returncode = 0


def fake_run(stdout="", exc=None):
    """Replace subprocess.run by a recorder answering with ``stdout``."""
    records = []

    def run(*args, **kwargs):
        record = {"args": list(args), "arg_types": [type(a).__name__ for a in args],
                  "kwnames": list(kwargs),
                  "kwargs": {k: v for k, v in kwargs.items() if k != "env"}}
        if "env" in kwargs:
            env = kwargs["env"]
            record["env"] = {"type": type(env).__name__, "is_environ": env is os.environ,
                             "equal": env == dict(os.environ)}
        records.append(record)
        if exc is not None:
            raise exc
        return Completed(stdout)

    subprocess.run = run
    return records


def fake_loads(value=None, exc=None):
    """Replace json.loads by one returning ``value`` (or raising ``exc``)."""
    seen = []

    def loads(text, *args, **kwargs):
        seen.append(text)
        if exc is not None:
            raise exc
        return value

    json.loads = loads
    return seen


# ---- direct access to the module definition -------------------------------

def module_def():
    init = ctypes.CDLL(SO).PyInit_login
    init.restype = ctypes.c_void_p
    return init()


def def_fields(defptr):
    """(m_name, m_doc, m_size, m_methods, m_slots) of a PyModuleDef."""
    base = 40  # PyObject_HEAD + m_init + m_index + m_copy
    name, doc = (ctypes.c_void_p.from_address(defptr + base + 8 * i).value for i in (0, 1))
    size = ctypes.c_ssize_t.from_address(defptr + base + 16).value
    methods, slots = (ctypes.c_void_p.from_address(defptr + base + 8 * i).value for i in (3, 4))
    return (ctypes.string_at(name) if name else None, doc, size, methods, slots)


def def_slots(defptr):
    slots, pos = [], def_fields(defptr)[4]
    while pos:
        kind = ctypes.c_int.from_address(pos).value
        if kind == 0:
            break
        slots.append((kind, ctypes.c_void_p.from_address(pos + 8).value))
        pos += 16
    return slots


def create_slot(spec):
    """Call the module's creation slot directly with ``spec``."""
    defptr = module_def()
    create = dict(def_slots(defptr))[1]  # Py_mod_create
    proto = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p)
    return proto(create)(spec, defptr)


def exec_def(module):
    """Run the module's execution slot on ``module`` the way the importer does."""
    api = ctypes.pythonapi.PyModule_ExecDef
    api.argtypes = (ctypes.py_object, ctypes.c_void_p)
    return api(module, module_def())


# ---- isolation between scenarios -----------------------------------------

_WATCHED = ("builtins", "os", "subprocess", "json", MOD, "corvalith.gid",
            "corvalith.norva.sdk.license_helper")


def _snapshot():
    dicts = {name: (vars(sys.modules[name]), dict(vars(sys.modules[name])))
             for name in _WATCHED if name in sys.modules}
    dicts["environ"] = (vars(os.environ), dict(vars(os.environ)))
    return dicts, dict(os.environ), sys.platform


def _restore_dict(live, saved):
    for key in [k for k in live if k not in saved]:
        del live[key]
    for key, value in saved.items():
        if live.get(key, _MISSING) is not value:
            live[key] = value


def _restore(state):
    dicts, environ, platform = state
    sys.platform = platform
    for live, saved in dicts.values():
        _restore_dict(live, saved)
    for key in [k for k in os.environ if k not in environ]:
        del os.environ[key]
    for key, value in environ.items():
        if os.environ.get(key) != value:
            os.environ[key] = value


def _run(code, base):
    ns = dict(base)
    ns["BOOM"] = new_boom()
    ns["out"] = None
    result = attempt(lambda: exec(compile(code, "<scenario>", "exec"), ns), ns["BOOM"])
    result["out"] = ns.get("out")
    return result


def main():
    job = json.loads(sys.stdin.read())
    base = {k: v for k, v in globals().items() if not k.startswith("_")}
    if "scenarios" in job:
        exec(compile(job.get("prelude", ""), "<prelude>", "exec"), base)
        report = {}
        for name, code in job["scenarios"]:
            state = _snapshot()
            try:
                report[name] = _run(code, base)
            finally:
                _restore(state)
    else:
        report = _run(job["code"], base)
    sys.stdout.write(MARKER + _dumps(report, default=repr) + "\n")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
