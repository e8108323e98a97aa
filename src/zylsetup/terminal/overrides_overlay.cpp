#include "prelude.hpp"

#include "terminal.hpp"

namespace zyl {

void register_overrides_overlay(py::module_ &) {}

}  // namespace zyl
