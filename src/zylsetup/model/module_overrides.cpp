// Per-module setting overrides: which scope a module is edited in, merging
// stored and pending values, and the "module_settings" key of the files.
#include "prelude.hpp"

#include "model.hpp"

#include <random>
#include <string>

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

// Configuration files are JSON, which is UTF-8 whatever the locale says.
py::object open_text(py::handle path_or_fd, const char *mode) {
    return builtin("open")(path_or_fd, mode, "encoding"_a = "utf-8");
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
        // adds nothing further; what it gave before the fault stays.
        try {
            py::object handle = open_text(path, "r");
            py::object payload;
            try {
                payload = global("json").attr("load")(handle);
            } catch (py::error_already_set &) {
                handle.attr("close")();
                throw;
            }
            handle.attr("close")();
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

[[noreturn]] void refuse_save(py::handle destination, PyObject *type, const std::string &why,
                              py::error_already_set *cause) {
    std::string message = "Cannot save module settings to \"" + text(destination) + "\": " + why +
                          "; the file was left unchanged.";
    if (cause != nullptr) py::raise_from(*cause, type, message.c_str());
    else py::set_error(type, message.c_str());
    throw py::error_already_set();
}

const char *json_kind(py::handle value) {
    if (value.is_none()) return "null";
    if (PyBool_Check(value.ptr())) return "true/false value";
    if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) return "number";
    if (PyUnicode_Check(value.ptr())) return "string";
    if (PyList_Check(value.ptr())) return "array";
    return "value";
}

// The payload of an existing destination.  Saving into a file we cannot read
// whole would drop its other keys, so that stops the save instead.
py::object read_existing_payload(py::handle destination) {
    py::object content;
    try {
        py::object handle = open_text(destination, "r");
        try {
            content = handle.attr("read")();
        } catch (py::error_already_set &) {
            handle.attr("close")();
            throw;
        }
        handle.attr("close")();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        // An operating-system error keeps its own type (PermissionError,
        // IsADirectoryError, ...); a decoding error is a ValueError anyway.
        PyObject *type = e.matches(PyExc_OSError) ? e.type().ptr() : PyExc_ValueError;
        refuse_save(destination, type, "it could not be read (" + text(e.value()) + ")", &e);
    }
    py::object payload;
    try {
        payload = global("json").attr("loads")(content);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        refuse_save(destination, PyExc_ValueError, "it is not valid JSON (" + text(e.value()) + ")",
                    &e);
    }
    if (!PyDict_Check(payload.ptr())) {
        refuse_save(destination, PyExc_ValueError,
                    std::string("it holds a JSON ") + json_kind(payload) + ", not an object",
                    nullptr);
    }
    return payload;
}

std::string temp_suffix() {
    static std::mt19937_64 generator{std::random_device{}()};
    static const char digits[] = "0123456789abcdef";
    std::string suffix;
    auto bits = generator();
    for (int i = 0; i < 12; ++i, bits >>= 4) suffix += digits[bits & 0xF];
    return suffix;
}

void remove_quietly(py::handle os, py::handle path) {
    try {
        os.attr("remove")(path);
    } catch (py::error_already_set &) {
    }
}

// Writes the payload beside the real destination and swaps it in, so the
// destination always holds either its old content or the whole new one.  A
// symbolic link is written through (the link stays a link) and an existing
// file keeps its permission bits.
void write_payload_atomically(py::handle destination, py::handle payload) {
    py::object os = global("os");
    py::object path_mod = os.attr("path");
    py::object target = path_mod.attr("realpath")(destination);

    py::object kept_mode = py::none();
    try {
        py::object mode = os.attr("stat")(target).attr("st_mode");
        kept_mode = mode & py::int_(07777);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_FileNotFoundError)) throw;
    }

    py::object directory = path_mod.attr("dirname")(target);
    py::object base = path_mod.attr("basename")(target);
    py::object flags = os.attr("O_WRONLY") | os.attr("O_CREAT") | os.attr("O_EXCL");
    py::object temp_path;
    py::object fd;
    for (;;) {
        temp_path = path_mod.attr("join")(
            directory, py::str(".") + base + py::str("." + temp_suffix() + ".tmp"));
        try {
            // 0o666 lets the umask decide a new file's permissions, as an
            // ordinary open for writing would.
            fd = os.attr("open")(temp_path, flags, 0666);
            break;
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_FileExistsError)) throw;
        }
    }

    py::object handle;
    try {
        handle = open_text(fd, "w");
    } catch (...) {
        try {
            os.attr("close")(fd);
        } catch (py::error_already_set &) {
        }
        remove_quietly(os, temp_path);
        throw;
    }
    try {
        if (!kept_mode.is_none()) os.attr("chmod")(temp_path, kept_mode);
        global("json").attr("dump")(payload, handle, "indent"_a = 2);
        handle.attr("flush")();
        os.attr("fsync")(handle.attr("fileno")());
        handle.attr("close")();
        os.attr("replace")(temp_path, target);
    } catch (...) {
        try {
            handle.attr("close")();
        } catch (py::error_already_set &) {
        }
        remove_quietly(os, temp_path);
        throw;
    }
}

void persist_module_settings_updates(py::object module_settings_overrides,
                                     py::object overwrite_config_file) {
    if (!py::bool_(module_settings_overrides)) return;

    py::object pc_obj = pc();
    py::list destinations;
    py::object run_config = pc_obj.attr("get_run_config_path")();
    if (py::bool_(run_config)) destinations.append(run_config);
    if (py::bool_(overwrite_config_file)) {
        py::object config_file = pc_obj.attr("get_config_file")();
        if (py::bool_(config_file) && !destinations.contains(config_file)) {
            destinations.append(config_file);
        }
    }

    py::object os = global("os");
    py::object path_mod = os.attr("path");
    for (py::handle destination : destinations) {
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

        py::object directory = path_mod.attr("dirname")(destination);
        if (py::bool_(directory)) os.attr("makedirs")(directory, "exist_ok"_a = true);
        write_payload_atomically(destination, payload);
    }
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
    m.def("persist_module_settings_updates", &persist_module_settings_updates,
          "module_settings_overrides"_a, "overwrite_config_file"_a = false,
          "Merge the pending overrides into the run configuration file, and into the "
          "configuration file too when overwrite_config_file is true.");
}

}  // namespace zyl
