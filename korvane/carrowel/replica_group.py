"""The replicas of one stage: the same slice in every lane, kept equal by averaging.

A task with several lanes runs one whole pipeline per lane; the trainers of one stage
(one per lane) form a torch.distributed process group (gloo on the CPU, NCCL on CUDA).
After each step's flush they all-reduce what the update will consume (the plain layers'
``.grad``, the int8 layers' kept ``grad_weight``/``grad_bias``) and divide by the
group's size, so every replica makes the update that one lane with R x m micro-batches
would make, and the replicas stay bitwise equal.

The rendezvous goes through any ``torch.distributed.Store`` (the coordinator's, see
replica_store.py, or a HashStore/FileStore/TCPStore), under a prefix per generation, so
a new generation never reads the keys of an old one. Collectives run on a thread of
their own, never on the event loop, and carry a time limit: a peer that vanishes fails
them, it never hangs them.

When a collective fails and the group was given a ``regroup`` callable (the
coordinator's regroup route), the survivors settle a new generation without the lost
replica and redo the averaging of the failed step from the gradients as they were
before the reduction (they are only read until the reduction succeeds), so all
survivors agree bitwise. Every averaging also checks that the replicas are at the same
step.

A replica that dies in the middle of a collective can leave it completed on some
survivors and failed on others: those went on to their next step, these redo the one
they failed. So the first thing a new generation does is compare where its members
are. When some are one step behind, the lowest rank among those ahead hands them the
result it kept of that step (or, for the first broadcast of the parameters, its
parameters), and they take it as if their own collective had completed; those ahead
then redo their own step, which the others reach after their next forward and
backward. Nothing of this costs the steps without a failure: it runs after a regroup
only.
"""
import asyncio
import concurrent.futures
import datetime
import hashlib
import time

import torch
import torch.distributed as dist
from torch._utils import _flatten_dense_tensors, _unflatten_dense_tensors

DEFAULT_TIMEOUT_S = 30.0  # a collective that takes longer fails

# Where a replica stands, as the reconciliation after a regroup compares it: the step
# (the number of its first micro-batch, never negative) of the averaging at hand or last
# completed, or one of these.
_PREPARING = -1  # the first broadcast of the parameters, before any step
_SETTLING = 2 ** 62  # the end of a training loop, after every step
_NOTHING = -2  # nothing completed yet


class ReplicaGroupError(RuntimeError):
    """The replicas of a stage could not average: the step cannot be applied."""


def _is_int8(layer):
    return hasattr(layer, "update_from_gradient")


class _Slot:
    """One gradient the update consumes: where it is read and written back."""

    def __init__(self, get, put, like):
        self.get, self.put, self.like = get, put, like


def _gradient_slots(layers):
    """The update's gradients in a fixed order (every replica holds the same layers)."""
    slots = []
    for layer in layers:
        if _is_int8(layer):
            for name, param in (("grad_weight", layer.weight_int8), ("grad_bias", layer.bias)):
                # A copy, as for the plain layers: the averaged buffer is kept for a
                # replica that falls behind, and clipping scales the gradient in place.
                slots.append(_Slot(lambda l=layer, n=name: getattr(l, n),
                                   lambda g, l=layer, n=name: setattr(l, n, g.clone()),
                                   lambda p=param: p.shape))
            continue
        for p in layer.parameters():
            if not p.requires_grad:
                continue

            def put(g, p=p):
                if p.grad is None:
                    p.grad = g.clone()
                else:
                    p.grad.copy_(g)
            slots.append(_Slot(lambda p=p: p.grad, put, lambda p=p: p.shape))
    return slots


def state_tensors(layers):
    """Every tensor of the slice's state (parameters and buffers), in a fixed order."""
    out = []
    for layer in layers:
        out.extend(t for t in layer.state_dict(keep_vars=True).values() if isinstance(t, torch.Tensor))
    return out


def parameter_hash(layers):
    """A hex digest of the slice's parameters and buffers, bit for bit: equal replicas
    give equal digests."""
    h = hashlib.sha256()
    for t in state_tensors(layers):
        data = t.detach().to("cpu").contiguous().reshape(-1)
        if data.dtype == torch.bool:
            data = data.to(torch.uint8)
        h.update(str(data.dtype).encode())
        h.update(data.view(torch.uint8).numpy().tobytes())
    return h.hexdigest()[:32]


