#include "korvane/carrowel/trainer/replicas.hpp"

#include <pybind11/stl.h>

#include "korvane/common/async/awaiters.hpp"
#include "korvane/common/errors.hpp"
#include "korvane/protocol/protocol.hpp"

namespace korvane::carrowel {
using async::await_result;
using async::Task;

bool has_replicas(const Trainer& t) { return !t.replicas.group.is_none(); }

namespace {
long long whole_number(const py::object& v, const char* key) {
  if (!py::isinstance<py::int_>(v) || py::isinstance<py::bool_>(v))
    throw TypeError(std::string("join answer field '") + key + "' must be an integer, got " +
                    py::repr(v).cast<std::string>());
  return v.cast<long long>();
}
}  // namespace

void take_lanes(Trainer& t, const py::object& answer) {
  namespace field = protocol::field;
  close_replicas(t);  // an earlier join's group is over
  t.replicas = Trainer::Replicas{};
  py::object lanes = answer.attr("get")(field::kLanes);
  py::object lane = answer.attr("get")(field::kLane);
  if (lanes.is_none()) return;
  const long long count = whole_number(lanes, field::kLanes);
  const long long mine = lane.is_none() ? 0 : whole_number(lane, field::kLane);
  if (count < 1 || mine < 0 || mine >= count)
    throw ValueError("join answer puts this trainer in lane " + std::to_string(mine) + " of " + std::to_string(count));
  t.replicas.lanes = count;
  t.replicas.lane = mine;
  py::object group = answer.attr("get")(field::kGroup);
  if (group.is_none() || count == 1) return;
  if (!py::isinstance<py::dict>(group))
    throw ValueError("join answer field 'group' must be an object, got " + py::repr(group).cast<std::string>());
  const client::CoordinatorClient& c = t.session.client;
  const LayerAssignment& a = t.assignment();
  t.replicas.group = py::module_::import("korvane.carrowel.replica_store")
                         .attr("join_group")(py::arg("url") = t.coordinator_url, py::arg("task_id") = a.task_id,
                                             py::arg("trainer_id") = t.trainer_id, py::arg("token") = c.token(),
                                             py::arg("secret") = c.member().secret,
                                             py::arg("stage") = a.pipeline_position, py::arg("group") = group,
                                             py::arg("device") = t.model.device());
}

Task<void> prepare_replicas(py::object self) {
  Trainer& t = Trainer::of(self);
  if (!has_replicas(t)) co_return;
  py::object group = t.replicas.group;  // the step keeps it, whatever the caller swaps in
  py::object preparing = group.attr("prepare")(t.model.layers());
  co_await await_result(std::move(preparing));
}

Task<void> settle_replicas(py::object self) {
  Trainer& t = Trainer::of(self);
  if (!has_replicas(t) || !py::hasattr(t.replicas.group, "settle")) co_return;
  py::object group = t.replicas.group;
  py::object settling = group.attr("settle")();
  co_await await_result(std::move(settling));
}

Task<std::optional<double>> average_with_replicas(py::object self, std::optional<double> loss, long long step) {
  Trainer& t = Trainer::of(self);
  if (!has_replicas(t)) co_return loss;
  py::object group = t.replicas.group;
  // Named locals, not temporaries of the co_await's full-expression: g++ 12 destroys a
  // conditional's temporary there twice.
  py::object loss_arg = py::none();
  if (loss) loss_arg = py::float_(*loss);
  py::object averaging = group.attr("average")(t.model.layers(), loss_arg, step);
  py::object mean = co_await await_result(std::move(averaging));
  if (mean.is_none()) co_return std::nullopt;
  co_return mean.cast<double>();
}

void describe_replicas(const Trainer& t, training::StepRecord& record) {
  if (!has_replicas(t)) return;
  const py::object& g = t.replicas.group;
  training::StepRecord::Replicas r;
  r.lane = t.replicas.lane;
  r.stage = t.assignment().pipeline_position;
  r.generation = g.attr("generation").cast<long long>();
  r.world_size = g.attr("world_size").cast<long long>();
  r.averaging_seconds = g.attr("last_seconds").cast<double>();
  r.averaging_bytes = g.attr("last_bytes").cast<long long>();
  r.param_hash = py::module_::import("korvane.carrowel.replica_group")
                     .attr("parameter_hash")(t.model.layers())
                     .cast<std::string>();
  record.replicas = std::move(r);
}

void close_replicas(Trainer& t) noexcept {
  if (!has_replicas(t)) return;
  try {
    t.replicas.group.attr("close")();
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("closing the replica group");
  }
}

Shard data_shard(const Trainer& t) { return {t.replicas.lane, t.replicas.lanes}; }

void bind_replicas(TrainerClass& cls) {
  cls.def_property(
         "lane", [](const Trainer& t) { return t.replicas.lane; },
         [](Trainer& t, long long v) {
           if (v < 0 || v >= t.replicas.lanes)
             throw ValueError("lane must be in 0.." + std::to_string(t.replicas.lanes - 1) + ", got " +
                              std::to_string(v));
           t.replicas.lane = v;
         },
         "This trainer's lane (0 when the task has one): it trains on every lanes-th batch from this one.")
      .def_property(
          "lanes", [](const Trainer& t) { return t.replicas.lanes; },
          [](Trainer& t, long long v) {
            if (v < 1) throw ValueError("lanes must be at least 1, got " + std::to_string(v));
            t.replicas.lanes = v;
            if (t.replicas.lane >= v) t.replicas.lane = 0;
          },
          "How many lanes (whole pipelines) the task has; 1 without replicas.")
      .def_property(
          "replica_group", [](const Trainer& t) { return t.replicas.group; },
          [](Trainer& t, py::object v) {
            if (!v.is_none() && !py::hasattr(v, "average"))
              raise_argument_type("replica_group", "a korvane.carrowel.replica_group.ReplicaGroup, or None", v);
            t.replicas.group = std::move(v);
          },
          "The ReplicaGroup that averages this stage's gradients with its replicas in other lanes, or None.");
}

}  // namespace korvane::carrowel
