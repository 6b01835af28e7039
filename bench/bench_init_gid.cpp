// Cost of init_gid() against the same procedure written in Python and against
// a hand-written floor, measured side by side in one process:
//
// - the provider path: native, Python, and the floor (below);
// - a failure repeated at one location (get_license_info missing, NameError,
//   caught by the caller): native and Python;
// - agent mode through the shell, its in-process work only: native and Python;
// - the import of the module against the same module written in Python
//   (import_time.py, in fresh interpreters).
//
//   cmake --workflow --preset bench
//   <build>/bench [--pkg=<staged tree>] [--import-runs=N] [benchmark flags]
//
// The module is imported from the staged package tree (<build>/pkg unless
// --pkg or LOGIN_PKG names another). The Python procedure is init_gid of
// login_twin.py, the module written in Python, run over the native module's
// own globals, so that both see the same stand-ins. Cheap built-in callables
// stand in for the collaborators, so that what is measured is the procedure:
//
//   provider path   os.getenv is a bound dict.get of an empty dict,
//                   get_license_info the __next__ of itertools.repeat(("u", "p")),
//                   gid.init is operator.is_;
//   agent mode      os.getenv is a bound dict.get that answers "app_key_gid",
//                   sys.platform is "linux" (the shell branch),
//                   subprocess.run and gid.init are "answer" functions defined
//                   here (any arguments, one fixed result: a CompletedProcess
//                   holding the tool's reply, and None),
//                   json.loads is a bound dict.get mapping that reply to its
//                   decoded dict (decoded once by the real json.loads).
//
// Before timing, the floor, the module and the Python procedure are run
// through the same cases of the provider path, and the module and the Python
// procedure through agent mode with recording stand-ins, so that every
// measured call is known to do what init_gid does.
#include "runtime/compat.h"  // Python.h and frameobject.h, and the names below 3.9 lacks

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "runtime/ref.h"

#if defined(_WIN32)
#define popen _popen
#define pclose _pclose
#endif

namespace {

using rt::Ref;

[[noreturn]] void die(const char* what) {
    if (PyErr_Occurred()) PyErr_Print();
    std::fprintf(stderr, "bench: %s\n", what);
    std::exit(2);
}

// ---------------------------------------------------------------------------
// Stand-ins written in C
// ---------------------------------------------------------------------------

// answer(*args, **kwargs): returns the object it was made with. One C call, so
// that subprocess.run and gid.init in agent mode cost next to nothing while
// accepting the keyword arguments init_gid passes. It takes keywords as names
// (METH_FASTCALL | METH_KEYWORDS): the Python procedure passes them that way,
// the module passes a dict, which CPython turns into names. A real run() or
// init() taking **kwargs needs a dict, and then the conversion falls the other
// way; neither side gets a callee that favours it more than a real one would.
PyObject* answer_call(PyObject* self, PyObject* const* /*args*/, Py_ssize_t /*nargs*/,
                      PyObject* /*kwnames*/) {
    Py_INCREF(self);
    return self;
}

PyMethodDef answer_def = {"answer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(answer_call)),
                          METH_FASTCALL | METH_KEYWORDS, "Returns the object it was made with."};

// make_answer(obj): an answer function returning obj.
PyObject* make_answer(PyObject* /*self*/, PyObject* result) {
    return PyCFunction_NewEx(&answer_def, result, nullptr);
}

PyMethodDef make_answer_def = {"make_answer", make_answer, METH_O, nullptr};

// ---------------------------------------------------------------------------
// The floor
// ---------------------------------------------------------------------------
//
// The provider path of init_gid() written by hand, the straightforward way,
// with the public CPython API and nothing remembered between calls: every
// global is searched in the module dictionary and then in builtins, every
// attribute read again, every call made through vectorcall, and a failure
// gets a traceback entry built afresh. Its observable behaviour on that path
// is the module's (checked before timing): the same callees called with the
// same arguments in the same order, the same exceptions with the same
// messages, the same traceback entry. Agent mode is not part of it.

constexpr char kFunctionName[] = "corvalith.norva.utils.login.init_gid";
constexpr char kTracebackFile[] = "corvalith\\\\norva\\\\utils\\\\login.py";

struct Floor {
    PyObject* globals = nullptr;   // the module's dictionary (the module lives on)
    PyObject* builtins = nullptr;  // the builtins module's dictionary
    PyObject* os = nullptr;        // interned names and constants, made once
    PyObject* getenv = nullptr;
    PyObject* CORVALITH_AGENT = nullptr;
    PyObject* app_key_gid = nullptr;
    PyObject* get_license_info = nullptr;
    PyObject* CORVALITH_APPKEY_LICENSE = nullptr;
    PyObject* gid = nullptr;
    PyObject* init = nullptr;
    PyObject* appkey_kwnames = nullptr;  // ("appkey",)
} F;

// A module global: the module dictionary, then builtins. New reference, or
// null with NameError or another exception.
PyObject* floor_global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(F.globals, name);
    if (!value && !PyErr_Occurred()) {
        value = PyDict_GetItemWithError(F.builtins, name);
        if (!value && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    Py_XINCREF(value);
    return value;
}

int floor_too_many() {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(2));
    return -1;
}

int floor_need_more(Py_ssize_t count) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count, count == 1 ? "" : "s");
    return -1;
}

