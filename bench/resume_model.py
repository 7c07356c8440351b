"""A small model for the kill-and-resume check: six layers of width 64 over three
stages (plain Linear, the int8 stand-in, LayerNorm), fixed data, and Adam for the plain
layers, so that every kind of state a checkpoint holds takes part.

Use with `python3 -m korvane.carrowel --model resume_model:stage` and `bench/` on
PYTHONPATH, against a coordinator with --layers 6."""
import random
import time

import torch
from torch import nn

WIDTH = 64


def _layer(index):
    torch.manual_seed(1000 + index)  # each layer the same in every process
    kind = index % 3
    if kind == 0:
        return nn.Linear(WIDTH, WIDTH)
    if kind == 1:
        from korvane.zeb_trainable_int8 import ZEBTrainableLinear
        return ZEBTrainableLinear(WIDTH, WIDTH)
    return nn.LayerNorm(WIDTH)


def _data():
    g = torch.Generator().manual_seed(7)
    return [(torch.randn(4, WIDTH, generator=g), torch.randint(0, WIDTH, (4,), generator=g)) for _ in range(6)]


def stage(assignment):
    torch.set_num_threads(1)
    random.seed(0)  # the run's fixed seed covers Python's generator too: a checkpoint keeps its state
    layers = nn.ModuleList(_layer(i) for i in range(assignment.layer_start, assignment.layer_end))
    # Each forward holds a moment, so that a step lasts long enough to be killed in.
    layers[-1].register_forward_hook(lambda module, inputs, output: time.sleep(0.02))
    return {
        "layers": layers,
        "train_data": _data(),
        "optimizer": lambda params: torch.optim.Adam(params, lr=1e-3),
    }
