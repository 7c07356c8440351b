// Held-out evaluation through the pipeline: forward passes only, relayed like a round's
// forward (same relays, same compression, one micro-batch number each), no gradient, no
// update. The last stage scores its output against the labels.
#include <pybind11/stl.h>

#include <tuple>

#include "korvane/carrowel/compression/tensor_compression.hpp"
#include "korvane/carrowel/trainer/boundary_value.hpp"
#include "korvane/carrowel/trainer/data_source.hpp"
#include "korvane/carrowel/trainer/trainer.hpp"
#include "korvane/common/async/awaiters.hpp"
#include "korvane/common/async/op.hpp"
#include "korvane/common/errors.hpp"

namespace korvane::carrowel {
using async::await_result;
using async::Task;

namespace {
// The next held-out batch as (input, labels or None); ValueError when the data ran out.
std::pair<py::object, py::object> next_batch(const py::object& iterator, long long i, long long num_batches) {
  PyObject* item = PyIter_Next(iterator.ptr());
  if (!item) {
    if (PyErr_Occurred()) throw py::error_already_set();
    throw ValueError("the evaluation data ran out after " + std::to_string(i) + " of " + std::to_string(num_batches) +
                     " batches");
  }
  py::object batch = py::reinterpret_steal<py::object>(item);
  if (!py::isinstance<py::tuple>(batch) && !py::isinstance<py::list>(batch)) return {batch, py::none()};
  py::sequence seq = batch;
  if (seq.size() == 0) throw ValueError("a batch of the evaluation data is empty");
  return {seq[0], seq.size() > 1 ? py::object(seq[1]) : py::object(py::none())};
}

Task<py::object> run_evaluation(py::object self, py::object dataloader, long long num_batches) {
  if (!torch_available()) throw ImportError("PyTorch required for pipeline training");
  if (num_batches < 0) throw ValueError("num_batches must be >= 0, got " + std::to_string(num_batches));
  Trainer& t = Trainer::of(self);
  const LayerAssignment& a = t.assignment();
  const bool first = a.is_first_stage(), last = a.is_last_stage();
  if ((first || last) && dataloader.is_none() && num_batches > 0)
    throw ValueError("run_evaluation needs a data source on a first or last stage");

  // A sized source that is too short fails before anything is sent, so the neighbours'
  // micro-batch numbers stay in step.
  if ((first || last) && num_batches > 0 && py::hasattr(dataloader, "__len__") &&
      static_cast<long long>(py::len(dataloader)) < num_batches)
    throw ValueError("the evaluation data has " + std::to_string(py::len(dataloader)) + " batches, " +
                     std::to_string(num_batches) + " asked for");
  py::object iterator;
  if ((first || last) && num_batches > 0) iterator = py::iter(dataloader);
  double loss_sum = 0.0;
  long long samples = 0, correct = 0;
  bool scored = false;
  for (long long i = 0; i < num_batches; ++i) {
    py::object input = py::none(), labels = py::none();
    if (iterator) std::tie(input, labels) = next_batch(iterator, i, num_batches);
    // Plain statements around co_await: g++ 12 miscompiles temporaries in a full-expression
    // that holds one.
    py::object activation;
    if (first) {
      const std::string device = t.model.device();
      activation = map_boundary(input, [&device](py::handle e) { return tensors::on_device(e, device); });
    } else {
      py::object received = co_await await_result(self.attr("receive_activation")());
      activation = std::move(received);
    }
    py::object output;
    {
      tensors::NoGrad no_grad;
      output = co_await await_result(self.attr("forward_stage")(activation));
    }
    if (!last) {
      co_await await_result(self.attr("send_activation")(output));
    } else if (!labels.is_none()) {
      const BatchScore score = score_batch(output, labels, t.model.device());
      loss_sum += score.loss_sum;
      correct += score.correct;
      samples += score.samples;
      scored = true;
    }
    t.micro_batch_idx += 1;
  }
  py::dict result;
  result["batches"] = num_batches;
  if (scored) {
    result["samples"] = samples;
    result["loss"] = samples ? loss_sum / double(samples) : 0.0;
    result["accuracy"] = samples ? double(correct) / double(samples) : 0.0;
  }
  co_return std::move(result);
}

// A data source read as one endless stream: each iteration continues where the last
// stopped, and a finished pass starts the next. Training in several calls of
// run_training_loop then walks through the data instead of restarting it every call.
class EpochStream {
 public:
  explicit EpochStream(py::object source) : source_(std::move(source)) {}
  py::object next() {
    std::optional<py::object> item = training::next_starting_again(source_);
    if (!item) throw Error(training::kDrySourceMessage);
    return std::move(*item);
  }

 private:
  PythonBatchSource source_;
};
}  // namespace

void bind_evaluation(TrainerClass& cls, py::module_& m) {
  cls.def(
      "run_evaluation",
      [](py::object self, py::object dataloader, long long num_batches) {
        return async::make_op(run_evaluation(std::move(self), std::move(dataloader), num_batches), "run_evaluation");
      },
      py::arg("dataloader") = py::none(), py::arg("num_batches") = 1,
      "Forward num_batches held-out batches through the pipeline; the last stage returns "
      "{'batches', 'samples', 'loss', 'accuracy'}, other stages {'batches'}.");
  py::class_<EpochStream>(m, "EpochStream",
                          "A data source read as one endless stream of its passes: each iteration goes on\n"
                          "where the last stopped, and a finished pass starts the next. Pass it as the\n"
                          "dataloader of several run_training_loop calls to walk through the data.")
      .def(py::init<py::object>(), py::arg("source"),
           "Wraps any iterable that can be iterated again (a list, a DataLoader); nothing is read yet.")
      .def("__iter__", [](py::object self) { return self; }, "The stream itself.")
      .def("__next__", &EpochStream::next,
           "The next batch, starting a new pass when one ends; raises when a fresh pass yields nothing.");
}

}  // namespace korvane::carrowel
