#include "prelude.hpp"

#include "zylstrip.hpp"

namespace zyl {

void register_conversion_walk(py::module_ &) {}

}  // namespace zyl
