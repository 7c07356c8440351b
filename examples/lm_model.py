"""A byte-level language model for `python3 -m korvane.carrowel --model`: a small
decoder-only transformer that learns to predict the next byte of Python's own standard
library sources (the interpreter's top-level `.py` files, about 4.7 MB, in name order; the
last 10% is held out).

    build/bin/korvane-coordinator --port 9545 --stages 3 --layers 4 &
    for id in s1 s2 s3; do                       # start them in pipeline order
      PYTHONPATH=. /usr/bin/python3 -m korvane.carrowel --task-id lm --trainer-id $id \\
          --coordinator http://127.0.0.1:9545 --model examples.lm_model:stage \\
          --autograd-backward --micro-batches 4 --rounds 300 & sleep 0.3
    done; wait

The model is a list of BLOCKS + 2 layers that pass one (batch, context, WIDTH) tensor
between them, so a pipeline may cut it anywhere:

    TokenEmbedding | Block ... Block | LMHead

TokenEmbedding takes the byte ids (integers) and adds a learned position embedding; each
Block is pre-LayerNorm causal self-attention and an MLP, both residual (the causal mask is
built inside, so nothing but the residual stream crosses a boundary); LMHead is the final
LayerNorm and the projection to 256 byte logits. The labels are the input shifted by one
byte, and the trainer's cross entropy over output.view(-1, 256) is the loss in nats per
byte.

Everything is a function of SEED: the initial weights (the whole model is built from one
seeded generator and each stage takes its slice) and the training windows (drawn from a
generator of their own, restarted at every pass, so any two iterations of `train_data`
give the same batches in the same order, however many batches an earlier one read).
"""
from __future__ import annotations

import math
import pathlib
import sys
from typing import Any, Iterator

import torch
from torch import nn

SEED = 0
VOCAB = 256
CONTEXT = 64
WIDTH = 64
HEADS = 4
BLOCKS = 2
BATCH = 4            # sequences per micro-batch
EVAL_BATCHES = 64       # 64 x 4 windows of 64 bytes: 16 KiB of held-out text
HELD_OUT = 0.1
LR = 3e-3
WEIGHT_DECAY = 0.01
BATCHES_PER_PASS = 1_000_000  # windows are drawn at random; a pass is just a long stream


def corpus_files(root: str | pathlib.Path | None = None) -> list[pathlib.Path]:
    """The interpreter's own top-level library sources, in name order."""
    lib = pathlib.Path(root) if root else pathlib.Path(sys.base_prefix) / "lib" / f"python{sys.version_info.major}.{sys.version_info.minor}"
    files = sorted(p for p in lib.glob("*.py") if p.is_file())
    if not files:
        raise FileNotFoundError(f"no .py files in {lib}: the language model reads the interpreter's library sources")
    return files


def load_corpus(root: str | pathlib.Path | None = None) -> torch.Tensor:
    """All bytes of the library sources, concatenated: a uint8 tensor."""
    data = b"".join(p.read_bytes() for p in corpus_files(root))
    return torch.frombuffer(bytearray(data), dtype=torch.uint8)


_CORPUS: dict[Any, tuple[torch.Tensor, torch.Tensor]] = {}


def split(root: str | pathlib.Path | None = None) -> tuple[torch.Tensor, torch.Tensor]:
    """(training bytes, held-out bytes): the held-out part is the last HELD_OUT of the text."""
    if root not in _CORPUS:
        text = load_corpus(root)
        cut = int(len(text) * (1 - HELD_OUT))
        _CORPUS[root] = (text[:cut], text[cut:])
    return _CORPUS[root]


def windows(text: torch.Tensor, starts: torch.Tensor, context: int = CONTEXT) -> tuple[torch.Tensor, torch.Tensor]:
    """(inputs, labels) of shape (len(starts), context): labels are the next byte of each input byte."""
    idx = starts.unsqueeze(1) + torch.arange(context + 1)
    chunk = text[idx].long()
    return chunk[:, :-1].contiguous(), chunk[:, 1:].contiguous()


class RandomWindows:
    """Training batches of random windows of the text. Every pass starts the same seeded
    generator afresh, so the stream is a pure function of the seed: the first and last
    stage (and a one-process reference) read the same batches."""

    def __init__(self, text: torch.Tensor, batch_size: int = BATCH, context: int = CONTEXT, seed: int = SEED,
                 batches: int = BATCHES_PER_PASS):
        if len(text) <= context + 1:
            raise ValueError(f"the text has {len(text)} bytes, fewer than a window of {context + 1}")
        self.text, self.batch_size, self.context, self.seed, self.batches = text, batch_size, context, seed, batches

    def __len__(self) -> int:
        return self.batches

    def __iter__(self) -> Iterator[tuple[torch.Tensor, torch.Tensor]]:
        g = torch.Generator().manual_seed(self.seed)
        for _ in range(self.batches):
            starts = torch.randint(0, len(self.text) - self.context - 1, (self.batch_size,), generator=g)
            yield windows(self.text, starts, self.context)


