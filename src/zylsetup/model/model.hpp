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
}  // namespace zyl
