import gc
import weakref

import pytest
from torch import nn

from zylora import globals_zylora as GZL
from zylora import zylsetup

LISTS = ["module_ids_to_zylate", "module_ids_to_track", "module_names_to_zylate", "module_names_to_track"]


def set_lists(ids_z=(), ids_t=(), names_z=(), names_t=()):
    for name, values in zip(LISTS, (ids_z, ids_t, names_z, names_t)):
        getattr(GZL.pc, "set_" + name)(list(values))


def get_lists():
    return tuple(list(getattr(GZL.pc, "get_" + name)()) for name in LISTS)


def log_accessors(pc, shape=list):
    """Record every getter/setter call; getters hand out `shape(contents)`."""
    log = []
    for name in LISTS:
        getter, setter = getattr(pc, "get_" + name), getattr(pc, "set_" + name)

        def get(name=name, getter=getter):
            log.append("get_" + name)
            return shape(getter())

        def put(values, name=name, setter=setter):
            log.append(("set_" + name, values))
            setter(values)

        setattr(pc, "get_" + name, get)
        setattr(pc, "set_" + name, put)
    return log


def as_generator(values):
    return (v for v in values)


SHAPES = {"own-list": lambda values: values, "tuple": tuple, "generator": as_generator}


@pytest.mark.parametrize(
    "values, expected",
    [
        ([], []),
        (["a", "b", "a", "c", "b"], ["a", "b", "c"]),
        (("x", "y", "x"), ["x", "y"]),
        (as_generator(["q", "q", "r"]), ["q", "r"]),
        ({"only"}, ["only"]),
        ([1, True, 1.0, 2], [1, 2]),
    ],
    ids=["empty", "list", "tuple", "generator", "set", "equal-across-types"],
)
def test_dedupe_list_keeps_first_occurrences(values, expected):
    out = zylsetup.dedupe_list(values)
    assert type(out) is list and out == expected and out is not values


def test_dedupe_list_unhashable_raises_type_error():
    with pytest.raises(TypeError, match="unhashable"):
        zylsetup.dedupe_list(["a", ["b"]])


@pytest.mark.parametrize("shape", SHAPES.values(), ids=SHAPES.keys())
@pytest.mark.parametrize(
    "given, expected",
    [
        (
            ([".a", ".b", ".a"], [".b", ".c", ".c", ".a", ".d"], ["Linear", "Conv"], ["Conv", "ReLU", "Linear"]),
            ([".a", ".b"], [".c", ".d"], ["Linear", "Conv"], ["ReLU"]),
        ),
        (
            ([".x", ".x"], [".y", ".y"], ["T", "T"], []),
            ([".x"], [".y"], ["T"], []),
        ),
        (([], [], [], []), ([], [], [], [])),
    ],
    ids=["conflicts-zylate-wins", "duplicates-no-overlap", "empty"],
)
def test_normalize_selection_conflicts(given, expected, shape):
    set_lists(*given)
    originals = [getattr(GZL.pc, "get_" + name)() for name in LISTS]
    log = log_accessors(GZL.pc, shape)
    zylsetup.normalize_selection_conflicts()
    assert [entry if isinstance(entry, str) else entry[0] for entry in log] == (
        ["get_" + name for name in LISTS] + ["set_" + name for name in LISTS]
    )
    written = [entry[1] for entry in log if not isinstance(entry, str)]
    assert tuple(written) == expected
    assert all(type(w) is list for w in written)
    assert all(w is not o for w, o in zip(written, originals))


def test_normalize_stops_at_a_failing_setter():
    set_lists([".a", ".a"], [".a", ".b"], ["N", "N"], ["N"])

    def refuse(values):
        raise OSError("read-only configuration")

    GZL.pc.set_module_names_to_zylate = refuse
    with pytest.raises(OSError, match="^read-only configuration$"):
        zylsetup.normalize_selection_conflicts()
    # the lists written before the failing setter stay written
    assert get_lists() == ([".a"], [".b"], ["N", "N"], ["N"])


