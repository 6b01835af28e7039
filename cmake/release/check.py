"""Checks of the release (CTest runs them in the release tree).

    check.py demo STAGE [--tools DIR] [--wine RUN]
        runs standins/demo.py under the module's own interpreter against the
        module staged in STAGE (stage/<unit>); the Windows interpreter runs
        through the Wine launcher RUN. Passes when the demo imported exactly
        that module, under that CPython version, and every scenario signed in.
    check.py symbols STAGE
        runs tests/test_symbols.py against the staged module: under its own
        interpreter on Linux, on this host for a Windows module (PE tables).
    check.py sums DIST
        checks SHA256SUMS and MANIFEST against the files in DIST.
"""
import argparse
import glob
import hashlib
import json
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEMO = os.path.join(ROOT, "standins", "demo.py")
SYMBOLS = os.path.join(ROOT, "tests", "test_symbols.py")


def load_unit(stage):
    with open(os.path.join(stage, "unit.json"), encoding="utf-8") as f:
        return json.load(f)


def wine_path(path):
    """The path as the Windows interpreter under Wine sees it (drive Z: is /)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def demo_problems(output, module, cpython):
    """What is wrong with the demo's output: the module it names, the version
    of the interpreter, the scenarios' results."""
    problems = []
    named = re.search(r"^module: (.+)$", output, re.M)
    if named is None or named.group(1).strip().lower() != module.lower():
        problems.append("the demo did not use %s (it names %s)"
                        % (module, named.group(1) if named else "no module"))
    interpreter = re.search(r"^interpreter: .*\(CPython (\S+)\)$", output, re.M)
    if interpreter is None or interpreter.group(1) != cpython:
        problems.append("the demo did not run under CPython %s (%s)"
                        % (cpython, interpreter.group(0) if interpreter else "no interpreter named"))
    returned = output.count("init_gid() returned None")
    signed_in = len(re.findall(r"^  gid\.init\(", output, re.M))
    if returned == 0 or signed_in != returned or "gid.init was not called" in output:
        problems.append("%d scenarios returned, %d signed in" % (returned, signed_in))
    return problems


def run_demo(stage, tools, wine):
    unit = load_unit(stage)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("CORVALITH_", "TOVRIND_"))}
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    if wine:
        command = [wine, unit["interpreter"], "-X", "utf8", wine_path(DEMO)]
        env.update(PYTHONPATH=wine_path(stage), LOGIN_TOOLS=wine_path(unit["tools"]))
        module = wine_path(unit["module"])
    else:
        command = [unit["interpreter"], "-X", "utf8", DEMO]
        env.update(PYTHONPATH=stage, LOGIN_TOOLS=tools or unit["tools"])
        module = unit["module"]
    try:
        done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=600)
    finally:
        if wine:
            subprocess.run([wine, "--stop"], env=env)
    sys.stdout.write(done.stdout)
    sys.stderr.write(done.stderr)
    problems = demo_problems(done.stdout, module, unit["cpython"])
    if done.returncode != 0:
        problems.append("the demo exited with %d" % done.returncode)
    return problems


def run_symbols(stage):
    unit = load_unit(stage)
    env = dict(os.environ, LOGIN_PKG=stage, LOGIN_PYTHON_VERSION=unit["cpython"])
    python = sys.executable if unit["platform"].startswith("win") else unit["interpreter"]
    done = subprocess.run([python, SYMBOLS, "-v"], env=env)
    return ["tests/test_symbols.py failed for %s" % unit["module"]] if done.returncode else []


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def sums_problems(dist):
    """What SHA256SUMS and MANIFEST in dist get wrong about the files there."""
    problems = []
    listed = {}
    with open(os.path.join(dist, "SHA256SUMS"), encoding="utf-8") as f:
        for line in f:
            match = re.match(r"([0-9a-f]{64})  (\S+)$", line.rstrip("\n"))
            if match is None:
                problems.append("SHA256SUMS: not a checksum line: %r" % line)
                continue
            listed[match.group(2)] = match.group(1)
    present = sorted(os.path.basename(p) for p in glob.glob(os.path.join(dist, "login.*")))
    with open(os.path.join(dist, "MANIFEST"), encoding="utf-8") as f:
        manifest = f.read()
    for name in present:
        path = os.path.join(dist, name)
        if name not in listed:
            problems.append("%s is not in SHA256SUMS" % name)
        elif listed[name] != sha256(path):
            problems.append("%s does not match its checksum" % name)
        if not re.search(r"^%s\s.*\s%d\s" % (re.escape(name), os.path.getsize(path)), manifest, re.M):
            problems.append("MANIFEST does not list %s with its size" % name)
    problems += ["%s is in SHA256SUMS but not in %s" % (name, dist)
                 for name in sorted(set(listed) - set(present))]
    if not present:
        problems.append("no module in %s" % dist)
    return problems


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("check", choices=("demo", "symbols", "sums"))
    parser.add_argument("folder")
    parser.add_argument("--tools")
    parser.add_argument("--wine")
    args = parser.parse_args(argv)
    if args.check == "demo":
        problems = run_demo(args.folder, args.tools, args.wine)
    elif args.check == "symbols":
        problems = run_symbols(args.folder)
    else:
        problems = sums_problems(args.folder)
    for problem in problems:
        print("FAILED:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
