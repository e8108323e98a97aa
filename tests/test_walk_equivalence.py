"""The native conversion walk against the walk written out in plain Python.

The native walk tells many member reads from the class and the instance dict
instead of making them, and reads module attributes without the
interpreter's detour.  These tests run it and a step-by-step Python walk on
twin networks and compare everything either can observe: the calls on the
configuration object with every path name tested against its containers, the
attribute reads of classes that watch them, the recorded path names and the
converted network."""

import os
import subprocess
import sys

import pytest
import torch
from torch import nn

from zylora import globals_zylora as GZL
from zylora import zylstrip

from reference_renditions import reference_refresh_zyl

Converted = zylstrip.ZYLModulePyThread


class Log(list):
    def add(self, *event):
        self.append(event)


class Watched(list):
    """A list that logs every `in` test made against it."""

    def __init__(self, log, label, values=()):
        super().__init__(values)
        self.log = log
        self.label = label

    def __contains__(self, item):
        self.log.add(self.label, item)
        return super().__contains__(item)


class RecordingPC:
    """Stands for GZL.pc: logs every getter call and every `in` test."""

    def __init__(self, log, tracked=(), not_to_save=(".quirky.skipped", ".lazy.made_up"),
                 verbose=False, on_not_to_save=None, plain=False):
        self.log = log
        self.tracked = list(tracked)
        self.not_to_save = list(not_to_save)
        self.verbose = verbose
        self.on_not_to_save = on_not_to_save
        self.plain = plain  # hand out plain lists, whose `in` tests are not seen

    def get_extra_verbose(self):
        self.log.add("get_extra_verbose")
        return self.verbose

    def get_modules_to_track(self):
        self.log.add("get_modules_to_track")
        return Watched(self.log, "tracked", self.tracked)

    def get_module_names_to_not_save(self):
        if self.on_not_to_save is not None:
            self.on_not_to_save()
        self.log.add("get_module_names_to_not_save")
        if self.plain:
            return list(self.not_to_save)
        return Watched(self.log, "not_to_save", self.not_to_save)


class ZYLLayer(nn.Module):
    """Stands for the package's dendrite layer, recognised by its name."""

    def __init__(self, *modules, skip=False):
        super().__init__()
        self.layer_array = nn.ModuleList(modules or [nn.Linear(3, 3)])
        self.processor_array = [None] * len(self.layer_array)
        if skip:
            self.skip_weights = nn.ParameterList(
                [nn.Parameter(torch.zeros(max(1, k), 3)) for k in range(len(self.layer_array))])
        self.register_buffer("node_index", torch.tensor([0]))
        self.register_buffer("num_cycles", torch.tensor(1))
        self.register_buffer("view_tuple", torch.tensor([1, -1]))


class Unreadable:
    def __get__(self, obj, cls):
        if obj is None:
            return self
        raise RuntimeError("cannot read")


class Quirky(nn.Module):
    """Members of every kind the walk tells apart: properties, failing and
    foreign descriptors, class-level values and modules, static and class
    methods, an instance value over a method, a device member."""

    shared = ZYLLayer()           # a module on the class
    limit = 3                     # a plain class value
    broken = Unreadable()         # reading it raises
    foreign = str.upper           # a descriptor of another class: reading raises TypeError
    helper = staticmethod(lambda: ZYLLayer())
    maker = classmethod(lambda cls: cls)

    def __init__(self):
        super().__init__()
        self.inner = ZYLLayer(skip=True)
        self.device = ZYLLayer()
        self.skipped = ZYLLayer()
        self.values = {"a": 1}
        object.__setattr__(self, "forward", ZYLLayer())  # shadows the method on the instance

    @property
    def watched(self):
        raise AssertionError("a property is never read")


class OwnDir(nn.Module):
    """Lists its own members, in its own order, with names that are absent."""

    def __init__(self):
        super().__init__()
        self.b = ZYLLayer()
        self.a = nn.Sequential(ZYLLayer(), nn.ReLU())

    def __dir__(self):
        return ["missing", "b", "zzz", "a", "b", "training", "__class__"]


class Reads(nn.Module):
    """Logs every attribute read made on it (also by torch's own methods)."""

    log = None

    def __init__(self):
        super().__init__()
        self.layer = ZYLLayer()
        self.lin = nn.Linear(3, 3)

    def __getattribute__(self, name):
        log = type(self).log
        if log is not None:
            log.add("read", name)
        return super().__getattribute__(name)


