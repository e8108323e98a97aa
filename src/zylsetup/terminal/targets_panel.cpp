#include "prelude.hpp"

#include "terminal.hpp"

namespace zyl {

void register_targets_panel(py::module_ &) {}

}  // namespace zyl
