// The clamped cursor step of every list on screen, and which module entries
// the Targets panel lists.
#include "prelude.hpp"

#include "checked_arithmetic.hpp"
#include "configurator_state.hpp"
#include "driver.hpp"

#include <algorithm>

namespace zyl {

namespace {

// Steps clamp at both ends and never wrap, so a page step stops on the first
// or last row instead of jumping around.
long long move_cursor(long long index, long long delta, long long length) {
    if (length <= 0) return 0;
    return std::max(0LL, std::min(saturating_add(index, delta), length - 1));
}

// entry[key] as a truth value.  Entries are plain dicts, so a direct lookup
// serves them; anything else (or a missing key, for its KeyError) goes
// through __getitem__.
bool entry_flag(py::handle entry, py::handle key) {
    if (PyDict_CheckExact(entry.ptr())) {
        PyObject *value = PyDict_GetItemWithError(entry.ptr(), key.ptr());
        if (value != nullptr) return truthy(value);
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    py::object value = entry[key];
    return truthy(value.ptr());
}

}  // namespace

py::list visible_targets(const ConfiguratorState &state) {
    // Only the outermost restructured root's flag counts: entries name that
    // root in replaced_root, so a nested root's flag is never consulted.
    py::str in_replaced_key("in_replaced");
    py::str replaced_root_key("replaced_root");
    py::list result;
    for (py::handle entry : state.entries) {
        if (entry_flag(entry, in_replaced_key)) {
            py::object root = entry[replaced_root_key];
            PyObject *flag = PyDict_GetItemWithError(state.expanded_replaced.ptr(), root.ptr());
            if (flag == nullptr) {
                if (PyErr_Occurred()) throw py::error_already_set();
                continue;
            }
            if (!truthy(flag)) continue;
        }
        result.append(entry);
    }
    return result;
}

void register_cursor(py::module_ &m) {
    m.def("_move", &move_cursor, "index"_a, "delta"_a, "length"_a,
          "Index after a step of delta within length rows, clamped at both ends.");
}

}  // namespace zyl
