"""Outside text never drives the terminal.

Module ids and class names come from the user's network, setting names and
values from configuration files, messages from exceptions of user code.  Each
character in them that repr would escape (controls, bidi overrides, zero-width
and format characters, separators) must reach the screen as repr writes it,
never as the character itself; ordinary text is drawn as it always was (the
renderer tests of every area hold that).
"""

import re

import pytest
from torch import nn

from conftest import strip
from keys import DOWN, TAB
from loop_harness import Harness, OutOfKeys
from zylora import zylsetup

# (character, how it is shown): C0 controls, DEL, a C1 control, and
# characters that would reorder or hide what a row shows.  NUL is left out:
# class names and file names cannot hold it.
CONTROLS = {
    "esc": ("\x1b", r"\x1b"),
    "bel": ("\x07", r"\x07"),
    "newline": ("\n", r"\n"),
    "carriage-return": ("\r", r"\r"),
    "tab": ("\t", r"\t"),
    "del": ("\x7f", r"\x7f"),
    "c1-csi": ("\x9b", r"\x9b"),
    "right-to-left-override": ("\u202e", r"\u202e"),
    "zero-width-space": ("\u200b", r"\u200b"),
    "soft-hyphen": ("\xad", r"\xad"),
    "line-separator": ("\u2028", r"\u2028"),
}

# The configurator's own sequences: SGR spans and the clearing of a frame.
OWN_SEQUENCES = re.compile(r"\x1b\[[0-9;]*m|\x1b\[2J\x1b\[H")


def is_control(ch):
    return not ch.isprintable()


def foreign_controls(text):
    """Control characters left once our own sequences and line ends are gone."""
    return [ch for ch in OWN_SEQUENCES.sub("", text) if is_control(ch) and ch != "\n"]


def outside(ch, stem):
    """An outside text holding `ch`, placed so that an ESC would recolour."""
    return f"{stem}{ch}[31m{stem}"


def visible_form(shown, stem):
    """What the rows show for `outside(ch, stem)`."""
    return f"{stem}{shown}[31m{stem}"


@pytest.fixture(params=CONTROLS.values(), ids=CONTROLS.keys())
def control(request):
    return request.param


def assert_drawn_visibly(lines, *texts):
    """No control character in any line but ours, and every text in its shown
    form on some line."""
    for line in lines:
        assert foreign_controls(line) == [], repr(line)
        assert "\n" not in line
    visible = "\n".join(strip(lines))
    for text in texts:
        assert text in visible


# --- Targets panel -------------------------------------------------------------------


def odd_class(ch):
    def __init__(self):
        nn.Module.__init__(self)
        self.fc = nn.Linear(2, 2)

    return type(outside(ch, "Odd"), (nn.Module,), {"__init__": __init__})


@pytest.fixture
def odd_network(control, fresh_pc):
    """A ModuleDict keyed by an outside name, a class with an outside name
    (also restructured), and an inherited mode whose origin is the odd id."""
    ch, _ = control
    odd, root = odd_class(ch), odd_class(ch + ch)
    net = nn.Module()
    net.d = nn.ModuleDict({outside(ch, "key"): odd(), outside(ch, "r"): root()})
    fresh_pc.set_modules_to_replace([root])
    fresh_pc.set_module_ids_to_zylate([".d." + outside(ch, "key")])
    entries = zylsetup.get_module_entries(net)
    return entries, zylsetup.resolve_entry_modes(entries)


def rebind_a_row_piece(monkeypatch):
    """Rows are then made of the module-level pieces called by name."""
    verb = zylsetup.mode_verb
    monkeypatch.setattr(zylsetup, "mode_verb", lambda mode: verb(mode))


