import builtins
import errno
import json
import os
import shutil
import subprocess

import pytest
import torch
from torch import nn

from zylora import globals_zylora as GZL
from zylora import zylsetup

from bad_files import BAD_FILES, disk_state
from loop_harness import Harness, OutOfKeys

CANCEL_LINES = (
    "Configuration cancelled — training did not start.\n"
    "Re-run to configure again, or set configuration_confirmed=True "
    "(GZL.pc.set_configuration_confirmed(True)) to skip this screen.\n"
)
from keys import DOWN, ESC, TAB, UP


@pytest.fixture
def drive(monkeypatch, tmp_path, example_net):
    """Runs the configurator on the example network with a key script; the
    script running out ends the run with OutOfKeys."""
    monkeypatch.chdir(tmp_path)

    def run(keys, unset=(), expect=OutOfKeys, model=None, **options):
        h = Harness(monkeypatch, keys, **options)
        h.unset = list(unset)
        if expect is None:
            assert h.run(example_net if model is None else model) is None
        else:
            with pytest.raises(expect) as exc:
                h.run(example_net if model is None else model)
            h.raised = exc.value
        return h

    return run


def kinds(h):
    return [tag.split(" ", 1)[0] for tag in h.tags()]


# --- overlays and global keys -------------------------------------------------

@pytest.mark.parametrize(
    "keys, frames",
    [
        (["?", "?"], "TARGETS HELP TARGETS"),
        (["?", "x", "q", "s", TAB, "h", ESC], "TARGETS HELP HELP HELP HELP HELP HELP TARGETS"),
        (["q", "n"], "TARGETS QUIT TARGETS"),
        (["q", "N"], "TARGETS QUIT TARGETS"),
        (["q", ESC], "TARGETS QUIT TARGETS"),
        (["q", "x", "s", "?", "q", TAB, "\r", "N"],
         "TARGETS QUIT QUIT QUIT QUIT QUIT QUIT QUIT TARGETS"),
        (["Q"], "TARGETS TARGETS"),
        (["s", ESC], "TARGETS SAVE TARGETS"),
        (["S", "x"], "TARGETS SAVE TARGETS"),
        (["s", "q", "?", TAB, "y", "X", "s"], "TARGETS SAVE SAVE SAVE SAVE SAVE SAVE SAVE"),
        ([TAB, TAB], "TARGETS RUN TARGETS"),
        ([TAB, "?", ESC, "q", "n", "s", ESC], "TARGETS RUN HELP RUN QUIT RUN SAVE RUN"),
        (["k", "j", DOWN, "\r", "z"], "TARGETS TARGETS TARGETS TARGETS TARGETS TARGETS"),
    ],
    ids=["help-question", "help-ignores-others", "quit-n", "quit-N", "quit-esc",
         "quit-ignores-others", "Q-not-global", "save-esc", "S-opens-save-x-closes",
         "save-ignores-others", "tab-switches", "global-keys-on-run-panel", "panel-keys"],
)
def test_overlay_open_and_close_keys(drive, keys, frames):
    h = drive(keys)
    assert kinds(h) == frames.split()


def test_save_overlay_shows_the_config_target_path_anew(drive, monkeypatch):
    paths = iter(["first.json", "second.json"])
    monkeypatch.setattr(zylsetup, "_config_target_path", lambda: next(paths))
    h = drive(["s", DOWN])
    assert h.tags()[1:] == ["SAVE 0 first.json", "SAVE 1 second.json"]


@pytest.mark.parametrize(
    "unset, keys, indexes",
    [
        (["m1", "m2"], ["s", DOWN, DOWN, UP, UP], [0, 1, 1, 0, 0]),
        ([], ["s", UP, "j", "j", "j", "k"], [0, 0, 1, 2, 2, 1]),
        ([], ["s", "j", ESC, "s"], [0, 1, None, 0]),
    ],
    ids=["two-options", "three-options", "reopens-at-first"],
)
def test_save_overlay_highlight_moves_within_its_options(drive, unset, keys, indexes):
    h = drive(keys, unset=unset)
    shown = [int(tag.split()[1]) if tag.startswith("SAVE") else None for tag in h.tags()[1:]]
    assert shown == indexes


def persist_and_confirm(h):
    return [event for event in h.log if isinstance(event, tuple) and event[0] != "key"]


RUN_ONLY = [
    ("persist_config_outputs", False),
    ("persist_module_settings_updates", {}, False),
    ("confirm", True),
]


@pytest.mark.parametrize(
    "unset, keys",
    [
        ([], ["s", "\r"]),
        ([], ["S", "j", "k", "\n"]),
        (["m"], ["s", "j", "\r"]),
    ],
    ids=["just-this-run", "just-this-run-after-moving", "start-anyway"],
)
def test_saving_for_this_run_persists_then_confirms(drive, tmp_path, unset, keys):
    h = drive(keys, unset=unset, expect=None)
    assert persist_and_confirm(h) == RUN_ONLY
    assert h.log[-1] == "exit"
    assert GZL.pc.get_configuration_confirmed() is True
    saved = json.loads((tmp_path / "ZYL" / "ZYL_config.json").read_text())
    assert saved["save_name"] == "ZYL"


def test_saving_as_default_confirms_then_persists(drive, tmp_path):
    GZL.pc.set_config_file(str(tmp_path / "cfg.json"))
    h = drive(["s", "j", "\r"], expect=None)
    assert persist_and_confirm(h) == [
        ("confirm", True),
        ("persist_config_outputs", True),
        ("persist_module_settings_updates", {}, True),
    ]
    assert (tmp_path / "cfg.json").exists()
    assert h.log.count("exit") == 1


