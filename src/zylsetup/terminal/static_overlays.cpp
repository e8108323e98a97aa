#include "prelude.hpp"

#include "terminal.hpp"

namespace zyl {

void register_static_overlays(py::module_ &) {}

}  // namespace zyl
