import subprocess
import sys

import pytest
import torch
from torch import nn

from zylora import globals_zylora as GZL
from zylora import zylstrip

Converted = zylstrip.ZYLModulePyThread


class ZYLLayer(nn.Module):
    """Test stand-in for the package's dendrite layer (recognised by its name)."""

    def __init__(self, *modules):
        super().__init__()
        self.layer_array = nn.ModuleList(modules or [nn.Linear(3, 3)])
        self.processor_array = [None] * len(self.layer_array)
        self.register_buffer("node_index", torch.tensor([0]))
        self.register_buffer("num_cycles", torch.tensor(1))
        self.register_buffer("view_tuple", torch.tensor([1, -1]))


class Block(nn.Module):
    def __init__(self):
        super().__init__()
        self.inner = ZYLLayer()
        self.lin = nn.Linear(3, 3)


def converts(original, replacement):
    """The replacement was built from this dendrite layer."""
    return type(replacement) is Converted and replacement.layer_array is original.layer_array


def walk(net, converted=None):
    converted = [] if converted is None else converted
    return zylstrip.refresh_zyl(net, 0, "", converted), converted


def test_sequential_children_are_named_by_index_and_replaced_in_place():
    layer = ZYLLayer()
    net = nn.Sequential(nn.Linear(3, 3), nn.ReLU(), layer)
    result, converted = walk(net)
    assert result is net
    assert converts(layer, net[2]) and net._modules["2"] is net[2]
    assert converted[:3] == ["[0]", "[1]", "[2]"]
    assert "[2].layer_array" in converted


def test_members_and_module_lists_are_walked():
    class Net(nn.Module):
        def __init__(self):
            super().__init__()
            self.encoder = ZYLLayer()
            self.blocks = nn.ModuleList([nn.Linear(3, 3), ZYLLayer()])
            self.block = Block()

    net = Net()
    layers = (net.encoder, net.blocks[1], net.block.inner)
    result = zylstrip.refresh_net(net)
    assert result is net
    assert converts(layers[0], net.encoder)
    assert converts(layers[1], net.blocks[1])
    assert converts(layers[2], net.block.inner)
    assert isinstance(net.block.lin, nn.Linear)


def test_path_names_recorded_through_the_levels():
    class Net(nn.Module):
        def __init__(self):
            super().__init__()
            self.conv = nn.Sequential(nn.Linear(3, 3), Block())

    _, converted = walk(Net())
    assert converted == [
        ".conv", ".conv[0]", ".conv[1]", ".conv[1].inner", ".conv[1].inner.layer_array",
        ".conv[1].inner.layer_array[0]", ".conv[1].lin",
    ]


def test_nested_dendrite_layers_are_converted_first():
    inner = ZYLLayer()
    outer = ZYLLayer(inner, nn.Linear(3, 3))
    net = nn.Sequential(outer)
    zylstrip.refresh_net(net)
    assert converts(outer, net[0])
    assert converts(inner, net[0].layer_array[0])


def test_plain_list_layer_array_is_walked_by_index():
    inner = ZYLLayer()
    outer = ZYLLayer()
    del outer.layer_array
    outer.layer_array = [inner, nn.Linear(3, 3)]  # a plain list, kept in __dict__
    held = outer.layer_array
    converted = []
    result = zylstrip.refresh_zyl(outer, 0, "", converted)
    assert converts(outer, result)
    assert result.layer_array is held
    assert converts(inner, held[0]) and isinstance(held[1], nn.Linear)
    assert ".layer_array[0]" in converted and ".layer_array[1]" in converted


def test_plain_list_root_replaces_its_dendrite_layers():
    layer = ZYLLayer()
    items = [nn.Linear(3, 3), layer, 4]
    result, converted = walk(items)
    assert result is items and converts(layer, items[1]) and items[2] == 4
    assert converted[:2] == ["[0]", "[1]"]


def test_module_reachable_twice_is_converted_once(capsys):
    class Net(nn.Module):
        def __init__(self):
            super().__init__()
            self.a = nn.Sequential(ZYLLayer())
            self.b = self.a

    net = Net()
    GZL.pc.set_extra_verbose(True)
    zylstrip.refresh_net(net)
    assert type(net.a[0]) is Converted and net.b[0] is net.a[0]
    out = capsys.readouterr().out
    assert ("this is only being called because something in your model is pointed to twice "
            "by two different variables.  Highest thing on the list is one of the duplicates\n") in out


