"""Typed use of korvane's API: tests/python/test_typing.py type-checks it (it never runs).
Every annotation here must agree with the stubs."""
import asyncio
import pathlib

import torch

from korvane.brisol import CUPY_AVAILABLE, ZEBCuPyKernels
from korvane.carrowel import (CODECS, TORCH_AVAILABLE, CompressedTensor, EpochStream, EvaluationMetrics,
                              LayerAssignment, OrvynPipelineTrainer, OrvynPipelineTrainerSync, TrainingMetrics,
                              codec_round_trip, compress_tensor, decode_boundary, decompress_tensor, encode_boundary,
                              main)


async def two_stages(url: str) -> list[float]:
    a = OrvynPipelineTrainer("a", url)
    b = OrvynPipelineTrainer("b", coordinator_url=url, device="cpu")
    first, second = await asyncio.gather(a.join_pipeline("task"), b.join_pipeline("task"))
    positions: list[int] = [first.pipeline_position, second.pipeline_position]
    upstream: str | None = second.upstream_trainer
    batches = [(torch.randn(8, 768), torch.randint(0, 10, (8,)))]
    done = asyncio.create_task(b.run_training_loop(dataloader=batches, num_rounds=3))
    metrics: TrainingMetrics = await a.run_training_loop(dataloader=batches, num_rounds=3, lr=1e-3,
                                                         on_round_complete=lambda i, loss: print(i, loss))
    other: TrainingMetrics = await done
    loss: float | None = await asyncio.wait_for(a.run_pipeline_round(lr=0.01), timeout=30)
    out: torch.Tensor = await a.forward_stage(torch.randn(2, 768))
    grad, upstream_loss = await a.receive_gradient(timeout=1.0)
    sent: bool = await a.send_gradient(grad, loss=upstream_loss)
    memory: int = a.get_memory_usage()
    return metrics["losses"] + other["losses"]


def blocking(url: str) -> float:
    f = OrvynPipelineTrainerSync("solo", coordinator_url=url)
    assignment: LayerAssignment = f.join_pipeline("task")
    assert f.layer_assignment is not None and f.layer_assignment.is_first_stage
    loss = f.run_pipeline_round(lr=0.001)
    metrics = f.run_training_loop(num_rounds=2)
    return metrics.get("avg_loss", 0.0) + (loss or 0.0) + assignment.layer_count


def trained_and_scored(url: str, token_path: str) -> float:
    batches = [(torch.randn(8, 768), torch.randint(0, 10, (8,)))]
    t = OrvynPipelineTrainerSync("solo", url, "cpu", autograd_backward=True, token_file=token_path,
                                 optimizer=lambda params: torch.optim.AdamW(params, lr=1e-3),
                                 metrics_file=pathlib.Path(token_path).with_name("metrics.jsonl"),
                                 checkpoint_dir=pathlib.Path(token_path).with_name("checkpoints"),
                                 checkpoint_every=5, resume=True, rejoin_timeout=60)
    stream: EpochStream[tuple[torch.Tensor, torch.Tensor]] = EpochStream(batches)
    first: tuple[torch.Tensor, torch.Tensor] = next(stream)
    t.run_training_loop(dataloader=stream, num_rounds=2, micro_batches=4, max_in_flight=2,
                        evaluation=lambda step: {"step": step} if step % 10 == 0 else None)
    t.leave_pipeline()
    scores: EvaluationMetrics = t.run_evaluation(dataloader=batches, num_batches=1)
    return scores.get("accuracy", 0.0) + scores["batches"]


async def scored(trainer: OrvynPipelineTrainer) -> int:
    trainer.optimizer = None
    trainer.autograd_backward = False
    trainer.log_metrics({"note": "scored"})
    relayed: int = trainer.bytes_sent + trainer.bytes_received
    path: str | None = trainer.metrics_file
    saved: str | None = trainer.checkpoint_dir
    every: int = trainer.checkpoint_every
    patience: float = trainer.rejoin_timeout
    await trainer.leave_pipeline()
    return (await trainer.run_evaluation(num_batches=0))["batches"]


def records() -> bytes:
    record: CompressedTensor = compress_tensor(torch.randn(4, 64), group_size=64, is_backward=True)
    copy = CompressedTensor.from_bytes(record.to_bytes())
    back: torch.Tensor = decompress_tensor(copy, device=torch.device("cpu"))
    ratio: float = copy.compression_ratio()
    shape: list[int] = copy.shape
    body: bytes = encode_boundary((torch.randn(2, 8), None, torch.arange(3)), codec="int4", is_backward=True)
    value = decode_boundary(body, codec="int4", is_backward=True, device=torch.device("cpu"))
    inserted: torch.Tensor = codec_round_trip(torch.randn(8), CODECS[1])
    return record.to_bytes()


def kernels() -> torch.Tensor | None:
    if not (TORCH_AVAILABLE and CUPY_AVAILABLE):
        return None
    k = ZEBCuPyKernels()
    q, scales = k.quantize_int8(torch.randn(4, 64, device="cuda"))
    return k.dequantize_int8(q, scales, [4, 64])


status: int = main(["--task-id", "t", "--rounds", "1"])
