// What differs between the CPython versions the runtime is built for, 3.8 to
// 3.13, and what the runtime uses of the interpreter beyond its public
// interface; the rest of the runtime and the module name no version and no
// interpreter internal.
//
// An interface that a newer version added is defined for the older ones in
// runtime/compat_names.h, under the name the newest version gives it. What
// has no such interface (the thread state's pending exception, the recursion
// guard, the proof that a dictionary is unchanged, a frame's line) is one
// small function here, with the version that changed it named beside each
// variant. The interpreter's private functions and the fields of its
// structures that the runtime reads are each behind one small function here,
// with the versions it holds for.
//
// The line between the two: code outside this file may use the documented
// interface, which includes PyObject and PyTypeObject with the type's slots
// (tp_call, tp_getattro, tp_iternext, ...), tp_flags, tp_name, tp_base and
// tp_basicsize, the fields of PyMethodDef, and PyCodeObject and PyFrameObject
// as the handles the documented functions take; and the runtime's own function
// record (runtime/function.h), whose layout is asserted here. Everything else
// of the interpreter's structures is read here only: any other object
// structure (PyCFunctionObject, PyASCIIObject, PyDictObject, PyLongObject,
// ...), the fields of the thread state, frames and code objects, and what the
// interpreter computes into a type (tp_mro, tp_version_tag, the dictionary and
// vector-call offsets). tests/test_sources.py checks the line. The functions
// that stand in for such reads are inline and as short as the read, so that
// the call paths cost what the read would.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstddef>
#include <cstdint>

#include "runtime/compat_names.h"

