// The coordinator's messages as bytes on the wire: JSON bodies, query strings and relay
// headers. Python-free, so the exact forms are unit-tested on their own. Names come from
// korvane/protocol/protocol.hpp.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane::carrowel::client {

// What a join may ask beyond the plain protocol; each is sent only when set, so a join
// without options is the plain one, byte for byte.
struct JoinOptions {
  std::optional<std::string> activation_codec;  // the codec of activations ("sign" when absent)
  std::optional<std::string> gradient_codec;    // ... and of gradients
  std::optional<long long> stage;               // the pipeline position asked for
};

// A member's figures for people watching the run (live page, /metrics); each is sent
// only when set. A figure that is not finite goes out as null, which clears it.
struct ProgressReport {
  std::optional<long long> step;
  std::optional<double> heldout_loss;
  std::optional<double> heldout_accuracy;
  std::optional<double> averaging_seconds;
  std::optional<long long> group_generation;
};


// {"task_id", "trainer_id", "memory_bytes", "has_gpu"}, members in this order, then those
// of `options` that are set ("activation_codec", "gradient_codec", "stage").
std::string join_body(const std::string& task_id, const std::string& trainer_id, long long memory_bytes, bool has_gpu,
                      const JoinOptions& options = {});
// {"task_id", "trainer_id", "pipeline_position"}, members in this order.
std::string ready_body(const std::string& task_id, const std::string& trainer_id, long long pipeline_position);

// {"task_id", "trainer_id"} plus "error" when given, members in this order.
std::string leave_body(const std::string& task_id, const std::string& trainer_id, const std::optional<std::string>& error);
// {"task_id", "trainer_id", "step"}: the body of a checkpoint report and a roll-back request.
std::string step_body(const std::string& task_id, const std::string& trainer_id, long long step);

// {"task_id", "trainer_id", "step", "squared_norm"}, members in this order.
std::string norm_body(const std::string& task_id, const std::string& trainer_id, long long step, double squared_norm);
// The "total" of a norm answer, when the answer is a JSON object that holds it as a number.
std::optional<double> norm_answer_total(const std::string& body);
// {"task_id", "trainer_id"} and the figures of `progress` that are set, in its order.
std::string report_body(const std::string& task_id, const std::string& trainer_id, const ProgressReport& progress);

// The number of stages that a coordinator's answer to the ready notice offers as "stages"
// (an extra that a coordinator may leave out), when it is a sensible positive count.
std::optional<long long> ready_answer_stages(const std::string& body);

// "?k1=v1&k2=v2" with keys and values percent-encoded, in the given order.
std::string query_string(const std::vector<std::pair<std::string, std::string>>& params);

// The routing headers of a relay post, in order, plus X-Loss when a loss is given (as the
// shortest text that reads back as the same double). Throws ValueError for a value that
// would break the header block (CR, LF or NUL in an identifier).
// "Name: value" with the checks and the empty-value form of the relay headers.
std::string header_line(const char* name, const std::string& value);

std::vector<std::string> relay_headers(const std::string& task_id, const std::string& from, const std::string& to,
                                       long long micro_batch, std::optional<double> loss);
// The same, then X-Codec when `codec` is given.
std::vector<std::string> relay_headers(const std::string& task_id, const std::string& from, const std::string& to,
                                       long long micro_batch, std::optional<double> loss,
                                       const std::optional<std::string>& codec);

// The query of a relay fetch: task_id, trainer_id, micro_batch.
std::string relay_query(const std::string& task_id, const std::string& trainer_id, long long micro_batch);

}  // namespace korvane::carrowel::client
