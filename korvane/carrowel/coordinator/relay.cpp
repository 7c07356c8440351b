// Activation and gradient relays: a tensor leaves compressed (signs plus a binary16 scale
// per group), is posted to the coordinator for a neighbour, and is fetched by it. Sends
// report failure as false after a warning; receives warn and pass the error on. An error
// status from the coordinator is a failure on both sides, reported with its reason.
// Cancellation is never caught: it reaches the caller without a warning.
#include <pybind11/stl.h>

#include "korvane/carrowel/coordinator/coordinator_ops.hpp"
#include "korvane/carrowel/coordinator/membership.hpp"
#include "korvane/carrowel/coordinator/messages.hpp"
#include "korvane/carrowel/coordinator/rejoin.hpp"
#include "korvane/carrowel/coordinator/tensor_wire.hpp"
#include "korvane/common/async/awaiters.hpp"
#include "korvane/common/errors.hpp"
#include "korvane/common/float_format.hpp"
#include "korvane/common/python/output.hpp"
#include "korvane/common/python/translate_errors.hpp"

namespace korvane::carrowel {
using async::Task;

namespace {
struct Direction {
  const char* path;
  const char* noun;  // in the warning lines
  bool is_backward;
};
constexpr Direction kActivation{coordinator::kActivationPath, "activation", false};
constexpr Direction kGradient{coordinator::kGradientPath, "gradient", true};

// Posts one compressed tensor. The body is encoded before this is called (outside the
// guarded region, so a compression error reaches the caller unchanged).
Task<bool> post_tensor(py::object self, Direction dir, std::string body, std::optional<double> loss,
                       long long micro_batch) {
  std::exception_ptr failure;
  try {
    Trainer& t = Trainer::of(self);
    const LayerAssignment& a = t.assignment();
    const std::string& to = dir.is_backward ? *a.upstream_trainer : *a.downstream_trainer;
    http::Request req("POST", t.coordinator_url + dir.path);
    req.headers = coordinator::relay_headers(a.task_id, t.trainer_id, to, micro_batch, loss);
    for (auto& h : coordinator::identity_headers(t)) req.headers.push_back(std::move(h));
    const std::size_t size = body.size();
    coordinator::add_rollback_headers(t, req.headers);
    req.body = std::move(body);
    req.timeout_s = t.session.post_timeout_s;  // a post that is never answered must not hang
    http::Response resp = co_await async::http_exchange(std::move(req));
    if (coordinator::note_rollback(t, resp)) co_return false;  // the loop rolls back; the message is void
    if (auto refused = coordinator::refusal(resp)) throw ConnectionError(*refused);
    t.metrics.bytes_sent += size;
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    if (async::is_cancellation(failure)) std::rethrow_exception(failure);
    print_line(std::string("  Warning: Failed to send ") + dir.noun + ": " + error_message(failure));
    co_return false;
  }
  co_return true;
}

struct Fetched {
  py::object tensor;
  std::optional<double> loss;
};

// With a rejoin timeout, a neighbour that is missing (the coordinator says it left, or
// nothing comes in time) is waited for instead of failing the run: one warning line,
// then the fetch is asked again until the member is back (a roll-back answer ends the
// wait) or the timeout has passed since it went missing.
bool neighbour_missing(const http::Response& resp) { return resp.status == 410 || resp.status == 504; }

Task<Fetched> fetch_tensor(py::object self, Direction dir, double timeout, long long micro_batch, bool warn = true) {
  using Clock = std::chrono::steady_clock;
  std::exception_ptr failure;
  Fetched out;
  for (;;) {
    std::optional<std::string> missing;  // why the neighbour looks missing
    try {
      Trainer& t = Trainer::of(self);
      const LayerAssignment& a = t.assignment();
      http::Request req("GET", t.coordinator_url + dir.path + coordinator::relay_query(a.task_id, t.trainer_id, micro_batch));
      req.timeout_s = timeout;
      req.headers = coordinator::identity_headers(t);
      // The coordinator answers just before this limit, so a missing message comes back as
      // its own error rather than as a time-out here.
      if (std::isfinite(timeout) && timeout > 0)
        req.headers.push_back(std::string(coordinator::kClientTimeoutHeader) + ": " + float_repr(timeout));
      coordinator::add_rollback_headers(t, req.headers);
      http::Response resp;
      try {
        resp = co_await async::http_exchange(std::move(req));
      } catch (const TimeoutError& e) {
        if (t.recovery.rejoin_timeout <= 0) throw;
        missing = e.what();
      }
      if (!missing) {
        if (coordinator::note_rollback(t, resp))
          throw Error("task '" + a.task_id + "' was rolled back to step " + std::to_string(t.recovery.pending_rollback->step));
        if (t.recovery.rejoin_timeout > 0 && neighbour_missing(resp)) {
          missing = "HTTP " + std::to_string(resp.status) + ": " + resp.body.substr(0, 200);
        } else {
          if (auto refused = coordinator::refusal(resp)) throw ConnectionError(*refused);
          t.metrics.bytes_received += resp.body.size();
          CompressedTensor wire = parse_wire(resp.body);
          if (dir.is_backward) {
            std::optional<std::string> text = resp.header("X-Loss");
            if (text && !text->empty()) {
              out.loss = parse_float(*text);
              if (!out.loss) throw ValueError("could not convert string to float: " + py::repr(py::str(*text)).cast<std::string>());
            }
          }
          out.tensor = decompress_wire(wire, t.model.device());
          t.recovery.missing_since.reset();
        }
      }
      if (missing) {
        const auto now = Clock::now();
        if (!t.recovery.missing_since) {
          t.recovery.missing_since = now;
          print_line("  Warning: a neighbour in task '" + a.task_id + "' is missing (" + *missing + "); waiting up to " +
                     float_repr(t.recovery.rejoin_timeout) + " s for it to rejoin");
        }
        if (now - *t.recovery.missing_since > std::chrono::duration<double>(t.recovery.rejoin_timeout))
          throw Error("no member of task '" + a.task_id + "' came back within the rejoin timeout of " +
                      float_repr(t.recovery.rejoin_timeout) + " s; the run ends (" + *missing + ")");
      }
    } catch (...) {
      failure = std::current_exception();
    }
    if (failure || !missing) break;
    co_await async::io_sleep(0.2);
  }
  if (failure) {
    const bool rolled_back = Trainer::of(self).recovery.pending_rollback.has_value();
    if (warn && !async::is_cancellation(failure) && !rolled_back)
      print_line(std::string("  Warning: Failed to receive ") + dir.noun + ": " + error_message(failure));
    std::rethrow_exception(failure);
  }
  co_return out;
}

Task<py::object> send(py::object self, Direction dir, py::object tensor, std::optional<double> loss) {
  const LayerAssignment& a = Trainer::of(self).assignment();
  if (dir.is_backward ? a.is_first_stage() : a.is_last_stage()) co_return py::bool_(false);
  std::string body = encode_tensor(tensor, dir.is_backward);
  const long long micro_batch = Trainer::of(self).micro_batch_idx;
  bool ok = co_await post_tensor(std::move(self), dir, std::move(body), loss, micro_batch);
  co_return py::bool_(ok);
}

Task<py::object> receive_activation(py::object self, double timeout) {
  if (Trainer::of(self).assignment().is_first_stage()) throw ValueError("First stage doesn't receive activations");
  const long long micro_batch = Trainer::of(self).micro_batch_idx;
  Fetched f = co_await fetch_tensor(std::move(self), kActivation, timeout, micro_batch);
  co_return f.tensor;
}

Task<py::object> receive_gradient(py::object self, double timeout) {
  if (Trainer::of(self).assignment().is_last_stage()) throw ValueError("Last stage doesn't receive gradients");
  const long long micro_batch = Trainer::of(self).micro_batch_idx;
  Fetched f = co_await fetch_tensor(std::move(self), kGradient, timeout, micro_batch);
  py::object loss = f.loss ? py::object(py::float_(*f.loss)) : py::object(py::none());
  co_return py::make_tuple(f.tensor, loss);
}

// A loss is None or any number (converted to a double on entry); anything else is refused.
std::optional<double> loss_argument(py::handle loss) {
  if (loss.is_none()) return std::nullopt;
  if (!PyNumber_Check(loss.ptr()) || PyUnicode_Check(loss.ptr())) raise_argument_type("loss", "float", loss);
  double v = PyFloat_AsDouble(loss.ptr());
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    raise_argument_type("loss", "float", loss);
  }
  return v;
}
}  // namespace

