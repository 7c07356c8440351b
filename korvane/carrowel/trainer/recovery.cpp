#include "korvane/carrowel/trainer/recovery.hpp"

#include "korvane/carrowel/client/results.hpp"
#include "korvane/common/async/awaiters.hpp"
#include "korvane/common/errors.hpp"
#include "korvane/common/python/output.hpp"

namespace korvane::carrowel {

namespace {
// Loads `path` in place; Error naming the file for anything the file itself causes.
StageCounters load_file(Trainer& t, const std::string& path) {
  std::string why;
  try {
    return t.model.load(path);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;  // KeyboardInterrupt and the like pass
    why = e.what();
  } catch (const Error& e) {
    why = e.what();
  }
  const auto line = why.find('\n');
  throw Error("checkpoint: cannot load " + path + ": " + why.substr(0, line));
}

void refuse_nonfinite(const Trainer& t, const std::string& path) {
  if (!t.model.parameters_finite())
    throw Error("checkpoint: " + path + " holds weights that are not finite; refusing to resume from it");
}
}  // namespace

void save_checkpoint(Trainer& t, const StageCounters& counters) {
  const training::CheckpointDirectory& dir = *t.recovery.checkpoints;
  if (!t.model.parameters_finite())
    throw Error("checkpoint: the weights after step " + std::to_string(counters.step) +
                " are not finite; nothing was written to " + dir.path());
  dir.create();
  if (const auto& secret = t.session.client.member().secret) dir.write_member_secret(*secret);
  const std::string temporary = dir.prepare_temporary(counters.step);
  try {
    const LayerAssignment* slice = t.layer_assignment.is_none() ? nullptr : &t.assignment();
    t.model.save(temporary, counters, slice);
  } catch (...) {
    training::CheckpointDirectory::discard(temporary);
    throw;
  }
  dir.publish(temporary, counters.step);
}

StageCounters restore_checkpoint(Trainer& t, long long step) {
  const std::string path = t.recovery.checkpoints->existing_file_of(step);
  StageCounters c = load_file(t, path);
  refuse_nonfinite(t, path);
  return c;
}

std::optional<StageCounters> restore_latest_intact(Trainer& t) {
  const training::CheckpointDirectory& dir = *t.recovery.checkpoints;
  const std::vector<long long> candidates = dir.resume_candidates();
  if (candidates.empty()) return std::nullopt;
  for (long long step : candidates) {
    std::string path;
    std::optional<StageCounters> c;
    try {
      path = dir.existing_file_of(step);
      c = load_file(t, path);
    } catch (const Error& e) {
      print_line(std::string("  Warning: ") + e.what() + "; trying an older checkpoint");
      continue;
    }
    refuse_nonfinite(t, path);
    return c;
  }
  throw Error("checkpoint: none of the " + std::to_string(candidates.size()) + " checkpoints in " + dir.path() +
              " can be loaded");
}

void warn_of_strays(const Trainer& t) {
  for (const std::string& line : t.recovery.checkpoints->strays()) print_line("  Warning: checkpoint: " + line);
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
