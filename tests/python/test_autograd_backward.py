"""Plain layers training in every stage (autograd_backward) and the caller's optimizer.

The proof: a three-stage pipeline through the coordinator stand-in yields, for one
micro-batch, the parameter gradients of the same model run in one process with the same
compress -> decompress at both boundaries (the activation going forward, the gradient
coming back)."""
import asyncio
import copy

import pytest
import torch
from torch import nn

from korvane.carrowel import (LayerAssignment, OrvynPipelineTrainer, OrvynPipelineTrainerSync, compress_tensor,
                              decompress_tensor)
from korvane.zeb_trainable_int8 import ZEBTrainableLinear
from scripted_server import closed_port


def alone(layers, **kw):
    t = OrvynPipelineTrainer("solo", f"http://127.0.0.1:{closed_port()}", device="cpu", **kw)
    t.layer_assignment = LayerAssignment("task", "solo", 0, len(layers), 0, None, None, "")
    t.layers = nn.ModuleList(layers)
    return t


class RelayedBoundary(torch.autograd.Function):
    """What a stage boundary does to a tensor: the activation and its gradient each cross
    compressed."""

    @staticmethod
    def forward(ctx, x):
        return decompress_tensor(compress_tensor(x))

    @staticmethod
    def backward(ctx, g):
        return decompress_tensor(compress_tensor(g, is_backward=True))


class KeepGradients(torch.optim.Optimizer):
    """An optimizer that changes nothing and keeps a copy of each step's gradients."""

    def __init__(self, params):
        super().__init__(params, {})
        self.seen = []

    def step(self, closure=None):
        self.seen.append([p.grad.clone() if p.grad is not None else None
                          for g in self.param_groups for p in g["params"]])


def model_layers():
    torch.manual_seed(3)
    return [nn.Linear(16, 64), nn.ReLU(), nn.LayerNorm(64),
            nn.Linear(64, 64), nn.ReLU(), nn.LayerNorm(64),
            nn.Linear(64, 64), nn.ReLU(), nn.Linear(64, 5)]


def test_three_stage_gradients_equal_the_one_process_model_with_relayed_boundaries(coordinator):
    url = coordinator(stages=3, layers=9)
    layers = model_layers()
    reference = copy.deepcopy(layers)
    x = torch.randn(8, 16)
    labels = torch.randint(0, 5, (8,))

    async def run():
        trainers = [OrvynPipelineTrainer(f"s{i}", url, device="cpu", autograd_backward=True, optimizer=KeepGradients)
                    for i in range(3)]
        await asyncio.wait_for(asyncio.gather(*(t.join_pipeline("proof") for t in trainers)), 30)
        trainers.sort(key=lambda t: t.layer_assignment.pipeline_position)
        for t in trainers:
            a = t.layer_assignment
            t.layers = nn.ModuleList(layers[a.layer_start:a.layer_end])
        await asyncio.wait_for(asyncio.gather(trainers[0].run_pipeline_round(input_data=x),
                                              trainers[1].run_pipeline_round(),
                                              trainers[2].run_pipeline_round(labels=labels)), 60)
        return trainers

    trainers = asyncio.run(run())
    assert [t.layer_assignment.pipeline_position for t in trainers] == [0, 1, 2]
    got = [g for t in trainers for g in t._plain_optimizer.seen[0]]

    h = nn.Sequential(*reference[0:3])(x)
    h = nn.Sequential(*reference[3:6])(RelayedBoundary.apply(h))
    out = nn.Sequential(*reference[6:9])(RelayedBoundary.apply(h))
    nn.functional.cross_entropy(out, labels).backward()
    want = [p.grad for layer in reference for p in layer.parameters()]

    assert len(got) == len(want) == 12
    for g, w in zip(got, want):
        assert torch.count_nonzero(w) > 0
        torch.testing.assert_close(g, w, rtol=1e-5, atol=1e-6 * w.abs().max().item())


def test_mixed_slice_plain_layers_get_true_products_and_int8_layers_their_own_backward():
    torch.manual_seed(0)
    int8 = ZEBTrainableLinear(12, 12)
    first, norm, last = nn.Linear(6, 12), nn.LayerNorm(12), nn.Linear(12, 4)
    ref_first, ref_norm, ref_last = copy.deepcopy(first), copy.deepcopy(norm), copy.deepcopy(last)
    frozen = nn.Linear(12, 12)  # the int8 layer as the plain layer it computes
    with torch.no_grad():
        frozen.weight.copy_(int8.dequantized_weight())
        frozen.bias.copy_(int8.bias)
    t = alone([first, int8, norm, last], autograd_backward=True, optimizer=KeepGradients)
    x, labels = torch.randn(5, 6), torch.tensor([0, 1, 2, 3, 0])
    loss = asyncio.run(t.run_pipeline_round(input_data=x, labels=labels, lr=0.0))

    xr = x.detach().clone().requires_grad_(True)
    ref_loss = nn.functional.cross_entropy(ref_last(ref_norm(frozen(ref_first(xr)))), labels)
    ref_loss.backward()
    assert loss == pytest.approx(ref_loss.item(), rel=1e-6)
    got = t._plain_optimizer.seen[0]
    want = [p.grad for m in (ref_first, ref_norm, ref_last) for p in m.parameters()]
    for g, w in zip(got, want):
        torch.testing.assert_close(g, w, rtol=1e-5, atol=1e-6)
    assert x.grad is None  # the caller's tensor collects no gradient on this path


