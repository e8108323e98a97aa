// Configuration files on disk.  Whatever a user's machine puts at a
// configuration path (a FIFO, a device, a link loop, a name too long, a full
// disk), reading never blocks, a save is checked before its first file is
// written, and every file ends up holding its old content or its new one.
#include "prelude.hpp"

#include "config_files.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <initializer_list>
#include <random>

namespace zyl {

namespace {

mode_t mode_of(py::handle status) {
    return static_cast<mode_t>(py::object(status.attr("st_mode")).cast<unsigned long>());
}

// What stands at a path with this status when it is neither a regular file
// nor a folder (open() names a folder itself), or nullptr.
const char *irregular_kind(py::handle status) {
    const mode_t mode = mode_of(status);
    if (S_ISREG(mode) || S_ISDIR(mode)) return nullptr;
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "a special file";
}

bool is_folder(py::handle status) { return S_ISDIR(mode_of(status)); }

py::object no_blocking_flags(py::handle os) {
    return os.attr("O_NONBLOCK") | os.attr("O_NOCTTY");
}

bool errno_is_one_of(const py::error_already_set &e, std::initializer_list<int> numbers) {
    if (!e.matches(PyExc_OSError)) return false;
    py::object number = e.value().attr("errno");
    if (!PyLong_Check(number.ptr())) return false;
    const long value = number.cast<long>();
    return std::find(numbers.begin(), numbers.end(), value) != numbers.end();
}

// "[Errno 40] Too many levels of symbolic links": the system's reason without
// the path, which the message around it names already.
std::string os_reason(const py::error_already_set &e) {
    py::object error = e.value();
    if (e.matches(PyExc_OSError)) {
        py::object number = error.attr("errno");
        py::object why = error.attr("strerror");
        if (!number.is_none() && !why.is_none()) return "[Errno " + text(number) + "] " + text(why);
    }
    return text(error);
}

std::string quoted(py::handle path) { return "\"" + text(path) + "\""; }

std::string temp_suffix() {
    static std::mt19937_64 generator{std::random_device{}()};
    static const char digits[] = "0123456789abcdef";
    std::string suffix;
    auto bits = generator();
    for (int i = 0; i < 12; ++i, bits >>= 4) suffix += digits[bits & 0xF];
    return suffix;
}

// A fresh name beside `name` in `folder`, hidden, that a leftover can be
// traced back by.  Only the name's first 50 characters go in, so it stays
// within the file system's limit however long the name itself is.
py::object temporary_beside(py::handle path_mod, py::handle folder, py::handle name) {
    py::object kept = name[py::slice(0, 50, 1)];
    return path_mod.attr("join")(folder, py::str(".") + kept + py::str("." + temp_suffix() + ".tmp"));
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

// Writes `data` (bytes) from offset 0, however many calls that takes.
void write_all_at(py::handle os, py::handle fd, const py::bytes &data) {
    const auto size = static_cast<py::ssize_t>(py::len(data));
    py::object view = owned(PyMemoryView_FromObject(data.ptr()));
    py::ssize_t done = 0;
    while (done < size) {
        done += os.attr("pwrite")(fd, view[py::slice(done, size, 1)], done).cast<py::ssize_t>();
    }
}

// The rest of the file, gathered and joined once: linear in its size.
py::bytes read_all(py::handle os, py::handle fd) {
    py::list chunks;
    for (;;) {
        py::bytes chunk = os.attr("read")(fd, 1 << 20);
        if (py::len(chunk) == 0) break;
        chunks.append(chunk);
    }
    return py::bytes("").attr("join")(chunks);
}

// Opens as open() would, but never waits: on a FIFO without a writer, or a
// device that would, the open returns at once (and the kind is checked on
// what it gave).
py::object opener_without_blocking() {
    return py::cpp_function([](py::object path, py::object flags) {
        py::object os = global("os");
        return os.attr("open")(path, flags | no_blocking_flags(os), 0666);
    });
}

// The status at `path`, or None where nothing is: not found, or a file
// standing where a folder of the path would be.
py::object status_or_none(py::handle os, py::handle path) {
    try {
        return os.attr("stat")(path);
    } catch (py::error_already_set &e) {
        if (e.matches(PyExc_FileNotFoundError) || e.matches(PyExc_NotADirectoryError)) {
            return py::none();
        }
        throw;
    }
}

}  // namespace

py::object read_config_text(py::handle path, const char *&irregular) {
    py::object os = global("os");
    // The kind is asked before the open, so no device is ever opened, and
    // again of what the open gave, so a FIFO put there in between is not
    // read either.
    irregular = irregular_kind(os.attr("stat")(path));
    if (irregular != nullptr) return py::object();
    // Configuration files are JSON, which is UTF-8 whatever the locale says.
    py::object handle = builtin("open")(path, "r", "encoding"_a = "utf-8",
                                        "opener"_a = opener_without_blocking());
    py::object content;
    try {
        irregular = irregular_kind(os.attr("fstat")(handle.attr("fileno")()));
        if (irregular == nullptr) content = handle.attr("read")();
    } catch (py::error_already_set &) {
        handle.attr("close")();
        throw;
    }
    handle.attr("close")();
    return content;
}

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

namespace {

const char *json_kind(py::handle value) {
    if (value.is_none()) return "null";
    if (PyBool_Check(value.ptr())) return "true/false value";
    if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) return "number";
    if (PyUnicode_Check(value.ptr())) return "string";
    if (PyList_Check(value.ptr())) return "array";
    return "value";
}

}  // namespace

// Saving into a file we cannot read whole would drop its other keys, so such
// a file is never merged into.
py::object parse_existing(py::handle destination, Unusable &fault) {
    py::object content;
    const char *irregular = nullptr;
    try {
        content = read_config_text(destination, irregular);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        // An operating-system error keeps its own type (PermissionError,
        // IsADirectoryError, ...); a decoding error is a ValueError anyway.
        if (e.matches(PyExc_OSError)) fault.type = e.type();
        fault.why = "it could not be read (" + text(e.value()) + ")";
        fault.cause = e;
        return py::object();
    }
    if (irregular != nullptr) {
        fault.why = std::string("it is ") + irregular + ", not a regular file";
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

namespace {

// A destination the save creates: the nearest folder that exists, and the
// first thing made in it (a folder to hold the file, or the file itself).
struct NewFile {
    py::object destination;
    py::object folder;
    py::object first_made;
    bool makes_folder;
};

const char *const kNameTooLong = "its name is longer than the file system allows";

// Whether every name the save makes below `folder` fits the file system.
bool names_fit(py::handle os, py::handle folder, py::handle absolute) {
    py::object limit;
    try {
        limit = os.attr("pathconf")(folder, "PC_NAME_MAX");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError) && !e.matches(PyExc_ValueError)) throw;
        return true;  // no limit to go by
    }
    if (!PyLong_Check(limit.ptr()) || limit.cast<long long>() <= 0) return true;
    py::object below = os.attr("path").attr("relpath")(absolute, folder);
    for (py::handle name : below.attr("split")(os.attr("sep"))) {
        if (length_of(os.attr("fsencode")(name)) > limit.cast<py::ssize_t>()) return false;
    }
    return true;
}

// What stops `destination` from being saved into as far as looking tells,
// or "" when nothing does; a destination the save would create is added to
// `created`, for the probing that follows.
std::string destination_problem(py::handle os, py::handle destination,
                                 std::vector<NewFile> &created) {
    py::object path_mod = os.attr("path");
    if (!truthy(path_mod.attr("isabs")(destination))) {
        try {
            os.attr("getcwd")();
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_OSError)) throw;
            return "the current folder no longer exists (" + os_reason(e) + ")";
        }
    }
    py::object name = path_mod.attr("basename")(destination);
    if (!truthy(name) || equals(name, py::str(".")) || equals(name, py::str(".."))) {
        return "it names a folder, not a file";
    }
    py::object status;
    try {
        status = status_or_none(os, destination);
    } catch (py::error_already_set &e) {
        if (errno_is_one_of(e, {ENAMETOOLONG})) {
            return std::string(kNameTooLong) + " (" + os_reason(e) + ")";
        }
        if (!e.matches(PyExc_OSError)) throw;
        return "it cannot be looked up (" + os_reason(e) + ")";
    }
    if (!status.is_none()) {
        Unusable fault;
        if (!parse_existing(destination, fault)) return fault.why;
        try {
            // Opening without truncating changes nothing, and asks exactly
            // what the write will ask: ownership, modes, ACLs, mounts.
            py::object flags = py::object(os.attr("O_WRONLY")) | no_blocking_flags(os);
            os.attr("close")(os.attr("open")(destination, flags));
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_OSError)) throw;
            return "it cannot be written (" + text(e.value()) + ")";
        }
        return {};
    }
    // A new file: the missing folders above it are made first, in the
    // nearest folder that exists.
    py::object absolute = path_mod.attr("abspath")(destination);
    py::object folder = path_mod.attr("dirname")(absolute);
    py::object first_made = absolute;
    py::object folder_status;
    for (;;) {
        try {
            folder_status = status_or_none(os, folder);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_OSError)) throw;
            return "its folder " + quoted(folder) + " cannot be looked up (" + os_reason(e) + ")";
        }
        if (!folder_status.is_none()) break;
        py::object parent = path_mod.attr("dirname")(folder);
        if (parent.equal(folder)) return "its folder " + quoted(folder) + " does not exist";
        first_made = folder;
        folder = parent;
    }
    if (!is_folder(folder_status)) return quoted(folder) + " is not a folder to create it in";
    if (!truthy(os.attr("access")(folder, os.attr("W_OK") | os.attr("X_OK")))) {
        return "its folder " + quoted(folder) + " cannot be written to";
    }
    if (!names_fit(os, folder, absolute)) return kNameTooLong;
    created.push_back({py::reinterpret_borrow<py::object>(destination), folder, first_made,
                       !first_made.equal(absolute)});
    return {};
}

