"""`python -m zylora` in a real pseudo-terminal, read back through a 120x40
terminal emulator."""

import json
import os
import re
import signal
import time

import pytest

from pty_session import ALT_ON, CANCEL_LINES, CURSOR_ON, session  # noqa: F401  (session is a fixture)


def test_targets_panel_shows_the_example_network(session):
    session.wait_for(".embed", ".encoder.0.attn", "Zylation budget:")
    rows = session.text().split("\n")
    assert rows[0].startswith("[ Targets │ Run settings ]")
    assert ".embed  [Embedding]" in session.highlighted()
    listed = [m.group(1) for m in map(re.compile(r" (\.[\w.]+)  \[").search, rows) if m]
    assert listed[:4] == [".embed", ".encoder", ".encoder.0", ".encoder.0.attn"]
    session.child.sendintr()
    assert session.finish() == 0


TOP_LEVEL = [".embed", ".encoder", ".refine", ".head", ".output"]


def test_save_for_this_run(session, tmp_path):
    session.wait_for(".encoder.0.attn")
    # Zylating every top-level module gives every module a mode, so the save
    # overlay offers "just this run" first.
    for module_id in TOP_LEVEL:
        session.down_to(module_id)
        session.press("p")
    session.send("s")
    session.wait_for("Save configuration", "just this run")
    session.send("\r")
    assert session.finish() == 0
    session.assert_terminal_restored()
    printed = session.normal_screen_output().splitlines()
    assert printed == [
        "Module ids to zylate:   " + repr(TOP_LEVEL),
        "Module ids to track:    []",
        "Module types to zylate: []",
        "Module types to track:  []",
        "Files written:",
        "  " + os.path.join("ZYL", "ZYL_config.json"),
    ]
    written = sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*") if p.is_file())
    assert written == [os.path.join("ZYL", "ZYL_config.json")]
    saved = json.loads((tmp_path / "ZYL" / "ZYL_config.json").read_text())
    assert saved["module_ids_to_zylate"] == TOP_LEVEL
    assert "module_settings" not in saved


def cancel_by_quit(session):
    session.send("q")
    session.wait_for("Quit without configuring?")
    session.send("y")


def cancel_by_ctrl_c(session):
    # The configurator waits for a key, so Ctrl-C reaches it as a key,
    # whatever the process does with SIGINT.
    session.child.sendintr()


def cancel_by_signal(session):
    session.child.kill(signal.SIGINT)


def cancel_by_signal_while_drawing(session):
    # Sent as soon as the first rows show: the frame is usually still being
    # written, so the interrupt cuts it short somewhere.
    session.child.kill(signal.SIGINT)


@pytest.mark.parametrize(
    "cancel, session",
    [(cancel_by_quit, "inherit"), (cancel_by_ctrl_c, "inherit"), (cancel_by_signal, "default"),
     (cancel_by_signal_while_drawing, "default")],
    ids=["quit-y", "ctrl-c", "sigint", "sigint-while-drawing"],
    indirect=["session"],
)
def test_cancel(session, tmp_path, cancel):
    if cancel is cancel_by_signal_while_drawing:
        session.wait_for_text(".embed")
    else:
        session.wait_for(".encoder.0.attn")
    cancel(session)
    assert session.finish() == 0
    session.assert_terminal_restored()
    assert session.normal_screen_output().splitlines() == CANCEL_LINES
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("session", ["ignore"], indirect=True)
def test_sigint_ignored_at_start_stays_ignored_and_ctrl_c_still_cancels(session, tmp_path):
    # A launcher that starts its workers with SIGINT ignored keeps that
    # choice: the signal changes nothing, while Ctrl-C typed at the
    # configurator is a key and cancels as ever.
    session.wait_for(".encoder.0.attn")
    session.child.kill(signal.SIGINT)
    session.press("j")
    assert ".encoder  [ModuleList]" in session.highlighted()
    session.child.sendintr()
    assert session.finish() == 0
    session.assert_terminal_restored()
    assert session.normal_screen_output().splitlines() == CANCEL_LINES


@pytest.mark.parametrize("moment", ["waiting", "drawing"])
def test_sigterm_gives_the_terminal_back_then_ends_by_the_signal(session, tmp_path, moment):
    if moment == "drawing":
        session.wait_for_text(".embed")
    else:
        session.wait_for(".encoder.0.attn")
    session.child.kill(signal.SIGTERM)
    assert session.finish() is None
    assert session.signalstatus == signal.SIGTERM
    session.assert_terminal_restored()
    assert session.output.rindex(CURSOR_ON) > session.output.rindex(ALT_ON)
    assert CANCEL_LINES[0] not in session.output
    assert list(tmp_path.iterdir()) == []


# A ModuleDict keyed by a name from a downloaded file: raw, it would set the
# clipboard (OSC 52), clear the screen and break its row in two.
EVIL_KEY = "evil\x1b]52;c;cHduZWQ=\x07\x1b[2J\nX"
EVIL_RUNNER = """
import sys
from torch import nn
from zylora import example_network, globals_zylora as GZL
from zylora.__main__ import main

def build():
    net = nn.Module()
    net.d = nn.ModuleDict({%r: nn.Linear(2, 2)})
    net.fc = nn.Linear(2, 2)
    return net

example_network.build_example_network = build
GZL.pc.set_save_name(%r)
sys.exit(main())
"""


