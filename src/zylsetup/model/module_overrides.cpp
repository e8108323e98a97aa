// Per-module setting overrides: which scope a module is edited in, merging
// stored and pending values, and the "module_settings" key of the files.
#include "prelude.hpp"

#include "model.hpp"

#include <algorithm>
#include <cerrno>
#include <initializer_list>
#include <optional>
#include <random>
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

// Why an existing destination cannot take the merge, in the user's words, and
// the error that a writer raises for it.
struct Unusable {
    std::string why;
    py::object type = py::reinterpret_borrow<py::object>(PyExc_ValueError);
    std::optional<py::error_already_set> cause;
};

const char *json_kind(py::handle value) {
    if (value.is_none()) return "null";
    if (PyBool_Check(value.ptr())) return "true/false value";
    if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) return "number";
    if (PyUnicode_Check(value.ptr())) return "string";
    if (PyList_Check(value.ptr())) return "array";
    return "value";
}

// The payload of an existing destination, or a null object with `fault`
// filled in.  Saving into a file we cannot read whole would drop its other
// keys, so such a file is never merged into.
py::object parse_existing(py::handle destination, Unusable &fault) {
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
        if (e.matches(PyExc_OSError)) fault.type = e.type();
        fault.why = "it could not be read (" + text(e.value()) + ")";
        fault.cause = e;
        return py::object();
    }
    py::object payload;
    try {
        payload = global("json").attr("loads")(content);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        fault.why = "it is not valid JSON (" + text(e.value()) + ")";
        fault.cause = e;
        return py::object();
    }
    if (!PyDict_Check(payload.ptr())) {
        fault.why = std::string("it holds a JSON ") + json_kind(payload) + ", not an object";
        return py::object();
    }
    return payload;
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

// The files a save writes: the run configuration file, and the configuration
// file too when saving as the default (once, when both are the same text).
py::list save_destinations(bool overwrite_config_file) {
    py::object pc_obj = pc();
    py::list destinations;
    py::object run_config = pc_obj.attr("get_run_config_path")();
    if (py::bool_(run_config)) destinations.append(run_config);
    if (overwrite_config_file) {
        py::object config_file = pc_obj.attr("get_config_file")();
        if (py::bool_(config_file) && !destinations.contains(config_file)) {
            destinations.append(config_file);
        }
    }
    return destinations;
}

// What stops a destination from being saved into, or "" when nothing does.
// An existing file must hold a JSON object and open for writing; a new one
// needs a folder to be made in: its own, or the nearest one that exists,
// since missing folders are created.
std::string destination_problem(py::handle destination) {
    py::object os = global("os");
    py::object path_mod = os.attr("path");
    if (truthy(path_mod.attr("exists")(destination))) {
        Unusable fault;
        if (!parse_existing(destination, fault)) return fault.why;
        try {
            // Opening without truncating changes nothing, and asks exactly
            // what the write will ask: ownership, modes, ACLs, mounts.
            os.attr("close")(os.attr("open")(destination, os.attr("O_WRONLY")));
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_OSError)) throw;
            return "it cannot be written (" + text(e.value()) + ")";
        }
        return {};
    }
    py::object folder = path_mod.attr("dirname")(path_mod.attr("abspath")(destination));
    while (!truthy(path_mod.attr("exists")(folder))) {
        py::object parent = path_mod.attr("dirname")(folder);
        if (parent.equal(folder)) break;
        folder = parent;
    }
    if (!truthy(path_mod.attr("isdir")(folder))) {
        return "\"" + text(folder) + "\" is not a folder to create it in";
    }
    if (!truthy(os.attr("access")(folder, os.attr("W_OK") | os.attr("X_OK")))) {
        return "its folder \"" + text(folder) + "\" cannot be written to";
    }
    return {};
}

