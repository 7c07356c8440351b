// Admission of trainers into pipeline tasks, the layer slice each one owns, and who may
// act for whom.
//
// A task gathers `stages` trainers into a run. Each join waits until the run is complete,
// then every member learns its contiguous slice of the model (split as evenly as
// possible, in join order) and its neighbours. While a run forms, a trainer id that is
// already waiting is refused; a join that gives up leaves the forming run at once.
//
// Members. A trainer that asks for one gets a per-member secret with its assignment and
// proves itself with it on every later request; for such a member the id alone proves
// nothing. A member that holds no secret is identified by its id, as in the plain
// protocol. Once a run has formed:
//  - a member joining again gets its assignment back (it must present its secret when
//    it holds one), so a lost answer can be asked for again;
//  - a new id is refused: the run has its members.
//
// Runs. A member becomes inactive when it leaves, when it reports a failure, or when it
// has sent nothing for `member_timeout` while no request of it is held. When every
// member is inactive the run is over: its task is forgotten, its relayed messages are
// dropped (through `on_run_change`), and the next join starts a new run with a new
// number. Relay messages of a run are kept under `scope()`, which carries that number,
// so no message of one run can reach another.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/coordinator/join_terms.hpp"
#include "tools/coordinator/waiter.hpp"

namespace korvane::coordinator {

struct LayerSlice {
  std::int64_t start;
  std::int64_t end;  // exclusive
  bool operator==(const LayerSlice&) const = default;
};

// Contiguous slices of `layers` layers over `stages` stages; the first
// layers % stages stages get one layer more. Needs stages >= 1 and layers >= 0.
std::vector<LayerSlice> split_layers(std::int64_t layers, std::int64_t stages);

struct Assignment {
  LayerSlice slice;
  std::int64_t pipeline_position = 0;
  std::optional<std::string> upstream;
  std::optional<std::string> downstream;
  std::string layer_weights_hash;
};

struct JoinRequest {
  std::string task_id;
  std::string trainer_id;
  std::uint64_t memory_bytes = 0;
  bool has_gpu = false;
  bool wants_secret = false;          // the trainer asked for a member secret
  std::optional<std::string> secret;  // presented with a rejoin
  bool may_wait = true;               // false: refuse with `busy` rather than wait
  CodecPair codecs = default_codecs();  // the pair asked for (join_terms.hpp)
  std::optional<std::int64_t> stage = std::nullopt;  // the position asked for; below `stages`
};

// The store scope of a run's relay messages, or the bare task id outside any run.
std::string run_scope(const std::string& task_id, std::uint64_t run);

class TaskRegistry {
 public:
  using Clock = std::chrono::steady_clock;

  struct Config {
    std::int64_t stages = 3;
    std::int64_t layers = 12;
    std::size_t max_tasks = 1024;
    Clock::duration member_timeout = std::chrono::seconds(600);
  };

  enum class JoinStatus { assigned, waiting, refused, busy, too_many_tasks, shutting_down };
  struct JoinResult {
    JoinStatus status;
    Assignment assignment;              // when assigned
    std::optional<std::string> secret;  // when assigned to a member that holds one
    std::size_t joined = 0;             // members of the run when the join arrived (itself included)
    bool rejoined = false;              // a member of a formed run asked again
    std::uint64_t run = 0;              // the run joined, for poll_join and abandon_join
    std::string error;                  // when refused (409)
  };

  // The outcome of an identity check: `status` 0 when allowed.
  struct Access {
    int status = 0;
    std::string error;
    std::string scope;    // where the relay messages live
    std::uint64_t run = 0;  // 0: no run (the open relay of the plain protocol)
    std::optional<std::uint64_t> rollback_epoch;  // status 409: the run was rolled back to...
    std::int64_t rollback_step = 0;               // ... this step since the request's epoch
    // The sender proved who it is (a member with a secret, or any member under a token):
    // a message it stored may not be replaced by another sender.
    bool exclusive = false;
    bool ok() const { return status == 0; }
  };

