import pytest

from conftest import OwnText, strip
from zylora import globals_zylora as GZL
from zylora import zylsetup


HR = "  " + "─" * 70
ACCENT, ZYLATE, TRACK, ATTENTION, LIGHT = "D9A441", "00A5A5", "8A95A0", "FD4D00", "E8EEEC"


def fg(hex_color, text):
    r, g, b = (int(hex_color[k:k + 2], 16) for k in (0, 2, 4))
    return f"\x1b[38;2;{r};{g};{b}m{text}\x1b[0m"


def grey(text):
    return f"\x1b[90m{text}\x1b[0m"


CURSOR = fg(LIGHT, "> ")


def entry(module_id, type_name="Linear", params=4, in_replaced=False, is_root=False):
    return {"id": module_id, "type_name": type_name, "direct_param_count": params,
            "in_replaced": in_replaced, "is_replaced_root": is_root}


# --- type rules box ------------------------------------------------------------------

def box_top(width):
    return "  " + grey("┌─ Type rules " + "─" * (width - 13) + "┐")


def box_bottom(width):
    return "  " + grey("└" + "─" * width + "┘")


CLOSE_HINT = "  " + fg(ACCENT, "y or Esc to close")


def test_type_rules_box_without_rules():
    lines = zylsetup.render_type_rules_overlay([entry(".a")])
    notice = "none yet — P / T on a row sets one"
    assert lines == [
        box_top(38),
        "  " + grey("│ ") + grey(notice) + "   " + grey("│"),
        box_bottom(38),
        CLOSE_HINT,
    ]
    assert [len(text) for text in strip(lines[:3])] == [42, 42, 42]


@pytest.mark.parametrize(
    "long_name, width",
    [("Conv", 38), ("C" * 36, 52)],  # "C"*36 makes a plain row of exactly 50 characters
    ids=["short-rules", "rule-row-of-50"],
)
def test_type_rules_box_rows_and_width(long_name, width):
    GZL.pc.set_module_names_to_zylate(["Linear", long_name])
    GZL.pc.set_module_names_to_track(["Dropout"])
    entries = [entry(".a"), entry(".b"), entry(".c", long_name), entry(".d", in_replaced=True),
               entry(".e", "Dropout", 0)]
    lines = zylsetup.render_type_rules_overlay(entries=entries)
    assert len(lines) == 3 + 3
    assert lines[0] == box_top(width) and lines[4] == box_bottom(width) and lines[5] == CLOSE_HINT
    rules = sorted([("Linear", 2), (long_name, 1)]) + [("Dropout", 1)]
    for line, (name, count) in zip(lines[1:4], rules):
        verb, colour = ("track", TRACK) if name == "Dropout" else ("zylate", ZYLATE)
        plain = f"{name} → {verb}  ({count})"
        assert line == ("  " + grey("│ ") + name + " " + fg(colour, "→ " + verb) + grey(f"  ({count})")
                        + " " * (width - len(plain) - 1) + grey("│"))
    # every border and row shares the right edge
    assert {len(text) for text in strip(lines[:5])} == {width + 4}
    if width == 52:
        assert strip(lines)[1] == "  │ " + "C" * 36 + " → zylate  (1) │"


@pytest.mark.parametrize(
    "lines, screen",
    [([], ""), (["a", "", "c"], "a\n\nc"), (("only",), "only"), (["\x1b[90mx\x1b[0m", "y"], "\x1b[90mx\x1b[0m\ny")],
    ids=["empty", "middle-empty", "tuple", "styled"],
)
def test_static_overlay_joins_lines(lines, screen):
    assert zylsetup.render_static_overlay(lines=lines) == screen


def test_static_overlay_needs_texts():
    with pytest.raises(TypeError):
        zylsetup.render_static_overlay(["a", 3])


# --- overrides overlay ------------------------------------------------------------------

OV_KEYS = "Enter edit · h describe · ↑↓/jk move · Esc / x close"


def ov_render(scope, index=0, pending=None, stored=None, describe_name=""):
    return zylsetup.render_overrides_overlay(scope, index, pending or {}, stored or {}, describe_name)


