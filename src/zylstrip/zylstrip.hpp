// Registration of the network conversion.
#pragma once

#include "prelude.hpp"

namespace zyl {
void register_forward_module(py::module_ &m);
void register_conversion_walk(py::module_ &m);
}  // namespace zyl
