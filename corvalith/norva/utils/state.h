// The module's process-wide state.
//
// One record, filled by module execution and read by the module body and by
// init_gid. Every PyObject* member is an owned strong reference, set by
// execution and kept for the life of the process; a later execution (after a
// failed one) replaces and releases them (rt::replace). The values the runtime
// uses too (the module dictionary, builtins, the runtime-support module, the
// empty tuple and the function type) are held once, in the runtime's record
// rt::g_runtime, which execution fills.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace login {

// The module's qualified name, and its source file name: as code objects carry
// it, and as traceback entries show it (every backslash doubled).
inline constexpr const char kModuleName[] = "corvalith.norva.utils.login";
inline constexpr const char kTracebackFileName[] = "corvalith\\\\norva\\\\utils\\\\login.py";

// Every name and string literal the module's Python-level operations use:
// X(member, text, interned). Identifier-like texts and dotted module names are
// interned; the others are plain strs.
#define LOGIN_NAMES(X)                                                          \
    X(Bypass, "Bypass", true)                                                   \
    X(Code, "Code", true)                                                       \
    X(opt_Command, "-Command", false)                                           \
    X(CORVALITH_AGENT, "CORVALITH_AGENT", true)                                 \
    X(CORVALITH_APPKEY_LICENSE, "CORVALITH_APPKEY_LICENSE", true)               \
    X(opt_ExecutionPolicy, "-ExecutionPolicy", false)                           \
    X(Key, "Key", true)                                                         \
    X(QELTOR_ACCOUNT, "QELTOR_ACCOUNT", true)                                   \
    X(QELTOR_CUSTOM_APP_KEY, "QELTOR_CUSTOM_APP_KEY", true)                     \
    X(opt_NoProfile, "-NoProfile", false)                                       \
    X(Result, "Result", true)                                                   \
    X(Value, "Value", true)                                                     \
    X(agent, "agent", true)                                                     \
    X(app_key, "app_key", true)                                                 \
    X(app_key_gid, "app_key_gid", true)                                         \
    X(appkey, "appkey", true)                                                   \
    X(tovrind, "tovrind", true)                                                 \
    X(tovrind_command, "& tovrind.exe", false)                                  \
    X(capture_output, "capture_output", true)                                   \
    X(copy, "copy", true)                                                       \
    X(corvalith, "corvalith", true)                                             \
    X(license_helper_module, "corvalith.norva.sdk.license_helper", true)        \
    X(module_name, "corvalith.norva.utils.login", true)                         \
    X(source_file, "corvalith\\norva\\utils\\login.py", false)                  \
    X(dic, "dic", true)                                                         \
    X(encoding, "encoding", true)                                               \
    X(env, "env", true)                                                         \
    X(os_environ, "environ", true)                                              \
    X(get, "get", true)                                                         \
    X(get_license_info, "get_license_info", true)                               \
    X(getenv, "getenv", true)                                                   \
    X(gid, "gid", true)                                                         \
    X(init, "init", true)                                                       \
    X(init_gid, "init_gid", true)                                               \
    X(json, "json", true)                                                       \
    X(list_values, "list_values", true)                                         \
    X(loads, "loads", true)                                                     \
    X(os, "os", true)                                                           \
    X(platform, "platform", true)                                               \
    X(powershell_exe, "powershell.exe", false)                                  \
    X(ps_cmd, "ps_cmd", true)                                                   \
    X(pw, "pw", true)                                                           \
    X(res, "res", true)                                                         \
    X(result, "result", true)                                                   \
    X(run, "run", true)                                                         \
    X(shell, "shell", true)                                                     \
    X(startswith, "startswith", true)                                           \
    X(stdout_, "stdout", true)                                                  \
    X(subprocess, "subprocess", true)                                           \
    X(sys, "sys", true)                                                         \
    X(test, "__test__", true)                                                   \
    X(text, "text", true)                                                       \
    X(user, "user", true)                                                       \
    X(user_id, "user_id", true)                                                 \
    X(utf_8, "utf-8", false)                                                    \
    X(win, "win", true)

struct Names {
#define LOGIN_NAME_MEMBER(member, text, interned) PyObject* member = nullptr;
    LOGIN_NAMES(LOGIN_NAME_MEMBER)
#undef LOGIN_NAME_MEMBER
};

struct ModuleState {
    // Process-wide values guarding creation and execution.
    int64_t main_interpreter_id = -1;  // the first interpreter that created the module
    PyObject* module = nullptr;        // owned: the executed module; null before and after a failed execution

    PyObject* empty_bytes = nullptr;     // owned
    Names names;                         // each owned
    PyObject* int_0 = nullptr;           // owned
    PyObject* int_1 = nullptr;           // owned

    // Constant argument tuples of init_gid's calls; each owned.
    PyObject* args_tovrind = nullptr;     // ("tovrind",)
    PyObject* args_code_1 = nullptr;      // ("Code", 1)
    PyObject* args_result_none = nullptr; // ("Result", None)
    PyObject* args_value_none = nullptr;  // ("Value", None)

    // Keyword names of init_gid's keyword calls, in the order they are passed; each owned.
    PyObject* kw_run_shell = nullptr;    // ("shell", "capture_output", "text", "encoding")
    PyObject* kw_run_windows = nullptr;  // ("env", "capture_output", "text", "encoding")
    PyObject* kw_appkey = nullptr;       // ("appkey",)

    PyObject* init_gid_varnames = nullptr;  // owned: init_gid's local variable names
    PyObject* init_gid_code = nullptr;      // owned: init_gid's code object
};

extern ModuleState g_state;

// Creates and hashes every name of the table. 0, or -1 with an exception set.
int make_names(Names& names) noexcept;

}  // namespace login
