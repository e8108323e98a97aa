// Reading the run configuration's target lists in hot loops: the getters are
// still called every time their values are needed, but the lookups around
// them and the membership tests on what they return are made cheap.
#pragma once

#include "prelude.hpp"

#include "container_ops.hpp"

namespace zyl {

// GZL.pc, looked up now through prepared names.
inline py::object pc_via(py::handle gzl_name, py::handle pc_name) {
    PyObject *gzl = PyObject_GetAttr(module_slot().ptr(), gzl_name.ptr());
    if (gzl == nullptr) throw py::error_already_set();
    PyObject *pc = PyObject_GetAttr(gzl, pc_name.ptr());
    Py_DECREF(gzl);
    if (pc == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(pc);
}

// `needle in container` for containers that a getter hands out again and
// again within one call.  The getter is still called each time; what is
// saved is the linear scan.  When the getter returns the very same exact
// list or tuple as last time, with the same length, and it holds only exact
// str items, a set built from it answers instead.  That is safe because:
// - for exact str items and an exact str needle, set membership and list
//   membership agree (str equality and hashing run no user code);
// - a tuple cannot change at all; the target lists are never edited in
//   place (every writer builds a new list and hands it to a setter, which
//   makes a new list again), so a list object seen earlier in the same call,
//   still at its length, still holds the same items;
// - the strong reference kept here stops the object from being freed and its
//   address reused by a different list.
// Anything else (a generator, a set, a str subclass, a mixed list) takes the
// container's own membership test, exactly as before.
class RepeatedMembership {
public:
    bool contains(py::handle container, py::handle needle) {
        PyObject *c = container.ptr();
        const bool sequence = PyList_CheckExact(c) || PyTuple_CheckExact(c);
        if (!sequence || !PyUnicode_CheckExact(needle.ptr())) return zyl::contains(c, needle);
        const Py_ssize_t length = Py_SIZE(c);
        if (c != source_.ptr() || length != length_) {
            source_ = py::reinterpret_borrow<py::object>(container);
            length_ = length;
            members_ = py::object();
            plain_ = true;
            return zyl::contains(c, needle);
        }
        if (!members_ && plain_) build();
        if (!members_) return zyl::contains(c, needle);
        return set_contains(members_, needle);
    }

private:
    void build() {
        PyObject *c = source_.ptr();
        PyObject **items = PySequence_Fast_ITEMS(c);
        py::set members;
        for (Py_ssize_t i = 0; i < length_; ++i) {
            if (!PyUnicode_CheckExact(items[i])) {
                plain_ = false;
                return;
            }
            set_add(members, items[i]);
        }
        members_ = std::move(members);
    }

    py::object source_;
    Py_ssize_t length_ = -1;
    py::object members_;
    bool plain_ = true;
};

}  // namespace zyl
