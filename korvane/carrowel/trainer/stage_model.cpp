#include "korvane/carrowel/trainer/stage_model.hpp"

#include "korvane/common/errors.hpp"

namespace korvane::carrowel {

namespace {
constexpr double kInt8WeightDecay = 0.01;  // a constant of the update, given to int8 layers only

py::module_ torch() { return py::module_::import("torch"); }

bool is_int8_backward(py::handle layer) { return py::hasattr(layer, "backward_zeb"); }
bool is_int8_update(py::handle layer) { return py::hasattr(layer, "update_from_gradient"); }
}  // namespace

namespace tensors {
py::object detached(py::handle x) { return x.attr("detach")(); }
py::object on_device(py::handle x, const std::string& device) { return x.attr("to")(device); }
double item(py::handle x) { return x.attr("item")().cast<double>(); }
py::object grad_of(py::handle x) { return x.attr("grad"); }
void set_grad(py::handle x, py::object grad) { x.attr("grad") = std::move(grad); }
void require_grad(py::handle x) { x.attr("requires_grad_")(true); }
py::iterable parameters_of(py::handle layer) { return layer.attr("parameters")(); }
bool cuda_available() { return torch().attr("cuda").attr("is_available")().cast<bool>(); }

NoGrad::NoGrad() : was_enabled_(torch().attr("is_grad_enabled")().cast<bool>()) {
  torch().attr("set_grad_enabled")(false);
}
NoGrad::~NoGrad() {
  try {
    torch().attr("set_grad_enabled")(was_enabled_);
  } catch (py::error_already_set&) {
  }
}
}  // namespace tensors
using namespace tensors;

BatchScore score_batch(py::handle output, py::handle labels, const std::string& device) {
  py::object flat = detached(output).attr("view")(-1, output.attr("size")(-1));
  py::object target = on_device(labels, device).attr("view")(-1);
  py::object f = torch().attr("nn").attr("functional");
  BatchScore s;
  s.loss_sum = item(f.attr("cross_entropy")(flat, target, py::arg("reduction") = "sum"));
  s.correct = static_cast<long long>(item(flat.attr("argmax")(-1).attr("eq")(target).attr("sum")()));
  s.samples = target.attr("numel")().cast<long long>();
  return s;
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
      x = layer(detached(x));
      tape.append(py::make_tuple(layer));
      ++i;
      continue;
    }
    py::object leaf = detached(x);
    require_grad(leaf);
    x = leaf;
    for (; i < n && !is_int8_backward(layers[i]); ++i) x = layers[i](x);
    tape.append(py::make_tuple(leaf, x));
  }
  tape_ = tape;
  return x;
}

py::object StageModel::forward(py::object x) {
  tape_ = py::none();
  if (autograd_backward && torch().attr("is_grad_enabled")().cast<bool>()) return forward_with_tape(std::move(x));
  py::object layers = layers_;  // with no layers the input itself comes back
  for (py::handle layer : layers) x = layer(x);
  return x;
}

py::object StageModel::backward_with_tape(py::object g) {
  if (tape_.is_none())
    throw Error("backward_stage with autograd_backward needs a forward_stage of the same micro-batch before it, "
                "run with gradient recording on");
  py::list tape(std::exchange(tape_, py::none()));  // one backward per forward
  py::object autograd = torch().attr("autograd");
  for (size_t i = py::len(tape); i-- > 0;) {
    py::tuple seg(tape[i]);
    if (seg.size() == 1) {
      g = seg[0].attr("backward_zeb")(g);
      continue;
    }
    py::object leaf = seg[0], out = seg[1];
    if (out.attr("requires_grad").cast<bool>()) autograd.attr("backward")(out, py::arg("grad_tensors") = g);
    py::object grad = grad_of(leaf);
    g = grad.is_none() ? torch().attr("zeros_like")(leaf) : grad;  // no path from input to output: zero
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
      require_grad(g);
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
    NoGrad no_grad;
    for (py::handle p : parameters_of(layer)) {
      py::object grad = grad_of(p);
      if (grad.is_none()) continue;
      p.attr("sub_")(grad.attr("__mul__")(lr));
      grad.attr("zero_")();
    }
  }
  if (!own_optimizer) return;
  // The optimizer's own learning rate drives the plain layers; `lr` went to the int8 ones.
  py::object opt = optimizer_for(params);
  if (opt.is_none()) return;
  opt.attr("step")();
  opt.attr("zero_grad")();
}

py::object StageModel::take_tape() { return std::exchange(tape_, py::none()); }

namespace {
py::object loss_of(py::object output, py::object labels) {
  if (labels.is_none()) return output.attr("mean")();
  py::object criterion = torch().attr("nn").attr("CrossEntropyLoss")();
  py::object classes = output.attr("size")(-1);
  return criterion(output.attr("view")(-1, classes), labels.attr("view")(-1));
}
}  // namespace

StageModel::Scored StageModel::loss_backward(py::object input, py::object output, py::object labels, long long m) {
  // With autograd_backward the loss backward stops at the stage's output, and the
  // stage's backward carries the gradient through the slice.
  py::object scored = output;
  if (autograd_backward) {
    scored = detached(output);
    require_grad(scored);
  }
  py::object loss = loss_of(scored, std::move(labels));
  py::object scaled = m > 1 ? loss.attr("__truediv__")(double(m)) : loss;
  py::object grad_output;
  if (autograd_backward) {
    scaled.attr("backward")();
    grad_output = grad_of(scored);
  } else {
    // The input may be the caller's tensor, reused step after step: its grad
    // accumulates. The backward gets this micro-batch's gradient only; the caller's
    // tensor still ends up holding the sum, as autograd would leave it.
    py::object earlier = grad_of(input);
    set_grad(input, py::none());
    scaled.attr("backward")();
    grad_output = grad_of(input);
    if (!earlier.is_none())
      set_grad(input, grad_output.is_none() ? earlier : earlier.attr("__add__")(grad_output));
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
  return torch().attr("randn")(2, 512, 768, py::arg("device") = device_);
}

long long StageModel::begin_pass(py::handle x) {
  require_grad(x);
  return x.attr("dim")().cast<long long>() > 0 ? x.attr("size")(0).cast<long long>() : -1;
}

long long StageModel::tensor_bytes(py::handle x) {
  return x.attr("numel")().cast<long long>() * x.attr("element_size")().cast<long long>();
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
  b.input_data = on_device(b.input_data, device_);
  if (!b.labels.is_none()) b.labels = on_device(b.labels, device_);
  return b;
}

long long StageModel::layer_count() const { return static_cast<long long>(py::len(layers_)); }

long long StageModel::parameter_count() const {
  long long total = 0;
  for (py::handle layer : layers_)
    for (py::handle p : parameters_of(layer)) total += p.attr("numel")().cast<long long>();
  return total;
}

long long StageModel::parameter_bytes() const {
  long long total = 0;
  for (py::handle layer : layers_)
    for (py::handle p : parameters_of(layer)) total += tensor_bytes(p);
  return total;
}

void StageModel::move_to_device() {
  for (py::handle layer : layers_) on_device(layer, device_);  // moves in place; result unused
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