@pytest.mark.parametrize("builder", ["native", "by-name"])
def test_targets_rows_show_ids_and_class_names_visibly(odd_network, control, builder, monkeypatch):
    ch, shown = control
    entries, resolved = odd_network
    expanded = {".d." + outside(ch, "r"): True}
    native = zylsetup.render_targets_lines(entries, entries, 0, resolved, expanded)[1]
    if builder == "by-name":
        rebind_a_row_piece(monkeypatch)
    body = zylsetup.render_targets_lines(entries, entries, 0, resolved, expanded)[1]
    odd_id = ".d." + visible_form(shown, "key")
    assert_drawn_visibly(
        body,
        odd_id + "  [" + visible_form(shown, "Odd") + "]",  # an ordinary row
        "(via " + odd_id + ")",  # an inherited mode names its origin
        ".d." + visible_form(shown, "r") + "  [" + visible_form(shown + shown, "Odd")
        + "]   will be restructured",
        ".d." + visible_form(shown, "r") + ".fc  [Linear] (id stale)",
    )
    assert body == native


@pytest.mark.parametrize("builder", ["native", "by-name"])
def test_targets_gap_is_measured_on_the_shown_form(control, builder, monkeypatch):
    ch, shown = control
    if builder == "by-name":
        rebind_a_row_piece(monkeypatch)
    module_id = "." + ch * 3
    entry = {"id": module_id, "name": module_id[1:], "type_name": "T" + ch, "module": nn.Identity(),
             "depth": 0, "direct_param_count": 0, "tree_param_count": 0,
             "is_replaced_root": False, "in_replaced": False, "replaced_root": None}
    resolved = {module_id: {"eff": "zylated", "source": "id", "origin_id": module_id, "overridden": None}}
    body = zylsetup.render_targets_lines([entry], [entry], 0, resolved, {})[1]
    row = strip(body)[0]
    assert row.index("mode=zylate") == 46
    assert row.startswith("> * ██  ." + shown * 3 + "  [T" + shown + "]  ")


# --- overlays and the Run settings panel ----------------------------------------------


def test_type_rules_box_is_measured_on_the_shown_form(control, fresh_pc):
    ch, shown = control
    long_name = outside(ch, "C" * 20)
    fresh_pc.set_module_names_to_zylate([outside(ch, "Odd")])
    fresh_pc.set_module_names_to_track([long_name])
    lines = zylsetup.render_type_rules_overlay([])
    assert_drawn_visibly(lines, visible_form(shown, "Odd") + " → zylate",
                         visible_form(shown, "C" * 20) + " → track")
    widths = {len(line) for line in strip(lines[:-1])}
    assert widths == {len(visible_form(shown, "C" * 20)) + len(" → track  (0)") + 6}


@pytest.mark.parametrize("kind", ["id", "type"])
def test_overrides_overlay_shows_scope_values_and_description_visibly(control, kind):
    ch, shown = control
    scope_key = outside(ch, ".key")
    first, second = zylsetup.CUSTOMIZABLE_SETTING_NAMES[:2]
    pending = {scope_key: {first: outside(ch, "pending")}}
    stored = {scope_key: {second: [outside(ch, "stored")]}}
    lines = zylsetup.render_overrides_overlay(
        {"kind": kind, "scope_key": scope_key}, 0, pending, stored, outside(ch, "name"))
    assert_drawn_visibly(
        lines,
        "Overrides — " + ("" if kind == "id" else "every ") + visible_form(shown, ".key"),
        first + " = " + visible_form(shown, "pending") + "  (overridden here)",
        visible_form(shown, "stored"),
        visible_form(shown, "name") + " — No description available for " + visible_form(shown, "name"),
    )


def test_run_settings_panel_shows_names_values_and_buckets_visibly(control):
    ch, shown = control
    items = [
        {"type": "bucket", "bucket": outside(ch, "bucket"), "is_expanded": True, "count": 2},
        {"type": "setting", "bucket": "b", "name": outside(ch, "name"), "value": outside(ch, "value")},
        {"type": "setting", "bucket": "b", "name": "flag", "value": [outside(ch, "entry")]},
    ]
    header, body, footer, _ = zylsetup.render_run_settings_lines(items, 1, outside(ch, "name"))
    assert_drawn_visibly(
        header + body + footer,
        "▾ " + visible_form(shown, "bucket") + " (2)",
        visible_form(shown, "name") + " = " + visible_form(shown, "value"),
        visible_form(shown, "entry"),
        visible_form(shown, "name") + " — No description available",
    )


