#include "korvane/carrowel/trainer/progress_report.hpp"

#include "korvane/carrowel/client/messages.hpp"
#include "korvane/carrowel/trainer/trainer.hpp"
#include "korvane/common/async/awaiters.hpp"
#include "korvane/common/async/op.hpp"
#include "korvane/common/errors.hpp"
#include "korvane/common/python/output.hpp"
#include "korvane/common/python/translate_errors.hpp"
#include "korvane/protocol/protocol.hpp"

namespace korvane::carrowel {

async::Task<void> report_held_out(py::object self, long long step, py::dict figures) {
  Trainer& t = Trainer::of(self);
  if (!t.session.member || !t.session.offers(protocol::kFeatureReports)) co_return;
  client::ProgressReport progress;
  progress.step = step;
  if (figures.contains("loss")) progress.heldout_loss = figures["loss"].cast<double>();
  if (figures.contains("accuracy")) progress.heldout_accuracy = figures["accuracy"].cast<double>();
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
  if (refused) print_line("  Warning: Failed to report the held-out figures: " + *refused);
}

}  // namespace korvane::carrowel
