#include "prelude.hpp"

#include "model.hpp"

namespace zyl {

void register_summaries(py::module_ &) {}

}  // namespace zyl
