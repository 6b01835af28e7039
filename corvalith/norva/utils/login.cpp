// corvalith.norva.utils.login: signs the package's data client in.
//
// The module body imports gid and get_license_info from the package, imports
// os, sys, subprocess and json, and binds init_gid. init_gid() finds a pair of
// credentials (from the credential tool in agent mode, else from the
// credential provider) and hands them to gid.init().
//
// Every failing statement reports two lines: the C++ line of the failing site
// (__LINE__) and the line of the statement in the module source, which is what
// the traceback entry shows. The module source is bench/login_twin.py, the
// module written in Python line for line: its line numbers are the ones the
// failure sites report. A site failing at line n belongs to the statement
// quoted by the nearest "// [n] <statement>" comment above it, as it stands on
// line n of that file ("..." ends a quote cut short); tests/test_sources.py
// checks both.

#include "corvalith/norva/utils/state.h"

#include "runtime/call.h"
#include "runtime/compat.h"
#include "runtime/function.h"
#include "runtime/import.h"
#include "runtime/lookup.h"
#include "runtime/protocol.h"
#include "runtime/ref.h"
#include "runtime/runtime_state.h"
#include "runtime/traceback.h"
#include "runtime/version.h"

#include <utility>

#if defined(_WIN32)
#define LOGIN_EXPORT extern "C" __declspec(dllexport)
#else
#define LOGIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace login {
namespace {

using rt::Ref;

constexpr const char kExecFunctionName[] = "init corvalith.norva.utils.login";
constexpr const char kInitGidFunctionName[] = "corvalith.norva.utils.login.init_gid";

// The location of the statement that failed, filled by the failing site.
struct Failure {
    int impl_line = 0;
    int source_line = 0;

