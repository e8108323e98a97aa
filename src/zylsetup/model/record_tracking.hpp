// Mode records out of the cycle collector's sight, without losing a caller's
// cycles.
//
// The records of a resolution hold only texts and, where an ancestor masks a
// module's own mode, a map of texts.  The map makes the interpreter track the
// record, and the thousands of records that outlive each frame are then
// promoted into the oldest generation and set off a full collection of the
// whole heap every few frames: on 50,000 modules about 0.4 s, every seventh
// key or so.  So they are handed out untracked and kept here.  A caller can
// still write something into a record's masked-mode map, which tracks the map
// again but not the record, and a cycle through an untracked record is one
// the collector never sees.  So a record leaves this keeping in one of three
// ways:
// - nobody else holds it any more: it is let go (and freed);
// - a full collection starts (gc.collect() among them): it is tracked again
//   and let go, so that collection finds any cycle through it;
// - a caller still holds it at the second resolution after the one that made
//   it: it is tracked again and let go, and from then on is a dict like any
//   other.
#pragma once

#include "prelude.hpp"

namespace zyl::record_tracking {

// At the start of a resolution: lets go of the records no one else holds,
// and says whether this resolution may hand its records out untracked (not
// when something has taken the collector's hook away from gc.callbacks).
bool begin_resolution();

// Hands `record` out untracked, if all it holds can never be part of a cycle
// until written to: values that the collector does not follow, and a
// masked-mode map that the interpreter keeps untracked.
void hand_out(py::handle record, std::initializer_list<py::handle> values, py::handle overridden);

}  // namespace zyl::record_tracking
