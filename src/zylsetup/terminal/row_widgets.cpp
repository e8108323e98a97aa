#include "prelude.hpp"

#include "terminal.hpp"

namespace zyl {

void register_row_widgets(py::module_ &) {}

}  // namespace zyl
