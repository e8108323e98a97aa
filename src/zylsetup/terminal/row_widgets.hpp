// The row widgets (tab bar, mode verb, Targets marker, mode block) as the
// other renderers call them: by name at each call, straight to the native
// body while the name still holds the function this module defined, through
// whatever is bound there otherwise.
#pragma once

#include "prelude.hpp"

namespace zyl::widgets {

py::object call_render_tab_bar(py::handle active_screen);
py::object call_mode_verb(py::handle mode);
py::object call_make_target_marker(py::handle entry, py::handle record);
py::object call_make_block(py::handle mode);

}  // namespace zyl::widgets