    // Converts to the error indicator of whichever kind the function returns.
    struct Indicator {
        operator PyObject*() const noexcept { return nullptr; }
        operator int() const noexcept { return -1; }
    };
    Indicator mark(int impl, int source) noexcept {
        impl_line = impl;
        source_line = source;
        return {};
    }
};

// Leaves the current procedure through its failure exit, recording this site:
// its own C++ line and the literal source line of its statement. Only code that
// belongs to one statement fails this way. A helper shared by several
// statements returns -1 instead and each caller fails at its own site, so no
// C++ line ever stands for two statements (the code-object cache is keyed by
// the C++ line while it is shown).
#define FAIL(source_line) return fail.mark(__LINE__, (source_line))

// ---------------------------------------------------------------------------
// init_gid
// ---------------------------------------------------------------------------

// The locals of init_gid, in the order of its code object's variable names.
struct Locals {
    Ref agent, ps_cmd, res, result, list_values, dic, user_id, app_key, user, pw;
};

// One memo per lookup site of a module global; where the statement reads an
// attribute of that global, the read's memo beside it.
rt::GlobalAttrMemo site_os_getenv;           // line 10
rt::GlobalAttrMemo site_sys_platform;        // line 12
rt::GlobalAttrMemo site_subprocess_windows;  // line 14
rt::GlobalAttrMemo site_os_environ;          // line 16
rt::GlobalAttrMemo site_subprocess_shell;    // line 22
rt::GlobalAttrMemo site_json_loads;          // line 29
rt::GlobalAttrMemo site_gid_agent;           // line 39
rt::SiteMemo site_license_userpass;          // line 41
rt::GlobalAttrMemo site_gid_userpass;        // line 43
rt::SiteMemo site_license_appkey;            // line 45
rt::GlobalAttrMemo site_gid_appkey;          // line 47

// "Key" in dic and dic["Key"] == expected. 1, 0, or -1 with an exception.
int entry_key_is(PyObject* dic, PyObject* expected) noexcept {
    const Names& n = g_state.names;
    int contained = PySequence_Contains(dic, n.Key);
    if (contained <= 0) return contained;
    Ref key = Ref::steal(PyDict_CheckExact(dic) ? rt::dict_item(dic, n.Key)
                                                : PyObject_GetItem(dic, n.Key));
    if (!key) return -1;
    return rt::str_equals(key.get(), expected);
}

// obj.get(key, default) with the constant argument tuple (key, default).
PyObject* get_with_default(PyObject* obj, PyObject* args) noexcept {
    PyObject* slots[3] = {nullptr, PyTuple_GET_ITEM(args, 0), PyTuple_GET_ITEM(args, 1)};
    return rt::call_method(obj, g_state.names.get, slots, 2, rt::Guard::kGuarded);
}

// gid.init(first, appkey=key). 0, or -1 with an exception. Shared by two
// statements, so it reports no location of its own: each caller fails at its
// own site.
int init_with_appkey(rt::GlobalAttrMemo& site, PyObject* first, PyObject* key) noexcept {
    const Names& n = g_state.names;
    Ref init = Ref::steal(rt::get_global_attr(site, n.gid, n.init));
    if (!init) return -1;
    PyObject* const args[] = {first, key};
    Ref done = Ref::steal(rt::call_vector_guarded(init.get(), args, 1, g_state.kw_appkey));
    return done ? 0 : -1;
}

// Agent mode: runs the credential tool and signs in with its answer.
// 1 when gid.init was called, 0 when the provider is to be asked instead, -1
// on failure.
int sign_in_with_tool(Locals& v, Failure& fail) {
    const Names& n = g_state.names;
    const ModuleState& s = g_state;

    // [12] if sys.platform.startswith("win"):
    int windows;
    {
        Ref platform = Ref::steal(rt::get_global_attr(site_sys_platform, n.sys, n.platform));
        if (!platform) FAIL(12);
        PyObject* slots[2] = {nullptr, n.win};
        Ref answer = Ref::steal(rt::call_method(platform.get(), n.startswith, slots, 1, rt::Guard::kBare));
        if (!answer) FAIL(12);
        windows = rt::is_true(answer.get());
        if (windows < 0) FAIL(12);
    }

    if (windows) {
        // [13] ps_cmd = "& tovrind.exe"
        v.ps_cmd = Ref::borrow(n.tovrind_command);
        // [14] res = subprocess.run(
        Ref run = Ref::steal(rt::get_global_attr(site_subprocess_windows, n.subprocess, n.run));
        if (!run) FAIL(14);
        // [15] ["powershell.exe", "-NoProfile", "-ExecutionPolicy", "Bypass", "-Command", ps_cmd],
        PyObject* const argv_items[] = {n.powershell_exe, n.opt_NoProfile, n.opt_ExecutionPolicy,
                                        n.Bypass, n.opt_Command, v.ps_cmd.get()};
        constexpr Py_ssize_t argc = sizeof argv_items / sizeof argv_items[0];
        Ref argv = Ref::steal(PyList_New(argc));
        if (!argv) FAIL(15);
        for (Py_ssize_t i = 0; i < argc; ++i) {
            Py_INCREF(argv_items[i]);
            PyList_SET_ITEM(argv.get(), i, argv_items[i]);
        }
        // [16] env=os.environ.copy(), capture_output=True, text=True, encoding="utf-8",
        Ref env;
        {
            Ref environ_map = Ref::steal(rt::get_global_attr(site_os_environ, n.os, n.os_environ));
            if (!environ_map) FAIL(16);
            PyObject* slots[1] = {nullptr};
            env = Ref::steal(rt::call_method(environ_map.get(), n.copy, slots, 0, rt::Guard::kBare));
            if (!env) FAIL(16);
        }
        // [14] res = subprocess.run(
        PyObject* const args[] = {argv.get(), env.get(), Py_True, Py_True, n.utf_8};
        v.res = Ref::steal(rt::call_vector_guarded(run.get(), args, 1, s.kw_run_windows));
        if (!v.res) FAIL(14);
    } else {
        // [22] res = subprocess.run(
        Ref run = Ref::steal(rt::get_global_attr(site_subprocess_shell, n.subprocess, n.run));
        if (!run) FAIL(22);
        PyObject* const args[] = {PyTuple_GET_ITEM(s.args_tovrind, 0), Py_True, Py_True, Py_True,
                                  n.utf_8};
        v.res = Ref::steal(rt::call_vector_guarded(run.get(), args, 1, s.kw_run_shell));
        if (!v.res) FAIL(22);
    }

    // [29] result = json.loads(res.stdout)
    {
        Ref loads = Ref::steal(rt::get_global_attr(site_json_loads, n.json, n.loads));
        if (!loads) FAIL(29);
        Ref out = Ref::steal(rt::get_attr(v.res.get(), n.stdout_));
        if (!out) FAIL(29);
        PyObject* slots[2] = {nullptr, out.get()};
        v.result = Ref::steal(rt::call_unpacking_bare(std::move(loads), slots, 1));
        if (!v.result) FAIL(29);
    }

    // [30] if result.get("Code", 1) == 0:
    {
        Ref code = Ref::steal(get_with_default(v.result.get(), s.args_code_1));
        if (!code) FAIL(30);
        int usable = rt::equals_zero(code.get(), s.int_0);
        if (usable < 0) FAIL(30);
        if (!usable) return 0;
    }

    // [31] list_values = result.get("Result", None)
    v.list_values = Ref::steal(get_with_default(v.result.get(), s.args_result_none));
    if (!v.list_values) FAIL(31);

    // [32] if list_values:
    int has_entries = rt::is_true(v.list_values.get());
    if (has_entries < 0) FAIL(32);
    if (has_entries) {
        // [33] for dic in list_values:
        rt::Loop loop;
        if (loop.start(v.list_values.get()) < 0) FAIL(33);
        for (;;) {
            Ref entry;
            int more = loop.next(entry);
            if (more < 0) FAIL(33);
            if (!more) break;
            v.dic = std::move(entry);

            // [34] if "Key" in dic and dic["Key"] == "QELTOR_ACCOUNT":
            int is_account = entry_key_is(v.dic.get(), n.QELTOR_ACCOUNT);
            if (is_account < 0) FAIL(34);
            if (is_account) {
                // [35] user_id = dic.get("Value", None)
                v.user_id = Ref::steal(get_with_default(v.dic.get(), s.args_value_none));
                if (!v.user_id) FAIL(35);
                continue;
            }
            // [36] elif "Key" in dic and dic["Key"] == "QELTOR_CUSTOM_APP_KEY":
            int is_app_key = entry_key_is(v.dic.get(), n.QELTOR_CUSTOM_APP_KEY);
            if (is_app_key < 0) FAIL(36);
            if (is_app_key) {
                // [37] app_key = dic.get("Value", None)
                v.app_key = Ref::steal(get_with_default(v.dic.get(), s.args_value_none));
                if (!v.app_key) FAIL(37);
            }
        }
    }

    // [38] if user_id and app_key:
    if (!v.user_id) {
        rt::raise_unbound_local("user_id");
        FAIL(38);
    }
    int usable = rt::is_true(v.user_id.get());
    if (usable < 0) FAIL(38);
    if (!usable) return 0;
    if (!v.app_key) {
        rt::raise_unbound_local("app_key");
        FAIL(38);
    }
    usable = rt::is_true(v.app_key.get());
    if (usable < 0) FAIL(38);
    if (!usable) return 0;

    // [39] gid.init(user_id, appkey=app_key)
    if (init_with_appkey(site_gid_agent, v.user_id.get(), v.app_key.get()) < 0) FAIL(39);
    return 1;
}

// Both values true: 1; either false: 0; -1 with an exception.
int both_true(PyObject* a, PyObject* b) noexcept {
    int truth = rt::is_true(a);
    if (truth <= 0) return truth;
    return rt::is_true(b);
}

// user, second = get_license_info(*args), where args is (kind,) or ().
// 0, or -1 with an exception. Shared by two statements, so it reports no
// location of its own: each caller fails at its own site.
int ask_provider(rt::SiteMemo& site, PyObject* kind, Ref& user, Ref& second) noexcept {
    Ref provider = Ref::steal(rt::get_global(site, g_state.names.get_license_info));
    if (!provider) return -1;
    PyObject* slots[2] = {nullptr, kind};
    Ref answer = Ref::steal(rt::call_unpacking_bare(std::move(provider), slots, kind ? 1 : 0));
    if (!answer) return -1;
    return rt::unpack2(answer.get(), user, second);
}

PyObject* resolve_and_sign_in(Failure& fail) {
    const Names& n = g_state.names;
    Locals v;

    // [10] agent = os.getenv("CORVALITH_AGENT")
    {
        Ref getenv = Ref::steal(rt::get_global_attr(site_os_getenv, n.os, n.getenv));
        if (!getenv) FAIL(10);
        PyObject* slots[2] = {nullptr, n.CORVALITH_AGENT};
        v.agent = Ref::steal(rt::call_unpacking_bare(std::move(getenv), slots, 1));
        if (!v.agent) FAIL(10);
    }

    // [11] if agent == "app_key_gid":
    int agent_mode = rt::str_equals(v.agent.get(), n.app_key_gid);
    if (agent_mode < 0) FAIL(11);
    if (agent_mode) {
        int signed_in = sign_in_with_tool(v, fail);
        if (signed_in < 0) return nullptr;
        if (signed_in) Py_RETURN_NONE;
    }

    // [41] user, pw = get_license_info()
    {
        Ref user, pw;
        if (ask_provider(site_license_userpass, nullptr, user, pw) < 0) FAIL(41);
        v.user = std::move(user);
        v.pw = std::move(pw);
    }
    // [42] if user and pw:
    int usable = both_true(v.user.get(), v.pw.get());
    if (usable < 0) FAIL(42);
    if (usable) {
        // [43] gid.init(user, pw)
        Ref init = Ref::steal(rt::get_global_attr(site_gid_userpass, n.gid, n.init));
        if (!init) FAIL(43);
        PyObject* slots[3] = {nullptr, v.user.get(), v.pw.get()};
        Ref done = Ref::steal(rt::call_unpacking_bare(std::move(init), slots, 2));
        if (!done) FAIL(43);
        Py_RETURN_NONE;
    }

    // [45] user, app_key = get_license_info("CORVALITH_APPKEY_LICENSE")
    {
        Ref user, app_key;
        if (ask_provider(site_license_appkey, n.CORVALITH_APPKEY_LICENSE, user, app_key) < 0)
            FAIL(45);
        v.user = std::move(user);
        v.app_key = std::move(app_key);
    }
    // [46] if user and app_key:
    usable = both_true(v.user.get(), v.app_key.get());
    if (usable < 0) FAIL(46);
    if (usable) {
        // [47] gid.init(user, appkey=app_key)
        if (init_with_appkey(site_gid_appkey, v.user.get(), v.app_key.get()) < 0) FAIL(47);
    }
    Py_RETURN_NONE;
}

PyObject* init_gid(PyObject* /*self*/, PyObject* /*unused*/) noexcept {
    Failure fail;
    PyObject* result = resolve_and_sign_in(fail);
    if (!result)
        rt::add_traceback({kInitGidFunctionName, fail.impl_line, fail.source_line, kTracebackFileName});
    return result;
}

PyMethodDef init_gid_def = {"init_gid", init_gid, METH_NOARGS, nullptr};

// ---------------------------------------------------------------------------
// Module execution
// ---------------------------------------------------------------------------

// The from-import "from <package> import <name>": binds <name>.
int bind_from_import(PyObject* package, PyObject* name) noexcept {
    Ref fromlist = Ref::steal(PyList_New(1));
    if (!fromlist) return -1;
    Py_INCREF(name);
    PyList_SET_ITEM(fromlist.get(), 0, name);
    Ref module = Ref::steal(rt::import_absolute(package, fromlist.get()));
    if (!module) return -1;
    fromlist.reset();
    Ref value = Ref::steal(rt::import_from(module.get(), name));
    if (!value) return -1;
    return PyDict_SetItem(rt::g_runtime.module_dict, name, value.get());
}

// The import "import <name>": binds <name>.
int bind_import(PyObject* name) noexcept {
    Ref module = Ref::steal(rt::import_module(name));
    if (!module) return -1;
    return PyDict_SetItem(rt::g_runtime.module_dict, name, module.get());
}

// A tuple of new references to `items`, or null with an exception.
template <size_t N>
PyObject* make_tuple(PyObject* const (&items)[N]) noexcept {
    PyObject* tuple = PyTuple_New(N);
    if (!tuple) return nullptr;
    for (size_t i = 0; i < N; ++i) {
        Py_INCREF(items[i]);
        PyTuple_SET_ITEM(tuple, i, items[i]);
    }
    return tuple;
}

int make_constants() noexcept {
    ModuleState& s = g_state;
    const Names& n = s.names;
    rt::replace(s.args_tovrind, Ref::steal(make_tuple({n.tovrind})));
    if (!s.args_tovrind) return -1;
    rt::replace(s.args_code_1, Ref::steal(make_tuple({n.Code, s.int_1})));
    if (!s.args_code_1) return -1;
    rt::replace(s.args_result_none, Ref::steal(make_tuple({n.Result, Py_None})));
    if (!s.args_result_none) return -1;
    rt::replace(s.args_value_none, Ref::steal(make_tuple({n.Value, Py_None})));
    if (!s.args_value_none) return -1;
    rt::replace(s.kw_run_shell, Ref::steal(make_tuple({n.shell, n.capture_output, n.text, n.encoding})));
    if (!s.kw_run_shell) return -1;
    rt::replace(s.kw_run_windows, Ref::steal(make_tuple({n.env, n.capture_output, n.text, n.encoding})));
    if (!s.kw_run_windows) return -1;
    rt::replace(s.kw_appkey, Ref::steal(make_tuple({n.appkey})));
    if (!s.kw_appkey) return -1;
    rt::replace(s.init_gid_varnames, Ref::steal(make_tuple({n.agent, n.ps_cmd, n.res, n.result, n.list_values,
                                                            n.dic, n.user_id, n.app_key, n.user, n.pw})));
    if (!s.init_gid_varnames) return -1;
    PyObject* e = rt::g_runtime.empty_tuple;
    rt::replace(s.init_gid_code, Ref::steal(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
                                     0, 0, 0, 10, 0, CO_OPTIMIZED | CO_NEWLOCALS, s.empty_bytes, e, e,
                                     s.init_gid_varnames, e, e, n.source_file, n.init_gid, n.init_gid, 9,
                                     s.empty_bytes, s.empty_bytes))));
    return s.init_gid_code ? 0 : -1;
}