// Whether the folder really takes what the save makes in it: a folder under
// /sys or /proc looks writable to root and refuses anyway.  What is made
// here is removed at once.
std::string creation_problem(py::handle os, const NewFile &file) {
    py::object path_mod = os.attr("path");
    for (;;) {
        py::object probe =
            temporary_beside(path_mod, file.folder, path_mod.attr("basename")(file.first_made));
        try {
            if (file.makes_folder) {
                os.attr("mkdir")(probe, 0700);
                os.attr("rmdir")(probe);
            } else {
                py::object flags = os.attr("O_WRONLY") | os.attr("O_CREAT") | os.attr("O_EXCL") |
                                   no_blocking_flags(os);
                os.attr("close")(os.attr("open")(probe, flags, 0600));
                os.attr("remove")(probe);
            }
            return {};
        } catch (py::error_already_set &e) {
            if (e.matches(PyExc_FileExistsError)) continue;
            if (!e.matches(PyExc_OSError)) throw;
            if (file.makes_folder) {
                return "its folder " + quoted(file.first_made) + " cannot be created (" +
                       os_reason(e) + ")";
            }
            return "it cannot be created in " + quoted(file.folder) + " (" + os_reason(e) + ")";
        }
    }
}

// The check's own probing never ends a save's session: whatever it raises
// (a path the system cannot even take, a folder gone meanwhile) is the
// reason of a refusal.
template <typename Probe>
std::string guarded(Probe probe) {
    try {
        return probe();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError) && !e.matches(PyExc_ValueError)) throw;
        return "it cannot be checked (" + os_reason(e) + ")";
    }
}

}  // namespace