def test_save_overlay_shows_unset_modules_and_the_path_visibly(control):
    ch, shown = control
    entry = {"id": outside(ch, ".id"), "type_name": outside(ch, "Type"), "direct_param_count": 4,
             "in_replaced": False, "is_replaced_root": False}
    warning = zylsetup.render_save_overlay([entry], {entry["id"]: {"eff": None}}, 0, "unused")
    assert_drawn_visibly(warning, visible_form(shown, ".id") + "   [" + visible_form(shown, "Type") + "]")
    normal = zylsetup.render_save_overlay([], {}, 1, outside(ch, "dir/cfg"))
    assert_drawn_visibly(normal, "write it to " + visible_form(shown, "dir/cfg") + ", skip")


# --- editor frames ---------------------------------------------------------------------


@pytest.fixture
def wide_terminal(monkeypatch):
    monkeypatch.setenv("COLUMNS", "200")
    monkeypatch.setenv("LINES", "40")


def test_cursor_cell_on_a_control_shows_it_inverted(control):
    ch, shown = control
    assert zylsetup.render_text_with_cursor("a" + ch + "b", 1) == "a\x1b[7m" + shown + "\x1b[0mb"
    assert zylsetup.render_text_with_cursor(ch + "b", 2) == shown + "b\x1b[7m \x1b[0m"
    # Around a control, every other code point is kept: wide, astral.
    wide = "\u00e9" + ch + "\u00e9\\\U0001f600"
    assert zylsetup.render_text_with_cursor(wide, 5) == "\u00e9" + shown + "\u00e9\\\U0001f600\x1b[7m \x1b[0m"


def test_scalar_editor_frame_shows_name_and_buffer_visibly(control, capsys, wide_terminal):
    ch, shown = control
    state = zylsetup._new_scalar_editor(outside(ch, "name"), outside(ch, "12"), scope_key=None)
    zylsetup._render_editor_frame(state)
    lines = capsys.readouterr().out.split("\n")
    assert_drawn_visibly(lines, "Edit " + visible_form(shown, "name"),
                         "  " + visible_form(shown, "12") + " ")


def test_list_editor_frame_shows_values_typing_and_errors_visibly(control, capsys, wide_terminal):
    ch, shown = control
    state = zylsetup._new_list_editor(outside(ch, "name"), [outside(ch, "kept"), 3], scope_key=None)
    state["entry_error"] = "Invalid list entry: " + outside(ch, "why")
    state.update(typing_active=True, edit_index=1, input_buffer=outside(ch, "typed"), cursor_index=0)
    zylsetup._render_editor_frame(state)
    lines = capsys.readouterr().out.split("\n")
    assert_drawn_visibly(
        lines,
        "Edit " + visible_form(shown, "name"),
        visible_form(shown, "kept") + " | " + visible_form(shown, "typed") + " | Add new entry",
        "Invalid list entry: " + visible_form(shown, "why"),
    )


# --- the configurator loop: status line and the file-name prompt ---------------------


@pytest.fixture
def drive(monkeypatch, tmp_path, example_net):
    monkeypatch.chdir(tmp_path)

    def run(keys, run_items=None, editor_script=()):
        h = Harness(monkeypatch, keys)
        if run_items is not None:
            h.run_items = run_items
        h.editor_script = list(editor_script)
        with pytest.raises(OutOfKeys):
            h.run(example_net)
        return h

    return run


def status_lines(out):
    return [frame.rsplit("\n", 2)[-2] for frame in out.split("\x1b[2J\x1b[H")[1:]]


def test_status_line_shows_a_setting_name_visibly(drive, control, capsys):
    ch, shown = control
    setting = {"type": "setting", "bucket": "b", "name": outside(ch, "dev"), "value": "cpu"}
    drive([TAB, "\r", "z"], run_items=[setting])
    out = capsys.readouterr().out
    assert foreign_controls(out) == []
    expected = "<D9A441>  " + visible_form(shown, "dev") + " cannot be edited from this screen."
    assert status_lines(out)[2] == expected


