// One key on the Targets panel: moving the highlight, opening the legend,
// type-rules and Overrides overlays, expanding restructured roots, and
// setting or clearing the highlighted module's mode.
#include "prelude.hpp"

#include "configurator_state.hpp"
#include "driver.hpp"
#include "key_tests.hpp"
#include "refused_values.hpp"

namespace zyl {

namespace {

constexpr const char *kRestructuredIdMessage =
    " is inside a module that will be restructured \u2014 its id won't exist at training time. "
    "Use P/T to target by type instead.";
constexpr const char *kRestructuredTypeMessage =
    "Set a mode on this module's children by type, not on the container that will be restructured.";

bool flag(py::handle entry, const char *key) { return py::bool_(entry[key]); }

// A key's edit of the target lists, which the configuration may refuse (a
// platform that does not take an id): the refusal, or the edit's own message,
// shows under the panel, and editing goes on with the lists as the
// configuration holds them.
template <class Edit>
void edit_lists(ConfiguratorState &state, py::handle subject, Edit &&edit) {
    py::object message = message_of_write(subject, std::forward<Edit>(edit));
    if (truthy(message)) state.status_message = text(message);
}

}  // namespace

void handle_targets_key(ConfiguratorState &state, const py::object &key, const py::dict &resolved) {
    const py::list vis = visible_targets(state);
    const auto count = static_cast<py::ssize_t>(vis.size());
    if (count == 0) return;
    if (state.target_selected_index >= count) state.target_selected_index = count - 1;
    const py::object entry = vis[state.target_selected_index];

    auto move = [&](py::ssize_t delta) {
        state.target_selected_index = call("_move", state.target_selected_index, delta, count).cast<py::ssize_t>();
    };

    if (key_holds("is_up_key", key)) {
        move(-1);
    } else if (key_holds("is_down_key", key)) {
        move(+1);
    } else if (key_holds("is_page_up_key", key)) {
        move(-10);
    } else if (key_holds("is_page_down_key", key)) {
        move(+10);
    } else if (key_is(key, "y")) {
        state.overlay = py::str("typerules");
    } else if (key_is(key, "h")) {
        state.overlay = py::str("legend");
    } else if (key_holds("is_right_key", key) || key_holds("is_left_key", key)) {
        if (flag(entry, "is_replaced_root")) {
            state.expanded_replaced[entry["id"]] = call("is_right_key", key);
        }
    } else if (key_is(key, "p") || key_is(key, "t")) {
        if (flag(entry, "is_replaced_root") || flag(entry, "in_replaced")) {
            state.status_message = text(entry["id"]) + kRestructuredIdMessage;
        } else {
            const char *mode = key_is(key, "p") ? "zylated" : "tracked";
            edit_lists(state, entry["id"], [&] {
                call("set_module_id_mode", entry["id"], mode);
                return py::str("");
            });
        }
    } else if (key_is(key, "P") || key_is(key, "T")) {
        if (flag(entry, "is_replaced_root")) {
            state.status_message = kRestructuredTypeMessage;
        } else {
            const char *mode = key_is(key, "P") ? "zylated" : "tracked";
            edit_lists(state, entry["type_name"], [&] {
                call("set_module_name_mode", entry["type_name"], mode);
                return py::str("");
            });
        }
    } else if (key_is(key, "x")) {
        edit_lists(state, entry["id"], [&] { return call("clear_module_mode", entry); });
    } else if (key_holds("is_enter_key", key)) {
        const py::tuple outcome(call("get_override_scope_for_entry", entry, resolved));
        const py::object scope = outcome[0];
        if (scope.is_none()) {
            state.status_message = text(outcome[1]);
        } else {
            state.overlay = py::str("overrides");
            state.ov_scope = scope;
            state.ov_selected_index = 0;
            state.describe_name.clear();
        }
    }
}

void register_targets_keys(py::module_ &) {}

}  // namespace zyl
