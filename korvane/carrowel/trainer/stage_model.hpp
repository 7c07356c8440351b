// The stage's slice of the model, and every Python and torch object the trainer keeps for
// it: the layers, the caller's optimizer factory and the optimizer built from it, the
// autograd tape of autograd_backward, the last stage's loss, and the tensors of a
// checkpoint in their file format. The rest of the trainer holds plain values and asks
// this part for anything that touches a tensor. The tensor arithmetic itself runs in
// _carrowel_torch, through the operations of stage_tensor_ops.hpp installed at import;
// layers, optimizers and torch.save/torch.load stay Python calls.
//
// Thread: the event-loop thread, with the GIL held; nothing here suspends.
// Errors: torch's and the layers' own, as py::error_already_set; Error for a misuse (a
// backward with autograd_backward and no forward before it); TypeError where a tensor
// is due and something else came; ValueError for a checkpoint file that lacks what it
// must hold.
#pragma once
#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

#include "korvane/carrowel/trainer/layer_assignment.hpp"

namespace korvane::carrowel {
namespace py = pybind11;

// What a checkpoint keeps beside the tensors: the counters and the loop's place.
struct StageCounters {
  long long micro_batch_idx = 0;
  long long step = 0;                // steps completed
  std::optional<double> last_loss;
  long long batches_drawn = 0;       // batches taken from the data source since the loop began
  bool source_spent = false;         // the source turned out to hold no batch
  std::vector<double> losses;        // the step losses so far
  long long metrics_step = 0;        // the number the next metrics record gets
};

// One batch of a data source, on the stage's device: (input, labels), None where absent.
struct Batch {
  py::object input_data = py::none();
  py::object labels = py::none();
};

class StageModel {
 public:
  explicit StageModel(std::string device);

  // The layers: a list before provisioning, then an nn.ModuleList (or whatever a caller puts there).
  const py::object& layers() const { return layers_; }
  void set_layers(py::object layers) { layers_ = std::move(layers); }
  const std::string& device() const { return device_; }
  void set_device(std::string device) { device_ = std::move(device); }

  bool autograd_backward = false;  // true vector-Jacobian products for plain layers
  // The factory params -> optimizer, or None for plain SGD; a new one is built at the next update.
  const py::object& optimizer_factory() const { return factory_; }
  void set_optimizer_factory(py::object factory);
  const py::object& plain_optimizer() const { return plain_optimizer_; }
  // The factory optimizer -> scheduler, or None; built with each optimizer, stepped once per update.
  const py::object& scheduler_factory() const { return scheduler_factory_; }
  void set_scheduler_factory(py::object factory);
  const py::object& scheduler() const { return scheduler_; }
  // loss_fn(output, labels) -> a one-element tensor, in place of the cross entropy (the
  // mean of the output without labels); None: the default.
  py::object loss_fn = py::none();

  // Where the slice sits (pipeline position, global index of its first layer): an error of
  // a layer's forward names the stage, the layer and its type. Position -1: not known.
  void set_place(long long position, long long first_layer);

  // The stage's computation, on one tensor or a tuple, list or dict of them (see
  // boundary_value.hpp); integer and bool entries take no part in the backward. forward keeps the tape (autograd_backward) for the backward
  // of the same micro-batch; update applies and clears the gradients summed so far.
  py::object forward(py::object x);
  py::object backward(py::object grad_output);
  void update(double lr, bool loss_decreased);

  // The tape of the last forward, handed to the step that keeps it per micro-batch.
  py::object take_tape();
  void restore_tape(py::object tape) { tape_ = std::move(tape); }

  // The last stage's loss of one micro-batch and the gradient of the stage's output,
  // the loss scaled by 1/m before its backward so the step's gradients are a mean.
  struct Scored {
    py::object grad_output;
    double loss;
  };
  Scored loss_backward(py::object input, py::object output, py::object labels, long long m);

  // Whether every gradient the plain layers summed so far is finite (none counts as
  // finite); whether every floating parameter of the slice is. One sum per tensor, read
  // back once: a NaN or an infinity anywhere makes the total non-finite, and so does a
  // sum too large for its type, as an update that large would be.
  bool gradients_finite() const;
  bool parameters_finite() const;
  // The same test for a relayed activation or gradient (every floating entry of a
  // structure); true for None and for integer tensors.
  static bool finite(py::handle tensor);
  // Forgets the gradients the plain layers summed, so that no update applies them; int8
  // layers keep theirs (they drop a non-finite update themselves).
  void discard_plain_gradients();
  // The sum of the squares of the plain layers' gradients (what the optimizer sees),
  // each gradient's norm taken as torch's clip_grad_norm_ takes it; 0 without gradients.
  double plain_squared_norm() const;
  // Multiplies the plain layers' gradients by `factor`, in place.
  void scale_plain_gradients(double factor);

