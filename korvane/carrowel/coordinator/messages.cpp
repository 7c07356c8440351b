#include "korvane/carrowel/coordinator/messages.hpp"

#include <nlohmann/json.hpp>

#include "korvane/common/errors.hpp"
#include "korvane/common/float_format.hpp"

namespace korvane::carrowel::coordinator {

using ordered_json = nlohmann::ordered_json;

std::string join_body(const std::string& task_id, const std::string& trainer_id, long long memory_bytes, bool has_gpu) {
  ordered_json j;
  j["task_id"] = task_id;
  j["trainer_id"] = trainer_id;
  j["memory_bytes"] = memory_bytes;
  j["has_gpu"] = has_gpu;
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string ready_body(const std::string& task_id, const std::string& trainer_id, long long pipeline_position) {
  ordered_json j;
  j["task_id"] = task_id;
  j["trainer_id"] = trainer_id;
  j["pipeline_position"] = pipeline_position;
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<long long> ready_answer_stages(const std::string& body) {
  const auto j = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!j.is_object()) return std::nullopt;
  const auto it = j.find("stages");
  if (it == j.end() || !it->is_number_integer()) return std::nullopt;
  if (it->is_number_unsigned() && it->get<unsigned long long>() > 1'000'000) return std::nullopt;
  const long long n = it->get<long long>();
  if (n < 1 || n > 1'000'000) return std::nullopt;
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
  h.push_back(header("X-Task-ID", task_id));
  h.push_back(header("X-From-Trainer", from));
  h.push_back(header("X-To-Trainer", to));
  h.push_back(header("X-Micro-Batch", std::to_string(micro_batch)));
  if (loss) h.push_back(header("X-Loss", float_repr(*loss)));
  return h;
}

std::string relay_query(const std::string& task_id, const std::string& trainer_id, long long micro_batch) {
  return query_string({{"task_id", task_id}, {"trainer_id", trainer_id}, {"micro_batch", std::to_string(micro_batch)}});
}

}  // namespace korvane::carrowel::coordinator
