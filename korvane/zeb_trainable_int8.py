"""Linear layer with int8 weights that trains itself.

``ZEBTrainableLinear(in_features, out_features)`` stores its weight matrix as int8 values
q in -127..127 with one float32 scale per output row (row max / 127 + 1e-10), plus a
float32 bias. All three are ``nn.Parameter`` objects with ``requires_grad=False``: they
are counted by ``parameters()`` (out*in + 2*out elements, about a quarter of the float32
memory) and moved in place by ``to(device)``, but autograd never accumulates into them.
The layer computes its own gradients in ``backward_zeb`` and applies them in
``update_from_gradient``; the optimiser state (previous gradient signs, running variance)
lives in buffers, so it moves with the layer and is not counted as parameters.

Autograd: the output passes the gradient it receives to the input unchanged. A pipeline's
last stage runs ``loss.backward()`` and hands the gradient that reached the slice's input
to ``backward_zeb`` of the last layer, then of each layer before it, so that gradient
must be the gradient of the slice's *output*. This needs in_features == out_features.

Update (``update_from_gradient``), per weight, from the gradient kept by ``backward_zeb``:
  - the gradient is compressed to one sign per element (>= 0 is +1) and one scale per
    group of 64 consecutive elements (row-major), the mean magnitude of the group;
  - g = sign * group scale; mult = 1.3 when the sign equals the previous one, else 0.7;
  - var = 0.999 * var + 0.001 * g**2; step = lr * mult * g / (sqrt(var) + 1e-8);
  - w = q * row scale - step, then q = round-half-even(w / row scale) clamped to
    -127..127. Row scales never change: weights move in whole steps of their row scale.
Choices of this layer:
  - ``weight_decay`` is decoupled: ``lr * weight_decay * w`` is taken off w together with
    the step, before rounding, so on its own it moves a weight only when it adds up to
    half a step;
  - ``loss_decreased=False`` halves the step (the weights and the bias): when the loss
    went up, move more carefully;
  - ``lr`` is multiplied by sqrt(1 - 0.999**t) on the t-th update (the usual bias
    correction of a zero-started running variance), which keeps stacks of these layers
    trainable at lr 1e-3..1e-2;
  - the bias follows the same sign/variance rule on its exact (uncompressed) gradient,
    in float32, without rounding.
Gradients from several ``backward_zeb`` calls add up until the next update, which
consumes them. Several micro-batches may be in flight: each forward run with gradient
recording on keeps its input, and each ``backward_zeb`` takes the oldest one kept (first
in, first out), so memory grows with the number in flight. ``discard_pending()`` forgets
the inputs whose backward will never come and the gradients not yet applied (a step
that failed half-way must not leak into the next one). A non-finite gradient (a diverging run) is dropped and the weights stay as they
were: cast to int8 it would turn them into garbage.

Where it runs: every step on the int8 tensors is a torch operator of the package
(``torch.ops.korvane.int8_quantize``, ``int8_dequantize``, ``int8_fused_update``,
registered by the native module ``korvane._int8_ops``, built and installed with the
package), and torch's dispatcher picks its kernel by the tensors' device:
  - on the CPU, the update is one native pass that gives the torch arithmetic of the rule
    above bit for bit, but for the group means (summed in another order; a weight exactly
    halfway between two steps may round the other way);
  - on a CUDA device, brisol's kernels quantise, dequantise, compress the gradient and
    update the weights (``import korvane.brisol`` registers them; the layer does that at
    its first use on a GPU); they agree with the CPU path up to float rounding, one int8
    step at halfway cases. The bias keeps the torch arithmetic. ``use_brisol=True`` says
    that the layer is meant for them; where they cannot run (torch without CUDA kernels of
    these operators, no CUDA driver or NVRTC library) a CUDA layer raises RuntimeError at
    its first use.
Without ``korvane._int8_ops`` (``OPS_AVAILABLE`` false) the module still imports, and
constructing a layer raises RuntimeError that says how to build it.
"""
import collections
from types import ModuleType

import torch
from torch import nn

_int8_ops: ModuleType | None
try:
    from . import _int8_ops  # registers torch.ops.korvane.int8_* with their CPU kernels
except ImportError:  # not built: the layer cannot work, but the package still imports
    _int8_ops = None

OPS_AVAILABLE = _int8_ops is not None