// first, second = values. 0, or -1 with an exception.
int floor_unpack2(PyObject* values, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(values) || PyList_CheckExact(values)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(values);
        if (size != 2) return size > 2 ? floor_too_many() : floor_need_more(size);
        first = Ref::borrow(PySequence_Fast_GET_ITEM(values, 0));
        second = Ref::borrow(PySequence_Fast_GET_ITEM(values, 1));
        return 0;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(values));
    if (!iterator) return -1;
    Ref a = Ref::steal(PyIter_Next(iterator.get()));
    if (!a) return PyErr_Occurred() ? -1 : floor_need_more(0);
    Ref b = Ref::steal(PyIter_Next(iterator.get()));
    if (!b) return PyErr_Occurred() ? -1 : floor_need_more(1);
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) return floor_too_many();
    if (PyErr_Occurred()) return -1;
    first = std::move(a);
    second = std::move(b);
    return 0;
}

// user, second = get_license_info(*args). 0, or -1 with an exception.
int floor_ask_provider(PyObject* const* args, Py_ssize_t nargs, Ref& user, Ref& second) {
    Ref provider = Ref::steal(floor_global(F.get_license_info));
    if (!provider) return -1;
    Ref answer = Ref::steal(PyObject_Vectorcall(provider.get(), args, nargs, nullptr));
    if (!answer) return -1;
    return floor_unpack2(answer.get(), user, second);
}

// gid.init(*args) with the keyword names `kwnames` (or none). 0, or -1.
int floor_sign_in(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref gid = Ref::steal(floor_global(F.gid));
    if (!gid) return -1;
    Ref init = Ref::steal(PyObject_GetAttr(gid.get(), F.init));
    if (!init) return -1;
    Ref done = Ref::steal(PyObject_Vectorcall(init.get(), args, nargs, kwnames));
    return done ? 0 : -1;
}

// a and b, as truth tests that stop at the first false one: 1, 0, or -1.
int floor_both_true(PyObject* a, PyObject* b) {
    int truth = PyObject_IsTrue(a);
    if (truth <= 0) return truth;
    return PyObject_IsTrue(b);
}

// The procedure; `line` is the source line of the step being done.
PyObject* floor_procedure(int& line) {
    line = 10;  // agent = os.getenv("CORVALITH_AGENT")
    Ref os = Ref::steal(floor_global(F.os));
    if (!os) return nullptr;
    Ref getenv = Ref::steal(PyObject_GetAttr(os.get(), F.getenv));
    if (!getenv) return nullptr;
    Ref agent = Ref::steal(PyObject_Vectorcall(getenv.get(), &F.CORVALITH_AGENT, 1, nullptr));
    if (!agent) return nullptr;

    line = 11;  // if agent == "app_key_gid":
    int agent_mode = PyObject_RichCompareBool(agent.get(), F.app_key_gid, Py_EQ);
    if (agent_mode < 0) return nullptr;
    if (agent_mode) {
        PyErr_SetString(PyExc_NotImplementedError, "the floor covers the provider path only");
        return nullptr;
    }

    line = 41;  // user, pw = get_license_info()
    Ref user, pw;
    if (floor_ask_provider(nullptr, 0, user, pw) < 0) return nullptr;
    line = 42;  // if user and pw:
    int usable = floor_both_true(user.get(), pw.get());
    if (usable < 0) return nullptr;
    if (usable) {
        line = 43;  // gid.init(user, pw)
        PyObject* const args[] = {user.get(), pw.get()};
        if (floor_sign_in(args, 2, nullptr) < 0) return nullptr;
        Py_RETURN_NONE;
    }

    line = 45;  // user, app_key = get_license_info("CORVALITH_APPKEY_LICENSE")
    Ref app_key;
    if (floor_ask_provider(&F.CORVALITH_APPKEY_LICENSE, 1, user, app_key) < 0) return nullptr;
    line = 46;  // if user and app_key:
    usable = floor_both_true(user.get(), app_key.get());
    if (usable < 0) return nullptr;
    if (usable) {
        line = 47;  // gid.init(user, appkey=app_key)
        PyObject* const args[] = {user.get(), app_key.get()};
        if (floor_sign_in(args, 1, F.appkey_kwnames) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

// Puts an entry for init_gid at `line` at the head of the pending exception's
// traceback, as the module does, from a new code object and frame.
void floor_add_traceback(int line) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kTracebackFile, kFunctionName, line)));
    Ref frame;
    if (code)
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), F.globals, nullptr)));
    if (!frame) {  // the new error replaces the one that was pending
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return;
    }
    PyErr_Restore(type, value, traceback);
    // The frame has not started: until 3.10 it reports the line set here, from
    // 3.11 its code object's first line, which is `line` too.
    rt::compat::set_frame_line(reinterpret_cast<PyFrameObject*>(frame.get()), line);
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

