#include "prelude.hpp"

#include "driver.hpp"

namespace zyl {

void register_session_gates(py::module_ &) {}

}  // namespace zyl
