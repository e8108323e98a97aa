import random
from types import SimpleNamespace

import pytest

from conftest import strip
from zylora import zylsetup

ESC = "\x1b"
RESET = ESC + "[0m"
dim = zylsetup.dim
inv = zylsetup.make_inverted_text


def wrap(line, width):
    return zylsetup.wrap_ansi_line_on_words(line, width)


@pytest.mark.parametrize(
    "lines, width, expected",
    [
        (["", "abc"], 80, 2),
        (["a" * 80], 80, 1),
        (["a" * 81], 80, 2),
        (["a" * 161], 80, 3),
        ([dim("a" * 80)], 80, 1),
        (["é😀" * 40], 80, 1),
        (["a" * 500, "", "b"], 0, 3),
        (["x" * 9], -4, 1),
        ([], 80, 0),
        (["aa bbbbbb cc"], 7, 2),
        (["a" * 10], 2**70, 1),
    ],
    ids=["empty-and-short", "exact-width", "one-over", "three-rows", "escapes-free",
         "wide-chars-one-column", "width-zero", "width-negative", "no-lines", "ignores-words",
         "huge-width"],
)
def test_get_visual_line_count(lines, width, expected):
    assert zylsetup.get_visual_line_count(lines, width) == expected
    assert zylsetup.get_visual_line_count(lines=iter(lines), terminal_columns=width) == expected


def test_visual_line_count_uses_the_module_strip_ansi(monkeypatch):
    monkeypatch.setattr(zylsetup, "strip_ansi", lambda text: text * 3)
    assert zylsetup.get_visual_line_count(["abcd"], 4) == 3


@pytest.mark.parametrize(
    "line, width, rows",
    [
        ("aaa bbb ccc", 8, ["aaa bbb", "ccc"]),
        ("aaa bbb ccc", 7, ["aaa", "bbb ccc"]),
        ("abcdefghij", 4, ["abcd", "efgh", "ij"]),
        ("hello world", 5, ["hello", "world"]),
        ("one two  three", 6, ["one", "two", "three"]),
        ("   abc def", 5, ["abc", "def"]),
        ("   abc", 10, ["   abc"]),
        (" " * 10, 4, [" " * 10]),
        ("abc   ", 4, ["abc"]),
        ("aa bbbbbb cc", 7, ["aa", "bbbbbb", "cc"]),
        ("abcd\tef gh", 4, ["abcd", "\tef", "gh"]),
        ("abc\t\tdefgh", 5, ["abc", "defgh"]),
        ("ab\t\tcdefgh", 5, ["ab\t\tc", "defgh"]),
        ("any line at all", 0, ["any line at all"]),
        ("any line at all", -1, ["any line at all"]),
        ("", 3, [""]),
        ("é😀█ é😀█", 3, ["é😀█", "é😀█"]),
    ],
    ids=["break-at-8", "break-at-7-unexamined-space", "hard-breaks", "exact-words",
         "space-run-skipped", "leading-spaces-dropped", "fits-unchanged", "only-spaces",
         "trailing-spaces", "break-leaves-row-short", "tab-kept-at-row-start",
         "tabs-stripped-at-row-end", "tabs-inside-row", "width-zero", "width-negative", "empty", "non-ascii"],
)
def test_wrap_plain_lines(line, width, rows):
    assert wrap(line, width) == rows


@pytest.mark.parametrize(
    "line, width, rows",
    [
        (dim("abc def"), 4, ["abc", "def" + RESET]),
        ("aaa " + inv("bbb ccc"), 7, ["aaa", "bbb ccc" + RESET]),
        ("ab" + dim("cd") + " ef", 4, ["ab" + ESC + "[90mcd" + RESET, "ef"]),
        ("abcd" + dim("") + " efgh", 4, ["abcd" + ESC + "[90m" + RESET, "efgh"]),
        ("abcd " + dim("") + "efgh", 4, ["abcd", "efgh"]),
        ("ab  " + dim("") + "  cdef", 4, ["ab", "cdef"]),
        ("   " + dim("abc") + " def", 5, ["abc" + RESET, "def"]),
        (ESC + "[2Jabcdef", 4, [ESC + "[2J", "abcd", "ef"]),
        ("ab " + ESC + "[1" + " cdef", 4, ["ab", ESC + "[1", "cdef"]),
        ("ab " + ESC + "[0;1" + " cdef", 4, ["ab", ESC + "[0;", "1", "cdef"]),
        (dim("abc   "), 10, [dim("abc   ")]),
    ],
    ids=["opening-dropped-reset-kept", "inverted-tail", "sequence-inside-row",
         "sequence-before-break-kept", "sequence-after-break-dropped", "sequence-in-space-run",
         "sequence-among-leading-spaces", "erase-sequence-is-visible", "broken-sgr-is-visible", "broken-sgr-hard-break",
         "fitting-styled-line-unchanged"],
)
def test_wrap_styled_lines(line, width, rows):
    assert wrap(line, width) == rows