py::object save_destination_refusal(py::object overwrite_config_file) {
    py::object os = global("os");
    py::list destinations = save_destinations(truthy(overwrite_config_file));
    auto refusal = [](py::handle destination, const std::string &why) {
        return py::str("Cannot save to " + quoted(destination) + ": " + why + "; nothing was saved.");
    };
    std::vector<NewFile> created;
    std::vector<py::object> absolute;
    for (py::handle destination : destinations) {
        std::string why = guarded([&] {
            std::string problem = destination_problem(os, destination, created);
            if (problem.empty()) absolute.push_back(os.attr("path").attr("abspath")(destination));
            return problem;
        });
        if (!why.empty()) return refusal(destination, why);
    }
    // Together: no destination may stand where another needs a folder.
    for (size_t i = 0; i < absolute.size(); ++i) {
        py::object inside = absolute[i] + os.attr("sep");
        for (size_t j = 0; j < absolute.size(); ++j) {
            if (i != j && truthy(absolute[j].attr("startswith")(inside))) {
                return refusal(destinations[i], "it is the folder of " + quoted(destinations[j]));
            }
        }
    }
    // Only now, with nothing left to refuse by looking, is the disk asked.
    for (const NewFile &file : created) {
        std::string why = guarded([&] { return creation_problem(os, file); });
        if (!why.empty()) return refusal(file.destination, why);
    }
    return py::none();
}

