"""Import cost of corvalith.norva.utils.login: the native module against the
same module written in Python (login_twin.py), each imported over the same
stand-in package.

    python3 import_time.py --pkg <staged tree> --twin <login_twin.py> [--runs N] [--python P]

with any CPython 3.8 to 3.13; the imports run under --python (by default the
interpreter running this script), which must be the CPython the module was
built for.

Two copies of the staged tree are made in a temporary directory: one as it is,
with the built module, and one in which login_twin.py takes the module's
place under the same name. Each import happens in a fresh interpreter under
-X importtime (isolated mode: no environment variables, no user site), the
two sides taking turns. The figures are the medians of the line for
corvalith.norva.utils.login: its cumulative time (the import with everything
it imports: the parent packages, the stand-ins, subprocess, json) and its self
time (the module's own share: finding and loading it and running its body).

Bytecode: a warm-up import on each side writes the .pyc of the stand-ins and
of the Python module, and the timed imports read them, as an installed package
does. The Python module is then also timed without its own .pyc (compiled at
every import), for reference.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

MODULE = "corvalith.norva.utils.login"
UTILS = os.path.join("corvalith", "norva", "utils")


def stage(pkg, twin, work):
    """The two trees: (native, python)."""
    native = os.path.join(work, "native")
    python = os.path.join(work, "python")
    skip_cache = shutil.ignore_patterns("__pycache__")
    shutil.copytree(pkg, native, ignore=skip_cache)

    def not_the_module(directory, names):
        ignored = set(skip_cache(directory, names))
        if os.path.normpath(directory).endswith(UTILS):
            ignored.update(n for n in names if n.startswith("login."))
        return ignored

    shutil.copytree(pkg, python, ignore=not_the_module)
    shutil.copyfile(twin, os.path.join(python, UTILS, "login.py"))
    return native, python


def import_once(interpreter, tree, flags=()):
    """(self, cumulative) in microseconds for the module, and the file imported."""
    code = "import sys; sys.path.insert(0, %r); import %s as m; print(m.__file__)" % (tree, MODULE)
    done = subprocess.run([interpreter, "-I", *flags, "-X", "importtime", "-c", code],
                          cwd=tree, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit("importing %s from %s failed:\n%s" % (MODULE, tree, done.stderr))
    for line in done.stderr.splitlines():
        if line.startswith("import time:") and line.split("|")[-1].strip() == MODULE:
            own, cumulative = (int(field.split(":")[-1]) for field in line.split("|")[:2])
            return own, cumulative, done.stdout.strip()
    sys.exit("no -X importtime line for %s:\n%s" % (MODULE, done.stderr))


def cache_tag(interpreter):
    """The interpreter's tag in the names of its .pyc files (cpython-38, ...)."""
    done = subprocess.run([interpreter, "-I", "-c", "import sys; print(sys.implementation.cache_tag)"],
                          capture_output=True, text=True)
    if done.returncode != 0 or not done.stdout.strip():
        sys.exit("%s did not tell its bytecode cache tag:\n%s" % (interpreter, done.stderr))
    return done.stdout.strip()


def compare(interpreter, native, python, runs, python_flags=()):
    """Alternating imports of both sides: two lists of (self, cumulative)."""
    times = {native: [], python: []}
    for i in range(runs):
        order = (native, python) if i % 2 == 0 else (python, native)
        for tree in order:
            own, cumulative, _ = import_once(interpreter, tree, python_flags if tree == python else ())
            times[tree].append((own, cumulative))
    return times[native], times[python]


def figures(pairs):
    own = statistics.median(p[0] for p in pairs)
    cumulative = statistics.median(p[1] for p in pairs)
    return own, cumulative


def ratio_line(label, native, python, index, target=None):
    ratio = statistics.median(n[index] for n in native) / statistics.median(p[index] for p in python)
    each = [n[index] / p[index] for n, p in zip(native, python)]
    verdict = "<= %.2f %s" % (target, "met" if ratio <= target else "NOT met") if target else "-"
    return "%-45s %7.3f %17s   %s" % (label, ratio, "[%.3f-%.3f]" % (min(each), max(each)), verdict)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pkg", required=True, help="the staged package tree with the built module")
    parser.add_argument("--twin", required=True, help="the module written in Python")
    parser.add_argument("--runs", type=int, default=31, help="imports per side")
    parser.add_argument("--python", default=sys.executable, help="the interpreter to import with")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="login-import-") as work:
        native, python = stage(args.pkg, args.twin, work)
        # Warm-up: writes every .pyc and brings the files into the page cache.
        files = set()
        for _ in range(2):
            for tree in (native, python):
                files.add(import_once(args.python, tree)[2])
        twin_pyc = os.path.join(python, UTILS, "__pycache__", "login.%s.pyc" % cache_tag(args.python))
        kinds = sorted(os.path.splitext(f)[1] for f in files)
        if len(files) != 2 or kinds != [".py", ".so"] and kinds != [".pyd", ".py"]:
            sys.exit("the imports did not load the two modules: %s" % sorted(files))
        warm = os.path.exists(twin_pyc)

        native_warm, python_warm = compare(args.python, native, python, args.runs)
        # Without the Python module's .pyc: -B writes none, so each import compiles it.
        if warm:
            os.remove(twin_pyc)
        native_cold, python_cold = compare(args.python, native, python, args.runs, ("-B",))

    n_own, n_cum = figures(native_warm)
    p_own, p_cum = figures(python_warm)
    out = []
    out.append("")
    out.append("import of %s: -X importtime in %d fresh interpreters per side, taking turns;"
               % (MODULE, args.runs))
    out.append("medians in microseconds; .pyc of the stand-ins and of the Python module: %s"
               % ("warm (written by a warm-up import, read by every timed import)" if warm
                  else "NOT found after the warm-up: every import compiled the Python module"))
    out.append("%-45s %9s %9s" % ("", "native", "Python"))
    out.append("%-45s %9d %9d" % ("import, cumulative", n_cum, p_cum))
    out.append("%-45s %9d %9d" % ("  own share (self time)", n_own, p_own))
    out.append("%-45s %9d %9d" % ("  dependencies (cumulative - self)", n_cum - n_own, p_cum - p_own))
    out.append("%-45s %9.2f %9.2f" % ("  own share of the import", n_own / n_cum, p_own / p_cum))
    out.append(ratio_line("import: native / Python, cumulative", native_warm, python_warm, 1, 1.00))
    out.append(ratio_line("import: native / Python, own share", native_warm, python_warm, 0))
    c_own, c_cum = figures(python_cold)
    out.append("without the Python module's .pyc (compiled at every import): Python %d cumulative, %d self"
               % (c_cum, c_own))
    out.append(ratio_line("import: native / uncached Python, cumulative", native_cold, python_cold, 1))
    print("\n".join(out))


if __name__ == "__main__":
    main()
