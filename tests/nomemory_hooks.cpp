// Test helper: calls a Python callable with the interpreter's allocators made
// to fail from a given allocation on, and removes the failure the moment the
// call returns, before any code of the caller runs.
//
//   call(fn, start, stop[, traced]) -> (result, exception, allocations)
//   trace() -> [(kind, size), ...] of the last traced call
//
// Allocations are numbered from 0 in every domain (raw, mem, object) and
// counted from the call on; those numbered start <= N < stop fail (stop 0: no
// end; start -1: none). `result` is what fn returned (None when it raised),
// `exception` what it raised (None when it returned), `allocations` the
// number of allocation requests made during the call. A call that returns
// NULL without an exception gives the exception LostError. A traced call
// also records each request (kind 0 malloc, 1 calloc, 2 realloc, and the
// size asked for; a failed request too), up to kTraceLength of them, in a
// buffer of its own that the allocators never see.
//
// An interpreter that cannot go on when every allocation fails may retry
// forever; after kEndless consecutive failures the process ends with status
// kEndlessStatus and says so on its standard error.
//
//   watch(text)
//
// From then on, a fatal signal (a crash, an abort) first writes to standard
// error the line "nomemory_hooks fault: mapped yes" or "... mapped no":
// whether a file whose path holds `text` was mapped into the process when it
// died (that is, whether that extension's code had been loaded), then goes
// on to the handler that was there before (the fault handler's dump).
// Where there is no fork, there is nothing to watch: watch does nothing.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>

#if defined(_WIN32)
#include <io.h>
#define HOOKS_WRITE _write
#else
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#define HOOKS_WRITE write
#endif

namespace {

constexpr long long kEndless = 10000;
constexpr int kEndlessStatus = 86;
constexpr size_t kTraceLength = 1 << 17;

struct Request {
    unsigned char kind;
    size_t size;
};

struct Hooks {
    PyMemAllocatorEx saved[3];
    long long count = 0;
    long long start = -1;
    long long stop = 0;
    long long failed_in_a_row = 0;
    Request* trace = nullptr;  // while a traced call runs
    size_t traced = 0;
};
Hooks g_hooks;
PyObject* g_lost_error = nullptr;
Request* g_trace = nullptr;  // the buffer, kept for the process
size_t g_traced = 0;         // requests the last traced call recorded

const PyMemAllocatorDomain kDomains[3] = {PYMEM_DOMAIN_RAW, PYMEM_DOMAIN_MEM, PYMEM_DOMAIN_OBJ};

bool should_fail(unsigned char kind, size_t size) {
    if (g_hooks.trace && g_hooks.traced < kTraceLength)
        g_hooks.trace[g_hooks.traced++] = Request{kind, size};
    long long n = g_hooks.count++;
    bool fail = g_hooks.start >= 0 && n >= g_hooks.start && (g_hooks.stop <= 0 || n < g_hooks.stop);
    if (!fail) {
        g_hooks.failed_in_a_row = 0;
        return false;
    }
    if (++g_hooks.failed_in_a_row >= kEndless) {
        static const char text[] = "nomemory_hooks: endless allocation failures\n";
        (void)!HOOKS_WRITE(2, text, sizeof text - 1);
        std::_Exit(kEndlessStatus);
    }
    return true;
}

void* hook_malloc(void* ctx, size_t size) {
    auto* a = static_cast<PyMemAllocatorEx*>(ctx);
    return should_fail(0, size) ? nullptr : a->malloc(a->ctx, size);
}

void* hook_calloc(void* ctx, size_t n, size_t size) {
    auto* a = static_cast<PyMemAllocatorEx*>(ctx);
    return should_fail(1, n * size) ? nullptr : a->calloc(a->ctx, n, size);
}

void* hook_realloc(void* ctx, void* p, size_t size) {
    auto* a = static_cast<PyMemAllocatorEx*>(ctx);
    return should_fail(2, size) ? nullptr : a->realloc(a->ctx, p, size);
}

void hook_free(void* ctx, void* p) {
    auto* a = static_cast<PyMemAllocatorEx*>(ctx);
    a->free(a->ctx, p);
}

void install(long long start, long long stop) {
    g_hooks.count = 0;
    g_hooks.start = start;
    g_hooks.stop = stop;
    g_hooks.failed_in_a_row = 0;
    for (int i = 0; i < 3; ++i) {
        PyMem_GetAllocator(kDomains[i], &g_hooks.saved[i]);
        PyMemAllocatorEx hooked = {&g_hooks.saved[i], hook_malloc, hook_calloc, hook_realloc,
                                   hook_free};
        PyMem_SetAllocator(kDomains[i], &hooked);
    }
}

void remove_hooks() {
    for (int i = 0; i < 3; ++i) PyMem_SetAllocator(kDomains[i], &g_hooks.saved[i]);
}

PyObject* call(PyObject*, PyObject* args) {
    PyObject* fn;
    long long start, stop;
    int traced = 0;
    if (!PyArg_ParseTuple(args, "OLL|p", &fn, &start, &stop, &traced)) return nullptr;
    if (traced && !g_trace) {
        g_trace = static_cast<Request*>(std::malloc(kTraceLength * sizeof(Request)));
        if (!g_trace) return PyErr_NoMemory();
    }
    Py_INCREF(fn);
    g_hooks.traced = 0;
    g_hooks.trace = traced ? g_trace : nullptr;
    install(start, stop);
    PyObject* result = PyObject_CallObject(fn, nullptr);
    remove_hooks();
    g_hooks.trace = nullptr;
    g_traced = traced ? g_hooks.traced : 0;
    long long allocations = g_hooks.count;
    Py_DECREF(fn);
    PyObject* exc = nullptr;
    if (!result) {
        if (!PyErr_Occurred()) PyErr_SetString(g_lost_error, "NULL without an exception");
        PyObject *type, *tb;
        PyErr_Fetch(&type, &exc, &tb);
        PyErr_NormalizeException(&type, &exc, &tb);
        if (tb && exc) PyException_SetTraceback(exc, tb);
        Py_XDECREF(type);
        Py_XDECREF(tb);
    }
    PyObject* out = Py_BuildValue("(OOL)", result ? result : Py_None, exc ? exc : Py_None,
                                  allocations);
    Py_XDECREF(result);
    Py_XDECREF(exc);
    return out;
}

PyObject* trace(PyObject*, PyObject*) {
    PyObject* out = PyList_New(static_cast<Py_ssize_t>(g_traced));
    for (size_t i = 0; out && i < g_traced; ++i) {
        PyObject* item = Py_BuildValue("(in)", g_trace[i].kind, static_cast<Py_ssize_t>(g_trace[i].size));
        if (!item) Py_CLEAR(out);
        else PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), item);
    }
    return out;
}

