"""The scalar and list editors as state machines, and the editor frame."""

import pytest

from zylora import globals_zylora as GZL
from zylora import zylsetup

from keys import BACKSPACE, DELETE, ENTER, ESC, LEFT, RIGHT
INV = "\x1b[7m{}\x1b[0m".format
CURSOR_END = INV(" ")


def feed(handler, state, keys, overrides=None):
    overrides = {} if overrides is None else overrides
    return [handler(state, key, overrides) for key in keys]


@pytest.fixture
def wide_terminal(monkeypatch):
    monkeypatch.setenv("COLUMNS", "120")
    monkeypatch.setenv("LINES", "40")


def scalar(value=12, name="dendrite_count", scope_key=None):
    return zylsetup._new_scalar_editor(name, value, scope_key=scope_key)


def list_editor(value, name="input_dimensions", scope_key=None):
    return zylsetup._new_list_editor(name, value, scope_key=scope_key)


# --- creating the editors ------------------------------------------------------


@pytest.mark.parametrize(
    "value, text",
    [(12, "12"), (0.5, "0.5"), ("abc", "abc"), (True, "True")],
    ids=["int", "float", "text", "bool"],
)
def test_new_scalar_editor_starts_with_the_value_and_the_cursor_at_its_end(value, text):
    state = zylsetup._new_scalar_editor(setting_name="s", value=value, scope_key="Linear")
    assert list(state.items()) == [
        ("kind", "scalar"),
        ("setting_name", "s"),
        ("sample_value", value),
        ("input_buffer", text),
        ("cursor_index", len(text)),
        ("scope_key", "Linear"),
    ]


@pytest.mark.parametrize(
    "value, sample", [([3, 4], 3), ([], None), (("a",), "a")], ids=["ints", "empty", "tuple"]
)
def test_new_list_editor_copies_the_value(value, sample):
    state = list_editor(value)
    assert list(state) == [
        "kind", "setting_name", "values", "selected_index", "sample_type",
        "typing_active", "edit_index", "input_buffer", "cursor_index", "scope_key",
        "entry_error",
    ]
    assert state["values"] == list(value) and state["values"] is not value
    assert (state["kind"], state["selected_index"], state["sample_type"]) == ("list", 0, sample)
    assert (state["typing_active"], state["edit_index"], state["input_buffer"], state["cursor_index"]) == (
        False, None, "", 0,
    )
    assert state["scope_key"] is None and state["entry_error"] == ""


# --- scalar editor: editing the buffer -------------------------------------------


@pytest.mark.parametrize(
    "keys, buffer, cursor",
    [
        ([LEFT, LEFT, LEFT], "12", 0),
        ([RIGHT], "12", 2),
        ([LEFT, "\x1b[1;5C"], "12", 2),
        ([BACKSPACE, BACKSPACE, BACKSPACE], "", 0),
        ([LEFT, LEFT, BACKSPACE], "12", 0),
        ([LEFT, BACKSPACE], "2", 0),
        ([DELETE], "12", 2),
        ([LEFT, LEFT, DELETE], "2", 0),
        ([LEFT, "\x1b[3;5~"], "1", 1),
        ([LEFT, "5"], "152", 2),
        ([LEFT, LEFT, "-"], "-12", 1),
        ([" "], "12 ", 3),
        (["\x1b[15~", "\x1bx", "\x01", "\t", ""], "12", 2),
        (["ab"], "12", 2),
    ],
    ids=[
        "left-clamps-at-0", "right-clamps-at-end", "modified-arrow", "backspace-to-empty",
        "backspace-at-start", "backspace-middle", "delete-at-end", "delete-at-start",
        "modified-delete", "insert-middle", "insert-front", "space-inserted",
        "sequences-and-controls-ignored", "multi-char-not-inserted",
    ],
)
def test_scalar_editing_keys(keys, buffer, cursor):
    state = scalar(12)
    assert feed(zylsetup._handle_scalar_editor, state, keys) == [(False, "")] * len(keys)
    assert (state["input_buffer"], state["cursor_index"]) == (buffer, cursor)


def test_scalar_esc_closes_without_writing():
    state = scalar(1)
    assert feed(zylsetup._handle_scalar_editor, state, ["7", ESC]) == [(False, ""), (True, "")]
    assert GZL.pc.get_dendrite_count() == 1


def test_scalar_enter_writes_the_run_setting_with_the_value_type():
    state = scalar(GZL.pc.get_dendrite_count())
    assert feed(zylsetup._handle_scalar_editor, state, ["3", ENTER])[-1] == (True, "")
    assert GZL.pc.get_dendrite_count() == 13 and type(GZL.pc.get_dendrite_count()) is int