def test_tracked_classes_are_left_unentered_but_containers_walked():
    block = Block()
    layer = ZYLLayer()
    net = nn.Sequential(block, nn.Sequential(layer))
    GZL.pc.set_modules_to_track([Block, nn.Sequential])
    zylstrip.refresh_net(net)
    assert type(block.inner) is ZYLLayer
    assert converts(layer, net[1][0])
    GZL.pc.set_modules_to_track([Block])
    assert zylstrip.refresh_net(block) is block and type(block.inner) is ZYLLayer


@pytest.mark.parametrize(
    "not_to_save, converted_names",
    [
        pytest.param([".head"], ["encoder"], id="root-member"),
        pytest.param([".encoder.inner"], ["head"], id="one-level-down"),
    ],
)
def test_members_not_to_save_are_left_alone(not_to_save, converted_names):
    class Net(nn.Module):
        def __init__(self):
            super().__init__()
            self.head = ZYLLayer()
            self.encoder = Block()

    net = Net()
    GZL.pc.set_module_names_to_not_save(not_to_save)
    zylstrip.refresh_net(net)
    assert (type(net.head) is Converted) == ("head" in converted_names)
    assert (type(net.encoder.inner) is Converted) == ("encoder" in converted_names)


def test_properties_device_dtype_and_unreadable_members_are_skipped():
    reads = []

    class Unreadable:
        def __get__(self, obj, cls):
            if obj is None:
                return self
            raise RuntimeError("cannot read")

    class Net(nn.Module):
        broken = Unreadable()

        def __init__(self):
            super().__init__()
            self.device = ZYLLayer()
            self.dtype = ZYLLayer()
            self.other = ZYLLayer()

        @property
        def watched(self):
            reads.append("read")
            return ZYLLayer()

    net = Net()
    zylstrip.refresh_net(net)
    assert reads == []
    assert type(net.device) is ZYLLayer and type(net.dtype) is ZYLLayer
    assert type(net.other) is Converted


def test_root_dendrite_layer_yields_a_new_module():
    layer = ZYLLayer()
    result = zylstrip.refresh_net(pretrained_dendrite=layer)
    assert result is not layer and converts(layer, result)


def test_root_of_module_type_is_returned_unchanged(capsys):
    conv = Converted(ZYLLayer())
    assert zylstrip.refresh_net(conv) is conv
    assert capsys.readouterr().out == ""
    GZL.pc.set_extra_verbose(True)
    assert zylstrip.refresh_net(conv) is conv
    assert "Highest thing on the list is one of the duplicates" in capsys.readouterr().out


def test_root_skips_members_already_in_the_list(capsys):
    class Net(nn.Module):
        def __init__(self):
            super().__init__()
            self.head = ZYLLayer()

    net = Net()
    GZL.pc.set_extra_verbose(True)
    walk(net, [".head"])
    assert type(net.head) is ZYLLayer
    assert "Skipping .head during save\n" in capsys.readouterr().out
    child = Net()
    zylstrip.refresh_zyl(child, 1, ".x", [".x.head"])  # below the root the list is not consulted
    assert type(child.head) is Converted


def test_diagnostics_only_when_extra_verbose(capsys):
    net = nn.Sequential(nn.ReLU())
    zylstrip.refresh_net(net)
    assert capsys.readouterr().out == ""
    GZL.pc.set_extra_verbose(True)
    zylstrip.refresh_net(net)
    lines = capsys.readouterr().out.splitlines()
    assert lines == [
        "CL calling convert on Sequential(",
        "  (0): ReLU()",
        ") depth 0",
        "CL calling convert on : Sequential, depth 0",
        "CL calling convert on ReLU() depth 1",
        "CL calling convert on [0]: ReLU, depth 1",
    ]


def test_rebinding_module_type_changes_replacement_and_duplicate_test(monkeypatch):
    class Other(Converted):
        pass

    monkeypatch.setattr(zylstrip, "ModuleType", Other)
    layer = ZYLLayer()
    assert type(zylstrip.make_module(layer)) is Other
    net = nn.Sequential(layer)
    zylstrip.refresh_net(net)
    assert type(net[0]) is Other
    done = net[0]
    zylstrip.refresh_net(net)
    assert net[0] is done


