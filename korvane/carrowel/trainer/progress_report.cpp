#include "korvane/carrowel/trainer/progress_report.hpp"

#include "korvane/carrowel/client/messages.hpp"
#include "korvane/carrowel/trainer/replicas.hpp"
#include "korvane/carrowel/trainer/trainer.hpp"
#include "korvane/common/async/awaiters.hpp"
#include "korvane/common/async/op.hpp"
#include "korvane/common/errors.hpp"
#include "korvane/common/python/output.hpp"
#include "korvane/common/python/translate_errors.hpp"
#include "korvane/protocol/protocol.hpp"

namespace korvane::carrowel {

namespace {
bool takes_reports(const Trainer& t) { return t.session.member && t.session.offers(protocol::kFeatureReports); }

// Posts the report; answers why it failed, if it did. Cancellation goes through.
async::Task<std::optional<std::string>> post_report(Trainer& t, client::ProgressReport progress) {
  std::exception_ptr failure;
  std::optional<std::string> refused;
  try {
    client::NoticeResult answer = co_await t.coordinator().report(progress);
    if (auto* r = std::get_if<client::Refused>(&answer)) refused = r->text;
    else if (auto* u = std::get_if<client::Unavailable>(&answer)) refused = u->why;
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure && async::is_cancellation(failure)) std::rethrow_exception(failure);
  if (failure) refused = error_message(failure);
  co_return refused;
}

async::Task<void> report_averaging(py::object self, client::ProgressReport progress,
                                   std::shared_ptr<AveragingReports::Shared> shared) {
  const std::optional<std::string> refused = co_await post_report(Trainer::of(self), std::move(progress));
  if (refused && !std::exchange(shared->warned, true))
    print_line("  Warning: Failed to report the averaging figures: " + *refused +
               " (later failures of these reports are not shown)");
}

bool done(const py::object& task) { return !task || task.attr("done")().cast<bool>(); }
}  // namespace

async::Task<void> report_held_out(py::object self, long long step, py::dict figures) {
  Trainer& t = Trainer::of(self);
  if (!takes_reports(t)) co_return;
  client::ProgressReport progress;
  progress.step = step;
  if (figures.contains("loss")) progress.heldout_loss = figures["loss"].cast<double>();
  if (figures.contains("accuracy")) progress.heldout_accuracy = figures["accuracy"].cast<double>();
  const std::optional<std::string> refused = co_await post_report(t, std::move(progress));
  if (refused) print_line("  Warning: Failed to report the held-out figures: " + *refused);
}

AveragingReports::~AveragingReports() {
  if (done(in_flight_)) return;
  try {
    in_flight_.attr("cancel")();
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("cancelling the averaging report");
  }
}

void AveragingReports::after_step(const py::object& self) {
  const Trainer& t = Trainer::of(self);
  if (!has_replicas(t) || !takes_reports(t)) return;
  unsent_ = true;
  if (!done(in_flight_)) return;
  const py::object& group = t.replicas.group;
  if (!py::hasattr(group, "generation") || !py::hasattr(group, "last_seconds")) return;  // a group of the caller's
  const long long generation = group.attr("generation").cast<long long>();
  const Clock::time_point now = Clock::now();
  if (sent_generation_ == generation && sent_at_ && now - *sent_at_ < kEvery) return;
  // The step's figures, not a step number: "step" is the held-out figures' own.
  client::ProgressReport progress;
  progress.averaging_seconds = group.attr("last_seconds").cast<double>();
  progress.group_generation = generation;
  py::object op = py::cast(async::make_op(report_averaging(self, std::move(progress), shared_), "report_averaging"));
  in_flight_ = py::module_::import("asyncio").attr("get_running_loop")().attr("create_task")(op);
  sent_generation_ = generation;
  sent_at_ = now;
  unsent_ = false;
}

async::Task<void> AveragingReports::finish(py::object self) {
  if (!done(in_flight_)) {
    py::object waiting = in_flight_;
    co_await async::AwaitPy(std::move(waiting));
  }
  // Not when reports have been failing: the loop would only wait for one more to fail.
  if (!unsent_ || shared_->warned) co_return;
  sent_at_.reset();  // due now
  after_step(self);
  if (!done(in_flight_)) {
    py::object waiting = in_flight_;
    co_await async::AwaitPy(std::move(waiting));
  }
}

}  // namespace korvane::carrowel