class Lazy(nn.Module):
    """Makes some members up in its own __getattr__ (logged)."""

    log = None

    def __init__(self):
        super().__init__()
        self.real = ZYLLayer()

    def __dir__(self):
        return super().__dir__() + ["made_up", "made_module"]

    def __getattr__(self, name):
        log = type(self).log
        if log is not None:
            log.add("getattr", name)
        if name == "made_up":
            return 7
        if name == "made_module":
            return self.__dict__.setdefault("_made", ZYLLayer())
        return super().__getattr__(name)


class OddDicts(nn.Module):
    """A parameter dict that is not a plain dict: its reads go through
    nn.Module.__getattr__ itself."""

    def __init__(self):
        super().__init__()
        self.inner = ZYLLayer()
        self.__dict__["_parameters"] = type("Params", (dict,), {})(self._parameters)
        self.weight = nn.Parameter(torch.ones(2))


def bench_like():
    net = nn.Sequential()
    for i in range(3):
        net.add_module(f"l{i}", ZYLLayer(nn.Linear(3, 3), nn.Linear(3, 3), skip=True))
    return net


def mixed():
    root = nn.Module()
    root.quirky = Quirky()
    root.own_dir = OwnDir()
    root.reads = Reads()
    root.lazy = Lazy()
    root.odd = OddDicts()
    root.seq = nn.Sequential(nn.Linear(3, 3), ZYLLayer(ZYLLayer(), nn.Linear(3, 3)))
    root.again = root.seq  # reachable twice
    return root


def shared_places():
    """A layer in several places, tied attributes and digit-named members."""
    layer = ZYLLayer(ZYLLayer(), nn.Linear(3, 3))
    root = nn.Module()
    root.seq = nn.Sequential(layer, nn.ReLU(), layer)
    root.enc = root.dec = ZYLLayer()
    root.heads = nn.ModuleDict({"0": ZYLLayer(), "1": root.enc, "x": nn.ModuleList([layer])})
    root.add_module("7", ZYLLayer())
    root.reads = Reads()
    return root


def structure(module, prefix=""):
    """Every (path, class name) of the converted network, with the identity
    of shared modules."""
    seen = {}
    out = []
    for name, sub in module.named_modules(remove_duplicate=False):
        out.append((name, type(sub).__name__, seen.setdefault(id(sub), len(seen))))
    return out


def run(walk, net, log, **pc_options):
    previous = GZL.pc
    GZL.pc = RecordingPC(log, **pc_options)
    Reads.log = Lazy.log = log
    try:
        converted = [] if pc_options.get("plain") else Watched(log, "converted")
        result = walk(net, 0, "", converted)
    finally:
        GZL.pc = previous
        Reads.log = Lazy.log = None
    return result, list(converted)


def native(net, depth, name, converted):
    return zylstrip.refresh_zyl(net, depth, name, converted)


@pytest.mark.parametrize("build", [bench_like, mixed, shared_places],
                         ids=["bench-network", "every-kind-of-member", "shared-places"])
@pytest.mark.parametrize("verbose", [False, True], ids=["quiet", "verbose"])
def test_walk_matches_reference(build, verbose, capsys):
    torch.manual_seed(0)
    net_native, net_reference = build(), build()
    log_native, log_reference = Log(), Log()
    out_native, list_native = run(native, net_native, log_native, verbose=verbose)
    printed_native = capsys.readouterr().out
    out_reference, list_reference = run(reference_refresh_zyl, net_reference, log_reference,
                                         verbose=verbose)
    printed_reference = capsys.readouterr().out
    assert log_native == log_reference
    assert list_native == list_reference
    assert structure(out_native) == structure(out_reference)
    assert printed_native == printed_reference
    assert any(event[0] == "not_to_save" for event in log_native)
    if build is mixed:
        assert ("read", "__dir__") in log_native and ("getattr", "made_up") in log_native
    if build is shared_places:
        assert [kind for _, kind, _ in structure(out_native)].count("ZYLLayer") == 0


@pytest.mark.parametrize(
    "tracked", [[Quirky], [ZYLLayer], [nn.Sequential, Reads]], ids=["quirky", "dendrite", "mixed"])
def test_tracked_classes_match_reference(tracked):
    net_native, net_reference = mixed(), mixed()
    log_native, log_reference = Log(), Log()
    out_native, list_native = run(native, net_native, log_native, tracked=tracked)
    out_reference, list_reference = run(reference_refresh_zyl, net_reference, log_reference,
                                        tracked=tracked)
    assert log_native == log_reference
    assert list_native == list_reference
    assert structure(out_native) == structure(out_reference)


