// Registration of the terminal presentation's module-level functions.
#pragma once

#include "prelude.hpp"

namespace zyl {
void register_styled_text(py::module_ &m);
void register_wrapping(py::module_ &m);
void register_shown_text(py::module_ &m);
void register_key_input(py::module_ &m);
void register_row_widgets(py::module_ &m);
void register_targets_panel(py::module_ &m);
void register_scrolling(py::module_ &m);
void register_run_settings_panel(py::module_ &m);
void register_type_rules_overlay(py::module_ &m);
void register_overrides_overlay(py::module_ &m);
void register_save_overlay(py::module_ &m);
void register_static_overlays(py::module_ &m);
}  // namespace zyl
