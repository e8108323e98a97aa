#include "prelude.hpp"

#include "zylstrip.hpp"

namespace zyl {

void register_forward_module(py::module_ &) {}

}  // namespace zyl
