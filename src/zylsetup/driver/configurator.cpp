// set_zylation_targets: start-up, the main loop with its frames, overlay and
// global keys, and saving.  The terminal must come back to the user whatever
// happens, so everything after the auto-persist switch runs in one protected
// region held by the ways out (ways_out.cpp).
#include "prelude.hpp"

#include "config_files.hpp"
#include "configurator_state.hpp"
#include "driver.hpp"
#include "model.hpp"
#include "refused_values.hpp"
#include "shown_text.hpp"
#include "ways_out.hpp"

#include <algorithm>
#include <string>

namespace zyl {

namespace {

const char *const kClearScreen = "\x1b[2J\x1b[H";
const char *const kAutoPersist = "_auto_persist_config";

// How the protected region ended when it did not raise.
enum class Exit { saved, quit };

// What one key did to the loop.
enum class Step { next_pass, quit, saved };

// A Ctrl-C that arrived as a signal while we were running C++ only is
// pending until something checks; checking before blocking on a key makes it
// cancel at once instead of after the next key.
void take_pending_signals() {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// Normalising writes all four target lists back, and the configuration may
// refuse one: that is reported like any refused value, unless the pass
// already has a message for the user, and editing goes on with the lists as
// the configuration holds them.
void normalize_target_lists(ConfiguratorState &s) {
    py::object refusal = message_of_write(py::str("the target lists"), [] {
        call("normalize_selection_conflicts");
        return py::str("");
    });
    if (truthy(refusal) && s.status_message.empty()) s.status_message = text(refusal);
}

// Unpacks a result the way `a, b = result` would, with the same errors.
py::tuple unpack(const py::object &result, py::ssize_t expected) {
    py::tuple values(result);
    const py::ssize_t got = static_cast<py::ssize_t>(values.size());
    if (got > expected) {
        throw py::value_error("too many values to unpack (expected " + std::to_string(expected) +
                              ")");
    }
    if (got < expected) {
        throw py::value_error("not enough values to unpack (expected " +
                              std::to_string(expected) + ", got " + std::to_string(got) + ")");
    }
    return values;
}

bool key_is(const py::object &key, const char *text) { return key.equal(py::str(text)); }

bool key_lower_is_s(const py::object &key) { return key.attr("lower")().equal(py::str("s")); }

bool key_test(const char *test, const py::object &key) { return truthy(call(test, key)); }

bool overlay_is(const ConfiguratorState &s, const char *name) {
    return !s.overlay.is_none() && s.overlay.equal(py::str(name));
}

py::ssize_t clamp_selection(py::ssize_t index, py::ssize_t length) {
    return index >= length ? std::max<py::ssize_t>(length - 1, 0) : index;
}

py::ssize_t step_cursor(py::ssize_t index, py::ssize_t delta, py::ssize_t length) {
    return call("_move", index, delta, length).cast<py::ssize_t>();
}

void confirm_configuration() { pc().attr("set_configuration_confirmed")(true); }

// Whether the configuration reads as confirmed now.  The object need not say;
// the configurator only runs while it is not confirmed.
py::object confirmation_now() {
    py::object getter = getattr_or_none(pc(), "get_configuration_confirmed");
    if (getter.is_none()) return py::bool_(false);
    return getter();
}

// A save that one of its files would refuse stops before anything is
// written: the message shows under the panel the save started from.
bool save_refused(ConfiguratorState &s, bool overwrite_config_file) {
    py::object refusal = call("_save_destination_refusal", overwrite_config_file);
    if (refusal.is_none()) return false;
    s.status_message = text(refusal);
    s.overlay = py::none();
    return true;
}

// Writes the configuration object's outputs, then the pending overrides.  No
// check foresees a full disk, a quota or a platform writer that fails: such an
// operating-system error ends the save, not the session.  False then, with
// the message naming the file, the reason and what was already written,
// shown as a refusal is.
bool persisted(ConfiguratorState &s, bool overwrite_config_file) {
    py::list before = save_destination_stamps(overwrite_config_file);
    try {
        pc().attr("persist_config_outputs")("overwrite_config_file"_a = overwrite_config_file);
        call("persist_module_settings_updates", s.module_settings_overrides,
             "overwrite_config_file"_a = overwrite_config_file);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError)) throw;
        s.status_message = save_failure_message(e, before);
        s.overlay = py::none();
        return false;
    }
    return true;
}

// Writes the run's configuration, and for a choice other than 0 the reusable
// configuration file as well, asking for its name on the normal screen when
// none is set, and confirms the choice.  The files are checked once, before
// anything is written.  False when they refused the save or a write failed:
// the confirmation is as it was and a name typed for this save is forgotten.
bool finalize_save(ConfiguratorState &s, long choice_index) {
    if (choice_index == 0) {
        if (save_refused(s, false) || !persisted(s, false)) return false;
        confirm_configuration();
        return true;
    }
    py::object pc_dict = pc().attr("__dict__");
    py::object confirmed_before;
    bool typed = false;
    bool had_entry = false;
    py::object typed_over;
    auto put_back = [&] {
        if (typed) {
            if (had_entry) pc_dict["_config_file"] = typed_over;
            else pc_dict.attr("pop")("_config_file", py::none());
        }
        pc().attr("set_configuration_confirmed")(confirmed_before);
    };
    if (truthy(pc().attr("get_config_file")())) {
        // The files are known: a refusal is found before the confirmation
        // is touched.
        if (save_refused(s, true)) return false;
        confirmed_before = confirmation_now();
        confirm_configuration();
    } else {
        // Saving as the default confirms first, so a cancelled file-name
        // prompt still leaves the choice confirmed.
        confirmed_before = confirmation_now();
        confirm_configuration();
        py::object save_name = pc().attr("get_save_name")();
        if (!truthy(save_name)) save_name = py::str("ZYL");
        py::object relative_config_name = call("_config_target_path");
        call("exit_alternate_screen");
        zyl::print(kClearScreen, "end"_a = "");
        zyl::print("No config_file is set.");
        zyl::print("Enter a local JSON filename/path to create a reusable configuration file.");
        zyl::print("You currently have save_name='" + text(shown_text(save_name)) + "'. Choose '" +
              text(shown_text(relative_config_name)) +
              "' to skip this screen next time without changing your zylate_model call.");
        py::object filename;
        for (;;) {
            filename = builtin("input")("Config filename/path: ").attr("strip")();
            if (truthy(filename)) break;
            zyl::print("A filename is required to save a default configuration.");
        }
        // Straight into the instance dictionary, so no setter (and no
        // auto-persist) runs before the write below.
        typed = true;
        had_entry = pc_dict.contains("_config_file");
        if (had_entry) typed_over = pc_dict["_config_file"];
        pc_dict["_config_file"] = filename;
        call("enter_alternate_screen");
        if (save_refused(s, true)) {
            put_back();
            return false;
        }
    }
    if (!persisted(s, true)) {
        put_back();
        return false;
    }
    return true;
}

py::list with_status_line(const ConfiguratorState &s, const py::object &footer) {
    py::list lines;
    for (py::handle line : footer) lines.append(line);
    if (!s.status_message.empty()) {
        // Messages carry ids, setting names and exception texts: shown here,
        // where every status line is drawn.
        lines.append(call("color_text", shown_text(py::str("  " + s.status_message)),
                          global("COLOR_ACCENT")));
    }
    return lines;
}

py::object targets_frame(ConfiguratorState &s, const py::object &resolved) {
    py::list vis = visible_targets(s);
    s.target_selected_index =
        clamp_selection(s.target_selected_index, static_cast<py::ssize_t>(vis.size()));
    py::tuple parts = unpack(call("render_targets_lines", s.entries, vis, s.target_selected_index,
                                  resolved, s.expanded_replaced),
                             4);
    py::object header = parts[0];
    if (overlay_is(s, "typerules")) {
        // The box sits in the fixed top part, so it stays put while the body
        // scrolls beneath it.
        py::list boxed;
        for (py::handle line : header) boxed.append(line);
        boxed.append("");
        for (py::handle line : call("render_type_rules_overlay", s.entries)) boxed.append(line);
        boxed.append("");
        header = boxed;
    }
    py::list footer = with_status_line(s, parts[2]);
    py::tuple composed = unpack(
        call("compose_scrolling_screen", header, parts[1], footer, s.target_window_start, parts[3]),
        2);
    s.target_window_start = composed[1].cast<py::ssize_t>();
    return composed[0];
}

py::object run_settings_frame(ConfiguratorState &s) {
    py::object items = call("build_run_items", s.expanded_buckets);
    s.run_selected_index = clamp_selection(s.run_selected_index, length_of(items));
    py::tuple parts =
        unpack(call("render_run_settings_lines", items, s.run_selected_index, s.describe_name), 4);
    py::list footer = with_status_line(s, parts[2]);
    py::tuple composed = unpack(
        call("compose_scrolling_screen", parts[0], parts[1], footer, s.run_window_start, parts[3]),
        2);
    s.run_window_start = composed[1].cast<py::ssize_t>();
    return composed[0];
}

py::object frame_text(ConfiguratorState &s, const py::object &resolved) {
    if (overlay_is(s, "help")) return call("render_static_overlay", call("render_help_overlay"));
    if (overlay_is(s, "legend")) {
        return call("render_static_overlay", call("render_legend_overlay"));
    }
    if (overlay_is(s, "quit")) return call("render_static_overlay", call("render_quit_overlay"));
    if (overlay_is(s, "save")) {
        return call("render_static_overlay",
                    call("render_save_overlay", s.entries, resolved, s.save_selected_index,
                         call("_config_target_path")));
    }
    if (overlay_is(s, "overrides")) {
        return call("render_static_overlay",
                    call("render_overrides_overlay", s.ov_scope, s.ov_selected_index,
                         s.module_settings_overrides, s.existing_module_settings,
                         s.describe_name));
    }
    if (s.active_screen == "targets") return targets_frame(s, resolved);
    return run_settings_frame(s);
}

Step save_overlay_key(ConfiguratorState &s, const py::object &key, const py::object &resolved) {
    const bool has_unset = truthy(call("unset_module_entries", s.entries, resolved));
    const py::ssize_t option_count = has_unset ? 2 : 3;
    if (key_test("is_up_key", key)) {
        s.save_selected_index = step_cursor(s.save_selected_index, -1, option_count);
    } else if (key_test("is_down_key", key)) {
        s.save_selected_index = step_cursor(s.save_selected_index, 1, option_count);
    } else if (key_is(key, "\x1b") || key_is(key, "x")) {
        s.overlay = py::none();
    } else if (key_test("is_enter_key", key)) {
        const py::ssize_t keep_editing = has_unset ? 0 : 2;
        if (s.save_selected_index == keep_editing) {
            s.overlay = py::none();
        } else {
            const long choice = !has_unset && s.save_selected_index == 1 ? 1 : 0;
            return finalize_save(s, choice) ? Step::saved : Step::next_pass;
        }
    }
    return Step::next_pass;
}

// Enter on a row of the Overrides overlay: flip, step or open an editor on
// the value that applies in the overlay's scope.
void edit_override(ConfiguratorState &s, const py::object &names) {
    py::object scope_key = s.ov_scope["scope_key"];
    py::object name = names[py::int_(s.ov_selected_index)];
    py::object scoped = call("get_scope_values", scope_key, s.module_settings_overrides,
                             s.existing_module_settings);
    py::object current =
        scoped.contains(name) ? py::object(scoped[name]) : call("get_global_setting_value", name);
    // A value the override writer refuses is reported like one that did not
    // parse; the overlay stays open and every pending override stays.
    auto record = [&](const py::object &value) {
        py::object refusal = message_of_write(name, [&] {
            call("set_module_scoped_value", s.module_settings_overrides, scope_key, name, value);
            return py::str("");
        });
        if (truthy(refusal)) s.status_message = text(refusal);
    };
    if (Py_TYPE(current.ptr()) == &PyBool_Type) {
        record(py::bool_(current.ptr() != Py_True));
        return;
    }
    py::object options = call("get_enum_options", name);
    if (!options.is_none()) {
        long long index = -1;
        try {
            index = options.attr("index")(current).cast<long long>();
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_ValueError)) throw;
        }
        // The run-wide value of the forward function is a function, while
        // the options (and the overrides) are its name: it stands where the
        // run-wide cycling puts it.
        if (index < 0 && PyCallable_Check(current.ptr())) {
            index = static_cast<long long>(enum_option_position(name, options, current));
        }
        const auto count = static_cast<long long>(length_of(options));
        // An empty option list has nothing to step to; leave the value alone
        // rather than dividing by zero.
        if (count > 0) record(options[py::int_((index + 1) % count)]);
        return;
    }
    if (PyList_Check(current.ptr())) {
        s.list_editor_state = call("_new_list_editor", name, current, "scope_key"_a = scope_key);
    } else if (PyLong_Check(current.ptr()) || PyFloat_Check(current.ptr())) {
        s.scalar_editor_state =
            call("_new_scalar_editor", name, current, "scope_key"_a = scope_key);
    } else {
        s.status_message = text(name) + " cannot be edited here.";
    }
}