// Fills the module's record and the process-wide one (rt::g_runtime), then
// runs the module body. `record_ready` is set once the process-wide record is
// complete, from when a failure can be given its traceback entry.
int execute(PyObject* module, Failure& fail, bool& record_ready) {
    ModuleState& s = g_state;
    rt::RuntimeState& r = rt::g_runtime;

    // The module's set-up fails at the line of its first statement.
    // [1] from corvalith import gid
    rt::replace(s.module, Ref::borrow(module));
    PyObject* dict = PyModule_GetDict(module);
    // Never taken: a module object always has its dictionary.
    // GCOVR_EXCL_BR_START
    if (!dict) FAIL(1);
    // GCOVR_EXCL_BR_STOP
    rt::replace(r.module_dict, Ref::borrow(dict));

    PyObject* builtins = PyImport_AddModule("builtins");
    if (!builtins) FAIL(1);
    rt::replace(r.builtins, Ref::borrow(builtins));
    PyObject* support_module = PyImport_AddModule("cython_runtime");
    if (!support_module) FAIL(1);
    rt::replace(r.support_module, Ref::borrow(support_module));
    if (PyObject_SetAttrString(module, "__builtins__", r.builtins) < 0) FAIL(1);

    // Never taken: the module is built for the version that loads it, so the
    // check has nothing to warn about.
    // GCOVR_EXCL_BR_START
    if (rt::check_version(PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName) < 0) FAIL(1);
    // GCOVR_EXCL_BR_STOP

    // The checks are never taken: the empty tuple and bytes are the
    // interpreter's preallocated objects.
    // GCOVR_EXCL_BR_START
    rt::replace(r.empty_tuple, Ref::steal(PyTuple_New(0)));
    if (!r.empty_tuple) FAIL(1);
    rt::replace(s.empty_bytes, Ref::steal(PyBytes_FromStringAndSize("", 0)));
    if (!s.empty_bytes) FAIL(1);
    // GCOVR_EXCL_BR_STOP

    rt::replace(r.function_type, Ref::steal(reinterpret_cast<PyObject*>(rt::fetch_function_type())));
    if (!r.function_type) FAIL(1);

    if (make_names(s.names) < 0) FAIL(1);
    if (rt::make_runtime_names() < 0) FAIL(1);
    // The checks are never taken: 0 and 1 are preallocated small ints.
    // GCOVR_EXCL_BR_START
    rt::replace(s.int_0, Ref::steal(PyLong_FromLong(0)));
    if (!s.int_0) FAIL(1);
    rt::replace(s.int_1, Ref::steal(PyLong_FromLong(1)));
    if (!s.int_1) FAIL(1);
    // GCOVR_EXCL_BR_STOP
    record_ready = true;

    const Names& n = s.names;

    // Registration under the full name, unless something is there already.
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = PyDict_GetItemWithError(modules, n.module_name);
    if (!existing) {
        // Never taken: the registry is a dict and the key an exact str with its
        // hash cached, so the lookup cannot raise.
        // GCOVR_EXCL_BR_START
        if (PyErr_Occurred()) FAIL(1);
        // GCOVR_EXCL_BR_STOP
        if (PyDict_SetItem(modules, n.module_name, module) < 0) FAIL(1);
    }

    if (make_constants() < 0) FAIL(1);

    // The module body.
    // [1] from corvalith import gid
    if (bind_from_import(n.corvalith, n.gid) < 0) FAIL(1);
    // [2] from corvalith.norva.sdk.license_helper import get_license_info
    if (bind_from_import(n.license_helper_module, n.get_license_info) < 0) FAIL(2);
    // [3] import os
    if (bind_import(n.os) < 0) FAIL(3);
    // [4] import sys
    if (bind_import(n.sys) < 0) FAIL(4);
    // [5] import subprocess
    if (bind_import(n.subprocess) < 0) FAIL(5);
    // [6] import json
    if (bind_import(n.json) < 0) FAIL(6);
    // [9] def init_gid():
    {
        Ref function = Ref::steal(rt::function_new(&init_gid_def, 0, n.init_gid, nullptr,
                                                   n.module_name, r.module_dict, s.init_gid_code));
        if (!function) FAIL(9);
        if (PyDict_SetItem(r.module_dict, n.init_gid, function.get()) < 0) FAIL(9);
    }
    // __test__ = {}, the module's last step, fails at the line of its first
    // statement, as its set-up does.
    // [1] from corvalith import gid
    {
        Ref test = Ref::steal(PyDict_New());
        if (!test) FAIL(1);
        if (PyDict_SetItem(r.module_dict, n.test, test.get()) < 0) FAIL(1);
    }
    return 0;
}

