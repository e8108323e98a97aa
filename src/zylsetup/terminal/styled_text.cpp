#include "prelude.hpp"

#include "terminal.hpp"

namespace zyl {

void register_styled_text(py::module_ &) {}

}  // namespace zyl
