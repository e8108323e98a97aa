// Registration of the configuration model's module-level functions.
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
}  // namespace zyl
