"""Builds the release twice, from two copies of the source tree at two
different paths, one after the other, and compares their SHA256SUMS.

    reproducible.py --source DIR [--commit TEXT] [--keep]

The copies hold the files git tracks or would track (or, outside a checkout,
every file but build and dist folders), each under a temporary folder of its
own; each is configured with the release preset and built. When the checksums
differ, the file and where it first differs (its section) are named, and the
two folders are kept for a look. The Windows installations come from the
environment (WINDOWS_PYTHON<XY>_ROOT), as the release tree passes them.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import binary_diff


def source_files(source):
    """Paths, relative to source, of the tree's files."""
    listed = subprocess.run(["git", "-C", source, "ls-files", "-z", "--cached", "--others",
                             "--exclude-standard"], capture_output=True)
    if listed.returncode == 0:
        return [name for name in listed.stdout.decode().split("\0")
                if name and os.path.isfile(os.path.join(source, name))]
    found = []
    for folder, dirs, files in os.walk(source):
        dirs[:] = [d for d in dirs if not (d.startswith("build") or d in (".git", "dist"))]
        found += [os.path.relpath(os.path.join(folder, f), source) for f in files]
    return found


def copy_tree(source, target):
    for name in source_files(source):
        os.makedirs(os.path.dirname(os.path.join(target, name)), exist_ok=True)
        shutil.copy2(os.path.join(source, name), os.path.join(target, name))


def build(tree, commit):
    started = time.time()
    for command in (["cmake", "--preset", "release", "-DLOGIN_RELEASE_COMMIT=" + commit],
                    ["cmake", "--build", "--preset", "release"]):
        print("=== in %s: %s" % (tree, " ".join(command)), flush=True)
        subprocess.run(command, cwd=tree, check=True)
    print("=== built in %.0f s" % (time.time() - started), flush=True)
    return os.path.join(tree, "dist")


def read_sums(dist):
    sums = {}
    with open(os.path.join(dist, "SHA256SUMS"), encoding="utf-8") as f:
        for line in f:
            digest, name = line.split()
            sums[name] = digest
    return sums


def differences(dist_a, dist_b):
    """One line for each file whose checksum differs or that one side lacks."""
    sums_a, sums_b = read_sums(dist_a), read_sums(dist_b)
    lines = []
    for name in sorted(set(sums_a) | set(sums_b)):
        if name not in sums_a or name not in sums_b:
            lines.append("%s: only in %s" % (name, dist_a if name in sums_a else dist_b))
        elif sums_a[name] != sums_b[name]:
            lines.append("%s: %s" % (name, binary_diff.describe(os.path.join(dist_a, name),
                                                                os.path.join(dist_b, name))))
    return lines


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", required=True)
    parser.add_argument("--commit", default="")
    parser.add_argument("--keep", action="store_true", help="keep the two folders")
    args = parser.parse_args(argv)

    work = tempfile.mkdtemp(prefix="login-reproducible-")
    # Different folders, names and depths.
    trees = [os.path.join(work, "one", "login"), os.path.join(work, "two", "b", "login-copy")]
    dists = []
    for tree in trees:
        copy_tree(args.source, tree)
        dists.append(build(tree, args.commit))
    with open(os.path.join(dists[0], "SHA256SUMS"), encoding="utf-8") as f:
        print("SHA256SUMS of the first build:\n" + f.read())
    problems = differences(*dists)
    if not read_sums(dists[0]):
        problems.append("the release holds no file")
    if problems:
        print("The two builds differ (kept in %s):" % work)
        for line in problems:
            print("  " + line)
        return 1
    print("The two builds are identical: %d files" % len(read_sums(dists[0])))
    if not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
