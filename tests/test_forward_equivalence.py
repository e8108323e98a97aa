"""The converted layer's forward pass against the same pass written out in
plain Python.

The native pass indexes torch's own containers from C, reads module
attributes without the interpreter's detour, and spells two tensor calls of
the cascade more cheaply (`w[i]` for `w[i, :]`, `view(*shape)` for
`view(shape)`) while only torch's own classes and methods are involved and no
hook can tell.  These tests compare it with the Python pass: results,
autograd history and gradients on plain tensors, and every call that a
__torch_function__ mode, a tensor subclass, a JIT trace, container
subclasses, replaced methods or a watching module can observe."""

import contextlib
import os
import subprocess
import sys
import threading

import pytest
import torch
from torch import nn
from torch.overrides import TorchFunctionMode

from zylora import globals_zylora as GZL
from zylora import zylstrip

from forward_cases import SyncThread
from reference_renditions import reference_forward

FEATURES = 4


class ZYLLayer(nn.Module):
    def __init__(self, modules, skip_weights, processors=None, view_tuple=(1, -1)):
        super().__init__()
        self.layer_array = modules
        self.processor_array = processors or [None] * len(modules)
        if skip_weights is not None:
            self.skip_weights = skip_weights
        self.register_buffer("node_index", torch.tensor([0]))
        self.register_buffer("num_cycles", torch.tensor(1))
        self.register_buffer("view_tuple", torch.tensor(view_tuple))


class DendriteProcessor:
    def pre(self, *args, **kwargs):
        return tuple(a * 2.0 for a in args), kwargs

    def post(self, out):
        return out + 1.0


class MainProcessor:
    def pre(self, out):
        return out * 0.5

    def post(self, out):
        return out - 1.0


def weights(n, kind=nn.Parameter):
    torch.manual_seed(7)
    return [kind(torch.randn(max(1, k), FEATURES)) for k in range(n)]


def dendrite_layer(n=3, container=nn.ModuleList, skip_list=nn.ParameterList, processors=False):
    torch.manual_seed(3)
    modules = container([nn.Linear(FEATURES, FEATURES) for _ in range(n)])
    skip = skip_list(weights(n)) if skip_list is not None else None
    procs = [DendriteProcessor() for _ in range(n - 1)] + [MainProcessor()] if processors else None
    return ZYLLayer(modules, skip, procs)


def build(*args, **kwargs):
    return zylstrip.ZYLModulePyThread(dendrite_layer(*args, **kwargs))


def tensors_of(conv):
    found = [p for m in conv.layer_array for p in m.parameters()]
    return found + list(getattr(conv, "skip_weights", []))


def history(tensor):
    """The autograd graph below a tensor, as nested names."""
    seen = set()

    def walk(fn):
        if fn is None:
            return None
        if fn in seen:
            return type(fn).__name__
        seen.add(fn)
        return (type(fn).__name__, tuple(walk(next_fn) for next_fn, _ in fn.next_functions))

    return walk(tensor.grad_fn)


@pytest.fixture
def x():
    torch.manual_seed(11)
    return torch.randn(5, FEATURES)


@pytest.fixture(autouse=True)
def forward_function():
    GZL.pc.set_zyl_forward_function(torch.tanh)


@pytest.mark.parametrize("processors", [False, True], ids=["no-processors", "processors"])
@pytest.mark.parametrize(
    "container, skip_list",
    [
        pytest.param(nn.ModuleList, nn.ParameterList, id="torch-containers"),
        pytest.param(list, list, id="plain-lists"),
        pytest.param(nn.ModuleList, tuple, id="tuple-of-weights"),
    ],
)
@pytest.mark.parametrize("n", [1, 2, 4], ids=["n1", "n2", "n4"])
def test_same_values_history_and_gradients(n, container, skip_list, processors, x):
    conv = build(n, container, skip_list, processors=processors)
    native = conv(x)
    expected = reference_forward(conv, x)
    assert torch.equal(native, expected)
    assert history(native) == history(expected)
    params = tensors_of(conv)
    got = torch.autograd.grad(native.sum(), params, allow_unused=True)
    want = torch.autograd.grad(expected.sum(), params, allow_unused=True)
    assert all((g is None and w is None) or torch.equal(g, w) for g, w in zip(got, want))


