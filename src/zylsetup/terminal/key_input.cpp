#include "prelude.hpp"

#include "terminal.hpp"

namespace zyl {

void register_key_input(py::module_ &) {}

}  // namespace zyl
