#include "korvane/carrowel/trainer/gradient_clipping.hpp"

#include <cmath>

#include "korvane/carrowel/client/results.hpp"
#include "korvane/carrowel/trainer/trainer.hpp"
#include "korvane/common/errors.hpp"

namespace korvane::carrowel {

namespace {
// A squared norm no finite float32 gradient reaches (3.4e38 squared is about 1e77 per
// element): posted by a stage whose gradients are not finite, since the exchange carries
// finite numbers only. Any total at or above it means the step's gradients were not.
constexpr double kNonFiniteNorm = 1e300;
// torch's clip_grad_norm_ adds this to the norm before dividing.
constexpr double kNormEpsilon = 1e-6;
// The exchange waits for the slowest stage's last backward: the first stage's cool-down.
constexpr double kExchangeTimeoutS = 30.0;

double global_total(Trainer& t, const client::NormResult& answer) {
  if (auto* total = std::get_if<client::NormTotal>(&answer)) return total->total;
  if (auto* rb = std::get_if<client::RolledBack>(&answer)) {
    t.recovery.rollback.note({rb->step, rb->epoch});
    const auto& pending = t.recovery.rollback.pending();
    throw Error("task '" + t.assignment().task_id + "' was rolled back to step " +
                std::to_string(pending ? pending->step : rb->step));
  }
  if (auto* missing = std::get_if<client::NeighbourMissing>(&answer)) {
    if (missing->status == 0) throw TimeoutError("gradient norm exchange: " + missing->why);
    throw ConnectionError("gradient norm exchange: " + missing->refusal);
  }
  if (auto* r = std::get_if<client::Refused>(&answer)) throw ConnectionError("gradient norm exchange refused: " + r->text);
  throw ConnectionError("gradient norm exchange: " + std::get<client::Unavailable>(answer).why);
}
}  // namespace

async::Task<bool> clip_to_global_norm(py::object self, long long step, bool locally_finite) {
  Trainer& t = Trainer::of(self);
  double squared = locally_finite ? t.model.plain_squared_norm() : kNonFiniteNorm;
  if (!std::isfinite(squared) || squared > kNonFiniteNorm) squared = kNonFiniteNorm;
  double total = squared;
  // A stage alone that no coordinator admitted holds the whole model: its norm is the global one.
  const LayerAssignment& a = t.assignment();
  if (t.session.member || !a.is_first_stage() || !a.is_last_stage()) {
    client::NormResult answer = co_await t.coordinator().exchange_norm(step, squared, kExchangeTimeoutS);
    total = global_total(t, answer);
  }
  if (!std::isfinite(total) || total >= kNonFiniteNorm) co_return false;
  const double factor = *t.clip_grad_norm / (std::sqrt(total) + kNormEpsilon);
  if (factor < 1.0) t.model.scale_plain_gradients(factor);
  co_return true;
}

}  // namespace korvane::carrowel
