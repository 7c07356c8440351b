// Every line korvane prints goes through print_line, so that it lands in sys.stdout in
// order with Python's own output (and in pytest's capture). Needs the GIL.
#pragma once
#include <string>

namespace korvane {
void print_line(const std::string& line);
}
