// The stage computation as the trainer's methods: forward, backward, update of the stage
// model. Asynchronous to the caller (awaited like the network operations) but none of
// them suspends. By default none keeps an activation or gradient on the trainer: the
// autograd graph is the only link. With autograd_backward the last forward's segments
// stay in the stage model until the backward that uses them.
#include "korvane/carrowel/trainer/trainer.hpp"
#include "korvane/common/async/op.hpp"
#include "korvane/common/errors.hpp"

namespace korvane::carrowel {
using async::make_op;
using async::Task;

namespace {
constexpr double kDefaultLr = 0.0001;

Task<py::object> forward_stage(py::object self, py::object activation) {
  Trainer& t = Trainer::of(self);
  if (t.layer_assignment.is_none()) {
    t.model.set_place(-1, 0);
  } else {
    const LayerAssignment& a = t.assignment();
    t.model.set_place(a.pipeline_position, a.layer_start);
  }
  co_return t.model.forward(std::move(activation));
}

Task<py::object> backward_stage(py::object self, py::object grad_output) {
  co_return Trainer::of(self).model.backward(std::move(grad_output));
}

Task<py::object> update_layers(py::object self, double lr, bool loss_decreased) {
  Trainer::of(self).model.update(lr, loss_decreased);
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
