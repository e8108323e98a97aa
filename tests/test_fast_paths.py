"""The native shortcuts of the hot paths give exactly what the plain
interpreter route gives: rebound names are honoured, unusual containers and
modules take the ordinary route, and getters are still called every time."""

import json
import os
import subprocess
import sys

import pytest
import torch
from torch import nn

from zylora import globals_zylora as GZL
from zylora import zylsetup, zylstrip

import torch_wrappers
from reference_renditions import reference_budget_line, reference_forward, reference_resolve
from test_forward_equivalence import FEATURES, dendrite_layer


def native_and_reference(monkeypatch, entries, make_pc):
    native_pc, reference_pc = make_pc(), make_pc()
    monkeypatch.setattr(GZL, "pc", native_pc)
    got = zylsetup.resolve_entry_modes(entries)
    monkeypatch.setattr(GZL, "pc", reference_pc)
    expected = reference_resolve(entries, reference_pc)
    assert native_pc.calls == reference_pc.calls
    assert got == expected
    return got


class Fussy(str):
    """A str whose equality no set could reproduce: equal to its own upper case."""

    def __eq__(self, other):
        return str.__eq__(self.upper(), str(other).upper())

    __hash__ = str.__hash__


class CountingPC:
    """Hands out its lists in the shape chosen, counting every getter call."""

    def __init__(self, shape, zylate_ids, track_ids, zylate_names, track_names):
        self.calls = []
        self.lists = {
            "ids_zylate": zylate_ids, "ids_track": track_ids,
            "names_zylate": zylate_names, "names_track": track_names,
        }
        self.shape = shape

    def _get(self, key):
        self.calls.append(key)
        values = self.lists[key]
        if self.shape == "same-list":
            return values
        if self.shape == "fresh-list":
            return list(values)
        if self.shape == "tuple":
            return tuple(values)
        return iter(values)  # a generator-like iterable: consumed by each test

    def get_module_ids_to_zylate(self):
        return self._get("ids_zylate")

    def get_module_ids_to_track(self):
        return self._get("ids_track")

    def get_module_names_to_zylate(self):
        return self._get("names_zylate")

    def get_module_names_to_track(self):
        return self._get("names_track")


@pytest.mark.parametrize("shape", ["same-list", "fresh-list", "tuple", "iterator"])
def test_resolution_matches_reference_for_every_list_shape(monkeypatch, entries, shape):
    ids = [e["id"] for e in entries]
    lists = ([ids[3], ids[7], ids[3]], [ids[7], ids[1]], ["Linear"], ["LayerNorm", "Linear"])
    got = native_and_reference(monkeypatch, entries, lambda: CountingPC(shape, *map(list, lists)))
    assert {r["source"] for r in got.values()} >= {"id", "type", "inherited"}


def test_items_with_their_own_equality_keep_list_semantics(monkeypatch, entries):
    target = entries[2]["id"]
    got = native_and_reference(
        monkeypatch, entries,
        lambda: CountingPC("same-list", [Fussy(target.upper())], [], [Fussy("LINEAR")], []),
    )
    assert got[target]["eff"] == "zylated" and got[target]["source"] == "id"


def test_list_replaced_mid_pass_is_read_afresh(monkeypatch, entries):
    """A getter that starts handing out a new list of the same length is seen."""
    ids = [e["id"] for e in entries]

    class SwappingPC(CountingPC):
        def get_module_ids_to_zylate(self):
            if self.calls.count("ids_zylate") == len(entries) // 2:
                self.lists["ids_zylate"] = [ids[-1]]
            return self._get("ids_zylate")

    got = native_and_reference(
        monkeypatch, entries, lambda: SwappingPC("same-list", [ids[0]], [], [], [])
    )
    assert got[ids[-1]]["eff"] == "zylated"