def test_member_replaced_while_the_walk_runs():
    """The configuration getter, called for every member, may change the
    module being walked; what the walk does next follows the change."""
    results = []
    saved_limit = Quirky.limit
    for walk in (native, reference_refresh_zyl):
        net = nn.Module()
        net.holder = Quirky()
        log = Log()

        def swap():
            if log and log[-1] == ("not_to_save", ".holder.dump_patches"):
                object.__setattr__(net.holder, "extra_repr", ZYLLayer())
                Quirky.limit = ZYLLayer()

        try:
            out, names = run(walk, net, log, on_not_to_save=swap)
            results.append((log, names, structure(out),
                            type(net.holder._modules.get("extra_repr")).__name__))
        finally:
            Quirky.limit = saved_limit
    assert results[0] == results[1]
    assert results[0][3] == "ZYLModulePyThread"
    assert ".holder.limit" in results[0][1]


def test_converted_list_of_another_type_is_extended_with_plus_equals():
    calls = []

    class Names(list):
        def __iadd__(self, other):
            calls.append(list(other))
            return super().__iadd__(other)

    runs = []
    for walk in (native, reference_refresh_zyl):
        calls.clear()
        names = Names()
        walk(nn.Sequential(ZYLLayer(), nn.ReLU()), 0, "", names)
        runs.append((list(names), list(calls)))
    assert runs[0] == runs[1]
    assert runs[0][0][:2] == ["[0]", "[0].layer_array"]


@pytest.mark.parametrize("name_so_far", ["", ".x"], ids=["root", "below-root"])
def test_name_texts_of_a_str_subclass_are_added_as_written(name_so_far):
    added = []

    class Name(str):
        def __add__(self, other):
            added.append(str(other))
            return Name(str.__add__(self, other))

    runs = []
    for walk in (native, reference_refresh_zyl):
        added.clear()
        net = nn.Module()
        net.layer = ZYLLayer()
        converted = []
        walk(net, 0, Name(name_so_far), converted)
        runs.append((list(added), converted))
    assert runs[0] == runs[1]
    assert "." in runs[0][0] and name_so_far + ".layer" in runs[0][1]


def test_comparisons_use_the_operator_itself():
    """`net != child` is asked even when the child is the net itself."""
    asked = []

    class SelfHolding(nn.Module):
        def __ne__(self, other):
            asked.append(other is self)
            return super().__ne__(other)

        __hash__ = nn.Module.__hash__

    runs = []
    for walk in (native, reference_refresh_zyl):
        asked.clear()
        net = SelfHolding()
        net.inner = ZYLLayer()
        object.__setattr__(net, "layer_array", net)  # entered by name, and it is net itself
        walk(net, 0, "", [])
        runs.append((list(asked), type(net.inner).__name__))
    assert runs[0] == runs[1]
    assert True in runs[0][0] and runs[0][1] == "ZYLModulePyThread"


class Pattern:
    """A not-to-save entry that is no text: every comparison with it is seen."""

    def __init__(self, log, text):
        self.log = log
        self.text = text

    def __eq__(self, other):
        self.log.add("compared", other)
        return other == self.text

    __hash__ = None


@pytest.mark.parametrize(
    "entries",
    [
        pytest.param(lambda log: [".quirky.inner", ".seq", ".again", ".lazy.made_up"],
                     id="texts"),
        pytest.param(lambda log: [".quirky.inne", ".quirky.innerx", "quirky.inner", "",
                                  ".quirky.inner.", ".quirk", ".quirkyy", ".quirkx.inner",
                                  ".quirky_inner", ".quirky.innex"],
                     id="near-misses"),
        pytest.param(lambda log: [Pattern(log, ".quirky.inner"), ".seq"], id="pattern-first"),
        pytest.param(lambda log: [".seq", Pattern(log, ".reads.layer"), ".own_dir.b"],
                     id="pattern-between"),
        pytest.param(lambda log: ["\u00e9t\u00e9", ".quirky.inner\u0394", ".qu\u00efrky"],
                     id="wider-texts"),
    ],
)
def test_not_to_save_lists_match_reference(entries):
    """Plain lists of path names (and lists holding other things) skip the
    same members as the written-out walk."""
    runs = []
    for walk in (native, reference_refresh_zyl):
        log = Log()
        out, names = run(walk, mixed(), log, plain=True, not_to_save=entries(log))
        runs.append((log, names, structure(out)))
    assert runs[0] == runs[1]


