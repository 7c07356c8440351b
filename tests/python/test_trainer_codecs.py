"""The trainer's boundary options: codecs per direction, the stage it asks for, its seed.

The join must end with a trainer that trains with the same codecs as its neighbours, at the
position it asked for, or fail saying why; a relayed message is decoded only with the codec
agreed for its direction."""
import asyncio
import copy
import json
import subprocess
import sys

import pytest
import torch
from torch import nn

from korvane.carrowel import (OrvynPipelineTrainer, OrvynPipelineTrainerSync, codec_round_trip, decode_boundary,
                              encode_boundary)
from scripted_server import Reply, ScriptedServer, closed_port

ASSIGNED = {"layer_start": 0, "layer_end": 0, "pipeline_position": 1, "upstream_trainer": "up",
            "downstream_trainer": "down"}
CONFIRMS = {"features": ["codecs", "tensor_lists", "stage", "norms", "reports"]}


def join(trainer, task="t"):
    return asyncio.run(trainer.join_pipeline(task))


def answering(answer, fetch=None):
    """A scripted coordinator: `answer` to the join, `fetch` (a Reply) to relay fetches."""
    srv = ScriptedServer()
    srv.reply = lambda req: (Reply(200, json.dumps(answer).encode()) if req.path.endswith("/join")
                             else fetch if fetch is not None and req.method == "GET" else Reply(200, b"{}"))
    return srv


def test_join_sends_what_was_asked_and_checks_what_was_granted():
    agreed = dict(ASSIGNED, activation_codec="int4", gradient_codec="int8", **CONFIRMS)
    with answering(agreed) as srv:
        t = OrvynPipelineTrainer("me", srv.url, device="cpu", activation_codec="int4", gradient_codec="int8", stage=1)
        join(t)
    body = json.loads(srv.requests[0].body)
    assert (body["activation_codec"], body["gradient_codec"], body["stage"]) == ("int4", "int8", 1)
    assert (t.activation_codec, t.gradient_codec, t.stage) == ("int4", "int8", 1)

    refusals = [
        # a coordinator of the plain protocol: no "codecs" in its answer
        (ASSIGNED, dict(activation_codec="int4", gradient_codec="int4"), "does not confirm codecs"),
        # one that agreed other codecs for the task
        (dict(ASSIGNED, activation_codec="int8", gradient_codec="int8", **CONFIRMS), dict(activation_codec="int4"),
         "the task's codecs are int8/int8, this trainer's int4/sign"),
        # one that ignores the stage asked for
        (ASSIGNED, dict(stage=2), "stage 2 asked for, but the coordinator assigned position 1"),
    ]
    for answer, options, why in refusals:
        with answering(answer) as srv:
            t = OrvynPipelineTrainer("me", srv.url, device="cpu", **options)
            with pytest.raises(RuntimeError, match=why):
                join(t)
        # the trainer left the task it will not train in, saying why
        left = [r for r in srv.requests if r.path == "/pipeline/leave"]
        assert len(left) == 1 and why.split(",")[0] in json.loads(left[0].body)["error"], why
        assert not any(r.path == "/pipeline/ready" for r in srv.requests)


def test_plain_options_keep_the_plain_join_and_the_mock():
    with answering(ASSIGNED) as srv:
        join(OrvynPipelineTrainer("me", srv.url, device="cpu"))
        join(OrvynPipelineTrainer("me", srv.url, device="cpu", activation_codec="sign", stage=1))
    plain, explicit = (json.loads(r.body) for r in srv.requests if r.path == "/pipeline/join")
    assert list(plain) == ["task_id", "trainer_id", "memory_bytes", "has_gpu"]
    assert explicit["activation_codec"] == "sign" and "gradient_codec" not in explicit and explicit["stage"] == 1

    url = f"http://127.0.0.1:{closed_port()}"
    assert join(OrvynPipelineTrainer("me", url, device="cpu", stage=0)).pipeline_position == 0  # what the mock gives
    for options, why in ((dict(gradient_codec="int4"), "codecs sign/int4 need a coordinator"),
                         (dict(stage=1), "stage 1 needs a coordinator")):
        with pytest.raises(RuntimeError, match=why):
            join(OrvynPipelineTrainer("me", url, device="cpu", **options))


def test_relays_name_their_codec_and_refuse_another():
    x = torch.randn(3, 70)
    agreed = dict(ASSIGNED, activation_codec="int4", gradient_codec="int4", **CONFIRMS)
    int4_body = encode_boundary(x, codec="int4")
    with answering(agreed, fetch=Reply(200, int4_body, headers=[("X-Codec", "int4")])) as srv:
        t = OrvynPipelineTrainer("me", srv.url, device="cpu", activation_codec="int4", gradient_codec="int4")
        join(t)
        assert asyncio.run(t.send_activation(x)) is True
        got = asyncio.run(t.receive_activation(timeout=10))
    torch.testing.assert_close(got, codec_round_trip(x, "int4"))
    post = next(r for r in srv.requests if r.method == "POST" and r.path == "/pipeline/activation")
    assert post.header("X-Codec") == "int4" and post.body == int4_body

    for reply, named in ((Reply(200, encode_boundary(x, codec="int8"), headers=[("X-Codec", "int8")]), "int8"),
                         (Reply(200, encode_boundary(x)), "sign")):  # no header: the plain protocol's sign
        with answering(agreed, fetch=reply) as srv:
            t = OrvynPipelineTrainer("me", srv.url, device="cpu", activation_codec="int4", gradient_codec="int4")
            join(t)
            with pytest.raises(ValueError, match=f"coded with '{named}': this trainer expects 'int4'"):
                asyncio.run(t.receive_activation(timeout=10))


