#include "prelude.hpp"

#include "driver.hpp"

namespace zyl {

void register_targets_keys(py::module_ &) {}

}  // namespace zyl