@pytest.mark.parametrize(
    "unset, keys",
    [(["m"], ["s", "\r"]), ([], ["s", "j", "j", "\r"])],
    ids=["warning-case", "normal-case"],
)
def test_keep_editing_closes_the_save_overlay(drive, unset, keys):
    h = drive(keys, unset=unset)
    assert kinds(h)[-1] == "TARGETS"
    assert persist_and_confirm(h) == []


@pytest.fixture
def answers(monkeypatch):
    prompts = []

    def install(*replies):
        queue = list(replies)

        def fake_input(prompt=""):
            prompts.append(prompt)
            reply = queue.pop(0)
            if isinstance(reply, type) and issubclass(reply, BaseException):
                raise reply
            return reply

        monkeypatch.setattr(builtins, "input", fake_input)
        return prompts

    return install


def test_save_as_default_asks_for_a_file_name(drive, answers, capsys, tmp_path):
    prompts = answers("   ", "  my.json  ")
    h = drive(["s", "j", "\r"], expect=None)
    assert prompts == ["Config filename/path: "] * 2
    assert GZL.pc.__dict__["_config_file"] == "my.json"
    assert (tmp_path / "my.json").exists()
    assert [e for e in h.log if isinstance(e, str)] == ["gate", "enter", "exit", "enter", "exit"]
    out = capsys.readouterr().out
    prompt_screen = out[out.index("<EXIT>") + len("<EXIT>"):out.rindex("<ENTER>")]
    assert prompt_screen == (
        "\x1b[2J\x1b[H"
        "No config_file is set.\n"
        "Enter a local JSON filename/path to create a reusable configuration file.\n"
        "You currently have save_name='ZYL'. Choose 'ZYL/ZYL_config.json' to skip this screen "
        "next time without changing your zylate_model call.\n"
        "A filename is required to save a default configuration.\n"
    )


def test_interrupt_at_the_file_name_prompt_cancels_confirmed(drive, answers, capsys):
    answers(KeyboardInterrupt)
    h = drive(["s", "j", "\r"], expect=SystemExit)
    assert h.raised.code == 0
    assert persist_and_confirm(h) == [("confirm", True)]
    assert GZL.pc.get_configuration_confirmed() is True
    assert [e for e in h.log if isinstance(e, str)] == ["gate", "enter", "exit", "exit"]
    assert capsys.readouterr().out.endswith("<EXIT>" + CANCEL_LINES)


# --- ways out --------------------------------------------------------------------

def interrupt_while_drawing(h):
    def render(*args):
        raise KeyboardInterrupt

    h.set("render_help_overlay", render)
    return "?"


def interrupt_in_the_model(h):
    def resolve(entries):
        raise KeyboardInterrupt

    h.set("resolve_entry_modes", resolve)
    return "z"


@pytest.mark.parametrize(
    "keys",
    [["q", "y"], ["q", "Y"], [KeyboardInterrupt], ["?", KeyboardInterrupt],
     [interrupt_while_drawing], [interrupt_in_the_model]],
    ids=["quit-y", "quit-Y", "ctrl-c-at-key", "ctrl-c-in-overlay", "ctrl-c-while-drawing",
         "ctrl-c-in-model"],
)
def test_cancel_restores_then_prints_and_exits_zero(drive, capsys, keys):
    h = drive(keys, expect=SystemExit)
    assert h.raised.code == 0
    assert [e for e in h.log if isinstance(e, str)] == ["gate", "enter", "exit"]
    assert persist_and_confirm(h) == []
    assert GZL.pc.__dict__["_auto_persist_config"] is True
    assert capsys.readouterr().out.endswith("<EXIT>" + CANCEL_LINES)


def raise_from(name, error):
    def step(h):
        def broken(*args, **kwargs):
            raise error

        h.set(name, broken)
        return "z"

    return step


BOOM = LookupError("renderer broke")


@pytest.mark.parametrize(
    "keys",
    [[raise_from("render_targets_lines", BOOM)], ["?", raise_from("render_help_overlay", BOOM)],
     [raise_from("read_single_key", BOOM)], [SystemExit(3)]],
    ids=["panel-renderer", "overlay-renderer", "key-reader", "system-exit"],
)
def test_other_exceptions_restore_and_reach_the_caller(drive, capsys, keys):
    h = drive(keys, expect=BaseException)
    assert h.raised is keys[-1] or h.raised is BOOM
    assert h.log[-1] == "exit"
    assert GZL.pc.__dict__["_auto_persist_config"] is True
    assert "cancelled" not in capsys.readouterr().out


def test_failure_before_the_alternate_screen_leaves_it_alone(monkeypatch):
    GZL.pc.__dict__["_auto_persist_config"] = "earlier"

    def refuse():
        raise OSError("stdout closed")

    h = Harness(monkeypatch, [])
    h.set("enter_alternate_screen", refuse)
    with pytest.raises(OSError, match="stdout closed"):
        h.run(nn.Sequential(nn.Linear(1, 1)))
    assert "exit" not in h.log
    assert GZL.pc.__dict__["_auto_persist_config"] == "earlier"


def test_failing_exit_still_restores_auto_persist(monkeypatch, capsys):
    def exit_fails():
        raise OSError("tty gone")

    h = Harness(monkeypatch, ["q", "y"])
    h.set("exit_alternate_screen", exit_fails)
    with pytest.raises(OSError, match="tty gone"):
        h.run(nn.Sequential(nn.Linear(1, 1)))
    assert GZL.pc.__dict__["_auto_persist_config"] is True
    assert "cancelled" not in capsys.readouterr().out


