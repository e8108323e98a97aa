// The Run settings panel: buckets of run-wide settings, drawn as panel parts.
#include "prelude.hpp"

#include "row_widgets.hpp"
#include "terminal.hpp"
#include "text_pieces.hpp"

namespace zyl {

namespace {

using namespace text_pieces;

py::object bucket_line(py::handle item, py::handle cursor) {
    const char *glyph = truthy(item["is_expanded"]) ? "\u25be" : "\u25b8";
    py::object styled_glyph = colored(glyph, global("COLOR_ACCENT"));
    py::object count = dim(concat({py::str("("), item["count"], py::str(")")}));
    return concat({cursor, styled_glyph, py::str(" "), shown(item["bucket"]), py::str(" "), count});
}

py::object setting_line(py::handle item, py::handle cursor) {
    py::object name = item["name"];
    py::object value = item["value"];
    py::object value_text = shown(call("format_run_setting_value", name, value));
    py::object hint;
    if (!call("get_enum_options", name).is_none()) {
        hint = dim("  (Enter cycles)");
    } else if (PyBool_Check(value.ptr())) {
        hint = dim("  (Enter toggles)");
    } else {
        hint = py::str("");
    }
    return concat({cursor, py::str("  "), shown(name), py::str(" = "), value_text, hint});
}

py::tuple render_run_settings_lines(py::handle items, py::object selected_index,
                                    py::handle describe_name) {
    py::list header;
    header.append(widgets::call_render_tab_bar(py::str("run")));
    header.append(py::str(""));
    header.append(dim("  Run settings \u2014 run-wide configuration"));
    header.append(global("HR"));

    py::str blank_cursor("  ");
    py::list body;
    py::ssize_t i = 0;
    for (py::handle item : py::iter(items)) {
        py::object cursor = index_is(selected_index, i) ? colored("> ", cursor_color)
                                                        : py::object(blank_cursor);
        py::object type = item["type"];
        if (type.equal(py::str("bucket"))) {
            body.append(bucket_line(item, cursor));
        } else if (type.equal(py::str("divider"))) {
            // A divider is never the cursor's row to show, even when selected.
            body.append(concat({py::str("     "), dim("\u2500 rarely changed \u2500")}));
        } else {
            body.append(setting_line(item, cursor));
        }
        ++i;
    }

    py::object footer_line;
    if (truthy(describe_name)) {
        py::object description = call("get_setting_description", describe_name);
        footer_line = dim(shown(concat({describe_name, py::str(" \u2014 "), description})));
    } else {
        footer_line = dim(
            "\u2192 expand \u00b7 \u2190 collapse   Enter edit   h describe   "
            "\u2191\u2193/jk move   Tab switch panel   s start");
    }
    py::list footer;
    footer.append(global("HR"));
    footer.append(footer_line);

    py::tuple focus = py::make_tuple(selected_index, selected_index + py::int_(1));
    return py::make_tuple(header, body, footer, focus);
}

}  // namespace

void register_run_settings_panel(py::module_ &m) {
    m.def("render_run_settings_lines", &render_run_settings_lines, "items"_a,
          "selected_index"_a, "describe_name"_a);
}

}  // namespace zyl
