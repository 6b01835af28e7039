#include "corvalith/norva/utils/state.h"

#include "runtime/ref.h"

namespace login {

ModuleState g_state;

namespace {

struct NameRow {
    PyObject** target;
    const char* text;
    Py_ssize_t size;  // including the terminator
    bool interned;
};

}  // namespace

int make_names(Names& names) noexcept {
    const NameRow rows[] = {
#define LOGIN_NAME_ROW(member, text, interned) {&names.member, text, sizeof(text), interned},
        LOGIN_NAMES(LOGIN_NAME_ROW)
#undef LOGIN_NAME_ROW
    };
    for (const NameRow& row : rows) {
        PyObject* obj = row.interned ? PyUnicode_InternFromString(row.text)
                                     : PyUnicode_FromStringAndSize(row.text, row.size - 1);
        if (!obj) return -1;
        rt::replace(*row.target, rt::Ref::steal(obj));
        if (PyObject_Hash(obj) == -1) return -1;  // GCOVR_EXCL_BR_LINE: a str's hash never fails
    }
    return 0;
}

}  // namespace login