@pytest.mark.parametrize(
    "before, after",
    [("absent", True), (False, False), ("custom", "custom")],
    ids=["absent-becomes-true", "false-kept", "any-value-kept"],
)
def test_auto_persist_is_off_during_the_run_and_restored(drive, before, after):
    if before != "absent":
        GZL.pc.__dict__["_auto_persist_config"] = before
    h = drive(["?", ESC, "q", "y"], expect=SystemExit)
    assert h.auto_persist_seen == [False] * 4
    assert GZL.pc.__dict__["_auto_persist_config"] == after


def test_empty_network_confirms_without_persisting(drive, answers, capsys):
    prompts = answers("")
    net = nn.Linear(2, 3)
    h = drive([], expect=None, model=net)
    assert prompts == ["Press Enter to confirm zylation targets..."]
    assert persist_and_confirm(h) == [("confirm", True)]
    assert h.frames == []
    assert [e for e in h.log if isinstance(e, str)] == ["gate", "enter", "exit"]
    assert capsys.readouterr().out == "<ENTER>" + repr(net) + "\n<EXIT>"
    assert GZL.pc.__dict__["_auto_persist_config"] is True


# --- frames ----------------------------------------------------------------------

def test_window_starts_are_kept_per_panel(monkeypatch, tmp_path, example_net):
    monkeypatch.chdir(tmp_path)
    h = Harness(monkeypatch, [TAB, TAB, TAB])
    h.next_window_start = {"TARGETS": 7, "RUN": 3}
    with pytest.raises(OutOfKeys):
        h.run(example_net)
    assert [call[-1] for call in h.targets_calls] == [0, 7]
    assert [call[-1] for call in h.run_calls] == [0, 3]


def test_frame_is_cleared_then_printed_once_per_pass(drive, capsys):
    drive(["?", ESC])
    out = capsys.readouterr().out
    assert out.startswith("<ENTER>\x1b[2J\x1b[H") and out.endswith("\n<EXIT>")
    frames = out[len("<ENTER>"):-len("<EXIT>")].split("\x1b[2J\x1b[H")[1:]
    assert [frame.split("\n", 1)[0] for frame in frames] == ["TARGETS", "HELP", "TARGETS"]
    assert all(frame.endswith("\n") and not frame.endswith("\n\n") for frame in frames)


# --- overlays opened from the Targets panel ------------------------------------------

STATUS = "<D9A441>  nothing to clear on this module"


def last_lines(h):
    return [frame.rsplit("\n", 1)[-1] for frame in h.frames]


@pytest.mark.parametrize(
    "keys, frames",
    [
        (["h", "?", "q", "h"], "TARGETS LEGEND LEGEND LEGEND TARGETS"),
        (["h", ESC], "TARGETS LEGEND TARGETS"),
        (["h", "H", "x", "\r"], "TARGETS LEGEND LEGEND LEGEND LEGEND"),
        (["y", "y"], "TARGETS RULES TARGETS"),
        (["y", "Y"], "TARGETS RULES TARGETS"),
        (["y", ESC], "TARGETS RULES TARGETS"),
        (["y", "q", "?", "h", TAB], "TARGETS RULES RULES RULES RULES RULES"),
        (["y", "S", ESC], "TARGETS RULES SAVE TARGETS"),
    ],
    ids=["legend-h", "legend-esc", "legend-ignores-others", "rules-y", "rules-Y", "rules-esc",
         "rules-ignores-others", "rules-S-saves"],
)
def test_overlays_opened_from_the_targets_panel(drive, keys, frames):
    h = drive(keys)
    shown = ["RULES" if "\nRULES\n" in f else f.split("\n", 1)[0].split(" ")[0] for f in h.frames]
    assert shown == frames.split()


def test_type_rules_box_sits_between_header_and_body_and_freezes_the_panel(drive):
    h = drive(["y", DOWN, "j", "y", DOWN])
    assert h.frames[1].split("\n")[:5] == ["TARGETS", "", "RULES", "", ".embed"]
    assert [call[1] for call in h.targets_calls] == [0, 0, 0, 0, 0, 1]


@pytest.mark.parametrize(
    "keys, status_lines",
    [
        (["x", "s", ESC], [False, True, None, True]),
        (["x", "?", ESC], [False, True, None, True]),
        (["x", "q", "n"], [False, True, None, True]),
        (["x", TAB], [False, True, False]),
        (["x", "z"], [False, True, False]),
        (["x", DOWN], [False, True, False]),
        (["x", "x"], [False, True, True]),
    ],
    ids=["kept-across-save", "kept-across-help", "kept-across-quit", "cleared-by-tab",
         "cleared-by-ignored-panel-key", "cleared-by-move", "set-again"],
)
def test_status_line_life(drive, keys, status_lines):
    h = drive(keys)
    shown = []
    for frame, last in zip(h.frames, last_lines(h)):
        if frame.startswith(("TARGETS", "RUN")):
            shown.append(last == STATUS)
        else:
            shown.append(None)
    assert shown == status_lines


def test_status_line_is_the_last_line_of_the_run_panel_too(monkeypatch, tmp_path, example_net):
    monkeypatch.chdir(tmp_path)
    h = Harness(monkeypatch, [TAB, "\r", "z"])
    h.run_items = [{"type": "setting", "bucket": "b", "name": "device", "value": "cpu"}]
    with pytest.raises(OutOfKeys):
        h.run(example_net)
    message = "<D9A441>  device cannot be edited from this screen."
    assert [frame.split("\n")[-1] == message for frame in h.frames] == [False, False, True, False]


