"""Replicas of a stage in several lanes average their gradients after each step's flush:
R lanes of m micro-batches each must make the update that one lane makes with R x m
micro-batches over the same samples, and the replicas of a stage must stay bitwise
equal. Here the lanes are separate tasks of a real coordinator and the replicas meet
through an in-process torch.distributed store."""
import asyncio
import copy
import datetime
import json
import os
import pathlib
import re
import signal
import subprocess
import sys
import time

import pytest
import torch
import torch.distributed as dist
from torch import nn

from korvane.carrowel import OrvynPipelineTrainer
from korvane.carrowel.replica_group import ReplicaGroup, ReplicaGroupError, parameter_hash
from korvane.zeb_trainable_int8 import ZEBTrainableLinear

from coordinator_clients import auth, request

STEPS = 3
M = 2


def batches(width, classes, n, seed):
    g = torch.Generator().manual_seed(seed)
    return [(torch.randn(3, 5, width, generator=g), torch.randint(0, classes, (3, 5), generator=g)) for _ in range(n)]


def plain_model(seed):
    torch.manual_seed(seed)
    return [[nn.Linear(16, 32), nn.ReLU(), nn.Linear(32, 16)],
            [nn.Linear(16, 16), nn.ReLU(), nn.Linear(16, 10)]]


def int8_model(seed):
    torch.manual_seed(seed)
    return [[ZEBTrainableLinear(16, 16) for _ in range(2)] for _ in range(2)]


async def run_lanes(url, models, data, m, lr, tag, tmp_path, **trainer_kw):
    """len(models) lanes of 2 stages; lane l trains models[l]. With several lanes, the
    replicas of each stage average through one HashStore per stage."""
    lanes = len(models)
    stores = [dist.HashStore() for _ in range(2)]
    trainers = [[OrvynPipelineTrainer(f"{tag}-{lane}-{i}", url, device="cpu",
                                      metrics_file=tmp_path / f"{tag}-{lane}-{i}.jsonl", **trainer_kw)
                 for i in range(2)] for lane in range(lanes)]
    await asyncio.gather(*[t.join_pipeline(f"{tag}-lane{lane}") for lane in range(lanes) for t in trainers[lane]])
    for lane, pair in enumerate(trainers):
        for t in pair:
            stage = t.layer_assignment.pipeline_position
            t.layers = nn.ModuleList(models[lane][stage])
            if lanes > 1:
                t.lanes, t.lane = lanes, lane
                t.replica_group = ReplicaGroup(stores[stage], lane, lanes, prefix=f"{tag}/stage{stage}", timeout=20)
    try:
        results = await asyncio.gather(*[
            t.run_training_loop(dataloader=data, num_rounds=STEPS, lr=lr, micro_batches=m)
            for pair in trainers for t in pair])
    finally:
        for pair in trainers:
            for t in pair:
                if t.replica_group is not None:
                    t.replica_group.close()
    return trainers, results


def assert_same_parameters(stages, reference):
    for split, ref in zip(stages, reference):
        for a, b in zip(split, ref):
            for (name, p), q in zip(a.named_parameters(), b.parameters()):
                scale = q.detach().float().abs().max().item()
                assert torch.allclose(p.float(), q.float(), rtol=1e-5, atol=1e-5 * scale), name


