#include "corvalith/norva/utils/state.h"

namespace login {

ModuleState g_state;

namespace {

struct NameRow {
    PyObject** target;
    const char* text;
    Py_ssize_t size;       // including the terminator
    const char* encoding;  // null: UTF-8
    bool is_str;
    bool is_bytes;
    bool interned;
};

}  // namespace

int make_names(Names& names) noexcept {
    const NameRow rows[] = {
#define LOGIN_NAME_ROW(member, text, interned) {&names.member, text, sizeof(text), nullptr, true, false, interned},
        LOGIN_NAMES(LOGIN_NAME_ROW)
#undef LOGIN_NAME_ROW
    };
    for (const NameRow& row : rows) {
        PyObject* obj;
        if (row.is_bytes)  // GCOVR_EXCL_BR_LINE: no row of this module is bytes
            obj = PyBytes_FromStringAndSize(row.text, row.size - 1);
        else if (row.interned)
            obj = PyUnicode_InternFromString(row.text);
        else if (row.encoding)  // GCOVR_EXCL_BR_LINE: no row has an encoding
            obj = PyUnicode_Decode(row.text, row.size - 1, row.encoding, nullptr);
        else
            obj = PyUnicode_FromStringAndSize(row.text, row.size - 1);
        if (!obj) return -1;
        store(*row.target, obj);
        if (PyObject_Hash(obj) == -1) return -1;  // GCOVR_EXCL_BR_LINE: a str's hash never fails
    }
    return 0;
}

}  // namespace login