def test_scalar_enter_in_a_scope_records_a_pending_override_only():
    overrides = {"Linear": {"improvement_threshold": 0.5}}
    state = scalar(0.0001, name="improvement_threshold", scope_key="Linear")
    keys = [BACKSPACE] * 6 + ["0", ".", "2", ENTER]
    assert feed(zylsetup._handle_scalar_editor, state, keys, overrides)[-1] == (True, "")
    assert overrides == {"Linear": {"improvement_threshold": 0.2}}
    assert GZL.pc.get_improvement_threshold() == 0.0001


def test_scalar_enter_with_a_bad_number_closes_with_the_message_and_writes_nothing():
    overrides = {}
    state = scalar(0.01, name="candidate_weight_init_scale")
    done, message = feed(zylsetup._handle_scalar_editor, state, ["x", ENTER], overrides)[-1]
    assert done is True
    assert message == "Invalid value for candidate_weight_init_scale: could not convert string to float: '0.01x'"
    assert GZL.pc.get_candidate_weight_init_scale() == 0.01 and overrides == {}


def test_scalar_enter_on_a_setting_without_accessor_returns_the_refusal():
    state = scalar(5, name="no_such_setting")
    assert feed(zylsetup._handle_scalar_editor, state, [ENTER]) == [
        (True, "Setting no_such_setting is not editable.")
    ]


def refusing(exc, writes=None):
    """A writer that records what it was given, then raises `exc`."""
    def write(*args):
        if writes is not None:
            writes.append(args[-1])
        raise exc
    return write


def test_scalar_enter_refused_by_the_setter_closes_with_the_message():
    state = scalar(1)
    feed(zylsetup._handle_scalar_editor, state, [BACKSPACE, "-", "1"])
    assert zylsetup._handle_scalar_editor(state, ENTER, {}) == (
        True, "Invalid value for dendrite_count: dendrite_count must be >= 0",
    )
    assert GZL.pc.get_dendrite_count() == 1


def test_scalar_enter_keeps_what_the_setter_did_before_refusing(monkeypatch):
    def half_done(value):
        GZL.pc._dendrite_count = value
        raise RuntimeError("stored, then gave up")

    monkeypatch.setattr(GZL.pc, "set_dendrite_count", half_done)
    assert feed(zylsetup._handle_scalar_editor, scalar(1), ["4", ENTER])[-1] == (
        True, "Invalid value for dendrite_count: stored, then gave up",
    )
    assert GZL.pc.get_dendrite_count() == 14


def test_scalar_enter_refused_by_the_override_writer_keeps_the_pending_overrides(monkeypatch):
    overrides = {".embed": {"improvement_threshold": 0.5}}
    writes = []
    monkeypatch.setattr(zylsetup, "set_module_scoped_value", refusing(TypeError("not here"), writes))
    state = scalar(3, scope_key=".embed")
    assert feed(zylsetup._handle_scalar_editor, state, ["0", ENTER], overrides)[-1] == (
        True, "Invalid value for dendrite_count: not here",
    )
    assert writes == [30] and overrides == {".embed": {"improvement_threshold": 0.5}}


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


def test_a_refusal_without_text_goes_by_its_class_name(monkeypatch):
    monkeypatch.setattr(GZL.pc, "set_dendrite_count", refusing(Unprintable()))
    assert feed(zylsetup._handle_scalar_editor, scalar(1), [ENTER])[-1] == (
        True, "Invalid value for dendrite_count: Unprintable",
    )


@pytest.mark.parametrize("scope_key", [None, ".embed"], ids=["run-wide", "override"])
@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3)], ids=["interrupt", "exit"])
@pytest.mark.parametrize("editor", ["scalar", "list"])
def test_interrupts_and_exits_of_the_write_pass_through(monkeypatch, editor, exc, scope_key):
    monkeypatch.setattr(GZL.pc, "set_dendrite_count", refusing(exc))
    monkeypatch.setattr(GZL.pc, "set_input_dimensions", refusing(exc))
    monkeypatch.setattr(zylsetup, "set_module_scoped_value", refusing(exc))
    if editor == "scalar":
        state, handler, keys = scalar(1, scope_key=scope_key), zylsetup._handle_scalar_editor, [ENTER]
    else:
        state = list_editor([1], scope_key=scope_key)
        handler, keys = zylsetup._handle_list_editor, [RIGHT, RIGHT, ENTER]
    feed(handler, state, keys[:-1])
    with pytest.raises(type(exc)) as raised:
        handler(state, keys[-1], {})
    assert raised.value is exc


def test_scalar_interrupt_while_parsing_passes_through(monkeypatch):
    def interrupted(text, sample_value):
        raise KeyboardInterrupt

    monkeypatch.setattr(zylsetup, "parse_value_from_text", interrupted)
    with pytest.raises(KeyboardInterrupt):
        zylsetup._handle_scalar_editor(scalar(1), ENTER, {})


# --- list editor ---------------------------------------------------------------


