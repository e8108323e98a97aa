"""get_module_entries makes the framework's calls as the interpreter makes
them, on every network and every torch: it must give what the plain Python
rendition gives, with the same calls on the user's objects and the same
errors."""

import contextlib
import sys

import pytest
import torch
from torch import nn
from torch.overrides import TorchFunctionMode

from zylora import zylsetup

from reference_renditions import reference_entries

KEYS = [
    "id", "name", "type_name", "module", "depth", "direct_param_count",
    "tree_param_count", "is_replaced_root", "replaced_root", "in_replaced",
]


def comparable(entries):
    """Entries with the module as the place where that very object first
    appears: equal for two builds of one network (a module may define ==)."""
    first = {}
    for e in entries:
        first.setdefault(id(e["module"]), len(first))
    return [[(k, first[id(v)] if k == "module" else v) for k, v in e.items()] for e in entries]


LOG = []


class Block(nn.Module):
    def __init__(self, width=3):
        super().__init__()
        self.attn = nn.Sequential(nn.Linear(width, width), nn.Linear(width, width))
        self.norm = nn.LayerNorm(width)
        self.mlp = nn.ModuleList([nn.Linear(width, 2 * width), nn.Dropout(0.1)])


class Replaced(nn.Module):
    def __init__(self):
        super().__init__()
        self.inner = nn.Sequential(Block(), nn.Linear(3, 3))


class OwnNamedParameters(nn.Module):
    """Answers named_parameters itself: its counts are whatever it yields."""

    def __init__(self):
        super().__init__()
        self.fc = nn.Linear(2, 3)

    def named_parameters(self, prefix="", recurse=True, remove_duplicate=True):
        LOG.append(("named_parameters", recurse))
        yield "fake", torch.zeros(7)
        if recurse:
            yield from super().named_parameters(prefix, recurse, remove_duplicate)


class OwnNamedModules(nn.Module):
    """Reports one more submodule than it holds."""

    def __init__(self):
        super().__init__()
        self.fc = nn.Linear(2, 2)
        self.hidden = nn.Linear(5, 5)

    def named_modules(self, memo=None, prefix="", remove_duplicate=True):
        LOG.append(("named_modules", prefix))
        yield from super().named_modules(memo, prefix, remove_duplicate)
        yield prefix + ".extra", self.hidden


class Grows(nn.Module):
    """Each call of its named_parameters gives a module further on in module
    order a larger weight: counts after it must be read afresh."""

    def __init__(self, later):
        super().__init__()
        self.fc = nn.Linear(2, 2)
        self.later = [later]  # not a submodule

    def named_parameters(self, prefix="", recurse=True, remove_duplicate=True):
        later = self.later[0]
        later.weight = nn.Parameter(torch.zeros(later.weight.numel() + 1))
        return super().named_parameters(prefix, recurse, remove_duplicate)


class CountedParameter(nn.Parameter):
    def numel(self):
        LOG.append("numel")
        return super().numel()


def chain(depth):
    root = nn.Module()
    module = root
    for _ in range(depth):
        module.add_module("c", nn.Sequential(nn.Linear(1, 1)))
        module = module.c
    return root


def plain():
    net = nn.Module()
    net.stacks = nn.ModuleList([nn.ModuleList([Block(), Replaced(), Block()]) for _ in range(3)])
    net.head = nn.Linear(3, 2)
    return net


def shared_parameter():
    net = plain()
    net.stacks[0][0].attn[1].weight = net.stacks[2][2].attn[0].weight
    tied = nn.Linear(3, 3)
    tied.register_parameter("again", tied.weight)  # one module, one parameter, two names
    net.tied = tied
    return net


def module_under_two_names():
    net = plain()
    shared = nn.Linear(4, 4)
    net.stacks[1][0].attn.append(shared)
    net.stacks[2][1].inner.append(shared)
    net.alias = net.stacks[0]  # a whole subtree reachable twice
    return net


def overriding_named_parameters():
    net = plain()
    net.stacks[1][0].mlp.append(OwnNamedParameters())
    return net


def overriding_named_modules():
    net = plain()
    net.stacks[2].append(OwnNamedModules())
    return net


def changes_while_counted():
    net = plain()
    net.stacks[0][0].mlp.append(Grows(net.stacks[2][2].attn[0]))
    return net


