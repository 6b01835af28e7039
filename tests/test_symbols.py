"""The built module file exposes nothing but its entry point, under the name
the interpreter it is built for looks for, and carries the loader's and the
compiler's protections.

On Linux the ELF dynamic symbol table is read with nm. The Windows module's PE
export and import tables are read on the build host with the cross
toolchain's objdump (CTest runs this file there as pe.tables): it exports only
PyInit_login and imports its interpreter's DLL (python38.dll for CPython 3.8,
python313.dll for 3.13) and Windows system DLLs, none of the cross compiler's
own runtime DLLs.

Protections: on Linux (readelf) the GOT and other relocated data become
read-only after loading (GNU_RELRO) with every symbol bound at load time
(BIND_NOW), the stack is not executable (GNU_STACK without E) and functions
with buffers are guarded by the stack protector (__stack_chk_fail imported);
on Windows (objdump -p) the DLL characteristics allow a random base address
(DYNAMIC_BASE) anywhere in 64 bits (HIGH_ENTROPY_VA) and mark data not
executable (NX_COMPAT).

LOGIN_PYTHON_VERSION (3.X or 3.X.Y) is the version the module is built for;
LOGIN_PYTHON_DLL the DLL the Windows module must import (by default the one
of that version, else the one its file name's tag names).
"""
import importlib.machinery
import os
import re
import shutil
import subprocess
import sys
import unittest

from support import RUNNING_VERSION, module_file

OBJDUMP = os.environ.get("LOGIN_OBJDUMP") or shutil.which("x86_64-w64-mingw32-objdump")
# DLLs every Windows x64 installation has.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ntdll.dll", "advapi32.dll", "user32.dll"}


# (what, program and arguments, test of the listing): the ELF protections.
ELF_PROTECTIONS = [
    ("GNU_RELRO segment (relocation read-only)", ["readelf", "-lW"],
     lambda text: re.search(r"^\s*GNU_RELRO\s", text, re.M) is not None),
    ("BIND_NOW (all symbols bound at load, so the whole RELRO part is read-only)", ["readelf", "-dW"],
     lambda text: re.search(r"\(BIND_NOW\)|\(FLAGS\)\s.*\bBIND_NOW\b|\(FLAGS_1\)\s.*\bNOW\b",
                            text) is not None),
    ("GNU_STACK segment without execute permission", ["readelf", "-lW"],
     lambda text: re.search(r"^\s*GNU_STACK(\s+0x[0-9a-f]+){5}\s+RW\s", text, re.M) is not None),
    ("stack protector (imports __stack_chk_fail)", ["nm", "-D", "--undefined-only"],
     lambda text: re.search(r"\b__stack_chk_fail\b", text) is not None),
]

# (name, bit) of the PE optional header's DllCharacteristics that must be set.
PE_DLL_CHARACTERISTICS = [
    ("HIGH_ENTROPY_VA", 0x0020),
    ("DYNAMIC_BASE", 0x0040),
    ("NX_COMPAT", 0x0100),
]


def built_for():
    """(major, minor) of LOGIN_PYTHON_VERSION, or None when it is not set."""
    text = os.environ.get("LOGIN_PYTHON_VERSION", "")
    if not text:
        return None
    match = re.match(r"(\d+)\.(\d+)(\.\d+)?$", text)
    if match is None:
        raise AssertionError("LOGIN_PYTHON_VERSION is not a version: %r" % text)
    return int(match.group(1)), int(match.group(2))


def windows_tag(path):
    """The digits of a Windows module's tag: '313' of login.cp313-win_amd64.pyd."""
    match = re.match(r"login\.cp(\d+)-win_amd64\.pyd$", os.path.basename(path))
    return match.group(1) if match else None


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


def dll_characteristics(listing):
    """The DllCharacteristics field of objdump -p's listing of a PE file."""
    match = re.search(r"^DllCharacteristics\s+([0-9a-fA-F]+)$", listing, re.M)
    if match is None:
        raise AssertionError("objdump -p printed no DllCharacteristics")
    return int(match.group(1), 16)


