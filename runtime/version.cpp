#include "runtime/version.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>

namespace rt {

uint32_t parse_version(const char* text) noexcept {
    uint32_t value = 0;
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        uint32_t part = 0;
        while (*p >= '0' && *p <= '9') part = part * 10u + static_cast<uint32_t>(*p++ - '0');
        value += part << (24 - 8 * i);
        if (*p != '.') break;
        ++p;
    }
    return value;
}

int check_version_text(const char* text, int major, int minor, const char* module_name) noexcept {
    uint32_t runtime = parse_version(text);
    int runtime_major = static_cast<int>(runtime >> 24);
    int runtime_minor = static_cast<int>((runtime >> 16) & 0xFFu);
    if (runtime_major == major && runtime_minor == minor) return 0;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  major, minor, module_name, "does not match", runtime_major, runtime_minor);
    return PyErr_WarnEx(nullptr, message, 1);
}

int check_version(int major, int minor, const char* module_name) noexcept {
    return check_version_text(Py_GetVersion(), major, minor, module_name);
}

}  // namespace rt
