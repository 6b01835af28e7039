"""Shared harness for the login module tests.

Every case runs in a fresh interpreter (tests/child_runner.py) so that the
module's process-wide state never leaks between cases. The locations come from
LOGIN_PKG (staged package tree), LOGIN_TOOLS (stand-in tools) and
LOGIN_PYTHON (the interpreter under test); when unset they default to the
usual places in the source tree.
"""
import glob
import json
import os
import subprocess
import sys
import unittest

import wine_retry

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PKG = os.path.abspath(os.environ.get("LOGIN_PKG") or os.path.join(ROOT, "build", "pkg"))
TOOLS = os.path.abspath(os.environ.get("LOGIN_TOOLS") or os.path.join(ROOT, "standins", "bin"))
PYTHON = os.environ.get("LOGIN_PYTHON") or sys.executable
RUNNER = os.path.join(HERE, "child_runner.py")
MARKER = "@@login-test-result@@"

MODULE = "corvalith.norva.utils.login"
INIT_FN = "corvalith.norva.utils.login.init_gid"
EXEC_FN = "init corvalith.norva.utils.login"
# Traceback entries carry the source path with every backslash doubled.
TB_FILE = "corvalith\\\\norva\\\\utils\\\\login.py"

# Variables the module, the stand-ins or the interpreter would react to.
SCRUBBED = ("CORVALITH_AGENT", "CORVALITH_LICENSE_USERPASS", "CORVALITH_LICENSE_APPKEY",
            "TOVRIND_REPLY", "TOVRIND_REPLY_FILE", "TOVRIND_EXIT", "PYTHONSTARTUP",
            "PYTHONWARNINGS", "PYTHONHOME", "PYTHONINSPECT", "PYTHONPATH")


wine_retry.install()

# The interpreter under test is the Windows CPython (run through Wine when the
# tests run here): the tool then goes through PowerShell by default.
WINDOWS = sys.platform.startswith("win")
# The source line of subprocess.run on the interpreter's own branch.
RUN_LINE = 14 if WINDOWS else 22

# ---- what the interpreter itself does differently from one version to the next
# The module behaves the same on every version; these are the interpreter's own
# differences that the tests meet, each named after the version that changed it.

# Type flag bits the interpreter puts on the module's static function type
# beside those the module asks for. Until 3.9 Py_TPFLAGS_DEFAULT carries
# Py_TPFLAGS_HAVE_VERSION_TAG (1 << 18). 3.10 drops it (every type has a version
# tag), and its PyType_Ready marks every static type immutable
# (Py_TPFLAGS_IMMUTABLETYPE, 1 << 8) and one without tp_new not instantiable
# (Py_TPFLAGS_DISALLOW_INSTANTIATION, 1 << 7), as it does type(len).
INTERPRETER_TYPE_FLAGS = (1 << 18) if sys.version_info < (3, 10) else (1 << 8 | 1 << 7)

# Code flags the interpreter adds to a new code object's: CO_NOFREE (0x40) when
# there are no free variables, until 3.10; 3.11 no longer sets it.
INTERPRETER_CODE_FLAGS = 0x40 if sys.version_info < (3, 11) else 0

# The stack size the interpreter gives a code object asked for none: 3.13 makes
# it 1 (types.CodeType.replace(co_stacksize=0) gives 1 there too).
EMPTY_CODE_STACKSIZE = 1 if sys.version_info >= (3, 13) else 0

# A call with **{1: 2}: until 3.8 the interpreter hands non-string keys on to a
# vectorcall callee, whose own "takes no keyword arguments" shows; from 3.9 the
# interpreter refuses them itself while unpacking the dictionary (len(**{1: 2})
# says "keywords must be strings" there too).
INTERPRETER_CHECKS_KEYWORD_KEYS = sys.version_info >= (3, 9)

# References a receiver has during a call made from C (the module's calls, or
# functools.partial's) beyond those during the same call made by Python code.
# From 3.11 a Python-to-Python call moves the caller's stack references into the
# new frame; a call from C leaves the caller's in place and the frame takes its
# own, as before. The module's own count is the same on every version.
C_CALL_EXTRA_REFS = 1 if sys.version_info >= (3, 11) else 0

# Subinterpreters. Until 3.11 _xxsubinterpreters.create() makes one that shares
# the GIL, and an import there reaches the module's creation slot. 3.12 makes an
# isolated one (its own GIL) by default, and the interpreter refuses there any
# module that does not declare per-interpreter GIL support, before its creation
# slot runs; create(isolated=False) makes the sharing kind. 3.13 renames the
# module _interpreters, takes the config "legacy" for the sharing kind, and has
# run_string return a failure instead of raising it.
ISOLATED_SUBINTERPRETERS = sys.version_info >= (3, 12)

