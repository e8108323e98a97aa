// Text the configurator did not write itself (module ids and class names
// from the user's network, setting names and values from files, file names,
// exception texts) goes through `shown_text` wherever it enters a row, an
// overlay, an editor frame or a status line: a control character in it
// would otherwise drive the terminal (clear the screen, break a row, set the
// clipboard) instead of being seen, a bidi override, a zero-width or format
// character or a line separator would reorder or hide what the row shows,
// and a lone surrogate (a name made from undecodable bytes, a ModuleDict
// key) could not be printed at all.
#pragma once

#include "prelude.hpp"

namespace zyl {

// The ordinary text form of `value`, with each character for which
// str.isprintable() is false (controls, separators other than the blank,
// format characters, lone surrogates, unassigned and private-use code points)
// written as repr writes that character alone ("\x1b", "\n", "\xa0",
// "\u202e", "\ud800", "\U000e0001").  Printable text comes back as the
// very object it was (a text) or its str(), so ordinary names cost one scan
// and no copy.
py::str shown_text(py::handle value);

}  // namespace zyl