class Recorder(TorchFunctionMode):
    """Logs every torch call with the shape of its arguments."""

    def __init__(self):
        super().__init__()
        self.calls = []

    def __torch_function__(self, func, types, args=(), kwargs=None):
        with torch._C.DisableTorchFunction():
            self.calls.append((getattr(func, "__name__", repr(func)), describe(args)))
        return func(*args, **(kwargs or {}))


def describe(value):
    if isinstance(value, torch.Tensor):
        return ("tensor", type(value).__name__, tuple(value.shape))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, tuple(describe(v) for v in value))
    if isinstance(value, slice):
        return ("slice", value.start, value.stop, value.step)
    return value


def test_a_torch_function_mode_sees_the_calls_as_written(x):
    conv = build(4)
    with Recorder() as native_mode:
        native = conv.forward(x)
    with Recorder() as reference_mode:
        expected = reference_forward(conv, x)
    assert native_mode.calls == reference_mode.calls
    assert torch.equal(native, expected)
    names = [name for name, _ in native_mode.calls]
    assert names.count("__getitem__") == 6 and names.count("view") == 6
    index = next(args for name, args in native_mode.calls if name == "__getitem__")
    assert index[1][1] == ("tuple", (0, ("slice", None, None, None)))


class Logged(torch.Tensor):
    """A tensor subclass that logs the torch calls made on it."""

    calls = []

    @classmethod
    def __torch_function__(cls, func, types, args=(), kwargs=None):
        with torch._C.DisableTorchFunctionSubclass():
            cls.calls.append((getattr(func, "__name__", repr(func)), describe(args)))
        return super().__torch_function__(func, types, args, kwargs or {})


def logged_weights(values):
    return [v.detach().as_subclass(Logged) for v in values]


def test_a_tensor_subclass_sees_the_calls_as_written(x):
    conv = build(3, skip_list=list)
    conv.skip_weights = logged_weights(conv.skip_weights)
    Logged.calls = []
    native = conv(x)
    native_calls, Logged.calls = Logged.calls, []
    expected = reference_forward(conv, x)
    assert native_calls == Logged.calls
    assert torch.equal(native.as_subclass(torch.Tensor), expected.as_subclass(torch.Tensor))
    views = [args for name, args in native_calls if name == "view"]
    assert views and all(args[1][1] == ("list", (1, -1)) for args in views)


@pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore::torch.jit.TracerWarning")
def test_a_jit_trace_records_the_same_operators(x):
    conv = build(3)

    class Reference(nn.Module):
        def __init__(self, inner):
            super().__init__()
            self.inner = inner

        def forward(self, x):
            return reference_forward(self.inner, x)

    def operators(module):
        graph = torch.jit.trace(module, (x,), check_trace=False).inlined_graph
        return [node.kind() for node in graph.nodes() if node.kind().startswith("aten::")]

    native = operators(conv)
    assert native == operators(Reference(conv))
    assert "aten::slice" in native  # a trace keeps the `:` of [i, :]


class CountingList(nn.ModuleList):
    calls = []

    def __getitem__(self, idx):
        CountingList.calls.append(("getitem", idx))
        return super().__getitem__(idx)

    def __len__(self):
        CountingList.calls.append(("len",))
        return super().__len__()


class CountingParameters(nn.ParameterList):
    calls = []

    def __getitem__(self, idx):
        CountingParameters.calls.append(("getitem", idx))
        return super().__getitem__(idx)


def test_container_subclasses_see_every_index(x):
    runs = []
    for forward in (lambda m: m(x), lambda m: reference_forward(m, x)):
        conv = build(3, CountingList, CountingParameters)
        CountingList.calls, CountingParameters.calls = [], []
        out = forward(conv)
        runs.append((list(CountingList.calls), list(CountingParameters.calls), out))
    assert runs[0][:2] == runs[1][:2]
    assert torch.equal(runs[0][2], runs[1][2])
    assert runs[0][1] == [("getitem", 0), ("getitem", 1), ("getitem", 1)]