@pytest.mark.parametrize("kind", ["plain", "int8"])
def test_two_lanes_of_m_update_as_one_lane_of_2m_and_stay_bitwise_equal(coordinator, tmp_path, kind):
    url = coordinator(stages=2, layers=4)
    make = plain_model if kind == "plain" else int8_model
    kw = {"autograd_backward": True} if kind == "plain" else {}
    lr = 0.05 if kind == "plain" else 0.02
    data = batches(16, 10, 2 * M * STEPS, seed=3)
    start = make(1)
    one = copy.deepcopy(start)
    # Lane 1 starts from other weights: the group hands every replica rank 0's first.
    lanes = [copy.deepcopy(start), make(2)]

    ref_trainers, ref_results = asyncio.run(run_lanes(url, [one], data, 2 * M, lr, f"{kind}-one", tmp_path, **kw))
    trainers, results = asyncio.run(run_lanes(url, lanes, data, M, lr, f"{kind}-two", tmp_path, **kw))

    for lane in lanes:
        assert_same_parameters(lane, one)
    assert any(not torch.equal(p, q) for a, b in zip(one[0], start[0]) for p, q in zip(a.state_dict().values(),
                                                                                     b.state_dict().values()))
    for stage in range(2):
        assert parameter_hash(lanes[0][stage]) == parameter_hash(lanes[1][stage])
    # Every stage of every lane reports the replicas' mean loss: one lane's over 2m.
    for r in results:
        assert r["rounds_completed"] == STEPS
        assert r["losses"] == pytest.approx(ref_results[0]["losses"], rel=1e-5)
    # The metrics file: per step, the replicas of a stage hold equal parameters.
    lines = {(lane, i): [json.loads(x) for x in open(tmp_path / f"{kind}-two-{lane}-{i}.jsonl")]
             for lane in range(2) for i in range(2)}
    for i in range(2):
        a, b = lines[(0, i)], lines[(1, i)]
        assert [x["step"] for x in a] == list(range(STEPS))
        assert [x["param_hash"] for x in a] == [x["param_hash"] for x in b]
        assert len({x["param_hash"] for x in a}) == STEPS  # the parameters moved every step
        for x in a + b:
            assert x["group_generation"] == 0 and x["group_size"] == 2
            assert x["averaging_bytes"] > 0 and x["averaging_seconds"] >= 0
    assert [x["lane"] for x in lines[(1, 0)]] == [1] * STEPS
    # A lane alone writes no replica keys: the default record stays as it was.
    alone = [json.loads(x) for x in open(tmp_path / f"{kind}-one-0-0.jsonl")]
    assert "param_hash" not in alone[0] and "lane" not in alone[0]


def test_lanes_train_on_interleaved_shards_of_the_data(coordinator, tmp_path):
    """Lane l of R takes batches l, l+R, ... of the data source, pass after pass."""
    url = coordinator(stages=2, layers=4)
    data = [(torch.full((1, 16), float(i)), torch.tensor([i % 10])) for i in range(12)]
    seen = {}

    class Recording(nn.Module):
        def __init__(self, key):
            super().__init__()
            self.key, self.inner = key, nn.Linear(16, 16)

        def forward(self, x):
            seen.setdefault(self.key, []).append(x.detach().clone())
            return self.inner(x)

    models = [[[Recording(("first", lane))], [nn.Linear(16, 10)]] for lane in range(3)]
    for lane in models[1:]:  # all lanes equal from the start: the broadcast has nothing to mend
        for a, b in zip(lane, models[0]):
            a[0].load_state_dict(b[0].state_dict())

    asyncio.run(run_lanes(url, models, data, 2, 0.01, "shard", tmp_path, autograd_backward=True))
    for lane in range(3):
        firsts = [int(x[0, 0].item()) for x in seen[("first", lane)]]
        assert firsts == [lane, lane + 3, lane + 6, lane + 9, lane, lane + 3]


def test_a_replica_that_never_comes_fails_the_step_within_the_limit(coordinator, tmp_path):
    """No regroup: the collective's time limit ends the wait with a clear error."""
    url = coordinator(stages=1, layers=2)

    async def alone():
        t = OrvynPipelineTrainer("lonely", url, device="cpu")
        await t.join_pipeline("lonely")
        t.layers = nn.ModuleList([nn.Linear(4, 4)])
        t.lanes, t.lane = 2, 0
        store = dist.HashStore()
        store.set_timeout(datetime.timedelta(seconds=2))
        t.replica_group = ReplicaGroup(store, 0, 2, timeout=2)
        began = time.monotonic()
        with pytest.raises(Exception) as caught:
            await t.run_training_loop(dataloader=[(torch.randn(2, 4), torch.tensor([0, 1]))], num_rounds=1)
        return time.monotonic() - began, caught.value

    took, error = asyncio.run(alone())
    assert "averag" in str(error) or "timeout" in str(error).lower() or "Timed out" in str(error), error
    assert took < 60  # a generous bound: it failed, it did not hang


def test_replicas_at_different_steps_are_refused():
    """Averaging step 0 with a replica at step 4 would mix two steps: both refuse."""
    store = dist.HashStore()
    groups = [ReplicaGroup(store, r, 2, timeout=10) for r in range(2)]
    layers = [[nn.Linear(3, 3)], [nn.Linear(3, 3)]]
    for lay in layers:
        lay[0].weight.grad = torch.ones(3, 3)

    async def both():
        return await asyncio.gather(groups[0].average(layers[0], 1.0, 0), groups[1].average(layers[1], 2.0, 4),
                                    return_exceptions=True)

    try:
        results = asyncio.run(both())
    finally:
        for g in groups:
            g.close()
    assert all(isinstance(r, ReplicaGroupError) and "not at the same step" in str(r) for r in results), results
    # Nothing was written back: the step's gradients are as they were.
    assert torch.equal(layers[0][0].weight.grad, torch.ones(3, 3))