PyObject* floor_init_gid(PyObject* /*self*/, PyObject* /*unused*/) {
    int line = 0;
    PyObject* result = floor_procedure(line);
    if (!result) floor_add_traceback(line);
    return result;
}

PyMethodDef floor_def = {"init_gid", floor_init_gid, METH_NOARGS,
                         "The provider path of init_gid(), written by hand."};

PyObject* intern(const char* text) {
    PyObject* name = PyUnicode_InternFromString(text);
    if (!name) die(text);
    return name;
}

void floor_attach(PyObject* module_dict) {
    F.globals = module_dict;
    PyObject* builtins = PyImport_AddModule("builtins");
    if (!builtins) die("builtins");
    F.builtins = PyModule_GetDict(builtins);
    F.os = intern("os");
    F.getenv = intern("getenv");
    F.CORVALITH_AGENT = intern("CORVALITH_AGENT");
    F.app_key_gid = intern("app_key_gid");
    F.get_license_info = intern("get_license_info");
    F.CORVALITH_APPKEY_LICENSE = intern("CORVALITH_APPKEY_LICENSE");
    F.gid = intern("gid");
    F.init = intern("init");
    F.appkey_kwnames = Py_BuildValue("(s)", "appkey");
    if (!F.appkey_kwnames) die("appkey");
}

// ---------------------------------------------------------------------------
// Set-up and the checks made before timing
// ---------------------------------------------------------------------------

const char kSetup[] = R"PY(
import itertools, json, operator, subprocess, types
import corvalith.norva.utils.login as login

native_init_gid = login.init_gid
with open(TWIN, encoding='utf-8') as f:
    _twin = {'__name__': 'login_twin'}
    exec(compile(f.read(), TWIN, 'exec'), _twin)
py_init_gid = types.FunctionType(_twin['init_gid'].__code__, login.__dict__, 'init_gid')

PROVIDER = {
    'os': types.SimpleNamespace(getenv={}.get),
    'get_license_info': itertools.repeat(('u', 'p')).__next__,
    'gid': types.SimpleNamespace(init=operator.is_),
}

REPLY_TEXT = json.dumps({'Code': 0, 'Result': [
    {'Key': 'QELTOR_ACCOUNT', 'Value': 'account'},
    {'Key': 'QELTOR_CUSTOM_APP_KEY', 'Value': 'app-key'},
]})
REPLY = json.loads(REPLY_TEXT)
# Built at run time, so not interned: os.getenv returns a new str each time too.
AGENT_VALUE = ''.join(['app_key', '_gid'])
AGENT = {
    'os': types.SimpleNamespace(getenv={'CORVALITH_AGENT': AGENT_VALUE}.get),
    'sys': types.SimpleNamespace(platform='linux'),
    'subprocess': types.SimpleNamespace(
        run=make_answer(subprocess.CompletedProcess('tovrind', 0, REPLY_TEXT, ''))),
    'json': types.SimpleNamespace(loads={REPLY_TEXT: REPLY}.get),
    'gid': types.SimpleNamespace(init=make_answer(None)),
}
login.__dict__.update(PROVIDER)
)PY";

// Runs the provider path of the floor, the module and the Python procedure
// through the same cases, and agent mode of the module and the Python
// procedure with recording stand-ins. Returns a list of what disagreed.
const char kCheck[] = R"PY(
import builtins, types