namespace rt {
namespace compat {

// ---- the interpreter's private functions and fields, the same 3.8 to 3.13 ----

// The hash a str caches once it is computed, -1 until then: the `hash` field
// of the PyASCIIObject head every str begins with (3.8 to 3.13).
inline Py_hash_t str_cached_hash(PyObject* s) noexcept {
    return reinterpret_cast<PyASCIIObject*>(s)->hash;
}

// dict[name] for a name whose hash is computed (every name the runtime is
// given is interned and hashed once), searched with that hash: borrowed, or
// null, with an exception when the search raised (a key's comparison).
// _PyDict_GetItem_KnownHash (3.8 to 3.13).
inline PyObject* dict_get_hashed(PyObject* dict, PyObject* name) noexcept {
    return _PyDict_GetItem_KnownHash(dict, name, str_cached_hash(name));
}

// The attribute `name` of the type `type` found along its MRO, borrowed, or
// null; runs no Python code and never raises. _PyType_Lookup (3.8 to 3.13).
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) noexcept {
    return _PyType_Lookup(type, name);
}

// The generic attribute read (PyObject_GenericGetAttr) where a missing
// attribute gives null with no exception set; any other failure is raised.
// _PyObject_GenericGetAttrWithDict with its suppress argument set (3.8 to 3.13).
inline PyObject* generic_getattr_noerror(PyObject* obj, PyObject* name) noexcept {
    return _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
}

// The slot of obj's instance dictionary, or null when its type has none. A
// positive tp_dictoffset places it in the object; a negative one (the end of
// a variable-size object, and from 3.11 a dictionary the interpreter manages)
// is resolved by _PyObject_GetDictPtr (3.8 to 3.13).
inline PyObject** instance_dict_slot(PyObject* obj) noexcept {
    Py_ssize_t offset = Py_TYPE(obj)->tp_dictoffset;
    if (offset > 0) return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
    return offset == 0 ? nullptr : _PyObject_GetDictPtr(obj);
}

// The type's version tag, meaningful while type_version_valid() below holds:
// tp_version_tag (3.8 to 3.13).
inline unsigned int type_version(PyTypeObject* type) noexcept {
    return type->tp_version_tag;
}

// The type's MRO, a tuple, borrowed; null until the type is readied
// (PyType_Ready fills it in). tp_mro (3.8 to 3.13; where 3.12 moved the
// dictionary and the subclasses of the interpreter's static types out of the
// type object, the MRO stayed in it).
inline PyObject* type_mro(PyTypeObject* type) noexcept {
    return type->tp_mro;
}

// The vector-call entry stored in `callable`, or null when its type offers
// none: the function pointer at tp_vectorcall_offset bytes into the object,
// present when the type has Py_TPFLAGS_HAVE_VECTORCALL (3.8 to 3.13). The
// interpreter's own PyVectorcall_Function is an exported function from 3.12,
// a call on every call made here.
inline vectorcallfunc vectorcall_entry(PyObject* callable) noexcept {
    PyTypeObject* type = Py_TYPE(callable);
    if (!PyType_HasFeature(type, Py_TPFLAGS_HAVE_VECTORCALL)) return nullptr;
    return *reinterpret_cast<vectorcallfunc*>(reinterpret_cast<char*>(callable) +
                                              type->tp_vectorcall_offset);
}

// ---- the built-in function object ------------------------------------------------

// The fields of a built-in function (PyCFunction_Type, its subclasses, and the
// function types that begin like it: begins_like_builtin_function() below),
// read through its layout, PyCFunctionObject, the same 3.8 to 3.13. The
// interpreter's PyCFunction_GET_* accessors assert the built-in type from
// 3.11, which a function type of another kind does not pass.

// Its method record (m_ml): the native entry and its calling convention.
inline PyMethodDef* builtin_function_def(PyObject* func) noexcept {
    return reinterpret_cast<PyCFunctionObject*>(func)->m_ml;
}

// The object its native entry receives first: m_self, or null for an entry
// marked METH_STATIC.
inline PyObject* builtin_function_receiver(PyObject* func) noexcept {
    PyCFunctionObject* f = reinterpret_cast<PyCFunctionObject*>(func);
    return (f->m_ml->ml_flags & METH_STATIC) ? nullptr : f->m_self;
}

// Its vector-call entry (vectorcall), null when calls go through tp_call.
inline vectorcallfunc builtin_function_vectorcall(PyObject* func) noexcept {
    return reinterpret_cast<PyCFunctionObject*>(func)->vectorcall;
}

// ---- layouts the shared function type depends on ---------------------------------

// True when the instance layout T begins with the built-in function object's
// (PyCFunctionObject, the same 3.8 to 3.13: m_ml, m_self, m_module,
// m_weakreflist, vectorcall) and its own fields start right after it, so that
// code reading built-in functions reads T too.
template <typename T>
constexpr bool begins_like_builtin_function() noexcept {
    return offsetof(T, m_ml) == offsetof(PyCFunctionObject, m_ml) &&
           offsetof(T, m_self) == offsetof(PyCFunctionObject, m_self) &&
           offsetof(T, m_module) == offsetof(PyCFunctionObject, m_module) &&
           offsetof(T, m_weakreflist) == offsetof(PyCFunctionObject, m_weakreflist) &&
           offsetof(T, vectorcall) == offsetof(PyCFunctionObject, vectorcall);
}

// The offset at which the fields of a layout that begins like the built-in
// function object's start.
constexpr size_t kBuiltinFunctionSize = sizeof(PyCFunctionObject);

// Type flags as every version gives them to a static type that asks for
// `flags`, without the bit whose place differs: until 3.9 Py_TPFLAGS_DEFAULT
// carries Py_TPFLAGS_HAVE_VERSION_TAG; 3.10 drops it (every type has a version
// tag).
constexpr unsigned long flags_beside_version_tag(unsigned long flags) noexcept {
    return flags & ~static_cast<unsigned long>(Py_TPFLAGS_HAVE_VERSION_TAG);
}

// ---- where the shared function type is registered ----------------------------

// The registry module under which modules of this kind share one function
// type. The registry compares only the instance size of a type it finds.
// 3.8: "_cython_3_0_12", where every type registered is the 3.8 layout that
//   all modules of this kind share.
// 3.9: other extension modules register types of layouts of their own, built
//   for the interpreter they run on, under "_cython_3_0_12", and such a type
//   can have this type's size and another layout: adopting it would hand this
//   module's objects to slot functions that read them differently. From 3.9
//   the type is shared under a registry name of this layout's own, so the
//   modules of this kind still share one type, a foreign registration never
//   stops the import, and no foreign type is ever adopted.
#if PY_VERSION_HEX < 0x03090000
constexpr const char kFunctionTypeRegistry[] = "_cython_3_0_12";
#else
constexpr const char kFunctionTypeRegistry[] = "_cython_3_0_12_cfunction_layout";
#endif

// ---- making a static type ready -------------------------------------------------

// PyType_Ready for the runtime's static types.
// 3.13: PyType_Ready adds the descriptors of tp_methods, tp_members and
//   tp_getset with PyDict_SetDefaultRef, and in 3.13.0 an insertion that
//   fails to grow the dictionary still counts the entry and reports success:
//   the type's dictionary is left with an entry of garbage, which the next
//   growth of it reads (a crash). The descriptors are put in the type's
//   dictionary here first, with PyDict_SetItem, which reports the failure;
//   PyType_Ready then finds each name in place and inserts none of them.
//   The one difference a caller sees is the order of the type's __dict__:
//   the descriptors come before the slot wrappers.
#if PY_VERSION_HEX >= 0x030D0000
int type_ready(PyTypeObject* type) noexcept;
#else
inline int type_ready(PyTypeObject* type) noexcept {
    return PyType_Ready(type);
}
#endif

// ---- the pending exception ---------------------------------------------------

// 3.12: the thread state holds one raised exception (current_exception) in
// place of the triple curexc_type, curexc_value, curexc_traceback. Before
// 3.12 the triple is moved in and out of the thread state directly, exactly
// as it stands (no normalisation); from 3.12 the one exception is moved with
// PyErr_GetRaisedException and PyErr_SetRaisedException, which do the same.
#if PY_VERSION_HEX < 0x030C0000
struct PendingError {
    PyObject* type;
    PyObject* value;
    PyObject* tb;
};

// Takes the pending exception out of `tstate` (the current thread's state),
// leaving no exception pending.
inline PendingError take_pending(PyThreadState* tstate) noexcept {
    PendingError e{tstate->curexc_type, tstate->curexc_value, tstate->curexc_traceback};
    tstate->curexc_type = nullptr;
    tstate->curexc_value = nullptr;
    tstate->curexc_traceback = nullptr;
    return e;
}

// Makes `e` the pending exception of `tstate` again, releasing whatever is
// pending there now.
inline void put_back(PyThreadState* tstate, const PendingError& e) noexcept {
    PyObject* type = tstate->curexc_type;
    PyObject* value = tstate->curexc_value;
    PyObject* tb = tstate->curexc_traceback;
    tstate->curexc_type = e.type;
    tstate->curexc_value = e.value;
    tstate->curexc_traceback = e.tb;
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
}

inline void release(const PendingError& e) noexcept {
    Py_XDECREF(e.type);
    Py_XDECREF(e.value);
    Py_XDECREF(e.tb);
}
#else
struct PendingError {
    PyObject* exc;
};

inline PendingError take_pending(PyThreadState*) noexcept {
    return {PyErr_GetRaisedException()};
}

inline void put_back(PyThreadState*, const PendingError& e) noexcept {
    PyErr_SetRaisedException(e.exc);
}

inline void release(const PendingError& e) noexcept {
    Py_XDECREF(e.exc);
}
#endif

// ---- the recursion guard -------------------------------------------------------

// The interpreter's Py_EnterRecursiveCall and Py_LeaveRecursiveCall, with the
// same count, limit and RecursionError, for the thread state `tstate` read
// once by the caller. True when the guard refuses (the error is then set).
//
// 3.8: a macro over tstate->recursion_depth and the exported limit.
// 3.9, 3.10: the limit moved into the interpreter's internal state, so the
//   guard is the exported function itself.
// 3.11: a count of the calls remaining, tstate->recursion_remaining.
// 3.12: native calls are counted apart from Python ones, in
//   tstate->c_recursion_remaining.
// 3.13: the same count, refused only once it would go below zero.
// From 3.11 the count is a public field of the thread state. While it leaves
// room the guard only counts, as the interpreter's own inline guard does;
// at the limit it hands over to Py_EnterRecursiveCall, which counts, decides
// and raises as always. Entering Py_EnterRecursiveCall on every call instead
// would cost a function call on each call the module makes.
#if PY_VERSION_HEX >= 0x030B0000
inline int& recursion_room(PyThreadState* tstate) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return tstate->recursion_remaining;
#else
    return tstate->c_recursion_remaining;
#endif
}