class ExportedSymbols(unittest.TestCase):
    def setUp(self):
        self.path = module_file()
        self.assertIsNotNone(self.path, "built module not found in the staged package tree")

    def test_named_for_its_interpreter(self):
        name = os.path.basename(self.path)
        version = built_for()
        if name.endswith(".pyd"):
            # The one suffix the Windows CPython of that version loads.
            self.assertIsNotNone(windows_tag(self.path), "not a Windows x64 module name: " + name)
            if version is not None:
                self.assertEqual(name, "login.cp%d%d-win_amd64.pyd" % version)
            if sys.platform.startswith("win"):
                self.assertIn(name[len("login"):], importlib.machinery.EXTENSION_SUFFIXES)
        else:
            if version is not None:
                self.assertEqual(RUNNING_VERSION, version,
                                 "the tests run under another interpreter than the one built for")
            # This file runs under the interpreter the module is built for:
            # the first suffix is the one naming its version and platform.
            self.assertEqual(name, "login" + importlib.machinery.EXTENSION_SUFFIXES[0])

    def on_platform(self, elf, pe):
        """Runs the ELF or the PE check of the module file; the PE file is read
        on the build host."""
        if not self.path.endswith(".pyd"):
            elf()
        elif sys.platform.startswith("win"):
            self.skipTest("Windows: the PE file is read on the build host by "
                          "x86_64-w64-mingw32-objdump (CTest test pe.tables)")
        elif OBJDUMP is None:
            self.skipTest("x86_64-w64-mingw32-objdump is not installed")
        else:
            pe()

    def test_only_entry_point_exported(self):
        self.on_platform(self.check_elf, self.check_pe)

    def test_protections(self):
        self.on_platform(self.check_elf_protections, self.check_pe_protections)

    def check_elf(self):
        if shutil.which("nm") is None:
            self.skipTest("nm (binutils) is not installed")
        listing = subprocess.run(["nm", "-D", "--defined-only", self.path], check=True,
                                 capture_output=True, text=True).stdout
        names = [line.split()[-1] for line in listing.splitlines() if line.strip()]
        self.assertEqual(names, ["PyInit_login"])

    def check_pe(self):
        python_dll = os.environ.get("LOGIN_PYTHON_DLL")
        if not python_dll:
            version = built_for()
            tag = "%d%d" % version if version else windows_tag(self.path)
            self.assertIsNotNone(tag, "no version to name the interpreter's DLL by")
            python_dll = "python%s.dll" % tag
        exports, imports = pe_tables(self.path)
        self.assertEqual(exports, ["PyInit_login"])
        self.assertIn(python_dll, imports)
        self.assertEqual([dll for dll in imports if dll.lower() not in SYSTEM_DLLS
                          and dll != python_dll], [], "DLLs beyond %s and the system's" % python_dll)

    def check_elf_protections(self):
        if shutil.which("readelf") is None or shutil.which("nm") is None:
            self.skipTest("readelf and nm (binutils) are not installed")
        for what, command, present in ELF_PROTECTIONS:
            with self.subTest(what):
                listing = subprocess.run(command + [self.path], check=True, capture_output=True,
                                         text=True).stdout
                self.assertTrue(present(listing), "%s missing in %s:\n%s"
                                % (what, self.path, listing))

    def check_pe_protections(self):
        listing = subprocess.run([OBJDUMP, "-p", self.path], check=True, capture_output=True,
                                 text=True).stdout
        flags = dll_characteristics(listing)
        for name, bit in PE_DLL_CHARACTERISTICS:
            with self.subTest(name):
                self.assertTrue(flags & bit, "%s (0x%04x) not set in DllCharacteristics 0x%04x of %s"
                                % (name, bit, flags, self.path))


if __name__ == "__main__":
    unittest.main()
