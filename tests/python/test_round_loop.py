import asyncio
import math

import pytest
import torch
from torch import nn

from korvane.carrowel import LayerAssignment, OrvynPipelineTrainer, compress_tensor
from scripted_server import Reply, ScriptedServer, closed_port


def staged(trainer_id, up, down, layers, url=None, task="task"):
    t = OrvynPipelineTrainer(trainer_id, url or f"http://127.0.0.1:{closed_port()}")
    t.layer_assignment = LayerAssignment(task, trainer_id, 0, len(layers), 0, up, down, "")
    t.layers = nn.ModuleList(layers)
    return t


class Recorder(nn.Module):
    """An int8-style layer that passes values through and records what the trainer asks."""

    def __init__(self, scale=1.0):
        super().__init__()
        self.scale, self.updates, self.inputs = scale, [], []

    def forward(self, x):
        self.inputs.append(x)
        return x * self.scale

    def backward_zeb(self, grad):
        return grad * self.scale

    def update_from_gradient(self, **kw):
        self.updates.append(kw)


def test_alone_round_generates_input_and_makes_no_request():
    with ScriptedServer() as srv:
        rec = Recorder()
        t = staged("solo", None, None, [rec], srv.url)
        loss = asyncio.run(t.run_pipeline_round())
    assert srv.requests == []
    (x,) = rec.inputs
    assert x.shape == (2, 512, 768) and x.dtype == torch.float32 and x.requires_grad
    assert isinstance(loss, float) and loss == pytest.approx(x.detach().mean().item())
    assert t.micro_batch_idx == 1 and t._last_loss == loss and t.current_round == 0
    assert rec.updates == [{"lr": 0.0001, "weight_decay": 0.01, "loss_decreased": True}]


def test_loss_decreased_follows_the_previous_loss_including_nan():
    rec = Recorder()
    t = staged("solo", None, None, [rec])
    x = torch.ones(4, 3)
    assert asyncio.run(t.run_pipeline_round(input_data=x, lr=0.5)) == 1.0
    assert asyncio.run(t.run_pipeline_round(input_data=x)) == 1.0  # equal: not a decrease
    rec.scale = float("nan")
    assert math.isnan(asyncio.run(t.run_pipeline_round(input_data=x)))
    rec.scale = 0.5
    assert asyncio.run(t.run_pipeline_round(input_data=x)) == 0.5  # nothing compares below NaN
    assert asyncio.run(t.run_pipeline_round(input_data=x)) == 0.5
    rec.scale = 0.25
    assert asyncio.run(t.run_pipeline_round(input_data=x)) == 0.25
    assert [u["loss_decreased"] for u in rec.updates] == [True, False, False, False, False, True]
    assert rec.updates[0]["lr"] == 0.5
    assert rec.inputs[0] is x and x.grad is not None  # the caller's tensor itself, flagged in place


def test_cross_entropy_over_the_last_dimension():
    torch.manual_seed(0)
    head = nn.Linear(768, 10)
    t = staged("solo", None, None, [head])
    x, labels = torch.randn(2, 512, 768), torch.randint(0, 10, (2, 512))
    with torch.no_grad():
        expected = nn.CrossEntropyLoss()(head(x).view(1024, 10), labels.view(1024)).item()
    weight_before = head.weight.detach().clone()
    assert asyncio.run(t.run_pipeline_round(input_data=x, labels=labels)) == pytest.approx(expected, rel=1e-6)
    assert not torch.equal(head.weight, weight_before)  # the plain layer took its SGD step
    with pytest.raises((RuntimeError, ValueError)):  # labels whose count differs from N fail the round
        asyncio.run(t.run_pipeline_round(input_data=x, labels=torch.zeros(3, dtype=torch.long)))
    assert t.micro_batch_idx == 1


def answer_gradient(loss_header=None, fail=False):
    def reply(req):
        if req.method == "POST":
            return Reply(200)
        if fail:
            return Reply(404, b"nothing here")
        headers = [("X-Loss", loss_header)] if loss_header is not None else []
        return Reply(200, compress_tensor(torch.ones(2, 512, 768), is_backward=True).to_bytes(), headers)
    return reply


def test_first_stage_with_a_failing_gradient_receive_changes_nothing(capsys):
    torch.manual_seed(1)
    lin = nn.Linear(768, 768)
    before = [p.detach().clone() for p in lin.parameters()]
    with ScriptedServer() as srv:
        srv.reply = answer_gradient(fail=True)
        t = staged("t1", None, "t2", [lin], srv.url)
        t._last_loss = 3.0
        with pytest.raises(ConnectionError, match="coordinator answered 404"):
            asyncio.run(t.run_pipeline_round())
    assert [r.method for r in srv.requests] == ["POST", "GET"]  # sent downstream, then failed
    assert all(torch.equal(a, b) for a, b in zip(before, lin.parameters()))
    assert t._last_loss == 3.0 and t.micro_batch_idx == 0
    assert "  Warning: Failed to receive gradient: " in capsys.readouterr().out


