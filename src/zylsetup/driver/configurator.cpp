#include "prelude.hpp"

#include "driver.hpp"

namespace zyl {

void register_configurator(py::module_ &) {}

}  // namespace zyl