class EditingPC(CountingPC):
    """Hands out the same lists, and edits one in place (as a getter that
    refreshes its list, or a watcher thread, can) right before its getter's
    call number `at_call` returns it."""

    def __init__(self, key, at_call, edit, *lists):
        super().__init__("same-list", *lists)
        self.key, self.at_call, self.edit = key, at_call, edit

    def _get(self, key):
        if key == self.key and self.calls.count(key) == self.at_call:
            self.edit(self.lists[key])
        return super()._get(key)


IN_PLACE_EDITS = {
    "same-length-swap": lambda values, leaver, newcomer: values.__setitem__(values.index(leaver), newcomer),
    "append": lambda values, leaver, newcomer: values.append(newcomer),
    "remove": lambda values, leaver, newcomer: values.remove(leaver),
}


@pytest.mark.parametrize("edit", IN_PLACE_EDITS.values(), ids=IN_PLACE_EDITS.keys())
@pytest.mark.parametrize("which", ["id-list", "type-list"])
def test_list_edited_in_place_mid_pass_is_read_as_it_is(monkeypatch, entries, edit, which):
    ids = [e["id"] for e in entries]
    if which == "id-list":
        key, leaver, newcomer = "ids_zylate", ids[-2], ids[-1]
        lists = ([ids[0], leaver], [], [], [])
    else:
        key, leaver, newcomer = "names_track", "Dropout", "Linear"
        lists = ([], [], [], ["LayerNorm", leaver])

    def make_pc():
        return EditingPC(key, len(entries) // 2, lambda values: edit(values, leaver, newcomer),
                         *map(list, lists))

    got = native_and_reference(monkeypatch, entries, make_pc)
    # the edit shows in the second half of the pass
    assert got != reference_resolve(entries, CountingPC("same-list", *map(list, lists)))


def synthetic(ids, type_name="Linear"):
    return [{"id": i, "type_name": type_name} for i in ids]


class Marked(str):
    """A str subclass: equal to the plain text, but not a plain str."""


UNUSUAL_IDS = {
    "no-leading-dot": ["a", "a.b", ".b", ".b.c", "x.b.c"],
    "non-ascii": [".\u00e9", ".\u00e9.\u03a9", ".\u00e9.\u03a9.\U0001f600", ".a.\u03a9"],
    "repeated-id": [".a", ".a.b", ".a", ".a.b.c"],
    "child-before-parent": [".a.b", ".a", ".a.b.c"],
    "empty-parts": [".", "..", "...", ".a.", ".a..b"],
    "str-subclass-id": [".a", Marked(".a.b"), ".a.b.c"],
    "non-text-id": [".a", 7, ".a.b"],
}


@pytest.mark.parametrize("ids", UNUSUAL_IDS.values(), ids=UNUSUAL_IDS.keys())
@pytest.mark.parametrize("listed", ["first-zylated", "second-tracked"])
def test_resolution_matches_reference_for_unusual_ids(monkeypatch, ids, listed):
    entries = synthetic(ids)
    text_ids = [i for i in ids if isinstance(i, str)]
    zylate, track = ([text_ids[0]], []) if listed == "first-zylated" else ([], [text_ids[1]])
    if any(not isinstance(i, str) for i in ids):
        monkeypatch.setattr(zylsetup, "get_parent_module_id",
                            lambda i: None if not isinstance(i, str) else str(i).rpartition(".")[0] or None)
    native_and_reference(monkeypatch, entries,
                         lambda: CountingPC("same-list", zylate, track, ["Linear"], []))


@pytest.mark.parametrize("parent", [
    pytest.param(lambda i: Marked(str(i).rpartition(".")[0]), id="str-subclass"),
    pytest.param(lambda i: str(i).rpartition(".")[0].upper(), id="other-text"),
    pytest.param(lambda i: len(str(i)), id="integer"),
])
def test_rebound_parent_results_are_looked_up_like_python(monkeypatch, parent):
    entries = synthetic([".a", ".A", ".a.b", ".A.b", 2, ".a.b.c"])
    monkeypatch.setattr(zylsetup, "get_parent_module_id", parent)
    native_and_reference(monkeypatch, entries,
                         lambda: CountingPC("same-list", [".a", ".A"], [2], [], []))


