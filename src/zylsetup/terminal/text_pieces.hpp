// Joining pieces of styled text without leaving Python's text type: values
// such as descriptions come from JSON and may hold code points (lone
// surrogates) that a round trip through UTF-8 would refuse.
#pragma once

#include "prelude.hpp"

#include "ansi_text.hpp"
#include "shown_text.hpp"

#include <initializer_list>
#include <string>

namespace zyl::text_pieces {

// The ordinary text form of a value, str(): a plain text is kept as it is,
// a str subclass shows what its own __str__ gives.
inline py::str as_text(py::handle value) { return text_form(value); }

// An outside value as a line shows it: its ordinary text form, with every
// unprintable character made visible.
inline py::str shown(py::handle value) { return shown_text(value); }

// `separator` between the texts of `items` (each must already be text).
inline py::str join(const char *separator, py::handle items) {
    PyObject *joined = PyUnicode_Join(py::str(separator).ptr(), items.ptr());
    if (joined == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(joined);
}

// The concatenation of the text forms of the pieces.
inline py::str concat(std::initializer_list<py::handle> pieces) {
    py::list parts(pieces.size());
    std::size_t i = 0;
    for (py::handle piece : pieces) {
        parts[i++] = as_text(piece);
    }
    return join("", parts);
}

// Number of code points of a text: box widths count characters, not columns.
inline py::ssize_t length(py::handle text) { return PyUnicode_GET_LENGTH(text.ptr()); }

// Whether `index` equals the position `i`, by Python's equality so that any
// integer-like index behaves as the caller's own comparison would.
inline bool index_is(py::handle index, py::ssize_t i) {
    if (PyLong_CheckExact(index.ptr())) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
        if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
        return overflow == 0 && value == static_cast<long long>(i);
    }
    return py::int_(i).equal(index);
}

// The styling helpers of the module, looked up at each call like every other
// module-level function (the native body runs while the name is not rebound).
inline py::object as_object(py::handle value) { return py::reinterpret_borrow<py::object>(value); }
inline py::object as_object(const char *text) { return py::str(text); }
inline py::object as_object(const std::string &text) { return py::str(text); }

template <typename Text>
py::object dim(const Text &text) {
    return ansi::call_dim(as_object(text));
}
template <typename Text, typename Hex>
py::object colored(const Text &text, const Hex &hex) {
    return ansi::call_color_text(as_object(text), as_object(hex));
}

// The light grey of cursors, pointers and overlay titles.
inline constexpr const char *cursor_color = "E8EEEC";

}  // namespace zyl::text_pieces
