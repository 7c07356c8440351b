// Joining a pipeline task: ask the coordinator for this stage's slice (or fall back to the
// mock assignment when it cannot be asked), store it, provision the layers, say ready;
// and leaving it.
#include "korvane/carrowel/trainer/membership.hpp"

#include <nlohmann/json.hpp>

#include "korvane/carrowel/client/results.hpp"
#include "korvane/common/async/awaiters.hpp"
#include "korvane/common/async/op.hpp"
#include "korvane/common/errors.hpp"
#include "korvane/common/python/output.hpp"
#include "korvane/common/python/translate_errors.hpp"
#include "korvane/protocol/protocol.hpp"

namespace korvane::carrowel {
using async::await_result;
using async::Task;
using nlohmann::json;

namespace {
constexpr int kMaxJsonDepth = 64;

py::object to_python(const json& j, int depth) {
  if (depth > kMaxJsonDepth) throw ValueError("coordinator answer is nested too deeply");
  switch (j.type()) {
    case json::value_t::null: return py::none();
    case json::value_t::boolean: return py::bool_(j.get<bool>());
    case json::value_t::number_integer: return py::int_(j.get<long long>());
    case json::value_t::number_unsigned: return py::int_(j.get<unsigned long long>());
    case json::value_t::number_float: return py::float_(j.get<double>());
    case json::value_t::string: return py::str(j.get_ref<const std::string&>());
    case json::value_t::array: {
      py::list l;
      for (const auto& e : j) l.append(to_python(e, depth + 1));
      return l;
    }
    case json::value_t::object: {
      py::dict d;
      for (const auto& [k, v] : j.items()) d[py::str(k)] = to_python(v, depth + 1);
      return d;
    }
    default: throw ValueError("coordinator answer holds binary data");
  }
}

py::object mock_assignment() {
  py::dict d;
  d["layer_start"] = 0;
  d["layer_end"] = 4;
  d["pipeline_position"] = 0;
  d["upstream_trainer"] = py::none();
  d["downstream_trainer"] = "trainer_2";
  return d;
}

// An integer field of the answer. Integral floats (4.0) are taken; anything else is refused.
long long integer_field(py::handle value, const char* key) {
  if (py::isinstance<py::int_>(value)) return value.cast<long long>();
  if (py::isinstance<py::float_>(value)) {
    double d = value.cast<double>();
    if (d == double((long long)d)) return (long long)d;
  }
  throw TypeError(std::string("assignment field '") + key + "' must be an integer, got " +
                  py::repr(value).cast<std::string>());
}

std::optional<std::string> optional_text_field(const py::object& map, const char* key) {
  py::object v = map.attr("get")(key);
  if (v.is_none()) return std::nullopt;
  if (!py::isinstance<py::str>(v)) raise_argument_type(key, "str", v);
  return v.cast<std::string>();
}

// Asks the coordinator; the answer's map, or what went wrong before there was one.
Task<client::JoinResult> ask_for_assignment(py::object self, std::string task_id) {
  Trainer& t = Trainer::of(self);
  const long long memory = self.attr("_get_available_memory")().cast<long long>();
  client::CoordinatorClient& c = t.coordinator();
  client::JoinOptions options;  // only what was asked for: an unchanged trainer sends today's body
  if (t.boundary.activation_codec_given) options.activation_codec = t.boundary.activation_codec;
  if (t.boundary.gradient_codec_given) options.gradient_codec = t.boundary.gradient_codec;
  options.stage = t.boundary.stage;
  co_return co_await c.join(std::move(task_id), t.trainer_id, memory, t.model.device() == "cuda",
                            t.session.join_timeout_s, std::move(options));
}

Task<py::object> request_layer_assignment(py::object self, std::string task_id) {
  Trainer& t = Trainer::of(self);
  std::exception_ptr failure;
  std::optional<std::string> refused;  // the coordinator said no: the join fails with its reason
  std::optional<std::string> why;      // it could not be asked: the mock assignment
  py::object result;
  try {
    client::JoinResult answer = co_await ask_for_assignment(self, std::move(task_id));
    if (auto* r = std::get_if<client::Refused>(&answer)) refused = r->text;
    else if (auto* u = std::get_if<client::Unavailable>(&answer)) why = u->why;
    else result = to_python(std::get<client::Assigned>(answer).answer, 0);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure && async::is_cancellation(failure)) std::rethrow_exception(failure);
  if (failure) why = error_message(failure);
  if (refused) throw Error("join refused: " + *refused);
  if (why) {
    t.session.member = false;
    t.session.client.set_secret(std::nullopt);
    print_line("  Warning: Using mock assignment (coordinator unavailable: " + *why + ")");
    co_return mock_assignment();
  }
  t.session.member = true;
  co_return result;
}

Task<py::object> signal_ready(py::object self, std::string) {
  Trainer& t = Trainer::of(self);
  t.session.pipeline_stages.reset();  // what an earlier join learnt no longer holds
  std::exception_ptr failure;
  try {
    const long long position = t.assignment().pipeline_position;
    client::NoticeResult answer = co_await t.coordinator().ready(position);
    // Only the number of stages is taken from the answer, when it offers one: the
    // pipelined step sizes its warm-up by it.
    if (auto* noted = std::get_if<client::Noted>(&answer)) t.session.pipeline_stages = noted->stages;
  } catch (...) {
    failure = std::current_exception();
  }
  // A failed ready notice is not reported, but a cancellation still reaches the caller.
  if (failure && async::is_cancellation(failure)) std::rethrow_exception(failure);
  co_return py::none();
}

std::string neighbour_line(const std::optional<std::string>& id, const char* none_text) {
  return id && !id->empty() ? *id : none_text;
}

LayerAssignment read_assignment(const Trainer& t, const py::object& map, std::string task_id) {
  LayerAssignment a;
  a.task_id = std::move(task_id);
  a.trainer = t.trainer_id;
  a.layer_start = integer_field(map["layer_start"], "layer_start");
  a.layer_end = integer_field(map["layer_end"], "layer_end");
  a.pipeline_position = integer_field(map["pipeline_position"], "pipeline_position");
  a.upstream_trainer = optional_text_field(map, "upstream_trainer");
  a.downstream_trainer = optional_text_field(map, "downstream_trainer");
  a.layer_weights_hash = optional_text_field(map, "layer_weights_hash").value_or("");
  return a;
}

bool lists_feature(const py::object& map, const char* feature) {
  py::object features = map.attr("get")(protocol::field::kFeatures);
  if (!py::isinstance<py::list>(features)) return false;
  for (py::handle f : features)
    if (py::isinstance<py::str>(f) && f.cast<std::string>() == feature) return true;
  return false;
}

// What the answer says about the boundary: whether it confirms codecs and lists of
// tensors, and whether it gave the codecs and the stage asked for. A trainer that asked
// for what the answer does not grant fails its join: it would train with other codecs than
// its neighbours, or sit where it did not ask to. Returns the reason, or nothing.
std::optional<std::string> check_boundary(Trainer& t, const py::object& map, const LayerAssignment& a) {
  Trainer::Boundary& b = t.boundary;
  b.codecs_confirmed = lists_feature(map, protocol::kFeatureCodecs);
  b.tensor_lists = lists_feature(map, protocol::kFeatureTensorLists);
  const std::string asked = b.activation_codec + "/" + b.gradient_codec;
  const bool plain = b.activation_codec == protocol::kDefaultCodec && b.gradient_codec == protocol::kDefaultCodec;
  if (!t.session.member) {  // the mock assignment: no coordinator agreed to anything
    if (!plain)
      return "codecs " + asked + " need a coordinator that agrees them, and none could be reached";
    if (b.stage && *b.stage != a.pipeline_position)
      return "stage " + std::to_string(*b.stage) + " needs a coordinator, and none could be reached";
    return std::nullopt;
  }
  if (!b.codecs_confirmed && !plain)
    return "codecs " + asked + " asked for, but the coordinator does not confirm codecs (it relays sign only)";
  if (b.codecs_confirmed) {
    py::object act = map.attr("get")(protocol::field::kActivationCodec, protocol::kDefaultCodec);
    py::object grad = map.attr("get")(protocol::field::kGradientCodec, protocol::kDefaultCodec);
    const std::string agreed = py::str(act).cast<std::string>() + "/" + py::str(grad).cast<std::string>();
    if (agreed != asked) return "the task's codecs are " + agreed + ", this trainer's " + asked;
  }
  if (b.stage && *b.stage != a.pipeline_position)
    return "stage " + std::to_string(*b.stage) + " asked for, but the coordinator assigned position " +
           std::to_string(a.pipeline_position) + " (it does not place trainers by stage)";
  return std::nullopt;
}

void print_assignment(const LayerAssignment& a) {
  print_line("  Assigned layers " + std::to_string(a.layer_start) + "-" + std::to_string(a.layer_end));
  print_line("  Pipeline position: " + std::to_string(a.pipeline_position));
  print_line("  Upstream: " + neighbour_line(a.upstream_trainer, "None (first stage)"));
  print_line("  Downstream: " + neighbour_line(a.downstream_trainer, "None (last stage)"));
}

Task<py::object> join_pipeline(py::object self, py::str task_id) {
  Trainer& t = Trainer::of(self);
  print_line("Joining pipeline task: " + task_id[py::slice(0, 18, 1)].cast<std::string>() + "...");
  py::object map = co_await await_result(self.attr("_request_layer_assignment")(task_id));
  if (map.is_none()) throw TypeError("coordinator answered null instead of an assignment");
  t.layer_assignment = py::cast(read_assignment(t, map, task_id.cast<std::string>()));
  print_assignment(t.assignment());
  if (std::optional<std::string> wrong = check_boundary(t, map, t.assignment())) {
    const std::string why = "join failed: " + *wrong;
    co_await leave_task(self, why);  // the task must not wait for a member that will not train
    throw Error(why);
  }
  co_await await_result(self.attr("_download_layers")(task_id));
  co_await await_result(self.attr("_signal_ready")(task_id));
  print_line("  Ready for training!");
  co_return t.layer_assignment;
}

py::str require_task_id(py::handle task_id) {
  if (!py::isinstance<py::str>(task_id)) raise_argument_type("task_id", "str", task_id);
  return py::reinterpret_borrow<py::str>(task_id);
}
}  // namespace

async::Task<void> leave_task(py::object self, std::optional<std::string> error) {
  Trainer& t = Trainer::of(self);
  if (!t.session.member || t.layer_assignment.is_none()) co_return;
  std::exception_ptr failure;
  try {
    client::LeaveResult answer = co_await t.coordinator().leave(std::move(error));
    // Unanswered, it is still a member: a later leave_pipeline tries again.
    if (!std::holds_alternative<client::Unavailable>(answer)) t.session.member = false;
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure && async::is_cancellation(failure)) std::rethrow_exception(failure);
}

async::Task<py::object> leaving_on_failure(py::object self, async::Task<py::object> run) {
  std::exception_ptr failure;
  py::object result;
  try {
    result = co_await run;
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    if (async::is_cancellation(failure)) std::rethrow_exception(failure);
    co_await leave_task(self, error_message(failure));  // neighbours waiting on us stop now
    std::rethrow_exception(failure);
  }
  co_return result;
}

void bind_membership(TrainerClass& cls) {
  cls.def("join_pipeline",
          [](py::object self, py::object task_id) {
            return async::make_op(join_pipeline(std::move(self), require_task_id(task_id)), "join_pipeline");
          },
          py::arg("task_id"), "Join a pipeline task; returns the LayerAssignment.")
      .def("leave_pipeline",
           [](py::object self) { return async::make_op(leave_task(std::move(self), std::nullopt), "leave_pipeline"); },
           "Tell the coordinator, best effort, that this trainer's run is over (a failed training loop "
           "does so by itself); without a coordinator, or a second time, it does nothing.")
      .def("_request_layer_assignment",
           [](py::object self, py::object task_id) {
             return async::make_op(request_layer_assignment(std::move(self), require_task_id(task_id).cast<std::string>()),
                                   "_request_layer_assignment");
           },
           py::arg("task_id"))
      .def("_signal_ready",
           [](py::object self, py::object task_id) {
             return async::make_op(signal_ready(std::move(self), require_task_id(task_id).cast<std::string>()),
                                   "_signal_ready");
           },
           py::arg("task_id"));
}

}  // namespace korvane::carrowel
