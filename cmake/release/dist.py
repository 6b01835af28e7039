"""Gathers the shipped modules of the release's trees into one folder.

    dist.py --dist DIR --stage DIR --standins DIR --commit TEXT --unit NAME TREE ...

Each TREE is a tree built with LOGIN_SHIP; its shipped.json names the module,
its platform and CPython version. Into --dist go each module and its debug
file (<module>.debug), SHA256SUMS (sha256sum -c reads it) and MANIFEST (file,
platform, CPython version, size, what it is, and the commit). Under --stage,
stage/NAME holds the stand-in package with the module in it and unit.json, for
the release's tests. Files of an earlier release in --dist are removed first.
"""
import argparse
import glob
import hashlib
import json
import os
import shutil
import sys

SUMS = "SHA256SUMS"
MANIFEST = "MANIFEST"


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 16), b""):
            digest.update(block)
    return digest.hexdigest()


def read_unit(tree):
    with open(os.path.join(tree, "shipped.json"), encoding="utf-8") as f:
        unit = json.load(f)
    for path in (unit["module"], unit["module"] + ".debug"):
        if not os.path.isfile(path):
            raise SystemExit("dist.py: %s was not built" % path)
    return unit


def clear(dist):
    os.makedirs(dist, exist_ok=True)
    for path in glob.glob(os.path.join(dist, "login.*")) + [
            os.path.join(dist, SUMS), os.path.join(dist, MANIFEST)]:
        if os.path.isfile(path):
            os.remove(path)


def stage(unit, name, stage_root, standins):
    """stage_root/name: the stand-in package with the shipped module in it."""
    folder = os.path.join(stage_root, name)
    shutil.rmtree(folder, ignore_errors=True)
    shutil.copytree(standins, os.path.join(folder, "corvalith"),
                    ignore=shutil.ignore_patterns("__pycache__"))
    module = os.path.join(folder, "corvalith", "norva", "utils", os.path.basename(unit["module"]))
    shutil.copyfile(unit["module"], module)
    staged = dict(unit, module=module, shipped=unit["module"])
    with open(os.path.join(folder, "unit.json"), "w", encoding="utf-8") as f:
        json.dump(staged, f, indent=2)


def manifest_lines(rows, commit):
    header = ("file", "platform", "CPython", "compiler", "bytes", "contents")
    widths = [max(len(str(row[i])) for row in rows + [header]) for i in range(len(header))]
    lines = ["corvalith.norva.utils.login, built from commit %s" % commit,
             "SHA256SUMS holds the checksum of every file below.", ""]
    for row in [header] + rows:
        lines.append("  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip())
    return lines


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dist", required=True)
    parser.add_argument("--stage", required=True)
    parser.add_argument("--standins", required=True)
    parser.add_argument("--commit", required=True)
    parser.add_argument("--unit", nargs=2, action="append", metavar=("NAME", "TREE"), required=True)
    args = parser.parse_args(argv)

    clear(args.dist)
    rows = []
    for name, tree in args.unit:
        unit = read_unit(tree)
        module = os.path.basename(unit["module"])
        for source, what in ((unit["module"], "module"),
                             (unit["module"] + ".debug", "debug information of " + module)):
            target = os.path.join(args.dist, os.path.basename(source))
            if os.path.exists(target):
                raise SystemExit("dist.py: two units ship %s" % os.path.basename(source))
            shutil.copyfile(source, target)
            rows.append((os.path.basename(source), unit["platform"], unit["cpython"],
                         unit["compiler"], os.path.getsize(target), what))
        stage(unit, name, args.stage, args.standins)

    rows.sort()
    with open(os.path.join(args.dist, SUMS), "w", encoding="utf-8", newline="\n") as f:
        for row in rows:
            f.write("%s  %s\n" % (sha256(os.path.join(args.dist, row[0])), row[0]))
    with open(os.path.join(args.dist, MANIFEST), "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(manifest_lines(rows, args.commit)) + "\n")
    with open(os.path.join(args.dist, MANIFEST), encoding="utf-8") as f:
        sys.stdout.write(f.read())
    print("written to", args.dist)
    return 0


if __name__ == "__main__":
    sys.exit(main())