# --- the Overrides overlay ------------------------------------------------------------

@pytest.fixture
def overrides(monkeypatch, tmp_path, example_net):
    """A run whose first row, .embed, is zylated by id: Enter opens its overrides."""
    monkeypatch.chdir(tmp_path)
    resolve = zylsetup.resolve_entry_modes
    module_functions = dict(vars(zylsetup))
    GZL.pc.set_module_ids_to_zylate([".embed"])

    def run(keys, expect=OutOfKeys, real=(), **values):
        """`real` names model functions that stay the module's own."""
        h = Harness(monkeypatch, ["\r"] + list(keys))
        h.set("resolve_entry_modes", resolve)
        for name in real:
            h.set(name, module_functions[name])
        for name, value in values.items():
            setattr(h, name, value)
        with pytest.raises(expect) as exc:
            h.run(example_net)
        h.raised = exc.value
        return h

    return run


FIRST = zylsetup.CUSTOMIZABLE_SETTING_NAMES[0]
COUNT = len(zylsetup.CUSTOMIZABLE_SETTING_NAMES)


def test_enter_on_a_zylated_module_opens_its_overrides(overrides):
    h = overrides([])
    assert h.tags() == ["TARGETS", "OVERRIDES .embed 0 '' {}"]


@pytest.mark.parametrize(
    "keys, index",
    [([UP], 0), ([DOWN, DOWN], 2), (["j"] * (COUNT + 3), COUNT - 1), ([DOWN, "k"], 0)],
    ids=["up-at-top", "down-twice", "clamped-at-end", "down-up"],
)
def test_overrides_highlight_moves_within_the_settings(overrides, keys, index):
    h = overrides(keys)
    assert h.tags()[-1].split()[2] == str(index)


def test_overrides_h_toggles_the_description_and_esc_hides_it(overrides):
    second = zylsetup.CUSTOMIZABLE_SETTING_NAMES[1]
    h = overrides(["h", DOWN, "h", "h", "h", ESC, "\r"])
    describes = [tag.split()[3] for tag in h.tags() if tag.startswith("OVERRIDES")]
    assert describes == ["''", repr(FIRST), repr(FIRST), repr(second), "''", repr(second), "''"]
    assert h.tags()[-2] == "TARGETS"


@pytest.mark.parametrize(
    "key, frames",
    [(ESC, "TARGETS OVERRIDES TARGETS"), ("x", "TARGETS OVERRIDES TARGETS"),
     ("s", "TARGETS OVERRIDES SAVE"), ("S", "TARGETS OVERRIDES SAVE"),
     ("q", "TARGETS OVERRIDES OVERRIDES"), (TAB, "TARGETS OVERRIDES OVERRIDES")],
    ids=["esc", "x", "s", "S", "q-ignored", "tab-ignored"],
)
def test_overrides_close_and_save_keys(overrides, key, frames):
    h = overrides([key])
    assert kinds(h) == frames.split()


def pending_of(h):
    return [tag.split(" ", 4)[4] for tag in h.tags() if tag.startswith("OVERRIDES")]


@pytest.mark.parametrize(
    "values, presses, pending",
    [
        ({"scoped": {FIRST: False}}, 2, [{}, {FIRST: True}, {FIRST: False}]),
        ({"global_values": {FIRST: True}}, 1, [{}, {FIRST: False}]),
        ({"global_values": {FIRST: 99}, "enum_options": {FIRST: [0, 1, 2]}}, 1, [{}, {FIRST: 0}]),
        ({"scoped": {FIRST: 1}, "enum_options": {FIRST: [0, 1, 2]}}, 2,
         [{}, {FIRST: 2}, {FIRST: 0}]),
        ({"scoped": {FIRST: 1}, "enum_options": {FIRST: []}}, 1, [{}, {}]),
    ],
    ids=["bool-flips-twice", "bool-from-run-value", "enum-unknown-gives-first",
         "enum-steps-and-wraps", "enum-without-options-unchanged"],
)
def test_overrides_enter_flips_and_steps(overrides, values, presses, pending):
    h = overrides(["\r"] * presses, **values)
    assert pending_of(h) == [repr({".embed": p}) if p else "{}" for p in pending]


def test_overrides_enter_bool_is_a_type_identity_test(overrides):
    # 1 is no bool: without enum options it opens the scalar editor.
    h = overrides(["\r"], scoped={FIRST: 1}, editor_script=[(True, "")])
    assert h.frames[2] == f"EDITOR ('scalar', {FIRST!r}, 1, '.embed')"


@pytest.mark.parametrize(
    "value, editor",
    [([1, 2], "list"), (0.5, "scalar"), (3, "scalar")],
    ids=["list", "float", "int"],
)
def test_overrides_enter_opens_an_editor_in_the_scope(overrides, value, editor):
    h = overrides(["\r", "a", "b"], scoped={FIRST: value},
                  editor_script=[(False, "first"), (True, "done")])
    assert kinds(h)[2:] == ["EDITOR", "EDITOR", "OVERRIDES"]
    assert h.frames[2] == f"EDITOR ({editor!r}, {FIRST!r}, {value!r}, '.embed')"
    h2 = overrides(["\r", "a", "b", ESC], scoped={FIRST: value},
                   editor_script=[(False, "first"), (True, "done")])
    assert h2.frames[-1].endswith("<D9A441>  done")


