"""The training controls: the caller's loss, a learning-rate schedule that survives a
resume, gradient clipping to one global norm over every stage (proven against the same
model in one process), and the command line's --model run with evaluation, checkpoints
and its option rules."""
import asyncio
import copy
import json
import os
import pathlib
import subprocess
import sys
import urllib.request

import pytest
import torch
from torch import nn

from korvane.carrowel import (LayerAssignment, OrvynPipelineTrainer, OrvynPipelineTrainerSync, compress_tensor,
                              decompress_tensor)
from scripted_server import Reply, ScriptedServer, closed_port

REPO = pathlib.Path(__file__).resolve().parents[2]
HERE = pathlib.Path(__file__).resolve().parent


def alone(layers, **kw):
    """A trainer that is first and last stage at once: no coordinator is asked."""
    t = OrvynPipelineTrainer("solo", f"http://127.0.0.1:{closed_port()}", device="cpu", **kw)
    t.layer_assignment = LayerAssignment("task", "solo", 0, len(layers), 0, None, None, "")
    t.layers = nn.ModuleList(layers)
    return t


def small_model(seed=3):
    torch.manual_seed(seed)
    return [nn.Linear(6, 16), nn.Tanh(), nn.Linear(16, 4)]


def batches(count, seed=7, targets="classes"):
    g = torch.Generator().manual_seed(seed)
    out = []
    for _ in range(count):
        x = torch.randn(8, 6, generator=g)
        y = torch.randint(0, 4, (8,), generator=g) if targets == "classes" else torch.randn(8, 4, generator=g)
        out.append((x, y))
    return out


# --- loss_fn -------------------------------------------------------------------------------

def test_loss_fn_replaces_the_cross_entropy_in_training_and_scores_the_held_out_data():
    layers = small_model()
    reference = nn.Sequential(*copy.deepcopy(layers))
    data = batches(4, targets="values")
    t = alone(layers, autograd_backward=True, optimizer=lambda p: torch.optim.SGD(p, lr=0.1),
              loss_fn=nn.functional.mse_loss)
    metrics = asyncio.run(t.run_training_loop(dataloader=data[:2], num_rounds=2, micro_batches=2))

    opt = torch.optim.SGD(reference.parameters(), lr=0.1)
    want = []
    for _ in range(2):
        opt.zero_grad()
        losses = [nn.functional.mse_loss(reference(x), y) for x, y in data[:2]]
        (sum(losses) / 2).backward()
        opt.step()
        want.append(sum(l.item() for l in losses) / 2)
    assert metrics["losses"] == pytest.approx(want, rel=1e-6)
    for got, ref in zip(nn.Sequential(*t.layers).parameters(), reference.parameters()):
        torch.testing.assert_close(got, ref)

    # Held out: the caller's loss, weighted by each batch's labels; no accuracy for values.
    held = asyncio.run(t.run_evaluation(dataloader=data[2:], num_batches=2))
    with torch.no_grad():
        want_loss = sum(nn.functional.mse_loss(reference(x), y).item() * y.numel() for x, y in data[2:]) / 64
    assert held["samples"] == 64 and "accuracy" not in held
    assert held["loss"] == pytest.approx(want_loss, rel=1e-6)

    # With class labels the accuracy is counted too.
    t.loss_fn = lambda out, y: nn.functional.cross_entropy(out, y) * 2
    data = batches(2)
    held = asyncio.run(t.run_evaluation(dataloader=data, num_batches=2))
    with torch.no_grad():
        outs = [reference(x) for x, _ in data]
    assert held["loss"] == pytest.approx(sum(nn.functional.cross_entropy(o, y).item() * 2 for o, (_, y) in
                                             zip(outs, data)) / 2, rel=1e-6)
    assert held["accuracy"] == sum((o.argmax(-1) == y).sum().item() for o, (_, y) in zip(outs, data)) / 16