def check(native, python, floor):
    g = login.__dict__
    provider_calls, init_calls = [], []
    DELETE = object()

    def record_init(*args, **kwargs):
        init_calls.append((args, kwargs))

    def provider(*answers):
        def get_license_info(*args):
            provider_calls.append(args)
            answer = answers[len(provider_calls) - 1]
            if isinstance(answer, BaseException):
                raise answer
            return answer() if isinstance(answer, types.FunctionType) else answer
        return get_license_info

    def failing(*args, **kwargs):
        raise LookupError('refused')

    class Unequal:
        def __eq__(self, other):
            raise ArithmeticError('no comparison')

    class NoTruth:
        def __bool__(self):
            raise ArithmeticError('no truth')

    base = {'os': types.SimpleNamespace(getenv={}.get),
            'gid': types.SimpleNamespace(init=record_init)}
    cases = {
        'user and password': {'get_license_info': provider(('u', 'p'))},
        'a list': {'get_license_info': provider(['u', 'p'])},
        'no password, then a key': {'get_license_info': provider(('u', ''), ('u', 'k'))},
        'nothing true': {'get_license_info': provider((None, None), ('', None))},
        'a generator': {'get_license_info': provider(lambda: (x for x in 'up'))},
        'three items': {'get_license_info': provider(('u', 'p', 'x'))},
        'one item': {'get_license_info': provider(['u'])},
        'an empty iterator': {'get_license_info': provider(lambda: iter(()))},
        'a three-item iterator': {'get_license_info': provider(lambda: iter('upx'))},
        'one of three items on the key call': {'get_license_info': provider((0, 0), ('u', 'k', 'x'))},
        'not iterable': {'get_license_info': provider(5)},
        'the provider raising': {'get_license_info': provider(KeyError('k'))},
        'a user without truth': {'get_license_info': provider((NoTruth(), 'p'))},
        'gid.init raising': {'get_license_info': provider(('u', 'p')),
                             'gid': types.SimpleNamespace(init=failing)},
        'an agent value without comparison': {
            'os': types.SimpleNamespace(getenv=lambda name: Unequal()),
            'get_license_info': provider(('u', 'p'))},
        'os missing': {'os': DELETE},
        'gid missing': {'gid': DELETE, 'get_license_info': provider(('u', 'p'))},
        'get_license_info missing': {'get_license_info': DELETE},
        'get_license_info in builtins only': {'get_license_info': DELETE,
                                              'builtins': provider(('u', 'p'))},
    }

    def outcome(procedure):
        del provider_calls[:], init_calls[:]
        try:
            result = procedure()
        except Exception as e:
            entry = e.__traceback__.tb_next
            where = (entry.tb_frame.f_code.co_name, entry.tb_lineno) if entry else None
            return ('raised', type(e), str(e), where, provider_calls[:], init_calls[:])
        return ('returned', result, provider_calls[:], init_calls[:])

    def run_case(bindings):
        saved = {name: g.get(name, DELETE) for name in ('os', 'gid', 'get_license_info')}
        bindings = dict(base, **bindings)
        in_builtins = bindings.pop('builtins', None)
        try:
            for name, value in bindings.items():
                if value is DELETE:
                    g.pop(name, None)
                else:
                    g[name] = value
            if in_builtins:
                builtins.get_license_info = in_builtins
            return outcome(native), outcome(python), outcome(floor)
        finally:
            if in_builtins:
                del builtins.get_license_info
            for name, value in saved.items():
                if value is DELETE:
                    g.pop(name, None)
                else:
                    g[name] = value

    def comparable(python_outcome):
        # The Python procedure's own unpacking messages and function name differ.
        if python_outcome[0] == 'raised':
            kind, type_, message, where, *calls = python_outcome
            return (kind, type_, where and where[1], *calls)
        return python_outcome

    problems = []
    for name, bindings in cases.items():
        n, p, f = run_case(bindings)
        if f != n:
            problems.append('floor: %s: %r, the module: %r' % (name, f, n))
        if comparable(p) != comparable(n):
            problems.append('Python: %s: %r, the module: %r' % (name, p, n))
        if n[0] == 'raised' and n[3] != ('corvalith.norva.utils.login.init_gid', n[3][1]):
            problems.append('the module: %s: traceback entry %r' % (name, n[3]))

    # Agent mode: what the cheap stand-ins receive.
    run_calls, loads_calls = [], []
    def record_run(*args, **kwargs):
        run_calls.append((args, list(kwargs.items())))
        return AGENT['subprocess'].run(*args, **kwargs)
    def record_loads(*args, **kwargs):
        loads_calls.append((args, kwargs))
        return AGENT['json'].loads(*args, **kwargs)
    expected = ([(('tovrind',), [('shell', True), ('capture_output', True), ('text', True),
                                 ('encoding', 'utf-8')])],
                [((REPLY_TEXT,), {})],
                [(('account',), {'appkey': 'app-key'})])
    names = ('os', 'sys', 'subprocess', 'json', 'gid', 'get_license_info')
    saved = {name: g[name] for name in names}
    try:
        g.update(AGENT)
        g['subprocess'] = types.SimpleNamespace(run=record_run)
        g['json'] = types.SimpleNamespace(loads=record_loads)
        g['gid'] = types.SimpleNamespace(init=record_init)
        del g['get_license_info']
        for label, procedure in (('the module', native), ('Python', python)):
            del run_calls[:], loads_calls[:], init_calls[:]
            result = procedure()
            seen = (run_calls[:], loads_calls[:], init_calls[:])
            if result is not None or seen != expected:
                problems.append('%s in agent mode: %r, calls %r' % (label, result, seen))
    finally:
        g.update(saved)
    return len(cases), problems
)PY";