def test_small_accessors():
    net = nn.Sequential(nn.Sequential(nn.ReLU()))
    assert zylstrip.get_pretrained_zyl_attr(None, "anything") is None
    assert zylstrip.get_pretrained_zyl_var(None, "0") is None
    assert zylstrip.get_pretrained_zyl_var(net, "0.0") is net[0][0]
    assert zylstrip.get_pretrained_zyl_attr(pretrained_dendrite=net, member="training") is True
    with pytest.raises(AttributeError):
        zylstrip.get_pretrained_zyl_attr(net, "missing")


def test_configuration_errors_propagate(monkeypatch):
    def broken():
        raise LookupError("no tracked list")

    monkeypatch.setattr(GZL.pc, "get_modules_to_track", broken)
    with pytest.raises(LookupError, match="no tracked list"):
        zylstrip.refresh_net(Block())


def test_failing_import_fails_the_module_import():
    code = "import sys; sys.modules['torch'] = None\nfrom zylora import zylstrip"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode != 0
    assert "ModuleNotFoundError" in result.stderr or "ImportError" in result.stderr


# --- every place of every dendrite layer -------------------------------------------

class Tied(nn.Module):
    def __init__(self, layer):
        super().__init__()
        self.enc = self.dec = layer


class Heads(nn.Module):
    def __init__(self, layer):
        super().__init__()
        self.trunk = nn.Linear(3, 3)
        self.add_module("1", layer)

    def forward(self, x):
        return getattr(self, "1")(self.trunk(x))


def repeated_in_sequential():
    layer = ZYLLayer()
    return nn.Sequential(layer, nn.ReLU(), layer)


def nested_in_repeated_layer():
    outer = ZYLLayer(ZYLLayer(), nn.Linear(3, 3))
    return nn.Sequential(outer, nn.ReLU(), outer)


def tied_attributes():
    return Tied(ZYLLayer())


def container_and_attribute():
    layer = ZYLLayer()
    net = nn.Sequential(layer, nn.ReLU())
    net.add_module("alias", layer)
    return net


def module_dict_digit_keys():
    net = nn.Sequential(nn.Linear(3, 3))
    net.heads = nn.ModuleDict({"0": ZYLLayer(), "x": ZYLLayer()})
    net.heads_in_list = nn.ModuleList([net.heads["0"]])
    return net


def add_module_digit_name():
    return Heads(ZYLLayer())


SHAPES = [
    pytest.param(repeated_in_sequential, id="repeat-in-sequential"),
    pytest.param(lambda: nn.ModuleList([ZYLLayer()] * 3), id="repeat-in-module-list"),
    pytest.param(nested_in_repeated_layer, id="layer-inside-repeated-layer"),
    pytest.param(lambda: nn.Sequential(Block(), nn.Sequential(repeated_in_sequential())),
                 id="repeat-one-level-down"),
    pytest.param(tied_attributes, id="tied-attributes"),
    pytest.param(container_and_attribute, id="container-and-attribute"),
    pytest.param(module_dict_digit_keys, id="module-dict-digit-key"),
    pytest.param(add_module_digit_name, id="add-module-digit-name"),
]


def places(net):
    """Every (path, module) that named_modules reaches, repeats included."""
    return list(net.named_modules(remove_duplicate=False))


@pytest.mark.parametrize("build", SHAPES)
def test_every_place_of_every_layer_holds_its_one_converted_module(build, monkeypatch):
    net = build()
    before = places(net)
    layers = {id(m): m for _, m in before if type(m) is ZYLLayer}
    made = []
    original_make = zylstrip.make_module

    def counting_make(module):
        made.append(module)
        return original_make(module)

    monkeypatch.setattr(zylstrip, "make_module", counting_make)
    result = zylstrip.refresh_net(net)
    after = dict(places(result))
    assert not [path for path, m in after.items() if type(m).__name__ == "ZYLLayer"]
    # One construction per distinct layer, the same module at each of its places.
    assert sorted(map(id, made)) == sorted(layers)
    for path, original in before:
        if type(original) is ZYLLayer:
            replacement = after[path]
            assert converts(original, replacement)
            assert all(after[p] is replacement for p, m in before if m is original)