def test_a_loss_fn_that_does_not_answer_one_element_is_an_error_naming_it():
    t = alone(small_model(), loss_fn=lambda out, y: out)  # the whole output, not a scalar
    x, y = batches(1)[0]
    with pytest.raises(ValueError, match="loss_fn must return a tensor of one element, got 32"):
        asyncio.run(t.run_pipeline_round(input_data=x, labels=y))
    t.loss_fn = lambda out, y: 1.5
    with pytest.raises(TypeError, match="loss_fn must return a tensor, got float"):
        asyncio.run(t.run_pipeline_round(input_data=x, labels=y))
    with pytest.raises(TypeError, match="loss_fn"):
        alone(small_model(), loss_fn=3)


# --- lr_scheduler -----------------------------------------------------------------------------

def test_the_schedule_steps_once_per_step_after_the_update():
    layers = small_model()
    reference = nn.Sequential(*copy.deepcopy(layers))
    data = batches(4)

    def schedule(opt):
        return torch.optim.lr_scheduler.StepLR(opt, step_size=2, gamma=0.5)

    t = alone(layers, autograd_backward=True, optimizer=lambda p: torch.optim.SGD(p, lr=0.2, momentum=0.9),
              lr_scheduler=schedule)
    asyncio.run(t.run_training_loop(dataloader=data, num_rounds=5, micro_batches=2))
    assert t._lr_scheduler.last_epoch == 5  # steps, not micro-batches
    assert t._plain_optimizer.param_groups[0]["lr"] == pytest.approx(0.2 * 0.5 ** 2)

    opt = torch.optim.SGD(reference.parameters(), lr=0.2, momentum=0.9)
    sched = schedule(opt)
    stream = data * 3
    for step in range(5):
        opt.zero_grad()
        for x, y in stream[2 * step:2 * step + 2]:
            (nn.functional.cross_entropy(reference(x), y) / 2).backward()
        opt.step()
        sched.step()
    for got, ref in zip(nn.Sequential(*t.layers).parameters(), reference.parameters()):
        torch.testing.assert_close(got, ref)


def test_a_schedule_needs_an_optimizer():
    with pytest.raises(ValueError, match="lr_scheduler needs optimizer"):
        alone(small_model(), lr_scheduler=lambda opt: None)
    with pytest.raises(TypeError, match="lr_scheduler"):
        alone(small_model(), optimizer=lambda p: torch.optim.SGD(p, lr=0.1), lr_scheduler=0.5)


def one_stage(url, name, tmp_path, **kw):
    t = OrvynPipelineTrainerSync(name, url, device="cpu", autograd_backward=True,
                                 optimizer=lambda p: torch.optim.SGD(p, lr=0.1, momentum=0.9),
                                 lr_scheduler=lambda opt: torch.optim.lr_scheduler.StepLR(opt, 3, gamma=0.5),
                                 metrics_file=str(tmp_path / f"{name}-{len(os.listdir(tmp_path))}.jsonl"), **kw)
    t.join_pipeline(name)
    t._trainer.layers = nn.ModuleList(small_model())
    return t


def test_a_resumed_run_keeps_its_schedule_and_its_step_numbers(coordinator, tmp_path):
    url = coordinator(stages=1, layers=3)
    data = batches(3)
    whole = one_stage(url, "whole", tmp_path, checkpoint_dir=str(tmp_path / "whole"), checkpoint_every=3)
    whole.run_training_loop(dataloader=data, num_rounds=8)

    first = one_stage(url, "split", tmp_path, checkpoint_dir=str(tmp_path / "split"), checkpoint_every=3)
    first.run_training_loop(dataloader=data, num_rounds=4)  # saves 3 and 4 (its end)
    again = one_stage(url, "split", tmp_path, checkpoint_dir=str(tmp_path / "split"), checkpoint_every=3, resume=True)
    again.run_training_loop(dataloader=data, num_rounds=8)

    a = torch.load(tmp_path / "whole" / "checkpoint-00000008.pt", weights_only=True)
    b = torch.load(tmp_path / "split" / "checkpoint-00000008.pt", weights_only=True)
    for key in a["layers"]:
        assert torch.equal(a["layers"][key], b["layers"][key]), key
    assert b["lr_scheduler"]["last_epoch"] == 8
    assert again._trainer._plain_optimizer.param_groups[0]["lr"] == pytest.approx(0.1 * 0.5 ** 2)
    # The resumed trainer's records go on from the checkpoint's step, as its members' do.
    steps = [json.loads(line)["step"] for line in pathlib.Path(again._trainer.metrics_file).read_text().splitlines()]
    assert steps == [4, 5, 6, 7]