@pytest.mark.parametrize(
    "cls, method",
    [
        pytest.param(nn.ModuleList, "__getitem__", id="ModuleList-getitem"),
        pytest.param(nn.ModuleList, "__len__", id="ModuleList-len"),
        pytest.param(nn.ModuleList, "_get_abs_string_index", id="ModuleList-index"),
        pytest.param(nn.ParameterList, "__getitem__", id="ParameterList-getitem"),
        pytest.param(nn.ParameterList, "_get_abs_string_index", id="ParameterList-index"),
        pytest.param(torch.Tensor, "view", id="Tensor-view"),
    ],
)
def test_replaced_framework_methods_are_called(cls, method, monkeypatch, x):
    original = getattr(cls, method)
    calls = []

    def watching(self, *args):
        calls.append(args)
        return original(self, *args)

    conv = build(3)
    monkeypatch.setattr(cls, method, watching)
    native = conv(x)
    native_calls = list(calls)
    calls.clear()
    expected = reference_forward(conv, x)
    assert native_calls == calls and calls
    assert torch.equal(native, expected)


def test_index_method_shadowed_on_the_instance_is_called(x):
    conv = build(3)
    seen = []
    original = conv.skip_weights._get_abs_string_index

    def shadow(idx):
        seen.append(idx)
        return original(idx)

    conv.skip_weights.__dict__["_get_abs_string_index"] = shadow
    native = conv(x)
    native_seen = list(seen)
    seen.clear()
    assert torch.equal(native, reference_forward(conv, x))
    assert native_seen == seen == [0, 1, 1]


def test_a_watching_subclass_sees_the_same_attribute_reads(x):
    reads = []

    class Watching(zylstrip.ZYLModulePyThread):
        def __getattr__(self, name):
            reads.append(name)
            return super().__getattr__(name)

    watching = Watching(dendrite_layer(3))
    reads.clear()
    native = watching(x)
    native_reads = list(reads)
    reads.clear()
    expected = reference_forward(watching, x)
    assert native_reads == reads
    assert torch.equal(native, expected)
    assert reads.count("skip_weights") == 3 + 3 and reads.count("view_tuple") == 3


@pytest.mark.parametrize(
    "case",
    ["missing-entry", "index-out-of-range", "odd-view-tuple"],
)
def test_failures_are_those_of_the_written_pass(case, x):
    conv = build(3)
    if case == "missing-entry":
        del conv.skip_weights._parameters["1"]
    elif case == "index-out-of-range":
        conv.skip_weights._size = 1
    else:
        conv.view_tuple = torch.tensor([[1, -1]])

    def failure(run):
        with pytest.raises(Exception) as info:
            run()
        return type(info.value), str(info.value)

    assert failure(lambda: conv(x)) == failure(lambda: reference_forward(conv, x))


# --- threaded layers and the caller's torch state ------------------------------------

def torch_state():
    """What torch keeps per thread, as a layer sees it."""
    return (torch.is_grad_enabled(), torch.is_inference_mode_enabled(),
            torch.is_autocast_enabled("cpu"), torch.get_autocast_dtype("cpu"),
            torch.is_autocast_cache_enabled())


class Probe(nn.Linear):
    """A layer that notes the torch state it runs under and what it gives."""

    seen = []

    def forward(self, x):
        out = super().forward(x)
        Probe.seen.append((torch_state(), out.dtype, out.requires_grad, out.grad_fn is None))
        return out


def under(*contexts):
    @contextlib.contextmanager
    def entered():
        with contextlib.ExitStack() as stack:
            for make in contexts:
                stack.enter_context(make())
            yield
    return entered


def bf16(**options):
    return lambda: torch.autocast("cpu", dtype=torch.bfloat16, **options)