def test_several_tensors_need_a_coordinator_that_relays_them():
    pair = (torch.randn(2, 4), torch.ones(2, 4, dtype=torch.bool))
    with answering(ASSIGNED) as srv:
        t = OrvynPipelineTrainer("me", srv.url, device="cpu")
        join(t)
        with pytest.raises(ValueError, match="output is a tuple: .*\"tensor_lists\""):
            asyncio.run(t.send_activation(pair))
        assert asyncio.run(t.send_activation(pair[0])) is True  # one tensor: today's record
    posted = [r for r in srv.requests if r.method == "POST" and r.path == "/pipeline/activation"]
    assert len(posted) == 1 and posted[0].header("X-Codec") is None

    agreed = dict(ASSIGNED, activation_codec="sign", gradient_codec="sign", **CONFIRMS)
    with answering(agreed) as srv:
        t = OrvynPipelineTrainer("me", srv.url, device="cpu")
        join(t)
        assert asyncio.run(t.send_activation(pair)) is True
    posted = [r for r in srv.requests if r.method == "POST" and r.path == "/pipeline/activation"]
    back = decode_boundary(posted[0].body, codec="sign")
    assert isinstance(back, tuple) and torch.equal(back[1], pair[1])


def test_options_are_checked():
    url = f"http://127.0.0.1:{closed_port()}"
    for options, kind, text in ((dict(activation_codec="int3"), ValueError, "activation_codec must be one of sign, "),
                                (dict(gradient_codec=""), ValueError, "gradient_codec must be one of"),
                                (dict(stage=-1), ValueError, "stage must be 0 or more"),
                                (dict(seed=-5), ValueError, "seed must be 0 or more"),
                                (dict(stage="1"), TypeError, "'stage'"),
                                (dict(seed=True), TypeError, "'seed'"),
                                (dict(activation_codec=4), TypeError, "'activation_codec'")):
        with pytest.raises(kind, match=text):
            OrvynPipelineTrainer("me", url, **options)
        with pytest.raises(kind, match=text):
            OrvynPipelineTrainerSync("me", url, **options)
    for args, text in ((["--activation-codec", "int3"], "--activation-codec must be one of"),
                       (["--gradient-codec="], "--gradient-codec must be one of"),
                       (["--stage", "-2"], "--stage must be 0 or more"),
                       (["--seed", "0x10"], "invalid int value")):
        r = subprocess.run([sys.executable, "-m", "korvane.carrowel", "--task-id", "t", *args],
                           capture_output=True, text=True, timeout=60)
        assert r.returncode == 2 and r.stdout == "", args
        assert text in r.stderr, (args, r.stderr)


def test_a_seed_makes_the_trainer_repeat_itself():
    def run(seed):
        t = OrvynPipelineTrainer("me", f"http://127.0.0.1:{closed_port()}", device="cpu", seed=seed)
        t.layers = nn.ModuleList([nn.Linear(768, 8)])  # drawn from the generators the seed set
        from korvane.carrowel import LayerAssignment
        t.layer_assignment = LayerAssignment("t", "me", 0, 1, 0, None, None, "")
        return [asyncio.run(t.run_pipeline_round(lr=0.1)) for _ in range(2)]  # random inputs when none is given

    first = run(7)
    torch.randn(100)  # whatever ran between two runs
    assert run(7) == first
    assert run(8) != first


class RelayedBoundary(torch.autograd.Function):
    """A stage boundary in one process: the activation crosses in int4, its gradient too."""

    @staticmethod
    def forward(ctx, x):
        return codec_round_trip(x, "int4")

    @staticmethod
    def backward(ctx, g):
        return codec_round_trip(g, "int4")


class KeepGradients(torch.optim.Optimizer):
    def __init__(self, params):
        super().__init__(params, {})
        self.seen = []

    def step(self, closure=None):
        self.seen.append([p.grad.clone() for g in self.param_groups for p in g["params"]])


def test_three_stage_int4_gradients_equal_the_one_process_model_with_int4_boundaries(coordinator):
    url = coordinator(stages=3, layers=9)
    torch.manual_seed(3)
    layers = [nn.Linear(16, 64), nn.ReLU(), nn.LayerNorm(64),
              nn.Linear(64, 64), nn.ReLU(), nn.LayerNorm(64),
              nn.Linear(64, 64), nn.ReLU(), nn.Linear(64, 5)]
    reference = copy.deepcopy(layers)
    x = torch.randn(8, 16)
    labels = torch.randint(0, 5, (8,))

    async def run():
        trainers = [OrvynPipelineTrainer(f"s{i}", url, device="cpu", autograd_backward=True, optimizer=KeepGradients,
                                         activation_codec="int4", gradient_codec="int4")
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
