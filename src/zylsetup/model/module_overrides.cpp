// Per-module setting overrides: which scope a module is edited in, merging
// stored and pending values, and the "module_settings" key of the files.
#include "prelude.hpp"

#include "config_files.hpp"
#include "model.hpp"

#include <string>
#include <utility>
#include <vector>

namespace zyl {

namespace {


py::object refuse(const std::string &message) { return py::make_tuple(py::none(), message); }

py::object get_override_scope_for_entry(py::object entry, py::object resolved) {
    py::object id = entry["id"];
    py::object record = resolved[id];
    if (py::bool_(entry["is_replaced_root"]) || py::bool_(entry["in_replaced"])) {
        return refuse("Overrides are not available inside a module that will be restructured.");
    }
    if (record["eff"].is_none()) {
        return refuse(
            "Overrides are only for zylated modules. Zylate this one first (p), or track it if you "
            "just want it monitored.");
    }
    if (equals(record["source"], py::str("inherited"))) {
        std::string origin = text(record["origin_id"]);
        return refuse("This module inherits " + origin + "'s mode. Open overrides on " + origin +
                      " to change settings for the whole subtree.");
    }
    if (!equals(record["eff"], py::str("zylated"))) {
        return refuse("Overrides are only for zylated modules \u2014 this one is tracked.");
    }
    py::dict scope;
    if (equals(record["source"], py::str("type"))) {
        scope["kind"] = "type";
        scope["scope_key"] = entry["type_name"];
    } else {
        scope["kind"] = "id";
        scope["scope_key"] = id;
    }
    return py::make_tuple(scope, py::none());
}

py::dict get_scope_values(py::object scope_key, py::object module_settings_overrides,
                          py::object existing_module_settings) {
    py::dict values;
    if (existing_module_settings.contains(scope_key)) {
        values.attr("update")(existing_module_settings[scope_key]);
    }
    if (module_settings_overrides.contains(scope_key)) {
        values.attr("update")(module_settings_overrides[scope_key]);
    }
    return values;
}

void set_module_scoped_value(py::object module_settings_overrides, py::object scope_key,
                             py::object setting_name, py::object value) {
    module_settings_overrides.attr("setdefault")(scope_key, py::dict())[setting_name] = value;
}

py::dict load_existing_module_settings() {
    py::object pc_obj = pc();
    py::list sources;
    py::object config_file = pc_obj.attr("get_config_file")();
    if (py::bool_(config_file)) sources.append(config_file);
    py::object run_config = pc_obj.attr("get_run_config_path")();
    if (py::bool_(run_config)) sources.append(run_config);

    py::object path_mod = global("os").attr("path");
    py::dict merged;
    for (py::handle path : sources) {
        if (!py::bool_(path_mod.attr("exists")(path))) continue;
        // A file that cannot be read or holds something else than expected
        // adds nothing further; what it gave before the fault stays.  Nor
        // does anything but a regular file: a FIFO would block the first
        // frame.
        try {
            const char *irregular = nullptr;
            py::object content = read_config_text(path, irregular);
            if (irregular != nullptr) continue;
            py::object payload = global("json").attr("loads")(content);
            py::object stored = payload.attr("get")("module_settings", py::dict());
            for (py::handle pair : stored.attr("items")()) {
                py::object values = pair[py::int_(1)];
                if (!PyDict_Check(values.ptr())) continue;
                PyObject *copy = PyDict_Copy(values.ptr());
                if (copy == nullptr) throw py::error_already_set();
                merged[pair[py::int_(0)]] = py::reinterpret_steal<py::object>(copy);
            }
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
        }
    }
    return merged;
}

py::object read_existing_payload(py::handle destination) {
    Unusable fault;
    py::object payload = parse_existing(destination, fault);
    if (payload) return payload;
    std::string message = "Cannot save module settings to \"" + text(destination) +
                          "\": " + fault.why + "; the file was left unchanged.";
    if (fault.cause) py::raise_from(*fault.cause, fault.type.ptr(), message.c_str());
    else py::set_error(fault.type, message.c_str());
    throw py::error_already_set();
}

void persist_module_settings_updates(py::object module_settings_overrides,
                                     py::object overwrite_config_file) {
    if (!py::bool_(module_settings_overrides)) return;

    py::object os = global("os");
    py::object path_mod = os.attr("path");
    // Every destination is read and merged before the first is written, so a
    // file that refuses the merge stops the save with nothing written.
    std::vector<std::pair<py::object, py::object>> merged;
    for (py::handle destination : save_destinations(truthy(overwrite_config_file))) {
        py::object payload = py::dict();
        if (py::bool_(path_mod.attr("exists")(destination))) {
            payload = read_existing_payload(destination);
        }
        py::object module_settings = payload.attr("get")("module_settings", py::dict());
        if (!PyDict_Check(module_settings.ptr())) module_settings = py::dict();
        for (py::handle pair : module_settings_overrides.attr("items")()) {
            py::object scope_key = pair[py::int_(0)];
            py::object existing = module_settings.attr("get")(scope_key, py::dict());
            if (!PyDict_Check(existing.ptr())) existing = py::dict();
            existing.attr("update")(pair[py::int_(1)]);
            module_settings[scope_key] = existing;
        }
        payload["module_settings"] = module_settings;
        merged.emplace_back(py::reinterpret_borrow<py::object>(destination), payload);
    }
    for (auto &[destination, payload] : merged) {
        py::object directory = path_mod.attr("dirname")(destination);
        if (py::bool_(directory)) os.attr("makedirs")(directory, "exist_ok"_a = true);
    }
    write_payloads(merged);
}

}  // namespace

void register_module_overrides(py::module_ &m) {
    m.def("load_existing_module_settings", &load_existing_module_settings,
          "Stored overrides of the configuration file and the run configuration file.");
    m.def("get_scope_values", &get_scope_values, "scope_key"_a, "module_settings_overrides"_a,
          "existing_module_settings"_a, "Values that apply in a scope: stored, then pending.");
    m.def("set_module_scoped_value", &set_module_scoped_value, "module_settings_overrides"_a,
          "scope_key"_a, "setting_name"_a, "value"_a, "Record one pending override.");
    m.def("get_override_scope_for_entry", &get_override_scope_for_entry, "entry"_a, "resolved"_a,
          "(scope, None) when the entry's overrides may be edited, else (None, reason).");
    m.def("_save_destination_refusal", &save_destination_refusal, "overwrite_config_file"_a,
          "None when every file that a save writes can take it, else the message that "
          "names the first one that cannot and why.");
    m.def("persist_module_settings_updates", &persist_module_settings_updates,
          "module_settings_overrides"_a, "overwrite_config_file"_a = false,
          "Merge the pending overrides into the run configuration file, and into the "
          "configuration file too when overwrite_config_file is true.");
}

}  // namespace zyl