// The objects every benchmark uses.
struct Subjects {
    PyObject* native = nullptr;  // login.init_gid
    PyObject* python = nullptr;  // init_gid of login_twin.py over the module's globals
    PyObject* floor = nullptr;   // the floor, as a built-in function
    PyObject* module_dict = nullptr;
    PyObject* provider_bindings = nullptr;  // globals of the provider path
    PyObject* agent_bindings = nullptr;     // globals of agent mode
    PyObject* provider_name = nullptr;      // "get_license_info"
} S;

PyObject* take(PyObject* ns, const char* name) {
    PyObject* obj = PyDict_GetItemString(ns, name);
    if (!obj) die(name);
    Py_INCREF(obj);
    return obj;
}

// Binds the module globals of one set of stand-ins; every measurement binds
// the set it needs before it starts.
void bind(PyObject* bindings) {
    if (PyDict_Update(S.module_dict, bindings) < 0) die("binding the stand-ins");
}

// Removes get_license_info from the module while it lives: the failure
// benchmarks raise NameError with it, and agent mode, which never asks the
// provider, would fail if it fell through to the provider.
class MissingProvider {
public:
    MissingProvider() {
        saved_ = Ref::borrow(PyDict_GetItemWithError(S.module_dict, S.provider_name));
        if (!saved_ || PyDict_DelItem(S.module_dict, S.provider_name) < 0) die("removing get_license_info");
    }
    ~MissingProvider() {
        if (PyDict_SetItem(S.module_dict, S.provider_name, saved_.get()) < 0) die("restoring get_license_info");
    }
    MissingProvider(const MissingProvider&) = delete;
    MissingProvider& operator=(const MissingProvider&) = delete;

private:
    Ref saved_;
};

// ---------------------------------------------------------------------------
// Benchmarks
// ---------------------------------------------------------------------------

void call_procedure(benchmark::State& state, PyObject* procedure) {
    for (auto _ : state) {
        PyObject* result = PyObject_Vectorcall(procedure, nullptr, 0, nullptr);
        if (!result) die("the procedure failed");
        Py_DECREF(result);
    }
}

void fail_procedure(benchmark::State& state, PyObject* procedure) {
    for (auto _ : state) {
        PyObject* result = PyObject_Vectorcall(procedure, nullptr, 0, nullptr);
        if (result || !PyErr_ExceptionMatches(PyExc_NameError)) die("the failure did not happen");
        PyErr_Clear();
    }
}

void provider_path(benchmark::State& state, PyObject* procedure) {
    bind(S.provider_bindings);
    call_procedure(state, procedure);
}

void repeated_failure(benchmark::State& state, PyObject* procedure) {
    bind(S.provider_bindings);
    MissingProvider missing;
    fail_procedure(state, procedure);
}

void agent_path(benchmark::State& state, PyObject* procedure) {
    bind(S.agent_bindings);
    MissingProvider missing;
    call_procedure(state, procedure);
}

void BM_ProviderNative(benchmark::State& state) { provider_path(state, S.native); }
void BM_ProviderPython(benchmark::State& state) { provider_path(state, S.python); }
void BM_ProviderFloor(benchmark::State& state) { provider_path(state, S.floor); }
void BM_FailureNative(benchmark::State& state) { repeated_failure(state, S.native); }
void BM_FailurePython(benchmark::State& state) { repeated_failure(state, S.python); }
void BM_AgentNative(benchmark::State& state) { agent_path(state, S.native); }
void BM_AgentPython(benchmark::State& state) { agent_path(state, S.python); }

BENCHMARK(BM_ProviderNative)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_ProviderPython)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_ProviderFloor)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_FailureNative)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_FailurePython)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_AgentNative)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_AgentPython)->Unit(benchmark::kNanosecond);

