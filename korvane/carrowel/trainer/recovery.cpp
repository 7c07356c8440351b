#include "korvane/carrowel/trainer/recovery.hpp"

#include "korvane/carrowel/client/results.hpp"
#include "korvane/common/async/awaiters.hpp"
#include "korvane/common/errors.hpp"

namespace korvane::carrowel {

void save_checkpoint(Trainer& t, const StageCounters& counters) {
  const training::CheckpointDirectory& dir = *t.recovery.checkpoints;
  dir.create();
  if (const auto& secret = t.session.client.member().secret) dir.write_member_secret(*secret);
  const std::string temporary = dir.temporary_of(counters.step);
  try {
    t.model.save(temporary, counters);
  } catch (...) {
    training::CheckpointDirectory::discard(temporary);
    throw;
  }
  dir.publish(temporary, counters.step);
}

StageCounters restore_checkpoint(Trainer& t, long long step) {
  return t.model.load(t.recovery.checkpoints->existing_file_of(step));
}

async::Task<void> report_checkpoint(py::object self, long long step) {
  Trainer& t = Trainer::of(self);
  if (t.layer_assignment.is_none()) co_return;
  std::exception_ptr failure;
  try {
    client::CheckpointResult answer = co_await t.coordinator().report_checkpoint(step);
    if (auto* rb = std::get_if<client::RolledBack>(&answer)) t.recovery.rollback.note({rb->step, rb->epoch});
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure && async::is_cancellation(failure)) std::rethrow_exception(failure);
}

async::Task<std::optional<training::Rollback>> request_rollback(py::object self, long long latest) {
  Trainer& t = Trainer::of(self);
  t.assignment();  // ValueError before asking when there is none
  client::RollbackResult answer = co_await t.coordinator().request_rollback(latest);
  if (auto* rb = std::get_if<client::RolledBack>(&answer)) co_return training::Rollback{rb->step, rb->epoch};
  if (auto* r = std::get_if<client::Refused>(&answer)) {
    if (r->status == 404) co_return std::nullopt;  // a coordinator without roll-backs
    throw Error("the coordinator refused the roll-back (HTTP " + std::to_string(r->status) + "): " + r->reason);
  }
  throw Error(std::get<client::Unavailable>(answer).why);
}

}  // namespace korvane::carrowel
