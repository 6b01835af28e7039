"""Instructions per call of init_gid, counted by valgrind's callgrind: the
native module of one or more staged trees side by side with the procedure in
Python (login_twin.py), on the same interpreter, with the benchmark's
stand-ins. A busy machine moves timings but not these counts, so two builds
(say, before and after a change) can be compared to within a fraction of a
per cent:

    python3 bench/instructions.py --python <CPython> --pkg <tree> [--pkg <tree> ...]

Each figure is (instructions of a process making N calls - those of the same
process making none) / N, less the same for a floor: a loop calling a
built-in that returns (or, for the failure, raises) at once. The ratio is the
module's figure over the Python procedure's. Needs valgrind.
"""
import argparse
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TWIN = os.path.join(HERE, "login_twin.py")
PATHS = ("provider", "failure", "agent")

# Run by the measured process: argv is pkg, side (floor, native, python), path, calls.
DRIVER = r"""
import itertools, json, operator, sys, types
pkg, side, path, calls = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
sys.path.insert(0, pkg)
import corvalith.norva.utils.login as login
if side == "python":
    with open(%(twin)r, encoding="utf-8") as f:
        twin = {"__name__": "login_twin"}
        exec(compile(f.read(), %(twin)r, "exec"), twin)
    procedure = types.FunctionType(twin["init_gid"].__code__, login.__dict__, "init_gid")
elif side == "floor":
    procedure = {}.popitem if path == "failure" else int
else:
    procedure = login.init_gid
reply_text = json.dumps({"Code": 0, "Result": [
    {"Key": "QELTOR_ACCOUNT", "Value": "account"},
    {"Key": "QELTOR_CUSTOM_APP_KEY", "Value": "app-key"}]})
answer = lambda value: lambda *args, **kwargs: value
login.__dict__.update({"os": types.SimpleNamespace(getenv={}.get),
                       "get_license_info": itertools.repeat(("u", "p")).__next__,
                       "gid": types.SimpleNamespace(init=operator.is_)})
if path == "agent":
    login.__dict__.update({
        "os": types.SimpleNamespace(getenv={"CORVALITH_AGENT": "".join(["app_key", "_gid"])}.get),
        "sys": types.SimpleNamespace(platform="linux"),
        "subprocess": types.SimpleNamespace(run=answer(types.SimpleNamespace(stdout=reply_text))),
        "json": types.SimpleNamespace(loads={reply_text: json.loads(reply_text)}.get),
        "gid": types.SimpleNamespace(init=answer(None))})
if path == "failure":
    del login.__dict__["get_license_info"]
    for _ in range(calls):
        try:
            procedure()
        except Exception:
            pass
else:
    for _ in range(calls):
        procedure()
""" % {"twin": TWIN}


def instructions(python, pkg, side, path, calls):
    """Instructions of one process, as callgrind counts them."""
    env = dict(os.environ, PYTHONHASHSEED="0")
    run = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                          python, "-c", DRIVER, pkg, side, path, str(calls)],
                         env=env, capture_output=True, text=True)
    found = re.search(r"Collected : (\d+)", run.stderr)
    if run.returncode or not found:
        sys.exit("%s %s %s failed:\n%s" % (side, path, pkg, run.stderr[-2000:]))
    return int(found.group(1))


def per_call(python, pkg, side, path, calls):
    return (instructions(python, pkg, side, path, calls) -
            instructions(python, pkg, side, path, 0)) / calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", required=True, help="the CPython the trees were built for")
    parser.add_argument("--pkg", action="append", required=True, help="a staged tree")
    parser.add_argument("--calls", type=int, default=20000)
    args = parser.parse_args()
    first = args.pkg[0]
    print("instructions per call, less the floor (ratio: native / Python)")
    print("%-9s %10s  %s" % ("path", "Python", "  ".join("native %d" % (i + 1)
                                                          for i in range(len(args.pkg)))))
    for path in PATHS:
        floor = per_call(args.python, first, "floor", path, args.calls)
        python = per_call(args.python, first, "python", path, args.calls) - floor
        cells = []
        for pkg in args.pkg:
            native = per_call(args.python, pkg, "native", path, args.calls) - floor
            cells.append("%8.0f (%.3f)" % (native, native / python))
        print("%-9s %10.0f  %s" % (path, python, "  ".join(cells)))
    for i, pkg in enumerate(args.pkg):
        print("native %d: %s" % (i + 1, pkg))


if __name__ == "__main__":
    main()
