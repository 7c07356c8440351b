// Every line korvane prints goes through print_line, so that it lands in sys.stdout in
// order with Python's own output (and in pytest's capture). Needs the GIL.
#pragma once
#include <string>

namespace korvane {
void print_line(const std::string& line);
// Writes text as it is to sys.stdout or sys.stderr ("stdout", "stderr") and flushes.
void write_text(const char* stream, const std::string& text);
// How a module is run as a program, named after the running interpreter:
// "python3 -m korvane.carrowel".
std::string module_program_name(const std::string& module);
}
