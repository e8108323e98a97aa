// Text the configurator did not write itself (module ids and class names
// from the user's network, setting names and values from files, file names,
// exception texts) goes through `shown_text` wherever it enters a row, an
// overlay, an editor frame or a status line: a control character in it
// would otherwise drive the terminal (clear the screen, break a row, set the
// clipboard) instead of being seen, and a lone surrogate (a name made from
// undecodable bytes, a ModuleDict key) could not be printed at all.
#pragma once

#include "prelude.hpp"

namespace zyl {

// The ordinary text form of `value`, with each C0 control, DEL, C1 control
// and lone surrogate written as repr writes that character alone ("\x1b",
// "\n", "\t", "\x7f", "\x9b", "\ud800").  Printable text comes back as the
// very object it was (a text) or its str(), so ordinary names cost one scan
// and no copy.
py::str shown_text(py::handle value);

}  // namespace zyl
