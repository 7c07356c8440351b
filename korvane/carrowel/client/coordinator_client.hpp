// CoordinatorClient: the trainer's side of the coordinator protocol, free of Python and
// torch. It words the requests (messages.hpp, protocol.hpp), sends them through the
// transport it is given, and reads each answer into a typed result (results.hpp).
//
// Owns: the coordinator's URL, the bearer token, the transport, and the member identity
// it learns or is given (task id, trainer id, member secret, roll-back epoch).
// Does not: print, wait, retry, fall back or write trainer state. What an outcome means
// (a mock assignment, a warning, waiting for a neighbour to rejoin, a roll-back) is the
// caller's decision.
//
// Errors: an outcome the protocol foresees is a result, never an exception. Thrown are
//  - ValueError for malformed input from the caller (an identifier with CR, LF or NUL);
//  - from fetch: ConnectionError of the transport (a time-out is NeighbourMissing), and
//    ValueError for an X-Loss header that is not a number;
//  - from request_rollback: TimeoutError and ConnectionError of the transport;
//  - whatever is not a korvane error (common/errors.hpp), cancellation above all: it is
//    never caught and always reaches the caller.
//
// Thread: one thread, the one that drives the returned Tasks. Relays (post, fetch) and
// checkpoint reports may overlap one another on it: they read the member identity and
// write nothing. join and leave, which change the membership, overlap nothing. Each Task
// keeps the client's state alive, so a Task may outlive the client object that made it.
#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "korvane/carrowel/client/messages.hpp"
#include "korvane/carrowel/client/results.hpp"
#include "korvane/common/coro/task.hpp"
#include "korvane/common/http/exchange.hpp"

namespace korvane::carrowel::client {

// One HTTP exchange: the response whatever its status, or TimeoutError when its time
// limit ran out, or ConnectionError. The product passes async::http_exchange.
using Transport = std::function<async::Task<http::Response>(http::Request)>;

enum class Relay { activation, gradient };

struct Member {
  std::string task_id;
  std::string trainer_id;
  std::optional<std::string> secret;                  // handed out at the join, sent on every request
  std::optional<unsigned long long> rollback_epoch;   // set: relays carry it, 409 answers may roll back
  bool joined = false;                                // joined through the coordinator, not left since
};

class CoordinatorClient {
 public:
  // `base_url` without a trailing slash ("http://127.0.0.1:8000"); `token`, when given,
  // goes out as "Authorization: Bearer TOKEN" and must hold no CR, LF or NUL (ValueError).
  CoordinatorClient(std::string base_url, std::optional<std::string> token, Transport transport);
  CoordinatorClient(CoordinatorClient&&) noexcept = default;
  CoordinatorClient& operator=(CoordinatorClient&&) noexcept = default;
  CoordinatorClient(const CoordinatorClient&) = delete;
  CoordinatorClient& operator=(const CoordinatorClient&) = delete;
  ~CoordinatorClient();

  const Member& member() const;
  // The coordinator to ask from the next operation on (an operation under way keeps its own).
  void set_base_url(std::string base_url);
  // For an assignment that did not come from join(): relays and notices use these ids.
  void adopt(std::string task_id, std::string trainer_id);
  // A secret kept from an earlier run (presented at the join that rejoins), or none.
  void set_secret(std::optional<std::string> secret);
  // From now on relays and reports carry `epoch`, and answers may roll the run back.
  void set_rollback_epoch(std::optional<unsigned long long> epoch);

  // Asks for a slice of task `task_id`, presenting any secret held. Assigned: the ids are
  // kept, the secret of the answer (if any) replaces the one held and is taken out of the
  // answer. Unavailable (no answer, or no JSON object): the membership and secret are
  // forgotten. Refused: nothing changes. `timeout_s` bounds the whole exchange and is
  // announced to the coordinator.
  // The members of `options` that are set go out in the body; none set: the plain join.
  async::Task<JoinResult> join(std::string task_id, std::string trainer_id, long long memory_bytes, bool has_gpu,
                               double timeout_s, JoinOptions options = {});
  // The ready notice of the member at `pipeline_position`.
  async::Task<NoticeResult> ready(long long pipeline_position);
  // Says the member leaves, with `error` when its run failed. After any answer the client
  // is no longer a member; a client that is none sends nothing (NotMember).
  async::Task<LeaveResult> leave(std::optional<std::string> error);

  // Posts a relay body for trainer `to`, with the loss a gradient carries and, when
  // given, the name of its codec (X-Codec; ValueError for CR, LF or NUL in it).
  async::Task<PostResult> post(Relay relay, std::string to, long long micro_batch, std::string body,
                               std::optional<double> loss, std::optional<double> timeout_s,
                               std::optional<std::string> codec = std::nullopt);
  // Fetches this member's relay body of `micro_batch`, waiting at most `timeout_s` (none
  // or not positive: no limit), a limit the coordinator is told of so that it answers first.
  async::Task<FetchResult> fetch(Relay relay, long long micro_batch, std::optional<double> timeout_s);

  // Reports a saved checkpoint of `step`.
  async::Task<CheckpointResult> report_checkpoint(long long step);
  // Asks to roll the run back, `latest_step` being this member's newest checkpoint. A
  // coordinator without roll-backs answers Refused with status 404; an answer without
  // its step and epoch is Unavailable.
  async::Task<RollbackResult> request_rollback(long long latest_step);

  // Posts this member's squared gradient norm of `step` and waits, at most `timeout_s`
  // (none or not positive: no limit of its own), until every member has posted its own;
  // answers the sum. ValueError for a norm that is negative or not finite (nothing is
  // sent). May overlap relays.
  async::Task<NormResult> exchange_norm(long long step, double squared_norm, std::optional<double> timeout_s);
  // Reports this member's figures; the members left unset are not sent.
  async::Task<NoticeResult> report(ProgressReport progress);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// "coordinator answered STATUS: TEXT" for an answer outside 2xx, TEXT being the JSON
// "error" field or the start of the body, on one line. Nothing for a 2xx answer.
std::optional<Refused> refusal(const http::Response& response);

}  // namespace korvane::carrowel::client