def test_unhashable_parent_raises_like_the_index(monkeypatch):
    monkeypatch.setattr(zylsetup, "get_parent_module_id", lambda i: [i])
    with pytest.raises(TypeError, match="unhashable"):
        zylsetup.resolve_entry_modes(synthetic([".a", ".a.b"]))


@pytest.mark.parametrize("name", ["get_id_mode", "get_name_mode", "get_parent_module_id"])
def test_rebound_helpers_are_called_instead(monkeypatch, entries, name):
    seen = []
    original = getattr(zylsetup, name)

    def spy(value):
        seen.append(value)
        return original(value)

    GZL.pc.set_module_ids_to_zylate([entries[4]["id"]])
    GZL.pc.set_module_names_to_track(["LayerNorm"])
    expected = zylsetup.resolve_entry_modes(entries)
    monkeypatch.setattr(zylsetup, name, spy)
    assert zylsetup.resolve_entry_modes(entries) == expected
    assert len(seen) == len(entries)
    monkeypatch.setattr(zylsetup, name, lambda value: None)
    blanked = zylsetup.resolve_entry_modes(entries)
    if name == "get_parent_module_id":
        assert all(r["source"] != "inherited" for r in blanked.values())
    else:
        assert blanked != expected


def test_rebound_styling_is_honoured_by_native_callers(monkeypatch):
    assert zylsetup.dim("x") == "\x1b[90mx\x1b[0m"
    monkeypatch.setattr(zylsetup, "_ansi", lambda text, code: f"<{code}|{text}>")
    assert zylsetup.dim("x") == "<90|x>"


def python_counts(module, recurse):
    return sum(p.numel() for _, p in module.named_parameters(recurse=recurse))


# Held here: a tensor made afresh at each call could take the address, and
# so the id(), of one freed earlier, and the sums would hang on the allocator.
FAKE_PARAMETERS = [torch.zeros(7), torch.zeros(5)]


class Shadowed(nn.Module):
    def __init__(self):
        super().__init__()
        self.fc = nn.Linear(2, 3)

    def named_parameters(self, prefix="", recurse=True, remove_duplicate=True):
        yield "fake", FAKE_PARAMETERS[0]


class Equal(nn.Module):
    """Modules that compare equal: hashing is no longer by identity."""

    def __init__(self):
        super().__init__()
        self.fc = nn.Linear(2, 2)

    def __eq__(self, other):
        return isinstance(other, Equal)

    __hash__ = nn.Module.__hash__


def odd_network():
    shared = nn.Linear(4, 4)
    net = nn.Sequential(nn.Linear(2, 2), Shadowed(), nn.Sequential(shared, shared), Equal())
    net.add_module("again", shared)
    per_instance = nn.Linear(1, 1)
    per_instance.named_parameters = lambda prefix="", recurse=True, remove_duplicate=True: iter(
        [("w", FAKE_PARAMETERS[1])]
    )
    net.add_module("patched", per_instance)
    tied = nn.Linear(3, 3)
    tied.register_parameter("tied", tied.weight)
    net.add_module("tied", tied)
    net.add_module("plain_tensor", nn.Module())
    net.plain_tensor._parameters["t"] = torch.ones(6)
    return net


def test_entry_counts_equal_what_named_parameters_says():
    net = odd_network()
    entries = zylsetup.get_module_entries(net)
    for e in entries:
        assert e["direct_param_count"] == python_counts(e["module"], False), e["id"]
        assert e["tree_param_count"] == python_counts(e["module"], True), e["id"]
    assert {e["id"]: e["direct_param_count"] for e in entries}[".1"] == 7
    assert {e["id"]: e["tree_param_count"] for e in entries}[".patched"] == 5


