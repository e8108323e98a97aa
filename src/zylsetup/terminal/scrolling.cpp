#include "prelude.hpp"

#include "terminal.hpp"

namespace zyl {

void register_scrolling(py::module_ &) {}

}  // namespace zyl
