"""Keys of the Run settings panel, driven through the configurator loop."""

import json

import pytest
import torch

from zylora import globals_zylora as GZL
from zylora import zylsetup

from session_keys import BACKSPACE, DOWN, ENTER, ESC, LEFT, PAGE_DOWN, PAGE_UP, RIGHT, TAB, UP, Session

BUCKETS = {
    "Dendrites": [
        ("dendrite_count", True), ("learn_dendrites_live", True),
        ("input_dimensions", False), ("candidate_weight_init_scale", False),
    ],
    "Switching": [("switch_mode", True), ("zyl_forward_function", True)],
    "Misc": [("device", False), ("flag_only", False), ("missing_setting", False), ("verbose", False)],
}
# With every bucket expanded the rows are:
#  0 Dendrites  1 dendrite_count  2 learn_dendrites_live  3 divider  4 input_dimensions
#  5 candidate_weight_init_scale  6 Switching  7 switch_mode  8 zyl_forward_function
#  9 Misc  10 device  11 flag_only  12 missing_setting  13 verbose
EXPAND_ALL = [DOWN, DOWN, RIGHT, UP, ENTER, UP, ENTER]


def description_data():
    data = {
        "buckets": {}, "bucket_order": [], "settings": {}, "setting_labels": {},
        "setting_to_bucket": {}, "settings_by_bucket": {},
    }
    for bucket, settings in BUCKETS.items():
        data["buckets"][bucket] = "About " + bucket + "."
        data["bucket_order"].append(bucket)
        data["settings_by_bucket"][bucket] = [name for name, _ in settings]
        for name, impactful in settings:
            data["settings"][name] = "What " + name + " does."
            data["setting_labels"][name] = zylsetup.LABEL_IMPACTFUL if impactful else zylsetup.LABEL_SUPPORTING
            data["setting_to_bucket"][name] = bucket
    return data


@pytest.fixture
def session(monkeypatch, capsys, tmp_path, example_net):
    zylsetup.DESCRIPTION_CACHE = description_data()
    monkeypatch.setattr(GZL.pc, "get_flag_only", lambda: True, raising=False)
    return Session(monkeypatch, capsys, tmp_path, example_net)


def run(session, keys):
    """Switch to the Run settings panel and press `keys`; frame n is the screen after n of them."""
    session.run([TAB] + keys)
    return [session.screen(after=n + 1) for n in range(len(keys) + 1)]


def highlighted_rows(frame):
    return [line for line in frame.split("\n") if line.startswith("> ")]


@pytest.mark.parametrize(
    "keys, row",
    [
        ([], "\u25b8 Dendrites"),
        (EXPAND_ALL, "\u25be Dendrites"),
        ([UP], "\u25b8 Dendrites"),
        (EXPAND_ALL + [DOWN, DOWN, DOWN], "  input_dimensions = "),
        (EXPAND_ALL + [DOWN, DOWN, DOWN, UP], "  learn_dendrites_live = "),
        (EXPAND_ALL + ["j", "j", "j", "k"], "  learn_dendrites_live = "),
        (EXPAND_ALL + [PAGE_DOWN], "  device = "),
        (EXPAND_ALL + [PAGE_DOWN, PAGE_DOWN, DOWN], "  verbose = "),
        (EXPAND_ALL + [PAGE_DOWN, PAGE_UP, PAGE_UP], "\u25be Dendrites"),
    ],
    ids=["start", "expanded", "up-clamps", "down-skips-divider", "up-skips-divider", "j-k",
         "page-down", "down-clamps", "page-up-clamps"],
)
def test_moves(session, keys, row):
    [line] = highlighted_rows(run(session, keys)[-1])
    assert row in line


def test_page_keys_land_on_a_divider_where_enter_and_right_do_nothing_and_left_collapses(session):
    frames = run(session, EXPAND_ALL + [PAGE_DOWN, PAGE_DOWN, PAGE_UP, "h", ENTER, RIGHT, LEFT])
    frame = frames[-2]
    assert highlighted_rows(frame) == [] and "\u2500 rarely changed \u2500" in frame
    assert "What " not in frame, "h on a divider shows no description"
    frame = frames[-1]
    [line] = highlighted_rows(frame)
    assert "\u25b8 Dendrites" in line and "dendrite_count" not in frame


