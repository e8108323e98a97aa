// The Targets panel: header, one or two rows per visible module entry, footer
// and the focus of the highlighted entry.
//
// The panel is redrawn on every key over networks of tens of thousands of
// modules, so the rows are assembled here as UTF-8 in one buffer each, with
// the same styled pieces that color_text, dim, make_target_marker, mode_verb
// and format_human_count produce, instead of one interpreter round-trip per
// piece.  The once-per-frame parts (header, footer, summaries) go through
// the module-level functions as usual.
#include "prelude.hpp"

#include "terminal.hpp"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace zyl {

namespace {

constexpr std::string_view RESET = "\x1b[0m";
constexpr std::string_view DIM_OPEN = "\x1b[90m";
constexpr std::string_view BLOCK = "\u2588\u2588";
constexpr std::string_view BLANK_MARKER = "     ";
constexpr Py_ssize_t MARKER_WIDTH = 5;
constexpr Py_ssize_t TAIL_COLUMN = 46;

// A value's ordinary text form as UTF-8, with its length in characters.
struct Text {
    py::object owner;
    std::string_view utf8;
    Py_ssize_t length = 0;
};

Text text_of(py::handle value) {
    Text t;
    if (PyUnicode_CheckExact(value.ptr())) {
        t.owner = py::reinterpret_borrow<py::object>(value);
    } else {
        PyObject *s = PyObject_Str(value.ptr());
        if (s == nullptr) throw py::error_already_set();
        t.owner = py::reinterpret_steal<py::object>(s);
    }
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(t.owner.ptr(), &size);
    if (data == nullptr) throw py::error_already_set();
    t.utf8 = std::string_view(data, static_cast<size_t>(size));
    t.length = PyUnicode_GET_LENGTH(t.owner.ptr());
    return t;
}

// map[key], with the map's own KeyError when it is missing.
py::object item(py::handle map, py::handle key) {
    if (PyDict_CheckExact(map.ptr())) {
        PyObject *found = PyDict_GetItemWithError(map.ptr(), key.ptr());
        if (found != nullptr) return py::reinterpret_borrow<py::object>(found);
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    PyObject *found = PyObject_GetItem(map.ptr(), key.ptr());
    if (found == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(found);
}

bool truthy(py::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

bool equals(py::handle a, py::handle b) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

bool positive(py::handle value) {
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (overflow != 0) return overflow > 0;
        if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
        return v > 0;
    }
    int result = PyObject_RichCompareBool(value.ptr(), py::int_(0).ptr(), Py_GT);
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

bool is_hex_digit(Py_UCS4 c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hex_value(Py_UCS4 c) {
    if (c <= '9') return static_cast<int>(c - '0');
    if (c <= 'F') return static_cast<int>(c - 'A' + 10);
    return static_cast<int>(c - 'a' + 10);
}

// The opening sequence color_text writes for a colour text.  Plain hex
// digits are read here; anything else takes the interpreter's own base-16
// parse of each pair, so odd colour texts give color_text's result or error.
std::string colour_open(py::handle hex) {
    int rgb[3] = {0, 0, 0};
    PyObject *h = hex.ptr();
    bool plain = PyUnicode_Check(h) && PyUnicode_GET_LENGTH(h) >= 6;
    for (Py_ssize_t i = 0; plain && i < 6; ++i) plain = is_hex_digit(PyUnicode_ReadChar(h, i));
    if (plain) {
        for (int k = 0; k < 3; ++k) {
            rgb[k] = hex_value(PyUnicode_ReadChar(h, 2 * k)) * 16 + hex_value(PyUnicode_ReadChar(h, 2 * k + 1));
        }
    } else {
        py::object parse = builtin("int");
        for (int k = 0; k < 3; ++k) {
            py::object pair = py::reinterpret_borrow<py::object>(hex)[py::slice(2 * k, 2 * k + 2, 1)];
            rgb[k] = parse(pair, 16).cast<int>();
        }
    }
    return "\x1b[38;2;" + std::to_string(rgb[0]) + ";" + std::to_string(rgb[1]) + ";" +
           std::to_string(rgb[2]) + "m";
}

// format_human_count for the integer parameter counts rows show; other values
// are left to the module function.
void append_human_count(std::string &out, py::handle value) {
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (overflow == 0) {
            if (v < 1000) {
                out += std::to_string(v);
                return;
            }
            double scaled = 0;
            const char *suffix = "B";
            if (v < 1000000) {
                scaled = static_cast<double>(v) / 1000.0;
                suffix = "K";
            } else if (v < 1000000000) {
                scaled = static_cast<double>(v) / 1000000.0;
                suffix = "M";
            } else {
                scaled = static_cast<double>(v) / 1000000000.0;
            }
            char buffer[64];
            int n = std::snprintf(buffer, sizeof buffer, "%.1f", scaled);
            std::string_view digits(buffer, static_cast<size_t>(n));
            if (digits.ends_with(".0")) digits.remove_suffix(2);
            out += digits;
            out += suffix;
            return;
        }
    }
    out += text_of(call("format_human_count", value)).utf8;
}

struct Styled {
    std::string accent, attention, zylate, track, no_mode, cursor;
};

// Interned lookup keys, made once per frame.
struct Keys {
    py::str id{"id"}, type_name{"type_name"}, depth{"depth"}, direct_param_count{"direct_param_count"},
        is_replaced_root{"is_replaced_root"}, in_replaced{"in_replaced"}, replaced_root{"replaced_root"},
        eff{"eff"}, source{"source"}, origin_id{"origin_id"}, overridden{"overridden"}, mode{"mode"},
        zylated{"zylated"}, tracked{"tracked"}, inherited{"inherited"}, by_id{"id"};
    Keys() {
        for (py::str *k : {&id, &type_name, &depth, &direct_param_count, &is_replaced_root, &in_replaced,
                           &replaced_root, &eff, &source, &origin_id, &overridden, &mode, &zylated, &tracked,
                           &inherited, &by_id}) {
            PyObject *p = k->release().ptr();
            PyUnicode_InternInPlace(&p);
            *k = py::reinterpret_steal<py::str>(p);
        }
    }
};

void append_coloured(std::string &out, std::string_view open, std::string_view piece) {
    out += open;
    out += piece;
    out += RESET;
}

void append_dim_open(std::string &out) { out += DIM_OPEN; }

class TargetRows {
public:
    TargetRows(py::object entries, py::object resolved, py::object expanded_replaced)
        : entries_(std::move(entries)),
          resolved_(std::move(resolved)),
          expanded_(std::move(expanded_replaced)),
          verbs_(global("MODE_VERB")) {
        styled_.accent = colour_open(global("COLOR_ACCENT"));
        styled_.attention = colour_open(global("COLOR_ATTENTION"));
        styled_.zylate = colour_open(global("COLOR_ZYLATE"));
        styled_.track = colour_open(global("COLOR_TRACK"));
        styled_.no_mode = colour_open(py::str("000000"));
        styled_.cursor = colour_open(py::str("E8EEEC"));
    }

    // entry_lines: appends the entry's rows to `body`, returns how many.
    Py_ssize_t append_entry_lines(py::handle entry, bool selected, py::list &body) {
        row_.clear();
        if (selected) {
            append_coloured(row_, styled_.cursor, "> ");
        } else {
            row_ += "  ";
        }
        Py_ssize_t depth = PyNumber_AsSsize_t(item(entry, keys_.depth).ptr(), PyExc_OverflowError);
        if (depth == -1 && PyErr_Occurred()) throw py::error_already_set();
        const Py_ssize_t indent_width = depth > 0 ? 2 * depth : 0;
        py::object id = item(entry, keys_.id);
        py::object record = item(resolved_, id);

        if (truthy(item(entry, keys_.is_replaced_root))) {
            return append_replaced_root(entry, id, indent_width, body);
        }

        // The marker, as make_target_marker chooses it.
        py::object eff;
        py::object source;
        py::object count;
        const bool in_replaced = truthy(item(entry, keys_.in_replaced));
        if (in_replaced) {
            row_ += BLANK_MARKER;
        } else {
            eff = item(record, keys_.eff);
            if (eff.is_none()) {
                count = item(entry, keys_.direct_param_count);
                if (positive(count)) {
                    append_coloured(row_, styled_.attention, "!");
                    row_ += ' ';
                    append_coloured(row_, styled_.attention, BLOCK);
                    row_ += ' ';
                } else {
                    row_ += BLANK_MARKER;
                }
            } else {
                source = item(record, keys_.source);
                if (equals(source, keys_.inherited)) {
                    row_ += "\u21b3 ";
                } else if (equals(source, keys_.by_id)) {
                    row_ += "* ";
                } else {
                    row_ += "  ";
                }
                append_coloured(row_, mode_colour(eff), BLOCK);
                row_ += ' ';
            }
        }
        row_ += ' ';
        row_.append(static_cast<size_t>(indent_width), ' ');

        Text id_text = text_of(id);
        Text type_text = text_of(item(entry, keys_.type_name));
        if (in_replaced) {
            append_dim_open(row_);
            row_ += id_text.utf8;
            row_ += "  [";
            row_ += type_text.utf8;
            row_ += "] (id stale)";
            row_ += RESET;
            append_row(body);
            return 1;
        }

        row_ += id_text.utf8;
        row_ += "  ";
        append_dim_open(row_);
        row_ += '[';
        row_ += type_text.utf8;
        row_ += ']';
        row_ += RESET;
        const Py_ssize_t lead = MARKER_WIDTH + indent_width + id_text.length + type_text.length + 7;
        row_.append(static_cast<size_t>(std::max<Py_ssize_t>(2, TAIL_COLUMN - lead)), ' ');

        if (!eff.is_none()) {
            row_ += mode_colour(eff);
            row_ += "mode=";
            row_ += verb_of(eff).utf8;
            row_ += RESET;
            if (equals(source, keys_.inherited)) {
                append_dim_open(row_);
                row_ += "  (via ";
                row_ += text_of(item(record, keys_.origin_id)).utf8;
                row_ += ')';
                row_ += RESET;
                py::object overridden = item(record, keys_.overridden);
                if (!overridden.is_none()) {
                    append_dim_open(row_);
                    row_ += "  \u2014 your ";
                    row_ += verb_of(item(overridden, keys_.mode)).utf8;
                    row_ += " here is ignored";
                    row_ += RESET;
                }
            }
        }
        if (!count) count = item(entry, keys_.direct_param_count);
        const bool has_params = positive(count);
        if (eff.is_none() && has_params) append_coloured(row_, styled_.attention, "needs a mode");
        if (has_params) {
            append_dim_open(row_);
            row_ += "   params=";
            append_human_count(row_, count);
            row_ += RESET;
        }
        append_row(body);
        return 1;
    }

private:
    Py_ssize_t append_replaced_root(py::handle entry, py::handle id, Py_ssize_t indent_width, py::list &body) {
        const Py_ssize_t children = child_count(id);
        const bool expanded = truthy(expanded_.attr("get")(id));

        append_coloured(row_, styled_.accent, "\u21af");
        row_ += "   ";
        row_.append(static_cast<size_t>(indent_width), ' ');
        row_ += text_of(id).utf8;
        row_ += "  ";
        append_dim_open(row_);
        row_ += '[';
        row_ += text_of(item(entry, keys_.type_name)).utf8;
        row_ += ']';
        row_ += RESET;
        row_ += "   ";
        append_coloured(row_, DIM_OPEN, "will be restructured for ZYL before training");
        append_row(body);

        row_.assign("      ");
        append_dim_open(row_);
        row_ += "\u2514 ";
        row_ += std::to_string(children);
        row_ += " modules below \u2014 ids won't exist at train time \u00b7 target by type (P/T), not id  ";
        row_ += RESET;
        append_coloured(row_, styled_.accent, expanded ? "[\u2190 collapse]" : "[\u2192 expand]");
        append_row(body);
        return 2;
    }

    // Entries under each restructured root, counted once per frame over all
    // of `entries`, hidden ones included.
    Py_ssize_t child_count(py::handle id) {
        if (!children_) {
            py::dict counts;
            for (py::handle entry : entries_) {
                py::object root = item(entry, keys_.replaced_root);
                PyObject *seen = PyDict_GetItemWithError(counts.ptr(), root.ptr());
                if (seen == nullptr && PyErr_Occurred()) throw py::error_already_set();
                Py_ssize_t n = seen == nullptr ? 0 : PyLong_AsSsize_t(seen);
                if (PyDict_SetItem(counts.ptr(), root.ptr(), py::int_(n + 1).ptr()) < 0) {
                    throw py::error_already_set();
                }
            }
            children_ = std::move(counts);
        }
        PyObject *found = PyDict_GetItemWithError(children_->ptr(), id.ptr());
        if (found == nullptr) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return 0;
        }
        return PyLong_AsSsize_t(found);
    }

    const std::string &mode_colour(py::handle mode) {
        if (equals(mode, keys_.zylated)) return styled_.zylate;
        if (equals(mode, keys_.tracked)) return styled_.track;
        return styled_.no_mode;
    }

    // mode_verb
    Text verb_of(py::handle mode) {
        if (PyDict_CheckExact(verbs_.ptr())) {
            PyObject *found = PyDict_GetItemWithError(verbs_.ptr(), mode.ptr());
            if (found != nullptr) return text_of(found);
            if (PyErr_Occurred()) throw py::error_already_set();
            return text_of(mode);
        }
        if (verbs_.contains(mode)) return text_of(verbs_[mode]);
        return text_of(mode);
    }

    void append_row(py::list &body) {
        PyObject *line = PyUnicode_DecodeUTF8(row_.data(), static_cast<Py_ssize_t>(row_.size()), nullptr);
        if (line == nullptr) throw py::error_already_set();
        int failed = PyList_Append(body.ptr(), line);
        Py_DECREF(line);
        if (failed != 0) throw py::error_already_set();
    }

    py::object entries_, resolved_, expanded_, verbs_;
    std::optional<py::dict> children_;
    Keys keys_;
    Styled styled_;
    std::string row_;
};

py::tuple render_targets_lines(py::object entries, py::object visible_entries, py::object selected_index,
                               py::object resolved, py::object expanded_replaced) {
    py::object len = builtin("len");
    const Py_ssize_t need = len(call("unset_module_entries", entries, resolved)).cast<Py_ssize_t>();
    py::object rules = call("type_rule_entries", entries);

    py::list lines;
    lines.append(call("render_tab_bar", "targets"));
    lines.append(py::str(""));
    lines.append(call("dim", "  zylate = add dendrites   \u00b7   track = not zylated   "));
    lines.append(py::str(""));
    py::object status;
    if (need >= 1) {
        const bool one = need == 1;
        std::string text = "  \u26a0 " + std::to_string(need) + (one ? " module" : " modules") + " still " +
                           (one ? "needs" : "need") + " a mode";
        status = call("color_text", text, global("COLOR_ATTENTION"));
    } else {
        status = call("color_text", "  \u2713 every parameter is zylated or tracked", global("COLOR_ZYLATE"));
    }
    const Py_ssize_t visible = len(call("strip_ansi", status)).cast<Py_ssize_t>();
    const Py_ssize_t pad = std::max<Py_ssize_t>(2, 58 - visible);
    py::object hint =
        call("color_text", "[y] type rules (" + std::to_string(len(rules).cast<Py_ssize_t>()) + ")",
             global("COLOR_ACCENT"));
    lines.append(status + py::str(std::string(static_cast<size_t>(pad), ' ')) + hint);
    lines.append(global("HR"));

    // Plain integer indexes are compared here; anything else by equality.
    std::optional<long long> selected;
    if (PyLong_Check(selected_index.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(selected_index.ptr(), &overflow);
        if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
        selected = overflow == 0 ? v : -1;
    }

    TargetRows rows(entries, resolved, expanded_replaced);
    py::list body_lines;
    Py_ssize_t focus_start = 0;
    Py_ssize_t focus_end = 1;
    long long i = 0;
    for (py::handle entry : visible_entries) {
        const bool is_selected = selected ? *selected == i : equals(py::int_(i), selected_index);
        const Py_ssize_t before = PyList_GET_SIZE(body_lines.ptr());
        const Py_ssize_t added = rows.append_entry_lines(entry, is_selected, body_lines);
        if (is_selected) {
            focus_start = before;
            focus_end = before + added;
        }
        ++i;
    }

    py::list footer;
    footer.append(global("HR"));
    footer.append(call("dim", call("build_budget_line", entries, resolved)));
    footer.append(py::str(""));
    footer.append(call("dim",
                       "p/t zylate\u00b7track this module   P/T whole type   x clear   h legend   "
                       "\u2191\u2193/jk move   s start"));
    return py::make_tuple(lines, body_lines, footer, py::make_tuple(focus_start, focus_end));
}

}  // namespace

void register_targets_panel(py::module_ &m) {
    m.def("render_targets_lines", &render_targets_lines, "entries"_a, "visible_entries"_a, "selected_index"_a,
          "resolved"_a, "expanded_replaced"_a);
}

}  // namespace zyl
