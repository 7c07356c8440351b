// Stage computation on the trainer's slice: forward, backward, update. Asynchronous to the
// caller (awaited like the network operations) but none of them suspends, and none keeps
// an activation or gradient on the trainer: the autograd graph is the only link.
#include "korvane/carrowel/trainer/trainer.hpp"
#include "korvane/common/async/op.hpp"

namespace korvane::carrowel {
using async::make_op;
using async::Task;

namespace {
constexpr double kDefaultLr = 0.0001;
constexpr double kInt8WeightDecay = 0.01;  // a constant of the update, given to int8 layers only

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

Task<py::object> forward_stage(py::object self, py::object activation) {
  py::object x = std::move(activation);  // with no layers the input itself comes back
  py::object layers = Trainer::of(self).layers;
  for (py::handle layer : layers) x = layer(x);
  co_return x;
}

Task<py::object> backward_stage(py::object self, py::object grad_output) {
  py::object g = std::move(grad_output);
  py::list layers(Trainer::of(self).layers);
  for (size_t i = py::len(layers); i-- > 0;) {
    py::handle layer = layers[i];
    if (py::hasattr(layer, "backward_zeb")) {
      g = layer.attr("backward_zeb")(g);
    } else {
      // A plain layer passes the gradient on untouched; its parameters get theirs from
      // the loss backward of the last stage.
      g.attr("requires_grad_")(true);
    }
  }
  co_return g;
}

Task<py::object> update_layers(py::object self, double lr, bool loss_decreased) {
  py::list layers(Trainer::of(self).layers);
  py::module_ torch;
  for (py::handle layer : layers) {
    if (py::hasattr(layer, "update_from_gradient")) {
      layer.attr("update_from_gradient")(py::arg("lr") = lr, py::arg("weight_decay") = kInt8WeightDecay,
                                         py::arg("loss_decreased") = loss_decreased);
      continue;
    }
    // Plain SGD, no decay, no momentum; an error leaves earlier layers updated.
    if (!torch) torch = py::module_::import("torch");
    NoGrad no_grad(torch);
    for (py::handle p : layer.attr("parameters")()) {
      py::object grad = p.attr("grad");
      if (grad.is_none()) continue;
      p.attr("sub_")(grad.attr("__mul__")(lr));
      grad.attr("zero_")();
    }
  }
  co_return py::none();
}
}  // namespace

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
