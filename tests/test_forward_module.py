import io
import threading
import traceback

import pytest
import torch
from torch import nn

from zylora import globals_zylora as GZL
from zylora import zylstrip

FEATURES = 5


class ZYLLayer(nn.Module):
    """Test stand-in for the package's dendrite layer (recognised by its name)."""

    def __init__(self, modules, processors=None, skip_weights=None, view_tuple=(1, -1)):
        super().__init__()
        self.layer_array = nn.ModuleList(modules)
        self.processor_array = processors if processors is not None else [None] * len(modules)
        if skip_weights is not None:
            self.skip_weights = nn.ParameterList(skip_weights)
        self.register_buffer("node_index", torch.tensor([7, 8]))
        self.register_buffer("num_cycles", torch.tensor(3))
        self.register_buffer("view_tuple", torch.tensor(view_tuple))


class DendriteProcessor:
    """pre(*args, **kwargs) -> (args, kwargs); post(out) -> out."""

    def __init__(self, scale, shift):
        self.scale = scale
        self.shift = shift

    def pre(self, x, **kwargs):
        return (x * self.scale,), kwargs

    def post(self, out):
        return out + self.shift


class MainProcessor:
    """pre(out) on the main output, post(out) on the combined result."""

    def pre(self, out):
        return out * 3.0

    def post(self, out):
        return out - 1.0


class Scaled(nn.Module):
    def __init__(self, seed):
        super().__init__()
        torch.manual_seed(seed)
        self.lin = nn.Linear(FEATURES, FEATURES)

    def forward(self, x, gain=1.0):
        return self.lin(x) * gain


class Failing(nn.Module):
    def forward(self, x, gain=1.0):
        raise RuntimeError("dendrite exploded")


def build(n, skip, processors, skip_entries=None):
    modules = [Scaled(seed) for seed in range(n)]
    procs = None
    if processors:
        procs = [DendriteProcessor(0.5 + c, 0.25 * (c + 1)) for c in range(n - 1)] + [MainProcessor()]
    weights = None
    if skip:
        torch.manual_seed(100)
        entries = n if skip_entries is None else skip_entries
        weights = [torch.randn(max(k, 1), FEATURES) for k in range(entries)]
    return ZYLLayer(modules, procs, weights)


def hand_forward(layer, x, f, gain=1.0):
    """The cascade written out: run every layer, then combine in order."""
    mods = list(layer.layer_array)
    procs = layer.processor_array
    n = len(mods)
    outs = []
    for c in range(n - 1):
        inp = x * procs[c].scale if procs[c] is not None else x
        out = mods[c](inp, gain=gain)
        outs.append(out + procs[c].shift if procs[c] is not None else out)
    main = mods[-1].forward(x, gain=gain)
    outs.append(main * 3.0 if procs[-1] is not None else main)
    if n > 1 and hasattr(layer, "skip_weights") and len(layer.skip_weights) >= 2:
        w = layer.skip_weights  # entry k belongs to layer k (entry 0 is unused)
        combined = []
        for k in range(n):
            cur = outs[k]
            for i in range(k):
                cur = cur + w[k][i].view(1, -1) * combined[i]
            combined.append(f(cur) if k < n - 1 else cur)
        result = combined[-1]
    else:
        result = outs[-1]
    return result - 1.0 if procs[-1] is not None else result


@pytest.fixture
def x():
    torch.manual_seed(42)
    return torch.randn(4, FEATURES)


@pytest.fixture(params=[False, True], ids=["plain", "threaded"])
def threading_mode(request, monkeypatch):
    monkeypatch.setattr(zylstrip, "doing_threading", request.param)
    return request.param


# --- the class itself ---------------------------------------------------------

def test_class_is_a_torch_module_defined_by_the_extension():
    cls = zylstrip.ZYLModulePyThread
    assert type(cls) is type
    assert cls.__bases__ == (nn.Module,)
    assert cls.__module__ == "zylora.zylstrip"
    assert cls.__qualname__ == cls.__name__ == "ZYLModulePyThread"
    assert zylstrip.ModuleType is cls
    assert zylstrip.doing_threading is False
    conv = cls(build(2, True, False))
    assert isinstance(conv, nn.Module)
    assert conv.forward.__self__ is conv  # methods bind like any method
    text = repr(conv)
    assert text.startswith("ZYLModulePyThread(\n  (layer_array): ModuleList(")
    assert "Linear(in_features=5, out_features=5, bias=True)" in text


