#include "korvane/common/python/output.hpp"

#include <pybind11/pybind11.h>

namespace korvane {
namespace py = pybind11;

void print_line(const std::string& line) {
  // Looked up on every call: tests and callers may replace sys.stdout at any time.
  py::object out = py::module_::import("sys").attr("stdout");
  if (out.is_none()) return;  // no stdout (pythonw, closed stream): nothing to write to
  out.attr("write")(py::str(line + "\n"));
  // Lines are rare and often read live through a pipe (the demo): flush each one.
  if (py::hasattr(out, "flush")) out.attr("flush")();
}

void write_text(const char* stream, const std::string& text) {
  if (text.empty()) return;
  py::object out = py::module_::import("sys").attr(stream);
  if (out.is_none()) return;
  out.attr("write")(py::str(text));
  if (py::hasattr(out, "flush")) out.attr("flush")();
}

std::string module_program_name(const std::string& module) {
  py::object exe = py::module_::import("sys").attr("executable");
  std::string interpreter = "python3";
  if (py::bool_(exe)) interpreter = py::module_::import("os").attr("path").attr("basename")(exe).cast<std::string>();
  return interpreter + " -m " + module;
}
}  // namespace korvane
