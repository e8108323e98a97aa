// Every call into CPython's private API (names with a leading underscore,
// type internals) that either module makes goes through this header and
// nowhere else.  Each wrapper says what it is for and the CPython versions it
// was built and tested against; all of them serve a shortcut only, with a
// plain route beside it.
#pragma once

#include <Python.h>

namespace zyl::cpython {

// --- zylsetup ------------------------------------------------------------

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

// Takes a container that can hold only texts and other such containers out
// of the cycle collector's care by hand.  The mode records of a frame are
// such dicts: thousands outlive each frame, and tracked they trigger a full
// collection of the whole network every few frames.  Untracked they are
// still freed by reference counting; a later write of a container into one
// tracks it again.  The calls are public, but which objects the collector
// may safely lose sight of is the interpreter's own business, hence here.
// Built against CPython 3.9 to 3.13.
inline void untrack_acyclic(PyObject *container) {
    if (PyObject_GC_IsTracked(container)) PyObject_GC_UnTrack(container);
}

}  // namespace zyl::cpython