// The refusal of a save, checked before its first file is written: None when
// every destination can take it, else one message naming the file and why.
py::object save_destination_refusal(py::object overwrite_config_file) {
    for (py::handle destination : save_destinations(truthy(overwrite_config_file))) {
        std::string why = destination_problem(destination);
        if (!why.empty()) {
            return py::str("Cannot save to \"" + text(destination) + "\": " + why +
                           "; nothing was saved.");
        }
    }
    return py::none();
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

void close_quietly(py::handle os, py::handle fd) {
    try {
        os.attr("close")(fd);
    } catch (py::error_already_set &) {
    }
}

bool errno_is_one_of(const py::error_already_set &e, std::initializer_list<int> numbers) {
    if (!e.matches(PyExc_OSError)) return false;
    py::object number = e.value().attr("errno");
    if (!PyLong_Check(number.ptr())) return false;
    const long value = number.cast<long>();
    return std::find(numbers.begin(), numbers.end(), value) != numbers.end();
}

// Writes `data` (bytes) from offset 0, however many calls that takes.
void write_all_at(py::handle os, py::handle fd, const py::bytes &data) {
    const auto size = static_cast<py::ssize_t>(py::len(data));
    py::ssize_t done = 0;
    while (done < size) {
        py::object rest = data[py::slice(done, size, 1)];
        done += os.attr("pwrite")(fd, rest, done).cast<py::ssize_t>();
    }
}

py::bytes read_all(py::handle os, py::handle fd) {
    py::bytes content("");
    for (;;) {
        py::bytes chunk = os.attr("read")(fd, 1 << 16);
        if (py::len(chunk) == 0) return content;
        content = content + chunk;
    }
}

// Writes the file itself, as a plain write would, where the folder refuses a
// new file beside it or a rename over it.  On a failure the old content goes
// back: it fits where it was, so a full disk cannot refuse it.
void overwrite_in_place(py::handle os, py::handle target, const py::bytes &data, bool existed) {
    py::object fd =
        os.attr("open")(target, os.attr("O_RDWR") | os.attr("O_CREAT"), 0666);
    std::optional<py::bytes> old;
    try {
        old = read_all(os, fd);
        write_all_at(os, fd, data);
        os.attr("ftruncate")(fd, py::len(data));
        os.attr("fsync")(fd);
    } catch (...) {
        if (old) {
            try {
                write_all_at(os, fd, *old);
                os.attr("ftruncate")(fd, py::len(*old));
            } catch (py::error_already_set &) {
            }
        }
        close_quietly(os, fd);
        if (!existed) remove_quietly(os, target);
        throw;
    }
    os.attr("close")(fd);
}

// Writes `data` beside the target and swaps it in, so the target always holds
// either its old content or the whole new one.  False, with nothing left
// behind, where the folder does not allow that route.
bool replace_through_temporary(py::handle os, py::handle target, const py::bytes &data,
                               const py::object &kept_mode) {
    py::object path_mod = os.attr("path");
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
            if (e.matches(PyExc_FileExistsError)) continue;
            // A folder we may not add to (shared, read-only, sticky).
            if (errno_is_one_of(e, {EACCES, EPERM, EROFS})) return false;
            throw;
        }
    }
    try {
        if (!kept_mode.is_none()) os.attr("chmod")(temp_path, kept_mode);
        write_all_at(os, fd, data);
        os.attr("fsync")(fd);
    } catch (...) {
        close_quietly(os, fd);
        remove_quietly(os, temp_path);
        throw;
    }
    try {
        os.attr("close")(fd);
        os.attr("replace")(temp_path, target);
    } catch (py::error_already_set &e) {
        remove_quietly(os, temp_path);
        // A file mounted on its own (EBUSY, EXDEV), or one in a sticky folder
        // that is not ours (EPERM): only the file itself can be written.
        if (errno_is_one_of(e, {EBUSY, EXDEV, EPERM, EACCES})) return false;
        throw;
    } catch (...) {
        remove_quietly(os, temp_path);
        throw;
    }
    return true;
}

// An operating-system error of the write, named for the user's file rather
// than for a temporary beside it or the file a link leads to.
[[noreturn]] void raise_for_destination(py::error_already_set &e, py::handle destination) {
    py::object error = e.value();
    py::object number = error.attr("errno");
    if (number.is_none() || equals(error.attr("filename"), destination)) throw;
    py::object renamed = e.type()(number, error.attr("strerror"), destination);
    renamed.attr("__cause__") = error;
    PyErr_SetObject(e.type().ptr(), renamed.ptr());
    throw py::error_already_set();
}

// Writes the payload into the destination; a symbolic link is written
// through (the link stays a link) and an existing file keeps its permission
// bits, its owner and its hard links.
void write_payload(py::handle destination, py::handle payload) {
    py::object os = global("os");
    py::object target = os.attr("path").attr("realpath")(destination);
    // Encoded before any file is touched, so a value JSON cannot hold leaves
    // every file as it was.
    py::bytes data =
        global("json").attr("dumps")(payload, "indent"_a = 2).attr("encode")("utf-8");
    try {
        py::object status = py::none();
        try {
            status = os.attr("stat")(target);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_FileNotFoundError)) throw;
        }
        const bool existed = !status.is_none();
        py::object kept_mode = py::none();
        // A rename would cut the other names of a hard-linked file off, and
        // hand a file someone else owns over to us: write those in place.
        bool in_place = false;
        if (existed) {
            kept_mode = py::object(status.attr("st_mode")) & py::int_(07777);
            in_place = status.attr("st_nlink").cast<long long>() > 1 ||
                       !equals(status.attr("st_uid"), os.attr("geteuid")());
        }
        if (!in_place && !replace_through_temporary(os, target, data, kept_mode)) in_place = true;
        if (in_place) overwrite_in_place(os, target, data, existed);
    } catch (py::error_already_set &e) {
        if (e.matches(PyExc_OSError)) raise_for_destination(e, destination);
        throw;
    }
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
        write_payload(destination, payload);
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
    m.def("_save_destination_refusal", &save_destination_refusal, "overwrite_config_file"_a,
          "None when every file that a save writes can take it, else the message that "
          "names the first one that cannot and why.");
    m.def("persist_module_settings_updates", &persist_module_settings_updates,
          "module_settings_overrides"_a, "overwrite_config_file"_a = false,
          "Merge the pending overrides into the run configuration file, and into the "
          "configuration file too when overwrite_config_file is true.");
}

}  // namespace zyl
