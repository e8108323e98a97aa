// The Targets panel: header, one or two rows per visible module entry, footer
// and the focus of the highlighted entry.
//
// The panel is redrawn on every key over networks of tens of thousands of
// modules.  While every module-level function a row is made of (color_text,
// _ansi, dim, make_target_marker, make_block, get_color_hex_for_mode,
// mode_verb, format_human_count) still holds this module's own function, the
// rows are assembled here as UTF-8 in one buffer each, with exactly the
// styled pieces those functions produce, instead of one interpreter
// round-trip per piece.  Once any of them is rebound (a test double, a
// user's theme), or with the fast paths switched off, every row is built by
// calling the pieces by name, so the rebound function shapes the rows as it
// shapes the header.  Both are written by one row builder, TargetRows.
#include "prelude.hpp"

#include "ansi_text.hpp"
#include "checked_arithmetic.hpp"
#include "container_ops.hpp"
#include "row_widgets.hpp"
#include "terminal.hpp"
#include "text_pieces.hpp"

#include <algorithm>
#include <array>
#include <memory>
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

// A value's ordinary text form, with its length in characters.
struct Text {
    py::object owner;
    Py_ssize_t length = 0;
};

Text text_of(py::handle value) {
    Text t;
    t.owner = text_pieces::as_text(value);
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(t.owner.ptr()) < 0) throw py::error_already_set();
#endif
    t.length = PyUnicode_GET_LENGTH(t.owner.ptr());
    return t;
}

// One row, kept as code points and handed over as a text in one step: no
// UTF-8 round trip, so every code point of an id or class name (a lone
// surrogate included) arrives as it was, and the interpreter only has to
// narrow the buffer to its own storage.
class RowBuffer {
public:
    void clear() {
        size_ = 0;
        widest_ = 0x7F;
    }

    // Our own literals and escape sequences, in UTF-8.
    RowBuffer &operator+=(std::string_view utf8) {
        // At most one code point per byte.
        char32_t *out = room(utf8.size());
        for (size_t i = 0; i < utf8.size();) {
            const auto lead = static_cast<unsigned char>(utf8[i]);
            if (lead < 0x80) {
                *out++ = lead;
                ++i;
                continue;
            }
            const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
            char32_t point = lead & (0x3F >> extra);
            for (int k = 1; k <= extra; ++k) {
                point = (point << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
            }
            *out++ = point;
            widest_ = std::max(widest_, point);
            i += static_cast<size_t>(extra) + 1;
        }
        size_ = static_cast<size_t>(out - points_.get());
        return *this;
    }
    RowBuffer &operator+=(char c) {
        *room(1) = static_cast<unsigned char>(c);
        ++size_;
        return *this;
    }
    RowBuffer &operator+=(const Text &text) {
        PyObject *s = text.owner.ptr();
        const void *data = PyUnicode_DATA(s);
        const auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
        switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            widen(static_cast<const Py_UCS1 *>(data), n);
            break;
        case PyUnicode_2BYTE_KIND:
            widen(static_cast<const Py_UCS2 *>(data), n);
            break;
        default:
            widen(static_cast<const Py_UCS4 *>(data), n);
            break;
        }
        return *this;
    }
    void append(size_t count, char c) {
        std::fill_n(room(count), count, static_cast<char32_t>(static_cast<unsigned char>(c)));
        size_ += count;
    }
    void assign(std::string_view utf8) {
        clear();
        *this += utf8;
    }

    // The row as a text, stored as narrow as its widest character allows.
    py::object text() const {
        PyObject *line = PyUnicode_New(static_cast<Py_ssize_t>(size_), static_cast<Py_UCS4>(widest_));
        if (line == nullptr) throw py::error_already_set();
        void *data = PyUnicode_DATA(line);
        switch (PyUnicode_KIND(line)) {
        case PyUnicode_1BYTE_KIND:
            std::copy_n(points_.get(), size_, static_cast<Py_UCS1 *>(data));
            break;
        case PyUnicode_2BYTE_KIND:
            std::copy_n(points_.get(), size_, static_cast<Py_UCS2 *>(data));
            break;
        default:
            std::copy_n(points_.get(), size_, static_cast<Py_UCS4 *>(data));
            break;
        }
        return py::reinterpret_steal<py::object>(line);
    }

private:
    // Room for `count` more code points, at the end.  size_ never exceeds
    // capacity_, so the test cannot wrap.
    char32_t *room(size_t count) {
        if (count > capacity_ - size_) grow(count);
        return points_.get() + size_;
    }

