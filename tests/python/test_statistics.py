import pytest
from torch import nn

import korvane.carrowel as kc
from korvane.carrowel import OrvynPipelineTrainer
from korvane.zeb_trainable_int8 import ZEBTrainableLinear


def test_memory_usage():
    t = OrvynPipelineTrainer("t1", device="cpu")
    assert t.get_memory_usage() == 0
    t.layers = nn.ModuleList([nn.Linear(768, 768), nn.Linear(768, 768)])
    assert t.get_memory_usage() == 2 * (768 * 768 + 768) * 4
    t.layers = nn.ModuleList([ZEBTrainableLinear(768, 768)])  # buffers are not counted
    assert t.get_memory_usage() == 768 * 768 + 2 * 768 * 4


def test_compression_stats():
    if not hasattr(kc, "compress_tensor"):
        pytest.skip("compress_tensor is not part of this build yet")
    t = OrvynPipelineTrainer("t1", device="cpu")
    stats = t.get_compression_stats()
    assert list(stats) == ["original_bytes", "compressed_bytes", "compression_ratio", "group_size"]
    n = 2 * 512 * 768
    assert stats["original_bytes"] == n * 4
    assert stats["compressed_bytes"] == n // 64 * 2 + n // 8
    assert stats["compression_ratio"] == pytest.approx(25.6)
    assert stats["group_size"] == 64
    assert t.get_compression_stats() == stats
