#include "prelude.hpp"

#include "driver.hpp"

namespace zyl {

void register_value_editors(py::module_ &) {}

}  // namespace zyl
