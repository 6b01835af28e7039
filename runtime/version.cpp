#include "runtime/version.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>

namespace rt {

unsigned long parse_version(const char* text) noexcept {
    unsigned long value = 0;
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        unsigned long part = 0;
        while (*p >= '0' && *p <= '9') part = part * 10 + static_cast<unsigned long>(*p++ - '0');
        value += part << (24 - 8 * i);
        if (*p != '.') break;
        ++p;
    }
    return value;
}

int check_version(int major, int minor, const char* module_name) noexcept {
    unsigned long runtime = parse_version(Py_GetVersion());
    unsigned long expected = (static_cast<unsigned long>(major) << 24) |
                             (static_cast<unsigned long>(minor) << 16);
    if ((runtime & ~0xFFFFUL) == expected) return 0;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  major, minor, module_name, "does not match",
                  static_cast<int>(runtime >> 24), static_cast<int>((runtime >> 16) & 0xFF));
    return PyErr_WarnEx(nullptr, message, 1);
}

}  // namespace rt