# --- clip_grad_norm ------------------------------------------------------------------------------

class RelayedBoundary(torch.autograd.Function):
    """A stage boundary: the activation and its gradient each cross compressed."""

    @staticmethod
    def forward(ctx, x):
        return decompress_tensor(compress_tensor(x))

    @staticmethod
    def backward(ctx, g):
        return decompress_tensor(compress_tensor(g, is_backward=True))


def pipeline_model():
    torch.manual_seed(3)
    return [nn.Linear(16, 64), nn.ReLU(), nn.LayerNorm(64),
            nn.Linear(64, 64), nn.ReLU(), nn.LayerNorm(64),
            nn.Linear(64, 64), nn.ReLU(), nn.Linear(64, 5)]


def test_three_stages_clip_to_the_global_norm_exactly_as_one_process(coordinator):
    url = coordinator(stages=3, layers=9)
    layers = pipeline_model()
    reference = copy.deepcopy(layers)
    g = torch.Generator().manual_seed(11)
    data = [(torch.randn(8, 16, generator=g), torch.randint(0, 5, (8,), generator=g)) for _ in range(6)]
    max_norm, steps, m = 0.3, 3, 2

    async def run():
        trainers = [OrvynPipelineTrainer(f"c{i}", url, device="cpu", autograd_backward=True, clip_grad_norm=max_norm,
                                         optimizer=lambda p: torch.optim.SGD(p, lr=0.5)) for i in range(3)]
        await asyncio.wait_for(asyncio.gather(*(t.join_pipeline("clip") for t in trainers)), 30)
        trainers.sort(key=lambda t: t.layer_assignment.pipeline_position)
        for t in trainers:
            a = t.layer_assignment
            t.layers = nn.ModuleList(layers[a.layer_start:a.layer_end])
        await asyncio.wait_for(asyncio.gather(*(t.run_training_loop(dataloader=data, num_rounds=steps, micro_batches=m)
                                                for t in trainers)), 120)
        for t in trainers:
            await t.leave_pipeline()

    asyncio.run(run())

    opt = torch.optim.SGD([p for layer in reference for p in layer.parameters()], lr=0.5)
    norms = []
    for step in range(steps):
        opt.zero_grad()
        for x, y in data[m * step:m * step + m]:
            h = nn.Sequential(*reference[0:3])(x)
            h = nn.Sequential(*reference[3:6])(RelayedBoundary.apply(h))
            out = nn.Sequential(*reference[6:9])(RelayedBoundary.apply(h))
            (nn.functional.cross_entropy(out, y) / m).backward()
        norms.append(torch.nn.utils.clip_grad_norm_([p for l in reference for p in l.parameters()], max_norm).item())
        opt.step()
    assert min(norms) > 2 * max_norm, norms  # clipping did act, every step
    for got, want in zip([p for l in layers for p in l.parameters()], [p for l in reference for p in l.parameters()]):
        torch.testing.assert_close(got, want, rtol=1e-5, atol=1e-6)


