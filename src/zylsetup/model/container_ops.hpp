// Membership and filtering on Python containers with the interpreter's own
// semantics (its equality, its hashing, its exceptions), for the target lists.
#pragma once

#include "prelude.hpp"

namespace zyl {

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