@pytest.mark.parametrize(
    "values, changes, line",
    [
        ([1, 2], {}, INV("1") + " | 2 | Add new entry | Save list and return"),
        ([], {}, INV("Add new entry") + " | Save list and return"),
        ([1, 2], {"selected_index": 3}, "1 | 2 | Add new entry | " + INV("Save list and return")),
        (
            [1, 2],
            {"typing_active": True, "edit_index": 1, "input_buffer": "2x", "cursor_index": 0},
            "1 | " + INV("2") + "x | Add new entry | Save list and return",
        ),
        (
            [1, 2],
            {"selected_index": 2, "typing_active": True, "edit_index": 2, "input_buffer": "", "cursor_index": 0},
            "1 | 2 | " + CURSOR_END + " | Save list and return",
        ),
    ],
    ids=["first-selected", "empty-list", "save-selected", "typing-over-value", "typing-new-entry"],
)
def test_format_list_editor_line(values, changes, line):
    state = list_editor(values)
    state.update(changes)
    assert zylsetup._format_list_editor_line(state) == line


@pytest.mark.parametrize(
    "values, keys, selected",
    [
        ([1, 2], [LEFT], 0),
        ([1, 2], [RIGHT, RIGHT, RIGHT], 3),
        ([1, 2], [RIGHT] * 9, 3),
        ([1, 2], [RIGHT] * 3 + [LEFT], 2),
        ([], [RIGHT, RIGHT], 1),
    ],
    ids=["left-clamps", "right-to-save", "right-clamps-at-save", "back-from-save", "empty-list"],
)
def test_list_navigation_clamps(values, keys, selected):
    state = list_editor(values)
    assert feed(zylsetup._handle_list_editor, state, keys) == [(False, "")] * len(keys)
    assert state["selected_index"] == selected and state["values"] == values


def test_list_edit_a_value_in_place_parses_to_its_type():
    state = list_editor([1, 2])
    feed(zylsetup._handle_list_editor, state, [RIGHT, ENTER])
    assert (state["typing_active"], state["edit_index"], state["input_buffer"], state["cursor_index"]) == (
        True, 1, "2", 1,
    )
    # While typing, left and right move the cursor, not the highlight.
    feed(zylsetup._handle_list_editor, state, [LEFT, "7", RIGHT, BACKSPACE, "0"])
    assert state["input_buffer"] == "70"
    assert feed(zylsetup._handle_list_editor, state, [ENTER]) == [(False, "")]
    assert state["values"] == [1, 70] and type(state["values"][1]) is int
    assert (state["selected_index"], state["typing_active"], state["edit_index"]) == (1, False, None)
    assert (state["input_buffer"], state["cursor_index"]) == ("", 0)


def test_list_append_to_an_empty_list_keeps_the_text():
    state = list_editor([])
    feed(zylsetup._handle_list_editor, state, [" ", "5", " ", ENTER])
    assert state["values"] == ["5 "] and state["selected_index"] == 0


def test_list_append_parses_to_the_first_value_type():
    state = list_editor([1.5])
    feed(zylsetup._handle_list_editor, state, [RIGHT, ENTER, "2", ENTER])
    assert state["values"] == [1.5, 2.0] and type(state["values"][1]) is float
    assert state["selected_index"] == 1


def test_list_bad_entry_returns_to_navigation_and_shows_the_message_until_the_next_key(capsys, wide_terminal):
    state = list_editor([1, 2])
    feed(zylsetup._handle_list_editor, state, [RIGHT, RIGHT, ENTER, "x"])
    done, message = zylsetup._handle_list_editor(state, ENTER, {})
    assert (done, message) == (False, "Invalid list entry: invalid literal for int() with base 10: 'x'")
    assert state["values"] == [1, 2]
    assert (state["typing_active"], state["edit_index"], state["input_buffer"], state["cursor_index"]) == (
        False, None, "", 1,
    )
    zylsetup._render_editor_frame(state)
    lines = zylsetup.strip_ansi(capsys.readouterr().out).split("\n")
    assert lines[3] == "  " + message
    assert zylsetup._handle_list_editor(state, RIGHT, {}) == (False, "")
    zylsetup._render_editor_frame(state)
    assert message not in capsys.readouterr().out


@pytest.mark.parametrize(
    "values, keys, left, selected",
    [
        ([1, 2, 3], [RIGHT, BACKSPACE], [1, 3], 1),
        ([1, 2, 3], [DELETE], [2, 3], 0),
        ([7], [DELETE], [], 0),
        ([1, 2], [RIGHT, BACKSPACE, BACKSPACE], [1], 1),
        ([1, 2], [RIGHT, RIGHT, BACKSPACE, DELETE], [1, 2], 2),
        ([1, 2], [RIGHT, RIGHT, RIGHT, DELETE], [1, 2], 3),
    ],
    ids=["middle", "first", "only-value", "last-then-add", "on-add-item", "on-save-item"],
)
def test_list_delete(values, keys, left, selected):
    state = list_editor(values)
    feed(zylsetup._handle_list_editor, state, keys)
    assert state["values"] == left and state["selected_index"] == selected