def test_budget_equals_the_plain_computation():
    net = odd_network()
    entries = zylsetup.get_module_entries(net)
    resolved = {e["id"]: {"eff": "zylated" if i % 2 else None} for i, e in enumerate(entries)}
    seen_total, seen_added, total, added = set(), set(), 0, 0
    for e in entries:
        for _, p in e["module"].named_parameters(recurse=False):
            if id(p) not in seen_total:
                seen_total.add(id(p))
                total += p.numel()
        if resolved[e["id"]]["eff"] == "zylated":
            for _, p in e["module"].named_parameters(recurse=False):
                if id(p) not in seen_added:
                    seen_added.add(id(p))
                    added += p.numel()
    line = zylsetup.build_budget_line(entries, resolved)
    assert line.startswith("Zylation budget:  +" + zylsetup.format_human_count(added) + " ")
    assert " model " + zylsetup.format_human_count(total) + "  (+" in line


def test_patched_framework_method_is_honoured(monkeypatch):
    net = nn.Sequential(nn.Linear(2, 2))
    calls = []
    original = nn.Module.named_parameters

    def counting(self, *args, **kwargs):
        calls.append(kwargs.get("recurse"))
        return original(self, *args, **kwargs)

    monkeypatch.setattr(nn.Module, "named_parameters", counting)
    (entry,) = zylsetup.get_module_entries(net)
    assert calls == [False, True] and entry["tree_param_count"] == 6
    zylsetup.build_budget_line([entry], {".0": {"eff": "zylated"}})
    assert calls == [False, True, False, False]


class ZYLLayer(nn.Module):
    def __init__(self):
        super().__init__()
        self.layer_array = nn.ModuleList([nn.Linear(3, 3)])
        self.processor_array = [None]
        self.register_buffer("node_index", torch.tensor([0]))
        self.register_buffer("num_cycles", torch.tensor(1))
        self.register_buffer("view_tuple", torch.tensor([1, -1]))


class Holder(nn.Module):
    def forward(self, x):
        return x

    def helper(self):
        return None


def test_walk_sees_an_instance_attribute_over_a_class_method():
    """A name that is a method on the class but a dendrite layer on the
    instance is converted; plain methods are left alone."""
    net = Holder()
    object.__setattr__(net, "helper", ZYLLayer())
    out = zylstrip.refresh_net(net)
    # the converted layer is assigned back as a submodule
    assert type(out._modules["helper"]) is zylstrip.ZYLModulePyThread
    assert out.forward(3) == 3


ROUTE_SCRIPT = """
import sys
import torch
if sys.argv[1] != "installed":
    torch.__version__ = sys.argv[1]
from torch import nn
from zylora import zylstrip
from test_forward_equivalence import build, reference_forward

watched = {nn.ModuleList.__getitem__.__code__, nn.ParameterList.__getitem__.__code__}
seen = []

def profile(frame, event, arg):
    if event == "call" and frame.f_code in watched:
        seen.append(frame.f_code.co_name)

torch.manual_seed(0)
x = torch.randn(5, 4)
conv = build(3)
sys.setprofile(profile)
native = conv(x)
sys.setprofile(None)
print("plain" if seen else "shortcut", torch.equal(native, reference_forward(conv, x)))
"""


@pytest.mark.parametrize(
    "version, switch_off, route",
    [
        pytest.param("2.99.0", False, "plain", id="unlisted-release"),
        pytest.param("3.0.0a0+git", False, "plain", id="unlisted-major"),
        pytest.param("installed", True, "plain", id="switched-off"),
        pytest.param("installed", False, "shortcut", id="listed-release"),
    ],
)
def test_torch_shortcuts_only_on_listed_releases(version, switch_off, route):
    """The plain route indexes torch's containers through their own
    __getitem__, which a profiler hook sees; the shortcut does not."""
    import os
    import pathlib
    import subprocess
    import sys

    env = dict(os.environ)
    env.pop("ZYLORA_NO_FAST_PATHS", None)
    if switch_off:
        env["ZYLORA_NO_FAST_PATHS"] = "1"
    here = pathlib.Path(__file__).parent
    result = subprocess.run([sys.executable, "-c", ROUTE_SCRIPT, version], capture_output=True,
                            text=True, timeout=300, cwd=here, env=env)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() == [route, "True"]


