// Every way out of set_zylation_targets gives the terminal back: the signals
// that would end the process while the terminal is ours are taken over for
// the run, and whatever ends the run (a return, an interrupt, a termination
// signal, any error) first shuts every signal out, then leaves the alternate
// screen and puts auto-persist back, and only then lets the signals that
// arrived meanwhile take effect.
#pragma once

#include "prelude.hpp"

#include "configurator_state.hpp"

#include <functional>

namespace zyl {

// KeyboardInterrupt, or the termination that a SIGTERM or SIGHUP raises
// while the configurator holds the terminal.
bool is_interrupt(const py::error_already_set &error);

// Runs `region` (everything after auto-persist was switched off) and then
// the restoring step, whichever way the region ends.  Returns when the run
// was saved or cancelled (an interrupt sets `quit_requested`); rethrows any
// other error; ends the process by the termination signal that stopped the
// run, once the terminal is back.
void hold_the_terminal(ConfiguratorState &state, const py::object &pc_dict,
                       const std::function<void()> &region);

}  // namespace zyl