@pytest.mark.parametrize(
    "scope, title",
    [({"kind": "type", "scope_key": "Linear"}, "Overrides — every Linear"),
     ({"kind": "id", "scope_key": ".encoder.0.mlp.0"}, "Overrides — .encoder.0.mlp.0")],
    ids=["type-scope", "id-scope"],
)
def test_overrides_header_and_footer(scope, title):
    lines = ov_render(scope)
    assert lines[:5] == [zylsetup.render_tab_bar("targets"), "", "  " + fg(ACCENT, title), HR, ""]
    assert lines[-2:] == ["", grey(OV_KEYS)]
    assert len(lines) == 5 + len(zylsetup.CUSTOMIZABLE_SETTING_NAMES) + 2


def test_overrides_rows_show_scoped_or_run_wide_values():
    pending = {"Linear": {"dendrite_count": 8, "learn_dendrites_live": True}, "Other": {"switch_mode": 0}}
    stored = {"Linear": {"dendrite_count": 4, "switch_mode": GZL.DOING_FIXED_SWITCH,
                         "improvement_threshold": GZL.pc.get_improvement_threshold()}}
    lines = zylsetup.render_overrides_overlay(
        scope={"kind": "type", "scope_key": "Linear"}, ov_selected_index=1,
        module_settings_overrides=pending, existing_module_settings=stored, describe_name="")
    assert strip(lines[5:-2]) == [
        "  dendrite_count = 8  (overridden here)",              # pending wins over stored
        "> candidate_weight_init_scale = 0.01  (from run settings)",
        "  improvement_threshold = 0.0001  (overridden here)",  # equal to run-wide, still overridden
        "  switch_mode = DOING_FIXED_SWITCH  (overridden here)",  # stored only
        "  zyl_forward_function = sigmoid  (from run settings)",
        "  learn_dendrites_live = True  (overridden here)",     # pending only
    ]
    assert lines[6] == CURSOR + "candidate_weight_init_scale = 0.01  " + grey("(from run settings)")
    assert lines[5] == "  dendrite_count = 8  " + grey("(overridden here)")


def test_overrides_unreadable_run_wide_value(monkeypatch):
    monkeypatch.setattr(zylsetup, "CUSTOMIZABLE_SETTING_NAMES", ["no_such_setting"])
    lines = ov_render({"kind": "id", "scope_key": ".x"}, 0)
    assert strip(lines[5:6]) == ["> no_such_setting = <unavailable>  (from run settings)"]


@pytest.mark.parametrize("index", [-1, 6, 99], ids=["negative", "one-past", "far"])
def test_overrides_index_outside_rows_marks_nothing(index):
    lines = ov_render({"kind": "type", "scope_key": "Linear"}, index)
    assert not any(CURSOR in line for line in lines)
    assert all(text.startswith("  ") for text in strip(lines[5:-2]))


def test_overrides_without_customizable_settings(monkeypatch):
    monkeypatch.setattr(zylsetup, "CUSTOMIZABLE_SETTING_NAMES", [])
    lines = ov_render({"kind": "type", "scope_key": "Linear"}, 0)
    assert lines[5:] == ["  " + grey("No per-target settings are customizable in this build."), "",
                         grey(OV_KEYS)]


@pytest.mark.parametrize(
    "describe_name, description",
    [("dendrite_count", "Dendrites per module."),
     ("switch_mode", "No description available for switch_mode.")],
    ids=["described", "described-without-description"],
)
def test_overrides_description_replaces_key_hints(describe_name, description):
    zylsetup.DESCRIPTION_CACHE = {
        "buckets": {}, "bucket_order": [], "settings": {"dendrite_count": "Dendrites per module."},
        "setting_labels": {}, "setting_to_bucket": {}, "settings_by_bucket": {},
    }
    lines = ov_render({"kind": "type", "scope_key": "Linear"}, 0, describe_name=describe_name)
    assert lines[-2:] == ["", grey(describe_name + " — " + description)]


def test_overrides_scope_without_kind_propagates():
    with pytest.raises(KeyError):
        ov_render({"scope_key": "Linear"})


# --- save overlay -----------------------------------------------------------------------