def test_module_globals_are_bound_in_order():
    expected = ["GZL", "nn", "torch", "Thread", "doing_threading", "ZYLModulePyThread",
                "get_pretrained_zyl_attr", "get_pretrained_zyl_var", "ModuleType",
                "make_module", "refresh_zyl", "refresh_net"]
    assert [name for name in vars(zylstrip) if name in expected] == expected
    assert zylstrip.GZL is GZL and zylstrip.nn is nn and zylstrip.torch is torch
    assert zylstrip.Thread is threading.Thread


def test_constructor_takes_attributes_by_reference_and_registers_buffers():
    layer = build(3, True, True)
    conv = zylstrip.ZYLModulePyThread(original_module=layer)
    assert conv.layer_array is layer.layer_array
    assert conv.processor_array is layer.processor_array
    assert list(conv.skip_weights) == list(layer.skip_weights)[1:]
    assert list(conv._buffers) == ["node_index", "num_cycles", "view_tuple"]
    assert conv.node_index is not layer.node_index and conv.node_index.tolist() == [7, 8]
    assert conv.num_cycles is layer.num_cycles and conv.view_tuple is layer.view_tuple
    state = conv.state_dict()
    for name in ("node_index", "num_cycles", "view_tuple"):
        assert torch.equal(state[name], getattr(layer, name))


@pytest.mark.parametrize("entries", [0, 1], ids=["empty", "one-entry"])
def test_fewer_than_two_skip_weights_leave_no_attribute(entries, x):
    layer = build(2, True, False, skip_entries=entries)
    conv = zylstrip.ZYLModulePyThread(layer)
    assert not hasattr(conv, "skip_weights")
    # Dendrite outputs are computed but do not change the result.
    assert torch.allclose(conv(x), layer.layer_array[1](x))


@pytest.mark.parametrize(
    "remove, value, error",
    [
        pytest.param("node_index", None, AttributeError, id="missing-node-index"),
        pytest.param("skip_weights", 5, TypeError, id="skip-weights-without-len"),
    ],
)
def test_constructor_failures(remove, value, error):
    layer = build(2, False, False)
    if value is None:
        del layer._buffers[remove]
    else:
        object.__setattr__(layer, remove, value)
    with pytest.raises(error):
        zylstrip.ZYLModulePyThread(layer)


# --- forward numerics -----------------------------------------------------------

@pytest.mark.parametrize("processors", [False, True], ids=["no-proc", "proc"])
@pytest.mark.parametrize("skip", [False, True], ids=["no-skip", "skip"])
@pytest.mark.parametrize("n", [1, 2, 3], ids=["n1", "n2", "n3"])
def test_forward_matches_hand_computation(n, skip, processors, x, threading_mode):
    GZL.pc.set_zyl_forward_function(torch.tanh)
    layer = build(n, skip, processors)
    conv = zylstrip.ZYLModulePyThread(layer)
    with torch.no_grad():
        got = conv(x, gain=1.5)
        expected = hand_forward(layer, x, torch.tanh, gain=1.5)
    assert torch.allclose(got, expected, atol=1e-6)


def test_two_layer_cascade_written_out(x):
    GZL.pc.set_zyl_forward_function(torch.sigmoid)
    layer = build(2, True, False)
    conv = zylstrip.ZYLModulePyThread(layer)
    d, m = layer.layer_array
    with torch.no_grad():
        expected = m(x) + layer.skip_weights[1][0].view(1, -1) * torch.sigmoid(d(x))
        assert torch.allclose(conv(x), expected, atol=1e-6)


def test_forward_function_is_fetched_at_each_call(x):
    conv = zylstrip.ZYLModulePyThread(build(3, True, False))
    seen = []

    def recording(t):
        seen.append(t.shape)
        return torch.relu(t)

    with torch.no_grad():
        GZL.pc.set_zyl_forward_function(torch.sigmoid)
        first = conv(x)
        GZL.pc.set_zyl_forward_function(recording)
        second = conv(x)
    assert seen == [x.shape, x.shape]  # every slot but the last
    assert not torch.allclose(first, second)


