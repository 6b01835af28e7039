"""The sources keep each concern in its one place, and the module's failure
sites the lines of the module source they implement.

runtime/compat* is the only code that tests the interpreter's version, uses
an interpreter name with a leading underscore (a private function, field or
macro) or reads the interpreter's structures beyond its documented interface;
the module, the rest of the runtime, the benchmark and the stand-ins go
through it. The C++ tests ask tests/cpp/embed.h about versions and structures,
the Python tests tests/support.py (the child code they run included; this file
only quotes the rules' examples). Comments do not count: they may name what a
compatibility function stands for.

Of the interpreter's structures, code anywhere may use PyObject, PyVarObject
and PyTypeObject, and PyCodeObject and PyFrameObject as the handles the
documented functions take; the type's slots (tp_call, tp_getattro, ...),
tp_flags, tp_name, tp_base and tp_basicsize; the fields of PyMethodDef; and
the runtime's own function record (runtime/function.h). Any other object
structure (PyCFunctionObject, PyASCIIObject, PyDictObject, PyLongObject,
PyTracebackObject, ...) is named only in the allowed files, and the fields of
the thread state, frames, code objects and traceback entries, and the type's
computed data (tp_mro, tp_dict, tp_version_tag, the offsets), are read only
there.
"""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from support import ROOT

C_SUFFIXES = (".h", ".cpp")
PY_SUFFIXES = (".py",)

# Every file of these trees is read: the module, the runtime, the tests (the
# C++ ones and their helpers, such as tests/nomemory_hooks.cpp), the benchmark
# and the stand-ins.
C_TREES = ("runtime", "corvalith", "tests", "bench", "standins")
PY_TREES = ("tests", "bench", "standins")

# The interpreter's object structures other than the public handles.
_OBJECT_STRUCTURE = r"\bPy(?!(?:Var|Type|Code|Frame)?Object\b)[A-Za-z0-9]*Object\b"
# Fields of the thread state, frames, code objects, traceback entries and
# dictionaries, and the data the interpreter computes into a type.
_STRUCTURE_FIELD = (r"(?:->|\.)\s*(?:(?:f|co|tb|curexc|exc|ma|recursion|c_recursion|py_recursion)_\w+"
                    r"|(?:overflowed|cframe|interp|current_frame"
                    r"|tp_(?:mro|bases|dict|subclasses|cache|weaklist|version_tag|dictoffset"
                    r"|vectorcall_offset|weaklistoffset))\b)")
_STRUCTURE_PLACES = ("runtime/compat*", "tests/cpp/embed.h")

# (rule, pattern, the files' suffixes, the trees it applies to, the files
# allowed to match)
RULES = [
    ("version test", re.compile(r"\bPY_VERSION_HEX\b"), C_SUFFIXES,
     C_TREES, ("runtime/compat*", "tests/cpp/embed.h")),
    ("private interpreter name", re.compile(r"(?<![A-Za-z0-9_])_P[yY][A-Za-z0-9_]*"), C_SUFFIXES,
     C_TREES, ("runtime/compat*",)),
    ("interpreter structure", re.compile(_OBJECT_STRUCTURE), C_SUFFIXES, C_TREES, _STRUCTURE_PLACES),
    ("interpreter structure field", re.compile(_STRUCTURE_FIELD), C_SUFFIXES, C_TREES, _STRUCTURE_PLACES),
    ("Python version test", re.compile(r"\bversion_info\b|\bsys\.version\b|\bhexversion\b"),
     PY_SUFFIXES, PY_TREES, ("tests/support.py", "tests/test_sources.py")),
]

# Comments, raw string literals (the embedded Python of the benchmark and the
# tests), string and character literals, found from left to right so that one
# never starts inside another.
_C_NOT_CODE = re.compile(r'//[^\n]*|/\*.*?\*/|R"([^()\\\s]{0,16})\(.*?\)\1"'
                         r'|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])\'', re.S)
_PY_COMMENT = re.compile(r"#[^\n]*")


def code_of(text, suffix=".cpp"):
    """The text without comments (and, in C++, literals), lines kept in place."""
    if suffix in PY_SUFFIXES:
        return _PY_COMMENT.sub("", text)
    return _C_NOT_CODE.sub(lambda m: '""' + "\n" * m.group(0).count("\n"), text)


def allowed(path, patterns):
    for pattern in patterns:
        if pattern.endswith("*") and path.startswith(pattern[:-1]) or path == pattern:
            return True
    return False


def findings(rule, text, suffix=".cpp"):
    """Lines (1-based) of ``text`` that break ``rule``, with the name found."""
    code = code_of(text, suffix)
    return [(code.count("\n", 0, m.start()) + 1, m.group(0)) for m in rule.finditer(code)]


def sources(trees, suffixes):
    for tree in trees:
        for folder, _, files in os.walk(os.path.join(ROOT, tree)):
            for name in sorted(files):
                if name.endswith(suffixes):
                    path = os.path.join(folder, name)
                    yield os.path.relpath(path, ROOT).replace(os.sep, "/"), path


