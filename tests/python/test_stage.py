import asyncio
import os
import subprocess
import sys

import pytest
import torch
from torch import nn

from korvane.carrowel import OrvynPipelineTrainer

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def trainer(layers):
    t = OrvynPipelineTrainer("t1", device="cpu")
    t.layers = layers
    return t


class Recorder(nn.Module):
    """An int8-like layer that records what the stage hands it."""

    def __init__(self, backward=True, update=True):
        super().__init__()
        self.calls = []
        if backward:
            self.backward_zeb = lambda g: (self.calls.append(("backward", g.clone())), g * 2)[1]
        if update:
            self.update_from_gradient = lambda **kw: self.calls.append(("update", kw))

    def forward(self, x):
        return x + 1


def test_empty_slice_returns_the_same_objects():
    t = trainer([])
    x, g = torch.randn(3), torch.randn(3)

    async def run():
        return await t.forward_stage(x), await t.backward_stage(g)

    y, gx = asyncio.run(run())
    assert y is x and gx is g and not g.requires_grad


def test_forward_runs_layers_in_order_and_keeps_the_graph():
    a, b = nn.Linear(4, 3), nn.Linear(3, 2)
    x = torch.randn(5, 4, requires_grad=True)
    y = asyncio.run(trainer([a, b]).forward_stage(x))
    assert torch.allclose(y, b(a(x)))
    y.sum().backward()
    assert x.grad is not None and a.weight.grad is not None


def test_backward_over_plain_and_int8_layers():
    mid = Recorder()
    t = trainer([nn.Linear(4, 4), mid, nn.Linear(4, 4)])
    g = torch.randn(2, 4)
    out = asyncio.run(t.backward_stage(g))
    assert [c[0] for c in mid.calls] == ["backward"]
    assert torch.equal(mid.calls[0][1], g)
    assert torch.equal(out.detach(), g.detach() * 2) and out.requires_grad
    g = torch.randn(2, 4)
    plain = asyncio.run(trainer([nn.Linear(4, 4)] * 2).backward_stage(g))
    assert plain is g and g.requires_grad


def test_capability_tests_are_separate():
    only_update = Recorder(backward=False)
    only_backward = Recorder(update=False)
    t = trainer([only_update, only_backward])

    async def run():
        await t.backward_stage(torch.ones(2))
        await t.update_layers(0.25, False)

    asyncio.run(run())
    assert [c[0] for c in only_backward.calls] == ["backward"]
    assert only_update.calls == [("update", {"lr": 0.25, "weight_decay": 0.01, "loss_decreased": False})]


def test_update_defaults():
    r = Recorder()
    asyncio.run(trainer([r]).update_layers())
    assert r.calls == [("update", {"lr": 0.0001, "weight_decay": 0.01, "loss_decreased": True})]


def test_plain_sgd_step():
    lin = nn.Linear(3, 2)
    untouched = nn.Linear(3, 2)
    before = [p.detach().clone() for p in lin.parameters()]
    before_u = [p.detach().clone() for p in untouched.parameters()]
    lin(torch.randn(4, 3)).sum().backward()
    grads = [p.grad.clone() for p in lin.parameters()]
    t = trainer([lin, untouched])
    asyncio.run(t.update_layers(0.5))
    for p, w, g in zip(lin.parameters(), before, grads):
        assert torch.allclose(p, w - 0.5 * g) and torch.count_nonzero(p.grad) == 0
    assert all(torch.equal(p, w) for p, w in zip(untouched.parameters(), before_u))
    after = [p.detach().clone() for p in lin.parameters()]
    asyncio.run(t.update_layers(0.5))  # no new backward: nothing moves
    assert all(torch.equal(p, w) for p, w in zip(lin.parameters(), after))
    assert torch.is_grad_enabled()


def test_errors_pass_through_and_earlier_layers_stay_updated():
    first = nn.Linear(2, 2)
    first(torch.randn(1, 2)).sum().backward()
    w0 = first.weight.detach().clone()

    class Broken(nn.Module):
        def update_from_gradient(self, **kw):
            raise ZeroDivisionError("layer failed")

    t = trainer([first, Broken()])
    with pytest.raises(ZeroDivisionError, match="layer failed"):
        asyncio.run(t.update_layers(1.0))
    assert not torch.equal(first.weight, w0)
    with pytest.raises(RuntimeError):  # shape mismatch between layers
        asyncio.run(trainer([nn.Linear(4, 3), nn.Linear(4, 3)]).forward_stage(torch.randn(2, 4)))
    assert torch.is_grad_enabled()


SCRIPT = r"""
import asyncio, sys, torch
if sys.argv[1] == 'hide':
    sys.modules['korvane.zeb_trainable_int8'] = None
import korvane.carrowel as kc
t = kc.OrvynPipelineTrainer('t1', device='cpu')
t.layer_assignment = kc.LayerAssignment('task', 't1', 0, 2, 0, None, None, '')

async def main():
    await t._download_layers('task')
    x = torch.randn(2, 512, 768, requires_grad=True)
    y = await t.forward_stage(x)
    y.mean().backward()
    g = await t.backward_stage(x.grad)
    before = [p.detach().clone() for p in t.layers[0].parameters()]
    await t.update_layers(lr=0.01)
    moved = any(not torch.equal(a, b) for a, b in zip(before, t.layers[0].parameters()))
    print(type(t.layers[0]).__name__, tuple(y.shape), tuple(g.shape), moved)

asyncio.run(main())
"""


@pytest.mark.parametrize("mode,name", [("stand-in", "ZEBTrainableLinear"), ("hide", "Linear")])
def test_script_level_stage_round(mode, name):
    r = subprocess.run([sys.executable, "-c", SCRIPT, mode], cwd=ROOT, capture_output=True, text=True,
                       env={**os.environ, "PYTHONPATH": ROOT}, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[-1] == f"{name} (2, 512, 768) (2, 512, 768) True"
