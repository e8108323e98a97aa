import pytest
from torch import nn

from zylora import globals_zylora as GZL
from zylora import zylsetup

from loop_harness import Harness, OutOfKeys


@pytest.mark.parametrize(
    "index, delta, length, expected",
    [
        (0, -1, 5, 0),
        (3, 10, 5, 4),
        (2, 1, 0, 0),
        (2, 1, -3, 0),
        (1, 1, 5, 2),
        (4, 1, 5, 4),
        (9, -10, 5, 0),
        (7, 0, 5, 4),
        (2 ** 63 - 1, 1, 5, 4),
        (-2 ** 63, -1, 5, 0),
    ],
    ids=["up-at-top", "page-past-end", "empty", "negative-length", "step", "down-at-end",
         "page-past-top", "beyond-end-clamped", "step-past-int64", "step-below-int64"],
)
def test_move_clamps_without_wrapping(index, delta, length, expected):
    assert zylsetup._move(index, delta, length) == expected


def test_move_by_keyword():
    assert zylsetup._move(index=1, delta=-1, length=3) == 0


class Outer(nn.Module):
    def __init__(self):
        super().__init__()
        self.inner = Inner()
        self.x = nn.Linear(2, 2)


class Inner(nn.Module):
    def __init__(self):
        super().__init__()
        self.fc = nn.Linear(2, 2)


def nested_network():
    net = nn.Module()
    net.a = Outer()
    net.b = nn.Linear(2, 2)
    return net


COLLAPSED = [".a", ".b"]
EXPANDED = [".a", ".a.inner", ".a.inner.fc", ".a.x", ".b"]


def flags(then="z", **values):
    """A script step that sets expansion flags, then gives the key `then`."""
    def step(h):
        for key, value in values.items():
            h.expanded_replaced["." + key.replace("__", ".")] = value
        return then
    return step


@pytest.mark.parametrize(
    "steps, listed",
    [
        ([], [COLLAPSED]),
        ([flags(a__inner=True)], [COLLAPSED, COLLAPSED]),
        ([flags(a=True)], [COLLAPSED, EXPANDED]),
        ([flags(a=True, a__inner=False)], [COLLAPSED, EXPANDED]),
        ([flags(a=True), flags(a=False)], [COLLAPSED, EXPANDED, COLLAPSED]),
        ([flags(a=1)], [COLLAPSED, EXPANDED]),
        ([flags(a=0)], [COLLAPSED, COLLAPSED]),
    ],
    ids=["all-collapsed", "inner-flag-alone-shows-nothing", "outer-expands-subtree",
         "inner-flag-ignored", "collapse-again", "truthy-flag", "falsy-flag"],
)
def test_visible_targets_follow_the_outermost_root_flag(monkeypatch, steps, listed):
    GZL.pc.set_modules_to_replace([Outer, Inner])
    h = Harness(monkeypatch, steps)
    with pytest.raises(OutOfKeys):
        h.run(nested_network())
    assert [ids for ids, *_ in h.targets_calls] == listed


def test_visible_targets_are_the_entry_objects_in_order(monkeypatch):
    seen = {}

    def render(entries, vis, selected, resolved, expanded):
        seen["entries"], seen["vis"] = entries, vis
        return ["TARGETS"], [], [], None

    h = Harness(monkeypatch)
    h.set("render_targets_lines", render)
    with pytest.raises(OutOfKeys):
        h.run(nested_network())
    assert [id(e) for e in seen["vis"]] == [id(e) for e in seen["entries"]]
    assert seen["vis"] is not seen["entries"]


def test_highlight_beyond_the_visible_rows_moves_to_the_last(monkeypatch):
    GZL.pc.set_modules_to_replace([Outer, Inner])
    down = "\x1b[B"
    # The flag changes behind a global key, so only the frame can clamp.
    h = Harness(monkeypatch, [flags(a=True), down, down, down, down, flags("?", a=False), "?"])
    with pytest.raises(OutOfKeys):
        h.run(nested_network())
    assert [(len(ids), selected) for ids, selected, *_ in h.targets_calls] == [
        (2, 0), (5, 0), (5, 1), (5, 2), (5, 3), (5, 4), (2, 1),
    ]


@pytest.mark.parametrize("items, selected", [([], 0), (["a"], 0), (["a", "b"], 1)],
                         ids=["empty", "one", "two"])
def test_run_highlight_is_clamped_to_the_items(monkeypatch, example_net, items, selected):
    h = Harness(monkeypatch, [])
    h.run_items = [{"type": "divider", "bucket": "b"}] * 5

    def shrink(h):
        h.run_items[:] = items
        return "?"  # behind a global key, so only the frame can clamp

    h.keys = ["\t", "\x1b[6~", shrink, "?"]
    with pytest.raises(OutOfKeys):
        h.run(example_net)
    assert [call[0] for call in h.run_calls] == [0, 4, selected]
