"""Tests of the release's own tools: where two module files differ
(binary_diff), the checksums and manifest written by dist.py and checked by
check.py, and what check.py makes of the demo's output.

LOGIN_DIST names a built release folder; its modules are the files that the
difference cases alter (one ELF and one PE module).
"""
import contextlib
import glob
import io
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "cmake", "release"))

import binary_diff  # noqa: E402
import check  # noqa: E402
import dist  # noqa: E402

DIST = os.environ.get("LOGIN_DIST", "")


def altered(data, offset):
    data = bytearray(data)
    data[offset] ^= 0xFF
    return bytes(data)


def section_start(path, name):
    for section, start, _ in binary_diff.sections(path):
        if section == name:
            return start
    raise AssertionError("%s has no section %s" % (path, name))


class WhereBuildsDiffer(unittest.TestCase):
    # (module file pattern, change of the copy, text the description holds)
    CASES = [
        ("login.cpython-*.so", lambda p, d: altered(d, section_start(p, ".text") + 16),
         "section .text (byte 0x10 of it)"),
        ("login.cpython-*.so", lambda p, d: altered(d, section_start(p, ".gnu_debuglink") + 20),
         "section .gnu_debuglink"),
        ("login.cpython-*.so", lambda p, d: altered(d, 0x28), "the ELF header or program headers"),
        ("login.cpython-*.so", lambda p, d: d[:-8], "no section"),
        ("login.cp*-win_amd64.pyd", lambda p, d: altered(d, section_start(p, ".rdata") + 3),
         "section .rdata (byte 0x3 of it)"),
        # The PE header's time stamp.
        ("login.cp*-win_amd64.pyd", lambda p, d: altered(d, int.from_bytes(d[0x3C:0x40], "little") + 8),
         "the PE headers"),
        ("login.cp*-win_amd64.pyd.debug", lambda p, d: altered(d, section_start(p, ".debug_info") + 1),
         "section .debug_info"),
    ]

    def setUp(self):
        if not DIST:
            self.skipTest("LOGIN_DIST (a built release folder) is not set")
        self.work = tempfile.mkdtemp(prefix="login-release-test-")
        self.addCleanup(shutil.rmtree, self.work)

    def shipped(self, pattern):
        found = sorted(glob.glob(os.path.join(DIST, pattern)))
        self.assertTrue(found, "no %s in %s" % (pattern, DIST))
        return found[0]

    def test_first_difference_named(self):
        for pattern, change, expected in self.CASES:
            with self.subTest(pattern=pattern, expected=expected):
                path = self.shipped(pattern)
                with open(path, "rb") as f:
                    data = f.read()
                copy = os.path.join(self.work, os.path.basename(path))
                with open(copy, "wb") as f:
                    f.write(change(path, data))
                text = binary_diff.describe(path, copy)
                self.assertIsNotNone(text)
                self.assertIn(expected, text)

    def test_identical_files(self):
        for pattern in ("login.cpython-*.so", "login.cp*-win_amd64.pyd"):
            with self.subTest(pattern):
                path = self.shipped(pattern)
                copy = os.path.join(self.work, "copy")
                shutil.copyfile(path, copy)
                self.assertIsNone(binary_diff.describe(path, copy))

    def test_first_difference_offsets(self):
        for a, b, expected in [(b"abc", b"abc", None), (b"abc", b"abd", 2), (b"x" * 5000, b"x" * 4999 + b"y", 4999),
                               (b"abc", b"ab", 2), (b"", b"a", 0)]:
            with self.subTest(a=a[:8], b=b[:8]):
                self.assertEqual(binary_diff.first_difference(a, b), expected)