// Keeps the CPU time per iteration of every repetition of each benchmark (the
// machine is shared, so wall time also counts other processes). With
// repetitions, only the median and the coefficient of variation are shown.
class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        std::vector<Run> shown;
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median" || run.aggregate_name == "cv") shown.push_back(run);
                continue;
            }
            if (run.repetitions <= 1) shown.push_back(run);
            if (run.error_occurred) continue;
            std::vector<double>& times = times_[run.run_name.function_name];
            size_t index = run.repetition_index > 0 ? static_cast<size_t>(run.repetition_index) : 0;
            if (times.size() <= index) times.resize(index + 1, 0.0);
            times[index] = run.GetAdjustedCPUTime();
        }
        if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
    }
    // The CPU time of each repetition, in repetition order; empty if none.
    const std::vector<double>& times(const std::string& name) const {
        static const std::vector<double> none;
        auto found = times_.find(name);
        return found == times_.end() ? none : found->second;
    }

private:
    std::map<std::string, std::vector<double>> times_;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The targets of the ratios native / Python for the version built against,
// given by the build from the version list (cmake/PythonVersions.cmake).
#if !defined(LOGIN_BENCH_PROVIDER_TARGET) || !defined(LOGIN_BENCH_FAILURE_TARGET) || \
    !defined(LOGIN_BENCH_AGENT_TARGET)
#error "the build defines the benchmark's targets (login_bench_targets in cmake/PythonVersions.cmake)"
#endif
constexpr double kProviderTarget = LOGIN_BENCH_PROVIDER_TARGET;
constexpr double kFailureTarget = LOGIN_BENCH_FAILURE_TARGET;
constexpr double kAgentTarget = LOGIN_BENCH_AGENT_TARGET;

// ---------------------------------------------------------------------------
// What repeated calls leave behind
// ---------------------------------------------------------------------------

// Code objects in the traceback entries of `count` repetitions of the failure
// that the first repetition's entries did not already have: 0 when every
// repetition reuses them.
Py_ssize_t distinct_failure_code_objects(PyObject* procedure, int count) {
    bind(S.provider_bindings);
    MissingProvider missing;
    std::vector<Ref> seen;  // strong references, so no address is reused
    size_t first = 0;
    for (int i = 0; i < count; ++i) {
        if (PyObject_Vectorcall(procedure, nullptr, 0, nullptr)) die("the failure did not happen");
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value), owned_tb = Ref::steal(traceback);
        // The entries, their frames and the frames' code through attributes:
        // the structures' fields are the interpreter's.
        for (Ref entry = Ref::borrow(traceback); entry && entry.get() != Py_None;) {
            Ref frame = Ref::steal(PyObject_GetAttrString(entry.get(), "tb_frame"));
            Ref code = frame ? Ref::steal(PyObject_GetAttrString(frame.get(), "f_code")) : Ref();
            if (!code) die("a traceback entry's code object");
            entry = Ref::steal(PyObject_GetAttrString(entry.get(), "tb_next"));
            if (!entry) die("a traceback entry's next entry");
            bool known = std::any_of(seen.begin(), seen.end(), [&](const Ref& c) { return c.get() == code.get(); });
            if (!known) seen.push_back(std::move(code));
        }
        if (i == 0) first = seen.size();
    }
    return static_cast<Py_ssize_t>(seen.size() - first);
}

// sys.getallocatedblocks(): the blocks the interpreter's allocator holds.
Py_ssize_t allocated_blocks() {
    PyObject* get = PySys_GetObject("getallocatedblocks");  // borrowed
    if (!get) die("sys.getallocatedblocks");
    Ref count = Ref::steal(PyObject_Vectorcall(get, nullptr, 0, nullptr));
    Py_ssize_t blocks = count ? PyLong_AsSsize_t(count.get()) : -1;
    if (blocks < 0) die("sys.getallocatedblocks()");
    return blocks;
}

// Allocated blocks gained over `count` calls after as many warm-up calls.
Py_ssize_t block_growth(PyObject* procedure, PyObject* bindings, bool missing_provider, bool fails,
                        int count) {
    bind(bindings);
    Py_ssize_t growth = 0;
    {
        std::unique_ptr<MissingProvider> missing;
        if (missing_provider) missing = std::make_unique<MissingProvider>();
        auto one = [&] {
            PyObject* result = PyObject_Vectorcall(procedure, nullptr, 0, nullptr);
            if (!result != fails) die("a call did not do what it did when timed");
            Py_XDECREF(result);
            PyErr_Clear();
        };
        for (int i = 0; i < count; ++i) one();
        Py_ssize_t before = allocated_blocks();
        for (int i = 0; i < count; ++i) one();
        growth = allocated_blocks() - before;
    }
    return growth;
}

// ---------------------------------------------------------------------------
// Import figures
// ---------------------------------------------------------------------------