def test_gradients_and_losses_average_exactly_and_missing_ones_count_as_zero():
    store = dist.HashStore()
    groups = [ReplicaGroup(store, r, 2, timeout=10) for r in range(2)]
    layers = [[nn.Linear(2, 2)] for _ in range(2)]
    layers[0][0].weight.grad = torch.full((2, 2), 4.0)
    layers[1][0].weight.grad = torch.full((2, 2), 2.0)
    layers[0][0].bias.grad = torch.tensor([2.0, 6.0])  # lane 1 has none: it counts as 0

    async def both():
        return await asyncio.gather(*[g.average(lay, loss, 7) for g, lay, loss in zip(groups, layers, [1.0, None])])

    try:
        losses = asyncio.run(both())
    finally:
        for g in groups:
            g.close()
    assert losses == [1.0, 1.0]  # the mean over the replicas that had a loss
    for lay in layers:
        assert torch.equal(lay[0].weight.grad, torch.full((2, 2), 3.0))
        assert torch.equal(lay[0].bias.grad, torch.tensor([1.0, 3.0]))
    assert groups[0].last_bytes == groups[1].last_bytes > 0


def test_group_arguments_are_checked():
    with pytest.raises(ValueError, match="rank 2 of a group of 2"):
        ReplicaGroup(dist.HashStore(), 2, 2)
    with pytest.raises(ValueError, match="timeout"):
        ReplicaGroup(dist.HashStore(), 0, 1, timeout=0)
    t = OrvynPipelineTrainer("x", "http://127.0.0.1:9")
    with pytest.raises(ValueError, match="lane must be in 0..0"):
        t.lane = 1
    with pytest.raises(ValueError, match="lanes must be at least 1"):
        t.lanes = 0
    with pytest.raises(TypeError, match="replica_group"):
        t.replica_group = object()
    assert (t.lane, t.lanes, t.replica_group) == (0, 1, None)


TOKEN = "replica-token"


async def run_task(url, task, count, models, data, m, lr, tmp_path, watch=None, **kw):
    """`count` trainers join one task; each takes its stage of models[lane] by its answer.
    watch(), when given, runs after training and before the trainers leave."""
    trainers = [OrvynPipelineTrainer(f"{task}-{i}", url, device="cpu", token=TOKEN,
                                     metrics_file=tmp_path / f"{task}-{i}.jsonl", **kw) for i in range(count)]
    await asyncio.gather(*[t.join_pipeline(task) for t in trainers])
    for t in trainers:
        t.layers = nn.ModuleList(models[t.lane][t.layer_assignment.pipeline_position])
    try:
        results = await asyncio.gather(*[t.run_training_loop(dataloader=data, num_rounds=STEPS, lr=lr, micro_batches=m)
                                         for t in trainers])
        if watch is not None:
            watch()
    finally:
        for t in trainers:
            await t.leave_pipeline()
    return trainers, results


def test_lanes_of_a_replicated_task_meet_through_the_coordinator_and_average_as_one_lane(coordinator, tmp_path):
    lanes_url = coordinator(stages=2, layers=4, replicas=2, token=TOKEN)
    one_url = coordinator(stages=2, layers=4, token=TOKEN)
    data = batches(16, 10, 2 * M * STEPS, seed=4)
    start = plain_model(5)
    one = copy.deepcopy(start)
    lanes = [copy.deepcopy(start), plain_model(6)]

    _, ref = asyncio.run(run_task(one_url, "one", 2, [one], data, 2 * M, 0.05, tmp_path, autograd_backward=True))
    trainers, results = asyncio.run(run_task(lanes_url, "two", 4, lanes, data, M, 0.05, tmp_path,
                                             autograd_backward=True))

    assert sorted((t.lane, t.lanes, t.layer_assignment.pipeline_position) for t in trainers) == \
        [(0, 2, 0), (0, 2, 1), (1, 2, 0), (1, 2, 1)]
    for lane in lanes:
        assert_same_parameters(lane, one)
    for r in results:
        assert r["losses"] == pytest.approx(ref[0]["losses"], rel=1e-5)
    # Left, a trainer's group is closed: it takes part in no more collectives.
    assert all(t.replica_group._closed for t in trainers)


