"""The language-model example's parts: the data a pipeline's first and last stage must agree
on, the causal blocks, and the one-process boundaries the pipeline is measured against."""
import pytest
import torch

from examples import lm_model as lm
from examples import lm_reference as ref
from korvane import carrowel


def test_training_windows_repeat_exactly_and_labels_are_the_next_bytes():
    text = torch.arange(1000, dtype=torch.int64).remainder(256).to(torch.uint8)
    source = lm.RandomWindows(text, batch_size=3, context=8, seed=5, batches=4)
    first, again = list(source), list(source)  # a check reading a pass must not move the stream
    assert len(first) == 4
    for (x, y), (x2, y2) in zip(first, again):
        assert torch.equal(x, x2) and torch.equal(y, y2)
        assert x.dtype == torch.int64 and x.shape == (3, 8)
        assert torch.equal(y[:, :-1], x[:, 1:])  # labels: the input shifted by one byte
    other = list(lm.RandomWindows(text, batch_size=3, context=8, seed=6, batches=4))
    assert not torch.equal(other[0][0], first[0][0])


def test_the_held_out_part_is_the_texts_tail_and_its_batches_are_fixed():
    train, held_out = lm.split()
    assert len(held_out) / (len(train) + len(held_out)) == pytest.approx(lm.HELD_OUT, abs=1e-6)
    whole = lm.load_corpus()
    assert torch.equal(whole[-len(held_out):], held_out) and torch.equal(whole[:len(train)], train)
    batches, again = lm.held_out_batches(held_out), lm.held_out_batches(held_out)
    assert len(batches) == lm.EVAL_BATCHES
    assert all(torch.equal(a[0], b[0]) and torch.equal(a[1], b[1]) for a, b in zip(batches, again))
    with pytest.raises(ValueError, match="too short"):
        lm.held_out_batches(held_out[:100])


def test_blocks_are_causal_and_the_embedding_wants_byte_ids():
    layers = lm.build_layers(width=16, blocks=2, heads=2, context=12)
    model = torch.nn.Sequential(*layers)
    x = torch.randint(0, 256, (2, 12))
    changed = x.clone()
    changed[:, 7:] = (changed[:, 7:] + 1) % 256
    with torch.no_grad():
        a, b = model(x), model(changed)
    assert torch.equal(a[:, :7], b[:, :7])  # no position sees a later byte
    assert not torch.equal(a[:, 7:], b[:, 7:])
    with pytest.raises(TypeError, match="integer byte ids"):
        layers[0](x.float())
    with pytest.raises(ValueError, match="longer than the context"):
        layers[0](torch.zeros(1, 13, dtype=torch.long))


def test_stage_cuts_follow_the_coordinator_rule():
    assert ref.stage_cuts(4, 3) == [2, 3]
    assert ref.stage_cuts(9, 3) == [3, 6]
    assert ref.stage_cuts(8, 3) == [3, 6]
    assert ref.stage_cuts(5, 1) == []
    with pytest.raises(ValueError):
        ref.stage_cuts(2, 3)


def test_a_boundary_applies_each_codec_in_its_direction_and_counts_the_bytes():
    torch.manual_seed(0)
    x = torch.randn(4, 128, requires_grad=True)
    g = torch.randn(4, 128)
    boundary = ref.CodecBoundary("int8", "sign")
    out = boundary(x)
    out.backward(g)
    sent = carrowel.encode_boundary(x.detach(), codec="int8")
    back = carrowel.encode_boundary(g, codec="sign", is_backward=True)
    assert torch.equal(out.detach(), carrowel.decode_boundary(sent, codec="int8"))
    assert torch.equal(x.grad, carrowel.decode_boundary(back, codec="sign", is_backward=True))
    assert boundary.bytes == len(sent) + len(back)
    plain = ref.CodecBoundary()
    assert plain(x) is not None and plain.bytes == x.numel() * 4  # counted as float32, unchanged
    ids = torch.randint(0, 256, (2, 5))
    assert plain(ids) is ids  # integers cross as they are


def test_one_process_training_lowers_the_held_out_loss():
    torch.manual_seed(0)
    layers = lm.build_layers(width=16, blocks=1, heads=2, context=16)
    model = ref.with_boundaries(layers, 3, "int8", "int8")
    assert sum(isinstance(m, ref.CodecBoundary) for m in model) == 2
    train, held_out = lm.split()
    batches = lm.RandomWindows(train, batch_size=8, context=16)
    evaluation = lm.held_out_batches(held_out, count=2, batch_size=8, context=16)
    before = ref.evaluate(model, evaluation)
    losses = ref.train(model, torch.optim.AdamW(model.parameters(), lr=1e-2), batches, steps=30, micro_batches=2)
    assert len(losses) == 30
    assert ref.evaluate(model, evaluation) < before - 1.0  # from ~5.5 (uniform) well toward the byte statistics
