"""Where two builds of a module file first differ: the byte offset, and the
section (or header) of the file that holds it.

ELF files are read with readelf -SW, PE files (.pyd) with the cross
toolchain's objdump -h (LOGIN_OBJDUMP, else x86_64-w64-mingw32-objdump).
"""
import os
import re
import shutil
import subprocess

ELF_SECTION = re.compile(r"^\s*\[\s*(\d+)\]\s+(\S+)\s+(\S+)\s+[0-9a-f]+\s+([0-9a-f]+)\s+([0-9a-f]+)\s")
PE_SECTION = re.compile(r"^\s*\d+\s+(\S+)\s+([0-9a-f]+)\s+[0-9a-f]+\s+[0-9a-f]+\s+([0-9a-f]+)\s+2\*\*\d+\s*$")


def file_kind(path):
    with open(path, "rb") as f:
        magic = f.read(4)
    if magic == b"\x7fELF":
        return "ELF"
    if magic[:2] == b"MZ":
        return "PE"
    return None


def pe_objdump():
    return os.environ.get("LOGIN_OBJDUMP") or shutil.which("x86_64-w64-mingw32-objdump")


def parse_elf_sections(listing):
    """[(name, offset, size)] of the sections with contents in the file."""
    found = []
    for line in listing.splitlines():
        match = ELF_SECTION.match(line)
        if match and match.group(3) not in ("NULL", "NOBITS") and int(match.group(5), 16):
            found.append((match.group(2), int(match.group(4), 16), int(match.group(5), 16)))
    return found


def parse_pe_sections(listing):
    """[(name, offset, size)] of the sections with contents in the file: objdump
    prints a section's flags on the line after it."""
    found = []
    lines = listing.splitlines()
    for index, line in enumerate(lines):
        match = PE_SECTION.match(line)
        flags = lines[index + 1] if index + 1 < len(lines) else ""
        if match and "CONTENTS" in flags and int(match.group(2), 16):
            found.append((match.group(1), int(match.group(3), 16), int(match.group(2), 16)))
    return found


def sections(path):
    kind = file_kind(path)
    if kind == "ELF":
        listing = subprocess.run(["readelf", "-SW", path], check=True, capture_output=True,
                                 text=True).stdout
        return parse_elf_sections(listing)
    if kind == "PE":
        objdump = pe_objdump()
        if objdump is None:
            raise RuntimeError("x86_64-w64-mingw32-objdump is needed to read " + path)
        listing = subprocess.run([objdump, "-h", path], check=True, capture_output=True,
                                 text=True).stdout
        return parse_pe_sections(listing)
    return []


def first_difference(a, b):
    """Offset of the first byte in which the contents a and b differ (the
    shorter one's length when one is a prefix of the other), or None."""
    if a == b:
        return None
    block = 4096
    for start in range(0, min(len(a), len(b)), block):
        if a[start:start + block] != b[start:start + block]:
            for offset in range(start, min(start + block, len(a), len(b))):
                if a[offset] != b[offset]:
                    return offset
    return min(len(a), len(b))


def region(kind, table, offset):
    """The part of a file that holds offset, given its sections."""
    for name, start, size in table:
        if start <= offset < start + size:
            return "section %s (byte 0x%x of it)" % (name, offset - start)
    first = min((start for _, start, _ in table), default=None)
    if first is None or offset < first:
        return {"ELF": "the ELF header or program headers",
                "PE": "the PE headers"}.get(kind, "the file header")
    return "no section (section header table, padding or trailing data)"


def describe(path_a, path_b):
    """None when the files are identical, else where they first differ."""
    with open(path_a, "rb") as f:
        a = f.read()
    with open(path_b, "rb") as f:
        b = f.read()
    offset = first_difference(a, b)
    if offset is None:
        return None
    text = "first difference at offset 0x%x (%d and %d bytes long): " % (offset, len(a), len(b))
    return text + region(file_kind(path_a), sections(path_a), offset)
