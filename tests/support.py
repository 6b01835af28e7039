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
