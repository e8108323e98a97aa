"""Keys of the Targets panel, driven through the configurator loop."""

import pytest

from zylora import globals_zylora as GZL
from zylora import zylsetup

from session_keys import BACKSPACE, DOWN, ENTER, ESC, LEFT, PAGE_DOWN, PAGE_UP, RIGHT, UP, Session, pc_lists

RESTRUCTURED = (
    " is inside a module that will be restructured \u2014 its id won't exist at training time."
    " Use P/T to target by type instead."
)
CONTAINER = "Set a mode on this module's children by type, not on the container that will be restructured."
NO_LISTS = {"ids_zylate": [], "ids_track": [], "names_zylate": [], "names_track": []}


@pytest.fixture
def session(monkeypatch, capsys, tmp_path, example_net):
    return Session(monkeypatch, capsys, tmp_path, example_net)


@pytest.fixture
def visible_ids(example_net):
    """Ids the panel lists while every restructured module is collapsed."""
    return [e["id"] for e in zylsetup.get_module_entries(example_net) if not e["in_replaced"]]


def to(visible_ids, module_id):
    return [DOWN] * visible_ids.index(module_id)


def row_of(module_id):
    return " " + module_id + "  ["


# Inside the restructured .refine.0, once it is expanded.
def to_gate(visible_ids):
    return to(visible_ids, ".refine.0") + [RIGHT, DOWN]


@pytest.mark.parametrize(
    "keys, index",
    [
        ([], 0),
        ([DOWN, DOWN, UP], 1),
        (["j", "j", "j", "k"], 2),
        ([UP], 0),
        (["\x1b[1;5B"], 1),
        ([PAGE_DOWN], 10),
        ([PAGE_DOWN] * 9, -1),
        ([PAGE_DOWN] * 9 + [DOWN], -1),
        ([PAGE_DOWN, PAGE_UP, PAGE_UP], 0),
    ],
    ids=["start", "down-up", "j-k", "up-clamps", "modified-arrow", "page-down", "page-clamps",
         "down-clamps", "page-up-clamps"],
)
def test_moves(session, visible_ids, keys, index):
    session.run(keys)
    assert row_of(visible_ids[index]) in session.highlighted(session.screen(after=len(keys)))


def test_y_toggles_the_type_rules_box_and_arrows_wait(session):
    session.run(["Y", "y", DOWN, "y", DOWN])
    assert "Type rules" not in session.screen(after=1)
    assert "Type rules" in session.screen(after=2)
    assert row_of(".embed") in session.highlighted(session.screen(after=3))
    assert "Type rules" not in session.screen(after=4)
    assert row_of(".encoder") in session.highlighted(session.screen(after=5))


def test_h_opens_the_legend(session):
    session.run(["H", "h", "h"])
    assert "Targets legend" not in session.screen(after=1)
    assert "Targets legend" in session.screen(after=2)
    assert "Targets legend" not in session.screen(after=3)


def test_right_and_left_expand_and_collapse_a_restructured_root(session, visible_ids):
    keys = [RIGHT] + to(visible_ids, ".refine.0") + [RIGHT, RIGHT, LEFT, LEFT]
    session.run(keys)
    shown = [".refine.0.gate" in session.screen(after=n) for n in range(len(keys) + 1)]
    assert shown == [False] * (len(keys) - 3) + [True, True, False, False]


def test_left_inside_an_expanded_subtree_does_not_collapse_it(session, visible_ids):
    keys = to_gate(visible_ids) + [LEFT, RIGHT]
    session.run(keys)
    frame = session.screen(after=len(keys))
    assert ".refine.0.value.0" in frame
    assert ".refine.0.gate" in session.highlighted(frame)


@pytest.mark.parametrize(
    "keys, lists",
    [
        (["p"], dict(NO_LISTS, ids_zylate=[".embed"])),
        (["p", "p"], NO_LISTS),
        (["t"], dict(NO_LISTS, ids_track=[".embed"])),
        (["p", "t"], dict(NO_LISTS, ids_track=[".embed"])),
        (["P"], dict(NO_LISTS, names_zylate=["Embedding"])),
        (["T", "T"], NO_LISTS),
        (["T", "P"], dict(NO_LISTS, names_zylate=["Embedding"])),
        (["p", DOWN, "t"], dict(NO_LISTS, ids_zylate=[".embed"], ids_track=[".encoder"])),
    ],
    ids=["p", "p-twice", "t", "p-then-t", "P", "T-twice", "T-then-P", "two-rows"],
)
def test_mode_keys(session, keys, lists):
    session.run(keys)
    assert pc_lists() == lists


def test_P_inside_a_restructured_module_sets_its_type_rule(session, visible_ids):
    session.run(to_gate(visible_ids) + ["P"])
    assert pc_lists() == dict(NO_LISTS, names_zylate=["Linear"])


@pytest.mark.parametrize(
    "where, key, message",
    [
        ("root", "p", ".refine.0" + RESTRUCTURED),
        ("root", "t", ".refine.0" + RESTRUCTURED),
        ("gate", "t", ".refine.0.gate" + RESTRUCTURED),
        ("root", "P", CONTAINER),
        ("root", "T", CONTAINER),
    ],
    ids=["p-root", "t-root", "t-inside", "P-root", "T-root"],
)
def test_mode_keys_refused_on_restructured_rows(session, visible_ids, where, key, message):
    keys = (to(visible_ids, ".refine.0") if where == "root" else to_gate(visible_ids)) + [key]
    session.run(keys)
    assert session.last_line(session.screen(after=len(keys))) == "  " + message
    assert pc_lists() == NO_LISTS