def test_backward_stage_returns_the_input_gradient_and_needs_its_forward():
    torch.manual_seed(1)
    lin, norm = nn.Linear(4, 6), nn.LayerNorm(6)
    t = alone([lin, nn.ReLU(), norm], autograd_backward=True)
    x, g = torch.randn(3, 4), torch.randn(3, 6)

    async def run():
        await t.forward_stage(x)
        return await t.backward_stage(g)

    grad_x = asyncio.run(run())
    xr = x.detach().clone().requires_grad_(True)
    torch.autograd.backward(norm(torch.relu(lin(xr))), g)
    torch.testing.assert_close(grad_x, xr.grad)
    with pytest.raises(RuntimeError, match="forward_stage"):
        asyncio.run(t.backward_stage(g))  # one backward per forward

    async def under_no_grad():
        with torch.no_grad():
            await t.forward_stage(x)  # records nothing to go back through
        return await t.backward_stage(g)

    with pytest.raises(RuntimeError, match="forward_stage"):
        asyncio.run(under_no_grad())


def test_the_default_keeps_plain_layers_of_a_first_stage_unchanged():
    # Without autograd_backward a plain layer passes the gradient on untouched.
    lin = nn.Linear(4, 4)
    t = alone([lin])
    g = torch.ones(2, 4)

    async def run():
        await t.forward_stage(torch.randn(2, 4, requires_grad=True))
        return await t.backward_stage(g)

    assert torch.equal(asyncio.run(run()), g) and lin.weight.grad is None


def test_optimizer_drives_plain_layers_and_lr_goes_to_int8_layers():
    class Int8Like(nn.Module):
        def __init__(self):
            super().__init__()
            self.lrs = []

        def forward(self, x):
            return x

        def backward_zeb(self, g):
            return g

        def update_from_gradient(self, *, lr, weight_decay, loss_decreased):
            self.lrs.append(lr)

    torch.manual_seed(2)
    lin, int8 = nn.Linear(3, 3), Int8Like()
    built = []

    def factory(params):
        built.append(params)
        return torch.optim.SGD(params, lr=0.5)

    t = alone([lin, int8], optimizer=factory)  # without autograd_backward: the last stage's loss backward
    before = lin.weight.detach().clone()
    x = torch.randn(4, 3)
    ref = nn.Linear(3, 3)
    ref.load_state_dict(lin.state_dict())
    nn.functional.cross_entropy(ref(x), torch.tensor([0, 1, 2, 0])).backward()
    asyncio.run(t.run_pipeline_round(input_data=x, labels=torch.tensor([0, 1, 2, 0]), lr=1e-9))
    torch.testing.assert_close(lin.weight.detach(), before - 0.5 * ref.weight.grad)
    assert int8.lrs == [1e-9] and len(built) == 1 and built[0][0] is lin.weight
    asyncio.run(t.run_pipeline_round(input_data=x, labels=torch.tensor([0, 1, 2, 0])))
    assert len(built) == 1  # the same parameters: the same optimizer, its state kept
    t.layers = nn.ModuleList([nn.Linear(3, 3)])
    asyncio.run(t.run_pipeline_round(input_data=x, labels=torch.tensor([0, 1, 2, 0])))
    assert len(built) == 2 and built[1][0] is t.layers[0].weight

    only_int8 = alone([Int8Like()], optimizer=factory)
    asyncio.run(only_int8.run_pipeline_round(input_data=x))
    assert len(built) == 2 and only_int8._plain_optimizer is None  # no plain parameters, no optimizer


def test_constructor_options_are_keyword_only_and_checked():
    t = OrvynPipelineTrainer("a", "http://x", None)
    assert t.autograd_backward is False and t.optimizer is None
    with pytest.raises(TypeError):
        OrvynPipelineTrainer("a", "http://x", None, True)  # keyword-only
    with pytest.raises(TypeError, match="autograd_backward"):
        OrvynPipelineTrainer("a", autograd_backward=1)
    with pytest.raises(TypeError, match="optimizer"):
        OrvynPipelineTrainer("a", optimizer=0.1)
    f = OrvynPipelineTrainerSync("a", autograd_backward=True, optimizer=KeepGradients)
    assert f._trainer.autograd_backward is True and f._trainer.optimizer is KeepGradients
