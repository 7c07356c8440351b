// Joining a pipeline task: ask the coordinator for this stage's slice (or fall back to the
// mock assignment when it cannot be asked), store it, provision the layers, say ready.
#include <nlohmann/json.hpp>

#include "korvane/carrowel/coordinator/coordinator_ops.hpp"
#include "korvane/carrowel/coordinator/membership.hpp"
#include "korvane/carrowel/coordinator/messages.hpp"
#include "korvane/common/async/awaiters.hpp"
#include "korvane/common/errors.hpp"
#include "korvane/common/float_format.hpp"
#include "korvane/common/python/output.hpp"
#include "korvane/common/python/translate_errors.hpp"

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

const char* json_kind(const json& j) {
  switch (j.type()) {
    case json::value_t::array: return "an array";
    case json::value_t::string: return "a string";
    case json::value_t::boolean: return "a boolean";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float: return "a number";
    default: return "something else";
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

std::optional<std::string> optional_text_field(py::handle map, const char* key) {
  py::object v = map.attr("get")(key);
  if (v.is_none()) return std::nullopt;
  if (!py::isinstance<py::str>(v)) raise_argument_type(key, "str", v);
  return v.cast<std::string>();
}

Task<py::object> request_layer_assignment(py::object self, std::string task_id) {
  Trainer& t = Trainer::of(self);
  std::exception_ptr failure;
  std::optional<std::string> refused;
  py::object result;
  try {
    const long long memory = self.attr("_get_available_memory")().cast<long long>();
    http::Request req("POST", t.coordinator_url + coordinator::kJoinPath);
    req.headers = coordinator::identity_headers(t);
    req.headers.push_back("Content-Type: application/json");
    req.headers.push_back(std::string(coordinator::kSecretRequestHeader) + ": 1");
    req.headers.push_back(std::string(coordinator::kClientTimeoutHeader) + ": " + float_repr(t.join_timeout_s));
    req.timeout_s = t.join_timeout_s;  // a join that is never answered must not hang
    req.body = coordinator::join_body(task_id, t.trainer_id, memory, t.device == "cuda");
    http::Response resp = co_await async::http_exchange(std::move(req));
    json answer = json::parse(resp.body, nullptr, /*allow_exceptions=*/false);
    // An error status with an assignment in its body is still an assignment; an error
    // status without one is a refusal, and the join fails with the coordinator's reason.
    refused = coordinator::refusal(resp);
    if (refused && answer.is_object() && answer.contains("layer_start")) refused.reset();
    if (!refused) {
      if (answer.is_discarded()) answer = json::parse(resp.body);  // throws with the parser's message
      if (!answer.is_object() && !answer.is_null())
        throw ValueError(std::string("coordinator answered with ") + json_kind(answer) + ", not a JSON object");
      t.member_secret.reset();
      if (answer.is_object()) {
        if (auto s = answer.find(coordinator::kSecretField); s != answer.end()) {
          if (s->is_string()) t.member_secret = s->get<std::string>();
          answer.erase(s);  // the secret stays in the trainer, out of the caller's map
        }
      }
      t.member = true;
      result = to_python(answer, 0);
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    if (async::is_cancellation(failure)) std::rethrow_exception(failure);
    t.member = false;
    t.member_secret.reset();
    print_line("  Warning: Using mock assignment (coordinator unavailable: " + error_message(failure) + ")");
    co_return mock_assignment();
  }
  if (refused) throw Error("join refused: " + *refused);
  co_return result;
}

Task<py::object> signal_ready(py::object self, std::string task_id) {
  std::exception_ptr failure;
  try {
    Trainer& t = Trainer::of(self);
    t.pipeline_stages.reset();  // what an earlier join learnt no longer holds
    http::Request req("POST", t.coordinator_url + coordinator::kReadyPath);
    req.headers = coordinator::identity_headers(t);
    req.headers.push_back("Content-Type: application/json");
    req.timeout_s = coordinator::kNoticeTimeoutS;
    req.body = coordinator::ready_body(task_id, t.trainer_id, t.assignment().pipeline_position);
    // Only the number of stages is taken from the answer, when it offers one: the
    // pipelined step sizes its warm-up by it.
    http::Response resp = co_await async::http_exchange(std::move(req));
    t.pipeline_stages = coordinator::ready_answer_stages(resp.body);
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

Task<py::object> join_pipeline(py::object self, py::str task_id) {
  Trainer& t = Trainer::of(self);
  print_line("Joining pipeline task: " + task_id[py::slice(0, 18, 1)].cast<std::string>() + "...");
  const std::string id = task_id.cast<std::string>();

  py::object map = co_await await_result(self.attr("_request_layer_assignment")(task_id));
  if (map.is_none()) throw TypeError("coordinator answered null instead of an assignment");
  LayerAssignment a;
  a.task_id = id;
  a.trainer = t.trainer_id;
  a.layer_start = integer_field(map["layer_start"], "layer_start");
  a.layer_end = integer_field(map["layer_end"], "layer_end");
  a.pipeline_position = integer_field(map["pipeline_position"], "pipeline_position");
  a.upstream_trainer = optional_text_field(map, "upstream_trainer");
  a.downstream_trainer = optional_text_field(map, "downstream_trainer");
  a.layer_weights_hash = optional_text_field(map, "layer_weights_hash").value_or("");
  t.layer_assignment = py::cast(std::move(a));
  const LayerAssignment& stored = t.assignment();

  print_line("  Assigned layers " + std::to_string(stored.layer_start) + "-" + std::to_string(stored.layer_end));
  print_line("  Pipeline position: " + std::to_string(stored.pipeline_position));
  print_line("  Upstream: " + neighbour_line(stored.upstream_trainer, "None (first stage)"));
  print_line("  Downstream: " + neighbour_line(stored.downstream_trainer, "None (last stage)"));

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

void bind_join(TrainerClass& cls) {
  cls.def("join_pipeline",
          [](py::object self, py::object task_id) {
            return async::make_op(join_pipeline(std::move(self), require_task_id(task_id)), "join_pipeline");
          },
          py::arg("task_id"), "Join a pipeline task; returns the LayerAssignment.")
      .def("leave_pipeline",
           [](py::object self) { return async::make_op(coordinator::leave_task(std::move(self), std::nullopt), "leave_pipeline"); },
           "Tell the coordinator, best effort, that this trainer's run is over (a failed training loop "
           "does so by itself); without a coordinator, or a second time, it does nothing.")
      .def("_request_layer_assignment",
           [](py::object self, py::object task_id) {
             return async::make_op(request_layer_assignment(std::move(self), require_task_id(task_id)),
                                   "_request_layer_assignment");
           },
           py::arg("task_id"))
      .def("_signal_ready",
           [](py::object self, py::object task_id) {
             return async::make_op(signal_ready(std::move(self), require_task_id(task_id)), "_signal_ready");
           },
           py::arg("task_id"));
}

}  // namespace korvane::carrowel
