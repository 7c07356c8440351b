// Registers the one translator from korvane's C++ exceptions to Python exception types.
#pragma once
#include <pybind11/pybind11.h>

namespace korvane {
void register_error_translator();
// Throws the Python exception that `e` stands for as py::error_already_set (for code that
// must hand an error to Python itself, e.g. into an asyncio future).
[[noreturn]] void raise_as_python(std::exception_ptr e);
}