SAVE_HEAD = ["", "  " + fg(LIGHT, "Save configuration"), ""]
SAVE_TAIL = ["", "", grey("  ↑↓/jk move · Enter choose · Esc / x back to editing")]


def unset_case(n):
    entries = [entry(f".layer{k}", "Linear" if k % 2 else "Conv1d") for k in range(n)]
    entries += [entry(".named", params=3), entry(".empty", params=0),
                entry(".root", is_root=True), entry(".root.inner", in_replaced=True)]
    resolved = {e["id"]: {"eff": None} for e in entries}
    resolved[".named"] = {"eff": "tracked"}
    return entries, resolved


@pytest.mark.parametrize("n", [1, 5, 6, 7], ids=["one", "five", "six", "seven"])
def test_save_warning_lists_up_to_five_modules(n):
    entries, resolved = unset_case(n)
    lines = zylsetup.render_save_overlay(entries, resolved, 0, "ZYL/ZYL_config.json")
    noun = "module has" if n == 1 else "modules have"
    listed = ["      " + grey(f".layer{k}   [{'Linear' if k % 2 else 'Conv1d'}]") for k in range(min(n, 5))]
    more = ["      " + grey(f"(+{n - 5} more)")] if n > 5 else []
    assert lines == SAVE_HEAD + [
        fg(ATTENTION, f"  ⚠  {n} {noun} parameters but no mode"), "",
        *listed, *more, "",
        grey("  These parameters get no dendrites and are not tracked. Usually a mistake."), "",
        fg(LIGHT, "  ▸ ") + fg(LIGHT, "Keep editing"),
        "    " + grey(f"Start anyway — I know these {n} have no mode"),
    ] + SAVE_TAIL
    assert len(lines) == 13 + min(n, 5) + (n > 5)


@pytest.mark.parametrize("index", [1, 2, -1], ids=["start-anyway", "outside", "negative"])
def test_save_warning_marks_the_chosen_option(index):
    entries, resolved = unset_case(1)
    options = zylsetup.render_save_overlay(entries, resolved, index, "")[-5:-3]
    keep = grey("Keep editing")
    start = "Start anyway — I know these 1 have no mode"
    if index == 1:
        assert options == ["    " + keep, fg(LIGHT, "  ▸ ") + fg(LIGHT, start)]
    else:
        assert options == ["    " + keep, "    " + grey(start)]


def save_normal_options(index, path):
    labels = [("just this run", "don't touch my saved config"),
              ("and save it as default", f"write it to {path}, skip this screen next time"),
              ("Keep editing", "")]
    lines = []
    for k, (label, detail) in enumerate(labels):
        marked = k == index
        text = (fg(LIGHT, "  ▸ ") + fg(LIGHT, label)) if marked else "    " + label
        lines.append(text + (grey("  — " + detail) if detail else ""))
    return lines


@pytest.mark.parametrize("index", [0, 1, 2, 3], ids=["this-run", "as-default", "keep", "outside"])
@pytest.mark.parametrize("path", ["ZYL/ZYL_config.json", ""], ids=["path", "empty-path"])
def test_save_normal_case(index, path):
    entries, resolved = unset_case(2)
    for e in entries:
        resolved[e["id"]] = {"eff": "zylated"}
    lines = zylsetup.render_save_overlay(entries=entries, resolved=resolved,
                                         save_selected_index=index, config_target_path=path)
    assert lines == SAVE_HEAD + [grey("  Start training with this configuration:"), ""] + \
        save_normal_options(index, path) + SAVE_TAIL
    assert len(lines) == 11
    assert " — " not in strip(lines)[7]


def test_save_case_follows_the_modes_at_each_call():
    entries, resolved = unset_case(3)
    assert len(zylsetup.render_save_overlay(entries, resolved, 0, "p")) == 16
    for k in range(3):
        resolved[f".layer{k}"] = {"eff": "zylated", "source": "inherited"}
    assert strip(zylsetup.render_save_overlay(entries, resolved, 0, "p"))[3] == \
        "  Start training with this configuration:"


# --- help, legend and quit overlays --------------------------------------------------------