@pytest.mark.parametrize("fn, kind", [(zylsetup.get_id_mode, "ids"), (zylsetup.get_name_mode, "names")])
@pytest.mark.parametrize(
    "zylate, track, item, expected, track_read",
    [
        (["k"], ["k"], "k", "zylated", False),
        (["j"], ["k"], "k", "tracked", True),
        ([], [], "k", None, True),
    ],
    ids=["both-lists-zylate-first", "track", "unlisted"],
)
def test_single_item_mode(fn, kind, zylate, track, item, expected, track_read):
    getattr(GZL.pc, f"set_module_{kind}_to_zylate")(zylate)
    getattr(GZL.pc, f"set_module_{kind}_to_track")(track)
    log = log_accessors(GZL.pc, as_generator)
    assert fn(item) == expected
    assert log == [f"get_module_{kind}_to_zylate"] + ([f"get_module_{kind}_to_track"] if track_read else [])


class Net(nn.Module):
    """.outer > .outer.mid > .outer.mid.leaf (Linear), and .side (Linear)."""

    def __init__(self):
        super().__init__()
        self.outer = nn.Sequential()
        self.outer.add_module("mid", nn.Sequential())
        self.outer.mid.add_module("leaf", nn.Linear(2, 2))
        self.side = nn.Linear(2, 2)


def record(eff, source, origin, overridden=None):
    return {"eff": eff, "source": source, "origin_id": origin, "overridden": overridden}


ZYL_ID = {"mode": "zylated", "source": "id"}
ZYL_TYPE = {"mode": "zylated", "source": "type"}

RESOLUTION_CASES = {
    "nothing-listed": (
        ([], [], [], []),
        {
            ".outer": record(None, None, ".outer"),
            ".outer.mid": record(None, None, ".outer.mid"),
            ".outer.mid.leaf": record(None, None, ".outer.mid.leaf"),
            ".side": record(None, None, ".side"),
        },
    ),
    "id-beats-type": (
        ([], [".side"], ["Linear"], []),
        {
            ".outer": record(None, None, ".outer"),
            ".outer.mid": record(None, None, ".outer.mid"),
            ".outer.mid.leaf": record("zylated", "type", ".outer.mid.leaf"),
            ".side": record("tracked", "id", ".side"),
        },
    ),
    "inherited-masks-id-three-levels": (
        ([".outer.mid"], [".outer"], [], []),
        {
            ".outer": record("tracked", "id", ".outer"),
            ".outer.mid": record("tracked", "inherited", ".outer", ZYL_ID),
            ".outer.mid.leaf": record("tracked", "inherited", ".outer"),
            ".side": record(None, None, ".side"),
        },
    ),
    "inherited-masks-type": (
        ([], [".outer"], ["Linear"], []),
        {
            ".outer": record("tracked", "id", ".outer"),
            ".outer.mid": record("tracked", "inherited", ".outer"),
            ".outer.mid.leaf": record("tracked", "inherited", ".outer", ZYL_TYPE),
            ".side": record("zylated", "type", ".side"),
        },
    ),
    "type-rule-on-container": (
        ([], [], [], ["Sequential"]),
        {
            ".outer": record("tracked", "type", ".outer"),
            ".outer.mid": record("tracked", "inherited", ".outer", {"mode": "tracked", "source": "type"}),
            ".outer.mid.leaf": record("tracked", "inherited", ".outer"),
            ".side": record(None, None, ".side"),
        },
    ),
    "both-id-lists-before-normalising": (
        ([".side"], [".side"], [], []),
        {
            ".outer": record(None, None, ".outer"),
            ".outer.mid": record(None, None, ".outer.mid"),
            ".outer.mid.leaf": record(None, None, ".outer.mid.leaf"),
            ".side": record("zylated", "id", ".side"),
        },
    ),
}


@pytest.mark.parametrize("lists, expected", RESOLUTION_CASES.values(), ids=RESOLUTION_CASES.keys())
def test_resolve_entry_modes(lists, expected):
    set_lists(*lists)
    entries = zylsetup.get_module_entries(Net())
    resolved = zylsetup.resolve_entry_modes(entries)
    assert resolved == expected
    assert list(resolved) == [e["id"] for e in entries]
    assert all(list(r) == ["eff", "source", "origin_id", "overridden"] for r in resolved.values())