def test_a_stage_alone_clips_by_its_own_norm_without_asking_anyone():
    layers = small_model()
    reference = nn.Sequential(*copy.deepcopy(layers))
    data = batches(3)
    t = alone(layers, autograd_backward=True, optimizer=lambda p: torch.optim.SGD(p, lr=0.3), clip_grad_norm=0.1)
    asyncio.run(t.run_training_loop(dataloader=data, num_rounds=3))
    opt = torch.optim.SGD(reference.parameters(), lr=0.3)
    for x, y in data:
        opt.zero_grad()
        nn.functional.cross_entropy(reference(x), y).backward()
        assert torch.nn.utils.clip_grad_norm_(reference.parameters(), 0.1) > 0.1
        opt.step()
    for got, ref in zip(nn.Sequential(*t.layers).parameters(), reference.parameters()):
        torch.testing.assert_close(got, ref)


def test_a_non_finite_gradient_on_one_stage_skips_the_step_on_every_stage(coordinator, capsys):
    url = coordinator(stages=2, layers=3)
    torch.manual_seed(5)
    layers = [nn.Linear(6, 16), nn.LayerNorm(16), nn.Linear(16, 4)]
    poisoned = []

    def poison_once(g):  # the first stage's first gradient only
        if not poisoned:
            poisoned.append(True)
            return g * float("nan")
        return g

    layers[0].weight.register_hook(poison_once)
    data = batches(2)

    async def run():
        trainers = [OrvynPipelineTrainer(f"n{i}", url, device="cpu", autograd_backward=True, clip_grad_norm=1.0,
                                         optimizer=lambda p: torch.optim.SGD(p, lr=0.1)) for i in range(2)]
        await asyncio.wait_for(asyncio.gather(*(t.join_pipeline("nonfinite") for t in trainers)), 30)
        trainers.sort(key=lambda t: t.layer_assignment.pipeline_position)
        for t in trainers:
            a = t.layer_assignment
            t.layers = nn.ModuleList(layers[a.layer_start:a.layer_end])
        before = [p.detach().clone() for p in layers[2].parameters()]
        await asyncio.wait_for(asyncio.gather(*(t.run_training_loop(dataloader=data, num_rounds=1) for t in trainers)), 60)
        # The last stage's own gradients were finite, and still nothing was applied.
        assert all(torch.equal(a, b) for a, b in zip(before, layers[2].parameters()))
        await asyncio.wait_for(asyncio.gather(*(t.run_training_loop(dataloader=data, num_rounds=1) for t in trainers)), 60)
        assert not all(torch.equal(a, b) for a, b in zip(before, layers[2].parameters()))
        for t in trainers:
            await t.leave_pipeline()

    asyncio.run(run())
    out = capsys.readouterr().out
    assert out.count("applied no update") == 2
    assert "first a gradient of another stage (the global gradient norm is not finite)" in out


def test_clipping_needs_a_coordinator_that_gathers_norms(capsys):
    answer = {"layer_start": 0, "layer_end": 2, "pipeline_position": 0, "features": ["codecs", "reports"]}
    with ScriptedServer() as srv:
        srv.reply = lambda req: Reply(200, json.dumps(answer).encode())
        t = OrvynPipelineTrainerSync("c", srv.url, device="cpu", clip_grad_norm=1.0)
        with pytest.raises(RuntimeError, match="clip_grad_norm needs a coordinator that gathers gradient norms"):
            t.join_pipeline("t")
        leaves = [json.loads(r.body) for r in srv.requests if r.path == "/pipeline/leave"]
        assert len(leaves) == 1 and "clip_grad_norm" in leaves[0]["error"]  # its neighbours stop waiting
    for bad, kind in ((0.0, ValueError), (-1.0, ValueError), (float("nan"), ValueError), (float("inf"), ValueError),
                      (True, TypeError), ("1", TypeError)):
        with pytest.raises(kind, match="clip_grad_norm"):
            OrvynPipelineTrainer("c", "http://127.0.0.1:9", clip_grad_norm=bad)


# --- the command line's --model run ------------------------------------------------------------