// Runs import_time.py and returns what it printed, or an explanation.
std::string measure_import(const std::string& python, const std::string& script, const std::string& pkg,
                           const std::string& twin, int runs) {
    std::string command = "\"" + python + "\" \"" + script + "\" --pkg \"" + pkg + "\" --twin \"" + twin +
                          "\" --runs " + std::to_string(runs);
    std::fflush(stdout);
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return "  the import measurement could not be started: " + command + "\n";
    std::string output;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    if (pclose(pipe) != 0) output += "  the import measurement failed: " + command + "\n";
    return output;
}

}  // namespace

int main(int argc, char** argv) {
    std::string pkg, twin, python, import_script;
    int import_runs = 31;
#ifdef LOGIN_BENCH_PKG
    pkg = LOGIN_BENCH_PKG;
#endif
#ifdef LOGIN_BENCH_DIR
    twin = std::string(LOGIN_BENCH_DIR) + "/login_twin.py";
    import_script = std::string(LOGIN_BENCH_DIR) + "/import_time.py";
#endif
#ifdef LOGIN_BENCH_PYTHON
    python = LOGIN_BENCH_PYTHON;
#endif
    if (const char* env = std::getenv("LOGIN_PKG")) pkg = env;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--pkg=", 6) == 0)
            pkg = argv[i] + 6;
        else if (std::strncmp(argv[i], "--import-runs=", 14) == 0)
            import_runs = std::atoi(argv[i] + 14);
        else
            rest.push_back(argv[i]);
    }
    int rest_count = static_cast<int>(rest.size());
    benchmark::Initialize(&rest_count, rest.data());
    if (benchmark::ReportUnrecognizedArguments(rest_count, rest.data())) return 1;

    // The interpreter as Py_InitializeEx(0) starts it (environment read, no
    // signal handlers), writing no bytecode, with the home of the CPython
    // built against unless PYTHONHOME names another.
    {
        PyConfig config;
        PyConfig_InitPythonConfig(&config);
        config.parse_argv = 0;
        config.install_signal_handlers = 0;
        config.write_bytecode = 0;
        PyStatus status = PyStatus_Ok();
#ifdef LOGIN_BENCH_PYTHON_HOME
        if (!std::getenv("PYTHONHOME")) status = PyConfig_SetBytesString(&config, &config.home, LOGIN_BENCH_PYTHON_HOME);
#endif
        if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
        PyConfig_Clear(&config);
        if (PyStatus_Exception(status)) Py_ExitStatusException(status);
    }
    Py_ssize_t cases = 0;
    Ref problems;
    {
        PyObject* path = PySys_GetObject("path");
        Ref dir = Ref::steal(PyUnicode_DecodeFSDefault(pkg.c_str()));
        if (!path || !dir || PyList_Insert(path, 0, dir.get()) < 0) die("setting sys.path");
        Ref ns = Ref::steal(PyDict_New());
        Ref twin_path = Ref::steal(PyUnicode_DecodeFSDefault(twin.c_str()));
        Ref make_answer_fn = Ref::steal(PyCFunction_NewEx(&make_answer_def, nullptr, nullptr));
        if (!ns || !twin_path || !make_answer_fn ||
            PyDict_SetItemString(ns.get(), "__builtins__", PyEval_GetBuiltins()) < 0 ||
            PyDict_SetItemString(ns.get(), "TWIN", twin_path.get()) < 0 ||
            PyDict_SetItemString(ns.get(), "make_answer", make_answer_fn.get()) < 0)
            die("preparing the set-up");
        Ref done = Ref::steal(PyRun_String(kSetup, Py_file_input, ns.get(), ns.get()));
        if (!done) die("setting up (is the module built and staged? --pkg=<build>/pkg)");
        S.native = take(ns.get(), "native_init_gid");
        S.python = take(ns.get(), "py_init_gid");
        S.provider_bindings = take(ns.get(), "PROVIDER");
        S.agent_bindings = take(ns.get(), "AGENT");
        Ref module = Ref::steal(take(ns.get(), "login"));
        S.module_dict = PyModule_GetDict(module.get());  // the module stays in sys.modules
        S.provider_name = intern("get_license_info");
        floor_attach(S.module_dict);
        S.floor = PyCFunction_NewEx(&floor_def, nullptr, nullptr);
        if (!S.floor) die("the floor");

        done = Ref::steal(PyRun_String(kCheck, Py_file_input, ns.get(), ns.get()));
        if (!done) die("defining the checks");
        Ref check = Ref::steal(take(ns.get(), "check"));
        Ref outcome = Ref::steal(PyObject_CallFunctionObjArgs(check.get(), S.native, S.python, S.floor, nullptr));
        PyObject* listed = nullptr;
        if (!outcome || !PyArg_ParseTuple(outcome.get(), "nO!", &cases, &PyList_Type, &listed)) die("checking");
        problems = Ref::borrow(listed);
    }
    std::printf("CPython %.*s\n", static_cast<int>(std::strcspn(Py_GetVersion(), " ")), Py_GetVersion());
    std::printf("module: %s/corvalith/norva/utils\n", pkg.c_str());
    Py_ssize_t problem_count = PyList_GET_SIZE(problems.get());
    std::printf("before timing: the floor, the module and the Python procedure through %zd provider-path "
                "cases, the module and the Python procedure through agent mode: %s\n",
                cases, problem_count ? "DISAGREEMENTS" : "all agree");
    for (Py_ssize_t i = 0; i < problem_count; ++i)
        std::printf("  %s\n", PyUnicode_AsUTF8(PyList_GET_ITEM(problems.get(), i)));
    std::printf("\n");

    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    std::fflush(stdout);

    const int count = 1000;
    Py_ssize_t native_codes = distinct_failure_code_objects(S.native, count);
    Py_ssize_t python_codes = distinct_failure_code_objects(S.python, count);
    struct Growth {
        const char* label;
        PyObject* procedure;
        PyObject* bindings;
        bool missing_provider, fails;
    };
    const Growth growths[] = {
        {"provider path, native", S.native, S.provider_bindings, false, false},
        {"provider path, Python", S.python, S.provider_bindings, false, false},
        {"provider path, floor", S.floor, S.provider_bindings, false, false},
        {"repeated failure, native", S.native, S.provider_bindings, true, true},
        {"repeated failure, Python", S.python, S.provider_bindings, true, true},
        {"agent mode, native", S.native, S.agent_bindings, true, false},
        {"agent mode, Python", S.python, S.agent_bindings, true, false},
    };
    std::printf("\nafter %d warm-up calls, allocated blocks gained over %d further calls:\n", count, count);
    for (const Growth& g : growths)
        std::printf("  %-28s %zd\n", g.label, block_growth(g.procedure, g.bindings, g.missing_provider, g.fails, count));
    std::printf("code objects in the traceback entries of %d repeated failures, beyond the first failure's: "
                "native %zd, Python %zd\n",
                count, native_codes, python_codes);

    std::string imports;
    if (import_runs > 0) {
        std::printf("\nmeasuring the import (%d fresh interpreters per side)...\n", import_runs);
        imports = measure_import(python, import_script, pkg, twin, import_runs);
    }

    // The summary: ratios of the medians over the repetitions; the range is
    // that of the ratios of the repetitions paired by index.
    const std::vector<double>& any = collector.times("BM_ProviderNative");
    std::printf("\nsummary (CPython %d.%d): CPU time per call, ratio of the medians over %zu repetition%s "
                "[range of the per-repetition ratios]\n",
                PY_MAJOR_VERSION, PY_MINOR_VERSION, any.size(), any.size() == 1 ? "" : "s");
    std::printf("%-45s %7s %17s   %s\n", "", "ratio", "range", "target");
    auto line = [&](const char* label, const char* a, const char* b, double target) {
        const std::vector<double>& ta = collector.times(a);
        const std::vector<double>& tb = collector.times(b);
        if (ta.empty() || tb.empty() || std::count(tb.begin(), tb.end(), 0.0)) {
            std::printf("%-45s %7s\n", label, "n/a");
            return;
        }
        double ratio = median(ta) / median(tb);
        double lo = 0, hi = 0;
        for (size_t i = 0; i < std::min(ta.size(), tb.size()); ++i) {
            double r = ta[i] / tb[i];
            lo = i ? std::min(lo, r) : r;
            hi = i ? std::max(hi, r) : r;
        }
        char range[64];
        std::snprintf(range, sizeof range, "[%.3f-%.3f]", lo, hi);
        if (target > 0)
            std::printf("%-45s %7.3f %17s   <= %.2f %s\n", label, ratio, range, target,
                        ratio <= target ? "met" : "NOT met");
        else
            std::printf("%-45s %7.3f %17s   -\n", label, ratio, range);
    };
    line("provider path: native / Python", "BM_ProviderNative", "BM_ProviderPython", kProviderTarget);
    line("provider path: native / floor", "BM_ProviderNative", "BM_ProviderFloor", 0);
    line("provider path: floor / Python", "BM_ProviderFloor", "BM_ProviderPython", 0);
    line("repeated failure: native / Python", "BM_FailureNative", "BM_FailurePython", kFailureTarget);
    line("agent mode, in-process work: native / Python", "BM_AgentNative", "BM_AgentPython", kAgentTarget);
    std::printf("%s", imports.c_str());
    if (problem_count)
        std::printf("\nthe checks before timing found disagreements (listed at the top): the ratios above "
                    "compare procedures that do not behave alike\n");
    return 0;
}
