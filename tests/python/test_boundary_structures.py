"""What crosses a stage boundary beyond one floating tensor: token ids at the first stage,
several tensors (an attention mask beside the activations, a residual stream beside them),
and the errors a user's layer raises.

The proof of the structured boundaries is the same as for one tensor: three real stages
through the real coordinator give the gradients of the same nn.Sequential in one process
(fp32 both ways, so nothing is lost at the boundaries)."""
import asyncio
import copy

import pytest
import torch
from torch import nn

from korvane.carrowel import LayerAssignment, OrvynPipelineTrainer
from scripted_server import closed_port

VOCAB, WIDTH, HEADS = 11, 16, 2


class KeepGradients(torch.optim.Optimizer):
    """Changes nothing; keeps a copy of each step's gradients."""

    def __init__(self, params):
        super().__init__(params, {})
        self.seen = []

    def step(self, closure=None):
        self.seen.append([p.grad.clone() if p.grad is not None else None
                          for g in self.param_groups for p in g["params"]])


class Embed(nn.Module):
    """Token ids -> (activations, padding mask): the mask is a bool tensor (True: padding)."""

    def __init__(self):
        super().__init__()
        self.emb = nn.Embedding(VOCAB, WIDTH)

    def forward(self, ids):
        return self.emb(ids), ids == 0


class MaskedAttention(nn.Module):
    """(x, mask) -> (x + attention(x) over the tokens that are not padding, mask)."""

    def __init__(self):
        super().__init__()
        self.attn = nn.MultiheadAttention(WIDTH, HEADS, batch_first=True)
        self.norm = nn.LayerNorm(WIDTH)

    def forward(self, batch):
        x, mask = batch
        h = self.norm(x)
        out, _ = self.attn(h, h, h, key_padding_mask=mask, need_weights=False)
        return x + out, mask


class Head(nn.Module):
    def __init__(self):
        super().__init__()
        self.out = nn.Linear(WIDTH, VOCAB)

    def forward(self, batch):
        x, _ = batch
        return self.out(x)


class EmbedStream(nn.Module):
    """Token ids -> {"x": activations, "residual": a stream beside them, "mask": int64 mask}."""

    def __init__(self):
        super().__init__()
        self.emb = nn.Embedding(VOCAB, WIDTH)

    def forward(self, ids):
        x = self.emb(ids)
        return {"x": torch.tanh(x), "residual": x, "mask": (ids != 0).long()}


class StreamBlock(nn.Module):
    """Both floating entries change, and each feeds the other: gradients must flow back
    through both across every boundary."""

    def __init__(self):
        super().__init__()
        self.mix = nn.Linear(WIDTH, WIDTH)
        self.gate = nn.Linear(WIDTH, WIDTH)

    def forward(self, s):
        keep = s["mask"].unsqueeze(-1).to(s["x"].dtype)
        x = torch.relu(self.mix(s["x"] + s["residual"])) * keep
        return {"x": x, "residual": s["residual"] + torch.sigmoid(self.gate(x)), "mask": s["mask"]}


class StreamHead(nn.Module):
    def __init__(self):
        super().__init__()
        self.out = nn.Linear(WIDTH, VOCAB)

    def forward(self, s):
        return self.out(s["x"] + s["residual"])


def attention_model():
    torch.manual_seed(5)
    return [Embed(), MaskedAttention(), MaskedAttention(), MaskedAttention(), MaskedAttention(), Head()]


def stream_model():
    torch.manual_seed(6)
    return [EmbedStream(), StreamBlock(), StreamBlock(), StreamBlock(), StreamBlock(), StreamHead()]


def token_batch():
    g = torch.Generator().manual_seed(9)
    ids = torch.randint(1, VOCAB, (4, 7), generator=g)
    ids[1, 5:] = 0  # padding at the end of two rows
    ids[3, 3:] = 0
    labels = torch.randint(0, VOCAB, (4, 7), generator=g)
    return ids, labels


