// Registration of the configuration model's module-level functions, and the
// few of its helpers that the other layers call.
#pragma once

#include "prelude.hpp"

namespace zyl {
void register_module_body(py::module_ &m);
void register_module_entries(py::module_ &m);
void register_mode_resolution(py::module_ &m);
void register_mode_edits(py::module_ &m);
void register_summaries(py::module_ &m);
void register_setting_descriptions(py::module_ &m);
void register_setting_values(py::module_ &m);
void register_run_items(py::module_ &m);
void register_module_overrides(py::module_ &m);

// Position in `options` of the option that `value` of the enumerated setting
// stands for, or -1: a forward function stands where its name is.  The one
// rule for every place that steps an enumeration.
py::ssize_t enum_option_position(py::handle setting_name, py::handle options, py::handle value);

// What the files of a save look like now, to tell afterwards which of them
// it wrote.
py::list save_destination_stamps(bool overwrite_config_file);

// The status message of a save that an operating-system error stopped: the
// file, the system's reason, and which files were written before (`before`
// is what save_destination_stamps gave as the save began).
std::string save_failure_message(const py::error_already_set &error, const py::list &before);
}  // namespace zyl