def test_overrides_enter_on_text_reports_after_the_overlay_closes(overrides):
    h = overrides(["\r", DOWN, ESC, "z"], scoped={FIRST: "abc"})
    message = f"<D9A441>  {FIRST} cannot be edited here."
    assert [kinds(h)[i] for i in (2, 3, 4)] == ["OVERRIDES", "OVERRIDES", "TARGETS"]
    assert message not in h.frames[2] and h.frames[4].endswith(message)
    assert not h.frames[5].endswith(message)


def test_editor_keys_replace_the_status_message(overrides):
    h = overrides(["\r", "a", "b", "c", ESC], scoped={FIRST: 3},
                  editor_script=[(False, "Invalid list entry: x"), (False, ""), (True, "")])
    assert h.frames[-1].split("\n")[-1] == "FOOTER"


def test_interrupt_while_entering_the_alternate_screen_still_leaves_it(monkeypatch, capsys):
    # The switch may already be on the terminal when the interrupt lands.
    h = Harness(monkeypatch, [])

    def enter_then_interrupted():
        h.log.append("enter")
        raise KeyboardInterrupt

    h.set("enter_alternate_screen", enter_then_interrupted)
    with pytest.raises(SystemExit) as exc:
        h.run(nn.Sequential(nn.Linear(1, 1)))
    assert exc.value.code == 0
    assert [e for e in h.log if isinstance(e, str)] == ["gate", "enter", "exit"]
    assert capsys.readouterr().out.endswith("<EXIT>" + CANCEL_LINES)


# --- SIGTERM ----------------------------------------------------------------------

import os  # noqa: E402
import signal  # noqa: E402
import threading  # noqa: E402


class OwnTermination(Exception):
    pass


def own_handler(signum, frame):
    raise OwnTermination(signum)


@pytest.fixture
def sigterm():
    """Sets the process's SIGTERM disposition for one test, and puts the
    earlier one back afterwards."""
    earlier = signal.getsignal(signal.SIGTERM)
    yield lambda disposition: signal.signal(signal.SIGTERM, disposition)
    signal.signal(signal.SIGTERM, earlier)


WAYS_OUT = {
    "quit": (["q", "y"], SystemExit),
    "save": (["s", "\r"], None),
    "error": ([raise_from("render_help_overlay", BOOM), "?"], LookupError),
}


# Each signal, and the disposition that the configurator takes over while it
# holds the terminal: any other one is the process's own choice.
TAKEN_OVER = {"SIGTERM": signal.SIG_DFL, "SIGHUP": signal.SIG_DFL, "SIGINT": signal.default_int_handler}


@pytest.fixture
def dispositions():
    """Sets dispositions for one test; every earlier one, and the thread's
    signal mask, are put back afterwards."""
    earlier = {name: signal.getsignal(getattr(signal, name)) for name in TAKEN_OVER}
    mask = signal.pthread_sigmask(signal.SIG_BLOCK, [])
    yield lambda name, disposition: signal.signal(getattr(signal, name), disposition)
    signal.pthread_sigmask(signal.SIG_SETMASK, mask)
    for name, disposition in earlier.items():
        signal.signal(getattr(signal, name), disposition)


@pytest.mark.parametrize("way_out", list(WAYS_OUT))
@pytest.mark.parametrize("kind", ["taken-over", "ignored", "own"])
@pytest.mark.parametrize("name", list(TAKEN_OVER))
def test_signal_handling_is_put_back_on_every_way_out(drive, dispositions, name, kind, way_out):
    disposition = {"taken-over": TAKEN_OVER[name], "ignored": signal.SIG_IGN, "own": own_handler}[kind]
    dispositions(name, disposition)
    mask = signal.pthread_sigmask(signal.SIG_BLOCK, [])
    seen = []

    def look(h):
        seen.append(signal.getsignal(getattr(signal, name)))
        return "z"

    keys, expect = WAYS_OUT[way_out]
    drive([look] + keys, expect=expect)
    assert signal.getsignal(getattr(signal, name)) == disposition
    assert signal.pthread_sigmask(signal.SIG_BLOCK, []) == mask
    if kind == "taken-over":
        # Python's handling would end the process, or raise, with the
        # terminal still held.
        assert seen[0] not in (disposition, signal.SIG_DFL, signal.SIG_IGN, None)
    else:
        assert seen == [disposition]


def interrupted_leaving(h):
    """Leaving the alternate screen sends the process a SIGINT midway."""
    def leave():
        h.log.append("exit")
        os.kill(os.getpid(), signal.SIGINT)
        h.log.append("left")

    h.set("exit_alternate_screen", leave)
    return "z"


# What a SIGINT that lands while the terminal is given back does once it is back.
@pytest.mark.parametrize("way_out, outcome", [("quit", SystemExit), ("save", KeyboardInterrupt),
                                               ("error", LookupError)])
def test_a_sigint_while_leaving_waits_until_the_terminal_is_back(
        monkeypatch, tmp_path, example_net, dispositions, capsys, way_out, outcome):
    monkeypatch.chdir(tmp_path)
    dispositions("SIGINT", signal.default_int_handler)
    keys, _ = WAYS_OUT[way_out]
    h = Harness(monkeypatch, [interrupted_leaving] + keys)
    try:
        h.run(example_net)
        raised = None
    except BaseException as exc:  # noqa: B902 - a stray KeyboardInterrupt fails this test only
        raised = exc
    assert type(raised) is outcome
    assert [e for e in h.log if isinstance(e, str)][-2:] == ["exit", "left"]
    assert GZL.pc.__dict__["_auto_persist_config"] is True
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    assert (CANCEL_LINES in capsys.readouterr().out) == (way_out == "quit")
    if way_out == "quit":
        assert raised.code == 0
    elif way_out == "save":
        assert GZL.pc.get_configuration_confirmed() is True


