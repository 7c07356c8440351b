#include "korvane/carrowel/training/rollback_state.hpp"

#include <charconv>

namespace korvane::carrowel::training {

namespace {
constexpr int kRolledBack = 409;

// Plain decimal digits that fit T; nothing else (no sign, no blanks, no overflow).
template <class T>
std::optional<T> decimal(std::optional<std::string_view> text) {
  if (!text || text->empty() || text->front() < '0' || text->front() > '9') return std::nullopt;
  T value{};
  const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (ec != std::errc() || end != text->data() + text->size()) return std::nullopt;
  return value;
}
}  // namespace

bool RollbackState::note_answer(int status, std::optional<std::string_view> step_text,
                                std::optional<std::string_view> epoch_text) {
  if (status != kRolledBack || !epoch_) return false;
  const auto step = decimal<long long>(step_text);
  const auto epoch = decimal<unsigned long long>(epoch_text);
  if (!step || !epoch) return false;
  return note(Rollback{*step, *epoch});
}

bool RollbackState::note(const Rollback& rollback) {
  if (!epoch_ || rollback.epoch <= *epoch_) return false;
  if (!pending_ || pending_->epoch < rollback.epoch) pending_ = rollback;
  return true;
}

std::optional<Rollback> RollbackState::take_pending() {
  std::optional<Rollback> rb = pending_;
  pending_.reset();
  if (rb) epoch_ = rb->epoch;
  return rb;
}

}  // namespace korvane::carrowel::training