@pytest.mark.parametrize(
    "keys, expanded, row",
    [
        ([RIGHT], True, "Dendrites"),
        ([RIGHT, RIGHT], True, "Dendrites"),
        ([RIGHT, LEFT], False, "Dendrites"),
        ([LEFT], False, "Dendrites"),
        ([RIGHT, DOWN, RIGHT], True, "dendrite_count"),
        ([RIGHT, ENTER], False, "Dendrites"),
        (EXPAND_ALL + [PAGE_DOWN, UP, UP, LEFT], True, "\u25b8 Switching"),
        (EXPAND_ALL + [DOWN, DOWN, DOWN, DOWN, LEFT], False, "Dendrites"),
    ],
    ids=["right", "right-twice", "right-left", "left-collapsed", "right-on-setting",
         "enter-collapses", "left-from-setting-to-its-bucket", "left-from-supporting-setting"],
)
def test_buckets_open_and_close(session, keys, expanded, row):
    frame = run(session, keys)[-1]
    assert ("dendrite_count = " in frame) is expanded
    [line] = highlighted_rows(frame)
    assert row in line


@pytest.mark.parametrize(
    "keys, described",
    [
        ([RIGHT, DOWN, "h"], True),
        ([RIGHT, DOWN, "h", "h"], False),
        ([RIGHT, DOWN, "h", DOWN], True),
        ([RIGHT, "h"], False),
        ([RIGHT, DOWN, "h", DOWN, ENTER], False),
        ([RIGHT, DOWN, "h", TAB, TAB], False),
    ],
    ids=["h", "h-twice", "survives-moves", "bucket-row", "enter-hides", "tab-hides"],
)
def test_h_toggles_the_description(session, keys, described):
    frame = run(session, keys)[-1]
    assert ("dendrite_count \u2014 What dendrite_count does." in frame) is described


@pytest.mark.parametrize(
    "keys, getter, value",
    [
        ([RIGHT, DOWN, DOWN, ENTER], "get_learn_dendrites_live", True),
        ([RIGHT, DOWN, DOWN, ENTER, ENTER], "get_learn_dendrites_live", False),
        (EXPAND_ALL + [PAGE_DOWN, UP, UP, UP, ENTER], "get_switch_mode", GZL.DOING_FIXED_SWITCH),
        (EXPAND_ALL + [PAGE_DOWN, UP, UP, UP, ENTER, ENTER, ENTER], "get_switch_mode", GZL.DOING_SWITCH_EVERY_TIME),
        (EXPAND_ALL + [PAGE_DOWN, UP, UP, ENTER], "get_zyl_forward_function", torch.relu),
        (EXPAND_ALL + [PAGE_DOWN, PAGE_DOWN, ENTER], "get_verbose", True),
    ],
    ids=["bool-flips", "bool-flips-back", "enum-cycles", "enum-wraps", "forward-wraps", "last-row-bool"],
)
def test_enter_changes_booleans_and_enums_at_once(session, keys, getter, value):
    frame = run(session, keys)[-1]
    assert getattr(GZL.pc, getter)() == value
    assert highlighted_rows(frame), "no status line, the panel is drawn again"


@pytest.mark.parametrize(
    "keys, message",
    [
        (EXPAND_ALL + [PAGE_DOWN, ENTER], "device cannot be edited from this screen."),
        (EXPAND_ALL + [PAGE_DOWN, DOWN, DOWN, ENTER], "missing_setting cannot be edited from this screen."),
        (EXPAND_ALL + [PAGE_DOWN, DOWN, ENTER], "Setting flag_only is not editable."),
    ],
    ids=["text", "unavailable", "refused-boolean"],
)
def test_enter_messages(session, keys, message):
    frame = run(session, keys)[-1]
    assert frame.rstrip("\n").split("\n")[-1] == "  " + message


def test_enter_on_an_int_opens_the_scalar_editor_which_writes_run_wide(session):
    frames = run(session, [RIGHT, DOWN, ENTER, "2", ENTER])
    assert "Edit dendrite_count" in frames[3] and "  1 " in frames[3]
    assert "  12 " in frames[4]
    assert highlighted_rows(frames[5]) and "Edit" not in frames[5]
    assert GZL.pc.get_dendrite_count() == 12


def test_scalar_editor_with_a_bad_number_writes_nothing_and_says_why(session):
    frame = run(session, [RIGHT, DOWN, DOWN, DOWN, DOWN, ENTER, "x", ENTER])[-1]
    assert frame.rstrip("\n").split("\n")[-1] == (
        "  Invalid value for candidate_weight_init_scale: could not convert string to float: '0.01x'"
    )
    assert GZL.pc.get_candidate_weight_init_scale() == 0.01