def test_replicated_trainers_report_their_averaging_for_the_page_and_the_metrics(coordinator, tmp_path):
    url = coordinator(stages=2, layers=4, replicas=2, token=TOKEN)
    seen = {}

    def watch():
        for path in ("/status/tasks", "/metrics"):
            status, _, body = request(url, "GET", path, headers=auth(TOKEN))
            assert status == 200, body
            seen[path] = body.decode()

    trainers, _ = asyncio.run(run_task(url, "watched", 4, [plain_model(5), plain_model(5)],
                                       batches(16, 10, 2 * M * STEPS, seed=4), M, 0.05, tmp_path, watch=watch,
                                       autograd_backward=True))
    task = next(t for t in json.loads(seen["/status/tasks"])["tasks"] if t["task_id"] == "watched")
    rows = {row["trainer_id"]: row for row in task["trainers"]}
    metrics = seen["/metrics"].splitlines()
    for t in trainers:
        tid = t.trainer_id
        # The page ends with the last step's figures, as the metrics file has them.
        last = read_records(tmp_path / f"{tid}.jsonl")[-1]
        assert rows[tid]["averaging_seconds"] == pytest.approx(last["averaging_seconds"], rel=1e-9)
        assert rows[tid]["group_generation"] == 0 and last["averaging_seconds"] > 0
        # The held-out figures' step is not the averaging report's to set.
        assert rows[tid]["report_step"] is None
        labels = f'{{task="watched",trainer="{tid}"}}'
        assert f"korvane_group_generation{labels} 0" in metrics
        assert any(line.startswith(f"korvane_averaging_seconds{labels} ") for line in metrics)


def read_records(path):
    try:
        return [json.loads(line) for line in path.read_text().splitlines() if line.strip()]
    except FileNotFoundError:
        return []


def start_workers(url, task, tmp_path, steps, *extra):
    """Six replica_worker.py processes joining `task`: w0 .. w5, each with its output and
    metrics file in tmp_path."""
    worker = pathlib.Path(__file__).with_name("replica_worker.py")
    env = dict(os.environ, PYTHONPATH=str(pathlib.Path(__file__).resolve().parents[2]))
    procs = {}
    for i in range(6):
        tid = f"w{i}"
        out = open(tmp_path / f"{tid}.out", "w")
        procs[tid] = subprocess.Popen([sys.executable, str(worker), url, task, tid, TOKEN,
                                       str(tmp_path / f"{tid}.jsonl"), str(steps), *map(str, extra)],
                                      stdout=out, stderr=subprocess.STDOUT, env=env)
    return procs


def wait_workers(procs, tmp_path):
    """Waits for the workers (killing any still running after 180 s): their exit codes,
    metrics records and output."""
    codes = {}
    for tid, p in procs.items():
        try:
            codes[tid] = p.wait(180)
        except subprocess.TimeoutExpired:
            p.kill()
            codes[tid] = p.wait()
    records = {tid: read_records(tmp_path / f"{tid}.jsonl") for tid in procs}
    output = {tid: (tmp_path / f"{tid}.out").read_text() for tid in procs}
    return codes, records, output


def test_a_killed_replica_drops_its_lane_and_the_other_lanes_go_on_bitwise_equal(coordinator, tmp_path):
    """2 stages x 3 lanes; one replica of stage 1 is SIGKILLed at step 10. Its lane's other
    member ends with the coordinator's message naming it; the two other lanes regroup
    within 10 s, reach the last step and still agree bit for bit."""
    steps = 24
    url = coordinator(stages=2, layers=4, replicas=3, token=TOKEN)
    procs = start_workers(url, "lost", tmp_path, steps)
    try:
        # The victim: the first replica of stage 1 to finish step 9, killed in step 10.
        victim, deadline = None, time.monotonic() + 120
        while victim is None:
            assert time.monotonic() < deadline, "no trainer reached step 10"
            for tid in procs:
                recs = read_records(tmp_path / f"{tid}.jsonl")
                if len(recs) >= 10 and recs[-1]["stage"] == 1:
                    victim, lane = tid, recs[-1]["lane"]
                    break
            time.sleep(0.02)
        procs[victim].send_signal(signal.SIGKILL)
        killed_at = time.monotonic()
    except BaseException:
        for p in procs.values():
            p.kill()
            p.wait()
        raise
    codes, records, output = wait_workers(procs, tmp_path)
    partner = next(tid for tid, r in records.items() if tid != victim and r and r[0]["lane"] == lane)
    survivors = [tid for tid in procs if tid not in (victim, partner)]
    assert codes[partner] == 1 and f"'{victim}'" in output[partner], output[partner]
    for tid in survivors:
        assert codes[tid] == 0, (tid, codes, output[tid][-3000:])
        assert [r["step"] for r in records[tid]] == list(range(steps))
        assert (records[tid][-1]["group_generation"], records[tid][-1]["group_size"]) == (1, 2)
    for stage in (0, 1):
        pair = [records[tid] for tid in survivors if records[tid][0]["stage"] == stage]
        assert len(pair) == 2
        assert [r["param_hash"] for r in pair[0]] == [r["param_hash"] for r in pair[1]]
    # How long the survivors took to go on: from the kill to their first step of the new group.
    regrouped = []
    for tid in survivors:
        first = next(r for r in records[tid] if r["group_generation"] == 1)
        regrouped.append(re.findall(r"regrouped in ([0-9.]+) s", output[tid]))
        assert first["step"] >= 10
    took = time.monotonic() - killed_at
    print(f"\nlost replica {victim}: regroup times {regrouped}; all survivors done {took:.1f} s after the kill")
    assert all(len(r) == 1 and float(r[0]) < 10 for r in regrouped), regrouped


