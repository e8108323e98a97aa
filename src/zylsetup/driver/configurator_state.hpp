// The state of one configurator run, shared by the main loop and the panel
// key handlers.  It lives on the stack of set_zylation_targets; nothing of it
// outlives the call except what was written to GZL.pc and to files.
#pragma once

#include "prelude.hpp"

#include <string>

namespace zyl {

struct ConfiguratorState {
    py::object model;
    py::object previous_auto_persist = py::bool_(true);
    bool entered_alt_screen = false;
    bool quit_requested = false;
    py::list entries;
    std::string active_screen = "targets";   // "targets" or "run"
    py::object overlay = py::none();          // None, "help", "legend", "quit", "typerules", "save", "overrides"
    std::string status_message;
    py::ssize_t target_selected_index = 0;
    py::ssize_t target_window_start = 0;
    py::dict expanded_replaced;               // module id -> bool
    py::ssize_t run_selected_index = 0;
    py::ssize_t run_window_start = 0;
    py::dict expanded_buckets;                // bucket name -> bool
    std::string describe_name;
    py::object ov_scope = py::none();         // override scope dict, or None
    py::ssize_t ov_selected_index = 0;
    py::dict module_settings_overrides;       // scope key -> {setting: value}, pending
    py::dict existing_module_settings;        // scope key -> {setting: value}, stored
    py::ssize_t save_selected_index = 0;
    py::object scalar_editor_state = py::none();
    py::object list_editor_state = py::none();
};

// The entries the Targets panel lists: everything but the modules inside a
// collapsed restructured root.
py::list visible_targets(const ConfiguratorState &state);

// One key for the active panel, after overlays and global keys had their turn.
// `key` is the key text; `resolved` the mode records of this pass.
void handle_targets_key(ConfiguratorState &state, const py::object &key, const py::dict &resolved);
void handle_run_settings_key(ConfiguratorState &state, const py::object &key);

}  // namespace zyl