def _random_styled_line(rng):
    pieces = []
    for _ in range(rng.randrange(0, 14)):
        word = "".join(rng.choice("abcé😀█") for _ in range(rng.randrange(1, 12)))
        kind = rng.randrange(4)
        if kind == 1:
            word = dim(word)
        elif kind == 2:
            word = zylsetup.color_text(word, rng.choice(["00A5A5", "FD4D00"]))
        elif kind == 3:
            word = inv(word)
        pieces.append(word)
        pieces.append(rng.choice([" ", " ", "  ", dim(" "), " " + ESC + "[1m", ESC + "[0m "]))
    return rng.choice(["", "  ", ESC + "[1m "]) + "".join(pieces)


def test_wrapping_random_styled_text_keeps_every_visible_character():
    rng = random.Random(11)
    for _ in range(2000):
        line = _random_styled_line(rng)
        width = rng.randrange(1, 30)
        rows = wrap(line, width)
        plain = zylsetup.strip_ansi(line)
        if len(plain) <= width or plain.strip(" ") == "":
            assert rows == [line]
            continue
        visible = strip(rows)
        context = (line, width, rows)
        assert all(len(v) <= width for v in visible), context
        assert all(v and v[0] != " " for v in visible), context
        # Rows are consecutive raw slices of the line; what lies between them
        # is only blanks and escape sequences.
        pos = 0
        for row in rows:
            found = line.find(row, pos)
            assert found >= 0, context
            assert zylsetup.strip_ansi(line[pos:found]).strip(" ") == "", context
            pos = found + len(row)
        assert zylsetup.strip_ansi(line[pos:]).strip(" ") == "", context
        # The visible text is the line's, less the blanks at the breaks.
        assert "".join(visible).replace(" ", "") == plain.replace(" ", ""), context
        if all(len(word) <= width for word in plain.split()):
            # No word needs a hard break, so rows break only between words.
            assert " ".join(visible).split() == plain.split(), context


def test_screen_text_is_wrapped_to_the_current_width(monkeypatch):
    calls = []

    def get_terminal_size(**kwargs):
        calls.append(kwargs)
        return SimpleNamespace(columns=5, lines=3)

    monkeypatch.setattr(zylsetup, "shutil", SimpleNamespace(get_terminal_size=get_terminal_size))
    frame = "hello world\n\n" + dim("ab c") + "\r\nabcdefg\n" + dim("ab c") + "\r "
    assert zylsetup.wrap_screen_text_for_terminal(frame) == "\n".join(
        ["hello", "world", "", dim("ab c") + "\r", "abcde", "fg", "ab", "c" + RESET]
    )
    assert zylsetup.wrap_screen_text_for_terminal(screen_text="") == ""
    assert calls == [{"fallback": (120, 40)}] * 2
    assert zylsetup.terminal_size() == SimpleNamespace(columns=5, lines=3)
    assert len(calls) == 3


def test_screen_text_goes_through_the_module_wrapper(monkeypatch):
    monkeypatch.setattr(zylsetup, "wrap_ansi_line_on_words", lambda line, terminal_columns: [line, "~"])
    assert zylsetup.wrap_screen_text_for_terminal("a\nb") == "a\n~\nb\n~"


def test_terminal_size_without_terminal_falls_back():
    size = zylsetup.terminal_size()
    assert size.columns > 0 and size.lines > 0


@pytest.mark.parametrize(
    "text, index, expected",
    [
        ("abc", 1, "a" + ESC + "[7mb" + RESET + "c"),
        ("abc", 0, ESC + "[7ma" + RESET + "bc"),
        ("abc", -3, ESC + "[7ma" + RESET + "bc"),
        ("abc", 3, "abc" + ESC + "[7m " + RESET),
        ("abc", 9, "abc" + ESC + "[7m " + RESET),
        ("", 0, ESC + "[7m " + RESET),
        ("é😀x", 1, "é" + ESC + "[7m😀" + RESET + "x"),
    ],
    ids=["middle", "start", "negative", "end", "past-end", "empty", "non-ascii"],
)
def test_render_text_with_cursor(text, index, expected):
    assert zylsetup.render_text_with_cursor(text, index) == expected
    assert zylsetup.render_text_with_cursor(text=text, cursor_index=index) == expected


def test_cursor_cell_goes_through_make_inverted_text(monkeypatch):
    monkeypatch.setattr(zylsetup, "make_inverted_text", lambda text: f"[{text}]")
    assert zylsetup.render_text_with_cursor("ab", 0) == "[a]b"
    assert zylsetup.render_text_with_cursor("ab", 2) == "ab[ ]"


# --- Lengths a rebound strip_ansi reports --------------------------------------

def test_line_count_stays_exact_past_64_bits(monkeypatch):
    reported = type("Reported", (), {"__len__": lambda self: 2 ** 63 - 1})
    monkeypatch.setattr(zylsetup, "strip_ansi", lambda line: reported())
    assert zylsetup.get_visual_line_count(["a", "b", "c"], 1) == 3 * (2 ** 63 - 1)


def test_wrap_indexes_a_misreported_text_as_python_does(monkeypatch):
    longer = type("LongerThanItIs", (str,), {"__len__": lambda self: 2 ** 62})
    monkeypatch.setattr(zylsetup, "strip_ansi", lambda line: longer("ab"))
    with pytest.raises(IndexError, match="^string index out of range$"):
        wrap("abcdefghij", 3)
