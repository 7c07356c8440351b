// The options a trainer run shares between the constructor (and run_training_loop) and
// the command line, and the one check of their values. Each front end converts its own
// input into TrainerOptions (the constructor raises TypeError for a wrong Python type
// before that), then calls check(), which names options in that front end's spelling:
// "checkpoint_every" for keyword arguments, "--checkpoint-every" on the command line.
//
// Owns plain values only. Errors: OptionError (a ValueError) naming the first option that
// is wrong; the token is never echoed. Thread: any.
#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "korvane/common/errors.hpp"

namespace korvane::carrowel::training {

enum class Spelling { keyword, flag };

// "checkpoint_every" -> itself, or "--checkpoint-every".
std::string option_name(std::string_view keyword, Spelling spelling);

struct OptionError : ValueError {
  OptionError(std::string option, const std::string& message) : ValueError(message), option(std::move(option)) {}
  std::string option;  // the option's name in the spelling of the check
};

struct TrainerOptions {
  // Construction
  bool autograd_backward = false;
  std::optional<std::string> token;       // never printed
  std::optional<std::string> token_file;  // its first line is the token
  std::optional<std::string> metrics_file;
  std::optional<std::string> checkpoint_dir;  // none: nothing is written to disk
  long long checkpoint_every = 0;             // steps between checkpoints; 0: only at the end
  bool resume = false;                        // start from the latest checkpoint
  double rejoin_timeout = 0.0;                // > 0: wait that long for a missing member
  long long max_nonfinite_steps = 3;          // steps in a row without a finite gradient that end the run
  // What crosses the stage boundaries, and where this trainer sits. Unset: the sign codec
  // both ways and placement by join order, with today's join body and relay bytes.
  std::optional<std::string> activation_codec;  // a codec name (compression/codec.hpp)
  std::optional<std::string> gradient_codec;
  std::optional<long long> stage;  // the pipeline position asked for at the join
  std::optional<long long> seed;   // seeds torch's generators and Python's random

  // The training loop
  long long rounds = 10;
  double lr = 0.0001;
  long long micro_batches = 1;             // > 1: each round is a pipelined step of that many
  std::optional<long long> max_in_flight;  // the first stage's warm-up depth, when set
  long long eval_every = 0;                // held-out evaluation every N rounds; 0: never

  // Throws OptionError for the first value that breaks a rule.
  void check(Spelling spelling) const;
};

// The bearer token: the token given, or the first line of token_file with surrounding
// blanks removed; nullopt when neither is given. ValueError when the file cannot be read,
// holds no token, or the token is not one HTTP header value can carry.
std::optional<std::string> resolve_token(const TrainerOptions& options, Spelling spelling = Spelling::keyword);

}  // namespace korvane::carrowel::training
