"""Every public function, method and class of both modules explains itself: a docstring
and a signature with real parameter names and defaults, as inspect and help() see them."""
import inspect
import pydoc

import pytest

import korvane.brisol as brisol
import korvane.carrowel as carrowel
from korvane.carrowel import OrvynPipelineTrainer, OrvynPipelineTrainerSync


def public_callables():
    for mod in (carrowel, brisol):
        for name, obj in vars(mod).items():
            if name.startswith("_") or not callable(obj) or inspect.ismodule(obj):
                continue
            yield f"{mod.__name__}.{name}", obj
            if isinstance(obj, type):
                for attr, member in vars(obj).items():
                    if (attr.startswith("_") and attr != "__init__") or isinstance(member, property):
                        continue
                    yield f"{mod.__name__}.{name}.{attr}", getattr(obj, attr)


NOT_CONSTRUCTIBLE = {"Operation", "ClientSession", "CompiledKernel"}


@pytest.mark.parametrize("name,obj", list(public_callables()), ids=lambda v: v if isinstance(v, str) else "")
def test_public_callable_has_doc_and_signature(name, obj):
    assert (obj.__doc__ or "").strip(), f"{name} has no docstring"
    if name.rsplit(".", 1)[-1] in NOT_CONSTRUCTIBLE or name.endswith(tuple(f"{c}.__init__" for c in NOT_CONSTRUCTIBLE)):
        return
    sig = inspect.signature(obj)
    for p in sig.parameters.values():
        assert not p.name.startswith("arg") or not p.name[3:].isdigit(), f"{name}: unnamed parameter {p.name}"
    assert "--" not in (obj.__doc__ or "").split("\n", 1)[0], "the signature marker leaked into the docstring"


def test_properties_are_documented():
    for cls in (carrowel.OrvynPipelineTrainer, carrowel.OrvynPipelineTrainerSync, carrowel.LayerAssignment,
                carrowel.CompressedTensor, brisol.ZEBCuPyKernels, brisol.CompiledKernel):
        for attr, member in vars(cls).items():
            if isinstance(member, property) and not attr.startswith("_"):
                assert (member.__doc__ or "").strip(), f"{cls.__name__}.{attr}"


def test_real_names_and_defaults():
    sig = inspect.signature(OrvynPipelineTrainer)
    positional = ["trainer_id", "coordinator_url", "device"]
    assert list(sig.parameters)[:3] == positional
    # Every option after the three specified parameters is keyword-only and off (None or False) by default,
    # but for the guard that ends a run after non-finite steps.
    options = [p for p in sig.parameters.values() if p.name not in positional]
    assert {"autograd_backward", "optimizer", "token", "token_file"} <= {p.name for p in options}
    assert sig.parameters["max_nonfinite_steps"].default == 3
    assert all(p.kind is inspect.Parameter.KEYWORD_ONLY and (p.default in (None, False) or p.name == "max_nonfinite_steps")
               for p in options), sig
    assert sig.parameters["coordinator_url"].default == "http://localhost:9545"  # a default holding ':' and '/'
    assert sig.parameters["device"].default is None
    loop = str(inspect.signature(OrvynPipelineTrainer.run_training_loop))
    assert loop.startswith("(self, dataloader=None, num_rounds=100, lr=0.0001, on_round_complete=None, *, "), loop
    assert "micro_batches=1, max_in_flight=None" in loop
    bound = OrvynPipelineTrainer("x", device="cpu").receive_gradient
    assert str(inspect.signature(bound)) == "(timeout=30.0)"
    assert list(inspect.signature(carrowel.CompressedTensor.from_bytes).parameters) == ["data"]
    assert str(inspect.signature(carrowel.compress_tensor)) == "(tensor, group_size=64, is_backward=False)"
    assert str(inspect.signature(carrowel.encode_boundary)) == "(value, codec='sign', is_backward=False)"
    assert str(inspect.signature(carrowel.decode_boundary)) == "(data, codec='sign', is_backward=False, device='cpu')"
    update = inspect.signature(brisol.ZEBCuPyKernels.fused_weight_update).parameters
    assert update["var_eps"].default == 1e-8 and update["weight_decay"].default == 0
    assert str(inspect.signature(carrowel.EpochStream)) == "(source)"
    text = pydoc.render_doc(OrvynPipelineTrainer, renderer=pydoc.plaintext)
    assert "forward_stage(self, activation)" in text and "get_memory_usage(self)" in text


def test_facade_shows_and_takes_the_trainers_parameters():
    assert inspect.signature(OrvynPipelineTrainerSync) == inspect.signature(OrvynPipelineTrainer)
    for op in ("run_pipeline_round", "run_training_loop", "run_evaluation"):
        trainer = list(inspect.signature(getattr(OrvynPipelineTrainer, op)).parameters.values())
        facade = list(inspect.signature(getattr(OrvynPipelineTrainerSync, op)).parameters.values())
        assert [p.name for p in facade] == [p.name for p in trainer]
        assert [p.default for p in facade] == [p.default for p in trainer]
        assert all(p.kind is inspect.Parameter.KEYWORD_ONLY for p in facade[1:])
    # Calls made with the names it shows reach the trainer.
    kwargs = {"trainer_id": "named", "coordinator_url": "http://127.0.0.1:9", "device": "cpu"}
    inspect.signature(OrvynPipelineTrainerSync).bind(**kwargs)
    f = OrvynPipelineTrainerSync(**kwargs)
    assert (f._trainer.trainer_id, f._trainer.coordinator_url, f._trainer.device) == tuple(kwargs.values())
    with pytest.raises(TypeError):
        f.run_pipeline_round(learning_rate=0.1)
