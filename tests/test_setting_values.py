import json
import math

import pytest
import torch

from zylora import globals_zylora as GZL
from zylora import zylsetup

from conftest import OwnText


def use_descriptions(tmp_path, monkeypatch, buckets):
    monkeypatch.setattr(zylsetup, "__file__", str(tmp_path / "zylsetup.so"))
    (tmp_path / zylsetup.DESCRIPTION_FILE_NAME).write_text(json.dumps({"buckets": buckets}))
    zylsetup.DESCRIPTION_CACHE = None


def custom_function(x):
    return x


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, "None"),
        (True, "True"),
        (0.5, "0.5"),
        ([1, 2], "[1, 2]"),
        ("x" * 140, "x" * 140),
        ("y" * 141, "y" * 137 + "..."),
        ("é" * 141, "é" * 137 + "..."),
        (custom_function, GZL.callable_config_repr(custom_function)),
    ],
    ids=["none", "bool", "float", "list", "140-chars", "141-chars", "non-ascii-cut", "function"],
)
def test_format_setting_value(value, expected):
    assert zylsetup.format_setting_value(value) == expected


def test_format_callable_is_cut_too(monkeypatch):
    monkeypatch.setattr(GZL, "callable_config_repr", lambda value: "f" * 200)
    assert zylsetup.format_setting_value(value=len) == "f" * 137 + "..."


def test_values_are_shown_in_their_ordinary_text_form():
    assert zylsetup.format_setting_value(OwnText("v")) == "<v>"
    assert zylsetup.format_setting_value(OwnText("a" * 139)) == "<" + "a" * 136 + "..."
    assert zylsetup.format_run_setting_value("switch_mode", OwnText("x")) == "<x>"


NO_LENGTH_CYCLE = """from zylora import zylsetup
NoLength = type("NoLength", (), {"__bool__": lambda s: True, "__len__": lambda s: 0, "__iter__": lambda s: iter(())})
zylsetup.get_enum_options = lambda name: NoLength()
try:
    zylsetup.cycle_enum_setting("switch_mode", 0)
except ZeroDivisionError as error:
    print(error)"""


def test_options_that_report_no_length_cannot_be_cycled():
    """In a child, as the step once divided by that length natively."""
    import subprocess
    import sys

    with pytest.raises(ZeroDivisionError) as expected:
        1 % len(())
    done = subprocess.run([sys.executable, "-c", NO_LENGTH_CYCLE], capture_output=True, text=True, timeout=300)
    assert (done.returncode, done.stdout) == (0, f"{expected.value}\n"), done.stderr[-2000:]


def test_enum_options(fresh_pc):
    assert zylsetup.get_enum_options("switch_mode") == [0, 1, 2, 3]
    fresh_pc.DOING_HISTORY = "history"  # read afresh at each call
    assert zylsetup._switch_mode_values() == [0, "history", 2, 3]
    options = zylsetup.get_enum_options(setting_name="zyl_forward_function")
    assert options == ["relu", "tanh", "sigmoid"]
    options.append("x")
    assert zylsetup.FORWARD_FUNCTION_NAMES == ["relu", "tanh", "sigmoid"]
    assert zylsetup.get_enum_options("dendrite_count") is None


@pytest.mark.parametrize(
    "name, value, expected",
    [
        ("switch_mode", GZL.DOING_HISTORY, "DOING_HISTORY"),
        ("switch_mode", GZL.DOING_NO_SWITCH, "DOING_NO_SWITCH"),
        ("switch_mode", 7, "7"),
        ("switch_mode", "z" * 150, "z" * 150),
        ("zyl_forward_function", torch.relu, "relu"),
        ("zyl_forward_function", torch.sigmoid, "sigmoid"),
        ("zyl_forward_function", custom_function, GZL.callable_config_repr(custom_function)),
        ("zyl_forward_function", "tanh", "tanh"),
        ("dendrite_count", 3, "3"),
    ],
    ids=[
        "switch-history", "switch-last", "switch-unknown", "switch-unknown-not-cut", "relu",
        "sigmoid", "other-function", "name-text", "plain-setting",
    ],
)
def test_format_run_setting_value(name, value, expected):
    assert zylsetup.format_run_setting_value(name, value) == expected


@pytest.mark.parametrize(
    "current, expected",
    [
        (GZL.DOING_SWITCH_EVERY_TIME, GZL.DOING_HISTORY),
        (GZL.DOING_NO_SWITCH, GZL.DOING_SWITCH_EVERY_TIME),
        (99, GZL.DOING_SWITCH_EVERY_TIME),
    ],
    ids=["steps", "wraps", "unknown-to-first"],
)
def test_cycle_switch_mode(fresh_pc, current, expected):
    assert zylsetup.cycle_enum_setting("switch_mode", current) == (True, "")
    assert fresh_pc.get_switch_mode() == expected


@pytest.mark.parametrize(
    "current, expected",
    [(torch.relu, torch.tanh), (torch.sigmoid, torch.relu), (custom_function, torch.relu)],
    ids=["relu-to-tanh", "sigmoid-wraps", "other-to-relu"],
)
def test_cycle_forward_function(fresh_pc, current, expected):
    result = zylsetup.cycle_enum_setting(setting_name="zyl_forward_function", current_value=current)
    assert result == (True, "")
    assert fresh_pc.get_zyl_forward_function() is expected