def test_outside_names_are_drawn_visibly(tmp_path):
    from pty_session import Session

    (tmp_path / "evil_runner.py").write_text(EVIL_RUNNER % (EVIL_KEY, "run\x1b[2J"))
    session = Session(tmp_path, ["evil_runner.py"])
    try:
        shown = EVIL_KEY.encode("unicode_escape").decode()
        session.wait_for(".d." + shown + "  [Linear]", ".fc  [Linear]")
        session.down_to(".d." + shown)
        session.press("p")
        session.down_to(".fc")
        session.press("p")
        session.send("s")
        session.wait_for("Save configuration", r"write it to run\x1b[2J/run\x1b[2J_config.json")
        session.send("\r")
        assert session.finish() == 0
    finally:
        if session.child.isalive():
            session.child.terminate(force=True)
    session.assert_terminal_restored()
    assert "\x1b]52" not in session.output and "\x07" not in session.output
    # Every screen clear is ours, followed by the cursor going home.
    assert session.output.count("\x1b[2J") == session.output.count("\x1b[2J\x1b[H")
    printed = session.normal_screen_output().splitlines()
    assert printed[0] == "Module ids to zylate:   " + repr([".d." + EVIL_KEY, ".fc"])
    assert printed[-2:] == ["Files written:", "  " + r"run\x1b[2J/run\x1b[2J_config.json"]


def test_refused_save_keeps_the_choices_and_saves_once_mended(session, tmp_path):
    run_file = tmp_path / "ZYL" / "ZYL_config.json"
    run_file.parent.mkdir()
    run_file.write_text("[1, 2]")
    session.wait_for(".encoder.0.attn")
    for module_id in TOP_LEVEL:
        session.down_to(module_id)
        session.press("p")
    # A pending override on the highlighted .output: its last setting flipped.
    session.type_keys("\r")
    assert "Overrides \u2014 .output" in session.text()
    session.type_keys(*["j"] * 5, "\r")
    assert re.search(r"> +learn_dendrites_live += True", session.text())
    session.send("s")
    session.wait_for("Save configuration", "just this run")
    session.send("\r")
    session.wait_for("Cannot save to")
    screen = session.text()
    assert screen.startswith("[ Targets")
    assert ('  Cannot save to "ZYL/ZYL_config.json": it holds a JSON array, not an object; '
            "nothing was saved.") in screen.split("\n")
    assert "every parameter is zylated or tracked" in screen
    assert ".output" in session.highlighted() and "mode=zylate" in session.highlighted()
    assert run_file.read_text() == "[1, 2]"
    assert [p.name for p in tmp_path.rglob("*")] == ["ZYL", "ZYL_config.json"]

    run_file.write_text('{"kept": true}')
    session.send("s")
    session.wait_for("just this run")
    session.send("\r")
    assert session.finish() == 0
    session.assert_terminal_restored()
    saved = json.loads(run_file.read_text())
    assert saved["kept"] is True and saved["module_ids_to_zylate"] == TOP_LEVEL
    assert saved["module_settings"] == {".output": {"learn_dendrites_live": True}}


# Writes standard error to a file, so that what it says is seen even once the
# terminal is gone.
STDERR_RUNNER = """
import os, sys
os.dup2(os.open("stderr.txt", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), 2)
from zylora.__main__ import main
sys.exit(main())
"""


@pytest.fixture
def watched(tmp_path):
    """The demo with SIGINT at its default and standard error in a file."""
    from pty_session import Session

    (tmp_path / "runner.py").write_text(STDERR_RUNNER)
    s = Session(tmp_path, ["runner.py"], sigint="default")
    s.wait_for(".encoder.0.attn")
    yield s
    if s.child.isalive():
        s.child.terminate(force=True)


def send(child, signals, gap):
    """Send the signals `gap` seconds apart; with no gap, while the program
    is stopped, so that they all arrive before it runs on."""
    if gap == 0:
        child.kill(signal.SIGSTOP)
    for n, signum in enumerate(signals):
        if n:
            time.sleep(gap)
        child.kill(signum)
    if gap == 0:
        child.kill(signal.SIGCONT)


# A launcher stopping its workers may send several signals at once.
@pytest.mark.parametrize(
    "signals, gap, ends_by",
    [((signal.SIGINT, signal.SIGTERM), 0, signal.SIGTERM),
     ((signal.SIGINT, signal.SIGTERM), 0.002, signal.SIGTERM),
     ((signal.SIGTERM, signal.SIGINT), 0.002, signal.SIGTERM),
     ((signal.SIGHUP,), 0, signal.SIGHUP),
     ((signal.SIGHUP, signal.SIGINT), 0, signal.SIGHUP),
     ((signal.SIGINT, signal.SIGHUP), 0.002, signal.SIGHUP)],
    ids=["int-term-together", "int-term-2ms", "term-int-2ms", "hup", "hup-int-together", "int-hup-2ms"],
)
def test_signals_in_a_row_give_the_terminal_back_then_end_by_the_termination(
        watched, tmp_path, signals, gap, ends_by):
    send(watched.child, signals, gap)
    assert watched.finish() is None
    assert watched.signalstatus == ends_by
    watched.assert_terminal_restored()
    assert "Traceback" not in watched.output
    assert (tmp_path / "stderr.txt").read_text() == ""
    assert sorted(p.name for p in tmp_path.iterdir()) == ["runner.py", "stderr.txt"]


def test_a_terminal_closed_under_it_ends_it_by_sighup_quietly(watched, tmp_path):
    assert watched.hang_up() == signal.SIGHUP
    assert (tmp_path / "stderr.txt").read_text() == ""