class Rules(unittest.TestCase):
    def test_the_rules_see_what_they_forbid(self):
        cases = [
            ("version test", "#if PY_VERSION_HEX >= 0x030E0000\n", [(1, "PY_VERSION_HEX")]),
            ("version test", "int a;\n  return PY_VERSION_HEX < 0x03090000;", [(2, "PY_VERSION_HEX")]),
            ("version test", "// from 3.12 PY_VERSION_HEX\n/* PY_VERSION_HEX\n */ x", []),
            ("version test", 'puts("PY_VERSION_HEX");', []),
            ("version test", "MY_PY_VERSION_HEXAGON", []),
            ("version test", 'run(R"PY(\nPY_VERSION_HEX = "//"\n)PY");\nPY_VERSION_HEX', [(4, "PY_VERSION_HEX")]),
            ("version test", "c = '\"'; d = PY_VERSION_HEX; e = \"/*\";", [(1, "PY_VERSION_HEX")]),
            ("private interpreter name", "p = _PyType_Lookup(t, n);", [(1, "_PyType_Lookup")]),
            ("private interpreter name", "f(x)->\n_Py_TPFLAGS_HAVE_VECTORCALL", [(2, "_Py_TPFLAGS_HAVE_VECTORCALL")]),
            ("private interpreter name", "#if _PY_SOMETHING", [(1, "_PY_SOMETHING")]),
            ("private interpreter name", "PyType_Lookup(my_Py_thing)", []),
            ("private interpreter name", "// _PyDict_GetItem_KnownHash", []),
            ("interpreter structure", "auto* f = reinterpret_cast<PyCFunctionObject*>(o);",
             [(1, "PyCFunctionObject")]),
            ("interpreter structure", "x = ((PyASCIIObject *)s)->hash;\nPyDictObject* d;",
             [(1, "PyASCIIObject"), (2, "PyDictObject")]),
            ("interpreter structure", "PyObject* o; PyVarObject v; PyTypeObject* t; PyCodeObject* c;", []),
            ("interpreter structure", "PyFrameObject* f = PyFrame_New(t, c, g, l);", []),
            ("interpreter structure", "PyUnicode_FromObject(o); MyPyDictObject x;", []),
            ("interpreter structure field", "int d = tstate->recursion_depth;", [(1, "->recursion_depth")]),
            ("interpreter structure field", "PyObject* m = type->tp_mro;\nt.tp_dict", [(1, "->tp_mro"), (2, ".tp_dict")]),
            ("interpreter structure field", "e = entry -> tb_next; x = f->f_lineno;",
             [(1, "-> tb_next"), (1, "->f_lineno")]),
            ("interpreter structure field", "tstate->curexc_type; d->ma_version_tag; ts->interp",
             [(1, "->curexc_type"), (1, "->ma_version_tag"), (1, "->interp")]),
            ("interpreter structure field", "type->tp_call; t->tp_getattro; f->m_ml->ml_flags;", []),
            ("interpreter structure field", "t->tp_flags; f->func_name; x->interpreter; d->f", []),
            ("interpreter structure field", "// type->tp_mro\nrun(\"e.tb_next\");", []),
            ("Python version test", "if sys.version_info >= (3, 14):", [(1, "version_info")]),
            ("Python version test", "x = 1\nV = sys.version[:4]", [(2, "sys.version")]),
            ("Python version test", "# sys.version_info >= (3, 12)\nok = 1", []),
            ("Python version test", "LOGIN_PYTHON_VERSION = 1", []),
        ]
        rules = {name: (pattern, suffixes) for name, pattern, suffixes, _, _ in RULES}
        for name, text, expected in cases:
            pattern, suffixes = rules[name]
            with self.subTest(rule=name, text=text):
                self.assertEqual(findings(pattern, text, suffixes[0]), expected)

    def test_each_concern_in_its_place(self):
        checked = 0
        for name, pattern, suffixes, trees, exempt in RULES:
            for rel, path in sources(trees, suffixes):
                if allowed(rel, exempt):
                    continue
                with open(path, encoding="utf-8") as f:
                    found = findings(pattern, f.read(), suffixes[0])
                checked += 1
                with self.subTest(rule=name, file=rel):
                    self.assertEqual(found, [], "%s outside its place in %s: %r" % (name, rel, found))
        # The trees were found and read: the module, the runtime and the tests.
        self.assertGreater(checked, 2 * 20 + 10)