# The numbers of the format and the update, from the operators' one header (absent with
# the module, without which no layer can be built).
if _int8_ops is not None:
    GROUP_SIZE, QMAX = _int8_ops.GROUP_SIZE, _int8_ops.QMAX
    SIGN_BOOST, SIGN_BRAKE = _int8_ops.SIGN_BOOST, _int8_ops.SIGN_BRAKE
    VAR_BETA, VAR_EPS = _int8_ops.VAR_BETA, _int8_ops.VAR_EPS

_CUDA_MISSING = ("ZEBTrainableLinear: a layer on a CUDA device runs on brisol's kernels (use_brisol=True), "
                 "which cannot run here ")
_cuda_checked = False  # set once the CUDA kernels of the operators were found usable


def require_cuda_operators():
    """Makes sure the operators have usable CUDA kernels (brisol's); RuntimeError if not."""
    global _cuda_checked
    if _cuda_checked:
        return
    from . import brisol  # its import registers the CUDA kernels of the operators
    if not torch._C._dispatch_has_kernel_for_dispatch_key("korvane::int8_fused_update", "CUDA"):
        raise RuntimeError(_CUDA_MISSING + "(this build of korvane has no CUDA kernels: the torch it was "
                           "built against had no CUDA)")
    if not brisol.CUPY_AVAILABLE:
        raise RuntimeError(_CUDA_MISSING + "(no CUDA driver or NVRTC library)")
    _cuda_checked = True


def _ops(tensor):
    """torch.ops.korvane, once the operators for ``tensor``'s device are known to be there."""
    if _int8_ops is None:
        raise RuntimeError("ZEBTrainableLinear needs its native operators (korvane._int8_ops), which "
                           "are not built: run `make build`, or install the package with `pip install .`")
    if tensor.is_cuda:
        require_cuda_operators()
    return torch.ops.korvane


def quantize_rows(weight):
    """(int8 values, float32 row scales) of a float matrix."""
    weight = weight.detach().float().contiguous()
    return _ops(weight).int8_quantize(weight)


class _PassGradientThrough(torch.autograd.Function):
    """y = x @ W.T + b; in backward the output's gradient goes to x as it is."""

    @staticmethod
    def forward(ctx, x, weight, bias):
        ctx.input_shape = x.shape
        return torch.nn.functional.linear(x, weight, bias)

    @staticmethod
    def backward(ctx, grad_output):
        if grad_output.shape != ctx.input_shape:
            raise RuntimeError(
                "ZEBTrainableLinear passes its output gradient through to its input, which "
                f"needs in_features == out_features (got {tuple(grad_output.shape)} for an "
                f"input of {tuple(ctx.input_shape)})")
        return grad_output, None, None