// The lowest count at which the interpreter's guard still only counts.
constexpr int kRecursionRoomFloor = PY_VERSION_HEX < 0x030D0000 ? 1 : 0;
#endif

inline bool enter_recursive_call(PyThreadState* tstate, const char* where) noexcept {
#if PY_VERSION_HEX < 0x03090000
    return _Py_MakeRecCheck(tstate->recursion_depth) && _Py_CheckRecursiveCall(where);
#elif PY_VERSION_HEX < 0x030B0000
    (void)tstate;
    return Py_EnterRecursiveCall(where) != 0;
#else
    int& room = recursion_room(tstate);
    if (room >= kRecursionRoomFloor) {
        --room;
        return false;
    }
    return Py_EnterRecursiveCall(where) != 0;
#endif
}

inline void leave_recursive_call(PyThreadState* tstate) noexcept {
#if PY_VERSION_HEX < 0x03090000
    if (_Py_MakeEndRecCheck(tstate->recursion_depth)) tstate->overflowed = 0;
#elif PY_VERSION_HEX < 0x030B0000
    (void)tstate;
    Py_LeaveRecursiveCall();
#else
    ++recursion_room(tstate);
#endif
}

// ---- proof that a dictionary is unchanged ----------------------------------

// A DictVersion taken of a dictionary equals the one taken later only when the
// dictionary is the same one and nothing changed it in between.
//
// Before 3.12 this is the dictionary's ma_version_tag: every dictionary is
// given a fresh tag from one counter when it is made and at every change, and
// a tag is never 0.
// 3.12 deprecated ma_version_tag for dictionary watchers (PyDict_AddWatcher):
// a dictionary is watched when its version is first taken, every event on a
// watched dictionary (an item added, changed or deleted, the dictionary
// cleared, cloned or freed) advances one generation counter, and a version is
// the dictionary's identity with the generation at which it was taken. The
// event arrives before the change is made, and a freed dictionary advances
// the generation before its address can be reused. A dictionary that cannot
// be watched (the interpreter's watcher slots are all taken) gets a version
// that never compares equal, so nothing is remembered of it.
#if PY_VERSION_HEX < 0x030C0000
using DictVersion = uint64_t;

