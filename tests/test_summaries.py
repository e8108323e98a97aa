import pytest
import torch
from torch import nn

from zylora import globals_zylora as GZL
from zylora import zylsetup

from conftest import OwnText


@pytest.fixture(autouse=True)
def plain_counts(monkeypatch):
    # The budget line's own text is under test here, not the count format.
    monkeypatch.setattr(zylsetup, "format_human_count", lambda value: f"<{value}>", raising=False)


# --- type rules -------------------------------------------------------------


def test_type_rules_sorted_and_counted_outside_restructured_modules(entries):
    GZL.pc.set_module_names_to_zylate(["Linear", "GELU", "GatedResidualBlock"])
    GZL.pc.set_module_names_to_track(["Missing", "LayerNorm", "LayerNorm"])
    GZL.pc.get_module_names_to_track = lambda: ("Missing", "LayerNorm", "LayerNorm")
    rules = zylsetup.type_rule_entries(entries)
    assert rules == [
        # code-point order: "GELU" before "GatedResidualBlock"
        ("GELU", "zylated", 0),  # only inside the restructured block
        ("GatedResidualBlock", "zylated", 1),  # the restructured root itself counts
        ("Linear", "zylated", 8),  # mlp.0 and mlp.3 of three blocks, head.proj and .output
        ("LayerNorm", "tracked", 7),
        ("LayerNorm", "tracked", 7),
        ("Missing", "tracked", 0),
    ]
    assert all(type(rule) is tuple for rule in rules)
    assert GZL.pc.get_module_names_to_zylate() == ["Linear", "GELU", "GatedResidualBlock"]


@pytest.mark.parametrize(
    "zylate, track, entries, expected",
    [
        ([], [], [{"in_replaced": False, "type_name": "A"}], []),
        (["b", "B", "a"], [], [], [("B", "zylated", 0), ("a", "zylated", 0), ("b", "zylated", 0)]),
        (["A"], ["A"], [{"in_replaced": 0, "type_name": "A"}, {"in_replaced": "yes", "type_name": "A"}],
         [("A", "zylated", 1), ("A", "tracked", 1)]),
    ],
    ids=["no-rules", "code-point-order", "truth-test-and-both-lists"],
)
def test_type_rule_entries_small(zylate, track, entries, expected):
    GZL.pc.set_module_names_to_zylate(zylate)
    GZL.pc.set_module_names_to_track(track)
    assert zylsetup.type_rule_entries(entries=entries) == expected


# --- unset modules ----------------------------------------------------------


def test_unset_modules_of_example_network(entries):
    GZL.pc.set_module_ids_to_zylate([".encoder"])
    GZL.pc.set_module_names_to_track(["LayerNorm"])
    resolved = zylsetup.resolve_entry_modes(entries)
    unset = zylsetup.unset_module_entries(entries, resolved)
    assert [e["id"] for e in unset] == [".embed", ".head.proj", ".output"]
    by_id = {e["id"]: e for e in entries}
    assert all(e is by_id[e["id"]] for e in unset)


def candidate(module_id, count, in_replaced=False, root=False):
    return {"id": module_id, "in_replaced": in_replaced, "is_replaced_root": root, "direct_param_count": count}


@pytest.mark.parametrize(
    "entry, eff, unset",
    [
        (candidate(".a", 4), None, True),
        (candidate(".a", 4), "zylated", False),
        (candidate(".a", 4), "tracked", False),
        (candidate(".a", 4), "", False),
        (candidate(".a", 0), None, False),
        (candidate(".a", -2), None, False),
        (candidate(".a", 4, in_replaced=1), None, False),
        (candidate(".a", 4, root=True), None, False),
    ],
    ids=["no-mode", "zylated", "tracked", "empty-text-is-a-mode", "no-params", "negative",
         "inside-restructured", "restructured-root"],
)
def test_unset_rules(entry, eff, unset):
    assert zylsetup.unset_module_entries([entry], {".a": {"eff": eff}}) == ([entry] if unset else [])


def test_unset_looks_up_only_candidates():
    entries = [candidate(".in", 5, in_replaced=True), candidate(".root", 5, root=True),
               candidate(".empty", 0), candidate(".a", 3)]
    assert zylsetup.unset_module_entries(entries, {".a": {"eff": None}}) == [entries[3]]
    with pytest.raises(KeyError, match=r"'\.a'"):
        zylsetup.unset_module_entries(entries, {})


