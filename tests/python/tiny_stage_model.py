"""A small model and data for the --model tests: three classes told apart by the sign of
two input features, nine layers for a three-stage pipeline."""
import torch
from torch import nn


def batches(seed, count, size=16):
    g = torch.Generator().manual_seed(seed)
    out = []
    for _ in range(count):
        x = torch.randn(size, 8, generator=g)
        out.append((x, (x[:, 0] > 0).long() + (x[:, 1] > 0).long()))
    return out


def stage(assignment):
    torch.manual_seed(0)
    layers = [nn.Linear(8, 64), nn.ReLU(), nn.LayerNorm(64),
              nn.Linear(64, 64), nn.ReLU(), nn.LayerNorm(64),
              nn.Linear(64, 64), nn.ReLU(), nn.Linear(64, 3)]
    return {"layers": layers[assignment.layer_start:assignment.layer_end],
            "train_data": batches(1, 8), "eval_data": batches(2, 2),
            "optimizer": lambda params: torch.optim.Adam(params, lr=3e-3)}


def unseeded(assignment):
    """Data in an order that differs from call to call: what must not start."""
    found = stage(assignment)
    found["train_data"] = torch.utils.data.DataLoader(list(zip(*[torch.cat(t) for t in zip(*batches(1, 8))])),
                                                      batch_size=16, shuffle=True)
    return found


def generator_data(assignment):
    found = stage(assignment)
    found["train_data"] = iter(found["train_data"])
    return found


def two_layers(assignment):
    return [nn.Identity(), nn.Identity()]
