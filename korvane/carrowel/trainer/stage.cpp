// Stage computation on the trainer's slice: forward, backward, update. Asynchronous to the
// caller (awaited like the network operations) but none of them suspends. By default none
// keeps an activation or gradient on the trainer: the autograd graph is the only link.
// With autograd_backward the last forward's segments stay on the trainer until the
// backward that uses them.
#include "korvane/carrowel/trainer/trainer.hpp"
#include "korvane/common/async/op.hpp"
#include "korvane/common/errors.hpp"

namespace korvane::carrowel {
using async::make_op;
using async::Task;

namespace {
constexpr double kDefaultLr = 0.0001;
constexpr double kInt8WeightDecay = 0.01;  // a constant of the update, given to int8 layers only

py::object torch() { return py::module_::import("torch"); }

// Gradient recording off for one scope; the previous mode comes back however it ends.
class NoGrad {
 public:
  explicit NoGrad(py::module_ torch) : torch_(std::move(torch)) {
    was_enabled_ = torch_.attr("is_grad_enabled")().cast<bool>();
    torch_.attr("set_grad_enabled")(false);
  }
  ~NoGrad() {
    try {
      torch_.attr("set_grad_enabled")(was_enabled_);
    } catch (py::error_already_set&) {
    }
  }
  NoGrad(const NoGrad&) = delete;
  NoGrad& operator=(const NoGrad&) = delete;

