// Temporary stand-ins for the panel key handlers until they land; the keys
// that reach a panel only clear the status line meanwhile.
#include "prelude.hpp"

#include "configurator_state.hpp"

namespace zyl {

void handle_targets_key(ConfiguratorState &, const py::object &, const py::dict &) {}

void handle_run_settings_key(ConfiguratorState &, const py::object &) {}

}  // namespace zyl
