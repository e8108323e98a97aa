"""Drives set_zylation_targets in-process through the module namespace.

The configurator looks every function up by name at each call, so a test
rebinds the key reader to a scripted list of keys, the screen functions to
recorders, and (unless it asks for the real ones) the renderers to small
fakes whose frames say plainly what is on screen.
"""

import re

from zylora import zylsetup

_SGR = re.compile(r"\x1b\[[0-9;]*m")


class OutOfKeys(Exception):
    """The configurator asked for a key after the script ended."""


def plain(text):
    return _SGR.sub("", text)


class Harness:
    def __init__(self, monkeypatch, keys=(), fake_frames=True, fake_model=True):
        self.mp = monkeypatch
        self.keys = list(keys)
        self.log = []  # ordered events: "enter", "exit", ("key", k), "confirm", ...
        self.frames = []  # the screen text of every drawn frame, unstyled
        self.targets_calls = []  # (visible ids, selected index, window start) per Targets frame
        self.run_calls = []  # (selected index, describe_name, window start) per Run frame
        self.auto_persist_seen = []  # "_auto_persist_config" at each key read
        self.unset = []  # what unset_module_entries returns
        self.run_items = ["item0", "item1", "item2"]
        self.scoped = {}  # get_scope_values result
        self.global_values = {}
        self.enum_options = {}
        self.editor_script = []  # results of the editor key handlers, in order
        self.next_window_start = {}  # panel header tag -> window start compose returns

        self.set("require_interactive_session", lambda: self.log.append("gate"))
        self.set("enter_alternate_screen", self._enter)
        self.set("exit_alternate_screen", self._exit)
        self.set("read_single_key", self._key)
        self.set("wrap_screen_text_for_terminal", self._wrap)
        if fake_frames:
            self._fake_frames()
        if fake_model:
            self._fake_model()
        from zylora import globals_zylora as GZL

        pc = GZL.pc
        real_confirm = pc.set_configuration_confirmed
        real_persist = pc.persist_config_outputs

        def confirm(value):
            self.log.append(("confirm", value))
            return real_confirm(value)

        def persist(overwrite_config_file=False):
            self.log.append(("persist_config_outputs", overwrite_config_file))
            return real_persist(overwrite_config_file=overwrite_config_file)

        monkeypatch.setattr(pc, "set_configuration_confirmed", confirm)
        monkeypatch.setattr(pc, "persist_config_outputs", persist)

    def set(self, name, fn):
        self.mp.setattr(zylsetup, name, fn)

    # --- terminal -------------------------------------------------------
    def _enter(self):
        self.log.append("enter")
        print("<ENTER>", end="")

    def _exit(self):
        self.log.append("exit")
        print("<EXIT>", end="")

    def _key(self):
        from zylora import globals_zylora as GZL

        self.auto_persist_seen.append(GZL.pc.__dict__.get("_auto_persist_config", "absent"))
        if not self.keys:
            raise OutOfKeys()
        key = self.keys.pop(0)
        if callable(key) and not isinstance(key, type):
            key = key(self)  # a step of the script that acts, then gives its key
        is_error_class = isinstance(key, type) and issubclass(key, BaseException)
        if isinstance(key, BaseException) or is_error_class:
            raise key
        self.log.append(("key", key))
        return key

    def _wrap(self, screen_text):
        self.frames.append(plain(screen_text))
        return screen_text

    # --- renderers --------------------------------------------------------
    def _fake_frames(self):
        def targets(entries, vis, selected, resolved, expanded):
            self.expanded_replaced = expanded
            self.targets_calls.append([[e["id"] for e in vis], selected])
            return (["TARGETS"], [e["id"] for e in vis], ["FOOTER"], (selected, selected + 1))

        def run_lines(items, selected, describe_name):
            self.run_calls.append([selected, describe_name])
            return (["RUN"], [str(i) for i in items], ["FOOTER"], (selected, selected + 1))

        def compose(header, body, footer, window_start, focus=None):
            tag = header[0]
            calls = self.targets_calls if tag == "TARGETS" else self.run_calls
            if calls:
                calls[-1].append(window_start)
            text = "\n".join(list(header) + list(body) + list(footer))
            return text, self.next_window_start.get(tag, window_start)

        self.set("render_targets_lines", targets)
        self.set("render_run_settings_lines", run_lines)
        self.set("compose_scrolling_screen", compose)
        self.set("render_static_overlay", lambda lines: "\n".join(lines))
        self.set("render_help_overlay", lambda: ["HELP"])
        self.set("render_legend_overlay", lambda: ["LEGEND"])
        self.set("render_quit_overlay", lambda: ["QUIT"])
        self.set("render_type_rules_overlay", lambda entries: ["RULES"])
        self.set(
            "render_save_overlay",
            lambda entries, resolved, index, path: [f"SAVE {index} {path}"],
        )
        self.set(
            "render_overrides_overlay",
            lambda scope, index, pending, existing, describe: [
                f"OVERRIDES {scope['scope_key']} {index} {describe!r} {pending!r}"
            ],
        )
        self.set("color_text", lambda text, color: f"<{color}>{text}")
        self.set("_render_editor_frame", lambda state: self.frames.append(f"EDITOR {state!r}"))

        def editor_key(state, key, pending):
            return self.editor_script.pop(0)

        self.set("_handle_scalar_editor", editor_key)
        self.set("_handle_list_editor", editor_key)
        def editor(kind):
            return lambda name, value, scope_key: (kind, name, value, scope_key)

        self.set("_new_scalar_editor", editor("scalar"))
        self.set("_new_list_editor", editor("list"))

    def _fake_model(self):
        self.set("normalize_selection_conflicts", lambda: None)
        self.set("resolve_entry_modes", lambda entries: {e["id"]: {"eff": None} for e in entries})
        self.set("unset_module_entries", lambda entries, resolved: list(self.unset))
        self.set("build_run_items", lambda expanded: list(self.run_items))
        self.set("load_existing_module_settings", lambda: {})
        self.set(
            "get_scope_values",
            lambda key, pending, existing: {**self.scoped, **pending.get(key, {})},
        )
        self.set("get_global_setting_value", lambda name: self.global_values.get(name))
        self.set("get_enum_options", lambda name: self.enum_options.get(name))

        def persist_overrides(pending, overwrite_config_file=False):
            event = ("persist_module_settings_updates", dict(pending), overwrite_config_file)
            self.log.append(event)

        self.set("persist_module_settings_updates", persist_overrides)

    # --- reading the record -------------------------------------------------
    def tags(self):
        """First line of every frame: which panel, overlay or editor was drawn."""
        return [frame.split("\n", 1)[0] for frame in self.frames]

    def run(self, model):
        return zylsetup.set_zylation_targets(model)