def test_tied_attributes_share_one_module_and_compute_the_same():
    torch.manual_seed(0)
    layer = ZYLLayer(nn.Linear(3, 3), nn.Linear(3, 3))
    x = torch.randn(2, 3)
    expected = layer.layer_array[-1](x)
    net = zylstrip.refresh_net(Tied(layer))
    assert net.enc is net.dec and type(net.enc) is Converted
    assert net._modules["enc"] is net._modules["dec"]
    assert torch.equal(net.enc(x), expected)


def test_digit_named_child_is_converted_and_computes_the_same():
    torch.manual_seed(0)
    layer = ZYLLayer(nn.Linear(3, 3))
    net = Heads(layer)
    x = torch.randn(2, 3)
    expected = layer.layer_array[-1](net.trunk(x))  # the layer's pass without skip weights
    zylstrip.refresh_net(net)
    assert type(getattr(net, "1")) is Converted
    assert torch.equal(net(x), expected)


def test_repeat_is_recorded_and_announced_as_a_duplicate(capsys):
    net = repeated_in_sequential()
    GZL.pc.set_extra_verbose(True)
    converted = []
    zylstrip.refresh_zyl(net, 0, "", converted)
    assert net[0] is net[2] and type(net[0]) is Converted
    assert converted[-1] == "[2]"
    out = capsys.readouterr().out
    assert out.count("Highest thing on the list is one of the duplicates") == 1


def test_excluded_and_tracked_places_stay_as_they_are():
    layer = ZYLLayer()
    net = nn.Module()
    net.add_module("0", layer)
    net.kept = Block()
    GZL.pc.set_module_names_to_not_save([".0"])
    GZL.pc.set_modules_to_track([Block])
    zylstrip.refresh_net(net)
    assert getattr(net, "0") is layer and type(net.kept.inner) is ZYLLayer


# --- networks whose walk does not end ---------------------------------------------

CYCLE_CASES = {
    "attribute-back-reference": "net = nn.Module(); net.child = nn.Module()\n"
                                "object.__setattr__(net.child, 'owner', net)",
    "registered-parent": "net = nn.Module(); net.child = nn.Module(); net.child.parent = net",
    "deep-nesting": "net = nn.Sequential()\n"
                    "inner = net\n"
                    "for _ in range(13000):\n"
                    "    nxt = nn.Sequential(); inner.append(nxt); inner = nxt",
}

CYCLE_SCRIPT = """
import sys
from torch import nn
from zylora import zylstrip
{build}
try:
    zylstrip.refresh_net(net)
except RecursionError as error:
    print("RecursionError", str(error))
else:
    print("no error")
"""


@pytest.mark.parametrize("case", sorted(CYCLE_CASES))
def test_endless_walk_raises_recursion_error(case):
    result = subprocess.run([sys.executable, "-c", CYCLE_SCRIPT.format(build=CYCLE_CASES[case])],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.startswith("RecursionError maximum recursion depth exceeded")


REIMPORT_SCRIPT = """
import gc, importlib, sys
from torch import nn
import zylora.zylstrip
first_class = zylora.zylstrip.ZYLModulePyThread
del sys.modules["zylora.zylstrip"]
import zylora.zylstrip as again
gc.collect()
junk = [dict(a=i) for i in range(10000)]  # reuse what the first module held

class Other(first_class):
    pass

from test_conversion_walk import ZYLLayer
again.ModuleType = Other
net = nn.Sequential(ZYLLayer())
again.refresh_net(net)
print(type(net[0]).__name__)
reloaded = importlib.reload(again)
net = nn.Sequential(ZYLLayer())
reloaded.refresh_net(net)
print(type(net[0]).__name__, reloaded.ModuleType.__name__)
"""


def test_reimported_module_walks_through_its_own_namespace():
    result = subprocess.run([sys.executable, "-c", REIMPORT_SCRIPT], capture_output=True,
                            text=True, timeout=300, cwd=__file__.rsplit("/", 1)[0])
    assert result.returncode == 0, result.stderr[-2000:]
    first, after_reload, module_type = result.stdout.split()
    assert first == "Other" and after_reload == module_type
