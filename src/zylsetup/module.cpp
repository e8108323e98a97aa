// zylora.zylsetup: the full-screen configurator of zylation targets.
#include "prelude.hpp"

#include "driver/driver.hpp"
#include "model/model.hpp"
#include "terminal/terminal.hpp"

ZYL_MODULE(zylsetup, m) {
    m.doc() = "Interactive configurator of zylation targets and run settings.";
    zyl::bind_module(m);

    zyl::register_module_body(m);

    zyl::register_module_entries(m);
    zyl::register_mode_resolution(m);
    zyl::register_mode_edits(m);
    zyl::register_summaries(m);
    zyl::register_setting_descriptions(m);
    zyl::register_setting_values(m);
    zyl::register_run_items(m);
    zyl::register_module_overrides(m);

    zyl::register_styled_text(m);
    zyl::register_wrapping(m);
    zyl::register_shown_text(m);
    zyl::register_key_input(m);
    zyl::register_row_widgets(m);
    zyl::register_targets_panel(m);
    zyl::register_scrolling(m);
    zyl::register_run_settings_panel(m);
    zyl::register_type_rules_overlay(m);
    zyl::register_overrides_overlay(m);
    zyl::register_save_overlay(m);
    zyl::register_static_overlays(m);

    zyl::register_session_gates(m);
    zyl::register_configurator(m);
    zyl::register_targets_keys(m);
    zyl::register_run_settings_keys(m);
    zyl::register_value_editors(m);
    zyl::register_cursor(m);
}