def parameter_subclass():
    net = plain()
    lin = net.stacks[1][2].attn[0]
    lin.weight = CountedParameter(lin.weight.detach().clone())
    return net


def numel_on_the_instance():
    net = plain()
    p = net.stacks[0][2].norm.weight

    def numel():
        LOG.append("numel")
        return 11

    p.numel = numel
    return net


def set_to_none():
    net = plain()
    net.stacks[0][0].norm.bias = None
    net.stacks[2][0].attn[0].register_parameter("bias", None)
    net.stacks[1].register_module("gone", None)
    return net


def plain_tensor_parameter():
    net = plain()
    net.stacks[0][0].norm._parameters["t"] = torch.ones(6)
    return net


def odd_names():
    net = plain()
    net._modules[""] = nn.Sequential(nn.Linear(2, 2))  # yielded as "" and skipped
    net._modules["a.b"] = nn.Linear(1, 1)  # its dot counts in the depth
    net.stacks[0]._modules[""] = nn.Linear(1, 2)  # a name ending in "."
    return net


NETWORKS = {
    "plain": plain,
    "shared-parameter": shared_parameter,
    "module-under-two-names": module_under_two_names,
    "overriding-named_parameters": overriding_named_parameters,
    "overriding-named_modules": overriding_named_modules,
    "changes-while-counted": changes_while_counted,
    "parameter-subclass": parameter_subclass,
    "numel-on-the-instance": numel_on_the_instance,
    "set-to-None": set_to_none,
    "plain-tensor-parameter": plain_tensor_parameter,
    "odd-names": odd_names,
    "deep-nesting": lambda: chain(60),
    "deeper-than-walked": lambda: chain(420),
}


class SeesTensorCalls(TorchFunctionMode):
    """Sees every numel() and hash() of a tensor while it is active."""

    def __torch_function__(self, func, types, args=(), kwargs=None):
        if func in (torch.Tensor.numel, torch.Tensor.__hash__):
            LOG.append(("mode", func.__name__))
        return func(*args, **(kwargs or {}))


@contextlib.contextmanager
def framework_wrapped(monkeypatch):
    """The framework's method, called through a wrapper: nothing may stand
    in for it."""
    original = nn.Module.named_parameters

    def wrapper(self, *args, **kwargs):
        return original(self, *args, **kwargs)

    with monkeypatch.context() as m:
        m.setattr(nn.Module, "named_parameters", wrapper)
        yield


CONDITIONS = {
    "as-is": lambda monkeypatch: contextlib.nullcontext(),
    "tensor-calls-seen-by-a-mode": lambda monkeypatch: SeesTensorCalls(),
    "framework-method-wrapped": framework_wrapped,
}


@pytest.mark.parametrize("condition", CONDITIONS)
@pytest.mark.parametrize("network", NETWORKS)
def test_entries_and_calls_match_the_reference(fresh_pc, monkeypatch, network, condition):
    # Two builds of the network: counting may change it as it goes.
    reference_net, net = NETWORKS[network](), NETWORKS[network]()
    fresh_pc.set_modules_to_replace([Replaced, Block])
    with CONDITIONS[condition](monkeypatch):
        LOG.clear()
        expected = reference_entries(reference_net, [Replaced, Block])
        expected_log = list(LOG)
        LOG.clear()
        got = zylsetup.get_module_entries(net)
        got_log = list(LOG)
    held = {id(m) for _, m in net.named_modules(remove_duplicate=False)}
    assert all(id(e["module"]) in held for e in got)
    assert all(list(e) == KEYS for e in got)
    assert comparable(got) == comparable(expected)
    assert got_log == expected_log


def test_reference_sees_what_the_scenarios_are_about(fresh_pc):
    """The scenarios do exercise what they are named after."""
    counts = {e["id"]: e for e in reference_entries(shared_parameter(), [])}
    # a parameter shared by two submodules counts once in their common subtree
    assert counts[".stacks"]["tree_param_count"] < sum(
        counts[f".stacks.{i}"]["tree_param_count"] for i in range(3))
    assert counts[".tied"]["direct_param_count"] == 3 * 3 + 3  # the weight once, under two names
    twice = reference_entries(module_under_two_names(), [])
    assert sum(e["id"].startswith(".alias.") for e in twice) == sum(
        e["id"].startswith(".stacks.0.") for e in twice)
    LOG.clear()
    entries = reference_entries(overriding_named_parameters(), [])
    assert ("named_parameters", True) in LOG
    assert {e["id"]: e for e in entries}[".stacks.1.0.mlp.2"]["direct_param_count"] == 7
    ids = [e["id"] for e in reference_entries(odd_names(), [])]
    assert ".a.b" in ids and ".stacks.0." in ids and "." not in ids
    assert ".0" in ids  # the child of the module named ""