def test_status_line_shows_an_exception_text_visibly(drive, control, capsys):
    ch, shown = control
    setting = {"type": "setting", "bucket": "b", "name": "dendrite_count", "value": 3}
    message = "Invalid value for dendrite_count: " + outside(ch, "exc")
    drive([TAB, "\r", "9", "z"], run_items=[setting], editor_script=[(True, message)])
    out = capsys.readouterr().out
    assert foreign_controls(out) == []
    assert "<D9A441>  Invalid value for dendrite_count: " + visible_form(shown, "exc") in out


def test_status_line_shows_a_restructured_id_visibly(control, capsys, monkeypatch, tmp_path, fresh_pc):
    ch, shown = control
    root = odd_class(ch)
    net = nn.Module()
    net.d = nn.ModuleDict({outside(ch, "key"): root()})
    fresh_pc.set_modules_to_replace([root])
    monkeypatch.chdir(tmp_path)
    h = Harness(monkeypatch, [DOWN, "p", "z"], fake_frames=False, fake_model=False)
    with pytest.raises(OutOfKeys):
        h.run(net)
    out = capsys.readouterr().out
    assert foreign_controls(out) == []
    status = zylsetup.color_text("  .d." + visible_form(shown, "key") + " is inside a module", "D9A441")
    assert status[:-len("\x1b[0m")] in out


def test_file_name_prompt_shows_the_save_name_visibly(control, capsys, monkeypatch, tmp_path, fresh_pc):
    ch, shown = control
    monkeypatch.chdir(tmp_path)
    fresh_pc.set_save_name(outside(ch, "run"))
    monkeypatch.setattr("builtins.input", lambda prompt="": "cfg.json")
    h = Harness(monkeypatch, ["s", DOWN, "\r"], fake_frames=False, fake_model=False)
    # What is printed is the point, not the files.
    monkeypatch.setattr(fresh_pc, "persist_config_outputs", lambda overwrite_config_file=False: [])
    assert h.run(nn.Sequential(nn.ReLU())) is None
    out = capsys.readouterr().out
    assert foreign_controls(out) == []
    name = visible_form(shown, "run")
    assert f"You currently have save_name='{name}'. Choose '{name}/{name}_config.json'" in out


# --- what the runner prints after a save ------------------------------------------------


def test_runner_prints_written_paths_visibly(control, capsys, monkeypatch, tmp_path, fresh_pc):
    from zylora import __main__ as runner

    ch, shown = control
    monkeypatch.chdir(tmp_path)
    path = outside(ch, "cfg") + ".json"
    fresh_pc.set_run_config_path(path)
    fresh_pc.set_module_ids_to_zylate([outside(ch, ".id")])

    def configure(model):
        with open(path, "w") as handle:
            handle.write("{}")

    monkeypatch.setattr(zylsetup, "set_zylation_targets", configure)
    assert runner.main() == 0
    out = capsys.readouterr().out
    assert foreign_controls(out) == []
    assert out.splitlines()[0] == "Module ids to zylate:   " + repr([outside(ch, ".id")])
    assert out.splitlines()[-2:] == ["Files written:", "  " + visible_form(shown, "cfg") + ".json"]


# A line break in a class name cannot be told from the printed form's own
# line breaks, which are kept: that control alone stays as it is there.
@pytest.mark.parametrize("control", [v for k, v in CONTROLS.items() if k != "newline"],
                         ids=[k for k in CONTROLS if k != "newline"])
def test_empty_network_is_printed_visibly_line_by_line(control, capsys, monkeypatch, tmp_path):
    ch, shown = control
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr("builtins.input", lambda prompt="": "")

    class Lines(nn.Module):
        def extra_repr(self):
            return "first\nsecond " + outside(ch, "x")

    net = type(outside(ch, "Net"), (Lines,), {})()
    h = Harness(monkeypatch, [], fake_frames=False, fake_model=False)
    assert h.run(net) is None
    out = capsys.readouterr().out
    assert foreign_controls(out) == []
    printed = repr(net).replace(ch, shown)
    assert printed.startswith(visible_form(shown, "Net") + "(\n  first\n  second ")
    assert out == "<ENTER>" + printed + "\n<EXIT>"


