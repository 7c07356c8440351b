import asyncio
import sys

import pytest
import torch
from torch import nn

from korvane.carrowel import LayerAssignment, OrvynPipelineTrainer
from korvane.zeb_trainable_int8 import ZEBTrainableLinear

WARNING = "  Warning: Could not fetch layers (Implement IPFS/coordinator fetch), creating demo layers..."


def trainer(start=0, end=4, cls=OrvynPipelineTrainer, device="cpu"):
    t = cls("t1", device=device)
    t.layer_assignment = LayerAssignment("task", "t1", start, end, 0, None, None, "")
    return t


def test_demo_layers_with_int8_stand_in(capsys):
    t = trainer()
    asyncio.run(t._download_layers("task"))
    assert isinstance(t.layers, nn.ModuleList) and len(t.layers) == 4
    assert all(isinstance(l, ZEBTrainableLinear) for l in t.layers)
    assert capsys.readouterr().out.splitlines() == [
        "  Downloading layers 0-4...", WARNING, "  Loaded 4 layers (2,365,440 parameters)"]


def test_demo_layers_without_int8_module(capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "korvane.zeb_trainable_int8", None)
    t = trainer()
    asyncio.run(t._download_layers("task"))
    assert [type(l) for l in t.layers] == [nn.Linear] * 4
    assert all(l.in_features == l.out_features == 768 and l.bias is not None for l in t.layers)
    assert capsys.readouterr().out.splitlines() == [
        "  Downloading layers 0-4...", WARNING, "  Loaded 4 layers (2,362,368 parameters)"]


def test_module_without_the_class_falls_back(monkeypatch):
    import types
    monkeypatch.setitem(sys.modules, "korvane.zeb_trainable_int8", types.ModuleType("korvane.zeb_trainable_int8"))
    t = trainer(0, 1)
    t._create_demo_layers()
    assert type(t.layers[0]) is nn.Linear


@pytest.mark.parametrize("start,end", [(3, 3), (5, 2)])
def test_empty_slice(capsys, start, end):
    t = trainer(start, end)
    asyncio.run(t._download_layers("task"))
    assert len(t.layers) == 0
    assert capsys.readouterr().out.splitlines()[-1] == "  Loaded 0 layers (0 parameters)"


def test_hooks():
    t = trainer()
    with pytest.raises(NotImplementedError, match="^Implement IPFS/coordinator fetch$"):
        asyncio.run(t._fetch_layer_weights("task"))
    with pytest.raises(NotImplementedError, match="^Implement layer deserialization$"):
        t._deserialize_layers(b"abc")
    with pytest.raises(TypeError, match="expected bytes, got str"):
        t._deserialize_layers("abc")
    if not torch.cuda.is_available():
        assert t._get_available_memory() == 8589934592
    else:
        assert t._get_available_memory() == torch.cuda.get_device_properties(0).total_memory


class Fetching(OrvynPipelineTrainer):
    async def _fetch_layer_weights(self, task_id):
        await asyncio.sleep(0)
        return b"weights:" + task_id.encode()

    def _deserialize_layers(self, data):
        assert data == b"weights:task"
        return nn.ModuleList([nn.Linear(4, 4)])


def test_subclass_hooks_are_used(capsys):
    t = trainer(cls=Fetching)
    asyncio.run(t._download_layers("task"))
    out = capsys.readouterr().out.splitlines()
    assert out == ["  Downloading layers 0-4...", "  Loaded 1 layers (20 parameters)"]


def test_replaced_hook_error_text_reaches_warning(capsys):
    t = trainer(0, 1)

    def fetch(task_id):
        raise KeyError("gone")

    t._fetch_layer_weights = fetch
    asyncio.run(t._download_layers("task"))
    assert "  Warning: Could not fetch layers ('gone'), creating demo layers..." in capsys.readouterr().out


def test_cancellation_is_not_a_fetch_failure(capsys):
    class Slow(OrvynPipelineTrainer):
        async def _fetch_layer_weights(self, task_id):
            await asyncio.sleep(30)

    t = trainer(cls=Slow)

    async def run():
        await asyncio.wait_for(t._download_layers("task"), 0.05)

    with pytest.raises(asyncio.TimeoutError):
        asyncio.run(run())
    assert "Warning" not in capsys.readouterr().out and t.layers == []


def test_bad_device_passes_through():
    t = trainer(0, 1, device="no-such-device")
    with pytest.raises(RuntimeError):
        asyncio.run(t._download_layers("task"))


def test_needs_assignment():
    t = OrvynPipelineTrainer("t1", device="cpu")
    with pytest.raises(ValueError, match="no layer assignment"):
        asyncio.run(t._download_layers("task"))