def test_enter_on_a_list_opens_the_list_editor(session):
    frames = run(session, [RIGHT, DOWN, DOWN, DOWN, ENTER, BACKSPACE, RIGHT, RIGHT, RIGHT, RIGHT, ENTER])
    assert "Edit input_dimensions" in frames[5]
    assert "  0 | -1 | -1 | Add new entry | Save list and return" in frames[6]
    assert highlighted_rows(frames[-1]) and GZL.pc.get_input_dimensions() == [0, -1, -1]


def test_esc_leaves_the_list_editor_without_writing(session):
    run(session, [RIGHT, DOWN, DOWN, DOWN, ENTER, BACKSPACE, ESC])
    assert GZL.pc.get_input_dimensions() == [-1, 0, -1, -1]


def test_keys_on_an_empty_panel_do_nothing(session):
    zylsetup.DESCRIPTION_CACHE = description_data() | {"bucket_order": []}
    frames = run(session, [DOWN, RIGHT, ENTER, "h", LEFT])
    assert all(highlighted_rows(frame) == [] for frame in frames)


# --- values the run configuration refuses ---------------------------------------------

DENDRITE_COUNT_TO_MINUS_ONE = [RIGHT, DOWN, ENTER, BACKSPACE, "-", "1", ENTER]


def test_a_refused_number_is_reported_and_editing_goes_on_to_a_save(session, tmp_path):
    keys = ["p", TAB] + DENDRITE_COUNT_TO_MINUS_ONE + [DOWN, ENTER]
    session.run(keys, finish="save")
    refused = session.screen(after=len(keys) - 2)
    assert session.last_line(refused) == "  Invalid value for dendrite_count: dendrite_count must be >= 0"
    assert "Edit dendrite_count" not in refused and "dendrite_count = 1" in session.highlighted(refused)
    assert "Invalid value" not in session.screen(after=len(keys))
    saved = json.loads((tmp_path / "ZYL" / "ZYL_config.json").read_text())
    assert saved["module_ids_to_zylate"] == [".embed"]
    assert saved["dendrite_count"] == 1 and saved["learn_dendrites_live"] is True


def refuse(message):
    def setter(value):
        raise ValueError(message)
    return setter


@pytest.mark.parametrize(
    "setter, keys, name",
    [
        ("set_learn_dendrites_live", [RIGHT, DOWN, DOWN, ENTER], "learn_dendrites_live"),
        ("set_switch_mode", EXPAND_ALL + [PAGE_DOWN, UP, UP, UP, ENTER], "switch_mode"),
        ("set_zyl_forward_function", EXPAND_ALL + [PAGE_DOWN, UP, UP, ENTER], "zyl_forward_function"),
        ("set_input_dimensions", [RIGHT, DOWN, DOWN, DOWN, ENTER, BACKSPACE] + [RIGHT] * 4 + [ENTER],
         "input_dimensions"),
    ],
    ids=["boolean", "enum", "forward-function", "list-save"],
)
def test_a_refused_toggle_step_or_list_is_reported_under_the_panel(session, monkeypatch, setter, keys, name):
    getter = getattr(GZL.pc, "get_" + name)
    before = getter()
    monkeypatch.setattr(GZL.pc, setter, refuse("locked for this run"))
    frames = run(session, keys + [UP])
    assert session.last_line(frames[-2]) == "  Invalid value for " + name + ": locked for this run"
    assert highlighted_rows(frames[-2]) and getter() == before
    assert "Invalid value" not in frames[-1]


@pytest.mark.parametrize("exc, code", [(KeyboardInterrupt(), 0), (SystemExit(3), 3)], ids=["interrupt", "exit"])
def test_interrupts_and_exits_of_a_setter_keep_their_ways_out(session, monkeypatch, capsys, exc, code):
    def setter(value):
        raise exc

    monkeypatch.setattr(GZL.pc, "set_learn_dendrites_live", setter)
    session._keys = iter([TAB, RIGHT, DOWN, DOWN, ENTER])
    with pytest.raises(SystemExit) as raised:
        zylsetup.set_zylation_targets(session.model)
    assert raised.value.code == code
    assert ("Configuration cancelled" in capsys.readouterr().out) is (code == 0)
