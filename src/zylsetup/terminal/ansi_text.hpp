// Fast styled-text helpers shared by the terminal renderers.
//
// Every renderer produces lines of styled text and many of them measure or
// style one piece per row, on every key press.  The helpers here do that work
// without a round-trip through the interpreter, yet keep the module's rule
// that functions reach one another by name: the `call_*` helpers go through
// zyl::call_own, which looks the name up at each call and runs the native
// body only while that name still holds the function this module defined; a
// rebound name (a test double, a user patch) is called instead.
#pragma once

#include "prelude.hpp"

#include <cstddef>
#include <string>
#include <string_view>

namespace zyl::ansi {

// End of the SGR sequence (ESC "[" digits/";" "m") that starts at `i`, or `i`
// itself when none does.  Works on anything indexable by position whose
// elements compare with ASCII code points (UTF-8 bytes, code-point views):
// every byte of the pattern is ASCII, so UTF-8 needs no decoding here.
template <typename Seq>
std::size_t sgr_end(const Seq &s, std::size_t i, std::size_t n) {
    if (i + 1 >= n || s[i] != 0x1b || s[i + 1] != '[') return i;
    std::size_t j = i + 2;
    while (j < n && ((s[j] >= '0' && s[j] <= '9') || s[j] == ';')) ++j;
    return (j < n && s[j] == 'm') ? j + 1 : i;
}

// Read-only view of the code points of a Python str.
class CodePoints {
public:
    // Raises TypeError unless `text` is a str.
    explicit CodePoints(py::handle text);
    Py_UCS4 operator[](std::size_t i) const {
        return PyUnicode_READ(kind_, data_, static_cast<Py_ssize_t>(i));
    }
    std::size_t size() const { return size_; }

private:
    int kind_;
    const void *data_;
    std::size_t size_;
};

// --- UTF-8 text (std::string) -------------------------------------------

// `text` without its SGR sequences.
std::string strip_sgr(std::string_view text);

// Visible width in columns: code points of the text left by stripping.
std::size_t visible_width(std::string_view text);

// --- Python text --------------------------------------------------------

// Visible width of a str (TypeError for anything else).
std::size_t visible_width(py::handle text);

// --- Module-level functions, rebinding honoured -------------------------
// The shared mechanism of the prelude (zyl::def, zyl::call_own,
// zyl::rebound), under the names the renderers already use.

using zyl::rebound;
using zyl::remember_own;

py::object call_ansi(py::handle text, py::handle code);
py::object call_color_text(py::handle text, py::handle hex_color);
py::object call_dim(py::handle text);
py::object call_make_inverted_text(py::handle text);
py::object call_strip_ansi(py::handle text);

// Colour texts are six hexadecimal digits; these read one digit.
inline bool is_hex_digit(Py_UCS4 c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

inline int hex_value(Py_UCS4 c) {
    if (c <= '9') return static_cast<int>(c - '0');
    if (c <= 'F') return static_cast<int>(c - 'A' + 10);
    return static_cast<int>(c - 'a' + 10);
}

}  // namespace zyl::ansi
