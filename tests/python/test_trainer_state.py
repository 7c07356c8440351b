import asyncio
import subprocess
import sys
import os

import pytest

import korvane.carrowel as kc
from korvane.carrowel import LayerAssignment, OrvynPipelineTrainer

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_fresh_trainer_fields():
    t = OrvynPipelineTrainer("t1")
    import torch
    assert t.trainer_id == "t1"
    assert t.coordinator_url == "http://localhost:9545"
    assert t.device == ("cuda" if torch.cuda.is_available() else "cpu")
    assert t.layers == [] and t.layer_assignment is None
    assert (t.current_round, t.micro_batch_idx) == (0, 0)
    assert t._activation_buffer is None and t._grad_buffer is None and t._client is None
    assert not hasattr(t, "_last_loss")


def test_explicit_device_and_url_taken_unchanged():
    t = OrvynPipelineTrainer("t1", "http://10.0.0.1:1/", "cuda:1")
    assert t.device == "cuda:1" and t.coordinator_url == "http://10.0.0.1:1/"
    t = OrvynPipelineTrainer(trainer_id="a", device=None)
    assert t.device in ("cpu", "cuda")


@pytest.mark.parametrize("args,kwargs,message", [
    ((None,), {}, "Argument 'trainer_id' has incorrect type (expected str, got NoneType)"),
    ((5,), {}, "Argument 'trainer_id' has incorrect type (expected str, got int)"),
    (("t", None), {}, "Argument 'coordinator_url' has incorrect type (expected str, got NoneType)"),
    (("t",), {"device": 0}, "Argument 'device' has incorrect type (expected str, got int)"),
])
def test_constructor_type_errors(args, kwargs, message):
    with pytest.raises(TypeError) as e:
        OrvynPipelineTrainer(*args, **kwargs)
    assert str(e.value) == message


def test_argument_count():
    with pytest.raises(TypeError):
        OrvynPipelineTrainer()
    with pytest.raises(TypeError):
        OrvynPipelineTrainer("a", "b", "c", "d")


def test_fields_are_writable_and_extra_attributes_allowed():
    t = OrvynPipelineTrainer("t1")
    a = LayerAssignment("task", "t1", 0, 4, 0, None, "t2", "")
    t.layer_assignment = a
    assert t.layer_assignment == a
    t.micro_batch_idx = 7
    t._last_loss = 1.5
    t.note = "x"
    assert (t.micro_batch_idx, t._last_loss, t.note) == (7, 1.5, "x")
    del t._last_loss
    assert not hasattr(t, "_last_loss")
    with pytest.raises(TypeError):
        t.layer_assignment = "not an assignment"


def test_get_client_returns_one_session():
    t = OrvynPipelineTrainer("t1")

    async def both():
        return await asyncio.gather(t._get_client(), t._get_client())

    a, b = asyncio.run(both())
    assert a is b is t._client and a is not None


def test_layer_assignment_record():
    a = LayerAssignment("task", "t1", 4, 0, 1, "", None, "h")
    assert a.layer_count == -4
    assert not a.is_first_stage and a.is_last_stage
    b = LayerAssignment(task_id="task", trainer="t1", layer_start=0, layer_end=4, pipeline_position=0,
                        upstream_trainer=None, downstream_trainer="trainer_2", layer_weights_hash="")
    assert b.layer_count == 4 and b.is_first_stage and not b.is_last_stage
    assert a != b and b == LayerAssignment("task", "t1", 0, 4, 0, None, "trainer_2", "")


HIDDEN_TORCH = r"""
import sys, asyncio
sys.modules['torch'] = None
import korvane.carrowel as kc
assert kc.TORCH_AVAILABLE is False
t = kc.OrvynPipelineTrainer('t1')
assert t.device == 'cpu', t.device
t.layer_assignment = kc.LayerAssignment('task', 't1', 0, 4, 0, None, None, '')
try:
    asyncio.run(t._download_layers('task'))
except ImportError as e:
    print('IMPORT', e)
assert t.get_compression_stats() == {}
assert t._get_available_memory() == 8589934592
assert t.get_memory_usage() == 0
print('OK')
"""


def test_without_torch():
    r = subprocess.run([sys.executable, "-c", HIDDEN_TORCH], cwd=ROOT, capture_output=True, text=True,
                       env={**os.environ, "PYTHONPATH": ROOT}, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["IMPORT PyTorch required for pipeline training", "OK"]
