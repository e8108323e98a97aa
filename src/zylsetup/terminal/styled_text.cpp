// Styled text: SGR spans, their removal, mode colours and compact counts.
#include "prelude.hpp"

#include "ansi_text.hpp"
#include "terminal.hpp"

#include <array>
#include <charconv>
#include <cstring>

namespace zyl {

namespace ansi {

CodePoints::CodePoints(py::handle text) {
    if (!PyUnicode_Check(text.ptr())) {
        throw py::type_error("expected str, got '" +
                             std::string(Py_TYPE(text.ptr())->tp_name) + "'");
    }
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text.ptr()) < 0) throw py::error_already_set();
#endif
    kind_ = PyUnicode_KIND(text.ptr());
    data_ = PyUnicode_DATA(text.ptr());
    size_ = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.ptr()));
}

std::string strip_sgr(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        const std::size_t end = sgr_end(text, i, n);
        if (end != i) {
            i = end;
        } else {
            out.push_back(text[i]);
            ++i;
        }
    }
    return out;
}

std::size_t visible_width(std::string_view text) {
    std::size_t width = 0;
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        const std::size_t end = sgr_end(text, i, n);
        if (end != i) {
            i = end;
            continue;
        }
        // One column per code point: count every byte that is not a UTF-8
        // continuation byte.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++width;
        ++i;
    }
    return width;
}

std::size_t visible_width(py::handle text) {
    const CodePoints cp(text);
    const std::size_t n = cp.size();
    std::size_t width = n;
    for (std::size_t i = 0; i < n;) {
        if (cp[i] != 0x1b) {
            ++i;
            continue;
        }
        const std::size_t end = sgr_end(cp, i, n);
        if (end == i) {
            ++i;
        } else {
            width -= end - i;
            i = end;
        }
    }
    return width;
}

namespace {

// `obj[start:stop]`, with the same slice object the interpreter would build.
py::object slice_of(py::handle obj, Py_ssize_t start, Py_ssize_t stop) {
    py::object s = py::reinterpret_steal<py::object>(
        PySlice_New(py::int_(start).ptr(), py::int_(stop).ptr(), nullptr));
    if (!s) throw py::error_already_set();
    return owned(PyObject_GetItem(obj.ptr(), s.ptr()));
}

// --- native bodies of the module-level functions -------------------------

py::object ansi_body(py::handle text, py::handle code) {
    return owned(PyUnicode_FromFormat("\x1b[%Sm%S\x1b[0m", code.ptr(), text.ptr()));
}

py::object color_text_body(py::handle text, py::handle hex_color) {
    if (PyUnicode_Check(hex_color.ptr())) {
        const CodePoints hex(hex_color);
        bool plain_hex = hex.size() >= 6;
        for (std::size_t i = 0; plain_hex && i < 6; ++i) plain_hex = ansi::is_hex_digit(hex[i]);
        if (plain_hex) {
            const int r = ansi::hex_value(hex[0]) * 16 + ansi::hex_value(hex[1]);
            const int g = ansi::hex_value(hex[2]) * 16 + ansi::hex_value(hex[3]);
            const int b = ansi::hex_value(hex[4]) * 16 + ansi::hex_value(hex[5]);
            return owned(
                PyUnicode_FromFormat("\x1b[38;2;%d;%d;%dm%S\x1b[0m", r, g, b, text.ptr()));
        }
    }
    // Anything else goes through the interpreter's own base-16 parse, which
    // also accepts signs, blanks and underscores and raises its own errors.
    py::object to_int = builtin("int");
    py::object r = to_int(slice_of(hex_color, 0, 2), 16);
    py::object g = to_int(slice_of(hex_color, 2, 4), 16);
    py::object b = to_int(slice_of(hex_color, 4, 6), 16);
    return owned(PyUnicode_FromFormat("\x1b[38;2;%S;%S;%Sm%S\x1b[0m", r.ptr(), g.ptr(),
                                            b.ptr(), text.ptr()));
}

py::object make_inverted_text_body(py::handle text) {
    return owned(PyUnicode_FromFormat("\x1b[7m%S\x1b[0m", text.ptr()));
}

py::object strip_ansi_body(py::handle text) {
    if (!PyUnicode_Check(text.ptr())) {
        // Let the module's pattern raise exactly what it raises for non-text.
        return global("ANSI_ESCAPE_RE").attr("sub")("", text);
    }
    const CodePoints cp(text);
    const std::size_t n = cp.size();
    const std::size_t width = visible_width(text);
    if (width == n && PyUnicode_CheckExact(text.ptr())) {
        return py::reinterpret_borrow<py::object>(text);
    }
    // Only ASCII is removed, so the kind that holds the input holds the
    // result canonically, and the runs between sequences copy verbatim.
    PyObject *out = PyUnicode_New(static_cast<Py_ssize_t>(width),
                                  PyUnicode_MAX_CHAR_VALUE(text.ptr()));
    if (out == nullptr) throw py::error_already_set();
    py::object result = py::reinterpret_steal<py::object>(out);
    const int kind = PyUnicode_KIND(text.ptr());
    const auto *src = static_cast<const char *>(PyUnicode_DATA(text.ptr()));
    auto *dst = static_cast<char *>(PyUnicode_DATA(out));
    std::size_t written = 0;
    std::size_t run_start = 0;
    for (std::size_t i = 0; i < n;) {
        const std::size_t end = cp[i] == 0x1b ? sgr_end(cp, i, n) : i;
        if (end == i) {
            ++i;
            continue;
        }
        std::memcpy(dst + written * kind, src + run_start * kind, (i - run_start) * kind);
        written += i - run_start;
        run_start = i = end;
    }
    std::memcpy(dst + written * kind, src + run_start * kind, (n - run_start) * kind);
    return result;
}

// --- module-level functions ----------------------------------------------

py::object dim(py::handle text) { return call_ansi(text, py::str("90")); }

py::object make_color_square(py::handle hex_color) {
    return call_color_text(py::str("\u2588"), hex_color);
}

py::object get_color_hex_for_mode(py::handle mode) {
    const py::str zylated("zylated");
    if (py::reinterpret_borrow<py::object>(mode).equal(zylated)) return global("COLOR_ZYLATE");
    const py::str tracked("tracked");
    if (py::reinterpret_borrow<py::object>(mode).equal(tracked)) return global("COLOR_TRACK");
    return py::str("000000");
}

// One digit after the point, correctly rounded from the stored double with
// ties to even (what to_chars guarantees), and a whole number without ".0".
py::str scaled_count(double scaled, const char *suffix) {
    std::array<char, 400> buf{};
    const auto res = std::to_chars(buf.data(), buf.data() + buf.size(), scaled,
                                   std::chars_format::fixed, 1);
    std::string text(buf.data(), res.ptr);
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, ".0") == 0) {
        text.resize(text.size() - 2);
    }
    return py::str(text + suffix);
}