def test_a_lone_surrogate_in_an_id_resolves_like_python(monkeypatch):
    """Such a text has no UTF-8 form, yet Python compares and hashes it."""
    net = nn.Module()
    net.heads = nn.ModuleDict({"\ud800": nn.Sequential(nn.Linear(1, 1)), "a": nn.Linear(1, 1)})
    entries = zylsetup.get_module_entries(net)
    ids = [e["id"] for e in entries]
    assert ".heads.\ud800.0" in ids
    got = native_and_reference(
        monkeypatch, entries,
        lambda: CountingPC("same-list", [".heads.\ud800"], [".heads.a"], [], ["Linear"]),
    )
    child = got[".heads.\ud800.0"]
    assert (child["source"], child["origin_id"]) == ("inherited", ".heads.\ud800")
    assert child["overridden"] == {"mode": "tracked", "source": "type"}


def test_a_rebound_parent_may_name_a_surrogate_id(monkeypatch):
    entries = synthetic([".\udcff", ".x.y"])
    monkeypatch.setattr(zylsetup, "get_parent_module_id", lambda i: ".\udcff" if i == ".x.y" else None)
    got = native_and_reference(monkeypatch, entries,
                               lambda: CountingPC("same-list", [".\udcff"], [], [], []))
    assert got[".x.y"]["origin_id"] == ".\udcff"


# --- The switch and the torch-release gate, seen from a fresh process -------

ROUTE_PROBE = r"""
import sys, torch
from torch import nn
if {version!r}:
    torch.__version__ = {version!r}
from zylora import zylsetup
import os
os.environ.pop("ZYLORA_NO_FAST_PATHS", None)  # read at import: too late now

net = nn.Sequential(nn.Linear(2, 3), nn.Sequential(nn.Linear(3, 1), nn.ReLU()))
entries = zylsetup.get_module_entries(net)
resolved = {{e["id"]: {{"eff": "zylated" if e["id"] == ".1.0" else None}} for e in entries}}
calls = []
code = nn.Module.named_parameters.__code__

def profile(frame, event, arg):
    if event == "call" and frame.f_code is code:
        calls.append(frame.f_locals.get("recurse"))

sys.setprofile(profile)
line = zylsetup.build_budget_line(entries, resolved)
sys.setprofile(None)
print("plain" if calls else "fast")
print(line)
"""


