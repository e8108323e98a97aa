import random

import pytest

from zylora import zylsetup

ESC = "\x1b"


@pytest.mark.parametrize(
    "value, expected",
    [
        (0, "0"),
        (999, "999"),
        (-5000, "-5000"),
        (-2000000, "-2000000"),
        (1000, "1K"),
        (1049, "1K"),
        (1050, "1.1K"),  # 1.05 is stored just above the tie
        (1150, "1.1K"),  # 1.15 is stored just below the tie
        (1250, "1.2K"),  # exact tie, to even
        (1350, "1.4K"),
        (1500, "1.5K"),
        (12345, "12.3K"),
        (999949, "999.9K"),
        (999950, "1000K"),
        (999999, "1000K"),
        (1000000, "1M"),
        (1250000, "1.2M"),
        (2500000, "2.5M"),
        (999950000, "1000M"),
        (1000000000, "1B"),
        (2500000000, "2.5B"),
        (2500000000000, "2500B"),
        (10**30, "1000000000000000000000B"),
    ],
    ids=str,
)
def test_format_human_count(value, expected):
    assert zylsetup.format_human_count(value) == expected
    assert zylsetup.format_human_count(value=value) == expected


def _python_count(value):
    for bound, unit, suffix in ((10**6, 1e3, "K"), (10**9, 1e6, "M"), (None, 1e9, "B")):
        if bound is None or value < bound:
            text = format(value / unit, ".1f")
            return (text[:-2] if text.endswith(".0") else text) + suffix


def test_format_human_count_rounds_like_the_interpreter():
    rng = random.Random(7)
    values = [rng.randrange(1000, 10**13) for _ in range(3000)]
    # Values whose scaled quotient sits on or next to a .x5 boundary.
    values += [k * 50 + d for k in range(21, 20000, 7) for d in (-1, 0, 1)]
    values += [k * 50000 + d for k in range(20, 20000, 13) for d in (-1, 0, 1)]
    for v in values:
        assert zylsetup.format_human_count(v) == _python_count(v), v


@pytest.mark.parametrize(
    "value, expected",
    [(999.5, "999.5"), (1250.0, "1.2K"), (True, "True"), (2.5e9, "2.5B")],
    ids=["float-small", "float-tie", "bool", "float-billions"],
)
def test_format_human_count_other_numbers(value, expected):
    assert zylsetup.format_human_count(value) == expected


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: zylsetup.dim("x"), ESC + "[90mx" + ESC + "[0m"),
        (lambda: zylsetup._ansi("x", 1), ESC + "[1mx" + ESC + "[0m"),
        (lambda: zylsetup._ansi(text=3.5, code="1;4"), ESC + "[1;4m3.5" + ESC + "[0m"),
        (lambda: zylsetup.dim(None), ESC + "[90mNone" + ESC + "[0m"),
        (lambda: zylsetup.make_inverted_text(" "), ESC + "[7m " + ESC + "[0m"),
        (lambda: zylsetup.make_inverted_text(12), ESC + "[7m12" + ESC + "[0m"),
        (lambda: zylsetup.color_text("x", "00A5A5"), ESC + "[38;2;0;165;165mx" + ESC + "[0m"),
        (lambda: zylsetup.color_text("x", "00a5a5"), ESC + "[38;2;0;165;165mx" + ESC + "[0m"),
        (lambda: zylsetup.color_text("é█\ud800", "0A0B0C"), ESC + "[38;2;10;11;12mé█\ud800" + ESC + "[0m"),
        (lambda: zylsetup.color_text(7, "FD4D00ff"), ESC + "[38;2;253;77;0m7" + ESC + "[0m"),
        (lambda: zylsetup.color_text(text="x", hex_color="+1-1 f"), ESC + "[38;2;1;-1;15mx" + ESC + "[0m"),
        (lambda: zylsetup.make_color_square("D9A441"), ESC + "[38;2;217;164;65m█" + ESC + "[0m"),
    ],
    ids=["dim", "ansi-int-code", "ansi-keywords", "dim-none", "inverted-blank",
         "inverted-int", "color-upper", "color-lower", "color-non-ascii", "color-extra-digits",
         "color-signed-pairs", "color-square"],
)
def test_span_builders(call, expected):
    assert call() == expected


