"""Training for real: the faults a real run found (a reused input tensor, the command
line's numbers and empty values, an empty data source) and training a caller's own model
from the command line with held-out evaluation through the pipeline."""
import asyncio
import json
import os
import pathlib
import subprocess
import sys
import time

import pytest
import torch
from torch import nn

from korvane.carrowel import (LayerAssignment, OrvynPipelineTrainer, compress_tensor, decompress_tensor, main)
from scripted_server import Reply, ScriptedServer, closed_port

REPO = pathlib.Path(__file__).resolve().parents[2]
HERE = pathlib.Path(__file__).resolve().parent


def alone(layers):
    t = OrvynPipelineTrainer("solo", f"http://127.0.0.1:{closed_port()}", device="cpu")
    t.layer_assignment = LayerAssignment("task", "solo", 0, len(layers), 0, None, None, "")
    t.layers = nn.ModuleList(layers)
    return t


class Int8Probe(nn.Module):
    """Passes values through and records every gradient backward_stage hands it."""

    def __init__(self):
        super().__init__()
        self.inputs, self.grads = [], []

    def forward(self, x):
        self.inputs.append(x)
        return x

    def backward_zeb(self, g):
        self.grads.append(g.detach().clone())
        return g

    def update_from_gradient(self, **kw):
        pass


def test_a_reused_input_tensor_hands_backward_only_this_rounds_gradient():
    probe = Int8Probe()
    t = alone([probe])
    x, labels = torch.randn(4, 3), torch.tensor([0, 1, 2, 0])
    for _ in range(3):
        asyncio.run(t.run_pipeline_round(input_data=x, labels=labels))
    assert all(inp is x for inp in probe.inputs)  # the activation is the caller's own tensor
    first = probe.grads[0]
    assert first.abs().sum() > 0
    for g in probe.grads[1:]:
        assert torch.equal(g, first)  # not 2x, 3x: nothing of earlier rounds
    torch.testing.assert_close(x.grad, 3 * first)  # the caller's tensor accumulates, as autograd does


class NoLenSource:
    """A data source without __len__ that yields `batches` on its first pass and
    `later` on every pass after it."""

    def __init__(self, batches, later=()):
        self.batches, self.later, self.passes = batches, later, 0

    def __iter__(self):
        self.passes += 1
        return iter(self.batches if self.passes == 1 else self.later)


def test_a_source_without_len_that_yields_nothing_counts_as_absent(capsys):
    probe = Int8Probe()
    t = alone([probe])
    metrics = asyncio.run(t.run_training_loop(dataloader=NoLenSource([]), num_rounds=2))
    assert metrics["rounds_completed"] == 2
    assert [tuple(x.shape) for x in probe.inputs] == [(2, 512, 768)] * 2  # generated, as without a source

    # One that ran dry after yielding still fails, at the restart that yields nothing.
    probe.inputs.clear()
    batch = torch.ones(2, 3)
    with pytest.raises(RuntimeError, match="no batch"):
        asyncio.run(t.run_training_loop(dataloader=NoLenSource([batch, batch]), num_rounds=3))
    assert len(probe.inputs) == 2 and all(x is batch for x in probe.inputs)
    # A generator with batches keeps working across its restart when it is re-iterable.
    src = NoLenSource([batch], later=[batch])
    assert asyncio.run(t.run_training_loop(dataloader=src, num_rounds=2))["rounds_completed"] == 2


def run_main(args, capsys):
    status = main(args)
    out = capsys.readouterr()
    return status, out.out, out.err


def test_cli_rounds_are_decimal_and_an_empty_inline_value_is_the_empty_text(capsys):
    alone_slice = {"layer_start": 0, "layer_end": 0, "pipeline_position": 0}
    with ScriptedServer() as srv:
        srv.reply = lambda req: Reply(200, json.dumps(alone_slice).encode())
        base = ["--task-id", "t", "--coordinator", srv.url]
        for text, rounds in (("010", 10), ("09", 9), ("+3", 3), ("0", 0)):
            status, out, _ = run_main(base + ["--rounds", text], capsys)
            assert status == 0 and f"Starting training ({rounds} rounds)..." in out
            assert f"  Rounds: {rounds}\n" in out
        status, out, _ = run_main(base + ["--trainer-id=", "--rounds=2"], capsys)
        assert status == 0 and "  Rounds: 2\n" in out
        joins = [json.loads(r.body) for r in srv.requests if r.path == "/pipeline/join"]
        assert joins[-1]["trainer_id"] == ""
    for bad in (["--rounds", "0x10"], ["--rounds", "1e3"], ["--rounds", ""], ["--rounds= ", "--task-id", "x"],
                ["--rounds=", "--task-id", "x"], ["--eval-every", "-1"], ["--model", "no_colon"]):
        status, out, err = run_main(["--task-id", "t"] + bad if bad[-1] != "x" else bad, capsys)
        assert status == 2 and out == "", bad
        assert err.startswith("usage: ") and "error: " in err
    # "--rounds=" takes the empty text, not the next option: --task-id is still seen
    status, _, err = run_main(["--rounds=", "--task-id", "x"], capsys)
    assert "--rounds" in err and "task-id is required" not in err


def cli_env():
    return dict(os.environ, PYTHONPATH=f"{REPO}:{HERE}", OMP_NUM_THREADS="1", PYTHONUNBUFFERED="1")