void overrides_overlay_key(ConfiguratorState &s, const py::object &key) {
    py::object names = global("CUSTOMIZABLE_SETTING_NAMES");
    if (key_is(key, "\x1b") || key_is(key, "x")) {
        s.overlay = py::none();
        s.describe_name.clear();
    } else if (key_test("is_up_key", key)) {
        s.ov_selected_index = step_cursor(s.ov_selected_index, -1, length_of(names));
    } else if (key_test("is_down_key", key)) {
        s.ov_selected_index = step_cursor(s.ov_selected_index, 1, length_of(names));
    } else if (key_is(key, "h")) {
        std::string name = text(names[py::int_(s.ov_selected_index)]);
        s.describe_name = s.describe_name == name ? std::string() : name;
    } else if (key_test("is_enter_key", key)) {
        edit_override(s, names);
    } else if (key_lower_is_s(key)) {
        s.overlay = py::str("save");
        s.save_selected_index = 0;
    }
}

Step dispatch(ConfiguratorState &s, const py::object &key, const py::object &resolved) {
    if (overlay_is(s, "help")) {
        if (key_is(key, "?") || key_is(key, "\x1b")) s.overlay = py::none();
        return Step::next_pass;
    }
    if (overlay_is(s, "legend")) {
        if (key_is(key, "h") || key_is(key, "\x1b")) s.overlay = py::none();
        return Step::next_pass;
    }
    if (overlay_is(s, "quit")) {
        if (key_is(key, "y") || key_is(key, "Y")) {
            s.quit_requested = true;
            return Step::quit;
        }
        if (key_is(key, "n") || key_is(key, "N") || key_is(key, "\x1b")) s.overlay = py::none();
        return Step::next_pass;
    }
    if (overlay_is(s, "typerules")) {
        if (key_is(key, "y") || key_is(key, "Y") || key_is(key, "\x1b")) {
            s.overlay = py::none();
        } else if (key_lower_is_s(key)) {
            s.overlay = py::str("save");
            s.save_selected_index = 0;
        }
        return Step::next_pass;
    }
    if (overlay_is(s, "save")) return save_overlay_key(s, key, resolved);
    if (overlay_is(s, "overrides")) {
        overrides_overlay_key(s, key);
        return Step::next_pass;
    }
    if (!s.overlay.is_none()) return Step::next_pass;  // an overlay we do not know holds the keys

    if (key_is(key, "?")) {
        s.overlay = py::str("help");
    } else if (key_is(key, "q")) {
        s.overlay = py::str("quit");
    } else if (key_lower_is_s(key)) {
        // The status message survives: it shows again if the user backs out.
        s.overlay = py::str("save");
        s.save_selected_index = 0;
    } else if (key_test("is_tab_key", key)) {
        s.active_screen = s.active_screen == "targets" ? "run" : "targets";
        s.status_message.clear();
        s.describe_name.clear();
    } else {
        s.status_message.clear();
        if (s.active_screen == "targets") {
            handle_targets_key(s, key, py::dict(resolved));
        } else {
            handle_run_settings_key(s, key);
        }
    }
    return Step::next_pass;
}

