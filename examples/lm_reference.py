"""The model of a pipeline, run in one ordinary process: the yardstick a pipeline's
training is measured against. A codec can be put where the pipeline's stage boundaries
are (the activation codec on the way forward, the gradient codec on the way back), so
that one process sees exactly what crosses a boundary, and the cut points follow the
coordinator's rule (the first `layers % stages` stages get one layer more).
"""
from __future__ import annotations

from typing import Any, Iterable, Sequence

import torch
from torch import nn
from torch.nn import functional as F


def stage_cuts(layers: int, stages: int) -> list[int]:
    """The layer positions where a pipeline of `stages` cuts `layers` layers."""
    if stages < 1 or layers < stages:
        raise ValueError(f"cannot cut {layers} layers into {stages} stages")
    base, extra = divmod(layers, stages)
    cuts, at = [], 0
    for s in range(stages - 1):
        at += base + (1 if s < extra else 0)
        cuts.append(at)
    return cuts


def boundary_round_trip(tensor: torch.Tensor, codec: str | None, is_backward: bool = False) -> tuple[torch.Tensor, int]:
    """(what `tensor` becomes after crossing a boundary with `codec`, the bytes it took):
    codec_round_trip, through the bytes themselves so that they can be counted. None leaves
    the tensor unchanged and counts it as float32."""
    if codec is None or codec == "none":
        return tensor, tensor.numel() * 4
    from korvane import carrowel
    data = carrowel.encode_boundary(tensor.detach(), codec=codec, is_backward=is_backward)
    return carrowel.decode_boundary(data, codec=codec, is_backward=is_backward, device=str(tensor.device)), len(data)


class _Boundary(torch.autograd.Function):
    @staticmethod
    def forward(ctx: Any, *args: Any, **kwargs: Any) -> Any:
        x, boundary = args
        ctx.boundary = boundary
        out, n = boundary_round_trip(x, boundary.activation_codec)
        boundary.bytes += n
        return out

    @staticmethod
    def backward(ctx: Any, *grad_outputs: Any) -> Any:
        (grad,) = grad_outputs
        out, n = boundary_round_trip(grad, ctx.boundary.gradient_codec, is_backward=True)
        ctx.boundary.bytes += n
        return out, None


class CodecBoundary(nn.Module):
    """A stage boundary in one process: the activation through `activation_codec`, its
    gradient through `gradient_codec` (None: unchanged in that direction)."""

    def __init__(self, activation_codec: str | None = None, gradient_codec: str | None = None):
        super().__init__()
        self.activation_codec, self.gradient_codec = activation_codec, gradient_codec
        self.bytes = 0  # encoded bytes that crossed, both directions

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        if not x.is_floating_point():
            return x  # integer tensors cross losslessly
        if not x.requires_grad:
            out, n = boundary_round_trip(x, self.activation_codec)
            self.bytes += n
            return out
        return _Boundary.apply(x, self)

    def extra_repr(self) -> str:
        return f"activation_codec={self.activation_codec}, gradient_codec={self.gradient_codec}"


def with_boundaries(layers: Sequence[nn.Module], stages: int, activation_codec: str | None = None,
                    gradient_codec: str | None = None) -> nn.Sequential:
    """The layers in one nn.Sequential, with a CodecBoundary where a pipeline of `stages` cuts them."""
    cuts = set(stage_cuts(len(layers), stages))
    out: list[nn.Module] = []
    for i, layer in enumerate(layers):
        if i in cuts:
            out.append(CodecBoundary(activation_codec, gradient_codec))
        out.append(layer)
    return nn.Sequential(*out)


def step_loss(model: nn.Module, x: torch.Tensor, y: torch.Tensor) -> torch.Tensor:
    out = model(x)
    return F.cross_entropy(out.view(-1, out.size(-1)), y.view(-1))


def train(model: nn.Module, optimizer: torch.optim.Optimizer, batches: Iterable[tuple[torch.Tensor, torch.Tensor]],
          steps: int, micro_batches: int = 1) -> list[float]:
    """`steps` steps as the pipeline takes them: each sums the gradients of `micro_batches`
    batches, every loss scaled by 1/micro_batches, and updates once. Returns the step losses."""
    model.train()
    stream = iter(batches)
    losses = []
    for _ in range(steps):
        optimizer.zero_grad(set_to_none=True)
        total = 0.0
        for _ in range(micro_batches):
            x, y = next(stream)
            loss = step_loss(model, x, y)
            (loss / micro_batches).backward()
            total += loss.item()
        optimizer.step()
        losses.append(total / micro_batches)
    return losses


@torch.no_grad()
def evaluate(model: nn.Module, batches: Iterable[tuple[torch.Tensor, torch.Tensor]]) -> float:
    """Mean cross entropy per predicted element (per byte, for the LM), summed as the
    pipeline's last stage sums it: a float sum per batch, added up in double precision."""
    model.eval()
    total, count = 0.0, 0
    for x, y in batches:
        out = model(x)
        total += F.cross_entropy(out.view(-1, out.size(-1)), y.view(-1), reduction="sum").item()
        count += y.numel()
    return total / count
