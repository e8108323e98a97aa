// Small helpers the key handlers share for classifying one key text.
#pragma once

#include "prelude.hpp"

namespace zyl {

// The module-level key test `test` (is_up_key, is_enter_key, ...) applied to
// `key`, looked up at each call so a rebound test is honoured.
inline bool key_holds(const char *test, py::handle key) {
    return py::bool_(call(test, key));
}


// Exact comparison of the key text with one literal key.
inline bool key_is(py::handle key, const char *literal) {
    return equals(key, py::str(literal));
}

}  // namespace zyl