def framework_frames(make_entries, model):
    """The prefixes with which the framework's named_modules and
    named_parameters code runs while `make_entries(model)` makes entries."""
    codes = {nn.Module.named_modules.__code__: "named_modules",
             nn.Module.named_parameters.__code__: "named_parameters"}
    seen = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code in codes:
            seen.append((codes[frame.f_code], frame.f_locals.get("prefix")))

    sys.setprofile(profile)
    try:
        make_entries(model)
    finally:
        sys.setprofile(None)
    return seen


@pytest.mark.parametrize("network", ["plain", "module-under-two-names", "set-to-None", "deep-nesting"])
def test_the_frameworks_walks_run_as_in_python(network):
    """No shortcut stands in for the framework's walks, whatever the network."""
    net = NETWORKS[network]()
    expected = framework_frames(lambda m: reference_entries(m, []), net)
    got = framework_frames(zylsetup.get_module_entries, net)
    assert got == expected
    assert {kind for kind, _ in got} == {"named_modules", "named_parameters"}


class NamesItsOwn(nn.Module):
    """Its named_modules yields what it is given, after its own pair."""

    def __init__(self, *pairs):
        super().__init__()
        self.fc = nn.Linear(1, 1)
        self.pairs = pairs

    def named_modules(self, memo=None, prefix="", remove_duplicate=True):
        yield "", self
        yield from ((*pair[:1], self.fc, *pair[1:]) for pair in self.pairs)


ODD_PAIRS = {
    "integer-name": (7,),
    "bytes-name": (b"fc",),
    "none-name": (None,),
    "three-items": ("fc", "extra"),
    "one-item": (),
}


@pytest.mark.parametrize("pair", ODD_PAIRS.values(), ids=ODD_PAIRS.keys())
def test_odd_pairs_raise_what_python_raises(pair):
    def outcome(make):
        try:
            make()
        except Exception as e:  # noqa: BLE001 - the error itself is compared
            return type(e), str(e)
        return None

    def build():
        net = NamesItsOwn(pair) if pair else NamesItsOwn()
        if not pair:
            net.named_modules = lambda **kw: iter([("",), ("x",)])
        return net

    expected = outcome(lambda: reference_entries(build(), []))
    assert expected is not None
    assert outcome(lambda: zylsetup.get_module_entries(build())) == expected


def test_text_names_of_its_own_are_taken(fresh_pc):
    net = NamesItsOwn(("a.b",), ("c",))
    fresh_pc.set_modules_to_replace([nn.Linear])
    assert comparable(zylsetup.get_module_entries(net)) == comparable(reference_entries(net, [nn.Linear]))


@pytest.mark.parametrize("depth", [100, 350], ids=["within-reach", "beyond-the-limit"])
def test_recursion_limit_is_the_frameworks(depth):
    """Near the interpreter's recursion limit the outcome is the
    framework's: the same entries, or the same error."""
    net = chain(depth)
    frame, here = sys._getframe(), 0
    while frame is not None:
        frame, here = frame.f_back, here + 1
    saved = sys.getrecursionlimit()
    outcomes = []
    try:
        sys.setrecursionlimit(here + 300)
        for make in (lambda: reference_entries(net, []), lambda: zylsetup.get_module_entries(net)):
            try:
                outcomes.append(comparable(make()))
            except RecursionError:
                outcomes.append(RecursionError)
    finally:
        sys.setrecursionlimit(saved)
    assert outcomes[0] == outcomes[1]
    assert (outcomes[0] is RecursionError) is (depth == 350)


def test_a_cycle_raises_as_the_framework_does():
    net = nn.Sequential(nn.Linear(1, 1))
    net[0].back = net  # named_modules(remove_duplicate=False) never ends
    with pytest.raises(RecursionError):
        reference_entries(net, [])
    with pytest.raises(RecursionError):
        zylsetup.get_module_entries(net)
