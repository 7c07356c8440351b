"""Misuses that the stubs must make mypy refuse: each line marked `# expect: CODE` must
get an error with that code, and no other line may (tests/python/test_typing.py)."""
import torch

from korvane.carrowel import (LayerAssignment, OrvynPipelineTrainer, OrvynPipelineTrainerSync, compress_tensor,
                              encode_boundary)

sync = OrvynPipelineTrainerSync("x")
sync.run_training_loop(3)  # expect: misc
sync.run_pipeline_round(learning_rate=0.1)  # expect: call-arg
compress_tensor(torch.randn(3), group_size="64")  # expect: arg-type
not_awaited: LayerAssignment = OrvynPipelineTrainer("a").join_pipeline("t")  # expect: assignment
OrvynPipelineTrainer(trainer_id=7)  # expect: arg-type
sync.layers = []  # expect: misc
OrvynPipelineTrainer("a", "http://127.0.0.1:9", "cpu", True)  # expect: misc
sync.run_evaluation(num_batches="all")  # expect: arg-type
OrvynPipelineTrainer("a", checkpoint_every="10")  # expect: arg-type
encode_boundary(torch.randn(3), codec=8)  # expect: arg-type
