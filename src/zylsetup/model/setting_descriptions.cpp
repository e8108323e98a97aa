#include "prelude.hpp"

#include "model.hpp"

namespace zyl {

void register_setting_descriptions(py::module_ &) {}

}  // namespace zyl