Task<py::object> post_relay(py::object self, bool backward, std::string body, std::optional<double> loss,
                            long long micro_batch) {
  bool ok = co_await post_tensor(std::move(self), backward ? kGradient : kActivation, std::move(body), loss, micro_batch);
  co_return py::bool_(ok);
}

Task<py::object> fetch_relay(py::object self, bool backward, double timeout, long long micro_batch, bool warn) {
  Fetched f = co_await fetch_tensor(std::move(self), backward ? kGradient : kActivation, timeout, micro_batch, warn);
  if (!backward) co_return f.tensor;
  py::object loss = f.loss ? py::object(py::float_(*f.loss)) : py::object(py::none());
  co_return py::make_tuple(f.tensor, loss);
}

void bind_relays(TrainerClass& cls) {
  cls.def("send_activation",
          [](py::object self, py::object activation) {
            return async::make_op(send(std::move(self), kActivation, std::move(activation), std::nullopt), "send_activation");
          },
          py::arg("activation"), "Compress the activation and post it for the downstream trainer.")
      .def("receive_activation",
           [](py::object self, double timeout) {
             return async::make_op(receive_activation(std::move(self), timeout), "receive_activation");
           },
           py::arg("timeout") = 30.0, "Fetch this micro-batch's activation from the upstream trainer.")
      .def("send_gradient",
           [](py::object self, py::object grad_x, py::object loss) {
             std::optional<double> l = loss_argument(loss);
             return async::make_op(send(std::move(self), kGradient, std::move(grad_x), l), "send_gradient");
           },
           py::arg("grad_x"), py::arg("loss") = py::none(), "Compress the input gradient and post it upstream with the loss.")
      .def("receive_gradient",
           [](py::object self, double timeout) {
             return async::make_op(receive_gradient(std::move(self), timeout), "receive_gradient");
           },
           py::arg("timeout") = 30.0, "Fetch this micro-batch's output gradient and loss from the downstream trainer.");
}

}  // namespace korvane::carrowel
