// The Overrides overlay: every customizable setting with the value that
// applies in one override scope, and where that value comes from.
#include "prelude.hpp"

#include "terminal.hpp"
#include "text_pieces.hpp"

#include <vector>

namespace zyl {

namespace {

using namespace text_pieces;

py::list render_overrides_overlay(py::handle scope, py::object ov_selected_index,
                                  py::handle module_settings_overrides,
                                  py::handle existing_module_settings,
                                  py::handle describe_name) {
    py::object kind = scope["kind"];
    py::object scope_key = scope["scope_key"];
    py::str title = kind.equal(py::str("id"))
                        ? concat({py::str("Overrides \u2014 "), shown(scope_key)})
                        : concat({py::str("Overrides \u2014 every "), shown(scope_key)});

    py::object scoped = call("get_scope_values", scope_key, module_settings_overrides,
                             existing_module_settings);

    py::list lines;
    lines.append(call("render_tab_bar", "targets"));
    lines.append(py::str(""));
    lines.append(concat({py::str("  "), colored(title, global("COLOR_ACCENT"))}));
    lines.append(global("HR"));
    lines.append(py::str(""));

    std::vector<py::object> names;
    for (py::handle name : py::iter(global("CUSTOMIZABLE_SETTING_NAMES"))) {
        names.push_back(py::reinterpret_borrow<py::object>(name));
    }
    if (names.empty()) {
        lines.append(concat(
            {py::str("  "), dim("No per-target settings are customizable in this build.")}));
    }

    py::str blank_cursor("  ");
    py::ssize_t i = 0;
    for (const auto &name : names) {
        bool overridden = scoped.contains(name);
        py::object value = overridden ? py::object(scoped[name])
                                      : call("get_global_setting_value", name);
        py::object cursor = index_is(ov_selected_index, i) ? colored("> ", cursor_color)
                                                            : py::object(blank_cursor);
        py::object tag = dim(overridden ? "(overridden here)" : "(from run settings)");
        py::object value_text = shown(call("format_run_setting_value", name, value));
        lines.append(concat({cursor, shown(name), py::str(" = "), value_text, py::str("  "), tag}));
        ++i;
    }

    lines.append(py::str(""));
    if (truthy(describe_name)) {
        py::object description = call("get_setting_description", describe_name);
        lines.append(dim(shown(concat({describe_name, py::str(" \u2014 "), description}))));
    } else {
        lines.append(dim("Enter edit \u00b7 h describe \u00b7 \u2191\u2193/jk move \u00b7 Esc / x close"));
    }
    return lines;
}

}  // namespace

void register_overrides_overlay(py::module_ &m) {
    m.def("render_overrides_overlay", &render_overrides_overlay, "scope"_a,
          "ov_selected_index"_a, "module_settings_overrides"_a, "existing_module_settings"_a,
          "describe_name"_a);
}

}  // namespace zyl