TORCH_STATES = [
    pytest.param(under(), id="defaults"),
    pytest.param(under(torch.no_grad), id="no-grad"),
    pytest.param(under(torch.inference_mode), id="inference-mode"),
    pytest.param(under(torch.no_grad, torch.enable_grad), id="enable-grad-in-no-grad"),
    pytest.param(under(bf16()), id="autocast-bf16"),
    pytest.param(under(bf16(cache_enabled=False)), id="autocast-bf16-no-cache"),
    pytest.param(under(torch.no_grad, bf16()), id="autocast-in-no-grad"),
    pytest.param(under(torch.inference_mode, torch.enable_grad, bf16(cache_enabled=False)),
                 id="autocast-and-enable-grad-in-inference-mode"),
    pytest.param(under(bf16(), lambda: torch.autocast("cpu", enabled=False)),
                 id="autocast-off-in-autocast"),
    pytest.param(under(torch.inference_mode, lambda: torch.inference_mode(False)),
                 id="inference-mode-off-in-inference-mode"),
]


# SyncThread runs the layers on the caller's own thread, which must find its
# state as it left it.
@pytest.mark.parametrize("thread_class", [threading.Thread, SyncThread],
                         ids=["threads", "on-the-callers-thread"])
@pytest.mark.parametrize("state", TORCH_STATES)
def test_threaded_layers_compute_under_the_callers_torch_state(state, thread_class, x,
                                                                monkeypatch):
    torch.manual_seed(5)
    lead = nn.Linear(FEATURES, FEATURES)
    conv = zylstrip.ZYLModulePyThread(
        ZYLLayer(nn.ModuleList([Probe(FEATURES, FEATURES) for _ in range(3)]), weights(3)))
    monkeypatch.setattr(zylstrip, "Thread", thread_class)
    runs = []
    for threaded in (False, True):
        monkeypatch.setattr(zylstrip, "doing_threading", threaded)
        Probe.seen = []
        with state():
            before = torch_state()
            out = conv(lead(x))  # an input made under the state, as in a network
            after = torch_state()
        runs.append((out, sorted(Probe.seen, key=repr), before, after))
    (plain, plain_seen, caller, _), (threaded, threaded_seen, before, after) = runs
    assert torch.equal(threaded, plain)
    assert (threaded.dtype, threaded.requires_grad) == (plain.dtype, plain.requires_grad)
    assert history(threaded) == history(plain)
    # Every layer ran under the caller's state, with the plain pass's
    # results: no graph recorded where the caller turned them off.
    assert threaded_seen == plain_seen
    assert len(threaded_seen) == 3 and all(seen[0] == caller for seen in threaded_seen)
    assert after == before == caller


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs CUDA")
def test_threaded_layers_run_on_the_callers_cuda_device_and_stream(x, monkeypatch):
    class StreamProbe(nn.Linear):
        seen = []

        def forward(self, x):
            StreamProbe.seen.append((torch.cuda.current_device(), torch.cuda.current_stream()))
            return super().forward(x)

    device = torch.device("cuda", torch.cuda.device_count() - 1)
    conv = zylstrip.ZYLModulePyThread(
        ZYLLayer(nn.ModuleList([StreamProbe(FEATURES, FEATURES) for _ in range(3)]),
                 weights(3))).to(device)
    monkeypatch.setattr(zylstrip, "doing_threading", True)
    stream = torch.cuda.Stream(device)
    with torch.cuda.device(device), torch.cuda.stream(stream):
        conv(x.to(device))
    assert StreamProbe.seen == [(device.index, stream)] * 3


DEVICE_TYPES_SCRIPT = """
import torch
from torch import nn
from zylora import zylstrip
from test_forward_equivalence import FEATURES, Probe, ZYLLayer, weights

del torch._C._autocast_supported_devices  # a torch without the list
zylstrip.doing_threading = True
conv = zylstrip.ZYLModulePyThread(
    ZYLLayer(nn.ModuleList([Probe(FEATURES, FEATURES) for _ in range(3)]), weights(3)))
with torch.autocast("cpu", dtype=torch.bfloat16):
    conv(torch.ones(2, FEATURES))
print(sorted({str(dtype) for _, dtype, _, _ in Probe.seen}))
"""


def test_autocast_is_carried_without_torchs_list_of_device_types():
    result = subprocess.run([sys.executable, "-c", DEVICE_TYPES_SCRIPT], capture_output=True,
                            text=True, timeout=300, cwd=os.path.dirname(__file__))
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split("\n")[0] == "['torch.bfloat16']"