def test_an_own_handler_that_cuts_leaving_short_is_answered_by_a_second_try(drive):
    # The process's own SIGUSR1 handler, tripped on another thread, runs at
    # the next check of the main thread: in the middle of leaving.
    go, sent = threading.Event(), threading.Event()

    def send():
        go.wait(30)
        signal.pthread_kill(threading.get_ident(), signal.SIGUSR1)
        sent.set()

    sender = threading.Thread(target=send)  # started while it may still take signals
    sender.start()
    previous = signal.signal(signal.SIGUSR1, own_handler)
    calls = []

    def leave():
        calls.append("leave")
        if len(calls) == 1:
            go.set()
            sent.wait(30)
        calls.append("left")

    def rebind(h):
        h.set("exit_alternate_screen", leave)
        return "z"

    try:
        drive([rebind, "q", "y"], expect=OwnTermination)
    finally:
        go.set()
        sender.join()
        signal.signal(signal.SIGUSR1, previous)
    assert calls == ["leave", "leave", "left"]
    assert GZL.pc.__dict__["_auto_persist_config"] is True


def send_sigterm(h):
    os.kill(os.getpid(), signal.SIGTERM)
    return "z"


def test_an_own_sigterm_handler_stays_in_charge_and_the_terminal_comes_back(drive, sigterm):
    sigterm(own_handler)
    h = drive([send_sigterm, "q", "y"], expect=OwnTermination)
    assert h.log[-1] == "exit"
    assert GZL.pc.__dict__["_auto_persist_config"] is True
    assert signal.getsignal(signal.SIGTERM) is own_handler


def test_an_ignored_sigterm_stays_ignored(drive, sigterm):
    sigterm(signal.SIG_IGN)
    h = drive([send_sigterm, "q", "y"], expect=SystemExit)
    assert ("key", "q") in h.log and h.raised.code == 0


def test_configurator_on_a_worker_thread_leaves_signals_alone(monkeypatch, sigterm):
    # Handlers can be set from the main thread only; the run goes on without.
    sigterm(signal.SIG_DFL)
    h = Harness(monkeypatch, ["q", "y"])
    outcome = []

    def run():
        try:
            h.run(nn.Sequential(nn.Linear(1, 1)))
        except BaseException as exc:  # noqa: B902 - handed to the test thread
            outcome.append(exc)

    worker = threading.Thread(target=run)
    worker.start()
    worker.join(30)
    assert len(outcome) == 1 and isinstance(outcome[0], SystemExit), outcome
    assert signal.getsignal(signal.SIGTERM) == signal.SIG_DFL


def refused_after_first(monkeypatch, exc):
    """The override writer records one value, then refuses every other."""
    record = zylsetup.set_module_scoped_value
    offered = []

    def writer(pending, scope_key, setting_name, value):
        offered.append(value)
        if len(offered) > 1:
            raise exc
        record(pending, scope_key, setting_name, value)

    monkeypatch.setattr(zylsetup, "set_module_scoped_value", writer)
    return offered


@pytest.mark.parametrize(
    "values, first, refused",
    [({"scoped": {FIRST: False}}, True, False),
     ({"scoped": {FIRST: 0}, "enum_options": {FIRST: [0, 1, 2]}}, 1, 2)],
    ids=["boolean", "enum"],
)
def test_overrides_refused_flip_or_step_keeps_the_overlay_and_the_pending_overrides(
        overrides, monkeypatch, values, first, refused):
    offered = refused_after_first(monkeypatch, ValueError("not for this module"))
    h = overrides(["\r", "\r", ESC], **values)
    assert offered == [first, refused]
    assert kinds(h)[1:] == ["OVERRIDES", "OVERRIDES", "OVERRIDES", "TARGETS"]
    assert pending_of(h)[1:] == [repr({".embed": {FIRST: first}})] * 2
    message = f"<D9A441>  Invalid value for {FIRST}: not for this module"
    assert message not in h.frames[3] and h.frames[4].endswith(message)


@pytest.mark.parametrize("exc, code", [(KeyboardInterrupt(), 0), (SystemExit(3), 3)], ids=["interrupt", "exit"])
def test_overrides_interrupts_and_exits_of_the_writer_keep_their_ways_out(overrides, monkeypatch, exc, code):
    refused_after_first(monkeypatch, exc)
    h = overrides(["\r", "\r"], expect=SystemExit, scoped={FIRST: False})
    assert h.raised.code == code and h.log[-1] == "exit"


FORWARD_ROW = zylsetup.CUSTOMIZABLE_SETTING_NAMES.index("zyl_forward_function")


def other_function(x):
    return x


@pytest.mark.parametrize(
    "run_wide, steps",
    [(torch.relu, ["tanh", "sigmoid", "relu"]), (torch.tanh, ["sigmoid", "relu", "tanh"]),
     (torch.sigmoid, ["relu", "tanh", "sigmoid"]), (other_function, ["relu", "tanh", "sigmoid"])],
    ids=["from-relu", "from-tanh", "from-sigmoid", "from-another-function"],
)
def test_overrides_enter_steps_the_forward_function_from_the_run_wide_function(overrides, run_wide, steps):
    GZL.pc.set_zyl_forward_function(run_wide)
    h = overrides([DOWN] * FORWARD_ROW + ["\r"] * 3,
                  real=("get_enum_options", "get_global_setting_value", "get_scope_values"))
    assert pending_of(h)[-3:] == [repr({".embed": {"zyl_forward_function": name}}) for name in steps]
    assert GZL.pc.get_zyl_forward_function() is run_wide


