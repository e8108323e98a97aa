// Membership and filtering on Python containers with the interpreter's own
// semantics (its equality, its hashing, its exceptions), for the target lists.
#pragma once

#include "prelude.hpp"

namespace zyl {

// A key or attribute name for a hot loop: interned, its hash computed once,
// instead of a fresh text object made and hashed at every lookup.
inline py::str interned(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (name == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(name);
}

// container[key], without the detour through the generic protocol for a
// plain dict that holds the key; a miss takes the generic path so the error
// is the container's own.
inline py::object item(py::handle container, py::handle key) {
    if (PyDict_CheckExact(container.ptr())) {
        PyObject *found = PyDict_GetItemWithError(container.ptr(), key.ptr());
        if (found != nullptr) return py::reinterpret_borrow<py::object>(found);
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    PyObject *value = PyObject_GetItem(container.ptr(), key.ptr());
    if (value == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

// `needle in haystack`: the container's own test; a generator is consumed.
inline bool contains(py::handle haystack, py::handle needle) {
    int hit = PySequence_Contains(haystack.ptr(), needle.ptr());
    if (hit < 0) throw py::error_already_set();
    return hit == 1;
}

inline bool set_contains(py::handle set, py::handle value) {
    int hit = PySet_Contains(set.ptr(), value.ptr());
    if (hit < 0) throw py::error_already_set();
    return hit == 1;
}

inline void set_add(py::handle set, py::handle value) {
    if (PySet_Add(set.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

// list(values): a new list even when `values` already is one.
inline py::list fresh_list(py::handle values) {
    PyObject *copy = PySequence_List(values.ptr());
    if (copy == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(copy);
}

// [v for v in values if v != unwanted]
inline py::list without(py::handle values, py::handle unwanted) {
    py::list out;
    for (py::handle value : values) {
        int differs = PyObject_RichCompareBool(value.ptr(), unwanted.ptr(), Py_NE);
        if (differs < 0) throw py::error_already_set();
        if (differs) out.append(value);
    }
    return out;
}

}  // namespace zyl