// One editor pass: the editor draws itself and owns the key.
void editor_pass(py::object &editor_state, const char *handler, ConfiguratorState &s) {
    call("_render_editor_frame", editor_state);
    take_pending_signals();
    py::object key = call("read_single_key");
    py::tuple result = unpack(call(handler, editor_state, key, s.module_settings_overrides), 2);
    s.status_message = text(result[1]);
    if (truthy(result[0])) editor_state = py::none();
}

Exit main_loop(ConfiguratorState &s) {
    for (;;) {
        take_pending_signals();
        normalize_target_lists(s);
        py::object resolved = call("resolve_entry_modes", s.entries);
        if (!s.scalar_editor_state.is_none()) {
            editor_pass(s.scalar_editor_state, "_handle_scalar_editor", s);
            continue;
        }
        if (!s.list_editor_state.is_none()) {
            editor_pass(s.list_editor_state, "_handle_list_editor", s);
            continue;
        }
        zyl::print(kClearScreen, "end"_a = "");
        py::object screen_text = frame_text(s, resolved);
        zyl::print(call("wrap_screen_text_for_terminal", screen_text));
        take_pending_signals();
        py::object key = call("read_single_key");
        switch (dispatch(s, key, resolved)) {
            case Step::quit: return Exit::quit;
            case Step::saved: return Exit::saved;
            case Step::next_pass: break;
        }
    }
}

