#include "prelude.hpp"

#include "model.hpp"

namespace zyl {

void register_mode_edits(py::module_ &) {}

}  // namespace zyl