namespace {

// One file of a save on its way to disk.
struct Write {
    py::object destination;  // as the configuration names it: errors name it
    py::object target;       // the file a symbolic link leads to
    py::bytes data;
    py::object status;       // the target's status before, or None for a new file
    py::object temporary;    // the finished copy beside it; null when written in place
};

// An OSError of the number's own subclass, as the system's errors are.
[[noreturn]] void raise_os_error(int number, py::handle why, py::handle path) {
    py::object error = builtin("OSError")(number, why, path);
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

// A target that is no longer a regular file is not written: a FIFO put
// there would swallow the write, a device never ends a read.
void refuse_irregular(py::handle os, py::handle status, py::handle destination) {
    if (is_folder(status)) raise_os_error(EISDIR, os.attr("strerror")(EISDIR), destination);
    if (const char *irregular = irregular_kind(status)) {
        raise_os_error(EINVAL, py::str(std::string("it is ") + irregular + ", not a regular file"),
                       destination);
    }
}

// Writes the file itself, as a plain write would.  On a failure the old
// content goes back (it fits where it was, so a full disk cannot refuse it)
// with its times, so the file shows no sign of the attempt.
void overwrite_in_place(py::handle os, const Write &w) {
    const bool existed = !w.status.is_none();
    py::object fd = os.attr("open")(
        w.target, os.attr("O_RDWR") | os.attr("O_CREAT") | no_blocking_flags(os), 0666);
    std::optional<py::bytes> old;
    try {
        refuse_irregular(os, os.attr("fstat")(fd), w.destination);
        old = read_all(os, fd);
        write_all_at(os, fd, w.data);
        os.attr("ftruncate")(fd, py::len(w.data));
        os.attr("fsync")(fd);
    } catch (...) {
        if (old && existed) {
            try {
                write_all_at(os, fd, *old);
                os.attr("ftruncate")(fd, py::len(*old));
                os.attr("utime")(fd, "ns"_a = py::make_tuple(w.status.attr("st_atime_ns"),
                                                              w.status.attr("st_mtime_ns")));
            } catch (py::error_already_set &) {
            }
        }
        close_quietly(os, fd);
        if (!existed) remove_quietly(os, w.target);
        throw;
    }
    os.attr("close")(fd);
}

bool not_supported(const py::error_already_set &e) {
    return errno_is_one_of(e, {ENOTSUP, EOPNOTSUPP});
}

// Gives the new file the old one's extended attributes (ACLs live there
// too) and nothing else: what it got by itself from its folder (a default
// ACL) goes; nothing where the file system keeps none.
void carry_extended_attributes(py::handle os, py::handle fd, py::handle target) {
    if (getattr_or_none(os, "listxattr").is_none()) return;
    py::object names;
    try {
        names = os.attr("listxattr")(target);
    } catch (py::error_already_set &e) {
        if (not_supported(e)) return;
        throw;
    }
    for (py::handle name : os.attr("listxattr")(fd)) {
        if (!contains(names, name)) os.attr("removexattr")(fd, name);
    }
    for (py::handle name : names) {
        py::object value = os.attr("getxattr")(target, name);
        py::object own = py::none();
        try {
            own = os.attr("getxattr")(fd, name);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_OSError)) throw;
        }
        // A label the file already has need not be set (and may not be).
        if (!own.equal(value)) os.attr("setxattr")(fd, name, value);
    }
}