inline DictVersion dict_version(PyObject* dict) noexcept {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

inline bool dict_unchanged(PyObject* dict, const DictVersion& version) noexcept {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag == version;
}
#else
struct DictVersion {
    PyObject* dict = nullptr;  // identity only; null never matches
    uint64_t generation = 0;
};

// Advanced by every event on a watched dictionary.
extern uint64_t g_dict_generation;

// Watches `dict` (an exact dict) and returns its version, or one that never
// matches when it cannot be watched. Called with no exception pending; never
// raises.
DictVersion dict_version(PyObject* dict) noexcept;

inline bool dict_unchanged(PyObject* dict, const DictVersion& version) noexcept {
    return version.dict == dict && version.generation == g_dict_generation;
}
#endif

// True when every change to the instance dictionary of an object of `type`
// is a change that DictVersion sees. 3.13: an object whose type keeps its
// attributes inline (Py_TPFLAGS_INLINE_VALUES) shares them with its
// dictionary once one is made, and an attribute stored on the object goes
// straight into those values, telling neither the dictionary's watchers nor
// its version tag; nothing is remembered of such a dictionary.
inline bool instance_dict_changes_seen(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX < 0x030D0000
    (void)type;
    return true;
#else
    return !PyType_HasFeature(type, Py_TPFLAGS_INLINE_VALUES);
#endif
}

// ---- type version tags -----------------------------------------------------------

// True when `type` has a valid version tag: one that any change to the type
// or its bases replaces. 3.13: Py_TPFLAGS_VALID_VERSION_TAG is no longer set;
// a tag is valid when it is not 0, and a change resets it to 0.
inline bool type_version_valid(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX < 0x030D0000
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
#else
    return type->tp_version_tag != 0;
#endif
}

// ---- the module type's attribute read -----------------------------------------

// What the module type's attribute read does with an error raised while it
// looks for the module's __getattr__ in the module dictionary (a key whose
// comparison raises). 3.10: the error is passed on. 3.8 and 3.9 ignore it and
// end in AttributeError, as for a module without the hook.
constexpr bool kModuleHookSearchErrorsPass = PY_VERSION_HEX >= 0x030A0000;

// ---- objects whose representation changed --------------------------------------

// 3.12: every str is ready; PyUnicode_READY and PyUnicode_IS_READY are
// deprecated and do nothing.
inline bool str_is_ready(PyObject* s) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_IS_READY(s);
#else
    (void)s;
    return true;
#endif
}

// 0, or -1 with an exception set.
inline int str_make_ready(PyObject* s) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(s);
#else
    (void)s;
    return 0;
#endif
}

// True when the exact int `x` is zero. 3.12: an int's size and sign moved out
// of ob_size into a tag read through PyUnstable_Long_IsCompact and
// PyUnstable_Long_CompactValue.
inline bool long_is_zero(PyObject* x) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return Py_SIZE(x) == 0;
#else
    PyLongObject* v = reinterpret_cast<PyLongObject*>(x);
    return PyUnstable_Long_IsCompact(v) && PyUnstable_Long_CompactValue(v) == 0;
#endif
}

// Sets the line a new, unstarted frame reports. 3.11: frames are opaque and
// their line comes from the code object alone; a frame that has not started
// reports its code object's first line, which the traceback entries make
// equal to the line they report, so nothing is set.
inline void set_frame_line(PyFrameObject* frame, int line) noexcept {
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lineno = line;
#else
    (void)frame;
    (void)line;
#endif
}

}  // namespace compat
}  // namespace rt
