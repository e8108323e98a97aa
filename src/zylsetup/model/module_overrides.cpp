#include "prelude.hpp"

#include "model.hpp"

namespace zyl {

void register_module_overrides(py::module_ &) {}

}  // namespace zyl
