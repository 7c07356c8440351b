// What the coordinator client's operations yield: plain records, one per outcome, so that
// the trainer's loop (not the client) decides what each outcome means for the run.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <variant>

#include <nlohmann/json.hpp>

namespace korvane::carrowel::client {

// The request reached the coordinator and was done.
struct Delivered {
  std::size_t bytes = 0;  // body bytes sent
};

// The coordinator answered outside 2xx. `text` is the one-line wording the trainer's
// warnings and errors use: "coordinator answered STATUS: TEXT"; `reason` is TEXT as the
// coordinator sent it (its JSON "error", or the start of the body).
struct Refused {
  long status = 0;
  std::string text;
  std::string reason;
};

// The coordinator could not be asked, or its answer could not be read: `why` is the
// transport's or the parser's message.
struct Unavailable {
  std::string why;
};

// The run was rolled back since the epoch this member holds: reload `step`, then relay
// in `epoch`.
struct RolledBack {
  long long step = 0;
  unsigned long long epoch = 0;
};

// The neighbour a fetch waits on is not there: the coordinator says it left or failed
// (410) or that nothing came within its wait (504), or the fetch's own time limit ran out.
struct NeighbourMissing {
  long status = 0;      // 410 or 504; 0 when the fetch's own time limit ran out
  std::string why;      // "HTTP 410: <start of body>", or the time-out's message
  std::string refusal;  // the Refused wording of the answer; empty after a time-out
};

// A relay body as fetched, with the loss a gradient carries.
struct Received {
  std::string body;
  std::optional<double> loss;
  std::size_t bytes = 0;             // body bytes received
  std::optional<std::string> codec;  // the X-Codec the sender named; none: the plain sign record
};

// The sum of every member's squared gradient norm for a step, added in pipeline order,
// so that every member holds the identical double.
struct NormTotal {
  double total = 0;
};

// The coordinator's join answer: the JSON object (or null) as sent, without the member
// secret, which the client keeps. read_assignment() makes the typed record of it.
struct Assigned {
  nlohmann::json answer;
};

// A sent notice (ready, leave, checkpoint report) that was answered in 2xx.
struct Noted {
  std::optional<long long> stages;  // ready: the stage count the coordinator offers
};

// A leave by a client that holds no membership: nothing was sent.
struct NotMember {};

using JoinResult = std::variant<Assigned, Refused, Unavailable>;
using NoticeResult = std::variant<Noted, Refused, Unavailable>;
using LeaveResult = std::variant<Noted, Refused, Unavailable, NotMember>;
using PostResult = std::variant<Delivered, Refused, RolledBack, Unavailable>;
using FetchResult = std::variant<Received, Refused, RolledBack, NeighbourMissing>;
using CheckpointResult = std::variant<Noted, Refused, RolledBack, Unavailable>;
// A roll-back request: where the run goes back to, Refused, or Unavailable; a coordinator
// without roll-backs answers 404, which arrives as Refused with status 404.
using RollbackResult = std::variant<RolledBack, Refused, Unavailable>;
// A norm exchange: the total; Refused (a coordinator without norms answers 404);
// RolledBack; NeighbourMissing when a member left (410), the coordinator's wait ended
// (504) or the exchange's own time limit ran out; Unavailable when it could not be asked.
using NormResult = std::variant<NormTotal, Refused, RolledBack, NeighbourMissing, Unavailable>;

}  // namespace korvane::carrowel::client
