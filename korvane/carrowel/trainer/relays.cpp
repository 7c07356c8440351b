#include "korvane/carrowel/trainer/relays.hpp"

#include <pybind11/stl.h>

#include "korvane/carrowel/client/results.hpp"
#include "korvane/carrowel/compression/boundary_format.hpp"
#include "korvane/carrowel/compression/boundary_message.hpp"
#include "korvane/carrowel/compression/tensor_compression.hpp"
#include "korvane/common/async/awaiters.hpp"
#include "korvane/common/async/op.hpp"
#include "korvane/common/errors.hpp"
#include "korvane/common/python/output.hpp"
#include "korvane/common/python/translate_errors.hpp"
#include "korvane/protocol/protocol.hpp"

namespace korvane::carrowel {
using async::Task;

namespace {
constexpr long kCompressionGroup = 64;

struct Direction {
  client::Relay relay;
  const char* noun;  // in the warning lines
  bool is_backward;
};
constexpr Direction kActivation{client::Relay::activation, "activation", false};
constexpr Direction kGradient{client::Relay::gradient, "gradient", true};

const Direction& direction(bool backward) { return backward ? kGradient : kActivation; }

// The codec agreed for a direction.
const std::string& direction_codec(const Trainer& t, bool backward) {
  return backward ? t.boundary.gradient_codec : t.boundary.activation_codec;
}

// What a post's answer means: true when delivered. A refusal or an unreachable
// coordinator throws, for the caller's warning; a roll-back is left for the loop.
bool delivered(Trainer& t, const client::PostResult& answer) {
  if (auto* d = std::get_if<client::Delivered>(&answer)) {
    t.metrics.steps.add_sent(d->bytes);
    return true;
  }
  if (auto* rb = std::get_if<client::RolledBack>(&answer)) {
    t.recovery.rollback.note({rb->step, rb->epoch});  // the message is void
    return false;
  }
  if (auto* r = std::get_if<client::Refused>(&answer)) throw ConnectionError(r->text);
  throw ConnectionError(std::get<client::Unavailable>(answer).why);
}

// A refused post of a member ends its step (see step.hpp). On the mock assignment nobody
// admitted the trainer, and the run keeps the plain course: the warning, then whatever
// the next fetch says.
void note_refusal(Trainer& t, const Direction& dir, long long micro_batch, const client::PostResult& answer) {
  const auto* r = std::get_if<client::Refused>(&answer);
  if (!r || t.guard.refused_post || !t.session.member) return;
  t.guard.refused_post = std::string("the ") + dir.noun + " post for micro-batch " + std::to_string(micro_batch) +
                         " was refused: " + r->text;
}

// Posts one compressed tensor. The body is encoded before this is called (outside the
// guarded region, so a compression error reaches the caller unchanged).
Task<bool> post_tensor(py::object self, Direction dir, std::string body, std::optional<double> loss,
                       long long micro_batch) {
  Trainer& t = Trainer::of(self);
  std::exception_ptr failure;
  bool ok = false;
  try {
    const LayerAssignment& a = t.assignment();
    std::string to = dir.is_backward ? *a.upstream_trainer : *a.downstream_trainer;
    client::CoordinatorClient& c = t.coordinator();
    // The codec goes with the message once the coordinator confirmed it passes it on.
    std::optional<std::string> codec;
    if (t.boundary.codecs_confirmed) codec = direction_codec(t, dir.is_backward);
    client::PostResult answer = co_await c.post(dir.relay, std::move(to), micro_batch, std::move(body), loss,
                                                t.session.post_timeout_s, std::move(codec));
    note_refusal(t, dir, micro_batch, answer);
    ok = delivered(t, answer);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    if (async::is_cancellation(failure)) std::rethrow_exception(failure);
    print_line(std::string("  Warning: Failed to send ") + dir.noun + ": " + error_message(failure));
  }
  co_return ok;
}

// A fetched body, decoded with the codec agreed for its direction. The message names its
// codec (no name: sign, as a coordinator of the plain protocol relays); one coded otherwise
// is refused, never decoded as something it is not.
py::object decode_relay_body(const Trainer& t, const std::string& body, const std::optional<std::string>& named,
                             bool backward) {
  const std::string& expected = direction_codec(t, backward);
  const std::string& got = named ? *named : std::string(protocol::kDefaultCodec);
  if (got != expected)
    throw ValueError(std::string("refused ") + (backward ? "a gradient" : "an activation") + " coded with '" + got +
                     "': this trainer expects '" + expected + "'");
  const Codec codec = codec_by_name(expected);
  if (codec == Codec::sign && !compression::is_boundary_message(body))  // one tensor, today's record
    return decompress_tensor(CompressedTensor::from_bytes(body), t.model.device());
  return decode_boundary(body, codec, backward, t.model.device());
}

struct Fetched {
  py::object tensor;
  std::optional<double> loss;
};

// A neighbour the fetch waited on is missing. Without a rejoin timeout the fetch fails as
// it always did; with one, the wait begins (one warning line) or ends the run once the
// timeout has passed; otherwise the caller asks again after the pause.
void wait_for_rejoin(Trainer& t, const client::NeighbourMissing& missing) {
  training::RejoinWait& rejoin = t.recovery.rejoin;
  if (!rejoin.waits()) {
    if (missing.status == 0) throw TimeoutError(missing.why);
    throw ConnectionError(missing.refusal);
  }
  auto decision = rejoin.missing(t.assignment().task_id, missing.why, training::RejoinWait::Clock::now());
  if (decision.warning) print_line(*decision.warning);
  if (decision.action == training::RejoinWait::Action::give_up) throw Error(decision.error);
}

// What a fetch's answer means: the tensor, or nothing when the neighbour is to be asked again.
std::optional<Fetched> read_fetch(Trainer& t, client::FetchResult& answer, bool backward) {
  if (auto* missing = std::get_if<client::NeighbourMissing>(&answer)) {
    wait_for_rejoin(t, *missing);
    return std::nullopt;
  }
  if (auto* rb = std::get_if<client::RolledBack>(&answer)) {
    t.recovery.rollback.note({rb->step, rb->epoch});
    const auto& pending = t.recovery.rollback.pending();  // the latest of several roll-backs
    throw Error("task '" + t.assignment().task_id + "' was rolled back to step " +
                std::to_string(pending ? pending->step : rb->step));
  }
  if (auto* r = std::get_if<client::Refused>(&answer)) throw ConnectionError(r->text);
  client::Received& got = std::get<client::Received>(answer);
  t.metrics.steps.add_received(got.bytes);
  Fetched out{decode_relay_body(t, got.body, got.codec, backward), got.loss};
  t.recovery.rejoin.present();
  return out;
}

// Fetches one tensor, asking again while a missing neighbour is waited for.
Task<Fetched> fetch_tensor(py::object self, Direction dir, double timeout, long long micro_batch, bool warn = true) {
  Trainer& t = Trainer::of(self);
  std::exception_ptr failure;
  std::optional<Fetched> out;
  while (!out && !failure) {
    try {
      client::CoordinatorClient& c = t.coordinator();
      client::FetchResult answer = co_await c.fetch(dir.relay, micro_batch, timeout);
      out = read_fetch(t, answer, dir.is_backward);
    } catch (...) {
      failure = std::current_exception();
    }
    if (!out && !failure) co_await async::io_sleep(training::RejoinWait::kRetryPauseS);
  }
  if (failure) {
    const bool rolled_back = t.recovery.rollback.pending().has_value();
    if (warn && !async::is_cancellation(failure) && !rolled_back)
      print_line(std::string("  Warning: Failed to receive ") + dir.noun + ": " + error_message(failure));
    std::rethrow_exception(failure);
  }
  co_return std::move(*out);
}

py::object fetched_value(Fetched f, bool backward) {
  if (!backward) return f.tensor;
  py::object loss = f.loss ? py::object(py::float_(*f.loss)) : py::object(py::none());
  return py::make_tuple(f.tensor, loss);
}

Task<py::object> send(py::object self, Direction dir, py::object tensor, std::optional<double> loss) {
  const LayerAssignment& a = Trainer::of(self).assignment();
  if (dir.is_backward ? a.is_first_stage() : a.is_last_stage()) co_return py::bool_(false);
  std::string body = encode_relay_body(Trainer::of(self), tensor, dir.is_backward);
  const long long micro_batch = Trainer::of(self).micro_batch_idx;
  bool ok = co_await post_tensor(std::move(self), dir, std::move(body), loss, micro_batch);
  co_return py::bool_(ok);
}

Task<py::object> receive(py::object self, Direction dir, double timeout) {
  const LayerAssignment& a = Trainer::of(self).assignment();
  if (!dir.is_backward && a.is_first_stage()) throw ValueError("First stage doesn't receive activations");
  if (dir.is_backward && a.is_last_stage()) throw ValueError("Last stage doesn't receive gradients");
  const long long micro_batch = Trainer::of(self).micro_batch_idx;
  Fetched f = co_await fetch_tensor(std::move(self), dir, timeout, micro_batch);
  co_return fetched_value(std::move(f), dir.is_backward);
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

std::string encode_relay_body(const Trainer& t, py::handle value, bool backward) {
  const bool structure = is_structure(value);
  if (structure && !t.boundary.tensor_lists)
    throw ValueError(std::string("this stage's ") + (backward ? "input gradient" : "output") + " is a " +
                     python_type_name(value) + ": several tensors cross a boundary only through a coordinator "
                     "that confirms \"tensor_lists\" at the join, and this one did not");
  const Codec codec = codec_by_name(direction_codec(t, backward));
  if (codec == Codec::sign && !structure)  // today's record, byte for byte
    return compress_tensor(value, kCompressionGroup, backward).to_bytes();
  return encode_boundary(value, codec, backward);
}

Task<py::object> post_relay(py::object self, bool backward, std::string body, std::optional<double> loss,
                            long long micro_batch) {
  bool ok = co_await post_tensor(std::move(self), direction(backward), std::move(body), loss, micro_batch);
  co_return py::bool_(ok);
}

Task<py::object> fetch_relay(py::object self, bool backward, double timeout, long long micro_batch, bool warn) {
  Fetched f = co_await fetch_tensor(std::move(self), direction(backward), timeout, micro_batch, warn);
  co_return fetched_value(std::move(f), backward);
}

void bind_relays(TrainerClass& cls) {
  cls.def("send_activation",
          [](py::object self, py::object activation) {
            return async::make_op(send(std::move(self), kActivation, std::move(activation), std::nullopt), "send_activation");
          },
          py::arg("activation"), "Compress the activation and post it for the downstream trainer.")
      .def("receive_activation",
           [](py::object self, double timeout) {
             return async::make_op(receive(std::move(self), kActivation, timeout), "receive_activation");
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
             return async::make_op(receive(std::move(self), kGradient, timeout), "receive_gradient");
           },
           py::arg("timeout") = 30.0, "Fetch this micro-batch's output gradient and loss from the downstream trainer.");
}

}  // namespace korvane::carrowel
