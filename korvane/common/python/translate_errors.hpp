// Registers the one translator from korvane's C++ exceptions to Python exception types.
#pragma once
#include <pybind11/pybind11.h>

#include <exception>
#include <string>

namespace korvane {
void register_error_translator();
// Throws the Python exception that `e` stands for as py::error_already_set (for code that
// must hand an error to Python itself, e.g. into an asyncio future).
[[noreturn]] void raise_as_python(std::exception_ptr e);
}

namespace korvane {
// The error's message text, as str() of the Python exception it stands for.
std::string error_message(std::exception_ptr e);
}
