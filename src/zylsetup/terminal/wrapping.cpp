#include "prelude.hpp"

#include "terminal.hpp"

namespace zyl {

void register_wrapping(py::module_ &) {}

}  // namespace zyl
