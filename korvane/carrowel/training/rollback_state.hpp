// A run's roll-back state. A trainer that keeps checkpoints takes part in roll-backs: its
// relays carry the epoch they belong to, and an answer that says the run was rolled back
// since (409 with a later epoch and the step to go back to) leaves a pending roll-back that
// the loop carries out between steps, reloading that step in place.
//
// Owns the relay epoch and the pending roll-back; it reads answers given to it and never
// talks to anyone. Errors: none (an answer it cannot read is not a roll-back). Thread: the
// event loop's.
#pragma once
#include <optional>
#include <string_view>

namespace korvane::carrowel::training {

struct Rollback {
  long long step = 0;
  unsigned long long epoch = 0;
};

class RollbackState {
 public:
  // The epoch relays carry, or nullopt while the trainer takes no part in roll-backs.
  std::optional<unsigned long long> relay_epoch() const { return epoch_; }
  // Taking part from now on, at epoch 0 unless an epoch is already known.
  void take_part() {
    if (!epoch_) epoch_ = 0;
  }
  // The epoch the coordinator named (a rejoin's answer).
  void set_epoch(unsigned long long epoch) { epoch_ = epoch; }

  // Reads a coordinator's answer: its status and the step and epoch headers (absent:
  // nullopt). True, with a pending roll-back, when it says the run was rolled back to a
  // later epoch than this trainer's; the latest epoch wins among several.
  bool note_answer(int status, std::optional<std::string_view> step_text, std::optional<std::string_view> epoch_text);
  // The same for a roll-back already read from an answer (the coordinator client's).
  bool note(const Rollback& rollback);

  const std::optional<Rollback>& pending() const { return pending_; }
  // The pending roll-back, which from now on is the trainer's epoch; nullopt when none.
  std::optional<Rollback> take_pending();

 private:
  std::optional<unsigned long long> epoch_;
  std::optional<Rollback> pending_;
};

}  // namespace korvane::carrowel::training
