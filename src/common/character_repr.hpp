// What repr does with one character of a text: leaves it as it is when
// str.isprintable() holds for it, and otherwise writes its escape.
#pragma once

#include <Python.h>

#include "cpython_private.hpp"

#include <string>

namespace zyl {

// str.isprintable() of a Latin-1 character, decided without a call: only the
// C0 and C1 controls, DEL, the no-break space and the soft hyphen are not.
// Free of branches, so a scan over a narrow text can be vectorised.
constexpr bool is_printable_latin1(Py_UCS4 c) {
    return !(c < 0x20 || (c >= 0x7F && c <= 0xA0) || c == 0xAD);
}

// str.isprintable() of any one character.
inline bool is_printable(Py_UCS4 c) {
    return c < 0x100 ? is_printable_latin1(c) : cpython::is_printable(c);
}

// repr of the one character `c`, without its quotes, for a character that
// repr escapes: "\t", "\n", "\r", else "\x" with two hex digits, "\u" with
// four or "\U" with eight.
inline void append_repr_escape(std::u32string &out, Py_UCS4 c) {
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
    const int digits = c <= 0xFF ? 2 : c <= 0xFFFF ? 4 : 8;
    out += digits == 2 ? U"\\x" : digits == 4 ? U"\\u" : U"\\U";
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
        out += static_cast<char32_t>(hex[(c >> shift) & 0xF]);
    }
}

}  // namespace zyl
