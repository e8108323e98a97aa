import os

import pytest

from zylora import zylsetup

ABOVE = zylsetup.dim("  ^^^^ more above ^^^^")
BELOW = zylsetup.dim("  vvvv more below vvvv")
BODY = [f"L{i}" for i in range(20)]


@pytest.fixture
def screen(monkeypatch):
    """A 20-column terminal; 12 lines leave a budget of 5 rows for the body
    beside one header and one footer line (five more rows are held back)."""

    def set_size(lines=12, columns=20):
        monkeypatch.setattr(zylsetup, "terminal_size", lambda: os.terminal_size((columns, lines)))

    set_size()
    return set_size


def compose(body, window_start, focus=None, header=("H",), footer=("F",)):
    text, start = zylsetup.compose_scrolling_screen(list(header), body, list(footer), window_start, focus)
    return text.split("\n"), start


def shown(first, end, above=True, below=True, body=BODY):
    return ["H"] + ([ABOVE] if above else []) + body[first:end] + ([BELOW] if below else []) + ["F"]


@pytest.mark.parametrize("start,focus", [(0, None), (7, None), (-3, (1, 2)), (2, (0, 1))])
def test_body_that_fits_is_shown_whole_from_the_top(screen, start, focus):
    assert compose(BODY[:5], start, focus) == (shown(0, 5, False, False), 0)


@pytest.mark.parametrize("start,focus,new_start", [
    (0, (7, 8), 3),    # down: the focus becomes the last shown line
    (10, (4, 5), 4),   # up: the focus becomes the first shown line
    (3, (5, 6), 3),    # inside: the window stays
    (3, (7, 8), 3),    # the last line of the window
    (3, (8, 9), 4),
    (0, (5, 7), 2),    # two lines at the bottom both come into view
    (0, (18, 40), 15),  # an end past the body is clamped to it
    (0, (6, 2), 2),    # an empty focus is widened to one line
    (3, (25, 26), 15),  # a start past the body asks for its end
    (0, (2 ** 70, 2 ** 71), 15),  # lines past 64 bits compare as Python integers do
    (3, (-2 ** 70, 1), 0),
])
def test_window_follows_the_focus(screen, start, focus, new_start):
    lines, got = compose(BODY, start, focus)
    assert got == new_start
    end = new_start + 5
    assert lines == shown(new_start, end, above=new_start > 0, below=end < 20)


@pytest.mark.parametrize("start,new_start", [(17, 15), (30, 15), (-4, 0), (15, 15), (9, 9), (2 ** 70, 15),
                                             (-2 ** 70, 0)])
def test_window_without_focus_is_clamped_and_pulled_up_at_the_end(screen, start, new_start):
    assert compose(BODY, start)[1] == new_start


def test_window_shrinks_with_the_body(screen):
    # the body lost lines under a window near its old end
    lines, start = compose(BODY[:8], 12, (7, 8))
    assert (lines, start) == (shown(3, 8, below=False, body=BODY[:8]), 3)


def test_wrapped_lines_take_their_rows(screen):
    body = list(BODY)
    body[3] = "x" * 45  # three rows at 20 columns
    # lines 1-3 fill the five rows exactly; line 4 no longer fits
    assert compose(body, 1, (1, 2))[0] == ["H", ABOVE] + body[1:4] + [BELOW, "F"]
    # moving down onto line 4 ends the window there: lines 2-4 fill it
    assert compose(body, 1, (4, 5)) == (["H", ABOVE] + body[2:5] + [BELOW, "F"], 2)


def test_line_taller_than_the_budget(screen):
    body = list(BODY)
    body[8] = "y" * 130  # seven rows, more than the budget of five
    # moving up onto it shows it alone
    assert compose(body, 9, (8, 9)) == (["H", ABOVE, body[8], BELOW, "F"], 8)
    # moving down onto it cannot end a window there: the window starts after it
    assert compose(body, 3, (8, 9)) == (shown(9, 14, body=body), 9)


def test_header_and_footer_rows_come_off_the_budget(screen):
    screen(lines=17)
    header = ["H", "h" * 30]  # three rows with the footer's one
    lines, start = compose(BODY, 0, (10, 11), header=header)
    assert start == 3  # 17 - 4 rows - 5 held back = 8 body rows
    assert lines == header + [ABOVE] + BODY[3:11] + [BELOW, "F"]


def test_budget_is_never_below_one_row(screen):
    screen(lines=4)
    assert compose(BODY, 0, (6, 7)) == (shown(6, 7), 6)


@pytest.mark.parametrize("start,focus", [(0, (0, 1)), (5, (0, 1)), (3, (2, 9)), (4, None)])
def test_empty_body_shows_header_and_footer(screen, start, focus):
    assert compose([], start, focus) == (["H", "F"], 0)


@pytest.mark.parametrize("focus,error,message", [
    ((1, 2, 3), ValueError, r"too many values to unpack \(expected 2\)"),
    ((1,), ValueError, r"not enough values to unpack \(expected 2, got 1\)"),
    (5, TypeError, "cannot unpack non-iterable int object"),
])
def test_focus_must_be_a_pair(screen, focus, error, message):
    with pytest.raises(error, match=message):
        compose(BODY, 0, focus)


def test_arguments_by_keyword_are_left_unchanged(screen):
    header, body, footer = ["H"], list(BODY), ["F"]
    text, start = zylsetup.compose_scrolling_screen(
        header_lines=header, body_lines=body, footer_lines=footer, window_start=4)
    assert (text, start) == ("\n".join(shown(4, 9)), 4)
    assert (header, body, footer) == (["H"], BODY, ["F"])


# --- Terminal lines and row counts past 64 bits ----------------------------------

def test_terminal_taller_than_64_bits_shows_the_whole_body(screen):
    screen(lines=2 ** 70)
    assert compose(BODY, 7) == (shown(0, 20, above=False, below=False), 0)


@pytest.mark.parametrize("rows", [2 ** 63 - 1, 2 ** 70], ids=["int64-max", "beyond-int64"])
def test_rows_past_64_bits_leave_one_line_per_window(screen, monkeypatch, rows):
    monkeypatch.setattr(zylsetup, "get_visual_line_count", lambda lines, columns: rows)
    assert compose(BODY, 0) == (shown(0, 1, above=False), 0)
    # a line taller than the budget cannot end a window: it starts after it
    assert compose(BODY, 3, (8, 9)) == (shown(9, 10), 9)
