"""Pipelined steps: m micro-batches on the one-forward-one-backward order, one update per
step. The split model must make exactly the update that one process makes when it
accumulates over the same micro-batches with the same compress->decompress at the
stage boundaries."""
import asyncio
import copy
import threading

import pytest
import torch
from torch import nn

from korvane.carrowel import LayerAssignment, OrvynPipelineTrainer, compress_tensor, decompress_tensor
from korvane.zeb_trainable_int8 import ZEBTrainableLinear
from scripted_server import Reply, ScriptedServer, closed_port

M = 4
STEPS = 3


def roundtrip(x, backward):
    return decompress_tensor(compress_tensor(x.detach(), is_backward=backward))


def batches(width, classes, n, seed):
    g = torch.Generator().manual_seed(seed)
    return [(torch.randn(3, 5, width, generator=g), torch.randint(0, classes, (3, 5), generator=g)) for _ in range(n)]


async def run_split(url, stages, data, lr, m=M, steps=STEPS, **trainer_kw):
    """Three trainers through the coordinator; stage i gets `stages[i]` by its assigned position."""
    trainers = [OrvynPipelineTrainer(f"t{i}", url, device="cpu", **trainer_kw) for i in range(len(stages))]
    await asyncio.gather(*[t.join_pipeline("equivalence") for t in trainers])
    for t in trainers:
        t.layers = nn.ModuleList(stages[t.layer_assignment.pipeline_position])
    results = await asyncio.gather(*[t.run_training_loop(dataloader=data, num_rounds=steps, lr=lr, micro_batches=m)
                                     for t in trainers])
    return trainers, results


def assert_same_parameters(split_stages, reference_stages):
    for split, ref in zip(split_stages, reference_stages):
        for a, b in zip(split, ref):
            for (name, p), q in zip(a.named_parameters(), b.parameters()):
                scale = q.detach().float().abs().max().item()
                assert torch.allclose(p.float(), q.float(), rtol=1e-5, atol=1e-5 * scale), name


def plain_model():
    torch.manual_seed(11)
    return [[nn.Linear(16, 32), nn.ReLU(), nn.Linear(32, 16), nn.LayerNorm(16)],
            [nn.Linear(16, 16), nn.ReLU(), nn.LayerNorm(16)],
            [nn.Linear(16, 16), nn.ReLU(), nn.Linear(16, 10)]]


def test_plain_layers_with_autograd_backward_update_as_one_process_does(coordinator, capsys):
    url = coordinator(stages=3, layers=9)
    model = plain_model()
    initial = copy.deepcopy(model)
    reference = copy.deepcopy(model)
    data = batches(16, 10, M * STEPS, seed=5)
    lr = 0.05

    trainers, results = asyncio.run(run_split(url, model, data, lr, autograd_backward=True))

    losses = []
    for step in range(STEPS):
        step_losses = []
        for x, y in data[step * M:(step + 1) * M]:
            a0 = x
            for layer in reference[0]:
                a0 = layer(a0)
            b0 = roundtrip(a0, False).requires_grad_(True)
            a1 = b0
            for layer in reference[1]:
                a1 = layer(a1)
            b1 = roundtrip(a1, False).requires_grad_(True)
            out = b1
            for layer in reference[2]:
                out = layer(out)
            loss = nn.CrossEntropyLoss()(out.view(-1, 10), y.view(-1))
            (loss / M).backward()
            a1.backward(roundtrip(b1.grad, True))
            a0.backward(roundtrip(b0.grad, True))
            step_losses.append(loss.item())
        with torch.no_grad():
            for stage in reference:
                for layer in stage:
                    for p in layer.parameters():
                        p -= lr * p.grad
                        p.grad.zero_()
        losses.append(sum(step_losses) / M)

    assert_same_parameters(model, reference)
    for stage, before in zip(model, initial):
        assert any(not torch.equal(p, q) for a, b in zip(stage, before) for p, q in zip(a.parameters(), b.parameters()))
    for t, r in zip(trainers, results):
        assert r["losses"] == pytest.approx(losses, rel=1e-5)
        assert r["rounds_completed"] == STEPS
        assert t.micro_batch_idx == M * STEPS  # consecutive numbers on the wire, M per step
    # The usual depth of the schedule: as many in flight as stages from here to the end.
    depth = {t.layer_assignment.pipeline_position: r["peak_in_flight"] for t, r in zip(trainers, results)}
    assert depth == {0: 3, 1: 2, 2: 1}
    out = capsys.readouterr().out
    assert out.count("Round 0/3: avg_loss=") == 3
    assert "Pipelined steps: 4 micro-batches each, up to 3 in flight" in out


