#include "prelude.hpp"

#include "driver.hpp"

namespace zyl {

void register_run_settings_keys(py::module_ &) {}

}  // namespace zyl
