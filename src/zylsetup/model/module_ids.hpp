// Id arithmetic on module entry ids, shared by the entries and the mode
// resolution that walks from each module to its parent.
#pragma once

#include "prelude.hpp"

namespace zyl {

// The module-level get_parent_module_id (registered with zyl::def, so
// zyl::call_own may run it directly).
py::object get_parent_module_id(py::handle module_id);

}  // namespace zyl
