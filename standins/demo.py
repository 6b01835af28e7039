"""Signs in through the built module against the stand-in package and tools.

It prints the interpreter and the module file it uses; each scenario runs in
a fresh interpreter (the module is imported once per process), checks that it
loaded that file, and prints what the stand-in data client received.
"""

import json
import os
import platform
import subprocess
import sys

MODULE = "corvalith.norva.utils.login"

REPLY = {
    "Code": 0,
    "Result": [
        {"Key": "QELTOR_ACCOUNT", "Value": "agent-account"},
        {"Key": "QELTOR_CUSTOM_APP_KEY", "Value": "agent-app-key"},
    ],
}

SCENARIOS = [
    ("provider: user name and password",
     {"CORVALITH_LICENSE_USERPASS": '["demo-user", "demo-password"]'}, None),
    ("provider: user name and application key",
     {"CORVALITH_LICENSE_USERPASS": '["demo-user", ""]',
      "CORVALITH_LICENSE_APPKEY": '["demo-user", "demo-app-key"]'}, None),
]
if sys.platform.startswith("win"):
    # Run by the Windows interpreter: the Windows branch is the module's own,
    # with the stand-in powershell.exe and tovrind.exe as Windows programs.
    SCENARIOS.append(("agent mode: the credential tool through PowerShell (Windows, %s)"
                      % sys.platform,
                      {"CORVALITH_AGENT": "app_key_gid", "TOVRIND_REPLY": json.dumps(REPLY)},
                      None))
else:
    SCENARIOS += [
        ("agent mode: the credential tool through the shell",
         {"CORVALITH_AGENT": "app_key_gid", "TOVRIND_REPLY": json.dumps(REPLY)}, None),
        ("agent mode: the credential tool through PowerShell (Windows branch)",
         {"CORVALITH_AGENT": "app_key_gid", "TOVRIND_REPLY": json.dumps(REPLY)}, "win32"),
    ]

CHILD = """
import os, sys
platform, module_file = sys.argv[1:3]
if platform:
    sys.platform = platform
from corvalith import gid
from corvalith.norva.utils.login import init_gid
loaded = sys.modules["corvalith.norva.utils.login"].__file__
if os.path.normcase(loaded) != os.path.normcase(module_file):
    sys.exit("  loaded %s instead of %s" % (loaded, module_file))
result = init_gid()
print("  init_gid() returned", repr(result))
for args, kwargs in gid.calls:
    shown = [repr(a) for a in args] + ["%s=%r" % item for item in kwargs.items()]
    print("  gid.init(%s)" % ", ".join(shown))
if not gid.calls:
    print("  gid.init was not called")
"""

FIND = """
import importlib.util
spec = importlib.util.find_spec("%s")
print(spec.origin if spec else "")
""" % MODULE


def main():
    tools = os.environ["LOGIN_TOOLS"]
    # Where the scenarios will find the module, asked (not loaded) the way
    # they ask: this file's folder holds the stand-in package without it.
    found = subprocess.run([sys.executable, "-c", FIND], capture_output=True, text=True)
    module_file = found.stdout.strip()
    if found.returncode != 0 or not module_file:
        print("%s is not on the module search path (PYTHONPATH)" % MODULE)
        return 1
    print("interpreter: %s (%s %s)" % (sys.executable, platform.python_implementation(),
                                       platform.python_version()))
    print("module: %s" % module_file)
    failed = 0
    for title, extra, sys_platform in SCENARIOS:
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("CORVALITH_", "TOVRIND_"))}
        env.update(extra)
        env["PATH"] = tools + os.pathsep + env.get("PATH", "")
        print(title)
        done = subprocess.run([sys.executable, "-c", CHILD, sys_platform or "", module_file], env=env)
        failed += done.returncode != 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
