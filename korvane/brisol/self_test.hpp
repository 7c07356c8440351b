#pragma once
#include <optional>
#include <string>
#include <vector>

namespace korvane::brisol {
// The `python3 -m korvane.brisol` report. Returns the exit status; errors propagate.
int self_test();
// The program: options (-h, --version; errors give status 2), then the report.
// argv excludes the program name; without it, sys.argv[1:].
int self_test_main(std::optional<std::vector<std::string>> argv);
}  // namespace korvane::brisol