#if !defined(_WIN32)
constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr size_t kWatchedLength = 512;
struct sigaction g_previous[sizeof kFatalSignals / sizeof kFatalSignals[0]];
char g_watched[kWatchedLength];
size_t g_watched_length = 0;

// Whether /proc/self/maps names the watched text, read with nothing but
// system calls (the process is in a signal handler).
bool watched_mapped() {
    int fd = open("/proc/self/maps", O_RDONLY);
    if (fd < 0) return false;
    static char buffer[65536];
    size_t kept = 0;  // the end of the last read, in case the text spans two
    bool found = false;
    while (!found) {
        ssize_t got = read(fd, buffer + kept, sizeof buffer - kept);
        if (got <= 0) break;
        size_t length = kept + static_cast<size_t>(got);
        for (size_t i = 0; !found && i + g_watched_length <= length; ++i)
            found = std::memcmp(buffer + i, g_watched, g_watched_length) == 0;
        kept = length < g_watched_length ? length : g_watched_length - 1;
        std::memmove(buffer, buffer + length - kept, kept);
    }
    close(fd);
    return found;
}

void on_fatal_signal(int signum, siginfo_t* info, void* context) {
    static const char yes[] = "nomemory_hooks fault: mapped yes\n";
    static const char no[] = "nomemory_hooks fault: mapped no\n";
    if (watched_mapped()) (void)!HOOKS_WRITE(2, yes, sizeof yes - 1);
    else (void)!HOOKS_WRITE(2, no, sizeof no - 1);
    for (size_t i = 0; i < sizeof kFatalSignals / sizeof kFatalSignals[0]; ++i) {
        if (kFatalSignals[i] != signum) continue;
        const struct sigaction& before = g_previous[i];
        sigaction(signum, &before, nullptr);
        if (before.sa_flags & SA_SIGINFO) {
            before.sa_sigaction(signum, info, context);
            return;
        }
        if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN) {
            before.sa_handler(signum);
            return;
        }
    }
    signal(signum, SIG_DFL);
    raise(signum);
}
#endif

PyObject* watch(PyObject*, PyObject* args) {
    const char* text;
    Py_ssize_t length;
    if (!PyArg_ParseTuple(args, "s#", &text, &length)) return nullptr;
#if !defined(_WIN32)
    if (length <= 0 || static_cast<size_t>(length) >= kWatchedLength)
        return PyErr_Format(PyExc_ValueError, "watch: 1 to %d bytes", int(kWatchedLength - 1));
    std::memcpy(g_watched, text, static_cast<size_t>(length));
    g_watched_length = static_cast<size_t>(length);
    static bool installed = false;  // a second watch changes the text only
    if (installed) Py_RETURN_NONE;
    installed = true;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = on_fatal_signal;
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < sizeof kFatalSignals / sizeof kFatalSignals[0]; ++i)
        if (sigaction(kFatalSignals[i], &action, &g_previous[i]) < 0) return PyErr_SetFromErrno(PyExc_OSError);
#endif
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"call", call, METH_VARARGS, nullptr},
    {"trace", trace, METH_NOARGS, nullptr},
    {"watch", watch, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "nomemory_hooks", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_nomemory_hooks(void) {
    PyObject* module = PyModule_Create(&module_def);
    if (!module) return nullptr;
    g_lost_error = PyErr_NewException("nomemory_hooks.LostError", nullptr, nullptr);
    Py_XINCREF(g_lost_error);  // one reference stays here, one goes to the module
    if (!g_lost_error || PyModule_AddObject(module, "LostError", g_lost_error) < 0 ||
        PyModule_AddIntConstant(module, "ENDLESS_STATUS", kEndlessStatus) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
