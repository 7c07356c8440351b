// The one exception hierarchy of korvane. Each class stands for one Python exception
// type; python/translate_errors.cpp maps them when an error crosses into Python.
// Python-free on purpose: the core library throws these too.
#pragma once
#include <stdexcept>
#include <string>

namespace korvane {

// RuntimeError
struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct TypeError : Error { using Error::Error; };
struct ValueError : Error { using Error::Error; };
struct KeyError : Error { using Error::Error; };
struct ImportError : Error { using Error::Error; };
struct NotImplementedError : Error { using Error::Error; };
struct ZeroDivisionError : Error { using Error::Error; };
struct AssertionError : Error { using Error::Error; };
struct OverflowError : Error { using Error::Error; };
// Network failures: TimeoutError when a time limit ran out, ConnectionError otherwise.
struct TimeoutError : Error { using Error::Error; };
struct ConnectionError : Error { using Error::Error; };

}  // namespace korvane
