// One key on the Run settings panel: moving over the run items, opening and
// closing buckets, showing a description, and changing a run-wide setting at
// once (booleans, enums) or through a value editor (lists, numbers).
#include "prelude.hpp"

#include "configurator_state.hpp"
#include "driver.hpp"
#include "key_tests.hpp"
#include "refused_values.hpp"

namespace zyl {

namespace {

bool has_type(py::handle item, const char *type) { return equals(item["type"], py::str(type)); }

void enter_on_setting(ConfiguratorState &state, py::handle item) {
    const py::object name = item["name"];
    const py::object value = item["value"];
    // A flip or step the run configuration refuses is reported like a value
    // that did not parse, and the panel stays as it was.
    if (Py_TYPE(value.ptr()) == &PyBool_Type) {
        state.status_message = text(message_of_write(name, [&] {
            const py::tuple outcome(call("apply_setting_value", name, py::bool_(!value.cast<bool>())));
            return py::object(outcome[1]);
        }));
    } else if (!call("get_enum_options", name).is_none()) {
        state.status_message = text(message_of_write(name, [&] {
            const py::tuple outcome(call("cycle_enum_setting", name, value));
            return py::object(outcome[1]);
        }));
    } else if (PyList_Check(value.ptr())) {
        state.list_editor_state = call("_new_list_editor", name, value, "scope_key"_a = py::none());
    } else if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) {
        state.scalar_editor_state = call("_new_scalar_editor", name, value, "scope_key"_a = py::none());
    } else {
        state.status_message = text(name) + " cannot be edited from this screen.";
    }
}

}  // namespace

void handle_run_settings_key(ConfiguratorState &state, const py::object &key) {
    const py::list items(call("build_run_items", state.expanded_buckets));
    const auto count = static_cast<py::ssize_t>(items.size());
    if (count == 0) return;
    if (state.run_selected_index >= count) state.run_selected_index = count - 1;
    const py::object item = items[state.run_selected_index];

    auto move = [&](py::ssize_t delta) {
        state.run_selected_index = call("_move", state.run_selected_index, delta, count).cast<py::ssize_t>();
    };

    if (key_holds("is_up_key", key) || key_holds("is_down_key", key)) {
        const py::ssize_t step = key_holds("is_up_key", key) ? -1 : +1;
        move(step);
        // Dividers only separate groups: single steps pass over them, except
        // at either end of the list, where there is nothing to pass on to.
        while (state.run_selected_index > 0 && state.run_selected_index < count - 1 &&
               has_type(items[state.run_selected_index], "divider")) {
            move(step);
        }
    } else if (key_holds("is_page_up_key", key)) {
        move(-10);
    } else if (key_holds("is_page_down_key", key)) {
        move(+10);
    } else if (key_holds("is_right_key", key)) {
        if (has_type(item, "bucket")) state.expanded_buckets[item["bucket"]] = true;
    } else if (key_holds("is_left_key", key)) {
        const py::object bucket = item["bucket"];
        state.expanded_buckets[bucket] = false;
        if (!has_type(item, "bucket")) {
            for (py::ssize_t i = 0; i < count; ++i) {
                const py::object candidate = items[i];
                if (has_type(candidate, "bucket") && equals(candidate["bucket"], bucket)) {
                    state.run_selected_index = i;
                    break;
                }
            }
        }
    } else if (key_is(key, "h")) {
        if (has_type(item, "setting")) {
            const std::string name = text(item["name"]);
            state.describe_name = state.describe_name == name ? std::string() : name;
        }
    } else if (key_holds("is_enter_key", key)) {
        state.describe_name.clear();
        if (has_type(item, "bucket")) {
            state.expanded_buckets[item["bucket"]] = !py::bool_(item["is_expanded"]);
        } else if (has_type(item, "setting")) {
            enter_on_setting(state, item);
        }
    }
}

void register_run_settings_keys(py::module_ &) {}

}  // namespace zyl