# How a child makes a subinterpreter (see ISOLATED_SUBINTERPRETERS): the module,
# and its create() call for the kind that shares the GIL and for the isolated
# kind (before 3.12 there is only the sharing kind).
if sys.version_info >= (3, 13):
    SUBINTERPRETERS = ("_interpreters", "create('legacy')", "create('isolated')")
elif sys.version_info >= (3, 12):
    SUBINTERPRETERS = ("_xxsubinterpreters", "create(isolated=False)", "create(isolated=True)")
else:
    SUBINTERPRETERS = ("_xxsubinterpreters", "create()", "create()")

# Until 3.11 a dictionary's version tag proves it unchanged; from 3.12 the
# module watches the dictionaries it remembers something of (PyDict_AddWatcher).
DICT_WATCHERS = sys.version_info >= (3, 12)

# The registry module the module's function type is shared under: the type's
# own module name on 3.8, from 3.9 a name of its layout's own, so that a type
# of another layout that another module registered under the type's module
# name is never adopted.
TYPE_MODULE = "_cython_3_0_12"
TYPE_REGISTRY = TYPE_MODULE if sys.version_info < (3, 9) else "_cython_3_0_12_cfunction_layout"

# (major, minor) of the interpreter running the tests.
RUNNING_VERSION = tuple(sys.version_info[:2])


def module_file():
    """The built module: login.<suffix>.so on Linux, login.<suffix>.pyd on Windows."""
    utils = os.path.join(PKG, "corvalith", "norva", "utils")
    found = sorted(glob.glob(os.path.join(utils, "login*.so")) +
                   glob.glob(os.path.join(utils, "login*.pyd")))
    return found[0] if found else None


def child_env(env=None):
    result = {k: v for k, v in os.environ.items() if k not in SCRUBBED}
    result.update(PYTHONPATH=PKG, PYTHONDONTWRITEBYTECODE="1", LOGIN_SO=module_file() or "",
                  PATH=TOOLS + os.pathsep + os.environ.get("PATH", os.defpath))
    for key, value in (env or {}).items():
        if value is None:
            result.pop(key, None)
        else:
            result[key] = value
    return result


def _spawn(job, env):
    proc = subprocess.run([PYTHON, "-X", "faulthandler", RUNNER], input=json.dumps(job),
                          env=child_env(env), capture_output=True, text=True, timeout=300)
    # A child that reported but then exited uncleanly (a sanitizer or memory
    # checker finding at exit, a crash in finalisation) fails the case too.
    if proc.returncode == 0:
        for line in reversed(proc.stdout.splitlines()):
            if line.startswith(MARKER):
                return json.loads(line[len(MARKER):])
    raise AssertionError("child gave no result or failed (exit status %s)\nstdout:\n%s\nstderr:\n%s"
                         % (proc.returncode, proc.stdout[-4000:], proc.stderr[-8000:]))


def run_child(code, env=None):
    """Run ``code`` in a fresh interpreter; return its outcome record."""
    return _spawn({"code": code}, env)


def run_scenarios(scenarios, prelude="", env=None):
    """Run each (name, code) pair in one fresh interpreter after ``prelude``.

    The child undoes the patches a scenario makes to the module, its
    collaborators, os.environ and sys.platform before the next one starts.
    """
    return _spawn({"prelude": prelude, "scenarios": list(scenarios)}, env)


def call(*args, **kwargs):
    """A recorded gid.init call in the form the child reports it."""
    return [list(args), kwargs]


class ChildCase(unittest.TestCase):
    maxDiff = None

    def assertOk(self, result):
        if not result["ok"]:
            self.fail("unexpected %s: %s\ntraceback entries: %r"
                      % (result["exc"], result["msg"], result["tb"]))

    def assertInit(self, result, *calls):
        self.assertOk(result)
        self.assertEqual(result["gid"], list(calls))

    def module_entry(self, result, func=INIT_FN):
        positions = [i for i, entry in enumerate(result["tb"]) if entry[0] == func]
        self.assertEqual(len(positions), 1, "one entry for %s expected: %r" % (func, result["tb"]))
        return positions[0]

    def assertFailsAt(self, result, exc, line, msg=None, func=INIT_FN, same=None, then=None):
        """The call failed with ``exc`` and the module's entry names ``line``.

        ``same`` checks that the exception is the very object a collaborator
        raised; ``then`` names the frame that must follow the module's entry.
        """
        self.assertFalse(result["ok"], "expected %s, got success: %r" % (exc, result))
        self.assertEqual(result["exc"], exc, result["msg"])
        if msg is not None:
            self.assertEqual(result["msg"], msg)
        pos = self.module_entry(result, func)
        self.assertEqual(result["tb"][pos][1:], [TB_FILE, line])
        if same is not None:
            self.assertEqual(result["same"], same)
        if then is not None:
            self.assertGreater(len(result["tb"]), pos + 1, result["tb"])
            self.assertEqual(result["tb"][pos + 1][0], then)
