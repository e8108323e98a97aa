import pytest

from zylora import globals_zylora as GZL
from zylora import zylsetup

KINDS = {
    "id": (zylsetup.set_module_id_mode, "module_ids"),
    "type": (zylsetup.set_module_name_mode, "module_names"),
}
READERS = {
    "id": (zylsetup.get_id_mode, "module_id"),
    "type": (zylsetup.get_name_mode, "module_type_name"),
}


def lists(kind):
    return (
        list(getattr(GZL.pc, f"get_{kind}_to_zylate")()),
        list(getattr(GZL.pc, f"get_{kind}_to_track")()),
    )


def put(kind, zylate, track):
    getattr(GZL.pc, f"set_{kind}_to_zylate")(zylate)
    getattr(GZL.pc, f"set_{kind}_to_track")(track)


def record_writes(kind, shape=list):
    """Log the setters of one pair of lists; the getters hand out `shape(contents)`."""
    log = []
    for mode in ("zylate", "track"):
        name = f"{kind}_to_{mode}"
        getter, setter = getattr(GZL.pc, "get_" + name), getattr(GZL.pc, "set_" + name)
        setattr(GZL.pc, "get_" + name, lambda getter=getter: shape(getter()))

        def write(values, name=name, setter=setter):
            log.append(name)
            setter(values)

        setattr(GZL.pc, "set_" + name, write)
    return log


@pytest.mark.parametrize("shape", [list, tuple, lambda v: (x for x in v)], ids=["list", "tuple", "generator"])
@pytest.mark.parametrize("kind", KINDS, ids=KINDS.keys())
@pytest.mark.parametrize(
    "before, item, mode, after",
    [
        (([], []), "a", "zylated", (["a"], [])),
        (([], ["b", "a", "c"]), "a", "zylated", (["a"], ["b", "c"])),
        ((["b", "a"], ["c"]), "a", "zylated", (["b"], ["c"])),
        ((["a", "b", "a"], []), "a", "zylated", (["b"], [])),
        ((["a"], ["b"]), "a", "tracked", ([], ["b", "a"])),
        ((["x"], ["a", "a"]), "a", "tracked", (["x"], [])),
        ((["a", "a", "b"], ["c", "c"]), "a", "other", (["a", "b"], ["c"])),
    ],
    ids=["set", "move-from-track", "toggle-off", "toggle-off-duplicates",
         "move-from-zylate", "toggle-off-track", "unknown-mode-dedupes"],
)
def test_toggles(kind, shape, before, item, mode, after):
    fn, prefix = KINDS[kind]
    put(prefix, *before)
    other = "module_names" if prefix == "module_ids" else "module_ids"
    put(other, ["untouched", "untouched"], [])
    log = record_writes(prefix, shape)
    fn(item, mode)
    assert lists(prefix) == after
    assert log == [f"{prefix}_to_zylate", f"{prefix}_to_track"]
    assert lists(other) == (["untouched", "untouched"], [])


@pytest.mark.parametrize("kind", KINDS, ids=KINDS.keys())
@pytest.mark.parametrize("mode", ["zylated", "tracked"])
def test_same_key_twice_returns_to_no_mode(kind, mode):
    fn, prefix = KINDS[kind]
    reader, argument = READERS[kind]
    put(prefix, ["z"], ["t"])
    fn(".layer1", mode)
    assert reader(".layer1") == mode
    fn(**{argument: ".layer1", "mode": mode})
    assert reader(".layer1") is None
    assert lists(prefix) == (["z"], ["t"])


def entry(module_id=".layer1.0", type_name="Conv2d"):
    return {"id": module_id, "type_name": type_name}


@pytest.mark.parametrize(
    "ids, names, message, ids_after, names_after",
    [
        (([".layer1.0", ".x", ".layer1.0"], []), (["Conv2d"], []),
         "cleared .layer1.0", ([".x"], []), (["Conv2d"], [])),
        (([], [".layer1.0"]), ([], []), "cleared .layer1.0", ([], []), ([], [])),
        (([".x"], []), (["Conv2d", "Linear", "Conv2d"], ["Conv2d"]),
         "cleared the Conv2d type rule", ([".x"], []), (["Linear"], [])),
        (([], []), ([], ["Conv2d"]), "cleared the Conv2d type rule", ([], []), ([], [])),
        (([".layer1"], [".other"]), (["Linear"], ["ReLU"]),
         "nothing to clear on this module", ([".layer1"], [".other"]), (["Linear"], ["ReLU"])),
    ],
    ids=["id-zylated", "id-tracked", "type-zylated", "type-tracked", "inherited-only"],
)
def test_clear_module_mode(ids, names, message, ids_after, names_after):
    put("module_ids", *ids)
    put("module_names", *names)
    assert zylsetup.clear_module_mode(entry=entry()) == message
    assert lists("module_ids") == ids_after
    assert lists("module_names") == names_after


def test_clear_takes_id_then_type_rule_then_nothing():
    put("module_ids", [], [".layer1.0"])
    put("module_names", ["Conv2d"], [])
    messages = [zylsetup.clear_module_mode(entry()) for _ in range(3)]
    assert messages == ["cleared .layer1.0", "cleared the Conv2d type rule", "nothing to clear on this module"]


def test_clear_writes_both_id_lists_when_one_holds_the_id():
    put("module_ids", [".layer1.0"], [".b", ".b"])
    log = record_writes("module_ids")
    zylsetup.clear_module_mode(entry())
    assert log == ["module_ids_to_zylate", "module_ids_to_track"]
    # no de-duplication on this path
    assert lists("module_ids") == ([], [".b", ".b"])


def test_clear_reads_only_id_and_type_name():
    assert zylsetup.clear_module_mode({"id": ".a", "type_name": "T"}) == "nothing to clear on this module"
    with pytest.raises(KeyError):
        zylsetup.clear_module_mode({"id": ".a"})


class Refused(Exception):
    pass


def test_setter_exception_passes_and_earlier_write_stays():
    put("module_ids", [], [".a"])

    def refuse(values):
        raise Refused("locked")

    GZL.pc.set_module_ids_to_track = refuse
    with pytest.raises(Refused, match="^locked$"):
        zylsetup.set_module_id_mode(".a", "zylated")
    assert lists("module_ids") == ([".a"], [".a"])