def held_out_batches(text: torch.Tensor, count: int = EVAL_BATCHES, batch_size: int = BATCH,
                     context: int = CONTEXT) -> list[tuple[torch.Tensor, torch.Tensor]]:
    """`count` batches of windows spread evenly over the held-out text, always the same."""
    n = count * batch_size
    span = len(text) - context - 1
    if span < n:
        raise ValueError(f"the held-out text ({len(text)} bytes) is too short for {n} windows of {context + 1}")
    starts = torch.arange(n) * (span // n)
    return [windows(text, starts[i:i + batch_size], context) for i in range(0, n, batch_size)]


class TokenEmbedding(nn.Module):
    """Byte ids (batch, context), any integer type -> (batch, context, width)."""

    def __init__(self, width: int = WIDTH, context: int = CONTEXT, vocab: int = VOCAB):
        super().__init__()
        self.tokens = nn.Embedding(vocab, width)
        self.positions = nn.Parameter(torch.zeros(context, width))
        nn.init.normal_(self.tokens.weight, std=0.02)
        nn.init.normal_(self.positions, std=0.02)

    def forward(self, ids: torch.Tensor) -> torch.Tensor:
        if ids.is_floating_point():
            raise TypeError(f"TokenEmbedding takes integer byte ids, got {ids.dtype}")
        t = ids.shape[-1]
        if t > self.positions.shape[0]:
            raise ValueError(f"a sequence of {t} bytes is longer than the context of {self.positions.shape[0]}")
        return self.tokens(ids.long()) + self.positions[:t]


class Block(nn.Module):
    """Pre-LayerNorm causal self-attention and MLP, each added to the residual stream."""

    def __init__(self, width: int = WIDTH, heads: int = HEADS):
        super().__init__()
        if width % heads:
            raise ValueError(f"width {width} is not a multiple of {heads} heads")
        self.heads = heads
        self.ln1 = nn.LayerNorm(width)
        self.qkv = nn.Linear(width, 3 * width)
        self.proj = nn.Linear(width, width)
        self.ln2 = nn.LayerNorm(width)
        self.mlp = nn.Sequential(nn.Linear(width, 4 * width), nn.GELU(), nn.Linear(4 * width, width))

    def attend(self, x: torch.Tensor) -> torch.Tensor:
        b, t, d = x.shape
        q, k, v = self.qkv(x).split(d, dim=-1)
        q, k, v = (z.view(b, t, self.heads, d // self.heads).transpose(1, 2) for z in (q, k, v))
        scores = q @ k.transpose(-2, -1) / math.sqrt(d // self.heads)
        future = torch.ones(t, t, dtype=torch.bool, device=x.device).triu(1)
        weights = scores.masked_fill(future, float("-inf")).softmax(dim=-1)
        return self.proj((weights @ v).transpose(1, 2).reshape(b, t, d))

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        x = x + self.attend(self.ln1(x))
        return x + self.mlp(self.ln2(x))


class LMHead(nn.Module):
    """The final LayerNorm and the byte logits."""

    def __init__(self, width: int = WIDTH, vocab: int = VOCAB):
        super().__init__()
        self.ln = nn.LayerNorm(width)
        self.out = nn.Linear(width, vocab)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return self.out(self.ln(x))


def build_layers(seed: int = SEED, width: int = WIDTH, blocks: int = BLOCKS, heads: int = HEADS,
                 context: int = CONTEXT) -> list[nn.Module]:
    """The whole model as a list of layers, initialised from the seed."""
    torch.manual_seed(seed)
    return [TokenEmbedding(width, context), *(Block(width, heads) for _ in range(blocks)), LMHead(width)]


def make_optimizer(params) -> torch.optim.Optimizer:
    return torch.optim.AdamW(params, lr=LR, weight_decay=WEIGHT_DECAY)


def data(root: str | pathlib.Path | None = None) -> tuple[RandomWindows, list[tuple[torch.Tensor, torch.Tensor]]]:
    train, held_out = split(root)
    return RandomWindows(train), held_out_batches(held_out)


def stage(assignment) -> dict[str, Any]:
    """This stage's slice of the model and the data; what `--model` calls."""
    layers = build_layers()
    if assignment.layer_end > len(layers):
        raise ValueError(f"the coordinator assigned layers {assignment.layer_start}-{assignment.layer_end}, "
                         f"but the model has {len(layers)}: start it with --layers {len(layers)}")
    train, held_out = data()
    return {
        "layers": layers[assignment.layer_start:assignment.layer_end],
        "train_data": train,
        "eval_data": held_out,
        "optimizer": make_optimizer,
    }
