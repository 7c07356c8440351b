// Step records, their JSON line as json.dumps writes it, and appending to a real file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <system_error>

#include "korvane/carrowel/training/metrics_file.hpp"
#include "korvane/carrowel/training/step_metrics.hpp"

namespace korvane::carrowel::training {
namespace {
using namespace std::chrono_literals;
using json = nlohmann::ordered_json;

TEST(StepMetrics, RecordsCountStepsAndTheBytesOfTheirOwnStep) {
  StepMetrics m;
  EXPECT_EQ(m.latest_step(), -1);
  const auto t0 = StepMetrics::Clock::time_point{};
  m.add_sent(5);
  auto start = m.begin(t0);
  m.add_sent(100);
  m.add_received(40);
  StepRecord r = m.record(start, t0 + 500ms, "a", 7, 2.5, 8);
  EXPECT_EQ(r.step, 0);
  EXPECT_EQ(r.round, 7);
  EXPECT_EQ(r.bytes_sent, 100u);
  EXPECT_EQ(r.bytes_received, 40u);
  EXPECT_DOUBLE_EQ(r.step_time_s, 0.5);
  EXPECT_DOUBLE_EQ(*r.samples_per_s(), 16.0);
  m.count_step();
  EXPECT_EQ(m.record(m.begin(t0), t0, "a", 0, std::nullopt, std::nullopt).step, 1);
  EXPECT_EQ(m.latest_step(), 0);
  EXPECT_EQ(m.bytes_sent(), 105u);
}

TEST(StepRecordLine, KeysInOrderAsJsonDumpsWritesThem) {
  StepRecord r;
  r.trainer_id = "a";
  r.step = 3;
  r.round = 3;
  r.loss = 2.0;
  r.step_time_s = 0.25;
  r.samples = 8;
  r.bytes_sent = 1024;
  r.bytes_received = 0;
  EXPECT_EQ(json_text(r.to_json()),
            R"({"trainer_id": "a", "step": 3, "round": 3, "loss": 2.0, "step_time_s": 0.25, "samples": 8, )"
            R"("samples_per_s": 32.0, "bytes_sent": 1024, "bytes_received": 0})");

  r.loss.reset();
  r.samples.reset();
  r.evaluation = json{{"accuracy", 0.5}, {"per_class", json::array({1, 2})}, {"note", json::object()}};
  EXPECT_EQ(json_text(r.to_json()),
            R"({"trainer_id": "a", "step": 3, "round": 3, "loss": null, "step_time_s": 0.25, "samples": null, )"
            R"("samples_per_s": null, "bytes_sent": 1024, "bytes_received": 0, )"
            R"("evaluation": {"accuracy": 0.5, "per_class": [1, 2], "note": {}}})");
}

TEST(StepRecordLine, NonFiniteNumbersAreNullAndTextIsEscapedToAscii) {
  StepRecord r;
  r.trainer_id = "\xc3\xa9t\xc3\xa9 \"1\"\n";
  r.loss = std::numeric_limits<double>::quiet_NaN();
  r.step_time_s = std::numeric_limits<double>::quiet_NaN();
  r.samples = 4;  // no rate without a time
  r.evaluation = json{{"v", -std::numeric_limits<double>::infinity()}, {"small", 1e-05}};
  const std::string line = json_text(r.to_json());
  EXPECT_NE(line.find(R"("trainer_id": "\u00e9t\u00e9 \"1\"\n")"), std::string::npos) << line;
  EXPECT_NE(line.find(R"("loss": null, "step_time_s": null, "samples": 4, "samples_per_s": null)"), std::string::npos)
      << line;
  EXPECT_NE(line.find(R"("evaluation": {"v": null, "small": 1e-05})"), std::string::npos) << line;
  EXPECT_NO_THROW(json::parse(line));
}

TEST(MetricsFile, AppendsOneWholeLinePerRecordAndReportsAMissingFolder) {
  char tmpl[] = "/tmp/korvane-metrics-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::filesystem::path root = tmpl;
  MetricsFile f((root / "m.jsonl").string());
  f.append(json{{"step", 0}});
  f.append(json{{"step", 1}, {"loss", 0.1}});
  std::ifstream in(root / "m.jsonl");
  std::string all(std::istreambuf_iterator<char>(in), {});
  EXPECT_EQ(all, "{\"step\": 0}\n{\"step\": 1, \"loss\": 0.1}\n");

  MetricsFile nowhere((root / "no" / "m.jsonl").string());
  try {
    nowhere.append(json{{"step", 0}});
    FAIL() << "a missing folder must be reported";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
    EXPECT_NE(std::string(e.what()).find((root / "no" / "m.jsonl").string()), std::string::npos);
  }
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace korvane::carrowel::training
