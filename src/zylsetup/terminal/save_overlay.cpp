#include "prelude.hpp"

#include "terminal.hpp"

namespace zyl {

void register_save_overlay(py::module_ &) {}

}  // namespace zyl