 private:
  py::module_ torch_;
  bool was_enabled_ = true;
};

bool is_int8_backward(py::handle layer) { return py::hasattr(layer, "backward_zeb"); }

// autograd_backward: the slice runs as segments, each a maximal run of plain layers or
// one int8 layer, and every segment starts from a detached copy of its input. The tape
// keeps, per segment, (input leaf, output) of a plain run or (int8 layer,): enough for
// backward_stage to compute the plain runs' true vector-Jacobian products through autograd
// while int8 layers keep their own backward. Detaching also means that no round's
// gradient lands in a tensor the caller owns.
py::object forward_with_tape(Trainer& t, py::object x) {
  py::list layers(t.layers);
  py::list tape;
  const size_t n = py::len(layers);
  for (size_t i = 0; i < n;) {
    py::handle layer = layers[i];
    if (is_int8_backward(layer)) {
      x = layer(x.attr("detach")());
      tape.append(py::make_tuple(layer));
      ++i;
      continue;
    }
    py::object leaf = x.attr("detach")().attr("requires_grad_")(true);
    x = leaf;
    for (; i < n && !is_int8_backward(layers[i]); ++i) x = layers[i](x);
    tape.append(py::make_tuple(leaf, x));
  }
  t.stage_tape = tape;
  return x;
}

Task<py::object> forward_stage(py::object self, py::object activation) {
  py::object x = std::move(activation);  // with no layers the input itself comes back
  Trainer& t = Trainer::of(self);
  t.stage_tape = py::none();
  if (t.autograd_backward && torch().attr("is_grad_enabled")().cast<bool>()) co_return forward_with_tape(t, std::move(x));
  py::object layers = t.layers;
  for (py::handle layer : layers) x = layer(x);
  co_return x;
}

py::object backward_with_tape(Trainer& t, py::object g) {
  if (t.stage_tape.is_none())
    throw Error("backward_stage with autograd_backward needs a forward_stage of the same micro-batch before it, "
                "run with gradient recording on");
  py::list tape(t.stage_tape);
  t.stage_tape = py::none();  // one backward per forward
  py::object autograd = torch().attr("autograd");
  for (size_t i = py::len(tape); i-- > 0;) {
    py::tuple seg(tape[i]);
    if (seg.size() == 1) {
      g = seg[0].attr("backward_zeb")(g);
      continue;
    }
    py::object leaf = seg[0], out = seg[1];
    if (out.attr("requires_grad").cast<bool>()) autograd.attr("backward")(out, py::arg("grad_tensors") = g);
    py::object grad = leaf.attr("grad");
    g = grad.is_none() ? torch().attr("zeros_like")(leaf) : grad;  // no path from input to output: zero
  }
  return g;
}

Task<py::object> backward_stage(py::object self, py::object grad_output) {
  py::object g = std::move(grad_output);
  Trainer& t = Trainer::of(self);
  if (t.autograd_backward) co_return backward_with_tape(t, std::move(g));
  py::list layers(t.layers);
  for (size_t i = py::len(layers); i-- > 0;) {
    py::handle layer = layers[i];
    if (is_int8_backward(layer)) {
      g = layer.attr("backward_zeb")(g);
    } else {
      // A plain layer passes the gradient on untouched; its parameters get theirs from
      // the loss backward of the last stage.
      g.attr("requires_grad_")(true);
    }
  }
  co_return g;
}

// The caller's optimizer over every parameter of the plain layers, built at the first
// update and again whenever that set of parameters changes (layers replaced or added).
py::object plain_optimizer(Trainer& t, const py::list& plain_params) {
  bool same = !t.plain_params.is_none() && py::len(t.plain_params) == py::len(plain_params);
  if (same) {
    py::list known(t.plain_params);
    for (size_t i = 0; same && i < py::len(plain_params); ++i) same = known[i].is(plain_params[i]);
  }
  if (!same) {
    t.plain_optimizer = py::len(plain_params) ? t.optimizer(plain_params) : py::none();
    t.plain_params = plain_params;
  }
  return t.plain_optimizer;
}

Task<py::object> update_layers(py::object self, double lr, bool loss_decreased) {
  Trainer& t = Trainer::of(self);
  py::list layers(t.layers);
  const bool own_optimizer = !t.optimizer.is_none();
  py::list plain_params;
  for (py::handle layer : layers) {
    if (py::hasattr(layer, "update_from_gradient")) {
      layer.attr("update_from_gradient")(py::arg("lr") = lr, py::arg("weight_decay") = kInt8WeightDecay,
                                         py::arg("loss_decreased") = loss_decreased);
      continue;
    }
    if (own_optimizer) {
      for (py::handle p : layer.attr("parameters")()) plain_params.append(p);
      continue;
    }
    // Plain SGD, no decay, no momentum; an error leaves earlier layers updated.
    NoGrad no_grad(torch());
    for (py::handle p : layer.attr("parameters")()) {
      py::object grad = p.attr("grad");
      if (grad.is_none()) continue;
      p.attr("sub_")(grad.attr("__mul__")(lr));
      grad.attr("zero_")();
    }
  }
  if (own_optimizer) {
    // The optimizer's own learning rate drives the plain layers; `lr` went to the int8 ones.
    py::object opt = plain_optimizer(t, plain_params);
    if (!opt.is_none()) {
      opt.attr("step")();
      opt.attr("zero_grad")();
    }
  }
  co_return py::none();
}
}  // namespace

py::object last_stage_loss(py::object output, py::object labels) {
  if (labels.is_none()) return output.attr("mean")();
  py::object criterion = torch().attr("nn").attr("CrossEntropyLoss")();
  py::object classes = output.attr("size")(-1);
  return criterion(output.attr("view")(-1, classes), labels.attr("view")(-1));
}

void bind_stage(TrainerClass& cls) {
  cls.def(
         "forward_stage",
         [](py::object self, py::object activation) {
           return make_op(forward_stage(std::move(self), std::move(activation)), "forward_stage");
         },
         py::arg("activation"),
         "Awaitable: runs the activation through this stage's layers in order; gives the output tensor.")
      .def(
          "backward_stage",
          [](py::object self, py::object grad_output) {
            return make_op(backward_stage(std::move(self), std::move(grad_output)), "backward_stage");
          },
          py::arg("grad_output"),
          "Awaitable: carries the output gradient back through the layers in reverse order; gives the\n"
          "input gradient.")
      .def(
          "update_layers",
          [](py::object self, double lr, bool loss_decreased) {
            return make_op(update_layers(std::move(self), lr, loss_decreased), "update_layers");
          },
          py::arg("lr") = kDefaultLr, py::arg("loss_decreased") = true,
          "Awaitable: updates every layer once (int8 layers from their own gradients, others by SGD).");
}

}  // namespace korvane::carrowel
