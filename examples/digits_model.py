"""A real classifier on real data for `python3 -m korvane.carrowel --model`: the 8x8
handwritten digits (1,797 images, 10 classes) that `make data` puts in build/data.

    build/bin/korvane-coordinator --port 9545 --stages 3 --layers 9 &
    for id in s1 s2 s3; do                       # start them in pipeline order
      PYTHONPATH=. python3 -m korvane.carrowel --task-id digits --trainer-id $id \\
          --coordinator http://127.0.0.1:9545 --model examples.digits_model:stage \\
          --autograd-backward --rounds 900 --eval-every 100 & sleep 0.3
    done; wait

The model is nine layers, three per stage of a three-stage pipeline:

    Linear(64,256) ReLU LayerNorm | Linear(256,256) ReLU LayerNorm | Linear(256,256) ReLU Linear(256,10)

Each stage boundary comes after a LayerNorm: its output has both signs, so one sign bit
per element keeps most of it (a ReLU output would compress to all +scale).

Same samples, same order on the first and last stage: they run in different processes
and pair inputs with labels by order alone. Everything here is a function of SEED: the
held-out split, the initial weights and each epoch's shuffle (a generator of its own per
data source, seeded with SEED + epoch), so both stages build the same batches. The
trainer also calls `stage` twice on those stages and refuses to start when the first
batches differ.

Plain layers train with AdamW (rate LR, shrinking by DECAY per step); the int8 stand-in
layers of `stage_int8` take their rate from --lr.
"""
import gzip
import pathlib

import torch
from torch import nn

ROOT = pathlib.Path(__file__).resolve().parents[1]
DIGITS = ROOT / "build" / "data" / "digits.csv.gz"
SEED = 0
HIDDEN = 256
HELD_OUT = 360
BATCH = 32
EVAL_BATCH = 120
LR = 2e-3
DECAY = 0.997
WEIGHT_DECAY = 0.01


def load_digits(path=DIGITS):
    """(inputs [1797, 64] scaled to 0..1, labels [1797]) from the csv (64 pixels, then the class)."""
    if not pathlib.Path(path).is_file():
        raise FileNotFoundError(f"{path} is missing: run 'make data'")
    with gzip.open(path, "rt") as f:
        rows = [[float(v) for v in line.split(",")] for line in f if line.strip()]
    table = torch.tensor(rows)
    return table[:, :64] / 16.0, table[:, 64].long()


def split(seed=SEED):
    """A fixed split: (train inputs, train labels, held-out inputs, held-out labels)."""
    x, y = load_digits()
    order = torch.randperm(len(y), generator=torch.Generator().manual_seed(seed))
    test, train = order[:HELD_OUT], order[HELD_OUT:]
    return x[train], y[train], x[test], y[test]


class ShuffledBatches:
    """(inputs, labels) batches, reshuffled on every pass in an order fixed by the seed:
    pass k uses a generator seeded with seed + k, whatever else draws random numbers."""

    def __init__(self, x, y, batch_size, seed=SEED, shuffle=True):
        self.x, self.y, self.batch_size, self.seed, self.shuffle = x, y, batch_size, seed, shuffle
        self.passes = 0

    def __len__(self):
        return (len(self.y) + self.batch_size - 1) // self.batch_size

    def __iter__(self):
        n = len(self.y)
        if self.shuffle:
            order = torch.randperm(n, generator=torch.Generator().manual_seed(self.seed + self.passes))
        else:
            order = torch.arange(n)
        self.passes += 1
        for i in range(0, n, self.batch_size):
            idx = order[i:i + self.batch_size]
            yield self.x[idx], self.y[idx]


def build_layers(int8=False, seed=SEED):
    """All nine layers, initialised from the seed. int8=True uses the int8 stand-in layer
    (square ones only: it needs in_features == out_features when autograd passes through it)
    for the hidden Linear layers."""
    torch.manual_seed(seed)
    linear = nn.Linear
    if int8:
        from korvane.zeb_trainable_int8 import ZEBTrainableLinear as linear
    return [nn.Linear(64, HIDDEN), nn.ReLU(), nn.LayerNorm(HIDDEN),
            linear(HIDDEN, HIDDEN), nn.ReLU(), nn.LayerNorm(HIDDEN),
            linear(HIDDEN, HIDDEN), nn.ReLU(), nn.Linear(HIDDEN, 10)]


def data(seed=SEED):
    x, y, xt, yt = split(seed)
    return ShuffledBatches(x, y, BATCH, seed), ShuffledBatches(xt, yt, EVAL_BATCH, seed, shuffle=False)


class DecayingAdamW(torch.optim.AdamW):
    """AdamW whose rate shrinks by DECAY each step: late, noisy steps move the weights less."""

    def step(self, closure=None):
        loss = super().step(closure)
        for group in self.param_groups:
            group["lr"] *= DECAY
        return loss


def make_optimizer(params):
    return DecayingAdamW(params, lr=LR, weight_decay=WEIGHT_DECAY)


def stage(assignment, int8=False):
    """This stage's slice of the model and the data; what `--model` calls."""
    layers = build_layers(int8)[assignment.layer_start:assignment.layer_end]
    train, held_out = data()
    return {
        "layers": layers,
        "train_data": train,
        "eval_data": held_out,  # middle stages only count its batches
        "optimizer": make_optimizer,
    }


def stage_int8(assignment):
    """The same with the int8 stand-in for the hidden Linear layers (their rate is --lr)."""
    return stage(assignment, int8=True)
