#include "korvane/carrowel/trainer/trainer.hpp"

#include "korvane/carrowel/compression/tensor_compression.hpp"
#include "korvane/common/async/awaiters.hpp"
#include "korvane/common/errors.hpp"

namespace korvane::carrowel {

namespace {
std::string choose_device(std::optional<std::string> given) {
  if (given) return *given;  // taken as it is; torch judges the name when it is used
  if (torch_available() && tensors::cuda_available()) return "cuda";
  return "cpu";
}
}  // namespace

Trainer::Trainer(std::string id, std::string url, std::optional<std::string> dev)
    : trainer_id(std::move(id)),
      coordinator_url(std::move(url)),
      model(choose_device(std::move(dev))),
      layer_assignment(py::none()),
      session(client::CoordinatorClient(coordinator_url, std::nullopt, async::http_exchange)) {}

bool Trainer::Session::offers(const char* feature) const {
  for (const std::string& f : features)
    if (f == feature) return true;
  return false;
}

const LayerAssignment& Trainer::assignment() const {
  if (layer_assignment.is_none())
    throw ValueError("trainer '" + trainer_id + "' has no layer assignment: call join_pipeline first");
  return layer_assignment.cast<const LayerAssignment&>();
}

client::CoordinatorClient& Trainer::coordinator() {
  client::CoordinatorClient& c = session.client;
  c.set_base_url(coordinator_url);
  if (!layer_assignment.is_none()) c.adopt(assignment().task_id, trainer_id);
  c.set_rollback_epoch(recovery.rollback.relay_epoch());
  return c;
}

void raise_argument_type(const std::string& name, const std::string& expected, py::handle given) {
  throw TypeError("Argument '" + name + "' has incorrect type (expected " + expected + ", got " +
                  python_type_name(given) + ")");
}

}  // namespace korvane::carrowel
