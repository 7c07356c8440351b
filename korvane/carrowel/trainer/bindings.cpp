// Python face of the trainer: LayerAssignment, OrvynPipelineTrainer's construction and
// fields, _get_client. Each group of operations registers itself (see trainer.hpp).
#include <pybind11/stl.h>

#include <cmath>
#include <tuple>

#include "korvane/carrowel/trainer/bindings.hpp"
#include "korvane/carrowel/trainer/trainer.hpp"
#include "korvane/carrowel/training/checkpoint_directory.hpp"
#include "korvane/carrowel/training/trainer_options.hpp"
#include "korvane/common/async/awaiters.hpp"
#include "korvane/common/async/op.hpp"
#include "korvane/common/errors.hpp"

namespace korvane::carrowel {
using async::make_op;
using async::Task;

namespace {
// The session object _get_client hands out. The coordinator exchanges never use it: each
// opens a connection of its own for one request.
struct ClientSession {
  bool closed = false;
};

std::string text_repr(const std::string& s) { return py::repr(py::str(s)).cast<std::string>(); }
std::string opt_repr(const std::optional<std::string>& s) { return s ? text_repr(*s) : "None"; }

void bind_layer_assignment(py::module_& m) {
  using LA = LayerAssignment;
  py::class_<LA> cls(m, "LayerAssignment", "A stage's slice of the model and its neighbours.");
  cls.def(py::init([](std::string task_id, std::string trainer, long long layer_start, long long layer_end,
                      long long pipeline_position, std::optional<std::string> upstream_trainer,
                      std::optional<std::string> downstream_trainer, std::string layer_weights_hash) {
            return LA{std::move(task_id), std::move(trainer), layer_start, layer_end, pipeline_position,
                      std::move(upstream_trainer), std::move(downstream_trainer), std::move(layer_weights_hash)};
          }),
          py::arg("task_id"), py::arg("trainer"), py::arg("layer_start"), py::arg("layer_end"),
          py::arg("pipeline_position"), py::arg("upstream_trainer"), py::arg("downstream_trainer"),
          py::arg("layer_weights_hash"), "A plain record; absent neighbours mark the first and last stage.")
      .def_readwrite("task_id", &LA::task_id, "The pipeline task.")
      .def_readwrite("trainer", &LA::trainer, "The trainer this slice belongs to.")
      .def_readwrite("layer_start", &LA::layer_start, "First layer of the slice (inclusive).")
      .def_readwrite("layer_end", &LA::layer_end, "End of the slice (exclusive).")
      .def_readwrite("pipeline_position", &LA::pipeline_position, "Position of the stage, from 0.")
      .def_readwrite("upstream_trainer", &LA::upstream_trainer, "The upstream neighbour, or None on the first stage.")
      .def_readwrite("downstream_trainer", &LA::downstream_trainer,
                     "The downstream neighbour, or None on the last stage.")
      .def_readwrite("layer_weights_hash", &LA::layer_weights_hash, "Identifies the slice's weights; may be empty.")
      .def_property_readonly("layer_count", &LA::layer_count, "layer_end - layer_start.")
      .def_property_readonly("is_first_stage", &LA::is_first_stage, "True when there is no upstream neighbour.")
      .def_property_readonly("is_last_stage", &LA::is_last_stage, "True when there is no downstream neighbour.")
      .def("__eq__", [](const LA& a, py::object b) -> py::object {
        if (!py::isinstance<LA>(b)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        return py::bool_(a == b.cast<const LA&>());
      })
      .def("__repr__", [](const LA& a) {
        return "LayerAssignment(task_id=" + text_repr(a.task_id) + ", trainer=" + text_repr(a.trainer) +
               ", layer_start=" + std::to_string(a.layer_start) + ", layer_end=" + std::to_string(a.layer_end) +
               ", pipeline_position=" + std::to_string(a.pipeline_position) +
               ", upstream_trainer=" + opt_repr(a.upstream_trainer) +
               ", downstream_trainer=" + opt_repr(a.downstream_trainer) +
               ", layer_weights_hash=" + text_repr(a.layer_weights_hash) + ")";
      });
  cls.attr("__hash__") = py::none();  // mutable and compared by value, like a dataclass
}

std::string require_text(const char* name, py::handle v) {
  if (!py::isinstance<py::str>(v)) raise_argument_type(name, "str", v);
  return v.cast<std::string>();
}

// The Python types of the keyword options; their values are checked together afterwards.
void recovery_options(training::TrainerOptions& o, py::object dir, py::object every, py::object resume,
                      py::object rejoin_timeout) {
  if (!dir.is_none()) {
    py::object os = py::module_::import("os");
    if (!py::isinstance<py::str>(dir) && !py::isinstance(dir, os.attr("PathLike")))
      raise_argument_type("checkpoint_dir", "str or os.PathLike", dir);
    o.checkpoint_dir = os.attr("fspath")(dir).cast<std::string>();
  }
  if (!py::isinstance<py::int_>(every) || py::isinstance<py::bool_>(every)) raise_argument_type("checkpoint_every", "int", every);
  o.checkpoint_every = every.cast<long long>();
  if (!py::isinstance<py::bool_>(resume)) raise_argument_type("resume", "bool", resume);
  o.resume = resume.cast<bool>();
  if (!PyNumber_Check(rejoin_timeout.ptr()) || py::isinstance<py::bool_>(rejoin_timeout))
    raise_argument_type("rejoin_timeout", "float", rejoin_timeout);
  o.rejoin_timeout = rejoin_timeout.cast<double>();
}

void token_options(training::TrainerOptions& o, py::handle token, py::handle token_file) {
  if (!token.is_none() && !py::isinstance<py::str>(token)) raise_argument_type("token", "str", token);
  if (!token.is_none()) o.token = token.cast<std::string>();
  if (!token_file.is_none()) o.token_file = py::str(py::module_::import("os").attr("fspath")(token_file)).cast<std::string>();
}

// The codecs, the stage asked for and the seed.
void boundary_options(training::TrainerOptions& o, py::handle activation_codec, py::handle gradient_codec,
                      py::handle stage, py::handle seed) {
  if (!activation_codec.is_none()) o.activation_codec = require_text("activation_codec", activation_codec);
  if (!gradient_codec.is_none()) o.gradient_codec = require_text("gradient_codec", gradient_codec);
  for (const auto& [name, value, field] : {std::tuple{"stage", stage, &o.stage}, std::tuple{"seed", seed, &o.seed}}) {
    if (value.is_none()) continue;
    if (!py::isinstance<py::int_>(value) || py::isinstance<py::bool_>(value)) raise_argument_type(name, "int", value);
    *field = value.cast<long long>();
  }
}

// torch's generators (the CPU one and every CUDA device's) and Python's random, which the
// trainer's random input, its demo layers and a checkpoint's generator states draw on.
void seed_generators(long long seed) {
  py::module_::import("torch").attr("manual_seed")(seed);
  py::module_::import("random").attr("seed")(seed);
}

void apply_options(Trainer& t, const training::TrainerOptions& o) {
  t.model.autograd_backward = o.autograd_backward;
  if (o.activation_codec) t.boundary.activation_codec = *o.activation_codec;
  if (o.gradient_codec) t.boundary.gradient_codec = *o.gradient_codec;
  t.boundary.activation_codec_given = o.activation_codec.has_value();
  t.boundary.gradient_codec_given = o.gradient_codec.has_value();
  t.boundary.stage = o.stage;
  if (o.seed) seed_generators(*o.seed);
  t.session.client = client::CoordinatorClient(t.coordinator_url, training::resolve_token(o), async::http_exchange);
  if (o.checkpoint_dir) t.recovery.checkpoints.emplace(*o.checkpoint_dir);
  t.recovery.checkpoint_every = o.checkpoint_every;
  t.recovery.resume = o.resume;
  t.recovery.rejoin = training::RejoinWait(o.rejoin_timeout);
  t.guard.max_nonfinite_steps = o.max_nonfinite_steps;
  if (o.metrics_file) t.metrics.file.emplace(*o.metrics_file);
  // A resumed member presents the secret it was given, so the coordinator lets it retake its id.
  if (t.recovery.resume) t.session.client.set_secret(t.recovery.checkpoints->read_member_secret());
}

Task<py::object> get_client(py::object self) {
  Trainer& t = Trainer::of(self);
  // No suspension between the test and the store: overlapping calls share one session.
  if (t.unused.client.is_none()) t.unused.client = py::cast(ClientSession{});
  co_return t.unused.client;
}

// OrvynPipelineTrainer(...): each argument's Python type first, then the values together.
std::shared_ptr<Trainer> make_trainer(py::object trainer_id, py::object coordinator_url, py::object device,
                                      py::object autograd_backward, py::object optimizer, py::object token,
                                      py::object token_file, py::object metrics_file, py::object checkpoint_dir,
                                      py::object checkpoint_every, py::object resume, py::object rejoin_timeout,
                                      py::object max_nonfinite_steps, py::object activation_codec,
                                      py::object gradient_codec, py::object stage, py::object seed) {
  std::string id = require_text("trainer_id", trainer_id);
  std::string url = require_text("coordinator_url", coordinator_url);
  std::optional<std::string> dev;
  if (!device.is_none()) dev = require_text("device", device);
  if (!py::isinstance<py::bool_>(autograd_backward)) raise_argument_type("autograd_backward", "bool", autograd_backward);
  if (!optimizer.is_none() && !PyCallable_Check(optimizer.ptr()))
    raise_argument_type("optimizer", "a callable params -> torch.optim.Optimizer, or None", optimizer);
  training::TrainerOptions o;
  o.autograd_backward = autograd_backward.cast<bool>();
  token_options(o, token, token_file);
  if (!metrics_file.is_none() && !py::isinstance<py::str>(metrics_file) && !py::hasattr(metrics_file, "__fspath__"))
    raise_argument_type("metrics_file", "str or os.PathLike", metrics_file);
  py::object metrics_path = metrics_file.is_none() ? py::object(py::none())
                                                   : py::module_::import("os").attr("fspath")(metrics_file);
  if (!metrics_path.is_none() && !py::isinstance<py::str>(metrics_path))
    raise_argument_type("metrics_file", "str or os.PathLike", metrics_file);
  if (!metrics_path.is_none()) o.metrics_file = metrics_path.cast<std::string>();
  recovery_options(o, checkpoint_dir, checkpoint_every, resume, rejoin_timeout);
  if (!py::isinstance<py::int_>(max_nonfinite_steps) || py::isinstance<py::bool_>(max_nonfinite_steps))
    raise_argument_type("max_nonfinite_steps", "int", max_nonfinite_steps);
  o.max_nonfinite_steps = max_nonfinite_steps.cast<long long>();
  boundary_options(o, activation_codec, gradient_codec, stage, seed);
  o.check(training::Spelling::keyword);
  auto t = std::make_shared<Trainer>(std::move(id), std::move(url), std::move(dev));
  t->model.set_optimizer_factory(std::move(optimizer));
  apply_options(*t, o);
  return t;
}

void bind_constructor(TrainerClass& cls) {
  cls.def(py::init(&make_trainer), py::arg("trainer_id"), py::arg("coordinator_url") = kDefaultCoordinatorUrl,
          py::arg("device") = py::none(), py::kw_only(), py::arg("autograd_backward") = false,
          py::arg("optimizer") = py::none(), py::arg("token") = py::none(), py::arg("token_file") = py::none(),
          py::arg("metrics_file") = py::none(), py::arg("checkpoint_dir") = py::none(),
          py::arg("checkpoint_every") = 0, py::arg("resume") = false, py::arg("rejoin_timeout") = 0.0,
          py::arg("max_nonfinite_steps") = 3, py::arg("activation_codec") = py::none(),
          py::arg("gradient_codec") = py::none(), py::arg("stage") = py::none(), py::arg("seed") = py::none(),
          "A trainer that contacts nobody until it joins; device defaults to \"cuda\" when usable, else \"cpu\".");
}

// The stage's model and its neighbours: identity, device, layers and how they learn.
void bind_stage_properties(TrainerClass& cls) {
  cls.def_readwrite("trainer_id", &Trainer::trainer_id, "This trainer's identifier.")
      .def_readwrite("coordinator_url", &Trainer::coordinator_url, "The coordinator's base URL.")
      .def_property(
          "device", [](const Trainer& t) { return t.model.device(); },
          [](Trainer& t, std::string v) { t.model.set_device(std::move(v)); },
          "The device of the layers and tensors (\"cpu\", \"cuda\", ...).")
      .def_property(
          "layers", [](const Trainer& t) { return t.model.layers(); },
          [](Trainer& t, py::object v) { t.model.set_layers(std::move(v)); },
          "The layers of this stage: an nn.ModuleList once joined.")
      .def_property(
          "layer_assignment", [](const Trainer& t) { return t.layer_assignment; },
          [](Trainer& t, py::object v) {
            if (!v.is_none() && !py::isinstance<LayerAssignment>(v)) raise_argument_type("layer_assignment", "LayerAssignment", v);
            t.layer_assignment = std::move(v);
          },
          "The LayerAssignment of the join, or None before it.")
      .def_property(
          "autograd_backward", [](const Trainer& t) { return t.model.autograd_backward; },
          [](Trainer& t, bool v) { t.model.autograd_backward = v; },
          "Whether plain layers get their true vector-Jacobian products through autograd.")
      .def_property(
          "optimizer", [](const Trainer& t) { return t.model.optimizer_factory(); },
          [](Trainer& t, py::object v) {
            if (!v.is_none() && !PyCallable_Check(v.ptr()))
              raise_argument_type("optimizer", "a callable params -> torch.optim.Optimizer, or None", v);
            t.model.set_optimizer_factory(std::move(v));
          },
          "The factory params -> torch.optim.Optimizer for the plain layers, or None for plain SGD.")
      .def_property_readonly("_plain_optimizer", [](const Trainer& t) { return t.model.plain_optimizer(); });
}

// Where the run stands, and the recovery settings it was built with.
void bind_run_properties(TrainerClass& cls) {
  cls.def_property_readonly("checkpoint_dir",
                            [](const Trainer& t) -> std::optional<std::string> {
                              if (!t.recovery.checkpoints) return std::nullopt;
                              return t.recovery.checkpoints->path();
                            },
                            "The folder of this trainer's checkpoints, or None: nothing is written to disk.")
      .def_property_readonly("checkpoint_every", [](const Trainer& t) { return t.recovery.checkpoint_every; },
                             "Steps between checkpoints (0: only at the end).")
      .def_property_readonly("rejoin_timeout", [](const Trainer& t) { return t.recovery.rejoin.timeout_s(); },
                             "Seconds to wait for a missing member to rejoin before the run ends (0: fail at once).")
      .def_property_readonly("activation_codec", [](const Trainer& t) { return t.boundary.activation_codec; },
                             "The codec of the activations this trainer sends and receives.")
      .def_property_readonly("gradient_codec", [](const Trainer& t) { return t.boundary.gradient_codec; },
                             "The codec of the gradients this trainer sends and receives.")
      .def_property_readonly("stage", [](const Trainer& t) { return t.boundary.stage; },
                             "The pipeline position asked for at the join, or None: placement by join order.")
      .def_property_readonly("max_nonfinite_steps", [](const Trainer& t) { return t.guard.max_nonfinite_steps; },
                             "Steps in a row whose gradients are not finite (each applies no update) that end the run.")
      .def_readwrite("current_round", &Trainer::current_round, "Rounds completed by the training loop.")
      .def_readwrite("micro_batch_idx", &Trainer::micro_batch_idx,
                     "The number of the next micro-batch, as sent to the coordinator.");
}

// The underscored attributes of the trainer's interface: buffers and a client session
// kept for callers, the exchange time limits, the last loss.
void bind_private_attributes(TrainerClass& cls) {
  cls.def_property(
         "_activation_buffer", [](const Trainer& t) { return t.unused.activation_buffer; },
         [](Trainer& t, py::object v) { t.unused.activation_buffer = std::move(v); })
      .def_property(
          "_grad_buffer", [](const Trainer& t) { return t.unused.grad_buffer; },
          [](Trainer& t, py::object v) { t.unused.grad_buffer = std::move(v); })
      .def_property(
          "_client", [](const Trainer& t) { return t.unused.client; },
          [](Trainer& t, py::object v) { t.unused.client = std::move(v); })
      .def_property(
          "_join_timeout", [](const Trainer& t) { return t.session.join_timeout_s; },
          [](Trainer& t, double v) { t.session.join_timeout_s = v; })
      .def_property(
          "_post_timeout", [](const Trainer& t) { return t.session.post_timeout_s; },
          [](Trainer& t, double v) { t.session.post_timeout_s = v; })
      .def_property(
          "_last_loss",
          [](const Trainer& t) -> double {
            if (!t.last_loss) throw py::attribute_error("'OrvynPipelineTrainer' object has no attribute '_last_loss'");
            return *t.last_loss;
          },
          [](Trainer& t, std::optional<double> v) { t.last_loss = v; })
      .def("_get_client", [](py::object self) { return make_op(get_client(std::move(self)), "_get_client"); });
  // `del trainer._last_loss` makes it absent again.
  cls.def("__delattr__", [](py::object self, py::str name) {
    if (name.cast<std::string>() == "_last_loss") {
      Trainer::of(self).last_loss.reset();
      return;
    }
    if (PyObject_GenericSetAttr(self.ptr(), name.ptr(), nullptr) != 0) throw py::error_already_set();
  });
}
}  // namespace

void bind_trainer(py::module_& m) {
  bind_layer_assignment(m);
  py::class_<ClientSession>(m, "ClientSession", "The trainer's lazily created HTTP client session.")
      .def_readonly("closed", &ClientSession::closed, "Whether the session was closed.");
  m.def("_install_stage_tensor_ops", &install_stage_tensor_ops, py::arg("capsule"),
        "Installs the stage's tensor operations from _carrowel_torch.stage_ops().");

  TrainerClass cls(m, "OrvynPipelineTrainer", py::dynamic_attr(), "One stage of a pipeline-parallel training run.");
  bind_constructor(cls);
  bind_stage_properties(cls);
  bind_run_properties(cls);
  bind_private_attributes(cls);
  cls.def("__repr__", [](const Trainer& t) {
    return "<OrvynPipelineTrainer " + text_repr(t.trainer_id) + " on " + t.model.device() + ">";
  });

  bind_provisioning(cls);
  bind_stage(cls);
  bind_statistics(cls);
  bind_membership(cls);
  bind_relays(cls);
  bind_step(cls);
  bind_training_loop(cls);
  bind_metrics_file(cls);
  bind_evaluation(cls, m);
}

}  // namespace korvane::carrowel
