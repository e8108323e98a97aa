// Outside text made visible: every character that repr would escape.
#include "prelude.hpp"

#include "character_repr.hpp"
#include "shown_text.hpp"

#include <string>

namespace zyl {

namespace {

// Scans the whole of a narrow buffer without an early exit, so that the
// compiler can vectorise it: ids and class names of every visible row pass
// here on each key, and nearly all of them are printable.  A wider text asks
// the interpreter's table for each character beyond Latin-1.
template <typename Unit>
bool holds_unprintable(const Unit *units, Py_ssize_t n) {
    if constexpr (sizeof(Unit) == 1) {
        bool found = false;
        for (Py_ssize_t i = 0; i < n; ++i) found |= !is_printable_latin1(units[i]);
        return found;
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!is_printable(units[i])) return true;
        }
        return false;
    }
}

bool holds_unprintable(PyObject *text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const void *data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return holds_unprintable(static_cast<const Py_UCS1 *>(data), n);
    case PyUnicode_2BYTE_KIND:
        return holds_unprintable(static_cast<const Py_UCS2 *>(data), n);
    default:
        return holds_unprintable(static_cast<const Py_UCS4 *>(data), n);
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
        if (!is_printable(c)) {
            append_repr_escape(out, c);
        } else {
            out += static_cast<char32_t>(c);
        }
    }
    // Built from code points, so the result is stored as narrow as its
    // characters allow (an escaped character may leave plain ASCII).
    return py::reinterpret_steal<py::str>(
        owned(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(),
                                        static_cast<Py_ssize_t>(out.size())))
            .release());
}

}  // namespace

py::str shown_text(py::handle value) {
    py::str text = text_form(value);
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text.ptr()) < 0) throw py::error_already_set();
#endif
    if (!holds_unprintable(text.ptr())) return text;
    return escaped(text.ptr());
}

void register_shown_text(py::module_ &m) {
    // Also the runner's: what it prints after a save (paths read from a
    // configuration) follows the same rule as every frame.
    m.def("shown_text", &shown_text, "value"_a,
          "The text of `value` with each character that is not printable (str.isprintable) "
          "written as repr writes it.");
}

}  // namespace zyl
