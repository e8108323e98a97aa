// One key at a time from the terminal, the tests that classify a key text,
// and the switch to and from the alternate screen.
#include "prelude.hpp"

#include "terminal.hpp"

#include <cerrno>
#include <string>

namespace zyl {

namespace {

constexpr unsigned char ESC = 0x1b;
constexpr unsigned char INTERRUPT_BYTE = 0x03;

// How long the wait for a key may go before the interpreter's signal
// handlers get their turn, at the latest.
constexpr double kSignalCheckSeconds = 0.1;

// A frame cut short by an interrupt can leave an escape sequence open, and
// the terminal would read what follows as part of it (the cursor would stay
// hidden). CAN ends a control sequence, ST a string one (a title, a link),
// and the styling the frame had switched on goes off.
constexpr const char *kEndOpenSequences = "\x18\x1b\\\x1b[0m";

// Key texts hold Latin-1 characters, but a caller may hand in any text:
// comparing code points keeps every test exact without encoding concerns.
// Anything that is not a text is no key at all.
bool as_code_points(py::handle key, std::u32string &out) {
    if (!PyUnicode_Check(key.ptr())) return false;
    Py_UCS4 *copy = PyUnicode_AsUCS4Copy(key.ptr());
    if (copy == nullptr) throw py::error_already_set();
    out.assign(copy, copy + PyUnicode_GET_LENGTH(key.ptr()));
    PyMem_Free(copy);
    return true;
}

bool is_arrow(py::handle key, char32_t final_letter, char32_t letter_key) {
    std::u32string k;
    if (!as_code_points(key, k)) return false;
    if (letter_key != 0 && k.size() == 1 && k[0] == letter_key) return true;
    if (!k.starts_with(U'\x1b')) return false;
    const std::u32string csi{U'\x1b', U'[', final_letter};
    const std::u32string ss3{U'\x1b', U'O', final_letter};
    return k == csi || k == ss3 || (k.starts_with(U"\x1b[") && k.ends_with(final_letter));
}

// Page and Delete keys: "\x1b[<digit>~" and its modifier variants.
bool is_tilde_key(py::handle key, char32_t digit) {
    std::u32string k;
    if (!as_code_points(key, k)) return false;
    const std::u32string exact{U'\x1b', U'[', digit, U'~'};
    const std::u32string pair{U'[', digit};
    return k == exact ||
           (k.starts_with(U"\x1b[") && k.find(pair) != std::u32string::npos && k.ends_with(U'~'));
}

bool equals_one_of(py::handle key, std::initializer_list<char32_t> chars) {
    std::u32string k;
    if (!as_code_points(key, k) || k.size() != 1) return false;
    for (char32_t c : chars) {
        if (k[0] == c) return true;
    }
    return false;
}

// What str.isalpha() says of the Latin-1 character of one byte.
bool latin1_is_alpha(unsigned char b) {
    if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z')) return true;
    if (b == 0xAA || b == 0xB5 || b == 0xBA) return true;
    return b >= 0xC0 && b != 0xD7 && b != 0xF7;
}

py::str latin1(const std::string &bytes) {
    PyObject *decoded =
        PyUnicode_DecodeLatin1(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
    if (decoded == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

// termios.error(EINTR, ...): the call was cut short by a signal.
bool is_interrupted_call(const py::error_already_set &error) {
    const py::tuple args(error.value().attr("args"));
    return !args.empty() && py::object(args[0]).equal(py::int_(EINTR));
}

class RawKeyReader {
public:
    explicit RawKeyReader(py::object fd) : fd_(std::move(fd)) {}

    // Everything after the switch to raw mode; the caller restores the
    // terminal on every way out.
    py::str read_key() {
        // Apply raw mode at once instead of with the default flush: keys typed
        // ahead of this call (a held arrow, a paste) are already waiting and
        // must be read, in order, not discarded.
        global("tty").attr("setraw")(fd_, global("termios").attr("TCSANOW"));

        // A handler tripped after the interpreter last looked, just before a
        // blocking read began (or on another thread), would otherwise wait
        // for the next key: wait in slices and let handlers run in between.
        while (!readable_within(kSignalCheckSeconds)) {
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }

        std::string sequence;
        if (!read_byte(sequence)) return py::str("");
        const auto first = static_cast<unsigned char>(sequence[0]);
        if (first == INTERRUPT_BYTE) {
            PyErr_SetNone(PyExc_KeyboardInterrupt);
            throw py::error_already_set();
        }
        if (first != ESC) return latin1(sequence);

        if (!readable_within(0.05)) return latin1(sequence);
        // A descriptor that reports readable but yields nothing has reached
        // end of input: what was read so far is a lone Esc.
        if (!read_byte(sequence)) return latin1(sequence);

        const auto second = static_cast<unsigned char>(sequence[1]);
        if (second == '[' || second == 'O') {
            if (readable_within(0.15) && !read_byte(sequence)) return latin1(sequence);
        }
        for (;;) {
            const auto last = static_cast<unsigned char>(sequence.back());
            if (latin1_is_alpha(last) || last == '~') break;
            if (!readable_within(0.01)) break;
            // End of input stays readable forever; stop instead of spinning.
            if (!read_byte(sequence)) break;
        }
        return latin1(sequence);
    }

private:
    bool read_byte(std::string &sequence) {
        py::bytes chunk = global("os").attr("read")(fd_, 1);
        std::string data = chunk;
        sequence += data;
        return !data.empty();
    }

    bool readable_within(double seconds) {
        py::list watched;
        watched.append(fd_);
        py::object result = global("select").attr("select")(watched, py::list(), py::list(), seconds);
        py::object ready = result[py::int_(0)];
        return py::bool_(ready);
    }

    py::object fd_;
};

// The settings the reader found, back once what was written has gone out.
// A signal landing while the terminal drains fails that request without
// applying it (EINTR); the settings are then applied at once, since the
// process is on its way to handle the signal.
void restore_settings(const py::object &fd, const py::object &old_settings) {
    py::object termios = global("termios");
    try {
        termios.attr("tcsetattr")(fd, termios.attr("TCSADRAIN"), old_settings);
        return;
    } catch (py::error_already_set &e) {
        if (!e.matches(termios.attr("error")) || !is_interrupted_call(e)) throw;
    }
    termios.attr("tcsetattr")(fd, termios.attr("TCSANOW"), old_settings);
}

py::str read_single_key() {
    py::object fd = global("sys").attr("stdin").attr("fileno")();
    py::object old_settings = global("termios").attr("tcgetattr")(fd);
    py::str key;
    try {
        key = RawKeyReader(fd).read_key();
    } catch (...) {
        // What stopped the read is what the caller must see: a terminal
        // that cannot take its settings back (it is gone) says nothing new.
        try {
            restore_settings(fd, old_settings);
        } catch (py::error_already_set &) {
        }
        throw;
    }
    restore_settings(fd, old_settings);
    return key;
}

void enter_alternate_screen() {
    zyl::print(py::str("\x1b[?1049h\x1b[?25l\x1b[2J\x1b[H"), "end"_a = "", "flush"_a = true);
}

void exit_alternate_screen() {
    zyl::print(py::str(std::string(kEndOpenSequences) + "\x1b[?25h\x1b[?1049l"), "end"_a = "",
               "flush"_a = true);
}

}  // namespace

void register_key_input(py::module_ &m) {
    m.def("is_up_key", [](py::handle key) { return is_arrow(key, U'A', U'k'); }, "key"_a);
    m.def("is_down_key", [](py::handle key) { return is_arrow(key, U'B', U'j'); }, "key"_a);
    m.def("is_left_key", [](py::handle key) { return is_arrow(key, U'D', 0); }, "key"_a);
    m.def("is_right_key", [](py::handle key) { return is_arrow(key, U'C', 0); }, "key"_a);
    m.def("is_page_up_key", [](py::handle key) { return is_tilde_key(key, U'5'); }, "key"_a);
    m.def("is_page_down_key", [](py::handle key) { return is_tilde_key(key, U'6'); }, "key"_a);
    m.def("is_delete_key", [](py::handle key) { return is_tilde_key(key, U'3'); }, "key"_a);
    m.def("is_enter_key", [](py::handle key) { return equals_one_of(key, {U'\r', U'\n'}); }, "key"_a);
    m.def("is_tab_key", [](py::handle key) { return equals_one_of(key, {U'\t'}); }, "key"_a);
    m.def("is_select_key", [](py::handle key) { return equals_one_of(key, {U' ', U'\r', U'\n'}); },
          "key"_a);
    m.def("read_single_key", &read_single_key);
    m.def("enter_alternate_screen", &enter_alternate_screen);
    m.def("exit_alternate_screen", &exit_alternate_screen);
}

}  // namespace zyl
