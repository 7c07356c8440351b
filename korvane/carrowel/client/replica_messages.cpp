#include "korvane/carrowel/client/replica_messages.hpp"

#include <nlohmann/json.hpp>

#include "korvane/protocol/protocol.hpp"

namespace korvane::carrowel::client {
namespace field = protocol::field;
namespace so = protocol::store_op;
using nlohmann::json;

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::string dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }
}  // namespace

std::string base64_encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 3; ++k) v = v << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    for (std::size_t k = 0; k < 4; ++k) out += k <= n ? kAlphabet[(v >> (18 - 6 * k)) & 63] : '=';
  }
  return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
  while (!text.empty() && text.back() == '=') text.remove_suffix(1);
  if (text.size() % 4 == 1) return std::nullopt;
  std::string out;
  std::uint32_t v = 0;
  int bits = 0;
  for (char c : text) {
    const int s = sextet(c);
    if (s < 0) return std::nullopt;
    v = v << 6 | static_cast<std::uint32_t>(s);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((v >> bits) & 0xff);
    }
  }
  return out;
}

namespace {
StoreOp make_op(const char* name, std::vector<std::string> keys) {
  StoreOp o;
  o.op = name;
  o.keys = std::move(keys);
  return o;
}
}  // namespace

StoreOp StoreOp::set(std::string key, std::string value) {
  StoreOp o = make_op(so::kSet, {std::move(key)});
  o.value = std::move(value);
  return o;
}
StoreOp StoreOp::get(std::string key, std::optional<double> wait_s) {
  StoreOp o = make_op(so::kGet, {std::move(key)});
  o.wait_s = wait_s;
  return o;
}
StoreOp StoreOp::add(std::string key, long long amount) {
  StoreOp o = make_op(so::kAdd, {std::move(key)});
  o.amount = amount;
  return o;
}
StoreOp StoreOp::compare_set(std::string key, std::string expected, std::string desired) {
  StoreOp o = make_op(so::kCompareSet, {std::move(key)});
  o.expected = std::move(expected);
  o.value = std::move(desired);
  return o;
}
StoreOp StoreOp::check(std::vector<std::string> keys) { return make_op(so::kCheck, std::move(keys)); }
StoreOp StoreOp::wait(std::vector<std::string> keys, std::optional<double> wait_s) {
  StoreOp o = make_op(so::kWait, std::move(keys));
  o.wait_s = wait_s;
  return o;
}
StoreOp StoreOp::erase(std::string key) { return make_op(so::kDelete, {std::move(key)}); }
StoreOp StoreOp::num_keys() { return make_op(so::kNumKeys, {}); }

std::string store_body(const std::string& task_id, const std::string& trainer_id, const StoreOp& op) {
  json j{{field::kTaskId, task_id}, {field::kTrainerId, trainer_id}, {field::kOp, op.op}};
  if (op.op == so::kCheck || op.op == so::kWait)
    j[field::kKeys] = op.keys;
  else if (op.op != so::kNumKeys && !op.keys.empty())
    j[field::kKey] = op.keys.front();
  if (op.op == so::kSet) j[field::kValue] = base64_encode(op.value);
  if (op.op == so::kCompareSet) {
    j[field::kExpected] = base64_encode(op.expected);
    j[field::kDesired] = base64_encode(op.value);
  }
  if (op.op == so::kAdd) j[field::kAmount] = op.amount;
  if (op.wait_s) j[field::kTimeout] = *op.wait_s;
  return dump(j);
}

std::variant<StoreAnswer, std::string> read_store_answer(const StoreOp& op, const std::string& body) {
  const json j = json::parse(body, nullptr, /*allow_exceptions=*/false);
  const auto lacks = [&](const char* what) { return "the coordinator's store answer lacks " + std::string(what) + ": " + body.substr(0, 200); };
  if (!j.is_object()) return lacks("a JSON object");
  StoreAnswer a;
  const auto boolean = [&](const char* name) -> bool {
    auto it = j.find(name);
    if (it == j.end() || !it->is_boolean()) return false;
    a.flag = it->get<bool>();
    return true;
  };
  if (op.op == so::kGet || op.op == so::kCompareSet) {
    auto it = j.find(field::kValue);
    std::optional<std::string> v;
    if (it != j.end() && it->is_string()) v = base64_decode(it->get<std::string>());
    if (!v) return lacks("its base64 \"value\"");
    a.value = std::move(v);
  } else if (op.op == so::kAdd) {
    auto it = j.find(field::kCounter);
    if (it == j.end() || !it->is_number_integer()) return lacks("its \"counter\"");
    a.counter = it->get<long long>();
  } else if (op.op == so::kCheck || op.op == so::kWait) {
    if (!boolean(field::kPresent)) return lacks("\"present\"");
  } else if (op.op == so::kDelete) {
    if (!boolean(field::kDeleted)) return lacks("\"deleted\"");
  } else if (op.op == so::kNumKeys) {
    auto it = j.find(field::kCount);
    if (it == j.end() || !it->is_number_integer()) return lacks("its \"count\"");
    a.count = it->get<long long>();
  }
  return a;
}

std::string regroup_body(const std::string& task_id, const std::string& trainer_id, unsigned long long generation,
                         const std::optional<std::string>& error) {
  json j{{field::kTaskId, task_id}, {field::kTrainerId, trainer_id}, {field::kGeneration, generation}};
  if (error) j[field::kError] = *error;
  return dump(j);
}

std::variant<Regrouped, std::string> read_regroup_answer(const std::string& body) {
  const json j = json::parse(body, nullptr, /*allow_exceptions=*/false);
  const bool complete = j.is_object() && j.contains(field::kGeneration) && j[field::kGeneration].is_number_unsigned() &&
                        j.contains(field::kRank) && j[field::kRank].is_number_integer() &&
                        j.contains(field::kWorldSize) && j[field::kWorldSize].is_number_integer() &&
                        j.contains(field::kLanes) && j[field::kLanes].is_array();
  if (!complete) return "the coordinator's regroup answer lacks its generation, rank, world size or lanes: " + body.substr(0, 200);
  Regrouped r;
  r.generation = j[field::kGeneration].get<unsigned long long>();
  r.rank = j[field::kRank].get<long long>();
  r.world_size = j[field::kWorldSize].get<long long>();
  for (const auto& l : j[field::kLanes]) {
    if (!l.is_number_integer()) return "the coordinator's regroup answer holds a lane that is no integer";
    r.lanes.push_back(l.get<long long>());
  }
  if (r.rank < 0 || r.rank >= r.world_size || static_cast<std::size_t>(r.world_size) != r.lanes.size())
    return "the coordinator's regroup answer is inconsistent: rank " + std::to_string(r.rank) + " of " +
           std::to_string(r.world_size) + " over " + std::to_string(r.lanes.size()) + " lanes";
  return r;
}

}  // namespace korvane::carrowel::client
