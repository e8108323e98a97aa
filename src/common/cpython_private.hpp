// Every call into CPython's private API (names with a leading underscore,
// type internals) that either module makes goes through this header and
// nowhere else.  Each wrapper says what it is for and the CPython versions it
// was built and tested against; all of them serve a shortcut only, with a
// plain route beside it.
#pragma once

#include <Python.h>

namespace zyl::cpython {

// --- zylstrip: the converted layer's forward pass --------------------------
//
// The shortcuts of the forward pass tell from a class what reading an
// attribute, indexing a torch container or calling a tensor method would run,
// and compare that with what torch defines, before skipping the
// interpreter's detour.  Built against CPython 3.9 to 3.13.

// What the class (or a base, in method resolution order) defines under
// `name`, as attribute lookup finds it, without running any descriptor:
// borrowed, or nullptr (no error set).  _PyType_Lookup, 3.9-3.13.
inline PyObject *type_lookup(PyTypeObject *type, PyObject *name) { return _PyType_Lookup(type, name); }

// A number that changes whenever the class or one of its bases changes,
// never reused; 0 when the interpreter gives the class none now.  Lets a
// verdict on a class be remembered until the class changes.  tp_version_tag
// and Py_TPFLAGS_VALID_VERSION_TAG (gone in 3.13, where a tag of 0 says the
// same), 3.9-3.13.
inline unsigned int type_version(PyTypeObject *type) {
#ifdef Py_TPFLAGS_VALID_VERSION_TAG
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
    return type->tp_version_tag;
}

// The C definition behind a method descriptor of a built-in class, and
// behind a built-in bound method: equal when the bound method was made from
// that descriptor.  PyMethodDescrObject.d_method and PyCFunctionObject.m_ml,
// 3.9-3.13.
inline PyMethodDef *descriptor_method(PyObject *descriptor) {
    return reinterpret_cast<PyMethodDescrObject *>(descriptor)->d_method;
}

inline PyMethodDef *builtin_method(PyObject *function) {
    return reinterpret_cast<PyCFunctionObject *>(function)->m_ml;
}

// --- zylsetup ------------------------------------------------------------

// Whether str.isprintable() holds for the one character `c`: the test repr
// makes to leave a character as it is or escape it.  Py_UNICODE_ISPRINTABLE
// expands to the private _PyUnicode_IsPrintable.  Built against CPython 3.9
// to 3.13.
inline bool is_printable(Py_UCS4 c) { return Py_UNICODE_ISPRINTABLE(c) != 0; }

// An empty dict with room for `expected` items, so that filling it with one
// mode record per module does not rehash it again and again on large
// networks.  _PyDict_NewPresized is private and no longer exported from
// 3.13 on, where a plain new dict is made instead.  Built against CPython
// 3.9 to 3.13.
inline PyObject *new_presized_dict(Py_ssize_t expected) {
#if PY_VERSION_HEX < 0x030D0000
    return _PyDict_NewPresized(expected);
#else
    (void)expected;
    return PyDict_New();
#endif
}

// The cycle collector's care of one object, taken away and given back by
// hand, and whether anything besides the caller's own reference holds it.
// The calls are public, but which objects the collector may safely lose
// sight of, and for how long, is the interpreter's own business, hence here.
// PyObject_GC_Track of an object already tracked is a fatal error, so both
// look first.  Built against CPython 3.9 to 3.13.
inline bool is_tracked(PyObject *object) { return PyObject_GC_IsTracked(object) != 0; }

inline void untrack(PyObject *object) {
    if (is_tracked(object)) PyObject_GC_UnTrack(object);
}

inline void track(PyObject *object) {
    if (!is_tracked(object)) PyObject_GC_Track(object);
}

inline bool held_elsewhere(PyObject *object) { return Py_REFCNT(object) > 1; }

}  // namespace zyl::cpython
