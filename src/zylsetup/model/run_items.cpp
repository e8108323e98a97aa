#include "prelude.hpp"

#include "model.hpp"

namespace zyl {

void register_run_items(py::module_ &) {}

}  // namespace zyl