@pytest.mark.parametrize(
    "hex_color, error",
    [("#00A5A5", ValueError), ("00A5", ValueError), ("00G5A5", ValueError), (None, TypeError),
     (0xA5A5A5, TypeError)],
    ids=["leading-hash", "too-short", "not-hex", "none", "number"],
)
def test_color_text_rejects_bad_colours(hex_color, error):
    with pytest.raises(error):
        zylsetup.color_text("x", hex_color)


def test_span_inside_span_leaves_tail_unstyled():
    line = zylsetup.color_text("a" + zylsetup.dim("b") + "c", "FD4D00")
    assert line.split(ESC + "[0m")[1] == "c"
    assert zylsetup.strip_ansi(line) == "abc"


@pytest.mark.parametrize(
    "text, expected",
    [
        ("plain text", "plain text"),
        ("", ""),
        (ESC + "[38;2;0;0;0mab" + ESC + "[0m", "ab"),
        (ESC + "[2Jab", ESC + "[2Jab"),
        (ESC + "[1;38;2;0;0;0mab", "ab"),
        (ESC + "[mab", "ab"),
        ("a" + ESC + "b" + ESC + "[", "a" + ESC + "b" + ESC + "["),
        (ESC + "[12" + ESC + "[0mx", ESC + "[12x"),
        (ESC + ESC + "[0m", ESC),
        ("é" + ESC + "[7m█\ud800" + ESC + "[0m😀", "é█\ud800😀"),
        (ESC + "[1:2m" + ESC + "[Hx", ESC + "[1:2m" + ESC + "[Hx"),
    ],
    ids=["plain", "empty", "colour", "erase-kept", "many-params", "no-params", "lone-esc",
         "broken-then-sgr", "esc-before-sgr", "non-ascii", "other-sequences"],
)
def test_strip_ansi(text, expected):
    assert zylsetup.strip_ansi(text) == expected
    assert zylsetup.strip_ansi(text) == zylsetup.ANSI_ESCAPE_RE.sub("", text)


def test_strip_ansi_matches_the_module_pattern_on_random_text():
    rng = random.Random(3)
    alphabet = [ESC, "[", "m", ";", "0", "9", "a", " ", "é", "█", "😀"]
    for _ in range(3000):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 25)))
        assert zylsetup.strip_ansi(text) == zylsetup.ANSI_ESCAPE_RE.sub("", text), repr(text)


def test_strip_ansi_needs_text():
    with pytest.raises(TypeError):
        zylsetup.strip_ansi(5)


@pytest.mark.parametrize(
    "mode, expected",
    [("zylated", "00A5A5"), ("tracked", "8A95A0"), (None, "000000"), ("", "000000"),
     ("Zylated", "000000")],
    ids=str,
)
def test_get_color_hex_for_mode(mode, expected):
    assert zylsetup.get_color_hex_for_mode(mode) == expected


def test_mode_colour_is_read_from_the_module(monkeypatch):
    monkeypatch.setattr(zylsetup, "COLOR_TRACK", "123456")
    assert zylsetup.get_color_hex_for_mode("tracked") == "123456"


def test_builders_reach_each_other_by_name(monkeypatch):
    monkeypatch.setattr(zylsetup, "_ansi", lambda text, code: f"<{code}|{text}>")
    monkeypatch.setattr(zylsetup, "color_text", lambda text, hex_color: f"[{hex_color}:{text}]")
    assert zylsetup.dim("x") == "<90|x>"
    assert zylsetup.make_color_square("ABCDEF") == "[ABCDEF:█]"
