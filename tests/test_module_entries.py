import pytest

from torch import nn

from zylora import zylsetup

KEYS = [
    "id", "name", "type_name", "module", "depth", "direct_param_count",
    "tree_param_count", "is_replaced_root", "replaced_root", "in_replaced",
]


class Block(nn.Module):
    def __init__(self):
        super().__init__()
        self.fc = nn.Linear(2, 2)


class Encoder(nn.Module):
    def __init__(self, inner_block=False):
        super().__init__()
        self.block = Block() if inner_block else nn.Sequential(nn.Linear(2, 2))


def by_id(entries):
    return {e["id"]: e for e in entries}


def test_entries_of_example_network(entries, example_net):
    assert all(list(e) == KEYS for e in entries)
    ids = [e["id"] for e in entries]
    expected = ["." + n for n, _ in example_net.named_modules(remove_duplicate=False) if n]
    assert ids == expected
    table = by_id(entries)
    # the head projection is reachable twice: two ids, one module
    assert table[".head.proj"]["module"] is table[".output"]["module"]
    assert table[".output"]["tree_param_count"] == 32 * 100 + 100
    # a container with no parameters of its own
    enc = table[".encoder"]
    assert enc["direct_param_count"] == 0 and enc["tree_param_count"] > 0
    assert enc["depth"] == 0 and table[".encoder.0.mlp.3"]["depth"] == 3
    assert table[".encoder.0.mlp.3"]["type_name"] == "Linear"
    root = table[".refine.0"]
    assert (root["is_replaced_root"], root["replaced_root"], root["in_replaced"]) == (True, None, False)
    inner = table[".refine.0.value.0"]
    assert (inner["is_replaced_root"], inner["replaced_root"], inner["in_replaced"]) == (False, ".refine.0", True)
    assert table[".refine.1"]["in_replaced"] is False


def test_no_submodules_gives_empty_list():
    assert zylsetup.get_module_entries(nn.Linear(2, 2)) == []


def test_nothing_to_replace_marks_nothing(fresh_pc, entries):
    fresh_pc.set_modules_to_replace([])
    entries = zylsetup.get_module_entries(entries[0]["module"])  # any network will do
    fresh = zylsetup.get_module_entries(nn.Sequential(Encoder(), nn.Linear(2, 2)))
    for e in entries + fresh:
        assert (e["is_replaced_root"], e["replaced_root"], e["in_replaced"]) == (False, None, False)
        assert type(e["is_replaced_root"]) is bool


@pytest.mark.parametrize("inner_is_root", [False, True], ids=["plain-inner", "nested-root"])
def test_outermost_root_is_named(fresh_pc, inner_is_root):
    net = nn.Module()
    net.encoder = Encoder(inner_block=inner_is_root)
    net.encoder2 = nn.Linear(2, 2)
    net.enc = Encoder()
    fresh_pc.set_modules_to_replace([Encoder, Block] if inner_is_root else [Encoder])
    table = by_id(zylsetup.get_module_entries(net))
    assert table[".encoder"]["is_replaced_root"] and not table[".encoder"]["in_replaced"]
    assert table[".encoder.block"]["replaced_root"] == ".encoder"
    assert table[".encoder.block"]["is_replaced_root"] is inner_is_root
    assert table[".encoder.block.fc" if inner_is_root else ".encoder.block.0"]["replaced_root"] == ".encoder"
    # textual boundary: .enc does not contain .encoder*, nor is .encoder2 inside .encoder
    assert table[".encoder2"]["in_replaced"] is False
    assert table[".enc.block"]["replaced_root"] == ".enc"


def test_root_is_never_an_entry_nor_a_root(fresh_pc):
    fresh_pc.set_modules_to_replace([Encoder])
    entries = zylsetup.get_module_entries(Encoder())
    assert [e["id"] for e in entries] == [".block", ".block.0"]
    assert not any(e["in_replaced"] or e["is_replaced_root"] for e in entries)


def test_calls_happen_in_order():
    log = []

    class Param:
        def __init__(self, n):
            self.n = n

        def numel(self):
            log.append("numel")
            return self.n

    class Fake:
        def named_parameters(self, recurse):
            log.append(("named_parameters", recurse))
            return [("w", Param(3))] if not recurse else [("w", Param(3)), ("c.w", Param(4))]

    class Net:
        def named_modules(self, remove_duplicate):
            log.append(("named_modules", remove_duplicate))
            return [("", self), ("a", Fake())]

    class PC:
        def get_modules_to_replace(self):
            log.append("replace")
            return iter(())

    import zylora.zylsetup as z

    saved = z.GZL.pc
    z.GZL.pc = PC()
    try:
        (entry,) = z.get_module_entries(Net())
    finally:
        z.GZL.pc = saved
    assert log == [
        ("named_modules", False),
        ("named_parameters", False), "numel",
        ("named_parameters", True), "numel", "numel",
        "replace",
    ]
    assert (entry["direct_param_count"], entry["tree_param_count"]) == (3, 7)


@pytest.mark.parametrize(
    "make_model, replace, error",
    [
        pytest.param(lambda: object(), [], AttributeError, id="no-named_modules"),
        pytest.param(lambda: nn.Sequential(nn.Linear(1, 1)), [42], TypeError, id="non-class-to-replace"),
    ],
)
def test_bad_input_raises_interpreter_error(fresh_pc, make_model, replace, error):
    fresh_pc.set_modules_to_replace(replace)
    model = make_model()
    with pytest.raises(error) as caught:
        zylsetup.get_module_entries(model)
    # the interpreter's own message, unchanged
    try:
        if error is AttributeError:
            model.named_modules
        else:
            isinstance(model[0], tuple(replace))
    except error as own:
        assert str(caught.value) == str(own)


@pytest.mark.parametrize(
    "module_id, parent",
    [(".layer1", None), (".layer1.0.conv1", ".layer1.0"), (".a.b", ".a"), (".a.b.c", ".a.b")],
)
def test_parent_module_id(module_id, parent):
    assert zylsetup.get_parent_module_id(module_id) == parent


def test_namespace_lookup_honours_rebinding(monkeypatch):
    """Module globals are looked up at each call, so a rebinding is seen."""
    import types

    seen = []

    class PC:
        def get_modules_to_replace(self):
            seen.append("fake")
            return [nn.Linear]

    monkeypatch.setattr(zylsetup, "GZL", types.SimpleNamespace(pc=PC()))
    entries = zylsetup.get_module_entries(nn.Sequential(nn.Linear(1, 1)))
    assert seen == ["fake"] and entries[0]["is_replaced_root"] is True


def test_entries_keep_tensor_counts(example_net):
    entries = zylsetup.get_module_entries(example_net)
    total = sum(p.numel() for p in example_net.embed.parameters())
    assert by_id(entries)[".embed"]["direct_param_count"] == total
