"""The panel keys and editors from a real terminal: `python -m zylora` in a pty."""

import json
import os
import re
import sys
import time

import pytest

pexpect = pytest.importorskip("pexpect")
pyte = pytest.importorskip("pyte")

COLUMNS, LINES = 120, 40
DOWN, RIGHT, ENTER, TAB, BACKSPACE, PAGE_UP = "\x1b[B", "\x1b[C", "\r", "\t", "\x7f", "\x1b[5~"


class Terminal:
    def __init__(self, cwd):
        env = dict(os.environ, TERM="xterm-256color")
        env.pop("COLUMNS", None)
        env.pop("LINES", None)
        self.child = pexpect.spawn(
            sys.executable, ["-m", "zylora"], cwd=str(cwd), env=env,
            dimensions=(LINES, COLUMNS), encoding=None, timeout=30,
        )
        self.screen = pyte.Screen(COLUMNS, LINES)
        self.stream = pyte.ByteStream(self.screen)
        self.transcript = b""
        self.settle(first=20.0)

    def settle(self, first=5.0, quiet=0.25):
        """Read until the program has been silent for `quiet` seconds."""
        deadline = time.monotonic() + first
        got_any = False
        while True:
            try:
                data = self.child.read_nonblocking(65536, timeout=quiet if got_any else 0.1)
            except pexpect.TIMEOUT:
                if got_any or time.monotonic() > deadline:
                    return
                continue
            except pexpect.EOF:
                return
            got_any = True
            self.transcript += data
            self.stream.feed(data)

    def press(self, *keys):
        for key in keys:
            self.child.send(key.encode("latin-1"))
            self.settle()
        return self

    def lines(self):
        return [line.rstrip() for line in self.screen.display]

    def text(self):
        return "\n".join(self.lines())

    def highlighted(self):
        rows = [line for line in self.lines() if line.startswith("> ")]
        return rows[0] if rows else ""

    def down_until(self, pattern, limit=80):
        for _ in range(limit):
            if re.search(pattern, self.highlighted()):
                return self.highlighted()
            self.press(DOWN)
        raise AssertionError("no row matching %r:\n%s" % (pattern, self.text()))


@pytest.fixture
def term(tmp_path):
    terminal = Terminal(tmp_path)
    yield terminal
    if terminal.child.isalive():
        terminal.child.terminate(force=True)


def test_configure_and_save_from_a_terminal(term, tmp_path):
    # Targets panel: zylate the embedding by id, track every Linear by type.
    assert "> " in term.highlighted() and ".embed" in term.highlighted()
    term.press("p")
    assert "mode=zylate" in term.highlighted()
    term.down_until(r"\.encoder\.0\.mlp\.0 .*\[Linear\]")
    term.press("T")
    assert "mode=track" in term.highlighted()

    # An override for the zylated embedding, edited in the scalar editor.
    term.press(*[PAGE_UP] * 5)
    assert ".embed" in term.highlighted()
    term.press(ENTER)
    assert "Overrides \u2014 .embed" in term.text()
    term.press(ENTER)
    assert "Edit dendrite_count" in term.text()
    term.press(BACKSPACE, "3", ENTER, "\x1b")
    assert "Overrides" not in term.text()

    # Run settings: open every bucket, flip a boolean, edit an integer.
    term.press(TAB)
    assert "Run settings" in term.text()
    for _ in range(40):
        if not any("\u25b8 " in line for line in term.lines()):
            break
        term.down_until("\u25b8 ")
        term.press(RIGHT)
    row = term.down_until(r"= (True|False)  \(Enter toggles\)")
    flipped_name, old = re.search(r"> +(\w+) = (True|False)", row).groups()
    term.press(ENTER)
    assert "%s = %s" % (flipped_name, old == "False") in term.highlighted()

    term.press(*[PAGE_UP] * 8)
    row = term.down_until(r"= \d+$")
    int_name, old_int = re.search(r"> +(\w+) = (\d+)$", row).groups()
    term.press(ENTER)
    assert "Edit " + int_name in term.text()
    term.press("7", ENTER)
    new_int = int(old_int + "7")
    assert "%s = %d" % (int_name, new_int) in term.highlighted()

    # Save: some modules still have no mode, so the second option starts anyway.
    term.press("s")
    assert "Start anyway" in term.text()
    term.press(DOWN, ENTER)
    term.child.expect(pexpect.EOF)
    term.child.close()
    assert term.child.exitstatus == 0
    out = term.transcript.decode("utf-8", "replace")
    assert "Module ids to zylate:   ['.embed']" in out
    assert "Module types to track:  ['Linear']" in out

    with open(tmp_path / "ZYL" / "ZYL_config.json", encoding="utf-8") as handle:
        saved = json.load(handle)
    assert saved["module_ids_to_zylate"] == [".embed"]
    assert saved["module_names_to_track"] == ["Linear"]
    assert saved[flipped_name] is (old == "False")
    assert saved[int_name] == new_int
    assert saved["module_settings"] == {".embed": {"dendrite_count": 3}}