HELP = [
    "",
    "  Keys",
    "",
    "  Targets screen",
    "   p / t     zylate / track this module",
    "   P / T     zylate / track every module of this type",
    "   x         clear this module (falls back to its type rule)",
    "   → / ←     expand / collapse a module that will be restructured (↯)",
    "   y         show / hide the type-rules list",
    "   h         show the marker & colour legend",
    "   Enter     open Overrides for a zylated module",
    "",
    "  Run settings screen",
    "   → / ←     expand / collapse a bucket",
    "   Enter     edit the highlighted setting",
    "   h         describe the highlighted setting",
    "",
    "  Everywhere",
    "   ↑↓ / jk   move        Tab  switch panel",
    "   s         save & start training",
    "   q         quit without configuring",
    "",
    "  Modes",
    "   zylate = dendrites are added here during training",
    "   track     = no dendrites, the parameters are just counted",
    "   ↳ inherited = a mode set on an ancestor applies to the whole subtree",
    "   (see the h legend on the Targets panel for how modes resolve)",
    "",
    "  ? or Esc to close",
]

LEGEND = [
    "",
    "  Targets legend",
    "",
    "  Mode blocks",
    "   ██        zylate — dendrites are added here during training",
    "   ██        track — no dendrites, the parameters are just counted",
    "",
    "  Marker prefixes",
    "   * ██     mode set directly on this module (by id)",
    "     ██     set by type name — every module of this class",
    "   ↳ ██     inherited from an ancestor; applies to the whole subtree",
    "   ! ██     has parameters but no mode — needs attention",
    "   ↯         will be restructured for ZYL before training;",
    "             target the modules inside it by type (P/T), not by id",
    "   (none)    structural container with no parameters of its own",
    "",
    "  Which mode wins  (highest priority first)",
    "   1. inherited — a mode on an ancestor applies to its whole",
    "      subtree; a mode set directly on a descendant is ignored",
    "      while the ancestor's mode is in effect",
    "   2. by id — a mode set on this exact module",
    "   3. by type — a mode set on the module's class name",
    "   So: inherited  >  by id  >  by type.",
    "",
    "  h or Esc to close",
]

QUIT = [
    "", "", "",
    "  Quit without configuring?",
    "",
    "  Training will not start. Re-run to configure again, or set",
    "  configuration_confirmed=True to skip this screen.",
    "",
    "  [y] quit     [n] keep configuring",
]


@pytest.mark.parametrize(
    "render, visible",
    [(zylsetup.render_help_overlay, HELP), (zylsetup.render_legend_overlay, LEGEND),
     (zylsetup.render_quit_overlay, QUIT)],
    ids=["help", "legend", "quit"],
)
def test_fixed_overlays_text_and_fresh_lists(render, visible):
    first = render()
    assert strip(first) == visible
    assert len(first) == {id(HELP): 29, id(LEGEND): 25, id(QUIT): 9}[id(visible)]
    first.append("changed")
    first[0] = "changed"
    second = render()
    assert second is not first and strip(second) == visible


BLOCK = "██"