def test_main_module_hooks_do_not_run_but_dendrite_hooks_do(x):
    layer = build(2, True, False)
    calls = []
    layer.layer_array[0].register_forward_hook(lambda *a: calls.append("dendrite"))
    layer.layer_array[1].register_forward_hook(lambda *a: calls.append("main"))
    zylstrip.ZYLModulePyThread(layer)(x)
    assert calls == ["dendrite"]


def test_skip_weights_follow_output_device_and_dtype(x):
    conv = zylstrip.ZYLModulePyThread(build(3, True, True)).to(torch.float64).eval()
    assert not conv.training and not conv.layer_array[0].training
    out = conv(x.double())
    assert out.dtype == torch.float64


# --- threads ----------------------------------------------------------------------

def test_threaded_path_equals_plain_and_starts_all_before_joining(x, monkeypatch):
    GZL.pc.set_zyl_forward_function(torch.tanh)
    conv = zylstrip.ZYLModulePyThread(build(3, True, True))
    with torch.no_grad():
        plain = conv(x, gain=0.5)
    events = []

    class RecordingThread(threading.Thread):
        def start(self):
            events.append("start")
            super().start()

        def join(self, timeout=None):
            events.append("join")
            super().join(timeout)

    monkeypatch.setattr(zylstrip, "Thread", RecordingThread)
    monkeypatch.setattr(zylstrip, "doing_threading", True)
    with torch.no_grad():
        threaded = conv(x, gain=0.5)
    assert events == ["start"] * 3 + ["join"] * 3
    assert torch.equal(plain, threaded)


def test_thread_exception_is_raised_after_every_thread_joined(x, monkeypatch):
    layer = build(3, True, False)
    layer.layer_array[0] = Failing()
    finished = []
    layer.layer_array[1].register_forward_hook(lambda *a: finished.append("dendrite 1"))
    unhandled = []
    monkeypatch.setattr(threading, "excepthook", unhandled.append)
    monkeypatch.setattr(zylstrip, "doing_threading", True)
    conv = zylstrip.ZYLModulePyThread(layer)
    with pytest.raises(RuntimeError, match="dendrite exploded") as info:
        conv(x)
    assert finished == ["dendrite 1"]
    assert unhandled == []  # not printed by the thread, raised by forward
    # The traceback still leads to the failing layer.
    lines = [frame.line for frame in traceback.extract_tb(info.value.__traceback__)]
    assert 'raise RuntimeError("dendrite exploded")' in lines
    monkeypatch.setattr(zylstrip, "doing_threading", False)
    with pytest.raises(RuntimeError, match="dendrite exploded"):
        conv(x)


# --- the helper methods -------------------------------------------------------------

def test_helpers_write_their_own_slot(x):
    layer = build(3, False, True)
    conv = zylstrip.ZYLModulePyThread(layer)
    outs = [None, None, None]
    assert conv.process_and_forward(1, outs, x, gain=2.0) is None
    assert outs[0] is None and outs[2] is None
    proc = layer.processor_array[1]
    assert torch.allclose(outs[1], layer.layer_array[1](x * proc.scale, gain=2.0) + proc.shift)
    conv.process_and_pre(outs, x)
    assert torch.allclose(outs[2], layer.layer_array[2](x) * 3.0)


def test_overridden_helper_is_honoured(x):
    class Counting(zylstrip.ZYLModulePyThread):
        calls = 0

        def process_and_forward(self, *args, **kwargs):
            Counting.calls += 1
            return super().process_and_forward(*args, **kwargs)

    layer = build(3, True, False)
    assert torch.allclose(Counting(layer)(x), zylstrip.ZYLModulePyThread(layer)(x))
    assert Counting.calls == 2


@pytest.mark.parametrize(
    "result, message",
    [
        pytest.param(((1,),), "not enough values to unpack", id="one-value"),
        pytest.param(((1,), {}, 3), "too many values to unpack", id="three-values"),
    ],
)
def test_pre_must_return_a_pair(result, message, x):
    class BadPre(DendriteProcessor):
        def pre(self, *args, **kwargs):
            return result

    layer = build(2, False, False)
    layer.processor_array[0] = BadPre(1.0, 0.0)
    with pytest.raises(ValueError, match=message):
        zylstrip.ZYLModulePyThread(layer)(x)


def test_empty_layer_array_fails(x, threading_mode):
    layer = build(1, False, False)
    layer.layer_array = nn.ModuleList()
    with pytest.raises(IndexError):
        zylstrip.ZYLModulePyThread(layer)(x)


