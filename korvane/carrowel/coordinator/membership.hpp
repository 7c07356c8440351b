// What the trainer adds to the plain coordinator exchanges: the bearer token, the member
// secret handed out at the join, honest reading of error answers, and the notice that
// a member leaves (or failed). All of it is used only when offered: a coordinator that
// knows none of it sees the plain protocol.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "korvane/carrowel/trainer/trainer.hpp"
#include "korvane/common/coro/task.hpp"
#include "korvane/common/http/exchange.hpp"

namespace korvane::carrowel::coordinator {

inline constexpr const char* kLeavePath = "/pipeline/leave";
inline constexpr const char* kSecretRequestHeader = "X-Member-Secret-Request";
inline constexpr const char* kSecretHeader = "X-Member-Secret";
inline constexpr const char* kClientTimeoutHeader = "X-Client-Timeout";
inline constexpr const char* kSecretField = "member_secret";

// Time limit of the ready and leave notices (the join's and the posts' are the
// trainer's `join_timeout_s` and `post_timeout_s`).
inline constexpr double kNoticeTimeoutS = 10.0;

// "Authorization: Bearer ..." when the trainer has a token, and the member secret once
// it holds one.
std::vector<std::string> identity_headers(const Trainer& t);

// For an answer outside 2xx: "coordinator answered STATUS: TEXT", with the text of the
// JSON "error" field (or the start of the body). Nothing for a 2xx answer.
std::optional<std::string> refusal(const http::Response& response);

// Best effort: tells the coordinator that this member leaves its task, with `error` when
// its run failed, so that neighbours waiting on it stop at once. Never fails (except on
// cancellation); does nothing for a trainer that did not join through a coordinator.
async::Task<void> leave_task(py::object self, std::optional<std::string> error);

// Runs a training loop; after a failure, leaves the task with the error's text (then
// passes the failure on). A loop that succeeds stays a member: the caller may train and
// evaluate again, and leaves with `leave_pipeline` once its whole run is over.
async::Task<py::object> leaving_on_failure(py::object self, async::Task<py::object> run);

// The token of the `token` / `token_file` arguments; TypeError or ValueError when unusable.
std::optional<std::string> token_argument(py::handle token, py::handle token_file);

}  // namespace korvane::carrowel::coordinator
