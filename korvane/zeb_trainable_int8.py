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

Where it runs:
  - on the CPU, the update is one native pass (``korvane._int8_native``, built with the
    package) that gives the torch arithmetic below bit for bit, but for the group means
    (summed in another order; a weight exactly halfway between two steps may round the
    other way). Without that module (``NATIVE_AVAILABLE`` false) the layer uses the
    torch arithmetic, with the same results;
  - on a CUDA device, with ``use_brisol=True`` (off by default), the brisol kernels
    quantise (``load_weight``), dequantise, compress the gradient and update the weights;
    they agree with the CPU path up to float rounding, one int8 step at halfway cases. The
    bias keeps its torch arithmetic. Where the kernels cannot run, a flagged layer raises
    RuntimeError at its first use on the GPU; without the flag a CUDA layer uses the torch
    arithmetic.
"""
import collections
from types import ModuleType

import torch
from torch import nn

_int8_native: ModuleType | None
try:
    from . import _int8_native
except ImportError:  # not built: the torch arithmetic below does the same work
    _int8_native = None

NATIVE_AVAILABLE = _int8_native is not None

GROUP_SIZE = 64
SIGN_BOOST = 1.3
SIGN_BRAKE = 0.7
VAR_BETA = 0.999
VAR_EPS = 1e-8
QMAX = 127


def quantize_rows(weight):
    """(int8 values, float32 row scales) of a float matrix."""
    weight = weight.detach().float()
    scale = weight.abs().amax(dim=1) / QMAX + 1e-10  # the small term keeps a zero row usable
    q = torch.round(weight / scale[:, None]).clamp_(-QMAX, QMAX).to(torch.int8)
    return q, scale


def compress_gradient(grad, group_size=GROUP_SIZE):
    """(per-group mean magnitude, per-element sign as +1/-1 int8) of a gradient, flattened."""
    flat = grad.detach().reshape(-1).float()
    n = flat.numel()
    n_groups = (n + group_size - 1) // group_size
    padded = torch.zeros(n_groups * group_size, dtype=flat.dtype, device=flat.device)
    padded[:n] = flat.abs()
    counts = torch.full((n_groups,), float(group_size), device=flat.device)
    counts[-1] = n - (n_groups - 1) * group_size  # the last group may be short
    scales = padded.view(n_groups, group_size).sum(dim=1) / counts
    signs = torch.where(flat >= 0, 1, -1).to(torch.int8)  # -0.0 counts as positive
    return scales, signs


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


_brisol_kernels = {}  # CUDA device index -> ZEBCuPyKernels, compiled once per process


def brisol_kernels(device):
    """The brisol kernel holder for a CUDA device, compiled on first use."""
    index = torch.device(device).index
    if index is None:
        index = torch.cuda.current_device()
    if index not in _brisol_kernels:
        from . import brisol
        if not brisol.CUPY_AVAILABLE:
            raise RuntimeError("ZEBTrainableLinear(use_brisol=True): the brisol kernels cannot run "
                               "here (no CUDA driver or NVRTC library)")
        with torch.cuda.device(index):
            _brisol_kernels[index] = brisol.ZEBCuPyKernels()
    return _brisol_kernels[index]


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
        if self._brisol_here():
            q, scale = brisol_kernels(weight.device).quantize_int8(weight)
        else:
            q, scale = quantize_rows(weight)
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

    def _brisol_here(self):
        return self.use_brisol and self.weight_int8.is_cuda

    # Callers test `_int8_native is not None` again: it is what lets a type checker see the module.
    def _native_here(self):
        return _int8_native is not None and self.weight_int8.device.type == "cpu"

    def dequantized_weight(self):
        """The float32 [out, in] weight the int8 values and row scales stand for."""
        if self._native_here() and _int8_native is not None:
            return _int8_native.dequantize(self.weight_int8, self.weight_scale)
        if self._brisol_here():
            return brisol_kernels(self.weight_int8.device).dequantize_int8(
                self.weight_int8, self.weight_scale, (self.out_features, self.in_features))
        return self.weight_int8.float() * self.weight_scale[:, None]

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
        weight_decay = float(weight_decay)
        if self._native_here() and _int8_native is not None:
            done = _int8_native.fused_update(
                self.weight_int8, self.weight_scale, grad_weight.contiguous(), self.prev_signs,
                self.variance, self.bias, grad_bias.contiguous(), self.bias_prev_signs,
                self.bias_variance, lr, weight_decay, SIGN_BOOST, SIGN_BRAKE, VAR_BETA, VAR_EPS)
        elif self._brisol_here():
            done = self._update_brisol(grad_weight, grad_bias, lr, weight_decay)
        else:
            done = self._update_torch(grad_weight, grad_bias, lr, weight_decay)
        if done:  # a non-finite gradient was dropped: cast to int8 it would wreck the weights
            self.update_count = t

    def _update_brisol(self, grad_weight, grad_bias, lr, weight_decay):
        if not (torch.isfinite(grad_weight).all() and torch.isfinite(grad_bias).all()):
            return False
        k = brisol_kernels(self.weight_int8.device)
        scales, signs = k.compress_gradient(grad_weight.float().contiguous())
        k.fused_weight_update(self.weight_int8, self.weight_scale, scales, signs, self.prev_signs,
                              self.variance, self.out_features, self.in_features, lr, SIGN_BOOST,
                              SIGN_BRAKE, VAR_BETA, VAR_EPS, weight_decay)
        self._update_bias(grad_bias, lr, weight_decay)
        return True

    def _update_bias(self, grad_bias, lr, weight_decay):
        bias_signs = torch.where(grad_bias >= 0, 1, -1).to(torch.int8)
        bias_step = self._step(grad_bias, bias_signs, self.bias_prev_signs, self.bias_variance, lr)
        self.bias.sub_(bias_step + lr * weight_decay * self.bias)

    def _update_torch(self, grad_weight, grad_bias, lr, weight_decay):
        """The update in torch operations: the reference of the native pass, and the path
        where neither the native module nor brisol applies."""
        if not (torch.isfinite(grad_weight).all() and torch.isfinite(grad_bias).all()):
            return False
        scales, signs = compress_gradient(grad_weight)
        rows, cols = self.out_features, self.in_features
        n = rows * cols
        group_of = torch.arange(n, device=scales.device) // GROUP_SIZE
        signs = signs.view(rows, cols)
        g = signs.float() * scales[group_of].view(rows, cols)
        step = self._step(g, signs, self.prev_signs, self.variance, lr)
        row_scale = self.weight_scale[:, None]
        w = self.weight_int8.float() * row_scale
        w = w - step - lr * weight_decay * w
        self.weight_int8.copy_(torch.round(w / row_scale).clamp_(-QMAX, QMAX).to(torch.int8))
        self._update_bias(grad_bias, lr, weight_decay)
        return True

    @staticmethod
    def _step(g, signs, prev_signs, variance, lr):
        mult = torch.where(signs == prev_signs, SIGN_BOOST, SIGN_BRAKE)
        prev_signs.copy_(signs)
        variance.mul_(VAR_BETA).add_((1 - VAR_BETA) * g * g)
        return lr * mult * g / (variance.sqrt() + VAR_EPS)
