#include "korvane/carrowel/training/step_metrics.hpp"

namespace korvane::carrowel::training {

std::optional<double> StepRecord::samples_per_s() const {
  if (!samples || step_time_s <= 0) return std::nullopt;
  return double(*samples) / step_time_s;
}

nlohmann::ordered_json StepRecord::to_json() const {
  nlohmann::ordered_json j;
  j["trainer_id"] = trainer_id;
  j["step"] = step;
  j["round"] = round;
  j["loss"] = loss ? nlohmann::ordered_json(*loss) : nlohmann::ordered_json(nullptr);
  j["step_time_s"] = step_time_s;
  j["samples"] = samples ? nlohmann::ordered_json(*samples) : nlohmann::ordered_json(nullptr);
  const auto rate = samples_per_s();
  j["samples_per_s"] = rate ? nlohmann::ordered_json(*rate) : nlohmann::ordered_json(nullptr);
  j["bytes_sent"] = bytes_sent;
  j["bytes_received"] = bytes_received;
  if (evaluation && !evaluation->is_null()) j["evaluation"] = *evaluation;
  if (replicas) {
    j["lane"] = replicas->lane;
    j["stage"] = replicas->stage;
    j["group_generation"] = replicas->generation;
    j["group_size"] = replicas->world_size;
    j["averaging_seconds"] = replicas->averaging_seconds;
    j["averaging_bytes"] = replicas->averaging_bytes;
    j["param_hash"] = replicas->param_hash;
  }
  return j;
}

StepRecord StepMetrics::record(const Start& start, Clock::time_point now, std::string trainer_id, long long round,
                               std::optional<double> loss, std::optional<long long> samples) const {
  StepRecord r;
  r.trainer_id = std::move(trainer_id);
  r.step = steps_recorded_;
  r.round = round;
  r.loss = loss;
  r.step_time_s = std::chrono::duration<double>(now - start.time).count();
  r.samples = samples;
  r.bytes_sent = bytes_sent_ - start.sent;
  r.bytes_received = bytes_received_ - start.received;
  return r;
}

}  // namespace korvane::carrowel::training
