// Registration of the configurator loop's module-level functions.
#pragma once

#include "prelude.hpp"

namespace zyl {
void register_session_gates(py::module_ &m);
void register_configurator(py::module_ &m);
void register_targets_keys(py::module_ &m);
void register_run_settings_keys(py::module_ &m);
void register_value_editors(py::module_ &m);
void register_cursor(py::module_ &m);
}  // namespace zyl
