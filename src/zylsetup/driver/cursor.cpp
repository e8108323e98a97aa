#include "prelude.hpp"

#include "driver.hpp"

namespace zyl {

void register_cursor(py::module_ &) {}

}  // namespace zyl