def test_root_skips_listed_members_with_plain_lists(capsys):
    """At the root, a member whose path is already recorded is skipped (and
    named when verbose), also when the recorded list is a plain list."""
    runs = []
    for walk in (native, reference_refresh_zyl):
        net = mixed()
        log = Log()
        previous = GZL.pc
        GZL.pc = RecordingPC(log, plain=True, verbose=True)
        try:
            converted = [".quirky", ".seq[1]", ".reads"]
            out = walk(net, 0, "", converted)
        finally:
            GZL.pc = previous
        runs.append((log, converted, structure(out), capsys.readouterr().out))
    assert runs[0] == runs[1]
    assert "Skipping .quirky during save" in runs[0][3]
    kinds = {path: kind for path, kind, _ in runs[0][2]}
    assert kinds["quirky.inner"] == "ZYLLayer" and kinds["lazy.real"] == "ZYLModulePyThread"



# --- deep networks -------------------------------------------------------------------

DEEP_SCRIPT = """
import sys
import threading
from torch import nn
from zylora import zylstrip
from test_walk_equivalence import ZYLLayer

kind, depth, limit = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rebound, same_name, stack = sys.argv[4] == "True", sys.argv[5] == "True", int(sys.argv[6])


class SameName(str):
    # A path name that stays one short text at any depth: the names of a
    # chain otherwise grow with its depth, and their sum with its square.
    def __add__(self, other):
        return self


def below(node):
    return node.child if kind == "members" else node[0]


make = {"sequential": nn.Sequential, "members": nn.Module, "lists": list}[kind]
net = inner = make()
for level in range(depth):
    nxt = ZYLLayer() if level == depth - 1 else make()
    if kind == "members":
        inner.child = nxt
    else:
        inner.append(nxt)
    inner = nxt

sys.setrecursionlimit(limit)
walk = zylstrip.refresh_zyl
calls, names = [], []
if rebound:
    def counting(*args):
        calls.append(args[1])
        return walk(*args)
    zylstrip.refresh_zyl = counting


def convert():
    try:
        walk(net, 0, SameName("") if same_name else "", names)
    except RecursionError:
        print("RecursionError")
        return
    node = net
    for _ in range(depth):
        node = below(node)
    # Through the name at every level: one call per path entered.
    honoured = len(calls) == len(names) if rebound else not calls
    print(type(node).__name__, node.layer_array is inner.layer_array, honoured)


if stack:
    threading.stack_size(stack)
    thread = threading.Thread(target=convert)
    thread.start()
    thread.join()
else:
    convert()
"""


SMALL_STACK = 512 * 1024


@pytest.mark.parametrize(
    "kind, depth, limit, rebound, same_name, stack, outcome",
    [
        pytest.param("sequential", 5000, 100000, False, False, 0, "converts", id="sequential-5000"),
        pytest.param("members", 5000, 100000, False, False, 0, "converts", id="members-5000"),
        pytest.param("lists", 50000, 100000, False, True, 0, "converts", id="lists-50000"),
        pytest.param("sequential", 50000, 100000, False, True, 0, "converts",
                     id="sequential-50000"),
        pytest.param("sequential", 50000, 100000, False, True, SMALL_STACK, "converts",
                     id="sequential-50000-in-a-small-thread"),
        pytest.param("sequential", 5000, 2000, False, False, 0, "RecursionError",
                     id="deeper-than-the-limit"),
        pytest.param("sequential", 300, 100000, True, False, 0, "converts", id="rebound-300"),
        pytest.param("sequential", 50000, 100000, True, True, 0, "RecursionError",
                     id="rebound-50000"),
        pytest.param("sequential", 50000, 100000, True, True, SMALL_STACK, "RecursionError",
                     id="rebound-50000-in-a-small-thread"),
    ],
)
def test_any_depth_converts_or_raises_recursion_error(kind, depth, limit, rebound, same_name,
                                                      stack, outcome):
    """Users of very deep networks raise the recursion limit: the walk then
    converts any depth, and raises RecursionError, never a crash, where the
    limit or the thread's own stack is reached.  A rebound refresh_zyl is
    called at every level."""
    arguments = [kind, str(depth), str(limit), str(rebound), str(same_name), str(stack)]
    result = subprocess.run([sys.executable, "-c", DEEP_SCRIPT, *arguments], capture_output=True,
                            text=True, timeout=600, cwd=os.path.dirname(__file__))
    assert result.returncode == 0, result.stderr[-2000:]
    expected = "RecursionError" if outcome == "RecursionError" else "ZYLModulePyThread True True"
    assert result.stdout.strip() == expected
