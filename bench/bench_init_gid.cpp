// Cost of init_gid() against the same procedure written in Python and against
// the bare calls of its callees, on the provider path and for a failure
// repeated at one location.
//
//   cmake --build <build> --target bench && <build>/bench [--pkg=<staged tree>]
//
// The module is imported from the staged package tree (<build>/pkg unless
// --pkg or LOGIN_PKG names another). Cheap built-in callables stand in for the
// module's collaborators, so that what is measured is the procedure itself:
// os.getenv is a bound dict.get, get_license_info the __next__ of
// itertools.repeat(("u", "p")), and gid.init is operator.is_.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

const char kSetup[] = R"PY(
import itertools, operator, sys, types
import corvalith.norva.utils.login as login

login.os = types.SimpleNamespace(getenv={}.get)
login.get_license_info = itertools.repeat(('u', 'p')).__next__
login.gid = types.SimpleNamespace(init=operator.is_)

SOURCE = '''
def init_gid():
    agent = os.getenv("CORVALITH_AGENT")
    if agent == "app_key_gid":
        if sys.platform.startswith("win"):
            ps_cmd = "& tovrind.exe"
            res = subprocess.run(
                ["powershell.exe", "-NoProfile", "-ExecutionPolicy", "Bypass", "-Command", ps_cmd],
                env=os.environ.copy(), capture_output=True, text=True, encoding="utf-8")
        else:
            res = subprocess.run("tovrind", shell=True, capture_output=True, text=True,
                                 encoding="utf-8")
        result = json.loads(res.stdout)
        if result.get("Code", 1) == 0:
            list_values = result.get("Result", None)
            if list_values:
                for dic in list_values:
                    if "Key" in dic and dic["Key"] == "QELTOR_ACCOUNT":
                        user_id = dic.get("Value", None)
                    elif "Key" in dic and dic["Key"] == "QELTOR_CUSTOM_APP_KEY":
                        app_key = dic.get("Value", None)
            if user_id and app_key:
                gid.init(user_id, appkey=app_key)
                return
    user, pw = get_license_info()
    if user and pw:
        gid.init(user, pw)
        return
    user, app_key = get_license_info("CORVALITH_APPKEY_LICENSE")
    if user and app_key:
        gid.init(user, appkey=app_key)
'''
_ns = {}
exec(compile(SOURCE, 'login_in_python', 'exec'), _ns)
py_init_gid = types.FunctionType(_ns['init_gid'].__code__, login.__dict__, 'init_gid')
native_init_gid = login.init_gid
getenv = login.os.getenv
provider = login.get_license_info
client_init = login.gid.init
os_ns = login.os
gid_ns = login.gid
)PY";

// The objects every benchmark uses, looked up once.
struct Subjects {
    PyObject* native = nullptr;    // login.init_gid
    PyObject* python = nullptr;    // the same procedure in Python, over the module's globals
    PyObject* getenv = nullptr;
    PyObject* provider = nullptr;
    PyObject* client_init = nullptr;
    PyObject* agent_name = nullptr;     // "CORVALITH_AGENT"
    PyObject* provider_name = nullptr;  // "get_license_info"
    PyObject* module_dict = nullptr;
    PyObject* os = nullptr;             // the stand-in namespaces
    PyObject* gid = nullptr;
    PyObject* getenv_name = nullptr;
    PyObject* init_name = nullptr;
} S;

[[noreturn]] void die(const char* what) {
    if (PyErr_Occurred()) PyErr_Print();
    std::fprintf(stderr, "bench: %s\n", what);
    std::exit(2);
}

PyObject* take(PyObject* ns, const char* name) {
    PyObject* obj = PyDict_GetItemString(ns, name);
    if (!obj) die(name);
    Py_INCREF(obj);
    return obj;
}

// Removes get_license_info from the module for the failure benchmarks.
class MissingProvider {
public:
    MissingProvider() {
        saved_ = PyDict_GetItem(S.module_dict, S.provider_name);
        Py_XINCREF(saved_);
        if (!saved_ || PyDict_DelItem(S.module_dict, S.provider_name) < 0) die("removing get_license_info");
    }
    ~MissingProvider() {
        if (PyDict_SetItem(S.module_dict, S.provider_name, saved_) < 0) die("restoring get_license_info");
        Py_DECREF(saved_);
    }

private:
    PyObject* saved_ = nullptr;
};

void call_procedure(benchmark::State& state, PyObject* procedure) {
    for (auto _ : state) {
        PyObject* result = _PyObject_Vectorcall(procedure, nullptr, 0, nullptr);
        if (!result) die("the provider path failed");
        Py_DECREF(result);
    }
}

