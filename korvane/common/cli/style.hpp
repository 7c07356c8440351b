// One help and usage style for korvane's command lines (the trainer, the kernel self-test
// and the coordinator): a usage line built from the declared options, "-h, --help" and
// "--version", and errors as a usage line plus "PROG: error: ..." with exit status 2.
// Header-only, on CLI11: each program parses with its own CLI::App and calls configure().
#pragma once
#include <CLI/CLI.hpp>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace korvane::cli {

// The value placeholder of an option: --trainer-id -> TRAINER_ID.
inline std::string metavar(const CLI::Option* opt) {
  std::string name = opt->get_lnames().empty() ? opt->get_snames().front() : opt->get_lnames().front();
  for (char& c : name) c = c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

inline bool is_flag(const CLI::Option* opt) { return opt->get_expected_max() == 0; }

// "-h, --help" / "--task-id TASK_ID"
inline std::string option_text(const CLI::Option* opt) {
  std::string s;
  for (const std::string& n : opt->get_snames()) s += (s.empty() ? "-" : ", -") + n;
  for (const std::string& n : opt->get_lnames()) s += (s.empty() ? "--" : ", --") + n;
  if (!is_flag(opt)) s += " " + metavar(opt);
  return s;
}

// "--task-id TASK_ID" for the usage line: the first long name, bracketed unless required.
inline std::string usage_item(const CLI::Option* opt) {
  std::string s = opt->get_lnames().empty() ? "-" + opt->get_snames().front() : "--" + opt->get_lnames().front();
  if (!opt->get_snames().empty() && opt->get_snames().front() == "h") s = "-h";
  if (!is_flag(opt)) s += " " + metavar(opt);
  return opt->get_required() ? s : "[" + s + "]";
}

// "usage: PROG [-h] [--version] --task-id TASK_ID ...", wrapped under the first item.
inline std::string usage_line(const CLI::App& app) {
  const std::string head = "usage: " + app.get_name();
  const std::size_t width = 100, indent = head.size() + 1;
  std::string out = head, line = head;
  for (const CLI::Option* opt : app.get_options()) {
    const std::string item = usage_item(opt);
    if (line.size() + 1 + item.size() > width && line.size() > indent) {
      out += "\n" + std::string(indent - 1, ' ');
      line = std::string(indent - 1, ' ');
    }
    out += " " + item;
    line += " " + item;
  }
  return out;
}

// What the option's checks allow ("INT in [0 - 65535]", "POSITIVE"), from CLI11's type text.
inline std::string constraint(const CLI::Option* opt) {
  const std::string type = opt->get_type_name();
  const std::size_t colon = type.find(':');
  return colon == std::string::npos ? "" : type.substr(colon + 1);
}

// " (required)", " (POSITIVE; default: 60)", ...
inline std::string annotation(const CLI::Option* opt) {
  std::vector<std::string> notes;
  if (opt->get_required()) notes.push_back("required");
  if (!is_flag(opt) && !constraint(opt).empty()) notes.push_back(constraint(opt));
  if (!opt->get_required() && !is_flag(opt) && !opt->get_default_str().empty())
    notes.push_back("default: " + opt->get_default_str());
  std::string s;
  for (const std::string& n : notes) s += (s.empty() ? " (" : "; ") + n;
  return s.empty() ? s : s + ")";
}

class Formatter : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const override {
    std::string out = usage_line(*app) + "\n";
    if (!app->get_description().empty()) out += "\n" + app->get_description() + "\n";
    out += "\noptions:\n";
    for (const CLI::Option* opt : app->get_options()) {
      const std::string desc = opt->get_description() + annotation(opt);
      const std::string name = "  " + option_text(opt);
      out += name.size() + 2 > 24 ? name + "\n" + std::string(24, ' ') + desc + "\n"
                                  : name + std::string(24 - name.size(), ' ') + desc + "\n";
    }
    return out;
  }
};

// Sets the help and version options and the formatter; call before adding options.
inline void configure(CLI::App& app, const std::string& version) {
  app.set_help_flag("-h,--help", "show this help and exit");
  app.set_version_flag("--version", app.get_name() + " " + version, "show the version and exit");
  app.formatter(std::make_shared<Formatter>());
}

// What a parse that stopped early prints, and its exit status: help and version go to
// standard output with status 0, errors to standard error with status 2.
struct Stop {
  int status = 0;
  std::string out, err;
};

// For checks made after parsing (values that depend on each other).
inline Stop usage_error(const CLI::App& app, const std::string& message) {
  return {2, "", usage_line(app) + "\n" + app.get_name() + ": error: " + message + "\n"};
}

inline Stop stop(const CLI::App& app, const CLI::ParseError& e) {
  if (dynamic_cast<const CLI::CallForHelp*>(&e) || dynamic_cast<const CLI::CallForAllHelp*>(&e))
    return {0, app.help(), ""};
  if (dynamic_cast<const CLI::CallForVersion*>(&e)) return {0, std::string(e.what()) + "\n", ""};
  return usage_error(app, e.what());
}


// Refuses NaN and infinities; text that is no number is left to the option's conversion.
inline const CLI::Validator finite_number(
    [](std::string& text) -> std::string {
      char* end = nullptr;
      const double v = std::strtod(text.c_str(), &end);
      if (end == text.c_str() || *end != '\0' || std::isfinite(v)) return "";
      return "must be a finite number, got " + text;
    },
    "finite");

}  // namespace korvane::cli
