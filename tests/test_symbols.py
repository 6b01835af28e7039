"""The built module file exposes nothing but its entry point.

On Linux the ELF dynamic symbol table is read with nm. The Windows module's PE
export and import tables are read on the build host with the cross
toolchain's objdump (CTest runs this file there as pe.tables): it exports only
PyInit_login and imports python38.dll and Windows system DLLs, none of the
cross compiler's own runtime DLLs.
"""
import os
import re
import shutil
import subprocess
import sys
import unittest

from support import module_file

OBJDUMP = os.environ.get("LOGIN_OBJDUMP") or shutil.which("x86_64-w64-mingw32-objdump")
# DLLs every Windows x64 installation has.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ntdll.dll", "advapi32.dll", "user32.dll"}


def pe_tables(path):
    """(exported names, imported DLL names) from objdump -p."""
    listing = subprocess.run([OBJDUMP, "-p", path], check=True, capture_output=True,
                             text=True).stdout
    exports, imports, in_names = [], [], False
    for line in listing.splitlines():
        if line.startswith("[Ordinal/Name Pointer] Table"):
            in_names = True
            continue
        match = re.match(r"\s+\[\s*\d+\] (\S+)$", line) if in_names else None
        if match:
            exports.append(match.group(1))
        elif in_names and line.strip() == "":
            in_names = False
        match = re.match(r"\s+DLL Name: (\S+)$", line)
        if match:
            imports.append(match.group(1))
    return exports, imports


class ExportedSymbols(unittest.TestCase):
    def setUp(self):
        self.path = module_file()
        self.assertIsNotNone(self.path, "built module not found in the staged package tree")

    def test_only_entry_point_exported(self):
        if self.path.endswith(".pyd"):
            self.check_pe()
        else:
            self.check_elf()

    def check_elf(self):
        if shutil.which("nm") is None:
            self.skipTest("nm (binutils) is not installed")
        listing = subprocess.run(["nm", "-D", "--defined-only", self.path], check=True,
                                 capture_output=True, text=True).stdout
        names = [line.split()[-1] for line in listing.splitlines() if line.strip()]
        self.assertEqual(names, ["PyInit_login"])

    def check_pe(self):
        if sys.platform.startswith("win"):
            self.skipTest("Windows: the PE tables are read on the build host by "
                          "x86_64-w64-mingw32-objdump (CTest test pe.tables)")
        if OBJDUMP is None:
            self.skipTest("x86_64-w64-mingw32-objdump is not installed")
        exports, imports = pe_tables(self.path)
        self.assertEqual(exports, ["PyInit_login"])
        self.assertIn("python38.dll", imports)
        self.assertEqual([dll for dll in imports if dll.lower() not in SYSTEM_DLLS
                          and dll != "python38.dll"], [], "DLLs beyond python38 and the system's")


if __name__ == "__main__":
    unittest.main()