def _backend_for(device):
    return "nccl" if str(device).startswith("cuda") else "gloo"


class ReplicaGroup:
    """The process group of one stage's replicas, one generation after another.

    ``store``: a torch.distributed.Store shared by the replicas; ``rank`` and
    ``world_size``: this replica's place in generation ``generation``; ``prefix``: the
    keys of this stage's groups (other stages and tasks use other prefixes);
    ``regroup(generation, error) -> (generation, rank, world_size)``, blocking, settles
    the next generation after a failure (None: a failure fails the step);
    ``timeout``: seconds a collective may take.

    Thread: its coroutines run on the trainer's event loop; the collectives on one
    worker thread of the group's own, in order.
    """

    def __init__(self, store, rank, world_size, *, generation=0, prefix="replicas", device="cpu",
                 timeout=DEFAULT_TIMEOUT_S, regroup=None):
        if world_size < 1 or not 0 <= rank < world_size:
            raise ValueError(f"rank {rank} of a group of {world_size} replicas")
        if timeout <= 0:
            raise ValueError(f"timeout must be positive, got {timeout}")
        self.store, self.prefix, self.device = store, prefix, str(device)
        self.rank, self.world_size, self.generation = int(rank), int(world_size), int(generation)
        self.timeout = float(timeout)
        self._regroup = regroup
        self._pg = None
        self._prepared = False
        self._closed = False
        self._executor = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="korvane-replicas")
        # What the last averaging cost, for the metrics file and the report.
        self.last_seconds = 0.0
        self.last_bytes = 0
        self.regroups = []  # (seconds, new generation, new world size) of each regrouping
        self.adopted = []  # the steps whose averaging this replica took from one ahead of it
        self._layers = None  # the slice the trainer last handed over
        self._done, self._last = _NOTHING, None  # see _keep
        self._handed = None  # what _hand_over received, for _adopt_average

    # -- the process group -------------------------------------------------------------
    def _connect(self):
        """This generation's group (blocking: the rendezvous waits for every rank)."""
        if self._pg is not None or self.world_size == 1:
            return
        store = dist.PrefixStore(f"{self.prefix}/generation/{self.generation}/", self.store)
        timeout = datetime.timedelta(seconds=self.timeout)
        if _backend_for(self.device) == "nccl":
            self._pg = dist.ProcessGroupNCCL(store, self.rank, self.world_size, timeout)
        else:
            self._pg = dist.ProcessGroupGloo(store, self.rank, self.world_size, timeout)

    def _drop_group(self):
        pg, self._pg = self._pg, None
        if pg is not None:
            # Dropped, the group closes its connections: peers still in a collective with
            # this replica fail at once rather than at their time limit.
            for name in ("abort", "shutdown"):
                stop = getattr(pg, name, None)
                if stop is not None:
                    try:
                        stop()
                    except Exception:  # noqa: BLE001 - already broken; it goes either way
                        pass
                    break
            del pg

    def _allreduce(self, tensors):
        for t in tensors:
            self._pg.allreduce([t]).wait()

    def _next_generation(self, error):
        if self._regroup is None:
            raise ReplicaGroupError(f"averaging with the other replicas failed: {error}")
        began = time.perf_counter()
        self._drop_group()
        generation, rank, world_size = self._regroup(self.generation, error)
        if generation <= self.generation:
            raise ReplicaGroupError(f"regroup answered generation {generation} after generation {self.generation}")
        if world_size < 1 or not 0 <= rank < world_size:
            raise ReplicaGroupError(f"regroup answered rank {rank} of {world_size}")
        self.generation, self.rank, self.world_size = int(generation), int(rank), int(world_size)
        self._connect()
        self.regroups.append((time.perf_counter() - began, self.generation, self.world_size))

    def _run(self, work, position, adopt):
        """Runs work() against the current generation; after a failure, against the next.
        ``position``: where this replica stands while it runs (a step, or _PREPARING);
        ``adopt(root)``: takes rank root's completed result of that position instead of
        running work (see _reconcile), returning what work would have."""
        regrouped = False
        while True:
            if self._closed:
                raise ReplicaGroupError("the replica group was closed")
            try:
                self._connect()
                if regrouped and self.world_size > 1:
                    root = self._reconcile(position)
                    if root is not None:
                        return adopt(root)
                return work()
            except RuntimeError as e:
                if isinstance(e, ReplicaGroupError):
                    raise
                self._next_generation(str(e).splitlines()[0] if str(e) else type(e).__name__)
                regrouped = True

    def _reconcile(self, position):
        """The new generation's first collective: where is everyone? None when every
        replica is at ``position`` (all redo it); the rank to take the result from when
        this replica is one step behind those ahead. Those ahead take part in the
        hand-over (see _hand_over) and then return None: they redo their own step, which
        the ones behind reach after their next forward and backward (the collective's
        time limit covers that wait)."""
        n = self.world_size
        mine = torch.full((2 * n,), torch.iinfo(torch.int64).min, dtype=torch.int64)
        mine[2 * self.rank], mine[2 * self.rank + 1] = position, self._done
        on_device = mine.to(self.device)
        self._pg.allreduce([on_device], dist.ReduceOp.MAX).wait()
        both = on_device.to("cpu").tolist()
        at, done = both[0::2], both[1::2]
        low, high = min(at), max(at)
        if low == high:
            return None
        ahead = [r for r in range(n) if at[r] == high]
        # Behind by exactly one step: everyone is at one of two places, and those ahead
        # completed the place where the others are.
        if any(a not in (low, high) for a in at) or any(done[r] != low for r in ahead):
            raise ReplicaGroupError(f"the replicas of this stage are not at the same step (at {at}, last completed "
                                    f"{done}); their parameters can no longer be kept equal")
        root = min(ahead)
        self._hand_over(root, low, behind=at[self.rank] == low)
        return root if at[self.rank] == low else None

    def _hand_over(self, root, position, behind):
        """Every replica's part in handing rank root's result of ``position`` to those
        behind: the parameters after the first broadcast, or the kept averaging."""
        if position == _PREPARING:
            self._broadcast_state(self._layers, root)
            return
        if behind:
            # Buffers laid out as this replica's own averaging would lay them out.
            _, values, by_dtype = self._layout(_gradient_slots(self._layers))
            flats = [torch.empty(sum(values[i].numel() for i in idx), dtype=dtype, device=self.device)
                     for dtype, idx in by_dtype.items()]
            meta = torch.empty(2 + 4 + len(values), dtype=torch.float64, device=self.device)
        else:
            # The others ahead hold the same result bit for bit: the root's overwrites it.
            kept_flats, kept_meta = self._last
            flats, meta = kept_flats, kept_meta.to(self.device)
        for t in flats + [meta]:
            self._pg.broadcast(t, root).wait()
        if behind:
            self._handed = (flats, meta.to("cpu"))

    def _adopt_average(self, slots, step):
        """Takes the averaging of ``step`` that _hand_over received, as if this replica's
        own all-reduce had completed: the same gradients written back, the same loss."""
        flats, head = self._handed
        self._handed = None
        kept_step, n, meta = int(head[0].item()), head[1].item(), head[2:]
        kept, values, by_dtype = self._layout(slots)
        if kept_step != step or meta[2].item() != step * n or meta[3].item() != float(step) ** 2 * n:
            raise ReplicaGroupError(f"the averaging handed over is of another step than this one's ({step})")
        self._write_back(slots, kept, values, by_dtype, flats, meta)
        self._keep(step, flats, head)
        self.adopted.append(step)
        return self._mean_loss(meta), sum(f.numel() * f.element_size() for f in flats)

    def _keep(self, position, flats=None, head=None):
        """Remembers the last completed place, and with an averaging its result: the
        averaged flat buffers are fresh and written back by copy, so keeping them costs
        one gradient's memory and no copy."""
        self._done = position
        self._last = (flats, head) if flats is not None and self.world_size > 1 else None

    async def _off_loop(self, fn, *args):
        return await asyncio.get_running_loop().run_in_executor(self._executor, fn, *args)

    # -- what the trainer calls ----------------------------------------------------------
    async def prepare(self, layers):
        """Meets the other replicas and takes rank 0's parameters and buffers, so that all
        start equal. Once per group; later calls do nothing."""
        if self._prepared:
            return
        self._layers = layers
        await self._off_loop(self._run, lambda: self._broadcast_state(layers, 0), _PREPARING, lambda root: None)
        self._keep(_PREPARING)
        self._prepared = True

    async def settle(self):
        """Ends a training loop with every replica: one tiny collective that each reaches
        only after its last step. Where the last step's all-reduce completed on some
        replicas and failed on others, it fails here too, and after the regroup those
        behind take the last averaging from one that completed it (see _reconcile), so
        that no replica ends the loop with parameters of its own."""
        if not self._prepared or self.world_size == 1:
            return
        await self._off_loop(self._run, self._barrier, _SETTLING, lambda root: None)

    def _barrier(self):
        if self.world_size > 1:
            self._pg.allreduce([torch.zeros(1, device=self.device)]).wait()

    def _broadcast_state(self, layers, root):
        if self.world_size == 1:
            return
        tensors = [t for t in state_tensors(layers)]
        by_dtype = {}
        for t in tensors:
            by_dtype.setdefault(t.dtype, []).append(t)
        for dtype, group in by_dtype.items():
            wire = torch.uint8 if dtype == torch.bool else dtype
            flat = _flatten_dense_tensors([t.detach().to(wire) for t in group])
            self._pg.broadcast(flat, root).wait()
            with torch.no_grad():
                for t, v in zip(group, _unflatten_dense_tensors(flat, group)):
                    t.copy_(v.to(dtype))

    async def average(self, layers, loss, step):
        """Averages the step's gradients over the replicas in place; returns the mean of
        the replicas' losses (None when none had one). ``step``: this step's number, the
        same on every replica."""
        began = time.perf_counter()
        self._layers = layers
        slots = _gradient_slots(layers)
        result, sent = await self._off_loop(self._run, lambda: self._average_blocking(slots, loss, step), step,
                                            lambda root: self._adopt_average(slots, step))
        self.last_seconds = time.perf_counter() - began
        self.last_bytes = sent
        return result

    def _layout(self, slots):
        """The gradients as they are, what goes on the wire for each, and the wire's
        flat buffers: one per dtype, in slot order."""
        kept = [s.get() for s in slots]
        values = [g.detach() if g is not None else torch.zeros(s.like(), device=self.device)
                  for g, s in zip(kept, slots)]
        by_dtype = {}
        for i, v in enumerate(values):
            by_dtype.setdefault(v.dtype, []).append(i)
        return kept, values, by_dtype

    def _average_blocking(self, slots, loss, step):
        kept, values, by_dtype = self._layout(slots)
        present = [g is not None for g in kept]
        # [loss sum, losses, step, step^2, presence of each gradient]: the step and its
        # square sum to n*s and n*s^2 only when every replica is at step s.
        meta = torch.tensor([loss if loss is not None else 0.0, 1.0 if loss is not None else 0.0,
                             float(step), float(step) ** 2] + [float(p) for p in present], dtype=torch.float64)
        # Fresh buffers each time: the gradients themselves are only read, so a failed
        # reduction can start again from them.
        flats = [_flatten_dense_tensors([values[i] for i in idx]) for idx in by_dtype.values()]
        if self.world_size > 1:
            on_device = meta.to(self.device)
            self._allreduce(flats + [on_device])
            meta = on_device.to("cpu")
        n = self.world_size
        if meta[2].item() != step * n or meta[3].item() != float(step) ** 2 * n:
            raise ReplicaGroupError(f"the replicas of this stage are not at the same step (this one is at micro-batch "
                                    f"{step}); their parameters can no longer be kept equal")
        for flat in flats:
            flat.div_(n)
        self._write_back(slots, kept, values, by_dtype, flats, meta)
        self._keep(step, flats, torch.cat([torch.tensor([float(step), float(n)], dtype=torch.float64), meta]))
        sent = sum(f.numel() * f.element_size() for f in flats) + meta.numel() * meta.element_size()
        return self._mean_loss(meta), sent

    @staticmethod
    def _write_back(slots, kept, values, by_dtype, flats, meta):
        with torch.no_grad():
            for flat, idx in zip(flats, by_dtype.values()):
                for i, v in zip(idx, _unflatten_dense_tensors(flat, [values[i] for i in idx])):
                    if meta[4 + i].item() > 0:
                        slots[i].put(v if kept[i] is None else v.to(kept[i].dtype))

    @staticmethod
    def _mean_loss(meta):
        return meta[0].item() / meta[1].item() if meta[1].item() > 0 else None

    def close(self):
        """Leaves the group: its connections close, so peers fail fast. Idempotent."""
        if self._closed:
            return
        self._closed = True
        self._drop_group()
        self._executor.shutdown(wait=False)

    def __repr__(self):
        return (f"<ReplicaGroup {self.prefix!r} generation {self.generation}: rank {self.rank} "
                f"of {self.world_size}>")