int login_exec(PyObject* module) noexcept {
    if (g_state.module) {
        if (g_state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'login' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    Failure fail;
    bool record_ready = false;
    if (execute(module, fail, record_ready) == 0) return 0;
    if (record_ready)
        rt::add_traceback({kExecFunctionName, fail.impl_line, fail.source_line, kTracebackFileName});
    Py_CLEAR(g_state.module);  // GCOVR_EXCL_BR_LINE: the reference is always set here
    return -1;
}

// ---------------------------------------------------------------------------
// Module creation
// ---------------------------------------------------------------------------

// Copies spec.<attr> into the module dictionary as <key>. A missing attribute
// is skipped, and so is None unless `store_none`. 0, or -1 with an exception.
int copy_spec_attr(PyObject* spec, PyObject* dict, const char* attr, const char* key,
                   bool store_none) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (value.get() == Py_None && !store_none) return 0;
    return PyDict_SetItemString(dict, key, value.get());
}

PyObject* login_create(PyObject* spec, PyModuleDef* /*def*/) noexcept {
    int64_t current = PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
    if (g_state.main_interpreter_id == -1) {
        g_state.main_interpreter_id = current;
        if (current == -1) return nullptr;  // GCOVR_EXCL_BR_LINE: a running interpreter has an id
    } else if (current != g_state.main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_state.module) {
        Py_INCREF(g_state.module);
        return g_state.module;
    }

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!dict) return nullptr;  // GCOVR_EXCL_BR_LINE: a new module has its dictionary
    if (copy_spec_attr(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false) < 0)
        return nullptr;
    return module.release();
}

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr}  // sentinel
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(login_create)},
    {Py_mod_exec, reinterpret_cast<void*>(login_exec)},
    {0, nullptr}  // sentinel
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "login",        // m_name
    nullptr,        // m_doc
    0,              // m_size: the state is process-wide, not per module object
    module_methods, // m_methods
    module_slots,   // m_slots
    nullptr,        // m_traverse
    nullptr,        // m_clear
    nullptr,        // m_free
};

}  // namespace
}  // namespace login

LOGIN_EXPORT PyObject* PyInit_login(void) {
    return PyModuleDef_Init(&login::module_def);
}
