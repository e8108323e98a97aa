// Every call into CPython's private API (names with a leading underscore,
// type internals) that either module makes goes through this header and
// nowhere else.  Each wrapper says what it is for and the CPython versions it
// was built and tested against; all of them serve a shortcut only, with a
// plain route beside it.
#pragma once

namespace zyl::cpython {

}  // namespace zyl::cpython
