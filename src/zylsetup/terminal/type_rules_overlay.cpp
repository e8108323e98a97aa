#include "prelude.hpp"

#include "terminal.hpp"

namespace zyl {

void register_type_rules_overlay(py::module_ &) {}

}  // namespace zyl