def test_cycle_forward_function_without_torch(fresh_pc, monkeypatch):
    monkeypatch.setattr(zylsetup, "torch", None)
    zylsetup.cycle_enum_setting("zyl_forward_function", torch.tanh)
    assert fresh_pc.get_zyl_forward_function() == "sigmoid"


def test_cycle_refuses_setting_without_options(fresh_pc):
    assert zylsetup.cycle_enum_setting("dendrite_count", 1) == (
        False, "dendrite_count is not an enum setting.")
    assert fresh_pc.get_dendrite_count() == 1


class Reader:
    def get_broken(self):
        raise RuntimeError("boom")

    get_not_callable = 5

    def method_only(self):
        return 1

    plain = "value"
    get_none = None
    none_fallback = "fallback"


@pytest.mark.parametrize(
    "name, expected",
    [
        ("broken", "<unavailable>"),
        ("not_callable", "<unavailable>"),
        ("method_only", "<unavailable>"),
        ("missing", "<unavailable>"),
        ("plain", "value"),
        ("none", "<unavailable>"),
    ],
    ids=["raising-getter", "getter-not-callable", "method-attribute", "missing", "plain-attribute",
         "getter-none-no-plain"],
)
def test_get_global_setting_value_fallbacks(monkeypatch, name, expected):
    monkeypatch.setattr(GZL, "pc", Reader())
    assert zylsetup.get_global_setting_value(name) == expected


def test_interrupt_in_getter_is_not_swallowed(monkeypatch):
    class Interrupting:
        def get_x(self):
            raise KeyboardInterrupt

    monkeypatch.setattr(GZL, "pc", Interrupting())
    with pytest.raises(KeyboardInterrupt):
        zylsetup.get_global_setting_value("x")


class Writer:
    def __init__(self):
        self.calls = []
        self.plain = 1

    def set_recorded(self, value):
        self.calls.append(value)
        return "ignored"

    def set_failing(self, value):
        self.calls.append(value)
        raise ValueError("bad value")

    set_not_callable = 3

    def method(self):
        return None


def test_apply_setting_value_paths(monkeypatch):
    pc = Writer()
    monkeypatch.setattr(GZL, "pc", pc)
    assert zylsetup.apply_setting_value("recorded", 5) == (True, "")
    assert pc.calls == [5]
    assert zylsetup.apply_setting_value(setting_name="plain", value=[2]) == (True, "")
    assert pc.plain == [2]
    assert zylsetup.apply_setting_value("missing", 1) == (False, "Setting missing is not editable.")
    assert not hasattr(pc, "missing")
    assert zylsetup.apply_setting_value("method", 1) == (False, "Setting method is not editable.")
    with pytest.raises(ValueError, match="bad value"):
        zylsetup.apply_setting_value("failing", 9)
    assert pc.calls == [5, 9]
    with pytest.raises(TypeError):
        zylsetup.apply_setting_value("not_callable", 1)


@pytest.mark.parametrize(
    "text, sample, expected",
    [
        ("  YES ", False, True),
        ("Off", True, False),
        ("1", True, True),
        ("0", False, False),
        (" 12 ", 5, 12),
        ("-1_000", 5, -1000),
        ("3", 0.5, 3.0),
        ("1e-3", 0.5, 0.001),
        (" -inf ", 1.0, -math.inf),
        ("  spaced  ", "text", "  spaced  "),
        (" 4 ", None, " 4 "),
        ("[1, 2]", [0], "[1, 2]"),
    ],
    ids=[
        "bool-yes", "bool-off", "bool-before-int", "bool-zero", "int-stripped", "int-underscore",
        "float-from-int-text", "float-exponent", "float-inf", "text-unchanged", "none-unchanged",
        "list-unchanged",
    ],
)
def test_parse_value_from_text(text, sample, expected):
    result = zylsetup.parse_value_from_text(text, sample)
    assert result == expected and type(result) is type(expected)


def test_parse_float_nan():
    assert math.isnan(zylsetup.parse_value_from_text(text="nan", sample_value=2.5))


@pytest.mark.parametrize(
    "text, sample",
    [("2", True), ("1.5", 5), ("0x10", 5), ("", 7), ("abc", 0.5), ("1,5", 0.5)],
    ids=["bool-two", "int-from-float-text", "int-hex", "int-empty", "float-word", "float-comma"],
)
def test_parse_errors_are_the_interpreters(text, sample):
    if type(sample) is bool:
        expected = "Expected boolean value (true/false)."
    else:
        convert = int if isinstance(sample, int) else float
        with pytest.raises(ValueError) as builtin_error:
            convert(text.strip(), 10) if convert is int else convert(text.strip())
        expected = str(builtin_error.value)
    with pytest.raises(ValueError) as error:
        zylsetup.parse_value_from_text(text, sample)
    assert str(error.value) == expected


def test_get_all_global_parameters(tmp_path, monkeypatch, fresh_pc):
    use_descriptions(tmp_path, monkeypatch, {
        "A": {"settings": {"dendrite_count": "d", "config_file": "c", "broken": "b"}},
        "Text": "no settings",
        "B": {"settings": {"verbose": "v", "dendrite_count": "again"}},
    })
    fresh_pc.set_dendrite_count(2)
    values = zylsetup.get_all_global_parameters()
    assert values == {"dendrite_count": 2, "broken": "<unavailable>", "verbose": False}
    assert list(values) == ["dendrite_count", "broken", "verbose"]