def cli(url, trainer_id, *args, env=None):
    return subprocess.Popen(
        [sys.executable, "-m", "korvane.carrowel", "--task-id", "controls", "--trainer-id", trainer_id,
         "--coordinator", url, "--model", "controls_model:stage", *args],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=REPO,
        env=dict(os.environ, PYTHONPATH=f"{REPO}:{HERE}", OMP_NUM_THREADS="1", PYTHONUNBUFFERED="1", **(env or {})))


def found(tree, key):
    """Every value of `key` anywhere in a JSON answer."""
    if isinstance(tree, dict):
        return ([tree[key]] if key in tree else []) + [v for x in tree.values() for v in found(x, key)]
    if isinstance(tree, list):
        return [v for x in tree for v in found(x, key)]
    return []


def test_a_model_run_evaluates_checkpoints_counts_rounds_and_starts_on_the_first_batch(coordinator, tmp_path):
    url = coordinator(stages=2, layers=4)
    first_input = tmp_path / "first_input.pt"
    procs = []
    for name in ("a", "b"):
        procs.append(cli(url, name, "--rounds", "25", "--eval-every", "10", "--checkpoint-dir", str(tmp_path / name),
                         env={"CONTROLS_FIRST_INPUT": str(first_input)}))
    outs = [p.communicate(timeout=240) for p in procs]
    assert [p.returncode for p in procs] == [0, 0], [o[1] for o in outs]
    outs.sort(key=lambda o: "Position: 1" in o[0])
    first, last = outs[0][0], outs[1][0]

    # The user's layers were loaded, and no demo layer was built on the way.
    for out, count in ((first, 8 * 32 + 32), (last, 2 * 32 + 32 * 3 + 3)):
        assert f"  Loaded 2 layers ({count:,} parameters)" in out, out
        assert "demo layers" not in out and "Downloading layers" not in out
    # One count of rounds, through every evaluation.
    rounds = [line.split(":")[0] for line in first.splitlines() if line.startswith("Round ")]
    assert rounds == ["Round 0/25", "Round 10/25", "Round 20/25"]
    evals = [line.split(":")[0] for line in last.splitlines() if line.startswith("  Evaluation at round ")]
    assert evals == ["  Evaluation at round 10", "  Evaluation at round 20", "  Evaluation at round 25"]
    # Checkpoints alongside: the start and the end, after the last evaluation.
    for name in ("a", "b"):
        assert sorted(f for f in os.listdir(tmp_path / name) if f.endswith(".pt")) == \
            ["checkpoint-00000000.pt", "checkpoint-00000025.pt"]
        state = torch.load(tmp_path / name / "checkpoint-00000025.pt", weights_only=True)
        assert state["micro_batch_idx"] == 25 + 3 * 2  # three held-out passes of two batches
    # The last evaluation reached the coordinator, which shows it with the run.
    with urllib.request.urlopen(url + "/status/tasks", timeout=10) as r:
        reported = [f for f in found(json.load(r), "heldout_loss") if f is not None]
    eval_loss = float(last.split("  Evaluation at round 25: ")[1].split("eval_loss=")[1].split()[0])
    assert reported and reported[-1] == pytest.approx(eval_loss, abs=1e-4)
    # Training began with the first batch of the data's first pass: the data check read none of it.
    sys.path.insert(0, str(HERE))
    import controls_model
    want = next(iter(controls_model.loader()))[0]
    assert torch.equal(torch.load(first_input), want)


def test_lr_beside_a_model_optimizer_is_an_option_error(coordinator):
    url = coordinator(stages=1, layers=4)
    p = cli(url, "solo", "--rounds", "2", "--lr", "0.01")
    out, err = p.communicate(timeout=120)
    assert p.returncode == 2, err
    assert err.startswith("usage: ") and "error: --lr has no effect here" in err
    assert "Starting training" not in out
    # Without --lr the same run trains.
    p = cli(url, "solo", "--rounds", "2")
    out, err = p.communicate(timeout=120)
    assert p.returncode == 0, err