def test_resolve_through_example_network_after_normalising(entries):
    set_lists([".encoder.1", ".refine.0.gate"], [".encoder.1", ".head"], ["LayerNorm"], ["LayerNorm", "Linear"])
    zylsetup.normalize_selection_conflicts()
    assert get_lists() == ([".encoder.1", ".refine.0.gate"], [".head"], ["LayerNorm"], ["Linear"])
    resolved = zylsetup.resolve_entry_modes(iter(entries))
    assert resolved[".encoder.1.mlp.0"] == record("zylated", "inherited", ".encoder.1", {"mode": "tracked", "source": "type"})
    assert resolved[".encoder.0.norm1"] == record("zylated", "type", ".encoder.0.norm1")
    assert resolved[".head.norm"] == record("tracked", "inherited", ".head", {"mode": "zylated", "source": "type"})
    # .output is the head's projection under a second, top-level name
    assert resolved[".output"] == record("tracked", "type", ".output")
    # restructured modules resolve like any other
    assert resolved[".refine.0.value.0"] == record("tracked", "type", ".refine.0.value.0")


def test_resolution_goes_through_the_module_namespace(monkeypatch):
    monkeypatch.setattr(zylsetup, "get_name_mode", lambda name: "tracked" if name == "Linear" else None)
    resolved = zylsetup.resolve_entry_modes(zylsetup.get_module_entries(Net()))
    assert resolved[".side"] == record("tracked", "type", ".side")
    assert resolved[".outer"] == record(None, None, ".outer")


class Broken(Exception):
    pass


@pytest.mark.parametrize(
    "call",
    [
        lambda: zylsetup.normalize_selection_conflicts(),
        lambda: zylsetup.get_id_mode(".a"),
        lambda: zylsetup.resolve_entry_modes(zylsetup.get_module_entries(Net())),
    ],
    ids=["normalize", "get_id_mode", "resolve"],
)
def test_getter_exceptions_pass_unchanged(call):
    def broken():
        raise Broken("no ids today")

    GZL.pc.get_module_ids_to_zylate = broken
    with pytest.raises(Broken, match="^no ids today$"):
        call()


def test_entry_without_type_name_raises_key_error():
    with pytest.raises(KeyError, match="type_name"):
        zylsetup.resolve_entry_modes([{"id": ".a"}])


@pytest.fixture
def collector_held_back():
    """Automatic collections off, so that what a test collects is in the
    generation it names."""
    gc.collect()
    gc.disable()
    yield
    gc.enable()


def full_collection(entries):
    gc.collect()


def two_more_resolutions_then_a_young_collection(entries):
    zylsetup.resolve_entry_modes(entries)
    zylsetup.resolve_entry_modes(entries)
    gc.collect(0)


@pytest.mark.parametrize("collect", [full_collection, two_more_resolutions_then_a_young_collection],
                         ids=["full-collection", "two-more-resolutions"])
@pytest.mark.parametrize("masked", [True, False], ids=["record-with-masked-mode", "plain-record"])
def test_a_cycle_through_a_record_is_freed(entries, masked, collect, collector_held_back):
    """A caller's note that reaches itself through a record the resolution
    handed out (note -> record -> overridden -> note) is freed by the cycle
    collector once nothing else holds it: by any full collection, and by any
    collection once the resolution has run twice more."""
    set_lists(ids_t=[".encoder"], names_z=["Linear"])
    resolved = zylsetup.resolve_entry_modes(entries)
    record = next(r for r in resolved.values() if (r["overridden"] is not None) == masked)

    class Note:
        pass

    note = Note()
    note.record = record
    (record["overridden"] if masked else record)["note"] = note
    freed = weakref.ref(note)
    del note, record, resolved
    collect(entries)
    assert freed() is None


def test_records_stay_in_the_collectors_care_without_its_hook(entries, collector_held_back):
    """With the hook that gives records back to full collections taken out
    of gc.callbacks, records are handed out tracked, and a cycle through one
    is freed by a young collection."""
    set_lists(ids_t=[".encoder"], names_z=["Linear"])
    zylsetup.resolve_entry_modes(entries)  # the hook is in place from the first resolution on
    saved = list(gc.callbacks)
    gc.callbacks.clear()
    try:
        resolved = zylsetup.resolve_entry_modes(entries)
        record = next(r for r in resolved.values() if r["overridden"] is not None)
        assert gc.is_tracked(record)

        class Note:
            pass

        note = Note()
        record["overridden"]["note"] = note
        note.record = record
        freed = weakref.ref(note)
        del note, record, resolved
        gc.collect(0)
        assert freed() is None
    finally:
        gc.callbacks[:] = saved
