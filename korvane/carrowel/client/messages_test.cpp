#include "korvane/carrowel/client/messages.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "korvane/common/errors.hpp"
#include "korvane/common/http/exchange.hpp"

using namespace korvane;
using namespace korvane::carrowel::client;

TEST(CoordinatorMessages, JoinAndReadyBodiesKeepMemberOrder) {
  EXPECT_EQ(join_body("t1", "trainer_1", 8589934592LL, false),
            R"({"task_id":"t1","trainer_id":"trainer_1","memory_bytes":8589934592,"has_gpu":false})");
  EXPECT_EQ(ready_body("t1", "trainer_1", 2), R"({"task_id":"t1","trainer_id":"trainer_1","pipeline_position":2})");
  // Identifiers pass through unchanged, escaped only as JSON requires.
  EXPECT_EQ(join_body("a\"b", "\xc3\xa9", 1, true),
            "{\"task_id\":\"a\\\"b\",\"trainer_id\":\"\xc3\xa9\",\"memory_bytes\":1,\"has_gpu\":true}");
}

TEST(CoordinatorMessages, LeaveAndStepBodies) {
  EXPECT_EQ(leave_body("t1", "trainer_1", std::nullopt), R"({"task_id":"t1","trainer_id":"trainer_1"})");
  EXPECT_EQ(leave_body("t1", "trainer_1", std::string("boom")),
            R"({"task_id":"t1","trainer_id":"trainer_1","error":"boom"})");
  EXPECT_EQ(step_body("t1", "trainer_1", 7), R"({"step":7,"task_id":"t1","trainer_id":"trainer_1"})");
  // An id that is not UTF-8 is sent with a replacement character rather than failing.
  EXPECT_EQ(step_body("\xff", "x", 0), "{\"step\":0,\"task_id\":\"\xef\xbf\xbd\",\"trainer_id\":\"x\"}");
}

TEST(CoordinatorMessages, RelayQueryIsEncodedInOrder) {
  EXPECT_EQ(relay_query("task 1", "t&2", 17), "?task_id=task%201&trainer_id=t%262&micro_batch=17");
  EXPECT_EQ(relay_query("", "x", 0), "?task_id=&trainer_id=x&micro_batch=0");
}

TEST(CoordinatorMessages, RelayHeadersInOrderWithOptionalLoss) {
  auto h = relay_headers("t", "a", "b", 3, std::nullopt);
  EXPECT_EQ(h, (std::vector<std::string>{"X-Task-ID: t", "X-From-Trainer: a", "X-To-Trainer: b", "X-Micro-Batch: 3"}));
  EXPECT_EQ(relay_headers("t", "a", "b", 0, 2.0).back(), "X-Loss: 2.0");
  EXPECT_EQ(relay_headers("t", "a", "b", 0, 1e-05).back(), "X-Loss: 1e-05");
  EXPECT_EQ(relay_headers("t", "a", "b", 0, -0.0).back(), "X-Loss: -0.0");
  EXPECT_EQ(relay_headers("t", "a", "b", 0, std::nan("")).back(), "X-Loss: nan");
  EXPECT_EQ(relay_headers("t", "a", "b", 0, -std::numeric_limits<double>::infinity()).back(), "X-Loss: -inf");
  // An empty identifier is still sent (curl would drop "Name:" with nothing after it).
  EXPECT_EQ(relay_headers("", "a", "b", 0, std::nullopt).front(), "X-Task-ID;");
}

TEST(CoordinatorMessages, HeaderInjectionIsRefused) {
  EXPECT_THROW(relay_headers("t", "a\r\nX-Evil: 1", "b", 0, std::nullopt), ValueError);
  EXPECT_THROW(relay_headers("t\n", "a", "b", 0, std::nullopt), ValueError);
  EXPECT_THROW(relay_headers("t", "a", std::string("b\0c", 3), 0, std::nullopt), ValueError);
}

TEST(HttpResponse, HeaderLookupIsCaseInsensitiveAndTakesTheFirst) {
  http::Response r;
  r.headers = {{"Content-Type", "x"}, {"x-loss", "2.5"}, {"X-Loss", "3.5"}};
  EXPECT_EQ(r.header("X-Loss"), "2.5");
  EXPECT_EQ(r.header("CONTENT-TYPE"), "x");
  EXPECT_FALSE(r.header("X-Los").has_value());
}

TEST(ReadyAnswer, StagesOnlyWhenOfferedAsAPositiveCount) {
  using korvane::carrowel::client::ready_answer_stages;
  EXPECT_EQ(ready_answer_stages(R"({"status": "ready", "ready": 1, "stages": 3})"), 3);
  EXPECT_EQ(ready_answer_stages(R"({"status": "ready"})"), std::nullopt);
  EXPECT_EQ(ready_answer_stages(R"({"stages": 0})"), std::nullopt);
  EXPECT_EQ(ready_answer_stages(R"({"stages": -2})"), std::nullopt);
  EXPECT_EQ(ready_answer_stages(R"({"stages": 2.5})"), std::nullopt);
  EXPECT_EQ(ready_answer_stages(R"({"stages": "3"})"), std::nullopt);
  EXPECT_EQ(ready_answer_stages(R"({"stages": 18446744073709551615})"), std::nullopt);
  EXPECT_EQ(ready_answer_stages("[3]"), std::nullopt);
  EXPECT_EQ(ready_answer_stages("not json"), std::nullopt);
  EXPECT_EQ(ready_answer_stages(""), std::nullopt);
}

TEST(CoordinatorMessages, NormAndReportBodiesCarryExactNumbers) {
  using namespace korvane::carrowel::client;
  EXPECT_EQ(norm_body("t", "a", 7, 0.1), R"({"task_id":"t","trainer_id":"a","step":7,"squared_norm":0.1})");
  EXPECT_EQ(norm_answer_total(R"({"step": 7, "total": 1.0000000000000002})"), 1.0000000000000002);
  EXPECT_EQ(norm_answer_total(R"({"step": 7, "total": 3})"), 3.0);
  EXPECT_EQ(norm_answer_total(R"({"step": 7, "total": "3"})"), std::nullopt);
  EXPECT_EQ(norm_answer_total(R"({"step": 7})"), std::nullopt);
  EXPECT_EQ(norm_answer_total("<html>"), std::nullopt);

  ProgressReport r;
  EXPECT_EQ(report_body("t", "a", r), R"({"task_id":"t","trainer_id":"a"})");
  r.step = 3;
  r.heldout_loss = 2.5;
  r.heldout_accuracy = std::numeric_limits<double>::infinity();  // not finite: cleared
  r.group_generation = 2;
  EXPECT_EQ(report_body("t", "a", r),
            R"({"task_id":"t","trainer_id":"a","step":3,"heldout_loss":2.5,"heldout_accuracy":null,"group_generation":2})");
  EXPECT_EQ(relay_headers("t", "a", "b", 0, std::nullopt, std::string("int4")).back(), "X-Codec: int4");
  EXPECT_EQ(relay_headers("t", "a", "b", 0, std::nullopt, std::nullopt).size(), 4u);
  EXPECT_THROW(relay_headers("t", "a", "b", 0, std::nullopt, std::string("int4\r\nX: y")), ValueError);
}