// Gives the copy the old file's owner, group, extended attributes and mode,
// in that order (a change of owner clears set-id bits).  False where any of
// them cannot be carried over: then only writing in place keeps them.
bool carry_metadata(py::handle os, py::handle fd, const Write &w) {
    py::object uid = w.status.attr("st_uid");
    py::object gid = w.status.attr("st_gid");
    py::object mode = py::object(w.status.attr("st_mode")) & py::int_(07777);
    try {
        py::object own = os.attr("fstat")(fd);
        if (!equals(own.attr("st_uid"), uid) || !equals(own.attr("st_gid"), gid)) {
            os.attr("fchown")(fd, uid, gid);
        }
        carry_extended_attributes(os, fd, w.target);
        os.attr("fchmod")(fd, mode);
        own = os.attr("fstat")(fd);
        return equals(own.attr("st_uid"), uid) && equals(own.attr("st_gid"), gid) &&
               (py::object(own.attr("st_mode")) & py::int_(07777)).equal(mode);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError)) throw;
        return false;
    }
}

// Writes the whole new content beside the target, with the target's
// metadata, ready to be swapped in.  Leaves `temporary` null, with nothing
// behind, where the folder refuses a new file or the metadata cannot follow.
void write_temporary(py::handle os, Write &w) {
    py::object path_mod = os.attr("path");
    py::object folder = path_mod.attr("dirname")(w.target);
    py::object name = path_mod.attr("basename")(w.target);
    py::object flags = os.attr("O_WRONLY") | os.attr("O_CREAT") | os.attr("O_EXCL");
    py::object temporary;
    py::object fd;
    for (;;) {
        temporary = temporary_beside(path_mod, folder, name);
        try {
            // 0o666 lets the umask decide a new file's permissions, as an
            // ordinary open for writing would.
            fd = os.attr("open")(temporary, flags, 0666);
            break;
        } catch (py::error_already_set &e) {
            if (e.matches(PyExc_FileExistsError)) continue;
            // A folder we may not add to (shared, read-only, sticky).
            if (errno_is_one_of(e, {EACCES, EPERM, EROFS})) return;
            throw;
        }
    }
    try {
        if (!w.status.is_none() && !carry_metadata(os, fd, w)) {
            close_quietly(os, fd);
            remove_quietly(os, temporary);
            return;
        }
        write_all_at(os, fd, w.data);
        os.attr("fsync")(fd);
    } catch (...) {
        close_quietly(os, fd);
        remove_quietly(os, temporary);
        throw;
    }
    try {
        os.attr("close")(fd);
    } catch (...) {
        remove_quietly(os, temporary);
        throw;
    }
    w.temporary = temporary;
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

// Swaps the finished copies in, after the files that must be written in
// place: until the first swap every file still holds its old content.
void commit(py::handle os, std::vector<Write> &writes, const Write *&current) {
    for (const Write &w : writes) {
        current = &w;
        if (!w.temporary) overwrite_in_place(os, w);
    }
    for (Write &w : writes) {
        current = &w;
        if (!w.temporary) continue;
        py::object temporary = std::move(w.temporary);
        try {
            os.attr("replace")(temporary, w.target);
        } catch (py::error_already_set &e) {
            remove_quietly(os, temporary);
            // A file mounted on its own (EBUSY, EXDEV), or one in a sticky
            // folder that is not ours (EPERM): only the file itself can be
            // written.
            if (!errno_is_one_of(e, {EBUSY, EXDEV, EPERM, EACCES})) throw;
            overwrite_in_place(os, w);
        }
    }
}

}  // namespace

