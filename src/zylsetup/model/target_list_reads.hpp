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
// saved is the linear scan.  When it hands out an exact list or tuple whose
// items are, right now, the very objects of the one seen last (same
// identities in the same order), all of them exact str, a set built from
// them answers instead.  That is safe because:
// - for exact str items and an exact str needle, set membership and list
//   membership agree (str equality and hashing run no user code);
// - the items are compared at every call, so a list edited in place since
//   the last one (by its getter, by another thread, by anyone; at the same
//   length or not) is read as it is now, and a new list with the same items
//   is answered from the set as well;
// - the copy of the items held here keeps each of them alive, so an address
//   that matches cannot be a different object in a freed one's place;
// - nothing between the comparison and the set lookup runs Python code or
//   lets another thread in.
// Anything else (a generator, a set, a str subclass, a mixed list) takes the
// container's own membership test, exactly as before.
class RepeatedMembership {
public:
    bool contains(py::handle container, py::handle needle) {
        PyObject *c = container.ptr();
        const bool sequence = PyList_CheckExact(c) || PyTuple_CheckExact(c);
        if (!sequence || !PyUnicode_CheckExact(needle.ptr())) return zyl::contains(c, needle);
        if (!holds_seen_items(c)) {
            seen_ = PyTuple_CheckExact(c) ? py::reinterpret_borrow<py::object>(container)
                                          : owned(PyList_AsTuple(c));
            members_ = py::object();
            plain_ = true;
            return zyl::contains(c, needle);
        }
        if (!members_ && plain_) build();
        if (!members_) return zyl::contains(c, needle);
        return set_contains(members_, needle);
    }

private:
    bool holds_seen_items(PyObject *c) const {
        if (!seen_) return false;
        if (c == seen_.ptr()) return true;  // the tuple itself
        const Py_ssize_t length = Py_SIZE(c);
        return length == PyTuple_GET_SIZE(seen_.ptr()) &&
               (length == 0 || std::memcmp(PySequence_Fast_ITEMS(c),
                                           PySequence_Fast_ITEMS(seen_.ptr()),
                                           static_cast<size_t>(length) * sizeof(PyObject *)) == 0);
    }

    void build() {
        PyObject *items = seen_.ptr();
        py::set members;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); ++i) {
            PyObject *item = PyTuple_GET_ITEM(items, i);
            if (!PyUnicode_CheckExact(item)) {
                plain_ = false;
                return;
            }
            set_add(members, item);
        }
        members_ = std::move(members);
    }

    py::object seen_;  // a tuple of the items last handed out
    py::object members_;
    bool plain_ = true;
};

}  // namespace zyl
