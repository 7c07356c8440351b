#include "korvane/carrowel/client/messages.hpp"

#include <cmath>

#include <nlohmann/json.hpp>

#include "korvane/common/errors.hpp"
#include "korvane/common/float_format.hpp"
#include "korvane/protocol/protocol.hpp"

namespace korvane::carrowel::client {

using ordered_json = nlohmann::ordered_json;
namespace field = protocol::field;

namespace {
std::string dumped(const ordered_json& j) { return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }
}  // namespace

std::string join_body(const std::string& task_id, const std::string& trainer_id, long long memory_bytes, bool has_gpu,
                      const JoinOptions& options) {
  ordered_json j;
  j[field::kTaskId] = task_id;
  j[field::kTrainerId] = trainer_id;
  j[field::kMemoryBytes] = memory_bytes;
  j[field::kHasGpu] = has_gpu;
  if (options.activation_codec) j[field::kActivationCodec] = *options.activation_codec;
  if (options.gradient_codec) j[field::kGradientCodec] = *options.gradient_codec;
  if (options.stage) j[field::kStage] = *options.stage;
  return dumped(j);
}

std::string ready_body(const std::string& task_id, const std::string& trainer_id, long long pipeline_position) {
  ordered_json j;
  j[field::kTaskId] = task_id;
  j[field::kTrainerId] = trainer_id;
  j[field::kPipelinePosition] = pipeline_position;
  return dumped(j);
}

std::string leave_body(const std::string& task_id, const std::string& trainer_id, const std::optional<std::string>& error) {
  ordered_json j;
  j[field::kTaskId] = task_id;
  j[field::kTrainerId] = trainer_id;
  if (error) j[field::kError] = *error;
  return dumped(j);
}

std::string step_body(const std::string& task_id, const std::string& trainer_id, long long step) {
  // Members in key order, as the body has always been written; bytes that are not UTF-8
  // are replaced rather than failing the report.
  nlohmann::json j{{field::kTaskId, task_id}, {field::kTrainerId, trainer_id}, {field::kStep, step}};
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string norm_body(const std::string& task_id, const std::string& trainer_id, long long step, double squared_norm) {
  ordered_json j;
  j[field::kTaskId] = task_id;
  j[field::kTrainerId] = trainer_id;
  j[field::kStep] = step;
  j[field::kSquaredNorm] = squared_norm;  // written as the shortest text that reads back exactly
  return dumped(j);
}

std::optional<double> norm_answer_total(const std::string& body) {
  const auto j = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!j.is_object()) return std::nullopt;
  const auto it = j.find(field::kTotal);
  if (it == j.end() || !it->is_number()) return std::nullopt;
  return it->get<double>();
}

std::string report_body(const std::string& task_id, const std::string& trainer_id, const ProgressReport& progress) {
  ordered_json j;
  j[field::kTaskId] = task_id;
  j[field::kTrainerId] = trainer_id;
  // JSON has no infinities or NaN: such a figure goes out as null, which clears it.
  const auto figure = [](double v) { return std::isfinite(v) ? ordered_json(v) : ordered_json(nullptr); };
  if (progress.step) j[field::kStep] = *progress.step;
  if (progress.heldout_loss) j[field::kHeldoutLoss] = figure(*progress.heldout_loss);
  if (progress.heldout_accuracy) j[field::kHeldoutAccuracy] = figure(*progress.heldout_accuracy);
  if (progress.averaging_seconds) j[field::kAveragingSeconds] = figure(*progress.averaging_seconds);
  if (progress.group_generation) j[field::kGroupGeneration] = *progress.group_generation;
  return dumped(j);
}

std::optional<long long> ready_answer_stages(const std::string& body) {
  const auto j = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!j.is_object()) return std::nullopt;
  const auto it = j.find(field::kStages);
  if (it == j.end() || !it->is_number_integer()) return std::nullopt;
  if (it->is_number_unsigned() && it->get<unsigned long long>() > protocol::kMaxStages) return std::nullopt;
  const long long n = it->get<long long>();
  if (n < 1 || n > protocol::kMaxStages) return std::nullopt;
  return n;
}

namespace {
void percent_encode(std::string& out, std::string_view s) {
  static const char* hex = "0123456789ABCDEF";
  for (unsigned char c : s) {
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                            c == '_' || c == '.' || c == '~';
    if (unreserved) {
      out += char(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
}

const std::string& checked_header_value(const char* name, const std::string& v) {
  if (v.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
    throw ValueError(std::string(name) + " value contains a line break or NUL and cannot be sent as a header");
  return v;
}

// curl drops a header written "Name:" with nothing after the colon; "Name;" sends it empty.
std::string header(const char* name, const std::string& value) {
  checked_header_value(name, value);
  return value.empty() ? std::string(name) + ";" : std::string(name) + ": " + value;
}
}  // namespace

std::string header_line(const char* name, const std::string& value) { return header(name, value); }

std::string query_string(const std::vector<std::pair<std::string, std::string>>& params) {
  std::string q;
  for (const auto& [k, v] : params) {
    q += q.empty() ? '?' : '&';
    percent_encode(q, k);
    q += '=';
    percent_encode(q, v);
  }
  return q;
}

std::vector<std::string> relay_headers(const std::string& task_id, const std::string& from, const std::string& to,
                                       long long micro_batch, std::optional<double> loss) {
  std::vector<std::string> h;
  h.push_back(header(protocol::kTaskIdHeader, task_id));
  h.push_back(header(protocol::kFromTrainerHeader, from));
  h.push_back(header(protocol::kToTrainerHeader, to));
  h.push_back(header(protocol::kMicroBatchHeader, std::to_string(micro_batch)));
  if (loss) h.push_back(header(protocol::kLossHeader, float_repr(*loss)));
  return h;
}

std::vector<std::string> relay_headers(const std::string& task_id, const std::string& from, const std::string& to,
                                       long long micro_batch, std::optional<double> loss,
                                       const std::optional<std::string>& codec) {
  std::vector<std::string> h = relay_headers(task_id, from, to, micro_batch, loss);
  if (codec) h.push_back(header(protocol::kCodecHeader, *codec));
  return h;
}

std::string relay_query(const std::string& task_id, const std::string& trainer_id, long long micro_batch) {
  return query_string({{protocol::kTaskIdParam, task_id}, {protocol::kTrainerIdParam, trainer_id}, {protocol::kMicroBatchParam, std::to_string(micro_batch)}});
}

}  // namespace korvane::carrowel::client