    // Counts come from outside (an indent, the texts of an entry): a size no
    // buffer could hold is the interpreter's MemoryError, never a
    // wrapped-around one.
    void grow(size_t count) {
        const size_t needed = checked_room(size_, count, sizeof(char32_t));
        const size_t capacity = std::max(needed, checked_room(capacity_, capacity_ + 64, sizeof(char32_t)));
        auto grown = std::make_unique<char32_t[]>(capacity);
        std::copy_n(points_.get(), size_, grown.get());
        points_ = std::move(grown);
        capacity_ = capacity;
    }

    template <typename Unit>
    void widen(const Unit *units, size_t n) {
        char32_t *out = room(n);
        for (size_t i = 0; i < n; ++i) {
            out[i] = units[i];
            widest_ = std::max<char32_t>(widest_, units[i]);
        }
        size_ += n;
    }

    std::unique_ptr<char32_t[]> points_;
    size_t size_ = 0;
    size_t capacity_ = 0;
    char32_t widest_ = 0x7F;
};

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

// The opening sequence color_text writes for a colour text.  Plain hex
// digits are read here; anything else takes the interpreter's own base-16
// parse of each pair, so odd colour texts give color_text's result or error.
std::string colour_open(py::handle hex) {
    int rgb[3] = {0, 0, 0};
    PyObject *h = hex.ptr();
    bool plain = PyUnicode_Check(h) && PyUnicode_GET_LENGTH(h) >= 6;
    for (Py_ssize_t i = 0; plain && i < 6; ++i) plain = ansi::is_hex_digit(PyUnicode_ReadChar(h, i));
    if (plain) {
        for (int k = 0; k < 3; ++k) {
            rgb[k] = ansi::hex_value(PyUnicode_ReadChar(h, 2 * k)) * 16 + ansi::hex_value(PyUnicode_ReadChar(h, 2 * k + 1));
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
void append_human_count(RowBuffer &out, py::handle value) {
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (overflow == 0) {
            if (v < 1000) {
                out += std::string_view(std::to_string(v));
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
    out += text_of(call("format_human_count", value));
}

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

// The items of a list or tuple as they stand, anything else iterated once
// into a list.
py::object as_sequence(py::handle values) {
    PyObject *seq = PySequence_Fast(values.ptr(), "expected an iterable");
    if (seq == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(seq);
}

// expanded_replaced.get(id), as a truth value.
bool is_expanded(py::handle expanded_replaced, py::handle id) {
    if (PyDict_CheckExact(expanded_replaced.ptr())) {
        PyObject *found = PyDict_GetItemWithError(expanded_replaced.ptr(), id.ptr());
        if (found == nullptr && PyErr_Occurred()) throw py::error_already_set();
        return found != nullptr && truthy(py::reinterpret_borrow<py::object>(found));
    }
    return truthy(expanded_replaced.attr("get")(id));
}

// Entries under each restructured root, counted once per frame over all of
// `entries`, hidden ones included, and only when a root is drawn.
class ChildCounts {
public:
    ChildCounts(py::handle entries, const Keys &keys) : entries_(entries), keys_(keys) {}

    Py_ssize_t of(py::handle id) {
        if (!slots_) count();
        PyObject *slot = PyDict_GetItemWithError(slots_->ptr(), id.ptr());
        if (slot == nullptr) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return 0;
        }
        return counts_[static_cast<size_t>(PyLong_AsSsize_t(slot))];
    }

private:
    void count() {
        py::dict slots;
        py::object seq = as_sequence(entries_);
        // Neighbours share their root (most often None): the same object
        // finds the same dict slot, so it need not be looked up again.
        PyObject *last_root = nullptr;
        size_t last_slot = 0;
        py::object hold;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.ptr()); ++i) {
            py::object root = item(PySequence_Fast_GET_ITEM(seq.ptr(), i), keys_.replaced_root);
            if (root.ptr() == last_root) {
                ++counts_[last_slot];
                continue;
            }
            PyObject *slot = PyDict_GetItemWithError(slots.ptr(), root.ptr());
            if (slot == nullptr) {
                if (PyErr_Occurred()) throw py::error_already_set();
                last_slot = counts_.size();
                counts_.push_back(1);
                if (PyDict_SetItem(slots.ptr(), root.ptr(), py::int_(last_slot).ptr()) < 0) {
                    throw py::error_already_set();
                }
            } else {
                last_slot = static_cast<size_t>(PyLong_AsSsize_t(slot));
                ++counts_[last_slot];
            }
            hold = root;
            last_root = root.ptr();
        }
        slots_ = std::move(slots);
    }

    py::handle entries_;
    const Keys &keys_;
    std::optional<py::dict> slots_;
    std::vector<Py_ssize_t> counts_;
};

// An entry's id and class name as its rows show them; the row builder takes
// them from here, and uses the raw id only for lookups.
struct EntryNames {
    py::str id, type_name;
};

EntryNames shown_names(py::handle entry, py::handle id, const Keys &keys) {
    return {text_pieces::shown(id), text_pieces::shown(item(entry, keys.type_name))};
}

// --- The module-level functions a row is made of ------------------------

constexpr std::array<const char *, 8> ROW_PIECES = {
    "color_text", "_ansi", "dim", "make_target_marker", "make_block", "get_color_hex_for_mode",
    "mode_verb", "format_human_count"};

// What each of those names held when the module was set up.
std::array<OwnFunction, ROW_PIECES.size()> &own_row_pieces() {
    static std::array<OwnFunction, ROW_PIECES.size()> own;
    return own;
}

// Whether every row piece is still this module's own function, looked up
// once per frame.  A name that is gone counts as rebound: the calls by name
// then raise what the interpreter raises, for the rows that use it.
bool rows_are_native() {
    if (!fast_paths_enabled()) return false;
    for (const OwnFunction &own : own_row_pieces()) {
        if (own.function == nullptr) return false;
        PyObject *current = PyObject_GetAttr(module_slot().ptr(), own.name);
        if (current == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
            PyErr_Clear();
            return false;
        }
        const bool same = current == own.function;
        Py_DECREF(current);
        if (!same) return false;
    }
    return true;
}

// A colour's opening sequence, worked out the first time a row needs it.
class LazyColour {
public:
    explicit LazyColour(const char *global_name) : name_(global_name) {}
    LazyColour(const char *, const char *literal) : literal_(literal) {}
    const std::string &open() {
        if (!open_) open_ = colour_open(name_ ? global(name_) : py::str(literal_));
        return *open_;
    }

private:
    const char *name_ = nullptr;
    const char *literal_ = nullptr;
    std::optional<std::string> open_;
};

// --- The pieces of a row --------------------------------------------------
//
// A row is written once, by TargetRows below, as a sequence of parts:
// literals, the shown forms of outside texts (ids, class names and origin
// ids, made visible by shown_names and text_pieces::shown, then taken in by the
// pieces' `outside_text`), and a few parts the pieces make themselves.  Two
// sets of pieces write them: NativePieces builds the styled pieces here
// (exactly what the module's own functions give), NamedPieces calls the
// module-level function of each name.

enum class Colour { accent, attention, cursor };
struct ModeColour { py::handle mode; };  // get_color_hex_for_mode(mode)
struct Verb { py::handle mode; };        // mode_verb(mode)
struct HumanCount { py::handle value; }; // format_human_count(value)
struct Indent {};                        // "  " * depth of the entry
struct Spaces { Py_ssize_t count; };

// "  " * depth, as the interpreter makes it: an entry's indent, or that
// operation's own error for a depth that is no integer or too large for any
// text.
py::object indent_of(py::handle depth) { return owned(PyNumber_Multiply(py::str("  ").ptr(), depth.ptr())); }

// The deepest nesting whose indent the native rows write themselves; no
// network comes near it.
constexpr long long NATIVE_INDENT_LEVELS = 1 << 16;

class NativePieces {
public:
    NativePieces(const Keys &keys) : keys_(keys) {}

    // An id, class name or origin id as it enters the row.
    static Text outside_text(py::handle value) { return text_of(value); }
    static Py_ssize_t length(const Text &text) { return text.length; }

    void begin() { row_.clear(); }
    void finish(py::list &body) {
        if (PyList_Append(body.ptr(), row_.text().ptr()) != 0) throw py::error_already_set();
    }

    // A plain integer depth (a bool is one) within any real nesting is
    // written here.  Any other depth (an int subclass, which may define its
    // own product, a float, a text, a depth no row could hold) gets what the
    // plain route makes of it, "  " * depth, with that operation's result or
    // error, measured and shown as the plain route measures and shows it.
    void set_indent(py::handle depth) {
        odd_indent_ = py::object();
        PyObject *levels_object = depth.ptr();
        if (PyLong_CheckExact(levels_object) || PyBool_Check(levels_object)) {
            int overflow = 0;
            const long long levels = PyLong_AsLongLongAndOverflow(levels_object, &overflow);
            if (levels == -1 && PyErr_Occurred()) throw py::error_already_set();
            if (overflow == 0 && levels <= NATIVE_INDENT_LEVELS) {
                indent_width_ = levels > 0 ? static_cast<Py_ssize_t>(2 * levels) : 0;
                return;
            }
        }
        odd_indent_ = indent_of(depth);
    }
    Py_ssize_t indent_length() const { return odd_indent_ ? length_of(odd_indent_) : indent_width_; }

    template <typename... Parts>
    void add(const Parts &...parts) {
        (put(parts), ...);
    }
    template <typename... Parts>
    void add_dim(const Parts &...parts) {
        row_ += DIM_OPEN;
        (put(parts), ...);
        row_ += RESET;
    }
    template <typename C, typename... Parts>
    void add_coloured(C colour, const Parts &...parts) {
        row_ += open(colour);
        (put(parts), ...);
        row_ += RESET;
    }

    // make_target_marker's display, as it chooses it.
    void add_marker(py::handle entry, py::handle record) {
        if (truthy(item(entry, keys_.in_replaced))) {
            row_ += BLANK_MARKER;
            return;
        }
        py::object eff = item(record, keys_.eff);
        if (eff.is_none()) {
            if (positive(item(entry, keys_.direct_param_count))) {
                add_coloured(Colour::attention, "!");
                row_ += ' ';
                add_coloured(Colour::attention, BLOCK);
                row_ += ' ';
            } else {
                row_ += BLANK_MARKER;
            }
            return;
        }
        py::object source = item(record, keys_.source);
        if (equals(source, keys_.inherited)) {
            row_ += "\u21b3 ";
        } else if (equals(source, keys_.by_id)) {
            row_ += "* ";
        } else {
            row_ += "  ";
        }
        add_coloured(ModeColour{eff}, BLOCK);
        row_ += ' ';
    }
    static Py_ssize_t marker_length() { return MARKER_WIDTH; }

private:
    void put(std::string_view literal) { row_ += literal; }
    void put(const std::string &literal) { row_ += std::string_view(literal); }
    void put(const char *literal) { row_ += std::string_view(literal); }
    void put(const Text &text) { row_ += text; }
    void put(py::handle value) { row_ += outside_text(value); }
    void put(const py::object &value) { put(py::handle(value)); }
    void put(const py::str &value) { put(py::handle(value)); }
    void put(Indent) {
        if (odd_indent_) {
            row_ += text_of(odd_indent_);
        } else {
            row_.append(static_cast<size_t>(indent_width_), ' ');
        }
    }
    void put(Spaces spaces) { row_.append(static_cast<size_t>(spaces.count), ' '); }
    void put(HumanCount count) { append_human_count(row_, count.value); }
    void put(Verb verb) {
        // MODE_VERB's text for the mode, else the mode's own text.
        if (!verbs_) verbs_ = global("MODE_VERB");
        if (PyDict_CheckExact(verbs_.ptr())) {
            PyObject *found = PyDict_GetItemWithError(verbs_.ptr(), verb.mode.ptr());
            if (found == nullptr && PyErr_Occurred()) throw py::error_already_set();
            row_ += text_of(found != nullptr ? found : verb.mode);
        } else {
            row_ += text_of(verbs_.contains(verb.mode) ? py::object(verbs_[verb.mode]) : py::object(py::str(verb.mode)));
        }
    }

    const std::string &open(Colour colour) {
        switch (colour) {
        case Colour::accent: return accent_.open();
        case Colour::attention: return attention_.open();
        default: return cursor_.open();
        }
    }
    const std::string &open(ModeColour colour) {
        if (equals(colour.mode, keys_.zylated)) return zylate_.open();
        if (equals(colour.mode, keys_.tracked)) return track_.open();
        return no_mode_.open();
    }

    const Keys &keys_;
    py::object verbs_;
    Py_ssize_t indent_width_ = 0;
    py::object odd_indent_;  // set while the indent is the plain route's
    LazyColour accent_{"COLOR_ACCENT"}, attention_{"COLOR_ATTENTION"}, zylate_{"COLOR_ZYLATE"},
        track_{"COLOR_TRACK"}, no_mode_{nullptr, "000000"}, cursor_{nullptr, text_pieces::cursor_color};
    RowBuffer row_;
};

class NamedPieces {
public:
    NamedPieces(const Keys &) {}

    // An id, class name or origin id as it enters the row.
    static py::str outside_text(py::handle value) { return text_pieces::as_text(value); }
    static Py_ssize_t length(const py::str &text) { return text_pieces::length(text); }

    void begin() { pieces_ = py::list(); }
    void finish(py::list &body) {
        if (PyList_Append(body.ptr(), text_pieces::join("", pieces_).ptr()) != 0) {
            throw py::error_already_set();
        }
    }

    void set_indent(py::handle depth) { indent_ = indent_of(depth); }
    Py_ssize_t indent_length() const { return length_of(indent_); }

    template <typename... Parts>
    void add(const Parts &...parts) {
        (pieces_.append(part(parts)), ...);
    }
    template <typename... Parts>
    void add_dim(const Parts &...parts) {
        py::str text = joined(parts...);
        pieces_.append(text_pieces::as_text(ansi::call_dim(text)));
    }
    template <typename C, typename... Parts>
    void add_coloured(C colour, const Parts &...parts) {
        py::str text = joined(parts...);
        py::object hex = hex_of(colour);
        pieces_.append(text_pieces::as_text(ansi::call_color_text(text, hex)));
    }

    void add_marker(py::handle entry, py::handle record) {
        auto [display, plain] = unpack_pair(widgets::call_make_target_marker(entry, record));
        pieces_.append(text_pieces::as_text(display));
        marker_plain_ = std::move(plain);
    }
    Py_ssize_t marker_length() const { return length_of(marker_plain_); }

private:
    template <typename... Parts>
    py::str joined(const Parts &...parts) {
        py::list texts;
        (texts.append(part(parts)), ...);
        return text_pieces::join("", texts);
    }

    static py::str part(std::string_view literal) { return py::str(literal.data(), literal.size()); }
    static py::str part(const std::string &literal) { return py::str(literal); }
    static py::str part(const char *literal) { return py::str(literal); }
    static py::str part(py::handle value) { return outside_text(value); }
    static py::str part(const py::object &value) { return outside_text(value); }
    static py::str part(const py::str &text) { return text_pieces::as_text(text); }
    py::str part(Indent) const { return text_pieces::as_text(indent_); }
    static py::str part(Spaces spaces) { return py::str(std::string(static_cast<size_t>(spaces.count), ' ')); }
    static py::str part(HumanCount count) { return text_pieces::as_text(call("format_human_count", count.value)); }
    static py::str part(Verb verb) { return text_pieces::as_text(widgets::call_mode_verb(verb.mode)); }

    static py::object hex_of(Colour colour) {
        switch (colour) {
        case Colour::accent: return global("COLOR_ACCENT");
        case Colour::attention: return global("COLOR_ATTENTION");
        default: return py::str(text_pieces::cursor_color);
        }
    }
    static py::object hex_of(ModeColour colour) { return call("get_color_hex_for_mode", colour.mode); }

    py::list pieces_;
    py::object indent_;
    py::object marker_plain_;
};

// entry_lines: the rows of one entry, written with one set of pieces.
template <typename Pieces>
class TargetRows {
public:
    TargetRows(py::handle resolved, py::handle expanded_replaced, ChildCounts &children, const Keys &keys)
        : resolved_(resolved), expanded_(expanded_replaced), children_(children), keys_(keys), p_(keys) {}

    // Appends the entry's rows to `body`, returns how many.
    Py_ssize_t append_entry_lines(py::handle entry, bool selected, py::list &body) {
        p_.begin();
        if (selected) {
            p_.add_coloured(Colour::cursor, "> ");
        } else {
            p_.add("  ");
        }
        p_.set_indent(item(entry, keys_.depth));
        py::object id = item(entry, keys_.id);
        py::object record = item(resolved_, id);
        const EntryNames names = shown_names(entry, id, keys_);

        if (truthy(item(entry, keys_.is_replaced_root))) {
            const Py_ssize_t children = children_.of(id);
            const bool expanded = is_expanded(expanded_, id);
            p_.add_coloured(Colour::accent, "\u21af");
            p_.add("   ", Indent{}, names.id, "  ");
            p_.add_dim("[", names.type_name, "]");
            p_.add("   ");
            p_.add_dim("will be restructured for ZYL before training");
            p_.finish(body);

            p_.begin();
            p_.add("      ");
            p_.add_dim("\u2514 ", std::to_string(children),
                       " modules below \u2014 ids won't exist at train time \u00b7 target by type (P/T), not id  ");
            p_.add_coloured(Colour::accent, expanded ? "[\u2190 collapse]" : "[\u2192 expand]");
            p_.finish(body);
            return 2;
        }

        p_.add_marker(entry, record);
        if (truthy(item(entry, keys_.in_replaced))) {
            p_.add(" ", Indent{});
            p_.add_dim(names.id, "  [", names.type_name, "] (id stale)");
            p_.finish(body);
            return 1;
        }

        auto id_text = Pieces::outside_text(names.id);
        auto type_text = Pieces::outside_text(names.type_name);
        // Lengths that a rebound marker or an odd depth may report as anything:
        // past the largest size, every lead gives the narrowest gap.
        Py_ssize_t lead = saturating_add(p_.marker_length(), p_.indent_length());
        lead = saturating_add(lead, Pieces::length(id_text));
        lead = saturating_add(lead, Pieces::length(type_text));
        lead = saturating_add(lead, Py_ssize_t{7});
        p_.add(" ", Indent{}, id_text, "  ");
        p_.add_dim("[", type_text, "]");
        p_.add(Spaces{std::max<Py_ssize_t>(2, TAIL_COLUMN - lead)});

        py::object eff = item(record, keys_.eff);
        py::object count = item(entry, keys_.direct_param_count);
        if (!eff.is_none()) {
            p_.add_coloured(ModeColour{eff}, "mode=", Verb{eff});
            if (equals(item(record, keys_.source), keys_.inherited)) {
                p_.add_dim("  (via ", text_pieces::shown(item(record, keys_.origin_id)), ")");
                py::object overridden = item(record, keys_.overridden);
                if (!overridden.is_none()) {
                    p_.add_dim("  \u2014 your ", Verb{item(overridden, keys_.mode)}, " here is ignored");
                }
            }
        } else if (positive(count)) {
            p_.add_coloured(Colour::attention, "needs a mode");
        }
        if (positive(count)) p_.add_dim("   params=", HumanCount{count});
        p_.finish(body);
        return 1;
    }

private:
    py::handle resolved_, expanded_;
    ChildCounts &children_;
    const Keys &keys_;
    Pieces p_;
};

py::tuple render_targets_lines(py::object entries, py::object visible_entries, py::object selected_index,
                               py::object resolved, py::object expanded_replaced) {
    using ansi::call_color_text;
    using ansi::call_dim;
    const Py_ssize_t need = py::len(call("unset_module_entries", entries, resolved));
    py::object rules = call("type_rule_entries", entries);

    py::list lines;
    lines.append(widgets::call_render_tab_bar(py::str("targets")));
    lines.append(py::str(""));
    lines.append(call_dim(py::str("  zylate = add dendrites   \u00b7   track = not zylated   ")));
    lines.append(py::str(""));
    py::object status;
    if (need >= 1) {
        const bool one = need == 1;
        std::string text = "  \u26a0 " + std::to_string(need) + (one ? " module" : " modules") + " still " +
                           (one ? "needs" : "need") + " a mode";
        status = call_color_text(py::str(text), global("COLOR_ATTENTION"));
    } else {
        status = call_color_text(py::str("  \u2713 every parameter is zylated or tracked"), global("COLOR_ZYLATE"));
    }
    const Py_ssize_t visible = py::len(ansi::call_strip_ansi(status));
    const Py_ssize_t pad = std::max<Py_ssize_t>(2, 58 - visible);
    py::object hint = call_color_text(py::str("[y] type rules (" + std::to_string(py::len(rules)) + ")"),
                                      global("COLOR_ACCENT"));
    lines.append(text_pieces::concat({status, py::str(std::string(static_cast<size_t>(pad), ' ')), hint}));
    lines.append(global("HR"));

    // Plain integer indexes are compared here; anything else, an int
    // subclass with its own equality included, by equality.
    std::optional<long long> selected;
    if (PyLong_CheckExact(selected_index.ptr()) || PyBool_Check(selected_index.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(selected_index.ptr(), &overflow);
        if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
        selected = overflow == 0 ? v : -1;
    }

    const Keys keys;
    ChildCounts children(entries, keys);
    py::list body_lines;
    Py_ssize_t focus_start = 0;
    Py_ssize_t focus_end = 1;
    auto draw = [&](auto &&rows) {
        py::object shown = as_sequence(visible_entries);
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(shown.ptr()); ++i) {
            py::object entry = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(shown.ptr(), i));
            const bool is_selected = selected ? *selected == i : equals(py::int_(i), selected_index);
            const Py_ssize_t before = PyList_GET_SIZE(body_lines.ptr());
            const Py_ssize_t added = rows.append_entry_lines(entry, is_selected, body_lines);
            if (is_selected) {
                focus_start = before;
                focus_end = before + added;
            }
        }
    };
    if (rows_are_native()) {
        draw(TargetRows<NativePieces>(resolved, expanded_replaced, children, keys));
    } else {
        draw(TargetRows<NamedPieces>(resolved, expanded_replaced, children, keys));
    }

    py::list footer;
    footer.append(global("HR"));
    footer.append(call_dim(call("build_budget_line", entries, resolved)));
    footer.append(py::str(""));
    footer.append(call_dim(py::str("p/t zylate\u00b7track this module   P/T whole type   x clear   h legend   "
                                   "\u2191\u2193/jk move   s start")));
    return py::make_tuple(lines, body_lines, footer, py::make_tuple(focus_start, focus_end));
}

}  // namespace

void register_targets_panel(py::module_ &m) {
    m.def("render_targets_lines", &render_targets_lines, "entries"_a, "visible_entries"_a, "selected_index"_a,
          "resolved"_a, "expanded_replaced"_a);
    // The row pieces are all defined by now (the styling and row-widget
    // areas register first); what their names hold from here on is what the
    // native rows stand for.
    auto &own = own_row_pieces();
    for (size_t k = 0; k < ROW_PIECES.size(); ++k) own[k] = remember_own(m, ROW_PIECES[k]);
}

}  // namespace zyl