// Everything between switching auto-persist off and the restoring step.
Exit protected_region(ConfiguratorState &s) {
    try {
        call("enter_alternate_screen");
    } catch (py::error_already_set &e) {
        // The switch may be on the terminal already when an interrupt
        // lands: leave it on the way out.
        if (is_interrupt(e)) s.entered_alt_screen = true;
        throw;
    }
    s.entered_alt_screen = true;
    normalize_target_lists(s);
    s.entries = py::list(call("get_module_entries", s.model));
    if (s.entries.empty()) {
        // The printed form names the network's classes: each line is shown
        // on its own, so that the form keeps its own line breaks.
        py::list shown_lines;
        for (py::handle line : py::str(s.model).attr("split")("\n")) shown_lines.append(shown_text(line));
        zyl::print(py::str("\n").attr("join")(shown_lines));
        builtin("input")("Press Enter to confirm zylation targets...");
        confirm_configuration();
        return Exit::saved;
    }
    s.existing_module_settings = py::dict(call("load_existing_module_settings"));
    const Exit exit = main_loop(s);
    // An interrupt that is still pending must cancel here, inside the region,
    // rather than surface later as a bare KeyboardInterrupt.
    take_pending_signals();
    return exit;
}

void set_zylation_targets(const py::object &model) {
    call("require_interactive_session");
    ConfiguratorState s;
    s.model = model;
    // Every setter of the configuration object would otherwise rewrite the
    // run's files while the user is still choosing.
    py::object pc_dict = pc().attr("__dict__");
    s.previous_auto_persist = pc_dict.attr("get")(kAutoPersist, true);
    pc_dict[kAutoPersist] = false;
    hold_the_terminal(s, pc_dict, [&] { protected_region(s); });
    if (s.quit_requested) {
        zyl::print("Configuration cancelled \u2014 training did not start.");
        zyl::print("Re-run to configure again, or set configuration_confirmed=True "
              "(GZL.pc.set_configuration_confirmed(True)) to skip this screen.");
        global("sys").attr("exit")(0);
    }
}

}  // namespace

void register_configurator(py::module_ &m) {
    m.def("set_zylation_targets", &set_zylation_targets, "model"_a,
          "Run the full-screen configurator of zylation targets and run settings on `model`.\n\n"
          "Returns None once the configuration is saved and confirmed; raises RuntimeError when "
          "it cannot run interactively; exits the process with status 0 when cancelled.");
}

}  // namespace zyl
