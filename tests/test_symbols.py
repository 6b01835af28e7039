"""The built module file exposes nothing but its entry point."""
import shutil
import subprocess
import unittest

from support import module_file


class ExportedSymbols(unittest.TestCase):
    @unittest.skipIf(shutil.which("nm") is None, "nm (binutils) is not installed")
    def test_only_entry_point_exported(self):
        path = module_file()
        self.assertIsNotNone(path, "built module not found in the staged package tree")
        listing = subprocess.run(["nm", "-D", "--defined-only", path], check=True,
                                 capture_output=True, text=True).stdout
        names = [line.split()[-1] for line in listing.splitlines() if line.strip()]
        self.assertEqual(names, ["PyInit_login"])


if __name__ == "__main__":
    unittest.main()
