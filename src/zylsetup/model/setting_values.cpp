#include "prelude.hpp"

#include "model.hpp"

namespace zyl {

void register_setting_values(py::module_ &) {}

}  // namespace zyl
