#include "prelude.hpp"

#include "model.hpp"

namespace zyl {

void register_mode_resolution(py::module_ &) {}

}  // namespace zyl