def run_split(coordinator, tmp_path, task, steps, split):
    """Six workers whose stage-1 all-reduce of step `split` completes and then fails on lane
    1 while lane 2's replica dies, run to their end: (exit codes, metrics records, output,
    and who is where: {(lane, stage): trainer id})."""
    url = coordinator(stages=2, layers=4, replicas=3, token=TOKEN)
    codes, records, output = wait_workers(start_workers(url, task, tmp_path, steps, split), tmp_path)
    at = {(r[0]["lane"], r[0]["stage"]): tid for tid, r in records.items() if r}
    assert len(at) == 6, (at, output)
    return codes, records, output, at


def test_survivors_a_step_apart_after_a_half_completed_collective_go_on_bitwise_equal(coordinator, tmp_path):
    """2 stages x 3 lanes; stage 1's all-reduce of step 3 completes on every replica, then
    fails on lane 1's while lane 2's dies (replica_worker.py's SPLIT_STEP): lane 0's goes
    on to step 4, lane 1's redoes step 3. After the regroup lane 1's takes step 3's
    averaging from lane 0's, and both lanes reach the last step bitwise equal."""
    steps, split = 8, 3
    codes, records, output, at = run_split(coordinator, tmp_path, "split", steps, split)
    victim, partner = at[(2, 1)], at[(2, 0)]
    assert codes[victim] == -signal.SIGKILL, output[victim]
    assert codes[partner] == 1 and f"'{victim}'" in output[partner], output[partner]
    for lane in (0, 1):
        for stage in (0, 1):
            tid = at[(lane, stage)]
            assert codes[tid] == 0, (tid, output[tid][-3000:])
            assert [r["step"] for r in records[tid]] == list(range(steps))
            assert (records[tid][-1]["group_generation"], records[tid][-1]["group_size"]) == (1, 2)
    for stage in (0, 1):
        a, b = (records[at[(lane, stage)]] for lane in (0, 1))
        assert [r["param_hash"] for r in a] == [r["param_hash"] for r in b], stage
    # Lane 1's replica finished step 3 in the new generation, with the averaging it took;
    # lane 0's had finished it in the old one.
    ahead, behind = records[at[(0, 1)]], records[at[(1, 1)]]
    assert [r["group_generation"] for r in ahead[split:split + 2]] == [0, 1]
    assert [r["group_generation"] for r in behind[split - 1:split + 1]] == [0, 1]
    assert f"took step {split * 2} from a replica ahead" in output[at[(1, 1)]], output[at[(1, 1)]]
    assert "took step" not in output[at[(0, 1)]]


def test_a_last_step_completed_on_one_survivor_and_failed_on_another_ends_bitwise_equal(coordinator, tmp_path):
    """As above, on the last step: lane 0's replica completes it and ends its loop, lane
    1's fails it. They meet once more at the end of the loop, and lane 1's takes the last
    averaging from lane 0's instead of redoing the step without it."""
    steps = 6
    codes, records, output, at = run_split(coordinator, tmp_path, "last", steps, steps - 1)
    for lane in (0, 1):
        for stage in (0, 1):
            tid = at[(lane, stage)]
            assert codes[tid] == 0, (tid, output[tid][-3000:])
            assert [r["step"] for r in records[tid]] == list(range(steps))
    a, b = (records[at[(lane, 1)]] for lane in (0, 1))
    assert [r["param_hash"] for r in a] == [r["param_hash"] for r in b]
    assert f"took step {(steps - 1) * 2} from a replica ahead" in output[at[(1, 1)]], output[at[(1, 1)]]