  // Roll-backs (rollback.cpp). A member that keeps checkpoints reports each step it has
  // saved; a member that comes back after a loss asks for a roll-back to the latest step
  // that every member has kept. That starts a new epoch of the run: its relay messages
  // live in a scope of their own, the earlier epoch's are dropped, and a relay request
  // that names an earlier epoch (X-Rollback-Epoch) is answered 409 with the step to
  // reload, so the survivors reload it in place.
  struct RollbackResult {
    int status = 0;  // 0, or the HTTP status of the refusal
    std::string error;
    std::int64_t step = 0;
    std::uint64_t epoch = 0;
  };
  int checkpointed(const std::string& task_id, const std::string& trainer_id, const std::optional<std::string>& secret,
                   std::int64_t step, std::string& error_out);
  RollbackResult rollback(const std::string& task_id, const std::string& trainer_id,
                          const std::optional<std::string>& secret, std::int64_t step);
  // The roll-back that a request of epoch `epoch` in run `run` has missed, if any.
  std::optional<Access> rolled_back_since(const std::string& task_id, std::uint64_t run,
                                          std::optional<std::uint64_t> epoch);

  struct Stats {
    std::size_t tasks = 0;
    std::size_t members = 0;
    std::size_t active = 0;
  };

  // `on_run_change(scope, over)` runs under the registry's lock whenever members of a
  // formed run become inactive (`over` false: wake its waiting fetches) or the run ends
  // (`over` true: drop its messages). It must not call back into the registry.
  TaskRegistry(Config config, std::function<void(const std::string& scope, bool over)> on_run_change = {},
               std::function<Clock::time_point()> now = Clock::now);

  // Never blocks. `waiting` means the caller registered `waiter` with a forming run and
  // must call poll_join when woken, and abandon_join if it gives up.
  JoinResult join(const JoinRequest& request, const std::shared_ptr<Waiter>& waiter);
  JoinResult poll_join(const std::string& task_id, const std::string& trainer_id, std::uint64_t run);
  void abandon_join(const std::string& task_id, const std::string& trainer_id, std::uint64_t run,
                    const Waiter* waiter);

  enum class ReadyStatus { recorded, unknown_trainer, wrong_position, forbidden };
  struct ReadyResult {
    ReadyStatus status;
    std::size_t ready = 0;  // members that signalled ready so far
    std::int64_t assigned_position = -1;
  };
  ReadyResult ready(const std::string& task_id, const std::string& trainer_id, std::int64_t position,
                    const std::optional<std::string>& secret);

  // Which way a relay message travels: activations go to the downstream neighbour,
  // gradients to the upstream one.
  enum class Flow { either, downstream, upstream };
  // May `from` post to `to` in this task? `strict` (the service runs with a token)
  // requires membership even of trainers that hold no secret. Where identities are
  // checked, `to` must be the neighbour on the `flow` side of `from`.
  Access check_post(const std::string& task_id, const std::string& from, const std::string& to,
                    const std::optional<std::string>& secret, bool strict,
                    std::optional<std::uint64_t> epoch = std::nullopt, Flow flow = Flow::either);
  // May `recipient` fetch its messages of this task?
  Access check_fetch(const std::string& task_id, const std::string& recipient,
                     const std::optional<std::string>& secret, bool strict,
                     std::optional<std::uint64_t> epoch = std::nullopt);
  // Why a fetch of `recipient` in run `run` can never be answered (its run is over or
  // failed, or the neighbour that would post has left), or nothing when it still can.
  std::optional<std::string> fetch_blocker(const std::string& task_id, std::uint64_t run,
                                           const std::string& recipient, bool gradient);
  // The members whose squared gradient norms a member's norm post is summed with: its
  // run's members in pipeline order. `access` as for a fetch, but only a member of a
  // formed run is let in (with its secret when it holds one).
  struct NormGroup {
    Access access;
    std::string key;         // where the group's exchange lives: changes with the epoch
    std::size_t size = 0;    // members
    std::size_t position = 0;  // of the poster, in the group
  };
  NormGroup norm_group(const std::string& task_id, const std::string& trainer_id,
                       const std::optional<std::string>& secret, std::optional<std::uint64_t> epoch);
  // Why a held norm exchange of `trainer_id` in run `run` can never complete (the run is
  // over or failed, a member of its group is gone), or nothing.
  std::optional<std::string> norm_blocker(const std::string& task_id, std::uint64_t run, const std::string& trainer_id);
  // May this member report its figures? As norm_group, without the epoch.
  Access check_member(const std::string& task_id, const std::string& trainer_id, const std::optional<std::string>& secret);

  // A held request of a member counts as activity for its whole wait.
  void hold(const std::string& task_id, std::uint64_t run, const std::string& trainer_id, int delta);