@pytest.mark.parametrize(
    "keys, message, lists",
    [
        (["x"], "nothing to clear on this module", NO_LISTS),
        (["p", "x"], "cleared .embed", NO_LISTS),
        (["P", "p", "x"], "cleared .embed", dict(NO_LISTS, names_zylate=["Embedding"])),
        (["T", "x"], "cleared the Embedding type rule", NO_LISTS),
    ],
    ids=["nothing", "by-id", "id-before-type", "type-rule"],
)
def test_x_clears_and_reports(session, keys, message, lists):
    session.run(keys)
    assert session.last_line(session.screen(after=len(keys))) == "  " + message
    assert pc_lists() == lists


def test_capital_X_does_nothing(session):
    session.run(["p", "X"])
    assert pc_lists() == dict(NO_LISTS, ids_zylate=[".embed"])
    assert "cleared" not in session.screen(after=2)


@pytest.mark.parametrize(
    "keys, message",
    [
        ([ENTER], "Overrides are only for zylated modules. Zylate this one first (p),"
                  " or track it if you just want it monitored."),
        (["t", ENTER], "Overrides are only for zylated modules \u2014 this one is tracked."),
        ([DOWN, "p", DOWN, ENTER], "This module inherits .encoder's mode. Open overrides on .encoder"
                                   " to change settings for the whole subtree."),
    ],
    ids=["no-mode", "tracked", "inherited"],
)
def test_enter_refusals(session, keys, message):
    session.run(keys)
    assert session.last_line(session.screen(after=len(keys))) == "  " + message


def test_enter_on_a_restructured_root_is_refused(session, visible_ids):
    keys = to(visible_ids, ".refine.0") + [ENTER]
    session.run(keys)
    assert session.last_line(session.screen(after=len(keys))) == (
        "  Overrides are not available inside a module that will be restructured."
    )


@pytest.mark.parametrize(
    "mode_key, title, scope_key",
    [("p", "Overrides \u2014 .embed", ".embed"), ("P", "Overrides \u2014 every Embedding", "Embedding")],
    ids=["id-scope", "type-scope"],
)
def test_enter_opens_overrides_and_an_edit_becomes_a_pending_override(session, mode_key, title, scope_key):
    keys = [mode_key, ENTER, ENTER, BACKSPACE, "4", ENTER, ESC]
    session.run(keys, finish="save")
    assert title in session.screen(after=2)
    assert "Edit dendrite_count" in session.screen(after=3)
    assert title in session.screen(after=6)
    assert title not in session.screen(after=7)
    assert session.saved_overrides == {scope_key: {"dendrite_count": 4}}
    assert GZL.pc.get_dendrite_count() == 1


# --- target writes the configuration refuses -------------------------------------------


def refuse(monkeypatch, setter, when, error=None):
    """GZL.pc's `setter` raises for every list that `when` holds for."""
    real = getattr(GZL.pc, setter)

    def guarded(values):
        if when(list(values)):
            raise error if error is not None else ValueError("this platform refuses " + repr(list(values)))
        real(values)

    monkeypatch.setattr(GZL.pc, setter, guarded)


def holding(item):
    return lambda values: item in values


REFUSED = "Invalid value for {}: this platform refuses {}"


# Each case ends with Down and "p", which the configuration takes.
@pytest.mark.parametrize(
    "keys, setter, when, message, lists",
    [
        (["p"], "set_module_ids_to_zylate", holding(".embed"), REFUSED.format(".embed", "['.embed']"),
         dict(NO_LISTS, ids_zylate=[".encoder"])),
        # The zylate list was written before the track list was refused.
        (["t", "p"], "set_module_ids_to_track", lambda values: values == [], REFUSED.format(".embed", "[]"),
         dict(NO_LISTS, ids_zylate=[".embed", ".encoder"], ids_track=[".embed"])),
        (["P"], "set_module_names_to_zylate", holding("Embedding"),
         REFUSED.format("Embedding", "['Embedding']"), dict(NO_LISTS, ids_zylate=[".encoder"])),
        (["p", "x"], "set_module_ids_to_zylate", lambda values: values == [], REFUSED.format(".embed", "[]"),
         dict(NO_LISTS, ids_zylate=[".embed", ".encoder"])),
    ],
    ids=["p", "t-then-p-half-written", "P", "x"],
)
def test_a_refused_target_write_is_reported_and_editing_goes_on(
        session, monkeypatch, keys, setter, when, message, lists):
    refuse(monkeypatch, setter, when)
    session.run(keys + [DOWN, "p"])
    assert session.last_line(session.screen(after=len(keys))) == "  " + message
    assert message not in session.screen(after=len(keys) + 2)
    assert pc_lists() == lists


def test_a_refused_normalisation_is_reported_under_the_panel(session, monkeypatch):
    GZL.pc.set_module_names_to_track(["Sequential"])
    refuse(monkeypatch, "set_module_names_to_track", holding("Sequential"))
    session.run(["j", "t", "x"])
    refusal = "  Invalid value for the target lists: this platform refuses ['Sequential']"
    assert [session.last_line(session.screen(after=n)) for n in range(3)] == [refusal] * 3
    # A key's own message is not hidden by it.
    assert session.last_line(session.screen(after=3)) == "  cleared .encoder"
    assert pc_lists() == dict(NO_LISTS, names_track=["Sequential"])


@pytest.mark.parametrize("error, code", [(KeyboardInterrupt(), 0), (SystemExit(3), 3)],
                         ids=["interrupt", "exit"])
def test_interrupts_and_exits_of_a_target_setter_keep_their_ways_out(session, monkeypatch, error, code):
    refuse(monkeypatch, "set_module_ids_to_zylate", holding(".embed"), error)
    session._keys = iter(["p"])
    with pytest.raises(SystemExit) as raised:
        zylsetup.set_zylation_targets(session.model)
    assert raised.value.code == code