# --- a save that its files refuse ----------------------------------------------------------

RUN_FILE = "ZYL/ZYL_config.json"
JUST_THIS_RUN, AS_DEFAULT = ["\r"], ["j", "\r"]


@pytest.fixture
def saving(monkeypatch, tmp_path, example_net, answers):
    """.embed zylated by id with one pending override, saved through the real writers.

    The script opens .embed's overrides, flips FIRST, then "s" and `save_keys`;
    after the save it runs `then`.  `writer` stands for the overrides' writer.
    """
    monkeypatch.chdir(tmp_path)
    (tmp_path / "ZYL").mkdir()
    resolve = zylsetup.resolve_entry_modes
    write_overrides = zylsetup.persist_module_settings_updates
    GZL.pc.set_module_ids_to_zylate([".embed"])

    def run(save_keys, then=(), expect=OutOfKeys, typed=(), writer=write_overrides):
        answers(*typed)
        h = Harness(monkeypatch, ["\r", "\r", "s", *save_keys, *then])
        h.global_values = {FIRST: True}
        h.set("resolve_entry_modes", resolve)

        def persist_overrides(pending, overwrite_config_file=False):
            h.log.append(("persist_module_settings_updates", dict(pending), overwrite_config_file))
            writer(pending, overwrite_config_file=overwrite_config_file)

        h.set("persist_module_settings_updates", persist_overrides)
        if expect is None:
            assert h.run(example_net) is None
        else:
            with pytest.raises(expect) as exc:
                h.run(example_net)
            h.raised = exc.value
        return h

    return run


def mend(path):
    if path.is_dir():
        shutil.rmtree(path)
    elif path.exists() and not path.is_file():
        path.unlink()
    elif path.exists():
        path.chmod(0o644)
    path.write_text('{"kept": true}')


PENDING = {".embed": {FIRST: False}}


@pytest.mark.parametrize("make_bad, reason", BAD_FILES)
@pytest.mark.parametrize(
    "config_file, bad, save_keys, typed",
    [(None, RUN_FILE, JUST_THIS_RUN, ()),
     ("cfg.json", RUN_FILE, AS_DEFAULT, ()),
     ("cfg.json", "cfg.json", AS_DEFAULT, ()),
     (None, "cfg.json", AS_DEFAULT, ("cfg.json", "cfg.json"))],
    ids=["run-file", "run-file-as-default", "config-file", "typed-name"],
)
def test_refused_save_changes_nothing_and_a_mended_file_saves(
        saving, tmp_path, config_file, bad, save_keys, typed, make_bad, reason):
    GZL.pc.set_config_file(config_file)
    (tmp_path / "cfg.json").write_text("{}")
    if bad == "cfg.json":
        (tmp_path / "cfg.json").unlink()
    make_bad(tmp_path / bad)
    before = disk_state(tmp_path)

    def check_then_mend(h):
        # Nothing was written, confirmed or forgotten by the refused save.
        assert disk_state(tmp_path) == before
        assert [e for e in persist_and_confirm(h) if e[0] != "confirm"] == []
        assert GZL.pc.get_configuration_confirmed() is False
        assert GZL.pc.get_config_file() == config_file
        mend(tmp_path / bad)
        return "s"

    h = saving(save_keys, then=["\r", ESC, check_then_mend, *save_keys], expect=None, typed=typed)
    refused_at = kinds(h).index("SAVE") + len(save_keys)
    assert h.tags()[refused_at] == "TARGETS"
    assert h.frames[refused_at].split("\n")[-1].startswith(
        f'<D9A441>  Cannot save to "{bad}": {reason}')
    assert h.frames[refused_at].endswith("; nothing was saved.")
    assert h.tags()[refused_at + 1] == f"OVERRIDES .embed 0 '' {PENDING!r}"

    confirms = [e for e in persist_and_confirm(h) if e[0] == "confirm"]
    assert confirms == ([("confirm", True), ("confirm", False), ("confirm", True)] if typed
                        else [("confirm", True)])
    assert GZL.pc.get_configuration_confirmed() is True
    saved = json.loads((tmp_path / RUN_FILE).read_text())
    assert saved["module_ids_to_zylate"] == [".embed"] and saved["module_settings"] == PENDING
    if save_keys == AS_DEFAULT:
        default = json.loads((tmp_path / "cfg.json").read_text())
        assert default["module_settings"] == PENDING
    assert json.loads((tmp_path / bad).read_text())["kept"] is True


def test_merge_refused_after_the_check_propagates(saving, tmp_path):
    GZL.pc.set_config_file("cfg.json")
    (tmp_path / "cfg.json").write_text('{"kept": true}')
    real = zylsetup.persist_module_settings_updates

    def changed_in_between(*args, **kwargs):
        (tmp_path / "cfg.json").write_text("[]")
        return real(*args, **kwargs)

    h = saving(AS_DEFAULT, expect=ValueError, writer=changed_in_between)
    assert "cfg.json" in str(h.raised) and ".tmp" not in str(h.raised)
    assert h.log[-1] == "exit"
    assert GZL.pc.__dict__["_auto_persist_config"] is True
    # Each file holds a whole content: the old one, or all of the new one.
    files = sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*") if p.is_file())
    assert files == [RUN_FILE, "cfg.json"]
    for name in files:
        json.loads((tmp_path / name).read_text())