  // Layers that keep state between forward, backward and update forget what an
  // unfinished step left; after a failed step the summed gradients go too.
  void discard_pending();
  void discard_step_gradients();

  // A first stage's input when the caller gives none: randn(2, 512, 768) on the device.
  py::object random_input() const;
  // Marks the floating entries of a stage input as needing their gradient; returns the rows
  // (samples) of its first tensor, or -1.
  static long long begin_pass(py::handle x);
  static long long tensor_bytes(py::handle x);
  // A tuple or list is (input, labels, ignored...), anything else is the input; on the device.
  Batch split_batch(py::object batch) const;

  long long layer_count() const;
  long long parameter_count() const;
  long long parameter_bytes() const;
  void move_to_device();

  // Writes the stage's tensors and `counters` to `path` with torch.save, in a form that
  // torch.load(path, weights_only=True) reads.
  // `slice`, when given, is recorded too (the layer range, the position, whether first or
  // last), so that the stages' files can be put back together into one model.
  void save(const std::string& path, const StageCounters& counters, const LayerAssignment* slice = nullptr) const;
  // Loads such a file in place (layers, optimizer state, per-layer counters, random
  // generator states) and returns the counters it kept.
  StageCounters load(const std::string& path);

 private:
  py::object forward_with_tape(py::object x);
  py::object backward_with_tape(py::object g);
  py::object call_layer(py::handle layer, py::handle x, size_t index) const;
  void backward_entries(py::handle out, py::handle g) const;
  py::list plain_parameters() const;
  py::object optimizer_for(const py::list& params);

  std::string device_;
  py::object layers_;
  py::object factory_;          // None: plain SGD
  py::object plain_optimizer_;  // what the factory built, for plain_params_
  py::object plain_params_;
  py::object scheduler_factory_;  // None: no schedule
  py::object scheduler_;          // what it built for plain_optimizer_
  py::object tape_;             // autograd_backward: the segments of the last forward, or None
  long long position_ = -1;
  long long first_layer_ = 0;
};

// The torch operations the trainer repeats, one named helper each, so that every part
// goes through the stage model for them. Before the operations are installed (no torch)
// each raises ImportError, and cuda_available() is false.
namespace tensors {
py::object detached(py::handle x);
py::object on_device(py::handle x, const std::string& device);
double item(py::handle x);
py::object grad_of(py::handle x);  // None when it has none
void set_grad(py::handle x, py::object grad);
void require_grad(py::handle x);
py::iterable parameters_of(py::handle layer);
bool cuda_available();
// float64 tensors as a checkpoint keeps numbers: a 0-dim one, a 1-dim one, and back.
py::object float64_scalar(double v);
py::object float64_vector(const std::vector<double>& values);
std::vector<double> float64_values(py::handle t);
// torch.get_rng_state() and torch.set_rng_state(state).
py::object cpu_rng_state();
void set_cpu_rng_state(py::handle state);

// Gradient recording off for one scope; the previous mode comes back however it ends.
// Nothing in the scope may suspend: another task of the event loop would run without it.
class NoGrad {
 public:
  NoGrad();
  ~NoGrad();
  NoGrad(const NoGrad&) = delete;
  NoGrad& operator=(const NoGrad&) = delete;

 private:
  bool was_enabled_;
};
}  // namespace tensors

// A held-out batch of the last stage: its summed cross-entropy, right answers and rows.
struct BatchScore {
  double loss_sum = 0.0;
  long long correct = 0;
  long long samples = 0;
};
BatchScore score_batch(py::handle output, py::handle labels, const std::string& device);
// The same with the caller's loss_fn: the batch's loss weighted by its label count, and
// the right answers only where they mean something (integer labels, one per row of
// class scores); `has_correct` says so.
struct UserBatchScore {
  BatchScore score;
  bool has_correct = false;
};
UserBatchScore score_batch_with(py::handle loss_fn, py::handle output, py::handle labels, const std::string& device);

// Installs the tensor operations from _carrowel_torch.stage_ops(); until then every
// tensor operation raises ImportError. TypeError for another capsule, ImportError for
// operations of another version.
void install_stage_tensor_ops(py::handle capsule);

// Python's name for the type of a value (NoneType, int, ...), for TypeError messages.
std::string python_type_name(py::handle value);

}  // namespace korvane::carrowel
