"""Wrappers with torch's own signatures over the torch methods whose work
the native code may do itself, each hiding parts of a network the way a
program hides frozen parameters or pruned layers.

Imports nothing of zylora, so that a fresh process can put every wrapper in
place before zylora is imported (`install_all`) and switch each one on later
(`ACTIVE`); a wrapper passes everything through until it is switched on."""

import functools

import torch
from torch import nn

ACTIVE = set()
WRAPPERS = {}  # "Class.method" -> (class, method name, maker(original, is_on))


def frozen(value):
    return isinstance(value, nn.Parameter) and not value.requires_grad


def pruned(module):
    return isinstance(module, nn.Module) and module.__dict__.get("pruned", False)


class Silent(nn.Module):
    """Stands for a pruned layer: answers zeros."""

    def forward(self, x):
        return torch.zeros_like(x)


def wraps(owner, name):
    def register(make):
        WRAPPERS[owner.__name__ + "." + name] = (
            owner, name, lambda original, on: functools.wraps(original)(make(original, on)))
    return register


@wraps(nn.Module, "named_parameters")
def _(original, on):
    def named_parameters(self, prefix="", recurse=True, remove_duplicate=True):
        pairs = original(self, prefix, recurse, remove_duplicate)
        return ((name, p) for name, p in pairs if not (on() and frozen(p)))
    return named_parameters


@wraps(nn.Module, "_named_members")
def _(original, on):
    def _named_members(self, get_members_fn, prefix="", recurse=True, remove_duplicate=True):
        pairs = original(self, get_members_fn, prefix, recurse, remove_duplicate)
        return ((name, p) for name, p in pairs if not (on() and frozen(p)))
    return _named_members


@wraps(nn.Module, "__getattr__")
def _(original, on):
    def __getattr__(self, name):
        value = original(self, name)
        if on() and frozen(value):
            return torch.zeros_like(value)
        if on() and isinstance(value, nn.ModuleList) and any(map(pruned, value)):
            return nn.ModuleList([m for m in value if not pruned(m)])
        return value
    return __getattr__


@wraps(nn.ModuleList, "__getitem__")
def _(original, on):
    def __getitem__(self, idx):
        value = original(self, idx)
        return Silent() if on() and pruned(value) else value
    return __getitem__


@wraps(nn.ModuleList, "__len__")
def _(original, on):
    def __len__(self):
        kept = [m for m in self._modules.values() if not (on() and pruned(m))]
        return len(kept) if on() else original(self)
    return __len__


@wraps(nn.ModuleList, "_get_abs_string_index")
def _(original, on):
    def _get_abs_string_index(self, idx):
        key = original(self, idx)
        return str(len(self) - 1) if on() and pruned(self._modules[key]) else key  # main layer
    return _get_abs_string_index


@wraps(nn.ParameterList, "__getitem__")
def _(original, on):
    def __getitem__(self, idx):
        value = original(self, idx)
        return torch.zeros_like(value) if on() and frozen(value) else value
    return __getitem__


@wraps(nn.ParameterList, "__len__")
def _(original, on):
    def __len__(self):
        kept = [k for k in range(self._size) if not frozen(self._parameters.get(str(k)))]
        return len(kept) if on() else original(self)
    return __len__


@wraps(nn.ParameterList, "_get_abs_string_index")
def _(original, on):
    def _get_abs_string_index(self, idx):
        key = original(self, idx)
        return str(self._size - 1) if on() and frozen(getattr(self, key)) else key  # last entry
    return _get_abs_string_index


BUDGET_KEYS = ["Module.named_parameters", "Module._named_members"]


def wrapper_for(key, on):
    owner, name, maker = WRAPPERS[key]
    return owner, name, maker(owner.__dict__[name], on)


def install_all():
    """Every wrapper in place, each passing through until its key is ACTIVE."""
    for key in WRAPPERS:
        owner, name, wrapper = wrapper_for(key, functools.partial(ACTIVE.__contains__, key))
        setattr(owner, name, wrapper)