def test_list_esc_while_typing_then_esc_again_drops_everything():
    state = list_editor([-1, 0])
    keys = [DELETE, ENTER, "9", ESC]
    assert feed(zylsetup._handle_list_editor, state, keys) == [(False, "")] * 4
    assert state["values"] == [0] and state["typing_active"] is False and state["input_buffer"] == ""
    assert zylsetup._handle_list_editor(state, ESC, {}) == (True, "")
    assert GZL.pc.get_input_dimensions() == [-1, 0, -1, -1]


def test_list_save_writes_a_copy_run_wide():
    original = GZL.pc.get_input_dimensions()
    state = zylsetup._new_list_editor("input_dimensions", original, scope_key=None)
    feed(zylsetup._handle_list_editor, state, [DELETE, ENTER, "3", ENTER])
    assert GZL.pc.get_input_dimensions() == [-1, 0, -1, -1], "nothing is written before saving"
    keys = [RIGHT] * 4
    feed(zylsetup._handle_list_editor, state, keys)
    assert zylsetup._handle_list_editor(state, " ", {}) == (True, "")
    assert GZL.pc.get_input_dimensions() == [3, -1, -1]


def test_list_save_in_a_scope_records_a_new_list():
    overrides = {}
    state = list_editor([1, 2], name="sizes", scope_key=".layer1")
    feed(zylsetup._handle_list_editor, state, [RIGHT, RIGHT, ENTER, "3", ENTER, RIGHT, RIGHT], overrides)
    assert zylsetup._handle_list_editor(state, ENTER, overrides) == (True, "")
    assert overrides == {".layer1": {"sizes": [1, 2, 3]}}
    assert overrides[".layer1"]["sizes"] is not state["values"]


def test_list_save_of_an_unchanged_list_still_writes(monkeypatch):
    written = []
    monkeypatch.setattr(GZL.pc, "set_input_dimensions", written.append, raising=False)
    state = list_editor(GZL.pc.get_input_dimensions())
    assert feed(zylsetup._handle_list_editor, state, [RIGHT] * 5 + [ENTER])[-1] == (True, "")
    assert written == [[-1, 0, -1, -1]]


def test_list_save_of_a_setting_without_accessor_returns_the_refusal():
    state = list_editor([])
    state["setting_name"] = "no_such_list"
    assert feed(zylsetup._handle_list_editor, state, [RIGHT, ENTER])[-1] == (
        True, "Setting no_such_list is not editable.",
    )


@pytest.mark.parametrize("scope_key", [None, ".embed"], ids=["run-wide", "override"])
def test_list_save_refused_closes_with_the_message(monkeypatch, scope_key):
    writes = []
    monkeypatch.setattr(GZL.pc, "set_input_dimensions", refusing(ValueError("need 4 entries"), writes))
    monkeypatch.setattr(zylsetup, "set_module_scoped_value", refusing(ValueError("need 4 entries"), writes))
    overrides = {"Linear": {"dendrite_count": 2}}
    state = list_editor([-1, 0], scope_key=scope_key)
    keys = [DELETE, RIGHT, RIGHT, ENTER]
    results = feed(zylsetup._handle_list_editor, state, keys, overrides)
    assert results[-1] == (True, "Invalid value for input_dimensions: need 4 entries")
    assert writes == [[0]]
    assert overrides == {"Linear": {"dendrite_count": 2}}
    assert GZL.pc.get_input_dimensions() == [-1, 0, -1, -1]


# --- frames ----------------------------------------------------------------------


def test_scalar_frame(capsys, wide_terminal):
    zylsetup._render_editor_frame(scalar(12))
    assert capsys.readouterr().out == (
        "\x1b[2J\x1b[H"
        "  \x1b[38;2;232;238;236mEdit dendrite_count\x1b[0m\n"
        "\n"
        "  12" + CURSOR_END + "\n"
        "\n"
        "\x1b[90m  Enter save \u00b7 Esc cancel\x1b[0m\n"
    )


def test_list_frame(capsys, wide_terminal):
    zylsetup._render_editor_frame(list_editor([4]))
    assert capsys.readouterr().out == (
        "\x1b[2J\x1b[H"
        "  \x1b[38;2;232;238;236mEdit input_dimensions\x1b[0m\n"
        "\n"
        "  " + INV("4") + " | Add new entry | Save list and return\n"
        "\n"
        "\x1b[90m  \u2190/\u2192 move \u00b7 Enter edit/select \u00b7 Backspace/Delete remove \u00b7 Esc cancel\x1b[0m\n"
    )