# --- Lone surrogates -----------------------------------------------------------------
#
# A ModuleDict key or a name made from undecodable bytes may hold half of a
# surrogate pair, which no terminal encoding can write: it is shown as repr
# shows it, wherever outside text is shown, and a frame holding one prints.

@pytest.mark.parametrize("text, expected", [
    ("k\ud800", r"k\ud800"),
    ("\udcff\u00e9\U0001f600", r"\udcff" + "\u00e9\U0001f600"),
    ("\ud83d\ude00", r"\ud83d\ude00"),  # two halves in a text are still two halves
])
def test_lone_surrogates_are_shown_as_repr_shows_them(text, expected):
    assert zylsetup.shown_text(text) == expected
    assert repr(text)[1:-1] == expected


def test_a_surrogate_id_is_drawn_and_named_in_a_status_line(capsys, monkeypatch, tmp_path, fresh_pc):
    class Root(nn.Module):
        def __init__(self):
            super().__init__()
            self.fc = nn.Linear(2, 2)

    net = nn.Module()
    net.d = nn.ModuleDict({"k\ud800": Root()})
    fresh_pc.set_modules_to_replace([Root])
    monkeypatch.chdir(tmp_path)
    h = Harness(monkeypatch, [DOWN, "p", "z"], fake_frames=False, fake_model=False)
    with pytest.raises(OutOfKeys):
        h.run(net)
    out = capsys.readouterr().out
    assert not any("\ud800" <= ch <= "\udfff" for ch in out)
    assert r".d.k\ud800  [Root]" in "\n".join(strip(out.split("\n")))
    assert r".d.k\ud800 is inside a module" in out


def test_override_refusal_names_a_surrogate_origin():
    entry = {"id": ".a.b", "in_replaced": False, "is_replaced_root": False}
    record = {"eff": "zylated", "source": "inherited", "origin_id": ".a\ud800"}
    scope, reason = zylsetup.get_override_scope_for_entry(entry, {".a.b": record})
    assert scope is None
    assert reason.startswith(r"This module inherits .a\ud800's mode.")


# --- every character repr escapes -----------------------------------------------------


def as_repr_shows(ch):
    return ch if ch.isprintable() else repr(ch)[1:-1]


# Each range in texts of each storage width (the filler makes the text wider).
@pytest.mark.parametrize("first, end, filler", [
    (0, 0x100, ""), (0, 0x100, "\u0101"), (0, 0x100, "\U0001f600"),
    (0x100, 0x10000, ""), (0x100, 0x10000, "\U0001f600"),
    (0x10000, 0x110000, ""),
], ids=["latin-1", "latin-1-in-wide", "latin-1-in-astral", "bmp", "bmp-in-astral", "astral"])
def test_every_character_is_shown_as_repr_shows_it(first, end, filler):
    chars = [chr(c) for c in range(first, end) if chr(c) != "|"]
    shown = zylsetup.shown_text(filler + "|".join(chars))
    assert shown.startswith(filler)
    pieces = shown[len(filler):].split("|")  # no escape holds a "|"
    assert len(pieces) == len(chars)
    wrong = [(hex(ord(ch)), piece) for ch, piece in zip(chars, pieces) if piece != as_repr_shows(ch)]
    assert (len(wrong), wrong[:5]) == (0, [])


@pytest.mark.parametrize("text", ["plain", "a b", "\u00e9\u00ff", "\u4e2d\u6587", "\U0001f600 x", ""],
                         ids=["ascii", "blank", "latin-1", "wide", "astral", "empty"])
def test_printable_text_comes_back_as_the_same_object(text):
    assert zylsetup.shown_text(text) is text


class _Bracketed(str):
    def __str__(self):
        return "<" + str.__str__(self) + ">"


@pytest.mark.parametrize("text, expected", [(".0", "<.0>"), (".a\x1b", "<.a\\x1b>")],
                         ids=["printable", "control"])
def test_a_str_subclass_is_shown_in_its_ordinary_text_form(text, expected):
    assert zylsetup.shown_text(_Bracketed(text)) == expected