def test_int8_layers_update_as_one_process_does_also_with_a_deeper_warm_up(coordinator):
    url = coordinator(stages=3, layers=6)
    torch.manual_seed(12)
    model = [[ZEBTrainableLinear(16, 16) for _ in range(2)] for _ in range(3)]
    reference = copy.deepcopy(model)
    initial = copy.deepcopy(model)
    data = batches(16, 16, M * STEPS, seed=6)
    lr = 0.02

    async def split():
        trainers = [OrvynPipelineTrainer(f"t{i}", url, device="cpu") for i in range(3)]
        await asyncio.gather(*[t.join_pipeline("int8") for t in trainers])
        for t in trainers:
            t.layers = nn.ModuleList(model[t.layer_assignment.pipeline_position])
        return trainers, await asyncio.gather(*[
            t.run_training_loop(dataloader=data, num_rounds=STEPS, lr=lr, micro_batches=M, max_in_flight=M)
            for t in trainers])

    trainers, results = asyncio.run(split())

    previous = float("inf")
    for step in range(STEPS):
        step_losses = []
        for x, y in data[step * M:(step + 1) * M]:
            h = x
            for i, stage in enumerate(reference):
                for layer in stage:
                    h = layer(h)
                if i < 2:
                    h = roundtrip(h, False)
            out = h.detach().requires_grad_(True)
            loss = nn.CrossEntropyLoss()(out.view(-1, 16), y.view(-1))
            (loss / M).backward()
            g = out.grad
            for i in (2, 1, 0):
                for layer in reversed(reference[i]):
                    g = layer.backward_zeb(g)
                if i > 0:
                    g = roundtrip(g, True)
            step_losses.append(loss.item())
        step_loss = sum(step_losses) / M
        for stage in reference:
            for layer in stage:
                layer.update_from_gradient(lr=lr, weight_decay=0.01, loss_decreased=step_loss < previous)
        previous = step_loss

    assert_same_parameters(model, reference)
    assert all(not torch.equal(a.weight_int8, b.weight_int8) for stage, before in zip(model, initial)
               for a, b in zip(stage, before))
    depth = {t.layer_assignment.pipeline_position: r["peak_in_flight"] for t, r in zip(trainers, results)}
    assert depth == {0: 4, 1: 4, 2: 1}  # max_in_flight on every stage but the last
    assert all(not layer._inputs for stage in model for layer in stage)  # nothing kept after the flush


def test_a_stage_alone_matches_rounds_for_one_micro_batch_and_averages_over_several():
    torch.manual_seed(3)
    layers = [nn.Linear(8, 8), nn.Tanh(), nn.Linear(8, 4)]
    data = [(torch.randn(6, 8), torch.randint(0, 4, (6,))) for _ in range(4)]

    def alone(mods):
        t = OrvynPipelineTrainer("solo", "http://127.0.0.1:9", device="cpu")
        t.layer_assignment = LayerAssignment("t", "solo", 0, 3, 0, None, None, "")
        t.layers = nn.ModuleList(mods)
        return t

    stepped = alone(copy.deepcopy(layers))
    r = asyncio.run(stepped.run_training_loop(dataloader=data, num_rounds=2, lr=0.1, micro_batches=2))
    for x, _ in data:
        assert x.grad is not None  # the caller's tensor holds its gradient, as after a round

    ref = copy.deepcopy(layers)
    want = []
    for s in range(2):
        total = 0.0
        for x, y in data[2 * s:2 * s + 2]:
            out = x
            for layer in ref:
                out = layer(out)
            loss = nn.CrossEntropyLoss()(out, y)
            (loss / 2).backward()
            total += loss.item()
        with torch.no_grad():
            for layer in ref:
                for p in layer.parameters():
                    p -= 0.1 * p.grad
                    p.grad.zero_()
        want.append(total / 2)
    assert r["losses"] == pytest.approx(want, rel=1e-6)
    assert_same_parameters([stepped.layers], [ref])
    assert stepped.micro_batch_idx == 4


