#include "korvane/carrowel/trainer/stage_model.hpp"

#include <pybind11/stl.h>

#include "korvane/carrowel/trainer/boundary_value.hpp"
#include "korvane/carrowel/trainer/stage_tensor_ops.hpp"
#include "korvane/common/errors.hpp"

namespace korvane::carrowel {

namespace {
constexpr double kInt8WeightDecay = 0.01;  // a constant of the update, given to int8 layers only

// Installed at import from _carrowel_torch, which stays loaded for the life of the process.
const StageTensorOps* installed_ops = nullptr;

const StageTensorOps& ops() {
  if (!installed_ops) throw ImportError("PyTorch required for the stage's tensor operations");
  return *installed_ops;
}

// The result of an operation: its new reference, or the Python error it set.
py::object checked(PyObject* result) {
  if (!result) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}
void checked(bool ok) {
  if (!ok) throw py::error_already_set();
}

TensorFacts facts_of(py::handle x) {
  TensorFacts f;
  checked(ops().facts(x.ptr(), &f));
  return f;
}

bool is_int8_backward(py::handle layer) { return py::hasattr(layer, "backward_zeb"); }
bool is_int8_update(py::handle layer) { return py::hasattr(layer, "update_from_gradient"); }

// A segment's input leaf: each entry detached, the floating ones recording their gradient
// (token ids and masks carry none).
py::object detached_leaf(py::handle x) {
  return map_boundary(x, [](py::handle e) {
    py::object d = tensors::detached(e);
    if (is_floating_tensor(d)) tensors::require_grad(d);
    return d;
  });
}
}  // namespace

void install_stage_tensor_ops(py::handle capsule) {
  if (!PyCapsule_IsValid(capsule.ptr(), kStageTensorOpsCapsule))
    throw TypeError("_install_stage_tensor_ops expects the capsule from _carrowel_torch.stage_ops()");
  auto* given = static_cast<const StageTensorOps*>(PyCapsule_GetPointer(capsule.ptr(), kStageTensorOpsCapsule));
  if (given->version() != kStageTensorOpsVersion) {
    throw ImportError("_carrowel_torch provides stage tensor operations version " + std::to_string(given->version()) +
                      ", _carrowel needs " + std::to_string(kStageTensorOpsVersion) + ": rebuild both modules");
  }
  capsule.inc_ref();  // kept for the life of the process, as the module that holds the operations
  installed_ops = given;
}

namespace tensors {
py::object detached(py::handle x) { return checked(ops().detach(x.ptr())); }
py::object on_device(py::handle x, const std::string& device) {
  return checked(ops().to_device(x.ptr(), device.c_str()));
}
double item(py::handle x) {
  double v = 0.0;
  checked(ops().item(x.ptr(), &v));
  return v;
}
py::object grad_of(py::handle x) { return checked(ops().grad(x.ptr())); }
void set_grad(py::handle x, py::object grad) { checked(ops().set_grad(x.ptr(), grad.ptr())); }
void require_grad(py::handle x) { checked(ops().require_grad(x.ptr())); }
py::iterable parameters_of(py::handle layer) { return layer.attr("parameters")(); }
bool cuda_available() { return installed_ops && installed_ops->cuda_available(); }

py::object float64_scalar(double v) { return checked(ops().float64_tensor(&v, 1, true)); }
py::object float64_vector(const std::vector<double>& values) {
  return checked(ops().float64_tensor(values.data(), static_cast<std::int64_t>(values.size()), false));
}
std::vector<double> float64_values(py::handle t) { return checked(ops().float64_list(t.ptr())).cast<std::vector<double>>(); }
py::object cpu_rng_state() { return checked(ops().cpu_rng_state()); }
void set_cpu_rng_state(py::handle state) { checked(ops().set_cpu_rng_state(state.ptr())); }

NoGrad::NoGrad() : was_enabled_(ops().grad_enabled()) { ops().set_grad_enabled(false); }
NoGrad::~NoGrad() { installed_ops->set_grad_enabled(was_enabled_); }  // set when the constructor ran
}  // namespace tensors
using namespace tensors;

BatchScore score_batch(py::handle output, py::handle labels, const std::string& device) {
  py::object target = on_device(labels, device);
  BatchTally tally;
  checked(ops().score(output.ptr(), target.ptr(), &tally));
  return {tally.loss_sum, tally.correct, tally.samples};
}

StageModel::StageModel(std::string device)
    : device_(std::move(device)),
      layers_(py::list()),
      factory_(py::none()),
      plain_optimizer_(py::none()),
      plain_params_(py::none()),
      tape_(py::none()) {}

void StageModel::set_optimizer_factory(py::object factory) {
  factory_ = std::move(factory);
  plain_optimizer_ = py::none();  // built again from the new factory at the next update
  plain_params_ = py::none();
}

void StageModel::set_place(long long position, long long first_layer) {
  position_ = position;
  first_layer_ = first_layer;
}

// A layer's error names where it happened ("stage 1, layer 7 (Block): ..."), so that the
// user reading one trainer's failure, or a neighbour told of it, finds the layer. The
// exception keeps its type and traceback; only its message gains the place.
py::object StageModel::call_layer(py::handle layer, py::handle x, size_t index) const {
  try {
    return layer(x);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;  // KeyboardInterrupt, cancellation: as they are
    std::string place = "layer " + std::to_string(first_layer_ + static_cast<long long>(index)) + " (" +
                        python_type_name(layer) + ")";
    if (position_ >= 0) place = "stage " + std::to_string(position_) + ", " + place;
    py::object exc = e.value();
    py::tuple args = exc.attr("args");
    if (py::len(args) >= 1 && py::isinstance<py::str>(args[0])) {
      py::list changed(args);
      changed[0] = py::str(place + ": ") + py::str(args[0]);
      exc.attr("args") = py::tuple(changed);
    } else if (py::hasattr(exc, "add_note")) {
      exc.attr("add_note")("in " + place);
    }
    throw;
  }
}

// torch.autograd.backward over the floating entries of a structured output that recorded
// a graph, each with the entry of the gradient at the same place (None: no gradient came).
void StageModel::backward_entries(py::handle out, py::handle g) const {
  std::vector<py::object> outs = boundary_entries(out), grads = boundary_entries(g);
  if (outs.size() != grads.size())
    throw ValueError("the gradient has " + std::to_string(grads.size()) + " entries, the stage's output " +
                     std::to_string(outs.size()));
  py::list tensors, grad_tensors;
  for (size_t i = 0; i < outs.size(); ++i) {
    if (grads[i].is_none() || !is_floating_tensor(outs[i])) continue;
    const int recorded = ops().requires_grad(outs[i].ptr());
    if (recorded < 0) throw py::error_already_set();
    if (!recorded) continue;
    tensors.append(outs[i]);
    grad_tensors.append(grads[i]);
  }
  if (py::len(tensors) == 0) return;
  py::module_::import("torch").attr("autograd").attr("backward")(tensors, py::arg("grad_tensors") = grad_tensors);
}

// autograd_backward: the slice runs as segments, each a maximal run of plain layers or
// one int8 layer, and every segment starts from a detached copy of its input. The tape
// keeps, per segment, (input leaf, output) of a plain run or (int8 layer,): enough for
// the backward to compute the plain runs' true vector-Jacobian products through autograd
// while int8 layers keep their own backward. Detaching also means that no round's
// gradient lands in a tensor the caller owns.
py::object StageModel::forward_with_tape(py::object x) {
  py::list layers(layers_);
  py::list tape;
  const size_t n = py::len(layers);
  for (size_t i = 0; i < n;) {
    py::handle layer = layers[i];
    if (is_int8_backward(layer)) {
      x = call_layer(layer, map_boundary(x, detached), i);
      tape.append(py::make_tuple(layer));
      ++i;
      continue;
    }
    py::object leaf = detached_leaf(x);
    x = leaf;
    for (; i < n && !is_int8_backward(layers[i]); ++i) x = call_layer(layers[i], x, i);
    tape.append(py::make_tuple(leaf, x));
  }
  tape_ = tape;
  return x;
}

py::object StageModel::forward(py::object x) {
  tape_ = py::none();
  if (autograd_backward && ops().grad_enabled()) return forward_with_tape(std::move(x));
  py::object layers = layers_;  // with no layers the input itself comes back
  size_t i = 0;
  for (py::handle layer : layers) x = call_layer(layer, x, i++);
  return x;
}

py::object StageModel::backward_with_tape(py::object g) {
  if (tape_.is_none())
    throw Error("backward_stage with autograd_backward needs a forward_stage of the same micro-batch before it, "
                "run with gradient recording on");
  py::list tape(std::exchange(tape_, py::none()));  // one backward per forward
  for (size_t i = py::len(tape); i-- > 0;) {
    py::tuple seg(tape[i]);
    if (seg.size() == 1) {
      g = seg[0].attr("backward_zeb")(g);
      continue;
    }
    py::object leaf = seg[0], out = seg[1];
    if (!is_boundary_structure(out) && !is_boundary_structure(g) && !is_boundary_structure(leaf)) {
      const int recorded = ops().requires_grad(out.ptr());
      if (recorded < 0) throw py::error_already_set();
      if (recorded) checked(ops().backward(out.ptr(), g.ptr()));
      if (!is_floating_tensor(leaf)) {  // token ids: nothing to hand upstream
        g = py::none();
        continue;
      }
      py::object grad = grad_of(leaf);
      g = grad.is_none() ? checked(ops().zeros_like(leaf.ptr())) : grad;  // no path from input to output: zero
      continue;
    }
    backward_entries(out, g);
    g = map_boundary(leaf, [](py::handle e) -> py::object {
      if (!is_floating_tensor(e)) return py::none();  // integer and bool entries carry no gradient
      py::object grad = grad_of(e);
      return grad.is_none() ? checked(ops().zeros_like(e.ptr())) : grad;
    });
  }
  return g;
}

py::object StageModel::backward(py::object g) {
  if (autograd_backward) return backward_with_tape(std::move(g));
  py::list layers(layers_);
  for (size_t i = py::len(layers); i-- > 0;) {
    py::handle layer = layers[i];
    if (is_int8_backward(layer)) {
      g = layer.attr("backward_zeb")(g);
    } else {
      // A plain layer passes the gradient on untouched; its parameters get theirs from
      // the loss backward of the last stage.
      if (g.is_none()) continue;  // token ids: no gradient to hand on
      if (!is_boundary_structure(g)) {
        require_grad(g);
        continue;
      }
      for (const py::object& e : boundary_entries(g))
        if (is_floating_tensor(e)) require_grad(e);
    }
  }
  return g;
}

// The caller's optimizer over every parameter of the plain layers, built at the first
// update and again whenever that set of parameters changes (layers replaced or added).
py::object StageModel::optimizer_for(const py::list& params) {
  bool same = !plain_params_.is_none() && py::len(plain_params_) == py::len(params);
  if (same) {
    py::list known(plain_params_);
    for (size_t i = 0; same && i < py::len(params); ++i) same = known[i].is(params[i]);
  }
  if (!same) {
    plain_optimizer_ = py::len(params) ? factory_(params) : py::none();
    plain_params_ = params;
  }
  return plain_optimizer_;
}

void StageModel::update(double lr, bool loss_decreased) {
  py::list layers(layers_);
  const bool own_optimizer = !factory_.is_none();
  py::list params;
  for (py::handle layer : layers) {
    if (is_int8_update(layer)) {
      layer.attr("update_from_gradient")(py::arg("lr") = lr, py::arg("weight_decay") = kInt8WeightDecay,
                                         py::arg("loss_decreased") = loss_decreased);
      continue;
    }
    if (own_optimizer) {
      for (py::handle p : parameters_of(layer)) params.append(p);
      continue;
    }
    // Plain SGD, no decay, no momentum; an error leaves earlier layers updated.
    for (py::handle p : parameters_of(layer)) checked(ops().sgd_step(p.ptr(), lr));
  }
  if (!own_optimizer) return;
  // The optimizer's own learning rate drives the plain layers; `lr` went to the int8 ones.
  py::object opt = optimizer_for(params);
  if (opt.is_none()) return;
  opt.attr("step")();
  opt.attr("zero_grad")();
}

py::object StageModel::take_tape() { return std::exchange(tape_, py::none()); }

StageModel::Scored StageModel::loss_backward(py::object input, py::object output, py::object labels, long long m) {
  // With autograd_backward the loss backward stops at the stage's output, and the
  // stage's backward carries the gradient through the slice.
  if (is_boundary_structure(output))
    throw TypeError("the last stage's output is a " + python_type_name(output) +
                    ": the loss is computed on one tensor (the logits); end the model with a layer that returns one");
  py::object scored = output;
  if (autograd_backward) {
    scored = detached(output);
    require_grad(scored);
  }
  py::object loss = checked(ops().loss(scored.ptr(), labels.ptr()));
  py::object scaled = m > 1 ? checked(ops().divide(loss.ptr(), double(m))) : loss;
  py::object grad_output;
  if (autograd_backward) {
    checked(ops().backward(scaled.ptr(), nullptr));
    grad_output = grad_of(scored);
  } else {
    // The input may be the caller's tensor, reused step after step: its grad
    // accumulates. The backward gets this micro-batch's gradient only; the caller's
    // tensor still ends up holding the sum, as autograd would leave it.
    // Every tensor entry of a structured input is treated alike.
    std::vector<py::object> inputs = boundary_entries(input), earlier(inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
      if (inputs[i].is_none()) continue;
      earlier[i] = grad_of(inputs[i]);
      set_grad(inputs[i], py::none());
    }
    checked(ops().backward(scaled.ptr(), nullptr));
    std::vector<py::object> grads(inputs.size(), py::none());
    for (size_t i = 0; i < inputs.size(); ++i) {
      if (inputs[i].is_none()) continue;
      grads[i] = grad_of(inputs[i]);
      if (!earlier[i].is_none())
        set_grad(inputs[i], grads[i].is_none() ? earlier[i] : checked(ops().add(earlier[i].ptr(), grads[i].ptr())));
    }
    grad_output = rebuild_boundary(input, grads);
  }
  return {grad_output, item(loss)};
}

void StageModel::discard_pending() {
  for (py::handle layer : layers_)
    if (py::hasattr(layer, "discard_pending")) layer.attr("discard_pending")();
}

void StageModel::discard_step_gradients() {
  discard_pending();
  tape_ = py::none();
  for (py::handle layer : layers_) {
    if (is_int8_update(layer)) continue;
    for (py::handle p : parameters_of(layer)) set_grad(p, py::none());
  }
}

py::object StageModel::random_input() const {
  const std::int64_t sizes[] = {2, 512, 768};
  return checked(ops().randn(sizes, 3, device_.c_str()));
}

long long StageModel::begin_pass(py::handle x) {
  // Only floating entries can record a gradient: token ids and masks stay as they are.
  long long rows = -1;
  for (const py::object& e : boundary_entries(x)) {
    if (e.is_none()) continue;
    const TensorFacts f = facts_of(e);  // TypeError for an entry that is no tensor
    if (is_floating_tensor(e)) require_grad(e);
    if (rows < 0) rows = f.rows;
  }
  return rows;
}

long long StageModel::tensor_bytes(py::handle x) {
  long long total = 0;
  for (const py::object& e : boundary_entries(x)) {
    if (e.is_none()) continue;
    const TensorFacts f = facts_of(e);
    total += f.numel * f.element_size;
  }
  return total;
}

Batch StageModel::split_batch(py::object batch) const {
  Batch b;
  if (py::isinstance<py::tuple>(batch) || py::isinstance<py::list>(batch)) {
    py::sequence seq = batch;
    if (seq.size() == 0) throw ValueError("a batch of the data source is an empty " + python_type_name(batch));
    b.input_data = seq[0];
    if (seq.size() > 1) b.labels = seq[1];
  } else {
    b.input_data = std::move(batch);
  }
  b.input_data = map_boundary(b.input_data, [this](py::handle e) { return on_device(e, device_); });
  if (!b.labels.is_none()) b.labels = on_device(b.labels, device_);
  return b;
}

long long StageModel::layer_count() const { return static_cast<long long>(py::len(layers_)); }

long long StageModel::parameter_count() const {
  long long total = 0;
  for (py::handle layer : layers_)
    for (py::handle p : parameters_of(layer)) total += facts_of(p).numel;
  return total;
}

long long StageModel::parameter_bytes() const {
  long long total = 0;
  for (py::handle layer : layers_)
    for (py::handle p : parameters_of(layer)) total += tensor_bytes(p);
  return total;
}

void StageModel::move_to_device() {
  for (py::handle layer : layers_) layer.attr("to")(device_);  // Module.to moves in place
}

py::list StageModel::plain_parameters() const {
  py::list params;  // in the order update() hands them to the optimizer
  for (py::handle layer : py::list(layers_)) {
    if (is_int8_update(layer)) continue;
    for (py::handle p : parameters_of(layer)) params.append(p);
  }
  return params;
}

std::string python_type_name(py::handle value) {
  return py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>();
}

}  // namespace korvane::carrowel
