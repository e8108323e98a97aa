#include "prelude.hpp"

#include "record_tracking.hpp"

#include "cpython_private.hpp"

#include <vector>

namespace zyl::record_tracking {

namespace {

struct Kept {
    PyObject *record;  // a reference of our own
    bool seen_held;    // still held by a caller at an earlier resolution
};

// Only touched with the GIL held.
std::vector<Kept> &kept() {
    static std::vector<Kept> records;
    return records;
}

// Lets go of every kept record that no one else holds; one still held is
// tracked again and let go when `all` is set or it was already held at an
// earlier resolution.
void settle(bool all) {
    std::vector<Kept> mine;
    mine.swap(kept());
    std::vector<Kept> still;
    for (Kept &k : mine) {
        if (cpython::held_elsewhere(k.record) && !cpython::is_tracked(k.record) && !all &&
            !k.seen_held) {
            k.seen_held = true;
            still.push_back(k);
            continue;
        }
        if (cpython::held_elsewhere(k.record)) cpython::track(k.record);
        // Freeing a record can run a finaliser of something a caller wrote
        // into it, and that can resolve again: the list is ours alone here.
        Py_DECREF(k.record);
    }
    std::vector<Kept> &now = kept();
    now.insert(now.end(), still.begin(), still.end());
}

// gc.callbacks entry: before every full collection, the records go back into
// the collector's care.
void before_collection(py::handle phase, py::handle info) {
    if (!PyUnicode_CheckExact(phase.ptr()) || !equals_ascii(phase, "start")) return;
    if (!PyDict_Check(info.ptr())) return;
    PyObject *generation = PyDict_GetItemString(info.ptr(), "generation");
    if (generation == nullptr || !PyLong_Check(generation)) return;
    if (PyLong_AsLong(generation) == 2) settle(true);
}

struct Hook {
    py::object gc;
    py::object callback;
};

const Hook &hook() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<Hook> storage;
    return storage
        .call_once_and_store_result([] {
            Hook h{py::module_::import("gc"), py::cpp_function(&before_collection)};
            h.gc.attr("callbacks").attr("append")(h.callback);
            return h;
        })
        .get_stored();
}

}  // namespace

bool begin_resolution() {
    settle(false);
    const Hook &h = hook();
    py::object callbacks = h.gc.attr("callbacks");
    if (!PyList_Check(callbacks.ptr())) return false;
    for (py::handle callback : py::reinterpret_borrow<py::list>(callbacks)) {
        if (callback.is(h.callback)) return true;
    }
    return false;
}

void hand_out(py::handle record, std::initializer_list<py::handle> values, py::handle overridden) {
    if (!PyDict_CheckExact(record.ptr()) || !PyDict_CheckExact(overridden.ptr()) ||
        cpython::is_tracked(overridden.ptr())) {
        return;
    }
    for (py::handle value : values) {
        if (PyObject_IS_GC(value.ptr())) return;
    }
    kept().push_back({py::reinterpret_borrow<py::object>(record).release().ptr(), false});
    cpython::untrack(record.ptr());
}

}  // namespace zyl::record_tracking
