#include "prelude.hpp"

#include "terminal.hpp"

namespace zyl {

void register_run_settings_panel(py::module_ &) {}

}  // namespace zyl