# --- a write that fails after the check ----------------------------------------------------

def no_space(*args):
    raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))


class SmallDisk:
    """A folder on a 64 KiB tmpfs where mounting is allowed; elsewhere a folder
    whose writes find the disk full while it is filled."""

    def __init__(self, path, mounted):
        self.path, self.mounted = path, mounted
        self.patches = pytest.MonkeyPatch()

    def fill(self):
        if not self.mounted:
            self.patches.setattr(os, "pwrite", no_space)
            self.patches.setattr(os, "write", no_space)
            return
        fd = os.open(self.path / "filler", os.O_WRONLY | os.O_CREAT, 0o600)
        try:
            while os.write(fd, bytes(4096)):
                pass
        except OSError as error:
            assert error.errno == errno.ENOSPC
        finally:
            os.close(fd)

    def free(self):
        self.patches.undo()
        if self.mounted:
            os.remove(self.path / "filler")


@pytest.fixture
def small_disk(tmp_path):
    folder = tmp_path / "disk"
    folder.mkdir()
    mount = ["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(folder)]
    mounted = (os.geteuid() == 0 and shutil.which("mount") is not None
               and subprocess.run(mount, capture_output=True).returncode == 0)
    disk = SmallDisk(folder, mounted)
    yield disk
    disk.patches.undo()
    if mounted:
        os.chdir(tmp_path)
        subprocess.run(["umount", str(folder)], check=True)


def contents(root, names):
    return {name: (root / name).read_text() for name in names}


@pytest.mark.parametrize(
    "config_file, save_keys, typed",
    [(None, JUST_THIS_RUN, ()), ("cfg.json", AS_DEFAULT, ()), (None, AS_DEFAULT, ("cfg.json",) * 2)],
    ids=["just-this-run", "as-default", "typed-name"],
)
def test_full_disk_keeps_the_session_and_saving_again_writes_everything(
        saving, small_disk, monkeypatch, config_file, save_keys, typed):
    root = small_disk.path
    monkeypatch.chdir(root)
    (root / "ZYL").mkdir()
    old = {RUN_FILE: '{"kept": true}', "cfg.json": '{"kept": true}'}
    for name, content in old.items():
        (root / name).write_text(content)
    GZL.pc.set_config_file(config_file)
    small_disk.fill()

    def check_then_free(h):
        # Every file as it was, nothing beside them, nothing confirmed or typed kept.
        assert contents(root, old) == old
        assert sorted(p.name for p in (root / "ZYL").iterdir()) == ["ZYL_config.json"]
        assert GZL.pc.get_configuration_confirmed() is False
        assert GZL.pc.get_config_file() == config_file
        small_disk.free()
        return "s"

    h = saving(save_keys, then=["\r", ESC, check_then_free, *save_keys], expect=None, typed=typed)
    failed_at = kinds(h).index("SAVE") + len(save_keys)
    assert h.tags()[failed_at] == "TARGETS"
    assert h.frames[failed_at].split("\n")[-1] == (
        f'<D9A441>  Cannot save to "{RUN_FILE}": No space left on device; nothing was saved.')
    assert h.tags()[failed_at + 1] == f"OVERRIDES .embed 0 '' {PENDING!r}"
    assert GZL.pc.get_configuration_confirmed() is True
    written = [RUN_FILE, "cfg.json"] if save_keys == AS_DEFAULT else [RUN_FILE]
    for name in written:
        saved = json.loads((root / name).read_text())
        assert saved["kept"] is True and saved["module_settings"] == PENDING
    assert json.loads((root / RUN_FILE).read_text())["module_ids_to_zylate"] == [".embed"]


def overrides_meet_a_full_disk(monkeypatch):
    real = zylsetup.persist_module_settings_updates

    def after_the_outputs(*args, **kwargs):
        with monkeypatch.context() as patches:
            patches.setattr(os, "pwrite", no_space)
            return real(*args, **kwargs)

    return after_the_outputs


def outputs_over_quota(monkeypatch):
    def persist_config_outputs(overwrite_config_file=False):
        raise OSError(errno.EDQUOT, os.strerror(errno.EDQUOT), "cfg.json")

    monkeypatch.setattr(GZL.pc, "persist_config_outputs", persist_config_outputs)
    return zylsetup.persist_module_settings_updates


@pytest.mark.parametrize(
    "fault, message",
    [(overrides_meet_a_full_disk, f'Cannot save to "{RUN_FILE}": No space left on device; '
                                  f'already written: "{RUN_FILE}", "cfg.json".'),
     (outputs_over_quota, 'Cannot save to "cfg.json": Disk quota exceeded; nothing was saved.')],
    ids=["overrides-after-the-outputs", "outputs-over-quota"],
)
def test_failed_write_names_the_file_the_reason_and_what_was_written(
        saving, monkeypatch, tmp_path, fault, message):
    GZL.pc.set_config_file("cfg.json")
    (tmp_path / "cfg.json").write_text('{"kept": true}')
    h = saving(AS_DEFAULT, then=["\r"], writer=fault(monkeypatch))
    assert h.frames[-2].split("\n")[-1] == "<D9A441>  " + message
    assert h.tags()[-1] == f"OVERRIDES .embed 0 '' {PENDING!r}"
    assert GZL.pc.get_configuration_confirmed() is False and GZL.pc.get_config_file() == "cfg.json"
    for path in (tmp_path / RUN_FILE, tmp_path / "cfg.json"):
        assert not path.exists() or json.loads(path.read_text())
