#include "korvane/carrowel/training/trainer_options.hpp"

#include <cmath>
#include <fstream>
#include <utility>

#include "korvane/carrowel/compression/codec.hpp"

#include "korvane/common/float_format.hpp"

namespace korvane::carrowel::training {

std::string option_name(std::string_view keyword, Spelling spelling) {
  std::string name(keyword);
  if (spelling == Spelling::keyword) return name;
  for (char& c : name)
    if (c == '_') c = '-';
  return "--" + name;
}

namespace {
class Rules {
 public:
  explicit Rules(Spelling s) : s_(s) {}
  std::string operator()(std::string_view keyword) const { return option_name(keyword, s_); }
  [[noreturn]] void fail(std::string_view keyword, const std::string& message) const {
    throw OptionError((*this)(keyword), message);
  }
  void at_least(std::string_view keyword, long long value, long long least, const char* phrase) const {
    if (value < least) fail(keyword, (*this)(keyword) + " must be " + phrase + ", got " + std::to_string(value));
  }

 private:
  Spelling s_;
};

void check_token_text(const std::string& value, const Rules& name) {
  // The value is never echoed: it must not reach a log through an error message.
  if (value.find_first_not_of(" \t\f\v") == std::string::npos)
    name.fail("token", name("token") + " must not be empty or blank");
  if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
    name.fail("token", name("token") + " must not contain a line break or NUL");
}

void check_boundary(const TrainerOptions& o, const Rules& name) {
  for (const auto& [keyword, value] : {std::pair{"activation_codec", &o.activation_codec},
                                       std::pair{"gradient_codec", &o.gradient_codec}}) {
    if (!*value || parse_codec(**value)) continue;
    std::string names;
    for (Codec c : kAllCodecs) names += std::string(names.empty() ? "" : ", ") + codec_name(c);
    name.fail(keyword, name(keyword) + " must be one of " + names + ", got '" + **value + "'");
  }
  if (o.stage) name.at_least("stage", *o.stage, 0, "0 or more");
  if (o.seed) name.at_least("seed", *o.seed, 0, "0 or more");
}

void check_recovery(const TrainerOptions& o, const Rules& name) {
  if (o.checkpoint_dir && o.checkpoint_dir->empty())
    name.fail("checkpoint_dir", name("checkpoint_dir") + " must not be empty");
  name.at_least("checkpoint_every", o.checkpoint_every, 0, "0 or more");
  if (o.checkpoint_every > 0 && !o.checkpoint_dir)
    name.fail("checkpoint_every", name("checkpoint_every") + " needs " + name("checkpoint_dir"));
  if (o.resume && !o.checkpoint_dir) name.fail("resume", name("resume") + " needs " + name("checkpoint_dir"));
  if (!(o.rejoin_timeout >= 0) || !std::isfinite(o.rejoin_timeout))
    name.fail("rejoin_timeout", name("rejoin_timeout") + " must be a finite number of seconds, 0 or more");
}
}  // namespace

void TrainerOptions::check(Spelling spelling) const {
  const Rules name(spelling);
  if (token && token_file)
    name.fail("token", "give either " + name("token") + " or " + name("token_file") + ", not both");
  if (token) check_token_text(*token, name);
  check_recovery(*this, name);
  check_boundary(*this, name);
  name.at_least("max_nonfinite_steps", max_nonfinite_steps, 1, "at least 1");
  if (!std::isfinite(lr)) name.fail("lr", name("lr") + " must be a finite number, got " + float_repr(lr));
  name.at_least("micro_batches", micro_batches, 1, "at least 1");
  if (max_in_flight) name.at_least("max_in_flight", *max_in_flight, 1, "at least 1");
  name.at_least("eval_every", eval_every, 0, "0 or more");
  if (eval_every > 0 && checkpoint_dir)
    name.fail("checkpoint_dir", name("checkpoint_dir") + " cannot be combined with " + name("eval_every") + " yet");
}

std::optional<std::string> resolve_token(const TrainerOptions& o, Spelling spelling) {
  const Rules name(spelling);
  if (o.token && o.token_file)
    name.fail("token", "give either " + name("token") + " or " + name("token_file") + ", not both");
  if (o.token) {
    check_token_text(*o.token, name);
    return o.token;
  }
  if (!o.token_file) return std::nullopt;
  const std::string& path = *o.token_file;
  std::ifstream in(path);
  if (!in) name.fail("token_file", name("token_file") + ": cannot read " + path);
  std::string value;
  std::getline(in, value);
  const auto first = value.find_first_not_of(" \t\r\n");
  value = first == std::string::npos ? std::string() : value.substr(first, value.find_last_not_of(" \t\r\n") - first + 1);
  if (value.empty()) name.fail("token_file", name("token_file") + ": no token in " + path);
  check_token_text(value, name);
  return value;
}

}  // namespace korvane::carrowel::training
