// The four target lists of the run configuration, kept free of duplicates and
// of conflicts, and turned into one effective mode per module.
#include "prelude.hpp"

#include "container_ops.hpp"
#include "model.hpp"
#include "module_ids.hpp"
#include "target_list_reads.hpp"

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
    py::object ids_zylate =
        call_own<&dedupe_list>("dedupe_list", pc().attr("get_module_ids_to_zylate")());
    py::object ids_track =
        call_own<&dedupe_list>("dedupe_list", pc().attr("get_module_ids_to_track")());
    py::object names_zylate =
        call_own<&dedupe_list>("dedupe_list", pc().attr("get_module_names_to_zylate")());
    py::object names_track =
        call_own<&dedupe_list>("dedupe_list", pc().attr("get_module_names_to_track")());

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

// Names and texts of the hot paths, interned once per process.
struct Texts {
    py::str gzl = interned("GZL"), pc = interned("pc");
    py::str ids_zylate = interned("get_module_ids_to_zylate"),
            ids_track = interned("get_module_ids_to_track"),
            names_zylate = interned("get_module_names_to_zylate"),
            names_track = interned("get_module_names_to_track");
    py::str id = interned("id"), type_name = interned("type_name"), eff = interned("eff"),
            source = interned("source"), origin_id = interned("origin_id"),
            overridden = interned("overridden"), mode = interned("mode");
    py::str zylated = interned("zylated"), tracked = interned("tracked"),
            inherited = interned("inherited"), type = interned("type");
};

const Texts &texts() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<Texts> storage;
    return storage.call_once_and_store_result([] { return Texts(); }).get_stored();
}

// The membership tests of one mode lookup; null for a lookup on its own.
struct ListCaches {
    RepeatedMembership zylate, track;
};

// The zylate list is consulted first, so an item listed in both modes reads
// as zylated even before the lists are normalised.
py::object mode_in_lists(py::handle pc, py::handle item, const py::str &zylate_getter,
                         const py::str &track_getter, ListCaches *caches) {
    const Texts &t = texts();
    py::object zylate = call_method(pc, zylate_getter);
    if (caches ? caches->zylate.contains(zylate, item) : contains(zylate, item)) return t.zylated;
    py::object track = call_method(pc, track_getter);
    if (caches ? caches->track.contains(track, item) : contains(track, item)) return t.tracked;
    return py::none();
}

py::object get_id_mode(py::handle module_id) {
    const Texts &t = texts();
    return mode_in_lists(pc_via(t.gzl, t.pc), module_id, t.ids_zylate, t.ids_track, nullptr);
}

py::object get_name_mode(py::handle module_type_name) {
    const Texts &t = texts();
    return mode_in_lists(pc_via(t.gzl, t.pc), module_type_name, t.names_zylate, t.names_track,
                         nullptr);
}

// get_id_mode or get_name_mode (`OwnFn`) on `value`, as the name now holds
// it.  While it is this module's own, its body runs here with membership
// caches that live for one resolution; GZL.pc, the same object at every
// lookup, is then looked up once per resolution, when first needed.
template <auto OwnFn>
py::object mode_via(const char *name, py::handle value, py::object &pc,
                    const py::str &zylate_getter, const py::str &track_getter,
                    ListCaches &caches) {
    if (py::object other = rebound<OwnFn>(name)) return other(value);
    if (!pc) pc = pc_via(texts().gzl, texts().pc);
    return mode_in_lists(pc, value, zylate_getter, track_getter, &caches);
}

py::object dict_item_or_null(py::handle dict, py::handle key) {
    PyObject *found = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (found == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::object();
    }
    return py::reinterpret_borrow<py::object>(found);
}

void set_item(py::handle dict, py::handle key, py::handle value) {
    if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

py::dict resolve_entry_modes(py::handle entries) {
    const Texts &t = texts();
    // Taken once, so the entries may be any iterable: the index needs a pass
    // of its own before the resolution pass.
    std::vector<py::object> listed;
    py::set known_ids;
    for (py::handle entry : entries) {
        listed.push_back(py::reinterpret_borrow<py::object>(entry));
        set_add(known_ids, item(entry, t.id));
    }

    // While get_id_mode and get_name_mode are this module's own, their
    // bodies run here with membership caches that live for this call; GZL.pc
    // is the same object at every lookup, so it is looked up once, when
    // first needed.
    ListCaches id_caches, name_caches;
    py::object pc;

    py::dict resolved;
    for (const py::object &entry : listed) {
        py::object module_id = item(entry, t.id);
        py::object parent_id = call_own<&get_parent_module_id>("get_parent_module_id", module_id);
        // Parents come before their children, so the parent's record is
        // already final when the parent is an entry at all.
        py::object parent;
        if (set_contains(known_ids, parent_id)) parent = dict_item_or_null(resolved, parent_id);

        py::object id_mode = mode_via<&get_id_mode>("get_id_mode", module_id, pc, t.ids_zylate,
                                                    t.ids_track, id_caches);
        py::object type_mode =
            mode_via<&get_name_mode>("get_name_mode", item(entry, t.type_name), pc,
                                     t.names_zylate, t.names_track, name_caches);
        py::object own_mode = py::none();
        py::object own_source = py::none();
        if (!id_mode.is_none()) {
            own_mode = id_mode;
            own_source = t.id;
        } else if (!type_mode.is_none()) {
            own_mode = type_mode;
            own_source = t.type;
        }

        py::object eff = py::none();
        py::object source = py::none();
        py::object origin_id = module_id;
        py::object overridden = py::none();
        py::object parent_eff = parent ? item(parent, t.eff) : py::object(py::none());
        if (!parent_eff.is_none()) {
            // A mode set on an ancestor covers the whole subtree; the
            // module's own mode is only reported as masked.
            eff = parent_eff;
            source = t.inherited;
            origin_id = item(parent, t.origin_id);
            if (!own_mode.is_none()) {
                py::dict masked;
                set_item(masked, t.mode, own_mode);
                set_item(masked, t.source, own_source);
                overridden = std::move(masked);
            }
        } else if (!own_mode.is_none()) {
            eff = own_mode;
            source = own_source;
        }

        py::dict record;
        set_item(record, t.eff, eff);
        set_item(record, t.source, source);
        set_item(record, t.origin_id, origin_id);
        set_item(record, t.overridden, overridden);
        set_item(resolved, module_id, record);
    }
    return resolved;
}

}  // namespace

void register_mode_resolution(py::module_ &m) {
    zyl::def<&dedupe_list>(m, "dedupe_list", "values"_a,
          "New list of the values, each once, where it first occurred.");
    m.def("normalize_selection_conflicts", &normalize_selection_conflicts,
          "De-duplicate the four target lists and drop from the track lists what the "
          "zylate lists hold; all four are written back.");
    zyl::def<&get_id_mode>(m, "get_id_mode", "module_id"_a,
          "'zylated', 'tracked' or None for a module id, from the id lists.");
    zyl::def<&get_name_mode>(m, "get_name_mode", "module_type_name"_a,
          "'zylated', 'tracked' or None for a type name, from the type-name lists.");
    m.def("resolve_entry_modes", &resolve_entry_modes, "entries"_a,
          "Map of module id to its mode record: inherited, then by id, then by type.");
}

}  // namespace zyl
