// Configuration files on disk: reading one without ever blocking, checking
// the files a save will write, writing them so that each holds its old or its
// new content.
#pragma once

#include "prelude.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zyl {

// The text of the configuration file at `path` (UTF-8), or a null object,
// with `irregular` naming what stands there ("a FIFO", "a socket", ...),
// when that is not a regular file.  A folder raises IsADirectoryError as
// open() does; the errors of opening and reading pass through.
py::object read_config_text(py::handle path, const char *&irregular);

// The files a save writes: the run configuration file, and the configuration
// file too when saving as the default (once, when both are the same text).
py::list save_destinations(bool overwrite_config_file);

// Why an existing destination cannot take the merge, in the user's words, and
// the error that a writer raises for it.
struct Unusable {
    std::string why;
    py::object type = py::reinterpret_borrow<py::object>(PyExc_ValueError);
    std::optional<py::error_already_set> cause;
};

// The JSON object an existing destination holds, or a null object with
// `fault` filled in.
py::object parse_existing(py::handle destination, Unusable &fault);

// None when every file a save writes can take it, else the one message that
// names the first that cannot and why.  Never raises for what it finds on
// disk.
py::object save_destination_refusal(py::object overwrite_config_file);

// Writes each payload as JSON into its destination, whose folder exists.
void write_payloads(const std::vector<std::pair<py::object, py::object>> &files);

// What the files of a save look like now, to tell afterwards which of them
// it wrote.
py::list save_destination_stamps(bool overwrite_config_file);

// The status message of a save that an operating-system error stopped: the
// file, the system's reason, and which files were written before (`before`
// is what save_destination_stamps gave as the save began).
std::string save_failure_message(const py::error_already_set &error, const py::list &before);

}  // namespace zyl
