// The type-rules box shown above the Targets panel, and the joining of a
// full-screen overlay's lines into one screen text.
#include "prelude.hpp"

#include "terminal.hpp"
#include "text_pieces.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace zyl {

namespace {

using namespace text_pieces;

// Narrowest box: the title border must stay readable with no rules at all.
constexpr py::ssize_t min_box_width = 38;

struct BoxRow {
    py::str plain;  // measures the row
    py::object styled;
};

std::string repeat(const char *piece, py::ssize_t times) {
    std::string out;
    for (py::ssize_t k = 0; k < times; ++k) out += piece;
    return out;
}

std::vector<BoxRow> rule_rows(py::handle rules) {
    std::vector<BoxRow> rows;
    for (py::handle rule : py::iter(rules)) {
        // Shown before it is measured, so the box fits what is drawn.
        py::object type_name = shown(rule[py::int_(0)]);
        py::object mode = rule[py::int_(1)];
        py::object count = rule[py::int_(2)];
        py::object verb = call("mode_verb", mode);
        py::str plain = concat({type_name, py::str(" \u2192 "), verb, py::str("  ("), count,
                                py::str(")")});
        py::object arrow = colored(concat({py::str("\u2192 "), verb}),
                                   call("get_color_hex_for_mode", mode));
        py::object tally = dim(concat({py::str("  ("), count, py::str(")")}));
        rows.push_back({plain, concat({type_name, py::str(" "), arrow, tally})});
    }
    if (rows.empty()) {
        py::str notice("none yet \u2014 P / T on a row sets one");
        rows.push_back({notice, dim(notice)});
    }
    return rows;
}

py::list render_type_rules_overlay(py::handle entries) {
    std::vector<BoxRow> rows = rule_rows(call("type_rule_entries", entries));

    py::ssize_t width = min_box_width;
    for (const auto &row : rows) width = std::max(width, length(row.plain) + 2);

    py::str indent("  ");
    py::list lines;
    lines.append(concat(
        {indent, dim("\u250c\u2500 Type rules " + repeat("\u2500", width - 13) + "\u2510")}));
    py::object left = dim("\u2502 ");
    py::object right = dim("\u2502");
    for (const auto &row : rows) {
        py::str padding(std::string(static_cast<std::size_t>(width - length(row.plain) - 1), ' '));
        lines.append(concat({indent, left, row.styled, padding, right}));
    }
    lines.append(concat({indent, dim("\u2514" + repeat("\u2500", width) + "\u2518")}));
    lines.append(concat({indent, colored("y or Esc to close", global("COLOR_ACCENT"))}));
    return lines;
}

py::str render_static_overlay(py::handle lines) { return join("\n", lines); }

}  // namespace

void register_type_rules_overlay(py::module_ &m) {
    m.def("render_static_overlay", &render_static_overlay, "lines"_a);
    m.def("render_type_rules_overlay", &render_type_rules_overlay, "entries"_a);
}

}  // namespace zyl