void fail_procedure(benchmark::State& state, PyObject* procedure) {
    MissingProvider missing;
    for (auto _ : state) {
        PyObject* result = _PyObject_Vectorcall(procedure, nullptr, 0, nullptr);
        if (result || !PyErr_ExceptionMatches(PyExc_NameError)) die("the failure did not happen");
        PyErr_Clear();
    }
}

void BM_ProviderNative(benchmark::State& state) { call_procedure(state, S.native); }
void BM_ProviderPython(benchmark::State& state) { call_procedure(state, S.python); }

// The floor: the three callees with the same arguments and nothing else.
void BM_ProviderFloor(benchmark::State& state) {
    for (auto _ : state) {
        PyObject* agent = _PyObject_Vectorcall(S.getenv, &S.agent_name, 1, nullptr);
        if (!agent) die("getenv");
        Py_DECREF(agent);
        PyObject* pair = _PyObject_Vectorcall(S.provider, nullptr, 0, nullptr);
        if (!pair) die("provider");
        PyObject* done = _PyObject_Vectorcall(S.client_init, &PyTuple_GET_ITEM(pair, 0), 2, nullptr);
        if (!done) die("init");
        Py_DECREF(done);
        Py_DECREF(pair);
    }
}

// The floor plus the two attribute reads the procedure makes on its globals
// (os.getenv, gid.init): what is left of the gap is the procedure's own work.
void BM_ProviderFloorWithReads(benchmark::State& state) {
    for (auto _ : state) {
        PyObject* getenv = PyObject_GetAttr(S.os, S.getenv_name);
        if (!getenv) die("os.getenv");
        PyObject* agent = _PyObject_Vectorcall(getenv, &S.agent_name, 1, nullptr);
        Py_DECREF(getenv);
        if (!agent) die("getenv");
        Py_DECREF(agent);
        PyObject* pair = _PyObject_Vectorcall(S.provider, nullptr, 0, nullptr);
        if (!pair) die("provider");
        PyObject* init = PyObject_GetAttr(S.gid, S.init_name);
        if (!init) die("gid.init");
        PyObject* done = _PyObject_Vectorcall(init, &PyTuple_GET_ITEM(pair, 0), 2, nullptr);
        Py_DECREF(init);
        if (!done) die("init");
        Py_DECREF(done);
        Py_DECREF(pair);
    }
}

void BM_FailureNative(benchmark::State& state) { fail_procedure(state, S.native); }
void BM_FailurePython(benchmark::State& state) { fail_procedure(state, S.python); }

// The floor of the failure: the one callee reached, then the same error
// raised and caught.
void BM_FailureFloor(benchmark::State& state) {
    for (auto _ : state) {
        PyObject* agent = _PyObject_Vectorcall(S.getenv, &S.agent_name, 1, nullptr);
        if (!agent) die("getenv");
        Py_DECREF(agent);
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", S.provider_name);
        PyErr_Clear();
    }
}

BENCHMARK(BM_ProviderNative)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_ProviderPython)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_ProviderFloor)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_ProviderFloorWithReads)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_FailureNative)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_FailurePython)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_FailureFloor)->Unit(benchmark::kNanosecond);

// Keeps the CPU time per iteration of each benchmark (the machine is shared,
// so wall time also counts other processes): the median when repetitions were
// asked for, else the single run.
class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const std::string& name = run.run_name.function_name;
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") median_[name] = run.GetAdjustedCPUTime();
            } else {
                single_[name] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double time(const std::string& name) const {
        auto m = median_.find(name);
        if (m != median_.end()) return m->second;
        auto s = single_.find(name);
        return s == single_.end() ? 0.0 : s->second;
    }

private:
    std::map<std::string, double> median_, single_;
};

// Code objects in the traceback entries of `count` repetitions of the failure
// that the first repetition's entries did not already have: 0 when every
// repetition reuses them.
Py_ssize_t distinct_failure_code_objects(PyObject* procedure, int count, Py_ssize_t* block_growth) {
    MissingProvider missing;
    std::vector<PyObject*> seen;  // strong references, so no address is reused
    auto one = [&](bool record) {
        PyObject* result = _PyObject_Vectorcall(procedure, nullptr, 0, nullptr);
        if (result) die("the failure did not happen");
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        for (PyObject* t = tb; record && t; t = reinterpret_cast<PyObject*>(
                                                   reinterpret_cast<PyTracebackObject*>(t)->tb_next)) {
            PyObject* code = reinterpret_cast<PyObject*>(
                reinterpret_cast<PyTracebackObject*>(t)->tb_frame->f_code);
            bool known = false;
            for (PyObject* c : seen) known = known || c == code;
            if (!known) {
                Py_INCREF(code);
                seen.push_back(code);
            }
        }
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
    };
    one(true);
    size_t first = seen.size();
    for (int i = 1; i < count; ++i) one(true);
    // Memory held after the warm-up above, across as many more repetitions.
    Py_ssize_t before = _Py_GetAllocatedBlocks();
    for (int i = 0; i < count; ++i) one(false);
    *block_growth = _Py_GetAllocatedBlocks() - before;
    Py_ssize_t distinct = static_cast<Py_ssize_t>(seen.size() - first);
    for (PyObject* c : seen) Py_DECREF(c);
    return distinct;
}

}  // namespace