  // A member leaves its run, with `error` when its run failed. 0 when done, else an HTTP
  // status with `error_out`.
  int leave(const std::string& task_id, const std::string& trainer_id, const std::optional<std::string>& secret,
            const std::optional<std::string>& error, std::string& error_out);

  // Marks members silent for longer than member_timeout inactive; returns how many.
  std::size_t sweep();

  void shutdown();
  Stats stats() const;
  const Config& config() const { return config_; }

  // What the live page shows: runs forming or running, then the last runs that ended.
  struct MemberView {
    std::string id;
    Assignment assignment{};  // meaningful once the run has formed
    bool active = true;
    bool ready = false;
    int held = 0;               // requests of it waiting at the coordinator
    double idle_seconds = 0;    // since its last request
    std::string ended;          // why it became inactive: "left", "failed: ...", "timed out"
  };
  struct RunView {
    std::string task_id;
    std::uint64_t run = 0;
    bool complete = false;
    bool over = false;
    double ended_seconds_ago = 0;  // when over
    std::optional<std::string> failure;
    std::vector<MemberView> members;  // pipeline order once formed, join order before
  };
  static constexpr std::size_t kEndedRunsKept = 16;
  // One page of the runs that are forming or running: those running first (a run whose
  // members train matters more than a join that waits), then failing, then forming, each
  // group in task-id order. `after` names the last task of the previous page.
  struct PageRequest {
    std::size_t limit = 64;
    std::optional<std::string> after;
  };
  struct Snapshot {
    std::vector<RunView> runs;        // the page, then (on the first page) the runs that ended
    std::size_t live_total = 0;       // runs forming or running, on every page
    std::size_t more = 0;             // of those, how many come after this page
    std::optional<std::string> next;  // `after` for the next page, when there is one
  };
  Snapshot snapshot(const PageRequest& page) const;
  std::vector<RunView> snapshot(std::size_t max_live = 64) const { return snapshot(PageRequest{max_live, {}}).runs; }
  // The number of the task's current run, formed or forming; 0 when it has none.
  std::uint64_t run_of(const std::string& task_id) const;

 private:
  struct Member {
    std::string id;
    std::optional<std::string> secret;
    Assignment assignment;
    bool active = true;
    bool ready = false;
    int held = 0;
    Clock::time_point last_seen;
    std::string ended;  // set when it becomes inactive
    std::optional<std::int64_t> checkpoint;  // the latest step it reported saved
    std::optional<std::int64_t> stage;       // the position it asked for
  };
  struct Run {
    std::uint64_t number = 0;
    std::vector<Member> members;  // join order
    bool complete = false;
    std::optional<std::string> failure;  // the first failure reported in it
    std::vector<std::shared_ptr<Waiter>> join_waiters;
    std::uint64_t epoch = 0;          // roll-backs so far
    std::int64_t rollback_step = 0;   // the step the latest one went back to
    CodecPair codecs;                 // fixed by its first member
  };
  using Tasks = std::map<std::string, Run>;

  Member* find(Run& run, const std::string& trainer_id);
  // Why `req` may not join the forming `run` on its terms (codecs, stage), or "".
  std::string terms_refusal(const Run& run, const JoinRequest& req) const;
  static std::string scope_of(const std::string& task_id, const Run& run);  // the current epoch's
  std::optional<Access> stale_epoch(const Run& run, std::optional<std::uint64_t> epoch) const;
  Run* live_run(const std::string& task_id, std::uint64_t run);  // formed or forming, with that number
  void complete_run(const std::string& task_id, Run& run);
  bool deactivate(Tasks::iterator task, Member& m);  // true: the run is over, its task erased
  std::optional<std::string> new_secret() const;
  Access identify(Run& run, const std::string& task_id, const std::string& trainer_id,
                  const std::optional<std::string>& secret, Member*& member);

  const Config config_;
  const std::vector<LayerSlice> slices_;
  std::function<void(const std::string&, bool)> on_run_change_;
  std::function<Clock::time_point()> now_;

  mutable std::mutex mutex_;
  Tasks tasks_;
  std::uint64_t next_run_ = 1;
  bool closing_ = false;
  struct EndedRun {
    std::string task_id;
    Run run;
    Clock::time_point ended;
  };
  std::deque<EndedRun> ended_;  // newest first, at most kEndedRunsKept
  RunView view(const std::string& task_id, const Run& run, Clock::time_point now) const;
};

}  // namespace korvane::coordinator
