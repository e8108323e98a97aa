// Visible width and word wrapping of styled lines, and the cursor cell.
#include "prelude.hpp"

#include "ansi_text.hpp"
#include "checked_arithmetic.hpp"
#include "shown_text.hpp"
#include "terminal.hpp"

#include <algorithm>
#include <optional>
#include <vector>

namespace zyl {

namespace {

py::object terminal_size_query() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::tuple> fallback;
    const py::tuple &pair =
        fallback.call_once_and_store_result([] { return py::make_tuple(120, 40); }).get_stored();
    return global("shutil").attr("get_terminal_size")("fallback"_a = pair);
}

// Length of strip_ansi(line), without building the stripped text while the
// module's own strip_ansi is in place.
std::size_t visible_length(py::handle line) {
    if (ansi::rebound("strip_ansi").is_none() && PyUnicode_Check(line.ptr())) {
        return ansi::visible_width(line);
    }
    return py::len(ansi::call_strip_ansi(line));
}

[[noreturn]] void list_index_out_of_range() { throw py::index_error("list index out of range"); }

// Appends the rows of one styled line to `rows`.
void wrap_line(py::handle line, long long columns, py::list &rows) {
    if (columns < 1) {
        rows.append(line);
        return;
    }
    // The visible text: measured directly while strip_ansi is the module's
    // own, taken from the rebound function otherwise.
    py::object stripper = ansi::rebound("strip_ansi");
    const bool own_strip = stripper.is_none();
    py::object plain_text;
    std::size_t visible_len = 0;
    if (own_strip) {
        if (!PyUnicode_Check(line.ptr())) ansi::call_strip_ansi(line);  // raises its TypeError
        visible_len = ansi::visible_width(line);
    } else {
        plain_text = stripper(line);
        visible_len = py::len(plain_text);
    }
    if (static_cast<long long>(visible_len) <= columns) {
        rows.append(line);
        return;
    }

    const ansi::CodePoints raw(line);
    const std::size_t raw_len = raw.size();
    std::vector<std::size_t> visible_to_raw;
    // A rebound strip_ansi may report any length: the map never holds more
    // entries than the line has characters.
    visible_to_raw.reserve(std::min(visible_len, raw_len));
    for (std::size_t i = 0; i < raw_len;) {
        const std::size_t end = raw[i] == 0x1b ? ansi::sgr_end(raw, i, raw_len) : i;
        if (end != i) {
            i = end;
        } else {
            visible_to_raw.push_back(i);
            ++i;
        }
    }
    if (visible_to_raw.empty()) {
        rows.append(line);
        return;
    }

    std::optional<ansi::CodePoints> rebound_plain;
    if (!own_strip) rebound_plain.emplace(plain_text);
    // plain[k], as the interpreter indexes it: a rebound strip_ansi may
    // report a length its text does not have.
    const std::size_t plain_len = own_strip ? visible_to_raw.size() : rebound_plain->size();
    auto is_space = [&](std::size_t k) {
        if (k >= plain_len) throw py::index_error("string index out of range");
        const Py_UCS4 c = own_strip ? raw[visible_to_raw[k]] : (*rebound_plain)[k];
        return c == ' ';
    };
    auto raw_at = [&](std::size_t k) {
        if (k >= visible_to_raw.size()) list_index_out_of_range();
        return visible_to_raw[k];
    };

    const std::size_t width = static_cast<std::size_t>(columns);
    bool wrapped_any = false;
    std::size_t start = 0;
    while (start < visible_len) {
        while (start < visible_len && is_space(start)) ++start;
        if (start >= visible_len) break;
        const std::size_t max_end = width >= visible_len - start ? visible_len : start + width;
        std::size_t end = max_end;
        if (max_end != visible_len) {
            // Last blank before max_end; the character at max_end is not
            // examined, nor any past the text's end (rfind's range).
            for (std::size_t k = std::min(max_end, plain_len); k > start + 1;) {
                --k;
                if (is_space(k)) {
                    end = k;
                    break;
                }
            }
        }
        const std::size_t raw_start = raw_at(start);
        const std::size_t raw_end = end < visible_len ? raw_at(end) : raw_len;
        std::size_t kept = raw_end < raw_start ? raw_start : raw_end;
        while (kept > raw_start && Py_UNICODE_ISSPACE(raw[kept - 1])) --kept;
        rows.append(owned(PyUnicode_Substring(line.ptr(), static_cast<Py_ssize_t>(raw_start),
                                                static_cast<Py_ssize_t>(kept))));
        wrapped_any = true;
        start = (end < visible_len && is_space(end)) ? end + 1 : end;
    }
    if (!wrapped_any) rows.append(line);
}

// --- module-level functions ----------------------------------------------

py::object terminal_size() { return terminal_size_query(); }

py::object get_visual_line_count(py::handle lines, py::handle terminal_columns) {
    const long long columns = clamped_index(terminal_columns);
    // Lengths come from strip_ansi, which may be rebound to report any.
    ExactCount total;
    if (columns < 1) {
        for (py::handle line : lines) {
            (void)line;
            total.add(1);
        }
        return total.value();
    }
    const auto width = static_cast<std::size_t>(columns);
    for (py::handle line : lines) {
        const std::size_t len = visible_length(line);
        total.add(len == 0 ? 1 : len / width + (len % width != 0 ? 1 : 0));
    }
    return total.value();
}

py::list wrap_ansi_line_on_words(py::handle line, py::handle terminal_columns) {
    py::list rows;
    wrap_line(line, clamped_index(terminal_columns), rows);
    return rows;
}

py::object wrap_screen_text_for_terminal(py::handle screen_text) {
    py::object columns_obj = terminal_size_query().attr("columns");
    const long long columns = clamped_index(columns_obj);
    py::list rows;
    auto wrap_piece = [&](py::handle piece) {
        py::object wrapper =
            zyl::rebound<&wrap_ansi_line_on_words>("wrap_ansi_line_on_words");
        if (!wrapper) {
            wrap_line(piece, columns, rows);
            return;
        }
        for (py::handle row : wrapper(piece, columns_obj)) rows.append(row);
    };
    if (PyUnicode_Check(screen_text.ptr())) {
        const ansi::CodePoints text(screen_text);
        const std::size_t n = text.size();
        std::size_t piece_start = 0;
        for (std::size_t i = 0; i <= n; ++i) {
            if (i < n && text[i] != '\n') continue;
            wrap_piece(owned(PyUnicode_Substring(screen_text.ptr(),
                                                   static_cast<Py_ssize_t>(piece_start),
                                                   static_cast<Py_ssize_t>(i))));
            piece_start = i + 1;
        }
    } else {
        for (py::handle piece : screen_text.attr("split")("\n")) wrap_piece(piece);
    }
    return owned(PyUnicode_Join(py::str("\n").ptr(), rows.ptr()));
}

py::object render_text_with_cursor(py::handle text, py::handle cursor_index) {
    if (!PyUnicode_Check(text.ptr())) {
        throw py::type_error("render_text_with_cursor() needs a str, not '" +
                             std::string(Py_TYPE(text.ptr())->tp_name) + "'");
    }
    const long long length = PyUnicode_GET_LENGTH(text.ptr());
    long long index = clamped_index(cursor_index);
    if (index < 0) index = 0;
    if (index > length) index = length;
    // The buffer holds values read from files and typed bytes: each piece is
    // shown on its own, so the cursor stays on the character it stands on.
    if (index == length) {
        return owned(PyNumber_Add(shown_text(text).ptr(),
                                  ansi::call_make_inverted_text(py::str(" ")).ptr()));
    }
    const auto i = static_cast<Py_ssize_t>(index);
    py::object before = shown_text(owned(PyUnicode_Substring(text.ptr(), 0, i)));
    py::object current = shown_text(owned(PyUnicode_Substring(text.ptr(), i, i + 1)));
    py::object after = shown_text(owned(PyUnicode_Substring(text.ptr(), i + 1, length)));
    py::object cell = ansi::call_make_inverted_text(current);
    py::object head = owned(PyNumber_Add(before.ptr(), cell.ptr()));
    return owned(PyNumber_Add(head.ptr(), after.ptr()));
}

}  // namespace

void register_wrapping(py::module_ &m) {
    m.def("get_visual_line_count", &get_visual_line_count, "lines"_a, "terminal_columns"_a);
    zyl::def<&wrap_ansi_line_on_words>(m, "wrap_ansi_line_on_words", "line"_a,
                                       "terminal_columns"_a);
    m.def("wrap_screen_text_for_terminal", &wrap_screen_text_for_terminal, "screen_text"_a);
    m.def("render_text_with_cursor", &render_text_with_cursor, "text"_a, "cursor_index"_a);
    m.def("terminal_size", &terminal_size);
}

}  // namespace zyl