# --- persistence -------------------------------------------------------------------

def test_whole_converted_network_survives_save_and_load(x):
    net = nn.Sequential(nn.Linear(FEATURES, FEATURES), build(3, True, True), nn.ReLU())
    net = zylstrip.refresh_net(net)
    assert isinstance(net[1], zylstrip.ZYLModulePyThread)
    assert {"1.node_index", "1.num_cycles", "1.view_tuple"} <= set(net.state_dict())
    buffer = io.BytesIO()
    torch.save(net, buffer)
    buffer.seek(0)
    loaded = torch.load(buffer, weights_only=False)
    assert type(loaded[1]) is zylstrip.ZYLModulePyThread
    with torch.no_grad():
        assert torch.equal(loaded(x), net(x))


# --- user code that edits what it is handed ----------------------------------------

import pathlib  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402

import forward_cases  # noqa: E402

HERE = pathlib.Path(__file__).parent


@pytest.mark.parametrize("route", ["plain", "threaded"])
@pytest.mark.parametrize("case", sorted(forward_cases.cases()))
def test_edits_by_user_code_give_pythons_outcome(case, route):
    """Each case in a child process: a crash fails the test, not the run."""
    result = subprocess.run([sys.executable, str(HERE / "forward_cases.py"), case, route],
                            capture_output=True, text=True, timeout=300, cwd=HERE)
    assert result.returncode == 0, result.stderr[-3000:]
    native, reference = result.stdout.splitlines()
    assert native == reference


class NonIterable:
    pass


class IterRaisesTypeError:
    def __iter__(self):
        raise TypeError("no iterating me")


class OwnTypeError(TypeError):
    pass


class IterRaisesSubclass:
    def __iter__(self):
        raise OwnTypeError("mine")


class IterIsNone:
    __iter__ = None


class IterGivesNonIterator:
    def __iter__(self):
        return 5


class Sequence:
    def __getitem__(self, i):
        if i < 3:
            return i
        raise IndexError


def breaks_midway():
    yield (x_value,)
    raise KeyError("gone")


x_value = None

PAIRS = [
    pytest.param(lambda: 7, id="int"),
    pytest.param(NonIterable, id="plain-object"),
    pytest.param(IterRaisesTypeError, id="iter-raises-TypeError"),
    pytest.param(IterRaisesSubclass, id="iter-raises-subclass"),
    pytest.param(IterIsNone, id="iter-is-None"),
    pytest.param(IterGivesNonIterator, id="iter-gives-non-iterator"),
    pytest.param(Sequence, id="sequence-of-three"),
    pytest.param(lambda: [(x_value,)], id="one-item"),
    pytest.param(lambda: ((x_value,), {}, 3), id="three-items"),
    pytest.param(lambda: iter([(x_value,), {}, 3]), id="iterator-of-three"),
    pytest.param(breaks_midway, id="iterator-raising"),
]


@pytest.mark.parametrize("make", PAIRS)
def test_processor_result_unpacks_as_python_unpacks_it(make, x):
    class Odd:
        def pre(self, *args, **kwargs):
            return make()

        def post(self, out):
            return out

    layer = build(2, False, False)
    layer.processor_array = [Odd(), None]
    conv = zylstrip.ZYLModulePyThread(layer)
    with pytest.raises(Exception) as expected:
        first, second = make()
    with pytest.raises(Exception) as got:
        conv(x)
    assert (type(got.value), str(got.value)) == (type(expected.value), str(expected.value))


REIMPORT = """
import gc, sys
from torch import nn
import zylora.zylstrip
del sys.modules["zylora.zylstrip"]
import zylora.zylstrip as again
gc.collect()
junk = [dict(a=i) for i in range(10000)]
from test_forward_module import build
import torch
again.doing_threading = True
seen = []
class Recording(again.Thread):
    def start(self):
        seen.append("start")
        super().start()
again.Thread = Recording
conv = again.ZYLModulePyThread(build(2, True, False))
conv(torch.ones(1, 5))
print(len(seen))
"""


def test_reimported_module_reads_its_own_flags():
    result = subprocess.run([sys.executable, "-c", REIMPORT], capture_output=True, text=True,
                            timeout=300, cwd=HERE)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() == ["2"]