py::object format_human_count(py::handle value) {
    static constexpr struct {
        long long bound;
        double unit;
        const char *suffix;
    } scales[] = {{1000000LL, 1000.0, "K"}, {1000000000LL, 1000000.0, "M"}};
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (overflow == 0) {
            if (v < 1000) return py::str(value);
            for (const auto &s : scales) {
                if (v < s.bound) return scaled_count(static_cast<double>(v) / s.unit, s.suffix);
            }
            return scaled_count(static_cast<double>(v) / 1000000000.0, "B");
        }
    }
    // Any other number (or an integer beyond 64 bits) takes the interpreter's
    // own comparisons, division and formatting.
    auto below = [&](long long bound) {
        const int r = PyObject_RichCompareBool(value.ptr(), py::int_(bound).ptr(), Py_LT);
        if (r < 0) throw py::error_already_set();
        return r == 1;
    };
    if (below(1000)) return py::str(value);
    double unit = 1000000000.0;
    const char *suffix = "B";
    for (const auto &s : scales) {
        if (below(s.bound)) {
            unit = s.unit;
            suffix = s.suffix;
            break;
        }
    }
    py::object scaled = owned(PyNumber_TrueDivide(value.ptr(), py::float_(unit).ptr()));
    py::str text = builtin("format")(scaled, ".1f");
    if (text.attr("endswith")(".0").cast<bool>()) text = slice_of(text, 0, -2);
    return owned(PyUnicode_FromFormat("%U%s", text.ptr(), suffix));
}

}  // namespace

py::object call_ansi(py::handle text, py::handle code) {
    return call_own<&ansi_body>("_ansi", text, code);
}

py::object call_color_text(py::handle text, py::handle hex_color) {
    return call_own<&color_text_body>("color_text", text, hex_color);
}

py::object call_dim(py::handle text) { return call_own<&dim>("dim", text); }

py::object call_make_inverted_text(py::handle text) {
    return call_own<&make_inverted_text_body>("make_inverted_text", text);
}

py::object call_strip_ansi(py::handle text) {
    return call_own<&strip_ansi_body>("strip_ansi", text);
}

}  // namespace ansi

void register_styled_text(py::module_ &m) {
    using namespace ansi;
    m.def("get_color_hex_for_mode", &get_color_hex_for_mode, "mode"_a);
    m.def("format_human_count", &format_human_count, "value"_a);
    zyl::def<&ansi_body>(m, "_ansi", "text"_a, "code"_a);
    zyl::def<&color_text_body>(m, "color_text", "text"_a, "hex_color"_a);
    m.def("make_color_square", &make_color_square, "hex_color"_a);
    zyl::def<&dim>(m, "dim", "text"_a);
    zyl::def<&make_inverted_text_body>(m, "make_inverted_text", "text"_a);
    zyl::def<&strip_ansi_body>(m, "strip_ansi", "text"_a);
}

}  // namespace zyl
