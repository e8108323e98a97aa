"""Converted layers whose helpers, processors, outputs or thread class do
what user code may do with the lists and tuples it is handed.

Run as `python forward_cases.py CASE`: builds the case on the native class
and on a plain-Python rendition of it, runs both, and prints one line per
route with the outcome (error type and text, or the result's values).  The
parent test compares the two lines; a crash ends the child, not the run."""

import sys

import torch
from torch import nn

from zylora import globals_zylora as GZL
from zylora import zylstrip

from reference_renditions import (reference_combine, reference_process_and_forward,
                                  reference_process_and_pre)

FEATURES = 3


class Reference(nn.Module):
    """ZYLModulePyThread as plain Python, thread errors kept as it keeps them."""

    def __init__(self, original_module):
        super().__init__()
        self.layer_array = original_module.layer_array
        self.processor_array = original_module.processor_array
        if hasattr(original_module, "skip_weights") and len(original_module.skip_weights) >= 2:
            self.skip_weights = original_module.skip_weights[1:]
        self.register_buffer("node_index", original_module.node_index.clone().detach())
        self.register_buffer("num_cycles", original_module.num_cycles)
        self.register_buffer("view_tuple", original_module.view_tuple)

    # Subclasses of the cases override these, as they do on the native class.
    process_and_forward = reference_process_and_forward
    process_and_pre = reference_process_and_pre

    def forward(self, *args, **kwargs):
        import functools

        def run_keeping_error(errors, slot, target, *rest, **keywords):
            try:
                target(*rest, **keywords)
            except BaseException as error:  # noqa: B036 - kept for forward to raise
                errors[slot] = error

        doing_multi = zylstrip.doing_threading
        n = len(self.layer_array)
        dendrite_outs = [None] * n
        threads = []
        errors = []

        def thread(target, thread_args):
            errors.append(None)
            bound = functools.partial(run_keeping_error, errors, len(errors) - 1, target)
            return zylstrip.Thread(target=bound, args=thread_args, kwargs=kwargs)

        for c in range(n - 1):
            if doing_multi:
                threads.append(thread(self.process_and_forward, (c, dendrite_outs, *args)))
            else:
                self.process_and_forward(c, dendrite_outs, *args, **kwargs)
        if doing_multi:
            threads.append(thread(self.process_and_pre, (dendrite_outs, *args)))
        else:
            self.process_and_pre(dendrite_outs, *args, **kwargs)
        if doing_multi:
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            for error in errors:
                if error is not None:
                    raise error
        return reference_combine(self, dendrite_outs, n)


class ZYLLayer(nn.Module):
    def __init__(self, n=3, processors=None):
        super().__init__()
        torch.manual_seed(0)
        self.layer_array = nn.ModuleList([nn.Linear(FEATURES, FEATURES) for _ in range(n)])
        self.processor_array = processors or [None] * n
        self.skip_weights = nn.ParameterList(
            [nn.Parameter(torch.randn(max(1, k), FEATURES)) for k in range(n)])
        self.register_buffer("node_index", torch.tensor([0]))
        self.register_buffer("num_cycles", torch.tensor(1))
        self.register_buffer("view_tuple", torch.tensor([1, -1]))


class SyncThread:
    """A thread class that runs its target when started: a fixed order."""

    def __init__(self, target=None, args=(), kwargs=None):
        self.target, self.args, self.kwargs = target, args, kwargs or {}

    def start(self):
        self.target(*self.args, **self.kwargs)

    def join(self):
        pass


class ShortThread(SyncThread):
    """Calls its target with fewer arguments than it was given."""

    def start(self):
        self.target(*self.args[:1])


class Sneaky:
    """An output whose .device empties the list that holds the outputs."""

    def __init__(self, outs):
        self.outs = outs

    @property
    def device(self):
        self.outs.clear()
        return "cpu"

    def __add__(self, other):
        return self


def clear(outs):
    outs.clear()


def shrink(outs):
    del outs[1:]


def grow(outs):
    outs.append(torch.zeros(FEATURES))
    outs.insert(0, torch.ones(FEATURES))


def replace(outs):
    outs[0] = "not a tensor"


EDITS = {"clear": clear, "shrink": shrink, "grow": grow, "replace": replace}


def after_pre(edit):
    class Edits:
        def process_and_pre(self, *args, **kwargs):
            super().process_and_pre(*args, **kwargs)
            EDITS[edit](args[0])
    return Edits


def after_forward(edit):
    class Edits:
        def process_and_forward(self, *args2, **kwargs2):
            super().process_and_forward(*args2, **kwargs2)
            if args2[0] == 0:
                EDITS[edit](args2[1])
    return Edits


def sneaky_main_output():
    class Edits:
        def process_and_pre(self, *args, **kwargs):
            super().process_and_pre(*args, **kwargs)
            args[0][-1] = Sneaky(args[0])
    return Edits


def edited_arguments(edit):
    """process_and_forward handed on with its own tuple cut short."""
    class Edits:
        def process_and_forward(self, *args2, **kwargs2):
            args2 = args2[:1] if edit == "clear" else args2[:2]
            super().process_and_forward(*args2, **kwargs2)
    return Edits


def cases():
    found = {}
    for edit in EDITS:
        found[f"pre-{edit}"] = (after_pre(edit), SyncThread)
        found[f"forward-{edit}"] = (after_forward(edit), SyncThread)
    found["sneaky-device"] = (sneaky_main_output(), SyncThread)
    found["arguments-cleared"] = (edited_arguments("clear"), SyncThread)
    found["arguments-shrunk"] = (edited_arguments("shrink"), SyncThread)
    found["short-thread"] = (None, ShortThread)
    return found


def outcome(module, x):
    try:
        result = module(x)
    except BaseException as error:  # noqa: B036
        return f"{type(error).__name__}: {error}"
    return repr(result.detach().tolist())


def main(name, threaded):
    mixin, thread_class = cases()[name]
    zylstrip.Thread = thread_class
    zylstrip.doing_threading = threaded
    GZL.pc.set_zyl_forward_function(torch.tanh)
    torch.manual_seed(1)
    x = torch.randn(2, FEATURES)
    for base in (zylstrip.ZYLModulePyThread, Reference):
        cls = type("Case", (mixin, base), {}) if mixin is not None else base
        print(outcome(cls(ZYLLayer()), x))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2] == "threaded")
