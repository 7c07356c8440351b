#include "korvane/carrowel/client/replica_messages.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

using namespace korvane::carrowel::client;
using nlohmann::json;

namespace {

TEST(ReplicaMessages, Base64RoundTripsEveryByteAndRefusesForeignText) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (std::size_t n = 0; n <= 5; ++n) EXPECT_EQ(base64_decode(base64_encode(all.substr(0, n))), all.substr(0, n));
  EXPECT_EQ(base64_decode(base64_encode(all)), all);
  EXPECT_EQ(base64_encode("ab"), "YWI=");
  EXPECT_EQ(base64_decode("YWI"), "ab");  // padding optional
  EXPECT_FALSE(base64_decode("YW I="));
  EXPECT_FALSE(base64_decode("Y"));
  EXPECT_FALSE(base64_decode("YW=I"));
}

TEST(ReplicaMessages, StoreBodiesCarryOnlyTheirOperationsFields) {
  EXPECT_EQ(json::parse(store_body("t", "a", StoreOp::set("k", std::string("\0\1", 2)))),
            json::parse(R"({"task_id":"t","trainer_id":"a","op":"set","key":"k","value":"AAE="})"));
  EXPECT_EQ(json::parse(store_body("t", "a", StoreOp::wait({"x", "y"}, 2.5))),
            json::parse(R"({"task_id":"t","trainer_id":"a","op":"wait","keys":["x","y"],"timeout":2.5})"));
  EXPECT_EQ(json::parse(store_body("t", "a", StoreOp::compare_set("k", "", "d"))),
            json::parse(R"({"task_id":"t","trainer_id":"a","op":"compare_set","key":"k","expected":"","desired":"ZA=="})"));
  EXPECT_EQ(json::parse(store_body("t", "a", StoreOp::num_keys())),
            json::parse(R"({"task_id":"t","trainer_id":"a","op":"num_keys"})"));
}

TEST(ReplicaMessages, AnswersThatLackTheirFieldAreNoAnswers) {
  auto got = read_store_answer(StoreOp::get("k", std::nullopt), R"({"value":"AAE="})");
  ASSERT_TRUE(std::holds_alternative<StoreAnswer>(got));
  EXPECT_EQ(std::get<StoreAnswer>(got).value, std::string("\0\1", 2));
  EXPECT_TRUE(std::holds_alternative<std::string>(read_store_answer(StoreOp::get("k", std::nullopt), R"({"value":"%%"})")));
  EXPECT_TRUE(std::holds_alternative<std::string>(read_store_answer(StoreOp::add("k", 1), R"({"counter":"1"})")));
  EXPECT_TRUE(std::holds_alternative<std::string>(read_store_answer(StoreOp::check({"k"}), "[]")));
  EXPECT_EQ(std::get<StoreAnswer>(read_store_answer(StoreOp::add("k", 1), R"({"counter":-4})")).counter, -4);

  auto r = read_regroup_answer(R"({"generation":2,"rank":1,"world_size":2,"lanes":[0,2]})");
  ASSERT_TRUE(std::holds_alternative<Regrouped>(r));
  EXPECT_EQ(std::get<Regrouped>(r).lanes, (std::vector<long long>{0, 2}));
  EXPECT_TRUE(std::holds_alternative<std::string>(read_regroup_answer(R"({"generation":2,"rank":2,"world_size":2,"lanes":[0,2]})")));
  EXPECT_TRUE(std::holds_alternative<std::string>(read_regroup_answer(R"({"generation":2,"rank":0,"world_size":3,"lanes":[0,2]})")));
  EXPECT_TRUE(std::holds_alternative<std::string>(read_regroup_answer(R"({"rank":0})")));
}

}  // namespace