def test_three_processes_train_a_model_named_on_the_command_line(coordinator):
    url = coordinator(stages=3, layers=9)
    procs = []
    for i in range(3):
        procs.append(subprocess.Popen(
            [sys.executable, "-m", "korvane.carrowel", "--task-id", "tiny", "--trainer-id", f"t{i}",
             "--coordinator", url, "--model", "tiny_stage_model:stage", "--autograd-backward", "--rounds", "40",
             "--eval-every", "20"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=cli_env(), cwd=REPO))
        time.sleep(0.3)
    outs = [p.communicate(timeout=180) for p in procs]
    assert [p.returncode for p in procs] == [0, 0, 0], [o[1] for o in outs]
    # Join order decides the positions; under load it may differ from start order.
    outs.sort(key=lambda o: [line for line in o[0].splitlines() if line.startswith("  Position: ")])
    last = outs[2][0].splitlines()
    evals = [line for line in last if line.startswith("  Evaluation at round ")]
    assert [e.split(":")[0] for e in evals] == ["  Evaluation at round 20", "  Evaluation at round 40"]
    accuracy = float(evals[-1].rsplit("accuracy=", 1)[1])
    assert last[-1] == f"  Held-out accuracy: {accuracy:.4f} (32 samples)"
    assert accuracy >= 0.75, evals  # the majority class is half of the samples
    assert "  Model: tiny_stage_model:stage (3 layers)" in outs[0][0]
    assert not any(line.startswith("  Evaluation") for line in outs[0][0].splitlines())


def test_cli_refuses_data_that_would_misalign_first_and_last_stage(capsys):
    first_stage = {"layer_start": 0, "layer_end": 3, "pipeline_position": 0, "downstream_trainer": "b"}
    with ScriptedServer() as srv:
        srv.reply = lambda req: Reply(200, json.dumps(first_stage).encode())
        base = ["--task-id", "t", "--coordinator", srv.url, "--model"]
        with pytest.raises(ValueError, match="gave different train_data"):
            main(base + ["tiny_stage_model:unseeded"])
        with pytest.raises(TypeError, match="one-shot iterator"):
            main(base + ["tiny_stage_model:generator_data"])
        with pytest.raises(ValueError, match=r"returned 2 layers for the slice 0-3 \(3 layers\)"):
            main(base + ["tiny_stage_model:two_layers"])
        with pytest.raises(ModuleNotFoundError):
            main(base + ["no_such_module:stage"])
    assert not [r for r in srv.requests if r.path == "/pipeline/activation"]  # nothing trained
    assert "Starting training" not in capsys.readouterr().out


def test_evaluation_runs_forward_only_through_the_relays(coordinator):
    url = coordinator(stages=2, layers=2)
    torch.manual_seed(4)
    layers = [nn.Sequential(nn.Linear(6, 64), nn.LayerNorm(64)), nn.Linear(64, 3)]
    data = [(torch.randn(10, 6), torch.randint(0, 3, (10,))) for _ in range(2)]

    async def run():
        trainers = [OrvynPipelineTrainer(f"e{i}", url, device="cpu") for i in range(2)]
        await asyncio.wait_for(asyncio.gather(*(t.join_pipeline("eval") for t in trainers)), 30)
        trainers.sort(key=lambda t: t.layer_assignment.pipeline_position)
        for t, layer in zip(trainers, layers):
            t.layers = nn.ModuleList([layer])
        results = await asyncio.wait_for(asyncio.gather(*(t.run_evaluation(dataloader=data, num_batches=2)
                                                          for t in trainers)), 60)
        with pytest.raises(ValueError, match="has 2 batches, 3 asked for"):
            await trainers[0].run_evaluation(dataloader=data, num_batches=3)  # nothing sent
        with pytest.raises(ValueError, match="ran out after 2 of 3"):
            await trainers[0].run_evaluation(dataloader=iter(data), num_batches=3)  # unsized: found on the way
        trainers[0].micro_batch_idx -= 2
        return trainers, results

    before = [p.detach().clone() for layer in layers for p in layer.parameters()]
    trainers, (first, last) = asyncio.run(run())
    assert first == {"batches": 2} and [t.micro_batch_idx for t in trainers] == [2, 2]
    correct, loss = 0, 0.0
    with torch.no_grad():
        for x, y in data:
            out = layers[1](decompress_tensor(compress_tensor(layers[0](x))))
            correct += (out.argmax(-1) == y).sum().item()
            loss += nn.functional.cross_entropy(out, y, reduction="sum").item()
    assert last["samples"] == 20 and last["accuracy"] == correct / 20
    assert last["loss"] == pytest.approx(loss / 20, rel=1e-6)
    after = [p.detach() for layer in layers for p in layer.parameters()]
    assert all(torch.equal(a, b) for a, b in zip(before, after)) and all(p.grad is None for p in after)


def test_digits_data_and_their_order_are_fixed_by_the_seed():
    sys.path.insert(0, str(REPO))
    from examples import digits_model as dm
    x, y = dm.load_digits()
    assert x.shape == (1797, 64) and 0 <= x.min() and x.max() <= 1 and sorted(set(y.tolist())) == list(range(10))
    (train_a, held_a), (train_b, held_b) = dm.data(), dm.data()
    assert len(held_a.y) == 360 and len(train_a.y) == 1437
    for pass_ in range(2):  # every pass reshuffles, identically in both
        for (xa, ya), (xb, yb) in zip(train_a, train_b):
            assert torch.equal(xa, xb) and torch.equal(ya, yb)
    assert not torch.equal(next(iter(train_a))[1], next(iter(dm.data()[0]))[1])  # pass 3 is not pass 1
