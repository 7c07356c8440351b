"""The stage's tensor work as _carrowel_torch does it: installation, exact arithmetic,
errors for what is not a tensor, and deleting trainer attributes."""
import asyncio

import pytest
import torch
from torch import nn

import korvane.carrowel as kc
from korvane.carrowel import OrvynPipelineTrainer, _carrowel_torch


def trainer(layers, **kw):
    t = OrvynPipelineTrainer("t1", device="cpu", **kw)
    t.layers = layers
    return t


def test_only_the_stage_operations_capsule_installs():
    with pytest.raises(TypeError, match="stage_ops"):
        kc._native._install_stage_tensor_ops(_carrowel_torch.backend())  # another interface
    with pytest.raises(TypeError, match="stage_ops"):
        kc._native._install_stage_tensor_ops(object())
    kc._native._install_stage_tensor_ops(_carrowel_torch.stage_ops())  # again: harmless
    lin = nn.Linear(3, 2)
    x = torch.randn(4, 3)
    assert torch.equal(asyncio.run(trainer([lin]).forward_stage(x)), lin(x))


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
def test_plain_sgd_is_torchs_arithmetic_bit_for_bit(dtype):
    lin = nn.Linear(5, 3).to(dtype)
    lin(torch.randn(7, 5, dtype=dtype)).pow(2).sum().backward()
    expected = [(p - p.grad * 0.1).detach() for p in lin.parameters()]
    asyncio.run(trainer([lin]).update_layers(0.1))
    for p, e in zip(lin.parameters(), expected):
        assert p.dtype == dtype and torch.equal(p, e)
        assert torch.count_nonzero(p.grad) == 0 and p.requires_grad


def test_autograd_backward_runs_python_hooks_and_functions_in_the_graph():
    # The backward runs with the GIL released; Python code inside the graph must still run.
    seen = []

    class Twice(torch.autograd.Function):
        @staticmethod
        def forward(ctx, x):
            return x * 2

        @staticmethod
        def backward(ctx, g):
            seen.append("function")
            return g * 2

    class Layer(nn.Module):
        def __init__(self):
            super().__init__()
            self.lin = nn.Linear(3, 3)

        def forward(self, x):
            y = Twice.apply(self.lin(x))
            y.register_hook(lambda g: seen.append("hook"))
            return y

    layer = Layer()
    x = torch.randn(2, 3)
    g = torch.randn(2, 3)
    t = trainer([layer], autograd_backward=True)

    async def run():
        await t.forward_stage(x)
        return await t.backward_stage(g)

    grad_x = asyncio.run(run())
    leaf = x.clone().requires_grad_(True)
    (layer.lin(leaf) * 2).backward(g)
    assert torch.equal(grad_x, leaf.grad) and sorted(seen) == ["function", "hook"]


def test_what_is_not_a_tensor_is_a_type_error():
    t = trainer([nn.Linear(3, 3)], autograd_backward=True)
    with pytest.raises(TypeError, match="list"):
        asyncio.run(t.forward_stage([1.0, 2.0, 3.0]))
    t2 = trainer([nn.Linear(3, 3)])
    with pytest.raises(TypeError, match="tuple"):
        asyncio.run(t2.backward_stage((1.0,)))
    assert torch.is_grad_enabled()


def test_deleting_attributes():
    t = trainer([])
    t.note = 1
    del t.note
    assert not hasattr(t, "note")
    with pytest.raises(AttributeError):
        del t.note
    with pytest.raises(AttributeError):
        del t.layers  # a property of the class
