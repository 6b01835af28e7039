#include "runtime/protocol.h"

#include <cstring>

#include "runtime/compiler.h"

namespace rt {

namespace {

inline bool is_exception_class(PyObject* obj) noexcept {
    return PyType_Check(obj) &&
           PyType_FastSubclass(reinterpret_cast<PyTypeObject*>(obj), Py_TPFLAGS_BASE_EXC_SUBCLASS);
}

RT_COLD void raise_too_many_values() noexcept {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
}

RT_COLD void raise_need_more_values(Py_ssize_t count) noexcept {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count,
                 count == 1 ? "" : "s");
}

}  // namespace

int is_subtype(PyTypeObject* a, PyTypeObject* b) noexcept {
    if (a == b) return 1;
    PyObject* mro = compat::type_mro(a);
    if (mro) {
        Py_ssize_t n = PyTuple_GET_SIZE(mro);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (PyTuple_GET_ITEM(mro, i) == reinterpret_cast<PyObject*>(b)) return 1;
        return 0;
    }
    for (PyTypeObject* t = a; t; t = t->tp_base)
        if (t == b) return 1;
    return b == &PyBaseObject_Type;
}

int exception_matches(PyObject* type, PyObject* target) noexcept {
    if (type == target) return 1;
    if (is_exception_class(type)) {
        if (is_exception_class(target))
            return is_subtype(reinterpret_cast<PyTypeObject*>(type),
                              reinterpret_cast<PyTypeObject*>(target));
        if (PyTuple_Check(target)) {
            Py_ssize_t n = PyTuple_GET_SIZE(target);
            for (Py_ssize_t i = 0; i < n; ++i)
                if (PyTuple_GET_ITEM(target, i) == type) return 1;
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* item = PyTuple_GET_ITEM(target, i);
                if (is_exception_class(item) &&
                    is_subtype(reinterpret_cast<PyTypeObject*>(type),
                               reinterpret_cast<PyTypeObject*>(item)))
                    return 1;
            }
            return 0;
        }
    }
    return PyErr_GivenExceptionMatches(type, target);
}

int exception_matches_for_lookup(PyObject* type, PyObject* target) noexcept {
    if (!PyTuple_Check(target)) return exception_matches(type, target);
    Py_ssize_t n = PyTuple_GET_SIZE(target);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(target, i) == type) return 1;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (exception_matches(type, PyTuple_GET_ITEM(target, i))) return 1;
    return 0;
}

int finish_iteration() noexcept {
    PyObject* type = PyErr_Occurred();
    if (!type) return 0;
    if (exception_matches(type, PyExc_StopIteration)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

int str_equals_general(PyObject* a, PyObject* b) noexcept {
    if (a == b) return 1;
    bool a_str = Py_TYPE(a) == &PyUnicode_Type;
    bool b_str = Py_TYPE(b) == &PyUnicode_Type;
    if (a_str && b_str) {
        if (compat::str_make_ready(a) < 0 || compat::str_make_ready(b) < 0) return -1;
        Py_ssize_t length = PyUnicode_GET_LENGTH(a);
        if (length != PyUnicode_GET_LENGTH(b)) return 0;
        Py_hash_t ha = compat::str_cached_hash(a);
        Py_hash_t hb = compat::str_cached_hash(b);
        if (ha != hb && ha != -1 && hb != -1) return 0;
        int kind = PyUnicode_KIND(a);
        if (kind != static_cast<int>(PyUnicode_KIND(b))) return 0;
        const void* da = PyUnicode_DATA(a);
        const void* db = PyUnicode_DATA(b);
        if (PyUnicode_READ(kind, da, 0) != PyUnicode_READ(kind, db, 0)) return 0;
        if (length == 1) return 1;
        return std::memcmp(da, db, static_cast<size_t>(length) * kind) == 0;
    }
    if ((a == Py_None && b_str) || (b == Py_None && a_str)) return 0;
    PyObject* cmp = PyObject_RichCompare(a, b, Py_EQ);
    if (!cmp) return -1;
    int truth = is_true(cmp);
    Py_DECREF(cmp);
    return truth;
}

int equals_zero(PyObject* x, PyObject* zero) noexcept {
    if (x == zero) return 1;
    if (PyLong_CheckExact(x)) return compat::long_is_zero(x);
    if (PyFloat_CheckExact(x)) return PyFloat_AS_DOUBLE(x) == 0.0;
    PyObject* cmp = PyObject_RichCompare(x, zero, Py_EQ);
    if (!cmp) return -1;
    int truth = is_true(cmp);
    Py_DECREF(cmp);
    return truth;
}

PyObject* dict_item(PyObject* d, PyObject* key) noexcept {
    PyObject* value = PyDict_GetItemWithError(d, key);
    if (value) {
        Py_INCREF(value);
        return value;
    }
    if (PyErr_Occurred()) return nullptr;
    if (PyTuple_Check(key)) {
        PyObject* args = PyTuple_Pack(1, key);
        if (args) {
            PyErr_SetObject(PyExc_KeyError, args);
            Py_DECREF(args);
        }
    } else {
        PyErr_SetObject(PyExc_KeyError, key);
    }
    return nullptr;
}

int unpack2_general(PyObject* obj, Ref& first, Ref& second) noexcept {
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        Py_ssize_t size = Py_SIZE(obj);
        if (size != 2) {
            if (size > 2) raise_too_many_values();
            else raise_need_more_values(size);
            return -1;
        }
        PyObject** items = PyTuple_CheckExact(obj) ? &PyTuple_GET_ITEM(obj, 0)
                                                    : &PyList_GET_ITEM(obj, 0);
        first = Ref::borrow(items[0]);
        second = Ref::borrow(items[1]);
        return 0;
    }
    Ref iter = Ref::steal(PyObject_GetIter(obj));
    if (!iter) return -1;
    iternextfunc next = Py_TYPE(iter.get())->tp_iternext;
    Ref a = Ref::steal(next(iter.get()));
    Ref b;
    if (a) b = Ref::steal(next(iter.get()));
    if (!b) {
        Py_ssize_t got = a ? 1 : 0;
        iter.reset();
        if (finish_iteration() == 0) raise_need_more_values(got);
        return -1;
    }
    PyObject* extra = next(iter.get());
    if (extra) {
        Py_DECREF(extra);
        raise_too_many_values();
        return -1;
    }
    if (finish_iteration() < 0) return -1;
    first = std::move(a);
    second = std::move(b);
    return 0;
}

int Loop::start(PyObject* obj) noexcept {
    index_ = 0;
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        seq_ = Ref::borrow(obj);
        iternext_ = nullptr;
        return 0;
    }
    seq_ = Ref::steal(PyObject_GetIter(obj));
    if (!seq_) return -1;
    iternext_ = Py_TYPE(seq_.get())->tp_iternext;
    return 0;
}

int Loop::next(Ref& item) noexcept {
    PyObject* seq = seq_.get();
    if (!iternext_) {
        if (PyList_CheckExact(seq)) {
            if (index_ >= PyList_GET_SIZE(seq)) return 0;
            item = Ref::borrow(PyList_GET_ITEM(seq, index_));
        } else {
            if (index_ >= PyTuple_GET_SIZE(seq)) return 0;
            item = Ref::borrow(PyTuple_GET_ITEM(seq, index_));
        }
        ++index_;
        return 1;
    }
    PyObject* next = iternext_(seq);
    if (next) {
        item = Ref::steal(next);
        return 1;
    }
    return finish_iteration() == 0 ? 0 : -1;
}

PyObject* raise_unbound_local(const char* name) noexcept {
    PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", name);
    return nullptr;
}

}  // namespace rt
