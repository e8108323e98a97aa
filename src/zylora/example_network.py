"""A small transformer-like network used by the demo and the tests."""

import torch
from torch import nn


class GatedResidualBlock(nn.Module):
    """A block that the platform restructures before training."""

    def __init__(self, width):
        super().__init__()
        self.gate = nn.Linear(width, width)
        self.value = nn.Sequential(nn.Linear(width, width), nn.GELU())
        self.norm = nn.LayerNorm(width)

    def forward(self, x):
        return self.norm(x + torch.sigmoid(self.gate(x)) * self.value(x))


class AttentionBlock(nn.Module):
    def __init__(self, width, heads):
        super().__init__()
        self.attn = nn.MultiheadAttention(width, heads, batch_first=True)
        self.norm1 = nn.LayerNorm(width)
        self.mlp = nn.Sequential(
            nn.Linear(width, width * 2),
            nn.ReLU(),
            nn.Dropout(0.1),
            nn.Linear(width * 2, width),
        )
        self.norm2 = nn.LayerNorm(width)

    def forward(self, x):
        x = self.norm1(x + self.attn(x, x, x, need_weights=False)[0])
        return self.norm2(x + self.mlp(x))


class ExampleNet(nn.Module):
    """Embedding, a stack of blocks, and a head.

    The head's projection is registered twice (as ``head.proj`` and as
    ``output``), and ``encoder`` is a container with no parameters of its own.
    """

    def __init__(self, vocab=100, width=32, heads=4, depth=3):
        super().__init__()
        self.embed = nn.Embedding(vocab, width)
        self.encoder = nn.ModuleList(
            [AttentionBlock(width, heads) for _ in range(depth)]
        )
        self.refine = nn.Sequential(GatedResidualBlock(width), nn.Dropout(0.1))
        self.head = nn.Sequential()
        self.head.add_module("norm", nn.LayerNorm(width))
        self.head.add_module("proj", nn.Linear(width, vocab))
        self.output = self.head.proj

    def forward(self, tokens):
        x = self.embed(tokens)
        for block in self.encoder:
            x = block(x)
        x = self.refine(x)
        return self.head(x)


def build_example_network():
    torch.manual_seed(0)
    return ExampleNet()
