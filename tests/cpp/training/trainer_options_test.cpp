// The one check of the options the constructor and the command line share, in both spellings.
#include "korvane/carrowel/training/trainer_options.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>

namespace korvane::carrowel::training {
namespace {

// The message of the check's error, or "" when the options pass.
std::string problem(const TrainerOptions& o, Spelling s = Spelling::keyword) {
  try {
    o.check(s);
    return "";
  } catch (const OptionError& e) {
    return e.what();
  }
}

TrainerOptions with(const std::function<void(TrainerOptions&)>& change) {
  TrainerOptions o;
  change(o);
  return o;
}

TEST(TrainerOptions, DefaultsAndSoundValuesPass) {
  EXPECT_EQ(problem(TrainerOptions{}), "");
  EXPECT_EQ(problem(with([](auto& o) {
              o.checkpoint_dir.emplace("d");
              o.checkpoint_every = 3;
              o.eval_every = 2;  // held-out passes and checkpoints go together
              o.resume = true;
              o.rejoin_timeout = 2.5;
              o.micro_batches = 4;
              o.max_in_flight = 1;
              o.token.emplace("abc");
            })),
            "");
}

TEST(TrainerOptions, EachRuleNamesItsOptionInTheCallersSpelling) {
  struct Case {
    std::function<void(TrainerOptions&)> change;
    const char* keyword;
    const char* flag;
  };
  const Case cases[] = {
      {[](auto& o) { o.checkpoint_dir.emplace(""); }, "checkpoint_dir must not be empty", "--checkpoint-dir must not be empty"},
      {[](auto& o) { o.checkpoint_dir.emplace("d"), o.checkpoint_every = -1; }, "checkpoint_every must be 0 or more, got -1",
       "--checkpoint-every must be 0 or more, got -1"},
      {[](auto& o) { o.checkpoint_every = 5; }, "checkpoint_every needs checkpoint_dir",
       "--checkpoint-every needs --checkpoint-dir"},
      {[](auto& o) { o.resume = true; }, "resume needs checkpoint_dir", "--resume needs --checkpoint-dir"},
      {[](auto& o) { o.rejoin_timeout = NAN; }, "rejoin_timeout must be a finite number of seconds, 0 or more",
       "--rejoin-timeout must be a finite number of seconds, 0 or more"},
      {[](auto& o) { o.rejoin_timeout = INFINITY; }, "rejoin_timeout must be a finite number of seconds, 0 or more",
       "--rejoin-timeout must be a finite number of seconds, 0 or more"},
      {[](auto& o) { o.rejoin_timeout = -1; }, "rejoin_timeout must be a finite number of seconds, 0 or more",
       "--rejoin-timeout must be a finite number of seconds, 0 or more"},
      {[](auto& o) { o.micro_batches = 0; }, "micro_batches must be at least 1, got 0",
       "--micro-batches must be at least 1, got 0"},
      {[](auto& o) { o.max_in_flight = 0; }, "max_in_flight must be at least 1, got 0",
       "--max-in-flight must be at least 1, got 0"},
      {[](auto& o) { o.eval_every = -1; }, "eval_every must be 0 or more, got -1", "--eval-every must be 0 or more, got -1"},
      {[](auto& o) { o.lr = NAN; }, "lr must be a finite number, got nan", "--lr must be a finite number, got nan"},
      {[](auto& o) { o.token.emplace("t"), o.token_file.emplace("f"); }, "give either token or token_file, not both",
       "give either --token or --token-file, not both"},
      {[](auto& o) { o.token.emplace(""); }, "token must not be empty or blank", "--token must not be empty or blank"},
      {[](auto& o) { o.token.emplace(" \t "); }, "token must not be empty or blank",
       "--token must not be empty or blank"},
      {[](auto& o) { o.max_nonfinite_steps = 0; }, "max_nonfinite_steps must be at least 1, got 0",
       "--max-nonfinite-steps must be at least 1, got 0"},
      {[](auto& o) { o.token = std::string("a\0b", 3); }, "token must not contain a line break or NUL",
       "--token must not contain a line break or NUL"},
      {[](auto& o) { o.token.emplace("a\r\nX-Admin: 1"); }, "token must not contain a line break or NUL",
       "--token must not contain a line break or NUL"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(problem(with(c.change)), c.keyword);
    EXPECT_EQ(problem(with(c.change), Spelling::flag), c.flag);
  }
}

TEST(TrainerOptions, ErrorsCarryTheOptionAndAreValueErrors) {
  try {
    with([](auto& o) { o.resume = true; }).check(Spelling::flag);
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_EQ(dynamic_cast<const OptionError&>(e).option, "--resume");
  }
}

TEST(ResolveToken, FromTheTokenOrTheFilesFirstLineNeverEchoed) {
  EXPECT_EQ(resolve_token(TrainerOptions{}), std::nullopt);
  EXPECT_EQ(resolve_token(with([](auto& o) { o.token.emplace("abc"); })), "abc");

  char tmpl[] = "/tmp/korvane-token-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::filesystem::path root = tmpl;
  std::ofstream(root / "good") << "  s3cret-token \t\nsecond line\n";
  std::ofstream(root / "blank") << " \n";
  std::ofstream(root / "nul") << std::string("ab\0c\n", 5);
  auto from = [&](const char* name) { return with([&](auto& o) { o.token_file = (root / name).string(); }); };
  EXPECT_EQ(resolve_token(from("good")), "s3cret-token");
  EXPECT_THROW(resolve_token(from("blank")), ValueError);
  EXPECT_THROW(resolve_token(from("missing")), ValueError);
  try {
    resolve_token(from("nul"));
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_EQ(std::string(e.what()), "token must not contain a line break or NUL");
  }
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace korvane::carrowel::training
