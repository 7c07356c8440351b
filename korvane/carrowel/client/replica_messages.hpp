// The bodies and answers of the stage replicas' exchanges with the coordinator: the
// rendezvous store and the regroup (shapes in korvane/protocol/protocol.hpp). Python-free
// and transport-free, so the exact forms are unit-tested on their own.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "korvane/carrowel/client/results.hpp"

namespace korvane::carrowel::client {

// Standard base64 with padding; the decoder takes it with or without padding and
// refuses anything else (nullopt).
std::string base64_encode(std::string_view bytes);
std::optional<std::string> base64_decode(std::string_view text);

// One operation on the rendezvous store. Build it with the named constructors.
struct StoreOp {
  std::string op;                 // a protocol::store_op name
  std::vector<std::string> keys;  // one for the single-key operations
  std::string value;              // set: the value; compare_set: the desired one
  std::string expected;           // compare_set
  long long amount = 0;           // add
  std::optional<double> wait_s;   // get and wait: how long the coordinator may hold it

  static StoreOp set(std::string key, std::string value);
  static StoreOp get(std::string key, std::optional<double> wait_s);
  static StoreOp add(std::string key, long long amount);
  static StoreOp compare_set(std::string key, std::string expected, std::string desired);
  static StoreOp check(std::vector<std::string> keys);
  static StoreOp wait(std::vector<std::string> keys, std::optional<double> wait_s);
  static StoreOp erase(std::string key);
  static StoreOp num_keys();
};

std::string store_body(const std::string& task_id, const std::string& trainer_id, const StoreOp& op);
// The answer of a 2xx store exchange; the text says what is missing when it is no answer
// of that operation.
std::variant<StoreAnswer, std::string> read_store_answer(const StoreOp& op, const std::string& body);

std::string regroup_body(const std::string& task_id, const std::string& trainer_id, unsigned long long generation,
                         const std::optional<std::string>& error);
std::variant<Regrouped, std::string> read_regroup_answer(const std::string& body);

}  // namespace korvane::carrowel::client
