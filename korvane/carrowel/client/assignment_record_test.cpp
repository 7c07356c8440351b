#include "korvane/carrowel/client/assignment_record.hpp"

#include <gtest/gtest.h>

#include "korvane/common/errors.hpp"

using namespace korvane;
using namespace korvane::carrowel::client;
using nlohmann::json;

TEST(AssignmentRecord, ReadsTheFieldsTheTrainerReliesOn) {
  const auto r = read_assignment(json::parse(
      R"({"layer_start": 2, "layer_end": 4.0, "pipeline_position": 1, "upstream_trainer": "a",
          "downstream_trainer": null, "layer_weights_hash": "abc", "extra": [1]})"));
  EXPECT_EQ(r.layer_start, 2);
  EXPECT_EQ(r.layer_end, 4);  // an integral float stands for its integer
  EXPECT_EQ(r.pipeline_position, 1);
  EXPECT_EQ(r.upstream_trainer, "a");
  EXPECT_EQ(r.downstream_trainer, std::nullopt);
  EXPECT_EQ(r.layer_weights_hash, "abc");
  const auto bare = read_assignment(json::parse(R"({"layer_start": 0, "layer_end": 1, "pipeline_position": 0})"));
  EXPECT_EQ(bare.upstream_trainer, std::nullopt);
  EXPECT_EQ(bare.layer_weights_hash, "");
}

TEST(AssignmentRecord, RefusesWhatIsNoAssignment) {
  try {
    read_assignment(json::parse(R"({"layer_start": 1.5, "layer_end": 1, "pipeline_position": 0})"));
    FAIL();
  } catch (const TypeError& e) {
    EXPECT_STREQ(e.what(), "assignment field 'layer_start' must be an integer, got 1.5");
  }
  try {
    read_assignment(json::parse(R"({"layer_start": 0, "layer_end": "4", "pipeline_position": 0})"));
    FAIL();
  } catch (const TypeError& e) {
    EXPECT_STREQ(e.what(), "assignment field 'layer_end' must be an integer, got '4'");
  }
  try {
    read_assignment(json::parse(R"({"layer_start": 0, "layer_end": 1, "pipeline_position": 0, "upstream_trainer": 3})"));
    FAIL();
  } catch (const TypeError& e) {
    EXPECT_STREQ(e.what(), "Argument 'upstream_trainer' has incorrect type (expected str, got int)");
  }
  EXPECT_THROW(read_assignment(json::parse(R"({"layer_end": 1, "pipeline_position": 0})")), KeyError);
  EXPECT_THROW(read_assignment(json::parse(R"({"layer_start": 1e300, "layer_end": 1, "pipeline_position": 0})")),
               TypeError);
  EXPECT_THROW(read_assignment(json(nullptr)), TypeError);
}

TEST(AssignmentRecord, PythonReprOfJsonValues) {
  EXPECT_EQ(python_repr(json::parse(R"([null, true, 2, 2.0, "it's", {"k": "v"}])")),
            R"([None, True, 2, 2.0, "it's", {'k': 'v'}])");
  EXPECT_EQ(python_repr(json("a\nb\\")), R"('a\nb\\')");
}