def route_in_child(version, switched_off):
    env = dict(os.environ)
    env.pop("ZYLORA_NO_FAST_PATHS", None)
    if switched_off:
        env["ZYLORA_NO_FAST_PATHS"] = "1"
    done = subprocess.run([sys.executable, "-c", ROUTE_PROBE.format(version=version)],
                          env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    route, line = done.stdout.splitlines()
    return route, line


ROUTES = [
    pytest.param("", False, "fast", id="installed-torch"),
    pytest.param("2.14.1+cu128", False, "fast", id="listed-2.14"),
    pytest.param("2.99.0", False, "plain", id="unlisted-2.99"),
    pytest.param("2.1.3", False, "plain", id="unlisted-2.1"),
    pytest.param("", True, "plain", id="switched-off"),
]


@pytest.mark.parametrize("version, switched_off, route", ROUTES)
def test_shortcuts_copying_torch_only_on_listed_releases(version, switched_off, route):
    got_route, line = route_in_child(version, switched_off)
    assert got_route == route
    # the same budget either way: the second Linear's 3+1 of 2*3+3 + 3+1
    assert line == "Zylation budget:  +4 params per dendrite cycle  \u00b7  model 13  (+30.8% / cycle)"


# --- Torch's methods wrapped, before or after zylora is imported ------------
#
# Each wrapper has the signature of the method it wraps and hides frozen
# parameters or pruned layers once switched on; what zylora computes must
# follow it, as the plain Python rendition (which calls the methods) does.

def outcome(function, *args):
    try:
        return ("value", function(*args))
    except Exception as error:  # the routes must fail alike as well
        return ("raises", type(error))


def same(a, b):
    if a[0] != b[0]:
        return False
    return torch.equal(a[1], b[1]) if a[0] == "value" else a[1] is b[1]


def budget_case(turn_on):
    torch.manual_seed(0)
    net = nn.Sequential(nn.Linear(4, 5), nn.Sequential(nn.Linear(5, 5), nn.LayerNorm(5)),
                        nn.Linear(5, 2))
    net[0].bias.requires_grad_(False)
    net[1][0].weight.requires_grad_(False)
    entries = zylsetup.get_module_entries(net)
    resolved = {e["id"]: {"eff": "zylated" if i % 2 == 0 else None} for i, e in enumerate(entries)}
    before = zylsetup.build_budget_line(entries, resolved)
    turn_on()
    native, reference = zylsetup.build_budget_line(entries, resolved), reference_budget_line(entries, resolved)
    return native == reference, reference != before


def forward_case(turn_on):
    """A layer converted before anything is hidden, then a dendrite pruned and
    a skip weight frozen."""
    GZL.pc.set_zyl_forward_function(torch.tanh)
    conv = zylstrip.ZYLModulePyThread(dendrite_layer(4))
    torch.manual_seed(11)
    x = torch.randn(5, FEATURES)
    before = outcome(conv, x)
    turn_on()
    conv._modules["layer_array"]._modules["0"].pruned = True
    conv._modules["skip_weights"]._parameters["1"].requires_grad_(False)
    native, reference = outcome(conv, x), outcome(reference_forward, conv, x)
    return same(native, reference), not same(reference, before)


def conversion_case(turn_on):
    """The layers a converted module takes over are those its layer reads."""
    layer = dendrite_layer(4)
    layer.layer_array[0].pruned = True
    turn_on()
    converted = zylstrip.make_module(layer)
    native, reference = list(converted._modules["layer_array"]), list(getattr(layer, "layer_array"))
    return native == reference, reference != list(layer._modules["layer_array"])


def wrapped_results(key, turn_on):
    """{case: (zylora agrees with the rendition, the wrapper changed it)}."""
    if key in torch_wrappers.BUDGET_KEYS:
        return {"budget": budget_case(turn_on)}
    results = {"forward": forward_case(turn_on)}
    if key == "Module.__getattr__":
        results["conversion"] = conversion_case(turn_on)
    return results


@pytest.mark.parametrize("key", torch_wrappers.WRAPPERS)
def test_torch_method_wrapped_after_import_is_followed(monkeypatch, key):
    owner, name, wrapper = torch_wrappers.wrapper_for(key, lambda: True)
    results = wrapped_results(key, lambda: monkeypatch.setattr(owner, name, wrapper))
    assert results == dict.fromkeys(results, (True, True))


PATCHED_BEFORE_IMPORT = """
import json
import torch_wrappers
torch_wrappers.install_all()  # zylora is not imported yet
import test_fast_paths as cases

def results(key):
    torch_wrappers.ACTIVE.clear()
    return cases.wrapped_results(key, lambda: torch_wrappers.ACTIVE.add(key))

print(json.dumps({key: results(key) for key in torch_wrappers.WRAPPERS}))
"""


@pytest.fixture(scope="module")
def results_patched_before_import():
    """Run once, on this run's route (the environment is passed on)."""
    here = os.path.dirname(os.path.abspath(__file__))
    done = subprocess.run([sys.executable, "-c", PATCHED_BEFORE_IMPORT], capture_output=True,
                          text=True, timeout=300, cwd=here)
    assert done.returncode == 0, done.stderr[-2000:]
    return json.loads(done.stdout.splitlines()[-1])


@pytest.mark.parametrize("key", torch_wrappers.WRAPPERS)
def test_torch_method_wrapped_before_import_is_followed(results_patched_before_import, key):
    results = results_patched_before_import[key]
    assert results == dict.fromkeys(results, [True, True])
