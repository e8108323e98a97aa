// The four target lists of the run configuration, kept free of duplicates and
// of conflicts, and turned into one effective mode per module.
#include "prelude.hpp"

#include "container_ops.hpp"
#include "model.hpp"

#include <vector>

namespace zyl {

namespace {

py::list dedupe_list(py::handle values) {
    py::list out;
    py::set seen;
    for (py::handle value : values) {
        if (set_contains(seen, value)) continue;
        set_add(seen, value);
        out.append(value);
    }
    return out;
}

// A new list of the items of `track` that `zylate` does not hold: zylation
// wins a conflict, and the track list keeps its order.
py::list without_overlap(py::handle track, py::handle zylate) {
    py::set zylate_set(py::reinterpret_borrow<py::object>(zylate));
    py::list out;
    for (py::handle value : track) {
        if (!set_contains(zylate_set, value)) out.append(value);
    }
    return out;
}

void normalize_selection_conflicts() {
    py::object ids_zylate = call("dedupe_list", pc().attr("get_module_ids_to_zylate")());
    py::object ids_track = call("dedupe_list", pc().attr("get_module_ids_to_track")());
    py::object names_zylate = call("dedupe_list", pc().attr("get_module_names_to_zylate")());
    py::object names_track = call("dedupe_list", pc().attr("get_module_names_to_track")());

    // Fresh lists every time, so the configuration never shares a list with
    // whatever its getter handed out.
    py::list new_ids_zylate = fresh_list(ids_zylate);
    py::list new_ids_track = without_overlap(ids_track, ids_zylate);
    py::list new_names_zylate = fresh_list(names_zylate);
    py::list new_names_track = without_overlap(names_track, names_zylate);

    pc().attr("set_module_ids_to_zylate")(new_ids_zylate);
    pc().attr("set_module_ids_to_track")(new_ids_track);
    pc().attr("set_module_names_to_zylate")(new_names_zylate);
    pc().attr("set_module_names_to_track")(new_names_track);
}

// The zylate list is consulted first, so an item listed in both modes reads
// as zylated even before the lists are normalised.
py::object mode_in_lists(py::handle item, const char *zylate_getter, const char *track_getter) {
    if (contains(pc().attr(zylate_getter)(), item)) return py::str("zylated");
    if (contains(pc().attr(track_getter)(), item)) return py::str("tracked");
    return py::none();
}

py::object get_id_mode(py::handle module_id) {
    return mode_in_lists(module_id, "get_module_ids_to_zylate", "get_module_ids_to_track");
}

py::object get_name_mode(py::handle module_type_name) {
    return mode_in_lists(module_type_name, "get_module_names_to_zylate",
                         "get_module_names_to_track");
}

py::object dict_item_or_null(py::handle dict, py::handle key) {
    PyObject *found = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (found == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::object();
    }
    return py::reinterpret_borrow<py::object>(found);
}

py::dict resolve_entry_modes(py::handle entries) {
    // Taken once, so the entries may be any iterable: the index needs a pass
    // of its own before the resolution pass.
    const py::str key_id = interned("id"), key_type_name = interned("type_name");
    std::vector<py::object> listed;
    py::set known_ids;
    for (py::handle entry : entries) {
        listed.push_back(py::reinterpret_borrow<py::object>(entry));
        set_add(known_ids, item(entry, key_id));
    }

    const py::str key_eff = interned("eff"), key_source = interned("source"),
                  key_origin = interned("origin_id"), key_overridden = interned("overridden"),
                  key_mode = interned("mode");
    const py::str inherited("inherited"), by_id("id"), by_type("type");

    py::dict resolved;
    for (const py::object &entry : listed) {
        py::object module_id = item(entry, key_id);
        py::object parent_id = call("get_parent_module_id", module_id);
        // Parents come before their children, so the parent's record is
        // already final when the parent is an entry at all.
        py::object parent;
        if (set_contains(known_ids, parent_id)) parent = dict_item_or_null(resolved, parent_id);

        py::object id_mode = call("get_id_mode", module_id);
        py::object type_mode = call("get_name_mode", item(entry, key_type_name));
        py::object own_mode = py::none();
        py::object own_source = py::none();
        if (!id_mode.is_none()) {
            own_mode = id_mode;
            own_source = by_id;
        } else if (!type_mode.is_none()) {
            own_mode = type_mode;
            own_source = by_type;
        }

        py::object eff = py::none();
        py::object source = py::none();
        py::object origin_id = module_id;
        py::object overridden = py::none();
        py::object parent_eff = parent ? item(parent, key_eff) : py::object(py::none());
        if (!parent_eff.is_none()) {
            // A mode set on an ancestor covers the whole subtree; the
            // module's own mode is only reported as masked.
            eff = parent_eff;
            source = inherited;
            origin_id = item(parent, key_origin);
            if (!own_mode.is_none()) {
                py::dict masked;
                masked[key_mode] = own_mode;
                masked[key_source] = own_source;
                overridden = std::move(masked);
            }
        } else if (!own_mode.is_none()) {
            eff = own_mode;
            source = own_source;
        }

        py::dict record;
        record[key_eff] = eff;
        record[key_source] = source;
        record[key_origin] = origin_id;
        record[key_overridden] = overridden;
        resolved[module_id] = record;
    }
    return resolved;
}

}  // namespace

void register_mode_resolution(py::module_ &m) {
    m.def("dedupe_list", &dedupe_list, "values"_a,
          "New list of the values, each once, where it first occurred.");
    m.def("normalize_selection_conflicts", &normalize_selection_conflicts,
          "De-duplicate the four target lists and drop from the track lists what the "
          "zylate lists hold; all four are written back.");
    m.def("get_id_mode", &get_id_mode, "module_id"_a,
          "'zylated', 'tracked' or None for a module id, from the id lists.");
    m.def("get_name_mode", &get_name_mode, "module_type_name"_a,
          "'zylated', 'tracked' or None for a type name, from the type-name lists.");
    m.def("resolve_entry_modes", &resolve_entry_modes, "entries"_a,
          "Map of module id to its mode record: inherited, then by id, then by type.");
}

}  // namespace zyl