class ChecksumsAndManifest(unittest.TestCase):
    """A release of two made-up units written by dist.py, then spoilt."""

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="login-dist-test-")
        self.addCleanup(shutil.rmtree, self.work)
        standins = os.path.join(self.work, "standins", "corvalith")
        os.makedirs(os.path.join(standins, "norva", "utils"))
        units = []
        for name, module, content in [("linux-3.8", "login.cpython-38-x86_64-linux-gnu.so", b"\x7fELF one"),
                                      ("windows-3.8", "login.cp38-win_amd64.pyd", b"MZ two")]:
            tree = os.path.join(self.work, name)
            os.makedirs(tree)
            path = os.path.join(tree, module)
            for suffix, data in (("", content), (".debug", content * 3)):
                with open(path + suffix, "wb") as f:
                    f.write(data)
            with open(os.path.join(tree, "shipped.json"), "w") as f:
                f.write('{"platform": "p", "cpython": "3.8.1", "compiler": "GNU 12", "module": "%s", '
                        '"interpreter": "", "tools": "", "runs": 0}' % path)
            units += ["--unit", name, tree]
        self.dist = os.path.join(self.work, "dist")
        os.makedirs(self.dist)
        with open(os.path.join(self.dist, "login.stale.so"), "w") as f:
            f.write("from an earlier release")
        with contextlib.redirect_stdout(io.StringIO()):
            self.assertEqual(dist.main(["--dist", self.dist, "--stage", os.path.join(self.work, "stage"),
                                        "--standins", standins, "--commit", "abc123"] + units), 0)

    def spoil_byte(self):
        with open(os.path.join(self.dist, "login.cp38-win_amd64.pyd"), "r+b") as f:
            f.write(b"NZ")

    def grow_file(self):
        with open(os.path.join(self.dist, "login.cp38-win_amd64.pyd"), "ab") as f:
            f.write(b"!")

    def add_file(self):
        with open(os.path.join(self.dist, "login.cp39-win_amd64.pyd"), "wb") as f:
            f.write(b"MZ")

    def remove_file(self):
        os.remove(os.path.join(self.dist, "login.cpython-38-x86_64-linux-gnu.so.debug"))

    def drop_manifest_row(self):
        path = os.path.join(self.dist, "MANIFEST")
        with open(path) as f:
            lines = [line for line in f if not line.startswith("login.cp38-win_amd64.pyd ")]
        with open(path, "w") as f:
            f.writelines(lines)

    def test_written_release_checks_out(self):
        self.assertEqual(check.sums_problems(self.dist), [])
        self.assertEqual(sorted(os.listdir(self.dist)),
                         ["MANIFEST", "SHA256SUMS", "login.cp38-win_amd64.pyd",
                          "login.cp38-win_amd64.pyd.debug", "login.cpython-38-x86_64-linux-gnu.so",
                          "login.cpython-38-x86_64-linux-gnu.so.debug"])
        with open(os.path.join(self.dist, "MANIFEST")) as f:
            self.assertIn("commit abc123", f.read())
        staged = os.path.join(self.work, "stage", "windows-3.8", "corvalith", "norva", "utils",
                              "login.cp38-win_amd64.pyd")
        with open(staged, "rb") as f:
            self.assertEqual(f.read(), b"MZ two")

    def test_spoilt_release_found(self):
        pyd = "login.cp38-win_amd64.pyd"
        for spoil, expected in [
                (self.spoil_byte, [pyd + " does not match its checksum"]),
                (self.grow_file, [pyd + " does not match its checksum",
                                  "MANIFEST does not list %s with its size" % pyd]),
                (self.add_file, ["login.cp39-win_amd64.pyd is not in SHA256SUMS",
                                 "MANIFEST does not list login.cp39-win_amd64.pyd"]),
                (self.remove_file, ["login.cpython-38-x86_64-linux-gnu.so.debug is in SHA256SUMS but not in"]),
                (self.drop_manifest_row, ["MANIFEST does not list " + pyd])]:
            with self.subTest(spoil.__name__):
                self.setUp()
                spoil()
                problems = check.sums_problems(self.dist)
                self.assertEqual(len(problems), len(expected), problems)
                for problem, text in zip(problems, expected):
                    self.assertIn(text, problem)


class DemoOutput(unittest.TestCase):
    MODULE = "/s/corvalith/norva/utils/login.cpython-38-x86_64-linux-gnu.so"
    GOOD = ("interpreter: /py/bin/python3 (CPython 3.8.18)\n"
            "module: %s\n"
            "provider: user name and password\n"
            "  init_gid() returned None\n"
            "  gid.init('demo-user', 'demo-password')\n"
            "agent mode\n"
            "  init_gid() returned None\n"
            "  gid.init('agent-account', appkey='agent-app-key')\n" % MODULE)
    CASES = [
        ("as expected", GOOD, []),
        ("another module", GOOD.replace("/s/", "/elsewhere/"), ["did not use"]),
        ("another interpreter", GOOD.replace("3.8.18", "3.9.18"), ["did not run under CPython 3.8.18"]),
        ("a scenario that did not sign in",
         GOOD.replace("  gid.init('demo-user', 'demo-password')", "  gid.init was not called"),
         ["2 scenarios returned, 1 signed in"]),
        ("a scenario that failed", GOOD.replace("  init_gid() returned None\n  gid.init('agent", "  gid.init('agent"),
         ["1 scenarios returned, 2 signed in"]),
        ("nothing", "", ["did not use", "did not run under", "0 scenarios returned"]),
    ]

    def test_judged(self):
        for title, output, expected in self.CASES:
            with self.subTest(title):
                problems = check.demo_problems(output, self.MODULE, "3.8.18")
                self.assertEqual(len(problems), len(expected), problems)
                for problem, text in zip(problems, expected):
                    self.assertIn(text, problem)


if __name__ == "__main__":
    unittest.main()
