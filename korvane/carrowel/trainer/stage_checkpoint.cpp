// The stage model's tensors in a checkpoint file: one dict saved with torch.save, which
// torch.load(path, weights_only=True) reads back. Where the file goes, and when, is the
// recovery part's business.
#include "korvane/carrowel/trainer/stage_model.hpp"

#include <pybind11/stl.h>

#include "korvane/common/errors.hpp"

namespace korvane::carrowel {

namespace {
py::module_ torch() { return py::module_::import("torch"); }

// Some torch releases' weights_only loader knows no Python floats, so floats travel as
// float64 scalars: bare where the key says what it is, else wrapped in {"float64": t}.
constexpr const char* kFloatTag = "float64";


// Lists and tuples of `v` rebuilt with `convert` applied to each element.
template <typename F>
py::object map_sequence(py::handle v, F convert) {
  py::list out;
  for (py::handle x : v) out.append(convert(x));
  if (py::isinstance<py::tuple>(v)) return py::tuple(out);
  return out;
}

py::object encode_floats(py::handle v) {
  if (py::isinstance<py::float_>(v)) {
    py::dict d;
    d[kFloatTag] = tensors::float64_scalar(v.cast<double>());
    return d;
  }
  if (py::isinstance<py::dict>(v)) {
    py::dict out;
    for (auto [k, x] : py::reinterpret_borrow<py::dict>(v)) out[k] = encode_floats(x);
    return out;
  }
  if (py::isinstance<py::list>(v) || py::isinstance<py::tuple>(v)) return map_sequence(v, encode_floats);
  return py::reinterpret_borrow<py::object>(v);
}

py::object decode_floats(py::handle v) {
  if (py::isinstance<py::dict>(v)) {
    py::dict d = py::reinterpret_borrow<py::dict>(v);
    if (d.size() == 1 && d.contains(kFloatTag)) return py::float_(tensors::item(d[kFloatTag]));
    py::dict out;
    for (auto [k, x] : d) out[k] = decode_floats(x);
    return out;
  }
  if (py::isinstance<py::list>(v) || py::isinstance<py::tuple>(v)) return map_sequence(v, decode_floats);
  return py::reinterpret_borrow<py::object>(v);
}

py::dict rng_states() {
  py::dict rng;
  rng["torch"] = tensors::cpu_rng_state();
  py::object cuda = torch().attr("cuda");
  if (tensors::cuda_available() && cuda.attr("is_initialized")().cast<bool>()) rng["cuda"] = cuda.attr("get_rng_state_all")();
  rng["python"] = encode_floats(py::module_::import("random").attr("getstate")());  // gauss_next may be a float
  return rng;
}

void set_rng_states(py::dict rng) {
  if (rng.contains("torch")) tensors::set_cpu_rng_state(rng["torch"]);
  if (rng.contains("cuda")) torch().attr("cuda").attr("set_rng_state_all")(rng["cuda"]);
  if (rng.contains("python")) {
    // weights_only loading gives lists where getstate() had tuples.
    py::list parts(decode_floats(rng["python"]));
    py::object state = py::make_tuple(parts[0], py::tuple(parts[1]), parts[2]);
    py::module_::import("random").attr("setstate")(state);
  }
}

py::object optional_item(const py::dict& state, const char* key) {
  return state.contains(key) ? py::object(state[key]) : py::object(py::none());
}
}  // namespace

void StageModel::save(const std::string& path, const StageCounters& c, const LayerAssignment* slice) const {
  py::dict state;
  // Where this slice sits in the whole model, for putting the stages back together.
  // Resuming ignores it. Nothing of one run only (no task id): two runs' files compare equal.
  if (slice) {
    py::dict where;
    where["layer_start"] = slice->layer_start;
    where["layer_end"] = slice->layer_end;
    where["pipeline_position"] = slice->pipeline_position;
    where["first_stage"] = slice->is_first_stage();
    where["last_stage"] = slice->is_last_stage();
    state["slice"] = where;
  }
  state["layers"] = layers_.attr("state_dict")();
  state["micro_batch_idx"] = c.micro_batch_idx;
  state["step"] = c.step;
  state["last_loss"] = c.last_loss ? tensors::float64_scalar(*c.last_loss) : py::object(py::none());
  state["batches_drawn"] = c.batches_drawn;
  state["source_spent"] = c.source_spent;
  state["losses"] = tensors::float64_vector(c.losses);
  state["optimizer"] = plain_optimizer_.is_none() ? py::object(py::none())
                                                  : encode_floats(plain_optimizer_.attr("state_dict")());
  state["lr_scheduler"] = scheduler_.is_none() ? py::object(py::none()) : encode_floats(scheduler_.attr("state_dict")());
  state["metrics_step"] = c.metrics_step;
  py::dict counters;  // per-layer counters that live outside the state_dict
  py::list layers(layers_);
  for (size_t i = 0; i < layers.size(); ++i)
    if (py::hasattr(layers[i], "update_count")) counters[py::str(std::to_string(i))] = layers[i].attr("update_count");
  state["layer_counters"] = counters;
  state["rng"] = rng_states();
  torch().attr("save")(state, path);
}

StageCounters StageModel::load(const std::string& path) {
  py::dict state = torch().attr("load")(path, py::arg("map_location") = device_, py::arg("weights_only") = true);
  for (const char* key : {"layers", "micro_batch_idx", "step"})
    if (!state.contains(key)) throw ValueError("checkpoint " + path + " lacks '" + key + "'");

  discard_pending();  // nothing of an unfinished step survives a roll-back
  tape_ = py::none();
  layers_.attr("load_state_dict")(state["layers"]);
  py::list layers(layers_);
  if (state.contains("layer_counters")) {
    py::dict counters = state["layer_counters"];
    for (size_t i = 0; i < layers.size(); ++i)
      if (py::str key(std::to_string(i)); counters.contains(key)) layers[i].attr("update_count") = counters[key];
  }
  // Gradients a plain layer summed in an unfinished step belong to the abandoned future.
  for (py::handle p : tensors::parameters_of(layers_)) tensors::set_grad(p, py::none());

  py::object opt = optional_item(state, "optimizer");
  plain_optimizer_ = py::none();  // without a saved state: built afresh at the next update, as it was then
  plain_params_ = py::none();
  scheduler_ = py::none();
  if (!opt.is_none() && !factory_.is_none()) {
    optimizer_for(plain_parameters());  // and its schedule, which sets the rates of step 0 ...
    plain_optimizer_.attr("load_state_dict")(decode_floats(opt));  // ... that the saved state replaces
    py::object sched = optional_item(state, "lr_scheduler");
    if (!sched.is_none() && !scheduler_.is_none()) scheduler_.attr("load_state_dict")(decode_floats(sched));
  }
  if (state.contains("rng")) set_rng_states(state["rng"]);

  StageCounters c;
  c.micro_batch_idx = state["micro_batch_idx"].cast<long long>();
  c.step = state["step"].cast<long long>();
  py::object last = optional_item(state, "last_loss");
  if (!last.is_none()) c.last_loss = tensors::item(last);
  if (state.contains("batches_drawn")) c.batches_drawn = state["batches_drawn"].cast<long long>();
  if (state.contains("source_spent")) c.source_spent = state["source_spent"].cast<bool>();
  c.metrics_step = state.contains("metrics_step") ? state["metrics_step"].cast<long long>() : c.step;
  if (state.contains("losses")) c.losses = tensors::float64_values(state["losses"]);
  return c;
}

}  // namespace korvane::carrowel
