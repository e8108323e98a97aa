"""The panel keys and editors from a real terminal: `python -m zylora` in a pty."""

import json
import re

from keys import BACKSPACE, DOWN, ENTER, PAGE_UP, RIGHT, TAB
from pty_session import session  # noqa: F401  (a fixture)


def test_configure_and_save_from_a_terminal(session, tmp_path):
    term = session  # noqa: F811
    term.wait_for(".embed", "Zylation budget:")
    # Targets panel: zylate the embedding by id, track every Linear by type.
    assert "> " in term.highlighted() and ".embed" in term.highlighted()
    term.type_keys("p")
    assert "mode=zylate" in term.highlighted()
    term.down_until(r"\.encoder\.0\.mlp\.0 .*\[Linear\]")
    term.type_keys("T")
    assert "mode=track" in term.highlighted()

    # An override for the zylated embedding, edited in the scalar editor.
    term.type_keys(*[PAGE_UP] * 5)
    assert ".embed" in term.highlighted()
    term.type_keys(ENTER)
    assert "Overrides \u2014 .embed" in term.text()
    term.type_keys(ENTER)
    assert "Edit dendrite_count" in term.text()
    term.type_keys(BACKSPACE, "3", ENTER, "\x1b")
    assert "Overrides" not in term.text()

    # Run settings: open every bucket, flip a boolean, edit an integer.
    term.type_keys(TAB)
    assert "Run settings" in term.text()
    for _ in range(40):
        if not any("\u25b8 " in line for line in term.lines()):
            break
        term.down_until("\u25b8 ")
        term.type_keys(RIGHT)
    row = term.down_until(r"= (True|False)  \(Enter toggles\)")
    flipped_name, old = re.search(r"> +(\w+) = (True|False)", row).groups()
    term.type_keys(ENTER)
    assert "%s = %s" % (flipped_name, old == "False") in term.highlighted()

    term.type_keys(*[PAGE_UP] * 8)
    row = term.down_until(r"= \d+$")
    int_name, old_int = re.search(r"> +(\w+) = (\d+)$", row).groups()
    term.type_keys(ENTER)
    assert "Edit " + int_name in term.text()
    term.type_keys("7", ENTER)
    new_int = int(old_int + "7")
    assert "%s = %d" % (int_name, new_int) in term.highlighted()

    # Save: some modules still have no mode, so the second option starts anyway.
    term.type_keys("s")
    assert "Start anyway" in term.text()
    term.type_keys(DOWN, ENTER)
    assert term.finish() == 0
    out = term.output
    assert "Module ids to zylate:   ['.embed']" in out
    assert "Module types to track:  ['Linear']" in out

    with open(tmp_path / "ZYL" / "ZYL_config.json", encoding="utf-8") as handle:
        saved = json.load(handle)
    assert saved["module_ids_to_zylate"] == [".embed"]
    assert saved["module_names_to_track"] == ["Linear"]
    assert saved[flipped_name] is (old == "False")
    assert saved[int_name] == new_int
    assert saved["module_settings"] == {".embed": {"dendrite_count": 3}}


def test_a_refused_value_is_reported_and_the_session_goes_on(session, tmp_path):
    term = session  # noqa: F811
    term.wait_for(".embed", "Zylation budget:")
    term.type_keys("p")
    assert "mode=zylate" in term.highlighted()
    term.type_keys(TAB, RIGHT)
    row = term.down_until(r"dendrite_count = \d+")
    old_count = int(re.search(r"dendrite_count = (\d+)", row).group(1))
    term.type_keys(ENTER)
    assert "Edit dendrite_count" in term.text()
    term.type_keys(*[BACKSPACE] * len(str(old_count)), "-", "1", ENTER)
    assert term.child.isalive()
    assert "  Invalid value for dendrite_count: dendrite_count must be >= 0" in term.lines()
    assert "dendrite_count = %d" % old_count in term.highlighted()

    term.type_keys("s")
    assert "Start anyway" in term.text()
    term.type_keys(DOWN, ENTER)
    assert term.finish() == 0
    with open(tmp_path / "ZYL" / "ZYL_config.json", encoding="utf-8") as handle:
        saved = json.load(handle)
    assert saved["module_ids_to_zylate"] == [".embed"]
    assert saved["dendrite_count"] == old_count