def three_stages(url, layers, ids, labels, codec="fp32"):
    """One step of three trainers through the coordinator; their gradients, in layer order."""

    async def run():
        # Joined in the reverse order of the stages they ask for: each sits where it asked.
        trainers = [OrvynPipelineTrainer(f"s{i}", url, device="cpu", autograd_backward=True, optimizer=KeepGradients,
                                         activation_codec=codec, gradient_codec=codec, stage=2 - i)
                    for i in range(3)]
        await asyncio.wait_for(asyncio.gather(*(t.join_pipeline("structures") for t in trainers)), 30)
        assert [t.layer_assignment.pipeline_position for t in trainers] == [2, 1, 0]
        trainers.reverse()
        for t in trainers:
            a = t.layer_assignment
            t.layers = nn.ModuleList(layers[a.layer_start:a.layer_end])
        losses = await asyncio.wait_for(asyncio.gather(trainers[0].run_pipeline_round(input_data=ids),
                                                       trainers[1].run_pipeline_round(),
                                                       trainers[2].run_pipeline_round(labels=labels)), 60)
        return trainers, losses

    trainers, losses = asyncio.run(run())
    assert [t.layer_assignment.pipeline_position for t in trainers] == [0, 1, 2]
    return [g for t in trainers for g in t._plain_optimizer.seen[0]], losses


@pytest.mark.parametrize("model", [attention_model, stream_model], ids=["attention_mask", "residual_and_mask"])
def test_structured_boundaries_give_the_one_process_gradients(coordinator, model):
    url = coordinator(stages=3, layers=6)
    layers = model()
    reference = nn.Sequential(*copy.deepcopy(layers))
    ids, labels = token_batch()
    got, losses = three_stages(url, layers, ids, labels)

    loss = nn.functional.cross_entropy(reference(ids).view(-1, VOCAB), labels.view(-1))
    loss.backward()
    want = [p.grad for p in reference.parameters()]
    assert losses[0] == losses[1] == losses[2] == pytest.approx(loss.item(), rel=1e-6)
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert g is not None and torch.count_nonzero(w) > 0
        torch.testing.assert_close(g, w, rtol=1e-5, atol=1e-6 * w.abs().max().item())


def alone(layers, position=0, first_layer=0, **kw):
    t = OrvynPipelineTrainer("solo", f"http://127.0.0.1:{closed_port()}", device="cpu", **kw)
    t.layer_assignment = LayerAssignment("task", "solo", first_layer, first_layer + len(layers), position, None, None, "")
    t.layers = nn.ModuleList(layers)
    return t


@pytest.mark.parametrize("autograd_backward", [True, False])
def test_token_ids_at_the_first_stage(autograd_backward):
    torch.manual_seed(2)
    layers = [nn.Embedding(VOCAB, WIDTH), nn.Linear(WIDTH, VOCAB)]
    reference = nn.Sequential(*copy.deepcopy(layers))
    ids, labels = token_batch()
    t = alone(layers, autograd_backward=autograd_backward, optimizer=KeepGradients)
    loss = asyncio.run(t.run_pipeline_round(input_data=ids, labels=labels))
    want = nn.functional.cross_entropy(reference(ids).view(-1, VOCAB), labels.view(-1))
    want.backward()
    assert loss == pytest.approx(want.item(), rel=1e-6)
    for g, w in zip(t._plain_optimizer.seen[0], reference.parameters()):
        torch.testing.assert_close(g, w.grad)
    assert not ids.requires_grad and ids.dtype == torch.int64  # the caller's ids stay as they were


class Boom(nn.Module):
    def forward(self, x):
        raise KeyError("no such token")


class Shapes(nn.Module):
    def __init__(self):
        super().__init__()
        self.lin = nn.Linear(3, 3)

    def forward(self, x):
        return self.lin(x)


@pytest.mark.parametrize("autograd_backward", [True, False])
def test_a_layer_error_names_stage_layer_and_type(autograd_backward):
    t = alone([nn.Identity(), Boom()], position=1, first_layer=4, autograd_backward=autograd_backward)
    with pytest.raises(KeyError, match=r"stage 1, layer 5 \(Boom\): no such token"):
        asyncio.run(t.run_pipeline_round(input_data=torch.ones(2, 3), labels=torch.zeros(2, dtype=torch.long)))
    # torch's own error inside a layer keeps its type, and its traceback leads into the layer.
    t = alone([nn.Identity(), nn.Identity(), Shapes()], position=2, first_layer=6, autograd_backward=autograd_backward)
    with pytest.raises(RuntimeError, match=r"^stage 2, layer 8 \(Shapes\): mat1 and mat2") as info:
        asyncio.run(t.forward_stage(torch.ones(2, 5)))
    assert any(frame.name == "forward" for frame in info.traceback)


def test_the_last_stage_needs_one_tensor_for_its_loss():
    t = alone([Embed()], autograd_backward=True)
    ids, labels = token_batch()
    with pytest.raises(TypeError, match="last stage's output is a tuple"):
        asyncio.run(t.run_pipeline_round(input_data=ids, labels=labels))
