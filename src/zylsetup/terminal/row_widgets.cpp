// Small pieces shared by the panels and overlays: the tab bar, mode verbs,
// the five-column Targets marker and the coloured mode block.
#include "prelude.hpp"

#include "terminal.hpp"

namespace zyl {

namespace {

py::object render_tab_bar(py::object active_screen) {
    py::object targets = py::str("Targets");
    py::object run = py::str("Run settings");
    if (active_screen.equal(py::str("targets"))) {
        targets = call("color_text", targets, global("COLOR_ACCENT"));
    } else {
        run = call("color_text", run, global("COLOR_ACCENT"));
    }
    return py::str("[ ") + targets + py::str(" \u2502 ") + run + py::str(" ]            ") +
           call("dim", "[Tab] switch panel    ? help");
}

py::object mode_verb(py::object mode) {
    py::object verbs = global("MODE_VERB");
    if (verbs.contains(mode)) return verbs[mode];
    return py::str(mode);
}

py::object make_block(py::object mode) {
    return call("color_text", "\u2588\u2588", call("get_color_hex_for_mode", mode));
}

py::tuple make_target_marker(py::object entry, py::object record) {
    const py::str blanks("     ");
    if (py::bool_(entry["in_replaced"])) return py::make_tuple(blanks, blanks);
    py::object eff = record["eff"];
    if (eff.is_none()) {
        py::object count = entry["direct_param_count"];
        if (count > py::int_(0)) {
            py::object attention = global("COLOR_ATTENTION");
            py::object display = call("color_text", "!", attention) + py::str(" ") +
                                 call("color_text", "\u2588\u2588", attention) + py::str(" ");
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
    py::object display = py::str(lead) + call("make_block", eff) + py::str(" ");
    return py::make_tuple(display, py::str(std::string(lead) + "\u2588\u2588 "));
}

}  // namespace

void register_row_widgets(py::module_ &m) {
    m.def("render_tab_bar", &render_tab_bar, "active_screen"_a);
    m.def("mode_verb", &mode_verb, "mode"_a);
    m.def("make_target_marker", &make_target_marker, "entry"_a, "record"_a);
    m.def("make_block", &make_block, "mode"_a);
}

}  // namespace zyl
