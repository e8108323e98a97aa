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
