// Control characters and lone surrogates of outside text made visible.
#include "prelude.hpp"

#include "shown_text.hpp"

#include <string>

namespace zyl {

namespace {

// A control character, or a lone surrogate: half of a pair that no encoding
// can write, so printing it would fail the whole frame.
constexpr bool is_control(Py_UCS4 c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0xD800 && c <= 0xDFFF);
}

// Scans the whole buffer without an early exit, so that the compiler can
// vectorise it: ids and class names of every visible row pass here on each
// key, and nearly all of them hold no control character.
template <typename Unit>
bool holds_control(const Unit *units, Py_ssize_t n) {
    bool found = false;
    for (Py_ssize_t i = 0; i < n; ++i) found |= is_control(units[i]);
    return found;
}

bool holds_control(PyObject *text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const void *data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return holds_control(static_cast<const Py_UCS1 *>(data), n);
    case PyUnicode_2BYTE_KIND:
        return holds_control(static_cast<const Py_UCS2 *>(data), n);
    default:
        return holds_control(static_cast<const Py_UCS4 *>(data), n);
    }
}

// repr of the one character `c`, without its quotes.
void append_escape(std::u32string &out, Py_UCS4 c) {
    switch (c) {
    case '\t':
        out += U"\\t";
        return;
    case '\n':
        out += U"\\n";
        return;
    case '\r':
        out += U"\\r";
        return;
    default:
        break;
    }
    static constexpr char hex[] = "0123456789abcdef";
    out += c > 0xFF ? U"\\u" : U"\\x";
    for (int shift = c > 0xFF ? 12 : 4; shift >= 0; shift -= 4) {
        out += static_cast<char32_t>(hex[(c >> shift) & 0xF]);
    }
}

py::str escaped(PyObject *text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    std::u32string out;
    out.reserve(static_cast<std::size_t>(n) + 16);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (is_control(c)) {
            append_escape(out, c);
        } else {
            out += static_cast<char32_t>(c);
        }
    }
    // Built from code points, so the result is stored as narrow as its
    // characters allow (an escaped C1 control may leave plain ASCII).
    return py::reinterpret_steal<py::str>(
        owned(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(),
                                        static_cast<Py_ssize_t>(out.size())))
            .release());
}

}  // namespace

py::str shown_text(py::handle value) {
    py::str text = PyUnicode_Check(value.ptr())
                       ? py::reinterpret_borrow<py::str>(value)
                       : py::reinterpret_steal<py::str>(owned(PyObject_Str(value.ptr())).release());
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text.ptr()) < 0) throw py::error_already_set();
#endif
    if (!holds_control(text.ptr())) return text;
    return escaped(text.ptr());
}

void register_shown_text(py::module_ &m) {
    // Also the runner's: what it prints after a save (paths read from a
    // configuration) follows the same rule as every frame.
    m.def("shown_text", &shown_text, "value"_a,
          "The text of `value` with each control character and lone surrogate written as "
          "repr writes it.");
}

}  // namespace zyl
