// The Targets panel's edits of the target lists.  Each is written into the
// run configuration at once; the next loop pass resolves the modes again.
#include "prelude.hpp"

#include "container_ops.hpp"
#include "model.hpp"

namespace zyl {

namespace {

bool equals_text(py::handle value, const char *text) {
    int same = PyObject_RichCompareBool(value.ptr(), py::str(text).ptr(), Py_EQ);
    if (same < 0) throw py::error_already_set();
    return same == 1;
}

struct ListAccessors {
    const char *get_zylate, *get_track, *set_zylate, *set_track;
};

constexpr ListAccessors id_lists{"get_module_ids_to_zylate", "get_module_ids_to_track",
                                 "set_module_ids_to_zylate", "set_module_ids_to_track"};
constexpr ListAccessors name_lists{"get_module_names_to_zylate", "get_module_names_to_track",
                                   "set_module_names_to_zylate", "set_module_names_to_track"};

// A toggle: the mode a key already gave is taken away by the same key, and
// the other mode's key moves the item across, so no item stays in both.
void toggle_mode(const ListAccessors &lists, py::handle item, py::handle mode) {
    py::list zylate = call("dedupe_list", pc().attr(lists.get_zylate)());
    py::list track = call("dedupe_list", pc().attr(lists.get_track)());

    auto toggle = [&](py::list &own, py::list &other) {
        if (contains(own, item)) {
            own = without(own, item);
        } else {
            own.append(item);
            other = without(other, item);
        }
    };
    if (equals_text(mode, "zylated")) {
        toggle(zylate, track);
    } else if (equals_text(mode, "tracked")) {
        toggle(track, zylate);
    }

    pc().attr(lists.set_zylate)(zylate);
    pc().attr(lists.set_track)(track);
}

void set_module_id_mode(py::handle module_id, py::handle mode) {
    toggle_mode(id_lists, module_id, mode);
}

void set_module_name_mode(py::handle module_type_name, py::handle mode) {
    toggle_mode(name_lists, module_type_name, mode);
}

bool in_either_list(const ListAccessors &lists, py::handle item) {
    return contains(pc().attr(lists.get_zylate)(), item) ||
           contains(pc().attr(lists.get_track)(), item);
}

// The module's own id mode goes first; its class's type rule, which reaches
// every module of that class, only on a later call.
py::object clear_module_mode(py::handle entry) {
    py::object module_id = entry["id"];
    py::object type_name = entry["type_name"];

    py::list ids_zylate = without(pc().attr(id_lists.get_zylate)(), module_id);
    py::list ids_track = without(pc().attr(id_lists.get_track)(), module_id);
    if (in_either_list(id_lists, module_id)) {
        pc().attr(id_lists.set_zylate)(ids_zylate);
        pc().attr(id_lists.set_track)(ids_track);
        return py::str("cleared ") + module_id;
    }

    if (in_either_list(name_lists, type_name)) {
        pc().attr(name_lists.set_zylate)(without(pc().attr(name_lists.get_zylate)(), type_name));
        pc().attr(name_lists.set_track)(without(pc().attr(name_lists.get_track)(), type_name));
        return py::str("cleared the ") + type_name + py::str(" type rule");
    }

    return py::str("nothing to clear on this module");
}

}  // namespace

void register_mode_edits(py::module_ &m) {
    m.def("set_module_id_mode", &set_module_id_mode, "module_id"_a, "mode"_a,
          "Toggle the mode of one module id; the other mode's list gives the id up.");
    m.def("set_module_name_mode", &set_module_name_mode, "module_type_name"_a, "mode"_a,
          "Toggle the type rule of a class name; the other mode's list gives it up.");
    m.def("clear_module_mode", &clear_module_mode, "entry"_a,
          "Remove the module's own id mode, or else its class's type rule; returns the "
          "status message.");
}

}  // namespace zyl