@pytest.mark.parametrize(
    "render, index, styled",
    [
        (zylsetup.render_help_overlay, 1, "  " + fg(LIGHT, "Keys")),
        (zylsetup.render_help_overlay, 3, grey("  Targets screen")),
        (zylsetup.render_help_overlay, 4, "   p / t     zylate / track this module"),
        (zylsetup.render_help_overlay, 12, grey("  Run settings screen")),
        (zylsetup.render_help_overlay, 17, grey("  Everywhere")),
        (zylsetup.render_help_overlay, 22, grey("  Modes")),
        (zylsetup.render_help_overlay, 23,
         "   " + fg(ZYLATE, "zylate") + " = dendrites are added here during training"),
        (zylsetup.render_help_overlay, 24,
         "   " + fg(TRACK, "track") + "     = no dendrites, the parameters are just counted"),
        (zylsetup.render_help_overlay, 25,
         "   " + grey("↳ inherited") + " = a mode set on an ancestor applies to the whole subtree"),
        (zylsetup.render_help_overlay, 26,
         "   " + grey("(see the h legend on the Targets panel for how modes resolve)")),
        (zylsetup.render_help_overlay, 28, fg(ACCENT, "  ? or Esc to close")),
        (zylsetup.render_legend_overlay, 1, "  " + fg(LIGHT, "Targets legend")),
        (zylsetup.render_legend_overlay, 3, grey("  Mode blocks")),
        (zylsetup.render_legend_overlay, 4, "   " + fg(ZYLATE, BLOCK) + "        " + fg(ZYLATE, "zylate")
         + " — dendrites are added here during training"),
        (zylsetup.render_legend_overlay, 5, "   " + fg(TRACK, BLOCK) + "        " + fg(TRACK, "track")
         + " — no dendrites, the parameters are just counted"),
        (zylsetup.render_legend_overlay, 7, grey("  Marker prefixes")),
        (zylsetup.render_legend_overlay, 8,
         "   * " + fg(ZYLATE, BLOCK) + "     mode set directly on this module (by id)"),
        (zylsetup.render_legend_overlay, 9,
         "     " + fg(ZYLATE, BLOCK) + "     set by type name — every module of this class"),
        (zylsetup.render_legend_overlay, 10,
         "   ↳ " + fg(ZYLATE, BLOCK) + "     inherited from an ancestor; applies to the whole subtree"),
        (zylsetup.render_legend_overlay, 11,
         "   ! " + fg(ATTENTION, BLOCK) + "     has parameters but no mode — needs attention"),
        (zylsetup.render_legend_overlay, 16, grey("  Which mode wins  (highest priority first)")),
        (zylsetup.render_legend_overlay, 22, "   So: inherited  >  by id  >  by type."),
        (zylsetup.render_legend_overlay, 24, fg(ACCENT, "  h or Esc to close")),
        (zylsetup.render_quit_overlay, 3, "  " + fg(LIGHT, "Quit without configuring?")),
        (zylsetup.render_quit_overlay, 5,
         grey("  Training will not start. Re-run to configure again, or set")),
        (zylsetup.render_quit_overlay, 6, grey("  configuration_confirmed=True to skip this screen.")),
        (zylsetup.render_quit_overlay, 8,
         "  " + fg(ATTENTION, "[y] quit") + "     " + grey("[n] keep configuring")),
    ],
    ids=lambda v: v.__name__.replace("render_", "") if callable(v) else None,
)
def test_fixed_overlays_styling(render, index, styled):
    assert render()[index] == styled


def test_plain_lines_carry_no_styling():
    help_lines, legend_lines = zylsetup.render_help_overlay(), zylsetup.render_legend_overlay()
    plain_help = [4, 5, 6, 7, 8, 9, 10, 13, 14, 15, 18, 19, 20]
    plain_legend = [12, 13, 14, 17, 18, 19, 20, 21, 22]
    assert all(help_lines[k] == HELP[k] for k in plain_help)
    assert all(legend_lines[k] == LEGEND[k] for k in plain_legend)


# --- Outside values enter every overlay in their ordinary text form -----------

def test_outside_values_show_their_ordinary_text_form(monkeypatch):
    def shown(lines):
        return "\n".join(strip(lines))

    GZL.pc.set_module_names_to_zylate([OwnText("Conv")])
    assert "  \u2502 <Conv> \u2192 zylate  (1)" in shown(zylsetup.render_type_rules_overlay([entry(".a", "Conv")]))
    unset = [entry(OwnText(".a"), OwnText("Linear"))]
    assert "\n      <.a>   [<Linear>]\n" in shown(zylsetup.render_save_overlay(unset, {".a": {"eff": None}}, 0, ""))
    assert "write it to <c.json>, skip" in shown(zylsetup.render_save_overlay([], {}, 1, OwnText("c.json")))
    name = OwnText("dendrite_count")
    monkeypatch.setattr(zylsetup, "CUSTOMIZABLE_SETTING_NAMES", [name])
    lines = strip(zylsetup.render_overrides_overlay({"kind": "id", "scope_key": OwnText(".a")}, 0, {}, {}, name))
    assert lines[2] == "  Overrides \u2014 <.a>"
    assert lines[5].startswith("> <dendrite_count> = ") and lines[-1].startswith("<dendrite_count> \u2014 ")