def test_failure_mid_step_ends_the_loop_without_an_update_and_leaves_nothing_behind():
    torch.manual_seed(4)
    layers = [ZEBTrainableLinear(8, 8), ZEBTrainableLinear(8, 8)]
    t = OrvynPipelineTrainer("solo", "http://127.0.0.1:9", device="cpu")
    t.layer_assignment = LayerAssignment("t", "solo", 0, 2, 0, None, None, "")
    t.layers = nn.ModuleList(layers)
    before = [layer.weight_int8.clone() for layer in layers]
    good = [(torch.randn(4, 8), torch.randint(0, 8, (4,))) for _ in range(3)]
    bad = good[:2] + [(torch.randn(4, 8), torch.randint(0, 8, (5,)))]  # labels of the wrong size

    with pytest.raises((ValueError, RuntimeError)):
        asyncio.run(t.run_training_loop(dataloader=bad, num_rounds=2, lr=0.05, micro_batches=3, max_in_flight=3))
    assert all(torch.equal(layer.weight_int8, w) for layer, w in zip(layers, before))
    assert t.micro_batch_idx == 0
    assert all(not layer._inputs for layer in layers)
    assert all(layer.grad_weight is None for layer in layers)  # what micro-batches 0 and 1 summed is gone

    r = asyncio.run(t.run_training_loop(dataloader=good, num_rounds=1, lr=0.05, micro_batches=3))
    assert r["rounds_completed"] == 1 and t.micro_batch_idx == 3


def test_a_relay_failure_ends_the_step_with_its_error_and_cancels_the_relays_in_flight(capsys):
    t = OrvynPipelineTrainer("mid", f"http://127.0.0.1:{closed_port()}", device="cpu")
    t.layer_assignment = LayerAssignment("t", "mid", 0, 1, 1, "up", "down", "")
    t.layers = nn.ModuleList([nn.Linear(4, 4)])
    w = t.layers[0].weight.detach().clone()

    async def run():
        with pytest.raises(Exception) as info:
            await t.run_training_loop(num_rounds=1, micro_batches=4)
        return info.value, [task for task in asyncio.all_tasks() if task is not asyncio.current_task()]

    error, left = asyncio.run(run())
    assert left == []
    assert torch.equal(t.layers[0].weight, w) and t.micro_batch_idx == 0
    assert "  Warning: Failed to receive activation: " in capsys.readouterr().out


def test_argument_checks():
    t = OrvynPipelineTrainer("x", "http://127.0.0.1:9", device="cpu")
    with pytest.raises(ValueError, match="micro_batches"):
        t.run_training_loop(num_rounds=1, micro_batches=0)
    with pytest.raises(ValueError, match="max_in_flight"):
        t.run_training_loop(num_rounds=1, micro_batches=2, max_in_flight=0)
    with pytest.raises(TypeError):
        t.run_training_loop(None, 1, 0.1, None, 2)  # keyword-only


def test_posts_do_not_hold_up_computation_and_the_next_fetch_is_out_before_computing():
    """A scripted coordinator answers the fetch of micro-batch k only once the fetch of k+1
    has arrived, and the post of k only once the post of k+1 has: a stage that waited
    for its posts, or fetched only when it needed the next tensor, would stall here."""
    m = 3
    seen = set()
    cond = threading.Condition()
    stalled = []
    body = compress_tensor(torch.randn(2, 8)).to_bytes()

    def reply(req):
        kind = "get" if req.method == "GET" else "post"
        k = int(req.header("X-Micro-Batch") if kind == "post" else req.path.rsplit("micro_batch=", 1)[1])
        with cond:
            seen.add((kind, k))
            cond.notify_all()
            if k + 1 < m and not cond.wait_for(lambda: (kind, k + 1) in seen, timeout=10):
                stalled.append((kind, k))
        return Reply(body=body if kind == "get" else b"")

    with ScriptedServer() as srv:
        srv.reply = reply
        t = OrvynPipelineTrainer("last", srv.url, device="cpu")
        t.layer_assignment = LayerAssignment("t", "last", 0, 1, 1, "up", None, "")
        t.layers = nn.ModuleList([nn.Linear(8, 8)])
        r = asyncio.run(t.run_training_loop(num_rounds=1, micro_batches=m))
    assert stalled == []
    assert r["rounds_completed"] == 1
    assert sorted(seen) == [(kind, k) for kind in ("get", "post") for k in range(m)]


