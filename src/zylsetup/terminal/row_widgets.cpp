// Small pieces shared by the panels and overlays: the tab bar, mode verbs,
// the five-column Targets marker and the coloured mode block.
#include "prelude.hpp"

#include "ansi_text.hpp"
#include "row_widgets.hpp"
#include "terminal.hpp"
#include "text_pieces.hpp"

namespace zyl {

namespace widgets {

namespace {

using ansi::call_color_text;
using ansi::call_dim;
using text_pieces::concat;

py::object render_tab_bar(py::object active_screen) {
    py::object targets = py::str("Targets");
    py::object run = py::str("Run settings");
    if (active_screen.equal(py::str("targets"))) {
        targets = call_color_text(targets, global("COLOR_ACCENT"));
    } else {
        run = call_color_text(run, global("COLOR_ACCENT"));
    }
    return concat({py::str("[ "), targets, py::str(" \u2502 "), run, py::str(" ]            "),
                   call_dim(py::str("[Tab] switch panel    ? help"))});
}

py::object mode_verb(py::object mode) {
    py::object verbs = global("MODE_VERB");
    if (verbs.contains(mode)) return verbs[mode];
    return text_form(mode);
}

py::object make_block(py::object mode) {
    return call_color_text(py::str("\u2588\u2588"), call("get_color_hex_for_mode", mode));
}

py::object make_target_marker(py::object entry, py::object record) {
    const py::str blanks("     ");
    if (py::bool_(entry["in_replaced"])) return py::make_tuple(blanks, blanks);
    py::object eff = record["eff"];
    if (eff.is_none()) {
        py::object count = entry["direct_param_count"];
        if (count > py::int_(0)) {
            py::object attention = global("COLOR_ATTENTION");
            py::object display = concat({call_color_text(py::str("!"), attention), py::str(" "),
                                         call_color_text(py::str("\u2588\u2588"), attention), py::str(" ")});
            return py::make_tuple(display, py::str("! \u2588\u2588 "));
        }
        return py::make_tuple(blanks, blanks);
    }
    py::object source = record["source"];
    const char *lead = "  ";
    if (source.equal(py::str("inherited"))) {
        lead = "\u21b3 ";
    } else if (source.equal(py::str("id"))) {
        lead = "* ";
    }
    py::object display = concat({py::str(lead), call_make_block(eff), py::str(" ")});
    return py::make_tuple(display, py::str(std::string(lead) + "\u2588\u2588 "));
}

py::object borrowed(py::handle value) { return py::reinterpret_borrow<py::object>(value); }

}  // namespace

py::object call_render_tab_bar(py::handle active_screen) {
    return call_own<&render_tab_bar>("render_tab_bar", borrowed(active_screen));
}

py::object call_mode_verb(py::handle mode) { return call_own<&mode_verb>("mode_verb", borrowed(mode)); }

py::object call_make_target_marker(py::handle entry, py::handle record) {
    return call_own<&make_target_marker>("make_target_marker", borrowed(entry), borrowed(record));
}

py::object call_make_block(py::handle mode) { return call_own<&make_block>("make_block", borrowed(mode)); }

}  // namespace widgets

void register_row_widgets(py::module_ &m) {
    using namespace widgets;
    zyl::def<&render_tab_bar>(m, "render_tab_bar", "active_screen"_a);
    zyl::def<&mode_verb>(m, "mode_verb", "mode"_a);
    zyl::def<&make_target_marker>(m, "make_target_marker", "entry"_a, "record"_a);
    zyl::def<&make_block>(m, "make_block", "mode"_a);
}

}  // namespace zyl