@unittest.skipIf(os.name == "nt", "the build's CMake runs on the build machine, where this is checked")
class BenchTargets(unittest.TestCase):
    """The benchmark's targets come from the version list: a version's own list
    where it has one, else the common one, and none above the ceilings every
    version is held to."""

    # Provider path, repeated failure, agent mode's in-process work.
    NAMES = ("LOGIN_BENCH_PROVIDER_TARGET", "LOGIN_BENCH_FAILURE_TARGET", "LOGIN_BENCH_AGENT_TARGET")
    CEILINGS = (0.40, 0.75, 0.85)
    SCRIPT = """
include("%s/cmake/PythonVersions.cmake")
foreach(minor ${LOGIN_PYTHON_SUPPORTED_VERSIONS})
  foreach(version ${minor} ${minor}.17)
    login_bench_targets(targets ${version})
    message("${version}|${LOGIN_BENCH_TARGETS_${minor}}|${LOGIN_BENCH_TARGETS}|${targets}")
  endforeach()
endforeach()
"""

    def test_each_version_gets_its_targets(self):
        cmake = os.environ.get("LOGIN_CMAKE") or shutil.which("cmake") or "cmake"
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "targets.cmake")
            with open(path, "w", encoding="utf-8") as f:
                f.write(self.SCRIPT % ROOT.replace(os.sep, "/"))
            done = subprocess.run([cmake, "-P", path], capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stderr)
        rows = [line.split("|") for line in done.stderr.splitlines() if line.strip()]
        self.assertGreater(len(rows), 2)
        own_lists = 0
        for version, own, common, definitions in rows:
            with self.subTest(version=version):
                targets = (own or common).split(";")
                own_lists += bool(own)
                self.assertEqual(len(targets), len(self.NAMES))
                self.assertEqual(definitions.split(";"), ["%s=%s" % p for p in zip(self.NAMES, targets)])
                for target, ceiling in zip(targets, self.CEILINGS):
                    self.assertLessEqual(float(target), ceiling)
        # Some version has tighter targets of its own, in both spellings.
        self.assertGreaterEqual(own_lists, 2)


MODULE_SOURCE = os.path.join(ROOT, "corvalith", "norva", "utils", "login.cpp")
TWIN = os.path.join(ROOT, "bench", "login_twin.py")
_STATEMENT = re.compile(r"^\s*// \[(\d+)\] (.*?)\s*$")
_SITE = re.compile(r"\bFAIL\((\d+)\)")


def line_contract(module_lines, twin_lines):
    """What breaks the line contract: statement quotes that differ from the
    twin's line, and failure sites whose line is not their statement's."""
    problems = []
    statement = None  # (its line, where it is quoted)
    for number, text in enumerate(module_lines, 1):
        quote = _STATEMENT.match(text)
        if quote:
            line, quoted = int(quote.group(1)), quote.group(2)
            actual = twin_lines[line - 1].strip() if 0 < line <= len(twin_lines) else None
            if quoted.endswith("..."):
                agrees = actual is not None and actual.startswith(quoted[:-3])
            else:
                agrees = actual == quoted
            if not agrees:
                problems.append((number, "quotes %r as line %d, which is %r" % (quoted, line, actual)))
            statement = (line, number)
            continue
        if text.lstrip().startswith("#define"):
            continue
        for site in _SITE.finditer(text):
            line = int(site.group(1))
            if statement is None or statement[0] != line:
                problems.append((number, "FAIL(%d) under the statement of line %s"
                                 % (line, statement and statement[0])))
    return problems


class LineContract(unittest.TestCase):
    """Each failure site reports the line of the statement it implements, in
    the module source written out in bench/login_twin.py."""

    TWIN = ["import os", "", "def f():", "    x = os.getenv(\"A\")", "    if x:"]

    def test_the_check_sees_each_disagreement(self):
        cases = [
            (["// [4] x = os.getenv(\"A\")", "if (!x) FAIL(4);"], []),
            (["// [4] x = os.getenv(...", "FAIL(4);", "// [5] if x:", "FAIL(5);"], []),
            (["// [4] x = os.getenv(\"B\")", "FAIL(4);"], [1]),        # another statement quoted
            (["// [5] x = os.getenv(\"A\")", "FAIL(5);"], [1]),        # quoted under the wrong line
            (["// [4] x = os.getenv(\"A\")", "FAIL(5);"], [2]),        # a site reporting another line
            (["FAIL(4);"], [1]),                                        # a site without its statement
            (["// [9] x = 1", "FAIL(9);"], [1]),                        # past the end of the file
            (["#define FAIL(n) return n", "// [1] import os", "FAIL(1);"], []),
        ]
        for module_lines, expected in cases:
            with self.subTest(module=module_lines):
                self.assertEqual([n for n, _ in line_contract(module_lines, self.TWIN)], expected)

    def test_the_module_agrees_with_its_source(self):
        with open(MODULE_SOURCE, encoding="utf-8") as f:
            module_lines = f.read().splitlines()
        with open(TWIN, encoding="utf-8") as f:
            twin_lines = f.read().splitlines()
        self.assertEqual(line_contract(module_lines, twin_lines), [])
        # The contract is named where the lines are used, and every site is covered.
        self.assertIn("bench/login_twin.py", "\n".join(module_lines[:20]))
        sites = sum(len(_SITE.findall(t)) for t in module_lines if "#define" not in t)
        self.assertGreater(sites, 60)


if __name__ == "__main__":
    unittest.main()
