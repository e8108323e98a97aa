// A value that cannot be taken: text that does not parse, or a value that the
// run configuration (a setter of GZL.pc, the override writer) refuses by
// raising.  Either is reported to the user in the same words and editing goes
// on; losing every choice of the session over one bad value would be worse
// than any refusal.
#pragma once

#include "prelude.hpp"

#include <utility>

namespace zyl {

// Only ordinary errors are refusals or parse errors; an interrupt or an exit
// keeps its own way out of the configurator.
inline bool is_ordinary_error(const py::error_already_set &error) {
    return error.matches(PyExc_Exception);
}

// The error's text; an error whose text cannot be made (its __str__ raises)
// goes by its class name rather than ending the session over the report.
inline py::str error_text_of(const py::error_already_set &error) {
    try {
        return py::str(error.value());
    } catch (py::error_already_set &unprintable) {
        if (!is_ordinary_error(unprintable)) throw;
    }
    return py::str(error.type().attr("__name__"));
}

// "Invalid value for <setting>: <the error's text>".
inline py::str invalid_value_message(py::handle setting_name, const py::error_already_set &error) {
    return py::str(py::str("Invalid value for ") + py::str(setting_name) + py::str(": ") +
                   error_text_of(error));
}

// Runs `write`, which returns the message it has for the user ("" for
// none); when the run configuration refuses the value, the refusal's message
// instead.  What the writer did before raising stays done.
template <class Write>
py::object message_of_write(py::handle setting_name, Write &&write) {
    try {
        return std::forward<Write>(write)();
    } catch (py::error_already_set &error) {
        if (!is_ordinary_error(error)) throw;
        return invalid_value_message(setting_name, error);
    }
}

}  // namespace zyl