int main(int argc, char** argv) {
    std::string pkg;
#ifdef LOGIN_BENCH_PKG
    pkg = LOGIN_BENCH_PKG;
#endif
    if (const char* env = std::getenv("LOGIN_PKG")) pkg = env;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--pkg=", 6) == 0)
            pkg = argv[i] + 6;
        else
            rest.push_back(argv[i]);
    }
    int rest_count = static_cast<int>(rest.size());
    benchmark::Initialize(&rest_count, rest.data());
    if (benchmark::ReportUnrecognizedArguments(rest_count, rest.data())) return 1;

#ifdef LOGIN_BENCH_PYTHON_HOME
    if (!std::getenv("PYTHONHOME")) Py_SetPythonHome(Py_DecodeLocale(LOGIN_BENCH_PYTHON_HOME, nullptr));
#endif
    Py_DontWriteBytecodeFlag = 1;
    Py_InitializeEx(0);
    {
        PyObject* path = PySys_GetObject("path");
        PyObject* dir = PyUnicode_DecodeFSDefault(pkg.c_str());
        if (!path || !dir || PyList_Insert(path, 0, dir) < 0) die("setting sys.path");
        Py_DECREF(dir);
        PyObject* ns = PyDict_New();
        PyDict_SetItemString(ns, "__builtins__", PyEval_GetBuiltins());
        PyObject* done = PyRun_String(kSetup, Py_file_input, ns, ns);
        if (!done) die("setting up (is the module built and staged? --pkg=<build>/pkg)");
        Py_DECREF(done);
        S.native = take(ns, "native_init_gid");
        S.python = take(ns, "py_init_gid");
        S.getenv = take(ns, "getenv");
        S.provider = take(ns, "provider");
        S.client_init = take(ns, "client_init");
        PyObject* module = take(ns, "login");
        S.module_dict = PyModule_GetDict(module);
        S.os = take(ns, "os_ns");
        S.gid = take(ns, "gid_ns");
        S.getenv_name = PyUnicode_InternFromString("getenv");
        S.init_name = PyUnicode_InternFromString("init");
        S.agent_name = PyUnicode_InternFromString("CORVALITH_AGENT");
        S.provider_name = PyUnicode_InternFromString("get_license_info");
        Py_DECREF(ns);
    }
    std::printf("module: %s/corvalith/norva/utils\n", pkg.c_str());

    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);

    auto line = [&](const char* label, const char* a, const char* b, const char* target) {
        double ta = collector.time(a), tb = collector.time(b);
        if (ta > 0 && tb > 0)
            std::printf("%-44s %8.3f %8s\n", label, ta / tb, target);
        else
            std::printf("%-44s %8s %8s\n", label, "n/a", target);
    };
    std::printf("\nratios of CPU time per call %20s %8s\n", "", "target");
    line("provider path: native / Python", "BM_ProviderNative", "BM_ProviderPython", "<= 0.40");
    line("provider path: native / floor", "BM_ProviderNative", "BM_ProviderFloor", "<= 1.30");
    line("provider path: native / (floor + 2 reads)", "BM_ProviderNative", "BM_ProviderFloorWithReads", "");
    line("repeated failure: native / Python", "BM_FailureNative", "BM_FailurePython", "<= 1.00");
    line("repeated failure: native / floor", "BM_FailureNative", "BM_FailureFloor", "");

    const int count = 1000;
    Py_ssize_t native_growth = 0, python_growth = 0;
    Py_ssize_t native_codes = distinct_failure_code_objects(S.native, count, &native_growth);
    Py_ssize_t python_codes = distinct_failure_code_objects(S.python, count, &python_growth);
    std::printf("\ncode objects in the traceback entries of %d repeated failures, beyond the first failure's:\n",
                count);
    std::printf("  native %zd, Python %zd\n", native_codes, python_codes);
    std::printf("allocated blocks gained over %d further failures: native %zd, Python %zd\n", count,
                native_growth, python_growth);
    return 0;
}