class ZEBTrainableLinear(nn.Module):
    """A Linear layer with int8 weights (one scale per row) that trains itself; see the
    module's docstring for the update rule. ``use_brisol=True`` runs it on brisol's kernels
    while it is on a CUDA device."""

    # The optimiser state, registered as buffers in __init__.
    prev_signs: torch.Tensor
    variance: torch.Tensor
    bias_prev_signs: torch.Tensor
    bias_variance: torch.Tensor

    def __init__(self, in_features, out_features, *, use_brisol=False):
        super().__init__()
        self.in_features = int(in_features)
        self.out_features = int(out_features)
        self.use_brisol = bool(use_brisol)  # brisol's kernels while the layer is on a CUDA device
        # nn.Linear's initialisation, then quantised.
        reference = nn.Linear(self.in_features, self.out_features)
        q, scale = quantize_rows(reference.weight)
        self.weight_int8 = nn.Parameter(q, requires_grad=False)
        self.weight_scale = nn.Parameter(scale, requires_grad=False)
        self.bias = nn.Parameter(reference.bias.detach().clone(), requires_grad=False)
        self.register_buffer("prev_signs", torch.zeros_like(q))
        self.register_buffer("variance", torch.zeros_like(q, dtype=torch.float32))
        self.register_buffer("bias_prev_signs", torch.zeros_like(self.bias, dtype=torch.int8))
        self.register_buffer("bias_variance", torch.zeros_like(self.bias))
        self.update_count = 0
        # Kept by forward for backward_zeb, oldest first.
        self._inputs: collections.deque[torch.Tensor] = collections.deque()
        # Kept by backward_zeb for update_from_gradient; both set or both None.
        self.grad_weight: torch.Tensor | None = None
        self.grad_bias: torch.Tensor | None = None

    @classmethod
    def from_linear(cls, linear, *, use_brisol=False):
        """An int8 layer on ``linear``'s device with its weight (quantised) and bias."""
        layer = cls(linear.in_features, linear.out_features, use_brisol=use_brisol)
        layer.to(linear.weight.device)
        layer.load_weight(linear.weight, linear.bias)
        return layer

    def load_weight(self, weight, bias=None):
        """Quantises a float [out, in] weight into this layer, on its device; resets the
        optimiser state (it belongs to the old weights)."""
        weight = weight.detach().to(self.weight_int8.device, torch.float32).contiguous()
        if tuple(weight.shape) != (self.out_features, self.in_features):
            raise ValueError(f"weight of shape {tuple(weight.shape)} does not fit a layer "
                             f"[{self.out_features}, {self.in_features}]")
        q, scale = _ops(weight).int8_quantize(weight)
        with torch.no_grad():
            self.weight_int8.copy_(q)
            self.weight_scale.copy_(scale)
            if bias is not None:
                self.bias.copy_(bias.detach())
            for buf in (self.prev_signs, self.variance, self.bias_prev_signs, self.bias_variance):
                buf.zero_()
        self.update_count = 0

    def extra_repr(self):
        return (f"in_features={self.in_features}, out_features={self.out_features}, int8"
                + (", use_brisol=True" if self.use_brisol else ""))

    def dequantized_weight(self):
        """The float32 [out, in] weight the int8 values and row scales stand for."""
        return _ops(self.weight_int8).int8_dequantize(self.weight_int8, self.weight_scale)

    def forward(self, x):
        """x @ W.T + b with the dequantised weight; keeps x for backward_zeb (not under no_grad)."""
        if torch.is_grad_enabled():  # an evaluation pass under no_grad has no backward to wait for
            self._inputs.append(x.detach())
        return _PassGradientThrough.apply(x, self.dequantized_weight().to(x.dtype), self.bias.to(x.dtype))

    def backward_zeb(self, grad):
        """Gradient wrt the input of the oldest forward not yet carried back; keeps the
        weight and bias gradients."""
        if not self._inputs:
            raise RuntimeError("ZEBTrainableLinear.backward_zeb called without a forward pass before it")
        x = self._inputs.popleft()  # one backward per forward, like autograd
        if grad.shape[-1] != self.out_features or grad.shape[:-1] != x.shape[:-1]:
            raise ValueError(
                f"gradient of shape {tuple(grad.shape)} does not match the output of the last "
                f"forward ({tuple(x.shape[:-1]) + (self.out_features,)})")
        grad = grad.detach()
        g2 = grad.reshape(-1, self.out_features).float()
        x2 = x.reshape(-1, self.in_features).float()
        grad_weight = g2.T @ x2
        grad_bias = g2.sum(dim=0)
        if self.grad_weight is None:
            self.grad_weight, self.grad_bias = grad_weight, grad_bias
        else:
            self.grad_weight += grad_weight
            self.grad_bias += grad_bias
        return (g2 @ self.dequantized_weight()).to(grad.dtype).reshape(*grad.shape[:-1], self.in_features)

    def discard_pending(self):
        """Forgets the inputs of forwards that will not be carried back and the gradients
        that no update has applied."""
        self._inputs.clear()
        self.grad_weight = self.grad_bias = None

    @torch.no_grad()
    def update_from_gradient(self, *, lr, weight_decay=0.01, loss_decreased=True):
        """Applies the gradients kept since the last update (none: nothing happens); a
        non-finite gradient is dropped and the weights stay."""
        grad_weight, grad_bias = self.grad_weight, self.grad_bias
        if grad_weight is None or grad_bias is None:
            return  # nothing to apply since the last update
        self.grad_weight = self.grad_bias = None
        lr = float(lr) if loss_decreased else float(lr) * 0.5
        # The running variance starts at zero, so sqrt(var) underestimates the gradient's
        # size for the first few hundred updates (30x on the first). Scaling lr by
        # sqrt(1 - beta**t) cancels that; without it the first steps saturate every weight
        # and a stack of these layers blows its logits up.
        t = self.update_count + 1
        lr *= (1 - VAR_BETA ** t) ** 0.5
        if self._fused_update(grad_weight, grad_bias, lr, float(weight_decay)):
            self.update_count = t  # not when a non-finite gradient was dropped

    def _fused_update(self, grad_weight, grad_bias, lr, weight_decay):
        """One update of the weights, the bias and their state; False (nothing changed)
        for a non-finite gradient: cast to int8 it would wreck the weights."""
        return _ops(self.weight_int8).int8_fused_update(
            self.weight_int8, self.weight_scale, grad_weight.float().contiguous(), self.prev_signs,
            self.variance, self.bias, grad_bias.float().contiguous(), self.bias_prev_signs,
            self.bias_variance, lr, weight_decay)