def test_middle_stage_without_a_loss_passes_none_upstream():
    rec = Recorder()
    with ScriptedServer() as srv:
        srv.reply = answer_gradient(loss_header=None)
        srv_act = compress_tensor(torch.ones(2, 512, 768)).to_bytes()
        base = srv.reply
        srv.reply = lambda req: Reply(200, srv_act) if "activation" in req.path and req.method == "GET" else base(req)
        t = staged("t2", "t1", "t3", [rec], srv.url)
        metrics = asyncio.run(t.run_training_loop(num_rounds=2, dataloader=ExplodingSource()))
    assert metrics == {"rounds_completed": 2, "total_loss": 0.0, "losses": [], "avg_loss": 0.0}
    assert not hasattr(t, "_last_loss") and [u["loss_decreased"] for u in rec.updates] == [False, False]
    grads = [r for r in srv.requests if r.method == "POST" and "gradient" in r.path]
    assert [g.header("X-Loss") for g in grads] == [None, None]
    assert [g.header("X-Micro-Batch") for g in grads] == ["0", "1"]


class ExplodingSource:
    """A data source that must never be read (a middle stage draws nothing)."""

    def __bool__(self):
        return True

    def __iter__(self):
        raise AssertionError("middle stage read its data source")


async def pipeline(n_stages, rounds, url):
    ids = [f"s{i}" for i in range(n_stages)]
    trainers = []
    for i, name in enumerate(ids):
        up = ids[i - 1] if i else None
        down = ids[i + 1] if i + 1 < n_stages else None
        torch.manual_seed(i)
        trainers.append(staged(name, up, down, [nn.Linear(768, 768)], url, task=f"p{n_stages}"))
    results = await asyncio.wait_for(asyncio.gather(*[t.run_training_loop(num_rounds=rounds) for t in trainers]), 120)
    return trainers, results


@pytest.mark.parametrize("n_stages", [2, 3])
def test_pipelines_through_the_coordinator_agree_on_the_loss(coordinator, n_stages, capsys):
    url = coordinator(stages=n_stages, layers=n_stages)
    trainers, results = asyncio.run(pipeline(n_stages, 3, url))
    losses = [r["losses"] for r in results]
    assert len(losses[-1]) == 3 and all(l == losses[-1] for l in losses)
    assert all(t.micro_batch_idx == 3 and t.current_round == 2 for t in trainers)
    assert "Warning" not in capsys.readouterr().out


def test_loop_metrics_progress_lines_and_callback(capsys):
    t = staged("solo", None, None, [Recorder()])
    assert asyncio.run(t.run_training_loop(num_rounds=0)) == {"rounds_completed": 0, "total_loss": 0.0, "losses": []}
    assert capsys.readouterr().out == "" and t.current_round == 0
    calls = []
    batches = [torch.full((2, 3), float(i)) for i in range(1, 4)]
    metrics = asyncio.run(t.run_training_loop(dataloader=batches, num_rounds=12, lr=0.1,
                                              on_round_complete=lambda i, loss: calls.append((i, loss))))
    used = [calls[i][1] for i in range(12)]
    assert used == [1.0, 2.0, 3.0] * 4  # restarts the data source when it runs out
    assert list(metrics) == ["rounds_completed", "total_loss", "losses", "avg_loss"]
    assert metrics["rounds_completed"] == 12 and metrics["avg_loss"] == 2.0 and [c[0] for c in calls] == list(range(12))
    assert capsys.readouterr().out.splitlines() == ["Round 0/12: avg_loss=1.0000", "Round 10/12: avg_loss=1.9091"]
    assert t.current_round == 11


def test_batches_split_into_input_and_labels():
    torch.manual_seed(0)
    t = staged("solo", None, None, [nn.Linear(768, 10)])
    x, y = torch.randn(4, 768), torch.randint(0, 10, (4,))
    m = asyncio.run(t.run_training_loop(dataloader=[(x, y, "ignored")], num_rounds=1))
    assert m["losses"][0] > 1.0  # cross entropy of ten classes, not a mean of logits
    m = asyncio.run(t.run_training_loop(dataloader=[[x]], num_rounds=1))
    assert abs(m["losses"][0]) < 1.0
    with pytest.raises(ValueError):
        asyncio.run(t.run_training_loop(dataloader=[()], num_rounds=1))
    one_shot = (b for b in [x])
    with pytest.raises(RuntimeError, match="no batch"):
        asyncio.run(t.run_training_loop(dataloader=one_shot, num_rounds=2))
    assert t.micro_batch_idx == 3  # rounds that completed keep their effect


def test_round_before_joining_fails_before_anything():
    t = OrvynPipelineTrainer("x")
    with pytest.raises(ValueError, match="join"):
        asyncio.run(t.run_pipeline_round())
    assert t.micro_batch_idx == 0