# --- budget -----------------------------------------------------------------


class SharedNet(nn.Module):
    """.a (3 elements) also reachable as .alias; .c holds .b's weight (4 of its 6)."""

    def __init__(self):
        super().__init__()
        self.root_only = nn.Parameter(torch.zeros(50))  # the root is no entry
        self.a = nn.Linear(2, 1)
        self.b = nn.Linear(2, 2)
        self.alias = self.a
        self.c = nn.Module()
        self.c.register_parameter("w", self.b.weight)
        self.box = nn.Sequential(nn.Linear(1, 1))


def line(added, total, pct):
    return f"Zylation budget:  +<{added}> params per dendrite cycle  \u00b7  model <{total}>  (+{pct}% / cycle)"


BUDGET_CASES = {
    "nothing-zylated": ([], line(0, 11, "0.0")),
    "module-under-two-names": ([".a", ".alias"], line(3, 11, "27.3")),
    "shared-parameter-already-in-total": ([".c"], line(4, 11, "36.4")),
    "shared-parameter-twice": ([".b", ".c"], line(6, 11, "54.5")),
    "inherited-by-children": ([".box"], line(2, 11, "18.2")),
    "everything": ([".a", ".b", ".alias", ".c", ".box"], line(11, 11, "100.0")),
}


@pytest.mark.parametrize("zylate, expected", BUDGET_CASES.values(), ids=BUDGET_CASES.keys())
def test_budget_line(zylate, expected):
    entries = zylsetup.get_module_entries(SharedNet())
    GZL.pc.set_module_ids_to_zylate(zylate)
    resolved = zylsetup.resolve_entry_modes(entries)
    assert zylsetup.build_budget_line(entries=entries, resolved=resolved) == expected


def test_budget_line_counts_in_their_ordinary_text_form(monkeypatch):
    monkeypatch.setattr(zylsetup, "format_human_count", lambda value: OwnText(str(value)))
    assert zylsetup.build_budget_line([], {}) == line(0, 0, "0.0")


def test_budget_line_of_no_entries_and_one_third():
    assert zylsetup.build_budget_line([], {}) == line(0, 0, "0.0")
    net = nn.Module()
    net.x = nn.Linear(1, 1)
    net.y = nn.Linear(1, 1, bias=False)
    net.y.weight = net.x.weight  # shared with .x: adds nothing to the total of 2
    net.z = nn.Module()
    net.z.register_parameter("p", nn.Parameter(torch.zeros(1)))
    entries = zylsetup.get_module_entries(net)
    resolved = {".x": {"eff": None}, ".y": {"eff": None}, ".z": {"eff": "zylated"}}
    assert zylsetup.build_budget_line(entries, resolved) == line(1, 3, "33.3")


class FakeParam:
    def __init__(self, n):
        self.n = n

    def numel(self):
        if isinstance(self.n, Exception):
            raise self.n
        return self.n


class FakeModule:
    def __init__(self, items):
        self.items = items

    def named_parameters(self, recurse=True):
        assert recurse is False
        return iter(self.items)


def python_unpack_error(item):
    try:
        _name, _param = item
    except Exception as error:  # the interpreter's own wording
        return type(error), str(error)
    raise AssertionError("unpacked")


@pytest.mark.parametrize(
    "make_item",
    [lambda: ("w",), lambda: ("w", FakeParam(1), "extra"), lambda: 7, lambda: iter(["w"])],
    ids=["one-value", "three-values", "not-iterable", "short-iterator"],
)
def test_budget_unpacking_errors_match_the_interpreter(make_item):
    expected_type, expected_text = python_unpack_error(make_item())
    entries = [{"id": ".m", "module": FakeModule([make_item()])}]
    with pytest.raises(expected_type) as raised:
        zylsetup.build_budget_line(entries, {".m": {"eff": None}})
    assert str(raised.value) == expected_text


class Boom(Exception):
    pass


@pytest.mark.parametrize(
    "module, resolved, error",
    [
        (FakeModule([("w", FakeParam(Boom("numel failed")))]), {".m": {"eff": None}}, Boom),
        (FakeModule([("w", FakeParam(2))]), {}, KeyError),
    ],
    ids=["numel", "missing-record"],
)
def test_budget_errors_pass_unchanged(module, resolved, error):
    with pytest.raises(error):
        zylsetup.build_budget_line([{"id": ".m", "module": module}], resolved)