// A symbolic link is written through (the link stays a link); an existing
// file keeps its owner, group, mode, extended attributes and hard links.
// Every new content is written beside its file before the first file is
// replaced, so a full disk met on the way leaves every file as it was.
void write_payloads(const std::vector<std::pair<py::object, py::object>> &files) {
    py::object os = global("os");
    std::vector<Write> writes;
    // Encoded before any file is touched, so a value JSON cannot hold leaves
    // every file as it was.
    for (const auto &[destination, payload] : files) {
        py::bytes data =
            global("json").attr("dumps")(payload, "indent"_a = 2).attr("encode")("utf-8");
        writes.push_back({destination, py::object(), data, py::none(), py::object()});
    }
    const Write *current = nullptr;
    try {
        for (Write &w : writes) {
            current = &w;
            w.target = os.attr("path").attr("realpath")(w.destination);
            w.status = status_or_none(os, w.target);
            if (!w.status.is_none()) {
                refuse_irregular(os, w.status, w.destination);
                // A rename would cut the other names of a hard-linked file off.
                if (w.status.attr("st_nlink").cast<long long>() > 1) continue;
            }
            write_temporary(os, w);
        }
        commit(os, writes, current);
    } catch (py::error_already_set &e) {
        for (Write &w : writes) {
            if (w.temporary) remove_quietly(os, w.temporary);
        }
        if (current != nullptr && e.matches(PyExc_OSError)) raise_for_destination(e, current->destination);
        throw;
    }
}

namespace {

// Enough of a file's status to tell that it was written: a replaced file
// has a new inode, one written in place a new size or time.
py::object stamp_of(py::handle os, py::handle path) {
    try {
        py::object status = os.attr("stat")(path);
        return py::make_tuple(status.attr("st_ino"), status.attr("st_size"),
                              status.attr("st_mtime_ns"));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError) && !e.matches(PyExc_ValueError)) throw;
        return py::none();
    }
}

}  // namespace

py::list save_destination_stamps(bool overwrite_config_file) {
    py::object os = global("os");
    py::list stamps;
    for (py::handle destination : save_destinations(overwrite_config_file)) {
        stamps.append(py::make_tuple(destination, stamp_of(os, destination)));
    }
    return stamps;
}

std::string save_failure_message(const py::error_already_set &error, const py::list &before) {
    py::object os = global("os");
    std::string written;
    py::object untouched;
    for (py::handle pair : before) {
        py::object destination = pair[py::int_(0)];
        if (!stamp_of(os, destination).equal(pair[py::int_(1)])) {
            written += (written.empty() ? "" : ", ") + quoted(destination);
        } else if (!untouched) {
            untouched = destination;
        }
    }
    // The file the error names; else the first the save did not get to.
    py::object value = error.value();
    py::object named = getattr_or_none(value, "filename");
    std::string file;
    if (!named.is_none() && !PyLong_Check(named.ptr())) {
        try {
            file = text(os.attr("fsdecode")(named));
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_TypeError)) throw;
        }
    }
    if (file.empty() && untouched) file = text(untouched);
    if (file.empty() && !before.empty()) file = text(before[0][py::int_(0)]);
    py::object why = getattr_or_none(value, "strerror");
    std::string message = file.empty() ? "Cannot save: " : "Cannot save to \"" + file + "\": ";
    message += why.is_none() ? text(value) : text(why);
    if (written.empty()) return message + "; nothing was saved.";
    return message + "; already written: " + written + ".";
}

}  // namespace zyl
