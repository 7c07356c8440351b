"""After a regroup the survivors of a stage's group may stand at different places: a
collective that a dying replica leaves completed on some and failed on others sends the
first on to their next step while the others redo theirs. Here in-process groups over a
HashStore regroup through a stand-in for the coordinator, and the failures are injected
where the real ones happen: in the all-reduce, after it completed (or before it ran)."""
import asyncio
import threading

import torch
from torch import nn

import torch.distributed as dist
from korvane.carrowel.replica_group import ReplicaGroup, ReplicaGroupError, parameter_hash
from korvane.zeb_trainable_int8 import ZEBTrainableLinear


class Regroup:
    """The coordinator's regroup for groups in one process: it answers once every
    survivor has asked, with the rank each one gets in the next generation."""

    def __init__(self, ranks):
        self.ranks = ranks  # {survivor's index: its next rank}
        self.barrier = threading.Barrier(len(ranks), timeout=30)

    def __call__(self, index):
        def regroup(generation, error):
            self.barrier.wait()
            return generation + 1, self.ranks[index], len(self.ranks)
        return regroup


def fail_at(group, step, after):
    """The all-reduce of `step` fails once on this replica: after it completed when
    `after` (as on a survivor whose peer died as it finished), else before it ran."""
    real, left = group._allreduce, [1]

    def allreduce(tensors):
        hit = left[0] and round(tensors[-1][2].item()) == step
        if hit:
            left[0] = 0
            if not after:
                raise RuntimeError("Connection closed by peer")
        real(tensors)
        if hit:
            raise RuntimeError("Connection closed by peer")
    group._allreduce = allreduce


def make_layers():
    torch.manual_seed(0)
    return [nn.Linear(3, 2), ZEBTrainableLinear(4, 4)]


def set_gradients(layers, value):
    plain, int8 = layers
    plain.weight.grad = torch.full((2, 3), value)
    plain.bias.grad = torch.full((2,), 2 * value)
    int8.grad_weight, int8.grad_bias = torch.full((4, 4), 3 * value), torch.full((4,), -value)


def gradients(layers):
    plain, int8 = layers
    return [t.clone() for t in (plain.weight.grad, plain.bias.grad, int8.grad_weight, int8.grad_bias)]


def run(groups, plans):
    """plans[i]: the steps replica i averages, its gradients and loss set from its index
    and the step; after each step its gradients are scaled in place, as clipping does.
    Returns, per replica, per step, (mean loss, the gradients after averaging)."""
    layers = [make_layers() for _ in groups]

    async def replica(i):
        out = []
        try:
            for step in plans[i]:
                set_gradients(layers[i], float(i + step))
                loss = await groups[i].average(layers[i], float(i + step), step)
                out.append((loss, gradients(layers[i])))
                layers[i][0].weight.grad.mul_(0.5)
                layers[i][1].grad_weight.mul_(0.5)
        finally:
            if len(plans[i]) < max(len(p) for p in plans):
                groups[i].close()  # it leaves: the others go on without it
        return out

    async def every():
        return await asyncio.gather(*[replica(i) for i in range(len(groups))], return_exceptions=True)

    try:
        return asyncio.run(every())
    finally:
        for g in groups:
            g.close()


def test_replicas_a_step_behind_take_the_averaging_of_one_ahead_and_all_stay_equal():
    """Four replicas average step 4; the last then leaves; on the third the all-reduce
    completed but failed, so it redoes step 4 while the first two fail step 6. In the new
    generation (the third is now rank 0, the first rank 2) the lowest rank ahead, the
    second, hands step 4's averaging to the third, which applies exactly what the others
    applied; then all three average step 6."""
    store = dist.HashStore()
    regroup = Regroup({0: 2, 1: 1, 2: 0})
    groups = [ReplicaGroup(store, r, 4, timeout=20, regroup=regroup(r) if r < 3 else None) for r in range(4)]
    fail_at(groups[2], 4, after=True)
    fail_at(groups[0], 6, after=False)
    fail_at(groups[1], 6, after=False)
    results = run(groups, [[4, 6], [4, 6], [4, 6], [4]])
    assert not any(isinstance(r, BaseException) for r in results), results

    # Step 4 over the four replicas: what the third took is what the others applied,
    # not the gradients the second scaled in place after it.
    for loss, (w, b, gw, gb) in (results[i][0] for i in range(4)):
        assert loss == 5.5
        assert torch.equal(w, torch.full((2, 3), 5.5)) and torch.equal(b, torch.full((2,), 11.0))
        assert torch.equal(gw, torch.full((4, 4), 16.5)) and torch.equal(gb, torch.full((4,), -5.5))
    # Step 6 over the three left, bit for bit the same on each.
    for loss, (w, b, gw, gb) in (results[i][1] for i in range(3)):
        assert loss == 7.0
        assert torch.equal(w, torch.full((2, 3), 7.0)) and torch.equal(gw, torch.full((4, 4), 21.0))
    assert [g.adopted for g in groups[:3]] == [[], [], [4]]
    assert [(g.generation, g.world_size) for g in groups[:3]] == [(1, 3)] * 3


def test_replicas_more_than_a_step_apart_after_a_regroup_fail_clearly():
    store = dist.HashStore()
    regroup = Regroup({0: 0, 1: 1})
    groups = [ReplicaGroup(store, r, 2, timeout=20, regroup=regroup(r)) for r in range(2)]
    fail_at(groups[0], 8, after=False)
    fail_at(groups[1], 6, after=False)
    results = run(groups, [[4, 8], [4, 6]])
    for r in results:
        assert isinstance(r, ReplicaGroupError) and "not at the same step" in str(r), r


def test_a_replica_whose_first_broadcast_failed_takes_the_parameters_from_one_ahead():
    """The broadcast of rank 0's parameters completes on rank 0 but fails on rank 1, which
    is left with its own; rank 0 fails step 0. After the regroup rank 1 takes rank 0's
    parameters, and both average step 0 from equal parameters."""
    store = dist.HashStore()
    regroup = Regroup({0: 0, 1: 1})
    groups = [ReplicaGroup(store, r, 2, timeout=20, regroup=regroup(r)) for r in range(2)]
    torch.manual_seed(1)
    layers = [[nn.Linear(3, 3)], [nn.Linear(3, 3)]]
    own = {k: v.clone() for k, v in layers[1][0].state_dict().items()}
    real, left = groups[1]._broadcast_state, [1]

    def broadcast(lay, root):
        real(lay, root)
        if left[0]:
            left[0] = 0
            lay[0].load_state_dict(own)
            raise RuntimeError("Connection closed by peer")
    groups[1]._broadcast_state = broadcast
    fail_at(groups[0], 0, after=False)

    async def replica(i):
        await groups[i].prepare(layers[i])
        layers[i][0].weight.grad = torch.full((3, 3), float(i))
        return await groups[i].average(layers[i], None, 0)

    async def both():
        return await asyncio.gather(replica(0), replica(1))

    try:
        assert parameter_hash(layers[0]) != parameter_hash(layers[1])
        assert asyncio.run(both()) == [None, None]
    finally:
        for g in groups:
            g.close()
    assert parameter_hash(layers[0]) == parameter_hash(layers[1])
    assert torch.equal(layers[1][0].weight.grad, torch.full((3, 3), 0.5))
    assert [(g.generation, g.adopted) for g in groups] == [(1, []), (1, [])]
