// The four target lists of the run configuration, kept free of duplicates and
// of conflicts, and turned into one effective mode per module.
#include "prelude.hpp"

#include "container_ops.hpp"
#include "cpython_private.hpp"
#include "model.hpp"
#include "module_ids.hpp"
#include "record_tracking.hpp"
#include "target_list_reads.hpp"

#include <optional>
#include <string_view>
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

// An empty dict, with room for `expected` items where the fast paths are on.
py::dict presized_dict(size_t expected) {
    if (!fast_paths_enabled()) return py::dict();
    PyObject *dict = cpython::new_presized_dict(static_cast<Py_ssize_t>(expected));
    if (dict == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::dict>(dict);
}

// The records stored so far, found by the UTF-8 text of their id.  Used while
// every id is an exact str: two such ids are equal exactly when their texts
// are, so this answers what the lookup in `resolved` would, and a module's
// parent id, a prefix of its own id, is looked up without being made.  The
// texts belong to the id objects, which the entries hold for the whole call.
// A flat table rather than a node per id: with nodes, resolving took about a
// quarter longer at 10,000 modules and a third longer at 50,000.
class StoredRecords {
public:
    struct Fields {
        py::object eff, origin_id;
    };

    explicit StoredRecords(size_t expected) {
        size_t size = 16;
        while (size < expected * 2) size *= 2;
        slots_.assign(size, Slot{});
    }

    void store(std::string_view id, Fields fields) {
        Slot &slot = find(id);
        if (slot.fields == NONE) {
            slot.id = id;
            slot.fields = static_cast<uint32_t>(fields_.size());
            fields_.push_back(std::move(fields));
            if (++used_ * 2 > slots_.size()) grow();
        } else {
            fields_[slot.fields] = std::move(fields);  // a repeated id: the later record wins
        }
    }

    const Fields *lookup(std::string_view id) {
        const Slot &slot = find(id);
        return slot.fields == NONE ? nullptr : &fields_[slot.fields];
    }

private:
    static constexpr uint32_t NONE = UINT32_MAX;
    struct Slot {
        std::string_view id;
        uint32_t fields = NONE;
    };

    Slot &find(std::string_view id) {
        const size_t mask = slots_.size() - 1;
        for (size_t i = std::hash<std::string_view>{}(id) & mask;; i = (i + 1) & mask) {
            if (slots_[i].fields == NONE || slots_[i].id == id) return slots_[i];
        }
    }

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.size() * 2, Slot{});
        for (const Slot &slot : old) {
            if (slot.fields != NONE) find(slot.id) = slot;
        }
    }

    std::vector<Slot> slots_;
    std::vector<Fields> fields_;
    size_t used_ = 0;
};

// Whether the table below can hold `id`: an exact str with a UTF-8 form (a
// lone surrogate has none, yet compares and hashes as any other text).
bool table_key(py::handle id) {
    if (!PyUnicode_CheckExact(id.ptr())) return false;
    if (PyUnicode_AsUTF8AndSize(id.ptr(), nullptr) != nullptr) return true;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
    PyErr_Clear();
    return false;
}

std::string_view utf8_of(py::handle text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) throw py::error_already_set();
    return {data, static_cast<size_t>(size)};
}

// The parent of an id that starts with ".", as get_parent_module_id gives it:
// the text up to the last "." when there are at least three parts, else
// nothing.
std::optional<std::string_view> parent_text(std::string_view id) {
    const size_t last = id.rfind('.');
    if (last == std::string_view::npos || last == 0) return std::nullopt;
    return id.substr(0, last);
}

py::dict resolve_entry_modes(py::handle entries) {
    const Texts &t = texts();
    // Taken once, so the entries may be any iterable: the index needs a pass
    // of its own before the resolution pass.
    std::vector<py::object> listed;
    std::vector<py::object> ids;
    bool text_ids = fast_paths_enabled();
    for (py::handle entry : entries) {
        listed.push_back(py::reinterpret_borrow<py::object>(entry));
        ids.push_back(item(entry, t.id));
        text_ids = text_ids && table_key(ids.back());
    }
    // With text ids (and the fast paths on) the index is the table of stored
    // records below: an id not stored yet has no record to inherit from
    // either.  Otherwise the ids' own hashing and equality decide, in a set
    // of them all.
    py::set known_ids;
    // `resolved` holds every record stored so far, so the table can be left
    // for the full index at any point.
    auto index_by_equality = [&] {
        for (const py::object &id : ids) set_add(known_ids, id);
        text_ids = false;
    };
    if (!text_ids) index_by_equality();
    StoredRecords stored(text_ids ? listed.size() : 0);

    // While get_id_mode and get_name_mode are this module's own, their
    // bodies run here with membership caches that live for this call; GZL.pc
    // is the same object at every lookup, so it is looked up once, when
    // first needed.
    ListCaches id_caches, name_caches;
    py::object pc;
    const OwnFunction &own_parent = detail::own_slot<&get_parent_module_id>();

    // Out of the collector's sight, for speed: see record_tracking.hpp.
    const bool untracked = fast_paths_enabled() && record_tracking::begin_resolution();
    py::dict resolved = presized_dict(listed.size());
    for (size_t k = 0; k < listed.size(); ++k) {
        const py::object &entry = listed[k];
        py::object module_id = PyDict_CheckExact(entry.ptr()) ? ids[k] : item(entry, t.id);
        // Parents come before their children, so the parent's record is
        // already final when the parent is an entry at all.
        if (text_ids && !table_key(module_id)) index_by_equality();
        py::object parent_eff = py::none();
        py::object parent_origin;
        const bool by_text =
            text_ids && own_parent.function != nullptr && !rebound(own_parent);
        std::string_view id_text;
        if (by_text) id_text = utf8_of(module_id);
        if (by_text && id_text.starts_with('.')) {
            if (auto parent_id = parent_text(id_text)) {
                if (const StoredRecords::Fields *parent = stored.lookup(*parent_id)) {
                    parent_eff = parent->eff;
                    parent_origin = parent->origin_id;
                }
            }
        } else {
            py::object parent_id =
                call_own<&get_parent_module_id>("get_parent_module_id", module_id);
            if (text_ids && table_key(parent_id)) {
                if (const StoredRecords::Fields *parent = stored.lookup(utf8_of(parent_id))) {
                    parent_eff = parent->eff;
                    parent_origin = parent->origin_id;
                }
            } else {
                // A rebound parent function handed back something the
                // table cannot hold: the full index decides after all.
                if (text_ids) index_by_equality();
                py::object parent;
                if (set_contains(known_ids, parent_id)) parent = dict_item_or_null(resolved, parent_id);
                if (parent) {
                    parent_eff = item(parent, t.eff);
                    if (!parent_eff.is_none()) parent_origin = item(parent, t.origin_id);
                }
            }
        }

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
        if (!parent_eff.is_none()) {
            // A mode set on an ancestor covers the whole subtree; the
            // module's own mode is only reported as masked.
            eff = parent_eff;
            source = t.inherited;
            origin_id = parent_origin;
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
        if (untracked && !overridden.is_none()) {
            record_tracking::hand_out(record, {eff, source, origin_id}, overridden);
        }
        set_item(resolved, module_id, record);
        if (text_ids) {
            if (!by_text) id_text = utf8_of(module_id);
            stored.store(id_text, {eff, origin_id});
        }
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
