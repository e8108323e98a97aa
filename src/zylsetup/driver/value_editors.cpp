// The two small full-screen editors for values that cannot simply be toggled
// or cycled: the scalar editor (numbers) and the list editor (lists).  An
// editor is a plain dict held by the configurator; the handlers change it in
// place and report (done, message).
#include "prelude.hpp"

#include "driver.hpp"
#include "key_tests.hpp"
#include "refused_values.hpp"
#include "shown_text.hpp"

#include <algorithm>

namespace zyl {

namespace {

py::ssize_t text_length(py::handle text) {
    const py::ssize_t length = PyUnicode_GetLength(text.ptr());
    if (length < 0) throw py::error_already_set();
    return length;
}

// The code points of `text` from `start` to `end`, clamped like a slice.
py::str substring(const py::str &text, py::ssize_t start, py::ssize_t end) {
    const py::ssize_t length = text_length(text);
    start = std::clamp<py::ssize_t>(start, 0, length);
    end = std::clamp<py::ssize_t>(end, start, length);
    PyObject *piece = PyUnicode_Substring(text.ptr(), start, end);
    if (piece == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(piece);
}

// A new list of the elements of any iterable (never the iterable itself).
py::list copy_list(py::handle iterable) {
    PyObject *copy = PySequence_List(iterable.ptr());
    if (copy == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(copy);
}

// One printable character: what a user types into a buffer.  Escape
// sequences and control characters never are.
bool is_typed_character(py::handle key) {
    if (!PyUnicode_Check(key.ptr()) || text_length(key) != 1) return false;
    const Py_UCS4 character = PyUnicode_ReadChar(key.ptr(), 0);
    if (character == static_cast<Py_UCS4>(-1) && PyErr_Occurred()) throw py::error_already_set();
    return character >= 0x20;
}

py::tuple editor_result(bool done, py::object message) {
    return py::make_tuple(py::bool_(done), std::move(message));
}

py::tuple editor_result(bool done) { return editor_result(done, py::str("")); }

enum class BufferKey { Edited, Enter, Other };

// The keys that edit a text buffer, in the order both editors test them:
// left, right, Backspace, Delete, then Enter (handled by the caller), then
// one typed character.  Esc belongs to the caller and comes before all.
BufferKey edit_buffer(py::handle state, py::handle key) {
    const py::str buffer_text(state["input_buffer"]);
    const auto cursor = state["cursor_index"].cast<py::ssize_t>();
    const py::ssize_t length = text_length(buffer_text);

    if (key_holds("is_left_key", key)) {
        state["cursor_index"] = std::max<py::ssize_t>(0, cursor - 1);
    } else if (key_holds("is_right_key", key)) {
        state["cursor_index"] = std::min<py::ssize_t>(length, cursor + 1);
    } else if (key_is(key, "\x7f")) {
        if (cursor > 0) {
            state["input_buffer"] = substring(buffer_text, 0, cursor - 1) + substring(buffer_text, cursor, length);
            state["cursor_index"] = cursor - 1;
        }
    } else if (key_holds("is_delete_key", key)) {
        if (cursor < length) {
            state["input_buffer"] = substring(buffer_text, 0, cursor) + substring(buffer_text, cursor + 1, length);
        }
    } else if (key_holds("is_enter_key", key)) {
        return BufferKey::Enter;
    } else if (is_typed_character(key)) {
        state["input_buffer"] = substring(buffer_text, 0, cursor) + py::str(key) + substring(buffer_text, cursor, length);
        state["cursor_index"] = cursor + 1;
    } else {
        return BufferKey::Other;
    }
    return BufferKey::Edited;
}

py::object new_scalar_editor(py::object setting_name, py::object value, py::object scope_key) {
    const py::str text = PyUnicode_Check(value.ptr()) ? py::reinterpret_borrow<py::str>(value) : py::str(value);
    py::dict state;
    state["kind"] = "scalar";
    state["setting_name"] = setting_name;
    state["sample_value"] = value;
    state["input_buffer"] = text;
    state["cursor_index"] = text_length(text);
    state["scope_key"] = scope_key;
    return state;
}

// The editor's list is a copy: nothing reaches the setting before the user
// picks "Save list and return".
py::object new_list_editor(py::object setting_name, py::object value, py::object scope_key) {
    py::list values = copy_list(value);
    py::dict state;
    state["kind"] = "list";
    state["setting_name"] = setting_name;
    state["values"] = values;
    state["selected_index"] = 0;
    state["sample_type"] = py::bool_(value) ? py::object(value[py::int_(0)]) : py::object(py::none());
    state["typing_active"] = false;
    state["edit_index"] = py::none();
    state["input_buffer"] = "";
    state["cursor_index"] = 0;
    state["scope_key"] = scope_key;
    // A rejected entry leaves the editor open, and its frame has no status
    // line: the message is kept here and drawn under the list until the next
    // key.
    state["entry_error"] = "";
    return state;
}

py::object format_list_editor_line(py::object state) {
    const py::object values = state["values"];
    const py::ssize_t count = length_of(values);
    const bool typing = py::bool_(state["typing_active"]);
    const py::object edit_index = state["edit_index"];
    const py::object selected_index = state["selected_index"];

    auto at = [](const py::object &index, py::ssize_t position) {
        return !index.is_none() && equals(index, py::int_(position));
    };
    auto cursor_token = [&] {
        return call("render_text_with_cursor", state["input_buffer"], state["cursor_index"]);
    };

    py::list tokens;
    py::ssize_t i = 0;
    for (py::handle value : values) {
        if (typing && at(edit_index, i)) {
            tokens.append(cursor_token());
        } else if (!typing && at(selected_index, i)) {
            tokens.append(call("make_inverted_text", shown_text(value)));
        } else {
            tokens.append(shown_text(value));
        }
        ++i;
    }
    if (typing && at(edit_index, count)) {
        tokens.append(cursor_token());
    } else if (at(selected_index, count)) {
        tokens.append(call("make_inverted_text", "Add new entry"));
    } else {
        tokens.append("Add new entry");
    }
    if (!typing && at(selected_index, count + 1)) {
        tokens.append(call("make_inverted_text", "Save list and return"));
    } else {
        tokens.append("Save list and return");
    }
    return py::str(" | ").attr("join")(tokens);
}

void render_editor_frame(py::object state) {
    zyl::print("\x1b[2J\x1b[H", "end"_a = "");
    const py::str name = shown_text(state["setting_name"]);
    py::list lines;
    lines.append(py::str("  ") + call("color_text", py::str("Edit ") + name, "E8EEEC"));
    lines.append("");
    if (equals(state["kind"], py::str("scalar"))) {
        lines.append(py::str("  ") + call("render_text_with_cursor", state["input_buffer"], state["cursor_index"]));
        lines.append("");
        lines.append(call("dim", "  Enter save \u00b7 Esc cancel"));
    } else {
        lines.append(py::str("  ") + call("_format_list_editor_line", state));
        const py::object error = state.contains("entry_error")
                                     ? py::object(state["entry_error"])
                                     : py::object(py::str(""));
        if (py::bool_(error)) {
            lines.append(call("color_text", py::str("  ") + shown_text(error), global("COLOR_ACCENT")));
        }
        lines.append("");
        lines.append(call("dim", "  \u2190/\u2192 move \u00b7 Enter edit/select \u00b7 Backspace/Delete remove \u00b7 Esc cancel"));
    }
    zyl::print(call("wrap_screen_text_for_terminal", py::str("\n").attr("join")(lines)));
}

py::object persist_edited_value(py::object state, py::object module_settings_overrides, py::object value) {
    const py::object scope_key = state["scope_key"];
    const py::object setting_name = state["setting_name"];
    if (!scope_key.is_none()) {
        call("set_module_scoped_value", module_settings_overrides, scope_key, setting_name, value);
        return py::str("");
    }
    const py::tuple outcome(call("apply_setting_value", setting_name, value));
    if (py::bool_(outcome[0])) return py::str("");
    return outcome[1];
}

// The editor's value written through the module's persisting step; a value
// the run configuration refuses closes the editor with the refusal's message,
// like text that does not parse.
py::object persist_or_refusal(py::object state, py::object module_settings_overrides, py::object value) {
    return message_of_write(state["setting_name"], [&] {
        return call("_persist_edited_value", state, module_settings_overrides, value);
    });
}

py::tuple handle_scalar_editor(py::object state, py::object key, py::object module_settings_overrides) {
    if (key_is(key, "\x1b")) return editor_result(true);
    if (edit_buffer(state, key) != BufferKey::Enter) return editor_result(false);
    py::object parsed;
    try {
        parsed = call("parse_value_from_text", state["input_buffer"], state["sample_value"]);
    } catch (py::error_already_set &e) {
        if (!is_ordinary_error(e)) throw;
        return editor_result(true, invalid_value_message(state["setting_name"], e));
    }
    return editor_result(true, persist_or_refusal(state, module_settings_overrides, parsed));
}

void stop_typing(py::handle state) {
    state["typing_active"] = false;
    state["edit_index"] = py::none();
    state["input_buffer"] = "";
}

// Enter while typing: the text replaces the value being edited (parsed to
// that value's type) or becomes a new last entry.
py::tuple commit_list_entry(py::object state, py::list &values) {
    const py::object edit_index = state["edit_index"];
    const bool replaces = !edit_index.is_none() && edit_index.cast<py::ssize_t>() < length_of(values);
    py::object sample = replaces ? py::object(values[edit_index]) : py::object(state["sample_type"]);
    py::object parsed;
    try {
        parsed = call("parse_value_from_text", state["input_buffer"], sample);
    } catch (py::error_already_set &e) {
        if (!is_ordinary_error(e)) throw;
        stop_typing(state);
        py::str message = py::str("Invalid list entry: ") + error_text_of(e);
        state["entry_error"] = message;
        return editor_result(false, message);
    }
    if (replaces) {
        values[edit_index] = parsed;
        state["selected_index"] = edit_index;
    } else {
        values.append(parsed);
        state["selected_index"] = length_of(values) - 1;
    }
    stop_typing(state);
    state["cursor_index"] = 0;
    return editor_result(false);
}

py::tuple handle_list_editor(py::object state, py::object key, py::object module_settings_overrides) {
    // The message of a rejected entry is shown until the next key only.
    if (state.contains("entry_error")) state["entry_error"] = "";

    py::list values = state["values"];
    const py::ssize_t add_index = length_of(values);
    const py::ssize_t save_index = add_index + 1;

    if (py::bool_(state["typing_active"])) {
        if (key_is(key, "\x1b")) {
            stop_typing(state);
            state["cursor_index"] = 0;
            return editor_result(false);
        }
        if (edit_buffer(state, key) == BufferKey::Enter) return commit_list_entry(state, values);
        return editor_result(false);
    }

    const auto selected = state["selected_index"].cast<py::ssize_t>();
    if (key_is(key, "\x1b")) return editor_result(true);
    if (key_holds("is_left_key", key)) {
        state["selected_index"] = std::max<py::ssize_t>(0, selected - 1);
    } else if (key_holds("is_right_key", key)) {
        state["selected_index"] = std::min<py::ssize_t>(selected + 1, save_index);
    } else if (key_is(key, "\x7f") || key_holds("is_delete_key", key)) {
        if (selected < add_index) {
            if (PySequence_DelItem(values.ptr(), selected) < 0) throw py::error_already_set();
            const py::ssize_t last = length_of(values) + 1;
            if (state["selected_index"].cast<py::ssize_t>() > last) state["selected_index"] = last;
        }
    } else if (key_holds("is_select_key", key)) {
        if (selected == save_index) {
            return editor_result(true, persist_or_refusal(state, module_settings_overrides, copy_list(values)));
        }
        const py::str initial_text = selected < add_index ? py::str(values[selected]) : py::str("");
        state["typing_active"] = true;
        state["edit_index"] = selected;
        state["input_buffer"] = initial_text;
        state["cursor_index"] = text_length(initial_text);
    }
    return editor_result(false);
}

}  // namespace

void register_value_editors(py::module_ &m) {
    m.def("_new_scalar_editor", &new_scalar_editor, "setting_name"_a, "value"_a, "scope_key"_a);
    m.def("_new_list_editor", &new_list_editor, "setting_name"_a, "value"_a, "scope_key"_a);
    m.def("_render_editor_frame", &render_editor_frame, "state"_a);
    m.def("_format_list_editor_line", &format_list_editor_line, "state"_a);
    m.def("_persist_edited_value", &persist_edited_value, "state"_a, "module_settings_overrides"_a, "value"_a);
    m.def("_handle_scalar_editor", &handle_scalar_editor, "state"_a, "key"_a, "module_settings_overrides"_a);
    m.def("_handle_list_editor", &handle_list_editor, "state"_a, "key"_a, "module_settings_overrides"_a);
}

}  // namespace zyl