def test_a_fetch_made_ahead_that_the_coordinator_gave_up_on_is_made_again_without_a_warning(capsys):
    """A coordinator bounds how long it holds a fetch; one made far ahead of need may get
    its error answer before the stage waits for it. The stage asks again, silently."""
    body = compress_tensor(torch.randn(2, 8)).to_bytes()
    asked = {}

    def reply(req):
        if req.method != "GET":
            return Reply()
        k = int(req.path.rsplit("micro_batch=", 1)[1])
        asked[k] = asked.get(k, 0) + 1
        if asked[k] == 1:
            return Reply(504, b'{"error": "nothing posted in time"}')
        return Reply(body=body)

    with ScriptedServer() as srv:
        srv.reply = reply
        t = OrvynPipelineTrainer("last", srv.url, device="cpu")
        t.layer_assignment = LayerAssignment("t", "last", 0, 1, 1, "up", None, "")
        t.layers = nn.ModuleList([nn.Linear(8, 8)])
        r = asyncio.run(t.run_training_loop(num_rounds=1, micro_batches=3))
    assert r["rounds_completed"] == 1 and asked == {0: 2, 1: 2, 2: 2}
    assert "Warning" not in capsys.readouterr().out


class RecordingTrainer(OrvynPipelineTrainer):
    """Replaces two relay methods; both delegate, and note the micro-batch they ran for."""

    def __init__(self, *args, **kw):
        super().__init__(*args, **kw)
        self.calls = []

    async def send_activation(self, activation):
        self.calls.append(("send_activation", self.micro_batch_idx))
        return await super().send_activation(activation)

    async def receive_gradient(self, timeout=30.0):
        self.calls.append(("receive_gradient", self.micro_batch_idx))
        return await super().receive_gradient(timeout)


@pytest.mark.parametrize("m", [1, 4])
def test_replaced_relay_methods_are_called_for_every_micro_batch(coordinator, m):
    url = coordinator(stages=2, layers=4)
    steps = 2
    data = batches(16, 10, m * steps, seed=5)
    stages = [[nn.Linear(16, 16), nn.ReLU()], [nn.Linear(16, 10)]]

    async def run():
        trainers = [RecordingTrainer(f"t{i}", url, device="cpu") for i in range(2)]
        await asyncio.gather(*[t.join_pipeline("hooks") for t in trainers])
        for t in trainers:
            t.layers = nn.ModuleList(stages[t.layer_assignment.pipeline_position])
        results = await asyncio.gather(*[t.run_training_loop(dataloader=data, num_rounds=steps, lr=1e-2,
                                                             micro_batches=m) for t in trainers])
        return trainers, results

    trainers, results = asyncio.run(run())
    first = next(t for t in trainers if t.layer_assignment.is_first_stage)
    last = next(t for t in trainers if t.layer_assignment.is_last_stage)
    expected = [(name, k) for k in range(m * steps) for name in ("send_activation", "receive_gradient")]
    assert sorted(first.calls, key=lambda c: (c[1], c[0] != "send_activation")) == expected
    # Each micro-batch's activation leaves before its gradient is asked for.
    for k in range(m * steps):
        assert first.calls.index(("send_activation", k)) < first.calls.index(("receive_gradient", k))
    assert last.calls == []  # a last stage relays neither
    assert all(t.micro_batch_idx == m * steps for t in trainers)
    assert all(len(r["losses"]) == steps for r in results)
